// kelda-cli force: holds one force on a running module, renewing its lease
// while the command runs; the module drops it within a second of the last
// renewal, so a killed command or a pulled cable leaves nothing forced.
#include <QElapsedTimer>

#include <cmath>

#include "clicommand.h"
#include "corlalive.h"
#include "livesession.h"

namespace proto = corla::proto;
using kelda::live::LiveSession;

namespace {

// The lease asked for and the renewal period: two renewals may be lost
// before the force lapses, and it lapses within 1 s of the last one.
constexpr uint16_t kLeaseMs = 900;
constexpr int kRenewMs = 300;

struct ForceArgs {
    QString port;
    CorlaForce force{};
    QString shown;  // "led 3 "Beacon lamp""
    double seconds = -1;
    // With --setup: what the module must hold for its names and rows to be
    // the module's.
    kelda::live::SetupImage setup;
};

int forceItem(const CliArgs &args, const kelda::live::LiveNames &names, ForceArgs *a)
{
    const QString kind = args.positional.value(0);
    const QString item = args.positional.value(1);
    const uint8_t k = kelda::live::kindOf(kind);
    if (!proto::forceable(k))
        return cliUsageError(QStringLiteral("'%1' is not a kind that can be forced: expected key, switch, caninput, "
                                            "led or lx1")
                                 .arg(cliToken(kind)));
    bool isNumber = false;
    const int row = item.toInt(&isNumber);
    int n = -1;
    if (k == proto::LiveLx1)
        n = kelda::live::channelOf(item);
    else if (isNumber)
        n = row >= 1 && row <= proto::liveItems(k) ? row - 1 : -2;
    else if (names.loaded)
        n = names.find(k, item);
    if (n == -2 || (n < 0 && (isNumber || k == proto::LiveLx1)))
        return cliUsageError(
            k == proto::LiveLx1
                ? QStringLiteral(
                      "'%1' is not an LX1 channel: expected M.C, module and channel each 1 to 8, such as 1.3")
                      .arg(cliToken(item))
                : QStringLiteral("row %1 is outside the %2 table (rows 1 to %3)")
                      .arg(cliToken(item), kind)
                      .arg(proto::liveItems(k)));
    if (n < 0)
        return cliFail(QStringLiteral("cannot force %1 '%2'").arg(kind, cliToken(item)),
                       names.loaded ? QStringLiteral("the setup has no single %1 of that name").arg(kind)
                                    : QStringLiteral("a name needs --setup"));
    const QString on = args.positional.value(2);
    if (on != QLatin1String("on") && on != QLatin1String("off"))
        return cliUsageError(QStringLiteral("'%1' is not on or off").arg(cliToken(on)));
    a->force = CorlaForce{k, uint8_t(n), uint8_t(on == QLatin1String("on") ? CORLA_FORCE_ON : CORLA_FORCE_OFF), 0};
    const QString name = names.name(k, n);
    a->shown = QStringLiteral("%1 %2").arg(kind, k == proto::LiveLx1 ? item : QString::number(n + 1));
    if (!name.isEmpty() && k != proto::LiveLx1)
        a->shown += QStringLiteral(" \"%1\"").arg(name);
    return 0;
}

int forceArgs(const CliArgs &args, ForceArgs *a)
{
    a->port = args.value("port");
    if (a->port.isEmpty())
        return cliUsageError(QStringLiteral("--port needs a port name"));
    if (args.isSet("for")) {
        bool ok = false;
        a->seconds = args.value("for").toDouble(&ok);
        if (!ok || !std::isfinite(a->seconds) || a->seconds <= 0 || a->seconds > 1e7)
            return cliUsageError(QStringLiteral("--for needs a number of seconds above 0"));
    }
    kelda::live::LiveNames names;
    QString why;
    if (args.isSet("setup") && !kelda::live::loadNames(args.value("setup"), &names, &why))
        return cliFail(QStringLiteral("cannot open ") + args.value("setup"), why);
    if (const int rc = forceItem(args, names, a))
        return rc;
    if (args.isSet("setup") && !kelda::live::compileSetup(args.value("setup"), &a->setup, &why))
        return cliFail(QStringLiteral("cannot compile ") + args.value("setup"), why);
    return 0;
}

// Sends the force (or its release); 0, or cliFail's status with why.
int send(LiveSession &session, const ForceArgs &a, uint8_t action)
{
    CorlaForce f = a.force;
    f.action = action;
    const int status = session.run(CORLA_EcuTxn_Force_Create(kLeaseMs, &f, 1));
    if (status == CORLA_STATUS_OK)
        return 0;
    const QString what = QStringLiteral("cannot force %1 on %2").arg(a.shown, a.port);
    uint32_t flags = 0;
    CORLA_EcuTxn_GetLive(session.last(), nullptr, &flags, nullptr);
    if (status == CORLA_STATUS_UNSUPPORTED)
        return cliFail(what, QStringLiteral("this module does not report live data"));
    if (status == CORLA_STATUS_REFUSED && (flags & CORLA_LIVE_ENGINE_RUNNING))
        return cliFail(what, QStringLiteral("the module refuses forces while the engine is running"));
    const QString why = session.lastLog().isEmpty() ? kelda::live::statusText(status) : session.lastLog();
    return cliFail(what, why + QStringLiteral(" (a force the module held lapses within 1 s)"));
}

// Connects; 0 once the force may be sent, else cliFail's status.
int ready(LiveSession &session, const ForceArgs &a)
{
    const QString what = QStringLiteral("cannot force %1 on %2").arg(a.shown, a.port);
    QString why;
    if (!session.connect(&why))
        return cliFail(what, why);
    // A name or row of another setup may be another load on this module:
    // nothing is forced before the module is known to run the setup.
    if (!a.setup.shown.isEmpty()) {
        why = session.notHeld(a.setup);
        if (!why.isEmpty())
            return cliFail(what, why + QStringLiteral(": give --setup the setup the module runs, or a row without it"));
    }
    // Interrupted while connecting: nothing is switched, not even for a
    // moment (a horn or a winch would be).
    if (session.interrupted())
        return cliFail(what, QStringLiteral("interrupted before the force was sent; nothing was forced"));
    return 0;
}

int runForce(const CliArgs &args)
{
    ForceArgs a;
    if (const int rc = forceArgs(args, &a))
        return rc;
    LiveSession session(a.port);
    if (const int rc = ready(session, a))
        return rc;
    if (const int rc = send(session, a, a.force.action))
        return rc;
    // One pass: the item's name may hold "%1".
    cliOut() << QStringLiteral("Forcing %1 %2; renewed every %3 s, it lapses within 1 s once it is not.")
                    .arg(a.shown, a.force.action == CORLA_FORCE_ON ? QStringLiteral("on") : QStringLiteral("off"),
                         QString::number(kRenewMs / 1000.0))
             << Qt::endl;
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        qint64 left = kRenewMs;
        if (a.seconds > 0)
            left = std::min<qint64>(left, qint64(std::llround(a.seconds * 1000)) - clock.elapsed());
        if (left <= 0 || !session.wait(int(left)))
            break;
        if (a.seconds > 0 && clock.elapsed() >= a.seconds * 1000)
            break;
        if (const int rc = send(session, a, a.force.action))
            return rc;
    }
    if (const int rc = send(session, a, CORLA_FORCE_RELEASE))
        return rc;
    cliOut() << QStringLiteral("Released %1.").arg(a.shown) << Qt::endl;
    return 0;
}

