// The DBC reader against public databases and a hand-made one, the signal
// classes against a reference written here from the DBC definition (raw bits
// of random payloads, compared physically), and the command line with a round
// trip through a standard DBC reader.
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <array>
#include <cmath>

#include "canmodel.h"
#include "clirun.h"
#include "dbcclass.h"
#include "dbcimport.h"
#include "dbcsimvalue.h"
#include "pmmodel.h"
#include "setupbuilder.h"
#include "setupview.h"
#include "testfiles.h"

using namespace kelda;
using kelda::test::runCli;

namespace {

QString dataFile(const char *name)
{
    return QStringLiteral(KELDA_DBC_DATA "/") + QLatin1String(name);
}

dbc::Database load(const char *name)
{
    dbc::Database db;
    QString why;
    if (!dbc::readFile(dataFile(name), &db, &why))
        qWarning("%s: %s", name, qPrintable(why));
    return db;
}

const dbc::Message *message(const dbc::Database &db, const QString &name)
{
    for (const dbc::Message &m : db.messages)
        if (m.name == name)
            return &m;
    return nullptr;
}

const dbc::Signal *signal(const dbc::Message *m, const QString &name)
{
    for (const dbc::Signal &s : m->signalList)
        if (s.name == name)
            return &s;
    return nullptr;
}

// --- The reference: written from the DBC definition, not from the reader. ---

// Bit k of the payload counted big-endian (bit 7 of byte 0 first).
int bigEndianBit(const uint8_t *d, int k)
{
    return (d[k / 8] >> (7 - k % 8)) & 1;
}

// Intel: bits start .. start+len-1 (bit i of byte b is b*8+i), least
// significant first. Motorola: the start bit is the most significant; in the
// big-endian count it is 8*(start/8) + 7 - start%8, and the signal runs on
// from there for len bits.
qint64 referenceRaw(const dbc::Signal &s, const uint8_t *d)
{
    quint64 v = 0;
    if (s.intel) {
        for (int i = s.length - 1; i >= 0; --i) {
            const int b = s.startBit + i;
            v = v << 1 | quint64((d[b / 8] >> (b % 8)) & 1);
        }
    } else {
        const int first = 8 * (s.startBit / 8) + 7 - s.startBit % 8;
        for (int i = 0; i < s.length; ++i)
            v = v << 1 | quint64(bigEndianBit(d, first + i));
    }
    if (s.isSigned && (v >> (s.length - 1)) & 1)
        return qint64(v) - (qint64(1) << s.length);
    return qint64(v);
}

// Puts a raw value into the payload the same way round.
void referencePut(const dbc::Signal &s, uint8_t *d, qint64 raw)
{
    for (int i = 0; i < s.length; ++i) {
        const int bit = int((quint64(raw) >> i) & 1);  // i from the least significant
        int byte, shift;
        if (s.intel) {
            byte = (s.startBit + i) / 8, shift = (s.startBit + i) % 8;
        } else {
            const int k = 8 * (s.startBit / 8) + 7 - s.startBit % 8 + (s.length - 1 - i);
            byte = k / 8, shift = 7 - k % 8;
        }
        d[byte] = uint8_t((d[byte] & ~(1 << shift)) | (bit << shift));
    }
}

// The physical comparison: values within a millionth of a step count as equal.
bool referenceHolds(dbc::Op op, double phys, double p, double factor)
{
    const double eps = std::abs(factor) * 1e-6;
    if (op == dbc::Op::Less)
        return phys < p - eps;
    if (op == dbc::Op::Greater)
        return phys > p + eps;
    return std::abs(phys - p) <= eps;
}

QStringList corpusFiles()
{
    return {QStringLiteral("ford_fusion_2018_pt.dbc"), QStringLiteral("hyundai_santafe_2007.dbc"),
            QStringLiteral("fca_giorgio.dbc"), QStringLiteral("gm_global_a_object.dbc"),
            QStringLiteral("handmade.dbc")};
}

int runProgram(const QString &program, const QStringList &args, QByteArray *out = nullptr)
{
    QProcess p;
    p.start(program, args);
    if (!p.waitForFinished(60000))
        return -1;
    if (out)
        *out = p.readAllStandardOutput();
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

// A database of signals as real files have them, written here and read by
// canmatrix: signed one-bit flags, Motorola words across byte edges, negative
// and fractional factors, plus random signals (mostly placed at a byte's top).
QByteArray agreementDatabase(QRandomGenerator &rng)
{
    QByteArray text = "VERSION \"\"\n\nNS_ :\n\tCM_\n\nBS_:\n\nBU_: ECU LX2\n\n"
                      "BO_ 256 FLAGS: 8 ECU\n"
                      " SG_ SignedFlag : 3|1@1- (1,0) [-1|0] \"\" LX2\n"
                      " SG_ SignedTopFlag : 15|1@1- (2,5) [3|5] \"\" LX2\n"
                      " SG_ Flag : 17|1@1+ (1,0) [0|1] \"\" LX2\n"
                      " SG_ MotorolaFlag : 31|1@0- (-1,0) [0|1] \"\" LX2\n"
                      " SG_ Cross : 36|12@0- (-0.1,20) [0|0] \"bar\" LX2\n"
                      " SG_ Nibble : 55|4@0+ (0.5,-1) [0|0] \"\" LX2\n\n";
    const int lengths[] = {1, 2, 4, 7, 8, 8, 9, 12, 15, 16, 16};
    const char *factors[] = {"1", "0.25", "0.1", "-1", "-2", "-0.1", "0.03125", "3", "0.001"};
    const char *offsets[] = {"0", "-40", "100", "0.5", "-1000.7"};
    for (int m = 0; m < 8; ++m) {
        text += QStringLiteral("BO_ %1 RANDOM%2: 8 ECU\n").arg(0x300 + m).arg(m).toLatin1();
        for (int k = 0; k < 6; ++k) {
            const int len = lengths[rng.bounded(11)];
            const bool intel = rng.bounded(2);
            const int topByte = int(rng.bounded(8));
            int start = 0;
            if (intel) {
                const int top = rng.bounded(3) ? 8 * topByte + 8 : len + int(rng.bounded(64 - len + 1));
                start = std::clamp(top - len, 0, 64 - len);
            } else {
                // Most significant bit on a byte's top or anywhere; the signal then runs on
                // through the following bytes, so it must end by byte 8.
                const int bit = rng.bounded(3) ? 7 : int(rng.bounded(8));
                const int lastByte = topByte + (len - 1 - bit + 7) / 8;
                start = 8 * std::min(topByte, topByte - std::max(0, lastByte - 7)) + bit;
            }
            text += QStringLiteral(" SG_ S%1 : %2|%3@%4%5 (%6,%7) [0|0] \"u\" LX2\n")
                        .arg(k)
                        .arg(start)
                        .arg(len)
                        .arg(intel ? 1 : 0)
                        .arg(len > 1 && rng.bounded(3) == 0 ? '-' : '+')
                        .arg(QLatin1String(factors[rng.bounded(9)]), QLatin1String(offsets[rng.bounded(5)]))
                        .toLatin1();
        }
        text += '\n';
    }
    return text;
}

// canmatrix's reading of the payloads: per message number and signal, the
// raw and physical values of each payload, in order. The database canmatrix
// writes back goes to `rewritten`.
const char *const kCanmatrixDecode = R"(import json, sys, canmatrix.formats
db = canmatrix.formats.loadp_flat(sys.argv[1])
canmatrix.formats.dumpp({"": db}, sys.argv[3])
payloads = [bytes.fromhex(l) for l in open(sys.argv[2]).read().split()]
out = {}
for f in db.frames:
    values = {s.name: [[], []] for s in f.signals}
    for p in payloads:
        for name, v in f.decode(p).items():
            values[name][0].append(int(v.raw_value))
            values[name][1].append(float(v.phys_value))
    out[str(f.arbitration_id.id)] = values
json.dump(out, sys.stdout)
)";
}  // namespace

