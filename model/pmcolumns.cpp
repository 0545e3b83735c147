// The column table of PMModel and the cell operations its rows name. Each row
// of kModes below is one column of one tab, in the order the tab shows it.
#include "pmcolumns.h"

#include "pmmodel.h"
#include "pmmodel_p.h"
#include "setupview.h"

#include <QLocale>

#include <cmath>

namespace kelda {

namespace {
const QString kDash = QStringLiteral("-");
}

// Cell reads and writes. A friend of PMModel: they reach the session and the
// row and reference operations that the model keeps private.
struct ColumnOps {
    static StoreCursor cursor(const PMModel &m) { return StoreCursor(m.liveSession()); }

    // ------------------------------------------------------------ reads

    using Src = CellSource;

    static QVariant rowNumber(const Src &, ItemType, int row, const ColumnSpec &) { return row + 1; }

    static QVariant text(const Src &src, ItemType type, int row, const ColumnSpec &s)
    {
        return src.text(type, row, s.value);
    }

    static QVariant integer(const Src &src, ItemType type, int row, const ColumnSpec &s)
    {
        return src.value(type, row, s.value).value_or(0);
    }

    static QVariant canCode(const Src &src, ItemType type, int row, const ColumnSpec &s)
    {
        if (!src.has(type, row))
            return QStringLiteral("0x000");
        const std::optional<int> id = src.value(type, row, s.value);
        return id ? detail::canCodeText(*id) : QStringLiteral("0x1234");
    }

    static QVariant byteSelect(const Src &src, ItemType type, int row, const ColumnSpec &s)
    {
        return src.has(type, row) ? detail::byteSelectText(src.value(type, row, s.value).value_or(0)) : QString();
    }

    static QVariant canCompare(const Src &src, ItemType type, int row, const ColumnSpec &s)
    {
        return src.has(type, row) ? detail::canCompareText(src.value(type, row, s.value).value_or(0)) : QString();
    }

    static QVariant endianness(const Src &src, ItemType type, int row, const ColumnSpec &s)
    {
        return QString::fromLatin1(kEndiannessTexts[src.value(type, row, s.value).value_or(0) != 0 ? 1 : 0]);
    }

    static QVariant seconds(const Src &src, ItemType type, int row, const ColumnSpec &s)
    {
        return src.has(type, row) ? detail::ticksToSeconds(src.value(type, row, s.value).value_or(0)) : 0.5;
    }

    static QVariant amps(const Src &src, ItemType type, int row, const ColumnSpec &s)
    {
        return src.has(type, row) ? detail::stepsToAmps(src.value(type, row, s.value).value_or(0)) : 0.0;
    }

    static QVariant maskByte(const Src &src, ItemType type, int row, const ColumnSpec &s)
    {
        const QByteArray masks = src.block(type, row, s.value);
        return masks.size() <= s.arg ? QStringLiteral("0x00") : detail::maskByteText(uint8_t(masks.at(s.arg)));
    }

    static QVariant priority(const Src &src, ItemType, int row, const ColumnSpec &) { return src.priority(row); }

    // Event input k counts only while every input before it joins on.
    static bool inChain(const Src &src, int row, int k)
    {
        for (int i = 0; i < k; ++i)
            if (src.inputValue(row, i, ValueId::Combine).value_or(0) == 0)
                return false;
        return true;
    }
    static QVariant eventInput(const Src &src, ItemType, int row, const ColumnSpec &s)
    {
        const ViewRef to = inChain(src, row, s.arg) ? src.inputTarget(row, s.arg) : ViewRef();
        return to.resolved() ? QString::fromLatin1(typePrefixText(to.type)) + to.name : kDash;
    }
    static QVariant eventCondition(const Src &src, ItemType, int row, const ColumnSpec &s)
    {
        const ViewRef to = inChain(src, row, s.arg) ? src.inputTarget(row, s.arg) : ViewRef();
        if (!to.resolved())
            return kDash;
        const int code = src.inputValue(row, s.arg, ValueId::Condition).value_or(0);
        return PMModel::conditionText(PMModel::normalizeCondition(to.type, code));
    }
    static QVariant eventCombine(const Src &src, ItemType, int row, const ColumnSpec &s)
    {
        const std::optional<int> code = inChain(src, row, s.arg) ? src.inputValue(row, s.arg, s.value) : std::nullopt;
        return code ? detail::combineText(*code) : kDash;
    }
    static QVariant editText(const Src &, ItemType, int, const ColumnSpec &)
    {
        return QString::fromLatin1(kEditCellText);
    }
    static QVariant moduleLabel(const Src &, ItemType, int row, const ColumnSpec &)
    {
        return QStringLiteral(" LX1-%1").arg(row + 1);
    }
    static QVariant pwmInput(const Src &src, ItemType, int row, const ColumnSpec &)
    {
        const ViewRef to = src.pwmTarget(row);
        return to.resolved() ? to.name : QString::fromLatin1(kNoneText);
    }

