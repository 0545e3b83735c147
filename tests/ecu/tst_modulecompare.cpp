// Does the module hold the open setup, and what differs: the image comparison
// by item, kelda-cli verify --diff and upload's summary, and the upload
// dialog waiting for Upload — against the real lx2-emulator.
#include <QCoreApplication>
#include <QFile>
#include <QLabel>
#include <QLocale>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include "clirun.h"
#include "emulatorprocess.h"
#include "eventloop.h"
#include "imagecompiler.h"
#include "imagediff.h"
#include "kelda.h"
#include "pmcolumns.h"
#include "pmmodel.h"
#include "scriptedprompter.h"
#include "settings.h"
#include "setupbuilder.h"
#include "setupview.h"
#include "testenv.h"
#include "testfiles.h"
#include "uploadform.h"

using namespace kelda;
using namespace kelda::test;

namespace {

// Timer "Flash" (0.5 s) and "Horn"; state "Lamps" on LX2 LED 2; event
// "Beacons" on key 1 setting "Lamps" and starting "Flash"; event "Horn on" on
// key 2 starting "Horn". The changed copy has "Flash" at 0.4 s and no "Beacons".
void buildSetup(PMModel &m, bool changed)
{
    m.newSetup();
    SetupBuilder b(m);
    b.set(Mode::Timers, b.timer(changed ? 0.4 : 0.5), TimerCol::Name, QStringLiteral("Flash"));
    b.set(Mode::Timers, b.timer(2.0), TimerCol::Name, QStringLiteral("Horn"));
    b.set(Mode::States, b.state(), StateCol::Name, QStringLiteral("Lamps"));
    b.entry(Mode::States, 0, int(StateList::Lx2Leds), QStringLiteral("LX2 LED 2"));
    if (!changed) {
        const int ev = b.event();
        b.set(Mode::Events, ev, EventCol::Name, QStringLiteral("Beacons"));
        b.input(ev, 0, QStringLiteral("KP: Keypad 1"), QStringLiteral("Pressed"));
        b.entry(Mode::Events, ev, int(EventList::StatesToSet), QStringLiteral("Lamps"));
        b.entry(Mode::Events, ev, int(EventList::TimersToStart), QStringLiteral("Flash"));
    }
    const int horn = b.event();
    b.set(Mode::Events, horn, EventCol::Name, QStringLiteral("Horn on"));
    b.input(horn, 0, QStringLiteral("KP: Keypad 2"), QStringLiteral("Pressed"));
    b.entry(Mode::Events, horn, int(EventList::TimersToStart), QStringLiteral("Horn"));
}

QByteArray compiled(PMModel &m)
{
    QByteArray image;
    QString why;
    return image::compileImage(m.session(), &image, &why) ? image : QByteArray();
}

const QString kFlashLine = QStringLiteral("timer \"Flash\": run time 0.40 s on the module, 0.50 s in the setup");
const QString kBeaconsLine = QStringLiteral("event \"Beacons\" is not on the module");

}  // namespace

class TestModuleCompare : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void differencesByItem();
    void unreadableModuleImage();
    void differencesInEverySection();
    void verifyDiff();
    void uploadPrintsSummaryFirst();
    void uploadAfterSummaryAsksNoSumsAgain();
    void windowAsksBeforeWriting();
    void windowHoldsLine();
    void moduleWithoutRead();
    void cancelWhileComparing();

private:
    QString saveSetup(const QString &name, bool changed);
    // Opens the upload dialog from the window, reads its "holds" line and
    // cancels; the module's calibration file must stay as it was.
    QString holdsLineOf(KELDA &window, ScriptedPrompter *p);
    QTemporaryDir dir_;
};

void TestModuleCompare::initTestCase()
{
    QLocale::setDefault(QLocale::c());
    QStandardPaths::setTestModeEnabled(true);
    QVERIFY(dir_.isValid());
    isolateCorla(dir_.path());
}

void TestModuleCompare::init()
{
    setPorts({});
}

