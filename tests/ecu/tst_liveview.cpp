// The live view against the real lx2-emulator running its calibration on a
// pseudo-terminal, through the real widgets offscreen: the holds/differs line
// and the differences by name, the last upload from the history, the panel,
// event log and timeline following the module, forces from the panel's
// menu with their banner, renewal and release, the engine question, a module
// without live data and a line that goes away.
#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QLocale>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>

#include "beaconssetup.h"
#include "clirun.h"
#include "emulatorprocess.h"
#include "eventloop.h"
#include "history.h"
#include "imagecompiler.h"
#include "imagediff.h"
#include "kelda.h"
#include "liveview.h"
#include "pmcolumns.h"
#include "pmmodel.h"
#include "scriptedprompter.h"
#include "settings.h"
#include "setupbuilder.h"
#include "setupview.h"
#include "simeventlog.h"
#include "simtimeline.h"
#include "simtrace.h"
#include "testenv.h"
#include "testfiles.h"

using namespace kelda;
using namespace kelda::test;
using Part = SimPanel::Part;
using Force = SimPanel::ForceAction;

namespace {

// A view as the main window makes it, on the model's setup.
QPointer<LiveView> openView(const QString &port, PMModel &model, const QString &name)
{
    LiveView::Setup setup;
    setup.name = name;
    setup.calName = name.toLatin1().left(8);
    QString why;
    if (!image::compileImage(model.session(), &setup.image, &why))
        return nullptr;
    setup.names = simNames(model.session());
    const QByteArray image = setup.image;
    setup.differences = [&model, image](const upload::ModuleContents &contents) {
        return image::imageDifferences(contents.image, image, SetupView::read(model.session()));
    };
    auto *view = new LiveView(port, std::move(setup));
    view->show();
    return view;
}

// The view's picture has arrived: the module's replies are being taken.
bool watching(LiveView *view)
{
    return waitUntil([view] { return view->replies() > 0; }, 10000);
}

QString statsLine(EmulatorProcess &e, const QString &start)
{
    for (const QString &line : e.printedLines())
        if (line.startsWith(QStringLiteral("stats: ") + start))
            return line;
    return QString();
}

}  // namespace

class TestLiveView : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void panelMenusMarksAndShowOnly();
    void traceTakesReportedChanges();
    void holdsDiffersAndHistory();
    void panelFollowsTheModule();
    void flickeredItemShownAsItIsNow();
    void forcesFromThePanel();
    void engineRunningAsksFirst();
    void moduleWithoutLiveDataAndLostLine();
    void menuOpensTheLiveView();

private:
    QString path(const char *name) const { return dir_.filePath(QLatin1String(name)); }
    // An emulator holding the setup (uploaded by kelda-cli, so the history has it).
    bool startModule(EmulatorProcess &e, const QStringList &args, const QString &setup = QString());

    QTemporaryDir dir_;
    QString original_, changed_;
    PMModel model_;
    QPointer<LiveView> view_;
    int modules_ = 0;
};

void TestLiveView::initTestCase()
{
    QLocale::setDefault(QLocale::c());
    QVERIFY(dir_.isValid());
    isolateCorla(dir_.path());
    PMModel changed;
    QVERIFY(buildBeacons(changed, true));
    changed_ = path("changed.kelda");
    QVERIFY(changed.saveSetup(changed_));
    QVERIFY(buildBeacons(model_, false));
    original_ = path("utility-truck.kelda");
    QVERIFY(model_.saveSetup(original_));
}

void TestLiveView::cleanup()
{
    delete view_.data();
}

bool TestLiveView::startModule(EmulatorProcess &e, const QStringList &args, const QString &setup)
{
    // Uploaded to a module at rest, then run as asked from what it stored.
    const QString cal = dir_.filePath(QStringLiteral("module-%1.cal").arg(++modules_));
    EmulatorProcess rest({QStringLiteral("--cal-file"), cal});
    setPorts({rest.path()});
    const QString file = setup.isEmpty() ? original_ : setup;
    if (runCli({QStringLiteral("upload"), file, QStringLiteral("--port"), rest.path()}).exitCode != 0)
        return false;
    rest.stop();
    if (!e.start(QStringList{QStringLiteral("--cal-file"), cal} + args))
        return false;
    setPorts({e.path()});
    return true;
}

