// The simulator window, offscreen: its tables, the drawing of a tick, the
// used-I/O filter, its lifetime, and "&Go" from the main window.
#include <QAction>
#include <QFile>
#include <QHeaderView>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QStandardPaths>
#include <QFileInfo>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <memory>

#include "kelda.h"
#include "pmmodel.h"
#include "scriptedprompter.h"
#include "setupbuilder.h"
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

QColor background(QTableWidget *t, int row, int column)
{
    const QTableWidgetItem *item = t->item(row, column);
    return item ? item->background().color() : QColor();
}

QString text(QTableWidget *t, int row, int column)
{
    const QTableWidgetItem *item = t->item(row, column);
    return item ? item->text() : QStringLiteral("<no item>");
}

// Starts a window on the model's setup and stops its timer, so that the test
// drives the ticks.
Simulator *startOn(PMModel &model)
{
    auto *sim = new Simulator();
    if (!model.writeRawImage(sim->imageFileName()))
        qWarning("compile failed: %s", qPrintable(model.imageError()));
    sim->start(model.session());
    sim->tickTimer()->stop();
    return sim;
}

QList<Simulator *> openSimulators()
{
    QList<Simulator *> list;
    for (QWidget *w : QApplication::topLevelWidgets())
        if (auto *s = qobject_cast<Simulator *>(w))
            list << s;
    return list;
}

// key 1 "Pressed" sets state 1 and starts timer 1 (0.5 s); state 1 drives
// LED 20 and LX1 output 1, which switches channel 3 of LX1-2.
void buildPressSetup(PMModel &model)
{
    SetupBuilder b(model);
    const int timer = b.timer(0.5);
    const int state = b.add(Mode::States);
    b.add(Mode::States);
    const int out = b.add(Mode::Lx1Outputs);
    b.add(Mode::Lx1Outputs);
    b.lx1Mask(out, 1, 0x04);
    const int ev = b.add(Mode::Events);
    QVERIFY(b.input(ev, 0, ItemType::KeypadKey, 0, "Pressed"));
    QVERIFY(b.entry(Mode::Events, ev, 0, ItemType::State, state));
    QVERIFY(b.entry(Mode::Events, ev, 2, ItemType::Timer, timer));
    QVERIFY(b.entry(Mode::States, state, 0, ItemType::Lx2Led, 20));
    QVERIFY(b.entry(Mode::States, state, 1, ItemType::Lx1Output, out));
}

}  // namespace

class TestSimulator : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void formOfANewSetup();
    void aTickDrawsStatesTimersOutputsLedsAndGrid();
    void shortPressShowsForOneTick();
    void timerRunsEvery10ms();
    void whyIsThisOn();
    void showUsedIoOnly();
    void closingDestroysTheWindow();
    void goFromTheMainWindow();
    void goRefusesASetupThatDoesNotCompile();

private:
    QTemporaryDir m_config;
};

void TestSimulator::initTestCase()
{
    QLocale::setDefault(QLocale::c());
    QStandardPaths::setTestModeEnabled(true);
    useConfigFolder(m_config.path());
}

void TestSimulator::cleanup()
{
    qDeleteAll(openSimulators());
}

