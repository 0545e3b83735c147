// The main table delegate and hex spin box through real views, and the events
// and states editors over a real setup.
#include <QAbstractItemModelTester>
#include <QApplication>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHeaderView>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QSignalSpy>
#include <QSortFilterProxyModel>
#include <QSpinBox>
#include <QStandardPaths>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>

#include "eventproxymodel.h"
#include "eventseditor.h"
#include "hexspinbox.h"
#include "pmdelegate.h"
#include "pmmodel.h"
#include "setupbuilder.h"
#include "statedelegate.h"
#include "stateproxymodel.h"
#include "stateseditor.h"
#include "strictspinbox.h"
#include "subitemdelegate.h"
#include "viewhelpers.h"

using kelda::ItemType;
using namespace kelda::test;

namespace {

// Exposes the spin box's text conversions for direct checks.
class OpenHexSpinBox : public HexSpinBox
{
public:
    using HexSpinBox::textFromValue;
    using HexSpinBox::validate;
    using HexSpinBox::valueFromText;
};

// One main table as the main window builds it: view, sort proxy, delegate.
struct MainTable {
    PMModel &model;
    QSortFilterProxyModel proxy;
    PMDelegate delegate;
    QTableView view;

    explicit MainTable(PMModel &m) : model(m)
    {
        proxy.setSourceModel(&model);
        view.setModel(&proxy);
        view.setItemDelegate(&delegate);
        view.resize(900, 400);
        view.show();
    }
    // Opens the cell's editor the way a user's edit trigger does.
    QWidget *open(int row, int column)
    {
        const QModelIndex index = proxy.index(row, column);
        view.setCurrentIndex(index);
        view.edit(index);
        return view.indexWidget(index);
    }
};

// Opens a list cell's combo box in a dialog's table view.
QComboBox *openCombo(QTableView *view, int row)
{
    const QModelIndex index = view->model()->index(row, 0);
    view->setCurrentIndex(index);
    view->edit(index);
    return qobject_cast<QComboBox *>(view->indexWidget(index));
}

void commit(QWidget *editor)
{
    QTest::keyClick(editor, Qt::Key_Return);
}

QStringList names(const PMModel &model, ItemType type)
{
    QStringList out;
    for (int i = 0; i < model.itemCount(type); ++i)
        out << model.itemName(type, i);
    return out;
}

}  // namespace

class TestEditors : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    // PMDelegate
    void editorKinds_data();
    void editorKinds();
    void spinBoxesWriteThroughProxy();
    void comboFallsBackToFirstItem();
    void comboFindsCurrentText();
    void dialogCellsOpenNothing();
    void delegateWithoutProxy();
    void typedNumbersAreTakenWholeOrRefused();
    void canCodeTakesTheSharedByteOrder();

    // HexSpinBox
    void hexText();
    void hexParse_data();
    void hexParse();
    void hexTyping();

    // Events editor
    void eventsForm();
    void eventListModelsUnderTester();
    void eventsAddChooseRemove();
    void eventsRemoveSelection();
    void eventsStaleNameLeavesEntry();
    void eventsEmptyChoices();
    void eventsChoices();
    void eventsReopenShowsSameLists();
    void eventsAddOutsideEventsMode();
    void eventsButtonsWired();

    // States editor
    void statesForm();
    void stateListModelsUnderTester();
    void statesAddChooseRemove();
    void statesChoices();
    void statesButtonsWired();
    void listsSurviveSaveAndOpen();
};

void TestEditors::initTestCase()
{
    QLocale::setDefault(QLocale::c());
    QStandardPaths::setTestModeEnabled(true);
}

void TestEditors::editorKinds_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("col");
    QTest::addColumn<QString>("editorClass");
    QTest::addColumn<double>("minimum");
    QTest::addColumn<double>("maximum");
    QTest::addColumn<double>("step");
    QTest::addColumn<int>("decimals");

    QTest::newRow("keypad name") << 0 << 1 << "QLineEdit" << 0.0 << 0.0 << 0.0 << 0;
    QTest::newRow("CAN input name") << 2 << 0 << "QLineEdit" << 0.0 << 0.0 << 0.0 << 0;
    QTest::newRow("CAN input word/byte") << 2 << 2 << "QComboBox" << 0.0 << 0.0 << 0.0 << 0;
    QTest::newRow("CAN input condition") << 2 << 3 << "QComboBox" << 0.0 << 0.0 << 0.0 << 0;
    QTest::newRow("CAN input data") << 2 << 4 << "QSpinBox" << 0.0 << 65535.0 << 1.0 << 0;
    QTest::newRow("CAN input endianness") << 2 << 5 << "QComboBox" << 0.0 << 0.0 << 0.0 << 0;
    // Everything a timer holds (65535 ticks), so a loaded run time is never clamped.
    QTest::newRow("timer reset value") << 3 << 1 << "QDoubleSpinBox" << 0.0 << 327.675 << 0.005 << 3;
    QTest::newRow("event priority") << 4 << 0 << "QComboBox" << 0.0 << 0.0 << 0.0 << 0;
    QTest::newRow("event name") << 4 << 1 << "QLineEdit" << 0.0 << 0.0 << 0.0 << 0;
    QTest::newRow("event input") << 4 << 2 << "QComboBox" << 0.0 << 0.0 << 0.0 << 0;
    QTest::newRow("event type") << 4 << 3 << "QComboBox" << 0.0 << 0.0 << 0.0 << 0;
    QTest::newRow("event with") << 4 << 4 << "QComboBox" << 0.0 << 0.0 << 0.0 << 0;
    QTest::newRow("event input 3") << 4 << 8 << "QComboBox" << 0.0 << 0.0 << 0.0 << 0;
    QTest::newRow("state name") << 5 << 0 << "QLineEdit" << 0.0 << 0.0 << 0.0 << 0;
    QTest::newRow("LX1 current") << 6 << 1 << "QDoubleSpinBox" << 0.0 << 102.0 << 0.4 << 1;
    QTest::newRow("LX2 LED name") << 7 << 1 << "QLineEdit" << 0.0 << 0.0 << 0.0 << 0;
    QTest::newRow("CAN output word/byte") << 8 << 2 << "QComboBox" << 0.0 << 0.0 << 0.0 << 0;
    QTest::newRow("CAN output data") << 8 << 3 << "QSpinBox" << 0.0 << 65535.0 << 1.0 << 0;
    QTest::newRow("PWM CAN input") << 9 << 1 << "QComboBox" << 0.0 << 0.0 << 0.0 << 0;
}

