import QtQuick 2.15
import QtQuick.Controls 2.15
import QtTest 1.2
import "qrc:/qml/screens/settings"

// The network pages on a stand-in network client: the rows and their
// colours, and the wired interface's configuration with its Save checks.
Item {
    id: root
    width: 1024
    height: 530

    QtObject {
        id: manager
        property string dynTr: ""
    }

    component Addresses: QtObject {
        property string address
        property string mask
        property string gateway
        property string dns0
        property string dns1
    }

    // "interface" cannot be declared in QML: those rows stay empty here.
    QtObject {
        id: network
        property string connectionState: "Connected"
        property string connectivity: "Full"
        property string hostname: "lane-7"
        property QtObject primaryConnection: QtObject {
            property string type: "802-3-ethernet"
            property QtObject ipv4: Addresses { address: "10.0.0.7"; mask: "255.255.255.0"; gateway: "10.0.0.1"; dns0: "10.0.0.2" }
        }
        property QtObject ethernet: QtObject {
            property string state: "Connected"
            property string mac: "00:11:22:33:44:55"
            property string reason: ""
            property string method: "auto"
            property QtObject ipv4: Addresses { address: "10.0.0.7"; mask: "255.255.255.0" }
            property QtObject config: Addresses {}
            property int saves: 0
            property string savedMethod
            // Refuses while set, as the client does with its service gone.
            property bool unreachable: false
            readonly property bool serviceOnline: !unreachable
            function save() {
                if (unreachable)
                    return false
                saves += 1
                savedMethod = method
                return true
            }
        }
    }

    Ui {
        id: ui
    }

    StackView {
        id: stack
        anchors.fill: parent
        initialItem: Item {}
    }

    TestCase {
        name: "NetworkPages"
        when: windowShown

        function cleanup() {
            tryCompare(stack, "busy", false)
            stack.pop(null, StackView.Immediate)
        }

        function rowValue(page, title) {
            return findChild(page, "row_" + title).children[1]
        }

        function test_rowsFollowTheService() {
            var page = stack.push("qrc:/qml/screens/settings/Network.qml", {}, StackView.Immediate)
            waitForRendering(page)
            compare(rowValue(page, "Hostname").text, "lane-7")
            compare(rowValue(page, "IPv4 Gateway").text, "10.0.0.1")
            compare(rowValue(page, "MAC").text, "00:11:22:33:44:55")
            network.hostname = "lane-8"
            compare(rowValue(page, "Hostname").text, "lane-8")
        }

        function test_colours_data() {
            return [
                { tag: "connected", row: "Connection State", value: "Connected", colour: "#4caf50" },
                { tag: "disconnected", row: "Connection State", value: "Disconnected", colour: "#f44336" },
                { tag: "connecting", row: "Connection State", value: "Connecting", colour: "#ffc107" },
                { tag: "ethernet down", row: "State", value: "Disconnected", colour: "#f44336" },
                { tag: "full", row: "Connectivity", value: "Full", colour: "#4caf50" },
                { tag: "portal", row: "Connectivity", value: "Portal", colour: "#ffc107" },
                { tag: "limited", row: "Connectivity", value: "Limited", colour: "#ffc107" },
                { tag: "none", row: "Connectivity", value: "None", colour: "#f44336" }
            ]
        }

        function test_colours(data) {
            var page = stack.push("qrc:/qml/screens/settings/Network.qml", {}, StackView.Immediate)
            if (data.row === "State")
                network.ethernet.state = data.value
            else if (data.row === "Connectivity")
                network.connectivity = data.value
            else
                network.connectionState = data.value
            var value = rowValue(page, data.row)
            compare(value.text, data.value)
            compare(String(value.color), data.colour)
            network.ethernet.state = "Connected"
            network.connectivity = "Full"
            network.connectionState = "Connected"
        }

        function test_tabsAndSwipeFollowEachOther() {
            var page = stack.push("qrc:/qml/screens/settings/Network.qml", {}, StackView.Immediate)
            var tabs = findChild(page, "tabs")
            var swipe = findChild(page, "swipe")
            mouseClick(tabs.itemAt(1))
            tryCompare(swipe, "currentIndex", 1)
            swipe.currentIndex = 0
            compare(tabs.currentIndex, 0)
        }

        function test_configureOpensConfiguration() {
            var page = stack.push("qrc:/qml/screens/settings/Network.qml", {}, StackView.Immediate)
            findChild(page, "swipe").currentIndex = 1
            mouseClick(findChild(page, "configureButton"))
            tryCompare(stack, "depth", 3)
            verify(findChild(stack.currentItem, "saveButton"))
        }
    }

    TestCase {
        name: "EthernetConfig"
        when: windowShown

        property var page: null

        function init() {
            network.ethernet.method = "manual"
            network.ethernet.saves = 0
            var config = network.ethernet.config
            config.address = "192.168.1.20"
            config.mask = "255.255.255.0"
            config.gateway = "192.168.1.1"
            config.dns0 = ""
            config.dns1 = ""
            page = stack.push("qrc:/qml/screens/settings/EthernetConfig.qml", {}, StackView.Immediate)
            waitForRendering(page)
        }

        function cleanup() {
            fixture.setGreek(false)
            if (page && page.popup.visible) {
                page.popup.close()
                tryCompare(page.popup, "visible", false)
            }
            tryCompare(stack, "busy", false)
            stack.pop(null, StackView.Immediate)
        }

        function field(name) {
            return findChild(page, name + "Field")
        }

        function test_saveChecks_data() {
            return [
                { tag: "all valid", fields: {}, problem: "" },
                { tag: "empty gateway and DNS pass", fields: { gateway: "", dns0: "", dns1: "" }, problem: "" },
                { tag: "both DNS", fields: { dns0: "1.1.1.1", dns1: "8.8.8.8" }, problem: "" },
                { tag: "single host", fields: { address: "10.9.8.7", mask: "255.255.255.255", gateway: "" },
                  problem: "" },
                { tag: "point to point", fields: { address: "10.9.8.6", mask: "255.255.255.254", gateway: "10.9.8.7" },
                  problem: "" },
                { tag: "wide subnet", fields: { address: "10.0.0.1", mask: "255.0.0.0", gateway: "10.255.255.254" },
                  problem: "" },
                { tag: "mask with a hole", fields: { mask: "255.0.255.0" },
                  problem: "IPv4 netmask is not a valid netmask" },
                { tag: "mask of zero", fields: { mask: "0.0.0.0" },
                  problem: "IPv4 netmask is not a valid netmask" },
                { tag: "mask with a stray bit", fields: { mask: "255.255.255.1" },
                  problem: "IPv4 netmask is not a valid netmask" },
                { tag: "host 0.0.0.0", fields: { address: "0.0.0.0", mask: "255.255.255.255", gateway: "" },
                  problem: "IPv4 address cannot be 0.0.0.0" },
                { tag: "host is the network", fields: { address: "192.168.1.0" },
                  problem: "IPv4 address cannot be the network or broadcast address" },
                { tag: "host is the broadcast", fields: { address: "192.168.1.255" },
                  problem: "IPv4 address cannot be the network or broadcast address" },
                { tag: "gateway is the broadcast", fields: { gateway: "192.168.1.255" },
                  problem: "IPv4 gateway cannot be the network or broadcast address" },
                { tag: "gateway is the network", fields: { address: "10.1.2.3", mask: "255.255.0.0", gateway: "10.1.0.0" },
                  problem: "IPv4 gateway cannot be the network or broadcast address" },
                { tag: "gateway outside", fields: { gateway: "192.168.2.1" },
                  problem: "IPv4 gateway is outside the subnet" },
                // A host route to the gateway: a /32 reaches it outside its subnet.
                { tag: "gateway outside a /32", fields: { address: "10.9.8.7", mask: "255.255.255.255", gateway: "10.9.8.1" },
                  problem: "" },
                // The usual way to write no gateway; sent as none.
                { tag: "gateway 0.0.0.0 is none", fields: { gateway: "0.0.0.0" }, problem: "", sent: { gateway: "" } },
                { tag: "gateway 0.0.0.0 on a /32", fields: { address: "10.9.8.7", mask: "255.255.255.255", gateway: "0.0.0.0" },
                  problem: "", sent: { gateway: "" } },
                { tag: "local resolver as DNS", fields: { dns0: "127.0.0.53" }, problem: "" },
                { tag: "gateway is the host itself", fields: { gateway: "192.168.1.20" },
                  problem: "IPv4 gateway cannot be the terminal's own address" },
                { tag: "gateway is the /32 host itself", fields: { address: "10.9.8.7", mask: "255.255.255.255", gateway: "10.9.8.7" },
                  problem: "IPv4 gateway cannot be the terminal's own address" },
                { tag: "loopback host", fields: { address: "127.0.0.5", mask: "255.0.0.0", gateway: "" },
                  problem: "IPv4 address cannot be a loopback address (127.0.0.0/8)" },
                { tag: "loopback host with its gateway", fields: { address: "127.1.2.3", mask: "255.255.255.0", gateway: "127.1.2.1" },
                  problem: "IPv4 address cannot be a loopback address (127.0.0.0/8)" },
                { tag: "multicast host", fields: { address: "239.1.2.3", mask: "255.255.255.0", gateway: "" },
                  problem: "IPv4 address cannot be a multicast address (224.0.0.0/4)" },
                { tag: "all-ones host", fields: { address: "255.255.255.255", mask: "255.255.255.255", gateway: "" },
                  problem: "IPv4 address cannot be 255.255.255.255" },
                { tag: "loopback gateway of a /32", fields: { address: "10.9.8.7", mask: "255.255.255.255", gateway: "127.0.0.1" },
                  problem: "IPv4 gateway cannot be a loopback address (127.0.0.0/8)" },
                { tag: "multicast gateway of a /32", fields: { address: "10.9.8.7", mask: "255.255.255.255", gateway: "224.0.0.1" },
                  problem: "IPv4 gateway cannot be a multicast address (224.0.0.0/4)" },
                { tag: "all-ones gateway of a /32", fields: { address: "10.9.8.7", mask: "255.255.255.255", gateway: "255.255.255.255" },
                  problem: "IPv4 gateway cannot be 255.255.255.255" },
                { tag: "DNS #0 of 0.0.0.0", fields: { dns0: "0.0.0.0" }, problem: "IPv4 DNS #0 cannot be 0.0.0.0" },
                { tag: "DNS #1 of 0.0.0.0", fields: { dns0: "1.1.1.1", dns1: "0.0.0.0" },
                  problem: "IPv4 DNS #1 cannot be 0.0.0.0" },
                { tag: "DNS #0 of all ones", fields: { dns0: "255.255.255.255" },
                  problem: "IPv4 DNS #0 cannot be 255.255.255.255" },
                { tag: "DNS #1 of all ones", fields: { dns1: "255.255.255.255" },
                  problem: "IPv4 DNS #1 cannot be 255.255.255.255" },
                { tag: "multicast DNS #0", fields: { dns0: "224.0.0.251" },
                  problem: "IPv4 DNS #0 cannot be a multicast address (224.0.0.0/4)" },
                { tag: "multicast DNS #1", fields: { dns1: "239.255.255.250" },
                  problem: "IPv4 DNS #1 cannot be a multicast address (224.0.0.0/4)" },
                { tag: "DNS #0 the subnet's broadcast", fields: { dns0: "192.168.1.255" },
                  problem: "IPv4 DNS #0 cannot be the network or broadcast address" },
                { tag: "DNS #1 the subnet's network", fields: { dns0: "1.1.1.1", dns1: "192.168.1.0" },
                  problem: "IPv4 DNS #1 cannot be the network or broadcast address" },
                { tag: "syntax first", fields: { mask: "255.0.255.0", gateway: "192.168.1.300" },
                  problem: "IPv4 gateway is not a valid IP address" },
                { tag: "empty address", fields: { address: "" },
                  problem: "IPv4 address cannot be empty in 'manual' mode" },
                { tag: "empty netmask", fields: { mask: "" },
                  problem: "IPv4 netmask cannot be empty in 'manual' mode" },
                { tag: "both empty: address first", fields: { address: "", mask: "" },
                  problem: "IPv4 address cannot be empty in 'manual' mode" },
                { tag: "number above 255", fields: { address: "192.168.1.256" },
                  problem: "IPv4 address is not a valid IP address" },
                { tag: "leading zero", fields: { mask: "255.255.255.01" },
                  problem: "IPv4 netmask is not a valid IP address" },
                { tag: "three numbers", fields: { gateway: "192.168.1" },
                  problem: "IPv4 gateway is not a valid IP address" },
                { tag: "trailing dot", fields: { dns0: "1.1.1.1." },
                  problem: "IPv4 DNS #0 is not a valid IP address" },
                { tag: "letters", fields: { dns1: "dns.example" },
                  problem: "IPv4 DNS #1 is not a valid IP address" },
                { tag: "address checked before gateway", fields: { address: "1.2.3.999", gateway: "x" },
                  problem: "IPv4 address is not a valid IP address" }
            ]
        }

        function test_saveChecks(data) {
            for (var name in data.fields)
                field(name).text = data.fields[name]
            mouseClick(findChild(page, "saveButton"))
            if (data.problem === "") {
                compare(network.ethernet.saves, 1)
                tryCompare(stack, "depth", 1)
                var config = network.ethernet.config
                var expected = { address: "192.168.1.20", mask: "255.255.255.0", gateway: "192.168.1.1",
                                 dns0: "", dns1: "" }
                for (name in data.fields)
                    expected[name] = data.fields[name]
                for (name in data.sent)
                    expected[name] = data.sent[name]
                for (name in expected)
                    compare(config[name], expected[name], name)
            } else {
                tryCompare(page.popup, "opened", true)
                compare(page.popup.text, data.problem)
                verify(!page.popup.isDialog)
                compare(network.ethernet.saves, 0)
                compare(stack.depth, 2)
                compare(network.ethernet.config.address, "192.168.1.20")
            }
        }

        // Every refusal reaches the operator in the language of the lane: none stays in English.
        function test_saveChecksInGreek_data() {
            return test_saveChecks_data().filter(function(row) { return row.problem !== "" })
        }

        function test_saveChecksInGreek(data) {
            verify(fixture.setGreek(true))
            for (var name in data.fields)
                field(name).text = data.fields[name]
            mouseClick(findChild(page, "saveButton"))
            tryCompare(page.popup, "opened", true)
            var shown = page.popup.text
            fixture.setGreek(false)
            verify(/[\u0370-\u03FF]/.test(shown), "shown untranslated: " + shown)
            compare(network.ethernet.saves, 0)
        }

        function test_autoModeSavesAtOnce() {
            ui.choose(this, findChild(page, "modeBox"), "auto")
            // The mode goes out with Save, not before.
            compare(network.ethernet.method, "manual")
            verify(!field("address").enabled)
            field("address").text = "not checked"
            mouseClick(findChild(page, "saveButton"))
            compare(network.ethernet.saves, 1)
            compare(network.ethernet.savedMethod, "auto")
            compare(network.ethernet.config.address, "not checked")
            tryCompare(stack, "depth", 1)
        }

        // Any method but "auto" shows as "manual", and Save sends the mode shown.
        function test_modeFollowsTheMethod_data() {
            return [ { tag: "dhcp", method: "dhcp" }, { tag: "link-local", method: "link-local" },
                     { tag: "none yet", method: "" } ]
        }

        function test_modeFollowsTheMethod(data) {
            stack.pop(null, StackView.Immediate)
            network.ethernet.method = data.method
            page = stack.push("qrc:/qml/screens/settings/EthernetConfig.qml", {}, StackView.Immediate)
            compare(findChild(page, "modeBox").currentText, "manual")
            verify(field("address").enabled)
            mouseClick(findChild(page, "saveButton"))
            compare(network.ethernet.saves, 1)
            compare(network.ethernet.savedMethod, "manual")
            compare(network.ethernet.config.address, "192.168.1.20")
            tryCompare(stack, "depth", 1)
        }

        function test_backKeepsTheMethod() {
            ui.choose(this, findChild(page, "modeBox"), "auto")
            mouseClick(findChild(page, "backButton"))
            tryCompare(stack, "depth", 1)
            compare(network.ethernet.method, "manual")
            compare(network.ethernet.saves, 0)
        }

        // A configuration that cannot be sent keeps the page open and says so.
        function test_unreachableServiceRefuses() {
            network.ethernet.unreachable = true
            field("address").text = "192.168.1.30"
            mouseClick(findChild(page, "saveButton"))
            tryCompare(page.popup, "opened", true)
            compare(page.popup.text, "The network service is not running: the configuration was not sent")
            compare(stack.depth, 2)
            compare(field("address").text, "192.168.1.30")
            network.ethernet.unreachable = false
        }

        function test_invalidTextTurnsRed() {
            var address = field("address")
            var normal = String(address.color)
            mouseClick(address)
            address.text = "300.1.1.1"
            mouseClick(field("mask"))
            compare(String(address.color), "#f44336")
            mouseClick(address)
            address.text = "10.1.1.1"
            mouseClick(field("gateway"))
            compare(String(address.color), normal)
        }
    }
}
