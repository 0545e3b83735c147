// The column table: one ModeSpec per table of the main window, one ColumnSpec
// per column. PMModel answers headers, flags, editors, choices, reads and
// writes by looking the cell's column up here, so adding or changing a column
// is a change of one row of the table in pmcolumns.cpp.
#pragma once

#include <optional>

#include <QStringList>
#include <QVariant>

#include <span>

#include "schema.h"

class PMModel;

// Which in-cell editor the delegate builds for a cell.
enum class EditorKind : int {
    Default = 0,  // QStyledItemDelegate's own editor
    Choice = 1,  // combo box filled from Qt::UserRole
    Seconds = 2,  // 0..32.76 s in 0.005 s steps
    Integer = 3,  // 0..65535
    Dialog = 4,  // no in-cell editor; a click opens a dialog
    Current = 5,  // 0..102.0 A in 0.4 A steps
};

// Table modes; equal to the main window's tab index.
enum class Mode : int {
    Keypad = 0,
    Switches = 1,
    CanInputs = 2,
    Timers = 3,
    Events = 4,
    States = 5,
    Lx1Outputs = 6,
    Lx2Leds = 7,
    CanOutputs = 8,
    Pwm = 9,
};

namespace kelda {

constexpr int kModeCount = 10;

// Texts of computed cells.
constexpr const char *kEditCellText = " Edit...";  // the blank is part of the text
constexpr const char *kNoneText = "NONE";  // a module without a PWM input

// A CAN item's Word/Byte code selects one data byte (everything but the four
// words); its Data then holds 0 to 255, as the module compares or sends a byte.
constexpr bool selectsByte(int byteSelect)
{
    return byteSelect != 3 && byteSelect != 12 && byteSelect != 48 && byteSelect != 192;
}
constexpr int kMaxByteData = 255;
constexpr int kMaxWordData = 65535;

// Named columns of every table, in the order the views show them.
namespace KeypadCol {
enum : int { Id, Name, Count };
}
namespace SwitchCol = KeypadCol;
namespace LedCol = KeypadCol;
namespace CanInputCol {
enum : int { Name, CanCode, WordByte, Compare, Data, Endianness, Count };
}
namespace TimerCol {
enum : int { Name, ResetValue, Count };
}
namespace EventCol {
enum : int { Priority, Name, Input1, Type1, With1, Input2, Type2, With2, Input3, Type3, Actions, Count };
constexpr int kColumnsPerInput = Input2 - Input1;
constexpr int input(int k)
{
    return Input1 + k * kColumnsPerInput;
}
constexpr int type(int k)
{
    return Type1 + k * kColumnsPerInput;
}
constexpr int with(int k)
{
    return With1 + k * kColumnsPerInput;
}
// The event input a column of the input, type or with groups belongs to.
constexpr int inputOf(int column)
{
    return (column - Input1) / kColumnsPerInput;
}
}  // namespace EventCol
namespace StateCol {
enum : int { Name, Outputs, Count };
}
namespace Lx1OutputCol {
enum : int { Name, Current, Module1, Module8 = Module1 + kLx1ModuleCount - 1, Actions, Count };
constexpr int module(int m)
{
    return Module1 + m;
}
}  // namespace Lx1OutputCol
namespace CanOutputCol {
enum : int { Name, CanCode, WordByte, Data, Count };
}
namespace PwmCol {
enum : int { Module, CanInput, Count };
}

// What a write did, so that setData knows what to announce.
enum class WriteResult {
    Written,  // stored (or nothing to store): marks the setup modified
    Unchanged,  // accepted without a change: announced, not a modification
    Refused,  // setData returns false and announces nothing
};

// Which cells a write changes besides its own.
enum class Refresh {
    Cell,  // only the written cell
    Column,  // the whole column (shared values, rankings)
    Row,  // the whole row (inputs coming into or out of use)
};

// A computed cell that shows no single stored value.
constexpr ValueId kNoValue = ValueId{};

struct ColumnSpec;
struct ColumnOps;
struct ViewRef;

// Where a column's read takes the stored values of a row from: the live
// session behind the table model, or the read model's snapshot. Each column
// has one read, whichever of the two asks.
class CellSource
{
public:
    // Whether item `row` of `type` is there.
    virtual bool has(ItemType type, int row) const = 0;
    // An integer value of the item; nullopt when the item or the value is absent.
    virtual std::optional<int> value(ItemType type, int row, ValueId id) const = 0;
    // A text value (null when absent) and a block value (empty when absent).
    virtual QString text(ItemType type, int row, ValueId id) const = 0;
    virtual QByteArray block(ItemType type, int row, ValueId id) const = 0;
    // Event `row`'s place in the ranking; row + 1 when none is stored.
    virtual int priority(int row) const = 0;
    // A value of input k of an event: nullopt when the input's entry is not
    // stored, 0 when the entry lacks the value.
    virtual std::optional<int> inputValue(int event, int k, ValueId id) const = 0;
    // The item input k of an event reaches (its row -1 when none).
    virtual ViewRef inputTarget(int event, int k) const = 0;
    // The CAN input the PWM input of an LX1 module reaches.
    virtual ViewRef pwmTarget(int module) const = 0;

protected:
    ~CellSource() = default;
};

using ReadFn = QVariant (*)(const CellSource &, ItemType, int row, const ColumnSpec &);
using WriteFn = WriteResult (*)(PMModel &, ItemType, int row, const ColumnSpec &, const QVariant &);
using ChoicesFn = QStringList (*)(const PMModel &, int row, int column);

struct ColumnSpec {
    const char *header;
    EditorKind editor;
    bool editable;
    ValueId value;  // the stored value the cell shows, where it shows one
    ReadFn read;
    WriteFn write;  // null: accepted, nothing stored
    ChoicesFn choices;  // null: no choice list
    Refresh refresh;
    int arg;  // event input, mask byte: which one of a repeated column
    const char *tip = nullptr;  // the header's tooltip: what it is, its unit and range
};

struct ModeSpec {
    ItemType type;
    const char *table;  // the tab's text
    const char *noun;  // one item of the table, in a sentence
    std::span<const ColumnSpec> columns;
    bool rows;  // the table grows and shrinks through "Add" and "Remove"
};

// The options table: one OptionSpec per option of the Options page, in
// OptionIndex order. The window's boxes, the model's reads and writes and the
// history's texts take an option's label, kind, scale and range from here.
enum class OptionKind {
    Seconds,  // a time in seconds, stored x scale
    Count,  // a plain number
    Choice,  // an index into kCanSpeeds, stored as its code
    Identifier,  // a CAN identifier, held to the range when written
};

struct OptionSpec {
    const char *label;  // the Options page's label (unit after a '/')
    OptionKind kind;
    int scale;  // stored value = shown value x scale
    double minimum, maximum;  // what the box offers
    double absent;  // shown when nothing is stored
    const char *tip;  // the box's tooltip: what it is, its unit and range
};

// Null outside the table.
const OptionSpec *optionSpec(int index);
// An option as its box shows it, from the stored value (nullopt: none stored);
// 0 outside the table. The model and the read model both convert through it.
double optionShown(int index, std::optional<uint16_t> stored);

// Cell `row` of a column in the model's live session, as its view shows it.
// Reading repairs what the table always repaired when shown (a missing
// priority, a condition out of its input's range); that is no change.
QVariant modelCell(const PMModel &model, ItemType type, int row, const ColumnSpec &spec);

// Null for a mode or column outside the table.
const ModeSpec *modeSpec(int mode);
const ColumnSpec *columnSpec(int mode, int column);
// True for the tables with "Add" and "Remove".
bool modeHasRows(int mode);

}  // namespace kelda
