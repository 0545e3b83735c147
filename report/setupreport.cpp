#include "setupreport.h"

#include <QAbstractTextDocumentLayout>
#include <QBuffer>
#include <QFileInfo>
#include <QGuiApplication>
#include <QPageLayout>
#include <QPageSize>
#include <QPainter>
#include <QPdfWriter>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextFrame>
#include <QTextTable>

#include <algorithm>
#include <utility>

#include "atomicfile.h"
#include "nametext.h"
#include "pmcolumns.h"

namespace kelda::report {

namespace {

// The keypad's keys as they sit on it: 5 rows of 5.
constexpr int kKeypadRows = 5;
constexpr int kKeypadColumns = 5;
static_assert(kKeypadRows * kKeypadColumns == kKeypadKeyCount);

// Printable on paper and on screen; QTextDocument reads the same rules. Cell
// borders only where the installer writes or cuts (class "grid"): over the
// thousands of cells of a large setup they triple the time QTextDocument takes
// to lay out and paint the PDF. Sections flow; none starts a page of its own.
const char kStyle[] = R"(
body { font-family: "DejaVu Sans", Arial, sans-serif; font-size: 9pt; color: #000; }
h1 { font-size: 18pt; margin-bottom: 4pt; }
h2 { font-size: 13pt; margin-top: 12pt; margin-bottom: 6pt; }
table.grid { border-collapse: collapse; }
table.grid td, table.grid th { border: 1px solid #000; white-space: normal; font-size: 8pt; }
td.key { text-align: center; vertical-align: middle; padding: 6px; }
span.keyno { font-size: 7pt; color: #444; }
h3 { font-size: 10pt; margin-top: 10pt; margin-bottom: 4pt; }
table { margin-bottom: 8pt; }
th, td { padding: 1px 8px 1px 2px; text-align: left; vertical-align: top; }
th { background-color: #e6e6e6; font-weight: bold; white-space: nowrap; }
td.num { text-align: right; white-space: nowrap; }
p.sentence { margin-top: 2pt; margin-bottom: 2pt; }
.error { color: #a00000; font-weight: bold; }
.warning { color: #8a5a00; font-weight: bold; }
@media print { a { color: #000; text-decoration: none; } }
)";

// Control characters are not allowed in HTML text: shown as \n, \xHH.
QString esc(const QString &s)
{
    return visibleName(s).toHtmlEscaped();
}

QString joined(const QStringList &items)
{
    return items.isEmpty() ? QStringLiteral("—") : items.join(QStringLiteral(", "));
}

QString amps(double a)
{
    return QStringLiteral("%1 A").arg(a, 0, 'f', 1);
}
QString seconds(double s)
{
    return QStringLiteral("%1 s").arg(s, 0, 'f', 3);
}
QString valueText(int v)
{
    return QStringLiteral("%1 (0x%2)").arg(v).arg(QString::number(v, 16).toUpper().rightJustified(4, QLatin1Char('0')));
}

// A table: header cells (none for a table of facts), then rows of cell
// texts, escaped here; the numeric columns align right.
class Table
{
public:
    static constexpr qsizetype kPartRows = 40;

    explicit Table(QStringList header, QList<int> numeric = {})
        : m_header(std::move(header)), m_numeric(std::move(numeric))
    { }
    // Cell borders, for a table filled in by hand.
    void setRuled() { m_grid = true; }
    // Empty columns after the others, ruled, for the installer to fill in.
    void addBlankColumns(const QStringList &names)
    {
        m_blank = names;
        m_grid = true;
    }
    void row(const QStringList &cells) { m_rows << cells; }
    bool isEmpty() const { return m_rows.isEmpty(); }
    // Long tables go out in parts of kPartRows rows, each with the header:
    // QTextDocument lays out a table as a whole at every page break, so one
    // table of hundreds of rows costs far more than its parts.
    QString html() const
    {
        QString out;
        for (qsizetype first = 0; first < m_rows.size() || first == 0; first += kPartRows) {
            out += m_grid ? QStringLiteral("<table class=\"grid\" border=\"1\" cellspacing=\"0\" cellpadding=\"3\" "
                                           "width=\"100%\">\n")
                          : QStringLiteral("<table border=\"0\" cellspacing=\"0\" cellpadding=\"3\">\n");
            if (!m_header.isEmpty()) {
                out += QStringLiteral("<thead><tr>");
                for (const QString &h : m_header)
                    out += QStringLiteral("<th>%1</th>").arg(esc(h));
                for (const QString &h : m_blank)  // room to write by hand
                    out += QStringLiteral("<th width=\"%1%\">%2</th>").arg(h.size() > 4 ? 10 : 6).arg(esc(h));
                out += QStringLiteral("</tr></thead>\n");
            }
            out += QStringLiteral("<tbody>\n");
            for (qsizetype r = first; r < qMin(first + kPartRows, m_rows.size()); ++r) {
                out += QStringLiteral("<tr>");
                const QStringList &cells = m_rows.at(r);
                for (int i = 0; i < cells.size(); ++i)
                    out += (m_numeric.contains(i) ? QStringLiteral("<td class=\"num\">%1</td>")
                                                  : QStringLiteral("<td>%1</td>"))
                               .arg(esc(cells.at(i)));
                for (qsizetype i = 0; i < m_blank.size(); ++i)
                    out += QStringLiteral("<td></td>");
                out += QStringLiteral("</tr>\n");
            }
            out += QStringLiteral("</tbody></table>\n");
            if (m_rows.isEmpty())
                break;
        }
        return out;
    }

private:
    QStringList m_header;
    QList<int> m_numeric;
    QList<QStringList> m_rows;
    QStringList m_blank;
    bool m_grid = false;
};

QString heading(const char *id, const QString &text)
{
    return QStringLiteral("<h2 id=\"%1\">%2</h2>\n").arg(QLatin1String(id), esc(text));
}

QString para(const QString &text, const QString &cls = QString())
{
    return cls.isEmpty() ? QStringLiteral("<p>%1</p>\n").arg(esc(text))
                         : QStringLiteral("<p class=\"%1\">%2</p>\n").arg(cls, esc(text));
}

QString plural(qsizetype n, const char *one, const char *many)
{
    return QStringLiteral("%1 %2").arg(n).arg(QLatin1String(n == 1 ? one : many));
}

// ------------------------------------------------------------------ cover

QString crcHex(uint32_t crc)
{
    return QStringLiteral("%1").arg(crc, 8, 16, QLatin1Char('0'));
}

// Setup file, date, vehicle, revision, author: what identifies this sheet.
QString revisionBlock(const SetupFacts &f, const QDateTime &date, const Revision &r)
{
    Table t({});
    t.setRuled();  // empty fields are filled in by hand
    t.row({QStringLiteral("Setup file"), f.fileName.isEmpty() ? QStringLiteral("(not saved)") : f.fileName});
    t.row({QStringLiteral("Date"), dateText(date)});
    t.row({QStringLiteral("Vehicle"), r.vehicle});
    t.row({QStringLiteral("Revision"), r.revision});
    t.row({QStringLiteral("Author"), r.author});
    return t.html();
}

// The raw image, and the calibration an upload makes of it: the module and
// kelda-cli verify know the setup by the calibration's CRC-32.
QString imageBlock(const SetupFacts &f)
{
    Table facts({});
    if (!f.compiled) {
        facts.row({QStringLiteral("Image"), QStringLiteral("cannot be compiled: %1").arg(f.imageError)});
        return facts.html();
    }
    facts.row({QStringLiteral("Image size"), QStringLiteral("%1 bytes").arg(f.imageSize)});
    facts.row({QStringLiteral("Image CRC-32"), crcHex(f.imageCrc)});
    const SetupFacts::Calibration &cal = f.calibration;
    if (cal.made) {
        facts.row({QStringLiteral("Calibration CRC-32"), crcHex(cal.crc)});
        facts.row({QStringLiteral("Calibration"),
                   QStringLiteral("%1 bytes as uploaded to an %2 module; its CRC-32 is the one the module "
                                  "reports and kelda-cli verify compares")
                       .arg(cal.length)
                       .arg(cal.rune)});
    } else {
        facts.row({QStringLiteral("Calibration CRC-32"),
                   QStringLiteral("not known: no RUNE file of the LX2 3x series is installed (%1)").arg(cal.detail)});
    }
    return facts.html();
}

QString cover(const SetupFacts &f, const QDateTime &date, const Revision &revision)
{
    QString out = QStringLiteral("<h1 id=\"cover\">Setup report</h1>\n");
    out += revisionBlock(f, date, revision);
    out += imageBlock(f);

    out += QStringLiteral("<h3>Items per table</h3>\n");
    Table counts({QStringLiteral("Table"), QStringLiteral("Items")}, {1});
    for (int m = 0; m < kModeCount; ++m)
        counts.row({QString::fromLatin1(modeSpec(m)->table), QString::number(f.counts[size_t(m)])});
    out += counts.html();

    const int errors = check::errorCount(f.findings);
    const qsizetype warnings = f.findings.size() - errors;
    out += QStringLiteral("<h3>Setup check</h3>\n");
    if (f.findings.isEmpty()) {
        out += para(QStringLiteral("No errors, no warnings."));
        return out;
    }
    out +=
        para(QStringLiteral("%1, %2.").arg(plural(errors, "error", "errors"), plural(warnings, "warning", "warnings")),
             errors ? QStringLiteral("error") : QStringLiteral("warning"));
    Table list({QStringLiteral("Severity"), QStringLiteral("Code"), QStringLiteral("Table"), QStringLiteral("Row"),
                QStringLiteral("Name"), QStringLiteral("Message")},
               {3});
    for (const check::Finding &x : f.findings)
        list.row({check::severityText(x.severity), x.code, x.table, x.row ? QString::number(x.row) : QString(), x.name,
                  x.message});
    out += list.html();
    return out;
}

// ------------------------------------------------------- channel schedule

QString channels(const SetupFacts &f)
{
    QString out = heading("channels", QStringLiteral("Channel schedule"));
    out += para(QStringLiteral("Every LX1 channel that an LX1 output switches, by module and channel. "
                               "Connector, pin, wire and fuse are for the installer to fill in."));
    Table t({QStringLiteral("Module"), QStringLiteral("Channel"), QStringLiteral("LX1 output"),
             QStringLiteral("Current limit"), QStringLiteral("Driven by states"), QStringLiteral("PWM source")},
            {1, 3});
    t.addBlankColumns(
        {QStringLiteral("Connector"), QStringLiteral("Pin"), QStringLiteral("Wire"), QStringLiteral("Fuse")});
    for (int m = 0; m < kLx1ModuleCount; ++m)
        for (int ch = 0; ch < kLx1ChannelCount; ++ch)
            for (const Lx1Output &o : f.lx1Outputs)
                if (o.masks[size_t(m)] & (1u << ch))
                    t.row({QStringLiteral("LX1-%1").arg(m + 1), QString::number(ch + 1), o.name, amps(o.amps),
                           joined(f.statesDriving(int(StateList::Lx1Outputs), o.row)), f.pwm[size_t(m)]});
    out += t.isEmpty() ? para(QStringLiteral("No LX1 output switches a channel.")) : t.html();

    Table pwm({QStringLiteral("Module"), QStringLiteral("PWM source (CAN input)")});
    for (int m = 0; m < kLx1ModuleCount; ++m)
        if (f.pwm[size_t(m)] != QLatin1String(kNoneText))
            pwm.row({QStringLiteral("LX1-%1").arg(m + 1), f.pwm[size_t(m)]});
    if (!pwm.isEmpty())
        out += QStringLiteral("<h3>PWM</h3>\n")
            + para(QStringLiteral("The CAN value 0 to 255 sets the duty cycle, 0 to 100 %.")) + pwm.html();
    return out;
}

// ---------------------------------------------------- keypad and switches

// The keypad as it is held: one ruled, labelled key per key, for printing
// and cutting out. Key 1 is at the top left, numbered along the rows.
QString keyGrid(const QStringList &keys)
{
    QString out = QStringLiteral("<table class=\"grid\" border=\"1\" cellspacing=\"0\" cellpadding=\"6\" "
                                 "width=\"100%\">\n");
    for (int r = 0; r < kKeypadRows; ++r) {
        out += QStringLiteral("<tr>");
        for (int c = 0; c < kKeypadColumns; ++c) {
            const int k = r * kKeypadColumns + c;
            out += QStringLiteral("<td class=\"key\" width=\"%1%\"><span class=\"keyno\">%2</span><br><b>%3</b><br>"
                                  "&nbsp;</td>")
                       .arg(100 / kKeypadColumns)
                       .arg(k + 1)
                       .arg(esc(keys.value(k)));
        }
        out += QStringLiteral("</tr>\n");
    }
    return out + QStringLiteral("</table>\n");
}

QString inputList(const SetupFacts &f, const char *id, const QString &title, const char *what, const QStringList &names,
                  ItemType type)
{
    QString out = heading(id, title);
    if (type == ItemType::KeypadKey)
        out += keyGrid(names) + QStringLiteral("<h3>Keys and the events that read them</h3>\n");
    Table t({QString::fromLatin1(what), QStringLiteral("Name"), QStringLiteral("Read by events (priority): condition")},
            {0});
    for (int i = 0; i < names.size(); ++i) {
        // A reference by this name reaches an item above (none: it has no name value).
        const int first = f.rowOf(type, names.at(i));
        t.row({QString::number(i + 1), names.at(i),
               first >= 0 && first != i ? QStringLiteral("— (name used above)") : joined(f.readersOf(type, i))});
    }
    return out + t.html();
}

// ----------------------------------------------------------- CAN matrix

QString canMatrix(const SetupFacts &f)
{
    QString out = heading("can", QStringLiteral("CAN matrix"));
    Table bus({});
    bus.row(
        {QStringLiteral("Bus speed"), QStringLiteral("%1 (%2 bit/s)").arg(canSpeedText(f)).arg(canSpeedBitRate(f))});
    const int rebroadcast = int(f.options[int(OptionIndex::RebroadcastId)]);
    bus.row({QStringLiteral("Rebroadcast start message"),
             QStringLiteral("%1 (%2)").arg(idText(rebroadcast)).arg(rebroadcast)});
    out += bus.html();

    auto sorted = [](QList<CanItem> items) {
        std::stable_sort(items.begin(), items.end(), [](const CanItem &a, const CanItem &b) { return a.id < b.id; });
        return items;
    };
    // A received identifier's byte order is that of its first CAN input.
    auto orderOf = [&](int id) {
        for (const CanItem &in : f.canInputs)
            if (in.id == id)
                return QLatin1String(kEndiannessTexts[in.littleEndian ? 1 : 0]);
        return QLatin1String(kEndiannessTexts[0]);
    };

    out += QStringLiteral("<h3>Received (CAN inputs)</h3>\n");
    Table rx({QStringLiteral("Identifier"), QStringLiteral("Decimal"), QStringLiteral("Byte order"),
              QStringLiteral("CAN input"), QStringLiteral("Channel"), QStringLiteral("Compare"),
              QStringLiteral("Value"), QStringLiteral("Read by")},
             {1, 6});
    for (const CanItem &in : sorted(f.canInputs)) {
        QStringList readers = in.usedBy;
        for (int m : f.pwmModulesOf(in.row))
            readers << QStringLiteral("PWM of LX1-%1").arg(m + 1);
        rx.row({idText(in.id), QString::number(in.id), orderOf(in.id), in.name, in.channel, in.compare,
                valueText(in.value), joined(readers)});
    }
    out += rx.isEmpty() ? para(QStringLiteral("The module listens to no CAN message.")) : rx.html();

    out += QStringLiteral("<h3>Sent (CAN outputs)</h3>\n");
    Table tx({QStringLiteral("Identifier"), QStringLiteral("Decimal"), QStringLiteral("Byte order"),
              QStringLiteral("CAN output"), QStringLiteral("Channel"), QStringLiteral("Value"),
              QStringLiteral("Sent while")},
             {1, 5});
    for (const CanItem &o : sorted(f.canOutputs))
        tx.row({idText(o.id), QString::number(o.id), QLatin1String(kEndiannessTexts[0]), o.name, o.channel,
                valueText(o.value), joined(o.usedBy)});
    out += tx.isEmpty() ? para(QStringLiteral("The module sends no CAN message.")) : tx.html();
    return out;
}

// ------------------------------------------------------------- the logic

QString subject(const SetupFacts &f, const EventInput &in)
{
    switch (in.type) {
    case ItemType::KeypadKey:
        return in.name;
    case ItemType::Switch:
        return QStringLiteral("switch ") + in.name;
    case ItemType::Timer:
        return QStringLiteral("timer ") + in.name;
    case ItemType::State:
        return QStringLiteral("state ") + in.name;
    case ItemType::CanInput: {
        const int row = in.row;
        if (row < 0 || row >= f.canInputs.size())
            return QStringLiteral("CAN input ") + in.name;
        const CanItem &c = f.canInputs.at(row);
        return QStringLiteral("CAN input %1 (%2 %3 %4 %5)")
            .arg(in.name, idText(c.id), c.channel, c.compare, QString::number(c.value));
    }
    default:
        return QStringLiteral("an input that names nothing");
    }
}

QString predicate(const EventInput &in)
{
    static const std::pair<const char *, const char *> kWords[] = {{"Pressed", "is pressed"},
                                                                   {"Short Press", "is short-pressed"},
                                                                   {"Long Press", "is long-pressed"},
                                                                   {"Double Press", "is double-pressed"},
                                                                   {"Running", "is running"},
                                                                   {"Stopped", "is stopped"},
                                                                   {"Set", "is set"},
                                                                   {"Cleared", "is clear"},
                                                                   {"High", "is high"},
                                                                   {"Low", "is low"}};
    if (in.type == ItemType::None)
        return QString();
    if (in.type == ItemType::CanInput)
        return QStringLiteral("matches");
    for (const auto &w : kWords)
        if (in.condition == QLatin1String(w.first))
            return QLatin1String(w.second);
    return QStringLiteral("is ") + in.condition;
}

QString clause(const SetupFacts &f, const EventInput &in)
{
    const QString p = predicate(in);
    return p.isEmpty() ? subject(f, in) : subject(f, in) + QLatin1Char(' ') + p;
}

QString actionNames(const QStringList &names)
{
    QStringList out;
    for (const QString &n : names)
        out << (n == QLatin1String("?") ? QStringLiteral("an entry that names nothing") : n);
    return out.join(QStringLiteral(", "));
}

QString stateCell(const QStringList &names)
{
    return names.isEmpty() ? QStringLiteral("—") : actionNames(names);
}

}  // namespace

QString eventSentence(const SetupFacts &f, const Event &e)
{
    // The module joins the inputs left to right: (a AND b) OR c.
    QString when;
    const QList<EventInput> &in = e.inputs;
    if (in.isEmpty() || (in.size() == 1 && in.first().type == ItemType::None))
        when = QStringLiteral("never (it reads no input)");
    else if (in.size() == 3 && in.at(0).join != in.at(1).join)
        when = QStringLiteral("(%1 %2 %3) %4 %5")
                   .arg(clause(f, in.at(0)), in.at(0).join.toLower(), clause(f, in.at(1)), in.at(1).join.toLower(),
                        clause(f, in.at(2)));
    else {
        for (int k = 0; k < in.size(); ++k) {
            if (k > 0)
                when += QLatin1Char(' ') + in.at(k - 1).join.toLower() + QLatin1Char(' ');
            when += clause(f, in.at(k));
        }
    }
    static const char *const kVerbs[kEventListCount] = {"set", "clear", "start", "stop"};
    QStringList actions;
    for (int list = 0; list < kEventListCount; ++list)
        if (!e.lists[size_t(list)].isEmpty())
            actions << QLatin1String(kVerbs[list]) + QLatin1Char(' ') + actionNames(e.lists[size_t(list)]);
    const QString what = actions.isEmpty() ? QStringLiteral("nothing") : actions.join(QStringLiteral(", "));
    return QStringLiteral("%1. %2 — when %3: %4.").arg(e.priority).arg(e.name, when, what);
}

QString dateText(const QDateTime &date)
{
    const int offset = date.offsetFromUtc();
    const QString zone = QStringLiteral("UTC%1%2:%3")
                             .arg(offset < 0 ? QLatin1Char('-') : QLatin1Char('+'))
                             .arg(qAbs(offset) / 3600, 2, 10, QLatin1Char('0'))
                             .arg(qAbs(offset) % 3600 / 60, 2, 10, QLatin1Char('0'));
    QString out = date.toString(QStringLiteral("yyyy-MM-dd HH:mm ")) + zone;
    const QString name = date.timeZoneAbbreviation();
    if (!name.isEmpty() && name != zone && name != QLatin1String("UTC") && !name.startsWith(QLatin1String("UTC")))
        out += QStringLiteral(" (%1)").arg(name);
    return out;
}

namespace {

// ------------------------------------------- logic, LEDs and options

QString logic(const SetupFacts &f)
{
    QString out = heading("logic", QStringLiteral("The logic in words"));
    out += QStringLiteral("<h3>Events, in priority order</h3>\n");
    if (f.events.isEmpty())
        out += para(QStringLiteral("The setup has no events."));
    for (const Event &e : f.events)
        out += para(eventSentence(f, e), QStringLiteral("sentence"));

    out += QStringLiteral("<h3>States</h3>\n");
    Table states({QStringLiteral("State"), QStringLiteral("LX2 LEDs"), QStringLiteral("LX1 outputs"),
                  QStringLiteral("CAN outputs"), QStringLiteral("Set by"), QStringLiteral("Cleared by")});
    for (int row = 0; row < f.states.size(); ++row) {
        const State &s = f.states.at(row);
        states.row({s.name, stateCell(s.lists[0]), stateCell(s.lists[1]), stateCell(s.lists[2]),
                    joined(f.eventsActing(int(EventList::StatesToSet), row)),
                    joined(f.eventsActing(int(EventList::StatesToClear), row))});
    }
    out += states.isEmpty() ? para(QStringLiteral("The setup has no states.")) : states.html();

    out += QStringLiteral("<h3>Timers</h3>\n");
    Table timers({QStringLiteral("Timer"), QStringLiteral("Run time"), QStringLiteral("Started by"),
                  QStringLiteral("Stopped by")},
                 {1});
    for (int row = 0; row < f.timers.size(); ++row) {
        const Timer &t = f.timers.at(row);
        timers.row({t.name, seconds(t.seconds), joined(f.eventsActing(int(EventList::TimersToStart), row)),
                    joined(f.eventsActing(int(EventList::TimersToStop), row))});
    }
    out += timers.isEmpty() ? para(QStringLiteral("The setup has no timers.")) : timers.html();
    return out;
}

QString leds(const SetupFacts &f)
{
    QString out = heading("leds", QStringLiteral("LX2 LEDs"));
    Table leds({QStringLiteral("LED"), QStringLiteral("Name"), QStringLiteral("Lit by states")}, {0});
    for (int i = 0; i < f.leds.size(); ++i)
        leds.row({QString::number(i + 1), f.leds.at(i), joined(f.statesDriving(int(StateList::Lx2Leds), i))});
    return out + leds.html();
}

QString options(const SetupFacts &f)
{
    QString out = heading("options", QStringLiteral("Options"));
    Table options({QStringLiteral("Option"), QStringLiteral("Value"), QStringLiteral("Unit")}, {1});
    for (int i = 0; i < kOptionCount; ++i) {
        // The options page's label; its "/s" goes to the unit column.
        const QString label = QString::fromLatin1(optionSpec(i)->label);
        const QString name = label.section(QLatin1Char('/'), 0, 0);
        const double value = f.options[size_t(i)];
        switch (optionSpec(i)->kind) {
        case OptionKind::Seconds:
            options.row({name, QString::number(value, 'f', 2), label.section(QLatin1Char('/'), 1)});
            break;
        case OptionKind::Count:
            options.row({name, QString::number(int(value)), QStringLiteral("retries")});
            break;
        case OptionKind::Choice:
            options.row({name, QStringLiteral("%1 (%2)").arg(canSpeedBitRate(f)).arg(canSpeedText(f)),
                         QStringLiteral("bit/s")});
            break;
        case OptionKind::Identifier:
            options.row({name, QStringLiteral("%1 (%2)").arg(idText(int(value))).arg(int(value)),
                         QStringLiteral("CAN identifier")});
            break;
        }
    }
    return out + options.html();
}

}  // namespace

QString reportHtml(const SetupFacts &f, const QDateTime &date, const Revision &revision)
{
    const QString title =
        QStringLiteral("Setup report: %1").arg(f.fileName.isEmpty() ? QStringLiteral("(not saved)") : f.fileName);
    QString out =
        QStringLiteral("<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n<title>%1</title>\n"
                       "<style>%2</style>\n</head>\n<body>\n")
            .arg(esc(title), QLatin1String(kStyle));
    out += cover(f, date, revision);
    out += channels(f);
    out += inputList(f, "keypad", QStringLiteral("Keypad legend"), "Key", f.keys, ItemType::KeypadKey);
    out += inputList(f, "switches", QStringLiteral("Switch list"), "Switch", f.switches, ItemType::Switch);
    out += canMatrix(f);
    out += logic(f);
    out += leds(f);
    out += options(f);
    out += QStringLiteral("</body>\n</html>\n");
    return out;
}

namespace {

// The heading right before a table, when there is one: it goes to the next
// page with its table.
QTextBlock headingBefore(QTextTable *table)
{
    // Skips the empty blocks the importer leaves around a frame.
    QTextBlock before = table->document()->findBlock(table->firstPosition() - 1);
    for (int step = 0; step < 3 && before.isValid(); ++step, before = before.previous())
        if (before.blockFormat().headingLevel() > 0)
            return before;
    return QTextBlock();
}

// Sections flow, so a page may end anywhere: a table that fits on half a
// page (the key grid, the revision block, short lists) starts a new page
// rather than being cut, and a heading never ends a page without its table.
// Only top-level tables; the document lays itself out again after each move.
void keepTablesTogether(QTextDocument &doc, qreal pageHeight)
{
    QAbstractTextDocumentLayout *layout = doc.documentLayout();
    const QList<QTextFrame *> frames = doc.rootFrame()->childFrames();
    for (QTextFrame *frame : frames) {
        auto *table = qobject_cast<QTextTable *>(frame);
        if (!table)
            continue;
        const QRectF rect = layout->frameBoundingRect(table);
        const QTextBlock heading = headingBefore(table);
        const int firstPage = int(rect.top() / pageHeight);
        const bool cut = rect.height() < pageHeight / 2 && int(rect.bottom() / pageHeight) > firstPage;
        const bool orphan = heading.isValid() && int(layout->blockBoundingRect(heading).top() / pageHeight) < firstPage;
        if (!cut && !orphan)
            continue;
        QTextCursor cursor(heading.isValid() ? heading : doc.findBlock(table->firstPosition()));
        QTextBlockFormat format = cursor.blockFormat();
        format.setPageBreakPolicy(QTextFormat::PageBreak_AlwaysBefore);
        if (heading.isValid()) {
            cursor.setBlockFormat(format);
        } else {
            QTextTableFormat tf = table->format();
            tf.setPageBreakPolicy(QTextFormat::PageBreak_AlwaysBefore);
            table->setFormat(tf);
        }
    }
}

}  // namespace

QByteArray reportPdf(const QString &html, const QString &title)
{
    if (!qobject_cast<QGuiApplication *>(QCoreApplication::instance()))
        return QByteArray();
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    {
        QPdfWriter writer(&buffer);
        writer.setTitle(title);
        writer.setCreator(QStringLiteral("KELDA"));
        writer.setPageLayout(QPageLayout(QPageSize(QPageSize::A4), QPageLayout::Portrait, QMarginsF(15, 15, 15, 12),
                                         QPageLayout::Millimeter));
        // Laid out once, on the writer itself: QTextDocument::print would lay
        // out the document for the screen and then a copy of it for the page.
        QTextDocument doc;
        doc.documentLayout()->setPaintDevice(&writer);
        const QFontMetricsF metrics(doc.defaultFont(), &writer);
        const qreal footer = metrics.height() * 2;  // the page number's strip
        const QSizeF page(writer.width(), writer.height() - footer);
        doc.setPageSize(page);
        doc.setHtml(html);
        keepTablesTogether(doc, page.height());
        const int pages = doc.pageCount();
        QPainter painter(&writer);
        for (int i = 0; i < pages; ++i) {
            if (i > 0)
                writer.newPage();
            painter.save();
            painter.translate(0, -i * page.height());
            doc.drawContents(&painter, QRectF(QPointF(0, i * page.height()), page));
            painter.restore();
            painter.setFont(doc.defaultFont());
            painter.drawText(
                QRectF(0, page.height(), page.width(), footer), Qt::AlignRight | Qt::AlignBottom,
                QStringLiteral("%1 — page %2 of %3").arg(title, QString::number(i + 1), QString::number(pages)));
        }
    }
    buffer.close();
    return bytes;
}

ReportFormat reportFormat(const QString &path)
{
    const QString ext = QFileInfo(path).suffix().toLower();
    if (ext == QLatin1String("pdf"))
        return ReportFormat::Pdf;
    if (ext == QLatin1String("html") || ext == QLatin1String("htm"))
        return ReportFormat::Html;
    return ReportFormat::Unknown;
}

bool writeReport(StoreSession session, const QString &setupFile, const QString &path, QString *error,
                 const QDateTime &date, const Revision &revision)
{
    auto fail = [&](const QString &why) {
        if (error)
            *error = why;
        return false;
    };
    const ReportFormat format = reportFormat(path);
    if (format == ReportFormat::Unknown)
        return fail(QStringLiteral("the file name must end in .pdf, .html or .htm"));
    if (!fileio::clashingInput(path, {setupFile}).isEmpty())
        return fail(QStringLiteral("that is the setup file itself"));
    const SetupFacts facts = collectFacts(session, setupFile);
    const QString html = reportHtml(facts, date, revision);
    QByteArray bytes;
    if (format == ReportFormat::Html) {
        bytes = html.toUtf8();
    } else {
        bytes = reportPdf(html, QStringLiteral("Setup report: %1").arg(facts.fileName));
        if (bytes.isEmpty())
            return fail(QStringLiteral("a PDF needs the graphical platform (QGuiApplication)"));
    }
    return fileio::writeAtomically(path, bytes, error);
}

}  // namespace kelda::report
