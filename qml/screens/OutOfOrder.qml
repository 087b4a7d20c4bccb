import QtQuick 2.15
import "../controls"

// The terminal cannot serve: the reason below the notice.
Item {
    id: page

    MessageScreen {
        id: banner
        anchors.horizontalCenter: parent.horizontalCenter
        anchors.top: parent.top
        anchors.topMargin: parent.height * 0.08
        width: parent.width * 0.9
        message: manager.dynTr + qsTr("Out-of-order")
        icon: "qrc:/qml/images/Icons/warning.svg"
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
        height: implicitHeight
        // The terminal's reason; without one the controller's (the broker lost).
        text: manager.dynTr + (terminal.reason !== "" ? terminal.reason : qsTranslate("Messages", manager.message))
        textSize: 20
        textColor: "#112D63"
    }
}
