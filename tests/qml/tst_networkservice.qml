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
            compare(client.ethernet.method, "manual")
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
