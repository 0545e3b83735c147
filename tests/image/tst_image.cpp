// The raw image byte for byte, its edge cases and limits, and the export into
// a calibration file.
#include <QDir>
#include <QFile>
#include <QLocale>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include "imageformat.h"
#include "pmmodel.h"
#include "setupbuilder.h"
#include "setupexport.h"
#include "testfiles.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/resource.h>

using namespace kelda;
using namespace kelda::image;
using namespace kelda::test;

namespace {

QByteArray hex(const char *spaced)
{
    return QByteArray::fromHex(QByteArray(spaced).replace(' ', ""));
}

// Store access for setups the editor cannot make (damaged or oversized files).
struct Store {
    explicit Store(PMModel &m) : s(m.session()) { }
    bool setup() { return STRATA_GotoRoot(s) && STRATA_OpenItem(toU16(ItemType::Setup), 0, s); }
    bool append(ItemType t, int n) { return STRATA_InsertItemBlocks(toU16(t), uint16_t(n), s); }
    bool open(ItemType t, int i) { return STRATA_OpenItem(toU16(t), uint16_t(i), s); }
    void close() { STRATA_CloseItem(s); }
    bool setU16(ValueId id, uint16_t v) { return STRATA_InsertValue(toU16(id), &v, s); }
    StoreSession s;
};

const char kNewSetup[] = "0016 0016 0017 0018 0019 001A 001A 001B 001C 001D 001E"
                         "00 00 00 00 00 00 00 00"
                         "0001 0005 0064 03E8 0032 0005 C049 0600"
                         "0000000000000000";

}  // namespace

class TestImage : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString path(const QString &name) const { return m_dir.filePath(name); }

    // Compiles and returns the image; fails the test when the compile fails.
    QByteArray compile(PMModel &model, const QString &name = QStringLiteral("image.bin"))
    {
        const QString file = path(name);
        if (!model.writeRawImage(file)) {
            qWarning("compile failed: %s", qPrintable(model.imageError()));
            return QByteArray();
        }
        return readFile(file);
    }

    // The bytes of section s of an image (up to the next section's offset).
    static QByteArray section(const QByteArray &image, Section s)
    {
        const int from = sectionOffset(image, s);
        const int to = s == Section::Options ? int(image.size()) : sectionOffset(image, Section(int(s) + 1));
        return image.mid(from, to - from);
    }

