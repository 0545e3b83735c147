// The simulator window's clock, changed-setup bar, event log, panel and
// timeline, offscreen through the real widgets; the log's CSV against
// kelda-cli simulate --trace on the same inputs.
#include <QAbstractItemModel>
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QListWidget>
#include <QPushButton>
#include <QPointer>
#include <QScreen>
#include <QScrollBar>
#include <QSplitter>
#include <QStandardPaths>
#include <QTabWidget>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include "clirun.h"
#include "kelda.h"
#include "pmmodel.h"
#include "scriptedprompter.h"
#include "settings.h"
#include "setupbuilder.h"
#include "testfiles.h"
#include "simeventlog.h"
#include "simpanel.h"
#include "simplot.h"
#include "simtimeline.h"
#include "simtrace.h"
#include "simulator.h"
#include "testenv.h"
#include "tst_sim.h"

using namespace kelda;
using namespace kelda::test;

namespace {

QTableWidget *table(Simulator *sim, const char *name)
{
    return sim->findChild<QTableWidget *>(QLatin1String(name));
}

template <typename T = QPushButton>
T *child(QWidget *w, const char *name)
{
    T *found = w->findChild<T *>(QLatin1String(name));
    if (!found)
        qWarning("no %s", name);
    return found;
}

bool ticked(Simulator *sim, const char *tableName, int row, int column = 1)
{
    const QTableWidgetItem *box = table(sim, tableName)->item(row, column);
    return box && box->checkState() == Qt::Checked;
}

void tick(Simulator *sim, const char *tableName, int row, bool on, int column = 1)
{
    table(sim, tableName)->item(row, column)->setCheckState(on ? Qt::Checked : Qt::Unchecked);
}

// Shown, and paused with the window's own button, so that the test drives the ticks.
Simulator *startPaused(PMModel &model)
{
    auto *sim = new Simulator();
    if (!model.writeRawImage(sim->imageFileName()))
        qWarning("compile failed: %s", qPrintable(model.imageError()));
    sim->start(model.session());
    sim->show();
    child(sim, "simPauseButton")->click();
    return sim;
}

// key 1 "Pressed" sets state 1, which drives LED 21 (index 20) and LX1 output
// 1, channel 3 of LX1-2.
void buildPressSetup(PMModel &model)
{
    SetupBuilder b(model);
    const int state = b.add(Mode::States);
    b.add(Mode::States);
    const int out = b.add(Mode::Lx1Outputs);
    b.lx1Mask(out, 1, 0x04);
    const int ev = b.add(Mode::Events);
    QVERIFY(b.input(ev, 0, ItemType::KeypadKey, 0, "Pressed"));
    QVERIFY(b.entry(Mode::Events, ev, 0, ItemType::State, state));
    QVERIFY(b.entry(Mode::States, state, 0, ItemType::Lx2Led, 20));
    QVERIFY(b.entry(Mode::States, state, 1, ItemType::Lx1Output, out));
}

// Ignition on sets "Beacons on" ("Beacons up"); holding "Arm" sets "Armed",
// and one tick later "Flash on" sets "Beacon flash" while "Beacons off",
// evaluated after "Beacons up", clears "Beacons on".
bool buildLogSetup(PMModel &model)
{
    SetupBuilder b(model);
    bool ok = b.set(Mode::Keypad, 0, KeypadCol::Name, QStringLiteral("Arm"))
        && b.set(Mode::Switches, 0, SwitchCol::Name, QStringLiteral("Ignition"));
    for (const char *name : {"Armed", "Beacon flash", "Beacons on"})
        ok = ok && b.set(Mode::States, b.state(), StateCol::Name, QString::fromLatin1(name));
    for (const char *name : {"Beacons up", "Arm", "Flash on", "Beacons off"})
        ok = ok && b.set(Mode::Events, b.event(), EventCol::Name, QString::fromLatin1(name));
    enum { Set, Clear };
    using T = ItemType;
    return ok && b.input(0, 0, T::Switch, 0, "High") && b.entry(Mode::Events, 0, Set, T::State, 2)
        && b.input(1, 0, T::KeypadKey, 0, "Pressed") && b.entry(Mode::Events, 1, Set, T::State, 0)
        && b.input(2, 0, T::State, 0, "Set") && b.entry(Mode::Events, 2, Set, T::State, 1)
        && b.input(3, 0, T::State, 0, "Set") && b.entry(Mode::Events, 3, Clear, T::State, 2);
}

// "RPM high" (0x123 word 1 > 3200) sets "Fast", which drives the CAN output
// "Fast flag" (0x300 byte 2 = 0xAB); "RPM low" (the same word < 3200) clears
// it; "Door" is byte 1 of 0x200 (= 1).
bool buildCanSetup(PMModel &model)
{
    SetupBuilder b(model);
    const int high = b.canInput(QStringLiteral("0x123"), QStringLiteral("Word 1"), 3200, QStringLiteral(">"));
    const int low = b.canInput(QStringLiteral("0x123"), QStringLiteral("Word 1"), 3200, QStringLiteral("<"));
    const int door = b.canInput(QStringLiteral("0x200"), QStringLiteral("Byte 1"), 1, QStringLiteral("="));
    const int flag = b.canOutput(QStringLiteral("0x300"), QStringLiteral("Byte 2"), 0xAB);
    const int fast = b.state(), ev = b.event(), slow = b.event();
    bool ok = b.set(Mode::CanInputs, high, 0, QStringLiteral("RPM high"))
        && b.set(Mode::CanInputs, low, 0, QStringLiteral("RPM low"))
        && b.set(Mode::CanInputs, door, 0, QStringLiteral("Door"))
        && b.set(Mode::CanOutputs, flag, 0, QStringLiteral("Fast flag"))
        && b.set(Mode::States, fast, StateCol::Name, QStringLiteral("Fast"));
    return ok && b.input(ev, 0, ItemType::CanInput, high, "-") && b.entry(Mode::Events, ev, 0, ItemType::State, fast)
        && b.input(slow, 0, ItemType::CanInput, low, "-") && b.entry(Mode::Events, slow, 1, ItemType::State, fast)
        && b.entry(Mode::States, fast, 2, ItemType::CanOutput, flag);
}

QString cell(QTableWidget *t, int row, int column)
{
    const QTableWidgetItem *item = t->item(row, column);
    return item ? item->text() : QStringLiteral("<no item>");
}

int signalOf(const SimTrace &trace, SimSignal::Kind kind, int row)
{
    for (size_t i = 0; i < trace.signalList().size(); ++i)
        if (trace.signalList()[i].kind == kind && trace.signalList()[i].row == row)
            return static_cast<int>(i);
    return -1;
}

bool changedTo(const SimTrace &trace, int signal, bool value, qint64 tick)
{
    for (const SimChange &c : trace.changes())
        if (c.signal == signal && c.value == value && c.tick == tick)
            return true;
    return false;
}

QList<Simulator *> openSimulators()
{
    QList<Simulator *> list;
    for (QWidget *w : QApplication::topLevelWidgets())
        if (auto *s = qobject_cast<Simulator *>(w))
            list << s;
    return list;
}

}  // namespace

class TestSimWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void pauseStepResetAndSpeed();
    void changedBarAndRestartKeepInputs();
    void eventLogLinesFilterAndCopy();
    void eventLogCsvIsTheCliTrace();
    void panelKeysAndSwitchesDriveTheInputs();
    void timelineDrawsThePickedSeries();
    void canValuesAndOutputFrames();
    void playLogThroughTheRun();
    void opensOnScreenAndRemembersItsLayout();
    void escapeAndTheRunningTip();
    void changedCellsAreRepainted();

private:
    QTemporaryDir m_config;
};

void TestSimWindow::initTestCase()
{
    QLocale::setDefault(QLocale::c());
    QStandardPaths::setTestModeEnabled(true);
    useConfigFolder(m_config.path());
}

void TestSimWindow::cleanup()
{
    qDeleteAll(openSimulators());
}

void TestSimWindow::pauseStepResetAndSpeed()
{
    PMModel model;
    buildPressSetup(model);
    auto *sim = new Simulator();
    QVERIFY(model.writeRawImage(sim->imageFileName()));
    sim->start(model.session());
    sim->show();
    QVERIFY(QTest::qWaitForWindowActive(sim));
    auto *clock = child<QLabel>(sim, "simClockLabel");
    auto *pause = child(sim, "simPauseButton");
    auto *step = child(sim, "simStepButton");
    QCOMPARE(pause->text(), QStringLiteral("Pause"));
    QVERIFY(!step->isEnabled());
    QTRY_VERIFY(sim->engine().tickCount() > 0);

    pause->click();
    QVERIFY(sim->isPaused());
    QVERIFY(!sim->tickTimer()->isActive());
    QCOMPARE(pause->text(), QStringLiteral("Run"));
    const qint64 at = sim->engine().tickCount();
    QTest::qWait(50);
    QCOMPARE(sim->engine().tickCount(), at);
    QCOMPARE(clock->text(),
             QStringLiteral("Time %1 s, tick %2 (paused)").arg(QString::number(double(at) / 100.0, 'f', 2)).arg(at));

    // Step: one tick by the button, one by the "." key.
    tick(sim, "keyPadTableWidget", 0, true);
    step->click();
    QCOMPARE(sim->engine().tickCount(), at + 1);
    QVERIFY(sim->engine().stateSet(0));
    QCOMPARE(table(sim, "stateTableWidget")->item(0, 1)->text(), QStringLiteral("Set"));
    QTest::keyClick(sim, Qt::Key_Period);
    QCOMPARE(sim->engine().tickCount(), at + 2);
    QCOMPARE(
        clock->text(),
        QStringLiteral("Time %1 s, tick %2 (paused)").arg(QString::number(double(at + 2) / 100.0, 'f', 2)).arg(at + 2));

    // Reset: tick 0, every input released, everything clear again.
    tick(sim, "switchTableWidget", 3, true);
    child(sim, "simResetButton")->click();
    QCOMPARE(sim->engine().tickCount(), 0);
    QCOMPARE(clock->text(), QStringLiteral("Time 0.00 s, tick 0 (paused)"));
    QVERIFY(!ticked(sim, "keyPadTableWidget", 0));
    QVERIFY(!ticked(sim, "switchTableWidget", 3));
    QVERIFY(!sim->panel()->key(0)->isDown());
    QVERIFY(!sim->engine().stateSet(0));
    // Drawn by the first tick, as after a start.
    QCOMPARE(table(sim, "stateTableWidget")->item(0, 1)->text(), QString());
    QVERIFY(sim->trace().changes().empty());
    QVERIFY(sim->eventLog()->shownLines().isEmpty());
    QVERIFY(sim->isPaused());
    step->click();
    QCOMPARE(sim->engine().tickCount(), 1);
    QVERIFY(!sim->engine().stateSet(0));
    QCOMPARE(table(sim, "stateTableWidget")->item(0, 1)->text(), QStringLiteral("Clear"));

    // Running, "." does nothing (and is left to the focused widget).
    auto *speed = child<QComboBox>(sim, "simSpeedCombo");
    QCOMPARE(speed->count(), 3);
    QCOMPARE(speed->itemText(1), QStringLiteral("×10"));
    // As fast as possible ticks in batches of 64 between drawings.
    speed->setCurrentIndex(2);
    QCOMPARE(sim->speed(), Simulator::Speed::Fastest);
    child(sim, "simResetButton")->click();
    pause->click();
    QVERIFY(!sim->isPaused());
    QCOMPARE(sim->tickTimer()->interval(), 0);
    QTRY_VERIFY(sim->engine().tickCount() >= 640);
    pause->click();
    QCOMPARE(sim->engine().tickCount() % 64, 0);
    speed->setCurrentIndex(0);
    QCOMPARE(sim->speed(), Simulator::Speed::RealTime);
    pause->click();
    QCOMPARE(sim->tickTimer()->interval(), 10);
}

