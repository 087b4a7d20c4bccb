import QtQuick 2.15

// The validator as the pages see it when none is connected: empty texts, no
// SAM, settings that stay on the page, and operations that do nothing.
QtObject {
    signal cardDetected(string uid, string type)
    signal cardRemoved()

    property string vehicle
    property string version
    property string status
    property string reason

    property QtObject rfid: QtObject {
        property bool enabled: false
        property string firmware
        property string model
        property string manufacturer
        property string deviceUid
        property string state
        property string error
        property QtObject sam: null
    }

    property QtObject config: QtObject {
        property string obuUrl
        property int passbackSecs: 0
        property bool passbackQrEnabled: false
    }

    function enableRfid() {}
    function disableRfid() {}
    function refreshConfig() {}
    function saveConfig() {}
}
