// kelda-cli monitor: what the module's running calibration does, reply by
// reply, every change latched between two replies.
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>

#include <cmath>

#include "clicommand.h"
#include "corlalive.h"
#include "livesession.h"

namespace proto = corla::proto;
using kelda::live::LiveNames;
using kelda::live::LiveSession;

namespace {

const char kNoLiveData[] = "this module does not report live data";

struct MonitorArgs {
    QString port;
    double rate = 10;
    double seconds = -1;  // until interrupted
    bool jsonl = false;
    LiveNames names;
};

// A positive decimal up to max; false for anything else.
bool parseAmount(const QString &word, double max, double *out)
{
    bool ok = false;
    const double v = word.toDouble(&ok);
    if (!ok || !std::isfinite(v) || v <= 0 || v > max)
        return false;
    *out = v;
    return true;
}

QString jsonText(const QString &s)
{
    const QByteArray a = QJsonDocument(QJsonArray{s}).toJson(QJsonDocument::Compact);
    return QString::fromUtf8(a.mid(1, a.size() - 2));
}

QString jsonLine(const proto::MonitorReply &r, const LiveNames &names)
{
    QStringList changes;
    for (const proto::LiveChange &c : r.changes) {
        const QString name = names.name(c.kind, c.item);
        // One pass over every field: a name holding "%1" stays as it is.
        changes << QStringLiteral(
                       "{\"kind\": \"%1\", \"row\": %2, \"name\": %3, \"value\": %4, \"latched\": %5, \"now\": %6}")
                       .arg(QLatin1String(proto::liveKindName(c.kind)), QString::number(c.item + 1),
                            name.isNull() ? QStringLiteral("null") : jsonText(name), QString::number(c.value ? 1 : 0),
                            c.latched ? QStringLiteral("true") : QStringLiteral("false"),
                            QString::number((c.latched ? c.now : c.value) ? 1 : 0));
    }
    return QStringLiteral("{\"tick\": %1, \"time\": %2, \"changes\": [%3]}")
        .arg(r.tick)
        .arg(QString::number(r.tick / 100.0, 'f', 2), changes.join(QStringLiteral(", ")));
}

// What the item did since the last reply, ending with what it is now. A
// full picture says only what is on now: what came and went before it was
// asked happened while nobody watched.
QString changeWord(const proto::LiveChange &c, bool full)
{
    if (full)
        return (c.latched ? c.now : c.value) ? QStringLiteral(" on") : QStringLiteral(" off");
    if (!c.latched)
        return c.value ? QStringLiteral(" on") : QStringLiteral(" off");
    if (c.now != c.value)
        return c.value ? QStringLiteral(" pulse") : QStringLiteral(" dip");  // came and went
    return c.now ? QStringLiteral(" on (flickered)") : QStringLiteral(" off (flickered)");
}

QString textLine(const proto::MonitorReply &r, const LiveNames &names)
{
    QStringList changes;
    for (const proto::LiveChange &c : r.changes) {
        const QString name = names.name(c.kind, c.item);
        QString word = QStringLiteral("%1 %2").arg(QLatin1String(proto::liveKindName(c.kind))).arg(c.item + 1);
        if (!name.isEmpty())
            word += QStringLiteral(" \"%1\"").arg(name);
        word += changeWord(c, r.flags & proto::LiveFullPicture);
        changes << word;
    }
    QString head = QStringLiteral("tick %1 (%2 s)").arg(r.tick).arg(QString::number(r.tick / 100.0, 'f', 2));
    if (r.flags & proto::LiveFullPicture)
        head += QStringLiteral(" full");
    if (r.flags & proto::LiveEngineRunning)
        head += QStringLiteral(" engine-running");
    if (r.flags & proto::LiveForced)
        head += QStringLiteral(" forced");
    return head + QStringLiteral(": ") + (changes.isEmpty() ? QStringLiteral("no change") : changes.join(u", "));
}

int monitorArgs(const CliArgs &args, MonitorArgs *a)
{
    a->port = args.value("port");
    if (a->port.isEmpty())
        return cliUsageError(QStringLiteral("--port needs a port name"));
    if (args.isSet("rate") && !parseAmount(args.value("rate"), 100, &a->rate))
        return cliUsageError(QStringLiteral("--rate needs a number of replies a second above 0, up to 100"));
    if (args.isSet("for") && !parseAmount(args.value("for"), 1e7, &a->seconds))
        return cliUsageError(QStringLiteral("--for needs a number of seconds above 0"));
    a->jsonl = args.isSet("jsonl");
    QString why;
    if (args.isSet("setup") && !kelda::live::loadNames(args.value("setup"), &a->names, &why))
        return cliFail(QStringLiteral("cannot open ") + args.value("setup"), why);
    return 0;
}

// One reply printed; false (after cliFail) when the module did not give one.
int poll(LiveSession &session, const MonitorArgs &a, bool full, proto::MonitorReply *r)
{
    const int status = session.run(CORLA_EcuTxn_Monitor_Create(full ? 1 : 0));
    const QString what = QStringLiteral("cannot monitor the module on ") + a.port;
    if (status == CORLA_STATUS_UNSUPPORTED)
        return cliFail(what, QLatin1String(kNoLiveData));
    const CorlaLiveChange *changes = nullptr;
    uint32_t tick = 0, flags = 0;
    const int n = CORLA_EcuTxn_GetLive(session.last(), &tick, &flags, &changes);
    if (status != CORLA_STATUS_OK || n < 0)
        return cliFail(what, session.lastLog().isEmpty() ? kelda::live::statusText(status) : session.lastLog());
    r->tick = tick;
    r->flags = uint8_t(flags);
    r->changes.clear();
    for (int i = 0; i < n; ++i)
        r->changes.append(
            {changes[i].kind, changes[i].item, changes[i].value != 0, changes[i].latched != 0, changes[i].now != 0});
    cliOut() << (a.jsonl ? jsonLine(*r, a.names) : textLine(*r, a.names)) << Qt::endl;
    return 0;
}

int runMonitor(const CliArgs &args)
{
    MonitorArgs a;
    if (const int rc = monitorArgs(args, &a))
        return rc;
    LiveSession session(a.port);
    QString why;
    if (!session.connect(&why))
        return cliFail(QStringLiteral("cannot monitor the module on ") + a.port, why);
    const double periodMs = 1000.0 / a.rate;
    QElapsedTimer clock;
    clock.start();
    double next = 0;
    bool full = true;
    for (;;) {
        proto::MonitorReply r;
        if (const int rc = poll(session, a, full, &r))
            return rc;
        full = false;
        if (r.flags & proto::LiveMore)
            continue;  // the rest of the picture at once
        next = std::max(next + periodMs, double(clock.elapsed()));
        if (a.seconds > 0 && next >= a.seconds * 1000)
            break;
        if (!session.wait(int(std::lround(next - double(clock.elapsed())))))
            break;
    }
    return 0;
}

const CliRegistration monitorCommand{{
    .name = "monitor",
    .usage = "kelda-cli monitor --port NAME [--setup SETUP.kelda] [--rate HZ] [--for SECONDS] [--jsonl]",
    .summary = "watch what a running module does, change by change",
    .description =
        "Connects to the module and asks it (MONITOR) what its running calibration changed since its last "
        "reply, at the given rate: keys, switches, CAN input results, timers running, states, LEDs, LX1 "
        "channels, LX1 outputs and CAN outputs. Every reply is printed, the first one a full picture, and one "
        "at every period even when nothing changed, so a silent line means a silent module. A change that came "
        "and went between two replies is latched: a pulse of one tick is printed as a pulse (value 1, latched), "
        "never lost; an item that changed more than once and stays changed reads \"on (flickered)\" or \"off "
        "(flickered)\". Rows are counted from 1; an LX1 channel is (module - 1) * 8 + channel. Monitoring waits "
        "while an upload or a read of the same connection runs.\n\n"
        "With --jsonl each reply is one line: {\"tick\": 6758, \"time\": 67.58, \"changes\": [{\"kind\": "
        "\"state\", \"row\": 2, \"name\": \"Beacons on\", \"value\": 1, \"latched\": false}]}, kinds key, "
        "switch, caninput, timer, state, led, lx1, output and canoutput; names come from --setup (null without "
        "it).",
    .options = {{"port", "NAME", "the port the module is on, as kelda-cli ports prints it, or a device path", true},
                {"setup", "SETUP.kelda", "the setup the module runs, for the names of its items"},
                {"rate", "HZ", "replies a second (default 10, up to 100)"},
                {"for", "SECONDS", "stop after this time (default: until interrupted)"},
                {"jsonl", nullptr, "print each reply as one line of JSON"}},
    .statuses = {{0, "monitored for the time asked, or until interrupted"},
                 {1,
                  "the module cannot be reached, stopped answering, or does not report live data (\"this module "
                  "does not report live data\")"}},
    .run = &runMonitor,
}};

}  // namespace
