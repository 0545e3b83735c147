#include "simbridge.h"

#include <QCanBus>
#include <QCanBusDevice>
#include <QCanBusFrame>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QRegularExpression>
#include <QTimer>

#include <csignal>
#include <memory>

#include "clicommand.h"
#include "documentargs.h"
#include "simscenario.h"

using namespace kelda;

bool simSecondsOf(const QString &text, qint64 *ns)
{
    static const QRegularExpression seconds(QStringLiteral("^([0-9]{1,10})(?:\\.([0-9]{1,9}))?$"));
    const QRegularExpressionMatch m = seconds.match(text);
    if (!m.hasMatch())
        return false;
    *ns = m.captured(1).toLongLong() * 1000000000 + m.captured(2).leftJustified(9, QLatin1Char('0')).toLongLong();
    return true;
}

namespace {

volatile std::sig_atomic_t g_interrupted = 0;

void interrupted(int)
{
    g_interrupted = 1;
}

// The engine on a live bus: frames in are applied at once (the next tick
// sees them), ticks follow the clock, changed CAN output frames go out.
class Bridge
{
public:
    Bridge(const SimScenario &scenario, QCanBusDevice *device) : m_scenario(scenario), m_device(device) { }
    void start();
    // Runs the ticks the clock owes; false once the run should end.
    bool catchUp(qint64 forNs);
    void receive();
    QString summary() const;
    const SimEngine &engine() const { return *m_engine; }

private:
    void send(qint64 tick);

    const SimScenario &m_scenario;
    QCanBusDevice *m_device;
    std::unique_ptr<SimEngine> m_engine = std::make_unique<SimEngine>();
    std::unique_ptr<SimInputs> m_boxes = std::make_unique<SimInputs>();
    std::vector<can::TxFrame> m_sent;
    QElapsedTimer m_clock;
    qint64 m_in = 0, m_out = 0, m_ignored = 0;
};

void Bridge::start()
{
    m_engine->readImage(m_scenario.image());
    m_engine->clearStates();
    m_engine->deriveOutputs();
    m_engine->setCanFrames(true);
    m_sent = m_engine->canOutputFrames();
    for (size_t p = 0; p < m_sent.size(); ++p)
        if (!m_engine->canOutputsOnFrame(int(p)).empty())
            send(qint64(p));
    m_clock.start();
}

void Bridge::send(qint64 p)
{
    const can::TxFrame &f = m_engine->canOutputFrames()[p];
    QCanBusFrame frame(f.identifier, QByteArray(reinterpret_cast<const char *>(f.data.data()), can::kFrameBytes));
    m_out += m_device->writeFrame(frame);
}

bool Bridge::catchUp(qint64 forNs)
{
    const qint64 now = m_clock.nsecsElapsed();
    while ((m_engine->tickCount() + 1) * kSimTickNs <= now) {
        m_engine->tick(*m_boxes);
        if (m_engine->canOutputFramesChangedAt() != m_engine->tickCount())
            continue;
        const std::vector<can::TxFrame> &frames = m_engine->canOutputFrames();
        for (size_t p = 0; p < frames.size(); ++p)
            if (!(frames[p] == m_sent[p])) {
                m_sent[p] = frames[p];
                send(qint64(p));
            }
    }
    return !g_interrupted && (forNs <= 0 || now < forNs);
}

void Bridge::receive()
{
    while (m_device->framesAvailable()) {
        const QCanBusFrame f = m_device->readFrame();
        const bool data = f.frameType() == QCanBusFrame::DataFrame;
        if (!f.isValid() || f.hasFlexibleDataRateFormat()
            || (!data && f.frameType() != QCanBusFrame::RemoteRequestFrame)) {
            ++m_ignored;  // error frames and CAN FD are not for the module
            continue;
        }
        const QByteArray payload = f.payload();
        m_engine->feedFrame(f.frameId(), f.hasExtendedFrameFormat(), !data,
                            reinterpret_cast<const uint8_t *>(payload.constData()),
                            int(std::min<qsizetype>(payload.size(), can::kFrameBytes)));
        ++m_in;
    }
}

QString Bridge::summary() const
{
    return QStringLiteral("bus: %1 ticks, %2 frames in (%3 ignored), %4 frames out")
        .arg(m_engine->tickCount())
        .arg(m_in)
        .arg(m_ignored)
        .arg(m_out);
}

int usage(const CliArgs &args, qint64 *forNs)
{
    // A bridge runs on the bus alone; an option it would not honour is refused, not ignored.
    for (const char *option : {"script", "can-in", "can-out", "can-start", "can-channel", "trace", "plot", "max-ticks",
                               "max-changes", "dbc"})
        if (args.isSet(option))
            return cliUsageError(QStringLiteral("--%1 does not go with --bus").arg(QLatin1String(option)));
    if (!args.value("bus").contains(QLatin1Char(':')))
        return cliUsageError(
            QStringLiteral("--bus takes BACKEND:INTERFACE, such as virtualcan:tcp://127.0.0.1:35468/can0 "
                           "or socketcan:can0, not '%1'")
                .arg(cliToken(args.value("bus"))));
    if (args.isSet("for") && (!simSecondsOf(args.value("for"), forNs) || *forNs == 0))
        return cliUsageError(
            QStringLiteral("--for takes a number of seconds above 0, not '%1'").arg(cliToken(args.value("for"))));
    return 0;
}

std::unique_ptr<QCanBusDevice> connectBus(const QString &bus, QString *why)
{
    const qsizetype colon = bus.indexOf(QLatin1Char(':'));
    const QString backend = bus.left(colon), interface = bus.mid(colon + 1);
    if (!QCanBus::instance()->plugins().contains(backend)) {
        *why = QStringLiteral("no CAN backend '%1' (there are: %2)")
                   .arg(backend, QCanBus::instance()->plugins().join(QStringLiteral(", ")));
        return nullptr;
    }
    std::unique_ptr<QCanBusDevice> device(QCanBus::instance()->createDevice(backend, interface, why));
    if (!device)
        return nullptr;
    if (!device->connectDevice()) {
        *why = device->errorString();
        return nullptr;
    }
    return device;
}

}  // namespace

