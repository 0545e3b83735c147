// The CAN model against a reference written here from the documented rules,
// and the CAN log readers against logs that other tools wrote.
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <optional>

#include "canlog.h"
#include "canmodel.h"

using namespace kelda;

namespace {

struct RefInput {
    int pos;
    bool isByte;
    int index;  // byte 1..8 or word 1..4
    uint8_t compare;
    uint16_t data;
};
struct RefOutput {
    int pos;
    bool isByte;
    int index;
    uint16_t data;
};

uint8_t descriptor(int pos, bool isByte, int index)
{
    return uint8_t(isByte ? 128 + 8 * pos + index : 4 * pos + index);
}

void u16(QByteArray &b, uint16_t v)
{
    b.append(char(v >> 8));
    b.append(char(v & 0xFF));
}

// An image with only sections 3, 4, 8 and 9 filled; the rest empty.
QByteArray buildImage(const std::vector<std::pair<uint16_t, bool>> &rx, const std::vector<uint16_t> &tx,
                      const std::vector<RefInput> &ins, const std::vector<RefOutput> &outs)
{
    QByteArray body;
    std::array<uint16_t, 11> header{22};
    const auto section = [&](int s) { header[s] = uint16_t(22 + body.size()); };
    section(1), body.append(char(0));
    section(2), body.append(char(0));
    section(3), body.append(char(ins.size()));
    for (const RefInput &i : ins) {
        body.append(char(descriptor(i.pos, i.isByte, i.index)));
        body.append(char(i.compare));
        u16(body, i.data);
    }
    section(4), body.append(char(outs.size()));
    for (const RefOutput &o : outs) {
        body.append(char(descriptor(o.pos, o.isByte, o.index)));
        u16(body, o.data);
    }
    section(5);
    section(6), body.append(char(0));
    section(7), body.append(char(0));
    section(8), body.append(char(rx.size()));
    for (const auto &[id, little] : rx)
        u16(body, uint16_t(id << 5)), u16(body, little ? 1 : 0);
    section(9), body.append(char(tx.size()));
    for (const uint16_t id : tx)
        u16(body, uint16_t(id << 5)), u16(body, 0);
    section(10), body.append(QByteArray(2 * 8 + 8, '\0'));
    QByteArray image;
    for (const uint16_t h : header)
        u16(image, h);
    return image + body;
}

// The documented rule, written out on its own.
std::optional<bool> reference(const RefInput &in, bool little, const uint8_t *d, int len)
{
    long v = 0;
    int width = 8;
    if (in.isByte) {
        if (len < in.index)
            return std::nullopt;
        v = d[in.index - 1];
    } else {
        if (len < 2 * in.index)
            return std::nullopt;
        const int b1 = d[2 * in.index - 2];  // byte 2w-1
        const int b2 = d[2 * in.index - 1];  // byte 2w
        v = little ? b2 * 256 + b1 : b1 * 256 + b2;
        width = 16;
    }
    const long full = 1L << width;
    const long masked = in.data & (full - 1);
    const long sv = v >= full / 2 ? v - full : v;
    const long sd = masked >= full / 2 ? masked - full : masked;
    switch (in.compare) {
    case 1:
        return v == in.data;
    case 2:
        return v < in.data;
    case 3:
        return v > in.data;
    case 4:
        return (v & in.data) == in.data;
    case 129:
        return sv < sd;
    case 130:
        return sv > sd;
    default:
        return std::nullopt;  // CAN Key: not from frames
    }
}

struct Expected {
    uint32_t id;
    bool extended;
    bool remote;
    int length;
    QByteArray data;
    qint64 us;
};

std::vector<Expected> readExpected(const QString &path)
{
    std::vector<Expected> out;
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return out;
    while (!f.atEnd()) {
        const QList<QByteArray> p = f.readLine().trimmed().split(' ');
        if (p.size() == 6)
            out.push_back({p[0].toUInt(nullptr, 16), p[1] == "1", p[2] == "1", p[3].toInt(),
                           p[4] == "-" ? QByteArray() : QByteArray::fromHex(p[4]), p[5].toLongLong()});
    }
    return out;
}

// Reads a log whole and compares it frame by frame with the expected frames.
void compareLog(const QString &file, std::vector<Expected> expected, qint64 toleranceUs, bool remoteLength)
{
    canlog::Reader reader(file);
    QString why;
    QVERIFY2(reader.open(&why), qPrintable(file + QLatin1String(": ") + why));
    std::vector<canlog::Frame> got;
    canlog::Frame f;
    while (reader.next(f))
        got.push_back(f);
    for (const canlog::Problem &p : reader.problems())
        qWarning("%s", qPrintable(p.text()));
    QCOMPARE(reader.counts().problems, 0);
    QCOMPARE(got.size(), expected.size());
    for (size_t i = 0; i < got.size(); ++i) {
        const Expected &e = expected[i];
        const canlog::Frame &g = got[i];
        const QByteArray data(reinterpret_cast<const char *>(g.data.data()), g.remote ? 0 : g.length);
        const QString where = QStringLiteral("%1 frame %2").arg(file).arg(i + 1);
        QVERIFY2(g.id == e.id && g.extended == e.extended && g.remote == e.remote, qPrintable(where));
        if (!e.remote)
            QVERIFY2(data == e.data && g.length == e.length, qPrintable(where));
        else if (remoteLength)
            QVERIFY2(g.length == e.length, qPrintable(where));
        const qint64 us = (g.timeNs - got[0].timeNs) / 1000;
        QVERIFY2(std::abs(us - e.us) <= toleranceUs,
                 qPrintable(where + QStringLiteral(": %1 us, not %2").arg(us).arg(e.us)));
    }
}

bool pythonCan()
{
    return QProcess::execute(QStringLiteral("/usr/bin/python3"), {QStringLiteral("-c"), QStringLiteral("import can")})
        == 0;
}

}  // namespace