void TestEditors::editorKinds()
{
    QFETCH(int, mode);
    QFETCH(int, col);
    QFETCH(QString, editorClass);
    QFETCH(double, minimum);
    QFETCH(double, maximum);
    QFETCH(double, step);
    QFETCH(int, decimals);

    PMModel model;
    addRows(model, 2, 1);
    addRows(model, 3, 1);
    addRows(model, 5, 1);
    addRows(model, 6, 1);
    addRows(model, 8, 1);
    addRows(model, 4, 2);
    // With a target, the type column has conditions to offer.
    QVERIFY(model.setEventInput(0, 0, QStringLiteral("KP: Keypad 1")));
    model.setMode(mode);

    MainTable table(model);
    QWidget *editor = table.open(0, col);
    QVERIFY(editor);
    QVERIFY2(editor->inherits(editorClass.toLatin1()), editor->metaObject()->className());
    QCOMPARE(editor->parentWidget(), table.view.viewport());
    // The editor covers exactly the cell.
    QCOMPARE(editor->geometry(), table.view.visualRect(table.proxy.index(0, col)));

    if (auto combo = qobject_cast<QComboBox *>(editor)) {
        QStringList items;
        for (int i = 0; i < combo->count(); ++i)
            items << combo->itemText(i);
        QCOMPARE(items, table.proxy.index(0, col).data(Qt::UserRole).toStringList());
        QVERIFY(!items.isEmpty());
    } else if (auto dspin = qobject_cast<QDoubleSpinBox *>(editor)) {
        QCOMPARE(dspin->minimum(), minimum);
        QCOMPARE(dspin->maximum(), maximum);
        QCOMPARE(dspin->singleStep(), step);
        QCOMPARE(dspin->decimals(), decimals);
    } else if (auto spin = qobject_cast<QSpinBox *>(editor)) {
        QCOMPARE(spin->minimum(), int(minimum));
        QCOMPARE(spin->maximum(), int(maximum));
        QCOMPARE(spin->singleStep(), int(step));
    }
}

void TestEditors::spinBoxesWriteThroughProxy()
{
    PMModel model;
    addRows(model, 3, 2);
    MainTable table(model);
    // Descending names: proxy row 0 is the second timer.
    table.proxy.sort(0, Qt::DescendingOrder);
    QCOMPARE(table.proxy.index(0, 0).data().toString(), model.itemName(ItemType::Timer, 1));

    auto seconds = qobject_cast<QDoubleSpinBox *>(table.open(0, 1));
    QVERIFY(seconds);
    QCOMPARE(seconds->value(), model.index(1, 1).data().toDouble());
    seconds->setValue(327.67);
    seconds->stepBy(1);
    QCOMPARE(seconds->value(), 327.675);
    seconds->stepBy(1);
    QCOMPARE(seconds->value(), 327.675);
    // Typed text is interpreted before the value is written.
    seconds->findChild<QLineEdit *>()->setText(QStringLiteral("1.235"));
    commit(seconds);
    QTRY_VERIFY(!table.view.indexWidget(table.proxy.index(0, 1)));
    QVERIFY(qAbs(model.index(1, 1).data().toDouble() - 1.235) < 1e-9);
    QVERIFY(qAbs(model.index(0, 1).data().toDouble() - 0.5) < 1e-9);

    addRows(model, 6, 1);
    auto amps = qobject_cast<QDoubleSpinBox *>(table.open(0, 1));
    QVERIFY(amps);
    amps->setValue(12.4);
    amps->stepBy(1);
    QCOMPARE(amps->value(), 12.8);
    amps->setValue(150.0);
    QCOMPARE(amps->value(), 102.0);
    amps->setValue(12.4);
    commit(amps);
    QTRY_VERIFY(!table.view.indexWidget(table.proxy.index(0, 1)));
    QVERIFY(qAbs(model.index(0, 1).data().toDouble() - 12.4) < 1e-6);

    addRows(model, 2, 1);
    auto data = qobject_cast<QSpinBox *>(table.open(0, 4));
    QVERIFY(data);
    data->setValue(70000);
    QCOMPARE(data->value(), 65535);
    commit(data);
    QTRY_VERIFY(!table.view.indexWidget(table.proxy.index(0, 4)));
    QCOMPARE(model.index(0, 4).data().toInt(), 65535);
}

void TestEditors::comboFallsBackToFirstItem()
{
    PMModel model;
    addRows(model, 4, 1);
    MainTable table(model);
    // An event input without a target shows "-", which is not a choice.
    const QString shown = table.proxy.index(0, 2).data().toString();
    const QStringList choices = table.proxy.index(0, 2).data(Qt::UserRole).toStringList();
    QVERIFY(!choices.contains(shown));
    QCOMPARE(choices.size(), 50);

    // Nothing is chosen, so leaving the cell writes nothing.
    model.setModified(false);
    auto combo = qobject_cast<QComboBox *>(table.open(0, 2));
    QVERIFY(combo);
    QCOMPARE(combo->currentIndex(), -1);
    commit(combo);
    QTRY_VERIFY(!table.view.indexWidget(table.proxy.index(0, 2)));
    QCOMPARE(model.eventInputText(0, 0), shown);
    QVERIFY(!model.isModified());

    // A choice made is written.
    combo = qobject_cast<QComboBox *>(table.open(0, 2));
    combo->setCurrentIndex(2);
    commit(combo);
    QTRY_VERIFY(!table.view.indexWidget(table.proxy.index(0, 2)));
    QCOMPARE(model.eventInputText(0, 0), choices.at(2));
}

void TestEditors::comboFindsCurrentText()
{
    PMModel model;
    addRows(model, 2, 2);
    addRows(model, 9, 0);
    MainTable table(model);
    const QStringList choices = table.proxy.index(0, 1).data(Qt::UserRole).toStringList();
    QCOMPARE(choices.size(), 3);
    QCOMPARE(choices.last(), QStringLiteral("NONE"));
    QCOMPARE(table.proxy.index(0, 1).data().toString(), QStringLiteral("NONE"));

    auto combo = qobject_cast<QComboBox *>(table.open(0, 1));
    QVERIFY(combo);
    QCOMPARE(combo->currentIndex(), 2);
    combo->setCurrentIndex(1);
    commit(combo);
    QTRY_VERIFY(!table.view.indexWidget(table.proxy.index(0, 1)));
    QCOMPARE(model.index(0, 1).data().toString(), choices.at(1));

    // Reopening finds the stored choice again.
    combo = qobject_cast<QComboBox *>(table.open(0, 1));
    QVERIFY(combo);
    QCOMPARE(combo->currentIndex(), 1);
}