void TestSimWindow::changedBarAndRestartKeepInputs()
{
    KELDA w;
    ScriptedPrompter *p = installPrompter(w, ScriptedPrompter::answer(QMessageBox::No));
    buildPressSetup(*w.model());
    w.startSimulation();
    QCOMPARE(openSimulators().size(), 1);
    Simulator *sim = openSimulators().first();
    child(sim, "simPauseButton")->click();
    auto *bar = child<QWidget>(sim, "simChangedBar");
    QVERIFY(!bar->isVisible());

    tick(sim, "keyPadTableWidget", 0, true);
    tick(sim, "switchTableWidget", 2, true);
    child(sim, "simStepButton")->click();
    child(sim, "simStepButton")->click();
    QVERIFY(sim->engine().stateSet(0));
    QCOMPARE(table(sim, "stateTableWidget")->rowCount(), 2);

    // An edit: the bar says so, the running image stays as it was.
    SetupBuilder(*w.model()).add(Mode::States);
    QVERIFY(bar->isVisible());
    QCOMPARE(child<QLabel>(bar, "")->text(), QStringLiteral("The setup has changed since this simulation started"));
    QCOMPARE(table(sim, "stateTableWidget")->rowCount(), 2);
    QCOMPARE(sim->engine().tickCount(), 2);

    child(sim, "simRestartButton")->click();
    QVERIFY(!bar->isVisible());
    QCOMPARE(table(sim, "stateTableWidget")->rowCount(), 3);
    QCOMPARE(sim->engine().tickCount(), 0);
    QVERIFY(!sim->engine().stateSet(0));
    QVERIFY(ticked(sim, "keyPadTableWidget", 0));
    QVERIFY(ticked(sim, "switchTableWidget", 2));
    QVERIFY(sim->panel()->key(0)->isDown());
    QVERIFY(sim->panel()->switchButton(2)->isChecked());
    QVERIFY(sim->isPaused());
    child(sim, "simStepButton")->click();
    QVERIFY(sim->engine().stateSet(0));
    QVERIFY(p->told.isEmpty());

    // A setup that no longer compiles: the window says why and runs on with
    // the image it has; Reset starts that image again.
    p->otherwise = ScriptedPrompter::answer(QMessageBox::Yes);
    QVERIFY(addRawItems(w.model()->session(), ItemType::Timer, kMaxTableItems + 1));
    SetupBuilder(*w.model()).add(Mode::States);
    QVERIFY(bar->isVisible());
    child(sim, "simRestartButton")->click();
    QCOMPARE(p->told.size(), 1);
    QVERIFY2(p->told[0].text.startsWith(QStringLiteral("The setup cannot be simulated.")), qPrintable(p->told[0].text));
    QVERIFY(bar->isVisible());
    QCOMPARE(table(sim, "stateTableWidget")->rowCount(), 3);
    child(sim, "simResetButton")->click();
    tick(sim, "keyPadTableWidget", 0, true);
    child(sim, "simStepButton")->click();
    QVERIFY(sim->engine().stateSet(0));
}

void TestSimWindow::eventLogLinesFilterAndCopy()
{
    PMModel model;
    QVERIFY(buildLogSetup(model));
    Simulator *sim = startPaused(model);
    tick(sim, "switchTableWidget", 0, true);
    for (int i = 0; i < 6756; ++i)
        sim->Update();
    tick(sim, "keyPadTableWidget", 0, true);
    child(sim, "simStepButton")->click();
    child(sim, "simStepButton")->click();
    child(sim, "simStepButton")->click();
    QCOMPARE(sim->engine().tickCount(), 6759);

    const QStringList all = {
        QStringLiteral("tick 1 (0.01 s): switch \"Ignition\" on; \"Beacons up\" set \"Beacons on\""),
        QStringLiteral("tick 6757 (67.57 s): key \"Arm P\" on; \"Arm\" set \"Armed\""),
        QStringLiteral(
            "tick 6758 (67.58 s): \"Flash on\" set \"Beacon flash\"; \"Beacons off\" cleared \"Beacons on\""),
    };
    SimEventLog *log = sim->eventLog();
    auto *view = child<QListView>(sim, "simEventLog");
    QCOMPARE(view->model()->rowCount(), 3);
    QCOMPARE(log->shownLines(), all);
    // One line per tick with a change, each change of the trace once.
    QCOMPARE(sim->trace().changes().size(), size_t(6));

    auto *filter = child<QLineEdit>(sim, "simEventFilter");
    QTest::keyClicks(filter, QStringLiteral("beacon FLASH"));
    QCOMPARE(log->shownLines(), QStringList{all[2]});
    filter->clear();
    QTest::keyClicks(filter, QStringLiteral("arm"));
    QCOMPARE(log->shownLines(), QStringList{all[1]});
    // New lines pass the same filter.
    tick(sim, "keyPadTableWidget", 0, false);
    child(sim, "simStepButton")->click();
    QCOMPARE(log->shownLines(), (QStringList{all[1], QStringLiteral("tick 6760 (67.60 s): key \"Arm P\" off")}));
    filter->clear();
    QCOMPARE(view->model()->rowCount(), 4);

    QApplication::clipboard()->clear();
    child(sim, "simEventCopyButton")->click();
    QCOMPARE(QApplication::clipboard()->text(), log->shownLines().join(QLatin1Char('\n')) + QLatin1Char('\n'));
    view->selectionModel()->select(view->model()->index(2, 0), QItemSelectionModel::Select);
    view->selectionModel()->select(view->model()->index(0, 0), QItemSelectionModel::Select);
    child(sim, "simEventCopyButton")->click();
    QCOMPARE(QApplication::clipboard()->text(), all[0] + QLatin1Char('\n') + all[2] + QLatin1Char('\n'));
}