void TestSimulator::formOfANewSetup()
{
    PMModel model;
    std::unique_ptr<Simulator> sim(startOn(model));
    sim->setAttribute(Qt::WA_DeleteOnClose, false);
    QCOMPARE(sim->windowTitle(), QStringLiteral("Form"));
    QCOMPARE(sim->size(), QSize(767, 527));

    struct Expect {
        const char *name;
        int rows;
        QStringList labels;
    };
    const QList<Expect> expected = {
        {"keyPadTableWidget", 25, {"Keypad", "P", "SP", "LP", "DP"}},
        {"switchTableWidget", 25, {"Switches", "ON"}},
        {"CANInpTableWidget", 0, {"CAN Inputs", "ON"}},
        {"stateTableWidget", 0, {"State", "Set / Clear"}},
        {"timerTableWidget", 0, {"Timer", "Running"}},
        {"outputTableWidget", 0, {"Output", "Active"}},
        {"LEDTableWidget", 32, {"LED", "On / Off"}},
        {"LX1TableWidget", 8, {"1", "2", "3", "4", "5", "6", "7", "8"}},
    };
    for (const Expect &e : expected) {
        QTableWidget *t = table(sim.get(), e.name);
        QVERIFY2(t, e.name);
        QCOMPARE(t->rowCount(), e.rows);
        QCOMPARE(t->columnCount(), int(e.labels.size()));
        for (int c = 0; c < e.labels.size(); ++c)
            QCOMPARE(t->horizontalHeaderItem(c)->text(), e.labels[c]);
        QCOMPARE(t->verticalHeader()->defaultSectionSize(), 18);
        if (e.labels.size() == 2) {
            QCOMPARE(t->columnWidth(0), 120);
            QCOMPARE(t->columnWidth(1), 70);
        }
    }
    QTableWidget *keys = table(sim.get(), "keyPadTableWidget");
    QCOMPARE(keys->columnWidth(0), 100);
    QCOMPARE(keys->columnWidth(3), 25);
    QTableWidget *grid = table(sim.get(), "LX1TableWidget");
    QCOMPARE(grid->columnWidth(5), 20);
    QCOMPARE(grid->verticalHeaderItem(0)->text(), QStringLiteral("LX1-1"));
    QCOMPARE(grid->verticalHeaderItem(7)->text(), QStringLiteral("LX1-8"));

    // Names come from the copy; they are shown, not editable; boxes start unticked.
    QCOMPARE(text(keys, 0, 0), model.itemName(ItemType::KeypadKey, 0));
    QCOMPARE(text(table(sim.get(), "LEDTableWidget"), 31, 0), model.itemName(ItemType::Lx2Led, 31));
    QCOMPARE(keys->item(0, 0)->flags(), Qt::NoItemFlags);
    QCOMPARE(keys->item(24, 4)->flags(), Qt::ItemIsUserCheckable | Qt::ItemIsEnabled);
    QCOMPARE(keys->item(24, 4)->checkState(), Qt::Unchecked);

    for (const char *rb : {"rbShowAll", "rbShowUsed"}) {
        auto *button = sim->findChild<QRadioButton *>(QLatin1String(rb));
        QVERIFY(button);
        QVERIFY(!button->isChecked());
    }
    QCOMPARE(sim->findChild<QRadioButton *>("rbShowUsed")->text(), QStringLiteral("Show Used I/O Only"));
    QCOMPARE(sim->findChild<QPushButton *>("btnClose")->text(), QStringLiteral("Close"));

    sim->Update();
    QTableWidget *leds = table(sim.get(), "LEDTableWidget");
    for (int r = 0; r < 32; ++r) {
        QCOMPARE(text(leds, r, 1), QStringLiteral("OFF"));
        QCOMPARE(background(leds, r, 1), QColor(Qt::white));
    }
    for (int m = 0; m < 8; ++m)
        for (int c = 0; c < 8; ++c) {
            QCOMPARE(text(grid, m, c), QStringLiteral(" "));
            QCOMPARE(background(grid, m, c), QColor(Qt::white));
        }
}

