// PMModel: rows, names, event priorities and the references between items.
#include "pmmodel.h"
#include "pmmodel_p.h"

#include "crossrefs.h"

using namespace kelda;
using namespace kelda::detail;

namespace {

// Tables whose count is one byte in the raw image.
bool isLimitedTable(ItemType t)
{
    switch (t) {
    case ItemType::CanInput:
    case ItemType::Timer:
    case ItemType::Event:
    case ItemType::State:
    case ItemType::Lx1Output:
    case ItemType::CanOutput:
        return true;
    default:
        return false;
    }
}

// With the cursor on a freshly appended item: the defaults of a new row.
void writeRowDefaults(StoreCursor &c, ItemType type, int eventsBefore)
{
    switch (type) {
    case ItemType::CanInput:
        c.setInt(ValueId::CanId, kDefaultCanInputId);
        c.setInt(ValueId::Data, 0);
        c.setInt(ValueId::ByteSelect, kDefaultByteSelect);
        c.setInt(ValueId::CanCompare, kDefaultCanCompare);
        c.setInt(ValueId::LittleEndian, 0);
        break;
    case ItemType::CanOutput:
        c.setInt(ValueId::CanId, kDefaultCanOutputId);
        c.setInt(ValueId::Data, 0);
        c.setInt(ValueId::ByteSelect, kDefaultByteSelect);
        break;
    case ItemType::Timer:
        c.setInt(ValueId::ResetTicks, kDefaultTimerTicks);
        break;
    case ItemType::Event:
        c.setInt(ValueId::Order, eventsBefore + 1);
        c.append(ItemType::RefEntry, kEventInputCount);
        for (int i = 0; i < kEventInputCount - 1; ++i) {
            if (c.open(ItemType::RefEntry, i)) {
                c.setInt(ValueId::Combine, int(Combine::None));
                c.close();
            }
        }
        c.append(ItemType::RefList, kEventListCount);
        break;
    case ItemType::State:
        c.append(ItemType::RefList, kStateListCount);
        break;
    case ItemType::Lx1Output:
        c.setInt(ValueId::Data, kDefaultLx1Current);
        c.setBlock(QByteArray(kLx1MaskBytes, '\0'));
        break;
    default:
        break;
    }
}

// With the cursor on a referring item: does its record point at (type, name)?
bool recordPointsAt(StoreCursor &c, ItemType type, const QString &name)
{
    if (!c.open(ItemType::Reference, 0))
        return false;
    uint16_t t = 0;
    const bool match = c.u16(ValueId::TargetType, t) && ItemType(t) == type && c.textOr(ValueId::Name) == name;
    if (!match)
        c.close();
    return match;  // cursor stays on the record when it matches
}

// With the cursor on a referring item: rewrite its record if it points at the old name.
void rewriteRecord(StoreCursor &c, ItemType type, const QString &oldName, const QString &newName)
{
    if (recordPointsAt(c, type, oldName)) {
        c.setText(ValueId::Name, newName);
        c.close();
    }
}

// With the cursor on an Event or State: rewrite the entries of one of its lists.
void rewriteList(StoreCursor &c, int list, ItemType type, const QString &oldName, const QString &newName)
{
    if (!c.open(ItemType::RefList, list))
        return;
    const int n = c.count(ItemType::RefEntry);
    for (int e = 0; e < n; ++e) {
        if (!c.open(ItemType::RefEntry, e))
            continue;
        rewriteRecord(c, type, oldName, newName);
        c.close();
    }
    c.close();
}

}  // namespace

// ---------------------------------------------------------------- rows

