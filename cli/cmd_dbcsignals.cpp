// kelda-cli dbc-signals and dbc-import: which signals of a CAN database the
// module can read, and a CAN input made from one of them.
#include <QFileInfo>

#include "atomicfile.h"
#include "clicommand.h"
#include "dbcimport.h"
#include "documentargs.h"
#include "pmmodel.h"
#include "setupview.h"

using namespace kelda;

namespace {

bool readDbc(const QString &path, dbc::Database *db, int *status)
{
    QString why;
    if (dbc::readFile(path, db, &why))
        return true;
    *status = cliFail(QStringLiteral("cannot read %1").arg(shownPath(path)), why);
    return false;
}

// The setup read straight from its store: listing needs no table model.
bool readSetupView(const QString &path, SetupView *view, int *status)
{
    UniqueSession session = QFileInfo::exists(path) ? UniqueSession::open(path.toLatin1()) : UniqueSession();
    if (!session || path.toLatin1() != path.toUtf8() || !StoreCursor(session.get()).setup()) {
        PMModel model;  // only for the reason the editor would give
        if (!openDocumentSetup(model, path, status))
            return false;
        *view = SetupView::read(model.session());
        return true;
    }
    *view = SetupView::read(session.get());
    return true;
}

QString jsonString(const QString &s)
{
    QString out = QStringLiteral("\"");
    for (const QChar c : s) {
        if (c == QLatin1Char('"') || c == QLatin1Char('\\'))
            out += QLatin1Char('\\') + c;
        else if (c == QLatin1Char('\n'))
            out += QStringLiteral("\\n");
        else if (c.unicode() < 0x20)
            out += QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
        else
            out += c;
    }
    return out + QLatin1Char('"');
}

QString opsText(const QList<dbc::Op> &ops, const QString &separator, bool quoted)
{
    QStringList out;
    for (const dbc::Op op : ops)
        out << (quoted ? jsonString(QLatin1String(dbc::opText(op))) : QLatin1String(dbc::opText(op)));
    return out.join(separator);
}

QString orderOf(const dbc::Classification &c)
{
    if (!c.fit || c.fit->channel.isByte)
        return {};
    return QLatin1String(kEndiannessTexts[c.fit->littleEndian ? 1 : 0]);
}

QString signalJson(const dbc::Signal &s, const dbc::Classification &c)
{
    const bool none = c.cls == dbc::Class::Impossible;
    const QString order = orderOf(c);
    return QStringLiteral("{\"name\": %1, \"class\": \"%2\", \"exact\": [%3], \"reason\": %4, \"channel\": %5, "
                          "\"order\": %6, \"error\": %7}")
        .arg(jsonString(s.name), QLatin1String(dbc::classText(c.cls)), opsText(c.exact, QStringLiteral(", "), true),
             jsonString(c.reason), none ? QStringLiteral("null") : jsonString(c.fit->channelText()),
             order.isEmpty() || none ? QStringLiteral("null") : jsonString(order),
             none ? QStringLiteral("null") : QString::number(c.error, 'g', 12));
}

QString listingJson(const dbc::Database &db, const dbc::SetupContext *setup)
{
    QStringList messages;
    for (const dbc::Message &m : db.messages) {
        QStringList sigs;
        for (const dbc::Signal &s : m.signalList)
            sigs << signalJson(s, dbc::classify(m, s, setup));
        messages << QStringLiteral("    {\"id\": %1, \"extended\": %2, \"name\": %3, \"signals\": [%4]}")
                        .arg(m.id)
                        .arg(m.extended ? QStringLiteral("true") : QStringLiteral("false"), jsonString(m.name),
                             sigs.isEmpty() ? QString()
                                            : QStringLiteral("\n      ") + sigs.join(QStringLiteral(",\n      ")));
    }
    QStringList skipped;
    for (const dbc::Skipped &k : db.skipped)
        skipped << QStringLiteral("    {\"line\": %1, \"reason\": %2}").arg(k.line).arg(jsonString(k.reason));
    const auto list = [](const QStringList &items) {
        return items.isEmpty() ? QStringLiteral("[]")
                               : QStringLiteral("[\n") + items.join(QStringLiteral(",\n")) + QStringLiteral("\n  ]");
    };
    return QStringLiteral("{\n  \"messages\": %1,\n  \"skipped\": %2\n}\n").arg(list(messages), list(skipped));
}

QString signalLine(const dbc::Signal &s, const dbc::Classification &c)
{
    QString line = QStringLiteral("  %1: %2").arg(s.name, QLatin1String(dbc::classText(c.cls)));
    if (c.cls == dbc::Class::Impossible)
        return line + QStringLiteral(": ") + c.reason;
    const QList<dbc::Op> ops = c.cls == dbc::Class::Exact ? c.exact : c.approximate;
    line += QStringLiteral(" (%1) on %2").arg(opsText(ops, QStringLiteral(", "), false), c.fit->channelText());
    if (!orderOf(c).isEmpty())
        line += QStringLiteral(", ") + orderOf(c);
    if (c.cls == dbc::Class::Approximate)
        line += QStringLiteral(", within %1%2")
                    .arg(dbc::valueText(s, c.error), s.unit.isEmpty() ? QString() : QLatin1Char(' ') + s.unit);
    if (!c.reason.isEmpty())
        line += QStringLiteral(": ") + c.reason;
    return line;
}

QString listingText(const dbc::Database &db, const dbc::SetupContext *setup, const QString &file)
{
    QString body;
    int counts[3] = {0, 0, 0};
    for (const dbc::Message &m : db.messages) {
        body += QStringLiteral("%1 %2, %3 bytes\n").arg(dbc::idText(m.id, m.extended), m.name).arg(m.length);
        for (const dbc::Signal &s : m.signalList) {
            const dbc::Classification c = dbc::classify(m, s, setup);
            ++counts[int(c.cls)];
            body += signalLine(s, c) + QLatin1Char('\n');
        }
    }
    QString out = QStringLiteral("%1: %2 messages, %3 signals: %4 exact, %5 approximate, %6 impossible; %7 lines "
                                 "not taken\n")
                      .arg(file)
                      .arg(db.messages.size())
                      .arg(db.signalCount())
                      .arg(counts[0])
                      .arg(counts[1])
                      .arg(counts[2])
                      .arg(db.skipped.size());
    out += body;
    for (const dbc::Skipped &k : db.skipped)
        out += QStringLiteral("%1:%2: %3\n").arg(file).arg(k.line).arg(k.reason);
    QStringList ignored;
    for (auto it = db.ignored.cbegin(); it != db.ignored.cend(); ++it)
        ignored << QStringLiteral("%1 %2").arg(it.key()).arg(it.value());
    if (!ignored.isEmpty())
        out += QStringLiteral("Lines not needed: %1\n").arg(ignored.join(QStringLiteral(", ")));
    return out;
}

int runDbcSignals(const CliArgs &args)
{
    const QString path = args.positional.at(0);
    int status = 0;
    dbc::Database db;
    if (!readDbc(path, &db, &status))
        return status;
    std::optional<dbc::SetupContext> setup;
    if (args.isSet("setup")) {
        SetupView view;
        if (!readSetupView(args.value("setup"), &view, &status))
            return status;
        setup = dbc::SetupContext::from(view);
    }
    const dbc::SetupContext *context = setup ? &*setup : nullptr;
    cliOut() << (args.isSet("json") ? listingJson(db, context) : listingText(db, context, shownPath(path)));
    return 0;
}

const CliRegistration dbcSignalsCommand{{
    .name = "dbc-signals",
    .usage = "kelda-cli dbc-signals FILE.dbc [--setup SETUP.kelda] [--json]",
    .summary = "list which signals of a CAN database the module can read",
    .description = "Lists every message and signal of the CAN database with its class for the module: exact (the "
                   "stored comparison agrees with the physical one for every frame, with the comparisons for which "
                   "it does), approximate (with the worst-case error in the signal's units) or impossible (with the "
                   "reason), and the byte or word and byte order it is read with. Every line not taken is listed "
                   "with its line number and reason; lines of kinds not needed are counted.\n\nWith --setup the "
                   "setup's limits apply too: byte orders of identifiers it reads, the receive channel limits, a "
                   "full CAN Inputs table and identifiers the module sends. --json writes one JSON document.",
    .arguments = {{"FILE.dbc", "the CAN database"}},
    .options = {{"setup", "SETUP.kelda", "classify against this setup"}, {"json", nullptr, "write JSON"}},
    .statuses = {{0, "the database was read and listed"}, {1, "the database or the setup cannot be read"}},
    .run = &runDbcSignals,
}};

// "ENGINE.EngineSpeed": the message by name (or number), the signal by name.
bool findSignal(const dbc::Database &db, const QString &spec, dbc::ImportRequest *r)
{
    const qsizetype dot = spec.lastIndexOf(QLatin1Char('.'));
    const QString message = spec.left(dot), signal = spec.mid(dot + 1);
    for (const dbc::Message &m : db.messages) {
        bool isNumber = false;
        const uint number = message.toUInt(&isNumber, 0);
        // A number as the DBC writes it counts too: an extended one with bit 31.
        const bool numbered = isNumber && (number == m.id || (m.extended && number == (m.id | 0x80000000u)));
        if (dot <= 0 || !(m.name == message || numbered))
            continue;
        for (const dbc::Signal &s : m.signalList)
            if (s.name == signal) {
                r->message = m;
                r->signal = s;
                return true;
            }
    }
    return false;
}

bool importRequest(const CliArgs &args, const dbc::Database &db, dbc::ImportRequest *r, int *status)
{
    const std::optional<dbc::Op> op = dbc::parseOp(args.value("compare"));
    bool ok = false;
    r->value = args.value("value").toDouble(&ok);
    r->name = args.value("name");
    if (!op || !ok || !std::isfinite(r->value)) {
        *status = cliUsageError(!op ? QStringLiteral("--compare takes =, <, >, bit, eq, lt or gt, not \"%1\"")
                                          .arg(cliToken(args.value("compare")))
                                    : QStringLiteral("--value takes a number in the signal's units, not \"%1\"")
                                          .arg(cliToken(args.value("value"))));
        return false;
    }
    r->op = *op;
    if (findSignal(db, args.value("signal"), r))
        return true;
    *status = cliFail(QStringLiteral("cannot import %1").arg(cliToken(args.value("signal"))),
                      QStringLiteral("the database has no such signal (give MESSAGE.SIGNAL)"));
    return false;
}

int runDbcImport(const CliArgs &args)
{
    const QString setupPath = args.positional.at(0), dbcPath = args.positional.at(1), out = args.value("o");
    int status = 0;
    dbc::Database db;
    PMModel model;
    dbc::ImportRequest request;
    if (refuseOutputIsInput(out, {setupPath}, QStringLiteral("the setup being changed"), &status)
        || refuseOutputIsInput(out, {dbcPath}, QStringLiteral("the CAN database being read"), &status)
        || !outputWritable(out, &status) || !readDbc(dbcPath, &db, &status)
        || !importRequest(args, db, &request, &status) || !openDocumentSetup(model, setupPath, &status))
        return status;
    QList<dbc::ImportPlan> plans;
    QString error;
    if (!dbc::planImport(SetupView::read(model.session()), {request}, &plans, &error))
        return cliFail(QStringLiteral("cannot import %1").arg(cliToken(args.value("signal"))),
                       error.section(QStringLiteral(": "), 1));
    if (!dbc::applyImport(model, plans, &error))
        return cliFail(QStringLiteral("cannot import %1").arg(cliToken(args.value("signal"))), error);
    if (!model.saveSetup(out))
        return cliFail(QStringLiteral("cannot write %1").arg(shownPath(out)), model.lastError());
    cliOut() << QStringLiteral("Added CAN input %1\n").arg(plans.first().description);
    return 0;
}

const CliRegistration dbcImportCommand{{
    .name = "dbc-import",
    .usage = "kelda-cli dbc-import SETUP.kelda FILE.dbc --signal MESSAGE.SIGNAL --compare OP --value PHYSICAL "
             "[--name NAME] -o OUT.kelda",
    .summary = "add a CAN input for a signal of a CAN database",
    .description = "Adds one CAN input that is on while the signal compares with the value in the signal's own "
                   "units: OP is =, <, >, bit (the one-bit flag is set), or the words eq, lt, gt. The input is "
                   "named after the signal (made unique) or --name, reads the signal's identifier with the byte or "
                   "word and byte order that fit it, and stores the raw comparison; the rounding is printed "
                   "(\"> 3200 raw = 800.00 rpm\"). What the module cannot read, or can read only otherwise, is "
                   "refused with the reason. The setup is written to OUT.kelda.",
    .arguments = {{"SETUP.kelda", "the setup file"}, {"FILE.dbc", "the CAN database"}},
    .options = {{"signal", "MESSAGE.SIGNAL", "the signal: its message's name (or number) and its name", true},
                {"compare", "OP", "=, <, >, bit, eq, lt or gt", true},
                {"value", "PHYSICAL", "the threshold in the signal's units", true},
                {"name", "NAME", "the input's name instead of the signal's"},
                {"o,output", "OUT.kelda", "the setup to write", true}},
    .statuses = {{0, "the input was added and the setup written"},
                 {1, "a file cannot be read or written, or the signal cannot be compared so"}},
    .run = &runDbcImport,
}};

}  // namespace
