import QtQuick 2.15

// Geometry, colours and keys of a NumberPad.
QtObject {
    property real keyWidth: 118
    property real keyHeight: 70
    property real radius: 4
    property real columnSpacing: 6
    property real rowSpacing: 7
    // Drawn in the light theme only.
    property int borderWidth: 1
    property color borderColor: "#C8C8C8"
    property color keyColor: "#FFFFFF"
    property color customKeyColor: "#D6D6D6"
    property color textColor: "#000000"
    property string fontFamily: "Arial"
    property real fontSize: 16
    property bool phoneLayout: true
    // Left arrow, then "CLR": the two non-digit keys at indexes 9 and 11.
    readonly property string leftKey: "\u2190"
    readonly property string rightKey: manager.dynTr + qsTr("CLR")
    readonly property var phoneModel: ["1", "2", "3", "4", "5", "6", "7", "8", "9", leftKey, "0", rightKey]
    readonly property var keypadModel: ["7", "8", "9", "4", "5", "6", "1", "2", "3", leftKey, "0", rightKey]
    readonly property var model: phoneLayout ? phoneModel : keypadModel
}