bool PMModel::insertRows(int row, int count, const QModelIndex &parent)
{
    Q_UNUSED(row);
    Q_UNUSED(count);
    if (parent.isValid())
        return false;
    if (m_mode == int(Mode::Keypad) || m_mode == int(Mode::Switches) || m_mode == int(Mode::Lx2Leds))
        return false;  // fixed lists
    const ItemType type = modeItemType();
    StoreCursor c(liveSession());
    if (type == ItemType::None || !c.setup())
        return false;
    const int n = c.count(type);
    if (n >= StoreCursor::kLastItem || (isLimitedTable(type) && n >= kMaxTableItems))
        return false;

    const QString name = defaultName(type);
    const ChangeScope change(
        *this, [&] { return rowText("Add", name); }, n, 0);
    // The item always goes to the end, whatever row the caller asked for.
    beginInsertRows(QModelIndex(), n, n);
    if (c.setup() && c.append(type, 1) && c.open(type, StoreCursor::kLastItem)) {
        c.setText(ValueId::Name, name);
        writeRowDefaults(c, type, n);
    }
    // A new input reads the default identifier in the byte order it already has.
    if (type == ItemType::CanInput)
        followByteOrder(n);
    endInsertRows();
    markModified();
    return true;
}

bool PMModel::removeRows(int row, int count, const QModelIndex &parent)
{
    if (parent.isValid() || row < 0 || count < 1)
        return false;
    const ItemType type = modeItemType();
    const int n = itemCount(type);
    if (type == ItemType::None || row > n - count)
        return false;

    const ChangeScope change(
        *this, [&] { return rowText("Remove", itemName(type, row)); }, row, 0);
    const bool events = m_mode == int(Mode::Events);
    QList<int> before = events ? readPriorities() : QList<int>();
    QList<int> after = before;
    beginRemoveRows(QModelIndex(), row, row + count - 1);
    StoreCursor c(liveSession());
    for (int r = row + count - 1; r >= row; --r) {
        // Nothing may keep naming the item, or a later item of that name would take its place.
        dropUses(liveSession(), findUses(liveSession(), type, r));
        if (!c.setup() || !c.remove(type, r))
            continue;
        if (events) {
            before.removeAt(r);
            closePriorityGap(after, r);
        }
    }
    endRemoveRows();
    markModified();
    // The remaining events move up in rank only after the removal is announced,
    // so that views see unchanged rows first and then one change of column 0.
    if (events && !after.isEmpty()) {
        writePriorities(before, after);
        emit dataChanged(index(0, EventCol::Priority), index(int(after.size()) - 1, EventCol::Priority));
    }
    return true;
}

QString PMModel::defaultName(ItemType type) const
{
    const QString base = QString::fromLatin1(defaultNameBase(type));
    if (base.isEmpty())
        return QString();
    StoreCursor c(liveSession());
    const bool open = c.setup();
    int k = (open ? c.count(type) : 0) + 1;
    // The store finds a name by its index; a miss leaves the cursor where it was.
    while (open && c.find(type, base + QString::number(k))) {
        c.close();
        ++k;
    }
    return base + QString::number(k);
}

QString PMModel::itemName(ItemType type, int index) const
{
    StoreSession s = liveSession();
    if (!s)
        return QString();
    StoreBookmarkGuard keep(s);
    StoreCursor c(s);
    QString name;
    if (c.item(type, index))
        name = c.textOr(ValueId::Name);
    keep.go();
    return name;
}

// ---------------------------------------------------------------- priorities

int PMModel::eventPriority(int row) const
{
    StoreCursor c(liveSession());
    if (!c.item(ItemType::Event, row))
        return 0;
    uint16_t p = 0;
    if (c.u16(ValueId::Order, p))
        return p;
    c.setInt(ValueId::Order, row + 1);
    return row + 1;
}

QList<int> PMModel::readPriorities() const
{
    QList<int> out;
    StoreCursor c(liveSession());
    if (!c.setup())
        return out;
    const int n = c.count(ItemType::Event);
    out.reserve(n);
    for (int i = 0; i < n; ++i) {
        int p = 0;
        if (c.open(ItemType::Event, i)) {
            uint16_t v = 0;
            if (c.u16(ValueId::Order, v)) {
                p = v;
            } else {
                p = i + 1;
                c.setInt(ValueId::Order, p);
            }
            c.close();
        }
        out << p;
    }
    return out;
}

