import QtQuick 2.15

// The on-screen keyboard of the settings pages: 250 px high, sliding up
// from the bottom while the input method is visible. It shows the panel of
// whichever keyboard input method the program selected at start, and stays
// empty when neither is installed.
Item {
    id: keyboard

    readonly property bool available: panel !== null
    readonly property bool shown: Qt.inputMethod.visible
    readonly property string module: panelModule
    property Item panel: null
    property string panelModule: ""

    function hide() {
        Qt.inputMethod.hide()
    }

    // How far the panel stands out of the bottom edge. Only this slides: the
    // page growing or shrinking under it (the header coming and going) must
    // not drag a hidden keyboard across the screen.
    property real raised: shown ? height : 0

    width: parent ? parent.width : 0
    height: 250
    y: parent ? parent.height - raised : 0
    visible: available && raised > 0
    z: 1000

    Behavior on raised {
        NumberAnimation { duration: 150; easing.type: Easing.InOutQuad }
    }

    Rectangle {
        anchors.fill: parent
        color: "#202020"
    }

    Component.onCompleted: {
        // The named plugin first, then the system's Qt Virtual Keyboard; a
        // panel whose input method is not loaded fails to build and is skipped.
        var candidates = [
            { module: "freevirtualkeyboard", url: "qrc:/qml/controls/keyboard/FreeInputPanel.qml" },
            { module: "qtvirtualkeyboard", url: "qrc:/qml/controls/keyboard/QtInputPanel.qml" }
        ]
        for (var i = 0; i < candidates.length && !panel; ++i) {
            var component = Qt.createComponent(candidates[i].url)
            if (component.status !== Component.Ready)
                continue
            panel = component.createObject(keyboard)
            if (panel)
                panelModule = candidates[i].module
        }
    }
}
