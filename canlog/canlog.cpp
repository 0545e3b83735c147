#include "canlog.h"

#include <QFileInfo>
#include <QIODevice>

#include <sys/stat.h>

#include <cstdio>

#include <cmath>
#include <cstdlib>

namespace kelda::canlog {

namespace {

using sv = std::string_view;
constexpr qsizetype kMaxLine = 65536;
constexpr int kMaxTokens = 96;  // a CAN FD line: 64 data bytes and its fields

struct Tokens {
    std::array<sv, kMaxTokens> t;
    int n = 0;
    bool overflow = false;
    const sv &operator[](int i) const { return t[i]; }
};

bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

Tokens split(sv line, char extraSeparator = ' ')
{
    Tokens out;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (isSpace(line[i]) || line[i] == extraSeparator))
            ++i;
        const size_t start = i;
        while (i < line.size() && !isSpace(line[i]) && line[i] != extraSeparator)
            ++i;
        if (i > start) {
            if (out.n == kMaxTokens) {
                out.overflow = true;
                return out;
            }
            out.t[out.n++] = line.substr(start, i - start);
        }
    }
    return out;
}

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool parseHex(sv s, uint32_t &out)
{
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X'))
        s.remove_prefix(2);
    if (s.empty() || s.size() > 8)
        return false;
    uint32_t v = 0;
    for (const char c : s) {
        const int d = hexDigit(c);
        if (d < 0)
            return false;
        v = v << 4 | uint32_t(d);
    }
    out = v;
    return true;
}

bool parseDec(sv s, uint32_t &out)
{
    if (s.empty() || s.size() > 9)
        return false;
    uint32_t v = 0;
    for (const char c : s) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + uint32_t(c - '0');
    }
    out = v;
    return true;
}

// A decimal number of units (seconds: 9 digits to ns, ms: 6) as exact ns.
bool parseTime(sv s, int unitDigits, qint64 &ns)
{
    if (s.find_first_of("eE") != sv::npos) {  // a float's repr may use an exponent
        char *end = nullptr;
        const std::string text(s);
        const double v = std::strtod(text.c_str(), &end);
        if (end != text.c_str() + text.size() || !std::isfinite(v) || std::fabs(v) > 9e9)
            return false;
        ns = std::llround(v * std::pow(10.0, unitDigits));
        return true;
    }
    const bool negative = !s.empty() && s[0] == '-';
    if (negative)
        s.remove_prefix(1);
    const size_t dot = s.find('.');
    const sv whole = s.substr(0, dot);
    const sv frac = dot == sv::npos ? sv() : s.substr(dot + 1);
    if ((whole.empty() && frac.empty()) || whole.size() > 12)
        return false;
    qint64 v = 0;
    // A time beyond what nanoseconds in 64 bits hold is not a time.
    const auto digit = [&v](char c) {
        return c >= '0' && c <= '9' && !__builtin_mul_overflow(v, 10, &v) && !__builtin_add_overflow(v, c - '0', &v);
    };
    for (const char c : whole)
        if (!digit(c))
            return false;
    for (int i = 0; i < unitDigits; ++i)
        if (!digit(i < int(frac.size()) ? frac[i] : '0'))
            return false;
    for (size_t i = size_t(unitDigits); i < frac.size(); ++i) {
        if (frac[i] < '0' || frac[i] > '9')
            return false;
    }
    ns = negative ? -v : v;
    return true;
}

int fdLength(uint32_t dlc)
{
    static constexpr int lengths[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 12, 16, 20, 24, 32, 48, 64};
    return dlc < 16 ? lengths[dlc] : -1;
}

// Data bytes as separate tokens t[from..from+count): two hex digits, or a
// decimal number up to 255 in an ASC log whose base line says dec.
bool hexBytes(const Tokens &t, int from, int count, Frame &f, QString &why, bool decimal = false)
{
    if (from + count > t.n) {
        why = QStringLiteral("%1 data bytes announced, %2 present").arg(count).arg(std::max(0, t.n - from));
        return false;
    }
    for (int i = 0; i < count; ++i) {
        uint32_t b = 0;
        const sv token = t[from + i];
        if (decimal ? token.size() > 3 || !parseDec(token, b) || b > 255 : token.size() > 2 || !parseHex(token, b)) {
            why = QStringLiteral("data byte \"%1\" is not %2")
                      .arg(QString::fromLatin1(token.data(), qsizetype(token.size())),
                           decimal ? QStringLiteral("a decimal number up to 255 (the log's base is dec)")
                                   : QStringLiteral("hexadecimal"));
            return false;
        }
        f.data[i] = uint8_t(b);
    }
    f.length = uint8_t(count);
    return true;
}