class TestCan : public QObject
{
    Q_OBJECT

private slots:
    void modelMatchesReference();
    void modelKnownValues();
    void transmitFramesMatchReference();
    void logsWrittenByOtherTools();
    void trcFixtures();
    void unreadableLinesAreReportedAndReadingGoesOn();
    void logsEditedByHand();
    void writtenLogReadBackByPythonCan();
};

void TestCan::modelMatchesReference()
{
    QRandomGenerator rng(29);
    static constexpr uint8_t compares[] = {1, 2, 3, 4, 5, 129, 130};
    for (int round = 0; round < 40; ++round) {
        std::vector<std::pair<uint16_t, bool>> rx;
        for (int p = 0; p < 6; ++p)
            rx.push_back({uint16_t(0x100 * p + rng.bounded(0x100)), rng.bounded(2) == 1});
        std::vector<RefInput> ins;
        for (int i = 0; i < 30; ++i) {
            const bool isByte = rng.bounded(2);
            const uint16_t data =
                rng.bounded(3) == 0 ? uint16_t(rng.bounded(0x10000)) : uint16_t(rng.bounded(isByte ? 0x100 : 0x10000));
            ins.push_back(
                {int(rng.bounded(6)), isByte, int(rng.bounded(1, isByte ? 9 : 5)), compares[rng.bounded(7)], data});
        }
        const QByteArray image = buildImage(rx, {}, ins, {});
        const can::CanModel model = can::CanModel::fromImage(image);
        QCOMPARE(model.inputs().size(), ins.size());
        can::CanInputResults results(model);
        std::vector<bool> ref(ins.size(), false);
        for (int n = 0; n < 400; ++n) {
            const int pos = int(rng.bounded(6));
            const bool other = rng.bounded(10) == 0;  // an identifier nobody reads
            const uint32_t id = other ? 0x7F0 + rng.bounded(16) : rx[pos].first;
            const bool extended = rng.bounded(10) == 0;
            const bool remote = rng.bounded(10) == 0;
            const int len = int(rng.bounded(9));
            uint8_t d[8];
            for (uint8_t &b : d) {
                const RefInput &some = ins[rng.bounded(int(ins.size()))];
                b = rng.bounded(2) ? uint8_t(rng.bounded(256)) : uint8_t(rng.bounded(2) ? some.data >> 8 : some.data);
            }
            if (rng.bounded(20) == 0) {  // a script's direct setting
                const int i = int(rng.bounded(int(ins.size())));
                ref[i] = !ref[i];
                results.set(i, ref[i]);
            }
            results.apply(id, extended, remote, d, len);
            for (size_t i = 0; i < ins.size(); ++i) {
                if (other || extended || remote || ins[i].pos != pos)
                    continue;
                if (const std::optional<bool> r = reference(ins[i], rx[pos].second, d, len))
                    ref[i] = *r;
            }
            for (size_t i = 0; i < ins.size(); ++i)
                QVERIFY2(results.result(int(i)) == ref[i],
                         qPrintable(QStringLiteral("round %1 frame %2 input %3 (compare %4, data %5)")
                                        .arg(round)
                                        .arg(n)
                                        .arg(i)
                                        .arg(ins[i].compare)
                                        .arg(ins[i].data)));
        }
    }
}