QString TestModuleCompare::saveSetup(const QString &name, bool changed)
{
    PMModel m;
    buildSetup(m, changed);
    const QString path = dir_.filePath(name);
    return m.saveSetup(path) ? path : QString();
}

void TestModuleCompare::differencesByItem()
{
    PMModel setup, module;
    buildSetup(setup, false);
    buildSetup(module, true);
    const QByteArray ours = compiled(setup);
    const QByteArray theirs = compiled(module);
    QVERIFY(!ours.isEmpty() && !theirs.isEmpty());
    const SetupView view = SetupView::read(setup.session());

    // The event left out does not make "Horn on" after it differ.
    QCOMPARE(image::imageDifferences(theirs, ours, view), QStringList({kFlashLine, kBeaconsLine}));
    QCOMPARE(image::imageDifferences(ours, ours, view), QStringList());

    // The other way round: what only the module has is said by number.
    const QStringList reverse = image::imageDifferences(ours, theirs, SetupView::read(module.session()));
    QCOMPARE(reverse.size(), 2);
    QCOMPARE(reverse[0], QStringLiteral("timer \"Flash\": run time 0.50 s on the module, 0.40 s in the setup"));
    QVERIFY2(reverse[1].startsWith(QStringLiteral("the module's event 1 is not in the setup: inputs key "
                                                  "\"Keypad 1\" Pressed")),
             qPrintable(reverse[1]));

    // An option, in the box's units.
    PMModel slower;
    buildSetup(slower, false);
    slower.setOption(int(OptionIndex::LongPressTime), 1.5);
    QCOMPARE(image::imageDifferences(compiled(slower), ours, view),
             QStringList({QStringLiteral("option \"Long Press Time/s\": 1.50 on the module, 1.00 in the setup")}));
}

// CAN input "Speed", CAN output "Dash", LX1 output "Pump" driven by state
// "Run", LX1-2's PWM from "Speed"; the other side changes each of them.
void buildIo(PMModel &m, bool changed)
{
    m.newSetup();
    SetupBuilder b(m);
    const int in = b.canInput(changed ? QStringLiteral("0x101") : QStringLiteral("0x100"),
                              changed ? QStringLiteral("Byte 2") : QStringLiteral("Word 1"), changed ? 7 : 5);
    b.set(Mode::CanInputs, in, CanInputCol::Name, QStringLiteral("Speed"));
    if (changed)
        b.set(Mode::CanInputs, in, CanInputCol::Endianness, QStringLiteral("Little Endian"));
    const int out = b.canOutput(QStringLiteral("0x200"), QStringLiteral("Word 1"), changed ? 9 : 8);
    b.set(Mode::CanOutputs, out, CanOutputCol::Name, QStringLiteral("Dash"));
    const int pump = b.lx1Output();
    b.set(Mode::Lx1Outputs, pump, Lx1OutputCol::Name, QStringLiteral("Pump"));
    b.set(Mode::Lx1Outputs, pump, Lx1OutputCol::Current, changed ? 12.0 : 10.0);
    b.lx1Mask(pump, 0, changed ? 0x03 : 0x01);
    const int run = b.state();
    b.set(Mode::States, run, StateCol::Name, QStringLiteral("Run"));
    b.entry(Mode::States, run, int(StateList::Lx2Leds),
            changed ? QStringLiteral("LX2 LED 5") : QStringLiteral("LX2 LED 4"));
    b.entry(Mode::States, run, int(StateList::Lx1Outputs), QStringLiteral("Pump"));
    if (!changed)
        b.set(Mode::Pwm, 1, PwmCol::CanInput, QStringLiteral("Speed"));
    if (changed)
        m.setOption(int(OptionIndex::CanSpeed), 3);  // "250 kHz"
}

