import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Controls.Material 2.15
import QtQuick.Layouts 1.15

// The software update service: state, versions, progress, check and install.
Pane {
    id: page

    readonly property var update: manager.update

    function statusColor(status) {
        if (["Disconnected", "Service not running", "No answer", "Installation failed", "Download failed"].indexOf(status) >= 0)
            return Material.color(Material.Red)
        if (status === "Ready to install")
            return Material.color(Material.Green)
        if (status === "Downloading" || status === "Installing")
            return Material.color(Material.Amber)
        return Material.foreground
    }

    ColumnLayout {
        anchors.fill: parent
        spacing: 12

        GridLayout {
            Layout.fillWidth: true
            columns: 2
            columnSpacing: 10
            rowSpacing: 12

            Label { Layout.preferredWidth: page.availableWidth * 0.3; text: manager.dynTr + qsTr("Status") }
            Label {
                objectName: "status"
                Layout.fillWidth: true
                text: manager.dynTr + page.update.status
                color: page.statusColor(page.update.status)
                font.bold: true
            }

            Label { text: manager.dynTr + qsTr("Current Version") }
            Label {
                objectName: "current"
                Layout.fillWidth: true
                text: page.update.current !== "" ? page.update.current : manager.dynTr + qsTr("None")
            }

            Label { text: manager.dynTr + qsTr("Pending Version") }
            Label {
                objectName: "pending"
                Layout.fillWidth: true
                text: page.update.pending !== "" ? page.update.pending : manager.dynTr + qsTr("None")
            }

            Label { text: manager.dynTr + qsTr("Progress") }
            ColumnLayout {
                Layout.fillWidth: true
                ProgressBar {
                    objectName: "progress"
                    Layout.fillWidth: true
                    from: 0
                    to: 100
                    value: page.update.progressPercent
                }
                Label {
                    objectName: "progressMessage"
                    Layout.fillWidth: true
                    text: manager.dynTr + page.update.progressMessage
                    elide: Label.ElideRight
                }
            }
        }

        Item { Layout.fillHeight: true }

        RowLayout {
            Layout.fillWidth: true
            spacing: 20
            Button {
                objectName: "checkButton"
                Layout.fillWidth: true
                text: manager.dynTr + qsTr("Check")
                onClicked: page.update.check()
            }
            Button {
                objectName: "installButton"
                Layout.fillWidth: true
                text: manager.dynTr + qsTr("Install")
                highlighted: true
                enabled: page.update.status === "Ready to install"
                onClicked: page.update.install()
            }
        }
    }
}