void TestCan::modelKnownValues()
{
    // Word 1 of 12 34: big endian 0x1234, little endian 0x3412.
    const uint8_t d[] = {0x12, 0x34, 0xFF, 0x80};
    QCOMPARE(can::channelValue({false, 1}, false, d, 4), std::optional<uint16_t>(0x1234));
    QCOMPARE(can::channelValue({false, 1}, true, d, 4), std::optional<uint16_t>(0x3412));
    QCOMPARE(can::channelValue({true, 3}, false, d, 4), std::optional<uint16_t>(0xFF));
    QVERIFY(!can::channelValue({false, 2}, false, d, 3));  // too short for word 2
    QVERIFY(!can::channelValue({true, 5}, false, d, 4));
    // 0xFF is -1 as a byte, 255 unsigned.
    QVERIFY(can::compare(129, 0xFF, 0x01, 8));
    QVERIFY(!can::compare(2, 0xFF, 0x01, 8));
    QVERIFY(can::compare(130, 0x7FFF, 0x8000, 16));
    QVERIFY(can::compare(4, 0xF0, 0x30, 8) && !can::compare(4, 0xF0, 0x31, 8));
    QVERIFY(!can::compare(5, 1, 1, 8));  // CAN Key is not decided by frames

    // The input keeps its result through a short frame and ignores extended and remote frames.
    const QByteArray image = buildImage({{0x123, true}}, {}, {{0, false, 1, 3, 0x1000}, {0, false, 1, 5, 0}}, {});
    const can::CanModel model = can::CanModel::fromImage(image);
    QCOMPARE(model.inputs()[0].identifier, 0x123);
    QVERIFY(!model.inputs()[1].fromFrames());
    can::CanInputResults r(model);
    const uint8_t hi[] = {0x00, 0x20};
    QCOMPARE(r.apply(0x123, false, false, hi, 2), 1);
    QVERIFY(r.result(0));
    QCOMPARE(r.apply(0x123, false, false, d, 1), 0);
    QCOMPARE(r.apply(0x123, true, false, d, 4), 0);
    QCOMPARE(r.apply(0x123, false, true, d, 4), 0);
    QVERIFY(r.result(0) && !r.result(1));
    // A truncated image gives the entries that are whole and never reads past
    // its end: here the first input, without its identifier list.
    const can::CanModel cut = can::CanModel::fromImage(image.left(30));
    QCOMPARE(cut.inputs().size(), size_t(1));
    QVERIFY(!cut.inputs()[0].fromFrames());
    for (int n = 0; n < image.size(); ++n)
        QVERIFY(can::CanModel::fromImage(image.left(n)).inputs().size() <= 2);
}