class TestDbc : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;

    QString newSetup(const QString &name)
    {
        PMModel m;
        m.createSetup();
        const QString path = m_dir.filePath(name);
        return m.saveSetup(path) ? path : QString();
    }

private slots:
    // Every BO_ and SG_ line of every file is either read or reported.
    void corpusEveryLineAccounted_data()
    {
        QTest::addColumn<QString>("file");
        for (const QString &f : corpusFiles())
            QTest::newRow(qPrintable(f)) << f;
    }
    void corpusEveryLineAccounted()
    {
        QFETCH(QString, file);
        const dbc::Database db = load(qPrintable(file));
        const QStringList lines =
            QString::fromLatin1(test::readFile(dataFile(qPrintable(file)))).split(QLatin1Char('\n'));
        QSet<int> read, reported;
        for (const dbc::Message &m : db.messages) {
            read.insert(m.line);
            for (const dbc::Signal &s : m.signalList)
                read.insert(s.line);
        }
        for (const dbc::Skipped &k : db.skipped) {
            QVERIFY(!k.reason.isEmpty());
            reported.insert(k.line);
        }
        QVERIFY(!(read & reported).size());
        int frames = 0;
        for (int i = 0; i < lines.size(); ++i) {
            const QString t = lines.at(i).trimmed();
            if (!t.startsWith(QLatin1String("BO_ ")) && !t.startsWith(QLatin1String("SG_ ")))
                continue;
            frames++;
            QVERIFY2(read.contains(i + 1) || reported.contains(i + 1),
                     qPrintable(QStringLiteral("line %1").arg(i + 1)));
        }
        QVERIFY(frames > 10);
    }

    void corpusFigures()
    {
        // opendbc files as published: (messages, signals, lines not taken)
        const struct {
            const char *file;
            int messages, signals_, skipped;
        } expected[] = {{"ford_fusion_2018_pt.dbc", 14, 67, 0},
                        {"hyundai_santafe_2007.dbc", 13, 49, 0},
                        {"fca_giorgio.dbc", 37, 155, 0},
                        // the pseudo-message, its two signals and its comment
                        {"gm_global_a_object.dbc", 59, 518, 4}};
        for (const auto &e : expected) {
            const dbc::Database db = load(e.file);
            QCOMPARE(db.messages.size(), e.messages);
            QCOMPARE(db.signalCount(), e.signals_);
            QCOMPARE(db.skipped.size(), e.skipped);
        }
        // fca numbers a message above 0x7FF without bit 31: an extended identifier.
        const dbc::Database fca = load("fca_giorgio.dbc");
        const dbc::Message *cam = message(fca, QStringLiteral("CAM_UNKNOWN_6"));
        QVERIFY(cam && cam->extended);
        QCOMPARE(cam->id, 506855454u);
        const dbc::Message *mux = message(fca, QStringLiteral("NEW_MSG_416"));
        QVERIFY(mux);
        QCOMPARE(signal(mux, QStringLiteral("MUX"))->mux, dbc::Mux::Switch);
        QCOMPARE(signal(mux, QStringLiteral("UNKNOWN_M1_1"))->mux, dbc::Mux::Multiplexed);
        QCOMPARE(signal(mux, QStringLiteral("UNKNOWN_M1_1"))->muxValue, 1);
        const dbc::Database gm = load("gm_global_a_object.dbc");
        QCOMPARE(gm.ignored.value(QStringLiteral("VAL_TABLE_")), 21);
        QVERIFY(gm.skipped.first().reason.contains(QLatin1String("pseudo-message")));
    }

    // The same database with LF, CR LF or lone CR line ends reads the same;
    // the text is UTF-8 where valid, else Latin-1.
    void lineEndsAndEncodings()
    {
        const QByteArray lf = test::readFile(dataFile("handmade.dbc"));
        QVERIFY(!lf.contains('\r'));
        const dbc::Database want = dbc::parse(lf);
        for (const QByteArray &end : {QByteArray("\r\n"), QByteArray("\r")}) {
            const dbc::Database got = dbc::parse(QByteArray(lf).replace("\n", end));
            QCOMPARE(got.lines, want.lines);
            QCOMPARE(got.signalCount(), want.signalCount());
            QCOMPARE(got.messages.size(), want.messages.size());
            QCOMPARE(got.skipped.size(), want.skipped.size());
            for (qsizetype i = 0; i < got.skipped.size(); ++i)
                QCOMPARE(got.skipped.at(i).line, want.skipped.at(i).line);
            QCOMPARE(signal(message(got, QStringLiteral("ENGINE")), QStringLiteral("EngineSpeed"))->comment,
                     QStringLiteral("Engine speed,\nmeasured at the crank."));
        }
        const QByteArray unit = "BO_ 256 M: 8 X\n SG_ T : 7|8@0+ (1,-40) [0|0] \"\xB0"
                                "C\" X\n";
        QCOMPARE(dbc::parse(unit).messages.first().signalList.first().unit, QStringLiteral("\u00B0C"));
        QCOMPARE(dbc::parse(QByteArray(unit).replace("\xB0", "\xC2\xB0")).messages.first().signalList.first().unit,
                 QStringLiteral("\u00B0C"));
    }

    // A damaged message line (an unclosed quote, a number past 32 bits) is
    // reported, and so are its signals, as signals of that message.
    void damagedMessageLines()
    {
        const dbc::Database db = dbc::parse("BO_ 256 \"M: 8 X\n"
                                            " SG_ A : 0|8@1+ (1,0) [0|0] \"\" X\n"
                                            "BO_ 99999999999999999999 N: 8 X\n"
                                            " SG_ B : 0|8@1+ (1,0) [0|0] \"\" X\n"
                                            "BO_ 512 O: 8 X\n"
                                            " SG_ C : 0|8@1+ (1,0) [0|0] \"\" X\n");
        QCOMPARE(db.messages.size(), 1);
        QCOMPARE(db.signalCount(), 1);
        QCOMPARE(db.skipped.size(), 4);
        QCOMPARE(db.skipped.at(0).reason, QStringLiteral("a text in double quotes is not closed"));
        QCOMPARE(db.skipped.at(1).reason, QStringLiteral("signal of the message on line 1, which is not taken"));
        QVERIFY(db.skipped.at(2).reason.contains(QLatin1String("is not a number")));
        QCOMPARE(db.skipped.at(3).reason, QStringLiteral("signal of the message on line 3, which is not taken"));
    }

    void handmadeLines()
    {
        const dbc::Database db = load("handmade.dbc");
        QMap<int, QString> why;
        for (const dbc::Skipped &k : db.skipped)
            why.insert(k.line, k.reason);
        const QMap<int, QString> expected = {
            {21, QStringLiteral("no byte order")},
            {22, QStringLiteral("reaches past the 8 data bytes")},
            {48, QStringLiteral("is not a number from 0 to 4294967295")},
            {49, QStringLiteral("message on line 48, which is not taken")},
            {51, QStringLiteral("a second message numbered 640")},
            {52, QStringLiteral("message on line 51")},
            {54, QStringLiteral("pseudo-message of independent signals (0xC0000000)")},
            {55, QStringLiteral("pseudo-message")},
            {57, QStringLiteral("\"XYZ_\" is not a statement")},
            {64, QStringLiteral("ENGINE has no signal NoSuchSignal")},
            {65, QStringLiteral("message comment of the pseudo-message")},
            {71, QStringLiteral("no message numbered 999")},
        };
        QCOMPARE(why.keys(), expected.keys());
        for (auto it = expected.cbegin(); it != expected.cend(); ++it)
            QVERIFY2(why.value(it.key()).contains(it.value()), qPrintable(why.value(it.key())));

        const dbc::Message *eec1 = message(db, QStringLiteral("EEC1"));
        QVERIFY(eec1 && eec1->extended);
        QCOMPARE(eec1->id, 0x0CF004FEu);  // bit 31 taken off
        const dbc::Message *noflag = message(db, QStringLiteral("NOFLAG"));
        QVERIFY(noflag && noflag->extended);
        QCOMPARE(noflag->id, 0x18FEF1FEu);
        const dbc::Message *engine = message(db, QStringLiteral("ENGINE"));
        QCOMPARE(engine->comment, QStringLiteral("Engine data, every 10 ms."));
        QCOMPARE(signal(engine, QStringLiteral("EngineSpeed"))->comment,
                 QStringLiteral("Engine speed,\nmeasured at the crank."));
        QCOMPARE(signal(engine, QStringLiteral("CoolantTemp"))->receivers,
                 QStringList({QStringLiteral("LX2"), QStringLiteral("TESTER")}));
        const dbc::Message *gearbox = message(db, QStringLiteral("GEARBOX"));
        QCOMPARE(signal(gearbox, QStringLiteral("Gear"))->values.size(), 4);  // over two lines
        QCOMPARE(signal(gearbox, QStringLiteral("Gear"))->values.at(3).second, QStringLiteral("Drive"));
        QVERIFY(signal(gearbox, QStringLiteral("Ratio"))->isFloat);
        QCOMPARE(db.ignored.value(QStringLiteral("NS_")), 1);
        QCOMPARE(db.ignored.value(QStringLiteral("BA_")), 1);
        QCOMPARE(db.ignored.value(QStringLiteral("CM_ (database)")), 1);
    }

    // Frames worked out by hand from the DBC bit numbering.
    void motorolaAndIntelFrames_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("msg");
        QTest::addColumn<QString>("sig");
        QTest::addColumn<QByteArray>("frame");
        QTest::addColumn<qint64>("raw");
        // 39|12@0+: byte 4 is bits 11..4, the high nibble of byte 5 bits 3..0.
        QTest::newRow("motorola 12 bits over a byte edge")
            << "handmade.dbc"
            << "ENGINE"
            << "OilPressure" << QByteArray::fromHex("00000000ABC00000") << qint64(0xABC);
        // 3|12@0+: the low nibble of byte 0 is bits 11..8, byte 1 bits 7..0.
        QTest::newRow("motorola from mid-byte")
            << "fca_giorgio.dbc"
            << "NEW_MSG_AB"
            << "NEW_SIGNAL_5" << QByteArray::fromHex("1ABC000000000000") << qint64(0xABC);
        // 23|12@0-: 0xFFF is -1; 0x800 the most negative.
        QTest::newRow("motorola signed -1") << "handmade.dbc"
                                            << "GEARBOX"
                                            << "OutputSpeed" << QByteArray::fromHex("0000FFF000000000") << qint64(-1);
        QTest::newRow("motorola signed min")
            << "handmade.dbc"
            << "GEARBOX"
            << "OutputSpeed" << QByteArray::fromHex("0000800F00000000") << qint64(-2048);
        // 16|16@1+: byte 2 low, byte 3 high.
        QTest::newRow("intel word") << "handmade.dbc"
                                    << "ENGINE"
                                    << "EngineSpeed" << QByteArray::fromHex("0000800C00000000") << qint64(0x0C80);
        QTest::newRow("intel signed") << "handmade.dbc"
                                      << "ENGINE"
                                      << "Torque" << QByteArray::fromHex("0000000000000080") << qint64(-32768);
        QTest::newRow("intel one bit") << "handmade.dbc"
                                       << "GEARBOX"
                                       << "BrakeFlag" << QByteArray::fromHex("00FD000000000000") << qint64(0);
        QTest::newRow("intel one bit set") << "handmade.dbc"
                                           << "GEARBOX"
                                           << "BrakeFlag" << QByteArray::fromHex("0002000000000000") << qint64(1);
    }
    void motorolaAndIntelFrames()
    {
        QFETCH(QString, file);
        QFETCH(QString, msg);
        QFETCH(QString, sig);
        QFETCH(QByteArray, frame);
        QFETCH(qint64, raw);
        const dbc::Database db = load(qPrintable(file));
        const dbc::Message *m = message(db, msg);
        QVERIFY(m);
        const dbc::Signal *s = signal(m, sig);
        QVERIFY(s);
        const auto *d = reinterpret_cast<const uint8_t *>(frame.constData());
        QCOMPARE(s->raw(d, 8), raw);
        QCOMPARE(referenceRaw(*s, d), raw);  // the reference agrees with the hand too
    }

    // place() is raw()'s inverse for every signal of the corpus, touches no
    // other bit, and agrees with the reference's placement.
    void encodeDecodeRoundTrip()
    {
        QRandomGenerator rng(30);
        int checked = 0;
        for (const QString &file : corpusFiles()) {
            const dbc::Database db = load(qPrintable(file));
            for (const dbc::Message &m : db.messages)
                for (const dbc::Signal &s : m.signalList) {
                    const std::vector<int> bits = s.bits();
                    if (s.isFloat || s.length > 63 || bits.empty() || bits.back() / 8 >= m.length
                        || bits.front() / 8 >= m.length)
                        continue;
                    for (int k = 0; k < 20; ++k) {
                        std::array<uint8_t, dbc::kMaxMessageBytes> before{}, after{}, ref{}, mask{};
                        for (auto &b : before)
                            b = uint8_t(rng.bounded(256));
                        const qint64 raw = s.rawMin() + qint64(rng.generate64() % quint64(s.rawMax() - s.rawMin() + 1));
                        after = before;
                        ref = before;
                        QVERIFY(s.place(after.data(), m.length, raw));
                        QVERIFY(s.place(mask.data(), m.length, -1));
                        referencePut(s, ref.data(), raw);
                        QCOMPARE(s.raw(after.data(), m.length), raw);
                        QVERIFY2(after == ref, qPrintable(m.name + QLatin1Char('.') + s.name));
                        for (int i = 0; i < m.length; ++i)
                            QCOMPARE(after[size_t(i)] & ~mask[size_t(i)], before[size_t(i)] & ~mask[size_t(i)]);
                    }
                    ++checked;
                }
        }
        QVERIFY2(checked > 500, qPrintable(QString::number(checked)));
    }

    // Physical values: nearest raw step, the raw range, the unit, the frame.
    void physicalValues()
    {
        const dbc::Database db = load("handmade.dbc");
        SimStep step;
        QString why;
        QVERIFY(dbc::signalStep(db, QStringLiteral("EngineSpeed"), QStringLiteral("850.1"), QStringLiteral("rpm"),
                                &step, &why));
        QVERIFY2(why.isEmpty(), qPrintable(why));
        QCOMPARE(step.kind, SimStep::Kind::CanFrame);
        QCOMPARE(step.id, uint16_t(640));
        QCOMPARE(step.length, uint8_t(8));
        // 850.1 / 0.25 = 3400.4, rounded to 3400 = 0x0D48, Intel at bit 16.
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(step.bytes.data()), 8).toHex(),
                 QByteArray("0000480d00000000"));
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(step.mask.data()), 8).toHex(),
                 QByteArray("0000ffff00000000"));
        // Negative factor and an offset, Motorola signed: (-3996 - 100) / -2 = 2048 is past 2047.
        QVERIFY(dbc::signalStep(db, QStringLiteral("GEARBOX.OutputSpeed"), QStringLiteral("-3994"), QString(), &step,
                                &why));
        QVERIFY2(why.isEmpty(), qPrintable(why));
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(step.bytes.data()), 8).toHex(),
                 QByteArray("00007ff000000000"));
        QVERIFY(dbc::signalStep(db, QStringLiteral("OutputSpeed"), QStringLiteral("-3996"), QString(), &step, &why));
        QVERIFY2(why.contains(QStringLiteral("outside OutputSpeed"))
                     && why.contains(QStringLiteral("-3994 to 4196 rpm")),
                 qPrintable(why));
        struct Refusal {
            const char *name, *value, *unit, *why;
        };
        const Refusal refusals[] = {
            {"EngineSpeed", "850", "km/h", "EngineSpeed is in rpm, not 'km/h'"},
            {"Gear", "3", "rpm", "Gear has no unit in the DBC, not 'rpm'"},
            {"EngineSpeed", "16384", "rpm", "outside EngineSpeed"},
            {"EngineSpeed", "fast", "", "'fast' is not a number"},
            {"EngSpeedExt", "100", "rpm", "runs send standard frames"},
            {"Far", "1", "", "runs send standard frames"},
            {"ValueB", "1", "V", "multiplexed"},
        };
        for (const Refusal &r : refusals) {
            why.clear();
            QVERIFY(
                dbc::signalStep(db, QLatin1String(r.name), QLatin1String(r.value), QLatin1String(r.unit), &step, &why));
            QVERIFY2(why.contains(QLatin1String(r.why)),
                     qPrintable(QLatin1String(r.name) + QStringLiteral(": ") + why));
        }
        QVERIFY(!dbc::signalStep(db, QStringLiteral("Nope"), QStringLiteral("1"), QString(), &step, &why));
        QVERIFY(
            !dbc::signalStep(db, QStringLiteral("GEARBOX.EngineSpeed"), QStringLiteral("1"), QString(), &step, &why));
    }

    void classes_data()
    {
        QTest::addColumn<QString>("msg");
        QTest::addColumn<QString>("sig");
        QTest::addColumn<QString>("cls");
        QTest::addColumn<QString>("exact");
        QTest::addColumn<QString>("channel");
        QTest::addColumn<QString>("reason");
        QTest::newRow("intel word") << "ENGINE"
                                    << "EngineSpeed"
                                    << "exact"
                                    << "=,<,>"
                                    << "Word 2 LE"
                                    << "";
        QTest::newRow("byte") << "ENGINE"
                              << "CoolantTemp"
                              << "exact"
                              << "=,<,>"
                              << "Byte 1"
                              << "";
        QTest::newRow("top bits of a word") << "ENGINE"
                                            << "OilPressure"
                                            << "exact"
                                            << "<,>"
                                            << "Word 3 BE"
                                            << "";
        QTest::newRow("flag at the top") << "GEARBOX"
                                         << "ParkFlag"
                                         << "exact"
                                         << "<,>,bit"
                                         << "Byte 1"
                                         << "";
        QTest::newRow("flag") << "GEARBOX"
                              << "BrakeFlag"
                              << "exact"
                              << "bit"
                              << "Byte 2"
                              << "";
        QTest::newRow("16 bits, top byte only") << "GEARBOX"
                                                << "InputSpeed"
                                                << "approximate"
                                                << ""
                                                << "Byte 6"
                                                << "top 8 of 16";
        QTest::newRow("low bits") << "GEARBOX"
                                  << "Gear"
                                  << "impossible"
                                  << ""
                                  << ""
                                  << "top of any byte";
        QTest::newRow("24 bits") << "GEARBOX"
                                 << "Distance"
                                 << "impossible"
                                 << ""
                                 << ""
                                 << "24 bits";
        QTest::newRow("float") << "GEARBOX"
                               << "Ratio"
                               << "impossible"
                               << ""
                               << ""
                               << "floating-point";
        QTest::newRow("multiplexer") << "DIAG"
                                     << "Mode"
                                     << "exact"
                                     << "=,<,>"
                                     << "Byte 1"
                                     << "";
        QTest::newRow("multiplexed") << "DIAG"
                                     << "ValueB"
                                     << "impossible"
                                     << ""
                                     << ""
                                     << "multiplexed (m1)";
        QTest::newRow("extended, bit 31") << "EEC1"
                                          << "EngSpeedExt"
                                          << "impossible"
                                          << ""
                                          << ""
                                          << "extended";
        QTest::newRow("extended, no flag") << "NOFLAG"
                                           << "Level"
                                           << "impossible"
                                           << ""
                                           << ""
                                           << "extended";
        QTest::newRow("CAN FD bytes") << "FDMSG"
                                      << "Far"
                                      << "impossible"
                                      << ""
                                      << ""
                                      << "beyond byte 8";
        // A classic CAN node never reads a CAN FD frame, not even its first bytes.
        QTest::newRow("CAN FD, first byte") << "FDMSG"
                                            << "Near"
                                            << "impossible"
                                            << ""
                                            << ""
                                            << "classic CAN node";
    }
    void classes()
    {
        QFETCH(QString, msg);
        QFETCH(QString, sig);
        QFETCH(QString, cls);
        QFETCH(QString, exact);
        QFETCH(QString, channel);
        QFETCH(QString, reason);
        const dbc::Database db = load("handmade.dbc");
        const dbc::Message *m = message(db, msg);
        const dbc::Classification c = dbc::classify(*m, *signal(m, sig));
        QCOMPARE(QLatin1String(dbc::classText(c.cls)), cls);
        QStringList ops;
        for (const dbc::Op op : c.exact)
            ops << QLatin1String(dbc::opText(op));
        QCOMPARE(ops.join(QLatin1Char(',')), exact);
        QString where;
        if (c.fit)
            where = c.fit->channelText()
                + (c.fit->channel.isByte     ? QString()
                       : c.fit->littleEndian ? QStringLiteral(" LE")
                                             : QStringLiteral(" BE"));
        QCOMPARE(where, channel);
        QVERIFY2(reason.isEmpty() ? c.reason.isEmpty() : c.reason.contains(reason), qPrintable(c.reason));
    }

    // The setup's identifiers narrow what is possible.
    void setupLimits()
    {
        const dbc::Database db = load("handmade.dbc");
        const dbc::Message *engine = message(db, QStringLiteral("ENGINE"));
        const dbc::Signal &speed = *signal(engine, QStringLiteral("EngineSpeed"));
        const dbc::Signal &oil = *signal(engine, QStringLiteral("OilPressure"));
        const dbc::Signal &coolant = *signal(engine, QStringLiteral("CoolantTemp"));

        dbc::SetupContext order;
        order.receiveIds = {0x280};
        order.littleEndian = {{0x280, true}};
        order.wordIds = {0x280};
        order.firstInput = {{0x280, QStringLiteral("Rpm")}};
        // Little Endian: the Motorola word fits only its top byte.
        dbc::Classification c = dbc::classify(*engine, oil, &order);
        QCOMPARE(c.cls, dbc::Class::Approximate);
        QCOMPARE(c.fit->channelText(), QStringLiteral("Byte 5"));
        QVERIFY(c.reason.contains(QLatin1String("better on Word 3 Big Endian")));
        QCOMPARE(dbc::classify(*engine, speed, &order).cls, dbc::Class::Exact);
        // Bytes alone leave the order open.
        order.wordIds.clear();
        QCOMPARE(dbc::classify(*engine, oil, &order).cls, dbc::Class::Exact);

        dbc::SetupContext sent;
        sent.sentBy = {{0x280, QStringLiteral("Horn")}};
        c = dbc::classify(*engine, speed, &sent);
        QCOMPARE(c.cls, dbc::Class::Impossible);
        QVERIFY(c.reason.contains(QLatin1String("can-id-clash")));

        dbc::SetupContext full;
        full.inputCount = kMaxTableItems;
        QVERIFY(dbc::classify(*engine, speed, &full).reason.contains(QLatin1String("full")));

        // A 17th identifier cannot have byte channels; the byte fits a word's top.
        dbc::SetupContext many;
        for (int id = 1; id <= 16; ++id)
            many.receiveIds << id;
        c = dbc::classify(*engine, coolant, &many);
        QCOMPARE(c.cls, dbc::Class::Exact);
        QCOMPARE(c.fit->channelText(), QStringLiteral("Word 1"));
        QCOMPARE(c.exact, QList<dbc::Op>({dbc::Op::Less, dbc::Op::Greater}));
        for (int id = 17; id <= 32; ++id)
            many.receiveIds << id;
        c = dbc::classify(*engine, coolant, &many);
        QCOMPARE(c.cls, dbc::Class::Impossible);
        QVERIFY(c.reason.contains(QLatin1String("number 33")));
    }

    void thresholds_data()
    {
        QTest::addColumn<QString>("msg");
        QTest::addColumn<QString>("sig");
        QTest::addColumn<QString>("op");
        QTest::addColumn<double>("value");
        QTest::addColumn<int>("code");
        QTest::addColumn<int>("data");
        QTest::addColumn<QString>("text");
        QTest::newRow("rpm") << "ENGINE"
                             << "EngineSpeed"
                             << ">" << 800.0 << 3 << 3200 << "> 3200 raw = 800.00 rpm";
        QTest::newRow("rpm between steps") << "ENGINE"
                                           << "EngineSpeed"
                                           << "<" << 800.1 << 2 << 3201 << "< 3201 raw = 800.25 rpm";
        QTest::newRow("offset") << "ENGINE"
                                << "CoolantTemp"
                                << "=" << 90.0 << 1 << 130 << "= 130 raw = 90 degC";
        QTest::newRow("top bits") << "ENGINE"
                                  << "OilPressure"
                                  << ">" << 100.0 << 3 << (200 << 4 | 15) << "> 200 raw = 100.0 kPa";
        QTest::newRow("signed") << "ENGINE"
                                << "Torque"
                                << "<" << -10.0 << 129 << (65536 - 20) << "< -20 raw = -10.0 Nm";
        // Factor -2: more rpm is less raw, so "> 150" is "raw < -25" (signed, 4 bits up).
        QTest::newRow("negative factor") << "GEARBOX"
                                         << "OutputSpeed"
                                         << ">" << 150.0 << 129 << (65536 - 25 * 16) << "< -25 raw = 150 rpm";
        QTest::newRow("bit") << "GEARBOX"
                             << "ParkFlag"
                             << "bit" << 1.0 << 4 << 128 << "bit set: 1 raw = 1";
        QTest::newRow("approximate") << "GEARBOX"
                                     << "InputSpeed"
                                     << "<" << 1000.0 << 2 << 16 << "< 4096 raw = 1024.00 rpm, within 24.00 rpm";
    }
    void thresholds()
    {
        QFETCH(QString, msg);
        QFETCH(QString, sig);
        QFETCH(QString, op);
        QFETCH(double, value);
        QFETCH(int, code);
        QFETCH(int, data);
        QFETCH(QString, text);
        const dbc::Database db = load("handmade.dbc");
        const dbc::Message *m = message(db, msg);
        const dbc::Signal &s = *signal(m, sig);
        const dbc::Comparison c = dbc::comparison(s, dbc::classify(*m, s), *dbc::parseOp(op), value);
        QCOMPARE(c.refusal, QString());
        QCOMPARE(int(c.compare), code);
        QCOMPARE(int(c.data), data);
        QCOMPARE(c.rounding, text);
    }

    // Factors below a millionth (lane curvature in 1/m): values and errors
    // are shown with the decimals the factor needs, never as 0.
    void tinyFactors()
    {
        const dbc::Database gm = load("gm_global_a_object.dbc");
        const dbc::Message *m = message(gm, QStringLiteral("F_Vision_Environment_5"));
        QVERIFY(m);
        const dbc::Signal *s = signal(m, QStringLiteral("LnMrkg3LnSnsLnCrvtGrad"));
        QVERIFY(s);
        QCOMPARE(s->factor, 5.96e-8);
        const dbc::Classification c = dbc::classify(*m, *s);
        QCOMPARE(c.cls, dbc::Class::Approximate);
        QCOMPARE(dbc::valueText(*s, c.error), QStringLiteral("0.0000151980"));
        const dbc::Comparison cmp = dbc::comparison(*s, c, dbc::Op::Less, -0.0001754);
        QVERIFY2(cmp.refusal.isEmpty(), qPrintable(cmp.refusal));
        QCOMPARE(cmp.rounding, QStringLiteral("< -2816 raw = -0.0001678336 1/(m*sec), within 0.0000075096 1/(m*sec)"));
        const dbc::Signal *t =
            signal(message(gm, QStringLiteral("F_Vision_Environment_6")), QStringLiteral("LnMrkg4LnSnsLnCrvt"));
        QVERIFY(t);
        QCOMPARE(dbc::valueText(*t, 255 * t->factor), QStringLiteral("0.000243015"));
        // Ordinary factors keep their few decimals.
        const dbc::Database hand = load("handmade.dbc");
        QCOMPARE(dbc::valueText(*signal(message(hand, QStringLiteral("ENGINE")), QStringLiteral("EngineSpeed")), 800),
                 QStringLiteral("800.00"));
        QCOMPARE(dbc::valueText(*signal(message(hand, QStringLiteral("ENGINE")), QStringLiteral("CoolantTemp")), 90),
                 QStringLiteral("90"));
    }

    void refusals_data()
    {
        QTest::addColumn<QString>("msg");
        QTest::addColumn<QString>("sig");
        QTest::addColumn<QString>("op");
        QTest::addColumn<double>("value");
        QTest::addColumn<QString>("reason");
        QTest::newRow("between steps") << "ENGINE"
                                       << "CoolantTemp"
                                       << "=" << 90.5 << "nearest are 90 and 91";
        QTest::newRow("= beyond the range") << "ENGINE"
                                            << "CoolantTemp"
                                            << "=" << 500.0 << "its values run from -40 to 215 (steps of 1)";
        QTest::newRow("= far below") << "ENGINE"
                                     << "Torque"
                                     << "=" << -1e308 << "its values run from -16384.0 to 16383.5 (steps of 0.5)";
        QTest::newRow("always on") << "ENGINE"
                                   << "CoolantTemp"
                                   << ">" << -50.0 << "always be on";
        QTest::newRow("never") << "ENGINE"
                               << "CoolantTemp"
                               << ">" << 300.0 << "no value of the signal is above";
        QTest::newRow("= on top bits") << "ENGINE"
                                       << "OilPressure"
                                       << "=" << 10.0 << "it can with <, >";
        QTest::newRow("clear bit") << "GEARBOX"
                                   << "ParkFlag"
                                   << "bit" << 0.0 << "the bit is set";
        QTest::newRow("multiplexed") << "DIAG"
                                     << "ValueA"
                                     << ">" << 1.0 << "multiplexed";
        QTest::newRow("extended") << "EEC1"
                                  << "EngSpeedExt"
                                  << ">" << 1.0 << "extended";
    }
    void refusals()
    {
        QFETCH(QString, msg);
        QFETCH(QString, sig);
        QFETCH(QString, op);
        QFETCH(double, value);
        QFETCH(QString, reason);
        const dbc::Database db = load("handmade.dbc");
        const dbc::Message *m = message(db, msg);
        const dbc::Signal &s = *signal(m, sig);
        const dbc::Comparison c = dbc::comparison(s, dbc::classify(*m, s), *dbc::parseOp(op), value);
        QVERIFY2(c.refusal.contains(reason), qPrintable(c.refusal));
    }

    // For every signal the module can read: 10,000 random payloads, a quarter
    // of them with the raw value just around the threshold. The CAN model's
    // channel and comparison must agree with the physical comparison (exact),
    // or differ only within the stated error of the threshold (approximate).
    void referenceAgreement()
    {
        QRandomGenerator rng(30);
        int checkedSignals = 0, approximateSignals = 0;
        for (const QString &file : corpusFiles()) {
            const dbc::Database db = load(qPrintable(file));
            for (const dbc::Message &m : db.messages)
                for (const dbc::Signal &s : m.signalList) {
                    const dbc::Classification c = dbc::classify(m, s);
                    if (c.cls == dbc::Class::Impossible)
                        continue;
                    ++checkedSignals;
                    approximateSignals += c.cls == dbc::Class::Approximate;
                    for (const dbc::Op op : c.exact + c.approximate)
                        checkSignal(m, s, c, op, rng);
                }
        }
        QVERIFY(checkedSignals > 300);
        QVERIFY(approximateSignals > 20);
    }

    // KELDA's classes and comparisons against an independent reader
    // (canmatrix): for every signal it says the module can read and every
    // comparison it offers, the stored input is true for exactly the payloads
    // whose physical value satisfies the comparison (approximate ones: within
    // the stated error); a refusal is right about the values; a signal said
    // not to reach the top of any byte or word indeed does not.
    void canmatrixAgreement()
    {
        const QString python = QStringLiteral("/usr/bin/python3");
        if (runProgram(python, {QStringLiteral("-c"), QStringLiteral("import canmatrix.formats")}) != 0)
            QSKIP("python3-canmatrix is not installed");
        QRandomGenerator rng(77);
        const QString dbcPath = m_dir.filePath(QStringLiteral("agreement.dbc"));
        const QString rewritten = m_dir.filePath(QStringLiteral("agreement-canmatrix.dbc"));
        const QString payloadPath = m_dir.filePath(QStringLiteral("payloads.txt"));
        QVERIFY(test::writeFile(dbcPath, agreementDatabase(rng)));
        std::vector<std::array<uint8_t, 8>> payloads(1500);
        QByteArray hex;
        for (auto &p : payloads) {
            for (uint8_t &b : p)
                b = uint8_t(rng.bounded(256));
            hex += QByteArray(reinterpret_cast<const char *>(p.data()), 8).toHex() + '\n';
        }
        QVERIFY(test::writeFile(payloadPath, hex));
        QByteArray decoded;
        QCOMPARE(runProgram(python,
                            {QStringLiteral("-c"), QLatin1String(kCanmatrixDecode), dbcPath, payloadPath, rewritten},
                            &decoded),
                 0);
        const QJsonObject reference = QJsonDocument::fromJson(decoded).object();
        int checked = 0;
        for (const QString &path : {dbcPath, rewritten}) {
            dbc::Database db;
            QString why;
            QVERIFY2(dbc::readFile(path, &db, &why), qPrintable(why));
            QVERIFY(db.skipped.isEmpty());
            QCOMPARE(db.signalCount(), 54);
            for (const dbc::Message &m : db.messages)
                for (const dbc::Signal &s : m.signalList) {
                    const QJsonArray values = reference.value(QString::number(m.id)).toObject().value(s.name).toArray();
                    QCOMPARE(values.at(0).toArray().size(), qsizetype(payloads.size()));
                    agreeWithReference(m, s, payloads, values, rng, &checked);
                    if (QTest::currentTestFailed())
                        return;
                }
        }
        QVERIFY(checked > 100);
    }

