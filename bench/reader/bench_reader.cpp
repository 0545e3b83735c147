// The readers against the worst files within the store's limits: the setup
// file reader (the store's open and the editor's Open, PMModel::openSetup) on
// trees shaped to hit every path of the reader, and kelda-cli load on a table
// of as many rows as the store holds. Both must stay linear: each figure is
// printed with its goal. Median of three runs; the CPU time beside the wall
// time shows what the figure is worth on a busy machine.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <sys/resource.h>
#include <functional>
#include <vector>

#include "pmmodel.h"
#include "strata.h"
#include "strata_tree.h"

namespace {

constexpr double kGoalMs = 2000;
constexpr int kRuns = 3;
constexpr uint16_t kSetup = 27, kTimer = 219;
constexpr uint32_t kName = 1002, kResetTicks = 1067, kOrder = 1029, kData = 1089, kCanId = 1059, kCondition = 1051,
                   kTargetType = 1024;

// CPU time of this process and of its children that have ended.
double cpuMs()
{
    double ms = 0;
    for (int who : {RUSAGE_SELF, RUSAGE_CHILDREN}) {
        rusage u{};
        getrusage(who, &u);
        ms += (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
    }
    return ms;
}

struct Figure {
    double wall = 0, cpu = 0;
};

Figure median(const std::function<bool()> &work, bool *ok)
{
    std::vector<double> t, c;
    for (int i = 0; i < kRuns; ++i) {
        QElapsedTimer timer;
        const double c0 = cpuMs();
        timer.start();
        *ok = work() && *ok;
        t.push_back(timer.nsecsElapsed() / 1e6);
        c.push_back(cpuMs() - c0);
    }
    std::sort(t.begin(), t.end());
    std::sort(c.begin(), c.end());
    return {t[t.size() / 2], c[c.size() / 2]};
}

// The flat encoding of docs/setup-file-format.md (version 2), or the nested
// one (version 1), written by hand: the store's own writer only ever writes
// children in ascending type order, and the slow paths are elsewhere.
class Cbor
{
public:
    void uint(uint64_t v, int major = 0)
    {
        const char m = char(major << 5);
        if (v < 24) {
            bytes.append(char(m | char(v)));
        } else if (v < 0x100) {
            bytes.append(char(m | 24));
            bytes.append(char(v));
        } else if (v < 0x10000) {
            bytes.append(char(m | 25));
            for (int s = 8; s >= 0; s -= 8)
                bytes.append(char(v >> s));
        } else if (v < 0x100000000ull) {
            bytes.append(char(m | 26));
            for (int s = 24; s >= 0; s -= 8)
                bytes.append(char(v >> s));
        } else {
            bytes.append(char(m | 27));
            for (int s = 56; s >= 0; s -= 8)
                bytes.append(char(v >> s));
        }
    }
    void text(const QByteArray &s)
    {
        uint(uint64_t(s.size()), 2);
        bytes.append(s);
    }
    QByteArray bytes;
};

// A flat tree: every item's head, values and children in pre-order.
struct Flat {
    Cbor body;
    uint64_t elements = 0;
    void head(uint16_t type, int values, uint64_t children)
    {
        body.uint(type | uint64_t(values) << 16 | children << 20);
        ++elements;
    }
    void number(uint32_t id, uint16_t v)
    {
        body.uint(uint64_t(id) << 16 | v);
        ++elements;
    }
    void name(const QByteArray &s)
    {
        body.uint(uint64_t(kName) << 16);
        body.text(s);
        elements += 2;
    }
};

QByteArray fileOf(const QByteArray &payload, uint16_t version)
{
    QByteArray f("KELDASET");
    auto u16 = [&](uint16_t v) { f.append(char(v >> 8)).append(char(v)); };
    auto u32 = [&](uint32_t v) {
        u16(uint16_t(v >> 16));
        u16(uint16_t(v));
    };
    u16(version);
    u16(0);
    u32(uint32_t(payload.size()));
    u32(strata::crc32(payload.constData(), size_t(payload.size())));
    return f + payload;
}

QByteArray flatFile(const Flat &tree)
{
    Cbor c;
    c.uint(tree.elements, 4);
    return fileOf(c.bytes + tree.body.bytes, 2);
}

// Root and setup item around `children` children of the setup.
void setupHead(Flat &t, uint64_t children)
{
    t.head(0, 0, 1);
    t.head(kSetup, 0, children);
}

// The setup's children of `items` items each have children of 65535 types
// listed in descending order, each type once.
QByteArray descendingTypes(int items)
{
    Flat t;
    setupHead(t, uint64_t(items));
    for (int i = 0; i < items; ++i) {
        t.head(kTimer, 0, STRATA_MAX_CHILD_TYPES);
        for (uint32_t type = STRATA_MAX_CHILD_TYPES; type >= 1; --type)
            t.head(uint16_t(type), 0, 0);
    }
    return flatFile(t);
}

// 65535 children whose types jump about (a fixed permutation), 15 times over.
QByteArray scatteredTypes()
{
    Flat t;
    setupHead(t, 15);
    for (int i = 0; i < 15; ++i) {
        t.head(kTimer, 0, STRATA_MAX_CHILD_TYPES);
        for (uint32_t k = 0; k < STRATA_MAX_CHILD_TYPES; ++k)
            t.head(uint16_t(1 + (k * 40503u) % STRATA_MAX_CHILD_TYPES), 0, 0);
    }
    return flatFile(t);
}

// The most items a file holds, each with a name and eight numbers: the
// setup's children, 16 types of 62499 items each (close to 64 MiB).
QByteArray mostItemsWithValues()
{
    Flat t;
    const int perType = (STRATA_MAX_ITEMS - 2) / 16;
    setupHead(t, uint64_t(perType) * 16);
    const uint32_t ids[] = {kResetTicks, kOrder, kData, kCanId, kCondition, kTargetType, 1057, 1058};
    for (int type = 0; type < 16; ++type)
        for (int i = 0; i < perType; ++i) {
            t.head(uint16_t(300 + type), 9, 0);
            for (uint32_t id : ids)
                t.number(id, uint16_t(id == 1057 || id == 1058 ? i & 0xFF : i));
            t.name(QByteArray::number(i).rightJustified(6, '0'));
        }
    return flatFile(t);
}

// A thousand of the longest texts: 1000 x 60000 bytes, close to 64 MiB.
QByteArray longestTexts()
{
    Flat t;
    setupHead(t, 1000);
    const QByteArray text(60000, 'x');
    for (int i = 0; i < 1000; ++i) {
        t.head(kTimer, 1, 0);
        t.name(text);
    }
    return flatFile(t);
}

// Chains as deep as the store allows, side by side, up to the item limit.
QByteArray deepestChains()
{
    Flat t;
    const int depth = STRATA_MAX_DEPTH - 1;  // below the setup item
    const int chains = (STRATA_MAX_ITEMS - 2) / depth;
    setupHead(t, uint64_t(chains));
    for (int c = 0; c < chains; ++c)
        for (int level = 0; level < depth; ++level)
            t.head(kTimer, 0, level + 1 < depth ? 1 : 0);
    return flatFile(t);
}

// The nested layout of version 1 with descending types (15 x 65535 children).
QByteArray nestedDescendingTypes()
{
    Cbor c;
    auto item = [&](uint16_t type, uint64_t children) {
        c.uint(3, 4);
        c.uint(type);
        c.uint(0, 5);
        c.uint(children, 4);
    };
    item(0, 1);
    item(kSetup, 15);
    for (int i = 0; i < 15; ++i) {
        item(kTimer, STRATA_MAX_CHILD_TYPES);
        for (uint32_t type = STRATA_MAX_CHILD_TYPES; type >= 1; --type)
            item(uint16_t(type), 0);
    }
    return fileOf(c.bytes, 1);
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size() && f.flush();
}

// kelda-cli load of one table with `rows` rows, each with a name and a number.
QByteArray treeJson(int rows)
{
    QByteArray json = "{\"format\":\"kelda-setup-tree\",\"version\":1,\"items\":[{\"type\":27,\"children\":[";
    for (int i = 0; i < rows; ++i) {
        if (i)
            json += ',';
        json += "{\"type\":219,\"values\":{\"1002\":\"Timer " + QByteArray::number(i + 1) + "\",\"1067\":100}}";
    }
    return json + "]}]}";
}

}  // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    bool allOk = true;

