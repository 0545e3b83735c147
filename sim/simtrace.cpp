#include "simtrace.h"

#include <QRegularExpression>

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

// A VCD reference is one token: blanks become underscores.
QByteArray vcdName(const QString &name)
{
    static const QRegularExpression blank(QStringLiteral("\\s+"));
    QString n = name;
    n.replace(blank, QStringLiteral("_"));
    return n.isEmpty() ? QByteArrayLiteral("_") : n.toUtf8();
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
    };
    add(SimSignal::Kind::State, names.states);
    m_firstTimer = static_cast<int>(m_signals.size());
    add(SimSignal::Kind::Timer, names.timers);
    m_firstOutput = static_cast<int>(m_signals.size());
    add(SimSignal::Kind::Output, names.outputs);
    m_firstLed = static_cast<int>(m_signals.size());
    add(SimSignal::Kind::Led, names.leds.mid(0, 32));
    m_firstChannel = static_cast<int>(m_signals.size());
    for (int m = 0; m < kLx1ModuleCount; ++m)
        for (int c = 0; c < kLx1ChannelCount; ++c)
            m_signals.push_back(SimSignal{SimSignal::Kind::Channel, m * kLx1ChannelCount + c,
                                          QStringLiteral("LX1-%1.%2").arg(m + 1).arg(c + 1)});
}

void SimTrace::change(int signal, bool value, int cause)
{
    m_changes.push_back(SimChange{m_tick, uint16_t(signal), value, uint8_t(cause)});
}

void SimTrace::record(const SimEngine &engine)
{
    m_tick = engine.tickCount();
    m_lastTick = std::max(m_lastTick, m_tick);
    for (int s = 0, r = 0; s < m_firstTimer; ++s, ++r)
        if (engine.stateSet(r) != m_states[r]) {
            m_states[r] = !m_states[r];
            change(s, m_states[r], engine.stateCause(r));
        }
    for (int s = m_firstTimer, r = 0; s < m_firstOutput; ++s, ++r)
        if ((engine.timerValue(r) != 0) != m_timers[r]) {
            m_timers[r] = !m_timers[r];
            change(s, m_timers[r], 0);
        }
    for (int s = m_firstOutput, r = 0; s < m_firstLed; ++s, ++r)
        if (engine.lx1OutputActive(r) != m_outputs[r]) {
            m_outputs[r] = !m_outputs[r];
            change(s, m_outputs[r], 0);
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

QByteArray SimTrace::vcd() const
{
    QByteArray out;
    out += "$version kelda-cli simulate $end\n";
    out += "$timescale 10ms $end\n";
    out += "$scope module setup $end\n";
    static const char *const scopes[] = {"states", "timers", "outputs", "leds", "lx1"};
    int kind = -1;
    for (int s = 0; s < static_cast<int>(m_signals.size()); ++s) {
        if (static_cast<int>(m_signals[s].kind) != kind) {
            if (kind >= 0)
                out += "$upscope $end\n";
            kind = static_cast<int>(m_signals[s].kind);
            out += "$scope module " + QByteArray(scopes[kind]) + " $end\n";
        }
        out += "$var wire 1 " + vcdId(s) + ' ' + vcdName(m_signals[s].name) + " $end\n";
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
