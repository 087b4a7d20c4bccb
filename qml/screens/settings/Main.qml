import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Controls.Material 2.15
import "../../controls" as Controls

// The settings frame: tool bar, the menu of pages on a stack, the
// confirmation of power commands and the on-screen keyboard.
Page {
    id: frame

    readonly property var rows: [
        { title: "Validator", hint: "Validator information and settings",
          page: "Validator.qml", icon: "Icons/ticket.svg" },
        { title: "Diagnostics", hint: "System health and diagnostic",
          page: "Diagnostics.qml", icon: "Icons/diagnostic.svg" },
        { title: "Region", hint: "Date, time and languange settings",
          page: "Region.qml", icon: "Icons/region.svg" },
        { title: "Audio", hint: "Adjust audio volume",
          page: "Audio.qml", icon: "Icons/audio.svg" },
        { title: "Display", hint: "Adjust display brightness and mode",
          page: "Display.qml", icon: "Icons/brightness-2.svg" },
        { title: "Network", hint: "Configure Ethernet, WiFi and Modem",
          page: "Network.qml", icon: "Icons/network.svg" },
        { title: "Update", hint: "Check for software and sytem updates",
          page: "Update.qml", icon: "Icons/update.svg" },
        { title: "Event Log", hint: "Examine system events and alarms",
          page: "EventLog.qml", icon: "Icons/log.svg" }
    ]
    property string pageTitle
    // The strip at the bottom the window keeps for its version label: the pages stop above it
    // (not the colour test, which takes the whole screen); the keyboard covers it.
    property real versionStrip: 0
    readonly property alias stack: stack
    readonly property alias keyboard: keyboard
    readonly property alias confirmation: confirmation

    // Opens a menu row's page, only from the menu itself.
    function openRow(index) {
        if (stack.depth !== 1 || stack.busy)
            return
        pageTitle = rows[index].title
        stack.push(Qt.resolvedUrl(rows[index].page))
    }

    function back() {
        keyboard.hide()
        if (stack.depth > 1)
            stack.pop()
    }

    function confirm(command) {
        confirmation.command = command
        confirmation.open()
    }

    // Shown or hidden (log-in, log-out, a session taking the screen): start
    // again from the menu.
    onVisibleChanged: {
        stack.pop(null, StackView.Immediate)
        // No transition runs to its end on an immediate pop, nor while hidden: the menu
        // would stay where its page pushed it, faded out, and the tool bar collapsed by a
        // full-screen page that never saw its removal.
        if (stack.currentItem) {
            stack.currentItem.x = 0
            stack.currentItem.opacity = 1
        }
        stack.fullScreen = false
        confirmation.close()
        keyboard.hide()
        toolBar.closeMenu()
    }

    bottomPadding: stack.fullScreen ? 0 : versionStrip

    header: Header {
        id: toolBar
        objectName: "toolBar"
        height: stack.fullScreen ? 0 : 70
        visible: height > 0
        title: stack.depth > 1 ? frame.pageTitle : manager.dynTr + qsTr("Settings")
        backVisible: stack.depth > 1
        onBackClicked: frame.back()
        onCommandRequested: frame.confirm(command)
        onLogoutRequested: manager.settingsLogoutRequest()
    }

    StackView {
        id: stack
        objectName: "settingsStack"
        // Set by a page that needs the whole screen (the colour test).
        property bool fullScreen: false
        anchors.fill: parent
        initialItem: menu
    }

    Component {
        id: menu

        Item {
            objectName: "settingsMenu"

            Column {
                anchors.fill: parent

                Repeater {
                    model: frame.rows

                    delegate: RowButton {
                        objectName: "row_" + modelData.title
                        width: parent.width
                        height: stack.height * 0.125
                        title: modelData.title
                        hint: modelData.hint
                        icon: "qrc:/qml/images/" + modelData.icon
                        onClicked: frame.openRow(index)
                    }
                }
            }
        }
    }

    Controls.CustomPopup {
        id: confirmation
        objectName: "confirmation"
        property string command
        isDialog: true
        text: manager.dynTr + qsTr("Are you sure?")
        onButtonYesPressed: {
            if (command === "reboot")
                manager.rebootRequest()
            else if (command === "shutdown")
                manager.shutdownRequest()
            else if (command === "restart")
                manager.exitRequest()
        }
    }

    Controls.KeyboardPanel {
        id: keyboard
        objectName: "keyboard"
        parent: frame
    }
}