    struct Shape {
        const char *what;
        std::function<QByteArray()> make;
    };
    const Shape shapes[] = {
        {"65535 child types in descending order", [] { return descendingTypes(1); }},
        {"15 x 65535 child types in descending order", [] { return descendingTypes(15); }},
        {"15 x 65535 child types in scattered order", scatteredTypes},
        {"version 1, 15 x 65535 child types in descending order", nestedDescendingTypes},
        {"999986 items with 9 values each", mostItemsWithValues},
        {"1000 texts of 60000 bytes", longestTexts},
        {"chains 63 levels deep, 999938 items", deepestChains},
    };
    std::printf("setup reader (goal: every file within the store's limits opens in <= %.0f ms)\n", kGoalMs);
    for (const Shape &shape : shapes) {
        const QByteArray bytes = shape.make();
        const QString path = dir.filePath(QStringLiteral("shape.kelda"));
        if (bytes.size() > STRATA_MAX_FILE_SIZE || !writeFile(path, bytes)) {
            std::fprintf(stderr, "bench_reader: cannot make the file for '%s'\n", shape.what);
            return 1;
        }
        const QByteArray latin1 = path.toLatin1();
        bool ok = true;
        const Figure store = median(
            [&] {
                StoreSession s = nullptr;
                if (!STRATA_OpenSession(latin1.constData(), &s)) {
                    std::fprintf(stderr, "bench_reader: %s: %s\n", shape.what, STRATA_LastError());
                    return false;
                }
                STRATA_CloseSession(s);
                return true;
            },
            &ok);
        const Figure editor = median(
            [&] {
                PMModel model;
                return model.openSetup(path);
            },
            &ok);
        allOk = allOk && ok;
        std::printf("  %-52s %4.1f MiB: store open %6.0f ms (cpu %6.0f), editor open %6.0f ms (cpu %6.0f) "
                    "(goal <= %.0f ms)%s\n",
                    shape.what, bytes.size() / 1048576.0, store.wall, store.cpu, editor.wall, editor.cpu, kGoalMs,
                    ok ? "" : " FAILED");
    }

    std::printf("kelda-cli load (goal: the most rows a table holds load in <= %.0f ms)\n", kGoalMs);
    for (int rows : {10000, STRATA_MAX_CHILDREN_PER_TYPE}) {
        const QString json = dir.filePath(QStringLiteral("tree.json"));
        const QString out = dir.filePath(QStringLiteral("tree.kelda"));
        if (!writeFile(json, treeJson(rows)))
            return 1;
        bool ok = true;
        const Figure load = median(
            [&] {
                QProcess p;
                p.start(QStringLiteral(KELDA_CLI), {QStringLiteral("load"), json, QStringLiteral("-o"), out});
                return p.waitForFinished(600000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
            },
            &ok);
        allOk = allOk && ok;
        std::printf("  %5d rows of one table: %6.0f ms (cpu %6.0f) (goal <= %.0f ms)%s\n", rows, load.wall, load.cpu,
                    kGoalMs, ok ? "" : " FAILED");
    }
    return allOk ? 0 : 1;
}