void TestCan::transmitFramesMatchReference()
{
    QRandomGenerator rng(2929);
    for (int round = 0; round < 100; ++round) {
        const std::vector<uint16_t> tx = {0x200, 0x201, 0x7FF};
        std::vector<RefOutput> outs;
        for (int i = 0; i < 12; ++i) {
            const bool isByte = rng.bounded(2);
            outs.push_back(
                {int(rng.bounded(3)), isByte, int(rng.bounded(1, isByte ? 9 : 5)), uint16_t(rng.bounded(0x10000))});
        }
        const can::CanModel model = can::CanModel::fromImage(buildImage({}, tx, {}, outs));
        std::vector<bool> active(outs.size());
        for (size_t i = 0; i < active.size(); ++i)
            active[i] = rng.bounded(2);
        std::vector<std::array<uint8_t, 8>> ref(tx.size(), std::array<uint8_t, 8>{});
        for (size_t i = 0; i < outs.size(); ++i) {
            if (!active[i])
                continue;
            const RefOutput &o = outs[i];
            if (o.isByte) {
                ref[o.pos][o.index - 1] = uint8_t(o.data % 256);
            } else {
                ref[o.pos][2 * o.index - 2] = uint8_t(o.data / 256);
                ref[o.pos][2 * o.index - 1] = uint8_t(o.data % 256);
            }
        }
        const std::vector<can::TxFrame> frames = model.transmitFrames(active);
        QCOMPARE(frames.size(), tx.size());
        for (size_t p = 0; p < tx.size(); ++p) {
            QCOMPARE(frames[p].identifier, tx[p]);
            QVERIFY2(frames[p].data == ref[p], qPrintable(QStringLiteral("round %1 identifier %2").arg(round).arg(p)));
        }
    }
}

void TestCan::logsWrittenByOtherTools()
{
    if (!pythonCan())
        QSKIP("python-can is not installed for /usr/bin/python3 (Debian package python3-can)");
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QCOMPARE(QProcess::execute(QStringLiteral("/usr/bin/python3"), {QStringLiteral(KELDA_WRITELOGS), dir.path()}), 0);
    const std::vector<Expected> all = readExpected(dir.filePath(QStringLiteral("expected.txt")));
    QVERIFY(all.size() == 200);
    // python-can's TRC writer leaves remote frames out.
    std::vector<Expected> noRemote;
    std::copy_if(all.begin(), all.end(), std::back_inserter(noRemote), [](const Expected &e) { return !e.remote; });
    compareLog(dir.filePath(QStringLiteral("py.log")), all, 1, false);
    compareLog(dir.filePath(QStringLiteral("py.asc")), all, 10, true);
    compareLog(dir.filePath(QStringLiteral("py.csv")), all, 1, true);
    compareLog(dir.filePath(QStringLiteral("py.trc")), noRemote, 1, false);

    const QString log2asc = QStandardPaths::findExecutable(QStringLiteral("log2asc"));
    const QString asc2log = QStandardPaths::findExecutable(QStringLiteral("asc2log"));
    if (log2asc.isEmpty() || asc2log.isEmpty())
        QSKIP("log2asc and asc2log are not installed (Debian package can-utils)");
    QProcess p;
    p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    p.start(log2asc,
            {QStringLiteral("-I"), dir.filePath(QStringLiteral("py.log")), QStringLiteral("-O"),
             dir.filePath(QStringLiteral("log2asc.asc")), QStringLiteral("can0")});
    QVERIFY(p.waitForFinished() && p.exitCode() == 0);
    compareLog(dir.filePath(QStringLiteral("log2asc.asc")), all, 10, false);
    p.start(asc2log,
            {QStringLiteral("-I"), dir.filePath(QStringLiteral("py.asc")), QStringLiteral("-O"),
             dir.filePath(QStringLiteral("asc2log.log"))});
    QVERIFY(p.waitForFinished() && p.exitCode() == 0);
    compareLog(dir.filePath(QStringLiteral("asc2log.log")), all, 10, true);
}

