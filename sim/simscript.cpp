#include "simscript.h"

#include <QRegularExpression>
#include <QStringList>

#include <cmath>

namespace kelda {

namespace {

struct Word {
    QString text;
    bool quoted = false;
};

// Words separated by blanks; "..." is one word (blanks and # inside); #
// outside quotes starts a comment. Empty why: the line split cleanly.
std::vector<Word> split(const QString &line, QString *why)
{
    std::vector<Word> words;
    const qsizetype n = line.size();
    qsizetype i = 0;
    while (i < n) {
        const QChar c = line.at(i);
        if (c.isSpace()) {
            ++i;
        } else if (c == QLatin1Char('#')) {
            break;
        } else if (c == QLatin1Char('"')) {
            const qsizetype close = line.indexOf(QLatin1Char('"'), i + 1);
            if (close < 0) {
                *why = QStringLiteral("a name in double quotes has no closing quote");
                return {};
            }
            words.push_back(Word{line.mid(i + 1, close - i - 1), true});
            i = close + 1;
            if (i < n && !line.at(i).isSpace() && line.at(i) != QLatin1Char('#')) {
                *why = QStringLiteral("a blank must follow the closing quote of \"%1\"").arg(words.back().text);
                return {};
            }
        } else {
            qsizetype end = i;
            while (end < n && !line.at(end).isSpace() && line.at(end) != QLatin1Char('#')
                   && line.at(end) != QLatin1Char('"'))
                ++end;
            words.push_back(Word{line.mid(i, end - i), false});
            i = end;
        }
    }
    return words;
}

struct Table {
    const char *word;  // as messages name it
    int count;
    const QStringList *names;
};

}  // namespace

SimRows SimRows::of(const SimNames &names)
{
    SimRows rows;
    rows.keys = static_cast<int>(names.keys.size());
    rows.switches = static_cast<int>(names.switches.size());
    rows.canInputs = static_cast<int>(names.canInputs.size());
    rows.states = static_cast<int>(names.states.size());
    rows.timers = static_cast<int>(names.timers.size());
    rows.outputs = static_cast<int>(names.outputs.size());
    rows.leds = static_cast<int>(names.leds.size());
    rows.canOutputs = static_cast<int>(names.canOutputs.size());
    rows.names = names;
    return rows;
}

QString parseSimLine(const QString &raw, const SimRows &rows, std::vector<SimStep> &steps)
{
    QString why;
    const std::vector<Word> w = split(raw, &why);
    if (!why.isEmpty() || w.empty())
        return why;

    auto arity = [&w](size_t n, const char *form) -> QString {
        if (w.size() < n)
            return QStringLiteral("missing argument: expected '%1'").arg(QLatin1String(form));
        if (w.size() > n)
            return QStringLiteral("extra argument '%1': expected '%2'").arg(w.at(n).text, QLatin1String(form));
        return QString();
    };
    // A row number, or a name in quotes that exactly one row of the table has.
    auto row = [](const Word &word, const Table &t, int *out) -> QString {
        if (word.quoted) {
            int found = -1;
            const int n = std::min(t.count, t.names ? static_cast<int>(t.names->size()) : 0);
            for (int r = 0; r < n; ++r) {
                if (t.names->at(r) != word.text)
                    continue;
                if (found >= 0)
                    return QStringLiteral("\"%1\" names more than one row of the %2 table (rows %3 and %4)")
                        .arg(word.text, QLatin1String(t.word), QString::number(found + 1), QString::number(r + 1));
                found = r;
            }
            if (found < 0)
                return QStringLiteral("no row of the %1 table is named \"%2\"").arg(QLatin1String(t.word), word.text);
            *out = found;
            return QString();
        }
        bool ok = false;
        const int n = word.text.toInt(&ok);
        if (!ok)
            return QStringLiteral("'%1' is not a row number").arg(word.text);
        if (t.count == 0)
            return QStringLiteral("row %1 is outside the %2 table, which has no rows")
                .arg(n)
                .arg(QLatin1String(t.word));
        if (n < 1 || n > t.count)
            return QStringLiteral("row %1 is outside the %2 table (rows 1 to %3)")
                .arg(n)
                .arg(QLatin1String(t.word))
                .arg(t.count);
        *out = n - 1;
        return QString();
    };
    auto pick = [](const Word &word, std::initializer_list<const char *> choices, bool *first) -> QString {
        const auto *it = choices.begin();
        if (!word.quoted && word.text == QLatin1String(it[0]))
            *first = true;
        else if (!word.quoted && word.text == QLatin1String(it[1]))
            *first = false;
        else
            return QStringLiteral("'%1' is neither '%2' nor '%3'")
                .arg(word.text, QLatin1String(it[0]), QLatin1String(it[1]));
        return QString();
    };
    const Table keypad{"keypad", rows.keys, &rows.names.keys};

    const QString &cmd = w.front().text;
    SimStep step;
    if (w.front().quoted) {
        return QStringLiteral("a line starts with a command, not with \"%1\"").arg(cmd);
    } else if (cmd == QLatin1String("key")) {
        const char *form = "key N P|SP|LP|DP on|off";
        if (!(why = arity(4, form)).isEmpty() || !(why = row(w[1], keypad, &step.row)).isEmpty())
            return why;
        static const QStringList boxes = {QStringLiteral("P"), QStringLiteral("SP"), QStringLiteral("LP"),
                                          QStringLiteral("DP")};
        step.column = w[2].quoted ? -1 : static_cast<int>(boxes.indexOf(w[2].text));
        if (step.column < 0)
            return QStringLiteral("'%1' is not a keypad box: expected P, SP, LP or DP").arg(w[2].text);
        if (!(why = pick(w[3], {"on", "off"}, &step.on)).isEmpty())
            return why;
        step.kind = SimStep::Kind::Key;
    } else if (cmd == QLatin1String("press")) {
        if (!(why = arity(3, "press N short|long|double")).isEmpty() || !(why = row(w[1], keypad, &step.row)).isEmpty())
            return why;
        static const QStringList presses = {QStringLiteral("short"), QStringLiteral("long"), QStringLiteral("double")};
        const int press = w[2].quoted ? -1 : static_cast<int>(presses.indexOf(w[2].text));
        if (press < 0)
            return QStringLiteral("'%1' is not a press: expected short, long or double").arg(w[2].text);
        step.kind = SimStep::Kind::Key;
        step.column = 1 + press;  // SP, LP, DP
        step.on = true;
    } else if (cmd == QLatin1String("hold") || cmd == QLatin1String("release")) {
        const bool hold = cmd == QLatin1String("hold");
        if (!(why = arity(2, hold ? "hold N" : "release N")).isEmpty()
            || !(why = row(w[1], keypad, &step.row)).isEmpty())
            return why;
        step.kind = SimStep::Kind::Key;
        step.column = 0;  // P
        step.on = hold;
    } else if (cmd == QLatin1String("switch") || cmd == QLatin1String("can")) {
        const bool sw = cmd == QLatin1String("switch");
        const Table t = sw ? Table{"switch", rows.switches, &rows.names.switches}
                           : Table{"CAN input", rows.canInputs, &rows.names.canInputs};
        if (!(why = arity(3, sw ? "switch N on|off" : "can N on|off")).isEmpty()
            || !(why = row(w[1], t, &step.row)).isEmpty() || !(why = pick(w[2], {"on", "off"}, &step.on)).isEmpty())
            return why;
        step.kind = sw ? SimStep::Kind::Switch : SimStep::Kind::Can;
    } else if (cmd == QLatin1String("tick")) {
        if (w.size() > 2)
            return QStringLiteral("extra argument '%1': expected 'tick [K]'").arg(w.at(2).text);
        step.kind = SimStep::Kind::Tick;
        if (w.size() == 2) {
            bool ok = false;
            step.count = w[1].text.toLongLong(&ok);
            if (!ok || step.count < 1 || step.count > 0x7FFFFFFF)
                return QStringLiteral("'%1' is not a number of ticks: expected 1 to 2147483647").arg(w[1].text);
        }
    } else if (cmd == QLatin1String("wait")) {
        if (!(why = arity(2, "wait Ts|Tms")).isEmpty())
            return why;
        // Decimal seconds or milliseconds, rounded up to whole ticks.
        static const QRegularExpression time(QStringLiteral("^([0-9]{1,12}(?:\\.[0-9]{1,6})?)(s|ms)$"));
        const QRegularExpressionMatch m = time.match(w[1].text);
        const double ms =
            m.hasMatch() ? m.captured(1).toDouble() * (m.captured(2) == QLatin1String("s") ? 1000 : 1) : 0;
        const double ticks = std::ceil(ms / kSimTickMs - 1e-9);
        if (w[1].quoted || !m.hasMatch() || ticks < 1 || ticks > 0x7FFFFFFF)
            return QStringLiteral("'%1' is not a time to wait: expected seconds or milliseconds such as 2.5s or 250ms, "
                                  "from 1ms to 21474836.47s")
                .arg(w[1].text);
        step.kind = SimStep::Kind::Tick;
        step.count = static_cast<qint64>(ticks);
    } else if (cmd == QLatin1String("show")) {
        if (!(why = arity(1, "show")).isEmpty())
            return why;
        step.kind = SimStep::Kind::Show;
    } else if (cmd == QLatin1String("expect")) {
        if (w.size() < 2)
            return QStringLiteral("missing argument: expected 'expect state|timer|output|led|canoutput|lx1 ...'");
        const QString &what = w[1].text;
        step.kind = SimStep::Kind::Expect;
        if (what == QLatin1String("lx1") && !w[1].quoted) {
            if (!(why = arity(4, "expect lx1 M.C on|off")).isEmpty())
                return why;
            static const QRegularExpression channel(QStringLiteral("^([1-8])\\.([1-8])$"));
            const QRegularExpressionMatch m = channel.match(w[2].text);
            if (w[2].quoted || !m.hasMatch())
                return QStringLiteral("'%1' is not an LX1 channel: expected module.channel, each 1 to 8, such as 2.3")
                    .arg(w[2].text);
            step.column = static_cast<int>(SimExpect::Channel);
            step.row = (m.captured(1).toInt() - 1) * kLx1ChannelCount + m.captured(2).toInt() - 1;
            if (!(why = pick(w[3], {"on", "off"}, &step.on)).isEmpty())
                return why;
        } else {
            struct Kind {
                const char *word, *form, *yes, *no;
                SimExpect expect;
                Table table;
            };
            const Kind kinds[] = {
                {"state",
                 "expect state N set|clear",
                 "set",
                 "clear",
                 SimExpect::State,
                 {"state", rows.states, &rows.names.states}},
                {"timer",
                 "expect timer N running|stopped",
                 "running",
                 "stopped",
                 SimExpect::Timer,
                 {"timer", rows.timers, &rows.names.timers}},
                {"output",
                 "expect output N on|off",
                 "on",
                 "off",
                 SimExpect::Output,
                 {"LX1 output", rows.outputs, &rows.names.outputs}},
                {"led", "expect led N on|off", "on", "off", SimExpect::Led, {"LED", rows.leds, &rows.names.leds}},
                {"canoutput",
                 "expect canoutput N on|off",
                 "on",
                 "off",
                 SimExpect::CanOutput,
                 {"CAN output", rows.canOutputs, &rows.names.canOutputs}},
            };
            const Kind *kind = nullptr;
            for (const Kind &k : kinds)
                if (!w[1].quoted && what == QLatin1String(k.word))
                    kind = &k;
            if (!kind)
                return QStringLiteral("'%1' cannot be expected: expected state, timer, output, led, canoutput or lx1")
                    .arg(what);
            if (!(why = arity(4, kind->form)).isEmpty() || !(why = row(w[2], kind->table, &step.row)).isEmpty()
                || !(why = pick(w[3], {kind->yes, kind->no}, &step.on)).isEmpty())
                return why;
            step.column = static_cast<int>(kind->expect);
        }
    } else if (cmd == QLatin1String("setup")) {
        return QStringLiteral("'setup' names the setup before the first command, not after it");
    } else {
        return QStringLiteral("unknown word '%1': expected key, press, hold, release, switch, can, tick, wait, show "
                              "or expect")
            .arg(cmd);
    }
    steps.push_back(step);
    return QString();
}

namespace {

// A message quotes the word it refuses; a line of a megabyte must not make a
// message of a megabyte: at most 80 characters of each quoted word.
QString boundQuotedWords(const QString &why)
{
    constexpr qsizetype kMost = 80;
    QString out;
    qsizetype i = 0;
    while (i < why.size()) {
        const QChar q = why.at(i);
        const qsizetype close = (q == QLatin1Char('\'') || q == QLatin1Char('"')) ? why.indexOf(q, i + 1) : -1;
        if (close < 0) {
            out += q;
            ++i;
            continue;
        }
        const qsizetype length = close - i - 1;
        out += q + (length > kMost ? why.mid(i + 1, kMost) + QStringLiteral("...") : why.mid(i + 1, length)) + q;
        i = close + 1;
    }
    return out;
}

}  // namespace

bool parseSimScript(const QByteArray &text, const SimRows &rows, std::vector<SimStep> *steps, int *badLine,
                    QString *why, QString *setup)
{
    if (setup)
        setup->clear();
    bool commandSeen = false;
    // Line by line: a large script is never held twice as text.
    qsizetype start = 0;
    for (int number = 1;; ++number) {
        const qsizetype end = text.indexOf('\n', start);
        const QByteArrayView bytes(text.constData() + start, (end < 0 ? text.size() : end) - start);
        const QString line = QString::fromUtf8(bytes);
        why->clear();
        const std::vector<Word> w = split(line, why);
        if (!commandSeen && why->isEmpty() && !w.empty() && !w[0].quoted && w[0].text == QLatin1String("setup")) {
            if (w.size() != 2)
                *why = w.size() < 2 ? QStringLiteral("missing argument: expected 'setup FILE'")
                                    : QStringLiteral("extra argument '%1': expected 'setup FILE'").arg(w[2].text);
            else if (setup)
                *setup = w[1].text;
        } else if (why->isEmpty()) {
            const size_t before = steps->size();
            *why = parseSimLine(line, rows, *steps);
            for (size_t i = before; i < steps->size(); ++i)
                (*steps)[i].line = number;
        }
        if (!why->isEmpty()) {
            *badLine = number;
            *why = boundQuotedWords(*why);
            return false;
        }
        commandSeen = commandSeen || !w.empty();
        if (end < 0)
            return true;
        start = end + 1;
    }
}

QString simItemText(const SimRows &rows, SimExpect what, int row)
{
    if (what == SimExpect::Channel)
        return QStringLiteral("%1.%2").arg(row / kLx1ChannelCount + 1).arg(row % kLx1ChannelCount + 1);
    const QStringList &names = what == SimExpect::State ? rows.names.states
        : what == SimExpect::Timer                      ? rows.names.timers
        : what == SimExpect::Output                     ? rows.names.outputs
        : what == SimExpect::CanOutput                  ? rows.names.canOutputs
                                                        : rows.names.leds;
    if (row >= 0 && row < names.size() && !names[row].isEmpty())
        return QLatin1Char('"') + names[row] + QLatin1Char('"');
    return QString::number(row + 1);
}

}  // namespace kelda