QString quoted(sv s)
{
    return QLatin1Char('"') + QString::fromLatin1(s.data(), qsizetype(s.size())) + QLatin1Char('"');
}

// The channel as a shared copy of the last one when it did not change, so a
// log on one bus allocates no name per frame.
QByteArray channelName(sv s)
{
    thread_local QByteArray last;
    if (sv(last.constData(), size_t(last.size())) != s)
        last = QByteArray(s.data(), qsizetype(s.size()));
    return last;
}

bool startsWith(sv s, sv prefix)
{
    return s.substr(0, prefix.size()) == prefix;
}

}  // namespace

QString formatName(Format f)
{
    switch (f) {
    case Format::Candump:
        return QStringLiteral("candump");
    case Format::Asc:
        return QStringLiteral("ASC");
    case Format::Trc:
        return QStringLiteral("TRC");
    case Format::Csv:
        return QStringLiteral("CSV");
    case Format::Unknown:
        break;
    }
    return QStringLiteral("unknown");
}

QString Problem::text() const
{
    return QStringLiteral("%1:%2: %3").arg(file).arg(line).arg(reason);
}

Format detectFormat(const QString &fileName, const QByteArray &head)
{
    const QString suffix = QFileInfo(fileName).suffix().toLower();
    if (suffix == QLatin1String("log"))
        return Format::Candump;
    if (suffix == QLatin1String("asc"))
        return Format::Asc;
    if (suffix == QLatin1String("trc"))
        return Format::Trc;
    if (suffix == QLatin1String("csv"))
        return Format::Csv;
    const QByteArray t = head.trimmed();
    if (t.startsWith('('))
        return Format::Candump;
    if (t.startsWith(';'))
        return Format::Trc;
    if (t.startsWith("timestamp,"))
        return Format::Csv;
    if (t.startsWith("date ") || head.contains("base hex") || head.contains("base dec")
        || head.contains("Begin Triggerblock"))
        return Format::Asc;
    return Format::Unknown;
}