void TestCan::trcFixtures()
{
    // The same three frames in versions 1.1, 1.3 and 2.0, with a remote frame,
    // an error frame and status lines around them.
    const std::vector<Expected> common = {
        {0x300, false, false, 8, QByteArray::fromHex("0000000004000000"), 0},
        {0x300, false, false, 8, QByteArray::fromHex("0000000004000000"), 223331},
        {0x18EFC034, true, false, 4, QByteArray::fromHex("01020304"), 239045},
    };
    struct Case {
        const char *file;
        qint64 remoteUs;
        int errors;
    };
    for (const Case &c : {Case{"v11.trc", 274100, 1}, Case{"v13.trc", 263600, 0}, Case{"v20.trc", 263600, 1}}) {
        std::vector<Expected> expected = common;
        if (QByteArray(c.file) == "v11.trc")
            expected[1].us = 223300, expected[2].us = 239000;
        expected.push_back({0x401, false, true, 2, {}, c.remoteUs});
        if (c.errors && QByteArray(c.file) == "v20.trc")  // 2.0 also carries a CAN FD frame
            expected.push_back({0x123, false, false, 12, QByteArray::fromHex("0102030405060708090A0B0C"), 280350});
        const QString path = QStringLiteral(KELDA_TESTDATA "/canlog/") + QLatin1String(c.file);
        compareLog(path, expected, 0, true);
        canlog::Reader r(path);
        QVERIFY(r.open(nullptr));
        canlog::Frame f;
        while (r.next(f)) { }
        QCOMPARE(r.counts().errorFrames, c.errors);
        QCOMPARE(r.counts().remote, 1);
    }
}

void TestCan::unreadableLinesAreReportedAndReadingGoesOn()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("bus.log"));
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write("(100.000001) can0 123#1122\n"
            "(100.000002) can0 12#11\n"  // 2: identifier too short
            "(100.000003) can0 123#112\n"  // 3: odd digit count
            "garbage\n"  // 4
            "(100.000005) can0 20000080#0000000000000000\n"  // error frame
            "(100.000006) can1 1ABCDEF0#R\n"
            "(100.000007) can0 456##1112233445566778899AABBCC\n"
            "(abc) can0 123#00\n"  // 8: time
            "\n"
            "(100.000010) can0 123#112233445566778899\n"  // 10: nine bytes
            "(100.000011) vcan0 7FF#.11.22 T\n");
    f.write(QByteArray(200000, 'x') + "\n");  // 12: longer than any log line
    f.write("(100.000013) can0 001#01\n"
            "(999999999999.999999) can0 123#00\n");  // 14: beyond 64-bit nanoseconds
    f.close();
    canlog::Reader r(path);
    QVERIFY(r.open(nullptr));
    QCOMPARE(r.format(), canlog::Format::Candump);
    std::vector<canlog::Frame> frames;
    canlog::Frame fr;
    int calls = 0;
    r.onProblem = [&](const canlog::Problem &) { ++calls; };
    while (r.next(fr))
        frames.push_back(fr);
    QCOMPARE(frames.size(), size_t(5));
    QVERIFY(frames[1].extended && frames[1].remote && frames[1].id == 0x1ABCDEF0 && frames[1].channel == "can1");
    QVERIFY(frames[2].fd && frames[2].length == 12 && frames[2].data[11] == 0xCC);
    QVERIFY(frames[3].id == 0x7FF && frames[3].length == 2 && frames[3].data[1] == 0x22);
    QCOMPARE(r.counts().errorFrames, 1);
    QCOMPARE(calls, 7);
    QVERIFY(frames[4].id == 1 && frames[4].length == 1);
    QStringList lines;
    for (const canlog::Problem &p : r.problems()) {
        QVERIFY2(!p.reason.isEmpty() && p.text().startsWith(path + QLatin1Char(':')), qPrintable(p.text()));
        lines << QString::number(p.line);
    }
    QCOMPARE(lines.join(QLatin1Char(',')), QStringLiteral("2,3,4,8,10,12,14"));

    // Unknown content is refused at open; the content decides without a known suffix.
    QFile g(dir.filePath(QStringLiteral("x.txt")));
    QVERIFY(g.open(QIODevice::WriteOnly) && g.write("hello\n") > 0);
    g.close();
    QString why;
    QVERIFY(!canlog::Reader(g.fileName()).open(&why) && !why.isEmpty());
    QCOMPARE(canlog::detectFormat(QStringLiteral("a.txt"), "date Fri\nbase hex  timestamps absolute\n"),
             canlog::Format::Asc);
    QCOMPARE(canlog::detectFormat(QStringLiteral("a"), ";$FILEVERSION=2.1\n"), canlog::Format::Trc);
    QCOMPARE(canlog::detectFormat(QStringLiteral("a"), "timestamp,arbitration_id\n"), canlog::Format::Csv);
}