void TestLiveView::panelMenusMarksAndShowOnly()
{
    SimPanel panel;
    panel.setItems({QStringLiteral("Beacons")}, {QStringLiteral("Ignition")}, {QStringLiteral("Lamp")},
                   {QStringLiteral("Body")});
    panel.show();
    QList<std::tuple<Part, int, Force>> asked;
    connect(&panel, &SimPanel::forceRequested, this, [&](Part part, int row, Force action) {
        asked.append({part, row, action});
    });
    // Nothing is forceable until made so; the simulator's panel offers no menu.
    std::unique_ptr<QMenu> before(panel.forceMenu(Part::Led, 0, nullptr));
    QVERIFY(!before->actions().last()->isEnabled());
    panel.setForceable(Part::Led, true);
    panel.setForceable(Part::Channel, true);
    std::unique_ptr<QMenu> led(panel.forceMenu(Part::Led, 0, nullptr));
    led->actions()[1]->trigger();
    std::unique_ptr<QMenu> channel(panel.forceMenu(Part::Channel, 8 * 2 + 3, nullptr));
    channel->actions()[2]->trigger();
    QCOMPARE(asked,
             (QList<std::tuple<Part, int, Force>>{{Part::Led, 0, Force::Off}, {Part::Channel, 19, Force::Release}}));

    // Marks: a lamp gets a ring, a key a border; each goes again.
    QVERIFY(!panel.led(0)->ring().isValid());
    panel.setMark(Part::Led, 0, SimPanel::Mark::Forced);
    panel.setMark(Part::Key, 0, SimPanel::Mark::Latched);
    QVERIFY(panel.led(0)->ring().isValid());
    QVERIFY(panel.key(0)->styleSheet().contains(QStringLiteral("border")));
    QCOMPARE(panel.key(0)->accessibleDescription(), QStringLiteral("changed and back"));
    panel.setMark(Part::Led, 0, SimPanel::Mark::None);
    panel.setMark(Part::Key, 0, SimPanel::Mark::None);
    QVERIFY(!panel.led(0)->ring().isValid());
    QVERIFY(panel.key(0)->styleSheet().isEmpty());
    QCOMPARE(panel.partWidget(Part::Switch, 1), nullptr);

    // Show-only: clicks and Space move nothing, and no key or switch is signalled.
    QSignalSpy keys(&panel, &SimPanel::keyChanged), switches(&panel, &SimPanel::switchChanged);
    panel.setClickable(false);
    QTest::mouseClick(panel.switchButton(0), Qt::LeftButton);
    panel.key(0)->setFocus();
    QTest::keyClick(panel.key(0), Qt::Key_Space);
    QVERIFY(!panel.switchButton(0)->isChecked());
    QCOMPARE(keys.count() + switches.count(), 0);
    panel.setClickable(true);
    QTest::mouseClick(panel.switchButton(0), Qt::LeftButton);
    QVERIFY(panel.switchButton(0)->isChecked());
    QCOMPARE(switches.count(), 1);
}

void TestLiveView::traceTakesReportedChanges()
{
    SimNames names;
    names.keys = QStringList{QStringLiteral("Beacons"), QStringLiteral("Horn")};
    names.states = QStringList{QStringLiteral("Lamps")};
    SimTrace trace(names);
    QVERIFY(trace.recordReported(SimSignal::Kind::Key, 1 * kKeyConditionCount, true, 120));
    QVERIFY(trace.recordReported(SimSignal::Kind::Channel, 63, true, 121));
    // A tick before the last is taken as the last; rows outside the run are refused.
    QVERIFY(trace.recordReported(SimSignal::Kind::State, 0, true, 100));
    QVERIFY(!trace.recordReported(SimSignal::Kind::State, 1, true, 130));
    QVERIFY(!trace.recordReported(SimSignal::Kind::Switch, 0, true, 130));
    QVERIFY(!trace.recordReported(SimSignal::Kind::Channel, 64, true, 130));
    QCOMPARE(trace.changes().size(), size_t(3));
    QCOMPARE(trace.signalList()[trace.changes()[0].signal].name, QStringLiteral("Horn P"));
    QCOMPARE(trace.signalList()[trace.changes()[1].signal].name, QStringLiteral("LX1-8.8"));
    QCOMPARE(trace.signalList()[trace.changes()[2].signal].name, QStringLiteral("Lamps"));
    QCOMPARE(trace.changes()[2].tick, qint64(121));
    QCOMPARE(trace.lastTick(), qint64(121));
    QVERIFY(trace.csv().contains("121,1.21,state,Lamps,1"));
}