namespace {

using Line = Reader::Line;
constexpr uint32_t kErrorFlag = 0x20000000;  // candump's error-frame bit in the identifier

// "id#data", "id#R[len]", "id##<flags><data>"; data may carry '.' between bytes.
Line candumpFrame(sv s, Frame &f, QString &why)
{
    const size_t hash = s.find('#');
    if (hash == sv::npos) {
        why = QStringLiteral("frame %1 has no '#'").arg(quoted(s));
        return Line::Bad;
    }
    const sv id = s.substr(0, hash);
    uint32_t v = 0;
    if ((id.size() != 3 && id.size() != 8) || !parseHex(id, v)) {
        why = QStringLiteral("identifier %1 is not 3 or 8 hexadecimal digits").arg(quoted(id));
        return Line::Bad;
    }
    if (id.size() == 8 && (v & kErrorFlag))
        return Line::ErrorFrame;
    f.extended = id.size() == 8;
    f.id = v & (f.extended ? 0x1FFFFFFFu : 0x7FFu);
    if (!f.extended && v > 0x7FF) {
        why = QStringLiteral("standard identifier %1 is above 7FF").arg(quoted(id));
        return Line::Bad;
    }
    sv rest = s.substr(hash + 1);
    int maxBytes = 8;
    if (!rest.empty() && rest[0] == '#') {
        f.fd = true;
        maxBytes = 64;
        if (rest.size() < 2 || hexDigit(rest[1]) < 0) {
            why = QStringLiteral("CAN FD frame %1 has no flags digit").arg(quoted(s));
            return Line::Bad;
        }
        rest.remove_prefix(2);
    } else if (!rest.empty() && (rest[0] == 'R' || rest[0] == 'r')) {
        f.remote = true;
        f.length = 0;
        if (rest.size() >= 2 && rest[1] >= '0' && rest[1] <= '8')
            f.length = uint8_t(rest[1] - '0');
        return Line::Frame;
    }
    const size_t dlc = rest.find('_');  // "_D": a raw DLC above 8, after 8 bytes
    if (dlc != sv::npos && !f.fd)
        rest = rest.substr(0, dlc);
    int n = 0;
    for (size_t i = 0; i < rest.size();) {
        if (rest[i] == '.') {
            ++i;
            continue;
        }
        const int hi = hexDigit(rest[i]);
        const int lo = i + 1 < rest.size() ? hexDigit(rest[i + 1]) : -1;
        if (hi < 0 || lo < 0) {
            why = QStringLiteral("data %1 is not pairs of hexadecimal digits").arg(quoted(rest));
            return Line::Bad;
        }
        if (n == maxBytes) {
            why = QStringLiteral("more than %1 data bytes").arg(maxBytes);
            return Line::Bad;
        }
        f.data[n++] = uint8_t(hi << 4 | lo);
        i += 2;
    }
    if (f.fd && n > 8 && n != 12 && n != 16 && n != 20 && n != 24 && n != 32 && n != 48 && n != 64) {
        why = QStringLiteral("%1 data bytes is no CAN FD length").arg(n);
        return Line::Bad;
    }
    f.length = uint8_t(n);
    return Line::Frame;
}

Line parseCandump(sv line, Frame &f, QString &why)
{
    const Tokens t = split(line);
    if (t.n == 0)
        return Line::Other;
    if (t.n < 3 || t.n > 4 || t[0].size() < 3 || t[0].front() != '(' || t[0].back() != ')') {
        why = QStringLiteral("expected \"(seconds) interface id#data\"");
        return Line::Bad;
    }
    if (!parseTime(t[0].substr(1, t[0].size() - 2), 9, f.timeNs)) {
        why = QStringLiteral("time %1 is not a number of seconds").arg(quoted(t[0]));
        return Line::Bad;
    }
    if (t.n == 4 && t[3] != "R" && t[3] != "T") {
        why = QStringLiteral("%1 after the frame is not a direction (R or T)").arg(quoted(t[3]));
        return Line::Bad;
    }
    f.channel = channelName(t[1]);
    return candumpFrame(t[2], f, why);
}

}  // namespace

Reader::Reader(const QString &fileName) : m_fileName(fileName), m_file(fileName)
{
    if (fileName == QLatin1String("-"))
        m_fileName = QStringLiteral("standard input");
}

bool Reader::open(QString *reason)
{
    // A file, a pipe (a log unpacked on the fly) or standard input ("-"); a
    // device would never end.
    const bool standardInput = m_file.fileName() == QLatin1String("-");
    struct stat st;
    if (!standardInput && ::stat(QFile::encodeName(m_file.fileName()).constData(), &st) == 0 && !S_ISREG(st.st_mode)
        && !S_ISFIFO(st.st_mode)) {
        if (reason)
            *reason = QStringLiteral("not a regular file or a pipe");
        return false;
    }
    if (!(standardInput ? m_file.open(stdin, QIODevice::ReadOnly) : m_file.open(QIODevice::ReadOnly))) {
        if (reason)
            *reason = m_file.errorString();
        return false;
    }
    // A pipe gives what its writer has written so far: wait for a whole
    // first line (or the end) before the content decides the format.
    QByteArray head = m_file.peek(4096);
    while (m_file.isSequential() && head.size() < 4096 && !head.contains('\n')) {
        const QByteArray more = m_file.peek(4096);
        if (more.size() == head.size())
            break;
        head = more;
    }
    // A UTF-8 byte order mark (editors on other systems write one) is not
    // part of the first line.
    if (head.startsWith("\xEF\xBB\xBF")) {
        m_file.skip(3);
        head.remove(0, 3);
    }
    m_format = detectFormat(m_fileName, head);
    m_line.resize(kMaxLine);
    if (m_format == Format::Unknown) {
        if (reason)
            *reason = QStringLiteral("not a CAN log this program reads (candump -l, ASC, TRC or CSV)");
        m_file.close();
        return false;
    }
    return true;
}

