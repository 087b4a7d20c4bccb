import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Controls.Material 2.15
import QtQuick.Layouts 1.15
import com.vesk.network.ipv4 1.0
import "../../controls"

// The wired interface's addressing: automatic, or the five addresses by hand.
Pane {
    id: page

    readonly property var ethernet: network.ethernet
    readonly property bool manual: modeBox.currentText === "manual"
    readonly property alias popup: popup

    // The fields as one configuration, checked by the rule the value itself holds.
    IPv4 {
        id: typed
        address: addressField.text
        mask: maskField.text
        gateway: gatewayField.text
        dns0: dns0Field.text
        dns1: dns1Field.text
    }

    // The empty text is valid: the field is then not used.
    function isValid(text) {
        return typed.isAddressText(text)
    }

    // The first reason the fields cannot be saved, or "" when they can.
    function check() {
        return manual ? typed.problem() : ""
    }

    function showProblem(problem) {
        popup.text = manager.dynTr + qsTr(problem)
        popup.open()
    }

    function save() {
        Qt.inputMethod.hide()
        var problem = check()
        if (problem !== "") {
            showProblem(problem)
            return false
        }
        // Sent as shown: a method the box does not list shows, and goes, as "manual".
        var texts = [addressField.text, maskField.text, gatewayField.text, dns0Field.text, dns1Field.text]
        var mode = modeBox.currentText
        ethernet.method = mode
        var config = ethernet.config
        config.address = texts[0]
        config.mask = texts[1]
        config.gateway = typed.effectiveGateway()
        config.dns0 = texts[3]
        config.dns1 = texts[4]
        if (!ethernet.save()) {
            // The client went back to the service's values; the page keeps the typed ones for another try.
            var fields = [addressField, maskField, gatewayField, dns0Field, dns1Field]
            for (var i = 0; i < fields.length; ++i)
                fields[i].text = texts[i]
            modeBox.currentIndex = modeBox.find(mode)
            showProblem(ethernet.serviceOnline === false
                        ? QT_TR_NOOP("The network service is not running: the configuration was not sent")
                        : QT_TR_NOOP("The network service cannot be reached: the configuration was not sent"))
            return false
        }
        page.StackView.view.pop()
        return true
    }

    component AddressField: TextField {
        property bool valid: true
        Layout.fillWidth: true
        enabled: page.manual
        inputMethodHints: Qt.ImhFormattedNumbersOnly
        color: valid ? Material.foreground : Material.color(Material.Red)
        onEditingFinished: valid = page.isValid(text)
    }

    // Scrolls up to keep the focused field above the on-screen keyboard.
    KeyboardLift {
        id: lift
        area: page

        ColumnLayout {
            anchors.fill: parent
            spacing: 6

            Label {
                text: manager.dynTr + qsTr("Ethernet Configuration")
                font.pointSize: 12
                color: Material.accent
            }

            GridLayout {
                Layout.fillWidth: true
                columns: 2
                columnSpacing: 10
                rowSpacing: 0

                Label { text: manager.dynTr + qsTr("Mode"); Layout.preferredWidth: page.availableWidth * 0.3 }
                ComboBox {
                    id: modeBox
                    objectName: "modeBox"
                    Layout.fillWidth: true
                    model: ["auto", "manual"]
                    currentIndex: page.ethernet.method === "auto" ? 0 : 1
                    onActiveFocusChanged: if (activeFocus) Qt.inputMethod.hide()
                }

                Label { text: "IPV4 Address" }
                AddressField { id: addressField; objectName: "addressField"; text: page.ethernet.config.address }
                Label { text: "IPV4 Netmask" }
                AddressField { id: maskField; objectName: "maskField"; text: page.ethernet.config.mask }
                Label { text: "IPV4 Gateway" }
                AddressField { id: gatewayField; objectName: "gatewayField"; text: page.ethernet.config.gateway }
                Label { text: "DNS #0" }
                AddressField { id: dns0Field; objectName: "dns0Field"; text: page.ethernet.config.dns0 }
                Label { text: "DNS #1" }
                AddressField { id: dns1Field; objectName: "dns1Field"; text: page.ethernet.config.dns1 }
            }

            Item { Layout.fillHeight: true }

            RowLayout {
                Layout.fillWidth: true
                spacing: 30

                Button {
                    objectName: "backButton"
                    Layout.fillWidth: true
                    text: manager.dynTr + qsTr("Back")
                    onClicked: {
                        Qt.inputMethod.hide()
                        page.StackView.view.pop()
                    }
                    onActiveFocusChanged: if (activeFocus) Qt.inputMethod.hide()
                }
                Button {
                    objectName: "saveButton"
                    Layout.fillWidth: true
                    text: manager.dynTr + qsTr("Save")
                    highlighted: true
                    onClicked: page.save()
                    onActiveFocusChanged: if (activeFocus) Qt.inputMethod.hide()
                }
            }
        }
    }

    CustomPopup {
        id: popup
        objectName: "problemPopup"
        isDialog: false
    }
}