void TestSimulator::aTickDrawsStatesTimersOutputsLedsAndGrid()
{
    PMModel model;
    buildPressSetup(model);
    Simulator *sim = startOn(model);
    QTableWidget *keys = table(sim, "keyPadTableWidget");
    QTableWidget *states = table(sim, "stateTableWidget");
    QTableWidget *timers = table(sim, "timerTableWidget");
    QTableWidget *outputs = table(sim, "outputTableWidget");
    QTableWidget *leds = table(sim, "LEDTableWidget");
    QTableWidget *grid = table(sim, "LX1TableWidget");
    QCOMPARE(states->rowCount(), 2);
    QCOMPARE(outputs->rowCount(), 2);
    QCOMPARE(text(states, 0, 0), model.itemName(ItemType::State, 0));

    sim->Update();
    QCOMPARE(text(states, 0, 1), QStringLiteral("Clear"));
    QCOMPARE(background(states, 0, 1), QColor(Qt::white));
    QCOMPARE(text(timers, 0, 1), QStringLiteral("0"));
    QCOMPARE(text(outputs, 0, 1), QStringLiteral(" "));

    keys->item(0, 1)->setCheckState(Qt::Checked);  // "P" of key row 1
    sim->Update();
    QCOMPARE(text(states, 0, 1), QStringLiteral("Set"));
    QCOMPARE(background(states, 0, 1), QColor(Qt::green));
    QCOMPARE(text(states, 1, 1), QStringLiteral("Clear"));
    QCOMPARE(background(states, 1, 1), QColor(Qt::white));
    QCOMPARE(text(timers, 0, 1), QStringLiteral("0.5"));
    QCOMPARE(text(outputs, 0, 1), QStringLiteral("Active"));
    QCOMPARE(background(outputs, 0, 1), QColor(Qt::green));
    QCOMPARE(text(outputs, 1, 1), QStringLiteral(" "));
    QCOMPARE(background(outputs, 1, 1), QColor(Qt::white));
    for (int r = 0; r < 32; ++r) {
        QCOMPARE(text(leds, r, 1), r == 20 ? QStringLiteral("ON") : QStringLiteral("OFF"));
        QCOMPARE(background(leds, r, 1), r == 20 ? QColor(Qt::green) : QColor(Qt::white));
    }
    for (int m = 0; m < 8; ++m)
        for (int c = 0; c < 8; ++c)
            QCOMPARE(background(grid, m, c), (m == 1 && c == 2) ? QColor(Qt::green) : QColor(Qt::white));
    QVERIFY(keys->item(0, 1)->checkState() == Qt::Checked);  // held: stays ticked

    keys->item(0, 1)->setCheckState(Qt::Unchecked);
    sim->Update();
    QCOMPARE(text(timers, 0, 1), QStringLiteral("0.49"));
    sim->Update();
    QCOMPARE(text(timers, 0, 1), QStringLiteral("0.48"));
    QCOMPARE(text(states, 0, 1), QStringLiteral("Set"));
    for (int i = 0; i < 48; ++i)
        sim->Update();
    QCOMPARE(text(timers, 0, 1), QStringLiteral("0"));
}

void TestSimulator::shortPressShowsForOneTick()
{
    PMModel model;
    Simulator *sim = startOn(model);
    QTableWidget *keys = table(sim, "keyPadTableWidget");
    for (int c = 2; c <= 4; ++c)
        keys->item(3, c)->setCheckState(Qt::Checked);
    keys->item(3, 1)->setCheckState(Qt::Checked);
    sim->Update();
    for (int c = 2; c <= 4; ++c)
        QCOMPARE(keys->item(3, c)->checkState(), Qt::Unchecked);
    QCOMPARE(keys->item(3, 1)->checkState(), Qt::Checked);
}