void Reader::problem(const QString &why)
{
    Problem p{m_fileName, m_counts.lines, why};
    ++m_counts.problems;
    if (onProblem)
        onProblem(p);
    if (m_problems.size() < size_t(kKeptProblems))
        m_problems.push_back(std::move(p));
}

bool Reader::next(Frame &frame)
{
    while (m_file.isOpen()) {
        const qint64 n = m_file.readLine(m_line.data(), kMaxLine);
        if (n <= 0)
            return false;
        ++m_counts.lines;
        if (n == kMaxLine - 1 && m_line[n - 1] != '\n') {
            qint64 more = n;
            while (more == kMaxLine - 1 && m_line[more - 1] != '\n')
                more = m_file.readLine(m_line.data(), kMaxLine);
            problem(QStringLiteral("line longer than %1 bytes").arg(kMaxLine));
            continue;
        }
        Frame f;
        QString why;
        switch (parse(sv(m_line.constData(), size_t(n)), f, why)) {
        case Line::Frame:
            ++m_counts.frames;
            m_counts.extended += f.extended;
            m_counts.remote += f.remote;
            m_counts.fd += f.fd;
            frame = std::move(f);
            return true;
        case Line::ErrorFrame:
            ++m_counts.errorFrames;
            break;
        case Line::Bad:
            problem(why);
            break;
        case Line::Other:
            break;
        }
    }
    return false;
}

Reader::Line Reader::parse(sv line, Frame &f, QString &why)
{
    while (!line.empty() && isSpace(line.back()))
        line.remove_suffix(1);
    switch (m_format) {
    case Format::Candump:
        return parseCandump(line, f, why);
    case Format::Asc:
        return parseAsc(line, f, why);
    case Format::Trc:
        return parseTrc(line, f, why);
    case Format::Csv:
        return parseCsv(line, f, why);
    case Format::Unknown:
        break;
    }
    return Line::Other;
}

Reader::Line Reader::parseAsc(sv line, Frame &f, QString &why)
{
    const Tokens t = split(line);
    if (t.n == 0 || startsWith(t[0], "//"))
        return Line::Other;
    if (t[0] == "base") {  // "base hex|dec  timestamps absolute|relative"
        m_ascDecimal = t.n > 1 && t[1] == "dec";
        m_ascRelative = t.n > 3 && t[3] == "relative";
        return Line::Other;
    }
    static constexpr sv headerWords[] = {"date", "internal", "no", "Begin", "End"};
    for (const sv w : headerWords) {
        if (t[0] == w)
            return Line::Other;
    }
    qint64 time = 0;
    if (t.overflow || !parseTime(t[0], 9, time)) {
        why = t.overflow ? QStringLiteral("too many fields") : QStringLiteral("%1 is not a time").arg(quoted(t[0]));
        return Line::Bad;
    }
    if (m_ascRelative)
        time += m_ascLast;
    m_ascLast = time;
    f.timeNs = time;
    if (t.n < 3)
        return t.n == 2 && t[1] == "Start" ? Line::Other : (why = QStringLiteral("too few fields"), Line::Bad);
    for (int i = 1; i < t.n && i < 5; ++i) {
        if (t[i] == "ErrorFrame")
            return Line::ErrorFrame;
    }
    const bool fdLine = t[1] == "CANFD";
    const int at = fdLine ? 2 : 1;  // channel
    f.channel = channelName(t[at]);
    uint32_t channelNumber = 0;
    if (!parseDec(t[at], channelNumber))
        return Line::Other;  // "Start of measurement", statistics and other events
    sv id = t[fdLine ? 4 : 2];
    if (fdLine && t.n < 5) {
        why = QStringLiteral("too few fields");
        return Line::Bad;
    }
    f.extended = !id.empty() && (id.back() == 'x' || id.back() == 'X');
    if (f.extended)
        id.remove_suffix(1);
    uint32_t v = 0;
    const bool idOk = m_ascDecimal ? parseDec(id, v) : parseHex(id, v);
    if (!idOk || v > (f.extended ? 0x1FFFFFFFu : 0x7FFu)) {
        if (!fdLine && (id.back() == ':' || (id.size() > 1 && !idOk && hexDigit(id[0]) < 0)))
            return Line::Other;  // an event such as "Statistic:" or "SV:"
        why = QStringLiteral("identifier %1 cannot be read").arg(quoted(t[fdLine ? 4 : 2]));
        return Line::Bad;
    }
    f.id = v;
    if (fdLine) {
        // CANFD ch dir id [symbol] brs esi dlc length data...
        for (int i = 5; i <= 6 && i + 3 < t.n + 1; ++i) {
            uint32_t dlc = 0;
            uint32_t len = 0;
            if ((t[i] == "0" || t[i] == "1") && i + 1 < t.n && (t[i + 1] == "0" || t[i + 1] == "1") && i + 3 < t.n
                && t[i + 2].size() == 1 && parseHex(t[i + 2], dlc) && parseDec(t[i + 3], len)
                && int(len) == fdLength(dlc)) {
                f.fd = true;
                return hexBytes(t, i + 4, int(len), f, why, m_ascDecimal) ? Line::Frame : Line::Bad;
            }
        }
        why = QStringLiteral("CAN FD line without brs, esi, DLC and length");
        return Line::Bad;
    }
    if (t.n < 5 || (t[4] != "d" && t[4] != "r")) {
        why = QStringLiteral("expected a direction and 'd' or 'r' after the identifier");
        return Line::Bad;
    }
    uint32_t dlc = 0;
    const bool hasDlc = t.n > 5 && t[5].size() == 1 && parseHex(t[5], dlc);
    if (t[4] == "r") {
        f.remote = true;
        f.length = uint8_t(hasDlc ? std::min<uint32_t>(dlc, 8) : 0);
        return Line::Frame;
    }
    if (!hasDlc) {
        why = QStringLiteral("the data length is missing or not one hexadecimal digit");
        return Line::Bad;
    }
    return hexBytes(t, 6, int(std::min<uint32_t>(dlc, 8)), f, why, m_ascDecimal) ? Line::Frame : Line::Bad;
}

