import QtQuick 2.15
import QtQuick.Controls 2.15
import QtMultimedia 5.15

// Plays the sample video over and over, muted. Nothing shows it today.
StackView {
    id: stack

    function restart() {
        video.stop()
        video.play()
    }

    initialItem: Video {
        id: video
        source: "qrc:/qml/videos/1.avi"
        muted: true
        autoPlay: true
        fillMode: VideoOutput.PreserveAspectFit
        onStatusChanged: {
            if (status === MediaPlayer.EndOfMedia || status === MediaPlayer.InvalidMedia)
                stack.restart()
        }
    }

    pushEnter: Transition { NumberAnimation { property: "opacity"; from: 0; to: 1; duration: 1000 } }
    pushExit: Transition { NumberAnimation { property: "opacity"; from: 1; to: 0; duration: 1000 } }

    Timer {
        interval: 3000
        running: false
        onTriggered: stack.restart()
    }
}
