import QtQuick 2.15
import QtQuick.Controls 2.15

// The board at a glance. No menu row opens it.
Pane {
    id: pane

    Column {
        anchors.horizontalCenter: parent.horizontalCenter
        width: pane.availableWidth * 0.8

        InfoRow { width: parent.width; title: manager.dynTr + qsTr("Device S/N") }
        InfoRow { width: parent.width; title: manager.dynTr + qsTr("Hardware"); value: board.model }
        InfoRow { width: parent.width; title: manager.dynTr + qsTr("Ignition") }
        InfoRow { width: parent.width; title: manager.dynTr + qsTr("Voltage") }
        InfoRow { width: parent.width; title: manager.dynTr + qsTr("Temperature") }
    }
}