void TestModuleCompare::differencesInEverySection()
{
    PMModel setup, module;
    buildIo(setup, false);
    buildIo(module, true);
    const QStringList lines =
        image::imageDifferences(compiled(module), compiled(setup), SetupView::read(setup.session()));
    QCOMPARE(lines,
             QStringList({
                 QStringLiteral("CAN input \"Speed\": channel 0x101 Byte 2 on the module, 0x100 Word 1 in the "
                                "setup; byte order Little Endian on the module, Big Endian in the setup; data 7 "
                                "on the module, 5 in the setup"),
                 QStringLiteral("CAN output \"Dash\": data 9 on the module, 8 in the setup"),
                 QStringLiteral("state \"Run\": LX2 Outputs \"LX2 LED 5\" on the module, \"LX2 LED 4\" in "
                                "the setup"),
                 QStringLiteral("LX1 output \"Pump\": current 12 A on the module, 10 A in the setup; LX1-1 "
                                "00000011 on the module, 00000001 in the setup"),
                 QStringLiteral("option \"CAN Speed\": 250 kHz on the module, 1 Mhz in the setup"),
                 QStringLiteral("LX1 module \"LX1-2\": PWM input none on the module, 0x100 Word 1 in the setup"),
             }));
}

void TestModuleCompare::unreadableModuleImage()
{
    PMModel setup;
    buildSetup(setup, false);
    const QByteArray ours = compiled(setup);
    const SetupView view = SetupView::read(setup.session());
    const QStringList cut = image::imageDifferences(ours.left(30), ours, view);
    QCOMPARE(cut.size(), 1);
    QVERIFY2(cut[0].startsWith(QStringLiteral("the module's image cannot be read: a section reaches beyond")),
             qPrintable(cut[0]));
    QCOMPARE(image::imageDifferences(QByteArray(), ours, view),
             QStringList({QStringLiteral("the module's image cannot be read: it holds no image")}));
}

void TestModuleCompare::verifyDiff()
{
    const QString original = saveSetup(QStringLiteral("utility-truck.kelda"), false);
    const QString changed = saveSetup(QStringLiteral("changed.kelda"), true);
    QVERIFY(!original.isEmpty() && !changed.isEmpty());
    const QString renamed = dir_.filePath(QStringLiteral("renamed-copy.kelda"));
    QVERIFY(QFile::copy(original, renamed));
    const QString cal = dir_.filePath(QStringLiteral("verify.cal"));
    EmulatorProcess emulator({QStringLiteral("--cal-file"), cal, QStringLiteral("--stats")});
    QVERIFY(!emulator.path().isEmpty());
    setPorts({emulator.path()});
    const QStringList port{QStringLiteral("--port"), emulator.path(), QStringLiteral("--diff")};

    // Nothing stored yet.
    CliRun run = runCli(QStringList{QStringLiteral("verify"), original} + port);
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.out.contains("\ndiffers\n  the module holds no calibration: every item will be written\n"),
             run.out.constData());
    QVERIFY2(run.err.contains("does not hold") && run.err.contains("the module holds no calibration"),
             run.err.constData());

    QCOMPARE(
        runCli(QStringList{QStringLiteral("upload"), original, QStringLiteral("--port"), emulator.path()}).exitCode, 0);
    run = runCli(QStringList{QStringLiteral("verify"), original} + port);
    QCOMPARE(run.exitCode, 0);
    QVERIFY2(outputLines(run.out).contains(QStringLiteral("holds utility-truck.kelda")), run.out.constData());
    // Only the block sums crossed the line: nothing differed, nothing was read.
    QVERIFY2(run.out.contains("0 of 3 blocks of 64 bytes differ") && run.out.contains(" ms (0 bytes read)."),
             run.out.constData());

    // The same setup under another name still holds; plain verify compares the name too.
    run = runCli(QStringList{QStringLiteral("verify"), renamed} + port);
    QCOMPARE(run.exitCode, 0);
    QVERIFY2(outputLines(run.out).contains(QStringLiteral("holds renamed-copy.kelda")), run.out.constData());
    // Only the block with the name field was read.
    QVERIFY2(run.out.contains("1 of 3 blocks of 64 bytes differ") && run.out.contains(" ms (64 bytes read)."),
             run.out.constData());
    QCOMPARE(runCli({QStringLiteral("verify"), renamed, QStringLiteral("--port"), emulator.path()}).exitCode, 1);

    // The module holds the changed setup: the open one differs, item by item.
    QCOMPARE(runCli({QStringLiteral("upload"), changed, QStringLiteral("--port"), emulator.path()}).exitCode, 0);
    run = runCli(QStringList{QStringLiteral("verify"), original} + port);
    QCOMPARE(run.exitCode, 1);
    const QStringList lines = outputLines(run.out);
    const qsizetype differs = lines.indexOf(QStringLiteral("differs"));
    QVERIFY2(differs >= 0, run.out.constData());
    QCOMPARE(lines.mid(differs + 1, 2),
             QStringList({QStringLiteral("  ") + kFlashLine, QStringLiteral("  ") + kBeaconsLine}));
    QVERIFY2(run.err.contains("does not hold"), run.err.constData());
}