void TestEditors::dialogCellsOpenNothing()
{
    PMModel model;
    addRows(model, 4, 1);
    addRows(model, 5, 1);
    addRows(model, 6, 1);
    const QList<QPair<int, int>> cells = {{4, 10}, {5, 1}, {6, 10}};
    for (const auto &[mode, col] : cells) {
        model.setMode(mode);
        MainTable table(model);
        QVERIFY(!table.open(0, col));
        QVERIFY(table.view.viewport()->findChildren<QWidget *>().isEmpty());
        // A mouse click, the main window's trigger for the dialogs, opens nothing either.
        table.view.setEditTriggers(QAbstractItemView::AllEditTriggers);
        const QRect cell = table.view.visualRect(table.proxy.index(0, col));
        QTest::mouseClick(table.view.viewport(), Qt::LeftButton, {}, cell.center());
        QTest::mouseDClick(table.view.viewport(), Qt::LeftButton, {}, cell.center());
        QVERIFY(!table.view.indexWidget(table.proxy.index(0, col)));
        QVERIFY(table.view.viewport()->findChildren<QWidget *>().isEmpty());
    }
}

void TestEditors::delegateWithoutProxy()
{
    PMModel model;
    addRows(model, 3, 1);
    PMDelegate delegate;
    QTableView view;
    view.setModel(&model);
    view.setItemDelegate(&delegate);
    view.show();
    const QModelIndex index = model.index(0, 1);
    view.edit(index);
    auto spin = qobject_cast<QDoubleSpinBox *>(view.indexWidget(index));
    QVERIFY(spin);
    QCOMPARE(spin->maximum(), 327.675);
}

// Types text into a cell's editor and commits it with Enter; returns the
// refusal the delegate reported, empty when it passed the text on.
QString typeInto(MainTable &table, int row, int column, const QString &text)
{
    QSignalSpy refused(&table.delegate, &PMDelegate::commitRefused);
    QWidget *editor = table.open(row, column);
    if (!editor)
        return QStringLiteral("no editor");
    if (auto spin = qobject_cast<QAbstractSpinBox *>(editor))
        spin->selectAll();
    else if (auto line = qobject_cast<QLineEdit *>(editor))
        line->selectAll();
    QTest::keyClicks(editor, text);
    commit(editor);
    const QModelIndex at = table.proxy.index(row, column);
    if (!QTest::qWaitFor([&] { return !table.view.indexWidget(at); }))
        return QStringLiteral("editor still open");
    return refused.isEmpty() ? QString() : refused.first().at(1).toString();
}

void TestEditors::typedNumbersAreTakenWholeOrRefused()
{
    PMModel model;
    addRows(model, 3, 1);
    MainTable table(model);
    const auto seconds = [&] { return model.index(0, 1).data().toDouble(); };
    // Out of range: refused with range and unit, never cut to 40.
    QCOMPARE(typeInto(table, 0, 1, QStringLiteral("400")),
             QStringLiteral("400 is out of range: type a number from 0 to 327.675 s."));
    QCOMPARE(seconds(), 0.5);
    // A comma is no decimal separator in this locale: refused, never 15.
    QVERIFY(typeInto(table, 0, 1, QStringLiteral("1,5")).startsWith(QStringLiteral("\"1,5\" is not a number")));
    QCOMPARE(seconds(), 0.5);
    // Rounded to a tick: stored, and said so.
    QSignalSpy notes(&model, &PMModel::editNoted);
    QCOMPARE(typeInto(table, 0, 1, QStringLiteral("1.234")), QString());
    QCOMPARE(seconds(), 1.235);
    QCOMPARE(notes.size(), 1);
    QCOMPARE(notes.first().first().toString(), QStringLiteral("Stored as 1.235 s: timers count in 5 ms ticks."));
    QCOMPARE(typeInto(table, 0, 1, QStringLiteral("2.5")), QString());
    QCOMPARE(notes.size(), 1);  // stored as typed: nothing to say

    // Where the locale writes a decimal comma, 1,5 is one and a half.
    table.view.setLocale(QLocale(QLocale::German, QLocale::Germany));
    QCOMPARE(typeInto(table, 0, 1, QStringLiteral("1,5")), QString());
    table.view.setLocale(QLocale::c());
    QCOMPARE(seconds(), 1.5);

    addRows(model, 6, 1);
    QCOMPARE(typeInto(table, 0, 1, QStringLiteral("5.3")), QString());
    QCOMPARE(model.lastEditNote(), QStringLiteral("Stored as 5.2 A: current limits are set in 0.4 A steps."));
    QCOMPARE(model.index(0, 1).data().toDouble(), 5.2);
    QCOMPARE(typeInto(table, 0, 1, QStringLiteral("150")),
             QStringLiteral("150 is out of range: type a number from 0 to 102 A."));

    // CAN Data: 0 to 65535 for a word, 0 to 255 for a byte (inputs and outputs alike).
    for (const auto &[mode, data, select] : {std::tuple{2, 4, 2}, std::tuple{8, 3, 2}}) {
        addRows(model, mode, 1);
        QCOMPARE(typeInto(table, 0, data, QStringLiteral("70000")),
                 QStringLiteral("70000 is out of range: type a number from 0 to 65535."));
        QCOMPARE(typeInto(table, 0, data, QStringLiteral("300")), QString());
        QVERIFY(model.setData(model.index(0, select), QStringLiteral("Byte 2")));  // a larger Data is kept
        QCOMPARE(model.index(0, data).data().toInt(), 300);
        QCOMPARE(typeInto(table, 0, data, QStringLiteral("256")),
                 QStringLiteral("256 does not fit in Byte 2: a byte holds 0–255. Choose a word for a larger value."));
        QCOMPARE(model.index(0, data).data().toInt(), 300);
        QCOMPARE(typeInto(table, 0, data, QStringLiteral("255")), QString());
        QCOMPARE(model.index(0, data).data().toInt(), 255);
    }
}

void TestEditors::canCodeTakesTheSharedByteOrder()
{
    PMModel model;
    addRows(model, 2, 3);
    MainTable table(model);
    QVERIFY(model.setData(model.index(1, 1), QStringLiteral("0x300")));
    QVERIFY(model.setData(model.index(2, 1), QStringLiteral("0x300")));
    QVERIFY(model.setData(model.index(1, 5), QStringLiteral("Little Endian")));  // and row 2 with it
    QCOMPARE(model.index(0, 5).data().toString(), QStringLiteral("Big Endian"));
    QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
    // Row 1 joins 0x300: it takes the order of the first input there, and shows it.
    QCOMPARE(typeInto(table, 0, 1, QStringLiteral("0x300")), QString());
    QCOMPARE(model.index(0, 5).data().toString(), QStringLiteral("Little Endian"));
    QCOMPARE(model.lastEditNote(),
             QStringLiteral("Byte order set to Little Endian: every CAN input of 0x300 shares one."));
    QVERIFY(std::any_of(changed.begin(), changed.end(), [](const QList<QVariant> &args) {
        return args.at(0).toModelIndex().column() <= 5 && args.at(1).toModelIndex().column() >= 5;
    }));
    // A rename refused in a name cell reaches the same warning path.
    QVERIFY(typeInto(table, 0, 0, QStringLiteral("CAN Input 2")).contains(QStringLiteral("CAN Input 2")));
}

