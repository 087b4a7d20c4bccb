import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Controls.Material 2.15

// The network service's primary connection.
Pane {
    id: pane

    property var valueColor: function(title, value) { return Material.foreground }
    readonly property var connection: network.primaryConnection
    readonly property var ipv4: connection ? connection.ipv4 : null

    Column {
        anchors.horizontalCenter: parent.horizontalCenter
        width: pane.availableWidth * 0.8
        spacing: 4

        Label {
            text: manager.dynTr + qsTr("Primary Connection")
            font.pointSize: 12
            color: Material.accent
            bottomPadding: 8
        }

        InfoRow {
            objectName: "row_Connection State"
            width: parent.width
            title: manager.dynTr + qsTr("Connection State")
            value: network.connectionState || ""
            valueColor: pane.valueColor("Connection State", value)
        }
        InfoRow {
            objectName: "row_Connectivity"
            width: parent.width
            title: manager.dynTr + qsTr("Connectivity")
            value: network.connectivity || ""
            valueColor: pane.valueColor("Connectivity", value)
        }
        InfoRow {
            objectName: "row_Hostname"
            width: parent.width
            title: manager.dynTr + qsTr("Hostname")
            value: network.hostname || ""
            valueColor: pane.valueColor("Hostname", value)
        }
        InfoRow {
            objectName: "row_Connection Type"
            width: parent.width
            title: manager.dynTr + qsTr("Connection Type")
            value: pane.connection ? pane.connection.type || "" : ""
            valueColor: pane.valueColor("Connection Type", value)
        }
        InfoRow {
            objectName: "row_Interface"
            width: parent.width
            title: manager.dynTr + qsTr("Interface")
            value: pane.connection ? pane.connection.interface || "" : ""
            valueColor: pane.valueColor("Interface", value)
        }
        InfoRow {
            objectName: "row_IPv4 Address"
            width: parent.width
            title: manager.dynTr + qsTr("IPv4 Address")
            value: pane.ipv4 ? pane.ipv4.address || "" : ""
            valueColor: pane.valueColor("IPv4 Address", value)
        }
        InfoRow {
            objectName: "row_IPv4 Netmask"
            width: parent.width
            title: manager.dynTr + qsTr("IPv4 Netmask")
            value: pane.ipv4 ? pane.ipv4.mask || "" : ""
            valueColor: pane.valueColor("IPv4 Netmask", value)
        }
        InfoRow {
            objectName: "row_IPv4 Gateway"
            width: parent.width
            title: manager.dynTr + qsTr("IPv4 Gateway")
            value: pane.ipv4 ? pane.ipv4.gateway || "" : ""
            valueColor: pane.valueColor("IPv4 Gateway", value)
        }
        InfoRow {
            objectName: "row_IPv4 DNS"
            width: parent.width
            title: manager.dynTr + qsTr("IPv4 DNS")
            value: pane.ipv4 ? pane.ipv4.dns0 || "" : ""
            valueColor: pane.valueColor("IPv4 DNS", value)
        }
    }
}