void TestLiveView::holdsDiffersAndHistory()
{
    EmulatorProcess module;
    QVERIFY(startModule(module, {QStringLiteral("--run")}));
    view_ = openView(module.path(), model_, QStringLiteral("utility-truck.kelda"));
    QVERIFY(view_);
    QVERIFY(
        waitUntil([this] { return view_->holdsLine()->text() == QLatin1String("holds utility-truck.kelda"); }, 10000));
    QVERIFY2(view_->moduleLine()->text().contains(module.path()), qPrintable(view_->moduleLine()->text()));
    // The history names the upload that wrote the module's calibration.
    QCOMPARE(view_->historyLine()->text(),
             QStringLiteral("last uploaded from utility-truck.kelda on %1 by this computer")
                 .arg(QDate::currentDate().toString(Qt::ISODate)));
    QVERIFY(!view_->differencesButton()->isEnabled());
    QVERIFY(watching(view_));
    delete view_.data();

    // A renamed copy still holds; a changed setup differs, item by item.
    view_ = openView(module.path(), model_, QStringLiteral("spare.kelda"));
    QVERIFY(waitUntil([this] { return view_->holdsLine()->text() == QLatin1String("holds spare.kelda"); }, 10000));
    delete view_.data();
    EmulatorProcess other;
    QVERIFY(startModule(other, {QStringLiteral("--run")}, changed_));
    view_ = openView(other.path(), model_, QStringLiteral("utility-truck.kelda"));
    QVERIFY(waitUntil([this] { return view_->holdsLine()->text() == QLatin1String("differs"); }, 10000));
    QVERIFY(view_->differencesButton()->isEnabled());
    view_->differencesButton()->click();
    QCOMPARE(view_->tabs()->currentWidget(), view_->differences());
    const QStringList lines = view_->differences()->toPlainText().split(QLatin1Char('\n'));
    QVERIFY2(lines.contains(QStringLiteral("timer \"Flash\": run time 0.40 s on the module, 0.50 s in the setup")),
             qPrintable(lines.join(u'|')));
    QVERIFY2(lines.contains(QStringLiteral("event \"Flash off\" is not on the module")), qPrintable(lines.join(u'|')));
    // Monitoring goes on after the comparison.
    QVERIFY(watching(view_));
}