void TestEditors::hexText()
{
    HexSpinBox box;
    QCOMPARE(box.minimum(), 0);
    QCOMPARE(box.maximum(), 2000);
    const QList<QPair<int, QString>> cases = {
        {0, "0x000"}, {255, "0x0FF"}, {1536, "0x600"}, {2000, "0x7D0"}, {10, "0x00A"}};
    for (const auto &[value, text] : cases) {
        box.setValue(value);
        QCOMPARE(box.text(), text);
    }
}

void TestEditors::hexParse_data()
{
    // The box reads what it shows: hexadecimal digits, with or without "0x".
    // Text it cannot read, or above 0x7D0, is not accepted and changes nothing.
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("value");
    QTest::newRow("zero") << "0" << 0;
    QTest::newRow("hex") << "0x7D0" << 2000;
    QTest::newRow("upper X lower digits") << "0X1f" << 31;
    QTest::newRow("digits are hex") << "600" << 0x600;
    QTest::newRow("leading zero is no octal") << "010" << 0x10;
    QTest::newRow("over range") << "7FF" << 1234;
    QTest::newRow("hex over range") << "0xFFF" << 1234;
    QTest::newRow("prefix only") << "0x" << 1234;
    QTest::newRow("x first") << "x10" << 1234;
    QTest::newRow("two prefixes") << "0x0x1" << 1234;
    // Blanks around the number are no part of it, as in the CAN Code cells;
    // inside it they are refused.
    QTest::newRow("blank before") << " 600" << 0x600;
    QTest::newRow("blanks around with prefix") << " 0x7D0\t" << 2000;
    QTest::newRow("blank inside") << "0x 600" << 1234;
}

void TestEditors::hexParse()
{
    QFETCH(QString, text);
    QFETCH(int, value);
    OpenHexSpinBox box;
    box.setValue(1234);
    // Typed text goes through the line edit and is interpreted on commit.
    box.findChild<QLineEdit *>()->setText(text);
    // What the box accepts is what it takes: never accepted and then dropped.
    QCOMPARE(box.problem().isEmpty(), value != 1234);
    if (box.problem().isEmpty())
        QCOMPARE(box.typedValue(), value);
    box.interpretText();
    QCOMPARE(box.value(), value);
}

void TestEditors::hexTyping()
{
    OpenHexSpinBox box;
    int pos = 0;
    QString t;
    QCOMPARE(box.validate(t = QString(), pos), QValidator::Intermediate);
    QCOMPARE(box.validate(t = "0x", pos), QValidator::Intermediate);
    QCOMPARE(box.validate(t = "0x7D0", pos), QValidator::Acceptable);
    QCOMPARE(box.validate(t = "7D0", pos), QValidator::Acceptable);
    // Changed by the typed-numbers mend: nothing typed is dropped (that read
    // 7FF as 0x7F); text above the maximum or unreadable stays as typed and is
    // refused with its reason on commit.
    for (const char *text : {"7D1", "0xFFFFFF", "123456789", "0xG", "-1"})
        QCOMPARE(box.validate(t = QString::fromLatin1(text), pos), QValidator::Intermediate);

    box.show();
    QSignalSpy refused(&box, &StrictSpinBox::refused);
    box.selectAll();
    QTest::keyClicks(&box, "7FF");
    QCOMPARE(box.text(), QStringLiteral("7FF"));
    QTest::keyClick(&box, Qt::Key_Return);
    QCOMPARE(refused.size(), 1);
    QCOMPARE(refused.first().first().toString(),
             QStringLiteral("7FF is out of range: type a number from 0x000 to 0x7D0."));
    // The text stays to be mended; the value never took 0x7F on the way.
    QCOMPARE(box.text(), QStringLiteral("7FF"));
    QCOMPARE(box.value(), 0);
    box.selectAll();
    QTest::keyClicks(&box, "0xG1z");
    QTest::keyClick(&box, Qt::Key_Return);
    QCOMPARE(refused.size(), 2);
    QVERIFY(refused.last().first().toString().startsWith(QStringLiteral("\"0xG1z\" is not a hexadecimal number")));
    box.selectAll();
    QTest::keyClicks(&box, "0x1");
    QTest::keyClick(&box, Qt::Key_Return);
    QCOMPARE(refused.size(), 2);
    QCOMPARE(box.value(), 1);
    QCOMPARE(box.text(), QStringLiteral("0x001"));
}

void TestEditors::eventsForm()
{
    EventsEditor ed;
    QCOMPARE(ed.objectName(), QStringLiteral("EventsEditorClass"));
    QCOMPARE(ed.windowTitle(), QStringLiteral("Events Editor"));
    QCOMPARE(ed.windowModality(), Qt::ApplicationModal);
    QCOMPARE(ed.minimumSize(), QSize(515, 560));
    QCOMPARE(ed.maximumSize(), QSize(515, 560));
    QCOMPARE(ed.focusPolicy(), Qt::NoFocus);
    QVERIFY(!ed.windowIcon().isNull());

    QList<QGroupBox *> groups = ed.findChildren<QGroupBox *>();
    QCOMPARE(groups.size(), 2);
    std::sort(groups.begin(), groups.end(), [](auto a, auto b) { return a->y() < b->y(); });
    QCOMPARE(groups[0]->title(), QStringLiteral("States"));
    QCOMPARE(groups[0]->geometry(), QRect(0, 0, 511, 261));
    QCOMPARE(groups[1]->title(), QStringLiteral("Timers"));
    QCOMPARE(groups[1]->geometry(), QRect(0, 260, 511, 261));

    const QStringList views = {"statesSet_tableView", "statesClear_tableView", "timersStart_tableView",
                               "timersStop_tableView"};
    const QStringList adds = {"addStateSet", "addStateClear", "addTimerStart", "addTimerStop"};
    const QStringList removes = {"removeStateSet", "removeStateClear", "removeTimerStart", "removeTimerStop"};
    for (int k = 0; k < 4; ++k) {
        QVERIFY(ed.findChild<QTableView *>(views[k]));
        QCOMPARE(ed.findChild<QTableView *>(views[k])->parentWidget()->parentWidget(), groups[k / 2]);
        auto add = ed.findChild<QPushButton *>(adds[k]);
        auto remove = ed.findChild<QPushButton *>(removes[k]);
        QVERIFY(add && remove);
        QCOMPARE(add->text(), QStringLiteral("+"));
        QCOMPARE(remove->text(), QStringLiteral("-"));
        QCOMPARE(add->maximumSize(), QSize(32, 23));
        QCOMPARE(remove->maximumSize(), QSize(32, 23));
    }
    auto ok = ed.findChild<QPushButton *>("OKButton");
    QVERIFY(ok);
    QCOMPARE(ok->text(), QStringLiteral("OK"));
    QCOMPARE(ok->geometry(), QRect(420, 530, 75, 23));

    // Headers follow the list kind once bound.
    PMModel model;
    addRows(model, 4, 1);
    ed.setEvent(&model, 0);
    const QStringList headers = {"States to Set", "States to Clear", "Timers to Start", "Timers to Stop"};
    for (int k = 0; k < 4; ++k) {
        QTableView *view = ed.findChild<QTableView *>(views[k]);
        QCOMPARE(view->model(), ed.listModel(k));
        QCOMPARE(view->model()->headerData(0, Qt::Horizontal).toString(), headers[k]);
        QVERIFY(qobject_cast<SubItemDelegate *>(view->itemDelegate()));
    }

    // "OK" only closes.
    ed.show();
    QVERIFY(QTest::qWaitForWindowExposed(&ed));
    QTest::mouseClick(ok, Qt::LeftButton);
    QTRY_VERIFY(!ed.isVisible());
}

