import QtQuick 2.15
import QtGraphicalEffects 1.15

// A flat or raised button with an optional icon and a fill that grows from
// the point pressed.
Item {
    id: button

    signal clicked()
    signal pressed()
    signal released()

    property string text
    property color color: "#f3f3f3"
    property color textColor: "#000000"
    property alias font: label.font
    property alias horizontalAlignment: label.horizontalAlignment
    property alias verticalAlignment: label.verticalAlignment
    property alias wrapMode: label.wrapMode
    property alias lineHeight: label.lineHeight
    property real radius: 4
    property bool flat: false
    property url icon
    property color iconColor: textColor
    property bool enablePressScale: false
    property real pressScale: 0.9
    readonly property bool isPressed: area.pressed

    implicitWidth: 100
    implicitHeight: 60
    opacity: enabled ? 1.0 : 0.5
    scale: enablePressScale && isPressed ? pressScale : 1.0

    Behavior on scale { NumberAnimation { duration: 100 } }

    Rectangle {
        id: background
        anchors.fill: parent
        radius: button.radius
        color: button.color
        clip: true

        Rectangle {
            id: ripple
            property real size: 0
            property real cx: 0
            property real cy: 0
            x: cx - size / 2
            y: cy - size / 2
            width: size
            height: size
            radius: size / 2
            color: Qt.darker(button.color, 1.5)
            opacity: 0.35
            visible: size > 0
        }
    }

    DropShadow {
        anchors.fill: background
        source: background
        visible: !button.flat
        horizontalOffset: 0
        verticalOffset: 2
        radius: 6
        samples: 13
        color: "#50000000"
        z: -1
    }

    ImageBox {
        id: iconBox
        visible: button.icon.toString() !== ""
        width: button.width * 0.35
        height: button.height
        iconSize: Qt.size(Math.min(width, height) * 0.5, Math.min(width, height) * 0.5)
        icon: button.icon
        iconColor: button.iconColor
    }

    Text {
        id: label
        anchors.fill: parent
        anchors.leftMargin: iconBox.visible ? iconBox.width : 4
        anchors.rightMargin: 4
        text: button.text
        color: button.textColor
        font.family: "DejaVu Sans"
        font.pointSize: 12
        horizontalAlignment: Text.AlignHCenter
        verticalAlignment: Text.AlignVCenter
        wrapMode: Text.WordWrap
        elide: Text.ElideRight
    }

    NumberAnimation {
        id: grow
        target: ripple
        property: "size"
        duration: 300
        easing.type: Easing.OutQuad
    }

    MouseArea {
        id: area
        anchors.fill: parent
        onPressed: {
            var full = Math.max(button.width, button.height) * 3
            grow.stop()
            ripple.size = 0
            ripple.cx = mouse.x
            ripple.cy = mouse.y
            grow.from = 0
            grow.to = full
            grow.start()
            button.pressed()
        }
        onReleased: {
            grow.stop()
            ripple.size = 0
            button.released()
        }
        onCanceled: {
            grow.stop()
            ripple.size = 0
        }
        onClicked: button.clicked()
    }
}
