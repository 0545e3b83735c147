#include "simtrace.h"

#include <QSet>

namespace kelda {

namespace {

QString seconds(qint64 tick)
{
    return QString::number(double(tick) * kSimTickMs / 1000.0, 'f', 2);
}

// VCD identifiers: printable ASCII from '!' to '~', shortest first.
QByteArray vcdId(int index)
{
    QByteArray id;
    do {
        id.append(char('!' + index % 94));
        index /= 94;
    } while (index > 0);
    return id;
}

QString csvField(const QString &text)
{
    if (!text.contains(QLatin1Char(',')) && !text.contains(QLatin1Char('"')) && !text.contains(QLatin1Char('\n'))
        && !text.contains(QLatin1Char('\r')))
        return text;
    QString quoted = text;
    quoted.replace(QLatin1Char('"'), QStringLiteral("\"\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

}  // namespace

SimTrace::SimTrace(const SimNames &names) : m_events(names.events)
{
    auto add = [this](SimSignal::Kind kind, const QStringList &rows) {
        const int n = std::min(static_cast<int>(rows.size()), kSimCapacity);
        for (int r = 0; r < n; ++r)
            m_signals.push_back(SimSignal{kind, r, rows[r]});
        return static_cast<int>(m_signals.size());
    };
    static const char *const boxes[kKeyConditionCount] = {" P", " SP", " LP", " DP"};
    const int keys = std::min(static_cast<int>(names.keys.size()), kSimCapacity);
    for (int r = 0; r < keys; ++r)
        for (int b = 0; b < kKeyConditionCount; ++b)
            m_signals.push_back(
                SimSignal{SimSignal::Kind::Key, r * kKeyConditionCount + b, names.keys[r] + QLatin1String(boxes[b])});
    m_firstSwitch = static_cast<int>(m_signals.size());
    m_firstCanInput = add(SimSignal::Kind::Switch, names.switches);
    m_firstState = add(SimSignal::Kind::CanInput, names.canInputs);
    m_firstTimer = add(SimSignal::Kind::State, names.states);
    m_firstOutput = add(SimSignal::Kind::Timer, names.timers);
    m_firstCanOutput = add(SimSignal::Kind::Output, names.outputs);
    m_firstLed = add(SimSignal::Kind::CanOutput, names.canOutputs);
    m_firstChannel = add(SimSignal::Kind::Led, names.leds.mid(0, 32));
    for (int m = 0; m < kLx1ModuleCount; ++m)
        for (int c = 0; c < kLx1ChannelCount; ++c)
            m_signals.push_back(SimSignal{SimSignal::Kind::Channel, m * kLx1ChannelCount + c,
                                          QStringLiteral("LX1-%1.%2").arg(m + 1).arg(c + 1)});
    m_levelWords = (m_signals.size() + 63) / 64;
    m_levels.assign(m_levelWords, 0);
}

void SimTrace::change(int signal, bool value, int cause)
{
    if (m_changes.size() % kCheckpointSpan == 0)
        m_checkpoints.insert(m_checkpoints.end(), m_levels.begin(), m_levels.end());
    m_changes.push_back(SimChange{m_tick, uint16_t(signal), value, uint8_t(cause)});
    const uint64_t bit = uint64_t(1) << (signal % 64);
    m_levels[size_t(signal) / 64] = value ? m_levels[size_t(signal) / 64] | bit : m_levels[size_t(signal) / 64] & ~bit;
}

std::vector<bool> SimTrace::levelsBefore(size_t index, const std::vector<int> &wanted) const
{
    index = std::min(index, m_changes.size());
    const size_t checkpoint = index / kCheckpointSpan;
    // The checkpoint at index is made with the change there; at the end it is the levels now.
    const uint64_t *levels = checkpoint * kCheckpointSpan < m_changes.size()
        ? m_checkpoints.data() + checkpoint * m_levelWords
        : m_levels.data();
    std::vector<bool> out(wanted.size(), false);
    std::vector<int> slot(m_signals.size(), -1);
    for (size_t i = 0; i < wanted.size(); ++i) {
        const size_t s = size_t(wanted[i]);
        if (s >= m_signals.size())
            continue;
        slot[s] = int(i);
        out[i] = (levels[s / 64] >> (s % 64)) & 1u;
    }
    for (size_t c = checkpoint * kCheckpointSpan; c < index; ++c)
        if (const int i = slot[m_changes[c].signal]; i >= 0)
            out[size_t(i)] = m_changes[c].value;
    return out;
}

void SimTrace::recordInputs(const SimInputs &boxes, const SimEngine &engine)
{
    m_tick = engine.tickCount() + 1;
    m_lastTick = std::max(m_lastTick, m_tick);
    for (int s = 0; s < m_firstSwitch; ++s) {
        const int r = s / kKeyConditionCount, b = s % kKeyConditionCount;
        if (const bool seen = engine.keySeen(boxes, r, b); seen != m_keys[r][b])
            change(s, m_keys[r][b] = seen, 0);
    }
    for (int s = m_firstSwitch, r = 0; s < m_firstCanInput; ++s, ++r)
        if (boxes.switches[r] != m_switches[r])
            change(s, m_switches[r] = boxes.switches[r], 0);
    for (int s = m_firstCanInput, r = 0; s < m_firstState; ++s, ++r)
        if (const bool seen = engine.canInputSeen(boxes, r); seen != m_canInputs[r])
            change(s, m_canInputs[r] = seen, 0);
}

void SimTrace::record(const SimEngine &engine)
{
    m_tick = engine.tickCount();
    m_lastTick = std::max(m_lastTick, m_tick);
    bool statesChanged = false;
    for (int s = m_firstState, r = 0; s < m_firstTimer; ++s, ++r)
        if (engine.stateSet(r) != m_states[r]) {
            m_states[r] = !m_states[r];
            statesChanged = true;
            change(s, m_states[r], engine.stateCause(r));
        }
    for (int s = m_firstTimer, r = 0; s < m_firstOutput; ++s, ++r)
        if ((engine.timerValue(r) != 0) != m_timers[r]) {
            m_timers[r] = !m_timers[r];
            change(s, m_timers[r], 0);
        }
    for (int s = m_firstOutput, r = 0; s < m_firstCanOutput; ++s, ++r)
        if (engine.lx1OutputActive(r) != m_outputs[r]) {
            m_outputs[r] = !m_outputs[r];
            change(s, m_outputs[r], 0);
        }
    // CAN outputs follow the states alone: worth a look only when one changed.
    if (statesChanged && m_firstLed > m_firstCanOutput) {
        std::array<bool, kSimCapacity> on{};
        for (int st = 0; st < engine.stateCount(); ++st) {
            const SimList &list = engine.stateRecord(st).canOutputs;
            if (engine.stateSet(st))
                for (int i = 0; i < list.count; ++i)
                    if (list.items[i] != 0)
                        on[list.items[i] - 1] = true;
        }
        for (int s = m_firstCanOutput, r = 0; s < m_firstLed; ++s, ++r)
            if (on[r] != m_canOutputs[r])
                change(s, m_canOutputs[r] = on[r], 0);
    }
    if (engine.ledMask() != m_leds) {
        for (int s = m_firstLed, r = 0; s < m_firstChannel; ++s, ++r)
            if (((engine.ledMask() ^ m_leds) >> r) & 1u)
                change(s, (engine.ledMask() >> r) & 1u, 0);
        m_leds = engine.ledMask();
    }
    uint64_t grid = 0;
    for (int m = 0; m < kLx1ModuleCount; ++m)
        grid |= uint64_t(engine.lx1ModuleMask(m)) << (8 * m);
    for (uint64_t diff = grid ^ m_grid; diff != 0; diff &= diff - 1) {
        const int bit = __builtin_ctzll(diff);
        change(m_firstChannel + bit, (grid >> bit) & 1u, 0);
    }
    m_grid = grid;
}

bool SimTrace::recordReported(SimSignal::Kind kind, int row, bool value, qint64 tick)
{
    const int first[] = {
        0,          m_firstSwitch,  m_firstCanInput,      m_firstState, m_firstTimer, m_firstOutput, m_firstCanOutput,
        m_firstLed, m_firstChannel, int(m_signals.size())};
    const int k = int(kind);
    if (row < 0 || first[k] + row >= first[k + 1])
        return false;
    m_tick = std::max(tick, m_lastTick);
    m_lastTick = m_tick;
    change(first[k] + row, value, 0);
    return true;
}

QString SimTrace::eventName(int event) const
{
    const QString name = event >= 1 && event <= m_events.size() ? m_events[event - 1] : QString();
    return name.isEmpty() ? QStringLiteral("event %1").arg(event) : name;
}

std::vector<int> SimTrace::changedSignals() const
{
    std::vector<bool> changed(m_signals.size(), false);
    for (const SimChange &c : m_changes)
        changed[c.signal] = true;
    std::vector<int> out;
    for (int s = 0; s < static_cast<int>(changed.size()); ++s)
        if (changed[s])
            out.push_back(s);
    return out;
}

const char *SimTrace::kindWord(SimSignal::Kind kind)
{
    switch (kind) {
    case SimSignal::Kind::Key:
        return "key";
    case SimSignal::Kind::Switch:
        return "switch";
    case SimSignal::Kind::CanInput:
        return "caninput";
    case SimSignal::Kind::CanOutput:
        return "canoutput";
    case SimSignal::Kind::State:
        return "state";
    case SimSignal::Kind::Timer:
        return "timer";
    case SimSignal::Kind::Output:
        return "output";
    case SimSignal::Kind::Led:
        return "led";
    case SimSignal::Kind::Channel:
        return "lx1";
    }
    return "";
}

std::vector<QByteArray> SimTrace::vcdNames() const
{
    // Viewers split a reference at '.', read "[3]" as a bit and "$end" as
    // the end of the declaration: every other character becomes '_'.
    std::vector<QByteArray> out;
    QSet<QByteArray> taken;
    for (const SimSignal &s : m_signals) {
        QByteArray base;
        for (const QChar c : s.name) {
            const char16_t u = c.unicode();
            const bool keep = (u >= u'a' && u <= u'z') || (u >= u'A' && u <= u'Z') || (u >= u'0' && u <= u'9');
            base += keep ? char(u) : '_';
        }
        if (s.name.isEmpty())
            base = QByteArray(kindWord(s.kind)) + '_' + QByteArray::number(s.row + 1);
        QByteArray name = base;
        for (int n = 2; taken.contains(name); ++n)
            name = base + '_' + QByteArray::number(n);
        taken.insert(name);
        out.push_back(name);
    }
    return out;
}

QByteArray SimTrace::vcd() const
{
    QByteArray out;
    out += "$version kelda-cli simulate $end\n";
    out += "$timescale 10ms $end\n";
    out += "$scope module setup $end\n";
    static const char *const scopes[] = {"keys",    "switches",   "caninputs", "states", "timers",
                                         "outputs", "canoutputs", "leds",      "lx1"};
    const std::vector<QByteArray> names = vcdNames();
    int kind = -1;
    for (int s = 0; s < static_cast<int>(m_signals.size()); ++s) {
        if (static_cast<int>(m_signals[s].kind) != kind) {
            if (kind >= 0)
                out += "$upscope $end\n";
            kind = static_cast<int>(m_signals[s].kind);
            out += "$scope module " + QByteArray(scopes[kind]) + " $end\n";
        }
        out += "$var wire 1 " + vcdId(s) + ' ' + names[s] + " $end\n";
    }
    if (kind >= 0)
        out += "$upscope $end\n";
    out += "$upscope $end\n$enddefinitions $end\n#0\n$dumpvars\n";
    for (int s = 0; s < static_cast<int>(m_signals.size()); ++s)
        out += '0' + vcdId(s) + '\n';
    out += "$end\n";
    qint64 at = 0;
    for (const SimChange &c : m_changes) {
        if (c.tick != at) {
            at = c.tick;
            out += '#' + QByteArray::number(at) + '\n';
        }
        out += (c.value ? '1' : '0') + vcdId(c.signal) + '\n';
    }
    // The end of the run, so that a viewer shows the last values to there.
    if (m_lastTick != at)
        out += '#' + QByteArray::number(m_lastTick) + '\n';
    return out;
}

QByteArray SimTrace::csv() const
{
    QString out = QStringLiteral("tick,seconds,kind,name,value,cause\n");
    for (const SimChange &c : m_changes) {
        const SimSignal &s = m_signals[c.signal];
        out += QString::number(c.tick) + QLatin1Char(',') + seconds(c.tick) + QLatin1Char(',')
            + QLatin1String(kindWord(s.kind)) + QLatin1Char(',') + csvField(s.name) + QLatin1Char(',')
            + QLatin1Char(c.value ? '1' : '0') + QLatin1Char(',')
            + (c.cause > 0 ? csvField(eventName(c.cause)) : QString()) + QLatin1Char('\n');
    }
    return out.toUtf8();
}

}  // namespace kelda
