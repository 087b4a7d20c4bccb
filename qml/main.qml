import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Controls.Material 2.15
import "controls"

ApplicationWindow {
    id: window

    // The page shown: the one named by the controller's screen.
    property string currentScreen: manager.screen
    readonly property var screens: [
        { name: "Busy", source: "qrc:/qml/screens/Busy.qml" },
        { name: "CollectScreen", source: "qrc:/qml/screens/CollectScreen.qml" },
        { name: "DispenseScreen", source: "qrc:/qml/screens/DispenseScreen.qml" },
        { name: "ErrorScreen", source: "qrc:/qml/screens/ErrorScreen.qml" },
        { name: "InitPage", source: "qrc:/qml/screens/InitPage.qml" },
        { name: "Login", source: "qrc:/qml/screens/settings/Login.qml" },
        { name: "OutOfOrder", source: "qrc:/qml/screens/OutOfOrder.qml" },
        { name: "Settings", source: "qrc:/qml/screens/settings/Main.qml" },
        { name: "Success", source: "qrc:/qml/screens/Success.qml" }
    ]

    x: 0
    y: -1
    width: 1024
    height: 600
    visible: true
    title: "VORNTerminal"
    // Under the settings, the strip beside the version matches their background (also when dark).
    color: currentScreen === "Settings" ? Material.background : "#FFFFFF"
    locale: Qt.locale(manager.language)

    FontLoader {
        source: "qrc:/qml/fonts/DejaVuSans.ttf"
    }

    Connections {
        target: manager
        function onScreenChanged() {
            console.log("[QML] Screen changed : " + manager.screen)
            window.currentScreen = manager.screen
        }
    }

    Header {
        id: header
        objectName: "header"
        height: visible ? 120 : 0
        visible: window.currentScreen !== "Settings"
        onMagicButtonPressed: manager.setMaintenanceScreen()
    }

    Repeater {
        id: pages
        model: window.screens

        delegate: Loader {
            id: loader
            objectName: modelData.name
            anchors.top: header.bottom
            anchors.left: parent.left
            anchors.right: parent.right
            anchors.bottom: parent.bottom
            asynchronous: false
            source: modelData.source
            visible: window.currentScreen === modelData.name

            // The settings pages keep their bottom-right buttons clear of the version; the
            // frame itself, and the keyboard rising from its bottom, reach the bottom edge.
            Binding {
                target: modelData.name === "Settings" ? loader.item : null
                property: "versionStrip"
                value: versionLabel.height + 2 * versionLabel.anchors.margins
            }
        }
    }

    CustomPopup {
        id: popup
    }

    Label {
        id: versionLabel
        objectName: "versionLabel"
        anchors.right: parent.right
        anchors.bottom: parent.bottom
        anchors.margins: 10
        text: "v" + Qt.application.version
        font.pixelSize: 12
        color: Material.color(Material.Grey, Material.Shade700)
        opacity: 0.5
    }

    // Sets the cursor over the whole window; takes no input.
    MouseArea {
        anchors.fill: parent
        acceptedButtons: Qt.NoButton
        cursorShape: manager.showCursor ? Qt.ArrowCursor : Qt.BlankCursor
        z: 10000
    }

    Component.onCompleted: console.log("MAIN QML LOADED")
}
