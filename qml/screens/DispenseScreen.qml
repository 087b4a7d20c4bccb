import QtQuick 2.15

// Idle screen of a card-vending terminal: the front plate read by the
// cameras, and the prompt pointing down at the button.
Item {
    id: page

    readonly property var readings: terminal.session.readings

    Column {
        id: plate
        anchors.horizontalCenter: parent.horizontalCenter
        y: parent.height * 0.08
        width: parent.width * 0.9
        spacing: 4

        Text {
            objectName: "plate"
            width: parent.width
            text: manager.dynTr + (page.readings["Front"] || "")
            color: "#333333"
            font.family: "DejaVu Sans"
            font.pointSize: 32
            font.bold: true
            horizontalAlignment: Text.AlignHCenter
            elide: Text.ElideRight
        }

        Text {
            width: parent.width
            text: manager.dynTr + qsTr("Front License Plate")
            color: "#333333"
            font.family: "DejaVu Sans"
            // Larger than a caption: read from the cab at arm's length.
            font.pointSize: 14
            horizontalAlignment: Text.AlignHCenter
        }
    }

    MessageScreen {
        anchors.left: parent.left
        anchors.right: parent.right
        anchors.margins: parent.width * 0.05
        anchors.top: plate.bottom
        anchors.bottom: parent.bottom
        message: manager.dynTr + qsTr("Press button to issue card")
        icon: "qrc:/qml/images/Icons/chevron-down.svg"
        iconTop: false
        iconSize: Qt.size(96, 96)
        textSizeMedium: 28
    }
}
