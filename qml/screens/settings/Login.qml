import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Controls.Material 2.15
import "../../controls"

// The maintenance PIN entry. The PIN shows masked; a refused one shakes the
// input and clears it.
Item {
    id: loginPage

    // Declared for an operator list; nothing emits it.
    signal adminLoginRequest(string adminID)

    property string pin: ""
    // Seconds the next PIN still waits after too many wrong ones, as the controller counts them.
    property int delaySeconds: 0
    readonly property string maskedPin: "\u25CF".repeat(pin.length)

    function calcNumberPressed(key) {
        pin += key
    }

    function customLeftPressed(key) {
        pin = pin.slice(0, -1)
    }

    function customRightPressed(key) {
        pin = ""
    }

    function clear() {
        pin = ""
    }

    // The controller times the wait on a clock that setting the date does not move: ask it.
    function updateDelay() {
        delaySeconds = Math.ceil(Math.max(0, manager.loginDelayRemaining()) / 1000)
    }

    onVisibleChanged: {
        clear()
        // Opened again within a wait: say so at once, not only after the next PIN.
        if (visible)
            updateDelay()
        else
            delaySeconds = 0
    }

    Connections {
        target: manager
        function onSettingsAccessGranted() {
            console.log("[QML] Settings access granted")
            manager.screen = "Settings"
        }
        function onSettingsAccessDenied() {
            console.warn("[QML] Settings access denied")
            loginPage.clear()
            shake.restart()
        }
        function onSettingsAccessDelayed(seconds) {
            console.log("[QML] Settings access delayed: " + seconds + " s")
            loginPage.clear()
            loginPage.delaySeconds = seconds
            if (!shake.running)
                shake.restart()
        }
    }

    // Counts the wait down on the page from what the controller has left of it.
    Timer {
        objectName: "countdown"
        interval: 1000
        repeat: true
        running: loginPage.delaySeconds > 0
        onTriggered: loginPage.updateDelay()
    }

    Column {
        id: block
        anchors.centerIn: parent
        spacing: 10

        Rectangle {
            id: inputBox
            objectName: "inputBox"
            width: pad.width
            height: 70
            radius: 4
            border.width: 1
            border.color: "#C8C8C8"

            ImageBox {
                id: lockIcon
                anchors.left: parent.left
                anchors.leftMargin: 16
                anchors.verticalCenter: parent.verticalCenter
                icon: "qrc:/qml/images/Icons/lock.svg"
                iconSize: Qt.size(30, 30)
                iconColor: "#8f8f8f"
            }

            Text {
                id: input
                objectName: "input"
                anchors.left: lockIcon.right
                anchors.leftMargin: 16
                anchors.right: parent.right
                anchors.rightMargin: 16
                anchors.verticalCenter: parent.verticalCenter
                text: loginPage.pin.length === 0 ? manager.dynTr + qsTr("Pin") : loginPage.maskedPin
                color: loginPage.pin.length === 0 ? "#8f8f8f" : "#000000"
                font.family: "Arial"
                font.pointSize: 16
                elide: Text.ElideLeft
                visible: !delayMessage.visible
            }

            // In place of the prompt while the next PIN has to wait.
            Label {
                id: delayMessage
                objectName: "delayMessage"
                anchors.left: lockIcon.right
                anchors.leftMargin: 16
                anchors.right: parent.right
                anchors.rightMargin: 16
                anchors.verticalCenter: parent.verticalCenter
                visible: loginPage.delaySeconds > 0 && loginPage.pin.length === 0
                wrapMode: Text.WordWrap
                font.pointSize: 11
                color: Material.color(Material.Red)
                text: loginPage.delaySeconds > 0
                      ? manager.dynTr + qsTr("Too many wrong PINs. Try again in %1\u00a0s.").arg(loginPage.delaySeconds) : ""
            }

            // Sideways shake of a refused PIN, twice.
            SequentialAnimation {
                id: shake
                loops: 2
                NumberAnimation { target: inputBox; property: "x"; to: 10; duration: 50 }
                NumberAnimation { target: inputBox; property: "x"; to: -10; duration: 100 }
                NumberAnimation { target: inputBox; property: "x"; to: 0; duration: 50 }
            }
        }

        NumberPad {
            id: pad
            objectName: "numberPad"
            page: loginPage
        }

        Button {
            id: loginButton
            objectName: "loginButton"
            width: pad.width
            height: 70
            text: manager.dynTr + qsTr("LOGIN")
            font.pointSize: 16
            font.capitalization: Font.MixedCase
            enabled: loginPage.pin.length > 0
            highlighted: enabled
            onClicked: manager.settingsLoginRequest(loginPage.pin)
        }
    }
}