void TestEditors::eventListModelsUnderTester()
{
    PMModel model;
    addRows(model, 5, 2);
    addRows(model, 3, 2);
    addRows(model, 4, 1);
    for (int k = 0; k < kelda::kEventListCount; ++k) {
        EventProxyModel list;
        QAbstractItemModelTester tester(&list, QAbstractItemModelTester::FailureReportingMode::QtTest);
        QCOMPARE(list.rowCount(), 0);
        list.setList(k, 0, &model);
        QVERIFY(list.addEntry(0, k));
        QVERIFY(list.addEntry(0, k));
        QCOMPARE(list.rowCount(), 2);
        QCOMPARE(list.columnCount(), 1);
        QVERIFY(list.flags(list.index(0, 0)) & Qt::ItemIsEditable);
        QCOMPARE(list.flags(QModelIndex()), Qt::NoItemFlags);
        QVERIFY(!list.data(list.index(0, 0), Qt::ToolTipRole).isValid());
        QVERIFY(!list.headerData(0, Qt::Vertical).isValid());
        const QString target = list.choices().at(1);
        QVERIFY(!list.setData(list.index(0, 0), target, Qt::DisplayRole));
        QVERIFY(list.setData(list.index(0, 0), target));
        QCOMPARE(list.index(0, 0).data(Qt::EditRole).toString(), target);
        QVERIFY(list.removeEntry(0, k, 1));
        QCOMPARE(list.rowCount(), 1);
    }
}

void TestEditors::eventsAddChooseRemove()
{
    PMModel model;
    addRows(model, 5, 3);
    addRows(model, 3, 2);
    addRows(model, 4, 2);
    model.setModified(false);

    EventsEditor ed;
    ed.setEvent(&model, 1);
    ed.show();
    QTableView *set = child<QTableView>(ed, "statesSet_tableView");
    QTest::mouseClick(child<QPushButton>(ed, "addStateSet"), Qt::LeftButton);
    QCOMPARE(set->model()->rowCount(), 1);
    QCOMPARE(model.listEntryCount(1, 0), 1);
    QCOMPARE(model.listEntryCount(0, 0), 0);
    // A fresh entry has no target yet.
    QCOMPARE(set->model()->index(0, 0).data().toString(), QString());

    QComboBox *combo = openCombo(set, 0);
    QVERIFY(combo);
    QCOMPARE(combo->count(), 3);
    QCOMPARE(combo->currentIndex(), 0);
    combo->setCurrentIndex(1);
    commit(combo);
    const QString state2 = model.itemName(ItemType::State, 1);
    QTRY_COMPARE(model.listEntryName(1, 0, 0), state2);
    QCOMPARE(set->model()->index(0, 0).data().toString(), state2);
    QVERIFY(model.isModified());

    // The reopened combo box starts on the stored target.
    combo = openCombo(set, 0);
    QVERIFY(combo);
    QCOMPARE(combo->currentText(), state2);
    commit(combo);

    QTableView *stop = child<QTableView>(ed, "timersStop_tableView");
    QTest::mouseClick(child<QPushButton>(ed, "addTimerStop"), Qt::LeftButton);
    combo = openCombo(stop, 0);
    QVERIFY(combo);
    QCOMPARE(combo->count(), 2);
    combo->setCurrentIndex(1);
    commit(combo);
    QTRY_COMPARE(model.listEntryName(1, 3, 0), model.itemName(ItemType::Timer, 1));

    // Each button works on its own list only.
    QTest::mouseClick(child<QPushButton>(ed, "addStateClear"), Qt::LeftButton);
    QTest::mouseClick(child<QPushButton>(ed, "addTimerStart"), Qt::LeftButton);
    QTest::mouseClick(child<QPushButton>(ed, "addTimerStart"), Qt::LeftButton);
    QCOMPARE(model.listEntryCount(1, 0), 1);
    QCOMPARE(model.listEntryCount(1, 1), 1);
    QCOMPARE(model.listEntryCount(1, 2), 2);
    QCOMPARE(model.listEntryCount(1, 3), 1);

    set->selectRow(0);
    QTest::mouseClick(child<QPushButton>(ed, "removeStateSet"), Qt::LeftButton);
    QCOMPARE(model.listEntryCount(1, 0), 0);
    QCOMPARE(set->model()->rowCount(), 0);
    // The target itself stays.
    QCOMPARE(model.itemCount(ItemType::State), 3);
    QCOMPARE(model.listEntryCount(1, 3), 1);
}

void TestEditors::eventsRemoveSelection()
{
    PMModel model;
    addRows(model, 5, 3);
    addRows(model, 4, 1);
    EventsEditor ed;
    ed.setEvent(&model, 0);
    ed.show();
    EventProxyModel *list = ed.listModel(1);
    QTableView *view = child<QTableView>(ed, "statesClear_tableView");
    const QStringList states = names(model, ItemType::State);
    for (int i = 0; i < 3; ++i) {
        ed.addStateClear();
        QVERIFY(list->setData(list->index(i, 0), states[i]));
    }

    // No selection: nothing happens.
    view->clearSelection();
    ed.removeStateClear();
    QCOMPARE(columnTexts(list), states);

    // Several rows: only the row of the first selected index goes.
    view->selectionModel()->select(list->index(2, 0), QItemSelectionModel::Select);
    view->selectionModel()->select(list->index(0, 0), QItemSelectionModel::Select);
    QCOMPARE(view->selectionModel()->selectedIndexes().size(), 2);
    ed.removeStateClear();
    QCOMPARE(columnTexts(list), QStringList({states[0], states[1]}));

    view->selectRow(0);
    QTest::mouseClick(child<QPushButton>(ed, "removeStateClear"), Qt::LeftButton);
    QCOMPARE(columnTexts(list), QStringList({states[1]}));
}

