#include "simscript.h"

#include <QRegularExpression>
#include <QStringList>

namespace kelda {

QString parseSimLine(const QString &raw, const SimRows &rows, std::vector<SimStep> &steps)
{
    QString line = raw;
    const qsizetype hash = line.indexOf(QLatin1Char('#'));
    if (hash >= 0)
        line.truncate(hash);
    static const QRegularExpression space(QStringLiteral("\\s+"));
    const QStringList w = line.split(space, Qt::SkipEmptyParts);
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
    SimStep step;
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
        step.kind = SimStep::Kind::Key;
    } else if (cmd == QLatin1String("switch") || cmd == QLatin1String("can")) {
        const bool sw = cmd == QLatin1String("switch");
        const char *form = sw ? "switch N on|off" : "can N on|off";
        if (!(why = arity(3, form)).isEmpty()
            || !(why = row(w[1], sw ? rows.switches : rows.canInputs, sw ? "switch" : "CAN input", &step.row))
                    .isEmpty()
            || !(why = onOff(w[2], &step.on)).isEmpty())
            return why;
        step.kind = sw ? SimStep::Kind::Switch : SimStep::Kind::Can;
    } else if (cmd == QLatin1String("tick")) {
        if (w.size() > 2)
            return QStringLiteral("extra argument '%1': expected 'tick [K]'").arg(w.at(2));
        step.kind = SimStep::Kind::Tick;
        if (w.size() == 2) {
            bool ok = false;
            step.count = w[1].toLongLong(&ok);
            if (!ok || step.count < 1 || step.count > 0x7FFFFFFF)
                return QStringLiteral("'%1' is not a number of ticks: expected 1 to 2147483647").arg(w[1]);
        }
    } else if (cmd == QLatin1String("show")) {
        if (!(why = arity(1, "show")).isEmpty())
            return why;
        step.kind = SimStep::Kind::Show;
    } else {
        return QStringLiteral("unknown word '%1': expected key, switch, can, tick or show").arg(cmd);
    }
    steps.push_back(step);
    return QString();
}

bool parseSimScript(const QByteArray &text, const SimRows &rows, std::vector<SimStep> *steps, int *badLine,
                    QString *why)
{
    // Line by line: a large script is never held twice as text.
    qsizetype start = 0;
    for (int number = 1;; ++number) {
        const qsizetype end = text.indexOf('\n', start);
        const QByteArrayView line(text.constData() + start, (end < 0 ? text.size() : end) - start);
        *why = parseSimLine(QString::fromUtf8(line), rows, *steps);
        if (!why->isEmpty()) {
            *badLine = number;
            return false;
        }
        if (end < 0)
            return true;
        start = end + 1;
    }
}

} // namespace kelda
