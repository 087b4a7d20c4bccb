import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Controls.Material 2.15
import QtQuick.Layouts 1.15

// The wired interface's live state, and the way to its configuration.
Pane {
    id: pane

    signal configureRequested()

    property var valueColor: function(title, value) { return Material.foreground }
    readonly property var ethernet: network.ethernet
    readonly property var ipv4: ethernet ? ethernet.ipv4 : null

    ColumnLayout {
        anchors.fill: parent

        Column {
            Layout.alignment: Qt.AlignHCenter
            Layout.preferredWidth: pane.availableWidth * 0.8
            spacing: 4

            Label {
                text: manager.dynTr + qsTr("Connection State")
                font.pointSize: 12
                color: Material.accent
                bottomPadding: 8
            }

            InfoRow {
                objectName: "row_State"
                width: parent.width
                title: manager.dynTr + qsTr("State")
                value: pane.ethernet ? pane.ethernet.state || "" : ""
                valueColor: pane.valueColor("State", value)
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
                objectName: "row_IPv4 DNS#0"
                width: parent.width
                title: manager.dynTr + qsTr("IPv4 DNS#0")
                value: pane.ipv4 ? pane.ipv4.dns0 || "" : ""
                valueColor: pane.valueColor("IPv4 DNS#0", value)
            }
            InfoRow {
                objectName: "row_IPv4 DNS#1"
                width: parent.width
                title: manager.dynTr + qsTr("IPv4 DNS#1")
                value: pane.ipv4 ? pane.ipv4.dns1 || "" : ""
                valueColor: pane.valueColor("IPv4 DNS#1", value)
            }
            InfoRow {
                objectName: "row_MAC"
                width: parent.width
                title: manager.dynTr + qsTr("MAC")
                value: pane.ethernet ? pane.ethernet.mac || "" : ""
                valueColor: pane.valueColor("MAC", value)
            }
            InfoRow {
                objectName: "row_Interface"
                width: parent.width
                title: manager.dynTr + qsTr("Interface")
                value: pane.ethernet ? pane.ethernet.interface || "" : ""
                valueColor: pane.valueColor("Interface", value)
            }
            InfoRow {
                objectName: "row_State Change Reason"
                width: parent.width
                title: manager.dynTr + qsTr("State Change Reason")
                value: pane.ethernet ? pane.ethernet.reason || "" : ""
                valueColor: pane.valueColor("State Change Reason", value)
            }
        }

        Item { Layout.fillHeight: true }

        Button {
            objectName: "configureButton"
            Layout.alignment: Qt.AlignHCenter
            Layout.preferredWidth: pane.availableWidth * 0.8
            text: manager.dynTr + qsTr("Configure")
            onClicked: pane.configureRequested()
        }
    }
}
