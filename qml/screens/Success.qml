import QtQuick 2.15

// Card to collect, thank-you or a passed card test: the controller's message.
Item {
    id: page

    MessageScreen {
        anchors.centerIn: parent
        width: parent.width * 0.9
        message: manager.dynTr + qsTranslate("Messages", manager.message)
        icon: "qrc:/qml/images/Icons/valid.svg"
        iconSize: Qt.size(150, 150)
        iconColor: "#41b987"
        spacingSize: 50
        // Read from the cab at arm's length.
        textSizeMedium: 28
    }
}
