#include "setupview.h"

#include "pmcolumns.h"
#include "storecursor.h"

namespace kelda {

namespace {

template <typename T>
const T *at(const QList<T> &list, int i)
{
    return i >= 0 && i < list.size() ? &list.at(i) : nullptr;
}

// A reference names `row` of `type`: one that reaches it.
bool reaches(const ViewRef &ref, ItemType type, int row)
{
    return ref.row == row && ref.type == type;
}

}  // namespace

SetupView SetupView::read(StoreSession session)
{
    SetupView v;
    StoreBookmarkGuard keep(session);
    StoreCursor c(session);
    if (c.setup()) {
        v.readTables(c);
        v.events.reserve(v.count(ItemType::Event));
        for (int row = 0; row < v.count(ItemType::Event) && c.open(ItemType::Event, row); ++row) {
            ViewEvent &e = v.events.emplace_back();
            e.name = v.names(ItemType::Event).at(row);
            uint16_t order = 0;
            e.priorityStored = c.u16(ValueId::Order, order);
            e.priority = order;
            for (int k = 0; k < kEventInputCount; ++k) {
                if (!c.open(ItemType::RefEntry, k))
                    continue;
                ViewEventInput &in = e.inputs[size_t(k)];
                in.stored = true;
                in.ref = v.readRef(c);
                in.condition = c.u16Or(ValueId::Condition, 0);
                in.combine = c.u8Or(ValueId::Combine, 0);
                c.close();
            }
            for (int l = 0; l < kEventListCount; ++l)
                e.lists[size_t(l)] = v.readList(c, l);
            c.close();
        }
        for (int row = 0; row < v.count(ItemType::State) && c.open(ItemType::State, row); ++row) {
            ViewState &st = v.states.emplace_back();
            st.name = v.names(ItemType::State).at(row);
            for (int l = 0; l < kStateListCount; ++l)
                st.lists[size_t(l)] = v.readList(c, l);
            c.close();
        }
        const int modules = qMin(v.count(ItemType::Lx1Module), kLx1ModuleCount);
        for (int m = 0; m < modules && c.open(ItemType::Lx1Module, m); ++m) {
            v.pwmInputs[size_t(m)] = v.readRef(c);
            c.close();
        }
    }
    keep.go();
    return v;
}

// Every table of the setup item with its names, and the plain values of the
// tables that have any; the references wait until every name is known.
void SetupView::readTables(StoreCursor &c)
{
    int types = 0;
    c.childTypeCount(types);
    for (int position = 0; position < types; ++position) {
        ItemType type;
        if (!c.childType(position, type))
            continue;
        Table &table = m_tables[type];
        const int n = c.count(type);
        table.names.reserve(n);
        for (int row = 0; row < n; ++row) {
            QString name;
            if (!c.open(type, row)) {
                table.names.append(name);
                readValues(c, type, row, name, false);
                continue;
            }
            // The first of equal names is the one a reference reaches.
            if (c.text(ValueId::Name, name) && !table.firstRow.contains(name))
                table.firstRow.insert(name, row);
            table.names.append(name);
            readValues(c, type, row, name, true);
            c.close();
        }
    }
}

// With the cursor on item `row` of `type` (when `open`): its stored values.
// An item that cannot be opened keeps its row with defaults.
void SetupView::readValues(StoreCursor &c, ItemType type, int row, const QString &name, bool open)
{
    StoreCursor none(nullptr);
    StoreCursor &r = open ? c : none;
    uint16_t id = 0;
    const bool idStored = r.u16(ValueId::CanId, id);
    switch (type) {
    case ItemType::CanInput:
        canInputs.append({name, id, r.u8Or(ValueId::ByteSelect, 0), r.u8Or(ValueId::CanCompare, 0),
                          r.u16Or(ValueId::Data, 0), r.u8Or(ValueId::LittleEndian, 0) != 0, idStored});
        break;
    case ItemType::CanOutput:
        canOutputs.append({name, id, r.u8Or(ValueId::ByteSelect, 0), r.u16Or(ValueId::Data, 0), idStored});
        break;
    case ItemType::Timer:
        timers.append({name, r.u16Or(ValueId::ResetTicks, 0)});
        break;
    case ItemType::Lx1Output:
        lx1Outputs.append({name, r.u16Or(ValueId::Data, 0), r.block(ValueId::Lx1Masks)});
        break;
    case ItemType::Option:
        if (uint16_t value = 0; row < kOptionCount && r.u16(ValueId::Data, value))
            options[size_t(row)] = value;
        break;
    default:
        break;
    }
}

QStringList SetupView::names(ItemType type) const
{
    const auto it = m_tables.constFind(type);
    return it == m_tables.constEnd() ? QStringList() : it->names;
}

int SetupView::resolve(ItemType type, const QString &name) const
{
    const auto it = m_tables.constFind(type);
    return it == m_tables.constEnd() ? -1 : it->firstRow.value(name, -1);
}

ViewRef SetupView::resolved(ItemType type, bool present, bool named, const QString &name) const
{
    ViewRef r{present, type, name, -1};
    // The store follows only a record that holds both the type and the name.
    if (present && named)
        r.row = resolve(type, name);
    return r;
}

// With the cursor on a referring item: its record (child Reference 0).
ViewRef SetupView::readRef(StoreCursor &c) const
{
    if (!c.open(ItemType::Reference, 0))
        return ViewRef();
    uint16_t type = 0;
    QString name;
    const bool present = c.u16(ValueId::TargetType, type);
    const bool named = c.text(ValueId::Name, name);
    c.close();
    return resolved(ItemType(type), present, named, name);
}

// With the cursor on an event or state: the records of RefList `list`; an
// entry that cannot be read keeps its place as an absent reference.
QList<ViewRef> SetupView::readList(StoreCursor &c, int list) const
{
    QList<ViewRef> out;
    if (!c.open(ItemType::RefList, list))
        return out;
    const int n = c.count(ItemType::RefEntry);
    out.reserve(n);
    for (int e = 0; e < n; ++e) {
        if (c.open(ItemType::RefEntry, e)) {
            out.append(readRef(c));
            c.close();
        } else {
            out.append(ViewRef());
        }
    }
    c.close();
    return out;
}

QList<Use> SetupView::usesOf(ItemType type, int row) const
{
    QList<Use> out;
    if (row < 0 || row >= count(type))
        return out;
    for (int ev = 0; ev < events.size(); ++ev) {
        const ViewEvent &e = events.at(ev);
        for (int k = 0; k < kEventInputCount; ++k)
            if (reaches(e.inputs[size_t(k)].ref, type, row))
                out.append({Use::Kind::EventInput, ev, k});
        for (int l = 0; l < kEventListCount; ++l)
            for (int entry = 0; entry < e.lists[size_t(l)].size(); ++entry)
                if (reaches(e.lists[size_t(l)].at(entry), type, row))
                    out.append({Use::Kind::EventList, ev, l, entry});
    }
    for (int st = 0; st < states.size(); ++st)
        for (int l = 0; l < kStateListCount; ++l)
            for (int entry = 0; entry < states.at(st).lists[size_t(l)].size(); ++entry)
                if (reaches(states.at(st).lists[size_t(l)].at(entry), type, row))
                    out.append({Use::Kind::StateList, st, l, entry});
    for (int m = 0; m < kLx1ModuleCount; ++m)
        if (reaches(pwmInputs[size_t(m)], type, row))
            out.append({Use::Kind::PwmInput, m});
    return out;
}

const ViewRef *SetupView::refOf(const Use &use) const
{
    switch (use.kind) {
    case Use::Kind::EventInput: {
        const ViewEvent *e = at(events, use.owner);
        return e && use.slot >= 0 && use.slot < kEventInputCount ? &e->inputs[size_t(use.slot)].ref : nullptr;
    }
    case Use::Kind::EventList: {
        const ViewEvent *e = at(events, use.owner);
        return e && use.slot >= 0 && use.slot < kEventListCount ? at(e->lists[size_t(use.slot)], use.entry) : nullptr;
    }
    case Use::Kind::StateList: {
        const ViewState *s = at(states, use.owner);
        return s && use.slot >= 0 && use.slot < kStateListCount ? at(s->lists[size_t(use.slot)], use.entry) : nullptr;
    }
    case Use::Kind::PwmInput:
        return use.owner >= 0 && use.owner < kLx1ModuleCount && pwmInputs[size_t(use.owner)].present
            ? &pwmInputs[size_t(use.owner)]
            : nullptr;
    }
    return nullptr;
}

double SetupView::option(int index) const
{
    // A missing option item reads as 0, a missing value as its default.
    if (index < 0 || index >= kOptionCount || index >= count(ItemType::Option))
        return 0;
    return optionShown(index, options[size_t(index)]);
}

namespace {

// The snapshot as the column reads see it.
class ViewCells final : public CellSource
{
public:
    explicit ViewCells(const SetupView &v) : m_v(v) { }

