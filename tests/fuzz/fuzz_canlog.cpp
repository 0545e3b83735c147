// Fuzzes the CAN log readers: whatever the bytes, each format reads to the
// end, every frame stays inside CAN's limits, and every line it cannot read
// is reported with a line number inside the file and a reason.
#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "canlog.h"

namespace {

void require(bool condition, const char *what)
{
    if (!condition) {
        std::fprintf(stderr, "fuzz_canlog: %s\n", what);
        std::abort();
    }
}

void check(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    require(f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size(), "cannot write");
    f.close();
    kelda::canlog::Reader r(path);
    if (!r.open(nullptr))
        return;
    const qint64 lines = bytes.count('\n') + 1;
    kelda::canlog::Frame frame;
    qint64 frames = 0;
    while (r.next(frame)) {
        ++frames;
        require(frame.length <= (frame.fd ? 64 : 8), "data longer than the frame allows");
        require(frame.id <= (frame.extended ? 0x1FFFFFFFu : 0x7FFu), "identifier out of range");
    }
    require(frames == r.counts().frames, "frames miscounted");
    require(r.counts().lines <= lines, "more lines than the file has");
    for (const kelda::canlog::Problem &p : r.problems())
        require(!p.reason.isEmpty() && p.line >= 1 && p.line <= lines, "a problem without a reason or line");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static QTemporaryDir dir;
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    for (const char *name : {"f.log", "f.asc", "f.trc", "f.csv", "f.txt"})
        check(dir.filePath(QString::fromLatin1(name)), bytes);
    return 0;
}
