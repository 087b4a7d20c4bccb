import QtQuick 2.15
import QtQuick.Controls 2.15
import QtTest 1.2
import "qrc:/qml/screens/settings"

// The validator pages and the diagnostics card test with no validator
// connected (no validatorManager anywhere), and the validator page beside one.
Item {
    id: root
    width: 1024
    height: 530

    QtObject {
        id: manager
        property string dynTr: ""
        property string deviceId: "SN-0042"
        property int shutdownDelaySec: 60
        property bool showErrorDesc: false
        property QtObject diagnostics: DiagnosticsStandIn {}
    }

    QtObject {
        id: inspector
        function audioPlay(file) {}
    }

    QtObject {
        id: board
        property int displayBrightness: 0
    }

    StackView {
        id: stack
        anchors.fill: parent
        initialItem: Item {}
    }

    Ui {
        id: ui
    }

    Component {
        id: connectedComponent
        ConnectedValidator { anchors.fill: parent }
    }

    TestCase {
        name: "WithoutValidator"
        when: windowShown

        function init() {
            manager.shutdownDelaySec = 60
            manager.showErrorDesc = false
        }

        function cleanup() {
            tryCompare(stack, "busy", false)
            stack.pop(null, StackView.Immediate)
        }

        function value(page, name) {
            return findChild(page, name).children[1].text
        }

        function test_validatorPageShowsAnEmptyModel() {
            verify(typeof validatorManager === "undefined")
            var page = stack.push("qrc:/qml/screens/settings/Validator.qml", {}, StackView.Immediate)
            waitForRendering(page)
            compare(value(page, "serialNumber"), "SN-0042")
            compare(value(page, "status"), "")
            compare(value(page, "samSlot"), "")
            compare(value(page, "samProduction"), "")
            mouseClick(findChild(page, "configureButton"))
            tryCompare(stack, "depth", 3)
            verify(findChild(stack.currentItem, "saveButton"))
        }

        function test_saveKeepsTheEdits() {
            var page = stack.push("qrc:/qml/screens/settings/ValidatorConfig.qml", {}, StackView.Immediate)
            waitForRendering(page)
            var save = findChild(page, "saveButton")
            verify(!save.enabled)
            findChild(page, "shutdownBox").increase()
            verify(save.enabled)
            mouseClick(findChild(page, "errorSwitch"))
            findChild(page, "urlField").text = "https://obu.example/api"
            findChild(page, "passbackBox").increase()
            mouseClick(save)
            compare(manager.shutdownDelaySec, 65)
            compare(manager.showErrorDesc, true)
            tryCompare(stack, "depth", 1)
        }

        function test_backLeavesTheSettings() {
            var page = stack.push("qrc:/qml/screens/settings/ValidatorConfig.qml", {}, StackView.Immediate)
            findChild(page, "shutdownBox").increase()
            mouseClick(findChild(page, "backButton"))
            tryCompare(stack, "depth", 1)
            compare(manager.shutdownDelaySec, 60)
        }

        function test_undoneEditIsNotModified() {
            var page = stack.push("qrc:/qml/screens/settings/ValidatorConfig.qml", {}, StackView.Immediate)
            var save = findChild(page, "saveButton")
            var spin = findChild(page, "shutdownBox")
            spin.increase()
            verify(save.enabled)
            spin.decrease()
            verify(!save.enabled)
            mouseClick(findChild(page, "errorSwitch"))
            verify(save.enabled)
            mouseClick(findChild(page, "errorSwitch"))
            verify(!save.enabled)
        }

        // The validator's own settings have nowhere to go: they cannot be
        // edited, and the page says why; the terminal's two still can.
        function test_validatorSettingsDisabled() {
            var page = stack.push("qrc:/qml/screens/settings/ValidatorConfig.qml", {}, StackView.Immediate)
            waitForRendering(page)
            var line = findChild(page, "noValidatorLine")
            verify(line && line.visible, "no line says the validator is missing")
            compare(line.text, "No validator connected: its settings cannot be changed")
            for (var name of ["urlField", "passbackBox", "qrSwitch"])
                verify(!findChild(page, name).enabled, name)
            verify(findChild(page, "shutdownBox").enabled)
            verify(findChild(page, "errorSwitch").enabled)
            var save = findChild(page, "saveButton")
            mouseClick(findChild(page, "qrSwitch"))
            mouseClick(findChild(page, "urlField"))
            keyClick(Qt.Key_A)
            verify(!save.enabled)
        }

        function test_cardScanWithoutValidator() {
            var page = stack.push("qrc:/qml/screens/settings/Diagnostics.qml", {}, StackView.Immediate)
            waitForRendering(page)
            var button = findChild(page, "rfidButton")
            mouseClick(button)
            tryCompare(page.cardPopup, "opened", true)
            compare(page.cardPopup.text, "Tap a card")
            verify(!button.highlighted)
            mouseClick(page.cardPopup.contentItem)
            tryCompare(page.cardPopup, "visible", false)
        }
    }

    TestCase {
        name: "WithValidator"
        when: windowShown

        function value(page, name) {
            return findChild(page, name).children[1]
        }

        function test_valuesAndStatusColours_data() {
            return [
                { tag: "online", status: "online", colour: "#4caf50" },
                { tag: "offline", status: "offline", colour: "#f44336" },
                { tag: "out of service", status: "out-of-service", colour: "#ffc107" }
            ]
        }

        function test_valuesAndStatusColours(data) {
            var holder = createTemporaryObject(connectedComponent, root)
            var page = holder.page
            holder.validator.status = data.status
            compare(value(page, "status").text, data.status)
            compare(String(value(page, "status").color), data.colour)
            compare(value(page, "serialNumber").text, "SN-0042")
            compare(value(page, "samSlot").text, "1")
            compare(value(page, "samProduction").text, "2023-05-17")
        }

        function test_readerModel() {
            var rfid = fixture.validatorRfid({
                firmware: "1.4.2", model: "R-100", manufacturer: "Reader Co", uid: "04:AA",
                state: 2, active: true, error: "",
                slots: [true, false],
                sams: [{ slot: 1, name: "SAM-A", version: "3", uid: "5A", mode: "AV2", unlocked: true,
                         production: "2023-05-17" }]
            })
            var holder = createTemporaryObject(connectedComponent, root, { rfid: rfid })
            var page = holder.page
            var texts = ui.texts(page)
            verify(texts.indexOf("R-100 Reader Co") >= 0, texts)
            verify(texts.indexOf("04:AA") >= 0, texts)
            verify(texts.indexOf("Searching") >= 0, texts)
            compare(value(page, "samSlot").text, "1")
            compare(value(page, "samProduction").text, "2023-05-17")

            // A status without SAMs empties the group.
            fixture.feedValidator(rfid, { state: 1 })
            compare(value(page, "samSlot").text, "")
            compare(value(page, "samProduction").text, "")
        }
    }
}
