import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Controls.Material 2.15
import QtQuick.Layouts 1.15
import QtQuick.Window 2.15
import "../../controls" as Controls

// Brightness, cursor, theme and the display-off interval.
Pane {
    id: page

    // Scrolls up to keep the focused field above the on-screen keyboard.
    Controls.KeyboardLift {
        id: lift
        area: page

        GridLayout {
            anchors.left: parent.left
            anchors.right: parent.right
            columns: 2
            columnSpacing: 10
            rowSpacing: 6

            Label { text: manager.dynTr + qsTr("Brightness Mode"); Layout.preferredWidth: page.availableWidth / 3 }
            ComboBox {
                id: modeBox
                objectName: "brightnessMode"
                Layout.fillWidth: true
                model: ["auto", "manual"]
                currentIndex: 0
                onActiveFocusChanged: if (activeFocus) Qt.inputMethod.hide()
            }

            Label { text: manager.dynTr + qsTr("Display Brightness") }
            RowLayout {
                Layout.fillWidth: true
                enabled: modeBox.currentText === "manual"
                Slider {
                    id: brightness
                    objectName: "brightnessSlider"
                    Layout.fillWidth: true
                    from: 0
                    to: 100
                    stepSize: 1
                    value: board.displayBrightness
                    // The board keeps no brightness today: the value changes nothing.
                    onPressedChanged: if (!pressed) board.displayBrightness = Math.round(value)
                }
                Label { text: Math.round(brightness.value) + "%" }
            }

            Label { text: manager.dynTr + qsTr("Ambient Light Sensor") }
            Label { objectName: "ambientLight"; text: "" }

            Label { text: manager.dynTr + qsTr("Show Cursor") }
            Switch {
                objectName: "showCursor"
                checked: manager.showCursor
                onCheckedChanged: if (manager.showCursor !== checked) manager.showCursor = checked
            }

            Label { text: manager.dynTr + qsTr("Dark Theme") }
            Switch {
                objectName: "darkTheme"
                readonly property var appWindow: Window.window
                checked: appWindow ? appWindow.Material.theme === Material.Dark : false
                onToggled: {
                    if (!appWindow)
                        return
                    console.log(checked ? "[QML] Switching to dark theme" : "[QML] Switching to light theme")
                    appWindow.Material.theme = checked ? Material.Dark : Material.Light
                }
            }

            Label {
                text: manager.dynTr + qsTr("Display OFF (min)")
                MouseArea {
                    id: offHover
                    anchors.fill: parent
                    hoverEnabled: true
                }
                ToolTip.visible: offHover.containsMouse
                ToolTip.text: "The interval, in minutes, after which " + "\n"
                              + "the display will turn off , if in Out-" + "\n"
                              + "of-Order or Out-of-Service state."
            }
            SpinBox {
                objectName: "displayOffMin"
                from: 0
                to: 86400
                stepSize: 1
                editable: true
                value: manager.displayOffMin
                onValueChanged: if (manager.displayOffMin !== value) manager.displayOffMin = value
            }
        }
    }
}
