import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Controls.Material 2.15

// One "title: value" line of an information page.
Item {
    id: row

    property string title
    property string value
    property color valueColor: Material.foreground
    property bool valueBold: false
    // Share of the width the title takes.
    property real titleShare: 0.5

    implicitHeight: Math.max(titleLabel.implicitHeight, valueLabel.implicitHeight) + 8

    Label {
        id: titleLabel
        objectName: "title"
        width: parent.width * row.titleShare
        anchors.verticalCenter: parent.verticalCenter
        text: row.title
        elide: Label.ElideRight
    }

    Label {
        id: valueLabel
        objectName: "value"
        anchors.left: titleLabel.right
        anchors.right: parent.right
        anchors.verticalCenter: parent.verticalCenter
        horizontalAlignment: Text.AlignRight
        text: row.value
        color: row.valueColor
        font.bold: row.valueBold
        elide: Label.ElideRight
    }
}
