import QtQuick 2.15
import QtQml.Models 2.15

// A delegate model that shows, in their order, the items filterAcceptsItem()
// accepts. Refilters when its items change and on update().
DelegateModel {
    id: model

    function filterAcceptsItem(item) {
        return true
    }

    function update() {
        if (items.count > 0)
            items.setGroups(0, items.count, "items")
        var accepted = []
        for (var i = 0; i < items.count; ++i) {
            var item = items.get(i)
            if (filterAcceptsItem(item.model))
                accepted.push(item)
        }
        for (i = 0; i < accepted.length; ++i) {
            accepted[i].inVisible = true
            if (accepted[i].visibleIndex !== i)
                visibleItems.move(accepted[i].visibleIndex, i, 1)
        }
    }

    items.onChanged: update()
    filterOnGroup: "visible"
    groups: DelegateModelGroup {
        id: visibleItems
        name: "visible"
    }
}