int runBusBridge(const CliArgs &args)
{
    qint64 forNs = 0;
    if (const int bad = usage(args, &forNs))
        return bad;
    const QString setupPath = args.positional.at(0);
    SimScenario scenario;
    QString what, why;
    if (!scenario.open(setupPath, &what, &why))
        return cliFail(what, why);
    noteSetupErrors(scenario, setupPath);
    const std::unique_ptr<QCanBusDevice> device = connectBus(args.value("bus"), &why);
    if (!device)
        return cliFail(QStringLiteral("cannot use the bus %1").arg(args.value("bus")), why);

    Bridge bridge(scenario, device.get());
    bridge.start();
    if (const QString note = simKeyInputsNote(bridge.engine(), scenario.rows()); !note.isEmpty())
        cliErr() << "kelda-cli: " << cliOneLine(note) << Qt::endl;
    QEventLoop loop;
    bool failed = false;
    QObject::connect(device.get(), &QCanBusDevice::framesReceived, [&bridge] { bridge.receive(); });
    QObject::connect(device.get(), &QCanBusDevice::errorOccurred, [&](QCanBusDevice::CanBusError e) {
        if (e == QCanBusDevice::ConnectionError || e == QCanBusDevice::ReadError) {
            why = device->errorString();
            failed = true;
            loop.quit();
        }
    });
    // Some backends (virtualcan) say nothing but their state when the bus goes away.
    bool ending = false;
    QObject::connect(device.get(), &QCanBusDevice::stateChanged, [&](QCanBusDevice::CanBusDeviceState state) {
        if (state != QCanBusDevice::UnconnectedState || ending || failed)
            return;
        why = QStringLiteral("the connection to the bus was lost");
        failed = true;
        loop.quit();
    });
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        if (!bridge.catchUp(forNs))
            loop.quit();
    });
    ticker.start(1);
    g_interrupted = 0;
    const auto previous = std::signal(SIGINT, interrupted);
    loop.exec();
    std::signal(SIGINT, previous);
    ending = true;
    if (device->state() != QCanBusDevice::UnconnectedState)
        device->disconnectDevice();
    cliOut().flush();
    cliErr() << "kelda-cli: " << cliOneLine(bridge.summary()) << Qt::endl;
    if (failed)
        return cliFail(QStringLiteral("cannot use the bus %1").arg(args.value("bus")), why);
    return 0;
}
