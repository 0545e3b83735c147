#include "simscenario.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTextStream>

#include <algorithm>
#include <memory>

#include "canlog.h"

#include "imagecompiler.h"
#include "pmmodel.h"
#include "simtrace.h"

namespace kelda {

bool SimScenario::open(const QString &setupPath, QString *what, QString *why)
{
    const QString shown = QDir::toNativeSeparators(setupPath);
    PMModel model;
    *what = QStringLiteral("cannot open %1").arg(shown);
    if (!QFileInfo::exists(setupPath)) {
        *why = QStringLiteral("no such file");
        return false;
    }
    if (!model.openSetup(setupPath)) {
        *why = model.errorString();  // the reason alone: *what says what failed
        if (why->isEmpty())
            *why = QStringLiteral("not a setup file");
        return false;
    }

    // The same steps as "&Go": compile (in memory: no image file is left
    // anywhere), copy the session.
    *what = QStringLiteral("cannot simulate %1").arg(shown);
    if (!image::compileImage(model.session(), &m_image, why))
        return false;
    bool copied = false;
    m_session = UniqueSession::copyOf(model.session(), &copied);
    if (!copied) {
        *why = QStringLiteral("the setup cannot be copied: %1").arg(storeError());
        return false;
    }
    m_rows = SimRows::of(simNames(m_session.get()));
    m_rows.canRules = can::CanModel::fromImage(m_image).inputs();
    return true;
}

namespace {

QString limitText(qint64 tick, qint64 limit, const char *what, const char *option)
{
    return QStringLiteral("stopped at tick %1: the run reached its limit of %2 %3 (%4 N raises it)")
        .arg(tick)
        .arg(limit)
        .arg(QLatin1String(what), QLatin1String(option));
}

bool feedsFrames(const std::vector<SimStep> &steps, const SimCanOptions &can)
{
    return !can.canIn.isEmpty() || std::any_of(steps.begin(), steps.end(), [](const SimStep &s) {
        return s.kind == SimStep::Kind::CanValue || s.kind == SimStep::Kind::CanFrame
            || s.kind == SimStep::Kind::Replay;
    });
}

// One run of a script: the engine, its boxes, the frames in and out.
class Run
{
public:
    Run(const SimScenario &scenario, QTextStream *show, SimTrace *trace, const SimLimits &limits,
        const SimCanOptions &can)
        : m_scenario(scenario), m_show(show), m_trace(trace), m_limits(limits), m_can(can), m_feed(can.note)
    { }
    SimOutcome go(const std::vector<SimStep> &steps);

private:
    bool start(bool frames);
    bool step(const SimStep &s);
    bool tick(int line);
    void expect(const SimStep &s);
    bool canOutputCarried(int row) const;
    void noteKeyInputs() const;
    bool stop(int line, const QString &why);