    // ------------------------------------------------------------ writes

    static WriteResult refuse(PMModel &m, const QString &why)
    {
        m.m_editError = why;
        return WriteResult::Refused;
    }

    // Writes one integer value of the row's item; a missing item takes nothing
    // and the value it already holds is no change.
    static WriteResult store(PMModel &m, ItemType type, int row, ValueId id, int value)
    {
        StoreCursor c = cursor(m);
        if (!c.item(type, row))
            return WriteResult::Written;
        uint16_t old = 0;
        const uint16_t stored = valueWidth(toU16(id)) == 1 ? uint8_t(value) : uint16_t(value);
        if (c.u16(id, old) && old == stored)
            return WriteResult::Unchanged;
        c.setInt(id, value);
        return WriteResult::Written;
    }

    static WriteResult rename(PMModel &m, ItemType type, int row, const ColumnSpec &, const QVariant &v)
    {
        return m.rename(type, row, v.toString());
    }
    // A whole number as given: an integer, a double without a fraction or a
    // text of decimal digits; false for anything else (no text becomes 0).
    static bool wholeNumber(const QVariant &v, qint64 &out)
    {
        bool ok = false;
        if (v.typeId() == QMetaType::QString) {
            out = v.toString().trimmed().toLongLong(&ok, 10);
            return ok;
        }
        const double d = v.toDouble(&ok);
        if (!ok || !std::isfinite(d) || d != std::trunc(d) || std::fabs(d) > 9.0e15)
            return false;
        out = qint64(d);
        return true;
    }
    // Data of a CAN input or output: a byte channel compares or sends one byte.
    static WriteResult setCanData(PMModel &m, ItemType type, int row, const ColumnSpec &s, const QVariant &v)
    {
        qint64 n = 0;
        if (!wholeNumber(v, n))
            return refuse(m,
                          QStringLiteral("\"%1\" is not a whole number: Data takes 0 to %2.")
                              .arg(v.toString())
                              .arg(kMaxWordData));
        StoreCursor c = cursor(m);
        const int select = c.item(type, row) ? c.u8Or(ValueId::ByteSelect, kDefaultByteSelect) : kDefaultByteSelect;
        if (selectsByte(select) && (n < 0 || n > kMaxByteData))
            return refuse(m,
                          QStringLiteral("%1 does not fit in %2: a byte holds 0–255. Choose a word for a larger "
                                         "value.")
                              .arg(n)
                              .arg(detail::byteSelectText(select).isEmpty() ? QStringLiteral("a byte")
                                                                            : detail::byteSelectText(select)));
        if (n < 0 || n > kMaxWordData)
            return refuse(m, QStringLiteral("%1 is out of range: Data takes 0 to %2.").arg(n).arg(kMaxWordData));
        return store(m, type, row, s.value, int(n));
    }
    static WriteResult setCanCode(PMModel &m, ItemType type, int row, const ColumnSpec &s, const QVariant &v)
    {
        int id = 0;
        if (!detail::parseCanCode(v.toString(), id))
            return refuse(m,
                          QStringLiteral("\"%1\" is not a CAN identifier: type a number from 0 to 2047, or "
                                         "0x000 to 0x7FF in hexadecimal.")
                              .arg(v.toString()));
        const WriteResult result = store(m, type, row, s.value, id);
        if (result == WriteResult::Written && type == ItemType::CanInput)
            followByteOrder(m, row, id);
        return result;
    }
    // The module keeps one byte order per identifier (the first input's): an
    // input moved to an identifier that others read takes theirs.
    static void followByteOrder(PMModel &m, int row, int id)
    {
        bool little = false;
        if (m.followByteOrder(row, &little))
            m.m_editNote = QStringLiteral("Byte order set to %1: every CAN input of %2 shares one.")
                               .arg(QLatin1String(kEndiannessTexts[little ? 1 : 0]), detail::canCodeText(id));
    }
    static WriteResult setByteSelect(PMModel &m, ItemType type, int row, const ColumnSpec &s, const QVariant &v)
    {
        return store(m, type, row, s.value, detail::byteSelectCode(v.toString()));
    }
    static WriteResult setCanCompare(PMModel &m, ItemType type, int row, const ColumnSpec &s, const QVariant &v)
    {
        return store(m, type, row, s.value, detail::canCompareCode(v.toString()));
    }
    static WriteResult setSeconds(PMModel &m, ItemType type, int row, const ColumnSpec &s, const QVariant &v)
    {
        bool ok = false;
        const double seconds = v.toDouble(&ok);
        // Beyond 65535 ticks the run time would wrap to a short one.
        if (!ok || !(seconds >= 0 && seconds <= detail::kMaxTimerSeconds))
            return refuse(m,
                          QStringLiteral("\"%1\" is not a run time: type seconds from 0 to %2.")
                              .arg(v.toString())
                              .arg(detail::kMaxTimerSeconds));
        const int ticks = detail::secondsToTicks(seconds);
        if (std::fabs(detail::ticksToSeconds(ticks) - seconds) > 1e-9)
            m.m_editNote = QStringLiteral("Stored as %1 s: timers count in %2 ms ticks.")
                               .arg(QLocale().toString(detail::ticksToSeconds(ticks)))
                               .arg(kTickMs);
        return store(m, type, row, s.value, ticks);
    }
    static WriteResult setAmps(PMModel &m, ItemType type, int row, const ColumnSpec &s, const QVariant &v)
    {
        bool ok = false;
        const double amps = v.toDouble(&ok);
        const double most = detail::stepsToAmps(kMaxLx1Current);
        if (!ok || !(amps >= 0 && amps <= most + 1e-9))
            return refuse(m,
                          QStringLiteral("\"%1\" is not a current limit: type amperes from 0 to %2 A.")
                              .arg(v.toString(), QLocale().toString(most, 'f', 1)));
        const int steps = detail::ampsToSteps(amps);
        if (std::fabs(detail::stepsToAmps(steps) - amps) > 1e-6)
            m.m_editNote =
                QStringLiteral("Stored as %1 A: current limits are set in %2 A steps.")
                    .arg(QLocale().toString(detail::stepsToAmps(steps), 'f', 1), QLocale().toString(kAmpsPerStep));
        return store(m, type, row, s.value, steps);
    }
    static WriteResult setEndianness(PMModel &m, ItemType type, int row, const ColumnSpec &s, const QVariant &v)
    {
        const bool little = v.toString() == QLatin1String(kEndiannessTexts[1]);
        StoreCursor c = cursor(m);
        if (c.item(type, row) && c.has(s.value) && (c.u16Or(s.value, 0) != 0) == little)
            return WriteResult::Unchanged;
        m.setEndianness(row, little);
        return WriteResult::Written;
    }
    static WriteResult setMaskByte(PMModel &m, ItemType type, int row, const ColumnSpec &s, const QVariant &v)
    {
        int mask = 0;
        if (!detail::parseMaskByte(v.toString(), mask))
            return refuse(m,
                          QStringLiteral("\"%1\" is not a channel pattern: type one to eight binary digits "
                                         "(0 off, 1 on), the rightmost for channel 1.")
                              .arg(v.toString()));
        StoreCursor c = cursor(m);
        if (!c.item(type, row))
            return WriteResult::Written;
        QByteArray masks = c.block(s.value);
        if (masks.size() != kLx1MaskBytes)
            masks = QByteArray(kLx1MaskBytes, '\0');  // the other bytes start at zero
        else if (uint8_t(masks[s.arg]) == mask)
            return WriteResult::Unchanged;
        masks[s.arg] = char(mask);
        c.setBlock(masks);
        return WriteResult::Written;
    }
    static WriteResult setPriority(PMModel &m, ItemType, int row, const ColumnSpec &, const QVariant &v)
    {
        if (v.toInt() == m.eventPriority(row))
            return WriteResult::Unchanged;
        return m.setEventPriority(row, v.toInt()) ? WriteResult::Written : WriteResult::Refused;
    }
    static WriteResult setEventInput(PMModel &m, ItemType, int row, const ColumnSpec &s, const QVariant &v)
    {
        if (v.toString() == m.eventInputText(row, s.arg))
            return WriteResult::Unchanged;
        return m.setEventInput(row, s.arg, v.toString()) ? WriteResult::Written : WriteResult::Refused;
    }
    // Condition and join are values of event input s.arg, not of the event.
    static WriteResult setInputValue(PMModel &m, int row, const ColumnSpec &s, int value)
    {
        StoreCursor c = cursor(m);
        if (!c.item(ItemType::Event, row) || !c.open(ItemType::RefEntry, s.arg))
            return WriteResult::Written;
        if (c.has(s.value) && c.u16Or(s.value, -1) == value)
            return WriteResult::Unchanged;
        c.setInt(s.value, value);
        return WriteResult::Written;
    }
    static WriteResult setCondition(PMModel &m, ItemType, int row, const ColumnSpec &s, const QVariant &v)
    {
        return setInputValue(m, row, s, detail::conditionCode(v.toString()));  // stored as chosen
    }
    static WriteResult setCombine(PMModel &m, ItemType, int row, const ColumnSpec &s, const QVariant &v)
    {
        return setInputValue(m, row, s, detail::combineCode(v.toString()));
    }
    // Accepted whatever happened, but an unknown name changes nothing.
    static WriteResult setPwmInput(PMModel &m, ItemType, int row, const ColumnSpec &, const QVariant &v)
    {
        if (v.toString() == m.pwmInputName(row))
            return WriteResult::Unchanged;
        return m.setPwmInput(row, v.toString()) ? WriteResult::Written : WriteResult::Unchanged;
    }

