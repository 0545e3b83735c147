#include "setupview.h"

#include "celltext.h"
#include "pmcolumns.h"
#include "pmmodel.h"
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

QVariant SetupView::cell(int mode, int row, int column) const
{
    const ModeSpec *table = modeSpec(mode);
    const ColumnSpec *spec = columnSpec(mode, column);
    if (!table || !spec || row < 0 || row >= count(table->type))
        return QVariant();
    if (spec->editor == EditorKind::Dialog)
        return QString::fromLatin1(kEditCellText);
    switch (Mode(mode)) {
    case Mode::Events:
        return eventCell(row, column);
    case Mode::Pwm: {
        if (column == PwmCol::Module)
            return QStringLiteral(" LX1-%1").arg(row + 1);
        const ViewRef &r = pwmInputs[size_t(row)];
        return r.resolved() ? r.name : QString::fromLatin1(kNoneText);
    }
    default:
        if (spec->value == kNoValue)
            return row + 1;  // the fixed tables' ID
        return valueCell(table->type, row, spec->value, spec->arg);
    }
}

QVariant SetupView::eventCell(int row, int column) const
{
    const ViewEvent &e = events.at(row);
    if (column == EventCol::Priority)
        return e.priorityStored ? e.priority : row + 1;
    if (column == EventCol::Name)
        return names(ItemType::Event).at(row);
    const int k = EventCol::inputOf(column);
    const QString dash = QStringLiteral("-");
    // An input counts only while every input before it joins on.
    for (int i = 0; i < k; ++i)
        if (!e.inputs[size_t(i)].stored || e.inputs[size_t(i)].combine == 0)
            return dash;
    const ViewEventInput &in = e.inputs[size_t(k)];
    if (column == EventCol::with(k))
        return in.stored ? detail::combineText(in.combine) : dash;
    if (!in.ref.resolved())
        return dash;
    if (column == EventCol::input(k))
        return QString::fromLatin1(typePrefixText(in.ref.type)) + in.ref.name;
    return PMModel::conditionText(PMModel::normalizeCondition(in.ref.type, in.condition));
}

QVariant SetupView::valueCell(ItemType type, int row, ValueId value, int arg) const
{
    const ViewCanInput *in = type == ItemType::CanInput ? &canInputs.at(row) : nullptr;
    const ViewCanOutput *out = type == ItemType::CanOutput ? &canOutputs.at(row) : nullptr;
    switch (value) {
    case ValueId::Name:
        return names(type).at(row);
    case ValueId::CanId:
        if (!(in ? in->canIdStored : out->canIdStored))
            return QStringLiteral("0x1234");
        return detail::canCodeText(in ? in->canId : out->canId);
    case ValueId::ByteSelect:
        return detail::byteSelectText(in ? in->byteSelect : out->byteSelect);
    case ValueId::CanCompare:
        return detail::canCompareText(in->canCompare);
    case ValueId::LittleEndian:
        return QString::fromLatin1(kEndiannessTexts[in->littleEndian ? 1 : 0]);
    case ValueId::ResetTicks:
        return detail::ticksToSeconds(timers.at(row).resetTicks);
    case ValueId::Data:
        if (type == ItemType::Lx1Output)
            return detail::stepsToAmps(lx1Outputs.at(row).current);
        return in ? in->data : out->data;
    case ValueId::Lx1Masks: {
        const QByteArray &masks = lx1Outputs.at(row).masks;
        return masks.size() <= arg ? QStringLiteral("0x00") : detail::maskByteText(uint8_t(masks.at(arg)));
    }
    default:
        return QVariant();
    }
}

}  // namespace kelda
