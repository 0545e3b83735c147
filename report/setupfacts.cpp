#include "setupfacts.h"

#include <QFileInfo>

#include <algorithm>

#include "corlaprotocol.h"
#include "imagecompiler.h"
#include "pmcolumns.h"
#include "pmmodel.h"
#include "celltext.h"
#include "storecursor.h"
#include "uploadcalibration.h"

namespace kelda::report {

namespace {

// Names reached by the entries of RefList `list` of an item; "?" for an entry
// whose reference reaches nothing, so that a broken entry is not lost.
QStringList listNames(StoreSession session, ItemType owner, int row, int list)
{
    QStringList names;
    StoreCursor c(session);
    if (!c.item(owner, row) || !c.open(ItemType::RefList, list))
        return names;
    const int n = c.count(ItemType::RefEntry);
    for (int k = 0; k < n; ++k) {
        if (!c.item(owner, row) || !c.open(ItemType::RefList, list) || !c.open(ItemType::RefEntry, k))
            break;
        names << (c.follow() ? c.textOr(ValueId::Name) : QStringLiteral("?"));
    }
    return names;
}

QStringList names(StoreSession session, ItemType type)
{
    QStringList out;
    StoreCursor c(session);
    const int n = c.setup() ? c.count(type) : 0;
    for (int row = 0; row < n; ++row)
        out << (c.item(type, row) ? c.textOr(ValueId::Name) : QString());
    return out;
}

QList<CanItem> canItems(StoreSession session, ItemType type)
{
    QList<CanItem> out;
    StoreCursor c(session);
    const int n = c.setup() ? c.count(type) : 0;
    for (int row = 0; row < n; ++row) {
        if (!c.item(type, row))
            continue;
        CanItem item;
        item.row = row;
        item.name = c.textOr(ValueId::Name);
        item.id = c.u16Or(ValueId::CanId, 0);
        item.select = c.u8Or(ValueId::ByteSelect, 0);
        item.channel = detail::byteSelectText(item.select);
        item.value = c.u16Or(ValueId::Data, 0);
        if (type == ItemType::CanInput) {
            item.compare = detail::canCompareText(c.u8Or(ValueId::CanCompare, 0));
            item.littleEndian = c.u8Or(ValueId::LittleEndian, 0) != 0;
        }
        out << item;
    }
    return out;
}

void compile(PMModel &model, SetupFacts &facts)
{
    QByteArray image;
    if (!kelda::image::compileImage(model.session(), &image, &facts.imageError))
        return;
    facts.compiled = true;
    facts.imageSize = image.size();
    facts.imageCrc = corla::proto::crc32(image);
    const upload::OfflineCalibration cal = upload::offlineCalibration(upload::unpaddedName(model.fileName()), image);
    facts.calibration = {cal.made, cal.rune, cal.detail, cal.length, cal.crc};
}

}  // namespace

QString idText(int id)
{
    return detail::canCodeText(id);
}

QString canSpeedText(const SetupFacts &facts)
{
    const int index = int(facts.options[int(OptionIndex::CanSpeed)]);
    return QLatin1String(kCanSpeeds[size_t(index >= 0 && index < int(kCanSpeeds.size()) ? index : 0)].text);
}

int canSpeedBitRate(const SetupFacts &facts)
{
    // "1 Mhz", "500 kHz": the number and its unit.
    const QStringList words = canSpeedText(facts).split(QLatin1Char(' '));
    const int number = words.value(0).toInt();
    return words.value(1).compare(QLatin1String("Mhz"), Qt::CaseInsensitive) == 0 ? number * 1000000 : number * 1000;
}

int SetupFacts::rowOf(ItemType type, const QString &name) const
{
    auto find = [&](auto const &list, auto nameOf) {
        for (int i = 0; i < list.size(); ++i)
            if (nameOf(list.at(i)) == name)
                return i;
        return -1;
    };
    auto plain = [](const QString &s) { return s; };
    switch (type) {
    case ItemType::KeypadKey:
        return find(keys, plain);
    case ItemType::Switch:
        return find(switches, plain);
    case ItemType::Lx2Led:
        return find(leds, plain);
    case ItemType::CanInput:
        return find(canInputs, [](const CanItem &i) { return i.name; });
    case ItemType::CanOutput:
        return find(canOutputs, [](const CanItem &i) { return i.name; });
    case ItemType::Timer:
        return find(timers, [](const Timer &t) { return t.name; });
    case ItemType::State:
        return find(states, [](const State &s) { return s.name; });
    case ItemType::Lx1Output:
        return find(lx1Outputs, [](const Lx1Output &o) { return o.name; });
    default:
        return -1;
    }
}

QStringList SetupFacts::readersOf(ItemType type, const QString &name) const
{
    QStringList out;
    for (const Event &e : events)
        for (const EventInput &in : e.inputs)
            if (in.type == type && in.name == name)
                out << QStringLiteral("%1 (%2): %3").arg(e.name, QString::number(e.priority), in.condition);
    return out;
}

QStringList SetupFacts::statesDriving(int list, const QString &name) const
{
    QStringList out;
    for (const State &s : states)
        if (s.lists[size_t(list)].contains(name) && !out.contains(s.name))
            out << s.name;
    return out;
}

QStringList SetupFacts::eventsActing(int list, const QString &name) const
{
    QStringList out;
    for (const Event &e : events)
        if (e.lists[size_t(list)].contains(name))
            out << QStringLiteral("%1 (%2)").arg(e.name, QString::number(e.priority));
    return out;
}

SetupFacts collectFacts(PMModel &model)
{
    SetupFacts f;
    const StoreSession s = model.session();
    f.fileName = QFileInfo(model.fileName()).fileName();
    for (int m = 0; m < kModeCount; ++m)
        f.counts[size_t(m)] = model.itemCount(modeSpec(m)->type);

    f.keys = names(s, ItemType::KeypadKey);
    f.switches = names(s, ItemType::Switch);
    f.leds = names(s, ItemType::Lx2Led);
    f.canInputs = canItems(s, ItemType::CanInput);
    f.canOutputs = canItems(s, ItemType::CanOutput);

    StoreCursor c(s);
    const int timers = c.setup() ? c.count(ItemType::Timer) : 0;
    for (int row = 0; row < timers; ++row)
        f.timers << Timer{model.itemName(ItemType::Timer, row),
                          c.item(ItemType::Timer, row) ? detail::ticksToSeconds(c.u16Or(ValueId::ResetTicks, 0)) : 0};

    const int outputs = c.setup() ? c.count(ItemType::Lx1Output) : 0;
    for (int row = 0; row < outputs; ++row) {
        Lx1Output o;
        if (c.item(ItemType::Lx1Output, row)) {
            o.name = c.textOr(ValueId::Name);
            o.amps = detail::stepsToAmps(c.u16Or(ValueId::Data, 0));
            const QByteArray masks = c.block(ValueId::Lx1Masks);
            for (int m = 0; m < kLx1ModuleCount && m < masks.size(); ++m)
                o.masks[size_t(m)] = uint8_t(masks.at(m));
        }
        f.lx1Outputs << o;
    }

    const int states = c.setup() ? c.count(ItemType::State) : 0;
    for (int row = 0; row < states; ++row) {
        State st;
        st.name = model.itemName(ItemType::State, row);
        for (int list = 0; list < kStateListCount; ++list)
            st.lists[size_t(list)] = listNames(s, ItemType::State, row, list);
        f.states << st;
    }

    // The event inputs as the events table shows them; its texts stop at the
    // first input that joins nothing.
    const int events = c.setup() ? c.count(ItemType::Event) : 0;
    for (int row = 0; row < events; ++row) {
        Event e;
        e.row = row;
        e.priority = model.eventPriority(row);
        e.name = model.itemName(ItemType::Event, row);
        for (int k = 0; k < kEventInputCount; ++k) {
            const QString text = model.eventInputText(row, k);
            const QString join = k + 1 < kEventInputCount ? model.eventCombineText(row, k) : QString();
            EventInput in;
            if (text != QLatin1String("-")) {
                in.type = PMModel::prefixType(text);
                in.name = text.mid(kPrefixLength);
                in.condition = model.eventConditionText(row, k);
            }
            in.join = join;
            // An input that names nothing still joins the chain: the image
            // keeps it, so the sentence says so.
            e.inputs << in;
            if (join != QLatin1String("AND") && join != QLatin1String("OR"))
                break;
        }
        for (int list = 0; list < kEventListCount; ++list)
            e.lists[size_t(list)] = listNames(s, ItemType::Event, row, list);
        f.events << e;
    }
    std::stable_sort(f.events.begin(), f.events.end(),
                     [](const Event &a, const Event &b) { return a.priority < b.priority; });

    for (CanItem &in : f.canInputs)
        if (f.rowOf(ItemType::CanInput, in.name) == in.row)
            in.usedBy = f.readersOf(ItemType::CanInput, in.name);
    for (CanItem &out : f.canOutputs)
        if (f.rowOf(ItemType::CanOutput, out.name) == out.row)
            out.usedBy = f.statesDriving(int(StateList::CanOutputs), out.name);

    // The PWM table's own cell: the CAN input's name or "NONE".
    const ColumnSpec *pwm = columnSpec(int(Mode::Pwm), PwmCol::CanInput);
    for (int m = 0; m < kLx1ModuleCount; ++m)
        f.pwm[size_t(m)] = pwm->read(model, ItemType::Lx1Module, m, *pwm).toString();
    for (int i = 0; i < kOptionCount; ++i)
        f.options[size_t(i)] = model.option(i);

    f.findings = check::checkSetup(s);
    compile(model, f);
    return f;
}

}  // namespace kelda::report