void TestEditors::eventsStaleNameLeavesEntry()
{
    PMModel model;
    addRows(model, 5, 2);
    addRows(model, 4, 1);
    EventsEditor ed;
    ed.setEvent(&model, 0);
    ed.show();
    ed.addStateSet();
    EventProxyModel *list = ed.listModel(0);
    const QString oldName = model.itemName(ItemType::State, 1);
    QVERIFY(list->setData(list->index(0, 0), model.itemName(ItemType::State, 0)));

    // The combo box was filled before the state got another name.
    QComboBox *combo = openCombo(child<QTableView>(ed, "statesSet_tableView"), 0);
    QVERIFY(combo);
    model.setMode(5);
    QVERIFY(model.setData(model.index(1, 0), QStringLiteral("Renamed")));
    model.setMode(4);
    model.setModified(false);

    QSignalSpy changed(list, &QAbstractItemModel::dataChanged);
    combo->setCurrentIndex(combo->findText(oldName));
    QCOMPARE(combo->currentText(), oldName);
    commit(combo);
    QTRY_COMPARE(changed.size(), 1);
    QCOMPARE(model.listEntryName(0, 0, 0), model.itemName(ItemType::State, 0));
    QVERIFY(!model.isModified());
    QVERIFY(!list->setData(list->index(0, 0), oldName));
    QCOMPARE(changed.size(), 2);
    QVERIFY(list->setData(list->index(0, 0), QStringLiteral("Renamed")));
    QCOMPARE(list->index(0, 0).data().toString(), QStringLiteral("Renamed"));
}

void TestEditors::eventsEmptyChoices()
{
    PMModel model;
    addRows(model, 4, 1);
    EventsEditor ed;
    ed.setEvent(&model, 0);
    ed.show();
    ed.addStateSet();
    QComboBox *combo = openCombo(child<QTableView>(ed, "statesSet_tableView"), 0);
    QVERIFY(combo);
    QCOMPARE(combo->count(), 0);
    QSignalSpy changed(ed.listModel(0), &QAbstractItemModel::dataChanged);
    commit(combo);
    QTRY_COMPARE(changed.size(), 1);
    QCOMPARE(model.listEntryCount(0, 0), 1);
    QCOMPARE(model.listEntryName(0, 0, 0), QString());
}

void TestEditors::eventsChoices()
{
    PMModel model;
    addRows(model, 5, 2);
    addRows(model, 3, 3);
    addRows(model, 4, 1);
    EventProxyModel list;
    const QStringList states = names(model, ItemType::State);
    const QStringList timers = names(model, ItemType::Timer);
    QCOMPARE(states.size(), 2);
    QCOMPARE(timers.size(), 3);
    for (int k = 0; k < 4; ++k) {
        list.setList(k, 0, &model);
        QCOMPARE(list.choices(), k < 2 ? states : timers);
    }
    // Prefixes really are cut, not just absent.
    QVERIFY(model.stateChoices().first().startsWith(QStringLiteral("ST: ")));
    QVERIFY(model.timerChoices().first().startsWith(QStringLiteral("TI: ")));

    // The delegate offers exactly these names.
    list.setList(2, 0, &model);
    list.addEntry(0, 2);
    SubItemDelegate delegate;
    QWidget parent;
    std::unique_ptr<QWidget> editor(delegate.createEditor(&parent, QStyleOptionViewItem(), list.index(0, 0)));
    auto combo = qobject_cast<QComboBox *>(editor.get());
    QVERIFY(combo);
    QCOMPARE(combo->parentWidget(), &parent);
    QStringList items;
    for (int i = 0; i < combo->count(); ++i)
        items << combo->itemText(i);
    QCOMPARE(items, timers);
}

void TestEditors::eventsReopenShowsSameLists()
{
    PMModel model;
    addRows(model, 5, 3);
    addRows(model, 3, 2);
    addRows(model, 4, 2);
    const QStringList states = names(model, ItemType::State);
    const QStringList timers = names(model, ItemType::Timer);
    QList<QStringList> before;
    {
        auto ed = new EventsEditor;
        ed->setAttribute(Qt::WA_DeleteOnClose);
        ed->setEvent(&model, 0);
        ed->open();
        ed->addStateSet();
        ed->addStateSet();
        ed->addStateClear();
        ed->addTimerStart();
        ed->addTimerStop();
        ed->addTimerStop();
        QVERIFY(ed->listModel(0)->setData(ed->listModel(0)->index(0, 0), states[2]));
        QVERIFY(ed->listModel(0)->setData(ed->listModel(0)->index(1, 0), states[0]));
        QVERIFY(ed->listModel(1)->setData(ed->listModel(1)->index(0, 0), states[1]));
        QVERIFY(ed->listModel(2)->setData(ed->listModel(2)->index(0, 0), timers[1]));
        QVERIFY(ed->listModel(3)->setData(ed->listModel(3)->index(1, 0), timers[0]));
        for (int k = 0; k < 4; ++k)
            before << columnTexts(ed->listModel(k));
        QPointer<EventsEditor> guard(ed);
        QTest::mouseClick(child<QPushButton>(*ed, "OKButton"), Qt::LeftButton);
        QTRY_VERIFY(!guard);
    }
    QCOMPARE(before[0], QStringList({states[2], states[0]}));
    QCOMPARE(before[3], QStringList({QString(), timers[0]}));

    EventsEditor again;
    again.setEvent(&model, 0);
    again.show();
    const QList<QTableView *> views = {
        child<QTableView>(again, "statesSet_tableView"), child<QTableView>(again, "statesClear_tableView"),
        child<QTableView>(again, "timersStart_tableView"), child<QTableView>(again, "timersStop_tableView")};
    for (int k = 0; k < 4; ++k)
        QCOMPARE(columnTexts(views[k]->model()), before[k]);

    // The other event's lists stay empty.
    EventsEditor other;
    other.setEvent(&model, 1);
    for (int k = 0; k < 4; ++k)
        QCOMPARE(other.listModel(k)->rowCount(), 0);
}

void TestEditors::eventsAddOutsideEventsMode()
{
    PMModel model;
    addRows(model, 4, 1);
    model.setMode(3);
    EventProxyModel list;
    list.setList(0, 0, &model);
    // The model refuses list changes outside the Events table; so do we.
    QVERIFY(!list.addEntry(0, 0));
    model.setMode(4);
    QCOMPARE(list.rowCount(), 0);

    EventProxyModel unbound;
    QCOMPARE(unbound.rowCount(), 0);
    QVERIFY(!unbound.addEntry(0, 0));
    QVERIFY(unbound.choices().isEmpty());
}

