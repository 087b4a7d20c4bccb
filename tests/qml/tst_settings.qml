import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Controls.Material 2.15
import QtTest 1.2
import "qrc:/qml/screens/settings"

// The settings frame and the region, audio, display and update pages, on
// small stand-ins for what the controller publishes.
Item {
    id: root
    width: 1024
    height: 600

    QtObject {
        id: manager
        property string dynTr: ""
        property string language: "en_US"
        property bool showCursor: true
        property int displayOffMin: 3
        property var calls: []
        function rebootRequest() { calls.push("reboot") }
        function shutdownRequest() { calls.push("shutdown") }
        function exitRequest() { calls.push("exit") }
        function settingsLogoutRequest() { calls.push("logout") }

        property QtObject update: QtObject {
            property string status: "Idle"
            property string current: "1.2.3"
            property string pending: ""
            property string progressMessage: "Idle"
            property int progressPercent: 0
            property int checks: 0
            property int installs: 0
            function check() { checks += 1 }
            function install() { installs += 1 }
        }
    }

    QtObject {
        id: terminal
        property QtObject clock: QtObject {
            property var timezones: ["Europe/Athens", "Europe/London", "UTC"]
            property string timezone: "UTC"
            property string ntpServer: "pool.ntp.org"
            property bool ntpEnabled: false
            property bool ntpSynced: true
            property int refreshes: 0
            property int syncs: 0
            function refresh() { refreshes += 1 }
            function ntpSync() { syncs += 1 }
            function acceptsNtpServer(text) { return text.indexOf(";") < 0 }
        }
    }

    QtObject {
        id: inspector
        property int audioVolume: 40
        property var calls: []
        function audioPlay(file) { calls.push("play:" + file) }
        function setAudioVolume(value) { calls.push("volume:" + value) }
    }

    QtObject {
        id: board
        property int displayBrightness: 0
        property string model: "Board"
    }

    Component {
        id: frameComponent
        Main { anchors.fill: parent }
    }

    TestCase {
        name: "Frame"
        when: windowShown

        property var frame: null

        function init() {
            manager.calls = []
            frame = createTemporaryObject(frameComponent, root)
            waitForRendering(frame)
        }

        function openRow(title) {
            mouseClick(findChild(frame, "row_" + title))
            tryCompare(frame.stack, "busy", false)
        }

        function test_menuRows() {
            var titles = ["Validator", "Diagnostics", "Region", "Audio", "Display", "Network", "Update", "Event Log"]
            for (var i = 0; i < titles.length; ++i) {
                var row = findChild(frame, "row_" + titles[i])
                verify(row, titles[i])
                compare(row.height, (frame.height - 70) * 0.125)
            }
            compare(findChild(frame, "title").text, "Settings")
            verify(!findChild(frame, "backButton").visible)
        }

        function test_rowOpensPageAndBackPops() {
            openRow("Audio")
            compare(frame.stack.depth, 2)
            compare(findChild(frame, "title").text, "Audio")
            verify(findChild(frame, "backButton").visible)
            mouseClick(findChild(frame, "backButton"))
            tryCompare(frame.stack, "busy", false)
            compare(frame.stack.depth, 1)
            compare(findChild(frame, "title").text, "Settings")
        }

        function test_rowsOpenOnlyFromTheMenu() {
            openRow("Audio")
            // The menu row is still an object under the page; it must not stack a second page.
            frame.openRow(2)
            compare(frame.stack.depth, 2)
            compare(findChild(frame, "title").text, "Audio")
        }

        function test_hidingReturnsToMenu() {
            openRow("Display")
            frame.confirm("reboot")
            tryCompare(frame.confirmation, "opened", true)
            frame.visible = false
            compare(frame.stack.depth, 1)
            tryCompare(frame.confirmation, "visible", false)
            frame.visible = true
            compare(frame.stack.depth, 1)
            compare(findChild(frame, "title").text, "Settings")
        }

        function test_commandsAskFirst_data() {
            return [
                { tag: "restart", command: "restart", yes: true, expected: ["exit"] },
                { tag: "reboot", command: "reboot", yes: true, expected: ["reboot"] },
                { tag: "shutdown", command: "shutdown", yes: true, expected: ["shutdown"] },
                { tag: "shutdown refused", command: "shutdown", yes: false, expected: [] }
            ]
        }

        function test_commandsAskFirst(data) {
            frame.confirm(data.command)
            var dialog = frame.confirmation
            compare(dialog.text, "Are you sure?")
            ui.answer(this, dialog, data.yes)
            compare(manager.calls, data.expected)
        }

        function test_menuEntries() {
            var menuButton = findChild(frame, "menuButton")
            mouseClick(menuButton)
            var menu = findChild(menuButton, "menu")
            tryCompare(menu, "opened", true)
            var labels = []
            for (var i = 0; i < menu.count; ++i)
                labels.push(menu.itemAt(i).text)
            compare(labels, ["Restart Application", "Reboot", "Shutdown", "Logout"])
            mouseClick(menu.itemAt(3))
            compare(manager.calls, ["logout"])
        }

        function test_keyboardPanel() {
            var keyboard = frame.keyboard
            compare(keyboard.height, 250)
            if (fixture.inputMethod !== "qtvirtualkeyboard")
                skip("no on-screen keyboard installed")
            verify(keyboard.available)
            openRow("Region")
            var field = findChild(frame.stack.currentItem, "ntpServerField")
            mouseClick(field)
            tryCompare(keyboard, "y", frame.height - 250)
            verify(keyboard.visible)
            frame.back()
            tryCompare(keyboard, "y", frame.height)
            verify(!keyboard.visible)
        }

        // The frame grows when the window's header goes (log-in to settings): a hidden keyboard
        // stays below the edge instead of sliding across the page.
        function test_hiddenKeyboardStaysHiddenWhenTheFrameGrows() {
            var keyboard = frame.keyboard
            frame.anchors.fill = undefined
            frame.height = 480
            compare(keyboard.y, 480)
            frame.height = 600
            compare(keyboard.y, 600)
            verify(!keyboard.visible)
        }
    }

    // Picks an entry of a combo box as a finger does: open it, tap the entry.
    Ui {
        id: ui
    }

    Component {
        id: regionComponent
        Region { anchors.fill: parent }
    }

    TestCase {
        name: "Region"
        when: windowShown

        function test_regionFollowsAndWritesTheClock() {
            var refreshes = terminal.clock.refreshes
            var page = createTemporaryObject(regionComponent, root)
            compare(terminal.clock.refreshes, refreshes + 1)
            waitForRendering(page)

            var zones = findChild(page, "zoneBox")
            compare(zones.currentText, "UTC")
            ui.choose(this, zones, "Europe/London")
            compare(terminal.clock.timezone, "Europe/London")

            var server = findChild(page, "ntpServerField")
            mouseClick(server)
            verify(server.activeFocus)
            server.text = "ntp.example.org"
            compare(terminal.clock.ntpServer, "pool.ntp.org")
            // Leaving the field finishes the edit.
            mouseClick(findChild(page, "ntpSyncButton"))
            compare(terminal.clock.ntpServer, "ntp.example.org")
            compare(terminal.clock.syncs, 1)

            var ntp = findChild(page, "ntpSwitch")
            mouseClick(ntp)
            compare(terminal.clock.ntpEnabled, true)
            terminal.clock.ntpSynced = false
            compare(findChild(page, "ntpSynced").active, false)
            terminal.clock.ntpSynced = true
            compare(findChild(page, "ntpSynced").active, true)
        }

        function test_localeSwitchesTheLanguage() {
            manager.language = "en_US"
            var page = createTemporaryObject(regionComponent, root)
            var locale = findChild(page, "localeBox")
            compare(locale.currentText, "en_US")
            compare(String(findChild(page, "flag").source), "qrc:/qml/images/Flags/uk.png")
            ui.choose(this, locale, "el_GR")
            compare(manager.language, "el_GR")
            compare(String(findChild(page, "flag").source), "qrc:/qml/images/Flags/gr.png")
            manager.language = "en_US"
        }
    }

    Component {
        id: audioComponent
        Audio { anchors.fill: parent }
    }

    TestCase {
        name: "Audio"
        when: windowShown

        function test_releasePlaysThenSetsVolume() {
            inspector.calls = []
            var page = createTemporaryObject(audioComponent, root)
            waitForRendering(page)
            var slider = findChild(page, "volumeSlider")
            compare(slider.value, 40)
            verify(!slider.enabled)
            mouseClick(findChild(page, "audioEnabled"))
            verify(slider.enabled)

            mousePress(slider, slider.width * 0.75, slider.height / 2)
            mouseRelease(slider, slider.width * 0.75, slider.height / 2)
            var volume = Math.round(slider.value)
            verify(volume > 60 && volume < 90, volume)
            compare(inspector.calls, ["play:/opt/vesk/vorn-terminal-ui/Valid.wav", "volume:" + volume])
            compare(findChild(page, "volumeText").text, volume + "%")
        }
    }

    Component {
        id: displayComponent
        Display { anchors.fill: parent }
    }

    TestCase {
        name: "Display"
        when: windowShown

        function test_settingsWriteTheController() {
            manager.showCursor = true
            manager.displayOffMin = 3
            var page = createTemporaryObject(displayComponent, root)
            waitForRendering(page)
            mouseClick(findChild(page, "showCursor"))
            compare(manager.showCursor, false)

            var spin = findChild(page, "displayOffMin")
            compare(spin.value, 3)
            spin.forceActiveFocus()
            keyClick(Qt.Key_Down)
            compare(manager.displayOffMin, 2)
            spin.decrease()
            spin.decrease()
            spin.decrease()
            compare(manager.displayOffMin, 0)

            // The controller's own changes show.
            manager.displayOffMin = 7
            compare(spin.value, 7)
            verify(!findChild(page, "brightnessSlider").parent.enabled)
        }

        function test_darkTheme() {
            var page = createTemporaryObject(displayComponent, root)
            var dark = findChild(page, "darkTheme")
            verify(!dark.checked)
            mouseClick(dark)
            verify(dark.checked)
            compare(page.Material.theme, Material.Dark)
            mouseClick(dark)
            compare(page.Material.theme, Material.Light)
            verify(!dark.checked)
        }
    }

    Component {
        id: updateComponent
        Update { anchors.fill: parent }
    }

    TestCase {
        name: "Update"
        when: windowShown

        function test_status_data() {
            return [
                { tag: "service missing", status: "Service not running", colour: "#f44336", install: false },
                { tag: "download failed", status: "Download failed", colour: "#f44336", install: false },
                { tag: "check unanswered", status: "No answer", colour: "#f44336", install: false },
                { tag: "ready", status: "Ready to install", colour: "#4caf50", install: true },
                { tag: "downloading", status: "Downloading", colour: "#ffc107", install: false },
                { tag: "idle", status: "Idle", colour: "", install: false }
            ]
        }

        function test_status(data) {
            manager.update.status = data.status
            var page = createTemporaryObject(updateComponent, root)
            var status = findChild(page, "status")
            compare(status.text, data.status)
            if (data.colour !== "")
                compare(String(status.color), data.colour)
            compare(findChild(page, "installButton").enabled, data.install)
        }

        function test_versionsAndButtons() {
            manager.update.status = "Ready to install"
            manager.update.pending = ""
            var page = createTemporaryObject(updateComponent, root)
            waitForRendering(page)
            compare(findChild(page, "current").text, "1.2.3")
            compare(findChild(page, "pending").text, "None")
            manager.update.pending = "1.3.0"
            compare(findChild(page, "pending").text, "1.3.0")
            manager.update.progressPercent = 40
            compare(findChild(page, "progress").value, 40)
            mouseClick(findChild(page, "checkButton"))
            mouseClick(findChild(page, "installButton"))
            compare(manager.update.checks, 1)
            compare(manager.update.installs, 1)
        }
    }
}
