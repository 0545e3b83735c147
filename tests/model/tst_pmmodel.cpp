// PMModel over a real store session: cells, rows, references, texts, lifecycle.
#include <QAbstractItemModelTester>
#include <QFile>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>

#include "crossrefs.h"
#include "pmmodel.h"
#include "schema.h"
#include "setupbuilder.h"
#include "strata.h"
#include "testfiles.h"

using namespace kelda;
using kelda::test::addRows;
using kelda::test::writeFile;

namespace {

// Raw store access for checking what the model really stored, independent of
// the model's own reading code.
struct Raw {
    StoreSession s;
    explicit Raw(StoreSession session) : s(session) { }

    bool to(ItemType type, int row)
    {
        return STRATA_GotoRoot(s) && STRATA_OpenItem(toU16(ItemType::Setup), 0, s)
            && STRATA_OpenItem(toU16(type), uint16_t(row), s);
    }
    bool open(ItemType type, int index) { return STRATA_OpenItem(toU16(type), uint16_t(index), s); }
    int u16(ValueId id)
    {
        uint32_t size = 0;
        if (!STRATA_GetValSize(toU16(id), &size, s))
            return -1;
        unsigned char buf[16] = {};
        STRATA_GetValue(toU16(id), buf, s);
        return size == 1 ? buf[0] : buf[0] | (buf[1] << 8);
    }
    QString text(ValueId id)
    {
        uint32_t size = 0;
        if (!STRATA_GetValSize(toU16(id), &size, s))
            return QStringLiteral("<absent>");
        QByteArray b(int(size) + 1, '\0');
        STRATA_GetValue(toU16(id), b.data(), s);
        return QString::fromLatin1(b.constData());
    }
    void setU16(ValueId id, uint16_t v) { QVERIFY(STRATA_InsertValue(toU16(id), &v, s)); }
    void setU8(ValueId id, uint8_t v) { QVERIFY(STRATA_InsertValue(toU16(id), &v, s)); }
    void setText(ValueId id, const char *t) { QVERIFY(STRATA_InsertValue(toU16(id), t, s)); }
    int count(ItemType type)
    {
        uint16_t n = 0;
        STRATA_GetItemCount(toU16(type), &n, s);
        return n;
    }
    // Name in the reference record below the current item, or "<none>".
    QString recordName()
    {
        if (!open(ItemType::Reference, 0))
            return QStringLiteral("<none>");
        const QString n = text(ValueId::Name);
        STRATA_CloseItem(s);
        return n;
    }
};

QString cell(const PMModel &m, int row, int col)
{
    return m.data(m.index(row, col)).toString();
}

// Reaches cells of rows that do not exist, as a view may between a store
// change and its notification.
struct Probe : PMModel {
    QString at(int row, int col) const { return data(createIndex(row, col)).toString(); }
};

// Row k of the events table with inputs chained by "AND".
void chainEvent(PMModel &m, int row)
{
    m.setMode(int(Mode::Events));
    QVERIFY(m.setData(m.index(row, 4), QStringLiteral("AND")));
    QVERIFY(m.setData(m.index(row, 7), QStringLiteral("AND")));
}

}  // namespace

