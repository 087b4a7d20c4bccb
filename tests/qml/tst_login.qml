import QtQuick 2.15
import QtTest 1.2
import "qrc:/qml/screens/settings"

// The maintenance PIN entry against a controller that grants one PIN.
Item {
    id: root
    width: 1024
    height: 480

    QtObject {
        id: manager
        property string dynTr: ""
        // Re-evaluates every text, as the controller's languageChanged does.
        function setGreek(on) {
            var ok = fixture.setGreek(on)
            dynTr = " "
            dynTr = ""
            return ok
        }
        property string screen: "Login"
        property var requests: []
        property string grantedPin: "8306"
        // Milliseconds until the controller looks at a PIN again.
        property int delayRemaining: 0
        function loginDelayRemaining() { return delayRemaining }
        signal settingsAccessGranted()
        signal settingsAccessDenied()
        signal settingsAccessDelayed(int seconds)
        function settingsLoginRequest(pin) {
            requests.push(pin)
            if (pin === grantedPin)
                settingsAccessGranted()
            else
                settingsAccessDenied()
        }
    }

    Component {
        id: loginComponent
        Login { anchors.fill: parent }
    }

    TestCase {
        name: "Login"
        when: windowShown

        property var page: null

        function init() {
            manager.requests = []
            manager.delayRemaining = 0
            manager.screen = "Login"
            page = createTemporaryObject(loginComponent, root)
            waitForRendering(page)
        }

        function key(index) {
            mouseClick(findChild(page, "key_" + index))
        }

        // Digits by their place on the phone layout.
        function typeDigits(digits) {
            for (var i = 0; i < digits.length; ++i) {
                var d = digits.charAt(i)
                key(d === "0" ? 10 : Number(d) - 1)
            }
        }

        function shown() {
            return findChild(page, "input").text
        }

        function test_pinIsMaskedWhileTyped() {
            compare(shown(), "Pin")
            var expected = ""
            var pin = "8306"
            for (var i = 0; i < pin.length; ++i) {
                typeDigits(pin.charAt(i))
                expected += "\u25CF"
                compare(shown(), expected)
                verify(!/[0-9]/.test(shown()), "a digit shows: " + shown())
            }
            compare(page.pin, "8306")
        }

        function test_leftArrowAndClear() {
            var login = findChild(page, "loginButton")
            verify(!login.enabled)
            typeDigits("12")
            verify(login.enabled)
            key(9)
            compare(page.pin, "1")
            key(9)
            compare(page.pin, "")
            compare(shown(), "Pin")
            verify(!login.enabled)
            // The arrow on nothing stays at nothing.
            key(9)
            compare(page.pin, "")

            typeDigits("4711")
            key(11)
            compare(page.pin, "")
            compare(shown(), "Pin")
            verify(!login.enabled)
        }

        function test_grantedOpensSettings() {
            typeDigits("8306")
            mouseClick(findChild(page, "loginButton"))
            compare(manager.requests, ["8306"])
            compare(manager.screen, "Settings")
        }

        function test_deniedClearsAndShakes() {
            var box = findChild(page, "inputBox")
            typeDigits("1234")
            ignoreWarning("[QML] Settings access denied")
            mouseClick(findChild(page, "loginButton"))
            compare(manager.requests, ["1234"])
            compare(manager.screen, "Login")
            compare(page.pin, "")
            compare(shown(), "Pin")
            tryVerify(function() { return box.x !== 0 }, 2000, "the input does not shake")
            tryCompare(box, "x", 0, 5000)
        }

        function test_loginDisabledWhileEmpty() {
            mouseClick(findChild(page, "loginButton"))
            compare(manager.requests, [])
        }

        function test_showingOrHidingClears() {
            typeDigits("99")
            page.visible = false
            compare(page.pin, "")
            typeDigits("5")
            page.visible = true
            compare(page.pin, "")
            compare(shown(), "Pin")
        }

        // Opened again while the controller still makes PINs wait: the page says so at once,
        // with the controller's time left, not the prompt.
        function test_reopenedPageShowsTheWait() {
            var message = findChild(page, "delayMessage")
            verify(!message.visible)
            manager.delayRemaining = 41200
            page.visible = false
            page.visible = true
            verify(message.visible, "the prompt shows: " + shown())
            compare(message.text, "Too many wrong PINs. Try again in 42\u00a0s.")
            // Typing hides the notice behind the masked PIN; clearing shows it again.
            typeDigits("1")
            verify(!message.visible)
            key(11)
            verify(message.visible)

            manager.delayRemaining = 0
            page.visible = false
            page.visible = true
            verify(!message.visible)
            compare(shown(), "Pin")
        }

        // The wait counts down on the controller's clock, not the wall clock the page runs on.
        function test_countdownFollowsTheController() {
            var message = findChild(page, "delayMessage")
            var countdown = findChild(page, "countdown")
            manager.delayRemaining = 30000
            manager.settingsAccessDelayed(30)
            compare(message.text, "Too many wrong PINs. Try again in 30\u00a0s.")
            verify(countdown.running)

            manager.delayRemaining = 9000
            countdown.triggered()
            compare(message.text, "Too many wrong PINs. Try again in 9\u00a0s.")
            manager.delayRemaining = 400
            countdown.triggered()
            compare(message.text, "Too many wrong PINs. Try again in 1\u00a0s.")
            manager.delayRemaining = 0
            countdown.triggered()
            verify(!message.visible)
            verify(!countdown.running)
            compare(shown(), "Pin")
        }

        function test_greek() {
            verify(manager.setGreek(true))
            compare(shown(), "\u039a\u03c9\u03b4\u03b9\u03ba\u03cc\u03c2")
            compare(findChild(page, "loginButton").text, "\u0395\u0399\u03a3\u039f\u0394\u039f\u03a3")
            verify(manager.setGreek(false))
            compare(shown(), "Pin")
            compare(findChild(page, "loginButton").text, "LOGIN")
        }
    }
}
