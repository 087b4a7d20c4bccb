import QtQuick 2.15
import QtGraphicalEffects 1.15

// An icon drawn in one colour, whatever the colours of its file.
Item {
    id: box

    property alias icon: image.source
    property size iconSize: Qt.size(50, 50)
    property color iconColor: "#112D63"

    implicitWidth: iconSize.width
    implicitHeight: iconSize.height

    Image {
        id: image
        anchors.fill: parent
        sourceSize: Qt.size(box.iconSize.width * 2, box.iconSize.height * 2)
        fillMode: Image.PreserveAspectFit
        smooth: true
        visible: false
    }

    ColorOverlay {
        anchors.fill: image
        source: image
        color: box.iconColor
    }
}
