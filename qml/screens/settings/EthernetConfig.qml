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
        return checkSubnet()
    }

    // A valid address text as a 32-bit number.
    function toNumber(text) {
        var parts = text.split(".")
        return ((Number(parts[0]) * 256 + Number(parts[1])) * 256 + Number(parts[2])) * 256 + Number(parts[3])
    }

    // Addresses that would cut the terminal off the network: a mask with holes
    // or none, a host that is no host, a gateway it cannot reach.
    function checkSubnet() {
        var mask = toNumber(maskField.text)
        var hosts = (0xFFFFFFFF - mask) >>> 0
        if (mask === 0 || ((hosts & (hosts + 1)) >>> 0) !== 0)
            return QT_TR_NOOP("IPv4 netmask is not a valid netmask")
        var address = toNumber(addressField.text)
        if (address === 0)
            return QT_TR_NOOP("IPv4 address cannot be 0.0.0.0")
        var network = (address & mask) >>> 0
        var broadcast = (network | hosts) >>> 0
        // A /31 or /32 has no network or broadcast address of its own.
        var reserved = function(value) { return hosts > 1 && (value === network || value === broadcast) }
        if (reserved(address))
            return QT_TR_NOOP("IPv4 address cannot be the network or broadcast address")
        if (gatewayField.text !== "") {
            var gateway = toNumber(gatewayField.text)
            if (((gateway & mask) >>> 0) !== network)
                return QT_TR_NOOP("IPv4 gateway is outside the subnet")
            if (reserved(gateway))
                return QT_TR_NOOP("IPv4 gateway cannot be the network or broadcast address")
        }
        return ""
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
        var typed = [addressField.text, maskField.text, gatewayField.text, dns0Field.text, dns1Field.text]
        var mode = modeBox.currentText
        ethernet.method = mode
        var config = ethernet.config
        config.address = typed[0]
        config.mask = typed[1]
        config.gateway = typed[2]
        config.dns0 = typed[3]
        config.dns1 = typed[4]
        if (!ethernet.save()) {
            // The client went back to the service's values; the page keeps the typed ones for another try.
            var fields = [addressField, maskField, gatewayField, dns0Field, dns1Field]
            for (var i = 0; i < fields.length; ++i)
                fields[i].text = typed[i]
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
