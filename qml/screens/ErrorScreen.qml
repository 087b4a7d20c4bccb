import QtQuick 2.15
import "../controls"

// A failed session or card test, with the controller's message below.
Item {
    id: page

    MessageScreen {
        id: banner
        anchors.horizontalCenter: parent.horizontalCenter
        anchors.top: parent.top
        anchors.topMargin: parent.height * 0.08
        width: parent.width * 0.9
        message: manager.dynTr + qsTr("Transaction error")
        icon: "qrc:/qml/images/Icons/invalid.svg"
        iconSize: Qt.size(150, 150)
        iconColor: "#db4a37"
        // Read from the cab at arm's length.
        textSizeMedium: 28
    }

    TextBox {
        objectName: "message"
        anchors.horizontalCenter: parent.horizontalCenter
        anchors.top: banner.bottom
        anchors.topMargin: 20
        width: parent.width * 0.9
        // A long error stays on the screen: as many lines as fit, the last one elided.
        height: Math.min(implicitHeight, parent.height - y - 10)
        text: manager.dynTr + qsTranslate("Messages", manager.message)
        textSize: 20
        textColor: "#112D63"
        label.maximumLineCount: 3
        label.elide: Text.ElideRight
    }
}
