// Fuzzes the JSON tree that kelda-cli load reads: whatever the bytes, load
// either builds a whole tree or fails with the JSON path of the fault. A tree
// it builds dumps, loads back to the same dump, and saves into a file that
// the setup reader opens.
#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "setuptree.h"
#include "storecursor.h"
#include "strata.h"

namespace {

void require(bool condition, const char *what, const QString &detail = QString())
{
    if (!condition) {
        std::fprintf(stderr, "fuzz_tree: %s (%s)\n", what, qPrintable(detail));
        std::abort();
    }
}

QByteArray scratchFile()
{
    static std::unique_ptr<QTemporaryDir> dir;
    if (!dir) {
        const QString base = QDir("/dev/shm").exists() ? QString("/dev/shm") : QDir::tempPath();
        dir = std::make_unique<QTemporaryDir>(base + "/fuzz_tree-XXXXXX");
        require(dir->isValid(), "no temporary folder");
    }
    return QFile::encodeName(dir->path() + "/tree.kelda");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray json(reinterpret_cast<const char *>(data), qsizetype(size));
    kelda::UniqueSession session;
    QString error;
    if (!kelda::setuptree::load(json, &session, &error)) {
        require(!session, "a refused tree left a session");
        require(error.startsWith(QLatin1Char('$')) || error.startsWith(QLatin1String("cannot")),
                "a refusal without the path of the fault", error);
        return 0;
    }
    require(bool(session), "an accepted tree without a session");
    QByteArray first;
    require(kelda::setuptree::dump(session.get(), &first, &error), "a loaded tree cannot be dumped", error);
    kelda::UniqueSession again;
    require(kelda::setuptree::load(first, &again, &error), "a dump cannot be loaded", error);
    QByteArray second;
    require(kelda::setuptree::dump(again.get(), &second, &error), "a reloaded tree cannot be dumped", error);
    require(first == second, "load of a dump changes the dump");

    // Whatever load builds, the store saves (within its item limit) and reads.
    const QByteArray file = scratchFile();
    if (!session.save(file)) {
        require(QString::fromUtf8(STRATA_LastError()).contains(QLatin1String("too large")),
                "a loaded tree cannot be saved", QString::fromUtf8(STRATA_LastError()));
        return 0;
    }
    kelda::UniqueSession opened = kelda::UniqueSession::open(file);
    require(bool(opened), "a saved tree cannot be opened", QString::fromUtf8(STRATA_LastError()));
    QByteArray third;
    require(kelda::setuptree::dump(opened.get(), &third, &error), "a reopened tree cannot be dumped", error);
    require(third == first, "save and open change the dump");
    return 0;
}
