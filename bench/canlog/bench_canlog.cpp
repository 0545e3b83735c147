// Read speed of the candump -l reader: writes a log of N frames (default
// 1,000,000; argument 1) with the candump writer into a temporary folder,
// then reads it back. A one-hour log at 2,000 frames/s (7.2 M frames) must
// replay in 10 s with the engine, so reading alone needs at least 720,000
// frames/s. Best of three reads.
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>

#include "canlog.h"

int main(int argc, char **argv)
{
    const qint64 count = argc > 1 ? std::atoll(argv[1]) : 1000000;
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("bench.log"));
    {
        QFile out(path);
        if (!out.open(QIODevice::WriteOnly))
            return 1;
        kelda::canlog::CandumpWriter writer(&out);
        QRandomGenerator rng(1);
        kelda::canlog::Frame f;
        for (qint64 i = 0; i < count; ++i) {
            f.timeNs = 1700000000LL * 1000000000 + i * 500000;
            f.extended = rng.bounded(10) == 0;
            f.id = f.extended ? rng.bounded(0x20000000) : rng.bounded(0x800);
            f.length = uint8_t(rng.bounded(9));
            for (int k = 0; k < 8; ++k)
                f.data[k] = uint8_t(rng.bounded(256));
            if (!writer.write(f))
                return 1;
        }
    }
    const double mb = double(QFile(path).size()) / 1e6;
    double best = 1e18;
    for (int run = 0; run < 3; ++run) {
        kelda::canlog::Reader reader(path);
        if (!reader.open(nullptr))
            return 1;
        QElapsedTimer t;
        t.start();
        kelda::canlog::Frame f;
        qint64 n = 0;
        while (reader.next(f))
            ++n;
        const double s = t.nsecsElapsed() / 1e9;
        if (n != count || reader.counts().problems != 0) {
            std::printf("read %lld of %lld frames, %lld problems\n", n, count, reader.counts().problems);
            return 1;
        }
        best = std::min(best, s);
    }
    std::printf("candump -l read: %lld frames (%.0f MB) in %.3f s: %.0f frames/s, %.0f MB/s "
                "(goal >= 720000 frames/s)\n",
                count, mb, best, count / best, mb / best);
    return 0;
}
