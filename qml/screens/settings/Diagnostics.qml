import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Controls.Material 2.15
import QtQuick.Layouts 1.15
import "../../controls"

// The self-test panel: automatic checks, the operator's verdicts on what only
// a person can judge, and the report with its QR code.
Pane {
    id: page

    readonly property var diagnostics: manager.diagnostics
    readonly property QtObject validator: typeof validatorManager !== "undefined" && validatorManager
                                          ? validatorManager : noValidator
    readonly property string soundFile: "/opt/vesk/vorn-terminal-ui/Valid.wav"
    readonly property alias dialog: dialog
    readonly property alias cardPopup: cardPopup
    readonly property alias reportPopup: reportPopup
    property bool reportSaved: false

    function verdictColor(verdict) {
        if (verdict === "" || verdict === undefined || verdict === null)
            return Material.color(Material.Grey)
        if (verdict === "OK")
            return Material.color(Material.Green)
        if (verdict === "ERROR")
            return Material.color(Material.Red)
        return Material.color(Material.Amber)
    }

    // Asks the operator; Yes sets the verdict to "OK", No to "ERROR".
    function ask(verdict, question) {
        dialog.verdict = verdict
        dialog.text = question
        dialog.open()
    }

    function openColourTest() {
        page.StackView.view.push(colourTest)
    }

    Component.onCompleted: diagnostics.start()
    Component.onDestruction: diagnostics.stop()

    NoValidator {
        id: noValidator
    }

    component VerdictButton: Button {
        property string verdict
        Layout.fillWidth: true
        Layout.preferredHeight: page.height * 0.08
        font.pointSize: 8
        font.capitalization: Font.MixedCase
        Material.background: page.verdictColor(verdict)
        Material.foreground: "#FFFFFF"
        onActiveFocusChanged: if (activeFocus) Qt.inputMethod.hide()
    }

    Connections {
        target: page.validator
        ignoreUnknownSignals: true
        function onCardDetected(uid, type) {
            cardPopup.text = manager.dynTr + qsTr("CARD DETECTED\n%1\n%2").arg(uid).arg(type)
            page.diagnostics.cardScan = "OK"
        }
        function onCardRemoved() {
            cardPopup.text = manager.dynTr + qsTr("Tap a card")
        }
    }

    Connections {
        target: page.diagnostics
        function onSaveReportFinished(result, message) {
            page.reportSaved = result
            reportPopup.text = message
            reportPopup.imageSource = result ? page.diagnostics.generateQr() : ""
            reportPopup.open()
        }
    }

    Column {
        anchors.horizontalCenter: parent.horizontalCenter
        width: page.availableWidth * 0.8
        spacing: 20

        GroupBox {
            width: parent.width
            title: manager.dynTr + qsTr("Self Tests")

            Column {
                width: parent.width

                Repeater {
                    model: [
                        { title: "RTC", property: "rtc" },
                        { title: "Ethernet", property: "ethernet" },
                        { title: "USB Hub", property: "usbHub" },
                        { title: "USB Host", property: "usbHost" },
                        { title: "FTDI", property: "ftdi" },
                        { title: "mPCIe #1", property: "mPCIe1" },
                        { title: "Touch", property: "touch" },
                        { title: "SD Card", property: "sdCard" },
                        { title: "RFID (USB)", property: "rfidUsb" },
                        { title: "RFID (Service)", property: "rfidService" }
                    ]

                    delegate: InfoRow {
                        objectName: "check_" + modelData.property
                        width: parent.width
                        implicitHeight: 24
                        title: manager.dynTr + qsTr(modelData.title)
                        value: page.diagnostics[modelData.property] || ""
                        valueColor: page.verdictColor(value)
                        valueBold: true
                    }
                }
            }
        }

        GridLayout {
            width: parent.width
            columns: 3
            columnSpacing: 10
            rowSpacing: 10

            VerdictButton {
                objectName: "buzzerButton"
                text: manager.dynTr + qsTr("Buzzer")
                verdict: page.diagnostics.buzzer
                onClicked: page.ask("buzzer", manager.dynTr + qsTr("Can you hear the buzzer?"))
            }
            VerdictButton {
                objectName: "ledsButton"
                text: manager.dynTr + qsTr("LEDs")
                verdict: page.diagnostics.leds
                onClicked: page.ask("leds", manager.dynTr + qsTr("Can you see the LEDs flashing?"))
            }
            VerdictButton {
                objectName: "rfidButton"
                text: manager.dynTr + qsTr("RFID")
                verdict: page.diagnostics.cardScan
                highlighted: page.validator.rfid ? page.validator.rfid.enabled === true : false
                onClicked: cardPopup.open()
            }
            VerdictButton {
                objectName: "speakerButton"
                text: manager.dynTr + qsTr("Speaker")
                verdict: page.diagnostics.speaker
                onClicked: {
                    page.ask("speaker", manager.dynTr + qsTr("Can you hear the internal speaker?"))
                    inspector.audioPlay(page.soundFile)
                }
            }
            VerdictButton {
                objectName: "sensorButton"
                text: manager.dynTr + qsTr("Sensor")
                verdict: page.diagnostics.lightSensor
                onClicked: page.ask("lightSensor", manager.dynTr + qsTr("Is LCD brightness adjusting?") + "\n"
                                    + qsTr("Brightness : ") + board.displayBrightness + "%")
            }
            VerdictButton {
                objectName: "rgbButton"
                text: manager.dynTr + qsTr("RGB")
                verdict: page.diagnostics.rgbTest
                onClicked: page.openColourTest()
            }
            Button {
                objectName: "finishButton"
                Layout.fillWidth: true
                Layout.preferredHeight: page.height * 0.08
                font.pointSize: 8
                font.capitalization: Font.MixedCase
                text: manager.dynTr + qsTr("FINISH")
                highlighted: true
                onClicked: page.diagnostics.saveReport()
                onActiveFocusChanged: if (activeFocus) Qt.inputMethod.hide()
            }
        }
    }

    CustomPopup {
        id: dialog
        objectName: "verdictDialog"
        property string verdict
        isDialog: true
        onButtonYesPressed: page.diagnostics[verdict] = "OK"
        onButtonNoPressed: page.diagnostics[verdict] = "ERROR"
    }

    CustomPopup {
        id: cardPopup
        objectName: "cardPopup"
        isDialog: false
        text: manager.dynTr + qsTr("Tap a card")
        onOpened: page.validator.enableRfid()
        onClosed: page.validator.disableRfid()
    }

    CustomPopup {
        id: reportPopup
        objectName: "reportPopup"
        isDialog: false
        onClosed: {
            if (page.reportSaved)
                page.StackView.view.pop()
        }
    }

    // Full-screen red, then green, then blue; the third tap ends it.
    Component {
        id: colourTest

        Rectangle {
            id: colours
            objectName: "colourTest"
            property int step: 0
            property var view: null
            color: ["#FF0000", "#00FF00", "#0000FF"][step]

            StackView.onActivated: {
                view = StackView.view
                view.fullScreen = true
            }
            StackView.onRemoved: if (view) view.fullScreen = false

            MouseArea {
                anchors.fill: parent
                onClicked: {
                    if (colours.step < 2) {
                        colours.step += 1
                        return
                    }
                    colours.view.fullScreen = false
                    colours.view.pop()
                    page.ask("rgbTest", manager.dynTr + qsTr("Was the RGB test successful?"))
                }
            }
        }
    }
}
