import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Controls.Material 2.15

// A modal message, optionally with a picture; as a dialog it asks Yes or No.
Popup {
    id: popup

    signal buttonYesPressed()
    signal buttonNoPressed()

    property string text
    property url imageSource
    property size imageSize: Qt.size(200, 200)
    property bool isDialog: false
    property real windowWidth: 400
    property real windowHeight: hasImage ? 300 : 200
    readonly property bool hasImage: imageSource.toString() !== ""

    anchors.centerIn: parent
    width: windowWidth
    height: windowHeight
    modal: true
    focus: true
    closePolicy: isDialog ? Popup.NoAutoClose : (Popup.CloseOnReleaseOutside | Popup.CloseOnEscape)

    contentItem: Item {
        MouseArea {
            anchors.fill: parent
            enabled: !popup.isDialog
            onClicked: popup.close()
        }

        Column {
            id: content
            anchors.centerIn: parent
            width: parent.width
            spacing: 10

            Image {
                id: picture
                anchors.horizontalCenter: parent.horizontalCenter
                visible: popup.hasImage
                source: popup.imageSource
                width: popup.imageSize.width
                height: popup.imageSize.height
                sourceSize: popup.imageSize
                fillMode: Image.PreserveAspectFit
                smooth: false
            }

            Text {
                id: message
                width: parent.width
                text: popup.text
                font.family: "DejaVu Sans"
                font.pointSize: 10
                wrapMode: Text.WordWrap
                horizontalAlignment: Text.AlignHCenter
                color: Material.foreground
            }

            Row {
                anchors.horizontalCenter: parent.horizontalCenter
                visible: popup.isDialog
                spacing: 20

                Repeater {
                    model: [
                        { label: manager.dynTr + qsTr("Yes"), yes: true },
                        { label: manager.dynTr + qsTr("No"), yes: false }
                    ]
                    delegate: Rectangle {
                        objectName: modelData.yes ? "buttonYes" : "buttonNo"
                        width: 100
                        height: 40
                        radius: 4
                        color: tap.pressed ? Qt.darker(Material.accent, 1.2) : Material.accent

                        Text {
                            anchors.centerIn: parent
                            text: modelData.label
                            color: "#FFFFFF"
                            font.family: "DejaVu Sans"
                            font.pointSize: 16
                            font.bold: true
                        }

                        MouseArea {
                            id: tap
                            anchors.fill: parent
                            onClicked: {
                                if (modelData.yes)
                                    popup.buttonYesPressed()
                                else
                                    popup.buttonNoPressed()
                                popup.close()
                            }
                        }
                    }
                }
            }
        }
    }
}
