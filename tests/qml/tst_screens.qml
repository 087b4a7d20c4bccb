import QtQuick 2.15
import QtQuick.Controls 2.15
import QtTest 1.2
import "qrc:/qml/screens"

// The driver screens and the main window on stand-ins for the controller
// ("manager") and the terminal.
Item {
    id: root
    width: 1024
    height: 480

    QtObject {
        id: manager
        property string dynTr: ""
        property string screen: "Busy"
        property string message: "Please wait"
        property string language: "en_US"
        property bool showCursor: true
        property int maintenanceRequests: 0
        property string deviceId: "SN-1"
        property color screenSaverBg: "black"
        property string screenSaverImg: "qrc:/qml/images/Icons/ulbo-logo-top-gr.svg"
        signal settingsAccessGranted()
        signal settingsAccessDenied()
        signal settingsAccessDelayed(int seconds)
        function setMaintenanceScreen() { maintenanceRequests += 1 }
        function loginDelayRemaining() { return 0 }
        // Re-evaluates every text, as the controller's languageChanged does.
        function setGreek(on) {
            var ok = fixture.setGreek(on)
            dynTr = " "
            dynTr = ""
            return ok
        }
    }

    QtObject {
        id: terminal
        property string reason: "Missing Terminal type"
        property QtObject session: QtObject {
            property var readings: ({ "Front": "", "Rear": "" })
        }
    }

    Ui {
        id: ui
    }

    TestCase {
        name: "DriverScreens"
        when: windowShown

        function screen(name) {
            var component = Qt.createComponent("qrc:/qml/screens/" + name + ".qml")
            compare(component.status, Component.Ready, component.errorString())
            var page = createTemporaryObject(component, root, { width: root.width, height: root.height })
            waitForRendering(page)
            return page
        }

        function test_texts_data() {
            return [
                { tag: "Busy", message: "Please wait", expected: ["Please wait"] },
                { tag: "Success", message: "Please collect your card", expected: ["Please collect your card"] },
                { tag: "ErrorScreen", message: "Card jammed", expected: ["Transaction error", "Card jammed"] },
                { tag: "OutOfOrder", message: "not shown", expected: ["Out-of-order", "Missing Terminal type"] },
                { tag: "DispenseScreen", message: "", expected: ["Front License Plate", "Press button to issue card"] },
                { tag: "CollectScreen", message: "", expected: ["Rear License Plate", "Insert your card"] },
                { tag: "InitPage", message: "", expected: ["Not Registered"] }
            ]
        }

        function test_texts(data) {
            manager.message = data.message
            compare(ui.texts(screen(data.tag)), data.expected)
        }

        function test_messageFollowsTheController() {
            manager.message = "Please wait"
            var page = screen("Busy")
            manager.message = "Rebooting"
            compare(ui.texts(page), ["Rebooting"])
        }

        function test_plates() {
            terminal.session.readings = { "Front": "", "Rear": "" }
            var dispense = screen("DispenseScreen")
            var collect = screen("CollectScreen")
            compare(findChild(dispense, "plate").text, "")
            terminal.session.readings = { "Front": "ABC1234", "Rear": "XYZ9876" }
            compare(findChild(dispense, "plate").text, "ABC1234")
            compare(findChild(collect, "plate").text, "XYZ9876")
            // A reading missing from the map shows as nothing.
            terminal.session.readings = {}
            compare(findChild(dispense, "plate").text, "")
        }

        function test_greek_data() {
            return [
                { tag: "CollectScreen", english: ["Rear License Plate", "Insert your card"],
                  greek: ["\u03a0\u03af\u03c3\u03c9 \u03a0\u03b9\u03bd\u03b1\u03ba\u03af\u03b4\u03b1 \u039f\u03c7\u03ae\u03bc\u03b1\u03c4\u03bf\u03c2",
                          "\u0395\u03b9\u03c3\u03ac\u03b3\u03b5\u03c4\u03b5 \u03c4\u03b7\u03bd \u03ba\u03ac\u03c1\u03c4\u03b1 \u03c3\u03b1\u03c2"] },
                { tag: "DispenseScreen", english: ["Front License Plate", "Press button to issue card"],
                  greek: ["\u039c\u03c0\u03c1\u03bf\u03c3\u03c4\u03b9\u03bd\u03ae \u03a0\u03b9\u03bd\u03b1\u03ba\u03af\u03b4\u03b1 \u039f\u03c7\u03ae\u03bc\u03b1\u03c4\u03bf\u03c2",
                          "\u03a0\u03b1\u03c4\u03ae\u03c3\u03c4\u03b5 \u03c4\u03bf \u03ba\u03bf\u03c5\u03bc\u03c0\u03af \u03b3\u03b9\u03b1 \u03ad\u03ba\u03b4\u03bf\u03c3\u03b7 \u03ba\u03ac\u03c1\u03c4\u03b1\u03c2"] },
                { tag: "ErrorScreen", english: ["Transaction error"],
                  greek: ["\u03a0\u03b1\u03c1\u03bf\u03c5\u03c3\u03b9\u03ac\u03c3\u03c4\u03b7\u03ba\u03b5 \u03a3\u03c6\u03ac\u03bb\u03bc\u03b1"] },
                { tag: "InitPage", english: ["Not Registered"],
                  greek: ["\u039c\u03b7 \u03ba\u03b1\u03c4\u03b1\u03c7\u03c9\u03c1\u03b7\u03bc\u03ad\u03bd\u03b7 \u03c3\u03c5\u03c3\u03ba\u03b5\u03c5\u03ae"] },
                { tag: "OutOfOrder", english: ["Out-of-order", "Missing Terminal type"],
                  greek: ["\u03a0\u03c1\u03bf\u03c3\u03c9\u03c1\u03b9\u03bd\u03ac \u0395\u03ba\u03c4\u03cc\u03c2 \u039b\u03b5\u03b9\u03c4\u03bf\u03c5\u03c1\u03b3\u03af\u03b1\u03c2",
                          "Missing Terminal type"] }
            ]
        }

        // The controller's messages stay English in its documents; the driver reads them in Greek.
        function test_greekMessages_data() {
            return [
                { tag: "Busy, wait", screen: "Busy", message: "Please wait", greek: "\u03a0\u03b1\u03c1\u03b1\u03ba\u03b1\u03bb\u03ce \u03c0\u03b5\u03c1\u03b9\u03bc\u03ad\u03bd\u03b5\u03c4\u03b5" },
                { tag: "Busy, rebooting", screen: "Busy", message: "Rebooting", greek: "\u0395\u03c0\u03b1\u03bd\u03b5\u03ba\u03ba\u03af\u03bd\u03b7\u03c3\u03b7" },
                { tag: "card to collect", screen: "Success", message: "Please collect your card", greek: "\u03a0\u03b1\u03c1\u03b1\u03bb\u03ac\u03b2\u03b5\u03c4\u03b5 \u03c4\u03b7\u03bd \u03ba\u03ac\u03c1\u03c4\u03b1 \u03c3\u03b1\u03c2" },
                { tag: "thank you", screen: "Success", message: "Thank you", greek: "\u0395\u03c5\u03c7\u03b1\u03c1\u03b9\u03c3\u03c4\u03bf\u03cd\u03bc\u03b5" },
                { tag: "device text", screen: "Success", message: "Card 7 passed", greek: "Card 7 passed" }
            ]
        }

        function test_greekMessages(data) {
            manager.message = data.message
            var page = screen(data.screen)
            verify(manager.setGreek(true))
            compare(ui.texts(page), [data.greek])
            verify(manager.setGreek(false))
            compare(ui.texts(page), [data.message])
        }

        function test_greek(data) {
            manager.message = ""
            var page = screen(data.tag)
            verify(manager.setGreek(true))
            compare(ui.texts(page), data.greek)
            verify(manager.setGreek(false))
            compare(ui.texts(page), data.english)
        }

        function test_popupAnswersInGreek() {
            var component = Qt.createComponent("qrc:/qml/controls/CustomPopup.qml")
            var popup = createTemporaryObject(component, root, { isDialog: true, text: "?" })
            popup.open()
            tryCompare(popup, "opened", true)
            verify(manager.setGreek(true))
            compare(ui.texts(popup.contentItem), ["?", "\u039d\u03b1\u03b9", "\u038c\u03c7\u03b9"])
            verify(manager.setGreek(false))
            compare(ui.texts(popup.contentItem), ["?", "Yes", "No"])
        }
    }

    TestCase {
        name: "MainWindow"
        when: windowShown

        property var window: null

        function initTestCase() {
            var component = Qt.createComponent("qrc:/qml/main.qml")
            compare(component.status, Component.Ready, component.errorString())
            window = component.createObject(root)
            verify(window)
            tryCompare(window, "active", true, 5000)
        }

        function cleanupTestCase() {
            window.destroy()
        }

        function page(name) {
            for (var i = 0; i < window.contentItem.children.length; ++i) {
                var child = window.contentItem.children[i]
                if (child.objectName === name)
                    return child
            }
            return null
        }

        function shownPages() {
            var names = []
            for (var i = 0; i < window.screens.length; ++i) {
                if (page(window.screens[i].name).visible)
                    names.push(window.screens[i].name)
            }
            return names
        }

        function test_window() {
            compare(window.width, 1024)
            compare(window.height, 600)
            compare(window.title, "VORNTerminal")
            compare(window.screens.length, 9)
            for (var i = 0; i < window.screens.length; ++i) {
                var loader = page(window.screens[i].name)
                compare(loader.status, Loader.Ready, window.screens[i].name)
            }
        }

        function test_screenFollowsTheController_data() {
            return [
                { tag: "Busy", header: true },
                { tag: "DispenseScreen", header: true },
                { tag: "Login", header: true },
                { tag: "Settings", header: false },
                { tag: "OutOfOrder", header: true }
            ]
        }

        function test_screenFollowsTheController(data) {
            manager.screen = data.tag
            compare(window.currentScreen, data.tag)
            compare(shownPages(), [data.tag])
            var header = findChild(window.contentItem, "header")
            compare(header.visible, data.header)
            compare(page(data.tag).y, data.header ? 120 : 0)
        }

        function test_unknownScreenHidesEveryPage() {
            manager.screen = "NoSuchScreen"
            compare(shownPages(), [])
            verify(findChild(window.contentItem, "header").visible)
        }

        function test_clockAsksForMaintenance() {
            manager.screen = "DispenseScreen"
            var requests = manager.maintenanceRequests
            var clock = findChild(window.contentItem, "header").children[1]
            mouseClick(clock)
            mouseClick(clock)
            mouseClick(clock)
            tryCompare(manager, "maintenanceRequests", requests + 1, 5000)
        }
    }
}
