#include "setupfacts.h"

#include <QFileInfo>

#include <algorithm>

#include "corlaprotocol.h"
#include "imagecompiler.h"
#include "pmcolumns.h"
#include "celltext.h"
#include "uploadcalibration.h"

namespace kelda::report {

namespace {

// Names reached by the entries of a list; "?" for an entry whose reference
// reaches nothing, so that a broken entry is not lost.
QStringList listNames(const QList<ViewRef> &list)
{
    QStringList names;
    for (const ViewRef &r : list)
        names << (r.resolved() ? r.name : QStringLiteral("?"));
    return names;
}

QList<CanItem> canItems(const SetupView &v)
{
    QList<CanItem> out;
    for (int row = 0; row < v.canInputs.size(); ++row) {
        const ViewCanInput &in = v.canInputs.at(row);
        out << CanItem{row,
                       in.name,
                       in.canId,
                       in.byteSelect,
                       detail::byteSelectText(in.byteSelect),
                       detail::canCompareText(in.canCompare),
                       in.data,
                       in.littleEndian,
                       {}};
    }
    return out;
}

QList<CanItem> canOutputItems(const SetupView &v)
{
    QList<CanItem> out;
    for (int row = 0; row < v.canOutputs.size(); ++row) {
        const ViewCanOutput &o = v.canOutputs.at(row);
        out << CanItem{row, o.name, o.canId, o.byteSelect, detail::byteSelectText(o.byteSelect), {}, o.data, false, {}};
    }
    return out;
}

// The event inputs in the events table's own texts; its texts stop at the
// first input that joins nothing.
Event eventFacts(const SetupView &v, int row)
{
    const auto cell = [&](int column) { return v.cell(int(Mode::Events), row, column); };
    const ViewEvent &ve = v.events.at(row);
    Event e{row, cell(EventCol::Priority).toInt(), ve.name, {}, {}};
    for (int k = 0; k < kEventInputCount; ++k) {
        const ViewRef &ref = ve.inputs[size_t(k)].ref;
        EventInput in;
        if (cell(EventCol::input(k)).toString() != QLatin1String("-")) {
            in.type = *typePrefixText(ref.type) ? ref.type : ItemType::None;
            in.row = ref.row;
            in.name = ref.name;
            in.condition = cell(EventCol::type(k)).toString();
        }
        in.join = k + 1 < kEventInputCount ? cell(EventCol::with(k)).toString() : QString();
        // An input that names nothing still joins the chain: the image
        // keeps it, so the sentence says so.
        e.inputs << in;
        if (in.join != QLatin1String("AND") && in.join != QLatin1String("OR"))
            break;
    }
    for (int list = 0; list < kEventListCount; ++list)
        e.lists[size_t(list)] = listNames(ve.lists[size_t(list)]);
    return e;
}

void compile(StoreSession session, const QString &fileName, SetupFacts &facts)
{
    QByteArray image;
    if (!kelda::image::compileImage(session, &image, &facts.imageError))
        return;
    facts.compiled = true;
    facts.imageSize = image.size();
    facts.imageCrc = corla::proto::crc32(image);
    const upload::OfflineCalibration cal = upload::offlineCalibration(upload::unpaddedName(fileName), image);
    facts.calibration = {cal.made, cal.rune, cal.detail, cal.length, cal.crc};
}

QString eventLabel(const Event &e)
{
    return QStringLiteral("%1 (%2)").arg(e.name, QString::number(e.priority));
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

QStringList SetupFacts::readersOf(ItemType type, int row) const
{
    const QList<Use> uses = view.usesOf(type, row);
    QStringList out;
    for (const Event &e : events)
        for (int k = 0; k < e.inputs.size(); ++k)
            if (uses.contains(Use{Use::Kind::EventInput, e.row, k}))
                out << eventLabel(e) + QStringLiteral(": ") + e.inputs.at(k).condition;
    return out;
}

QStringList SetupFacts::statesDriving(int list, int row) const
{
    QStringList out;
    for (const Use &u : view.usesOf(kStateListTargets[size_t(list)], row))
        if (u.kind == Use::Kind::StateList && u.slot == list && !out.contains(states.at(u.owner).name))
            out << states.at(u.owner).name;
    return out;
}

QStringList SetupFacts::eventsActing(int list, int row) const
{
    const QList<Use> uses = view.usesOf(kEventListTargets[size_t(list)], row);
    auto acts = [&](const Event &e) {
        return std::any_of(uses.begin(), uses.end(), [&](const Use &u) {
            return u.kind == Use::Kind::EventList && u.owner == e.row && u.slot == list;
        });
    };
    QStringList out;
    for (const Event &e : events)
        if (acts(e))
            out << eventLabel(e);
    return out;
}

QList<int> SetupFacts::pwmModulesOf(int row) const
{
    QList<int> out;
    for (const Use &u : view.usesOf(ItemType::CanInput, row))
        if (u.kind == Use::Kind::PwmInput)
            out << u.owner;
    return out;
}

SetupFacts collectFacts(StoreSession session, const QString &fileName)
{
    SetupFacts f;
    f.view = SetupView::read(session);
    const SetupView &v = f.view;
    f.fileName = QFileInfo(fileName).fileName();
    for (int m = 0; m < kModeCount; ++m)
        f.counts[size_t(m)] = v.count(modeSpec(m)->type);

    f.keys = v.names(ItemType::KeypadKey);
    f.switches = v.names(ItemType::Switch);
    f.leds = v.names(ItemType::Lx2Led);
    f.canInputs = canItems(v);
    f.canOutputs = canOutputItems(v);
    for (const ViewTimer &t : v.timers)
        f.timers << Timer{t.name, detail::ticksToSeconds(t.resetTicks)};
    for (int row = 0; row < v.lx1Outputs.size(); ++row) {
        const ViewLx1Output &vo = v.lx1Outputs.at(row);
        Lx1Output o{row, vo.name, detail::stepsToAmps(vo.current), {}};
        for (int m = 0; m < kLx1ModuleCount && m < vo.masks.size(); ++m)
            o.masks[size_t(m)] = uint8_t(vo.masks.at(m));
        f.lx1Outputs << o;
    }
    for (const ViewState &vs : v.states) {
        State st{vs.name, {}};
        for (int list = 0; list < kStateListCount; ++list)
            st.lists[size_t(list)] = listNames(vs.lists[size_t(list)]);
        f.states << st;
    }
    for (int row = 0; row < v.events.size(); ++row)
        f.events << eventFacts(v, row);
    std::stable_sort(f.events.begin(), f.events.end(),
                     [](const Event &a, const Event &b) { return a.priority < b.priority; });

    for (CanItem &in : f.canInputs)
        in.usedBy = f.readersOf(ItemType::CanInput, in.row);
    for (CanItem &out : f.canOutputs)
        out.usedBy = f.statesDriving(int(StateList::CanOutputs), out.row);
    // As the PWM table shows it: the CAN input's name or "NONE".
    for (int m = 0; m < kLx1ModuleCount; ++m)
        f.pwm[size_t(m)] = v.pwmInputs[size_t(m)].resolved() ? v.pwmInputs[size_t(m)].name : QLatin1String(kNoneText);
    for (int i = 0; i < kOptionCount; ++i)
        f.options[size_t(i)] = v.option(i);

    f.findings = check::checkSetup(session);
    compile(session, fileName, f);
    return f;
}

}  // namespace kelda::report
