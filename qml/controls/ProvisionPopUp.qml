import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15

// Where the terminal is provisioned from. No page opens it.
Popup {
    id: popup

    modal: true
    focus: true
    anchors.centerIn: parent
    width: 500
    closePolicy: Popup.CloseOnEscape

    contentItem: ColumnLayout {
        spacing: 10

        Label {
            text: manager.dynTr + qsTr("Provisioning Settings")
            font.bold: true
            font.pointSize: 14
        }

        GridLayout {
            columns: 2
            columnSpacing: 10
            Layout.fillWidth: true

            Label { text: "MQTT" }
            TextField { id: mqttField; Layout.fillWidth: true; text: "mqtt://localhost:1883" }
            Label { text: "HTTP" }
            TextField { id: httpField; Layout.fillWidth: true; text: "http://localhost:8085" }
            Label { text: manager.dynTr + qsTr("Device Secret") }
            TextField { id: secretField; Layout.fillWidth: true; echoMode: TextInput.Password }
            Label { text: manager.dynTr + qsTr("Device Key") }
            TextField { id: keyField; Layout.fillWidth: true }
        }

        RowLayout {
            Layout.alignment: Qt.AlignRight
            spacing: 10

            Button {
                text: manager.dynTr + qsTr("Cancel")
                onClicked: popup.close()
            }
            Button {
                text: manager.dynTr + qsTr("Ok")
                highlighted: true
                onClicked: {
                    // The controller offers no provisioning yet.
                    if (typeof manager.provision === "function")
                        manager.provision(mqttField.text, httpField.text, secretField.text, keyField.text)
                    popup.close()
                }
            }
        }
    }
}