void TestLiveView::panelFollowsTheModule()
{
    // The switch goes on, the key is held: "Beacons on" is set and the flash
    // lights LED 1 and LX1-1.1 every other half second; then the switch goes off.
    const QString inputs = path("inputs.txt");
    QVERIFY(writeFile(inputs,
                      "wait 300ms\nswitch 1 on\nwait 100ms\nhold 1\nwait 1500ms\nswitch 1 off\nrelease 1\n"
                      "wait 300ms\npress 1 short\nwait 30ms\npress 1 short\nwait 30ms\npress 1 short\n"));
    EmulatorProcess module;
    QVERIFY(startModule(module, {QStringLiteral("--run"), QStringLiteral("--inputs"), inputs}));
    view_ = openView(module.path(), model_, QStringLiteral("utility-truck.kelda"));
    SimPanel *panel = view_->panel();
    QVERIFY(waitUntil([panel] { return panel->switchButton(0)->isChecked(); }, 10000));
    QVERIFY(waitUntil([panel] { return panel->key(0)->isDown(); }, 3000));
    QVERIFY(waitUntil([panel] { return panel->led(0)->isOn() && panel->channel(0, 0)->isOn(); }, 3000));
    QVERIFY(waitUntil([panel] { return !panel->led(0)->isOn(); }, 3000));
    QVERIFY(waitUntil([panel] { return !panel->switchButton(0)->isChecked(); }, 5000));
    // One-tick presses between two replies: the key is ringed for a moment.
    // A reply made while a press is down shows it down (and, after an earlier
    // press, flickered): the key is up again by the reply after the last one.
    QVERIFY(waitUntil([panel] { return panel->mark(Part::Key, 0) == SimPanel::Mark::Latched; }, 5000));
    QVERIFY(waitUntil([panel] { return !panel->key(0)->isDown(); }, 1000));
    QVERIFY(waitUntil([panel] { return panel->mark(Part::Key, 0) == SimPanel::Mark::None; }, 3000));
    // Clicks do not move a switch the module reports.
    QTest::mouseClick(panel->switchButton(0), Qt::LeftButton);
    QVERIFY(!panel->switchButton(0)->isChecked());

    // The event log and the timeline read the same changes at the module's ticks.
    const SimTrace *trace = view_->trace();
    QStringList seen;
    qint64 last = 0;
    for (const SimChange &c : trace->changes()) {
        QVERIFY(c.tick >= last);
        last = c.tick;
        seen << trace->signalList()[c.signal].name + (c.value ? QStringLiteral(" on") : QStringLiteral(" off"));
    }
    for (const char *expected :
         {"Ignition on", "Beacons P on", "Beacons on on", "Beacon flash on", "Beacon flash off", "Ignition off"})
        QVERIFY2(seen.contains(QLatin1String(expected)), qPrintable(seen.join(u'|')));
    QVERIFY(trace->changes().front().tick > 30);
    // A latched press is one tick wide in the trace, ending at its reply's tick.
    const std::vector<SimChange> &changes = trace->changes();
    bool pulse = false;
    for (size_t i = 1; i < changes.size(); ++i)
        pulse = pulse
            || (changes[i].signal == changes[i - 1].signal && changes[i - 1].value && !changes[i].value
                && changes[i].tick == changes[i - 1].tick + 1
                && trace->signalList()[changes[i].signal].name == QLatin1String("Beacons P"));
    QVERIFY(pulse);  // the module's own ticks since power-on
    view_->eventLog()->sync();
    QVERIFY(view_->eventLog()->shownLines().join(u'\n').contains(QStringLiteral("\"Beacon flash\"")));
    // The timeline follows the module's clock, past the last change.
    QVERIFY(waitUntil([&] { return view_->timeline()->view().to > trace->lastTick() + 20; }, 3000));
}

void TestLiveView::flickeredItemShownAsItIsNow()
{
    // The switch goes on, off and on within two ticks, between two replies:
    // the panel shows it on, the trace shows the flicker ending on.
    const QString inputs = path("flicker.txt");
    QVERIFY(writeFile(inputs, "wait 4000ms\nswitch 1 on\nwait 10ms\nswitch 1 off\nwait 10ms\nswitch 1 on\n"));
    EmulatorProcess module;
    QVERIFY(startModule(module, {QStringLiteral("--run"), QStringLiteral("--inputs"), inputs}));
    view_ = openView(module.path(), model_, QStringLiteral("utility-truck.kelda"));
    QVERIFY(watching(view_));
    SimPanel *panel = view_->panel();
    QVERIFY(waitUntil([panel] { return panel->switchButton(0)->isChecked(); }, 10000));
    QStringList ignition;
    for (const SimChange &c : view_->trace()->changes())
        if (view_->trace()->signalList()[c.signal].name == QLatin1String("Ignition"))
            ignition << (c.value ? QStringLiteral("on") : QStringLiteral("off"));
    // Seen in a reply, the flicker is drawn; on a loaded machine the first
    // picture may come after it and takes only the value now.
    QVERIFY(!ignition.isEmpty() && ignition.last() == QLatin1String("on"));
    if (ignition.size() > 1)
        QCOMPARE(ignition, (QStringList{QStringLiteral("on"), QStringLiteral("off"), QStringLiteral("on")}));
    QTest::qWait(300);
    QVERIFY(panel->switchButton(0)->isChecked());
}

