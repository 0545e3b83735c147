// kelda-cli simulate: runs a setup through the simulation engine, driven by a
// script of tick-box changes and ticks instead of a window.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryFile>

#include <memory>
#include <vector>

#include "clicommand.h"
#include "pmmodel.h"
#include "simengine.h"

using namespace kelda;

namespace {

struct Step {
    enum class Kind { Key, Switch, Can, Tick, Show } kind = Kind::Tick;
    int row = 0;     // 0-based
    int column = 0;  // keypad: condition - 1
    bool on = false;
    qint64 count = 1;
};

struct Rows {
    int keys = 0, switches = 0, canInputs = 0, states = 0, timers = 0, outputs = 0, leds = 0;
};

// Parses one script line into steps; returns the reason when it is bad.
QString parseLine(const QString &raw, const Rows &rows, std::vector<Step> &steps)
{
    QString line = raw;
    const qsizetype hash = line.indexOf(QLatin1Char('#'));
    if (hash >= 0)
        line.truncate(hash);
    const QStringList w = line.split(QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts);
    if (w.isEmpty())
        return QString();

    auto arity = [&w](int n, const char *form) -> QString {
        if (w.size() < n)
            return QStringLiteral("missing argument: expected '%1'").arg(QLatin1String(form));
        if (w.size() > n)
            return QStringLiteral("extra argument '%1': expected '%2'").arg(w.at(n), QLatin1String(form));
        return QString();
    };
    auto row = [](const QString &word, int count, const char *table, int *out) -> QString {
        bool ok = false;
        const int n = word.toInt(&ok);
        if (!ok)
            return QStringLiteral("'%1' is not a row number").arg(word);
        if (count == 0)
            return QStringLiteral("row %1 is outside the %2 table, which has no rows").arg(n).arg(QLatin1String(table));
        if (n < 1 || n > count)
            return QStringLiteral("row %1 is outside the %2 table (rows 1 to %3)")
                .arg(n).arg(QLatin1String(table)).arg(count);
        *out = n - 1;
        return QString();
    };
    auto onOff = [](const QString &word, bool *out) -> QString {
        if (word == QLatin1String("on"))
            *out = true;
        else if (word == QLatin1String("off"))
            *out = false;
        else
            return QStringLiteral("'%1' is neither 'on' nor 'off'").arg(word);
        return QString();
    };

    const QString &cmd = w.first();
    Step step;
    QString why;
    if (cmd == QLatin1String("key")) {
        const char *form = "key N P|SP|LP|DP on|off";
        if (!(why = arity(4, form)).isEmpty() || !(why = row(w[1], rows.keys, "keypad", &step.row)).isEmpty())
            return why;
        static const QStringList boxes = {QStringLiteral("P"), QStringLiteral("SP"), QStringLiteral("LP"),
                                          QStringLiteral("DP")};
        step.column = static_cast<int>(boxes.indexOf(w[2]));
        if (step.column < 0)
            return QStringLiteral("'%1' is not a keypad box: expected P, SP, LP or DP").arg(w[2]);
        if (!(why = onOff(w[3], &step.on)).isEmpty())
            return why;
        step.kind = Step::Kind::Key;
    } else if (cmd == QLatin1String("switch") || cmd == QLatin1String("can")) {
        const bool sw = cmd == QLatin1String("switch");
        const char *form = sw ? "switch N on|off" : "can N on|off";
        if (!(why = arity(3, form)).isEmpty()
            || !(why = row(w[1], sw ? rows.switches : rows.canInputs, sw ? "switch" : "CAN input", &step.row))
                    .isEmpty()
            || !(why = onOff(w[2], &step.on)).isEmpty())
            return why;
        step.kind = sw ? Step::Kind::Switch : Step::Kind::Can;
    } else if (cmd == QLatin1String("tick")) {
        if (w.size() > 2)
            return QStringLiteral("extra argument '%1': expected 'tick [K]'").arg(w.at(2));
        step.kind = Step::Kind::Tick;
        if (w.size() == 2) {
            bool ok = false;
            step.count = w[1].toLongLong(&ok);
            if (!ok || step.count < 1 || step.count > 0x7FFFFFFF)
                return QStringLiteral("'%1' is not a number of ticks: expected 1 to 2147483647").arg(w[1]);
        }
    } else if (cmd == QLatin1String("show")) {
        if (!(why = arity(1, "show")).isEmpty())
            return why;
        step.kind = Step::Kind::Show;
    } else {
        return QStringLiteral("unknown word '%1': expected key, switch, can, tick or show").arg(cmd);
    }
    steps.push_back(step);
    return QString();
}

void show(QTextStream &out, const SimEngine &e, const Rows &rows, qint64 ticks)
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

    Rows rows;
    rows.keys = simItemCount(copy.get(), ItemType::KeypadKey);
    rows.switches = simItemCount(copy.get(), ItemType::Switch);
    rows.canInputs = simItemCount(copy.get(), ItemType::CanInput);
    rows.states = simItemCount(copy.get(), ItemType::State);
    rows.timers = simItemCount(copy.get(), ItemType::Timer);
    rows.outputs = simItemCount(copy.get(), ItemType::Lx1Output);
    rows.leds = simItemCount(copy.get(), ItemType::Lx2Led);

    // The whole script is checked before the first tick.
    QFile script(scriptPath);
    if (!script.open(QIODevice::ReadOnly | QIODevice::Text))
        return cliFail(QStringLiteral("cannot read %1").arg(QDir::toNativeSeparators(scriptPath)),
                       script.errorString());
    const QStringList lines = QString::fromUtf8(script.readAll()).split(QLatin1Char('\n'));
    std::vector<Step> steps;
    for (int i = 0; i < lines.size(); ++i) {
        const QString why = parseLine(lines[i], rows, steps);
        if (!why.isEmpty())
            return cliFail(QStringLiteral("%1:%2").arg(scriptPath).arg(i + 1), why);
    }

    auto engine = std::make_unique<SimEngine>();
    auto boxes = std::make_unique<SimInputs>();
    engine->loadTimers(copy.get());
    engine->readImage(imageFile.fileName());
    engine->clearStates();
    engine->deriveOutputs();

    qint64 ticks = 0;
    QTextStream &out = cliOut();
    for (const Step &s : steps) {
        switch (s.kind) {
        case Step::Kind::Key:
            if (s.row < kSimCapacity)
                boxes->keys[s.row][s.column] = s.on;
            break;
        case Step::Kind::Switch:
            if (s.row < kSimCapacity)
                boxes->switches[s.row] = s.on;
            break;
        case Step::Kind::Can:
            if (s.row < kSimCapacity)
                boxes->canInputs[s.row] = s.on;
            break;
        case Step::Kind::Tick:
            for (qint64 k = 0; k < s.count; ++k)
                engine->tick(*boxes);
            ticks += s.count;
            break;
        case Step::Kind::Show:
            show(out, *engine, rows, ticks);
            break;
        }
    }
    out.flush();
    return 0;
}

CliCommand cmd("simulate", kSimulateUsage, &runSimulate);

} // namespace