private slots:
    void initTestCase()
    {
        QLocale::setDefault(QLocale::c());
        QStandardPaths::setTestModeEnabled(true);
        QVERIFY(m_dir.isValid());
    }

    void descriptorCodes()
    {
        QCOMPARE(channelDescriptor(0, 3), uint8_t(1));  // "Word 1", first identifier
        QCOMPARE(channelDescriptor(1, 4), uint8_t(139));  // "Byte 3", second identifier
        QCOMPARE(channelDescriptor(0, 128), uint8_t(136));  // "Byte 8"
        QCOMPARE(channelDescriptor(2, 192), uint8_t(12));  // "Word 4", third
        QCOMPARE(channelDescriptor(1, 5), uint8_t(136));  // unlisted code: 128 + 8 * idx
        QCOMPARE(channelDescriptor(20, 1), uint8_t((128 + 160 + 1) & 0xFF));  // wraps to 8 bits
        QCOMPARE(channelDescriptor(-1, 3), uint8_t(253));  // identifier missing
    }

    void newSetupIs54Bytes()
    {
        PMModel model;
        const QByteArray image = compile(model);
        QCOMPARE(image.toHex(' '), hex(kNewSetup).toHex(' '));
        QCOMPARE(image.size(), 54);

        // A file holding only the fixed tables gives the same image.
        QVERIFY(model.saveSetup(path(QStringLiteral("fixed.kelda"))));
        PMModel reopened;
        QVERIFY(reopened.openSetup(path(QStringLiteral("fixed.kelda"))));
        QCOMPARE(compile(reopened).toHex(' '), hex(kNewSetup).toHex(' '));
    }

    void workedExampleIs98Bytes()
    {
        PMModel model;
        SetupBuilder b(model);
        b.timer(0.5);
        b.canInput(QStringLiteral("0x100"), QStringLiteral("Word 1"), 5);
        const int ev = b.event();
        QVERIFY(b.input(ev, 0, QStringLiteral("CI: CAN Input 1")));
        b.state();
        b.lx1Output();
        QVERIFY(b.set(Mode::Lx1Outputs, 0, 2, QStringLiteral("1")));
        QVERIFY(b.entry(Mode::Events, ev, int(EventList::StatesToSet), QStringLiteral("State 1")));
        QVERIFY(b.entry(Mode::Events, ev, int(EventList::TimersToStart), QStringLiteral("Timer 1")));
        QVERIFY(b.entry(Mode::States, 0, int(StateList::Lx2Leds), QStringLiteral("LX2 LED 1")));
        QVERIFY(b.entry(Mode::States, 0, int(StateList::Lx1Outputs), QStringLiteral("LX1 Output 1")));

        const QByteArray full = hex("0016 0016 0019 0020 0025 0026 002F 0039 0044 0049 004A"
                                    "01 0064"
                                    "01 001C 03 01 00 00"
                                    "01 01 01 0005"
                                    "00"
                                    "0028 01 01 00 01 01 00 00"
                                    "01 0032 0001 0000 01 01 00"
                                    "01 0019 01 00 00 00 00 00 00 00"
                                    "01 2000 0000"
                                    "00"
                                    "0001 0005 0064 03E8 0032 0005 C049 0600 0000000000000000");
        QCOMPARE(full.size(), 98);
        const QByteArray image = compile(model);
        QCOMPARE(image.toHex(' '), full.toHex(' '));

        // Compiling again into the same file replaces it completely.
        QVERIFY(model.writeRawImage(path(QStringLiteral("again.bin"))));
        PMModel empty;
        QVERIFY(empty.writeRawImage(path(QStringLiteral("again.bin"))));
        QCOMPARE(readFile(path(QStringLiteral("again.bin"))).toHex(' '), hex(kNewSetup).toHex(' '));
    }

    void inputRecords()
    {
        PMModel model;
        SetupBuilder b(model);
        b.state();
        b.state();
        b.timer();
        const int single = b.event();
        QVERIFY(b.input(single, 0, QStringLiteral("TI: Timer 1"), QStringLiteral("Stopped")));
        const int pair = b.event();
        QVERIFY(b.input(pair, 0, QStringLiteral("KP: Keypad 3"), QStringLiteral("Short Press"), QStringLiteral("AND")));
        QVERIFY(b.input(pair, 1, QStringLiteral("ST: State 2"), QStringLiteral("Set")));
        const int triple = b.event();
        QVERIFY(b.input(triple, 0, QStringLiteral("SW: Switch 25"), QStringLiteral("Low"), QStringLiteral("OR")));
        QVERIFY(b.input(triple, 1, QStringLiteral("KP: Keypad 1"), QString(), QStringLiteral("AND")));
        QVERIFY(b.input(triple, 2, QStringLiteral("ST: State 1"), QStringLiteral("Cleared")));
        b.event();  // no inputs at all

        const QByteArray image = compile(model);
        const QByteArray s2 = section(image, Section::EventInputs);
        const int base = sectionOffset(image, Section::EventInputs);
        QCOMPARE(int(uint8_t(s2[0])), 4);
        auto record = [&](int i) {
            const int at = readU16(s2, 1 + 2 * i) - base;
            const int next = i + 1 < 4 ? readU16(s2, 1 + 2 * (i + 1)) - base : int(s2.size());
            return s2.mid(at, next - at).toHex(' ');
        };
        QCOMPARE(record(0), hex("02 01 06 00").toHex(' '));  // 4 bytes
        QCOMPARE(record(1), hex("01 03 02 01 04 02 07 00").toHex(' '));  // the documented pair
        QCOMPARE(record(2), hex("05 19 0A 02 01 01 01 01 04 01 08 00").toHex(' '));  // 12 bytes
        QCOMPARE(record(3), hex("01 01 01 00").toHex(' '));  // no target: keypad 1, "Pressed"
        QCOMPARE(readU16(s2, 1), uint16_t(base + 1 + 8));  // first record right after the table
    }

    void receiveIdentifiers()
    {
        PMModel model;
        SetupBuilder b(model);
        b.canInput(QStringLiteral("0x100"), QStringLiteral("Word 2"));  // idx 0
        b.canInput(QStringLiteral("0x200"), QStringLiteral("Byte 3"));  // idx 1 -> 139
        // Little endian on 0x200 only, then moved onto 0x100: it keeps its own
        // byte order, but the identifier's comes from the first input.
        QVERIFY(b.set(Mode::CanInputs, 1, 5, QStringLiteral("Little Endian")));
        const int third = b.canInput(QStringLiteral("0x300"), QStringLiteral("Byte 1"));
        QVERIFY(b.set(Mode::CanInputs, third, 5, QStringLiteral("Little Endian")));
        b.canInput(QStringLiteral("0x200"), QStringLiteral("Word 1"));  // shares idx 1
        QVERIFY(b.set(Mode::CanInputs, third, 1, QStringLiteral("0x100")));
        QCOMPARE(model.canIdList(ItemType::CanInput), (QList<uint16_t>{0x100, 0x200}));

        const QByteArray image = compile(model);
        QCOMPARE(section(image, Section::CanInputs).toHex(' '),
                 hex("04 02 01 0000 8B 01 0000 81 01 0000 05 01 0000").toHex(' '));
        QCOMPARE(section(image, Section::ReceiveIds).toHex(' '), hex("02 2000 0000 4000 0001").toHex(' '));

        // The first input decides: make the first 0x100 input little endian.
        QVERIFY(b.set(Mode::CanInputs, 0, 5, QStringLiteral("Little Endian")));
        QCOMPARE(section(compile(model), Section::ReceiveIds).toHex(' '), hex("02 2000 0001 4000 0001").toHex(' '));
    }

    void transmitListIsIndependent()
    {
        PMModel model;
        SetupBuilder b(model);
        b.canInput(QStringLiteral("0x100"));
        b.canOutput(QStringLiteral("0x200"), QStringLiteral("Word 1"), 0x1234);
        b.canOutput(QStringLiteral("0x100"), QStringLiteral("Byte 2"), 7);
        QCOMPARE(model.canIdList(ItemType::CanOutput), (QList<uint16_t>{0x200, 0x100}));
        const QByteArray image = compile(model);
        QCOMPARE(section(image, Section::CanOutputs).toHex(' '), hex("02 01 1234 8A 0007").toHex(' '));
        QCOMPARE(section(image, Section::TransmitIds).toHex(' '), hex("02 4000 0000 2000 0000").toHex(' '));
        QCOMPARE(section(image, Section::ReceiveIds).toHex(' '), hex("01 2000 0000").toHex(' '));
    }

    void listsWithUnresolvedEntries()
    {
        PMModel model;
        SetupBuilder b(model);
        b.state();
        b.state();
        b.state();
        b.lx1Output();
        b.timer();
        const int ev = b.event();
        const int set = int(EventList::StatesToSet);
        QVERIFY(b.entry(Mode::Events, ev, set));  // never pointed at anything
        QVERIFY(b.entry(Mode::Events, ev, set, QStringLiteral("State 3")));
        QVERIFY(b.entry(Mode::Events, ev, set, QStringLiteral("State 2")));
        QVERIFY(b.entry(Mode::Events, ev, set, QStringLiteral("State 1")));
        QVERIFY(b.entry(Mode::Events, ev, int(EventList::TimersToStop), QStringLiteral("Timer 1")));
        QVERIFY(b.entry(Mode::States, 2, int(StateList::Lx1Outputs)));
        QVERIFY(b.entry(Mode::States, 2, int(StateList::Lx1Outputs), QStringLiteral("LX1 Output 1")));
        QVERIFY(b.entry(Mode::States, 2, int(StateList::Lx2Leds), QStringLiteral("LX2 LED 21")));
        QVERIFY(b.entry(Mode::States, 2, int(StateList::Lx2Leds), QStringLiteral("LX2 LED 32")));
        QVERIFY(b.entry(Mode::States, 2, int(StateList::CanOutputs)));
        // Delete "State 2": its entry no longer resolves; State 3 becomes number 2.
        model.setMode(int(Mode::States));
        QVERIFY(model.removeRows(1, 1));

        const QByteArray image = compile(model);
        const QByteArray s5 = section(image, Section::EventActions);
        QCOMPARE(s5.mid(2).toHex(' '), hex("02 02 01 00 00 01 01 00").toHex(' '));
        const QByteArray s6 = section(image, Section::States);
        QCOMPARE(int(uint8_t(s6[0])), 2);
        const int second = readU16(s6, 3) - sectionOffset(image, Section::States);
        // LED 21 (index 20) is bit 4 of the high word, LED 32 bit 15; the LX1 list
        // counts its empty entry and writes 0, the CAN list likewise.
        QCOMPARE(s6.mid(second).toHex(' '), hex("0000 8010 02 00 01 01 00").toHex(' '));
        QCOMPARE(s6.mid(5, second - 5).toHex(' '), hex("0000 0000 00 00").toHex(' '));
    }

    void pwmDescriptors()
    {
        PMModel model;
        SetupBuilder b(model);
        b.canInput(QStringLiteral("0x100"));
        b.canInput(QStringLiteral("0x101"), QStringLiteral("Byte 3"));
        QVERIFY(b.set(Mode::Pwm, 1, 1, QStringLiteral("CAN Input 2")));
        QVERIFY(b.set(Mode::Pwm, 7, 1, QStringLiteral("CAN Input 1")));
        const QByteArray s10 = section(compile(model), Section::Options);
        QCOMPARE(s10.size(), 16 + 8);
        QCOMPARE(s10.mid(16).toHex(' '), hex("00 8B 00 00 00 00 00 01").toHex(' '));
    }

    void optionsInIndexOrder()
    {
        PMModel model;
        model.setOption(int(OptionIndex::CanSpeed), 3);  // "250 kHz"
        model.setOption(int(OptionIndex::RebroadcastId), 0x123);
        QCOMPARE(section(compile(model), Section::Options).left(16).toHex(' '),
                 hex("0001 0005 0064 03E8 0032 0005 C349 0123").toHex(' '));
    }

    void damagedPriorities()
    {
        PMModel model;
        SetupBuilder b(model);
        for (int i = 0; i < 4; ++i) {
            const int ev = b.event();
            QVERIFY(b.input(ev, 0, QStringLiteral("KP: Keypad %1").arg(i + 1)));
        }
        // Priorities 5, 2, 2, 4: a duplicate and gaps.
        Store st(model);
        const uint16_t orders[3] = {5, 2, 2};
        for (int i = 0; i < 3; ++i) {
            QVERIFY(st.setup() && st.open(ItemType::Event, i));
            QVERIFY(st.setU16(ValueId::Order, orders[i]));
        }
        // Rows 1 and 2 share priority 2 (row order), then row 3 (4), then row 0 (5).
        QVERIFY(model.eventByPriority(2));
        uint16_t type = 0, index = 0;
        QVERIFY(STRATA_GetParentTID(&type, &index, model.session()));
        QCOMPARE(int(index), 1);
        QVERIFY(!model.eventByPriority(1));

        const QByteArray image = compile(model);
        const QByteArray s2 = section(image, Section::EventInputs);
        QCOMPARE(int(uint8_t(s2[0])), 4);
        QCOMPARE(s2.mid(9).toHex(' '), hex("01 02 01 00 01 03 01 00 01 04 01 00 01 01 01 00").toHex(' '));
        // Every event has exactly one action record.
        QCOMPARE(section(image, Section::EventActions).size(), 4 * 2 + 4 * 5);
    }

    void tooManyItemsInATable()
    {
        PMModel model;
        Store st(model);
        QVERIFY(st.setup() && st.append(ItemType::Timer, 256));
        // A refused image writes nothing: no file where there was none, and
        // an earlier image stays as it was.
        const QString file = path(QStringLiteral("refused.bin"));
        QFile::remove(file);
        QVERIFY(!model.writeRawImage(file));
        QVERIFY(!QFile::exists(file));
        {
            QFile earlier(file);
            QVERIFY(earlier.open(QIODevice::WriteOnly));
            earlier.write("an earlier image");
        }
        QVERIFY(!model.writeRawImage(file));
        QCOMPARE(readFile(file), QByteArray("an earlier image"));
        QVERIFY2(model.imageError().contains(QLatin1String("timers")), qPrintable(model.imageError()));
        QVERIFY2(model.imageError().contains(QLatin1String("256")), qPrintable(model.imageError()));
        QVERIFY2(model.imageError().contains(QLatin1String("255")), qPrintable(model.imageError()));

        // 255 is the most a count byte holds: accepted.
        QVERIFY(st.setup());
        QVERIFY(STRATA_DeleteItem(toU16(ItemType::Timer), 0, st.s));
        QVERIFY2(model.writeRawImage(file), qPrintable(model.imageError()));
        QCOMPARE(uint8_t(readFile(file).at(kHeaderSize)), uint8_t(255));
        QVERIFY(model.imageError().isEmpty());
    }

    void tooManyEntriesInAList()
    {
        PMModel model;
        SetupBuilder b(model);
        b.state();
        const int ev = b.event();
        QVERIFY(b.entry(Mode::Events, ev, int(EventList::StatesToClear), QStringLiteral("State 1")));
        Store st(model);
        // 255 more entries pointing at the same state: 256 that all resolve.
        StoreBookmark target = nullptr;
        QVERIFY(st.setup() && st.open(ItemType::State, 0));
        QVERIFY(STRATA_AddBookMark(&target, st.s));
        QVERIFY(st.setup() && st.open(ItemType::Event, ev) && st.open(ItemType::RefList, 1));
        QVERIFY(st.append(ItemType::RefEntry, 255));
        for (int e = 1; e < 256; ++e) {
            QVERIFY(st.open(ItemType::RefEntry, e));
            QVERIFY(STRATA_CreateReference(target, 1, toU16(ValueId::Name), st.s));
            st.close();
        }
        STRATA_RemoveBookMark(target, st.s);
        QCOMPARE(model.listEntryCount(ev, 1), 256);

        const QString file = path(QStringLiteral("list.bin"));
        QVERIFY(!model.writeRawImage(file));
        QVERIFY(!QFile::exists(file));
        const QString why = model.imageError();
        QVERIFY2(why.contains(QLatin1String("States to Clear")) && why.contains(QLatin1String("Event 1"))
                     && why.contains(QLatin1String("256")) && why.contains(QLatin1String("255")),
                 qPrintable(why));

        // An unresolved entry does not count in an event list: 255 remain.
        QVERIFY(st.setup() && st.open(ItemType::Event, ev) && st.open(ItemType::RefList, 1)
                && st.open(ItemType::RefEntry, 0));
        QVERIFY(STRATA_DeleteItem(toU16(ItemType::Reference), 0, st.s));
        QVERIFY2(model.writeRawImage(file), qPrintable(model.imageError()));
    }

    void tooManyEntriesInAStateList()
    {
        PMModel model;
        SetupBuilder b(model);
        b.state();
        Store st(model);
        QVERIFY(st.setup() && st.open(ItemType::State, 0) && st.open(ItemType::RefList, 2));
        QVERIFY(st.append(ItemType::RefEntry, 256));  // unresolved entries still count here
        QVERIFY(!model.writeRawImage(path(QStringLiteral("state.bin"))));
        QVERIFY2(model.imageError().contains(QLatin1String("CAN output"))
                     && model.imageError().contains(QLatin1String("State 1")),
                 qPrintable(model.imageError()));
    }

    void imageTooLarge()
    {
        // 255 states with 255 (empty) LX1 entries each: 255 * 261 bytes of records.
        PMModel model;
        Store st(model);
        QVERIFY(st.setup() && st.append(ItemType::State, 255));
        for (int i = 0; i < 255; ++i) {
            QVERIFY(st.setup() && st.open(ItemType::State, i));
            QVERIFY(st.append(ItemType::RefList, 3));
            QVERIFY(st.open(ItemType::RefList, 1) && st.append(ItemType::RefEntry, 255));
        }
        const QString file = path(QStringLiteral("large.bin"));
        QVERIFY(!model.writeRawImage(file));
        QVERIFY(!QFile::exists(file));
        QVERIFY2(model.imageError().contains(QLatin1String("65536")), qPrintable(model.imageError()));
        const int expected = 54 + 255 * 2 + 255 * (4 + 1 + 255 + 1);
        QVERIFY2(model.imageError().contains(QString::number(expected)), qPrintable(model.imageError()));

        // Just below the limit is written.
        int surplus = expected - 65535;
        for (int i = 0; surplus > 0; ++i) {
            QVERIFY(st.setup() && st.open(ItemType::State, i) && st.open(ItemType::RefList, 1));
            for (int k = std::min(surplus, 255); k > 0; --k, --surplus)
                QVERIFY(STRATA_DeleteItem(toU16(ItemType::RefEntry), 0, st.s));
        }
        QVERIFY2(model.writeRawImage(file), qPrintable(model.imageError()));
        QCOMPARE(QFileInfo(file).size(), 65535);
    }

    // An identifier above 0x7FF (the editor refuses it; a file or a loaded
    // tree may hold it) would lose its top bits in the identifier lists and
    // become another: refused, and nothing is written.
    void identifiersAbove11BitsAreRefused()
    {
        const QString out = path(QStringLiteral("wide.bin"));
        QVERIFY(writeFile(out, "previous"));
        for (ItemType type : {ItemType::CanInput, ItemType::CanOutput}) {
            PMModel model;
            SetupBuilder b(model);
            const int row =
                type == ItemType::CanInput ? b.canInput(QStringLiteral("0x100")) : b.canOutput(QStringLiteral("0x100"));
            const std::pair<int, const char *> ids[] = {
                {0x7FF, ""}, {0x800, "0x800"}, {0x900, "0x900"}, {0xFFFF, "0xFFFF"}};
            for (const auto &[id, text] : ids) {
                StoreCursor c(model.session());
                QVERIFY(c.item(type, row) && c.setInt(ValueId::CanId, id));
                if (id == 0x7FF) {
                    QVERIFY2(model.writeRawImage(path(QStringLiteral("7ff.bin"))), qPrintable(model.imageError()));
                    continue;
                }
                QVERIFY(!model.writeRawImage(out));
                QVERIFY2(model.imageError().contains(QStringLiteral("uses identifier %1, above 0x7FF").arg(text)),
                         qPrintable(model.imageError()));
                QCOMPARE(readFile(out), QByteArray("previous"));
            }
        }
    }

    // A current limit above 255 steps (a file may hold one; the cell shows it
    // as 102.0 A) is refused rather than sent to the module as it stands.
    void currentsAbove255StepsAreRefused()
    {
        PMModel model;
        SetupBuilder b(model);
        const int row = b.lx1Output();
        QVERIFY(b.set(Mode::Lx1Outputs, row, Lx1OutputCol::Current, 102.0));
        const QString out = path(QStringLiteral("current.bin"));
        QVERIFY2(model.writeRawImage(out), qPrintable(model.imageError()));
        const QByteArray fitting = readFile(out);
        StoreCursor c(model.session());
        QVERIFY(c.item(ItemType::Lx1Output, row) && c.setInt(ValueId::Data, 256));
        QVERIFY(!model.writeRawImage(out));
        QVERIFY2(model.imageError().contains(QStringLiteral("\"LX1 Output 1\" has a current limit of 256 steps")),
                 qPrintable(model.imageError()));
        QCOMPARE(readFile(out), fitting);
    }

    // A descriptor is one byte: a CAN channel on an identifier it cannot name
    // is refused, never written as another identifier's channel.
    void channelsBeyondTheDescriptorAreRefused()
    {
        const QString out = path(QStringLiteral("channels.bin"));
        PMModel model;
        SetupBuilder b(model);
        for (int i = 0; i < 16; ++i)
            b.canInput(QStringLiteral("0x%1").arg(0x100 + i, 0, 16), QStringLiteral("Byte 1"));
        QVERIFY2(model.writeRawImage(out), qPrintable(model.imageError()));
        // The 16th identifier with "Byte 8" would need 256.
        QVERIFY(b.set(Mode::CanInputs, 15, 2, QStringLiteral("Byte 8")));
        QVERIFY(!model.writeRawImage(out));
        QVERIFY2(model.imageError().contains(QStringLiteral("CAN input \"CAN Input 16\""))
                     && model.imageError().contains(QStringLiteral("0x10F"))
                     && model.imageError().contains(QStringLiteral("first 15")),
                 qPrintable(model.imageError()));
        QVERIFY(b.set(Mode::CanInputs, 15, 2, QStringLiteral("Word 4")));
        QVERIFY(model.writeRawImage(out));
        // The 17th with a byte channel: refused; with a word channel it fits.
        const int extra = b.canInput(QStringLiteral("0x200"), QStringLiteral("Byte 2"));
        QVERIFY(!model.writeRawImage(out));
        QVERIFY2(model.imageError().contains(QStringLiteral("number 17 of the receive identifiers")),
                 qPrintable(model.imageError()));
        QVERIFY(b.set(Mode::CanInputs, extra, 2, QStringLiteral("Word 2")));
        QVERIFY(model.writeRawImage(out));

        // CAN outputs count against the transmit list.
        for (int i = 0; i < 16; ++i)
            b.canOutput(QStringLiteral("0x%1").arg(0x300 + i, 0, 16), QStringLiteral("Byte 3"));
        QVERIFY(model.writeRawImage(out));
        const QByteArray fitting = readFile(out);
        b.canOutput(QStringLiteral("0x400"), QStringLiteral("Byte 3"));
        QVERIFY(!model.writeRawImage(out));
        QVERIFY2(model.imageError().contains(QStringLiteral("transmit")), qPrintable(model.imageError()));
        QCOMPARE(readFile(out), fitting);  // the refused image wrote nothing
        model.setMode(int(Mode::CanOutputs));
        QVERIFY(model.removeRows(model.rowCount() - 1, 1));

        // Word channels reach the 32nd receive identifier; a PWM input uses its CAN input's channel.
        for (int i = 0; i < 15; ++i)
            b.canInput(QStringLiteral("0x%1").arg(0x500 + i, 0, 16));
        model.setMode(int(Mode::Pwm));
        QVERIFY(model.setData(model.index(2, 1), model.itemName(ItemType::CanInput, extra + 15)));
        QVERIFY2(model.writeRawImage(out), qPrintable(model.imageError()));
        b.canInput(QStringLiteral("0x600"));
        QVERIFY(!model.writeRawImage(out));
    }

    // A setup edited through every guarded path (refused names and numbers,
    // rounding, a remove that takes its uses along, unchanged commits), saved
    // and reopened, compiles to the same image as one built straight away.
    void guardedEditsRoundTrip()
    {
        PMModel edited;
        {
            SetupBuilder b(edited);
            b.timer(1.0);
            b.timer(1.0);
            b.timer(1.0);
            QVERIFY(b.set(Mode::Timers, 0, 1, 2.010));  // 402 ticks, not 401
            QVERIFY(b.set(Mode::Timers, 2, 0, QStringLiteral("Glow")));
            QVERIFY(!b.set(Mode::Timers, 2, 0, QStringLiteral("Timer 1")));  // taken
            QVERIFY(!b.set(Mode::Timers, 2, 0, QString::fromUtf8("\u0394t")));
            b.canInput(QStringLiteral("0123"), QStringLiteral("Byte 2"), 7);  // decimal 123
            QVERIFY(!b.set(Mode::CanInputs, 0, 1, QStringLiteral("0x900")));
            b.lx1Output();
            QVERIFY(b.set(Mode::Lx1Outputs, 0, 4, QStringLiteral("101")));
            QVERIFY(!b.set(Mode::Lx1Outputs, 0, 4, QStringLiteral("100000000")));
            b.state();
            const int ev = b.event();
            QVERIFY(b.input(ev, 0, QStringLiteral("TI: Glow"), QStringLiteral("Stopped"), QStringLiteral("OR")));
            QVERIFY(b.input(ev, 1, QStringLiteral("CI: CAN Input 1")));
            QVERIFY(b.entry(Mode::Events, ev, 2, QStringLiteral("Timer 2")));
            QVERIFY(b.entry(Mode::Events, ev, 2, QStringLiteral("Glow")));
            QVERIFY(b.entry(Mode::Events, ev, 0, QStringLiteral("State 1")));
            QVERIFY(b.entry(Mode::States, 0, 1, QStringLiteral("LX1 Output 1")));
            // Committing shown values changes nothing.
            edited.setMode(int(Mode::Events));
            for (int c = 0; c < edited.columnCount(); ++c)
                edited.setData(edited.index(ev, c), edited.data(edited.index(ev, c), Qt::EditRole));
            edited.setMode(int(Mode::Timers));
            QVERIFY(edited.removeRows(1, 1));  // "Timer 2" goes, and its start entry with it
            edited.setOption(0, 0.29);
        }
        const QString file = path(QStringLiteral("guarded.kelda"));
        QVERIFY(edited.saveSetup(file));
        PMModel reopened;
        QVERIFY(reopened.openSetup(file));

        PMModel direct;
        {
            SetupBuilder b(direct);
            b.timer(2.01);
            b.timer(1.0);
            QVERIFY(b.set(Mode::Timers, 1, 0, QStringLiteral("Glow")));
            b.canInput(QStringLiteral("0x7B"), QStringLiteral("Byte 2"), 7);
            b.lx1Output();
            QVERIFY(b.set(Mode::Lx1Outputs, 0, 4, QStringLiteral("00000101")));
            b.state();
            const int ev = b.event();
            QVERIFY(b.input(ev, 0, QStringLiteral("TI: Glow"), QStringLiteral("Stopped"), QStringLiteral("OR")));
            QVERIFY(b.input(ev, 1, QStringLiteral("CI: CAN Input 1")));
            QVERIFY(b.entry(Mode::Events, ev, 2, QStringLiteral("Glow")));
            QVERIFY(b.entry(Mode::Events, ev, 0, QStringLiteral("State 1")));
            QVERIFY(b.entry(Mode::States, 0, 1, QStringLiteral("LX1 Output 1")));
            direct.setOption(0, 0.29);
        }
        const QByteArray image = compile(reopened, QStringLiteral("guarded.bin"));
        QVERIFY(!image.isEmpty());
        QCOMPARE(image.toHex(), compile(direct, QStringLiteral("direct.bin")).toHex());
        QCOMPARE(section(image, Section::Timers).toHex(), QByteArray("020192") + "00c8");
    }

    // A write that fails part-way (a file size limit stands in for a full
    // disk; it stops root as well) leaves the previous image byte for byte,
    // no temporary file, and the system's reason.
    void writeFailureKeepsThePreviousImage()
    {
        QTemporaryDir dir;
        const QString file = dir.filePath(QStringLiteral("image.bin"));
        PMModel small;
        QVERIFY(small.writeRawImage(file));
        const QByteArray previous = readFile(file);
        PMModel large;
        Store st(large);
        QVERIFY(st.setup() && st.append(ItemType::Timer, 200));

        rlimit old{};
        QCOMPARE(::getrlimit(RLIMIT_FSIZE, &old), 0);
        auto *handler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit tight = old;
        tight.rlim_cur = rlim_t(previous.size() + 100);
        QCOMPARE(::setrlimit(RLIMIT_FSIZE, &tight), 0);
        const bool written = large.writeRawImage(file);
        ::setrlimit(RLIMIT_FSIZE, &old);
        std::signal(SIGXFSZ, handler);

        QVERIFY(!written);
        const QString why = large.imageError();
        QVERIFY2(why.contains(QLatin1String("image.bin")) && why.contains(QString::fromLocal8Bit(std::strerror(EFBIG))),
                 qPrintable(why));
        QCOMPARE(readFile(file), previous);
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("image.bin")});
        // Without the limit the same model writes its image over the old one.
        QVERIFY(large.writeRawImage(file));
        QCOMPARE(QFileInfo(file).size(), 54 + 2 * 200);
    }

    void failuresAreReported()
    {
        PMModel model;
        QVERIFY(!model.writeRawImage(path(QStringLiteral("no/such/folder/image.bin"))));
        QVERIFY2(model.imageError().contains(QLatin1String("no/such/folder/image.bin")),
                 qPrintable(model.imageError()));

        // A store without a setup item never becomes the open setup, so the
        // setup that was open still compiles.
        StoreSession empty = nullptr;
        QVERIFY(STRATA_NewSession(&empty));
        const QString file = path(QStringLiteral("nosetup.kelda"));
        QVERIFY(STRATA_SaveSession(file.toLatin1().constData(), empty));
        STRATA_CloseSession(empty);
        QVERIFY(!model.openSetup(file));
        const QString out = path(QStringLiteral("nosetup.bin"));
        QVERIFY(model.writeRawImage(out));
        QCOMPARE(QFileInfo(out).size(), 54);
    }

    void exportIntoNewCalibration()
    {
        PMModel model;
        SetupBuilder b(model);
        b.timer();
        QVERIFY(model.saveSetup(path(QStringLiteral("x.kelda"))));
        QDir(m_dir.path()).mkdir(QStringLiteral("newcal"));
        const QString cal = path(QStringLiteral("newcal/out.cal"));
        QString error;
        QVERIFY2(exportSetup(model.session(), model.fileName(), cal, &error), qPrintable(error));
        const QByteArray image = readFile(path(QStringLiteral("newcal/LX2Raw.bin")));
        QCOMPARE(image.size(), 56);
        const QByteArray bytes = readFile(cal);
        QCOMPARE(bytes.size(), 96 + 56);
        QCOMPARE(bytes.left(88), QByteArray(88, '\0'));
        QCOMPARE(bytes.mid(88, 8), QByteArray("x.kelda2"));
        QCOMPARE(bytes.mid(96), image);

        QCOMPARE(exportNameField(QString()), QByteArray("22222222"));
        QCOMPARE(exportNameField(QStringLiteral("/a/pump.kelda")), QByteArray("pump.kel"));
        QCOMPARE(exportNameField(QStringLiteral("/a/\u00e9t\u00e9.kelda")), QByteArray("\xe9t\xe9.keld"));
    }

    void exportIntoLongerCalibration()
    {
        QDir(m_dir.path()).mkdir(QStringLiteral("oldcal"));
        const QString cal = path(QStringLiteral("oldcal/old.cal"));
        QByteArray old(400, '\0');
        for (int i = 0; i < old.size(); ++i)
            old[i] = char(i * 7 + 3);
        QVERIFY(writeFile(cal, old));
        PMModel model;  // never saved: the name field is eight '2'
        QString error;
        QVERIFY2(exportSetup(model.session(), model.fileName(), cal, &error), qPrintable(error));
        const QByteArray bytes = readFile(cal);
        QCOMPARE(bytes.size(), 400);
        QCOMPARE(bytes.left(88), old.left(88));
        QCOMPARE(bytes.mid(88, 8), QByteArray("22222222"));
        QCOMPARE(bytes.mid(96, 54).toHex(' '), hex(kNewSetup).toHex(' '));
        QCOMPARE(bytes.mid(150), old.mid(150));
    }

    void exportRefusesWhatCannotCompile()
    {
        QDir(m_dir.path()).mkdir(QStringLiteral("badcal"));
        const QString cal = path(QStringLiteral("badcal/keep.cal"));
        const QByteArray old(200, 'k');
        QVERIFY(writeFile(cal, old));
        PMModel model;
        Store st(model);
        QVERIFY(st.setup() && st.append(ItemType::CanInput, 300));
        QString error;
        QVERIFY(!exportSetup(model.session(), model.fileName(), cal, &error));
        QVERIFY2(error.contains(QLatin1String("CAN inputs")) && error.contains(QLatin1String("300")),
                 qPrintable(error));
        QCOMPARE(readFile(cal), old);

        // A calibration file that cannot be written: a folder in its place.
        QDir(m_dir.path()).mkpath(QStringLiteral("badcal/folder.cal"));
        PMModel fine;
        QVERIFY(!exportSetup(fine.session(), fine.fileName(), path(QStringLiteral("badcal/folder.cal")), &error));
        QVERIFY(error.contains(QLatin1String("folder.cal")));
    }
};

QTEST_GUILESS_MAIN(TestImage)
#include "tst_image.moc"
