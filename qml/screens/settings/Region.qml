import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Controls.Material 2.15
import QtQuick.Extras 1.4
import QtQuick.Layouts 1.15
import "../../controls" as Controls

// Language, time zone and time synchronisation.
Pane {
    id: page

    readonly property var clock: terminal.clock
    readonly property real rowHeight: content.height * 0.08
    property date now: new Date()

    Component.onCompleted: clock.refresh()

    Timer {
        interval: 1000
        repeat: true
        running: true
        onTriggered: page.now = new Date()
    }

    // Sized by the page, never the other way round; scrolls up to keep the
    // focused field above the on-screen keyboard.
    Controls.KeyboardLift {
        id: content
        area: page

    ColumnLayout {
        anchors.fill: parent
        spacing: 0

        GridLayout {
            Layout.fillWidth: true
            columns: 2
            columnSpacing: 10
            rowSpacing: 0

            Label {
                Layout.preferredWidth: page.availableWidth / 3
                Layout.preferredHeight: page.rowHeight
                verticalAlignment: Text.AlignVCenter
                text: manager.dynTr + qsTr("Locale")
            }
            ComboBox {
                id: localeBox
                objectName: "localeBox"
                Layout.fillWidth: true
                model: ["en_US", "en_IE", "el_GR"]
                Component.onCompleted: currentIndex = find(manager.language)
                onActivated: manager.language = currentText
                onActiveFocusChanged: if (activeFocus) Qt.inputMethod.hide()
            }

            Label {
                Layout.preferredHeight: page.rowHeight
                verticalAlignment: Text.AlignVCenter
                text: manager.dynTr + qsTr("Language")
            }
            RowLayout {
                Layout.fillWidth: true
                Label {
                    Layout.fillWidth: true
                    text: manager.dynTr + Qt.locale(manager.language).nativeLanguageName
                    font.bold: true
                }
                Image {
                    objectName: "flag"
                    Layout.preferredHeight: page.rowHeight * 0.6
                    Layout.preferredWidth: Layout.preferredHeight * 1.5
                    fillMode: Image.PreserveAspectFit
                    // The English locales share the one English flag.
                    source: manager.language === "el_GR" ? "qrc:/qml/images/Flags/gr.png"
                                                         : "qrc:/qml/images/Flags/uk.png"
                }
            }

            Label {
                Layout.preferredHeight: page.rowHeight
                verticalAlignment: Text.AlignVCenter
                text: manager.dynTr + qsTr("Currency Format")
            }
            Label {
                Layout.fillWidth: true
                text: manager.dynTr + Number(0.99).toLocaleCurrencyString(page.locale)
                font.bold: true
            }

            Label {
                Layout.preferredHeight: page.rowHeight
                verticalAlignment: Text.AlignVCenter
                text: manager.dynTr + qsTr("Time Format")
            }
            Label {
                Layout.fillWidth: true
                text: manager.dynTr + page.now.toLocaleString(Qt.locale(manager.language), "d MMM yy, hh:mm:ss t")
            }

            Label {
                Layout.preferredHeight: page.rowHeight
                verticalAlignment: Text.AlignVCenter
                text: manager.dynTr + qsTr("Timezone")
            }
            ComboBox {
                id: zoneBox
                objectName: "zoneBox"
                Layout.fillWidth: true
                model: page.clock.timezones
                currentIndex: model ? model.indexOf(page.clock.timezone) : -1
                onActivated: page.clock.timezone = currentText
                onActiveFocusChanged: if (activeFocus) Qt.inputMethod.hide()
            }

            Label {
                Layout.preferredHeight: page.rowHeight
                verticalAlignment: Text.AlignVCenter
                text: manager.dynTr + qsTr("NTP server")
            }
            TextField {
                id: ntpServerField
                objectName: "ntpServerField"
                // The last text the clock did not take, shown beside its server.
                property string refused: ""
                // Typed since the last edit was handed on. Leaving the field as
                // it shows the file asks nothing of the clock: a server asked
                // may still be on its way there.
                property bool edited: false
                Layout.fillWidth: true
                text: page.clock.ntpServer
                inputMethodHints: Qt.ImhNoAutoUppercase | Qt.ImhNoPredictiveText
                Material.accent: refused !== "" ? Material.Red : page.Material.accent
                onTextEdited: {
                    refused = ""
                    edited = true
                }
                onEditingFinished: {
                    if (!edited && text === page.clock.ntpServer)
                        return
                    edited = false
                    // The clock tells what it takes and whether it changes
                    // anything: the file may not hold yet what was asked last.
                    // What it writes (the names one blank apart) shows once it
                    // is in the file.
                    var typed = text
                    if (page.clock.acceptsNtpServer(typed))
                        page.clock.ntpServer = typed
                    else
                        refused = typed
                    text = Qt.binding(function() { return page.clock.ntpServer })
                }

                Label {
                    objectName: "ntpServerRefused"
                    anchors.right: parent.right
                    anchors.rightMargin: 4
                    anchors.verticalCenter: parent.verticalCenter
                    width: Math.min(implicitWidth, parent.width / 2)
                    visible: parent.refused !== ""
                    elide: Text.ElideMiddle
                    color: Material.color(Material.Red)
                    text: manager.dynTr + qsTr("Not accepted: %1").arg(parent.refused)
                }
            }

            Label {
                Layout.preferredHeight: page.rowHeight
                verticalAlignment: Text.AlignVCenter
                text: manager.dynTr + qsTr("NTP Active")
            }
            Switch {
                objectName: "ntpSwitch"
                checked: page.clock.ntpEnabled
                onToggled: page.clock.ntpEnabled = checked
                onActiveFocusChanged: if (activeFocus) Qt.inputMethod.hide()
            }

            Label {
                Layout.preferredHeight: page.rowHeight
                verticalAlignment: Text.AlignVCenter
                text: manager.dynTr + qsTr("NTP Synced")
            }
            StatusIndicator {
                objectName: "ntpSynced"
                color: "green"
                active: page.clock.ntpSynced
            }
        }

        Item { Layout.fillHeight: true }

        Button {
            objectName: "ntpSyncButton"
            Layout.fillWidth: true
            text: manager.dynTr + qsTr("NTP SYNC")
            font.capitalization: Font.MixedCase
            onClicked: page.clock.ntpSync()
            onActiveFocusChanged: if (activeFocus) Qt.inputMethod.hide()
        }
    }
    }
}