void TestSimWindow::eventLogCsvIsTheCliTrace()
{
    QTemporaryDir dir;
    PMModel model;
    QVERIFY(buildLogSetup(model));
    const QString setup = dir.filePath(QStringLiteral("beacons.kelda"));
    QVERIFY(model.saveSetup(setup));

    // Inputs set before a tick are read by it, in the window as in a script.
    Simulator *sim = startPaused(model);
    tick(sim, "switchTableWidget", 0, true);
    for (int i = 0; i < 300; ++i)
        sim->Update();
    tick(sim, "keyPadTableWidget", 0, true);
    child(sim, "simStepButton")->click();
    tick(sim, "keyPadTableWidget", 1, true, 2);  // SP of key 2: seen by one tick
    tick(sim, "switchTableWidget", 0, false);
    for (int i = 0; i < 5; ++i)
        child(sim, "simStepButton")->click();
    tick(sim, "keyPadTableWidget", 0, false);
    child(sim, "simStepButton")->click();

    const QString saved = dir.filePath(QStringLiteral("log"));
    QStringList asked;
    SimDialogs dialogs;
    dialogs.saveFileName = [&](QWidget *, const QString &caption, const QString &filter) {
        asked << caption + QLatin1Char('|') + filter;
        return saved;
    };
    QStringList warned;
    dialogs.warn = [&](QWidget *, const QString &text) { warned << text; };
    sim->setDialogs(dialogs);
    child(sim, "simEventSaveButton")->click();
    QCOMPARE(asked, QStringList{QStringLiteral("Save Event Log|CSV files (*.csv)")});
    QVERIFY(warned.isEmpty());

    QFile script(dir.filePath(QStringLiteral("inputs.txt")));
    QVERIFY(script.open(QIODevice::WriteOnly));
    script.write("switch \"Ignition\" on\ntick 300\nkey \"Arm\" P on\ntick\nkey 2 SP on\nswitch 1 off\ntick 5\n"
                 "key \"Arm\" P off\ntick\n");
    script.close();
    const QString cliCsv = dir.filePath(QStringLiteral("cli.csv")), cliSvg = dir.filePath(QStringLiteral("cli.svg"));
    const CliRun r = runCli({QStringLiteral("simulate"), setup, QStringLiteral("--script"), script.fileName(),
                             QStringLiteral("--trace"), cliCsv, QStringLiteral("--plot"), cliSvg});
    QCOMPARE(r.exitCode, 0);
    // The whole run drawn from the window's trace is --plot's picture: one renderer.
    QFile plot(cliSvg);
    QVERIFY(plot.open(QIODevice::ReadOnly));
    QCOMPARE(simPlot(sim->trace(), SimPlotFormat::Svg), plot.readAll());
    QFile window(saved + QStringLiteral(".csv")), cli(cliCsv);
    QVERIFY(window.open(QIODevice::ReadOnly));
    QVERIFY(cli.open(QIODevice::ReadOnly));
    const QByteArray bytes = window.readAll();
    QCOMPARE(bytes, cli.readAll());
    QVERIFY(bytes.count('\n') > 8);

    // A file that cannot be written is said, not passed over.
    dialogs.saveFileName = [&](QWidget *, const QString &, const QString &) { return dir.filePath("no/such/log.csv"); };
    sim->setDialogs(dialogs);
    child(sim, "simEventSaveButton")->click();
    QCOMPARE(warned.size(), 1);
    QVERIFY2(warned[0].startsWith(QStringLiteral("cannot write ")), qPrintable(warned[0]));

    // Neither the log nor the plot is written over the setup being simulated,
    // by its name or through a link.
    sim->setSetupFile(setup);
    const QByteArray setupBytes = readFile(setup);
    QVERIFY(QFile::link(setup, dir.filePath(QStringLiteral("link.csv"))));
    for (const QString &answer : {setup, dir.filePath(QStringLiteral("link.csv"))})
        for (const char *button : {"simEventSaveButton", "simSavePlotButton"}) {
            dialogs.saveFileName = [&](QWidget *, const QString &, const QString &) { return answer; };
            sim->setDialogs(dialogs);
            warned.clear();
            child(sim, button)->click();
            QCOMPARE(
                warned,
                QStringList{QStringLiteral("cannot write %1: that is the setup file being simulated").arg(answer)});
            QCOMPARE(readFile(setup), setupBytes);
        }
}

