#include "simscenario.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>
#include <QTextStream>

#include <memory>

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
        *why = model.lastError().isEmpty() ? QStringLiteral("not a setup file") : model.lastError();
        return false;
    }

    // The same steps as "&Go": compile into a temporary file, copy the session.
    *what = QStringLiteral("cannot simulate %1").arg(shown);
    QTemporaryFile imageFile;
    if (!imageFile.open()) {
        *why = QStringLiteral("no temporary image file: %1").arg(imageFile.errorString());
        return false;
    }
    imageFile.close();
    if (!model.writeRawImage(imageFile.fileName())) {
        *why = model.imageError().isEmpty() ? QStringLiteral("the image could not be written") : model.imageError();
        return false;
    }
    QFile image(imageFile.fileName());
    if (!image.open(QIODevice::ReadOnly)) {
        *why = QStringLiteral("the image cannot be read back: %1").arg(image.errorString());
        return false;
    }
    m_image = image.readAll();
    bool copied = false;
    m_session = UniqueSession::copyOf(model.session(), &copied);
    if (!copied) {
        *why = QStringLiteral("the setup cannot be copied: %1").arg(storeError());
        return false;
    }
    m_rows = SimRows::of(simNames(m_session.get()));
    return true;
}

SimOutcome SimScenario::run(const std::vector<SimStep> &steps, QTextStream *show, SimTrace *trace) const
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
            for (qint64 k = 0; k < s.count; ++k) {
                if (trace)
                    trace->recordInputs(*boxes, *engine);
                engine->tick(*boxes);
                if (trace)
                    trace->record(*engine);
            }
            outcome.ticks += s.count;
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
