import QtQuick 2.15

// The terminal is not registered yet. The window lists this screen; the
// controller does not select it today.
Item {
    MessageScreen {
        anchors.centerIn: parent
        width: parent.width * 0.9
        message: manager.dynTr + qsTr("Not Registered")
        icon: "qrc:/qml/images/Icons/warning.svg"
        iconSize: Qt.size(150, 150)
        iconColor: "#db4a37"
        textSizeMedium: 28
    }
}
