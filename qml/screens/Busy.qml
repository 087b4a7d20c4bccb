import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Controls.Material 2.15

// Work in progress, with the controller's message.
Item {
    id: page

    Column {
        anchors.centerIn: parent
        width: parent.width * 0.9
        spacing: 40

        Text {
            objectName: "message"
            width: parent.width
            // The controller says it in English (its documents too); the screen in the driver's language.
            text: manager.dynTr + qsTranslate("Messages", manager.message)
            color: "#112D63"
            font.family: "DejaVu Sans"
            font.pointSize: 22
            wrapMode: Text.WordWrap
            horizontalAlignment: Text.AlignHCenter
        }

        BusyIndicator {
            anchors.horizontalCenter: parent.horizontalCenter
            width: Math.min(page.width, page.height) / 5
            height: width
            running: page.visible
            Material.accent: "#009FDF"
        }
    }
}