void TestSimulator::whyIsThisOn()
{
    PMModel model;
    buildPressSetup(model);
    // Event 2: key 2 "Pressed" clears state 1.
    SetupBuilder b(model);
    const int clearing = b.event();
    QVERIFY(b.input(clearing, 0, ItemType::KeypadKey, 1, "Pressed"));
    QVERIFY(b.entry(Mode::Events, clearing, 1, ItemType::State, 0));
    Simulator *sim = startOn(model);
    QTableWidget *keys = table(sim, "keyPadTableWidget");
    auto tip = [sim](const char *name, int row) {
        QTableWidget *t = table(sim, name);
        return t->model()->data(t->model()->index(row, 1), Qt::ToolTipRole).toString();
    };
    const QString state = QStringLiteral("\u201C%1\u201D").arg(model.itemName(ItemType::State, 0));
    auto event = [&model](int e) {
        return QStringLiteral("event %1 \u201C%2\u201D").arg(e + 1).arg(model.itemName(ItemType::Event, e));
    };

    sim->Update();
    QCOMPARE(tip("stateTableWidget", 0), QStringLiteral("Clear since the start"));
    QCOMPARE(tip("outputTableWidget", 0), QStringLiteral("Off: no state that drives it is set"));

    keys->item(0, 1)->setCheckState(Qt::Checked);
    sim->Update();
    sim->Update();  // set again: no change, so the cause stays at tick 2
    QCOMPARE(tip("stateTableWidget", 0), QStringLiteral("Set by %1 at tick 2 (0.02 s)").arg(event(0)));
    QCOMPARE(tip("outputTableWidget", 0), QStringLiteral("On: driven by state %1").arg(state));
    QCOMPARE(tip("outputTableWidget", 1), QStringLiteral("Off: no state that drives it is set"));
    QCOMPARE(tip("LEDTableWidget", 20), QStringLiteral("On: driven by state %1").arg(state));

    keys->item(0, 1)->setCheckState(Qt::Unchecked);
    keys->item(1, 1)->setCheckState(Qt::Checked);
    sim->Update();
    QCOMPARE(tip("stateTableWidget", 0), QStringLiteral("Cleared by %1 at tick 4 (0.04 s)").arg(event(1)));
    QCOMPARE(tip("LEDTableWidget", 20), QStringLiteral("Off: no state that drives it is set"));
}

void TestSimulator::timerRunsEvery10ms()
{
    PMModel model;
    buildPressSetup(model);
    auto *sim = new Simulator();
    QVERIFY(model.writeRawImage(sim->imageFileName()));
    sim->start(model.session());
    QVERIFY(sim->tickTimer()->isActive());
    QCOMPARE(sim->tickTimer()->interval(), 10);
    table(sim, "keyPadTableWidget")->item(0, 1)->setCheckState(Qt::Checked);
    QTRY_COMPARE(text(table(sim, "stateTableWidget"), 0, 1), QStringLiteral("Set"));
    table(sim, "keyPadTableWidget")->item(0, 1)->setCheckState(Qt::Unchecked);
    QTRY_COMPARE(text(table(sim, "timerTableWidget"), 0, 1), QStringLiteral("0"));
}

void TestSimulator::showUsedIoOnly()
{
    PMModel model;
    buildPressSetup(model);
    SetupBuilder b(model);
    const int can = b.add(Mode::CanInputs);
    b.add(Mode::CanInputs);
    const int ev = b.add(Mode::Events);
    QVERIFY(b.input(ev, 0, ItemType::Switch, 4, "High", "OR"));
    QVERIFY(b.input(ev, 1, ItemType::CanInput, can, "-"));
    Simulator *sim = startOn(model);

    auto shown = [sim](const char *name) {
        QList<int> rows;
        QTableWidget *t = table(sim, name);
        for (int r = 0; r < t->rowCount(); ++r)
            if (!t->isRowHidden(r))
                rows << r;
        return rows;
    };
    auto all = [](int n) {
        QList<int> rows;
        for (int r = 0; r < n; ++r)
            rows << r;
        return rows;
    };
    auto *used = sim->findChild<QRadioButton *>("rbShowUsed");
    auto *every = sim->findChild<QRadioButton *>("rbShowAll");
    QCOMPARE(shown("keyPadTableWidget"), all(25));  // neither chosen: everything

    used->click();
    QCOMPARE(shown("keyPadTableWidget"), QList<int>{0});
    QCOMPARE(shown("switchTableWidget"), QList<int>{4});
    QCOMPARE(shown("CANInpTableWidget"), QList<int>{0});
    QCOMPARE(shown("outputTableWidget"), QList<int>{0});
    QCOMPARE(shown("LEDTableWidget"), QList<int>{20});
    QCOMPARE(shown("stateTableWidget"), all(2));  // states and timers are never hidden
    QCOMPARE(shown("timerTableWidget"), all(1));

    every->click();
    QCOMPARE(shown("keyPadTableWidget"), all(25));
    QCOMPARE(shown("switchTableWidget"), all(25));
    QCOMPARE(shown("CANInpTableWidget"), all(2));
    QCOMPARE(shown("outputTableWidget"), all(2));
    QCOMPARE(shown("LEDTableWidget"), all(32));
}

