import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Controls.Material 2.15
import QtQuick.Layouts 1.15
import "../../controls" as Controls

// The validator's settings and the two display settings of the terminal.
Pane {
    id: page

    readonly property QtObject validator: typeof validatorManager !== "undefined" && validatorManager
                                          ? validatorManager : noValidator
    readonly property var config: validator.config
    // Without a validator its settings would be thrown away: they stay as they are.
    readonly property bool connected: validator !== noValidator
    readonly property bool modified: (connected && (urlField.text !== String(config.obuUrl)
                                                    || qrSwitch.checked !== config.passbackQrEnabled
                                                    || passbackBox.value !== config.passbackSecs))
                                     || shutdownBox.value !== manager.shutdownDelaySec
                                     || errorSwitch.checked !== manager.showErrorDesc

    function back() {
        Qt.inputMethod.hide()
        validator.refreshConfig()
        page.StackView.view.pop()
    }

    function save() {
        Qt.inputMethod.hide()
        // Read every control before the first write: a write may move the
        // sources the controls start from.
        var url = urlField.text
        var passback = passbackBox.value
        var qr = qrSwitch.checked
        var shutdownDelay = shutdownBox.value
        var showError = errorSwitch.checked
        if (connected) {
            config.obuUrl = url
            config.passbackSecs = passback
            config.passbackQrEnabled = qr
            validator.saveConfig()
        }
        manager.shutdownDelaySec = shutdownDelay
        manager.showErrorDesc = showError
        page.StackView.view.pop()
    }

    NoValidator {
        id: noValidator
    }

    // Scrolls up to keep the focused field above the on-screen keyboard.
    Controls.KeyboardLift {
        id: lift
        area: page

        GridLayout {
            anchors.horizontalCenter: parent.horizontalCenter
            width: page.availableWidth * 0.8
            columns: 2
            columnSpacing: 10
            rowSpacing: 10

            Label {
                objectName: "noValidatorLine"
                Layout.columnSpan: 2
                Layout.fillWidth: true
                visible: !page.connected
                wrapMode: Text.WordWrap
                color: Material.color(Material.Amber)
                text: manager.dynTr + qsTr("No validator connected: its settings cannot be changed")
            }

            Label {
                Layout.preferredWidth: parent.width * 0.3
                text: manager.dynTr + qsTr("OBC URL")
            }
            TextField {
                id: urlField
                objectName: "urlField"
                Layout.fillWidth: true
                enabled: page.connected
                text: String(page.config.obuUrl)
                inputMethodHints: Qt.ImhUrlCharactersOnly | Qt.ImhNoAutoUppercase
            }

            Label { text: manager.dynTr + qsTr("Passback Time (sec)") }
            SpinBox {
                id: passbackBox
                objectName: "passbackBox"
                from: 0
                to: 86400
                stepSize: 1
                editable: true
                enabled: page.connected
                value: page.config.passbackSecs
                inputMethodHints: Qt.ImhDigitsOnly
            }

            Label {
                text: manager.dynTr + qsTr("Shutdown Delay (sec)")
                MouseArea { id: shutdownHover; anchors.fill: parent; hoverEnabled: true }
                ToolTip.visible: shutdownHover.containsMouse
                ToolTip.text: "The delay, in seconds, after which the system\n"
                              + "will start the shutdown sequence, providing that\n"
                              + "the ignition has been turned off (max=900 sec)."
            }
            SpinBox {
                id: shutdownBox
                objectName: "shutdownBox"
                from: 5
                to: 900
                stepSize: 5
                editable: true
                value: manager.shutdownDelaySec
                inputMethodHints: Qt.ImhDigitsOnly
            }

            Label { text: manager.dynTr + qsTr("QR Passback Enabled") }
            Switch {
                id: qrSwitch
                objectName: "qrSwitch"
                enabled: page.connected
                checked: page.config.passbackQrEnabled
            }

            Label {
                text: manager.dynTr + qsTr("Show Error Description")
                MouseArea { id: errorHover; anchors.fill: parent; hoverEnabled: true }
                ToolTip.visible: errorHover.containsMouse
                ToolTip.text: "If enabled, a full error description will\n"
                              + "be displayed in the 'Out-of-Order' screen\n"
                              + "instead of just an error code."
            }
            Switch {
                id: errorSwitch
                objectName: "errorSwitch"
                checked: manager.showErrorDesc
            }
        }
    }

    Row {
        anchors.horizontalCenter: parent.horizontalCenter
        anchors.bottom: parent.bottom
        anchors.bottomMargin: 50
        spacing: 30

        Button {
            objectName: "backButton"
            width: page.availableWidth * 0.3
            height: page.height * 0.1
            text: manager.dynTr + qsTr("Back")
            onClicked: page.back()
            onActiveFocusChanged: if (activeFocus) Qt.inputMethod.hide()
        }
        Button {
            objectName: "saveButton"
            width: page.availableWidth * 0.3
            height: page.height * 0.1
            text: manager.dynTr + qsTr("Save")
            highlighted: true
            enabled: page.modified
            onClicked: page.save()
            onActiveFocusChanged: if (activeFocus) Qt.inputMethod.hide()
        }
    }
}