namespace {

// One TRC 2.x message by its columns; N O T B I d R L l D as the header names them.
Line trcColumns(const Tokens &t, const QByteArray &columns, Frame &f, QString &why)
{
    int i = 0;
    sv type = "DT";
    int dlc = -1;
    int len = -1;
    sv id;
    for (const char c : columns) {
        if (c == 'D')
            break;
        if (i >= t.n) {
            why = QStringLiteral("too few fields for the columns %1").arg(QString::fromLatin1(columns));
            return Line::Bad;
        }
        const sv v = t[i++];
        uint32_t n = 0;
        switch (c) {
        case 'O':
            if (!parseTime(v, 6, f.timeNs)) {
                why = QStringLiteral("time offset %1 is not a number of milliseconds").arg(quoted(v));
                return Line::Bad;
            }
            break;
        case 'T':
            type = v;
            break;
        case 'B':
            f.channel = channelName(v);
            break;
        case 'I':
            id = v;
            break;
        case 'L':
        case 'l':
            if (!parseDec(v, n) || n > 64) {
                why = QStringLiteral("length %1 cannot be read").arg(quoted(v));
                return Line::Bad;
            }
            (c == 'L' ? dlc : len) = int(n);
            break;
        default:  // N, d (direction), R (reserved)
            break;
        }
    }
    if (type == "ER")
        return Line::ErrorFrame;
    if (type == "ST" || type == "EC" || type == "EV")
        return Line::Other;
    f.fd = type == "FD" || type == "FB" || type == "FE" || type == "BI";
    f.remote = type == "RR";
    if (!f.fd && !f.remote && type != "DT") {
        why = QStringLiteral("message type %1 is unknown").arg(quoted(type));
        return Line::Bad;
    }
    uint32_t v = 0;
    if (id.empty() || !parseHex(id, v) || (id.size() <= 4 && v > 0x7FF) || v > 0x1FFFFFFF) {
        why = QStringLiteral("identifier %1 cannot be read").arg(quoted(id));
        return Line::Bad;
    }
    f.id = v;
    f.extended = id.size() > 4;
    if (len < 0)
        len = dlc < 0 ? -1 : (f.fd ? fdLength(uint32_t(dlc)) : std::min(dlc, 8));
    if (len < 0 || len > 64 || (!f.fd && len > 8)) {
        why = QStringLiteral("no data length");
        return Line::Bad;
    }
    if (f.remote) {
        f.length = uint8_t(len);
        return Line::Frame;
    }
    return hexBytes(t, i, len, f, why) ? Line::Frame : Line::Bad;
}

Line trc1(const Tokens &t, int version, Frame &f, QString &why);

}  // namespace

