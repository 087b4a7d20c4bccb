import QtQuick 2.15
import QtQuick.Controls 2.15
import QtTest 1.2
import "qrc:/qml/screens/settings"

// The event-log page over the real event log (eventLogManager of the fixture).
Item {
    id: root
    width: 1024
    height: 530

    QtObject {
        id: manager
        property string dynTr: ""
    }

    Ui {
        id: ui
    }

    Component {
        id: pageComponent
        EventLog { anchors.fill: parent }
    }

    TestCase {
        name: "EventLog"
        when: windowShown

        property var page: null
        property date loginTime

        function hoursAgo(hours) {
            return new Date(Date.now() - hours * 3600 * 1000)
        }

        function init() {
            fixture.clearEvents()
            fixture.pushEvent("Application started", "", hoursAgo(50))
            loginTime = hoursAgo(3)
            fixture.pushEvent("Maintenance login", "User ID : 1", loginTime)
            fixture.pushEvent("Maintenance logout", "Date : now", hoursAgo(0.5))
            page = createTemporaryObject(pageComponent, root)
            waitForRendering(page)
        }

        function cleanup() {
            // The log keeps its filters: leave it unfiltered for the next test.
            eventLogManager.applyFilter("")
            eventLogManager.applyFilterPeriod("All history")
        }

        // The titles of the rows the list shows, top to bottom.
        function shownTitles() {
            var list = findChild(page, "eventList")
            var titles = []
            for (var i = 0; i < list.count; ++i) {
                list.positionViewAtIndex(i, ListView.Visible)
                var entry = list.itemAtIndex(i)
                titles.push(entry.children[1].title)
            }
            return titles
        }

        function setSearch(text) {
            findChild(page, "searchField").text = text
        }

        function test_newestFirst() {
            compare(shownTitles(), ["Maintenance logout", "Maintenance login", "Application started"])
        }

        function test_searchFiltersOnEveryChange() {
            setSearch("m")
            compare(shownTitles(), ["Maintenance logout", "Maintenance login"])
            setSearch("ma")
            compare(shownTitles(), ["Maintenance logout", "Maintenance login"])
            setSearch("mAintenance LOGIN")
            compare(shownTitles(), ["Maintenance login"])
            setSearch("nothing like it")
            compare(shownTitles(), [])
        }

        function test_clearShowsAllAgain() {
            setSearch("started")
            compare(shownTitles(), ["Application started"])
            mouseClick(findChild(page, "clearButton"))
            compare(findChild(page, "searchField").text, "")
            compare(shownTitles(), ["Maintenance logout", "Maintenance login", "Application started"])
        }

        function test_period_data() {
            return [
                { tag: "Last hour", expected: ["Maintenance logout"] },
                { tag: "Last 2 hours", expected: ["Maintenance logout"] },
                { tag: "Last week", expected: ["Maintenance logout", "Maintenance login", "Application started"] },
                { tag: "All history", expected: ["Maintenance logout", "Maintenance login", "Application started"] }
            ]
        }

        function test_period(data) {
            var box = findChild(page, "periodBox")
            compare(box.count, 7)
            // First to "Last hour", then to the row's period.
            ui.choose(this, box, "Last hour")
            compare(shownTitles(), ["Maintenance logout"])
            ui.choose(this, box, data.tag)
            compare(shownTitles(), data.expected)
        }

        function test_searchAndPeriodTogether() {
            var box = findChild(page, "periodBox")
            ui.choose(this, box, "Last 2 hours")
            setSearch("login")
            compare(shownTitles(), [])
            ui.choose(this, box, "All history")
            compare(shownTitles(), ["Maintenance login"])
        }

        function test_severityChangesNothingShown() {
            var box = findChild(page, "severityBox")
            compare(box.currentText, "All messages")
            ui.choose(this, box, "Critical")
            compare(shownTitles(), ["Maintenance logout", "Maintenance login", "Application started"])
        }

        function test_rowsExpandAndCarryTheirTime() {
            var list = findChild(page, "eventList")
            var row = list.itemAtIndex(1).children[1]
            compare(row.time, Qt.formatDateTime(loginTime, "dd-MMM-yy hh:mm"))
            compare(row.message, "User ID : 1")
            verify(!row.expanded)
            mouseClick(row)
            verify(row.expanded)
            verify(row.height > row.collapsedHeight)
            verify(row.height <= 150)
        }

        function test_newEventsShowAtOnce() {
            fixture.pushEvent("Application started", "", new Date())
            compare(shownTitles()[0], "Application started")
            compare(shownTitles().length, 4)
        }
    }
}
