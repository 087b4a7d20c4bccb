import QtQuick 2.15
import QtQuick.Controls 2.15
import QtTest 1.2
import "qrc:/qml/screens/settings"

// The diagnostics page on stand-ins for the controller's diagnostics, the
// validator, the system service and the board.
Item {
    id: root
    width: 1024
    height: 530

    QtObject {
        id: manager
        property string dynTr: ""
        property QtObject diagnostics: DiagnosticsStandIn {}
    }

    QtObject {
        id: validatorManager
        signal cardDetected(string uid, string type)
        signal cardRemoved()
        property QtObject rfid: QtObject { property bool enabled: false }
        property var calls: []
        function enableRfid() { calls.push("enable"); rfid.enabled = true }
        function disableRfid() { calls.push("disable"); rfid.enabled = false }
    }

    QtObject {
        id: inspector
        property var played: []
        function audioPlay(file) { played.push(file) }
    }

    QtObject {
        id: board
        property int displayBrightness: 0
    }

    Ui {
        id: ui
    }

    Page {
        id: frame
        anchors.fill: parent
        header: ToolBar { height: stack.fullScreen ? 0 : 70 }

        StackView {
            id: stack
            property bool fullScreen: false
            anchors.fill: parent
            initialItem: Item {}
        }
    }

    TestCase {
        name: "Diagnostics"
        when: windowShown

        property var page: null
        readonly property var diagnostics: manager.diagnostics

        function init() {
            var verdicts = ["buzzer", "leds", "speaker", "cardScan", "lightSensor", "rgbTest"]
            for (var i = 0; i < verdicts.length; ++i)
                diagnostics[verdicts[i]] = ""
            diagnostics.reportSaves = true
            validatorManager.calls = []
            inspector.played = []
            page = stack.push("qrc:/qml/screens/settings/Diagnostics.qml", {}, StackView.Immediate)
            waitForRendering(page)
        }

        function cleanup() {
            var popups = page ? [page.dialog, page.cardPopup, page.reportPopup] : []
            for (var i = 0; i < popups.length; ++i) {
                if (popups[i].visible) {
                    popups[i].close()
                    tryCompare(popups[i], "visible", false)
                }
            }
            tryCompare(stack, "busy", false)
            stack.pop(null, StackView.Immediate)
        }

        function test_checksStartAndStopWithThePage() {
            var starts = diagnostics.starts
            var stops = diagnostics.stops
            stack.pop(null, StackView.Immediate)
            compare(diagnostics.stops, stops + 1)
            page = stack.push("qrc:/qml/screens/settings/Diagnostics.qml", {}, StackView.Immediate)
            compare(diagnostics.starts, starts + 1)
            compare(diagnostics.stops, stops + 1)
        }

        function test_rowsShowVerdictsInTheirColours() {
            var expected = [["check_rtc", "", "#9e9e9e"], ["check_ethernet", "OK", "#4caf50"],
                            ["check_usbHost", "MISSING", "#ffc107"], ["check_ftdi", "ERROR", "#f44336"],
                            ["check_rfidService", "ERROR", "#f44336"]]
            for (var i = 0; i < expected.length; ++i) {
                var value = findChild(page, expected[i][0]).children[1]
                compare(value.text, expected[i][1], expected[i][0])
                compare(String(value.color), expected[i][2], expected[i][0])
            }
            diagnostics.sdCard = "OK"
            compare(findChild(page, "check_sdCard").children[1].text, "OK")
        }

        function test_verdictButtons_data() {
            return [
                { tag: "buzzer yes", button: "buzzerButton", verdict: "buzzer", yes: true,
                  question: "Can you hear the buzzer?" },
                { tag: "buzzer no", button: "buzzerButton", verdict: "buzzer", yes: false,
                  question: "Can you hear the buzzer?" },
                { tag: "leds yes", button: "ledsButton", verdict: "leds", yes: true,
                  question: "Can you see the LEDs flashing?" },
                { tag: "speaker no", button: "speakerButton", verdict: "speaker", yes: false,
                  question: "Can you hear the internal speaker?" },
                { tag: "sensor yes", button: "sensorButton", verdict: "lightSensor", yes: true,
                  question: "Is LCD brightness adjusting?\nBrightness : 0%" }
            ]
        }

        function test_verdictButtons(data) {
            var button = findChild(page, data.button)
            compare(String(button.background.color), "#9e9e9e")
            mouseClick(button)
            compare(page.dialog.text, data.question)
            ui.answer(this, page.dialog, data.yes)
            compare(diagnostics[data.verdict], data.yes ? "OK" : "ERROR")
            compare(String(button.background.color), data.yes ? "#4caf50" : "#f44336")
            // Only the speaker's question plays the test sound.
            compare(inspector.played, data.verdict === "speaker" ? ["/opt/vesk/vorn-terminal-ui/Valid.wav"] : [])
        }

        function test_cardScan() {
            var button = findChild(page, "rfidButton")
            verify(!button.highlighted)
            mouseClick(button)
            tryCompare(page.cardPopup, "opened", true)
            compare(page.cardPopup.text, "Tap a card")
            compare(validatorManager.calls, ["enable"])
            verify(button.highlighted)

            validatorManager.cardDetected("04A1B2C3", "MIFARE")
            compare(page.cardPopup.text, "CARD DETECTED\n04A1B2C3\nMIFARE")
            compare(diagnostics.cardScan, "OK")
            validatorManager.cardRemoved()
            compare(page.cardPopup.text, "Tap a card")

            // A tap anywhere closes it and stops the search.
            mouseClick(page.cardPopup.contentItem)
            tryCompare(page.cardPopup, "visible", false)
            compare(validatorManager.calls, ["enable", "disable"])
            verify(!button.highlighted)
        }

        function test_colourTest() {
            mouseClick(findChild(page, "rgbButton"))
            tryCompare(stack, "busy", false)
            var colours = stack.currentItem
            compare(colours.objectName, "colourTest")
            compare(frame.header.height, 0)
            compare(String(colours.color), "#ff0000")
            mouseClick(colours)
            compare(String(colours.color), "#00ff00")
            mouseClick(colours)
            compare(String(colours.color), "#0000ff")
            mouseClick(colours)
            tryCompare(stack, "busy", false)
            compare(stack.currentItem, page)
            compare(frame.header.height, 70)
            compare(page.dialog.text, "Was the RGB test successful?")
            ui.answer(this, page.dialog, true)
            compare(diagnostics.rgbTest, "OK")
        }

        function test_savedReportShowsQrAndCloses() {
            var stops = diagnostics.stops
            var reports = diagnostics.reports
            mouseClick(findChild(page, "finishButton"))
            compare(diagnostics.reports, reports + 1)
            var popup = page.reportPopup
            tryCompare(popup, "opened", true)
            compare(popup.text, "Test report saved successfully:\n./TestReport_20240131_0915.txt")
            verify(popup.hasImage)
            compare(popup.height, 300)
            mouseClick(popup.contentItem)
            tryCompare(stack, "depth", 1)
            tryCompare(diagnostics, "stops", stops + 1)
        }

        function test_failedReportStays() {
            diagnostics.reportSaves = false
            mouseClick(findChild(page, "finishButton"))
            var popup = page.reportPopup
            tryCompare(popup, "opened", true)
            compare(popup.text, "Could not save Test Report\nERROR: No space left on device")
            verify(!popup.hasImage)
            compare(popup.height, 200)
            mouseClick(popup.contentItem)
            tryCompare(popup, "visible", false)
            compare(stack.depth, 2)
            compare(stack.currentItem, page)
        }

        function test_verdictsOutliveThePage() {
            mouseClick(findChild(page, "ledsButton"))
            ui.answer(this, page.dialog, false)
            stack.pop(null, StackView.Immediate)
            page = stack.push("qrc:/qml/screens/settings/Diagnostics.qml", {}, StackView.Immediate)
            compare(String(findChild(page, "ledsButton").background.color), "#f44336")
        }
    }
}
