import QtQuick 2.15
import QtQuick.Controls.Material 2.15
import QtGraphicalEffects 1.15

// A round icon button that shrinks while pressed.
Item {
    id: button

    signal clicked()
    signal pressAndHold()

    property real radius: 25
    property real iconSize: 30
    property url icon
    property color iconColor: "#FFFFFF"
    property color buttonColor: Material.accent
    property bool dropShadow: true
    // Shows the picture as it is instead of in iconColor.
    property bool pngImage: false

    implicitWidth: radius * 2
    implicitHeight: radius * 2
    scale: area.pressed ? 0.8 : 1.0

    Behavior on scale { NumberAnimation { duration: 80 } }

    Rectangle {
        id: circle
        anchors.fill: parent
        radius: width / 2
        color: button.buttonColor
    }

    DropShadow {
        anchors.fill: circle
        source: circle
        visible: button.dropShadow
        verticalOffset: 2
        radius: 6
        samples: 13
        color: "#50000000"
        z: -1
    }

    Image {
        anchors.centerIn: parent
        visible: button.pngImage
        width: button.iconSize
        height: button.iconSize
        sourceSize: Qt.size(button.iconSize * 2, button.iconSize * 2)
        source: button.pngImage ? button.icon : ""
        fillMode: Image.PreserveAspectFit
    }

    ImageBox {
        anchors.centerIn: parent
        visible: !button.pngImage
        iconSize: Qt.size(button.iconSize, button.iconSize)
        icon: button.pngImage ? "" : button.icon
        iconColor: button.iconColor
    }

    MouseArea {
        id: area
        anchors.fill: parent
        onClicked: button.clicked()
        onPressAndHold: button.pressAndHold()
    }
}
