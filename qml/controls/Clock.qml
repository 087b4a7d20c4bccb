import QtQuick 2.15

// Date and time in the header. Three taps within a second, or a held press,
// ask for the maintenance screen through pressAndHold().
Item {
    id: clock

    signal pressAndHold()
    signal clicked()

    property var locale: Qt.locale()
    property string dateFormat: "ddd, d MMM yyyy"
    property string timeFormat: "hh:mm:ss"
    property int longPressMsec: 800
    // Presses counted in the current one-second window.
    readonly property alias pressCount: counter.count
    readonly property alias counting: counter.running

    width: 200
    height: 65
    anchors.right: parent ? parent.right : undefined

    function refresh() {
        var now = new Date()
        dateText.text = Qt.formatDate(now, clock.dateFormat)
        timeText.text = now.toLocaleTimeString(clock.locale, clock.timeFormat)
    }

    Text {
        id: dateText
        anchors.top: parent.top
        anchors.right: parent.right
        anchors.rightMargin: 25
        font.family: "DejaVu Sans"
        font.pixelSize: 20
        font.weight: Font.Medium
        color: "#112D63"
        horizontalAlignment: Text.AlignRight
    }

    Text {
        id: timeText
        anchors.bottom: parent.bottom
        anchors.right: parent.right
        anchors.rightMargin: 25
        font.family: "DejaVu Sans"
        font.pixelSize: 42
        font.bold: true
        color: "#112D63"
        horizontalAlignment: Text.AlignRight
    }

    Timer {
        interval: 1000
        repeat: true
        running: true
        triggeredOnStart: true
        onTriggered: clock.refresh()
    }

    Timer {
        id: counter
        property int count: 0
        interval: 1000
        onTriggered: {
            console.log("[QML][Clock] Press time expired : " + count + " click(s)")
            if (count > 2) {
                console.log("[QML][Clock] More than 2 taps detected within 1 sec.")
                clock.pressAndHold()
            }
            count = 0
        }
    }

    MouseArea {
        anchors.fill: parent
        onPressed: {
            counter.count += 1
            if (!counter.running)
                counter.start()
        }
        onPressAndHold: {
            console.log("[QML][Clock] Press and hold detected")
            // The held press stays counted until the next window closes.
            counter.stop()
            clock.pressAndHold()
        }
        onClicked: clock.clicked()
    }
}
