import QtQuick 2.15
import "qrc:/qml/screens/settings"

// The validator page beside a connected validator: a stand-in with one SAM,
// or the reader model given as rfid.
Item {
    id: holder

    property alias validator: validatorManager
    readonly property alias page: page
    property QtObject rfid: standInRfid

    QtObject {
        id: validatorManager
        property string vehicle: "ABC-1234"
        property string version: "2.1.0"
        property string status: "online"
        property string reason: ""
        property QtObject rfid: holder.rfid
    }

    QtObject {
        id: standInRfid
        property bool enabled: false
        property string firmware: "1.4"
        property string model: "R-100"
        property string manufacturer: "Reader Co"
        property string deviceUid: "UID-7"
        property string state: "Idle"
        property string error: ""
        property QtObject sam: QtObject {
            property int slot: 1
            property string name: "SAM-A"
            property string version: "3"
            property string uid: "5A"
            property string mode: "AV2"
            property bool unlocked: true
            property date production: new Date(2023, 4, 17)
        }
    }

    Validator {
        id: page
        anchors.fill: parent
    }
}