    // ------------------------------------------------------------ choice lists

    static QStringList byteSelects(const PMModel &, int, int) { return detail::byteSelectTexts(); }
    static QStringList canCompares(const PMModel &, int, int) { return detail::canCompareTexts(); }
    static QStringList endiannesses(const PMModel &, int, int)
    {
        return {QLatin1String(kEndiannessTexts[0]), QLatin1String(kEndiannessTexts[1])};
    }
    static QStringList priorities(const PMModel &m, int, int)
    {
        QStringList l;
        const int n = m.itemCount(ItemType::Event);
        for (int i = 1; i <= n; ++i)
            l << QString::number(i);
        return l;
    }
    static QStringList inputs(const PMModel &m, int, int) { return m.inputChoices(); }
    static QStringList conditions(const PMModel &m, int row, int column) { return m.conditionChoices(row, column); }
    static QStringList combines(const PMModel &, int, int) { return detail::combineTexts(); }
    static QStringList pwmInputs(const PMModel &m, int, int)
    {
        return m.canInputNames() << QString::fromLatin1(kNoneText);
    }
    static QStringList noneOnly(const PMModel &, int, int) { return {QString::fromLatin1(kNoneText)}; }
};

namespace {

// The live session behind the table model, as the column reads see it.
class SessionCells final : public CellSource
{
public:
    explicit SessionCells(const PMModel &model) : m_model(model), m_s(model.session()) { }