void TestSimWindow::panelKeysAndSwitchesDriveTheInputs()
{
    PMModel model;
    buildPressSetup(model);
    Simulator *sim = startPaused(model);
    SimPanel *panel = sim->panel();
    QCOMPARE(panel->objectName(), QStringLiteral("simPanel"));
    QTableWidget *keys = table(sim, "keyPadTableWidget");
    QTableWidget *switches = table(sim, "switchTableWidget");
    QTableWidget *leds = table(sim, "LEDTableWidget");
    QCOMPARE(panel->keyCount(), 25);
    for (int r = 0; r < 25; ++r) {
        QCOMPARE(panel->key(r)->accessibleName(), keys->item(r, 0)->text());
        QCOMPARE(panel->switchButton(r)->accessibleName(), switches->item(r, 0)->text());
    }
    for (int r = 0; r < 32; ++r)
        QCOMPARE(panel->led(r)->accessibleName(), leds->item(r, 0)->text());
    QCOMPARE(panel->channel(1, 2)->accessibleName(), QStringLiteral("LX1-2.3"));
    // Keys in a 5 x 5 grid, row by row.
    QCOMPARE(panel->key(1)->y(), panel->key(0)->y());
    QVERIFY(panel->key(5)->y() > panel->key(0)->y());
    QCOMPARE(panel->key(5)->x(), panel->key(0)->x());

    // Held by the mouse: held on the module while down (the box is left
    // alone); the press model makes Pressed of it.
    QTest::mousePress(panel->key(0), Qt::LeftButton);
    QVERIFY(sim->engine().keyHeld(0));
    QVERIFY(!ticked(sim, "keyPadTableWidget", 0));
    child(sim, "simStepButton")->click();
    QVERIFY(sim->engine().stateSet(0));
    QVERIFY(panel->led(20)->isOn());
    QCOMPARE(panel->led(20)->accessibleDescription(), QStringLiteral("on"));
    QVERIFY(!panel->led(19)->isOn());
    QVERIFY(panel->channel(1, 2)->isOn());
    QVERIFY(!panel->channel(1, 1)->isOn());
    QTest::mouseRelease(panel->key(0), Qt::LeftButton);
    QVERIFY(!sim->engine().keyHeld(0));
    child(sim, "simStepButton")->click();
    const int p1 = signalOf(sim->trace(), SimSignal::Kind::Key, 0);
    QVERIFY(changedTo(sim->trace(), p1, true, 1));
    QVERIFY(changedTo(sim->trace(), p1, false, 2));

    // Held by Space on the focused key.
    QAbstractButton *second = panel->key(1);
    second->setFocus();
    QTest::keyPress(second, Qt::Key_Space);
    QVERIFY(sim->engine().keyHeld(1));
    child(sim, "simStepButton")->click();
    child(sim, "simStepButton")->click();
    QVERIFY(sim->engine().keyHeld(1));
    QVERIFY(!ticked(sim, "keyPadTableWidget", 1));
    QTest::keyRelease(second, Qt::Key_Space);
    QVERIFY(!sim->engine().keyHeld(1));
    child(sim, "simStepButton")->click();
    const int p2 = signalOf(sim->trace(), SimSignal::Kind::Key, 4);
    QVERIFY(changedTo(sim->trace(), p2, true, 3));
    QVERIFY(changedTo(sim->trace(), p2, false, 5));

    // Switches toggle by click and by Space.
    QTest::mouseClick(panel->switchButton(2), Qt::LeftButton);
    QVERIFY(ticked(sim, "switchTableWidget", 2));
    child(sim, "simStepButton")->click();
    QVERIFY(changedTo(sim->trace(), signalOf(sim->trace(), SimSignal::Kind::Switch, 2), true, 6));
    panel->switchButton(2)->setFocus();
    QTest::keyClick(panel->switchButton(2), Qt::Key_Space);
    QVERIFY(!ticked(sim, "switchTableWidget", 2));
    QVERIFY(!panel->switchButton(2)->isChecked());

    // The tables' boxes show on the panel too.
    tick(sim, "keyPadTableWidget", 3, true);
    QVERIFY(panel->key(3)->isDown());
    tick(sim, "switchTableWidget", 4, true);
    QVERIFY(panel->switchButton(4)->isChecked());
    tick(sim, "keyPadTableWidget", 3, false);
    QVERIFY(!panel->key(3)->isDown());
}