void TestLiveView::forcesFromThePanel()
{
    EmulatorProcess module;
    QVERIFY(startModule(module, {QStringLiteral("--run"), QStringLiteral("--stats")}));
    view_ = openView(module.path(), model_, QStringLiteral("utility-truck.kelda"));
    QVERIFY(watching(view_));
    SimPanel *panel = view_->panel();
    QVERIFY(!view_->forcedBanner()->isVisible());

    // "Force On" from the switch's menu: the module holds it and reports it.
    std::unique_ptr<QMenu> menu(panel->forceMenu(Part::Switch, 0, nullptr));
    QStringList texts;
    for (QAction *a : menu->actions())
        texts << a->text();
    QCOMPARE(texts, QStringList({"Force On", "Force Off", "Release"}));
    menu->actions().first()->trigger();
    QCOMPARE(view_->forcedBanner()->text(), QStringLiteral("1 forced"));
    QVERIFY(view_->releaseAllButton()->isVisible());
    QCOMPARE(panel->mark(Part::Switch, 0), SimPanel::Mark::Forced);
    QVERIFY(waitUntil([&] { return !statsLine(module, QStringLiteral("FORCE set switch 0 on")).isEmpty(); }, 5000));
    QVERIFY(waitUntil([panel] { return panel->switchButton(0)->isChecked(); }, 5000));
    QVERIFY(view_->log()->toPlainText().contains(QStringLiteral("Forced switch 1 \"Ignition\" on.")));
    // CAN outputs are not forced; an LED is.
    std::unique_ptr<QMenu> chip(panel->forceMenu(Part::CanOutput, 0, nullptr));
    QVERIFY(!chip->actions().last()->isEnabled());
    view_->force(Part::Led, 4, Force::On);
    QCOMPARE(view_->forcedBanner()->text(), QStringLiteral("2 forced"));
    QVERIFY(waitUntil([&] { return !statsLine(module, QStringLiteral("FORCE set led 4 on")).isEmpty(); }, 5000));

    // Renewed while open: nothing lapses over twice the lease.
    QTest::qWait(2 * LiveLink::kLeaseMs);
    QCOMPARE(statsLine(module, QStringLiteral("FORCE lapsed")), QString());

    view_->releaseAllButton()->click();
    QVERIFY(!view_->forcedBanner()->isVisible());
    QCOMPARE(panel->mark(Part::Switch, 0), SimPanel::Mark::None);
    QVERIFY(waitUntil([&] { return !statsLine(module, QStringLiteral("FORCE released led 4")).isEmpty(); }, 5000));
    QVERIFY(!statsLine(module, QStringLiteral("FORCE released switch 0")).isEmpty());
    QVERIFY(waitUntil([panel] { return !panel->switchButton(0)->isChecked(); }, 5000));

    // Closing the window releases what is forced (the line's DISCONNECT).
    view_->force(Part::Channel, 10, Force::Off);
    QVERIFY(waitUntil([&] { return !statsLine(module, QStringLiteral("FORCE set lx1 10 off")).isEmpty(); }, 5000));
    view_->close();
    QVERIFY(waitUntil([&] { return !statsLine(module, QStringLiteral("FORCE released 1 forces")).isEmpty(); }, 5000));
}