void TestModuleCompare::uploadPrintsSummaryFirst()
{
    const QString original = saveSetup(QStringLiteral("summary.kelda"), false);
    const QString changed = saveSetup(QStringLiteral("summary-changed.kelda"), true);
    const QString cal = dir_.filePath(QStringLiteral("summary.cal"));
    EmulatorProcess emulator({QStringLiteral("--cal-file"), cal});
    QVERIFY(!emulator.path().isEmpty());
    setPorts({emulator.path()});
    const QStringList port{QStringLiteral("--port"), emulator.path()};
    QCOMPARE(runCli(QStringList{QStringLiteral("upload"), changed} + port).exitCode, 0);

    const CliRun run = runCli(QStringList{QStringLiteral("upload"), original} + port);
    QCOMPARE(run.exitCode, 0);
    const QStringList lines = outputLines(run.out);
    const qsizetype summary = lines.indexOf(QStringLiteral("Upload summary:"));
    const qsizetype upload = lines.indexOf(QStringLiteral("Upload Calibration"));
    QVERIFY2(summary >= 0 && upload > summary, run.out.constData());
    QVERIFY2(lines[summary + 2].startsWith(QStringLiteral("  module: LX2 "))
                 && lines[summary + 2].endsWith(emulator.path()),
             qPrintable(lines[summary + 2]));
    QCOMPARE(lines.mid(summary + 3, 4),
             QStringList({QStringLiteral("  the module differs"), QStringLiteral("  will change on the module:"),
                          QStringLiteral("    ") + kFlashLine, QStringLiteral("    ") + kBeaconsLine}));
    QVERIFY(lines.last() == QStringLiteral("Upload Complete"));

    // Again: the module holds it now, and says so before writing nothing.
    const CliRun again = runCli(QStringList{QStringLiteral("upload"), original} + port);
    QVERIFY2(again.out.contains("  the module holds summary.kelda\n  nothing will change on the module\n"),
             again.out.constData());
}

// The upload after the summary starts from what its comparison found on the
// same connection, also with a backup read in between; the module ends up
// with the setup's calibration all the same.
void TestModuleCompare::uploadAfterSummaryAsksNoSumsAgain()
{
    const QString original = saveSetup(QStringLiteral("reuse.kelda"), false);
    const QString changed = saveSetup(QStringLiteral("reuse-changed.kelda"), true);
    const QString cal = dir_.filePath(QStringLiteral("reuse.cal"));
    EmulatorProcess emulator({QStringLiteral("--cal-file"), cal, QStringLiteral("--stats")});
    QVERIFY(!emulator.path().isEmpty());
    setPorts({emulator.path()});
    const QStringList port{QStringLiteral("--port"), emulator.path()};
    PMModel setup;
    QVERIFY(setup.openSetup(original));
    qsizetype commits = 0;
    for (const bool backup : {false, true}) {
        QCOMPARE(runCli(QStringList{QStringLiteral("upload"), changed} + port).exitCode, 0);
        ++commits;
        QTRY_COMPARE(emulator.printedLines().size(), commits);
        const QByteArray before = readFile(cal);
        const QString backupFile = dir_.filePath(QStringLiteral("reuse-backup.cal"));
        const QStringList extra = backup ? QStringList{QStringLiteral("--backup"), backupFile} : QStringList();
        const CliRun run = runCli(QStringList{QStringLiteral("upload"), original} + port + extra);
        QCOMPARE(run.exitCode, 0);
        QVERIFY2(run.out.contains("  the module differs\n") && run.out.contains("no block sums needed"),
                 run.out.constData());
        ++commits;
        QTRY_COMPARE(emulator.printedLines().size(), commits);
        const QString stats = emulator.printedLines().last();
        QVERIFY2(stats.contains(QStringLiteral("SUMS 1,")), qPrintable(stats));  // the summary's only
        QCOMPARE(readFile(cal).mid(96), compiled(setup));
        if (backup)
            QCOMPARE(readFile(backupFile), before);
    }
}