void TestSimWindow::timelineDrawsThePickedSeries()
{
    PMModel model;
    buildPressSetup(model);
    Simulator *sim = startPaused(model);
    sim->resize(1000, 800);
    child<QTabWidget>(sim, "simViews")->setCurrentIndex(2);
    SimTimeline *timeline = sim->timeline();
    QCOMPARE(timeline->objectName(), QStringLiteral("simTimeline"));
    const SimTrace &trace = sim->trace();
    const int state1 = signalOf(trace, SimSignal::Kind::State, 0), state2 = signalOf(trace, SimSignal::Kind::State, 1);
    const int led = signalOf(trace, SimSignal::Kind::Led, 20);
    // Every state is picked at first; the LED is picked in the list.
    QCOMPARE(timeline->picked(), (std::vector<int>{state1, state2}));
    auto *series = child<QListWidget>(sim, "simTimelineSeries");
    series->item(led)->setCheckState(Qt::Checked);
    QCOMPARE(timeline->picked(), (std::vector<int>{state1, state2, led}));

    tick(sim, "keyPadTableWidget", 0, true);
    for (int i = 0; i < 5; ++i)
        child(sim, "simStepButton")->click();
    QWidget *canvas = timeline->canvas();
    QTRY_COMPARE(canvas->minimumHeight(), 10 + 3 * 22 + 34);

    // High (filled) where on, up to the tick the run has reached, not beyond.
    const SimPlotView view = timeline->view();
    QCOMPARE(view.from, 0);
    QCOMPARE(view.to, 1000);
    QCOMPARE(view.until, 5);
    const QImage image = canvas->grab().toImage();
    const int x0 = simPlotChromeWidth(trace, view) - 20;
    auto highIn = [&](int row, double fromTick, double toTick) {
        int count = 0;
        const int y = 10 + row * 22 + 11;
        for (int x = x0 + int(fromTick * view.plotWidth / 1000); x <= x0 + int(toTick * view.plotWidth / 1000); ++x)
            count += image.pixelColor(x, y) == QColor(120, 200, 120);
        return count;
    };
    QVERIFY(highIn(0, 1.5, 4.5) > 0);
    QVERIFY(highIn(2, 1.5, 4.5) > 0);
    QCOMPARE(highIn(1, 0, 1000), 0);
    QCOMPARE(highIn(0, 10, 1000), 0);

    // Scrollable back over the whole run; following the run at the right end.
    for (int i = 0; i < 2000; ++i)
        sim->Update();
    QScrollBar *scroll = timeline->scrollBar();
    QTRY_COMPARE(scroll->maximum(), 2005 - 1000);
    QCOMPARE(scroll->value(), scroll->maximum());
    QCOMPARE(timeline->view().from, 1005);
    scroll->triggerAction(QAbstractSlider::SliderToMinimum);
    QTRY_COMPARE(timeline->view().from, 0);
    for (int i = 0; i < 100; ++i)
        sim->Update();
    QTest::qWait(80);
    QCOMPARE(timeline->view().from, 0);
    scroll->triggerAction(QAbstractSlider::SliderToMaximum);
    QTRY_COMPARE(timeline->view().from, 2105 - 1000);

    // Save Plot: what is shown, as SVG or PNG by the name.
    QTemporaryDir dir;
    QString answer;
    SimDialogs dialogs;
    dialogs.saveFileName = [&](QWidget *, const QString &, const QString &) { return answer; };
    QStringList warned;
    dialogs.warn = [&](QWidget *, const QString &text) { warned << text; };
    sim->setDialogs(dialogs);
    answer = dir.filePath(QStringLiteral("run"));
    child(sim, "simSavePlotButton")->click();
    QFile svg(answer + QStringLiteral(".svg"));
    QVERIFY(svg.open(QIODevice::ReadOnly));
    const QByteArray svgBytes = svg.readAll();
    QVERIFY(svgBytes.contains("<svg"));
    QCOMPARE(svgBytes, simPlot(trace, timeline->view(), SimPlotFormat::Svg));
    answer = dir.filePath(QStringLiteral("run.png"));
    child(sim, "simSavePlotButton")->click();
    const QImage png(answer);
    QCOMPARE(png.size(), simPlotSize(trace, timeline->view()));
    QVERIFY(warned.isEmpty());
}

void TestSimWindow::canValuesAndOutputFrames()
{
    PMModel model;
    QVERIFY(buildCanSetup(model));
    Simulator *sim = startPaused(model);
    QStringList warned;
    SimDialogs dialogs;
    dialogs.warn = [&](QWidget *, const QString &text) { warned << text; };
    sim->setDialogs(dialogs);
    auto *values = child<QTableWidget>(sim, "simCanValues");
    auto *outputs = child<QTableWidget>(sim, "simCanOutputs");
    // One row per channel that inputs read, each with the inputs reading it.
    QCOMPARE(values->rowCount(), 2);
    QCOMPARE(cell(values, 0, 0), QStringLiteral("0x123"));
    QCOMPARE(cell(values, 0, 1), QStringLiteral("Word 1"));
    QCOMPARE(cell(values, 1, 0), QStringLiteral("0x200"));
    QCOMPARE(cell(values, 1, 1), QStringLiteral("Byte 1"));
    QCOMPARE(cell(values, 0, 2), QString());
    QCOMPARE(cell(values, 0, 3), QStringLiteral("\"RPM high\" off, \"RPM low\" off"));
    QCOMPARE(outputs->rowCount(), 1);
    QCOMPARE(cell(outputs, 0, 1), QStringLiteral("00 00 00 00 00 00 00 00"));

    // Until a value is typed the boxes are the inputs, as they always were.
    tick(sim, "CANInpTableWidget", 0, true);
    child(sim, "simStepButton")->click();
    QVERIFY(sim->engine().stateSet(0));
    tick(sim, "CANInpTableWidget", 0, false);
    child(sim, "simResetButton")->click();

    values->item(0, 2)->setText(QStringLiteral("4000"));
    QVERIFY(sim->engine().canFrames());
    QCOMPARE(cell(values, 0, 2), QStringLiteral("4000"));
    QCOMPARE(cell(values, 0, 3), QStringLiteral("\"RPM high\" on, \"RPM low\" off"));
    child(sim, "simStepButton")->click();
    QVERIFY(sim->engine().stateSet(0));
    QCOMPARE(cell(outputs, 0, 0), QStringLiteral("0x300"));
    QCOMPARE(cell(outputs, 0, 1), QStringLiteral("00 AB 00 00 00 00 00 00"));
    QCOMPARE(cell(outputs, 0, 2), QStringLiteral("\"Fast flag\""));
    QVERIFY(sim->panel()->canOutput(0)->isOn());
    QCOMPARE(sim->panel()->canOutput(0)->accessibleName(), QStringLiteral("Fast flag"));

    // Hex works; a value the channel cannot hold is refused and said.
    values->item(0, 2)->setText(QStringLiteral("0x0C7F"));
    QCOMPARE(cell(values, 0, 2), QStringLiteral("3199"));
    QCOMPARE(cell(values, 0, 3), QStringLiteral("\"RPM high\" off, \"RPM low\" on"));
    values->item(1, 2)->setText(QStringLiteral("256"));
    QCOMPARE(warned.size(), 1);
    QVERIFY2(warned[0].contains(QStringLiteral("from 0 to 255")), qPrintable(warned[0]));
    QCOMPARE(cell(values, 1, 2), QString());
    values->item(1, 2)->setText(QStringLiteral("1"));
    QCOMPARE(cell(values, 1, 3), QStringLiteral("\"Door\" on"));
    // With frames deciding, a box sets its input until the next frame.
    tick(sim, "CANInpTableWidget", 2, false);
    tick(sim, "CANInpTableWidget", 2, true);
    tick(sim, "CANInpTableWidget", 2, false);
    QVERIFY(!sim->engine().canInputResult(2));
    child(sim, "simStepButton")->click();
    QCOMPARE(cell(values, 1, 3), QStringLiteral("\"Door\" off"));
    child(sim, "simStepButton")->click();
    QVERIFY(!sim->engine().stateSet(0));
    QCOMPARE(cell(outputs, 0, 1), QStringLiteral("00 00 00 00 00 00 00 00"));
    QCOMPARE(cell(outputs, 0, 2), QString());
    QVERIFY(!sim->panel()->canOutput(0)->isOn());
}

