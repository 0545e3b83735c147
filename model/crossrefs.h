// Cross-references: the records of a setup that name an item. An item is
// named by an event input, an entry of an event's or a state's list, or the
// PWM input of an LX1 module; a record names the item it resolves to (by type
// and name, the first item of that name), so of two items sharing a name only
// the first is ever named.
#pragma once

#include <QList>
#include <QString>

#include "schema.h"
#include "setupview.h"
#include "strata.h"

namespace kelda {

// Where a use is shown: the main window's tab (model mode), the row of its
// owner and the column that holds the reference.
struct UseLocation {
    int mode;
    int row;
    int column;
};
UseLocation useLocation(const Use &use);

// Which row number a text gives: the item's place in its table (kelda-cli's
// documented rows), or the row the window shows it in (an event's priority).
enum class RowNumber { Stored, Shown };

// The row, from 1, that the window's table shows item `row` of the type in:
// events in priority order, every other table in stored order.
int shownRow(StoreSession session, ItemType type, int row);

// One line for a list of uses: `Events 3 "Beacons on": input 1`.
QString useText(StoreSession session, const Use &use, RowNumber number = RowNumber::Stored);

// Whether anything can name items of the type at all.
bool isReferable(ItemType type);

// Every record that resolves to item `row` of `type`, in table order.
QList<Use> findUses(StoreSession session, ItemType type, int row);

// Removes the records: list entries are deleted, event inputs keep their
// condition and join but lose their target, PWM inputs become "NONE".
void dropUses(StoreSession session, const QList<Use> &uses);

}  // namespace kelda
