import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Controls.Material 2.15
import QtQuick.Layouts 1.15

// The network service's view: the primary connection and the wired interface.
Page {
    id: networkPage

    // Colour of a value by the row it is shown in.
    function valueColor(title, value) {
        if (title === "Connection State" || title === "State") {
            if (value === "Connected")
                return Material.color(Material.Green)
            if (value === "Disconnected")
                return Material.color(Material.Red)
            return Material.color(Material.Amber)
        }
        if (title === "Connectivity") {
            if (value === "Full")
                return Material.color(Material.Green)
            if (value === "Portal" || value === "Limited")
                return Material.color(Material.Amber)
            return Material.color(Material.Red)
        }
        return Material.foreground
    }

    header: TabBar {
        id: tabs
        objectName: "tabs"
        currentIndex: swipe.currentIndex

        TabButton { text: "General" }
        TabButton { text: "Ethernet" }
    }

    SwipeView {
        id: swipe
        objectName: "swipe"
        anchors.fill: parent
        currentIndex: tabs.currentIndex
        clip: true

        NetworkPri {
            valueColor: networkPage.valueColor
        }

        Ethernet {
            valueColor: networkPage.valueColor
            onConfigureRequested: networkPage.StackView.view.push(Qt.resolvedUrl("EthernetConfig.qml"))
        }
    }
}