void TestSimWindow::playLogThroughTheRun()
{
    QTemporaryDir dir;
    PMModel model;
    QVERIFY(buildCanSetup(model));
    Simulator *sim = startPaused(model);
    const QString log = dir.filePath(QStringLiteral("drive.log"));
    QFile file(log);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("(1000.000000) can0 123#0FA0\n(1000.050000) can0 123#0064\nnot a frame\n"
               "(1000.100000) can0 200#01\n");
    file.close();
    QStringList warned, opened;
    SimDialogs dialogs;
    dialogs.warn = [&](QWidget *, const QString &text) { warned << text; };
    dialogs.openFileName = [&](QWidget *, const QString &caption, const QString &) {
        opened << caption;
        return log;
    };
    sim->setDialogs(dialogs);
    auto *values = child<QTableWidget>(sim, "simCanValues");
    auto *label = child<QLabel>(sim, "simPlayLogLabel");
    for (int i = 0; i < 3; ++i)
        child(sim, "simStepButton")->click();

    // The log's first frame falls at the current tick; paused, nothing moves.
    child(sim, "simPlayLogButton")->click();
    QCOMPARE(opened, QStringList{QStringLiteral("Play CAN Log")});
    QVERIFY(sim->playingLog());
    QCOMPARE(label->text(), QStringLiteral("Playing drive.log: 0.00 s"));
    QTest::qWait(30);
    QCOMPARE(cell(values, 0, 2), QString());
    child(sim, "simStepButton")->click();
    QCOMPARE(cell(values, 0, 2), QStringLiteral("4000"));
    QCOMPARE(label->text(), QStringLiteral("Playing drive.log: 0.01 s"));
    QVERIFY(sim->engine().stateSet(0));  // the tick that sees the frame
    // A frame stamped 50 ms in is seen by the tick at 60 ms.
    for (int i = 0; i < 4; ++i)
        child(sim, "simStepButton")->click();
    QCOMPARE(cell(values, 0, 2), QStringLiteral("4000"));
    QVERIFY(sim->engine().stateSet(0));
    QTest::keyClick(sim, Qt::Key_Period);
    QCOMPARE(cell(values, 0, 2), QStringLiteral("100"));
    QVERIFY(!sim->engine().stateSet(0));
    QCOMPARE(cell(values, 0, 3), QStringLiteral("\"RPM high\" off, \"RPM low\" on"));
    for (int i = 0; i < 5; ++i)
        child(sim, "simStepButton")->click();
    QCOMPARE(cell(values, 1, 3), QStringLiteral("\"Door\" on"));
    QVERIFY(!sim->playingLog());
    // The unreadable line is said with its place, not passed over.
    QVERIFY2(label->text().startsWith(QStringLiteral("drive.log played to its end (0.11 s)")),
             qPrintable(label->text()));
    QVERIFY2(label->toolTip().contains(QStringLiteral("drive.log:3")), qPrintable(label->toolTip()));
    QVERIFY(warned.isEmpty());

    // The run's own speed plays it: running, the log goes on by itself.
    child(sim, "simResetButton")->click();
    QVERIFY(label->text().isEmpty());
    QVERIFY(!sim->engine().canFrames());
    QCOMPARE(cell(values, 0, 2), QString());
    child(sim, "simPlayLogButton")->click();
    child(sim, "simPauseButton")->click();
    QTRY_VERIFY(!sim->playingLog());
    QCOMPARE(cell(values, 1, 3), QStringLiteral("\"Door\" on"));

    // A log that cannot be read is said.
    QVERIFY(!sim->playLog(dir.filePath(QStringLiteral("missing.log"))));
    QCOMPARE(warned.size(), 1);
    QVERIFY2(warned[0].startsWith(QStringLiteral("cannot read ")), qPrintable(warned[0]));
}

