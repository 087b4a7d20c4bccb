import QtQuick 2.15
import QtQuick.Controls 2.15

// What a finger does on the screens, for the tests.
QtObject {
    // Opens the combo box and taps the entry with the text.
    function choose(test, combo, text) {
        test.mouseClick(combo)
        test.tryCompare(combo.popup, "opened", true)
        var list = combo.popup.contentItem
        var index = combo.find(text)
        test.verify(index >= 0, "no entry " + text)
        list.positionViewAtIndex(index, ListView.Center)
        var entry = list.itemAtIndex(index)
        test.verify(entry, "entry not shown: " + text)
        test.mouseClick(entry)
        test.tryCompare(combo.popup, "visible", false)
        test.compare(combo.currentText, text)
    }

    // Taps a popup's Yes or No.
    function answer(test, popup, yes) {
        test.tryCompare(popup, "opened", true)
        test.mouseClick(test.findChild(popup.contentItem, yes ? "buttonYes" : "buttonNo"))
        test.tryCompare(popup, "visible", false)
    }

    // The texts of the visible Text items under an item, in tree order.
    function texts(item) {
        var found = []
        function walk(node) {
            if (!node || !node.visible)
                return
            if (node.hasOwnProperty("text") && node.hasOwnProperty("font") && typeof node.text === "string"
                    && node.text !== "")
                found.push(node.text)
            for (var i = 0; i < node.children.length; ++i)
                walk(node.children[i])
        }
        walk(item)
        return found
    }
}
