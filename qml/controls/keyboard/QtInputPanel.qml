import QtQuick 2.15
import QtQuick.VirtualKeyboard 2.15

// Qt's panel keeps its own aspect ratio: 800 px wide is 250 px high.
InputPanel {
    anchors.horizontalCenter: parent ? parent.horizontalCenter : undefined
    anchors.bottom: parent ? parent.bottom : undefined
    width: 800

    Connections {
        target: InputContext.inputEngine
        function onVirtualKeyClicked(key) {
            if (key === Qt.Key_Return || key === Qt.Key_Enter)
                Qt.inputMethod.hide()
        }
    }
}