void TestModuleCompare::windowAsksBeforeWriting()
{
    useConfigFolder(dir_.filePath(QStringLiteral("config-window")));
    const QString changed = saveSetup(QStringLiteral("window-changed.kelda"), true);
    const QString cal = dir_.filePath(QStringLiteral("window.cal"));
    EmulatorProcess emulator({QStringLiteral("--cal-file"), cal, QStringLiteral("--stats")});
    QVERIFY(!emulator.path().isEmpty());
    setPorts({emulator.path()});
    QCOMPARE(runCli({QStringLiteral("upload"), changed, QStringLiteral("--port"), emulator.path()}).exitCode, 0);
    QTRY_COMPARE(emulator.printedLines().size(), 1);
    const QByteArray before = readFile(cal);

    KELDA window;
    ScriptedPrompter *p = installPrompter(window, &ScriptedPrompter::affirmative);
    buildSetup(*window.model(), false);
    const QString setup = dir_.filePath(QStringLiteral("window.kelda"));
    QVERIFY(window.model()->saveSetup(setup));
    // A change the image does not show: unsaved all the same.
    SetupBuilder(*window.model()).set(Mode::Keypad, 4, KeypadCol::Name, QStringLiteral("Spare"));
    QVERIFY(window.model()->isModified());
    kelda::settings::write(window.settings(), kelda::settings::Key::Port, emulator.path());

    QString holds, changes, setupLine;
    int statsWhileAsking = -1;
    bool cancel = true;
    p->onExec = [&](QDialog *dialog) {
        auto *form = qobject_cast<UploadForm *>(dialog);
        if (!form)
            return -1;
        form->show();
        if (!waitUntil([form] { return form->waitingForUpload(); }, 20000))
            return -1;
        holds = form->findChild<QLabel *>(QStringLiteral("holdsLine"))->text();
        changes = form->findChild<QPlainTextEdit *>(QStringLiteral("changes"))->toPlainText();
        setupLine = form->findChild<QLabel *>(QStringLiteral("setupLine"))->text();
        QTest::qWait(200);  // nothing may arrive while the dialog waits
        statsWhileAsking = int(emulator.printedLines().size());
        if (cancel) {
            form->findChild<QPushButton *>(QStringLiteral("cancelButton"))->click();
            return 0;
        }
        // Save from the summary: the line says so and the button goes.
        auto *save = form->findChild<QPushButton *>(QStringLiteral("setupButton"));
        if (!save->isVisibleTo(form))
            return -1;
        save->click();
        setupLine = form->findChild<QLabel *>(QStringLiteral("setupLine"))->text();
        if (save->isVisibleTo(form))
            return -1;
        form->findChild<QPushButton *>(QStringLiteral("uploadButton"))->click();
        waitUntil([form] { return form->outcome() != UploadForm::Outcome::Running; }, 20000);
        form->findChild<QPushButton *>(QStringLiteral("cancelButton"))->click();
        return 0;
    };
    window.fileUpload();
    QCOMPARE(holds, QStringLiteral("differs"));
    QCOMPARE(changes, QStringList({QStringLiteral("Will change on the module:"), kFlashLine, kBeaconsLine}).join('\n'));
    QVERIFY2(setupLine.contains(setup) && setupLine.contains(QStringLiteral("unsaved changes")), qPrintable(setupLine));
    QCOMPARE(statsWhileAsking, 1);
    QCOMPARE(readFile(cal), before);  // Cancel: not a byte written

    cancel = false;
    window.fileUpload();
    QCOMPARE(statsWhileAsking, 1);  // still nothing before Upload
    QCOMPARE(setupLine, QStringLiteral("Setup: %1 (saved)").arg(setup));
    QVERIFY(!window.model()->isModified());
    PMModel saved;
    QVERIFY(saved.openSetup(setup));
    QCOMPARE(saved.itemName(ItemType::KeypadKey, 4), QStringLiteral("Spare"));
    QTRY_COMPARE(emulator.printedLines().size(), 2);
    QVERIFY2(emulator.printedLines().last().contains(QStringLiteral("WRITE 1")),
             qPrintable(emulator.printedLines().last()));
    // The two summaries compared; the upload asked for no block sums of its own.
    QVERIFY2(emulator.printedLines().last().contains(QStringLiteral("SUMS 2,")),
             qPrintable(emulator.printedLines().last()));
    QCOMPARE(readFile(cal).mid(96), compiled(*window.model()));
    QCOMPARE(p->messages.last().text, QStringLiteral("Upload Complete"));
}