void TestSimulator::closingDestroysTheWindow()
{
    PMModel model;
    QPointer<Simulator> sim = startOn(model);
    sim->show();
    const QString image = sim->imageFileName();
    QVERIFY(QFile::exists(image));
    QVERIFY(QFileInfo(image).size() > 0);
    sim->findChild<QPushButton *>("btnClose")->click();
    QTRY_VERIFY(sim.isNull());
    QVERIFY(!QFile::exists(image));
}

void TestSimulator::goFromTheMainWindow()
{
    KELDA w;
    const auto &told = installPrompter(w, ScriptedPrompter::answer(QMessageBox::No))->told;
    QTemporaryDir dir;
    const QString path = dir.filePath("pump.kelda");
    QVERIFY(w.model()->saveSetup(path));
    QCOMPARE(w.model()->fileName(), path);

    auto *go = w.findChild<QAction *>(QStringLiteral("action_Go"));
    QVERIFY(go);
    go->trigger();
    QCOMPARE(openSimulators().size(), 1);
    Simulator *first = openSimulators().first();
    QCOMPARE(first->windowTitle(), QStringLiteral("Simulation of ") + path);
    QVERIFY(first->isVisible());
    QVERIFY(!first->isModal());
    QVERIFY(first->parent() == nullptr);
    QVERIFY(told.isEmpty());
    QCOMPARE(table(first, "stateTableWidget")->rowCount(), 0);

    // Later edits do not reach a running simulation; a new start shows them.
    SetupBuilder(*w.model()).add(Mode::States);
    QCOMPARE(table(first, "stateTableWidget")->rowCount(), 0);
    w.startSimulation();
    QCOMPARE(openSimulators().size(), 2);
    Simulator *second = openSimulators().first() == first ? openSimulators().last() : openSimulators().first();
    QCOMPARE(table(second, "stateTableWidget")->rowCount(), 1);
    QCOMPARE(table(first, "stateTableWidget")->rowCount(), 0);
    QVERIFY(first->imageFileName() != second->imageFileName());
}

void TestSimulator::goRefusesASetupThatDoesNotCompile()
{
    KELDA w;
    ScriptedPrompter *p = installPrompter(w, ScriptedPrompter::answer(QMessageBox::No));
    const auto &told = p->told;
    QVERIFY(addRawItems(w.model()->session(), ItemType::Timer, kMaxTableItems + 1));
    // The setup check names the error first; No ends it there.
    w.startSimulation();
    QCOMPARE(p->asked.size(), 1);
    QVERIFY2(p->asked.first().text.contains(QStringLiteral("256 rows")), qPrintable(p->asked.first().text));
    QVERIFY(openSimulators().isEmpty());
    QVERIFY(told.empty());
    // Simulating anyway reaches the compiler, which refuses and says why.
    p->otherwise = ScriptedPrompter::answer(QMessageBox::Yes);
    w.startSimulation();
    QVERIFY(openSimulators().isEmpty());
    QCOMPARE(told.size(), 1);
    QCOMPARE(told[0].icon, QMessageBox::Warning);
    QCOMPARE(told[0].title, QStringLiteral("KELDA"));
    QVERIFY(!w.model()->imageError().isEmpty());
    QVERIFY2(told[0].text.contains(w.model()->imageError()), qPrintable(told[0].text));
}

QObject *makeWindowTests()
{
    return new TestSimulator;
}

#include "tst_simulator.moc"