    bool has(ItemType type, int row) const override { return row >= 0 && row < m_v.count(type); }
    std::optional<int> value(ItemType type, int row, ValueId id) const override
    {
        if (const ViewCanInput *in = type == ItemType::CanInput ? at(m_v.canInputs, row) : nullptr)
            return canValue(id, in->canId, in->canIdStored, in->byteSelect, in->data, in->canCompare, in->littleEndian);
        if (const ViewCanOutput *out = type == ItemType::CanOutput ? at(m_v.canOutputs, row) : nullptr)
            return canValue(id, out->canId, out->canIdStored, out->byteSelect, out->data);
        if (const ViewTimer *t = type == ItemType::Timer ? at(m_v.timers, row) : nullptr;
            t && id == ValueId::ResetTicks)
            return t->resetTicks;
        if (const ViewLx1Output *o = type == ItemType::Lx1Output ? at(m_v.lx1Outputs, row) : nullptr;
            o && id == ValueId::Data)
            return o->current;
        return std::nullopt;
    }
    QString text(ItemType type, int row, ValueId id) const override
    {
        return id == ValueId::Name ? m_v.names(type).value(row) : QString();
    }
    QByteArray block(ItemType type, int row, ValueId id) const override
    {
        const ViewLx1Output *o = type == ItemType::Lx1Output ? at(m_v.lx1Outputs, row) : nullptr;
        return o && id == ValueId::Lx1Masks ? o->masks : QByteArray();
    }
    int priority(int row) const override
    {
        const ViewEvent *e = at(m_v.events, row);
        return e && e->priorityStored ? e->priority : row + 1;
    }
    std::optional<int> inputValue(int event, int k, ValueId id) const override
    {
        const ViewEventInput *in = input(event, k);
        if (!in || !in->stored)
            return std::nullopt;
        return id == ValueId::Condition ? in->condition : id == ValueId::Combine ? in->combine : 0;
    }
    ViewRef inputTarget(int event, int k) const override
    {
        const ViewEventInput *in = input(event, k);
        return in ? in->ref : ViewRef();
    }
    ViewRef pwmTarget(int module) const override
    {
        return module >= 0 && module < kLx1ModuleCount ? m_v.pwmInputs[size_t(module)] : ViewRef();
    }

private:
    static std::optional<int> canValue(ValueId id, int canId, bool canIdStored, int byteSelect, int data,
                                       int compare = 0, bool little = false)
    {
        switch (id) {
        case ValueId::CanId:
            return canIdStored ? std::optional<int>(canId) : std::nullopt;
        case ValueId::ByteSelect:
            return byteSelect;
        case ValueId::Data:
            return data;
        case ValueId::CanCompare:
            return compare;
        case ValueId::LittleEndian:
            return little ? 1 : 0;
        default:
            return std::nullopt;
        }
    }
    const ViewEventInput *input(int event, int k) const
    {
        const ViewEvent *e = at(m_v.events, event);
        return e && k >= 0 && k < kEventInputCount ? &e->inputs[size_t(k)] : nullptr;
    }

    const SetupView &m_v;
};

}  // namespace

QVariant SetupView::cell(int mode, int row, int column) const
{
    const ModeSpec *table = modeSpec(mode);
    const ColumnSpec *spec = columnSpec(mode, column);
    if (!table || !spec || row < 0 || row >= count(table->type))
        return QVariant();
    return spec->read(ViewCells(*this), table->type, row, *spec);
}

}  // namespace kelda
