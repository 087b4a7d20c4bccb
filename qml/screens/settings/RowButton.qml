import QtQuick 2.15
import "../../controls"

// A settings-menu row: icon, title and hint, and an arrow at the right.
Item {
    id: row

    signal clicked()

    property string title
    property string hint
    property url icon
    property color textColor: "#e7e7e7"
    readonly property bool pressed: area.pressed

    Rectangle {
        anchors.fill: parent
        gradient: Gradient {
            GradientStop { position: 0.0; color: area.pressed ? "#222" : "#333" }
            GradientStop { position: 1.0; color: "#222" }
        }
    }

    Rectangle {
        width: parent.width
        height: 1
        color: "#444"
        visible: !area.pressed
    }

    Rectangle {
        anchors.bottom: parent.bottom
        width: parent.width
        height: 1
        color: "#000000"
    }

    ImageBox {
        id: iconBox
        anchors.left: parent.left
        anchors.leftMargin: 20
        anchors.verticalCenter: parent.verticalCenter
        icon: row.icon
        iconSize: Qt.size(row.height * 0.5, row.height * 0.5)
        iconColor: row.textColor
    }

    Column {
        anchors.left: iconBox.right
        anchors.leftMargin: 20
        anchors.right: arrow.left
        anchors.rightMargin: 15
        anchors.verticalCenter: parent.verticalCenter

        Text {
            width: parent.width
            text: row.title
            color: row.textColor
            font.family: "DejaVu Sans"
            font.pixelSize: row.height * 0.25
            elide: Text.ElideRight
        }

        Text {
            width: parent.width
            text: row.hint
            color: row.textColor
            opacity: 0.6
            font.family: "DejaVu Sans"
            font.pixelSize: row.height * 0.125
            elide: Text.ElideRight
        }
    }

    ImageBox {
        id: arrow
        anchors.right: parent.right
        anchors.rightMargin: 15
        anchors.verticalCenter: parent.verticalCenter
        icon: "qrc:/qml/images/Icons/arrow-right.svg"
        iconSize: Qt.size(row.height * 0.35, row.height * 0.35)
        iconColor: row.textColor
    }

    MouseArea {
        id: area
        anchors.fill: parent
        onClicked: row.clicked()
    }
}