private:
    // The signal's classification against canmatrix's values; counts the comparisons checked.
    void agreeWithReference(const dbc::Message &m, const dbc::Signal &s,
                            const std::vector<std::array<uint8_t, 8>> &payloads, const QJsonArray &values,
                            QRandomGenerator &rng, int *checked)
    {
        const QString what = m.name + QLatin1Char('.') + s.name;
        const QJsonArray raws = values.at(0).toArray(), phys = values.at(1).toArray();
        const dbc::Classification c = dbc::classify(m, s);
        if (c.cls == dbc::Class::Impossible) {
            if (c.reason.contains(QLatin1String("do not reach the top")))
                QVERIFY2(!reachesATop(s, payloads, raws), qPrintable(what));
            return;
        }
        for (const dbc::Op op : c.exact + c.approximate)
            for (int t = 0; t < 6; ++t) {
                // Thresholds at values the signal takes, and between two of them.
                const double at = phys.at(int(rng.bounded(quint32(phys.size())))).toDouble();
                const bool between = t % 2 && (op == dbc::Op::Less || op == dbc::Op::Greater);
                const double p = at + (between ? s.factor / 2 : 0.0);
                const dbc::Comparison cmp = dbc::comparison(s, c, op, p);
                QStringList wrong;
                int holding = 0;
                for (size_t i = 0; i < payloads.size(); ++i) {
                    const double v = phys.at(int(i)).toDouble();
                    const bool want = dbc::physicalHolds(s, op, v, p);
                    holding += want;
                    if (!cmp.refusal.isEmpty())
                        continue;
                    const auto channel =
                        can::channelValue(cmp.fit.channel, cmp.fit.littleEndian, payloads[i].data(), 8);
                    const bool got = can::compare(cmp.compare, *channel, cmp.data, cmp.fit.channel.width());
                    const bool allowed =
                        !c.exact.contains(op) && std::abs(v - p) <= cmp.error + std::abs(s.factor) * 1e-6;
                    if (got != want && !allowed)
                        wrong << QStringLiteral("%1 reads %2").arg(i).arg(v);
                }
                const QString label = QStringLiteral("%1 %2 %3: %4")
                                          .arg(what, QLatin1String(dbc::opText(op)))
                                          .arg(p)
                                          .arg(cmp.refusal + cmp.rounding);
                QVERIFY2(wrong.isEmpty(),
                         qPrintable(label + QStringLiteral("; payload ") + wrong.join(QStringLiteral(", "))));
                if (cmp.refusal.contains(QLatin1String("always")))
                    QVERIFY2(holding == int(payloads.size()), qPrintable(label));
                else if (cmp.refusal.contains(QLatin1String("no value of the signal is")))
                    QVERIFY2(holding == 0, qPrintable(label));
                else if (op == dbc::Op::Bit && cmp.refusal.contains(QLatin1String("clear bit")))
                    QVERIFY2(std::none_of(raws.begin(), raws.end(),
                                          [&](const QJsonValue &r) {
                                              return r.toInteger() != 0 && physical(s, r.toInteger()) == p;
                                          }),
                             qPrintable(label));
                else
                    QVERIFY2(cmp.refusal.isEmpty(), qPrintable(label));
                *checked += cmp.refusal.isEmpty();
            }
    }

    // Whether some byte or word holds the signal's most significant bit at
    // its own top in every payload, as canmatrix reads the signal.
    static bool reachesATop(const dbc::Signal &s, const std::vector<std::array<uint8_t, 8>> &payloads,
                            const QJsonArray &raws)
    {
        QList<std::pair<can::Channel, bool>> channels;
        for (int k = 1; k <= 8; ++k)
            channels.append({can::Channel{true, k}, false});
        for (int w = 1; w <= 4; ++w)
            channels.append({can::Channel{false, w}, false}), channels.append({can::Channel{false, w}, true});
        return std::any_of(channels.begin(), channels.end(), [&](const std::pair<can::Channel, bool> &c) {
            for (size_t i = 0; i < payloads.size(); ++i) {
                const int width = c.first.width();
                const auto v = can::channelValue(c.first, c.second, payloads[i].data(), 8);
                const int top = int((quint64(raws.at(int(i)).toInteger()) >> (s.length - 1)) & 1);
                if (((*v >> (width - 1)) & 1) != top)
                    return false;
            }
            return true;
        });
    }