void TestEditors::statesForm()
{
    StatesEditor ed;
    QCOMPARE(ed.objectName(), QStringLiteral("StatesEditorClass"));
    QCOMPARE(ed.windowTitle(), QStringLiteral("StatesEditor"));
    QCOMPARE(ed.size(), QSize(538, 298));
    QCOMPARE(ed.windowModality(), Qt::NonModal);
    QVERIFY(!ed.windowIcon().isNull());

    auto grid = qobject_cast<QGridLayout *>(ed.layout());
    QVERIFY(grid);
    const QStringList boxes = {"groupBox", "groupBox_2", "groupBox_3"};
    const QStringList titles = {"LX2 LED Outputs", "LX1 Outputs", "CAN Outputs"};
    const QStringList views = {"LX2Out_tableView", "LX1Out_tableView", "CANOut_tableView"};
    const QStringList adds = {"addLX2", "addLX1", "addCAN"};
    const QStringList removes = {"removeLX2", "removeLX1", "removeCAN"};
    for (int k = 0; k < 3; ++k) {
        auto box = ed.findChild<QGroupBox *>(boxes[k]);
        QVERIFY(box);
        QCOMPARE(box->title(), titles[k]);
        QCOMPARE(grid->itemAtPosition(0, k)->widget(), box);
        auto view = box->findChild<QTableView *>(views[k]);
        QVERIFY(view);
        QCOMPARE(view->horizontalHeader()->defaultSectionSize(), 100);
        auto add = box->findChild<QPushButton *>(adds[k]);
        auto remove = box->findChild<QPushButton *>(removes[k]);
        QVERIFY(add && remove);
        QCOMPARE(add->text(), QStringLiteral("+"));
        QCOMPARE(remove->text(), QStringLiteral("-"));
        QCOMPARE(add->maximumSize(), QSize(32, 23));
        QCOMPARE(remove->maximumSize(), QSize(32, 23));
    }
    auto ok = ed.findChild<QPushButton *>("OKButton");
    QVERIFY(ok);
    QCOMPARE(ok->text(), QStringLiteral("OK"));
    QCOMPARE(grid->itemAtPosition(1, 2)->widget(), ok);

    PMModel model;
    addRows(model, 5, 1);
    ed.setState(&model, 0);
    const QStringList headers = {"LX2 Outputs", "LX1 Outputs", "CAN Outputs"};
    for (int k = 0; k < 3; ++k) {
        auto view = ed.findChild<QTableView *>(views[k]);
        QCOMPARE(view->model(), ed.listModel(k));
        QCOMPARE(view->model()->headerData(5, Qt::Horizontal).toString(), headers[k]);
        QVERIFY(qobject_cast<StateDelegate *>(view->itemDelegate()));
    }
    ed.show();
    QVERIFY(QTest::qWaitForWindowExposed(&ed));
    QTest::mouseClick(ok, Qt::LeftButton);
    QTRY_VERIFY(!ed.isVisible());
}

void TestEditors::stateListModelsUnderTester()
{
    PMModel model;
    addRows(model, 6, 1);
    addRows(model, 8, 1);
    addRows(model, 5, 1);
    for (int k = 0; k < kelda::kStateListCount; ++k) {
        StateProxyModel list;
        QAbstractItemModelTester tester(&list, QAbstractItemModelTester::FailureReportingMode::QtTest);
        list.setList(k, 0, &model);
        QVERIFY(list.addEntry(0, k));
        QVERIFY(list.addEntry(0, k));
        QCOMPARE(list.rowCount(), 2);
        QVERIFY(list.flags(list.index(1, 0)) & Qt::ItemIsEditable);
        const QString target = list.choices().first();
        QVERIFY(list.setData(list.index(1, 0), target));
        QCOMPARE(list.index(1, 0).data().toString(), target);
        QVERIFY(!list.setData(list.index(0, 0), QStringLiteral("no such output")));
        QCOMPARE(list.index(0, 0).data().toString(), QString());
        QVERIFY(list.removeEntry(0, k, 0));
        QCOMPARE(list.rowCount(), 1);
        QCOMPARE(list.index(0, 0).data().toString(), target);
    }
}

void TestEditors::statesAddChooseRemove()
{
    PMModel model;
    addRows(model, 6, 2);
    addRows(model, 5, 2);
    model.setModified(false);
    StatesEditor ed;
    ed.setState(&model, 1);
    ed.show();

    QTableView *lx2 = child<QTableView>(ed, "LX2Out_tableView");
    QTest::mouseClick(child<QPushButton>(ed, "addLX2"), Qt::LeftButton);
    QTest::mouseClick(child<QPushButton>(ed, "addLX2"), Qt::LeftButton);
    QCOMPARE(lx2->model()->rowCount(), 2);
    QComboBox *combo = openCombo(lx2, 1);
    QVERIFY(combo);
    QCOMPARE(combo->count(), 32);
    combo->setCurrentIndex(combo->findText(QStringLiteral("LX2 LED 5")));
    commit(combo);
    QTRY_COMPARE(model.listEntryName(1, 0, 1), QStringLiteral("LX2 LED 5"));
    QVERIFY(model.isModified());

    QTableView *lx1 = child<QTableView>(ed, "LX1Out_tableView");
    QTest::mouseClick(child<QPushButton>(ed, "addLX1"), Qt::LeftButton);
    combo = openCombo(lx1, 0);
    QVERIFY(combo);
    QCOMPARE(combo->count(), 2);
    combo->setCurrentIndex(1);
    commit(combo);
    QTRY_COMPARE(model.listEntryName(1, 1, 0), model.itemName(ItemType::Lx1Output, 1));

    QTest::mouseClick(child<QPushButton>(ed, "addCAN"), Qt::LeftButton);
    QCOMPARE(model.listEntryCount(1, 2), 1);
    QCOMPARE(model.listEntryCount(0, 0), 0);

    // Remove: nothing without a selection, else the first selected row.
    lx2->clearSelection();
    QTest::mouseClick(child<QPushButton>(ed, "removeLX2"), Qt::LeftButton);
    QCOMPARE(model.listEntryCount(1, 0), 2);
    lx2->selectRow(0);
    QTest::mouseClick(child<QPushButton>(ed, "removeLX2"), Qt::LeftButton);
    QCOMPARE(columnTexts(lx2->model()), QStringList({QStringLiteral("LX2 LED 5")}));
    child<QTableView>(ed, "CANOut_tableView")->selectRow(0);
    QTest::mouseClick(child<QPushButton>(ed, "removeCAN"), Qt::LeftButton);
    QCOMPARE(model.listEntryCount(1, 2), 0);

    // Reopened, the dialog shows what the setup holds.
    StatesEditor again;
    again.setState(&model, 1);
    QCOMPARE(columnTexts(again.listModel(0)), QStringList({QStringLiteral("LX2 LED 5")}));
    QCOMPARE(columnTexts(again.listModel(1)), QStringList({model.itemName(ItemType::Lx1Output, 1)}));
}