void TestLiveView::engineRunningAsksFirst()
{
    EmulatorProcess module;
    QVERIFY(
        startModule(module, {QStringLiteral("--run"), QStringLiteral("--stats"), QStringLiteral("--engine-running")}));
    view_ = openView(module.path(), model_, QStringLiteral("utility-truck.kelda"));
    QStringList asked;
    QMessageBox::StandardButton answer = QMessageBox::Cancel;
    view_->setAsker(
        [&](QWidget *, QMessageBox::Icon, const QString &title, const QString &text, QMessageBox::StandardButtons) {
            asked << title + QLatin1Char('|') + text;
            return answer;
        });
    QVERIFY(watching(view_));
    view_->force(Part::Key, 0, Force::On);
    QCOMPARE(asked,
             QStringList({QStringLiteral("Warning|Cannot perform operation when the engine is running.\nPlease "
                                         "stop the engine before continuing.")}));
    QVERIFY(!view_->forcedBanner()->isVisible());
    QVERIFY(view_->link().forces().empty());
    QVERIFY(view_->log()->toPlainText().contains(QStringLiteral("Not forced: key 1 \"Beacons\"")));
    // Releasing asks nothing; going on past the question meets the module's refusal.
    view_->force(Part::Key, 0, Force::Release);
    QCOMPARE(asked.size(), 1);
    answer = QMessageBox::Ok;
    view_->force(Part::Key, 0, Force::On);
    QVERIFY(waitUntil([this] { return view_->statusLine()->text().contains(QStringLiteral("refuses forces")); }, 5000));
    QVERIFY(view_->link().forces().empty());
    QVERIFY(!view_->forcedBanner()->isVisible());
    QCOMPARE(statsLine(module, QStringLiteral("FORCE set")), QString());
    // The line stays open: replies go on.
    const int replies = view_->replies();
    QVERIFY(waitUntil([&] { return view_->replies() > replies + 2; }, 5000));
}

void TestLiveView::moduleWithoutLiveDataAndLostLine()
{
    EmulatorProcess old;
    QVERIFY(startModule(old, {QStringLiteral("--old"), QStringLiteral("--run")}));
    view_ = openView(old.path(), model_, QStringLiteral("utility-truck.kelda"));
    QVERIFY(waitUntil(
        [this] {
            return view_->statusLine()->text().contains(QStringLiteral("this module does not report live data"));
        },
        10000));
    delete view_.data();

    EmulatorProcess module;
    QVERIFY(startModule(module, {QStringLiteral("--run")}));
    view_ = openView(module.path(), model_, QStringLiteral("utility-truck.kelda"));
    QVERIFY(watching(view_));
    view_->force(Part::Switch, 1, Force::On);
    module.stop();
    QVERIFY(waitUntil([this] { return view_->statusLine()->text().contains(QStringLiteral("was lost")); }, 15000));
    QVERIFY(view_->reconnectButton()->isVisible());
    QVERIFY(!view_->forcedBanner()->isVisible());
    // Told once, in the window: no box, and a second poll does not repeat it.
    QTest::qWait(3 * LiveLink::kPollMs);
    QCOMPARE(view_->log()->toPlainText().count(QStringLiteral("Forces the module held lapse")), 1);

    // Reconnect to a module there again.
    QVERIFY(startModule(module, {QStringLiteral("--run")}));
    view_->reconnect();
    QVERIFY(waitUntil([this] { return view_->statusLine()->isHidden() && view_->replies() > 0; }, 10000));
}

void TestLiveView::menuOpensTheLiveView()
{
    EmulatorProcess module;
    QVERIFY(startModule(module, {QStringLiteral("--run")}));
    KELDA window;
    installPrompter(window, &ScriptedPrompter::affirmative);
    settings::write(window.settings(), settings::Key::Port, module.path());
    QVERIFY(window.model()->openSetup(original_));
    auto *action = window.findChild<QAction *>(QStringLiteral("action_LiveView"));
    QVERIFY(action);
    action->trigger();
    auto *view = window.findChild<LiveView *>();
    QVERIFY(view);
    QVERIFY(
        waitUntil([view] { return view->holdsLine()->text() == QLatin1String("holds utility-truck.kelda"); }, 10000));
    // A second time raises the same window.
    action->trigger();
    QCOMPARE(window.findChildren<LiveView *>().size(), 1);
    QCOMPARE(view->panel()->switchButton(0)->accessibleName(), QStringLiteral("Ignition"));
}

KELDA_TEST_MAIN_IN_TEMPORARY_CONFIG(TestLiveView)
#include "tst_liveview.moc"
