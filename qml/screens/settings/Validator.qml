import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Controls.Material 2.15
import QtQuick.Layouts 1.15

// The validator: the terminal, its RFID reader and the reader's first SAM.
Pane {
    id: page

    readonly property QtObject validator: typeof validatorManager !== "undefined" && validatorManager
                                          ? validatorManager : noValidator
    readonly property var rfid: validator.rfid
    readonly property var sam: rfid ? rfid.sam : null

    function text(value) {
        return value === undefined || value === null ? "" : String(value)
    }

    // "yyyy-MM-dd" of a date. A C++ date arrives as midnight UTC: read in
    // local time it would show the day before west of Greenwich.
    function dayText(date) {
        if (!date || isNaN(date.getTime()))
            return ""
        var utc = date.getUTCHours() === 0 && date.getUTCMinutes() === 0
        var year = utc ? date.getUTCFullYear() : date.getFullYear()
        var month = (utc ? date.getUTCMonth() : date.getMonth()) + 1
        var day = utc ? date.getUTCDate() : date.getDate()
        return year + "-" + (month < 10 ? "0" : "") + month + "-" + (day < 10 ? "0" : "") + day
    }

    function statusColor(status) {
        if (status === "offline")
            return Material.color(Material.Red)
        if (status === "out-of-service")
            return Material.color(Material.Amber)
        return Material.color(Material.Green)
    }

    NoValidator {
        id: noValidator
    }

    ColumnLayout {
        anchors.fill: parent
        spacing: 10

        Flickable {
            id: flick
            Layout.fillWidth: true
            Layout.fillHeight: true
            contentHeight: groups.height
            clip: true
            boundsBehavior: Flickable.StopAtBounds

            Column {
                id: groups
                anchors.horizontalCenter: parent.horizontalCenter
                width: flick.width * 0.8
                spacing: 10

                GroupBox {
                    width: parent.width
                    title: "VORNTerminal"

                    Column {
                        width: parent.width
                        InfoRow {
                            objectName: "serialNumber"
                            width: parent.width
                            title: manager.dynTr + qsTr("Serial Number")
                            value: page.text(manager.deviceId)
                        }
                        InfoRow { width: parent.width; title: manager.dynTr + qsTr("Vehicle"); value: page.text(page.validator.vehicle) }
                        InfoRow { width: parent.width; title: manager.dynTr + qsTr("Version"); value: page.text(page.validator.version) }
                        InfoRow {
                            objectName: "status"
                            width: parent.width
                            title: manager.dynTr + qsTr("Status")
                            value: page.text(page.validator.status)
                            valueColor: page.statusColor(value)
                        }
                        InfoRow { width: parent.width; title: manager.dynTr + qsTr("Reason"); value: page.text(page.validator.reason) }
                    }
                }

                GroupBox {
                    width: parent.width
                    title: "RFID"

                    Column {
                        width: parent.width
                        InfoRow { width: parent.width; title: manager.dynTr + qsTr("Firmware"); value: page.rfid ? page.text(page.rfid.firmware) : "" }
                        InfoRow {
                            width: parent.width
                            title: manager.dynTr + qsTr("Model")
                            value: page.rfid ? (page.text(page.rfid.model) + " " + page.text(page.rfid.manufacturer)).trim() : ""
                        }
                        InfoRow { width: parent.width; title: manager.dynTr + qsTr("UID"); value: page.rfid ? page.text(page.rfid.deviceUid) : "" }
                        InfoRow { width: parent.width; title: manager.dynTr + qsTr("State"); value: page.rfid ? page.text(page.rfid.state) : "" }
                        InfoRow { width: parent.width; title: manager.dynTr + qsTr("Error"); value: page.rfid ? page.text(page.rfid.error) : "" }
                    }
                }

                GroupBox {
                    width: parent.width
                    title: "SAM"

                    Column {
                        width: parent.width
                        InfoRow { objectName: "samSlot"; width: parent.width; title: manager.dynTr + qsTr("Slot"); value: page.sam ? page.text(page.sam.slot) : "" }
                        InfoRow { width: parent.width; title: manager.dynTr + qsTr("Name"); value: page.sam ? page.text(page.sam.name) : "" }
                        InfoRow { width: parent.width; title: manager.dynTr + qsTr("Version"); value: page.sam ? page.text(page.sam.version) : "" }
                        InfoRow { width: parent.width; title: manager.dynTr + qsTr("UID"); value: page.sam ? page.text(page.sam.uid) : "" }
                        InfoRow { width: parent.width; title: manager.dynTr + qsTr("Mode"); value: page.sam ? page.text(page.sam.mode) : "" }
                        InfoRow { width: parent.width; title: manager.dynTr + qsTr("Unlocked"); value: page.sam ? page.text(page.sam.unlocked) : "" }
                        InfoRow {
                            objectName: "samProduction"
                            width: parent.width
                            title: manager.dynTr + qsTr("Production")
                            value: page.sam ? page.dayText(page.sam.production) : ""
                        }
                    }
                }
            }
        }

        Button {
            objectName: "configureButton"
            Layout.alignment: Qt.AlignHCenter
            Layout.preferredWidth: page.availableWidth * 0.8
            Layout.preferredHeight: page.height * 0.1
            Layout.bottomMargin: 10
            text: manager.dynTr + qsTr("Configure")
            highlighted: true
            onClicked: page.StackView.view.push(Qt.resolvedUrl("ValidatorConfig.qml"))
        }
    }
}
