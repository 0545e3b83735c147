#include "simscenario.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTextStream>

#include <memory>

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
        *why = model.lastError();
        // The model's and the store's reasons start with what failed; *what
        // says that already.
        for (const QString &prefix : {QStringLiteral("Could not open \"%1\": ").arg(setupPath),
                                      QStringLiteral("cannot open %1: ").arg(setupPath)})
            if (why->startsWith(prefix))
                *why = why->mid(prefix.size());
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

// The ticks of one step; false when a limit ended the run.
bool runTicks(SimEngine &engine, SimInputs &boxes, const SimStep &s, SimTrace *trace, const SimLimits &limits,
              SimOutcome &outcome)
{
    for (qint64 k = 0; k < s.count; ++k) {
        if (outcome.ticks >= limits.maxTicks) {
            outcome.stopped = limitText(outcome.ticks, limits.maxTicks, "ticks", "--max-ticks");
            outcome.stoppedLine = s.line;
            return false;
        }
        if (trace)
            trace->recordInputs(boxes, engine);
        engine.tick(boxes);
        ++outcome.ticks;
        if (trace) {
            trace->record(engine);
            if (qint64(trace->changes().size()) > limits.maxChanges) {
                outcome.stopped = limitText(outcome.ticks, limits.maxChanges, "changes in the trace", "--max-changes");
                outcome.stoppedLine = s.line;
                return false;
            }
        }
    }
    return true;
}

}  // namespace

SimOutcome SimScenario::run(const std::vector<SimStep> &steps, QTextStream *show, SimTrace *trace,
                            const SimLimits &limits) const
{
    auto engine = std::make_unique<SimEngine>();
    auto boxes = std::make_unique<SimInputs>();
    engine->loadTimers(m_session.get());
    engine->readImage(m_image);
    engine->clearStates();
    engine->deriveOutputs();

    SimOutcome outcome;
    for (const SimStep &s : steps) {
        switch (s.kind) {
        case SimStep::Kind::Key:
            if (s.row < kSimCapacity)
                boxes->keys[s.row][s.column] = s.on;
            break;
        case SimStep::Kind::Switch:
            if (s.row < kSimCapacity)
                boxes->switches[s.row] = s.on;
            break;
        case SimStep::Kind::Can:
            if (s.row < kSimCapacity)
                boxes->canInputs[s.row] = s.on;
            break;
        case SimStep::Kind::Tick:
            if (!runTicks(*engine, *boxes, s, trace, limits, outcome))
                return outcome;
            break;
        case SimStep::Kind::Show:
            if (show)
                simShow(*show, *engine, m_rows, outcome.ticks);
            break;
        case SimStep::Kind::Expect: {
            const auto what = static_cast<SimExpect>(s.column);
            bool seen = false;
            const char *yes = "on", *no = "off", *word = "";
            switch (what) {
            case SimExpect::State:
                seen = engine->stateSet(s.row);
                yes = "set", no = "clear", word = "state";
                break;
            case SimExpect::Timer:
                seen = engine->timerValue(s.row) != 0;
                yes = "running", no = "stopped", word = "timer";
                break;
            case SimExpect::Output:
                seen = engine->lx1OutputActive(s.row);
                word = "output";
                break;
            case SimExpect::Led:
                seen = engine->ledOn(s.row);
                word = "led";
                break;
            case SimExpect::Channel:
                seen = engine->lx1ChannelOn(s.row / kLx1ChannelCount, s.row % kLx1ChannelCount);
                word = "lx1";
                break;
            case SimExpect::CanOutput:
                seen = engine->canOutputOn(s.row);
                word = "canoutput";
                break;
            }
            ++outcome.expectations;
            if (seen != s.on)
                outcome.failures.push_back(
                    SimFailure{s.line, outcome.ticks,
                               QStringLiteral("expected %1 %2 %3, but it is %4")
                                   .arg(QLatin1String(word), simItemText(m_rows, what, s.row),
                                        QLatin1String(s.on ? yes : no), QLatin1String(seen ? yes : no))});
            break;
        }
        }
    }
    return outcome;
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
