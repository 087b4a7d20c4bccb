import QtQuick 2.15

// A plain page with one picture. Nothing shows it today.
Rectangle {
    color: manager.screenSaverBg

    Image {
        anchors.centerIn: parent
        width: 300
        height: 300
        sourceSize: Qt.size(600, 600)
        fillMode: Image.PreserveAspectFit
        source: manager.screenSaverImg
    }
}
