import QtQuick 2.15
import QtQuick.Controls.Material 2.15

// One entry of a message list: a coloured strip, the title and time, and the
// message below them once the row is expanded.
Item {
    id: row

    signal clicked()
    signal pressed()
    signal released()
    signal deleteRequest()

    property string title
    property string message
    property string time
    property bool isExpandable: true
    property bool expanded: false
    property color decorationColor: Material.accent
    property bool enableColorAnimation: true
    // Keeps the pressed colour while the row is expanded.
    property bool enableLatchButton: false
    property color backgroundColor: "#FFFFFF"
    property color pressedColor: Qt.lighter(decorationColor, 1.8)

    readonly property real collapsedHeight: 56
    readonly property real maximumHeight: 150

    implicitHeight: Math.min(maximumHeight, expanded ? collapsedHeight + messageText.implicitHeight + 12
                                                     : collapsedHeight)
    clip: true
    scale: area.pressed ? 0.95 : 1.0

    Behavior on scale { NumberAnimation { duration: 80 } }

    Rectangle {
        id: background
        anchors.fill: parent
        color: row.enableLatchButton && row.expanded ? row.pressedColor : row.backgroundColor
        border.width: 1
        border.color: "#E0E0E0"
    }

    Rectangle {
        id: flashLayer
        anchors.fill: parent
        color: row.pressedColor
        opacity: 0
    }

    Rectangle {
        id: strip
        width: 16
        height: parent.height
        color: row.decorationColor
    }

    Text {
        id: titleText
        anchors.left: strip.right
        anchors.leftMargin: 12
        anchors.right: timeRow.left
        anchors.rightMargin: 12
        y: (row.collapsedHeight - height) / 2
        text: row.title
        font.family: "DejaVu Sans"
        font.pixelSize: 18
        elide: Text.ElideRight
        color: "#222222"
    }

    Row {
        id: timeRow
        anchors.right: parent.right
        anchors.rightMargin: 12
        y: (row.collapsedHeight - height) / 2
        spacing: 6

        ImageBox {
            anchors.verticalCenter: parent.verticalCenter
            icon: "qrc:/qml/images/Icons/clock.svg"
            iconSize: Qt.size(16, 16)
            iconColor: "#757575"
        }

        Text {
            anchors.verticalCenter: parent.verticalCenter
            text: row.time
            font.family: "DejaVu Sans"
            font.pixelSize: 14
            color: "#757575"
        }
    }

    MouseArea {
        id: area
        anchors.fill: parent
        onPressed: row.pressed()
        onReleased: row.released()
        onClicked: {
            if (row.isExpandable)
                row.expanded = !row.expanded
            if (row.enableColorAnimation)
                flash.restart()
            row.clicked()
        }
    }

    Text {
        id: messageText
        anchors.left: strip.right
        anchors.leftMargin: 12
        anchors.right: trash.left
        anchors.rightMargin: 12
        y: row.collapsedHeight
        visible: row.expanded
        text: row.message
        wrapMode: Text.WordWrap
        maximumLineCount: 4
        elide: Text.ElideRight
        font.family: "DejaVu Sans"
        font.pixelSize: 14
        color: "#424242"
    }

    ImageBox {
        id: trash
        anchors.right: parent.right
        anchors.rightMargin: 12
        anchors.bottom: parent.bottom
        anchors.bottomMargin: 8
        visible: row.expanded
        icon: "qrc:/qml/images/Icons/trash.svg"
        iconSize: Qt.size(24, 24)
        iconColor: "#757575"

        MouseArea {
            anchors.fill: parent
            anchors.margins: -8
            onClicked: row.deleteRequest()
        }
    }

    // The pressed colour fades back to the background.
    NumberAnimation {
        id: flash
        target: flashLayer
        property: "opacity"
        from: 1
        to: 0
        duration: 1000
    }
}
