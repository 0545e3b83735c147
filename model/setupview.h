// SetupView: a whole setup read from a session in one call, as plain values.
// Every reference comes resolved once, by the store's own rule, so whatever
// reads a whole setup (checks, comparison, report, "who uses this") asks the
// view instead of walking the store's tree. It is a snapshot: read it again
// after a change; the model itself still caches nothing.
#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <array>
#include <cstdint>
#include <optional>

#include "schema.h"
#include "strata.h"

namespace kelda {

class StoreCursor;

// A record that names an item: an event input, an entry of an event's or a
// state's list, or the PWM input of an LX1 module.
struct Use {
    enum class Kind {
        EventInput,  // owner = event row, slot = input 0..2
        EventList,  // owner = event row, slot = EventList, entry = entry row
        StateList,  // owner = state row, slot = StateList, entry = entry row
        PwmInput,  // owner = LX1 module 0..7
    };
    Kind kind;
    int owner;
    int slot = 0;
    int entry = -1;

    bool operator==(const Use &) const = default;
};

// A reference as stored, and the item it reaches.
struct ViewRef {
    bool present = false;  // a record with a target type is stored
    ItemType type = ItemType::None;  // the target's type, as stored
    QString name;  // the target's name, as stored
    int row = -1;  // the row it reaches in the table of `type`; -1 when it reaches nothing

    bool resolved() const { return row >= 0; }
};

struct ViewEventInput {
    bool stored = false;  // the input's entry is stored (the first three of every event)
    ViewRef ref;
    int condition = 0;  // ValueId::Condition, 0 when absent
    int combine = 0;  // ValueId::Combine towards the next input, 0 when absent
};

struct ViewEvent {
    QString name;
    int priority = 0;  // ValueId::Order as stored; 0 when absent
    bool priorityStored = false;  // the events table shows row + 1 when it is absent
    std::array<ViewEventInput, kEventInputCount> inputs;
    std::array<QList<ViewRef>, kEventListCount> lists;
};

struct ViewState {
    QString name;
    std::array<QList<ViewRef>, kStateListCount> lists;
};

struct ViewCanInput {
    QString name;
    int canId = 0;
    int byteSelect = 0;
    int canCompare = 0;
    int data = 0;  // the value compared against
    bool littleEndian = false;
    bool canIdStored = true;  // the table shows a missing identifier as 0x1234
};

struct ViewCanOutput {
    QString name;
    int canId = 0;
    int byteSelect = 0;
    int data = 0;  // the value sent
    bool canIdStored = true;
};

struct ViewTimer {
    QString name;
    int resetTicks = 0;  // kTickMs units
};

struct ViewLx1Output {
    QString name;
    int current = 0;  // ValueId::Data, kAmpsPerStep units
    QByteArray masks;  // ValueId::Lx1Masks as stored (kLx1MaskBytes, or empty when absent)
};

class SetupView
{
public:
    // Reads the whole setup; the session's cursor is left where it was. A
    // null session or one without a setup item reads as an empty view.
    static SetupView read(StoreSession session);

    // Names of the items of a table of the setup, in row order (an item
    // without a name reads as an empty one); empty for a table it lacks.
    QStringList names(ItemType type) const;
    int count(ItemType type) const { return int(names(type).size()); }

    // The store's rule: a reference reaches the first item of its type whose
    // name equals the stored name exactly. Its row, or -1 when none has it
    // (an item without a name value is never reached).
    int resolve(ItemType type, const QString &name) const;

    // Every record that reaches item `row` of `type`, in table order: the
    // events (inputs, then lists in order), the states' lists, the PWM inputs.
    QList<Use> usesOf(ItemType type, int row) const;
    // The reference of one use; null when the use is not in this setup.
    const ViewRef *refOf(const Use &use) const;

    // Option `index` in the units the options page shows (seconds, retries,
    // the index into kCanSpeeds, an identifier), as PMModel::option gives it.
    double option(int index) const;

    // Cell `column` of `row` in table `mode` (model/pmcolumns.h), as the
    // column table's read gives it; invalid for a row or column the table
    // lacks. Event inputs count only while the inputs before them join on.
    QVariant cell(int mode, int row, int column) const;

    QList<ViewEvent> events;
    QList<ViewState> states;
    QList<ViewCanInput> canInputs;
    QList<ViewCanOutput> canOutputs;
    QList<ViewTimer> timers;
    QList<ViewLx1Output> lx1Outputs;
    // The PWM input of each LX1 module (absent for a module the setup lacks).
    std::array<ViewRef, kLx1ModuleCount> pwmInputs;
    // ValueId::Data of each option item as stored; empty when absent.
    std::array<std::optional<uint16_t>, kOptionCount> options;

private:
    struct Table {
        QStringList names;
        QHash<QString, int> firstRow;  // only items that have a name value
    };
    void readTables(StoreCursor &c);
    void readValues(StoreCursor &c, ItemType type, int row, const QString &name, bool open);
    ViewRef resolved(ItemType type, bool present, bool named, const QString &name) const;
    ViewRef readRef(StoreCursor &c) const;
    QList<ViewRef> readList(StoreCursor &c, int list) const;

    QHash<ItemType, Table> m_tables;
};

}  // namespace kelda