private slots:
private:
    void checkSignal(const dbc::Message &m, const dbc::Signal &s, const dbc::Classification &c, dbc::Op op,
                     QRandomGenerator &rng)
    {
        const qint64 lo = s.isSigned ? -(qint64(1) << (s.length - 1)) : 0;
        const qint64 span = qint64(1) << s.length;
        // A threshold on a raw value, and one between two of them.
        for (const double half : {0.0, 0.5}) {
            const qint64 at = op == dbc::Op::Bit ? 1 : lo + qint64(rng.bounded(quint32(span)));
            const double p =
                (double(at) + (op == dbc::Op::Equal || op == dbc::Op::Bit ? 0 : half)) * s.factor + s.offset;
            const dbc::Comparison cmp = dbc::comparison(s, c, op, p);
            if (!cmp.refusal.isEmpty()) {
                // Only a threshold at an end of the range (always or never on) may be refused.
                QVERIFY2(cmp.refusal.contains(QLatin1String("always"))
                             || cmp.refusal.contains(QLatin1String("no value")),
                         qPrintable(m.name + QLatin1Char('.') + s.name + QStringLiteral(": ") + cmp.refusal));
                continue;
            }
            const bool exact = c.exact.contains(op);
            const int width = cmp.fit.channel.width();
            for (int n = 0; n < 10000; ++n) {
                uint8_t d[8];
                for (uint8_t &b : d)
                    b = uint8_t(rng.bounded(256));
                if (n % 4 == 0)
                    referencePut(s, d, at + qint64(rng.bounded(5)) - 2);
                const double phys = double(referenceRaw(s, d)) * s.factor + s.offset;
                const bool want = referenceHolds(op, phys, p, s.factor);
                const std::optional<uint16_t> v = can::channelValue(cmp.fit.channel, cmp.fit.littleEndian, d, 8);
                QVERIFY(v);
                const bool got = can::compare(cmp.compare, *v, cmp.data, width);
                if (got == want)
                    continue;
                QVERIFY2(!exact && std::abs(phys - p) <= cmp.error + std::abs(s.factor) * 1e-6
                             && cmp.error <= c.error + 1e-9,
                         qPrintable(QStringLiteral("%1.%2 %3 %4: payload %5 reads %6, module %7")
                                        .arg(m.name, s.name, QLatin1String(dbc::opText(op)))
                                        .arg(p)
                                        .arg(QString::fromLatin1(QByteArray(reinterpret_cast<char *>(d), 8).toHex()))
                                        .arg(phys)
                                        .arg(got)));
            }
        }
    }