void PMModel::writePriorities(const QList<int> &before, const QList<int> &after)
{
    StoreCursor c(liveSession());
    if (!c.setup())
        return;
    for (int i = 0; i < after.size() && i < before.size(); ++i) {
        if (after[i] == before[i] || !c.open(ItemType::Event, i))
            continue;
        c.setInt(ValueId::Order, after[i]);
        c.close();
    }
}

bool PMModel::setEventPriority(int row, int priority)
{
    const QList<int> before = readPriorities();
    if (row < 0 || row >= before.size())
        return false;
    // Outside 1..n the ranking would get a gap or a duplicate.
    if (priority < 1 || priority > before.size())
        return false;
    const int old = before[row];
    if (priority == old)
        return true;
    const ChangeScope change(
        *this, [&] { return editText(row, EventCol::Priority); }, row, EventCol::Priority);
    QList<int> after = before;
    if (priority < old) {
        for (int i = 0; i < after.size(); ++i)
            if (i != row && after[i] >= priority && after[i] <= old - 1)
                after[i] += 1;
    } else {
        for (int q = old + 1; q <= priority; ++q) {
            for (int i = 0; i < after.size(); ++i) {
                if (i != row && after[i] == q) {
                    after[i] = q - 1;
                    break;
                }
            }
        }
    }
    after[row] = priority;
    writePriorities(before, after);
    markModified();
    return true;
}

// Drops the priority of row from the ranking and moves every later rank up by
// one: for q above it, the first event with priority q gets q - 1.
void PMModel::closePriorityGap(QList<int> &priorities, int row)
{
    const int count = int(priorities.size());
    const int p = priorities[row];
    priorities.removeAt(row);
    for (int q = p + 1; q <= count; ++q) {
        for (int i = 0; i < priorities.size(); ++i) {
            if (priorities[i] == q) {
                priorities[i] = q - 1;
                break;
            }
        }
    }
}

void PMModel::deleteEvent(int row)
{
    QList<int> before = readPriorities();
    if (row < 0 || row >= before.size())
        return;
    const ChangeScope change(
        *this, [&] { return rowText("Remove", itemName(ItemType::Event, row)); }, row, 0);
    StoreCursor c(liveSession());
    if (!c.setup() || !c.remove(ItemType::Event, row))
        return;
    QList<int> after = before;
    before.removeAt(row);
    closePriorityGap(after, row);
    writePriorities(before, after);
    markModified();
}

// ---------------------------------------------------------------- event inputs

bool PMModel::setEventInput(int row, int input, const QString &text)
{
    if (input < 0 || input >= kEventInputCount)
        return false;
    const ItemType type = prefixType(text);
    const QString name = text.mid(kPrefixLength);
    StoreSession s = liveSession();
    StoreCursor c(s);
    if (type == ItemType::None || !c.setup() || !c.find(type, name))
        return false;
    StoreBookmarkGuard target(s);
    if (!target.valid() || !c.item(ItemType::Event, row) || !openEventInput(c, input, true))
        return false;
    if (!target.referFrom())
        return false;
    const int code = c.u16Or(ValueId::Condition, 0);
    const int norm = normalizeCondition(type, code);
    if (norm != code)
        c.setInt(ValueId::Condition, norm);
    return true;
}

// ---------------------------------------------------------------- list entries

ItemType PMModel::listOwnerType() const
{
    if (m_mode == int(Mode::Events))
        return ItemType::Event;
    if (m_mode == int(Mode::States))
        return ItemType::State;
    return ItemType::None;
}

ItemType PMModel::listTargetType(ItemType owner, int list)
{
    if (owner == ItemType::Event && list >= 0 && list < kEventListCount)
        return kEventListTargets[size_t(list)];
    if (owner == ItemType::State && list >= 0 && list < kStateListCount)
        return kStateListTargets[size_t(list)];
    return ItemType::None;
}

