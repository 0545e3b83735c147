#include "dbcfile.h"

#include <QHash>
#include <QStringDecoder>

#include <algorithm>
#include <cmath>

#include "atomicfile.h"

namespace kelda::dbc {

namespace {

// Keywords of statements KELDA reads nothing from: counted, never reported.
const QStringList kNotNeeded = {
    QStringLiteral("VERSION"),
    QStringLiteral("NS_"),
    QStringLiteral("BS_"),
    QStringLiteral("BU_"),
    QStringLiteral("VAL_TABLE_"),
    QStringLiteral("BA_DEF_"),
    QStringLiteral("BA_DEF_DEF_"),
    QStringLiteral("BA_"),
    QStringLiteral("BO_TX_BU_"),
    QStringLiteral("SIG_GROUP_"),
    QStringLiteral("EV_"),
    QStringLiteral("ENVVAR_DATA_"),
    QStringLiteral("SGTYPE_"),
    QStringLiteral("SGTYPE_VAL_"),
    QStringLiteral("BA_DEF_SGTYPE_"),
    QStringLiteral("BA_SGTYPE_"),
    QStringLiteral("SIG_TYPE_REF_"),
    QStringLiteral("BA_DEF_REL_"),
    QStringLiteral("BA_REL_"),
    QStringLiteral("BA_DEF_DEF_REL_"),
    QStringLiteral("BU_SG_REL_"),
    QStringLiteral("BU_EV_REL_"),
    QStringLiteral("BU_BO_REL_"),
    QStringLiteral("SG_MUL_VAL_"),
    QStringLiteral("CAT_DEF_"),
    QStringLiteral("CAT_"),
    QStringLiteral("FILTER"),
    QStringLiteral("SIGTYPE_VALTYPE_"),
    QStringLiteral("NS_DESC_"),
    QStringLiteral("ENVVAR_DATA_"),
};
// Statements that run on to a ';' (possibly over several lines).
bool endsWithSemicolon(const QString &kind)
{
    return kind != QLatin1String("BO_") && kind != QLatin1String("SG_") && kind != QLatin1String("BU_")
        && kind != QLatin1String("BS_") && kind != QLatin1String("VERSION") && kind != QLatin1String("NS_");
}
bool isKeyword(const QString &word)
{
    return word == QLatin1String("BO_") || word == QLatin1String("SG_") || word == QLatin1String("CM_")
        || word == QLatin1String("VAL_") || word == QLatin1String("SIG_VALTYPE_") || kNotNeeded.contains(word);
}

QString firstWord(const QString &line)
{
    int i = 0;
    while (i < line.size() && line.at(i).isSpace())
        ++i;
    int j = i;
    while (j < line.size() && !line.at(j).isSpace() && line.at(j) != QLatin1Char(':'))
        ++j;
    return line.mid(i, j - i);
}

// Whether a double quote is open after the line, given whether one was open before it.
bool quoteOpenAfter(const QString &line, bool open)
{
    for (int i = 0; i < line.size(); ++i) {
        if (line.at(i) == QLatin1Char('\\') && open)
            ++i;
        else if (line.at(i) == QLatin1Char('"'))
            open = !open;
    }
    return open;
}

struct Token {
    enum Kind { Word, String, Punct } kind;
    QString text;
};

bool tokenize(const QString &s, QList<Token> *out, QString *error)
{
    static const QString punct = QStringLiteral(":;|@()[],");
    for (int i = 0; i < s.size();) {
        const QChar c = s.at(i);
        if (c.isSpace()) {
            ++i;
        } else if (c == QLatin1Char('"')) {
            QString text;
            int j = i + 1;
            for (; j < s.size() && s.at(j) != QLatin1Char('"'); ++j) {
                if (s.at(j) == QLatin1Char('\\') && j + 1 < s.size())
                    ++j;
                text += s.at(j);
            }
            if (j >= s.size()) {
                *error = QStringLiteral("a text in double quotes is not closed");
                return false;
            }
            out->append({Token::String, text});
            i = j + 1;
        } else if (punct.contains(c)) {
            out->append({Token::Punct, QString(c)});
            ++i;
        } else {
            int j = i;
            while (j < s.size() && !s.at(j).isSpace() && !punct.contains(s.at(j)) && s.at(j) != QLatin1Char('"'))
                ++j;
            out->append({Token::Word, s.mid(i, j - i)});
            i = j;
        }
    }
    return true;
}

bool isName(const QString &w)
{
    if (w.isEmpty() || w.at(0).isDigit())
        return false;
    for (const QChar c : w)
        if (!(c.isLetterOrNumber() || c == QLatin1Char('_')) || c.unicode() > 0x7F)
            return false;
    return true;
}

// Reads tokens in order; the first failure keeps its reason.
class Cursor
{
public:
    explicit Cursor(const QList<Token> &t) : m_t(t) { }
    bool atEnd() const { return m_i >= m_t.size(); }
    bool failed() const { return !m_error.isEmpty(); }
    QString error() const { return m_error; }
    const Token *peek() const { return atEnd() ? nullptr : &m_t.at(m_i); }
    bool peekPunct(char c) const { return peek() && peek()->kind == Token::Punct && peek()->text.at(0) == c; }
    void fail(const QString &why)
    {
        if (m_error.isEmpty())
            m_error = why;
    }
    bool punct(char c, const char *what)
    {
        if (!peekPunct(c)) {
            fail(QStringLiteral("expected '%1' %2").arg(QLatin1Char(c)).arg(QLatin1String(what)));
            return false;
        }
        ++m_i;
        return true;
    }
    QString word(const char *what)
    {
        if (!peek() || peek()->kind != Token::Word) {
            fail(QStringLiteral("expected %1").arg(QLatin1String(what)));
            return {};
        }
        return m_t.at(m_i++).text;
    }
    QString name(const char *what)
    {
        const QString w = word(what);
        if (!failed() && !isName(w))
            fail(QStringLiteral("\"%1\" is not a valid %2").arg(w.left(40), QLatin1String(what)));
        return w;
    }
    QString string(const char *what)
    {
        if (!peek() || peek()->kind != Token::String) {
            fail(QStringLiteral("expected %1 in double quotes").arg(QLatin1String(what)));
            return {};
        }
        return m_t.at(m_i++).text;
    }
    quint64 unsignedNumber(const char *what, quint64 max)
    {
        const QString w = word(what);
        bool ok = false;
        const quint64 v = w.toULongLong(&ok);
        if (!failed() && (!ok || v > max))
            fail(
                QStringLiteral("%1 \"%2\" is not a number from 0 to %3").arg(QLatin1String(what), w.left(40)).arg(max));
        return ok ? v : 0;
    }
    qint64 integer(const char *what)
    {
        const QString w = word(what);
        bool ok = false;
        const double d = w.toDouble(&ok);
        // Range first: converting a double beyond qint64 is undefined.
        ok = ok && std::abs(d) < 9.0e18 && d == std::trunc(d);
        if (!failed() && !ok)
            fail(QStringLiteral("%1 \"%2\" is not a whole number").arg(QLatin1String(what), w.left(40)));
        return ok ? qint64(d) : 0;
    }
    double real(const char *what)
    {
        const QString w = word(what);
        bool ok = false;
        const double v = w.toDouble(&ok);
        if (!failed() && (!ok || !std::isfinite(v)))
            fail(QStringLiteral("%1 \"%2\" is not a number").arg(QLatin1String(what), w.left(40)));
        return v;
    }
    // An optional ';' and nothing after it.
    void end()
    {
        if (peekPunct(';'))
            ++m_i;
        if (!atEnd())
            fail(QStringLiteral("unexpected \"%1\" at the end").arg(peek()->text.left(40)));
    }

private:
    const QList<Token> &m_t;
    qsizetype m_i = 0;
    QString m_error;
};

// A comment, value table or value type waiting for every message to be read.
struct Note {
    enum Kind { MessageComment, SignalComment, Values, ValueType } kind;
    int line;
    quint64 number;
    QString signal;
    QString text;
    QList<QPair<qint64, QString>> values;
    int type = 0;
};

class Parser
{
public:
    Database run(const QString &text);

private:
    void statement(int line, const QString &kind, const QString &text);
    void message(int line, Cursor &c);
    void signal(int line, Cursor &c);
    bool signalLayout(Cursor &c, Signal &s);
    void comment(int line, Cursor &c);
    void values(int line, Cursor &c);
    void valueType(int line, Cursor &c);
    void resolve();
    void skip(int line, const QString &reason) { m_db.skipped.append({line, reason}); }

