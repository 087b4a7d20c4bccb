import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Controls.Material 2.15
import QtQuick.Layouts 1.15
import "../../controls"

// The operator event log, newest first, filtered by name and period.
Pane {
    id: page

    readonly property var periods: ["All history", "Last hour", "Last 2 hours", "Today", "Yesterday",
                                    "Last week", "Last month"]

    function dayOf(event) {
        return event ? Qt.formatDate(event.timestamp, "dd MMMM yyyy") : ""
    }

    // The log keeps its filters between visits: the page applies the ones it shows.
    Component.onCompleted: {
        eventLogManager.applyFilter(search.text)
        eventLogManager.applyFilterPeriod(periodBox.currentText)
    }

    ColumnLayout {
        anchors.fill: parent
        spacing: 8

        RowLayout {
            Layout.fillWidth: true
            spacing: 10

            TextField {
                id: search
                objectName: "searchField"
                Layout.fillWidth: true
                placeholderText: manager.dynTr + qsTr("Search")
                leftPadding: 40
                inputMethodHints: Qt.ImhNoPredictiveText
                onTextChanged: eventLogManager.applyFilter(text)

                ImageBox {
                    anchors.left: parent.left
                    anchors.leftMargin: 8
                    anchors.verticalCenter: parent.verticalCenter
                    icon: "qrc:/qml/images/Icons/search.svg"
                    iconSize: Qt.size(22, 22)
                    iconColor: "#757575"
                }
            }

            Button {
                objectName: "clearButton"
                text: "CLEAR"
                onClicked: {
                    // An empty field changes nothing by itself; the filter is cleared anyway.
                    if (search.text === "")
                        eventLogManager.applyFilter("")
                    else
                        search.clear()
                    Qt.inputMethod.hide()
                }
                onActiveFocusChanged: if (activeFocus) Qt.inputMethod.hide()
            }

            ComboBox {
                id: severityBox
                objectName: "severityBox"
                Layout.preferredWidth: 190
                model: ["Critical", "Warning", "All messages"]
                currentIndex: 2
                onActivated: severitySample.update()
                onActiveFocusChanged: if (activeFocus) Qt.inputMethod.hide()
            }

            ComboBox {
                id: periodBox
                objectName: "periodBox"
                Layout.preferredWidth: 190
                model: page.periods
                currentIndex: 0
                onActivated: eventLogManager.applyFilterPeriod(currentText)
                onActiveFocusChanged: if (activeFocus) Qt.inputMethod.hide()
            }
        }

        ListView {
            id: list
            objectName: "eventList"
            Layout.fillWidth: true
            Layout.fillHeight: true
            clip: true
            spacing: 5
            model: eventLogManager.data

            delegate: Column {
                id: entry
                width: ListView.view.width
                spacing: 5

                readonly property bool firstOfDay: index === 0
                                                   || page.dayOf(ListView.view.model[index - 1]) !== page.dayOf(modelData)

                Row {
                    objectName: "sectionHeader"
                    visible: entry.firstOfDay
                    spacing: 8
                    height: visible ? 30 : 0

                    ImageBox {
                        anchors.verticalCenter: parent.verticalCenter
                        icon: "qrc:/qml/images/Icons/calendar.svg"
                        iconSize: Qt.size(20, 20)
                        iconColor: Material.accent
                    }
                    Label {
                        anchors.verticalCenter: parent.verticalCenter
                        text: page.dayOf(modelData)
                        font.bold: true
                        color: Material.accent
                    }
                }

                MessageRowItem {
                    objectName: "eventRow"
                    width: parent.width
                    height: implicitHeight
                    title: modelData.name
                    message: modelData.description
                    time: Qt.formatDateTime(modelData.timestamp, "dd-MMM-yy hh:mm")
                }
            }
        }
    }

    // Severities for a log that carries them; the events shown here have none.
    SortFilterModel {
        id: severitySample
        model: ListModel {
            ListElement { name: "Sample critical"; severity: 0 }
            ListElement { name: "Sample warning"; severity: 1 }
            ListElement { name: "Sample notice"; severity: 2 }
        }
        delegate: Item {}
        function filterAcceptsItem(item) {
            return severityBox.currentIndex === 2 || item.severity === severityBox.currentIndex
        }
    }
}
