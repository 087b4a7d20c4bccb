import QtQuick 2.15

// A wrapped label in the application font.
Item {
    id: box

    property alias text: label.text
    property real textSize: 16
    property int textHAlign: Text.AlignHCenter
    property int textVAlign: Text.AlignVCenter
    property bool textBold: false
    property real textLetterSpacing: 1.0
    property real leftMargin: 0
    property real rightMargin: 0
    property color textColor: "#000000"
    readonly property alias label: label

    implicitWidth: label.implicitWidth + leftMargin + rightMargin
    implicitHeight: label.implicitHeight

    Text {
        id: label
        anchors.fill: parent
        anchors.leftMargin: box.leftMargin
        anchors.rightMargin: box.rightMargin
        wrapMode: Text.WordWrap
        horizontalAlignment: box.textHAlign
        verticalAlignment: box.textVAlign
        color: box.textColor
        font.family: "DejaVu Sans"
        font.pointSize: box.textSize
        font.bold: box.textBold
        font.letterSpacing: box.textLetterSpacing
    }
}