QString TestModuleCompare::holdsLineOf(KELDA &window, ScriptedPrompter *p)
{
    QString holds;
    p->onExec = [&](QDialog *dialog) {
        auto *form = qobject_cast<UploadForm *>(dialog);
        if (!form || !waitUntil([form] { return form->waitingForUpload(); }, 20000))
            return -1;
        holds = form->findChild<QLabel *>(QStringLiteral("holdsLine"))->text();
        form->cancel();
        return 0;
    };
    window.fileUpload();
    return holds;
}

void TestModuleCompare::windowHoldsLine()
{
    useConfigFolder(dir_.filePath(QStringLiteral("config-holds")));
    const QString original = saveSetup(QStringLiteral("utility-truck.kelda"), false);
    const QString cal = dir_.filePath(QStringLiteral("holds.cal"));
    EmulatorProcess emulator({QStringLiteral("--cal-file"), cal});
    QVERIFY(!emulator.path().isEmpty());
    setPorts({emulator.path()});
    QCOMPARE(runCli({QStringLiteral("upload"), original, QStringLiteral("--port"), emulator.path()}).exitCode, 0);
    const QByteArray stored = readFile(cal);

    KELDA window;
    ScriptedPrompter *p = installPrompter(window, &ScriptedPrompter::affirmative);
    kelda::settings::write(window.settings(), kelda::settings::Key::Port, emulator.path());
    QVERIFY(window.model()->openSetup(original));
    QCOMPARE(holdsLineOf(window, p), QStringLiteral("holds utility-truck.kelda"));

    // A copy under another name, and the same setup never saved, still hold.
    const QString copy = dir_.filePath(QStringLiteral("spare.kelda"));
    QVERIFY(window.model()->saveSetup(copy));
    QCOMPARE(holdsLineOf(window, p), QStringLiteral("holds spare.kelda"));
    buildSetup(*window.model(), false);
    QVERIFY(window.model()->fileName().isEmpty());
    QCOMPARE(holdsLineOf(window, p), QStringLiteral("holds the open setup"));

    buildSetup(*window.model(), true);
    QCOMPARE(holdsLineOf(window, p), QStringLiteral("differs"));
    QCOMPARE(readFile(cal), stored);
}

