// kelda-cli simulate: runs a setup through the simulation engine, driven by a
// script of tick-box changes and ticks instead of a window.
#include <QDir>
#include <QFileInfo>
#include <QTemporaryFile>

#include <memory>
#include <vector>

#include "atomicfile.h"
#include "clicommand.h"
#include "pmmodel.h"
#include "simengine.h"
#include "simscript.h"

using namespace kelda;

namespace {

void show(QTextStream &out, const SimEngine &e, const SimRows &rows, qint64 ticks)
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

const char kSimulateUsage[] = "kelda-cli simulate SETUP.kelda --script FILE";

int runSimulate(const QStringList &args)
{
    if (args.contains(QLatin1String("--help")) || args.contains(QLatin1String("-h"))) {
        cliOut() << "usage: " << kSimulateUsage << Qt::endl;
        return 0;
    }
    QString setupPath, scriptPath;
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString &a = args.at(i);
        if (a == QLatin1String("--script")) {
            if (i + 1 >= args.size())
                return cliUsageError(QStringLiteral("--script needs a file name"));
            if (!scriptPath.isEmpty())
                return cliUsageError(QStringLiteral("--script given twice"));
            scriptPath = args.at(++i);
        } else if (a.startsWith(QLatin1Char('-')) && a.size() > 1) {
            return cliUsageError(QStringLiteral("unknown option '%1'").arg(a));
        } else if (!setupPath.isEmpty()) {
            return cliUsageError(QStringLiteral("too many file names"));
        } else {
            setupPath = a;
        }
    }
    if (setupPath.isEmpty())
        return cliUsageError(QStringLiteral("missing file name"));
    if (scriptPath.isEmpty())
        return cliUsageError(QStringLiteral("missing --script FILE"));
    const QString setupShown = QDir::toNativeSeparators(setupPath);

    PMModel model;
    if (!QFileInfo::exists(setupPath))
        return cliFail(QStringLiteral("cannot open %1").arg(setupShown), QStringLiteral("no such file"));
    if (!model.openSetup(setupPath))
        return cliFail(QStringLiteral("cannot open %1").arg(setupShown),
                       model.lastError().isEmpty() ? QStringLiteral("not a setup file") : model.lastError());

    // The same steps as "&Go": compile into a temporary file, copy the session.
    QTemporaryFile imageFile;
    if (!imageFile.open())
        return cliFail(QStringLiteral("cannot simulate %1").arg(setupShown),
                       QStringLiteral("no temporary image file: %1").arg(imageFile.errorString()));
    imageFile.close();
    if (!model.writeRawImage(imageFile.fileName())) {
        const QString why = model.imageError();
        return cliFail(QStringLiteral("cannot simulate %1").arg(setupShown),
                       why.isEmpty() ? QStringLiteral("the image could not be written") : why);
    }
    bool copied = false;
    const UniqueSession copy = UniqueSession::copyOf(model.session(), &copied);
    if (!copied)
        return cliFail(QStringLiteral("cannot simulate %1").arg(setupShown),
                       QStringLiteral("the setup cannot be copied: %1").arg(storeError()));

    SimRows rows;
    rows.keys = simItemCount(copy.get(), ItemType::KeypadKey);
    rows.switches = simItemCount(copy.get(), ItemType::Switch);
    rows.canInputs = simItemCount(copy.get(), ItemType::CanInput);
    rows.states = simItemCount(copy.get(), ItemType::State);
    rows.timers = simItemCount(copy.get(), ItemType::Timer);
    rows.outputs = simItemCount(copy.get(), ItemType::Lx1Output);
    rows.leds = simItemCount(copy.get(), ItemType::Lx2Led);

    // The whole script is checked before the first tick.
    // Bounded like a setup file; a regular file or standard input ("-") only.
    QByteArray text;
    QString why;
    if (!kelda::fileio::readInput(scriptPath, STRATA_MAX_FILE_SIZE, &text, &why))
        return cliFail(QStringLiteral("cannot read %1").arg(QDir::toNativeSeparators(scriptPath)), why);
    std::vector<SimStep> steps;
    int badLine = 0;
    if (!parseSimScript(text, rows, &steps, &badLine, &why))
        return cliFail(QStringLiteral("%1:%2").arg(scriptPath).arg(badLine), why);

    auto engine = std::make_unique<SimEngine>();
    auto boxes = std::make_unique<SimInputs>();
    engine->loadTimers(copy.get());
    engine->readImage(imageFile.fileName());
    engine->clearStates();
    engine->deriveOutputs();

    qint64 ticks = 0;
    QTextStream &out = cliOut();
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
            for (qint64 k = 0; k < s.count; ++k)
                engine->tick(*boxes);
            ticks += s.count;
            break;
        case SimStep::Kind::Show:
            show(out, *engine, rows, ticks);
            break;
        }
    }
    out.flush();
    return 0;
}

CliCommand cmd("simulate", kSimulateUsage, &runSimulate);

} // namespace
