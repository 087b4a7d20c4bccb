import QtQuick 2.15
import QtTest 1.2
import "qrc:/qml/controls"

// The number pad's keys and the clock's tap counting.
Item {
    id: root
    width: 1024
    height: 600

    QtObject {
        id: manager
        property string dynTr: ""
    }

    // The page a pad reports to: records every call.
    Item {
        id: recorder
        property var calls: []
        function calcNumberPressed(key) { calls.push("digit:" + key) }
        function customLeftPressed(key) { calls.push("left:" + key) }
        function customRightPressed(key) { calls.push("right:" + key) }
    }

    Component {
        id: padComponent
        NumberPad { page: recorder }
    }

    Component {
        id: clockComponent
        Clock {}
    }

    SignalSpy {
        id: holdSpy
        signalName: "pressAndHold"
    }

    TestCase {
        name: "NumberPad"
        when: windowShown

        function init() {
            recorder.calls = []
        }

        function test_keys_data() {
            return [
                { tag: "phone layout", phone: true,
                  expected: ["digit:1", "digit:2", "digit:3", "digit:4", "digit:5", "digit:6", "digit:7", "digit:8",
                             "digit:9", "left:\u2190", "digit:0", "right:CLR"] },
                { tag: "keypad layout", phone: false,
                  expected: ["digit:7", "digit:8", "digit:9", "digit:4", "digit:5", "digit:6", "digit:1", "digit:2",
                             "digit:3", "left:\u2190", "digit:0", "right:CLR"] }
            ]
        }

        function test_keys(data) {
            var pad = createTemporaryObject(padComponent, root)
            pad.style.phoneLayout = data.phone
            // The grid places the new keys on its next polish.
            tryVerify(function() { return findChild(pad, "key_11").x > 0 }, 5000)
            for (var i = 0; i < 12; ++i)
                mouseClick(findChild(pad, "key_" + i))
            compare(recorder.calls, data.expected)
        }

        function test_geometry() {
            var pad = createTemporaryObject(padComponent, root)
            var key = findChild(pad, "key_0")
            compare(key.width, 118)
            compare(key.height, 70)
            compare(pad.width, 3 * 118 + 2 * 6)
            compare(pad.height, 4 * 70 + 3 * 7)
            compare(String(findChild(pad, "key_9").color), "#d6d6d6")
            compare(String(findChild(pad, "key_11").color), "#d6d6d6")
        }

        function test_customModel() {
            var pad = createTemporaryObject(padComponent, root, { customModel: ["A", "B", "C", "D", "E", "F",
                                                                               "G", "H", "I", "J", "K", "L"],
                                                                 overrideModel: true })
            mouseClick(findChild(pad, "key_0"))
            mouseClick(findChild(pad, "key_9"))
            mouseClick(findChild(pad, "key_11"))
            compare(recorder.calls, ["digit:A", "left:J", "right:L"])
        }

        function test_controlButtons() {
            var pad = createTemporaryObject(padComponent, root)
            pad.controlButtons(false, [0, 11])
            compare(findChild(pad, "key_0").enabled, false)
            compare(findChild(pad, "key_0").opacity, 0.3)
            compare(findChild(pad, "key_1").enabled, true)
            mouseClick(findChild(pad, "key_0"))
            mouseClick(findChild(pad, "key_11"))
            mouseClick(findChild(pad, "key_1"))
            compare(recorder.calls, ["digit:2"])

            pad.controlButtons(false, [])
            for (var i = 0; i < 12; ++i)
                compare(findChild(pad, "key_" + i).enabled, false)

            pad.controlButtons(true)
            for (i = 0; i < 12; ++i)
                compare(findChild(pad, "key_" + i).enabled, true)
        }

        function test_withoutPage() {
            // A pad nobody listens to does nothing, and says nothing.
            var pad = createTemporaryObject(padComponent, root, { page: null })
            mouseClick(findChild(pad, "key_0"))
            compare(recorder.calls, [])
        }
    }

    TestCase {
        name: "ClockTaps"
        when: windowShown

        function createClock() {
            var clock = createTemporaryObject(clockComponent, root)
            holdSpy.clear()
            holdSpy.target = clock
            return clock
        }

        // Waits for the one-second counting window to close.
        function waitWindowClosed(clock) {
            tryCompare(clock, "counting", false, 5000)
            compare(clock.pressCount, 0)
        }

        function test_taps_data() {
            return [
                { tag: "one tap", taps: 1, opens: 0 },
                { tag: "two taps", taps: 2, opens: 0 },
                { tag: "three taps", taps: 3, opens: 1 },
                { tag: "five taps", taps: 5, opens: 1 }
            ]
        }

        function test_taps(data) {
            var clock = createClock()
            for (var i = 0; i < data.taps; ++i)
                mouseClick(clock)
            compare(clock.pressCount, data.taps)
            verify(clock.counting)
            waitWindowClosed(clock)
            compare(holdSpy.count, data.opens)
        }

        function test_heldPress() {
            var clock = createClock()
            mousePress(clock)
            holdSpy.wait(5000)
            compare(holdSpy.count, 1)
            verify(!clock.counting)
            // The held press stays counted: two more taps make three.
            compare(clock.pressCount, 1)
            mouseRelease(clock)
            mouseClick(clock)
            mouseClick(clock)
            waitWindowClosed(clock)
            compare(holdSpy.count, 2)
        }

        function test_windowsAreSeparate() {
            var clock = createClock()
            mouseClick(clock)
            mouseClick(clock)
            waitWindowClosed(clock)
            mouseClick(clock)
            waitWindowClosed(clock)
            compare(holdSpy.count, 0)
        }

        function test_showsDateAndTime() {
            var clock = createClock()
            clock.dateFormat = "yyyy"
            clock.timeFormat = "hh"
            clock.refresh()
            var texts = []
            for (var i = 0; i < clock.children.length; ++i) {
                if (clock.children[i].text !== undefined)
                    texts.push(clock.children[i].text)
            }
            var now = new Date()
            verify(texts.indexOf(String(now.getFullYear())) >= 0, texts)
            compare(clock.width, 200)
            compare(clock.height, 65)
        }
    }
}
