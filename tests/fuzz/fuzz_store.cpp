// Fuzzes the setup file reader: whatever the bytes, opening either loads a
// whole tree or fails with a reason. A loaded tree is walked, listed by
// dump (whatever the reader accepts, dump lists), saved and reopened, and
// must come back byte for byte.
#include "strata.h"
#include "strata_tree.h"
#include "schema.h"
#include "setuptree.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

using kelda::ItemType;
using kelda::ValueId;

constexpr uint16_t kValueIds[] = {1002, 1024, 1029, 1051, 1057, 1058, 1059, 1063, 1067, 1089, 1090, 6045};

// Checks that must hold for every input; a failure is a finding.
void require(bool condition, const char *what)
{
    if (!condition) {
        std::fprintf(stderr, "fuzz_store: %s (%s)\n", what, STRATA_LastError());
        std::abort();
    }
}

QString scratchDir()
{
    // tmpfs where there is one: saving syncs, and a disk would slow every run.
    static std::unique_ptr<QTemporaryDir> dir;
    if (!dir) {
        const QString base = QDir("/dev/shm").exists() ? QString("/dev/shm") : QDir::tempPath();
        dir = std::make_unique<QTemporaryDir>(base + "/fuzz_store-XXXXXX");
        require(dir->isValid(), "no temporary folder");
    }
    return dir->path();
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile::remove(path);
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void walk(StoreSession s, int depth)
{
    require(depth <= strata::kMaxDepth, "tree deeper than the limit");
    static unsigned char buffer[65536 + 8];  // not on the stack: walk recurses
    for (uint16_t id : kValueIds) {
        uint32_t size = 0;
        if (STRATA_GetValSize(id, &size, s)) {
            require(size <= sizeof buffer, "value larger than any valid one");
            require(STRATA_GetValue(id, buffer, s), "value with a size cannot be read");
            const int width = kelda::valueWidth(id);
            if (width == kelda::kTextWidth) {
                require(size >= 1 && buffer[size - 1] == 0, "text without its zero");
                require(std::strlen(reinterpret_cast<char *>(buffer)) == size - 1, "text with a zero inside");
            } else {
                require(size == uint32_t(width), "value of the wrong width");
            }
        }
    }
    // A reference may or may not resolve; either way the cursor must be usable.
    StoreBookmark here = nullptr;
    require(STRATA_AddBookMark(&here, s), "no bookmark");
    if (STRATA_GotoReference(1, s))
        require(STRATA_GotoBookMark(here, s), "bookmark lost after a reference");
    // Every child type the store lists, known to the schema or not, ascending.
    uint16_t types = 0;
    require(STRATA_GetChildTypeCount(&types, s), "no child type count");
    int previous = -1;
    uint16_t spare = 0;
    for (uint16_t position = 0; position < types; ++position) {
        uint16_t type = 0;
        require(STRATA_GetChildType(position, &type, s), "listed child type cannot be read");
        require(int(type) > previous, "child types not ascending");
        previous = type;
        uint16_t count = 0;
        require(STRATA_GetItemCount(type, &count, s) && count > 0, "listed type without items");
        for (uint16_t i = 0; i < count && i < 64; ++i) {
            require(STRATA_OpenItem(type, i, s), "counted item cannot be opened");
            uint16_t t = 0, index = 0;
            require(STRATA_GetParentTID(&t, &index, s) && t == type && index == i, "wrong position");
            uint32_t size = 0;
            if (STRATA_GetValSize(uint16_t(ValueId::Name), &size, s) && size > 0) {
                QByteArray name(int(size), '\0');
                STRATA_GetValue(uint16_t(ValueId::Name), name.data(), s);
                require(STRATA_CloseItem(s), "cannot close");
                require(STRATA_FindType(type, uint16_t(ValueId::Name), name.constData(), s),
                        "named item not found by its name");
                require(STRATA_GetParentTID(&t, &index, s) && t == type && index <= i, "found the wrong item");
                require(STRATA_CloseItem(s), "cannot close");
                require(STRATA_OpenItem(type, i, s), "cannot reopen");
            }
            walk(s, depth + 1);
            require(STRATA_CloseItem(s), "cannot close");
        }
    }
    require(!STRATA_GetChildType(types, &spare, s), "child type past the last one");
    require(STRATA_GotoBookMark(here, s), "bookmark lost");
    STRATA_RemoveBookMark(here, s);
}

void openOne(const QByteArray &bytes)
{
    const QString dir = scratchDir();
    const QByteArray input = QFile::encodeName(dir + "/input.kelda");
    require(writeFile(QString::fromLatin1(input), bytes), "cannot write the input");
    StoreSession s = nullptr;
    if (!STRATA_OpenSession(input.constData(), &s)) {
        require(s == nullptr, "failed open left a session");
        require(std::strlen(STRATA_LastError()) > 0, "failed open without a reason");
        return;
    }
    walk(s, 0);
    QByteArray json;
    QString why;
    require(kelda::setuptree::dump(s, &json, &why), "an opened tree cannot be dumped");
    const QByteArray first = QFile::encodeName(dir + "/first.kelda");
    require(STRATA_SaveSession(first.constData(), s), "a loaded tree cannot be saved");
    require(STRATA_CloseSession(s), "cannot close the session");

    StoreSession again = nullptr;
    require(STRATA_OpenSession(first.constData(), &again), "a saved file cannot be opened");
    const QByteArray second = QFile::encodeName(dir + "/second.kelda");
    require(STRATA_SaveSession(second.constData(), again), "cannot save again");
    require(readFile(QString::fromLatin1(first)) == readFile(QString::fromLatin1(second)), "save, open, save differs");
    STRATA_CloseSession(again);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    openOne(bytes);
    // Almost every mutation breaks the checksum; repair length and checksum so
    // that the tree reader behind them is reached as well.
    if (size >= 20) {
        QByteArray fixed = bytes;
        const uint32_t length = uint32_t(size - 20);
        const uint32_t crc = strata::crc32(fixed.constData() + 20, length);
        for (int i = 0; i < 4; ++i) {
            fixed[12 + i] = char(length >> (24 - 8 * i));
            fixed[16 + i] = char(crc >> (24 - 8 * i));
        }
        if (fixed != bytes)
            openOne(fixed);
    }
    return 0;
}