// What editors do to a log: a UTF-8 byte order mark, CRLF line ends, tabs,
// no final newline. The frames are those of the plain log, in every format.
void TestCan::logsEditedByHand()
{
    QTemporaryDir dir;
    const QByteArray bom = "\xEF\xBB\xBF";
    const std::vector<std::pair<const char *, QByteArray>> logs = {
        {"a.log", "(100.000000) can0 7FF#42\r\n(100.010000)\tcan0\t000#\r\n(100.020000) can0 101#0102 R"},
        {"a.asc",
         "date Wed Dec 09 08:52:47.484 AM 2026\r\nbase hex  timestamps absolute\r\n"
         "   0.000000 1  7FF             Rx   d 1 42\r\n   0.010000 1  0 Rx d 0\r\n"
         "   0.020000\t1\t101\tTx\td\t2\t01\t02"},
        {"a.trc",
         ";$FILEVERSION=2.1\r\n;$COLUMNS=N,O,T,B,I,d,R,L,D\r\n"
         "      1         0.000 DT  1     07FF Rx -  1    42\r\n"
         "      2        10.000 DT  1     0000 Rx -  0\r\n"
         "      3        20.000 DT  1     0101 Rx -  2    01 02"},
        {"a.csv",
         "timestamp,arbitration_id,extended,remote,error,dlc,data\r\n1000.0,0x7ff,0,0,0,1,Qg==\r\n"
         "1000.01,0x0,0,0,0,0,\r\n1000.02,0x101,0,0,0,2,AQI="},
        {"a.dump", "(100.000000) can0 7FF#42\n(100.010000) can0 000#\n(100.020000) can0 101#0102\n"},
    };
    const std::vector<Expected> expected = {{0x7FF, false, false, 1, QByteArray("\x42"), 0},
                                            {0x000, false, false, 0, QByteArray(), 10000},
                                            {0x101, false, false, 2, QByteArray("\x01\x02"), 20000}};
    for (const auto &[name, text] : logs) {
        const QString path = dir.filePath(QLatin1String(name));
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(bom + text) == bom.size() + text.size());
        f.close();
        compareLog(path, expected, 0, false);
    }

    // Anything after a candump frame but its direction is reported.
    const QString odd = dir.filePath(QStringLiteral("odd.log"));
    QFile g(odd);
    QVERIFY(g.open(QIODevice::WriteOnly) && g.write("(1.0) can0 123#11 T\n(1.1) can0 123#11 22\n") > 0);
    g.close();
    canlog::Reader r(odd);
    QVERIFY(r.open(nullptr));
    canlog::Frame fr;
    int frames = 0;
    while (r.next(fr))
        ++frames;
    QCOMPARE(frames, 1);
    QCOMPARE(r.problems().size(), size_t(1));
    QCOMPARE(r.problems()[0].line, 2);
    QVERIFY2(r.problems()[0].reason.contains(QStringLiteral("\"22\"")), qPrintable(r.problems()[0].text()));

    // Under "base dec" identifiers and data bytes are decimal, as python-can
    // reads them too; a hex byte there is reported, never read as another value.
    const QByteArray dec = "date Wed Dec 09 08:52:47.484 AM 2026\nbase dec  timestamps absolute\n"
                           "internal events logged\nBegin Triggerblock Wed Dec 09 08:52:47.484 AM 2026\n"
                           "   0.000000 1  2047             Rx   d 3 10 255 0\n"
                           "   0.010000 1  256x             Rx   d 2 16 1\n";
    const QString decPath = dir.filePath(QStringLiteral("dec.asc"));
    const auto write = [&decPath](const QByteArray &text) {
        QFile out(decPath);
        return out.open(QIODevice::WriteOnly) && out.write(text) == text.size();
    };
    QVERIFY(write(dec));
    compareLog(decPath,
               {{2047, false, false, 3, QByteArray("\x0A\xFF\x00", 3), 0},
                {256, true, false, 2, QByteArray("\x10\x01"), 10000}},
               0, false);
    if (pythonCan()) {
        QProcess py;
        py.start(QStringLiteral("/usr/bin/python3"),
                 {QStringLiteral("-c"),
                  QStringLiteral("import can, sys\nfor m in can.ASCReader(sys.argv[1]):\n"
                                 "    print(m.arbitration_id, int(m.is_extended_id), bytes(m.data).hex())"),
                  decPath});
        QVERIFY(py.waitForFinished() && py.exitCode() == 0);
        QCOMPARE(py.readAllStandardOutput(), QByteArray("2047 0 0aff00\n256 1 1001\n"));
    }
    QVERIFY(write(dec + "   0.020000 1  100 Rx d 1 FF\n"));
    canlog::Reader d(decPath);
    QVERIFY(d.open(nullptr));
    while (d.next(fr)) { }
    QCOMPARE(d.problems().size(), size_t(1));
    QVERIFY2(d.problems()[0].line == 7 && d.problems()[0].reason.contains(QStringLiteral("base is dec")),
             qPrintable(d.problems()[0].text()));
}

