import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Controls.Material 2.15
import QtQuick.Layouts 1.15

// The settings tool bar: back button on a page, the title, and the menu of
// power commands and log-out.
ToolBar {
    id: bar

    signal backClicked()
    signal commandRequested(string command)
    signal logoutRequested()

    property string title
    property bool backVisible: false

    function closeMenu() {
        menu.close()
    }

    onVisibleChanged: if (!visible) menu.close()
    onHeightChanged: if (height === 0) menu.close()
    clip: true

    RowLayout {
        anchors.fill: parent
        spacing: 0

        ToolButton {
            objectName: "backButton"
            Layout.preferredWidth: 70
            Layout.fillHeight: true
            visible: bar.backVisible
            icon.source: "qrc:/qml/images/Icons/chevron-left.svg"
            icon.color: "#FFFFFF"
            icon.width: 32
            icon.height: 32
            onClicked: bar.backClicked()
        }

        Label {
            objectName: "title"
            Layout.fillWidth: true
            Layout.leftMargin: bar.backVisible ? 0 : 24
            text: bar.title
            color: "#FFFFFF"
            font.pixelSize: 26
            elide: Label.ElideRight
            verticalAlignment: Qt.AlignVCenter
        }

        ToolButton {
            objectName: "menuButton"
            Layout.preferredWidth: 70
            Layout.fillHeight: true
            icon.source: "qrc:/qml/images/Icons/menu.png"
            icon.color: "transparent"
            icon.width: 32
            icon.height: 32
            onClicked: menu.open()

            Menu {
                id: menu
                objectName: "menu"
                y: parent.height
                x: parent.width - width

                MenuItem {
                    text: manager.dynTr + qsTr("Restart Application")
                    onTriggered: bar.commandRequested("restart")
                }
                MenuItem {
                    text: manager.dynTr + qsTr("Reboot")
                    onTriggered: bar.commandRequested("reboot")
                }
                MenuItem {
                    text: manager.dynTr + qsTr("Shutdown")
                    onTriggered: bar.commandRequested("shutdown")
                }
                MenuItem {
                    text: manager.dynTr + qsTr("Logout")
                    onTriggered: bar.logoutRequested()
                }
            }
        }
    }
}
