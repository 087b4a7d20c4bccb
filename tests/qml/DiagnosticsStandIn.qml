import QtQuick 2.15

// The controller's diagnostics as the pages see it: verdicts, the check
// timer's start and stop, and a report whose outcome the test chooses.
QtObject {
    signal saveReportFinished(bool result, string message)
    property string rtc
    property string ethernet: "OK"
    property string usbHub: "OK"
    property string usbHost: "MISSING"
    property string ftdi: "ERROR"
    property string mPCIe1
    property string touch
    property string sdCard
    property string rfidUsb
    property string rfidService: "ERROR"
    property string buzzer
    property string leds
    property string speaker
    property string cardScan
    property string lightSensor
    property string rgbTest
    property int starts: 0
    property int stops: 0
    property int reports: 0
    property bool reportSaves: true
    function start() { starts += 1 }
    function stop() { stops += 1 }
    function saveReport() {
        reports += 1
        if (reportSaves)
            saveReportFinished(true, "Test report saved successfully:\n./TestReport_20240131_0915.txt")
        else
            saveReportFinished(false, "Could not save Test Report\nERROR: No space left on device")
    }
    function generateQr() {
        return "data:image/svg,<?xml version=\"1.0\" encoding=\"UTF-8\"?><svg xmlns=\"http://www.w3.org/2000/svg\" "
             + "version=\"1.1\" viewBox=\"0 0 3 3\" stroke=\"none\"><rect width=\"100%\" height=\"100%\" "
             + "fill=\"#FFFFFF\"/><path d=\"M1,1h1v1h-1z\" fill=\"#000000\"/></svg>"
    }
}