Reader::Line Reader::parseTrc(sv line, Frame &f, QString &why)
{
    while (!line.empty() && isSpace(line.front()))
        line.remove_prefix(1);
    if (line.empty())
        return Line::Other;
    if (line[0] == ';') {
        const QByteArray h = QByteArray(line.data(), qsizetype(line.size())).trimmed();
        if (h.startsWith(";$FILEVERSION=")) {
            const QByteArray v = h.mid(14);
            static const QByteArray known[] = {"1.0", "1.1", "1.2", "1.3", "2.0", "2.1"};
            if (std::find(std::begin(known), std::end(known), v) == std::end(known)) {
                why = QStringLiteral("TRC version %1 is not read").arg(QString::fromLatin1(v));
                return Line::Bad;
            }
            m_trcVersion = (v[0] - '0') * 10 + (v[2] - '0');
            if (m_trcColumns.isEmpty() && m_trcVersion >= 20)
                m_trcColumns = m_trcVersion == 20 ? "NOTIdlD" : "NOTBIdRLD";
        } else if (h.startsWith(";$COLUMNS=")) {
            m_trcColumns = h.mid(10).replace(',', "");
        } else if (h.startsWith(";$STARTTIME=")) {
            // Days since 30 December 1899; 25569 of them to 1 January 1970.
            bool ok = false;
            const double days = h.mid(12).toDouble(&ok);
            if (ok && days > 25569 && days < 100000)
                m_trcStartNs = std::llround((days - 25569) * 86400.0 * 1e6) * 1000;
        }
        return Line::Other;
    }
    const Tokens t = split(line);
    if (t.overflow) {
        why = QStringLiteral("too many fields");
        return Line::Bad;
    }
    Line r;
    if (m_trcVersion >= 20) {
        r = trcColumns(t, m_trcColumns, f, why);
    } else {
        r = trc1(t, m_trcVersion, f, why);
    }
    f.timeNs += m_trcStartNs;
    return r;
}

namespace {

// 1.x: "N) ms [bus] [dir] id [-] dlc data|RTR", by version.
Line trc1(const Tokens &t, int version, Frame &f, QString &why)
{
    if (t.n < 4 || t[0].back() != ')') {
        why = QStringLiteral("expected \"N) milliseconds ... identifier length data\"");
        return Line::Bad;
    }
    if (!parseTime(t[1], 6, f.timeNs)) {
        why = QStringLiteral("time offset %1 is not a number of milliseconds").arg(quoted(t[1]));
        return Line::Bad;
    }
    int i = 2;
    if (version >= 12)
        f.channel = channelName(t[i]), ++i;
    const bool hasDirection = version >= 11 || t[i] == "Rx" || t[i] == "Tx";
    if (hasDirection && i < t.n) {
        const sv dir = t[i++];
        if (dir == "Error")
            return Line::ErrorFrame;
        if (dir == "Warng")
            return Line::Other;
        if (dir != "Rx" && dir != "Tx") {
            why = QStringLiteral("direction %1 is not Rx, Tx, Warng or Error").arg(quoted(dir));
            return Line::Bad;
        }
    }
    if (i >= t.n) {
        why = QStringLiteral("too few fields");
        return Line::Bad;
    }
    const sv id = t[i++];
    uint32_t v = 0;
    if (!parseHex(id, v) || (id.size() <= 4 && v > 0x7FF) || v > 0x1FFFFFFF) {
        why = QStringLiteral("identifier %1 cannot be read").arg(quoted(id));
        return Line::Bad;
    }
    f.id = v;
    f.extended = id.size() > 4;
    if (version >= 13 && i < t.n && t[i] == "-")
        ++i;
    uint32_t dlc = 0;
    if (i >= t.n || !parseDec(t[i], dlc) || dlc > 8) {
        why = QStringLiteral("the data length is missing or above 8");
        return Line::Bad;
    }
    ++i;
    if (i < t.n && t[i] == "RTR") {
        f.remote = true;
        f.length = uint8_t(dlc);
        return Line::Frame;
    }
    return hexBytes(t, i, int(dlc), f, why) ? Line::Frame : Line::Bad;
}

}  // namespace

