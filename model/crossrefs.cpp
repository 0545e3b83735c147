#include "crossrefs.h"

#include <algorithm>

#include "pmcolumns.h"
#include "storecursor.h"

namespace kelda {

namespace {

// Whether a record in that place may name an item of the type: inputs name
// what an event reads, each list the type it holds, a PWM input a CAN input.
// A record of another type in a list (only a hand-made file has one) is
// left out, as it always was.
bool namesInPlace(const Use &use, ItemType type)
{
    switch (use.kind) {
    case Use::Kind::EventInput:
        return type == ItemType::KeypadKey || type == ItemType::Switch || type == ItemType::CanInput
            || type == ItemType::Timer || type == ItemType::State;
    case Use::Kind::EventList:
        return use.slot >= 0 && use.slot < kEventListCount && kEventListTargets[size_t(use.slot)] == type;
    case Use::Kind::StateList:
        return use.slot >= 0 && use.slot < kStateListCount && kStateListTargets[size_t(use.slot)] == type;
    case Use::Kind::PwmInput:
        return type == ItemType::CanInput;
    }
    return false;
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
    if (!isReferable(type))
        return out;
    for (const Use &use : SetupView::read(session).usesOf(type, row))
        if (namesInPlace(use, type))
            out.append(use);
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