void TestEditors::statesChoices()
{
    PMModel model;
    addRows(model, 5, 1);
    StateProxyModel list;
    list.setList(0, 0, &model);
    QStringList leds;
    for (int n = 1; n <= 32; ++n)
        leds << QStringLiteral("LX2 LED %1").arg(n);
    QCOMPARE(list.choices(), leds);
    list.setList(1, 0, &model);
    QVERIFY(list.choices().isEmpty());
    list.setList(2, 0, &model);
    QVERIFY(list.choices().isEmpty());

    addRows(model, 6, 2);
    addRows(model, 8, 1);
    model.setMode(5);
    list.setList(1, 0, &model);
    QCOMPARE(list.choices(), names(model, ItemType::Lx1Output));
    list.setList(2, 0, &model);
    QCOMPARE(list.choices(), names(model, ItemType::CanOutput));
    QCOMPARE(list.choices().size(), 1);

    StateDelegate delegate;
    list.addEntry(0, 2);
    QWidget parent;
    std::unique_ptr<QWidget> editor(delegate.createEditor(&parent, QStyleOptionViewItem(), list.index(0, 0)));
    auto combo = qobject_cast<QComboBox *>(editor.get());
    QVERIFY(combo);
    QCOMPARE(combo->count(), 1);
    QCOMPARE(combo->itemText(0), model.itemName(ItemType::CanOutput, 0));
}

void TestEditors::eventsButtonsWired()
{
    PMModel model;
    addRows(model, 4, 1);
    EventsEditor ed;
    ed.setEvent(&model, 0);
    ed.show();
    const char *const views[] = {"statesSet_tableView", "statesClear_tableView", "timersStart_tableView",
                                 "timersStop_tableView"};
    const char *const adds[] = {"addStateSet", "addStateClear", "addTimerStart", "addTimerStop"};
    const char *const removes[] = {"removeStateSet", "removeStateClear", "removeTimerStart", "removeTimerStop"};
    // Each "+" grows only its own list, by k + 1 entries for list k.
    model.setModified(false);
    QTest::mouseClick(child<QPushButton>(ed, adds[0]), Qt::LeftButton);
    QVERIFY(model.isModified());
    for (int k = 0; k < 4; ++k)
        for (int i = k ? 0 : 1; i <= k; ++i)
            QTest::mouseClick(child<QPushButton>(ed, adds[k]), Qt::LeftButton);
    for (int k = 0; k < 4; ++k) {
        QCOMPARE(model.listEntryCount(0, k), k + 1);
        QCOMPARE(child<QTableView>(ed, views[k])->model()->rowCount(), k + 1);
    }
    // Each "-" shrinks only its own list.
    model.setModified(false);
    for (int k = 0; k < 4; ++k) {
        child<QTableView>(ed, views[k])->selectRow(0);
        QTest::mouseClick(child<QPushButton>(ed, removes[k]), Qt::LeftButton);
        for (int j = 0; j < 4; ++j)
            QCOMPARE(model.listEntryCount(0, j), j <= k ? j : j + 1);
    }
    QVERIFY(model.isModified());
}

void TestEditors::statesButtonsWired()
{
    PMModel model;
    addRows(model, 8, 3);
    addRows(model, 5, 1);
    StatesEditor ed;
    ed.setState(&model, 0);
    ed.show();
    const char *const views[] = {"LX2Out_tableView", "LX1Out_tableView", "CANOut_tableView"};
    const char *const adds[] = {"addLX2", "addLX1", "addCAN"};
    const char *const removes[] = {"removeLX2", "removeLX1", "removeCAN"};
    for (int k = 0; k < 3; ++k)
        for (int i = 0; i <= k; ++i)
            QTest::mouseClick(child<QPushButton>(ed, adds[k]), Qt::LeftButton);
    for (int k = 0; k < 3; ++k)
        QCOMPARE(model.listEntryCount(0, k), k + 1);

    // Several rows selected: only the first selected one goes.
    StateProxyModel *can = ed.listModel(2);
    const QStringList outputs = names(model, ItemType::CanOutput);
    for (int i = 0; i < 3; ++i)
        QVERIFY(can->setData(can->index(i, 0), outputs[i]));
    QTableView *canView = child<QTableView>(ed, views[2]);
    canView->selectionModel()->select(can->index(1, 0), QItemSelectionModel::Select);
    canView->selectionModel()->select(can->index(2, 0), QItemSelectionModel::Select);
    QTest::mouseClick(child<QPushButton>(ed, removes[2]), Qt::LeftButton);
    QCOMPARE(columnTexts(can), QStringList({outputs[0], outputs[2]}));

    for (int k = 0; k < 2; ++k) {
        child<QTableView>(ed, views[k])->selectRow(0);
        QTest::mouseClick(child<QPushButton>(ed, removes[k]), Qt::LeftButton);
        QCOMPARE(model.listEntryCount(0, k), k);
    }
    QCOMPARE(model.listEntryCount(0, 2), 2);
}

void TestEditors::listsSurviveSaveAndOpen()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("lists.kelda"));
    QStringList eventLists[4];
    QStringList stateLists[3];
    {
        PMModel model;
        addRows(model, 3, 1);
        addRows(model, 6, 1);
        addRows(model, 8, 1);
        addRows(model, 5, 2);
        StatesEditor states;
        states.setState(&model, 1);
        for (int k = 0; k < 3; ++k) {
            StateProxyModel *list = states.listModel(k);
            QVERIFY(list->addEntry(1, k));
            QVERIFY(list->setData(list->index(0, 0), list->choices().last()));
            stateLists[k] = columnTexts(list);
        }
        model.setMode(4);
        QVERIFY(model.insertRows(0, 1));
        EventsEditor events;
        events.setEvent(&model, 0);
        for (int k = 0; k < 4; ++k) {
            EventProxyModel *list = events.listModel(k);
            QVERIFY(list->addEntry(0, k));
            QVERIFY(list->setData(list->index(0, 0), list->choices().last()));
            eventLists[k] = columnTexts(list);
        }
        QVERIFY2(model.saveSetup(path), qPrintable(model.lastError()));
    }
    PMModel reopened;
    QVERIFY2(reopened.openSetup(path), qPrintable(reopened.lastError()));
    reopened.setMode(4);
    EventsEditor events;
    events.setEvent(&reopened, 0);
    for (int k = 0; k < 4; ++k)
        QCOMPARE(columnTexts(events.listModel(k)), eventLists[k]);
    QCOMPARE(eventLists[0], QStringList({reopened.itemName(ItemType::State, 1)}));
    QCOMPARE(eventLists[2], QStringList({reopened.itemName(ItemType::Timer, 0)}));
    reopened.setMode(5);
    StatesEditor states;
    states.setState(&reopened, 1);
    for (int k = 0; k < 3; ++k)
        QCOMPARE(columnTexts(states.listModel(k)), stateLists[k]);
    QCOMPARE(stateLists[0], QStringList({QStringLiteral("LX2 LED 32")}));
}

QTEST_MAIN(TestEditors)
#include "tst_editors.moc"
