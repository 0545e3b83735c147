#include "crossrefs.h"

#include <algorithm>

#include "pmcolumns.h"
#include "storecursor.h"

namespace kelda {

namespace {

// With the cursor on a referring item: does its record name (type, name)?
bool recordNames(StoreCursor &c, ItemType type, const QString &name)
{
    if (!c.open(ItemType::Reference, 0))
        return false;
    uint16_t t = 0;
    const bool match = c.u16(ValueId::TargetType, t) && ItemType(t) == type && c.textOr(ValueId::Name) == name;
    c.close();
    return match;
}

// With the cursor on an event or state: the entries of list `slot` that name the item.
void collectList(StoreCursor &c, Use::Kind kind, int owner, int slot, ItemType type, const QString &name,
                 QList<Use> &out)
{
    if (!c.open(ItemType::RefList, slot))
        return;
    const int n = c.count(ItemType::RefEntry);
    for (int e = 0; e < n; ++e) {
        if (!c.open(ItemType::RefEntry, e))
            continue;
        if (recordNames(c, type, name))
            out.append({kind, owner, slot, e});
        c.close();
    }
    c.close();
}

void collectEventUses(StoreCursor &c, ItemType type, const QString &name, QList<Use> &out)
{
    const bool input = type == ItemType::KeypadKey || type == ItemType::Switch || type == ItemType::CanInput
        || type == ItemType::Timer || type == ItemType::State;
    const int events = c.count(ItemType::Event);
    for (int ev = 0; ev < events; ++ev) {
        if (!c.open(ItemType::Event, ev))
            continue;
        for (int k = 0; input && k < kEventInputCount; ++k) {
            if (!c.open(ItemType::RefEntry, k))
                continue;
            if (recordNames(c, type, name))
                out.append({Use::Kind::EventInput, ev, k});
            c.close();
        }
        const int first = type == ItemType::State ? int(EventList::StatesToSet)
            : type == ItemType::Timer             ? int(EventList::TimersToStart)
                                                  : -1;
        for (int list = first; first >= 0 && list < first + 2; ++list)
            collectList(c, Use::Kind::EventList, ev, list, type, name, out);
        c.close();
    }
}

int stateListOf(ItemType type)
{
    switch (type) {
    case ItemType::Lx2Led:
        return int(StateList::Lx2Leds);
    case ItemType::Lx1Output:
        return int(StateList::Lx1Outputs);
    case ItemType::CanOutput:
        return int(StateList::CanOutputs);
    default:
        return -1;
    }
}

}  // namespace

UseLocation useLocation(const Use &use)
{
    switch (use.kind) {
    case Use::Kind::EventInput:
        return {int(Mode::Events), use.owner, EventCol::input(use.slot)};
    case Use::Kind::EventList:
        return {int(Mode::Events), use.owner, EventCol::Actions};
    case Use::Kind::StateList:
        return {int(Mode::States), use.owner, StateCol::Outputs};
    case Use::Kind::PwmInput:
        return {int(Mode::Pwm), use.owner, PwmCol::CanInput};
    }
    return {-1, -1, -1};
}

int shownRow(StoreSession session, ItemType type, int row)
{
    StoreCursor c(session);
    if (type != ItemType::Event || !c.setup())
        return row + 1;
    // The Events view sorts by priority; equal ones keep their stored order.
    const int n = c.count(ItemType::Event);
    QList<std::pair<int, int>> keys;
    keys.reserve(n);
    for (int e = 0; e < n; ++e) {
        int p = 0;
        if (c.open(ItemType::Event, e)) {
            p = c.u16Or(ValueId::Order, 0);
            c.close();
        }
        keys.append({p ? p : e + 1, e});
    }
    if (row < 0 || row >= n)
        return row + 1;
    return int(std::count_if(keys.begin(), keys.end(), [&](const auto &k) { return k < keys[row]; })) + 1;
}

QString useText(StoreSession session, const Use &use, RowNumber number)
{
    const UseLocation at = useLocation(use);
    const ModeSpec *mode = modeSpec(at.mode);
    if (use.kind == Use::Kind::PwmInput)
        return QStringLiteral("%1 LX1-%2: PWM input").arg(QLatin1String(mode->table)).arg(use.owner + 1);
    StoreCursor c(session);
    const QString owner = c.item(mode->type, use.owner) ? c.textOr(ValueId::Name) : QString();
    QString what;
    switch (use.kind) {
    case Use::Kind::EventInput:
        what = QStringLiteral("input %1").arg(use.slot + 1);
        break;
    case Use::Kind::EventList:
        what = QLatin1String(kEventListNames[size_t(use.slot)]);
        break;
    case Use::Kind::StateList:
        what = QLatin1String(kStateListNames[size_t(use.slot)]);
        break;
    case Use::Kind::PwmInput:
        break;
    }
    const int row = number == RowNumber::Shown ? shownRow(session, mode->type, use.owner) : use.owner + 1;
    return QStringLiteral("%1 %2 \"%3\": %4").arg(QLatin1String(mode->table)).arg(row).arg(owner, what);
}

bool isReferable(ItemType type)
{
    switch (type) {
    case ItemType::KeypadKey:
    case ItemType::Switch:
    case ItemType::CanInput:
    case ItemType::Timer:
    case ItemType::State:
    case ItemType::Lx2Led:
    case ItemType::Lx1Output:
    case ItemType::CanOutput:
        return true;
    default:
        return false;
    }
}

QList<Use> findUses(StoreSession session, ItemType type, int row)
{
    QList<Use> out;
    StoreCursor c(session);
    if (!isReferable(type) || !c.item(type, row))
        return out;
    QString name;
    if (!c.text(ValueId::Name, name))
        return out;
    // Records resolve to the first item of that name; a later namesake is never named.
    int first = -1;
    ItemType t;
    if (!c.setup() || !c.find(type, name) || !c.parent(t, first) || first != row)
        return out;
    c.setup();

    collectEventUses(c, type, name, out);
    const int list = stateListOf(type);
    const int states = list >= 0 ? c.count(ItemType::State) : 0;
    for (int st = 0; st < states; ++st) {
        if (!c.open(ItemType::State, st))
            continue;
        collectList(c, Use::Kind::StateList, st, list, type, name, out);
        c.close();
    }
    const int modules = type == ItemType::CanInput ? c.count(ItemType::Lx1Module) : 0;
    for (int m = 0; m < modules; ++m) {
        if (!c.open(ItemType::Lx1Module, m))
            continue;
        if (recordNames(c, type, name))
            out.append({Use::Kind::PwmInput, m});
        c.close();
    }
    return out;
}

void dropUses(StoreSession session, const QList<Use> &uses)
{
    // Later entries of a list first, so that the earlier ones keep their rows.
    QList<Use> order = uses;
    std::stable_sort(order.begin(), order.end(), [](const Use &a, const Use &b) { return a.entry > b.entry; });
    StoreCursor c(session);
    for (const Use &u : order) {
        switch (u.kind) {
        case Use::Kind::EventInput:
            if (c.item(ItemType::Event, u.owner) && c.open(ItemType::RefEntry, u.slot))
                c.remove(ItemType::Reference, 0);
            break;
        case Use::Kind::EventList:
        case Use::Kind::StateList: {
            const ItemType owner = u.kind == Use::Kind::EventList ? ItemType::Event : ItemType::State;
            if (c.item(owner, u.owner) && c.open(ItemType::RefList, u.slot))
                c.remove(ItemType::RefEntry, u.entry);
            break;
        }
        case Use::Kind::PwmInput:
            if (c.item(ItemType::Lx1Module, u.owner))
                c.remove(ItemType::Reference, 0);
            break;
        }
    }
}

}  // namespace kelda