int PMModel::listEntryCount(int row, int list) const
{
    const ItemType owner = listOwnerType();
    StoreCursor c(liveSession());
    if (owner == ItemType::None || !c.item(owner, row) || !c.open(ItemType::RefList, list))
        return 0;
    return c.count(ItemType::RefEntry);
}

QString PMModel::listEntryName(int row, int list, int entry) const
{
    const ItemType owner = listOwnerType();
    StoreCursor c(liveSession());
    if (owner == ItemType::None || !c.item(owner, row) || !c.open(ItemType::RefList, list)
        || !c.open(ItemType::RefEntry, entry) || !c.follow())
        return QString();
    return c.textOr(ValueId::Name);
}

bool PMModel::setListEntry(int row, int list, int entry, const QString &name)
{
    const ChangeScope change(
        *this, [&] { return listText(row); }, row, listColumn());
    const ItemType owner = listOwnerType();
    const ItemType target = listTargetType(owner, list);
    StoreSession s = liveSession();
    StoreCursor c(s);
    if (target == ItemType::None || !c.setup() || !c.find(target, name))
        return false;
    StoreBookmarkGuard mark(s);
    if (!mark.valid() || !c.item(owner, row) || !c.open(ItemType::RefList, list) || !c.open(ItemType::RefEntry, entry))
        return false;
    if (!mark.referFrom())
        return false;
    markModified();
    return true;
}

bool PMModel::addListEntry(int row, int list)
{
    return editList(row, list, [](StoreCursor &c) { return c.append(ItemType::RefEntry, 1); });
}

bool PMModel::removeListEntry(int row, int list, int entry)
{
    return editList(row, list, [entry](StoreCursor &c) { return c.remove(ItemType::RefEntry, entry); });
}

bool PMModel::editList(int row, int list, const std::function<bool(StoreCursor &)> &edit)
{
    const ChangeScope change(
        *this, [&] { return listText(row); }, row, listColumn());
    const ItemType owner = listOwnerType();
    if (owner == ItemType::None)
        return false;
    beginResetModel();
    StoreCursor c(liveSession());
    const bool ok = c.item(owner, row) && c.open(ItemType::RefList, list) && edit(c);
    endResetModel();
    if (ok)
        markModified();
    return ok;
}

// ---------------------------------------------------------------- PWM inputs

QString PMModel::pwmInputName(int row) const
{
    return modelCell(*this, ItemType::Lx1Module, row, *columnSpec(int(Mode::Pwm), PwmCol::CanInput)).toString();
}

bool PMModel::setPwmInput(int row, const QString &name)
{
    StoreSession s = liveSession();
    StoreCursor c(s);
    if (name == QLatin1String(kNoneText)) {
        if (c.item(ItemType::Lx1Module, row))
            c.remove(ItemType::Reference, 0);  // none there is fine too
        return true;
    }
    if (!c.setup() || !c.find(ItemType::CanInput, name))
        return false;
    StoreBookmarkGuard mark(s);
    return mark.valid() && c.item(ItemType::Lx1Module, row) && mark.referFrom();
}

// ---------------------------------------------------------------- renaming

