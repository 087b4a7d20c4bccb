import QtQuick 2.15
import QtQuick.Controls 2.15
import QtTest 1.2

// The wired interface's pages on the real network client, with a fake
// network service behind the broker: what Save sends is what the service
// applies, and the pages show what it reports back.
Item {
    id: root
    width: 1024
    height: 530

    QtObject {
        id: manager
        property string dynTr: ""
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
        name: "NetworkService"
        when: windowShown

        property var client: null

        function initTestCase() {
            client = fixture.startNetworkService()
            verify(client, "the network client did not come in step with the service")
        }

        function cleanup() {
            // What a failed test may have left gone comes back for the next.
            verify(fixture.setNetworkServiceOnline(true))
            verify(fixture.setNetworkClientConnected(true))
            verify(fixture.setNetworkServiceConfigCleared(false))
            tryCompare(stack, "busy", false)
            stack.pop(null, StackView.Immediate)
        }

        function field(page, name) {
            return findChild(page, name + "Field")
        }

        function test_manualAddressesReachTheService() {
            var page = stack.push("qrc:/qml/screens/settings/EthernetConfig.qml", {}, StackView.Immediate)
            waitForRendering(page)
            compare(findChild(page, "modeBox").currentText, "auto")
            ui.choose(this, findChild(page, "modeBox"), "manual")
            // Nothing is written before Save.
            compare(client.ethernet.method, "auto")
            field(page, "address").text = "10.20.30.40"
            field(page, "mask").text = "255.255.0.0"
            field(page, "gateway").text = "10.20.0.1"
            field(page, "dns0").text = "10.20.0.2"
            field(page, "dns1").text = ""
            mouseClick(findChild(page, "saveButton"))
            tryCompare(stack, "depth", 1)

            tryVerify(function() { return fixture.networkServiceConfig().method === "manual" }, 5000)
            var applied = fixture.networkServiceConfig()
            compare(applied.address, "10.20.30.40")
            compare(applied.netmask, "255.255.0.0")
            compare(applied.gateway, "10.20.0.1")
            compare(applied.dns0, "10.20.0.2")
            compare(applied.dns1, "")

            // The service's answer is what the status page shows.
            var status = stack.push("qrc:/qml/screens/settings/Network.qml", {}, StackView.Immediate)
            findChild(status, "swipe").currentIndex = 1
            var address = findChild(status, "row_IPv4 Address").children[1]
            tryCompare(address, "text", "10.20.30.40", 5000)
            compare(findChild(status, "row_State").children[1].text, "Connected")
            compare(findChild(status, "row_Interface").children[1].text, "eth0")
        }

        function fillManual(page, address) {
            field(page, "address").text = address
            field(page, "mask").text = "255.255.0.0"
            field(page, "gateway").text = "172.20.1.1"
            field(page, "dns0").text = "172.20.1.2"
            field(page, "dns1").text = ""
        }

        // A method the mode box does not list shows as "manual": Save sends
        // "manual" with the addresses shown, not the method the service had.
        function test_shownModeIsSent_data() {
            return [ { tag: "link-local", method: "link-local" }, { tag: "no method", method: "" } ]
        }

        function test_shownModeIsSent(data) {
            client.ethernet.method = data.method
            client.ethernet.save()
            tryVerify(function() { return fixture.networkServiceConfig().method === data.method }, 5000)
            tryCompare(client.ethernet, "method", data.method, 5000)
            var page = stack.push("qrc:/qml/screens/settings/EthernetConfig.qml", {}, StackView.Immediate)
            compare(findChild(page, "modeBox").currentText, "manual")
            fillManual(page, "172.20.1.30")
            mouseClick(findChild(page, "saveButton"))
            tryCompare(stack, "depth", 1)
            tryVerify(function() { return fixture.networkServiceConfig().method === "manual" }, 5000)
            var applied = fixture.networkServiceConfig()
            compare(applied.address, "172.20.1.30")
            compare(applied.netmask, "255.255.0.0")
            compare(applied.gateway, "172.20.1.1")
            compare(applied.dns0, "172.20.1.2")
        }

        // With the service or the broker gone nothing can be sent: the page
        // says so and stays; reopened, it shows what the service last reported.
        function test_saveWithoutService_data() {
            return [
                { tag: "service offline", broker: false,
                  problem: "The network service is not running: the configuration was not sent" },
                // Its going clears what it kept: no sign that it runs.
                { tag: "service offline, its kept configuration cleared", broker: false, cleared: true,
                  problem: "The network service is not running: the configuration was not sent" },
                { tag: "broker gone", broker: true,
                  problem: "The network service cannot be reached: the configuration was not sent" }
            ]
        }

        function test_saveWithoutService(data) {
            var page = stack.push("qrc:/qml/screens/settings/EthernetConfig.qml", {}, StackView.Immediate)
            var before = fixture.networkServiceConfig()
            var shownMode = findChild(page, "modeBox").currentText
            var shownAddress = field(page, "address").text
            verify(shownAddress !== "172.20.9.9")
            if (data.broker)
                verify(fixture.setNetworkClientConnected(false))
            else
                verify(fixture.setNetworkServiceOnline(false))
            if (data.cleared) {
                verify(fixture.setNetworkServiceConfigCleared(true))
                // What the service last reported: nothing.
                shownMode = findChild(page, "modeBox").currentText
                shownAddress = field(page, "address").text
                compare(shownAddress, "")
            }
            if (shownMode !== "manual")
                ui.choose(this, findChild(page, "modeBox"), "manual")
            fillManual(page, "172.20.9.9")
            mouseClick(findChild(page, "saveButton"))
            tryCompare(page.popup, "opened", true)
            compare(page.popup.text, data.problem)
            verify(!page.popup.isDialog)
            compare(stack.depth, 2)
            // The typed values stay for another try.
            compare(field(page, "address").text, "172.20.9.9")
            page.popup.close()
            tryCompare(page.popup, "visible", false)
            compare(fixture.networkServiceConfig(), before)

            mouseClick(findChild(page, "backButton"))
            tryCompare(stack, "depth", 1)
            page = stack.push("qrc:/qml/screens/settings/EthernetConfig.qml", {}, StackView.Immediate)
            compare(findChild(page, "modeBox").currentText, shownMode)
            compare(field(page, "address").text, shownAddress)
            if (data.broker)
                verify(fixture.setNetworkClientConnected(true))
            else
                verify(fixture.setNetworkServiceOnline(true))
        }

        function test_refusedAddressesStayOnThePage() {
            var page = stack.push("qrc:/qml/screens/settings/EthernetConfig.qml", {}, StackView.Immediate)
            ui.choose(this, findChild(page, "modeBox"), "manual")
            var before = fixture.networkServiceConfig()
            field(page, "address").text = "10.20.30.400"
            mouseClick(findChild(page, "saveButton"))
            tryCompare(page.popup, "opened", true)
            compare(page.popup.text, "IPv4 address is not a valid IP address")
            compare(fixture.networkServiceConfig(), before)
            page.popup.close()
            tryCompare(page.popup, "visible", false)
        }
    }
}
