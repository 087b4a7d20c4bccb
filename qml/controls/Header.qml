import QtQuick 2.15

// The bar above the driver screens: the authority's logo and the clock,
// which leads to the maintenance log-in.
Item {
    id: header

    signal magicButtonPressed()

    width: parent ? parent.width : 0

    Image {
        id: logo
        x: 25
        anchors.verticalCenter: parent.verticalCenter
        width: 266
        height: 74
        sourceSize: Qt.size(532, 148)
        fillMode: Image.Stretch
        source: "qrc:/qml/images/Icons/ulbo-logo-top-gr.svg"
    }

    Clock {
        id: clock
        anchors.verticalCenter: parent.verticalCenter
        dateFormat: "dd-MM-yyyy"
        timeFormat: "hh:mm"
        onClicked: console.log("[QML] Clock tapped.")
        onPressAndHold: header.magicButtonPressed()
    }
}