void TestCan::writtenLogReadBackByPythonCan()
{
    if (!pythonCan())
        QSKIP("python-can is not installed for /usr/bin/python3 (Debian package python3-can)");
    QTemporaryDir dir;
    QRandomGenerator rng(7);
    const QString path = dir.filePath(QStringLiteral("out.log"));
    QFile out(path);
    QVERIFY(out.open(QIODevice::WriteOnly));
    canlog::CandumpWriter writer(&out);
    QByteArray expected;
    for (int i = 0; i < 100; ++i) {
        canlog::Frame f;
        f.timeNs = 1700000000LL * 1000000000 + i * 1234567000LL;
        f.extended = rng.bounded(3) == 0;
        f.remote = rng.bounded(8) == 0;
        f.id = f.extended ? rng.bounded(0x20000000) : rng.bounded(0x800);
        f.length = uint8_t(rng.bounded(9));
        for (int k = 0; k < f.length; ++k)
            f.data[k] = uint8_t(rng.bounded(256));
        QVERIFY(writer.write(f));
        const QByteArray data(reinterpret_cast<const char *>(f.data.data()), f.remote ? 0 : f.length);
        expected += QStringLiteral("%1 %2 %3 %4 %5 %6\n")
                        .arg(f.id, 0, 16)
                        .arg(int(f.extended))
                        .arg(int(f.remote))
                        .arg(f.length)
                        .arg(QString::fromLatin1(data.toHex()))
                        .arg(f.timeNs / 1000)
                        .toLatin1();
    }
    out.close();
    QProcess p;
    p.start(QStringLiteral("/usr/bin/python3"),
            {QStringLiteral("-c"),
             QStringLiteral("import sys, can\n"
                            "for m in can.CanutilsLogReader(sys.argv[1]):\n"
                            "    print('%x %d %d %d %s %d' % (m.arbitration_id, m.is_extended_id, m.is_remote_frame,"
                            " m.dlc, bytes(m.data).hex(), round(m.timestamp * 1e6)))\n"),
             path});
    QVERIFY(p.waitForFinished());
    QCOMPARE(p.readAllStandardError(), QByteArray());
    QCOMPARE(p.readAllStandardOutput(), expected);
}

QTEST_GUILESS_MAIN(TestCan)
#include "tst_can.moc"
