import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15

// The internal speaker's volume; a released slider plays the test sound at
// the new volume.
Pane {
    id: page

    readonly property string testSound: "/opt/vesk/vorn-terminal-ui/Valid.wav"

    ColumnLayout {
        anchors.fill: parent
        spacing: 10

        RowLayout {
            Layout.fillWidth: true
            Label {
                Layout.fillWidth: true
                text: manager.dynTr + qsTr("Audio Enabled")
            }
            Switch {
                id: enabledSwitch
                objectName: "audioEnabled"
                checked: false
            }
        }

        RowLayout {
            Layout.fillWidth: true
            enabled: enabledSwitch.checked
            Label {
                Layout.fillWidth: true
                text: manager.dynTr + qsTr("Audio Volume")
            }
            Label {
                objectName: "volumeText"
                text: Math.round(volume.value) + "%"
            }
        }

        Slider {
            id: volume
            objectName: "volumeSlider"
            Layout.fillWidth: true
            enabled: enabledSwitch.checked
            from: 0
            to: 100
            stepSize: 1
            value: inspector.audioVolume
            onPressedChanged: {
                if (pressed)
                    return
                inspector.audioPlay(page.testSound)
                inspector.setAudioVolume(Math.round(value))
            }

            ToolTip {
                parent: volume.handle
                visible: volume.pressed
                text: Math.round(volume.value) + "%"
            }
        }

        Item { Layout.fillHeight: true }
    }
}
