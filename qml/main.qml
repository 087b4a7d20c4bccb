import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Controls.Material 2.15

ApplicationWindow {
    id: window
    x: 0
    y: -1
    width: 1024
    height: 600
    visible: true
    title: "VORNTerminal"
    color: "#FFFFFF"

    FontLoader {
        source: "qrc:/qml/fonts/DejaVuSans.ttf"
    }

    Label {
        anchors.centerIn: parent
        text: Qt.application.name + " " + Qt.application.version + manager.dynTr
        font.pixelSize: 28
        color: Material.primary
    }
}