    bool has(ItemType type, int row) const override { return StoreCursor(m_s).item(type, row); }
    std::optional<int> value(ItemType type, int row, ValueId id) const override
    {
        StoreCursor c(m_s);
        uint16_t v = 0;
        if (!c.item(type, row) || !c.u16(id, v))
            return std::nullopt;
        return v;
    }
    QString text(ItemType type, int row, ValueId id) const override
    {
        StoreCursor c(m_s);
        return c.item(type, row) ? c.textOr(id) : QString();
    }
    QByteArray block(ItemType type, int row, ValueId id) const override
    {
        StoreCursor c(m_s);
        return c.item(type, row) ? c.block(id) : QByteArray();
    }
    int priority(int row) const override { return m_model.eventPriority(row); }
    std::optional<int> inputValue(int event, int k, ValueId id) const override
    {
        StoreCursor c(m_s);
        if (!openInput(c, event, k))
            return std::nullopt;
        return c.u16Or(id, 0);
    }
    // Follows the store's own reference; a condition out of the target's
    // range is written back in range, as the table has always shown it.
    ViewRef inputTarget(int event, int k) const override
    {
        StoreCursor c(m_s);
        if (!openInput(c, event, k))
            return ViewRef();
        StoreBookmarkGuard entry(m_s);
        const ViewRef to = entry.valid() ? reached(c) : ViewRef();
        if (to.resolved() && entry.go()) {
            const int code = c.u16Or(ValueId::Condition, 0);
            const int norm = PMModel::normalizeCondition(to.type, code);
            if (norm != code)
                c.setInt(ValueId::Condition, norm);
        }
        return to;
    }
    ViewRef pwmTarget(int module) const override
    {
        StoreCursor c(m_s);
        return c.item(ItemType::Lx1Module, module) ? reached(c) : ViewRef();
    }

private:
    static bool openInput(StoreCursor &c, int event, int k)
    {
        return k >= 0 && k < kEventInputCount && c.item(ItemType::Event, event) && c.open(ItemType::RefEntry, k);
    }
    // With the cursor on a referring item: where the store's reference lands
    // (the cursor stays there); an item without a name counts as not reached.
    static ViewRef reached(StoreCursor &c)
    {
        ViewRef to;
        int row = -1;
        if (c.followTo(to.type, row) && c.text(ValueId::Name, to.name)) {
            to.present = true;
            to.row = row;
        }
        return to;
    }

