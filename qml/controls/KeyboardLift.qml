import QtQuick 2.15
import QtQuick.Window 2.15

// Holds a settings page's content and scrolls it up while the on-screen
// keyboard, which rises from the bottom edge of the window over the bottom of
// the page, would cover the focused field. The operator cannot drag it: it
// only makes room for the keyboard.
Flickable {
    id: lift

    // The page, at the bottom of the window or a little above it.
    property Item area: null
    // As tall as the keyboard panel.
    property real keyboardHeight: 250
    property real margin: 10
    property real offset: 0
    readonly property Item focusItem: Window.activeFocusItem

    anchors.fill: parent
    interactive: false
    clip: true
    contentWidth: width
    contentHeight: height
    contentY: offset

    // The field to keep in view: a control whose inner text input has the
    // focus (a spin box) counts whole.
    function field(item) {
        var node = item
        while (node.parent && node.parent !== area && node.parent.contentItem === node)
            node = node.parent
        return node
    }

    function inArea(item) {
        for (var node = item; node; node = node.parent) {
            if (node === area)
                return true
        }
        return false
    }

    function update() {
        if (!area || !Qt.inputMethod.visible || !focusItem || !inArea(focusItem)) {
            offset = 0
            return
        }
        // Measured where it stands now; the current offset is added back.
        var shown = field(focusItem)
        var bottom = shown.mapToItem(area, 0, shown.height).y + offset
        var keyboardTop = area.mapFromItem(null, 0, Window.height - keyboardHeight).y
        offset = Math.max(0, bottom + margin - keyboardTop)
    }

    Behavior on offset {
        NumberAnimation { duration: 150; easing.type: Easing.InOutQuad }
    }

    onFocusItemChanged: update()

    Connections {
        target: Qt.inputMethod
        function onVisibleChanged() { lift.update() }
    }
}