QString PMModel::nameProblem(ItemType type, int row, const QString &name) const
{
    if (name.trimmed().isEmpty())
        return QStringLiteral("The name was not changed: a name cannot be empty.");
    // The store holds a name as a zero-terminated text of bounded length: a
    // longer one or one with a zero would be stored as another name.
    if (name.size() > STRATA_MAX_TEXT_LENGTH)
        return QStringLiteral("The name was not changed: it has %1 characters, and a setup file holds names of at "
                              "most %2.")
            .arg(name.size())
            .arg(STRATA_MAX_TEXT_LENGTH);
    if (name.contains(QChar(0)))
        return QStringLiteral("The name was not changed: it contains a zero character (U+0000), which a setup file "
                              "cannot store.");
    for (QChar ch : name) {
        // Setup files hold Latin-1 names; anything else would be stored as "?".
        if (ch.unicode() > 0xFF) {
            return QStringLiteral("The name was not changed: \"%1\" contains \"%2\", which a setup file cannot "
                                  "store. Use letters, digits and signs of Western European languages (Latin-1).")
                .arg(name, QString(ch));
        }
    }
    StoreCursor c(liveSession());
    ItemType t;
    int other = -1;
    if (c.setup() && c.find(type, name) && c.parent(t, other) && other != row) {
        const ModeSpec *mode = nullptr;
        for (int m = 0; m < kModeCount && !mode; ++m)
            if (modeSpec(m)->type == type)
                mode = modeSpec(m);
        return QStringLiteral("The name was not changed: another %1 is already called \"%2\". Names must differ "
                              "within a table, so that every reference reaches the item it names.")
            .arg(QLatin1String(mode ? mode->noun : "item"), name);
    }
    return QString();
}

WriteResult PMModel::rename(ItemType type, int row, const QString &name)
{
    StoreCursor c(liveSession());
    if (!c.item(type, row))
        return WriteResult::Written;
    QString old;
    const bool hadName = c.text(ValueId::Name, old);
    if (hadName && old == name)
        return WriteResult::Unchanged;
    m_editError = nameProblem(type, row, name);
    if (!m_editError.isEmpty())
        return WriteResult::Refused;
    // Records of the old name resolve to its first item only; a later namesake
    // takes its new name without taking them along.
    ItemType t;
    int first = -1;
    const bool named = hadName && c.setup() && c.find(type, old) && c.parent(t, first) && first == row;
    if (!c.item(type, row))
        return WriteResult::Written;
    c.setText(ValueId::Name, name);
    if (named)
        renameReferences(type, old, name);
    return WriteResult::Written;
}

void PMModel::renameReferences(ItemType type, const QString &oldName, const QString &newName)
{
    StoreCursor c(liveSession());
    if (!c.setup())
        return;
    switch (type) {
    case ItemType::KeypadKey:
    case ItemType::Switch:
    case ItemType::Timer:
    case ItemType::CanInput:
    case ItemType::State: {
        const int events = c.count(ItemType::Event);
        for (int e = 0; e < events; ++e) {
            if (!c.open(ItemType::Event, e))
                continue;
            for (int k = 0; k < kEventInputCount; ++k) {
                if (!c.open(ItemType::RefEntry, k))
                    continue;
                rewriteRecord(c, type, oldName, newName);
                c.close();
            }
            if (type == ItemType::State) {
                rewriteList(c, int(EventList::StatesToSet), type, oldName, newName);
                rewriteList(c, int(EventList::StatesToClear), type, oldName, newName);
            } else if (type == ItemType::Timer) {
                rewriteList(c, int(EventList::TimersToStart), type, oldName, newName);
                rewriteList(c, int(EventList::TimersToStop), type, oldName, newName);
            }
            c.close();
        }
        if (type == ItemType::CanInput) {
            const int modules = c.count(ItemType::Lx1Module);
            for (int m = 0; m < modules; ++m) {
                if (!c.open(ItemType::Lx1Module, m))
                    continue;
                rewriteRecord(c, type, oldName, newName);
                c.close();
            }
        }
        break;
    }
    case ItemType::Lx2Led:
    case ItemType::Lx1Output:
    case ItemType::CanOutput: {
        const int list = type == ItemType::Lx2Led ? int(StateList::Lx2Leds)
            : type == ItemType::Lx1Output         ? int(StateList::Lx1Outputs)
                                                  : int(StateList::CanOutputs);
        const int states = c.count(ItemType::State);
        for (int st = 0; st < states; ++st) {
            if (!c.open(ItemType::State, st))
                continue;
            rewriteList(c, list, type, oldName, newName);
            c.close();
        }
        break;
    }
    default:
        break;  // nothing refers to other types
    }
}