    Database m_db;
    QList<Note> m_notes;
    // The message the next SG_ lines belong to: an index, or why they are not taken.
    int m_current = -1;
    QString m_currentRefusal;
    QHash<quint64, int> m_byNumber;  // number as written -> message
    QHash<quint64, QString> m_refused;  // number as written -> why it was not taken
    // Signal name -> index, per message: a message of many signals must not
    // make reading quadratic.
    QList<QHash<QString, int>> m_signalIndex;
};

Database Parser::run(const QString &text)
{
    // Lines end in LF or CR LF; a file of lone CRs (old Mac editors) would
    // otherwise be one line, taken whole as its first statement.
    const QChar end = text.contains(QLatin1Char('\n')) ? QLatin1Char('\n') : QLatin1Char('\r');
    QStringList lines = text.split(end);
    for (QString &l : lines)
        if (l.endsWith(QLatin1Char('\r')))
            l.chop(1);
    if (!lines.isEmpty() && lines.constLast().isEmpty())
        lines.removeLast();
    m_db.lines = int(lines.size());
    bool inNamespace = false;
    for (int i = 0; i < lines.size(); ++i) {
        const QString &l = lines.at(i);
        const QString kind = firstWord(l);
        if (kind.isEmpty())
            continue;  // blank: ends nothing, takes nothing
        // The keyword list below NS_: one indented word per line.
        if (inNamespace && l.at(0).isSpace() && kind == l.trimmed())
            continue;
        inNamespace = kind == QLatin1String("NS_");
        QString text = l;
        const int first = i;
        // Statements ending with ';' may run over several lines (a comment's
        // text, a long value table), but never into a line that starts a
        // statement of its own: a stray quote cannot swallow the file.
        bool open = quoteOpenAfter(l, false);
        while (i + 1 < lines.size() && endsWithSemicolon(kind) && isKeyword(kind)
               && (open || !text.trimmed().endsWith(QLatin1Char(';')))) {
            const QString &next = lines.at(i + 1);
            if (firstWord(next).isEmpty() ? !open : isKeyword(firstWord(next)))
                break;
            text += QLatin1Char('\n') + next;
            open = quoteOpenAfter(next, open);
            ++i;
        }
        statement(first + 1, kind, text);
    }
    resolve();
    std::sort(m_db.skipped.begin(), m_db.skipped.end(),
              [](const Skipped &a, const Skipped &b) { return a.line < b.line; });
    return std::move(m_db);
}

void Parser::statement(int line, const QString &kind, const QString &text)
{
    if (kind != QLatin1String("SG_")) {
        m_current = -1;
        m_currentRefusal.clear();
    }
    if (kind.startsWith(QLatin1String("//"))) {
        m_db.ignored[QStringLiteral("//")]++;
        return;
    }
    if (kNotNeeded.contains(kind)) {
        m_db.ignored[kind]++;
        return;
    }
    QList<Token> tokens;
    QString error;
    if (!tokenize(text, &tokens, &error)) {
        skip(line, error);
        if (kind == QLatin1String("BO_"))
            m_currentRefusal = QStringLiteral("signal of the message on line %1, which is not taken").arg(line);
        return;
    }
    Cursor c(tokens);
    c.word("keyword");
    if (kind == QLatin1String("BO_"))
        message(line, c);
    else if (kind == QLatin1String("SG_"))
        signal(line, c);
    else if (kind == QLatin1String("CM_"))
        comment(line, c);
    else if (kind == QLatin1String("VAL_"))
        values(line, c);
    else if (kind == QLatin1String("SIG_VALTYPE_"))
        valueType(line, c);
    else
        skip(line, QStringLiteral("\"%1\" is not a statement of a CAN database").arg(kind.left(40)));
}

void Parser::message(int line, Cursor &c)
{
    const quint64 number = c.unsignedNumber("message number", 0xFFFFFFFFu);
    Message m;
    m.line = line;
    m.name = c.name("message name");
    c.punct(':', "after the message name");
    m.length = int(c.unsignedNumber("message length", kMaxMessageBytes));
    if (!c.atEnd())
        m.sender = c.word("sender");
    c.end();
    QString refusal;
    if (c.failed())
        refusal = c.error();
    else if (number == kIndependentSignals)
        refusal = QStringLiteral("the pseudo-message of independent signals (0xC0000000) is no frame: skipped with "
                                 "its signals");
    else if (m_byNumber.contains(number) || m_refused.contains(number))
        refusal = QStringLiteral("a second message numbered %1").arg(number);
    if (refusal.isEmpty()) {
        m.extended = (number & kExtendedFlag) || number > kMaxStandardId;
        m.id = uint32_t(number & ~quint64(kExtendedFlag));
        if (m.id > kMaxExtendedId)
            refusal = QStringLiteral("message number %1 is beyond 29-bit identifiers").arg(number);
    }
    if (!refusal.isEmpty()) {
        skip(line, QStringLiteral("message: %1").arg(refusal));
        m_currentRefusal = number == kIndependentSignals
            ? QStringLiteral("signal of the pseudo-message of independent signals (line %1): no frame carries it")
                  .arg(line)
            : QStringLiteral("signal of the message on line %1, which is not taken").arg(line);
        if (!c.failed() && !m_byNumber.contains(number))
            m_refused.insert(number,
                             number == kIndependentSignals
                                 ? QStringLiteral("the pseudo-message of independent signals (line %1)").arg(line)
                                 : QStringLiteral("the message on line %1, which is not taken").arg(line));
        return;
    }
    m_current = int(m_db.messages.size());
    m_byNumber.insert(number, m_current);
    m_db.messages.append(m);
    m_signalIndex.append(QHash<QString, int>());
}

bool Parser::signalLayout(Cursor &c, Signal &s)
{
    s.startBit = int(c.unsignedNumber("start bit", 8 * kMaxMessageBytes - 1));
    c.punct('|', "after the start bit");
    s.length = int(c.unsignedNumber("signal length", 64));
    c.punct('@', "after the signal length");
    QString order = c.word("byte order and sign");
    if (order.size() == 1 && !c.failed())
        order += c.word("sign");
    if (!c.failed()
        && (order.size() != 2 || !QStringLiteral("01").contains(order.at(0))
            || !QStringLiteral("+-").contains(order.at(1))))
        c.fail(QStringLiteral("\"%1\" is no byte order (@0 or @1) and sign (+ or -)").arg(order.left(40)));
    if (c.failed())
        return false;
    s.intel = order.at(0) == QLatin1Char('1');
    s.isSigned = order.at(1) == QLatin1Char('-');
    if (s.length == 0)
        c.fail(QStringLiteral("a signal of 0 bits"));
    return !c.failed();
}

void Parser::signal(int line, Cursor &c)
{
    if (m_current < 0) {
        skip(line, m_currentRefusal.isEmpty() ? QStringLiteral("signal outside any message") : m_currentRefusal);
        return;
    }
    Signal s;
    s.line = line;
    s.name = c.name("signal name");
    if (!c.peekPunct(':')) {
        const QString mux = c.word("multiplexer mark");
        if (mux == QLatin1String("M")) {
            s.mux = Mux::Switch;
        } else if (mux.size() > 1 && mux.at(0) == QLatin1Char('m')) {
            bool ok = false;
            s.muxValue = mux.mid(1).remove(QLatin1Char('M')).toInt(&ok);
            s.mux = Mux::Multiplexed;
            if (!ok || s.muxValue < 0)
                c.fail(QStringLiteral("\"%1\" is no multiplexer mark (M or m followed by a number)").arg(mux.left(40)));
        } else if (!c.failed()) {
            c.fail(QStringLiteral("\"%1\" is no multiplexer mark (M or m followed by a number)").arg(mux.left(40)));
        }
    }
    c.punct(':', "after the signal name");
    if (signalLayout(c, s)) {
        c.punct('(', "before the factor");
        s.factor = c.real("factor");
        c.punct(',', "between factor and offset");
        s.offset = c.real("offset");
        c.punct(')', "after the offset");
        c.punct('[', "before the minimum");
        s.minimum = c.real("minimum");
        c.punct('|', "between minimum and maximum");
        s.maximum = c.real("maximum");
        c.punct(']', "after the maximum");
        s.unit = c.string("unit");
        while (!c.failed() && !c.atEnd() && !c.peekPunct(';')) {
            if (c.peekPunct(','))
                c.punct(',', "");
            else
                s.receivers << c.name("receiver");
        }
        c.end();
    }
    Message &m = m_db.messages[m_current];
    if (!c.failed()) {
        const std::vector<int> bits = s.bits();
        if (bits.empty() || *std::max_element(bits.begin(), bits.end()) >= 8 * m.length)
            c.fail(
                QStringLiteral("signal %1 reaches past the %2 data bytes of %3").arg(s.name).arg(m.length).arg(m.name));
        if (m_signalIndex.at(m_current).contains(s.name))
            c.fail(QStringLiteral("a second signal %1 in %2").arg(s.name, m.name));
    }
    if (c.failed()) {
        skip(line, QStringLiteral("signal: %1").arg(c.error()));
        return;
    }
    m_signalIndex[m_current].insert(s.name, int(m.signalList.size()));
    m.signalList.append(s);
}

void Parser::comment(int line, Cursor &c)
{
    if (c.peek() && c.peek()->kind == Token::String) {
        c.string("comment");
        c.end();
        if (c.failed())
            skip(line, QStringLiteral("comment: %1").arg(c.error()));
        else
            m_db.ignored[QStringLiteral("CM_ (database)")]++;
        return;
    }
    const QString what = c.word("BU_, BO_, SG_ or EV_");
    Note n{Note::MessageComment, line, 0, {}, {}, {}, 0};
    if (what == QLatin1String("BO_") || what == QLatin1String("SG_")) {
        n.kind = what == QLatin1String("BO_") ? Note::MessageComment : Note::SignalComment;
        n.number = c.unsignedNumber("message number", 0xFFFFFFFFu);
        if (n.kind == Note::SignalComment)
            n.signal = c.name("signal name");
    } else if (what == QLatin1String("BU_") || what == QLatin1String("EV_")) {
        c.name("name");
    } else if (!c.failed()) {
        c.fail(QStringLiteral("\"%1\" is not BU_, BO_, SG_ or EV_").arg(what.left(40)));
    }
    n.text = c.string("comment");
    c.end();
    if (c.failed())
        skip(line, QStringLiteral("comment: %1").arg(c.error()));
    else if (what == QLatin1String("BU_") || what == QLatin1String("EV_"))
        m_db.ignored[QStringLiteral("CM_ ") + what]++;
    else
        m_notes.append(n);
}

void Parser::values(int line, Cursor &c)
{
    Note n{Note::Values, line, 0, {}, {}, {}, 0};
    const Token *t = c.peek();
    bool ok = false;
    if (t && t->kind == Token::Word)
        t->text.toULongLong(&ok);
    if (!ok) {
        // VAL_ of an environment variable: nothing KELDA reads.
        c.name("environment variable");
        if (c.failed())
            skip(line, QStringLiteral("value table: %1").arg(c.error()));
        else
            m_db.ignored[QStringLiteral("VAL_ (environment variable)")]++;
        return;
    }
    n.number = c.unsignedNumber("message number", 0xFFFFFFFFu);
    n.signal = c.name("signal name");
    while (!c.failed() && !c.atEnd() && !c.peekPunct(';')) {
        const qint64 v = c.integer("value");
        n.values.append({v, c.string("description")});
    }
    c.end();
    if (c.failed())
        skip(line, QStringLiteral("value table: %1").arg(c.error()));
    else
        m_notes.append(n);
}

void Parser::valueType(int line, Cursor &c)
{
    Note n{Note::ValueType, line, 0, {}, {}, {}, 0};
    n.number = c.unsignedNumber("message number", 0xFFFFFFFFu);
    n.signal = c.name("signal name");
    if (c.peekPunct(':'))
        c.punct(':', "");
    n.type = int(c.unsignedNumber("value type", 2));
    c.end();
    if (c.failed())
        skip(line, QStringLiteral("signal value type: %1").arg(c.error()));
    else
        m_notes.append(n);
}

void Parser::resolve()
{
    static const char *const what[] = {"message comment", "signal comment", "value table", "signal value type"};
    for (const Note &n : std::as_const(m_notes)) {
        const QLatin1String kind(what[n.kind]);
        const auto it = m_byNumber.constFind(n.number);
        if (it == m_byNumber.constEnd()) {
            const QString refused = m_refused.value(n.number);
            skip(n.line,
                 refused.isEmpty() ? QStringLiteral("%1: no message numbered %2").arg(kind).arg(n.number)
                                   : QStringLiteral("%1 of %2").arg(kind, refused));
            continue;
        }
        Message &m = m_db.messages[*it];
        if (n.kind == Note::MessageComment) {
            m.comment = n.text;
            continue;
        }
        const int index = m_signalIndex.at(*it).value(n.signal, -1);
        Signal *s = index < 0 ? nullptr : &m.signalList[index];
        if (!s) {
            skip(n.line, QStringLiteral("%1: %2 has no signal %3").arg(kind, m.name, n.signal));
            continue;
        }
        if (n.kind == Note::SignalComment)
            s->comment = n.text;
        else if (n.kind == Note::Values)
            s->values = n.values;
        else
            s->isFloat = n.type != 0;
    }
}

}  // namespace

std::vector<int> Signal::bits() const
{
    std::vector<int> out;
    if (length <= 0 || length > 64)
        return out;
    out.resize(size_t(length));
    constexpr int limit = 8 * kMaxMessageBytes;
    if (intel) {
        for (int j = 0; j < length; ++j)
            out[size_t(j)] = startBit + j;
        if (startBit + length > limit)
            out.clear();
        return out;
    }
    // Motorola: the start bit is the most significant; the next lower bit is
    // the one below it in the byte, then bit 7 of the following byte.
    int pos = startBit;
    for (int j = length - 1; j >= 0; --j) {
        if (pos < 0 || pos >= limit)
            return {};
        out[size_t(j)] = pos;
        pos = pos % 8 == 0 ? pos + 15 : pos - 1;
    }
    return out;
}

qint64 Signal::raw(const uint8_t *data, int bytes) const
{
    quint64 v = 0;
    const std::vector<int> b = bits();
    for (int j = int(b.size()) - 1; j >= 0; --j) {
        const int p = b[size_t(j)];
        const int bit = p / 8 < bytes ? (data[p / 8] >> (p % 8)) & 1 : 0;
        v = v << 1 | quint64(bit);
    }
    if (isSigned && length < 64 && (v >> (length - 1)) & 1)
        v |= ~quint64(0) << length;
    return qint64(v);
}

bool Signal::place(uint8_t *data, int bytes, qint64 value) const
{
    const std::vector<int> b = bits();
    if (b.empty() || std::any_of(b.begin(), b.end(), [bytes](int p) { return p / 8 >= bytes; }))
        return false;
    for (size_t j = 0; j < b.size(); ++j) {
        const int p = b[j];
        const auto mask = uint8_t(1u << (p % 8));
        data[p / 8] = (quint64(value) >> j) & 1 ? uint8_t(data[p / 8] | mask) : uint8_t(data[p / 8] & ~mask);
    }
    return true;
}

bool Signal::rawOf(double physical, qint64 *out, QString *why) const
{
    if (isFloat || factor == 0 || length <= 0 || length > 63) {
        *why = QStringLiteral("%1 is not an integer signal of 1 to 63 bits with a factor").arg(name);
        return false;
    }
    const double r = std::nearbyint((physical - offset) / factor);
    if (!std::isfinite(r) || r < double(rawMin()) || r > double(rawMax())) {
        double lo = double(rawMin()) * factor + offset;
        double hi = double(rawMax()) * factor + offset;
        if (lo > hi)
            std::swap(lo, hi);
        *why = QStringLiteral("%1 %2 is outside %3: its %4 raw bits carry %5 to %6%7")
                   .arg(QString::number(physical, 'g', 15), unit, name)
                   .arg(length)
                   .arg(QString::number(lo, 'g', 15), QString::number(hi, 'g', 15),
                        unit.isEmpty() ? QString() : QLatin1Char(' ') + unit)
                   .simplified();
        return false;
    }
    *out = qint64(r);
    return true;
}

qint64 Signal::rawMin() const
{
    return isSigned ? -(qint64(1) << (std::min(length, 63) - 1)) : 0;
}

qint64 Signal::rawMax() const
{
    const int n = std::min(length, 63);
    return isSigned ? (qint64(1) << (n - 1)) - 1 : (qint64(1) << n) - 1;
}

int Database::signalCount() const
{
    int n = 0;
    for (const Message &m : messages)
        n += int(m.signalList.size());
    return n;
}

Database parse(const QByteArray &bytes)
{
    QByteArray b = bytes;
    if (b.startsWith("\xEF\xBB\xBF"))
        b.remove(0, 3);
    // UTF-8 where the file is valid UTF-8, else the Windows Latin-1 most tools write.
    QStringDecoder utf8(QStringDecoder::Utf8, QStringConverter::Flag::Stateless);
    QString text = utf8.decode(b);
    if (utf8.hasError())
        text = QString::fromLatin1(b);
    return Parser().run(text);
}

bool readFile(const QString &path, Database *db, QString *reason)
{
    QByteArray bytes;
    if (!fileio::readInput(path, kMaxFileBytes, &bytes, reason))
        return false;
    *db = parse(bytes);
    return true;
}

QString idText(uint32_t id, bool extended)
{
    return QStringLiteral("0x") + QString::number(id, 16).toUpper().rightJustified(extended ? 8 : 3, QLatin1Char('0'))
        + (extended ? QStringLiteral("x") : QString());
}

}  // namespace kelda::dbc
