// Uploads the large setup with kelda-cli to lx2-emulator pacing at 38400 baud
// and compares the time with what the payload alone needs on the line.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>

#include <cstdio>

#include "largesetup.h"
#include "pmmodel.h"

namespace {
constexpr int kBaud = 38400;
constexpr int kNameSize = 8;  // the LX2's calibration name field
}

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    if (!dir.isValid())
        return 1;

    PMModel model;
    if (!kelda::bench::buildLargeSetup(model)) {
        std::fprintf(stderr, "cannot build the large setup\n");
        return 1;
    }
    const QString setup = dir.filePath(QStringLiteral("large.kelda"));
    const QString image = dir.filePath(QStringLiteral("large.bin"));
    if (!model.saveSetup(setup) || !model.writeRawImage(image)) {
        std::fprintf(stderr, "cannot save or compile the large setup\n");
        return 1;
    }
    const qint64 payload = QFileInfo(image).size() + kNameSize;

    QProcess emulator;
    emulator.start(QStringLiteral(KELDA_EMULATOR),
                   {QStringLiteral("--baud"), QString::number(kBaud), QStringLiteral("--cal-file"),
                    dir.filePath(QStringLiteral("module.cal"))});
    if (!emulator.waitForStarted() || !emulator.waitForReadyRead(5000)) {
        std::fprintf(stderr, "cannot start lx2-emulator\n");
        return 1;
    }
    const QString port = QString::fromLocal8Bit(emulator.readLine()).trimmed();

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("CORLA_EXTRA_PORTS"), port);
    env.insert(QStringLiteral("CORLA_NO_SYSTEM_PORTS"), QStringLiteral("1"));
    env.insert(QStringLiteral("CORLA_RUNE_PATH"), QStringLiteral(KELDA_RUNES));
    QProcess cli;
    cli.setProcessEnvironment(env);
    QElapsedTimer timer;
    timer.start();
    cli.start(QStringLiteral(KELDA_CLI), {QStringLiteral("upload"), setup, QStringLiteral("--port"), port});
    cli.waitForFinished(600000);
    const double seconds = timer.nsecsElapsed() / 1e9;
    emulator.terminate();
    emulator.waitForFinished(3000);
    if (cli.exitStatus() != QProcess::NormalExit || cli.exitCode() != 0) {
        std::fprintf(stderr, "upload failed:\n%s", cli.readAllStandardError().constData());
        return 1;
    }

    const double lineTime = payload * 10.0 / kBaud;
    std::printf("payload: %lld bytes (image %lld + name %d)\n", static_cast<long long>(payload),
                static_cast<long long>(payload - kNameSize), kNameSize);
    std::printf("payload line time at %d baud: %.3f s\n", kBaud, lineTime);
    std::printf("upload (kelda-cli, open + compile + connect + upload): %.3f s (goal <= %.3f s = 1.15 x line time)\n",
                seconds, 1.15 * lineTime);
    std::printf("ratio: %.3f (goal <= 1.15)\n", seconds / lineTime);
    return 0;
}
