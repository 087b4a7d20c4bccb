import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15
import Qt.labs.settings 1.0

// Chooses the controls style for the next start. No page opens it.
Popup {
    id: popup

    modal: true
    focus: true
    anchors.centerIn: parent
    width: 400
    closePolicy: Popup.CloseOnEscape | Popup.CloseOnPressOutside

    Settings {
        id: settings
        category: "gui"
        property string style: "Material"
    }

    contentItem: ColumnLayout {
        spacing: 10

        Label {
            text: manager.dynTr + qsTr("Settings")
            font.bold: true
            font.pointSize: 14
        }

        RowLayout {
            Label { text: manager.dynTr + qsTr("Style") }
            ComboBox {
                id: styleBox
                Layout.fillWidth: true
                model: ["Default", "Material", "Universal"]
                Component.onCompleted: currentIndex = Math.max(0, find(settings.style))
            }
        }

        Label {
            text: manager.dynTr + qsTr("Restart required")
            color: "#757575"
        }

        RowLayout {
            Layout.alignment: Qt.AlignRight
            Button {
                text: manager.dynTr + qsTr("Cancel")
                onClicked: popup.close()
            }
            Button {
                text: manager.dynTr + qsTr("Ok")
                highlighted: true
                onClicked: {
                    settings.style = styleBox.currentText
                    popup.close()
                }
            }
        }
    }
}