void TestSimWindow::opensOnScreenAndRemembersItsLayout()
{
    // Never closed before: the content's size, at least the default, within the screen.
    {
        const auto s = kelda::settings::open();
        s->remove(kelda::settings::keyName(kelda::settings::Key::SimulatorGeometry));
        s->remove(kelda::settings::keyName(kelda::settings::Key::SimulatorSplitter));
    }
    const QRect big(0, 0, 1920, 1080), small(100, 50, 800, 600);
    QCOMPARE(Simulator::fittedGeometry({1100, 820}, big), QRect(410, 130, 1100, 820));
    QCOMPARE(Simulator::fittedGeometry({1100, 820}, small), small);
    QCOMPARE(Simulator::fittedGeometry({3000, 500}, small), QRect(100, 100, 800, 500));

    PMModel model;
    buildPressSetup(model);
    QPointer<Simulator> sim = startPaused(model);
    QVERIFY(QTest::qWaitForWindowExposed(sim));
    const QRect available = sim->screen()->availableGeometry();
    // Cut to the screen, but never below what the content needs (the offscreen
    // screen is 800 wide; the controls need a little more).
    const QSize fits = sim->sizeHint().expandedTo(Simulator::kDefaultSize).boundedTo(available.size());
    QCOMPARE(sim->size(), fits.expandedTo(sim->minimumSizeHint()));
    const QRect onScreen = sim->frameGeometry() & available;
    QCOMPARE(onScreen.topLeft(), sim->frameGeometry().topLeft());
    QCOMPARE(onScreen.size(), sim->frameGeometry().size().boundedTo(available.size()));
    QVERIFY(sim->width() > 767 || sim->width() == available.width());
    QVERIFY(sim->height() > 527 || sim->height() == available.height());

    // Closed, it keeps its size, place and splitter for the next window.
    auto *split = child<QSplitter>(sim, "simSplitter");
    const QPoint frame = sim->geometry().topLeft() - sim->frameGeometry().topLeft();
    const QRect placed(available.topLeft() + frame + QPoint(0, 20), sim->minimumSizeHint().expandedTo(QSize(700, 520)));
    sim->setGeometry(placed);
    QTRY_COMPARE(sim->geometry(), placed);
    QTRY_COMPARE(split->height(), split->sizes()[0] + split->sizes()[1] + split->handleWidth());
    const QList<int> first = split->sizes();
    split->setSizes({split->height() * 3 / 4, split->height() / 4});
    const QList<int> sizes = split->sizes();
    QVERIFY(sizes != first);
    sim->close();
    QTRY_VERIFY(!sim);

    sim = startPaused(model);
    QVERIFY(QTest::qWaitForWindowExposed(sim));
    QTRY_COMPARE(sim->geometry(), placed);
    QCOMPARE(child<QSplitter>(sim, "simSplitter")->sizes(), sizes);

    // Left where the screen has gone: back on this one.
    sim->setGeometry(QRect(available.right() + 4000, available.bottom() + 3000, 600, 400));
    sim->close();
    QTRY_VERIFY(!sim);
    sim = startPaused(model);
    QVERIFY(QTest::qWaitForWindowExposed(sim));
    QVERIFY(available.contains(sim->frameGeometry().topLeft()));
    QCOMPARE(sim->size(), QSize(600, 400).expandedTo(sim->minimumSizeHint()));
}

void TestSimWindow::escapeAndTheRunningTip()
{
    PMModel model;
    buildPressSetup(model);
    QPointer<Simulator> sim = startPaused(model);
    QVERIFY(QTest::qWaitForWindowActive(sim));
    // Esc on the window, on a table and on the log's filter: the run goes on.
    child(sim, "simPauseButton")->click();
    QVERIFY(!sim->isPaused());
    QTest::keyClick(sim, Qt::Key_Escape);
    QTableWidget *states = table(sim, "stateTableWidget");
    states->setFocus();
    QTest::keyClick(states, Qt::Key_Escape);
    auto *filter = child<QLineEdit>(sim, "simEventFilter");
    filter->setFocus();
    QTest::keyClick(filter, Qt::Key_Escape);
    QCoreApplication::processEvents();
    QVERIFY(sim);
    QVERIFY(sim->isVisible());
    QVERIFY(sim->tickTimer()->isActive());

    // The engine keeps the time a timer has left and counts it down; the tip says so, after a reset too.
    for (int round = 0; round < 2; ++round) {
        const QString tip = table(sim, "timerTableWidget")->horizontalHeaderItem(1)->toolTip();
        QVERIFY2(tip.startsWith(QStringLiteral("Remaining time in seconds")), qPrintable(tip));
        QVERIFY(tip.contains(QStringLiteral("counted down")));
        child(sim, "simResetButton")->click();
    }
}

void TestSimWindow::changedCellsAreRepainted()
{
    // Cells change in place without telling the model: the view must still paint them.
    PMModel model;
    buildPressSetup(model);
    QPointer<Simulator> sim = startPaused(model);
    QVERIFY(QTest::qWaitForWindowExposed(sim));
    QTableWidget *states = table(sim, "stateTableWidget");
    QTableWidget *grid = table(sim, "LX1TableWidget");
    auto shown = [](QTableWidget *t, int row, int column) {
        QCoreApplication::processEvents();
        const QRect r = t->visualItemRect(t->item(row, column));
        return t->viewport()->grab().toImage().pixelColor(r.center() + QPoint(r.width() / 4, 0));
    };
    child(sim, "simStepButton")->click();
    QCOMPARE(shown(states, 0, 1), QColor(Qt::white));
    QCOMPARE(shown(grid, 1, 2), QColor(Qt::white));
    tick(sim, "keyPadTableWidget", 0, true);
    child(sim, "simStepButton")->click();
    QCOMPARE(states->item(0, 1)->text(), QStringLiteral("Set"));
    QCOMPARE(shown(states, 0, 1), QColor(Qt::green));
    QCOMPARE(shown(states, 1, 1), QColor(Qt::white));
    QCOMPARE(shown(grid, 1, 2), QColor(Qt::green));
    QCOMPARE(shown(grid, 1, 3), QColor(Qt::white));
    tick(sim, "keyPadTableWidget", 0, false);
    child(sim, "simResetButton")->click();
    child(sim, "simStepButton")->click();
    QCOMPARE(shown(states, 0, 1), QColor(Qt::white));
    // The "why" tooltip survives drawing in place.
    QVERIFY(!states->item(0, 1)->toolTip().isEmpty());
}

QObject *makeWindowViewTests()
{
    return new TestSimWindow;
}

#include "tst_simwindow.moc"