    const PMModel &m_model;
    StoreSession m_s;
};

using O = ColumnOps;
using E = EditorKind;
using R = Refresh;
constexpr ValueId N = kNoValue;

// Name and number columns of the fixed lists (keys, switches, LEDs).
constexpr ColumnSpec kIdColumn = {
    "ID",    E::Default, false,   N, O::rowNumber,
    nullptr, nullptr,    R::Cell, 0, "The number of the input or LED on the module (fixed)."};
constexpr ColumnSpec kFixedNameColumn = {"Name",
                                         E::Default,
                                         true,
                                         ValueId::Name,
                                         O::text,
                                         O::rename,
                                         nullptr,
                                         R::Cell,
                                         0,
                                         "The name the other tables use for it: unique within the table, "
                                         "Latin-1 characters. Renaming takes its uses along."};
constexpr ColumnSpec kNameColumn = kFixedNameColumn;

constexpr ColumnSpec kKeypadColumns[] = {kIdColumn, kFixedNameColumn};

constexpr ColumnSpec kCanInputColumns[] = {
    kNameColumn,
    // An input moved to a shared identifier takes its byte order: the row is shown again.
    {"CAN Code", E::Default, true, ValueId::CanId, O::canCode, O::setCanCode, nullptr, R::Row, 0,
     "The identifier of the CAN frame it reads: 0 to 0x7FF, as 0x hexadecimal or decimal."},
    {"Word/Byte", E::Choice, true, ValueId::ByteSelect, O::byteSelect, O::setByteSelect, O::byteSelects, R::Cell, 0,
     "Which byte or 16-bit word of the frame's data it compares."},
    {"Condition", E::Choice, true, ValueId::CanCompare, O::canCompare, O::setCanCompare, O::canCompares, R::Cell, 0,
     "How that byte or word is compared with Data; the input is on while the comparison holds."},
    {"Data", E::Integer, true, ValueId::Data, O::integer, O::setCanData, nullptr, R::Cell, 0,
     "The value compared with: 0 to 65535 (0 to 255 for a byte)."},
    // Every input of the same frame shares its byte order.
    {"Endianness", E::Choice, true, ValueId::LittleEndian, O::endianness, O::setEndianness, O::endiannesses, R::Column,
     0, "The byte order of a word; every CAN input of the same CAN Code shares it."},
};

constexpr ColumnSpec kTimerColumns[] = {
    kNameColumn,
    {"Reset Value/s", E::Seconds, true, ValueId::ResetTicks, O::seconds, O::setSeconds, nullptr, R::Cell, 0,
     "How long the timer runs once started, in seconds: 0 to 327.675 s in steps of 0.005 s."},
};

// One input of an event: its target, its condition and how it joins the next.
constexpr ColumnSpec inputColumn(int k)
{
    // The target's type decides the condition shown beside it: the row is shown again.
    return {"Input",
            E::Choice,
            true,
            N,
            O::eventInput,
            O::setEventInput,
            O::inputs,
            R::Row,
            k,
            "What the event watches: a key (KP), switch (SW), CAN input (CI), timer (TI) or state (ST). "
            "Inputs 2 and 3 count only while the input before joins on AND or OR."};
}
constexpr ColumnSpec typeColumn(int k)
{
    return {"Type",
            E::Choice,
            true,
            ValueId::Condition,
            O::eventCondition,
            O::setCondition,
            O::conditions,
            R::Cell,
            k,
            "What of the input makes the event happen; the choices depend on the input's kind."};
}
constexpr ColumnSpec withColumn(int k)
{
    // Later inputs come into or go out of use.
    return {"With",
            E::Choice,
            true,
            ValueId::Combine,
            O::eventCombine,
            O::setCombine,
            O::combines,
            R::Row,
            k,
            "How this input joins the next one: AND, OR, or none (the next input is not used)."};
}

constexpr ColumnSpec kEventColumns[] = {
    // A new priority moves the others: the whole ranking is shown again.
    {"Priority", E::Choice, true, ValueId::Order, O::priority, O::setPriority, O::priorities, R::Column, 0,
     "The order in which the module checks the events: 1 first, up to the number of events."},
    {"Name", E::Default, true, ValueId::Name, O::text, O::rename, O::combines, R::Cell, 0, kFixedNameColumn.tip},
    inputColumn(0),
    typeColumn(0),
    withColumn(0),
    inputColumn(1),
    typeColumn(1),
    withColumn(1),
    inputColumn(2),
    typeColumn(2),
    {" Edit...", E::Dialog, true, N, O::editText, nullptr, O::combines, R::Cell, 0,
     "The states the event sets and clears and the timers it starts and stops (Enter, F2 or a click opens them)."},
};

constexpr ColumnSpec kStateColumns[] = {
    kNameColumn,
    {"Edit...", E::Dialog, true, N, O::editText, nullptr, nullptr, R::Cell, 0,
     "The LX2 LEDs, LX1 outputs and CAN outputs the state drives (Enter, F2 or a click opens them)."},
};

constexpr ColumnSpec moduleColumn(const char *header, int m)
{
    return {header,
            E::Default,
            true,
            ValueId::Lx1Masks,
            O::maskByte,
            O::setMaskByte,
            nullptr,
            R::Cell,
            m,
            "The channels of this LX1 module that the output drives: up to eight binary digits, 1 for a "
            "channel that is driven; the rightmost digit is channel 1."};
}

constexpr ColumnSpec kLx1OutputColumns[] = {
    kNameColumn,
    {"Current/A", E::Current, true, ValueId::Data, O::amps, O::setAmps, nullptr, R::Cell, 0,
     "The output's current limit in amperes: 0 to 102.0 A in steps of 0.4 A."},
    moduleColumn("LX1-1", 0),
    moduleColumn("LX1-2", 1),
    moduleColumn("LX1-3", 2),
    moduleColumn("LX1-4", 3),
    moduleColumn("LX1-5", 4),
    moduleColumn("LX1-6", 5),
    moduleColumn("LX1-7", 6),
    moduleColumn("LX1-8", 7),
    {" Edit...", E::Dialog, true, N, O::editText, nullptr, nullptr, R::Cell, 0,
     "Not used: the output is edited in its cells."},
};

constexpr ColumnSpec kCanOutputColumns[] = {
    kNameColumn,
    {"CAN Code", E::Default, true, ValueId::CanId, O::canCode, O::setCanCode, nullptr, R::Cell, 0,
     "The identifier of the CAN frame it sends: 0 to 0x7FF, as 0x hexadecimal or decimal."},
    {"Word/Byte", E::Choice, true, ValueId::ByteSelect, O::byteSelect, O::setByteSelect, O::byteSelects, R::Cell, 0,
     "Which byte or 16-bit word of the frame's data it writes."},
    {"Data", E::Integer, true, ValueId::Data, O::integer, O::setCanData, nullptr, R::Cell, 0,
     "The value written while a state drives the output: 0 to 65535 (0 to 255 for a byte)."},
};

constexpr ColumnSpec kPwmColumns[] = {
    {"PM", E::Default, false, N, O::moduleLabel, nullptr, O::noneOnly, R::Cell, 0, "The LX1 module (fixed)."},
    {"CAN Input", E::Choice, true, N, O::pwmInput, O::setPwmInput, O::pwmInputs, R::Cell, 0,
     "The CAN input whose value (0 to 255 = 0 to 100 % duty cycle) drives the module's PWM; NONE switches PWM off."},
};

static_assert(std::size(kKeypadColumns) == KeypadCol::Count);
static_assert(std::size(kCanInputColumns) == CanInputCol::Count);
static_assert(std::size(kTimerColumns) == TimerCol::Count);
static_assert(std::size(kEventColumns) == EventCol::Count);
static_assert(std::size(kStateColumns) == StateCol::Count);
static_assert(std::size(kLx1OutputColumns) == Lx1OutputCol::Count);
static_assert(std::size(kCanOutputColumns) == CanOutputCol::Count);
static_assert(std::size(kPwmColumns) == PwmCol::Count);

// Indexed by mode, which is the main window's tab index.
const ModeSpec kModes[kModeCount] = {
    {ItemType::KeypadKey, "Keypad", "key", kKeypadColumns, false},
    {ItemType::Switch, "Switches", "switch", kKeypadColumns, false},
    {ItemType::CanInput, "CAN Inputs", "CAN input", kCanInputColumns, true},
    {ItemType::Timer, "Timers", "timer", kTimerColumns, true},
    {ItemType::Event, "Events", "event", kEventColumns, true},
    {ItemType::State, "States", "state", kStateColumns, true},
    {ItemType::Lx1Output, "LX1 Outputs", "LX1 output", kLx1OutputColumns, true},
    {ItemType::Lx2Led, "LX2 LEDs", "LED", kKeypadColumns, false},
    {ItemType::CanOutput, "CAN Outputs", "CAN output", kCanOutputColumns, true},
    {ItemType::Lx1Module, "Options", "LX1 module", kPwmColumns, false},  // the PWM table of the Options tab
};

constexpr double kMaxSeconds = 0xFFFF / double(kOptionTimeScale);
constexpr int kMaxRetries = 1000;

const OptionSpec kOptions[kOptionCount] = {
    {kOptionLabels[0], OptionKind::Seconds, kOptionTimeScale, 0, kMaxSeconds, 0,
     "The shortest press of a key that counts, in seconds: 0 to 655.35 s in steps of 0.01 s."},
    {kOptionLabels[1], OptionKind::Seconds, kOptionTimeScale, 0, kMaxSeconds, 0,
     "Two presses of a key within this time make a double press, in seconds: 0 to 655.35 s."},
    {kOptionLabels[2], OptionKind::Seconds, kOptionTimeScale, 0, kMaxSeconds, 0,
     "A key held this long makes a long press, in seconds: 0 to 655.35 s."},
    {kOptionLabels[3], OptionKind::Seconds, kOptionTimeScale, 0, kMaxSeconds, 0,
     "How long a tripped fuse stays off before it is tried again, in seconds: 0 to 655.35 s."},
    {kOptionLabels[4], OptionKind::Seconds, kOptionTimeScale, 0, kMaxSeconds, 0,
     "The time between the tries of a tripped fuse, in seconds: 0 to 655.35 s."},
    {kOptionLabels[5], OptionKind::Count, 1, 0, kMaxRetries, 0,
     "How often a tripped fuse is tried again before it stays off: 0 to 1000 times."},
    {kOptionLabels[6], OptionKind::Choice, 1, 0, kCanSpeeds.size() - 1, 0,
     "The bit rate of the CAN bus the module is on."},
    {kOptionLabels[7], OptionKind::Identifier, 1, 0, kRebroadcastMax, kRebroadcastAbsent,
     "The CAN identifier of the first message the module sends again on the bus, in hexadecimal: 0x000 to 0x7D0."},
};

}  // namespace

const OptionSpec *optionSpec(int index)
{
    return index >= 0 && index < kOptionCount ? &kOptions[index] : nullptr;
}

double optionShown(int index, std::optional<uint16_t> stored)
{
    const OptionSpec *spec = optionSpec(index);
    if (!spec)
        return 0;
    if (!stored)
        return spec->absent;
    if (spec->kind == OptionKind::Choice) {
        for (size_t i = 0; i < kCanSpeeds.size(); ++i)
            if (kCanSpeeds[i].code == *stored)
                return double(i);
        return 0;
    }
    return *stored / double(spec->scale);
}

QVariant modelCell(const PMModel &model, ItemType type, int row, const ColumnSpec &spec)
{
    return spec.read(SessionCells(model), type, row, spec);
}

const ModeSpec *modeSpec(int mode)
{
    return mode >= 0 && mode < kModeCount ? &kModes[mode] : nullptr;
}

const ColumnSpec *columnSpec(int mode, int column)
{
    const ModeSpec *m = modeSpec(mode);
    if (!m || column < 0 || column >= int(m->columns.size()))
        return nullptr;
    return &m->columns[size_t(column)];
}

bool modeHasRows(int mode)
{
    const ModeSpec *m = modeSpec(mode);
    return m && m->rows;
}

}  // namespace kelda
