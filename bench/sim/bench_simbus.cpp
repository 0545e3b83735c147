// The bus bridge's answer time: kelda-cli simulate --bus on Qt's VirtualCAN,
// a setup whose CAN input "Go" (0x123 byte 1 = 1) sets a state that drives a
// CAN output (0x300 byte 1 = 0xAA) and "Stop" (byte 1 = 2) clears it. A frame
// in must give the resulting CAN output frame within 2 ticks (20 ms) at the
// 95th percentile. Rounds: argument 1 (default 200).
#include <QCanBus>
#include <QCanBusDevice>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>

#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "pmmodel.h"
#include "schema.h"

using namespace kelda;

namespace {

bool buildSetup(PMModel &m)
{
    m.setMode(int(Mode::CanInputs));
    for (int i = 0; i < 2; ++i) {
        if (!m.insertRows(m.rowCount(), 1))
            return false;
        m.setData(m.index(i, 1), QStringLiteral("0x123"));
        m.setData(m.index(i, 2), QStringLiteral("Byte 1"));
        m.setData(m.index(i, 3), QStringLiteral("="));
        m.setData(m.index(i, 4), i + 1);
    }
    m.setMode(int(Mode::CanOutputs));
    if (!m.insertRows(0, 1))
        return false;
    m.setData(m.index(0, 1), QStringLiteral("0x300"));
    m.setData(m.index(0, 2), QStringLiteral("Byte 1"));
    m.setData(m.index(0, 3), 0xAA);
    m.setMode(int(Mode::States));
    if (!m.insertRows(0, 1))
        return false;
    m.addListEntry(0, 2);
    if (!m.setListEntry(0, 2, 0, QStringLiteral("CAN Output 1")))
        return false;
    m.setMode(int(Mode::Events));
    for (int e = 0; e < 2; ++e) {
        if (!m.insertRows(m.rowCount(), 1))
            return false;
        m.addListEntry(e, e);  // set, clear
        if (!m.setEventInput(e, 0, QStringLiteral("CI: CAN Input %1").arg(e + 1))
            || !m.setListEntry(e, e, 0, QStringLiteral("State 1")))
            return false;
    }
    return true;
}

int freePort()
{
    QTcpServer server;
    return server.listen(QHostAddress::LocalHost, 0) ? server.serverPort() : 0;
}

// Sends byte 1 = command until frame 0x300 carries `want` in byte 1; the
// time from the last send, or -1 after the timeout.
double roundTrip(QCanBusDevice &bus, uint8_t command, uint8_t want, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    bus.writeFrame(QCanBusFrame(0x123, QByteArray(1, char(command))));
    while (clock.elapsed() < timeoutMs) {
        bus.waitForFramesReceived(5);
        QCoreApplication::processEvents();
        while (bus.framesAvailable()) {
            const QCanBusFrame f = bus.readFrame();
            if (f.frameId() == 0x300 && !f.payload().isEmpty() && uint8_t(f.payload()[0]) == want)
                return double(clock.nsecsElapsed()) / 1e6;
        }
    }
    return -1;
}

double percentile(std::vector<double> v, double p)
{
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, size_t(p * double(v.size())))];
}

}  // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 200;
    QTemporaryDir dir;
    const QString setup = dir.filePath(QStringLiteral("bridge.kelda"));
    PMModel model;
    if (!buildSetup(model) || !model.saveSetup(setup)) {
        std::fprintf(stderr, "bench_simbus: the setup could not be written\n");
        return 1;
    }
    const QString url = QStringLiteral("tcp://127.0.0.1:%1/can0").arg(freePort());
    std::unique_ptr<QCanBusDevice> bus(QCanBus::instance()->createDevice(QStringLiteral("virtualcan"), url));
    if (!bus || !bus->connectDevice()) {
        std::fprintf(stderr, "bench_simbus: no VirtualCAN bus (libqt6serialbus6-plugins)\n");
        return 1;
    }
    QProcess cli;
    cli.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    cli.start(QStringLiteral(KELDA_CLI),
              {QStringLiteral("simulate"), setup, QStringLiteral("--bus"), QStringLiteral("virtualcan:") + url,
               QStringLiteral("--for"), QStringLiteral("600")});
    // Until kelda-cli has joined, frames go nowhere.
    bool joined = false;
    for (int i = 0; i < 200 && !joined; ++i)
        joined = roundTrip(*bus, 1, 0xAA, 50) >= 0;
    if (!joined || roundTrip(*bus, 2, 0x00, 1000) < 0) {
        std::fprintf(stderr, "bench_simbus: kelda-cli never answered\n");
        return 1;
    }
    std::vector<double> ms;
    for (int i = 0; i < rounds; ++i) {
        const double d = roundTrip(*bus, i % 2 ? 2 : 1, i % 2 ? 0x00 : 0xAA, 1000);
        ms.push_back(d < 0 ? 1000 : d);
    }
    ::kill(pid_t(cli.processId()), SIGINT);
    cli.waitForFinished(10000);
    const double p50 = percentile(ms, 0.5), p95 = percentile(ms, 0.95);
    std::printf("bus bridge, frame in to CAN output frame over VirtualCAN: p50 %.1f ms (%.2f ticks), p95 %.1f ms "
                "(%.2f ticks; goal <= 2 ticks), slowest %.1f ms  [%d rounds; kelda-cli exit %d]\n",
                p50, p50 / 10, p95, p95 / 10, *std::max_element(ms.begin(), ms.end()), rounds, cli.exitCode());
    return 0;
}
