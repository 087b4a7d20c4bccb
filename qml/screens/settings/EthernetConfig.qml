import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Controls.Material 2.15
import QtQuick.Layouts 1.15
import "../../controls"

// The wired interface's addressing: automatic, or the five addresses by hand.
Pane {
    id: page

    readonly property var ethernet: network.ethernet
    readonly property bool manual: modeBox.currentText === "manual"
    readonly property var addressPattern: /^((25[0-5]|(2[0-4]|1\d|[1-9]|)\d)\.?\b){4}$/
    readonly property alias popup: popup

    // The empty text is valid: the field is then not used.
    function isValid(text) {
        return text === "" || addressPattern.test(text)
    }

    // The first reason the fields cannot be saved, or "" when they can.
    function check() {
        if (!manual)
            return ""
        if (addressField.text === "")
            return "IPv4 address cannot be empty in 'manual' mode"
        if (maskField.text === "")
            return "IPv4 netmask cannot be empty in 'manual' mode"
        var fields = [
            [addressField, "IPv4 address is not a valid IP address"],
            [maskField, "IPv4 netmask is not a valid IP address"],
            [gatewayField, "IPv4 gateway is not a valid IP address"],
            [dns0Field, "IPv4 DNS #0 is not a valid IP address"],
            [dns1Field, "IPv4 DNS #1 is not a valid IP address"]
        ]
        for (var i = 0; i < fields.length; ++i) {
            if (!isValid(fields[i][0].text))
                return fields[i][1]
        }
        return ""
    }

    function save() {
        Qt.inputMethod.hide()
        var problem = check()
        if (problem !== "") {
            popup.text = manager.dynTr + qsTr(problem)
            popup.open()
            return false
        }
        var config = ethernet.config
        config.address = addressField.text
        config.mask = maskField.text
        config.gateway = gatewayField.text
        config.dns0 = dns0Field.text
        config.dns1 = dns1Field.text
        ethernet.save()
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
                onActivated: page.ethernet.method = currentText
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

    CustomPopup {
        id: popup
        objectName: "problemPopup"
        isDialog: false
    }
}