Reader::Line Reader::parseCsv(sv line, Frame &f, QString &why)
{
    if (line.empty())
        return Line::Other;
    if (!m_csvHeaderSeen && startsWith(line, "timestamp,")) {
        m_csvHeaderSeen = true;
        return Line::Other;
    }
    // timestamp,arbitration_id,extended,remote,error,dlc,data(base64)
    const Tokens t = split(line, ',');
    const bool emptyData = t.n == 6 && line.back() == ',';
    if (t.n != 7 && !emptyData) {
        why = QStringLiteral("expected 7 fields: timestamp,arbitration_id,extended,remote,error,dlc,data");
        return Line::Bad;
    }
    if (!parseTime(t[0], 9, f.timeNs)) {
        why = QStringLiteral("timestamp %1 is not a number of seconds").arg(quoted(t[0]));
        return Line::Bad;
    }
    const auto flag = [](sv s) { return s == "1" ? 1 : s == "0" ? 0 : -1; };
    const int ext = flag(t[2]);
    const int rtr = flag(t[3]);
    const int err = flag(t[4]);
    if (ext < 0 || rtr < 0 || err < 0) {
        why = QStringLiteral("the extended, remote and error fields must be 0 or 1");
        return Line::Bad;
    }
    if (err)
        return Line::ErrorFrame;
    uint32_t id = 0;
    uint32_t dlc = 0;
    if (!parseHex(t[1], id) || id > (ext ? 0x1FFFFFFFu : 0x7FFu)) {
        why = QStringLiteral("arbitration_id %1 cannot be read").arg(quoted(t[1]));
        return Line::Bad;
    }
    if (!parseDec(t[5], dlc) || dlc > 64) {
        why = QStringLiteral("dlc %1 cannot be read").arg(quoted(t[5]));
        return Line::Bad;
    }
    f.id = id;
    f.extended = ext;
    f.remote = rtr;
    const QByteArray data = emptyData ? QByteArray() : QByteArray(t[6].data(), qsizetype(t[6].size()));
    const auto decoded = QByteArray::fromBase64Encoding(data, QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || decoded.decoded.size() > 64) {
        why = QStringLiteral("data %1 is not base64 of at most 64 bytes").arg(quoted(t[6]));
        return Line::Bad;
    }
    if (f.remote) {
        f.length = uint8_t(std::min<uint32_t>(dlc, 8));
        return Line::Frame;
    }
    f.length = uint8_t(decoded.decoded.size());
    f.fd = f.length > 8;
    std::copy(decoded.decoded.begin(), decoded.decoded.end(), f.data.begin());
    return Line::Frame;
}

QByteArray CandumpWriter::line(const Frame &f)
{
    const qint64 us = f.timeNs >= 0 ? (f.timeNs + 500) / 1000 : (f.timeNs - 500) / 1000;
    QByteArray out;
    out.reserve(64 + 2 * f.length);
    out += '(';
    if (us < 0)
        out += '-';
    out += QByteArray::number(std::abs(us) / 1000000);
    out += '.';
    out += QByteArray::number(std::abs(us) % 1000000).rightJustified(6, '0');
    out += ") ";
    out += f.channel.isEmpty() ? QByteArray("can0") : f.channel;
    out += ' ';
    out += QByteArray::number(f.id, 16).toUpper().rightJustified(f.extended ? 8 : 3, '0');
    out += f.fd ? "##0" : "#";
    if (f.remote && !f.fd) {
        out += 'R';
        if (f.length > 0)
            out += char('0' + std::min<int>(f.length, 8));
    } else {
        static constexpr char hex[] = "0123456789ABCDEF";
        for (int i = 0; i < f.length; ++i) {
            out += hex[f.data[i] >> 4];
            out += hex[f.data[i] & 15];
        }
    }
    out += '\n';
    return out;
}

bool CandumpWriter::write(const Frame &f)
{
    const QByteArray l = line(f);
    return m_out->write(l) == l.size();
}

}  // namespace kelda::canlog