    const SimScenario &m_scenario;
    QTextStream *m_show;
    SimTrace *m_trace;
    const SimLimits &m_limits;
    const SimCanOptions &m_can;
    std::unique_ptr<SimEngine> m_engine = std::make_unique<SimEngine>();
    std::unique_ptr<SimInputs> m_boxes = std::make_unique<SimInputs>();
    SimFrameFeed m_feed;
    std::unique_ptr<SimCanOut> m_out;
    SimOutcome m_outcome;
};

bool Run::stop(int line, const QString &why)
{
    m_outcome.stopped = why;
    m_outcome.stoppedLine = line;
    return false;
}

bool Run::start(bool frames)
{
    m_engine->readImage(m_scenario.image());
    m_engine->clearStates();
    m_engine->deriveOutputs();
    m_engine->setCanFrames(frames);
    if (frames)
        noteKeyInputs();
    qint64 base = 0;
    QString why;
    if (!m_can.canIn.isEmpty() && !m_feed.add(m_can.canIn, 0, m_can.start, m_can.channel, &why, &base))
        return stop(0, QStringLiteral("cannot read %1: %2").arg(QDir::toNativeSeparators(m_can.canIn), why));
    if (m_can.canOut) {
        m_out = std::make_unique<SimCanOut>(m_can.canOut, base);
        m_out->start(*m_engine);
    }
    return true;
}

// Said once: the inputs frames leave to the script.
void Run::noteKeyInputs() const
{
    const QString note = simKeyInputsNote(*m_engine, m_scenario.rows());
    if (!note.isEmpty() && m_can.note)
        m_can.note(note);
}

bool Run::tick(int line)
{
    if (m_outcome.ticks >= m_limits.maxTicks)
        return stop(line, limitText(m_outcome.ticks, m_limits.maxTicks, "ticks", "--max-ticks"));
    m_feed.applyDue(*m_engine, (m_outcome.ticks + 1) * kSimTickNs);
    if (m_trace)
        m_trace->recordInputs(*m_boxes, *m_engine);
    m_engine->tick(*m_boxes);
    ++m_outcome.ticks;
    if (m_out)
        m_out->afterTick(*m_engine);
    if (m_trace) {
        m_trace->record(*m_engine);
        if (qint64(m_trace->changes().size()) > m_limits.maxChanges)
            return stop(line, limitText(m_outcome.ticks, m_limits.maxChanges, "changes in the trace", "--max-changes"));
    }
    return true;
}

bool Run::step(const SimStep &s)
{
    const bool inTable = s.row < kSimCapacity;
    switch (s.kind) {
    case SimStep::Kind::Key:
        if (inTable)
            m_boxes->keys[s.row][s.column] = s.on;
        break;
    case SimStep::Kind::Hold:
        m_engine->setKeyHeld(s.row, s.on);
        break;
    case SimStep::Kind::Switch:
        if (inTable)
            m_boxes->switches[s.row] = s.on;
        break;
    case SimStep::Kind::Can:
        if (inTable && !(m_engine->canFrames() && m_engine->overrideCanInput(s.row, s.on)))
            m_boxes->canInputs[s.row] = s.on;
        break;
    case SimStep::Kind::CanValue:
        m_engine->setCanValue(s.id, m_scenario.rows().canRules[s.row].channel, s.value);
        break;
    case SimStep::Kind::CanFrame: {
        std::array<uint8_t, can::kFrameBytes> b = s.bytes;
        const SimEngine::LastFrame &last = m_engine->lastFrame(s.id);
        if (s.mask != decltype(s.mask){})
            for (size_t i = 0; i < b.size(); ++i)
                b[i] = uint8_t((last.data[i] & ~s.mask[i]) | (s.bytes[i] & s.mask[i]));
        m_engine->feedFrame(s.id, false, false, b.data(), s.length);
        break;
    }
    case SimStep::Kind::Replay: {
        QString why;
        const QString path = simReplayPath(s.file, m_can.scriptDir);
        if (!m_feed.add(path, m_outcome.ticks * kSimTickNs, std::nullopt, QByteArray(), &why))
            return stop(s.line, QStringLiteral("cannot read %1: %2").arg(QDir::toNativeSeparators(path), why));
        break;
    }
    case SimStep::Kind::Tick:
        for (qint64 k = 0; k < s.count; ++k)
            if (!tick(s.line))
                return false;
        break;
    case SimStep::Kind::Show:
        if (m_show)
            simShow(*m_show, *m_engine, m_scenario.rows(), m_outcome.ticks);
        break;
    case SimStep::Kind::Expect:
        expect(s);
        break;
    }
    return true;
}

// With frames, an output is on when its frame carries its Data: a later
// output overlapping it may have overwritten it.
bool Run::canOutputCarried(int row) const
{
    const std::vector<can::OutputRule> &outputs = m_engine->canModel().outputs();
    if (!m_engine->canFrames() || row >= int(outputs.size()))
        return true;
    const can::OutputRule &o = outputs[row];
    if (o.position < 0 || o.channel.index <= 0)
        return false;
    const std::array<uint8_t, can::kFrameBytes> &d = m_engine->canOutputFrames()[o.position].data;
    const int i = o.channel.isByte ? o.channel.index - 1 : 2 * o.channel.index - 2;
    return o.channel.isByte ? d[i] == (o.data & 0xFF) : (d[i] << 8 | d[i + 1]) == o.data;
}

void Run::expect(const SimStep &s)
{
    const SimEngine &e = *m_engine;
    const auto what = static_cast<SimExpect>(s.column);
    const char *yes = "on", *no = "off", *word = "";
    bool seen = false;
    switch (what) {
    case SimExpect::State:
        seen = e.stateSet(s.row), yes = "set", no = "clear", word = "state";
        break;
    case SimExpect::Timer:
        seen = e.timerValue(s.row) != 0, yes = "running", no = "stopped", word = "timer";
        break;
    case SimExpect::Output:
        seen = e.lx1OutputActive(s.row), word = "output";
        break;
    case SimExpect::Led:
        seen = e.ledOn(s.row), word = "led";
        break;
    case SimExpect::Channel:
        seen = e.lx1ChannelOn(s.row / kLx1ChannelCount, s.row % kLx1ChannelCount), word = "lx1";
        break;
    case SimExpect::CanOutput:
        seen = e.canOutputOn(s.row) && canOutputCarried(s.row), word = "canoutput";
        break;
    }
    ++m_outcome.expectations;
    if (seen != s.on)
        m_outcome.failures.push_back(
            SimFailure{s.line, m_outcome.ticks,
                       QStringLiteral("expected %1 %2 %3, but it is %4")
                           .arg(QLatin1String(word), simItemText(m_scenario.rows(), what, s.row),
                                QLatin1String(s.on ? yes : no), QLatin1String(seen ? yes : no))});
}

SimOutcome Run::go(const std::vector<SimStep> &steps)
{
    if (!start(feedsFrames(steps, m_can)))
        return m_outcome;
    m_outcome.started = true;
    for (const SimStep &s : steps)
        if (!step(s))
            break;
    // The run lasts until the last frame of its logs is applied.
    const int last = steps.empty() ? 0 : steps.back().line;
    while (m_outcome.stopped.isEmpty() && m_feed.pending())
        if (!tick(last))
            break;
    m_feed.finish();
    m_outcome.canOutFailed = m_out && m_out->failed();
    return m_outcome;
}

}  // namespace

QString simKeyInputsNote(const SimEngine &engine, const SimRows &rows)
{
    QStringList left;
    for (int r = 0; r < rows.canInputs && r < kSimCapacity; ++r)
        if (!engine.canInputFromFrames(r))
            left << (r < rows.names.canInputs.size() && !rows.names.canInputs[r].isEmpty()
                         ? QLatin1Char('"') + rows.names.canInputs[r] + QLatin1Char('"')
                         : QString::number(r + 1));
    if (left.isEmpty())
        return QString();
    return QStringLiteral("note: frames do not decide CAN input%1 %2 (CAN Key or no identifier): the script's "
                          "can N on|off lines set %3")
        .arg(left.size() > 1 ? QStringLiteral("s") : QString(), left.join(QStringLiteral(", ")),
             left.size() > 1 ? QStringLiteral("them") : QStringLiteral("it"));
}

QString simScriptDir(const QString &scriptPath)
{
    return scriptPath.isEmpty() || scriptPath == QLatin1String("-") ? QString() : QFileInfo(scriptPath).path();
}

QString simReplayPath(const QString &file, const QString &scriptDir)
{
    return QFileInfo(file).isAbsolute() || scriptDir.isEmpty() ? file : QDir(scriptDir).filePath(file);
}

bool simCheckReplays(const std::vector<SimStep> &steps, const QString &scriptDir, int *line, QString *why)
{
    for (const SimStep &s : steps) {
        if (s.kind != SimStep::Kind::Replay)
            continue;
        const QString path = simReplayPath(s.file, scriptDir);
        // Opened here and again when replayed: a pipe would be read up here.
        canlog::Reader reader(path);
        QString reason;
        if (QFileInfo::exists(path) && !QFileInfo(path).isFile())
            reason = QStringLiteral("not a regular file");
        if (!reason.isEmpty() || !reader.open(&reason)) {
            *line = s.line;
            *why = QStringLiteral("cannot read %1: %2").arg(QDir::toNativeSeparators(path), reason);
            return false;
        }
    }
    return true;
}

QStringList simReplayPaths(const std::vector<SimStep> &steps, const QString &scriptDir)
{
    QStringList paths;
    for (const SimStep &s : steps)
        if (s.kind == SimStep::Kind::Replay)
            paths << simReplayPath(s.file, scriptDir);
    return paths;
}

SimOutcome SimScenario::run(const std::vector<SimStep> &steps, QTextStream *show, SimTrace *trace,
                            const SimLimits &limits, const SimCanOptions &can) const
{
    return Run(*this, show, trace, limits, can).go(steps);
}

void simShow(QTextStream &out, const SimEngine &e, const SimRows &rows, qint64 ticks)
{
    out << "tick " << ticks << '\n';
    out << "states";
    for (int r = 0; r < rows.states; ++r)
        out << ' ' << (e.stateSet(r) ? '1' : '0');
    out << "\ntimers";
    for (int r = 0; r < rows.timers; ++r)
        out << ' ' << SimEngine::timerText(e.timerValue(r));
    out << "\noutputs";
    for (int r = 0; r < rows.outputs; ++r)
        out << ' ' << (e.lx1OutputActive(r) ? '1' : '0');
    out << "\nleds";
    for (int r = 0; r < rows.leds; ++r)
        out << ' ' << (e.ledOn(r) ? '1' : '0');
    out << "\nlx1";
    for (int m = 0; m < kLx1ModuleCount; ++m) {
        out << ' ';
        for (int c = 0; c < kLx1ChannelCount; ++c)
            out << (e.lx1ChannelOn(m, c) ? '1' : '0');
    }
    out << '\n';
}

}  // namespace kelda
