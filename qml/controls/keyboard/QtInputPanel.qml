import QtQuick 2.15
import QtQuick.VirtualKeyboard 2.15

// Qt's panel keeps its own aspect ratio: 800 px wide is 250 px high.
// While a popup is open the keyboard moves the panel out of our band to the
// window's root (to sit above the popup's overlay), where the band's
// visibility no longer hides it: it shows itself only while it is in use.
InputPanel {
    anchors.horizontalCenter: parent ? parent.horizontalCenter : undefined
    anchors.bottom: parent ? parent.bottom : undefined
    width: 800
    visible: active

    Connections {
        target: InputContext.inputEngine
        function onVirtualKeyClicked(key) {
            if (key === Qt.Key_Return || key === Qt.Key_Enter)
                Qt.inputMethod.hide()
        }
    }
}
