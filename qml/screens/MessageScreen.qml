import QtQuick 2.15
import "../controls"

// An icon and a bold message, stacked and centred; the icon above the text
// unless iconTop is false.
Item {
    id: screen

    property alias message: text.text
    property alias icon: image.icon
    property alias iconSize: image.iconSize
    property alias iconColor: image.iconColor
    property bool iconTop: true
    property real spacingSize: 30
    property real textSizeMedium: 16

    readonly property real iconBlock: image.visible ? image.height + spacingSize : 0

    implicitWidth: Math.max(image.width, text.implicitWidth)
    implicitHeight: group.height

    Item {
        id: group
        anchors.verticalCenter: parent.verticalCenter
        width: parent.width
        height: screen.iconBlock + text.height

        ImageBox {
            id: image
            anchors.horizontalCenter: parent.horizontalCenter
            y: screen.iconTop ? 0 : text.height + screen.spacingSize
            visible: icon.toString() !== ""
        }

        TextBox {
            id: text
            y: screen.iconTop ? screen.iconBlock : 0
            width: parent.width
            height: implicitHeight
            textSize: screen.textSizeMedium
            textBold: true
            textColor: "#112D63"
        }
    }
}