void TestModuleCompare::moduleWithoutRead()
{
    useConfigFolder(dir_.filePath(QStringLiteral("config-old")));
    const QString setup = saveSetup(QStringLiteral("old.kelda"), false);
    const QString changed = saveSetup(QStringLiteral("old-changed.kelda"), true);
    const QString cal = dir_.filePath(QStringLiteral("old.cal"));
    EmulatorProcess emulator({QStringLiteral("--old"), QStringLiteral("--cal-file"), cal});
    QVERIFY(!emulator.path().isEmpty());
    setPorts({emulator.path()});
    const QStringList port{QStringLiteral("--port"), emulator.path()};
    QCOMPARE(runCli(QStringList{QStringLiteral("upload"), changed} + port).exitCode, 0);

    // It cannot be compared: verify --diff says so, upload goes on.
    CliRun run = runCli(QStringList{QStringLiteral("verify"), setup, QStringLiteral("--diff")} + port);
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.err.contains("could not be compared: "), run.err.constData());
    run = runCli(QStringList{QStringLiteral("upload"), setup} + port);
    QCOMPARE(run.exitCode, 0);
    QVERIFY2(run.out.contains("  the module not known: "), run.out.constData());

    // The window says so too, and Upload connects again and writes.
    QCOMPARE(runCli(QStringList{QStringLiteral("upload"), changed} + port).exitCode, 0);
    KELDA window;
    ScriptedPrompter *p = installPrompter(window, &ScriptedPrompter::affirmative);
    kelda::settings::write(window.settings(), kelda::settings::Key::Port, emulator.path());
    QVERIFY(window.model()->openSetup(setup));
    QString holds;
    p->onExec = [&](QDialog *dialog) {
        auto *form = qobject_cast<UploadForm *>(dialog);
        if (!form || !waitUntil([form] { return form->waitingForUpload(); }, 20000))
            return -1;
        holds = form->findChild<QLabel *>(QStringLiteral("holdsLine"))->text();
        form->findChild<QPushButton *>(QStringLiteral("uploadButton"))->click();
        waitUntil([form] { return form->outcome() != UploadForm::Outcome::Running; }, 20000);
        form->cancel();
        return 0;
    };
    window.fileUpload();
    QVERIFY2(holds.startsWith(QStringLiteral("not known: ")), qPrintable(holds));
    QCOMPARE(p->messages.last().text, QStringLiteral("Upload Complete"));
    QCOMPARE(readFile(cal).mid(96), compiled(*window.model()));
}

void TestModuleCompare::cancelWhileComparing()
{
    useConfigFolder(dir_.filePath(QStringLiteral("config-slow")));
    const QString changed = saveSetup(QStringLiteral("slow-changed.kelda"), true);
    const QString cal = dir_.filePath(QStringLiteral("slow.cal"));
    {
        EmulatorProcess fast({QStringLiteral("--cal-file"), cal});
        QVERIFY(!fast.path().isEmpty());
        QCOMPARE(runCli({QStringLiteral("upload"), changed, QStringLiteral("--port"), fast.path()}).exitCode, 0);
    }
    const QByteArray before = readFile(cal);
    // Slow enough that the comparison is still under way when Cancel comes.
    EmulatorProcess emulator({QStringLiteral("--cal-file"), cal, QStringLiteral("--baud"), QStringLiteral("1200")});
    QVERIFY(!emulator.path().isEmpty());
    setPorts({emulator.path()});

    KELDA window;
    ScriptedPrompter *p = installPrompter(window, &ScriptedPrompter::affirmative);
    kelda::settings::write(window.settings(), kelda::settings::Key::Port, emulator.path());
    buildSetup(*window.model(), false);
    bool wasComparing = false;
    p->onExec = [&](QDialog *dialog) {
        auto *form = qobject_cast<UploadForm *>(dialog);
        if (!form)
            return -1;
        const auto holds = form->findChild<QLabel *>(QStringLiteral("holdsLine"));
        waitUntil([form] { return form->log()->toPlainText().contains(QStringLiteral("Comparing")); }, 20000);
        wasComparing = holds->text() == QStringLiteral("Comparing with the module...") && !form->waitingForUpload();
        form->cancel();
        return 0;
    };
    window.fileUpload();
    QVERIFY(wasComparing);
    QTest::qWait(300);  // a late report must find nothing to call
    QCOMPARE(readFile(cal), before);
}

QTEST_MAIN(TestModuleCompare)
#include "tst_modulecompare.moc"
