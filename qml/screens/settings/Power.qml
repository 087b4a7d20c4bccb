import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15

// Power switches of the board's parts. No menu row opens it; the switches
// drive nothing yet.
Pane {
    GridLayout {
        anchors.left: parent.left
        anchors.right: parent.right
        columns: 2

        Repeater {
            model: ["Display", "FTDI", "mPCIe #1", "mPCIe #2", "QR Reader", "RFID Reader", "Touch", "USB Host",
                    "USB Hub"]

            delegate: RowLayout {
                Layout.fillWidth: true
                Label { Layout.fillWidth: true; text: modelData }
                Switch { checked: true }
            }
        }
    }
}
