import QtQuick 2.15
import QtQuick.Controls.Material 2.15

// A 4 x 3 key grid. Keys go to the page's calcNumberPressed(key); the keys
// at indexes 9 and 11 to its customLeftPressed(key) and customRightPressed(key).
Item {
    id: pad

    // Declared for pages that want them; the pad reports through `page`.
    signal btnNumberPressed(string key)
    signal customLeftBtnPressed(string key)
    signal customRightBtnPressed(string key)

    property Item page
    property NumberPadStyle style: NumberPadStyle {}
    property var customModel: []
    property bool overrideModel: false
    readonly property var keys: overrideModel ? customModel : style.model

    implicitWidth: grid.implicitWidth
    implicitHeight: grid.implicitHeight

    // Enables every key, or disables the listed indexes (all of them when the
    // list is empty).
    function controlButtons(enableAll, indices) {
        for (var i = 0; i < repeater.count; ++i) {
            var key = repeater.itemAt(i)
            if (enableAll)
                key.enabled = true
            else if (!indices || indices.length === 0 || indices.indexOf(i) >= 0)
                key.enabled = false
        }
    }

    function press(index, key) {
        if (!page)
            return
        if (index === 9)
            page.customLeftPressed(key)
        else if (index === 11)
            page.customRightPressed(key)
        else
            page.calcNumberPressed(key)
    }

    Grid {
        id: grid
        columns: 3
        columnSpacing: pad.style.columnSpacing
        rowSpacing: pad.style.rowSpacing

        Repeater {
            id: repeater
            model: pad.keys

            delegate: Rectangle {
                objectName: "key_" + index
                width: pad.style.keyWidth
                height: pad.style.keyHeight
                radius: pad.style.radius
                border.width: Material.theme === Material.Light ? pad.style.borderWidth : 0
                border.color: pad.style.borderColor
                color: {
                    var base = (index === 9 || index === 11) ? pad.style.customKeyColor : pad.style.keyColor
                    return area.pressed ? Qt.darker(base, 1.15) : base
                }
                opacity: enabled ? 1.0 : 0.3

                Text {
                    anchors.centerIn: parent
                    text: modelData
                    color: pad.style.textColor
                    font.family: pad.style.fontFamily
                    font.pointSize: pad.style.fontSize
                }

                MouseArea {
                    id: area
                    anchors.fill: parent
                    onClicked: pad.press(index, modelData)
                }
            }
        }
    }
}