private slots:
    void cliListing()
    {
        const kelda::test::CliRun run =
            runCli({QStringLiteral("dbc-signals"), dataFile("handmade.dbc"), QStringLiteral("--json")});
        QCOMPARE(run.exitCode, 0);
        QJsonParseError error;
        const QJsonDocument doc = QJsonDocument::fromJson(run.out, &error);
        QCOMPARE(error.error, QJsonParseError::NoError);
        const QJsonObject first = doc.object().value(QLatin1String("messages")).toArray().first().toObject();
        QCOMPARE(first.value(QLatin1String("id")).toInt(), 640);
        QCOMPARE(first.value(QLatin1String("extended")).toBool(), false);
        QCOMPARE(first.value(QLatin1String("name")).toString(), QStringLiteral("ENGINE"));
        const QJsonObject speed = first.value(QLatin1String("signals")).toArray().first().toObject();
        QCOMPARE(QJsonDocument(speed).toJson(QJsonDocument::Compact),
                 QByteArray("{\"channel\":\"Word 2\",\"class\":\"exact\",\"error\":0,\"exact\":[\"=\",\"<\",\">\"],"
                            "\"name\":\"EngineSpeed\",\"order\":\"Little Endian\",\"reason\":\"\"}"));
        // The keys in the order the format gives them. (No raw strings in a
        // slot's body: moc miscounts their braces and drops the slots after it.)
        QVERIFY(run.out.contains(
            "{\"name\": \"EngineSpeed\", \"class\": \"exact\", \"exact\": [\"=\", \"<\", \">\"], \"reason\": \"\", "
            "\"channel\": \"Word 2\", \"order\": \"Little Endian\", \"error\": 0}"));
        QVERIFY(run.out.contains("\"channel\": \"Byte 1\", \"order\": null"));
        QVERIFY(run.out.contains("\"class\": \"impossible\", \"exact\": [], \"reason\": \"24 bits"));
        QVERIFY(run.out.contains("\"channel\": null, \"order\": null, \"error\": null}"));
        QVERIFY(run.out.contains("\"error\": 63.75}"));
        const QJsonArray skipped = doc.object().value(QLatin1String("skipped")).toArray();
        QCOMPARE(skipped.size(), 12);
        QCOMPARE(skipped.first().toObject().value(QLatin1String("line")).toInt(), 21);
        const QJsonObject eec1 = doc.object().value(QLatin1String("messages")).toArray().at(3).toObject();
        QCOMPARE(eec1.value(QLatin1String("id")).toInteger(), 0x0CF004FE);
        QCOMPARE(eec1.value(QLatin1String("extended")).toBool(), true);

        const kelda::test::CliRun text = runCli({QStringLiteral("dbc-signals"), dataFile("handmade.dbc")});
        QCOMPARE(text.exitCode, 0);
        QVERIFY(text.out.contains("6 messages, 18 signals: 8 exact, 1 approximate, 9 impossible; 12 lines not taken"));
        QVERIFY(text.out.contains("handmade.dbc:57: \"XYZ_\" is not a statement"));
        QVERIFY(text.out.contains("  InputSpeed: approximate (<, >) on Byte 6, within 63.75 rpm"));
        QCOMPARE(runCli({QStringLiteral("dbc-signals"), m_dir.filePath(QStringLiteral("none.dbc"))}).exitCode, 1);
    }

    void cliImport()
    {
        const QString setup = newSetup(QStringLiteral("import.kelda"));
        QVERIFY(!setup.isEmpty());
        const QString out = m_dir.filePath(QStringLiteral("imported.kelda"));
        kelda::test::CliRun run =
            runCli({QStringLiteral("dbc-import"), setup, dataFile("handmade.dbc"), QStringLiteral("--signal"),
                    QStringLiteral("ENGINE.EngineSpeed"), QStringLiteral("--compare"), QStringLiteral("gt"),
                    QStringLiteral("--value"), QStringLiteral("800"), QStringLiteral("-o"), out});
        QCOMPARE(run.exitCode, 0);
        QVERIFY2(run.out.contains("> 3200 raw = 800.00 rpm"), run.out.constData());
        PMModel m;
        QVERIFY(m.openSetup(out));
        const SetupView view = SetupView::read(m.session());
        QCOMPARE(view.canInputs.size(), 1);
        QCOMPARE(view.canInputs.first().name, QStringLiteral("EngineSpeed"));
        QCOMPARE(view.canInputs.first().canId, 0x280);
        QCOMPARE(view.canInputs.first().byteSelect, 12);  // Word 2
        QCOMPARE(view.canInputs.first().canCompare, 3);
        QCOMPARE(view.canInputs.first().data, 3200);
        QVERIFY(view.canInputs.first().littleEndian);

        // Listed against that setup: 0x280 is now read Little Endian.
        const kelda::test::CliRun listed =
            runCli({QStringLiteral("dbc-signals"), dataFile("handmade.dbc"), QStringLiteral("--setup"), out});
        QCOMPARE(listed.exitCode, 0);
        QVERIFY2(
            listed.out.contains("  OilPressure: approximate (<, >) on Byte 5, within 7.5 kPa: Byte 5 holds only its "
                                "top 8 of 12 bits; better on Word 3 Big Endian, which the setup does not allow"),
            listed.out.constData());
        QCOMPARE(runCli({QStringLiteral("dbc-signals"), dataFile("handmade.dbc"), QStringLiteral("--setup"),
                         dataFile("handmade.dbc")})
                     .exitCode,
                 1);

        // The same signal again gets a name of its own.
        const QString second = m_dir.filePath(QStringLiteral("imported2.kelda"));
        run = runCli({QStringLiteral("dbc-import"), out, dataFile("handmade.dbc"), QStringLiteral("--signal"),
                      QStringLiteral("ENGINE.EngineSpeed"), QStringLiteral("--compare"), QStringLiteral("<"),
                      QStringLiteral("--value"), QStringLiteral("5000"), QStringLiteral("-o"), second});
        QCOMPARE(run.exitCode, 0);
        QVERIFY(m.openSetup(second));
        QCOMPARE(SetupView::read(m.session()).canInputs.at(1).name, QStringLiteral("EngineSpeed 2"));
        const QStringList refused[] = {
            {QStringLiteral("EEC1.EngSpeedExt"), QStringLiteral(">"), QStringLiteral("1"), QStringLiteral("extended")},
            // By the number the DBC writes, bit 31 and all: found, and refused for what it is.
            {QStringLiteral("2364540158.EngSpeedExt"), QStringLiteral(">"), QStringLiteral("1"),
             QStringLiteral("extended")},
            {QStringLiteral("ENGINE.OilPressure"), QStringLiteral("="), QStringLiteral("1"),
             QStringLiteral("it can with <, >")},
            {QStringLiteral("ENGINE.Nothing"), QStringLiteral("="), QStringLiteral("1"),
             QStringLiteral("no such signal")},
        };
        for (const QStringList &r : refused) {
            run = runCli({QStringLiteral("dbc-import"), out, dataFile("handmade.dbc"), QStringLiteral("--signal"), r[0],
                          QStringLiteral("--compare"), r[1], QStringLiteral("--value"), r[2], QStringLiteral("-o"),
                          m_dir.filePath(QStringLiteral("refused.kelda"))});
            QCOMPARE(run.exitCode, 1);
            QVERIFY2(run.err.contains(r[3].toUtf8()), run.err.constData());
            QVERIFY(!QFile::exists(m_dir.filePath(QStringLiteral("refused.kelda"))));
        }
        run = runCli({QStringLiteral("dbc-import"), out, dataFile("handmade.dbc"), QStringLiteral("--signal"),
                      QStringLiteral("ENGINE.EngineSpeed"), QStringLiteral("--compare"), QStringLiteral(">="),
                      QStringLiteral("--value"), QStringLiteral("1"), QStringLiteral("-o"), second});
        QCOMPARE(run.exitCode, 2);
        // Neither input is written over.
        const QByteArray before = test::readFile(out);
        for (const QString &target : {out, dataFile("handmade.dbc")}) {
            run = runCli({QStringLiteral("dbc-import"), out, dataFile("handmade.dbc"), QStringLiteral("--signal"),
                          QStringLiteral("ENGINE.CoolantTemp"), QStringLiteral("--compare"), QStringLiteral(">"),
                          QStringLiteral("--value"), QStringLiteral("1"), QStringLiteral("-o"), target});
            QCOMPARE(run.exitCode, 1);
            QVERIFY2(run.err.contains("being"), run.err.constData());
        }
        QCOMPARE(test::readFile(out), before);
    }

    // Imported inputs written by kelda-cli dbc and read back by a standard
    // DBC reader: the same identifier, and the same value from a frame as the
    // module's channel in its byte order.
    void roundTrip()
    {
        const QString python = QStringLiteral("/usr/bin/python3");
        if (runProgram(python, {QStringLiteral("-c"), QStringLiteral("import canmatrix.formats")}) != 0)
            QSKIP("python3-canmatrix is not installed");
        QString setup = newSetup(QStringLiteral("trip.kelda"));
        int step = 0;
        const struct {
            const char *file, *signal, *op, *value;
        } imports[] = {
            {"handmade.dbc", "ENGINE.EngineSpeed", ">", "800"},  // Intel word
            {"handmade.dbc", "ENGINE.CoolantTemp", "=", "90"},  // byte
            {"handmade.dbc", "GEARBOX.OutputSpeed", ">", "150"},  // Motorola word, signed
            {"handmade.dbc", "GEARBOX.ParkFlag", "bit", "1"},  // flag, same identifier
            {"ford_fusion_2018_pt.dbc", "WheelSpeed_CG1.WhlFl_W_Meas", ">", "50"},
            {"hyundai_santafe_2007.dbc", "ESP_Flags.VehicleSpeed", ">", "50"},
        };
        for (const auto &i : imports) {
            const kelda::test::CliRun run =
                runCli({QStringLiteral("dbc-import"), setup, dataFile(i.file), QStringLiteral("--signal"),
                        QLatin1String(i.signal), QStringLiteral("--compare"), QLatin1String(i.op),
                        QStringLiteral("--value"), QLatin1String(i.value), QStringLiteral("-o"),
                        m_dir.filePath(QStringLiteral("trip%1.kelda").arg(++step))});
            QVERIFY2(run.exitCode == 0, run.err.constData());
            setup = m_dir.filePath(QStringLiteral("trip%1.kelda").arg(step));
        }
        const QString out = m_dir.filePath(QStringLiteral("trip.dbc"));
        QCOMPARE(runCli({QStringLiteral("dbc"), setup, QStringLiteral("-o"), out}).exitCode, 0);
        const QByteArray payload = QByteArray::fromHex("0123456789ABCDEF");
        QByteArray read;
        QCOMPARE(runProgram(python,
                            {QStringLiteral("-c"),
                             QStringLiteral("import sys, canmatrix.formats\n"
                                            "db = canmatrix.formats.loadp_flat(sys.argv[1])\n"
                                            "for f in db.frames:\n"
                                            "    for n, v in f.decode(bytes.fromhex(sys.argv[2])).items():\n"
                                            "        print(f.arbitration_id.id, n, v.raw_value)\n"),
                             out, QString::fromLatin1(payload.toHex())},
                            &read),
                 0);
        PMModel m;
        QVERIFY(m.openSetup(setup));
        const SetupView view = SetupView::read(m.session());
        QCOMPARE(view.canInputs.size(), 6);
        QStringList expected, got = QString::fromUtf8(read).trimmed().split(QLatin1Char('\n'));
        for (const ViewCanInput &in : view.canInputs) {
            const can::Channel ch = {(in.byteSelect & (in.byteSelect - 1)) == 0,
                                     (in.byteSelect & (in.byteSelect - 1)) == 0
                                         ? int(std::log2(in.byteSelect)) + 1
                                         : int(std::log2(in.byteSelect & -in.byteSelect)) / 2 + 1};
            const auto v =
                can::channelValue(ch, in.littleEndian, reinterpret_cast<const uint8_t *>(payload.constData()), 8);
            expected << QStringLiteral("%1 %2 %3").arg(in.canId).arg(in.name).arg(*v);
        }
        expected.sort();
        got.sort();
        QCOMPARE(got, expected);
    }
};

QTEST_GUILESS_MAIN(TestDbc)
#include "tst_dbc.moc"