const CliRegistration forceCommand{{
    .name = "force",
    .usage = "kelda-cli force --port NAME [--setup SETUP.kelda] KIND NAME|ROW on|off [--for SECONDS]",
    .summary = "force a key, switch, CAN input, LED or LX1 channel of a running module",
    .description =
        "Forces one item of the module's running calibration on or off while the command runs: a key (held, "
        "as its P box), a switch or a CAN input result before each tick reads it, an LED or an LX1 channel "
        "over what the states drive. The force is renewed every 0.3 s with a lease of 0.9 s and released when "
        "the command ends (after --for, or on SIGINT or SIGTERM); a command that is killed, a pulled cable or "
        "a restarted module leaves nothing forced, as the module drops a force within 1 s of its last "
        "renewal, and on every reconnect and power cycle. A module whose engine runs refuses forces.\n\n"
        "KIND is key, switch, caninput, led or lx1. Rows are counted from 1; a name (in the setup given by "
        "--setup) must be one row's only; an LX1 channel is named as the simulator names it, M.C such as 1.3. "
        "With --setup nothing is forced unless the module holds that setup.",
    .arguments = {{"KIND", "key, switch, caninput, led or lx1"},
                  {"NAME|ROW", "the item: its row from 1, its name with --setup, an LX1 channel as M.C"},
                  {"on|off", "the value to force"}},
    .options = {{"port", "NAME", "the port the module is on, as kelda-cli ports prints it, or a device path", true},
                {"setup", "SETUP.kelda", "the setup the module runs, for names"},
                {"for", "SECONDS", "release the force after this time (default: when interrupted)"}},
    .statuses = {{0, "the force was held and released"},
                 {1,
                  "the module cannot be reached or stopped answering, refuses forces while its engine runs, "
                  "does not hold the setup of --setup, or does not report live data (\"this module does not report "
                  "live data\")"}},
    .run = &runForce,
}};

}  // namespace