class TestPMModel : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QLocale::setDefault(QLocale::c());
        QStandardPaths::setTestModeEnabled(true);
    }

    // ------------------------------------------------------------ structure

    void newSetupContents()
    {
        PMModel m;
        QVERIFY(m.isSessionOpen());
        QVERIFY(m.fileName().isEmpty());
        QCOMPARE(m.itemCount(ItemType::KeypadKey), 25);
        QCOMPARE(m.itemCount(ItemType::Switch), 25);
        QCOMPARE(m.itemCount(ItemType::Lx2Led), 32);
        QCOMPARE(m.itemCount(ItemType::Lx1Module), 8);
        QCOMPARE(m.itemCount(ItemType::Option), 8);
        QCOMPARE(m.itemCount(ItemType::CanInput), 0);
        QCOMPARE(m.itemCount(ItemType::Event), 0);
        Raw raw(m.session());
        QVERIFY(raw.to(ItemType::KeypadKey, 24));
        QCOMPARE(raw.text(ValueId::Name), QStringLiteral("Keypad 25"));
        QCOMPARE(raw.u16(ValueId::Order), 24);
        QVERIFY(raw.to(ItemType::Switch, 0));
        QCOMPARE(raw.text(ValueId::Name), QStringLiteral("Switch 1"));
        QCOMPARE(raw.u16(ValueId::Order), 0);
        QVERIFY(raw.to(ItemType::Lx2Led, 31));
        QCOMPARE(raw.text(ValueId::Name), QStringLiteral("LX2 LED 32"));
        for (int i = 0; i < kOptionCount; ++i) {
            QVERIFY(raw.to(ItemType::Option, i));
            QCOMPARE(raw.u16(ValueId::Data), int(kOptionDefaults[size_t(i)]));
        }
        QCOMPARE(m.mode(), 0);
        QCOMPARE(m.rowCount(), 25);
        QCOMPARE(cell(m, 0, 0), QStringLiteral("1"));
        QCOMPARE(cell(m, 2, 1), QStringLiteral("Keypad 3"));
    }

    void headersAndColumns()
    {
        PMModel m;
        const int columns[] = {2, 2, 6, 2, 11, 2, 11, 2, 4, 2};
        for (int mode = 0; mode < 10; ++mode) {
            m.setMode(mode);
            QCOMPARE(m.columnCount(), columns[mode]);
            QVERIFY(!m.headerData(0, Qt::Vertical).isValid());
            QVERIFY(!m.headerData(0, Qt::Horizontal, Qt::DecorationRole).isValid());  // tooltips: tst_undo
            QVERIFY(!m.headerData(columns[mode], Qt::Horizontal).isValid());
        }
        m.setMode(int(Mode::Events));
        QCOMPARE(m.headerData(10, Qt::Horizontal).toString(), QStringLiteral(" Edit..."));
        QCOMPARE(m.headerData(4, Qt::Horizontal).toString(), QStringLiteral("With"));
        m.setMode(int(Mode::States));
        QCOMPARE(m.headerData(1, Qt::Horizontal).toString(), QStringLiteral("Edit..."));
        m.setMode(int(Mode::Timers));
        QCOMPARE(m.headerData(1, Qt::Horizontal).toString(), QStringLiteral("Reset Value/s"));
        m.setMode(int(Mode::Pwm));
        QCOMPARE(m.headerData(0, Qt::Horizontal).toString(), QStringLiteral("PM"));
        QCOMPARE(cell(m, 1, 0), QStringLiteral(" LX1-2"));
    }

    void flagsAndEditorKinds()
    {
        PMModel m;
        QCOMPARE(m.flags(QModelIndex()), Qt::ItemFlags());  // the root of a flat table
        m.setMode(int(Mode::Keypad));
        QVERIFY(!(m.flags(m.index(0, 0)) & Qt::ItemIsEditable));
        QVERIFY(m.flags(m.index(0, 1)) & Qt::ItemIsEditable);
        addRows(m, int(Mode::Events), 1);
        QVERIFY(m.flags(m.index(0, 0)) & Qt::ItemIsEditable);
        QCOMPARE(m.editorKind(m.index(0, 0)), int(EditorKind::Choice));
        QCOMPARE(m.editorKind(m.index(0, 1)), int(EditorKind::Default));
        QCOMPARE(m.editorKind(m.index(0, 10)), int(EditorKind::Dialog));
        addRows(m, int(Mode::Lx1Outputs), 1);
        QCOMPARE(m.editorKind(m.index(0, 1)), int(EditorKind::Current));
        QCOMPARE(m.editorKind(m.index(0, 10)), int(EditorKind::Dialog));
        addRows(m, int(Mode::Timers), 1);
        QCOMPARE(m.editorKind(m.index(0, 1)), int(EditorKind::Seconds));
        addRows(m, int(Mode::CanInputs), 1);
        QCOMPARE(m.editorKind(m.index(0, 4)), int(EditorKind::Integer));
        QCOMPARE(m.editorKind(m.index(0, 5)), int(EditorKind::Choice));
        QCOMPARE(m.editorKind(m.index(0, 1)), int(EditorKind::Default));
        m.setMode(int(Mode::Pwm));
        QCOMPARE(m.editorKind(m.index(0, 1)), int(EditorKind::Choice));
        QCOMPARE(m.data(m.index(0, 0), Qt::UserRole).toStringList(), QStringList{"NONE"});
    }

    // Every mode under the model tester, with rows added and removed while it watches.
    void modelTesterEveryMode()
    {
        PMModel m;
        for (int mode : {2, 3, 4, 5, 6, 8})
            addRows(m, mode, 3);
        QAbstractItemModelTester tester(&m, QAbstractItemModelTester::FailureReportingMode::QtTest);
        for (int mode = 0; mode < 10; ++mode) {
            m.setMode(mode);
            QVERIFY(m.rowCount() > 0);
            if (mode == 0 || mode == 1 || mode == 7 || mode == 9)
                continue;
            QVERIFY(m.insertRows(0, 1));
            QVERIFY(m.insertRows(1, 2));
            QVERIFY(m.removeRows(1, 2));
            QVERIFY(m.removeRows(m.rowCount() - 1, 1));
            QCOMPARE(m.rowCount(), 2);
        }
        m.newSetup();
        m.setMode(int(Mode::Events));
        QCOMPARE(m.rowCount(), 0);
        QVERIFY(m.insertRows(0, 1));
    }

    // The announced row is the row where the item lands; removal is exact.
    void rowNotifications()
    {
        PMModel m;
        addRows(m, int(Mode::CanInputs), 2);
        QSignalSpy inserted(&m, &QAbstractItemModel::rowsInserted);
        QVERIFY(m.insertRows(0, 5));
        QCOMPARE(inserted.count(), 1);
        QCOMPARE(inserted.at(0).at(1).toInt(), 2);
        QCOMPARE(inserted.at(0).at(2).toInt(), 2);
        QCOMPARE(m.rowCount(), 3);
        QCOMPARE(cell(m, 2, 0), QStringLiteral("CAN Input 3"));

        QSignalSpy removed(&m, &QAbstractItemModel::rowsRemoved);
        QVERIFY(!m.removeRows(2, 2));
        QVERIFY(!m.removeRows(-1, 1));
        QVERIFY(!m.removeRows(0, 0));
        QCOMPARE(removed.count(), 0);
        QCOMPARE(m.rowCount(), 3);
        QVERIFY(m.removeRows(0, 2));
        QCOMPARE(removed.count(), 1);
        QCOMPARE(m.rowCount(), 1);
        QCOMPARE(cell(m, 0, 0), QStringLiteral("CAN Input 3"));

        m.setMode(int(Mode::Keypad));
        QVERIFY(!m.insertRows(0, 1));
        QCOMPARE(m.rowCount(), 25);
    }

    // ------------------------------------------------------------ cells

    void canCodes_data()
    {
        // stored -1: refused, the cell keeps its identifier (0x100 or 0x200)
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("stored");
        QTest::newRow("hex max") << "0x7FF" << 2047;
        QTest::newRow("lower hex") << "0x1ab" << 0x1AB;
        QTest::newRow("decimal") << "300" << 300;
        QTest::newRow("leading zero is decimal") << "0123" << 123;
        QTest::newRow("blanks around") << " 0x10 " << 16;
        QTest::newRow("decimal above") << "5000" << -1;
        QTest::newRow("hex above") << "0x900" << -1;
        QTest::newRow("wraps at 65536") << "65536" << -1;
        QTest::newRow("junk") << "zz" << -1;
        QTest::newRow("prefix alone") << "0x" << -1;
        QTest::newRow("negative") << "-5" << -1;
        QTest::newRow("empty") << "" << -1;
    }
    void canCodes()
    {
        QFETCH(QString, text);
        QFETCH(int, stored);
        PMModel m;
        for (int mode : {int(Mode::CanInputs), int(Mode::CanOutputs)}) {
            m.setMode(mode);
            addRows(m, mode, 1);
            const QString before = cell(m, 0, 1);
            m.setModified(false);
            QCOMPARE(m.setData(m.index(0, 1), text), stored >= 0);
            QCOMPARE(m.isModified(), stored >= 0);
            QCOMPARE(m.lastEditError().isEmpty(), stored >= 0);
            Raw raw(m.session());
            QVERIFY(raw.to(PMModel::itemTypeOfMode(mode), 0));
            if (stored >= 0)
                QCOMPARE(raw.u16(ValueId::CanId), stored);
            else
                QCOMPARE(cell(m, 0, 1), before);
        }
    }

    void canCellDefaults()
    {
        Probe m;
        addRows(m, int(Mode::CanInputs), 1);
        QCOMPARE(cell(m, 0, 1), QStringLiteral("0x100"));
        QCOMPARE(cell(m, 0, 2), QStringLiteral("Word 1"));
        QCOMPARE(cell(m, 0, 3), QStringLiteral("="));
        QCOMPARE(m.data(m.index(0, 4)).toInt(), 0);
        QCOMPARE(cell(m, 0, 5), QStringLiteral("Big Endian"));
        QCOMPARE(m.at(5, 1), QStringLiteral("0x000"));  // no such row
        Raw raw(m.session());
        QVERIFY(raw.to(ItemType::CanInput, 0));
        raw.setU8(ValueId::ByteSelect, 5);
        QCOMPARE(cell(m, 0, 2), QString());
        QVERIFY(m.setData(m.index(0, 2), QStringLiteral("Byte 6")));
        QVERIFY(raw.to(ItemType::CanInput, 0));
        QCOMPARE(raw.u16(ValueId::ByteSelect), 32);
        QVERIFY(m.setData(m.index(0, 2), QStringLiteral("Nibble")));
        QVERIFY(raw.to(ItemType::CanInput, 0));
        QCOMPARE(raw.u16(ValueId::ByteSelect), 1);
        QVERIFY(m.setData(m.index(0, 3), QStringLiteral("> (Signed)")));
        QCOMPARE(cell(m, 0, 3), QStringLiteral("> (Signed)"));
        QVERIFY(raw.to(ItemType::CanInput, 0));
        QCOMPARE(raw.u16(ValueId::CanCompare), 130);
        QCOMPARE(m.data(m.index(0, 3), Qt::UserRole).toStringList().size(), 7);
        QCOMPARE(m.data(m.index(0, 2), Qt::UserRole).toStringList().first(), QStringLiteral("Word 1"));
        QVERIFY(!m.setData(m.index(0, 4), 4660));  // Byte 1 holds 0 to 255
        QVERIFY(m.setData(m.index(0, 2), QStringLiteral("Word 2")));
        QVERIFY(m.setData(m.index(0, 4), 4660));
        QCOMPARE(m.data(m.index(0, 4)).toInt(), 4660);

        addRows(m, int(Mode::CanOutputs), 1);
        QCOMPARE(cell(m, 0, 1), QStringLiteral("0x200"));
        QVERIFY(m.setData(m.index(0, 3), 77));
        QCOMPARE(m.data(m.index(0, 3)).toInt(), 77);
    }

    // A frame's byte order is shared by every input on the same CAN code.
    void endiannessFollowsCanCode()
    {
        PMModel m;
        addRows(m, int(Mode::CanInputs), 3);
        QVERIFY(m.setData(m.index(2, 1), QStringLiteral("0x300")));
        QVERIFY(m.setData(m.index(0, 5), QStringLiteral("Little Endian")));
        QCOMPARE(cell(m, 0, 5), QStringLiteral("Little Endian"));
        QCOMPARE(cell(m, 1, 5), QStringLiteral("Little Endian"));
        QCOMPARE(cell(m, 2, 5), QStringLiteral("Big Endian"));
        QVERIFY(m.setData(m.index(1, 5), QStringLiteral("Big Endian")));
        QCOMPARE(cell(m, 0, 5), QStringLiteral("Big Endian"));
        // A new input reads the default identifier in the order its inputs have.
        QVERIFY(m.setData(m.index(0, 5), QStringLiteral("Little Endian")));
        QVERIFY(m.insertRows(0, 1));
        QCOMPARE(cell(m, 3, 5), QStringLiteral("Little Endian"));
    }

    void currentSteps_data()
    {
        QTest::addColumn<double>("amps");
        QTest::addColumn<int>("stored");
        QTest::addColumn<double>("shown");
        QTest::newRow("10.1") << 10.1 << 25 << 10.0;
        QTest::newRow("0.19") << 0.19 << 0 << 0.0;
        QTest::newRow("0.2 rounds up") << 0.2 << 1 << 0.4;
        QTest::newRow("most") << 102.0 << 255 << 102.0;
        // Outside 0 to 102 A is refused (no longer clamped): the default stays.
        QTest::newRow("200 refused") << 200.0 << 25 << 10.0;
        QTest::newRow("negative refused") << -3.0 << 25 << 10.0;
    }
    void currentSteps()
    {
        QFETCH(double, amps);
        QFETCH(int, stored);
        QFETCH(double, shown);
        PMModel m;
        addRows(m, int(Mode::Lx1Outputs), 1);
        QCOMPARE(m.data(m.index(0, 1)).toDouble(), 10.0);
        QCOMPARE(m.setData(m.index(0, 1), amps), amps >= 0 && amps <= 102.0);
        Raw raw(m.session());
        QVERIFY(raw.to(ItemType::Lx1Output, 0));
        QCOMPARE(raw.u16(ValueId::Data), stored);
        QCOMPARE(m.data(m.index(0, 1)).toDouble(), shown);
    }

    void timerTicks()
    {
        Probe m;
        addRows(m, int(Mode::Timers), 1);
        QCOMPARE(m.data(m.index(0, 1)).toDouble(), 0.5);
        QCOMPARE(m.at(7, 1).toDouble(), 0.5);  // missing timer
        // The nearest 5 ms tick, never a truncation.
        Raw raw(m.session());
        for (const auto &[seconds, ticks] :
             {std::pair{0.0024, 0}, {0.0049, 1}, {2.010, 402}, {1.234, 247}, {2.5, 500}, {327.675, 65535}}) {
            QVERIFY(m.setData(m.index(0, 1), seconds));
            QVERIFY(raw.to(ItemType::Timer, 0));
            QCOMPARE(raw.u16(ValueId::ResetTicks), ticks);
        }
        QCOMPARE(m.data(m.index(0, 1)).toDouble(), 327.675);
        // Beyond what a timer holds is refused, not wrapped to a short time.
        QVERIFY(!m.setData(m.index(0, 1), 327.68));
        QVERIFY(!m.setData(m.index(0, 1), -1.0));
        QVERIFY(raw.to(ItemType::Timer, 0));
        QCOMPARE(raw.u16(ValueId::ResetTicks), 65535);
    }

    void maskBytes()
    {
        Probe m;
        addRows(m, int(Mode::Lx1Outputs), 1);
        for (int col = 2; col <= 9; ++col)
            QCOMPARE(cell(m, 0, col), QStringLiteral("00000000"));
        QVERIFY(m.setData(m.index(0, 2), QStringLiteral("11110000")));
        QVERIFY(m.setData(m.index(0, 4), QStringLiteral("101")));
        QCOMPARE(cell(m, 0, 4), QStringLiteral("00000101"));
        QCOMPARE(cell(m, 0, 2), QStringLiteral("11110000"));
        for (int col : {3, 5, 6, 7, 8, 9})
            QCOMPARE(cell(m, 0, col), QStringLiteral("00000000"));
        // Only one to eight binary digits: nothing else may switch a channel.
        for (const char *bad : {"100000000", "0000 0001", "12", "", "-1", "0b1"}) {
            QVERIFY2(!m.setData(m.index(0, 9), QString::fromLatin1(bad)), bad);
            QVERIFY(!m.lastEditError().isEmpty());
        }
        QCOMPARE(cell(m, 0, 9), QStringLiteral("00000000"));
        QVERIFY(m.setData(m.index(0, 9), QStringLiteral("11111111")));
        QCOMPARE(cell(m, 0, 9), QStringLiteral("11111111"));
        QCOMPARE(cell(m, 0, 2), QStringLiteral("11110000"));
        QCOMPARE(cell(m, 0, 4), QStringLiteral("00000101"));
        QCOMPARE(m.at(3, 4), QStringLiteral("0x00"));  // no such row
        QCOMPARE(cell(m, 0, 10), QStringLiteral(" Edit..."));
    }

    void writesNeedEditRole()
    {
        PMModel m;
        addRows(m, int(Mode::Timers), 1);
        m.setModified(false);
        QSignalSpy changed(&m, &QAbstractItemModel::dataChanged);
        QVERIFY(!m.setData(m.index(0, 0), QStringLiteral("X"), Qt::DisplayRole));
        QVERIFY(!m.setData(QModelIndex(), QStringLiteral("X")));
        QVERIFY(!m.isModified());
        QCOMPARE(changed.count(), 0);
        QCOMPARE(cell(m, 0, 0), QStringLiteral("Timer 1"));
        QVERIFY(!m.data(m.index(0, 0), Qt::ToolTipRole).isValid());
        QVERIFY(!m.data(QModelIndex()).isValid());
        QVERIFY(m.setData(m.index(0, 0), QStringLiteral("X")));
        QCOMPARE(changed.count(), 1);
        QVERIFY(m.isModified());
    }

    // ------------------------------------------------------------ options

    void optionConversions()
    {
        PMModel m;
        QCOMPARE(m.option(0), 0.01);
        QCOMPARE(m.option(3), 10.0);
        QCOMPARE(m.option(5), 5.0);
        QCOMPARE(m.option(6), 0.0);
        QCOMPARE(m.option(7), 1536.0);
        Raw raw(m.session());

        // The nearest hundredth: 0.29 s is 29, not 28.
        m.setOption(0, 0.29);
        QVERIFY(raw.to(ItemType::Option, 0));
        QCOMPARE(raw.u16(ValueId::Data), 29);
        QCOMPARE(m.option(0), 0.29);
        m.setOption(1, 2.30);
        QVERIFY(raw.to(ItemType::Option, 1));
        QCOMPARE(raw.u16(ValueId::Data), 230);
        m.setOption(5, 7.9);
        QCOMPARE(m.option(5), 7.0);

        m.setOption(6, 3);
        QVERIFY(raw.to(ItemType::Option, 6));
        QCOMPARE(raw.u16(ValueId::Data), 0xC349);
        QCOMPARE(m.option(6), 3.0);
        m.setOption(6, 5);
        QVERIFY(raw.to(ItemType::Option, 6));
        QCOMPARE(raw.u16(ValueId::Data), 0xC835);
        m.setOption(6, 9);
        QVERIFY(raw.to(ItemType::Option, 6));
        QCOMPARE(raw.u16(ValueId::Data), 0);
        raw.setU16(ValueId::Data, 0x1234);
        QCOMPARE(m.option(6), 0.0);

        m.setOption(7, 3000);
        QCOMPARE(m.option(7), 2000.0);
        m.setOption(7, -4);
        QCOMPARE(m.option(7), 0.0);
        QVERIFY(raw.to(ItemType::Option, 7));
        raw.setU16(ValueId::Data, 0x7FF);
        QCOMPARE(m.option(7), 2047.0);

        QCOMPARE(m.option(8), 0.0);
        QCOMPARE(m.option(-1), 0.0);
    }

    void optionsMissing()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("nooptions.kelda");
        // A setup item holding no options at all, and no option values.
        StoreSession s = nullptr;
        QVERIFY(STRATA_NewSession(&s));
        QVERIFY(STRATA_InsertItemBlocks(toU16(ItemType::Setup), 1, s));
        QVERIFY(STRATA_SaveSession(path.toLatin1().constData(), s));
        STRATA_CloseSession(s);
        PMModel m;
        QVERIFY(m.openSetup(path));
        // Opening appends the eight defaults.
        QCOMPARE(m.option(2), 1.0);
        QCOMPARE(m.option(7), 1536.0);
        Raw raw(m.session());
        QVERIFY(raw.to(ItemType::Option, 7));
        QVERIFY(STRATA_GotoRoot(m.session()));
        QVERIFY(STRATA_OpenItem(toU16(ItemType::Setup), 0, m.session()));
        QVERIFY(STRATA_DeleteItem(toU16(ItemType::Option), 7, m.session()));
        QCOMPARE(m.option(7), 0.0);  // missing item
        m.setOption(7, 100);
        QCOMPARE(m.itemCount(ItemType::Option), 7);
    }

    // ------------------------------------------------------------ rows and names

    void defaultNamesWithGaps()
    {
        PMModel m;
        addRows(m, int(Mode::CanInputs), 3);
        QVERIFY(m.removeRows(1, 1));  // CAN Input 1, CAN Input 3
        QCOMPARE(m.defaultName(ItemType::CanInput), QStringLiteral("CAN Input 4"));
        QVERIFY(m.setData(m.index(1, 0), QStringLiteral("CAN Input 2")));
        QCOMPARE(m.defaultName(ItemType::CanInput), QStringLiteral("CAN Input 3"));
        QVERIFY(m.insertRows(0, 1));
        QCOMPARE(cell(m, 2, 0), QStringLiteral("CAN Input 3"));
        QCOMPARE(m.defaultName(ItemType::Lx1Module), QString());
        QCOMPARE(m.defaultName(ItemType::Timer), QStringLiteral("Timer 1"));
        QCOMPARE(m.itemName(ItemType::Lx2Led, 4), QStringLiteral("LX2 LED 5"));
        QCOMPARE(m.itemName(ItemType::Timer, 0), QString());
    }

    void newRowDefaults()
    {
        PMModel m;
        addRows(m, int(Mode::Events), 2);
        addRows(m, int(Mode::States), 1);
        addRows(m, int(Mode::Lx1Outputs), 1);
        Raw raw(m.session());
        QVERIFY(raw.to(ItemType::Event, 1));
        QCOMPARE(raw.text(ValueId::Name), QStringLiteral("Event 2"));
        QCOMPARE(raw.u16(ValueId::Order), 2);
        QCOMPARE(raw.count(ItemType::RefEntry), 3);
        QCOMPARE(raw.count(ItemType::RefList), 4);
        QVERIFY(raw.open(ItemType::RefEntry, 1));
        QCOMPARE(raw.u16(ValueId::Combine), 0);
        QVERIFY(raw.to(ItemType::State, 0));
        QCOMPARE(raw.count(ItemType::RefList), 3);
        QVERIFY(raw.to(ItemType::Lx1Output, 0));
        QCOMPARE(raw.u16(ValueId::Data), 25);
        m.setMode(int(Mode::Pwm));
        QVERIFY(m.insertRows(0, 1));  // not refused: an unnamed module
        QCOMPARE(m.rowCount(), 9);
    }

    void tableLimit()
    {
        PMModel m;
        for (int mode : {2, 3, 4, 5, 6, 8}) {
            addRows(m, mode, kMaxTableItems);
            QCOMPARE(m.rowCount(), 255);
            m.setModified(false);
            QSignalSpy about(&m, &QAbstractItemModel::rowsAboutToBeInserted);
            QVERIFY(!m.insertRows(0, 1));
            QCOMPARE(m.rowCount(), 255);
            QCOMPARE(about.count(), 0);
            QVERIFY(!m.isModified());
        }
        // A file that already holds more still opens and edits.
        QTemporaryDir dir;
        const QString path = dir.filePath("big.kelda");
        Raw raw(m.session());
        QVERIFY(STRATA_GotoRoot(m.session()));
        QVERIFY(STRATA_OpenItem(toU16(ItemType::Setup), 0, m.session()));
        QVERIFY(STRATA_InsertItemBlocks(toU16(ItemType::Timer), 5, m.session()));
        QVERIFY(m.saveSetup(path));
        PMModel big;
        QVERIFY(big.openSetup(path));
        big.setMode(int(Mode::Timers));
        QCOMPARE(big.rowCount(), 260);
        QVERIFY(big.setData(big.index(259, 0), QStringLiteral("Last")));
        QCOMPARE(cell(big, 259, 0), QStringLiteral("Last"));
        QVERIFY(big.removeRows(0, 1));
        QCOMPARE(big.rowCount(), 259);
    }

    // ------------------------------------------------------------ priorities

    void priorities()
    {
        PMModel m;
        addRows(m, int(Mode::Events), 3);
        auto order = [&] {
            QList<int> l;
            for (int r = 0; r < m.rowCount(); ++r)
                l << m.data(m.index(r, 0)).toInt();
            return l;
        };
        QCOMPARE(order(), (QList<int>{1, 2, 3}));
        QCOMPARE(m.data(m.index(0, 0), Qt::UserRole).toStringList(), (QStringList{"1", "2", "3"}));
        QVERIFY(m.setData(m.index(2, 0), 1));
        QCOMPARE(order(), (QList<int>{2, 3, 1}));
        QVERIFY(m.setEventPriority(2, 3));
        QCOMPARE(order(), (QList<int>{1, 2, 3}));
        QVERIFY(m.setData(m.index(0, 0), QStringLiteral("3")));
        QCOMPARE(order(), (QList<int>{3, 1, 2}));
        QVERIFY(!m.setEventPriority(0, 4));
        QVERIFY(!m.setEventPriority(0, 0));
        QCOMPARE(order(), (QList<int>{3, 1, 2}));
        QVERIFY(m.removeRows(1, 1));
        QCOMPARE(order(), (QList<int>{2, 1}));

        m.newSetup();
        addRows(m, int(Mode::Events), 3);
        QVERIFY(m.removeRows(1, 1));
        QCOMPARE(order(), (QList<int>{1, 2}));
        m.deleteEvent(0);
        QCOMPARE(order(), (QList<int>{1}));

        // A missing priority is filled in on read.
        addRows(m, int(Mode::Events), 1);
        Raw raw(m.session());
        QVERIFY(raw.to(ItemType::Event, 1));
        // No way to delete a value through the interface: rebuild an event without Order.
        QVERIFY(STRATA_CloseItem(m.session()));
        QVERIFY(STRATA_InsertItemBlocks(toU16(ItemType::Event), 1, m.session()));
        m.setModified(false);
        QCOMPARE(m.eventPriority(2), 3);
        QVERIFY(raw.to(ItemType::Event, 2));
        QCOMPARE(raw.u16(ValueId::Order), 3);
        QVERIFY(!m.isModified());
    }

    // ------------------------------------------------------------ event inputs

    void chainRule()
    {
        PMModel m;
        addRows(m, int(Mode::Timers), 1);
        addRows(m, int(Mode::Events), 1);
        QCOMPARE(cell(m, 0, 2), QStringLiteral("-"));
        QCOMPARE(cell(m, 0, 3), QStringLiteral("-"));
        QCOMPARE(cell(m, 0, 4), QStringLiteral("NONE"));
        QCOMPARE(cell(m, 0, 7), QStringLiteral("-"));
        QVERIFY(!m.setData(m.index(0, 5), QStringLiteral("KP: Keypad 2")));
        QVERIFY(m.setData(m.index(0, 2), QStringLiteral("KP: Keypad 1")));
        QCOMPARE(cell(m, 0, 2), QStringLiteral("KP: Keypad 1"));
        QCOMPARE(cell(m, 0, 3), QStringLiteral("Pressed"));
        QVERIFY(!m.setEventInput(0, 1, QStringLiteral("TI: Timer 1")));
        QVERIFY(m.setData(m.index(0, 4), QStringLiteral("OR")));
        QCOMPARE(cell(m, 0, 4), QStringLiteral("OR"));
        QCOMPARE(cell(m, 0, 7), QStringLiteral("NONE"));
        QVERIFY(m.setEventInput(0, 1, QStringLiteral("TI: Timer 1")));
        QCOMPARE(cell(m, 0, 5), QStringLiteral("TI: Timer 1"));
        QVERIFY(!m.setEventInput(0, 2, QStringLiteral("SW: Switch 3")));
        QVERIFY(m.setData(m.index(0, 7), QStringLiteral("AND")));
        QVERIFY(m.setEventInput(0, 2, QStringLiteral("SW: Switch 3")));
        QCOMPARE(cell(m, 0, 8), QStringLiteral("SW: Switch 3"));
        QCOMPARE(cell(m, 0, 9), QStringLiteral("High"));
        // Cutting the chain hides the later inputs without forgetting them.
        QVERIFY(m.setData(m.index(0, 4), QStringLiteral("NONE")));
        QCOMPARE(cell(m, 0, 5), QStringLiteral("-"));
        QCOMPARE(cell(m, 0, 6), QStringLiteral("-"));
        QCOMPARE(cell(m, 0, 7), QStringLiteral("-"));
        QCOMPARE(cell(m, 0, 8), QStringLiteral("-"));
        QVERIFY(m.setData(m.index(0, 4), QStringLiteral("AND")));
        QCOMPARE(cell(m, 0, 8), QStringLiteral("SW: Switch 3"));

        QVERIFY(!m.setEventInput(0, 0, QStringLiteral("-")));
        QVERIFY(!m.setEventInput(0, 0, QStringLiteral("XX: Keypad 1")));
        QVERIFY(!m.setEventInput(0, 0, QStringLiteral("KP: No Such Key")));
        QVERIFY(!m.setEventInput(5, 0, QStringLiteral("KP: Keypad 1")));
        QVERIFY(!m.setEventInput(0, 3, QStringLiteral("KP: Keypad 1")));
        QCOMPARE(cell(m, 0, 2), QStringLiteral("KP: Keypad 1"));
    }

    void conditionNormalising()
    {
        PMModel m;
        addRows(m, int(Mode::Timers), 1);
        addRows(m, int(Mode::States), 1);
        addRows(m, int(Mode::CanInputs), 1);
        addRows(m, int(Mode::Events), 1);
        QVERIFY(m.conditionChoices(0, 3).isEmpty());
        QVERIFY(m.setEventInput(0, 0, QStringLiteral("KP: Keypad 1")));
        QCOMPARE(cell(m, 0, 3), QStringLiteral("Pressed"));
        QCOMPARE(m.conditionChoices(0, 3), (QStringList{"Pressed", "Short Press", "Long Press", "Double Press"}));
        QVERIFY(m.setData(m.index(0, 3), QStringLiteral("Long Press")));
        QCOMPARE(cell(m, 0, 3), QStringLiteral("Long Press"));
        // Retarget: a key's condition is no timer condition.
        QVERIFY(m.setEventInput(0, 0, QStringLiteral("TI: Timer 1")));
        Raw raw(m.session());
        QVERIFY(raw.to(ItemType::Event, 0));
        QVERIFY(raw.open(ItemType::RefEntry, 0));
        QCOMPARE(raw.u16(ValueId::Condition), 5);
        QCOMPARE(cell(m, 0, 3), QStringLiteral("Running"));
        QCOMPARE(m.data(m.index(0, 3), Qt::UserRole).toStringList(), (QStringList{"Running", "Stopped"}));
        QVERIFY(m.setEventInput(0, 0, QStringLiteral("ST: State 1")));
        QCOMPARE(cell(m, 0, 3), QStringLiteral("Set"));
        QCOMPARE(m.conditionChoices(0, 3), (QStringList{"Set", "Cleared"}));
        QVERIFY(m.setEventInput(0, 0, QStringLiteral("CI: CAN Input 1")));
        QCOMPARE(cell(m, 0, 3), QStringLiteral("-"));
        QCOMPARE(m.conditionChoices(0, 3), QStringList{"-"});

        // On read: a switch with a stored key condition shows and stores High.
        QVERIFY(m.setEventInput(0, 0, QStringLiteral("SW: Switch 1")));
        QVERIFY(raw.to(ItemType::Event, 0));
        QVERIFY(raw.open(ItemType::RefEntry, 0));
        raw.setU16(ValueId::Condition, 3);
        m.setModified(false);
        QCOMPARE(cell(m, 0, 3), QStringLiteral("High"));
        QVERIFY(raw.to(ItemType::Event, 0));
        QVERIFY(raw.open(ItemType::RefEntry, 0));
        QCOMPARE(raw.u16(ValueId::Condition), 9);
        QVERIFY(!m.isModified());
        // Condition writes are stored as chosen.
        QVERIFY(m.setData(m.index(0, 3), QStringLiteral("Low")));
        QCOMPARE(cell(m, 0, 3), QStringLiteral("Low"));
        QVERIFY(m.setData(m.index(0, 3), QStringLiteral("bogus")));
        QVERIFY(raw.to(ItemType::Event, 0));
        QVERIFY(raw.open(ItemType::RefEntry, 0));
        QCOMPARE(raw.u16(ValueId::Condition), 0);

        QCOMPARE(PMModel::conditionText(11), QStringLiteral("-"));
        QCOMPARE(PMModel::conditionText(-1), QStringLiteral("-"));
        bool valid = true;
        QCOMPARE(PMModel::normalizeCondition(ItemType::Lx2Led, 42, &valid), 42);
        QVERIFY(valid);
        QCOMPARE(PMModel::normalizeCondition(ItemType::Switch, 0, &valid), 9);
        QVERIFY(!valid);
    }

    void inputChoicesOfNewSetup()
    {
        PMModel m;
        const QStringList l = m.inputChoices();
        QCOMPARE(l.size(), 50);
        QCOMPARE(l.first(), QStringLiteral("KP: Keypad 1"));
        QCOMPARE(l.at(24), QStringLiteral("KP: Keypad 25"));
        QCOMPARE(l.at(25), QStringLiteral("SW: Switch 1"));
        QCOMPARE(l.last(), QStringLiteral("SW: Switch 25"));
        addRows(m, int(Mode::CanInputs), 1);
        addRows(m, int(Mode::Timers), 1);
        addRows(m, int(Mode::States), 2);
        addRows(m, int(Mode::Events), 1);
        const QStringList more = m.data(m.index(0, 5), Qt::UserRole).toStringList();
        QCOMPARE(more.size(), 54);
        QCOMPARE(more.mid(50), (QStringList{"CI: CAN Input 1", "TI: Timer 1", "ST: State 1", "ST: State 2"}));
        QCOMPARE(m.canInputNames(), QStringList{"CAN Input 1"});
        QCOMPARE(m.stateChoices(), (QStringList{"ST: State 1", "ST: State 2"}));
        QCOMPARE(m.timerChoices(), QStringList{"TI: Timer 1"});
        QCOMPARE(m.itemChoices(ItemType::Lx2Led).first(), QStringLiteral("LX2 LED 1"));
        QCOMPARE(m.data(m.index(0, 4), Qt::UserRole).toStringList(), (QStringList{"NONE", "AND", "OR"}));
        QCOMPARE(PMModel::prefixType(QStringLiteral("ST: x")), ItemType::State);
        QCOMPARE(PMModel::prefixType(QStringLiteral("LX: x")), ItemType::None);
        QCOMPARE(PMModel::typePrefix(ItemType::CanOutput), QString());
    }

    // ------------------------------------------------------------ lists and PWM

    void listEntries()
    {
        PMModel m;
        addRows(m, int(Mode::Timers), 1);
        addRows(m, int(Mode::States), 1);
        addRows(m, int(Mode::Events), 1);
        QVERIFY(m.addListEntry(0, int(EventList::StatesToSet)));
        QVERIFY(m.addListEntry(0, int(EventList::TimersToStart)));
        QCOMPARE(m.listEntryCount(0, 0), 1);
        QCOMPARE(m.listEntryName(0, 0, 0), QString());
        QVERIFY(m.setListEntry(0, 0, 0, QStringLiteral("State 1")));
        QCOMPARE(m.listEntryName(0, 0, 0), QStringLiteral("State 1"));
        QVERIFY(!m.setListEntry(0, 2, 0, QStringLiteral("State 1")));  // timers only
        QVERIFY(m.setListEntry(0, 2, 0, QStringLiteral("Timer 1")));
        QVERIFY(!m.setListEntry(0, 0, 5, QStringLiteral("State 1")));
        QVERIFY(!m.setListEntry(0, 4, 0, QStringLiteral("State 1")));
        QVERIFY(m.removeListEntry(0, 0, 0));
        QCOMPARE(m.listEntryCount(0, 0), 0);
        QVERIFY(!m.removeListEntry(0, 0, 0));

        addRows(m, int(Mode::States), 0);
        QVERIFY(m.addListEntry(0, int(StateList::Lx2Leds)));
        QVERIFY(m.setListEntry(0, 0, 0, QStringLiteral("LX2 LED 7")));
        QCOMPARE(m.listEntryName(0, 0, 0), QStringLiteral("LX2 LED 7"));
        QVERIFY(!m.setListEntry(0, 1, 0, QStringLiteral("LX2 LED 7")));

        m.setMode(int(Mode::Timers));
        QVERIFY(!m.addListEntry(0, 0));
        QCOMPARE(m.listEntryCount(0, 0), 0);
    }

    void pwmInputs()
    {
        PMModel m;
        addRows(m, int(Mode::CanInputs), 2);
        m.setMode(int(Mode::Pwm));
        QCOMPARE(cell(m, 1, 1), QStringLiteral("NONE"));
        QCOMPARE(m.data(m.index(1, 1), Qt::UserRole).toStringList(),
                 (QStringList{"CAN Input 1", "CAN Input 2", "NONE"}));
        QVERIFY(m.setData(m.index(1, 1), QStringLiteral("CAN Input 2")));
        QCOMPARE(cell(m, 1, 1), QStringLiteral("CAN Input 2"));
        QCOMPARE(cell(m, 0, 1), QStringLiteral("NONE"));
        m.setModified(false);
        QVERIFY(m.setData(m.index(1, 1), QStringLiteral("No Such Input")));  // reported true, changes nothing
        QCOMPARE(cell(m, 1, 1), QStringLiteral("CAN Input 2"));
        QVERIFY(!m.isModified());
        QVERIFY(m.setData(m.index(1, 1), QStringLiteral("NONE")));
        QCOMPARE(cell(m, 1, 1), QStringLiteral("NONE"));
        Raw raw(m.session());
        QVERIFY(raw.to(ItemType::Lx1Module, 1));
        QCOMPARE(raw.count(ItemType::Reference), 0);
        QVERIFY(m.setData(m.index(1, 1), QStringLiteral("NONE")));
    }

    // A rename reaches every record that names the item, and nothing else.
    void renameRewritesReferences()
    {
        PMModel m;
        addRows(m, int(Mode::Timers), 2);
        addRows(m, int(Mode::States), 2);
        addRows(m, int(Mode::CanInputs), 1);
        addRows(m, int(Mode::Lx1Outputs), 1);
        addRows(m, int(Mode::CanOutputs), 1);
        // A state named like the timer must not follow the timer's rename.
        m.setMode(int(Mode::States));
        QVERIFY(m.setData(m.index(1, 0), QStringLiteral("Timer 1")));
        addRows(m, int(Mode::Events), 2);
        for (int e = 0; e < 2; ++e) {
            chainEvent(m, e);
            QVERIFY(m.setEventInput(e, 0, QStringLiteral("TI: Timer 1")));
            QVERIFY(m.setEventInput(e, 1, QStringLiteral("ST: Timer 1")));
            QVERIFY(m.setEventInput(e, 2, QStringLiteral("CI: CAN Input 1")));
            for (int l = 0; l < 4; ++l)
                QVERIFY(m.addListEntry(e, l));
            QVERIFY(m.setListEntry(e, 0, 0, QStringLiteral("State 1")));
            QVERIFY(m.setListEntry(e, 1, 0, QStringLiteral("Timer 1")));  // the state
            QVERIFY(m.setListEntry(e, 2, 0, QStringLiteral("Timer 1")));
            QVERIFY(m.setListEntry(e, 3, 0, QStringLiteral("Timer 2")));
        }
        m.setMode(int(Mode::States));
        for (int l = 0; l < 3; ++l)
            QVERIFY(m.addListEntry(0, l));
        QVERIFY(m.setListEntry(0, 0, 0, QStringLiteral("LX2 LED 3")));
        QVERIFY(m.setListEntry(0, 1, 0, QStringLiteral("LX1 Output 1")));
        QVERIFY(m.setListEntry(0, 2, 0, QStringLiteral("CAN Output 1")));
        m.setMode(int(Mode::Pwm));
        QVERIFY(m.setData(m.index(4, 1), QStringLiteral("CAN Input 1")));

        // Timer 1 -> Pump
        m.setMode(int(Mode::Timers));
        QVERIFY(m.setData(m.index(0, 0), QStringLiteral("Pump")));
        m.setMode(int(Mode::Events));
        for (int e = 0; e < 2; ++e) {
            QCOMPARE(cell(m, e, 2), QStringLiteral("TI: Pump"));
            QCOMPARE(cell(m, e, 5), QStringLiteral("ST: Timer 1"));
            QCOMPARE(m.listEntryName(e, 2, 0), QStringLiteral("Pump"));
            QCOMPARE(m.listEntryName(e, 1, 0), QStringLiteral("Timer 1"));
            QCOMPARE(m.listEntryName(e, 3, 0), QStringLiteral("Timer 2"));
        }
        // State 1 -> Alarm; the state named Timer 1 -> Idle
        m.setMode(int(Mode::States));
        QVERIFY(m.setData(m.index(0, 0), QStringLiteral("Alarm")));
        QVERIFY(m.setData(m.index(1, 0), QStringLiteral("Idle")));
        m.setMode(int(Mode::Events));
        for (int e = 0; e < 2; ++e) {
            QCOMPARE(m.listEntryName(e, 0, 0), QStringLiteral("Alarm"));
            QCOMPARE(m.listEntryName(e, 1, 0), QStringLiteral("Idle"));
            QCOMPARE(cell(m, e, 5), QStringLiteral("ST: Idle"));
            QCOMPARE(cell(m, e, 2), QStringLiteral("TI: Pump"));
        }
        // CAN Input 1 -> Speed: event inputs and the LX1 module follow.
        m.setMode(int(Mode::CanInputs));
        QVERIFY(m.setData(m.index(0, 0), QStringLiteral("Speed")));
        m.setMode(int(Mode::Events));
        QCOMPARE(cell(m, 1, 8), QStringLiteral("CI: Speed"));
        m.setMode(int(Mode::Pwm));
        QCOMPARE(cell(m, 4, 1), QStringLiteral("Speed"));
        // Outputs: each reaches its own state list.
        m.setMode(int(Mode::Lx2Leds));
        QVERIFY(m.setData(m.index(2, 1), QStringLiteral("Horn LED")));
        m.setMode(int(Mode::Lx1Outputs));
        QVERIFY(m.setData(m.index(0, 0), QStringLiteral("Winch")));
        m.setMode(int(Mode::CanOutputs));
        QVERIFY(m.setData(m.index(0, 0), QStringLiteral("Dash")));
        m.setMode(int(Mode::States));
        QCOMPARE(m.listEntryName(0, 0, 0), QStringLiteral("Horn LED"));
        QCOMPARE(m.listEntryName(0, 1, 0), QStringLiteral("Winch"));
        QCOMPARE(m.listEntryName(0, 2, 0), QStringLiteral("Dash"));
        // A key rename reaches event inputs.
        m.setMode(int(Mode::Events));
        QVERIFY(m.setEventInput(0, 0, QStringLiteral("KP: Keypad 4")));
        m.setMode(int(Mode::Keypad));
        QVERIFY(m.setData(m.index(3, 1), QStringLiteral("Lights")));
        m.setMode(int(Mode::Events));
        QCOMPARE(cell(m, 0, 2), QStringLiteral("KP: Lights"));
        QCOMPARE(cell(m, 1, 2), QStringLiteral("TI: Pump"));
        // Renaming an event touches nothing else.
        QVERIFY(m.setData(m.index(0, 1), QStringLiteral("Pump")));
        QCOMPARE(cell(m, 1, 2), QStringLiteral("TI: Pump"));
        QCOMPARE(m.listEntryName(1, 2, 0), QStringLiteral("Pump"));
    }

    // Removing an item removes every record that names it, so that no later
    // item of the same name can take its place.
    void removeTakesItsUsesAlong()
    {
        PMModel m;
        addRows(m, int(Mode::Timers), 2);
        addRows(m, int(Mode::CanInputs), 2);
        addRows(m, int(Mode::Events), 1);
        QVERIFY(m.setEventInput(0, 0, QStringLiteral("TI: Timer 2")));
        QVERIFY(m.setData(m.index(0, 3), QStringLiteral("Stopped")));
        QVERIFY(m.setData(m.index(0, 4), QStringLiteral("AND")));
        for (const char *name : {"Timer 1", "Timer 2", "Timer 2"}) {
            QVERIFY(m.addListEntry(0, 3));
            QVERIFY(m.setListEntry(0, 3, m.listEntryCount(0, 3) - 1, QString::fromLatin1(name)));
        }
        m.setMode(int(Mode::Pwm));
        QVERIFY(m.setData(m.index(0, 1), QStringLiteral("CAN Input 1")));
        QVERIFY(m.setData(m.index(1, 1), QStringLiteral("CAN Input 2")));
        m.setMode(int(Mode::Timers));
        QCOMPARE(findUses(m.session(), ItemType::Timer, 1).size(), 3);
        QVERIFY(m.removeRows(1, 1));
        m.setMode(int(Mode::CanInputs));
        QVERIFY(m.removeRows(0, 1));

        m.setMode(int(Mode::Events));
        QCOMPARE(cell(m, 0, 2), QStringLiteral("-"));
        QCOMPARE(m.listEntryCount(0, 3), 1);
        QCOMPARE(m.listEntryName(0, 3, 0), QStringLiteral("Timer 1"));
        m.setMode(int(Mode::Pwm));
        QCOMPARE(cell(m, 0, 1), QStringLiteral("NONE"));
        QCOMPARE(cell(m, 1, 1), QStringLiteral("CAN Input 2"));
        // The input kept its condition and join; only its target is gone.
        Raw raw(m.session());
        QVERIFY(raw.to(ItemType::Event, 0));
        QVERIFY(STRATA_OpenItem(toU16(ItemType::RefEntry), 0, m.session()));
        QCOMPARE(raw.u16(ValueId::Condition), int(Condition::Stopped));
        QCOMPARE(raw.u16(ValueId::Combine), int(Combine::And));

        // A new item that takes the old name is named by nothing.
        m.setMode(int(Mode::Timers));
        QVERIFY(m.insertRows(0, 1));
        QCOMPARE(cell(m, 1, 0), QStringLiteral("Timer 2"));
        m.setMode(int(Mode::Events));
        QCOMPARE(cell(m, 0, 2), QStringLiteral("-"));
        QCOMPARE(m.listEntryCount(0, 3), 1);
    }

    // A rename never moves a reference: names that would collide, are empty or
    // cannot be stored are refused and change nothing.
    void renameIsRefusedWhenItWouldMoveAReference()
    {
        PMModel m;
        addRows(m, int(Mode::States), 2);
        addRows(m, int(Mode::Events), 1);
        QVERIFY(m.setEventInput(0, 0, QStringLiteral("ST: State 2")));
        m.setMode(int(Mode::States));
        m.setModified(false);
        QSignalSpy changed(&m, &QAbstractItemModel::dataChanged);
        for (const QString &bad :
             {QStringLiteral("State 2"), QString(), QStringLiteral("  "), QString(STRATA_MAX_TEXT_LENGTH + 1, u'x'),
              QStringLiteral("State 2") + QChar(0) + QStringLiteral("b"), QString::fromUtf8("\u0394p high")}) {
            QVERIFY(!m.setData(m.index(0, 0), bad));
            QVERIFY(!m.lastEditError().isEmpty());
        }
        QVERIFY(m.lastEditError().contains(QString::fromUtf8("\u0394")));
        QCOMPARE(changed.count(), 0);
        QVERIFY(!m.isModified());
        QCOMPARE(cell(m, 0, 0), QStringLiteral("State 1"));
        // Its own name again is no change; Latin-1 is fine.
        QVERIFY(m.setData(m.index(1, 0), QStringLiteral("State 2")));
        QVERIFY(!m.isModified());
        QVERIFY(m.setData(m.index(1, 0), QString::fromUtf8("\u00C4rger")));
        QVERIFY(m.isModified());
        m.setMode(int(Mode::Events));
        QCOMPARE(cell(m, 0, 2), QString::fromUtf8("ST: \u00C4rger"));
        // The longest name the store holds is kept whole.
        const QString longest(STRATA_MAX_TEXT_LENGTH, u'y');
        m.setMode(int(Mode::States));
        QVERIFY(m.setData(m.index(1, 0), longest));
        QCOMPARE(cell(m, 1, 0), longest);
    }

    // Files that hold duplicate names still edit; a rename of the namesake that
    // references do not reach leaves them where they are.
    void duplicateNamesFromFiles()
    {
        PMModel m;
        addRows(m, int(Mode::Timers), 2);
        addRows(m, int(Mode::Events), 1);
        Raw raw(m.session());
        QVERIFY(raw.to(ItemType::Timer, 1));
        QVERIFY(STRATA_InsertValue(toU16(ValueId::Name), "Timer 1", m.session()));
        QVERIFY(m.setEventInput(0, 0, QStringLiteral("TI: Timer 1")));
        QCOMPARE(findUses(m.session(), ItemType::Timer, 0).size(), 1);
        QVERIFY(findUses(m.session(), ItemType::Timer, 1).isEmpty());
        m.setMode(int(Mode::Timers));
        QVERIFY(m.setData(m.index(1, 0), QStringLiteral("Spare")));
        m.setMode(int(Mode::Events));
        QCOMPARE(cell(m, 0, 2), QStringLiteral("TI: Timer 1"));
        m.setMode(int(Mode::Timers));
        QVERIFY(m.setData(m.index(0, 0), QStringLiteral("Main")));
        m.setMode(int(Mode::Events));
        QCOMPARE(cell(m, 0, 2), QStringLiteral("TI: Main"));
    }

    // Committing a cell's own value writes nothing and marks nothing.
    void unchangedCommitsWriteNothing()
    {
        PMModel m;
        addRows(m, int(Mode::CanInputs), 1);
        addRows(m, int(Mode::Lx1Outputs), 1);
        addRows(m, int(Mode::Timers), 1);
        addRows(m, int(Mode::Events), 2);
        QVERIFY(m.setEventInput(0, 0, QStringLiteral("KP: Keypad 3")));
        m.setModified(false);
        const auto same = [&](int mode, int row, int column) {
            m.setMode(mode);
            QVERIFY(m.setData(m.index(row, column), m.data(m.index(row, column), Qt::EditRole)));
            QVERIFY2(!m.isModified(), qPrintable(QStringLiteral("mode %1 column %2").arg(mode).arg(column)));
        };
        for (int c = 0; c < 6; ++c)
            same(int(Mode::CanInputs), 0, c);
        for (int c = 0; c < 10; ++c)
            same(int(Mode::Lx1Outputs), 0, c);
        same(int(Mode::Timers), 0, 1);
        for (int c : {0, 1, 2, 3, 4, 5, 7})
            same(int(Mode::Events), 0, c);
        same(int(Mode::Pwm), 0, 1);
        same(int(Mode::Keypad), 0, 1);
    }

    // ------------------------------------------------------------ lifecycle

    void saveAndOpen()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("one.kelda");
        PMModel m;
        addRows(m, int(Mode::Timers), 1);
        QVERIFY(m.setData(m.index(0, 0), QStringLiteral("Glow")));
        QVERIFY(m.saveSetup(path));
        QCOMPARE(m.fileName(), path);
        QVERIFY(!m.isModified());

        PMModel other;
        QSignalSpy reset(&other, &QAbstractItemModel::modelReset);
        other.setMode(int(Mode::Timers));
        QVERIFY(other.openSetup(path));
        QCOMPARE(reset.count(), 2);
        QCOMPARE(other.fileName(), path);
        QVERIFY(!other.isModified());
        QCOMPARE(cell(other, 0, 0), QStringLiteral("Glow"));

        // A failed save says why and keeps the file name.
        QVERIFY(!other.saveSetup(dir.filePath("missing/dir/two.kelda")));
        QVERIFY(!other.lastError().isEmpty());
        QCOMPARE(other.fileName(), path);

        // Names the store cannot carry are refused, not mangled into another file.
        const QString cyrillic = dir.filePath(QString::fromUtf8("\u0416.kelda"));
        QVERIFY(!other.saveSetup(cyrillic));
        QVERIFY(other.lastError().contains(QStringLiteral("file name")));
        QVERIFY(!QFile::exists(cyrillic));
        QVERIFY(!other.saveSetup(QString()));
        QVERIFY(!other.lastError().isEmpty());
        QCOMPARE(other.fileName(), path);

        // A failed open changes nothing: the open setup, its name and flag stay.
        QVERIFY(other.setData(other.index(0, 0), QStringLiteral("Glow plug")));
        QVERIFY(!other.openSetup(dir.filePath("absent.kelda")));
        QVERIFY(other.lastError().contains(QStringLiteral("absent.kelda")));
        QVERIFY(other.isSessionOpen());
        QCOMPARE(other.fileName(), path);
        QVERIFY(other.isModified());
        QCOMPARE(cell(other, 0, 0), QStringLiteral("Glow plug"));

        // Not a setup file.
        const QString junk = dir.filePath("junk.kelda");
        QVERIFY(writeFile(junk, "this is not a setup"));
        QVERIFY(!other.openSetup(junk));
        QVERIFY(!other.lastError().isEmpty());
    }

    void errorStringGivesTheReasonAlone()
    {
        QTemporaryDir dir;
        PMModel m;
        const QString absent = dir.filePath("absent.kelda");
        QVERIFY(!m.openSetup(absent));
        // The reason without what failed or on which file; lastError says both.
        QCOMPARE(m.errorString(), QStringLiteral("No such file or directory"));
        QCOMPARE(m.lastError(),
                 QStringLiteral("Could not open \"%1\": cannot open %1: No such file or directory").arg(absent));
        const QString junk = dir.filePath("junk.kelda");
        QVERIFY(writeFile(junk, "this is not a setup"));
        QVERIFY(!m.openSetup(junk));
        QVERIFY2(!m.errorString().isEmpty() && !m.errorString().contains(junk), qPrintable(m.errorString()));
        QVERIFY(m.lastError().endsWith(m.errorString()));
        const QString unwritable = dir.filePath("missing/dir/x.kelda");
        QVERIFY(!m.saveSetup(unwritable));
        QVERIFY2(!m.errorString().isEmpty() && !m.errorString().contains(unwritable), qPrintable(m.errorString()));
        QVERIFY(m.lastError().startsWith(QStringLiteral("Could not save \"%1\": ").arg(unwritable)));
        QVERIFY(!m.saveSetup(QString()));
        QCOMPARE(m.errorString(), QStringLiteral("no file name was given."));
        // A success clears both.
        QVERIFY(m.saveSetup(dir.filePath("fine.kelda")));
        QVERIFY(m.errorString().isEmpty());
        QVERIFY(m.lastError().isEmpty());
    }

    void upgradeOlderFiles()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("old.kelda");
        {
            StoreSession s = nullptr;
            QVERIFY(STRATA_NewSession(&s));
            QVERIFY(STRATA_InsertItemBlocks(toU16(ItemType::Setup), 1, s));
            QVERIFY(STRATA_OpenItem(toU16(ItemType::Setup), 0, s));
            auto fill = [&](ItemType t, int n, const char *base, bool order) {
                QVERIFY(STRATA_InsertItemBlocks(toU16(t), uint16_t(n), s));
                for (int i = 0; i < n; ++i) {
                    QVERIFY(STRATA_OpenItem(toU16(t), uint16_t(i), s));
                    const QByteArray name = QByteArray(base) + QByteArray::number(i + 1);
                    QVERIFY(STRATA_InsertValue(toU16(ValueId::Name), name.constData(), s));
                    if (order) {
                        const uint16_t o = uint16_t(i);
                        QVERIFY(STRATA_InsertValue(toU16(ValueId::Order), &o, s));
                    }
                    QVERIFY(STRATA_CloseItem(s));
                }
            };
            fill(ItemType::KeypadKey, 20, "Old Key ", true);
            fill(ItemType::Switch, 25, "Switch ", true);
            fill(ItemType::Lx2Led, 40, "Lamp ", false);
            QVERIFY(STRATA_InsertItemBlocks(toU16(ItemType::Option), 3, s));
            for (int i = 0; i < 3; ++i) {
                QVERIFY(STRATA_OpenItem(toU16(ItemType::Option), uint16_t(i), s));
                const uint16_t v = uint16_t(700 + i);
                QVERIFY(STRATA_InsertValue(toU16(ValueId::Data), &v, s));
                QVERIFY(STRATA_CloseItem(s));
            }
            QVERIFY(STRATA_SaveSession(path.toLatin1().constData(), s));
            STRATA_CloseSession(s);
        }
        PMModel m;
        QVERIFY(m.openSetup(path));
        QVERIFY(!m.isModified());
        QCOMPARE(m.itemCount(ItemType::KeypadKey), 25);
        QCOMPARE(m.itemCount(ItemType::Option), 8);
        QCOMPARE(m.itemCount(ItemType::Lx2Led), 40);
        QCOMPARE(m.itemCount(ItemType::Lx1Module), 8);
        Raw raw(m.session());
        QVERIFY(raw.to(ItemType::KeypadKey, 19));
        QCOMPARE(raw.text(ValueId::Name), QStringLiteral("Old Key 20"));
        QCOMPARE(raw.u16(ValueId::Order), 19);
        for (int i = 20; i < 25; ++i) {
            QVERIFY(raw.to(ItemType::KeypadKey, i));
            QCOMPARE(raw.text(ValueId::Name), QStringLiteral("Keypad %1").arg(i + 1));
            QCOMPARE(raw.u16(ValueId::Order), i);
        }
        for (int i = 0; i < 3; ++i) {
            QVERIFY(raw.to(ItemType::Option, i));
            QCOMPARE(raw.u16(ValueId::Data), 700 + i);
        }
        for (int i = 3; i < 8; ++i) {
            QVERIFY(raw.to(ItemType::Option, i));
            QCOMPARE(raw.u16(ValueId::Data), int(kOptionDefaults[size_t(i)]));
        }
        QVERIFY(raw.to(ItemType::Lx2Led, 39));
        QCOMPARE(raw.text(ValueId::Name), QStringLiteral("Lamp 40"));
        QVERIFY(raw.to(ItemType::Lx2Led, 31));
        QCOMPARE(raw.text(ValueId::Name), QStringLiteral("Lamp 32"));

        // A store file without a setup item is no setup: the open fails and says so.
        const QString bare = dir.filePath("bare.kelda");
        StoreSession s = nullptr;
        QVERIFY(STRATA_NewSession(&s));
        QVERIFY(STRATA_SaveSession(bare.toLatin1().constData(), s));
        STRATA_CloseSession(s);
        QVERIFY(!m.openSetup(bare));
        QVERIFY(m.lastError().contains(QStringLiteral("holds no setup")));
        QCOMPARE(m.fileName(), path);
        QCOMPARE(m.itemCount(ItemType::KeypadKey), 25);
    }

    // The flag means "unsaved changes".
    void modifiedFlag()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("flag.kelda");
        PMModel m;
        QVERIFY(!m.isModified());  // nothing in a new setup can be lost
        QVERIFY(m.saveSetup(path));
        QVERIFY(!m.isModified());

        auto expectChange = [&](const char *what, const std::function<void()> &change) {
            m.setModified(false);
            change();
            if (!m.isModified())
                QFAIL(what);
        };
        expectChange("insert", [&] { addRows(m, int(Mode::Timers), 2); });
        expectChange("remove", [&] { QVERIFY(m.removeRows(1, 1)); });
        expectChange("cell", [&] { QVERIFY(m.setData(m.index(0, 1), 1.0)); });
        expectChange("option", [&] { m.setOption(0, 0.5); });
        addRows(m, int(Mode::States), 1);
        addRows(m, int(Mode::Events), 2);
        expectChange("priority", [&] { QVERIFY(m.setEventPriority(1, 1)); });
        expectChange("input", [&] { QVERIFY(m.setData(m.index(0, 2), QStringLiteral("KP: Keypad 1"))); });
        expectChange("list add", [&] { QVERIFY(m.addListEntry(0, 0)); });
        expectChange("list set", [&] { QVERIFY(m.setListEntry(0, 0, 0, QStringLiteral("State 1"))); });
        expectChange("list remove", [&] { QVERIFY(m.removeListEntry(0, 0, 0)); });
        expectChange("delete event", [&] { m.deleteEvent(1); });

        // Refused or unchanged operations are no changes.
        m.setModified(false);
        QVERIFY(!m.setData(m.index(0, 5), QStringLiteral("KP: Keypad 2")));
        QVERIFY(!m.setEventPriority(0, 9));
        m.setOption(0, 0.5);
        QVERIFY(!m.addListEntry(0, 9));
        m.setMode(int(Mode::Keypad));
        QVERIFY(!m.insertRows(0, 1));
        QVERIFY(!m.removeRows(30, 1));
        QVERIFY(!m.isModified());
        // Reads that repair stored values are no changes either.
        m.setMode(int(Mode::Events));
        for (int c = 0; c < m.columnCount(); ++c)
            m.data(m.index(0, c));
        QVERIFY(!m.isModified());

        addRows(m, int(Mode::CanInputs), 1);
        QVERIFY(m.openSetup(path));
        QVERIFY(!m.isModified());
        addRows(m, int(Mode::CanInputs), 1);
        m.newSetup();
        QVERIFY(!m.isModified());
    }

    // The owning handle closes its session exactly once, wherever it was
    // moved to. A bookmark outlives its session and stops working only when
    // the session is closed, which makes the closing visible.
    void sessionOwnership()
    {
        UniqueSession a = UniqueSession::create();
        QVERIFY(a.isOpen());
        const StoreSession first = a.get();
        StoreBookmark firstMark = nullptr;
        QVERIFY(STRATA_AddBookMark(&firstMark, first));

        UniqueSession b(std::move(a));
        QVERIFY(!a.isOpen());
        QCOMPARE(b.get(), first);
        QVERIFY(STRATA_GotoBookMark(firstMark, first));  // a move closes nothing

        UniqueSession c = UniqueSession::create();
        const StoreSession second = c.get();
        StoreBookmark secondMark = nullptr;
        QVERIFY(STRATA_AddBookMark(&secondMark, second));
        c = std::move(b);  // closes the session c held, takes b's
        QVERIFY(!b.isOpen());
        QCOMPARE(c.get(), first);
        QVERIFY(!STRATA_GotoBookMark(secondMark, second));
        QVERIFY(STRATA_GotoBookMark(firstMark, first));
        {
            const UniqueSession last = std::move(c);
            QVERIFY(STRATA_GotoBookMark(firstMark, first));
        }
        QVERIFY(!c.isOpen());
        QVERIFY(!STRATA_GotoBookMark(firstMark, first));  // closed with `last`
        STRATA_RemoveBookMark(firstMark, first);
        STRATA_RemoveBookMark(secondMark, second);

        // A copy is a session of its own, independent of its source.
        PMModel m;
        bool copied = false;
        UniqueSession copy = UniqueSession::copyOf(m.session(), &copied);
        QVERIFY(copied);
        QVERIFY(copy.get() != m.session());
        StoreCursor cursor = copy.cursor();
        QVERIFY(cursor.item(ItemType::KeypadKey, 24));
        QCOMPARE(cursor.textOr(ValueId::Name), QStringLiteral("Keypad 25"));
        QVERIFY(cursor.setText(ValueId::Name, QStringLiteral("Copy")));
        QCOMPARE(m.itemName(ItemType::KeypadKey, 24), QStringLiteral("Keypad 25"));
        UniqueSession empty = UniqueSession::copyOf(nullptr, &copied);
        QVERIFY(empty.isOpen());
        QVERIFY(!copied);
        QVERIFY(!empty.cursor().setup());
    }
};

QTEST_GUILESS_MAIN(TestPMModel)
#include "tst_pmmodel.moc"
