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

namespace {

// One line being parsed: its words, the tables, and the step it makes.
struct Line {
    const std::vector<Word> &w;
    const SimRows &rows;
    SimStep step;

    QString arity(size_t n, const char *form) const
    {
        if (w.size() < n)
            return QStringLiteral("missing argument: expected '%1'").arg(QLatin1String(form));
        if (w.size() > n)
            return QStringLiteral("extra argument '%1': expected '%2'").arg(w.at(n).text, QLatin1String(form));
        return QString();
    }
    bool bare(size_t i, const char *text) const
    {
        return i < w.size() && !w[i].quoted && w[i].text == QLatin1String(text);
    }
};

// A row number, or a name in quotes that exactly one row of the table has.
QString namedRow(const Word &word, const Table &t, int *out)
{
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

QString row(const Word &word, const Table &t, int *out)
{
    if (word.quoted)
        return namedRow(word, t, out);
    bool ok = false;
    const int n = word.text.toInt(&ok);
    if (!ok)
        return QStringLiteral("'%1' is not a row number").arg(word.text);
    if (t.count == 0)
        return QStringLiteral("row %1 is outside the %2 table, which has no rows").arg(n).arg(QLatin1String(t.word));
    if (n < 1 || n > t.count)
        return QStringLiteral("row %1 is outside the %2 table (rows 1 to %3)")
            .arg(n)
            .arg(QLatin1String(t.word))
            .arg(t.count);
    *out = n - 1;
    return QString();
}

QString pick(const Word &word, const char *yes, const char *no, bool *first)
{
    if (!word.quoted && word.text == QLatin1String(yes))
        *first = true;
    else if (!word.quoted && word.text == QLatin1String(no))
        *first = false;
    else
        return QStringLiteral("'%1' is neither '%2' nor '%3'").arg(word.text, QLatin1String(yes), QLatin1String(no));
    return QString();
}

Table keypad(const SimRows &rows)
{
    return {"keypad", rows.keys, &rows.names.keys};
}

QString parseKey(Line &l)
{
    QString why;
    if (!(why = l.arity(4, "key N P|SP|LP|DP on|off")).isEmpty()
        || !(why = row(l.w[1], keypad(l.rows), &l.step.row)).isEmpty())
        return why;
    static const QStringList boxes = {QStringLiteral("P"), QStringLiteral("SP"), QStringLiteral("LP"),
                                      QStringLiteral("DP")};
    l.step.column = l.w[2].quoted ? -1 : static_cast<int>(boxes.indexOf(l.w[2].text));
    if (l.step.column < 0)
        return QStringLiteral("'%1' is not a keypad box: expected P, SP, LP or DP").arg(l.w[2].text);
    l.step.kind = SimStep::Kind::Key;
    return pick(l.w[3], "on", "off", &l.step.on);
}

QString parsePress(Line &l)
{
    QString why;
    if (!(why = l.arity(3, "press N short|long|double")).isEmpty()
        || !(why = row(l.w[1], keypad(l.rows), &l.step.row)).isEmpty())
        return why;
    static const QStringList presses = {QStringLiteral("short"), QStringLiteral("long"), QStringLiteral("double")};
    const int press = l.w[2].quoted ? -1 : static_cast<int>(presses.indexOf(l.w[2].text));
    if (press < 0)
        return QStringLiteral("'%1' is not a press: expected short, long or double").arg(l.w[2].text);
    l.step.kind = SimStep::Kind::Key;
    l.step.column = 1 + press;  // SP, LP, DP
    l.step.on = true;
    return QString();
}

QString parseHoldOrRelease(Line &l, bool hold)
{
    QString why;
    if (!(why = l.arity(2, hold ? "hold N" : "release N")).isEmpty())
        return why;
    l.step.kind = SimStep::Kind::Hold;
    l.step.column = 0;
    l.step.on = hold;
    return row(l.w[1], keypad(l.rows), &l.step.row);
}

QString parseSwitch(Line &l)
{
    QString why;
    if (!(why = l.arity(3, "switch N on|off")).isEmpty()
        || !(why = row(l.w[1], {"switch", l.rows.switches, &l.rows.names.switches}, &l.step.row)).isEmpty())
        return why;
    l.step.kind = SimStep::Kind::Switch;
    return pick(l.w[2], "on", "off", &l.step.on);
}

// Decimal or 0x hex, at most `most`.
bool number(const Word &word, uint32_t most, uint32_t *out)
{
    if (word.quoted)
        return false;
    bool ok = false;
    const bool hex = word.text.startsWith(QLatin1String("0x")) || word.text.startsWith(QLatin1String("0X"));
    const QString digits = hex ? word.text.mid(2) : word.text;
    static const QRegularExpression hexDigits(QStringLiteral("^[0-9A-Fa-f]+$")), decDigits(QStringLiteral("^[0-9]+$"));
    // Digits only: Qt would also take a second "0x", a sign or spaces.
    const qulonglong v =
        (hex ? hexDigits : decDigits).match(digits).hasMatch() ? digits.toULongLong(&ok, hex ? 16 : 10) : 0;
    ok = ok && v <= most;
    if (ok)
        *out = uint32_t(v);
    return ok;
}

// can 0x123 = 11 22 33: one whole standard frame, 0 to 8 hex bytes.
QString parseCanFrame(Line &l)
{
    uint32_t id = 0;
    if (!number(l.w[1], can::kStandardIdCount - 1, &id))
        return QStringLiteral("'%1' is not a standard CAN identifier: expected 0x000 to 0x7FF").arg(l.w[1].text);
    if (l.w.size() > 3 + can::kFrameBytes)
        return QStringLiteral("extra argument '%1': a frame has at most 8 bytes").arg(l.w.at(11).text);
    static const QRegularExpression byte(QStringLiteral("^[0-9A-Fa-f]{2}$"));
    for (size_t i = 3; i < l.w.size(); ++i) {
        if (l.w[i].quoted || !byte.match(l.w[i].text).hasMatch())
            return QStringLiteral("'%1' is not a data byte: expected two hex digits such as 0F").arg(l.w[i].text);
        l.step.bytes[i - 3] = uint8_t(l.w[i].text.toUInt(nullptr, 16));
    }
    l.step.kind = SimStep::Kind::CanFrame;
    l.step.id = uint16_t(id);
    l.step.length = uint8_t(l.w.size() - 3);
    return QString();
}

// can "NAME" = VALUE: the input's channel in the last frame on its identifier.
QString parseCanValue(Line &l)
{
    QString why;
    // A DBC signal wins when a unit follows the number or no CAN input has the name.
    const bool signalForm =
        l.rows.dbcSignal && l.w[1].quoted && (l.w.size() >= 5 || !l.rows.names.canInputs.contains(l.w[1].text));
    if (signalForm && l.w.size() > 5)
        return QStringLiteral("extra argument '%1': expected 'can \"SIGNAL\" = VALUE [UNIT]'").arg(l.w[5].text);
    if (signalForm && l.w.size() >= 4
        && l.rows.dbcSignal(l.w[1].text, l.w[3].text, l.w.size() == 5 ? l.w[4].text : QString(), &l.step, &why))
        return why;
    if (!(why = l.arity(4, "can N = VALUE")).isEmpty()
        || !(why = row(l.w[1], {"CAN input", l.rows.canInputs, &l.rows.names.canInputs}, &l.step.row)).isEmpty())
        return why;
    const int r = l.step.row;
    if (r >= int(l.rows.canRules.size()) || l.rows.canRules[r].position < 0 || l.rows.canRules[r].channel.index <= 0)
        return QStringLiteral("CAN input %1 reads no frame: it has no identifier or no byte").arg(l.w[1].text);
    const int width = l.rows.canRules[r].channel.width();
    uint32_t v = 0;
    if (!number(l.w[3], (1u << width) - 1, &v))
        return QStringLiteral("'%1' is not a value of %2 bits: expected 0 to %3, decimal or 0x hex")
            .arg(l.w[3].text)
            .arg(width)
            .arg((1u << width) - 1);
    l.step.kind = SimStep::Kind::CanValue;
    l.step.id = l.rows.canRules[r].identifier;
    l.step.value = uint16_t(v);
    return QString();
}

QString parseCan(Line &l)
{
    if (l.bare(2, "="))
        return !l.w[1].quoted && l.w[1].text.startsWith(QLatin1String("0x"), Qt::CaseInsensitive) ? parseCanFrame(l)
                                                                                                  : parseCanValue(l);
    QString why;
    if (!(why = l.arity(3, "can N on|off")).isEmpty()
        || !(why = row(l.w[1], {"CAN input", l.rows.canInputs, &l.rows.names.canInputs}, &l.step.row)).isEmpty())
        return why;
    l.step.kind = SimStep::Kind::Can;
    return pick(l.w[2], "on", "off", &l.step.on);
}

QString parseTick(Line &l)
{
    if (l.w.size() > 2)
        return QStringLiteral("extra argument '%1': expected 'tick [K]'").arg(l.w.at(2).text);
    l.step.kind = SimStep::Kind::Tick;
    if (l.w.size() == 2) {
        bool ok = false;
        l.step.count = l.w[1].text.toLongLong(&ok);
        if (!ok || l.step.count < 1 || l.step.count > 0x7FFFFFFF)
            return QStringLiteral("'%1' is not a number of ticks: expected 1 to 2147483647").arg(l.w[1].text);
    }
    return QString();
}

QString parseWait(Line &l)
{
    QString why;
    if (!(why = l.arity(2, "wait Ts|Tms")).isEmpty())
        return why;
    // Decimal seconds or milliseconds, rounded up to whole ticks.
    static const QRegularExpression time(QStringLiteral("^([0-9]{1,12}(?:\\.[0-9]{1,6})?)(s|ms)$"));
    const QRegularExpressionMatch m = time.match(l.w[1].text);
    const double ms = m.hasMatch() ? m.captured(1).toDouble() * (m.captured(2) == QLatin1String("s") ? 1000 : 1) : 0;
    const double ticks = std::ceil(ms / kSimTickMs - 1e-9);
    if (l.w[1].quoted || !m.hasMatch() || ticks < 1 || ticks > 0x7FFFFFFF)
        return QStringLiteral("'%1' is not a time to wait: expected seconds or milliseconds such as 2.5s or 250ms, "
                              "from 1ms to 21474836.47s")
            .arg(l.w[1].text);
    l.step.kind = SimStep::Kind::Tick;
    l.step.count = static_cast<qint64>(ticks);
    return QString();
}

QString parseShow(Line &l)
{
    l.step.kind = SimStep::Kind::Show;
    return l.arity(1, "show");
}

QString parseReplay(Line &l)
{
    QString why;
    if (!(why = l.arity(2, "replay \"FILE\"")).isEmpty())
        return why;
    if (l.w[1].text.isEmpty())
        return QStringLiteral("replay names no file: expected 'replay \"FILE\"'");
    l.step.kind = SimStep::Kind::Replay;
    l.step.file = l.w[1].text;
    return QString();
}

QString parseLx1Expect(Line &l)
{
    QString why;
    if (!(why = l.arity(4, "expect lx1 M.C on|off")).isEmpty())
        return why;
    static const QRegularExpression channel(QStringLiteral("^([1-8])\\.([1-8])$"));
    const QRegularExpressionMatch m = channel.match(l.w[2].text);
    if (l.w[2].quoted || !m.hasMatch())
        return QStringLiteral("'%1' is not an LX1 channel: expected module.channel, each 1 to 8, such as 2.3")
            .arg(l.w[2].text);
    l.step.column = static_cast<int>(SimExpect::Channel);
    l.step.row = (m.captured(1).toInt() - 1) * kLx1ChannelCount + m.captured(2).toInt() - 1;
    return pick(l.w[3], "on", "off", &l.step.on);
}

QString parseExpect(Line &l)
{
    if (l.w.size() < 2)
        return QStringLiteral("missing argument: expected 'expect state|timer|output|led|canoutput|lx1 ...'");
    l.step.kind = SimStep::Kind::Expect;
    if (l.bare(1, "lx1"))
        return parseLx1Expect(l);
    const SimRows &rows = l.rows;
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
    for (const Kind &k : kinds) {
        if (!l.bare(1, k.word))
            continue;
        QString why;
        if (!(why = l.arity(4, k.form)).isEmpty() || !(why = row(l.w[2], k.table, &l.step.row)).isEmpty())
            return why;
        l.step.column = static_cast<int>(k.expect);
        return pick(l.w[3], k.yes, k.no, &l.step.on);
    }
    return QStringLiteral("'%1' cannot be expected: expected state, timer, output, led, canoutput or lx1")
        .arg(l.w[1].text);
}

QString parseLateSetup(Line &)
{
    return QStringLiteral("'setup' names the setup before the first command, not after it");
}

// The commands of the language: a new command is one entry here.
struct Command {
    const char *word;
    QString (*parse)(Line &);
};
const Command kCommands[] = {
    {"key", parseKey},
    {"press", parsePress},
    {"hold", [](Line &l) { return parseHoldOrRelease(l, true); }},
    {"release", [](Line &l) { return parseHoldOrRelease(l, false); }},
    {"switch", parseSwitch},
    {"can", parseCan},
    {"tick", parseTick},
    {"wait", parseWait},
    {"show", parseShow},
    {"expect", parseExpect},
    {"replay", parseReplay},
    {"setup", parseLateSetup},
};

}  // namespace

QString parseSimLine(const QString &raw, const SimRows &rows, std::vector<SimStep> &steps)
{
    QString why;
    const std::vector<Word> w = split(raw, &why);
    if (!why.isEmpty() || w.empty())
        return why;
    if (w.front().quoted)
        return QStringLiteral("a line starts with a command, not with \"%1\"").arg(w.front().text);
    for (const Command &c : kCommands) {
        if (w.front().text != QLatin1String(c.word))
            continue;
        Line line{w, rows, {}};
        why = c.parse(line);
        if (why.isEmpty())
            steps.push_back(line.step);
        return why;
    }
    return QStringLiteral("unknown word '%1': expected key, press, hold, release, switch, can, tick, wait, show, "
                          "expect or replay")
        .arg(w.front().text);
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
