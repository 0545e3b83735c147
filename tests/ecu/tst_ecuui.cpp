// The upload dialog end to end with lx2-emulator, the COM port and About
// dialogs, and the main window's upload, port and About commands.
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QCryptographicHash>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

#include "about.h"
#include "comportform.h"
#include "crc32.h"
#include "ecumediator.h"
#include "emulatorprocess.h"
#include "eventloop.h"
#include "history.h"
#include "kelda.h"
#include "pmmodel.h"
#include "scriptedprompter.h"
#include "settings.h"
#include "testenv.h"
#include "testfiles.h"
#include "testpaths.h"
#include "uploadform.h"

using namespace kelda::test;

namespace {

struct Box {
    QMessageBox::Icon icon;
    QString title;
    QString text;
};

// Answers the dialog's boxes and questions, and remembers them.
struct Answers {
    QList<Box> boxes;
    // Answers to the engine question in turn; the last one stands for the rest.
    QList<QMessageBox::StandardButton> engineRunning{QMessageBox::Ok};
    int engineAsked = 0;

    UploadForm::Asker asker()
    {
        return [this](QWidget *, QMessageBox::Icon icon, const QString &title, const QString &text,
                      QMessageBox::StandardButtons buttons) {
            boxes.append({icon, title, text});
            if (title == QLatin1String("Warning"))
                return engineRunning.value(engineAsked++, engineRunning.last());
            if (buttons & QMessageBox::Yes)
                return QMessageBox::Yes;
            return QMessageBox::Ok;
        };
    }
    bool has(const QString &title) const
    {
        for (const Box &b : boxes)
            if (b.title == title)
                return true;
        return false;
    }
};

const QByteArray kPreviousCal = QByteArray(96, '\xff') + QByteArray("previous calibration");

QPushButton *button(const UploadForm &form, const char *name)
{
    return form.findChild<QPushButton *>(QLatin1String(name));
}

}  // namespace

class TestEcuUi : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void aboutBox();
    void comPortSelection_data();
    void comPortSelection();
    void configPortStoresOnOkAndTitleBar();

    void uploadWritesNameAndImage_data();
    void uploadWritesNameAndImage();
    void noRune();
    void incompatible_data();
    void incompatible();
    void portChangeReconnects();
    void disconnectedWithoutPortChange();
    void cancelDuringUploadKeepsPrevious();
    void engineRunning_data();
    void engineRunning();
    void secondUploadWritesNothing();
    void failureAfterCommit_data();
    void failureAfterCommit();
    void missingRememberedPort();
    void faultsDuringUpload();
    void moduleDiesMidUpload();
    void endsLikeADialog();
    void noPortListed_data();
    void noPortListed();
    void historyOfTheDialog();

    void fileUploadFromMainWindow();
    void fileUploadRefusesUncompilableSetup();

private:
    // Runs a dialog until it closes or the time is up.
    bool waitClosed(UploadForm &form, int ms = 20000);

    QTemporaryDir dir_;
};

void TestEcuUi::initTestCase()
{
    QLocale::setDefault(QLocale::c());
    QStandardPaths::setTestModeEnabled(true);
    QVERIFY(dir_.isValid());
    isolateCorla(dir_.path());
}

void TestEcuUi::init()
{
    setPorts({});
}

bool TestEcuUi::waitClosed(UploadForm &form, int ms)
{
    return waitUntil([&form] { return form.outcome() != UploadForm::Outcome::Running; }, ms);
}

void TestEcuUi::aboutBox()
{
    About about(nullptr);
    QCOMPARE(about.objectName(), QStringLiteral("HelpAbout"));
    QCOMPARE(about.windowTitle(), QStringLiteral("About KELDA"));
    QCOMPARE(about.findChild<QLabel *>(QStringLiteral("labelProduct"))->text(), QStringLiteral("KELDA"));
    QCOMPARE(about.findChild<QLabel *>(QStringLiteral("labelVersion"))->text(), QStringLiteral("2.0.15.0 "));
    const QString built = about.findChild<QLabel *>(QStringLiteral("labelBuildDate"))->text();
    QVERIFY2(QRegularExpression(QStringLiteral("^\\d{4}-[1-9]\\d?-[1-9]\\d? - \\d\\d:\\d\\d:\\d\\dUTC$"))
                 .match(built)
                 .hasMatch(),
             qPrintable(built));
    QVERIFY(about.findChild<QLabel *>(QStringLiteral("label"))->text().contains(QString::fromLatin1(qVersion())));
    QVERIFY(about.findChild<QLabel *>(QStringLiteral("labelCopyright"))->text().contains(QStringLiteral("Ostrel")));
    about.show();
    QVERIFY(QTest::qWaitForWindowExposed(&about));
    QTest::mouseClick(about.findChild<QPushButton *>(QStringLiteral("OKButton")), Qt::LeftButton);
    QTRY_VERIFY(!about.isVisible());
}

void TestEcuUi::comPortSelection_data()
{
    QTest::addColumn<QStringList>("ports");
    QTest::addColumn<QString>("remembered");
    QTest::addColumn<QString>("selected");
    const QStringList two{QStringLiteral("/tmp/kelda-a"), QStringLiteral("/tmp/kelda-b")};
    QTest::newRow("present") << two << "/tmp/kelda-b"
                             << "/tmp/kelda-b";
    QTest::newRow("absent") << two << "/tmp/kelda-gone"
                            << "/tmp/kelda-a";
    QTest::newRow("empty") << two << ""
                           << "/tmp/kelda-a";
    QTest::newRow("no ports") << QStringList() << "/tmp/kelda-a"
                              << "";
}

void TestEcuUi::comPortSelection()
{
    QFETCH(QStringList, ports);
    QFETCH(QString, remembered);
    QFETCH(QString, selected);
    setPorts(ports);
    COMPortForm form(nullptr, remembered);
    QCOMPARE(form.objectName(), QStringLiteral("COMPortFormClass"));
    QCOMPARE(form.portCombo()->count(), ports.size());
    for (int i = 0; i < ports.size(); ++i) {
        QCOMPARE(form.portCombo()->itemText(i), ports.at(i));
        QCOMPARE(form.portCombo()->itemData(i).toInt(), 0);
    }
    QCOMPARE(form.port(), selected);
    QCOMPARE(form.portCombo()->currentIndex(), ports.isEmpty() ? -1 : ports.indexOf(selected));
}

void TestEcuUi::configPortStoresOnOkAndTitleBar()
{
    useConfigFolder(dir_.path() + QStringLiteral("/config-port"));
    setPorts({QStringLiteral("/tmp/kelda-a"), QStringLiteral("/tmp/kelda-b")});
    KELDA window;
    ScriptedPrompter *p = installPrompter(window, &ScriptedPrompter::affirmative);
    kelda::settings::write(window.settings(), kelda::settings::Key::Port, QStringLiteral("/tmp/kelda-gone"));

    // "OK": the button closes the dialog.
    p->onExec = [](QDialog *dialog) {
        auto *form = qobject_cast<COMPortForm *>(dialog);
        if (!form)
            return -1;
        form->show();
        form->portCombo()->setCurrentIndex(1);
        QTest::mouseClick(form->findChild<QPushButton *>(QStringLiteral("cancelButton")), Qt::LeftButton);
        return form->isVisible() ? -1 : 0;
    };
    window.configPort();
    QCOMPARE(kelda::settings::read(window.settings(), kelda::settings::Key::Port), QStringLiteral("/tmp/kelda-b"));

    // The title bar: the dialog is rejected, the shown port is still stored.
    QString shownFirst;
    p->onExec = [&shownFirst](QDialog *dialog) {
        auto *form = qobject_cast<COMPortForm *>(dialog);
        if (!form)
            return -1;
        shownFirst = form->port();
        form->show();
        form->portCombo()->setCurrentIndex(0);
        form->close();
        return 0;
    };
    window.configPort();
    QCOMPARE(shownFirst, QStringLiteral("/tmp/kelda-b"));
    QCOMPARE(kelda::settings::read(window.settings(), kelda::settings::Key::Port), QStringLiteral("/tmp/kelda-a"));

    // No ports: the empty string.
    setPorts({});
    p->onExec = [](QDialog *) { return 0; };
    window.configPort();
    QCOMPARE(kelda::settings::read(window.settings(), kelda::settings::Key::Port), QString());
}

void TestEcuUi::uploadWritesNameAndImage_data()
{
    QTest::addColumn<QStringList>("emulatorArgs");
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<int>("nameSize");
    QTest::addColumn<QByteArray>("field");
    QTest::newRow("padded") << QStringList() << QByteArray("a.kelda") << 8 << QByteArray("a.kelda ");
    QTest::newRow("exact") << QStringList() << QByteArray("ab.kelda") << 8 << QByteArray("ab.kelda");
    QTest::newRow("cut") << QStringList() << QByteArray("longsetup.kelda") << 8 << QByteArray("longsetu");
    QTest::newRow("never saved") << QStringList() << QByteArray() << 8 << QByteArray("        ");
    QTest::newRow("lower-case lx2") << QStringList{"--module", "0x4C32", "--firmware", "0x3105"}
                                    << QByteArray("a.kelda") << 8 << QByteArray("a.kelda ");
    QTest::newRow("four-byte field") << QStringList{"--module", "0x4C32", "--firmware", "0x3201"}
                                     << QByteArray("abcdef.kelda") << 4 << QByteArray("abcd");
}

void TestEcuUi::uploadWritesNameAndImage()
{
    QFETCH(QStringList, emulatorArgs);
    QFETCH(QByteArray, name);
    QFETCH(int, nameSize);
    QFETCH(QByteArray, field);
    const QString cal = dir_.path() + QStringLiteral("/ok.cal");
    QFile::remove(cal);
    EmulatorProcess emulator;
    QVERIFY(emulator.start(emulatorArgs + QStringList{QStringLiteral("--cal-file"), cal}));
    setPorts({emulator.path()});

    const QByteArray image = patternImage(2500);
    Answers answers;
    QString imagePath;
    {
        UploadForm form(nullptr, emulator.path(), name);
        form.setAsker(answers.asker());
        imagePath = form.imageFileName();
        QVERIFY(QFile::exists(imagePath));
        QVERIFY(writeFile(imagePath, image));
        QCOMPARE(form.portName(), emulator.path());
        QVERIFY(form.log()->isReadOnly());
        form.show();
        QVERIFY(waitClosed(form));
        QCOMPARE(form.outcome(), UploadForm::Outcome::Complete);
        // It ends like a dialog: still open, the log readable, Close to leave.
        QVERIFY(form.isVisible());
        QCOMPARE(button(form, "cancelButton")->text(), QStringLiteral("Close"));
        QVERIFY(!button(form, "retryButton")->isVisible());
        // One block of up to 4096 bytes: counted in the singular.
        QVERIFY(form.log()->toPlainText().contains(QStringLiteral(" calibration bytes in 1 block...")));
        QVERIFY(form.log()->toPlainText().contains(QStringLiteral(" calibration bytes in 1 WRITE request.")));
        QCOMPARE(form.progressBar()->value(), form.progressBar()->maximum());
        QVERIFY(form.log()->toPlainText().contains(QStringLiteral("Upload Calibration")));
    }
    QVERIFY(!QFile::exists(imagePath));  // removed with the dialog
    QCOMPARE(answers.boxes.size(), 1);
    QCOMPARE(answers.boxes.first().icon, QMessageBox::Information);
    QCOMPARE(answers.boxes.first().title, QStringLiteral("OK"));
    QCOMPARE(answers.boxes.first().text, QStringLiteral("Upload Complete"));

    const QByteArray stored = readFile(cal);
    QCOMPARE(stored.size(), 88 + nameSize + image.size());
    QCOMPARE(stored.left(88), QByteArray(88, '\xff'));
    QCOMPARE(stored.mid(88, nameSize), field);
    QCOMPARE(stored.mid(88 + nameSize), image);
}

void TestEcuUi::noRune()
{
    EmulatorProcess emulator;
    QVERIFY(emulator.start({QStringLiteral("--identity"), QStringLiteral("none")}));
    setPorts({emulator.path()});
    Answers answers;
    UploadForm form(nullptr, emulator.path(), "x.kelda");
    form.setAsker(answers.asker());
    form.show();
    QVERIFY(waitClosed(form));
    QCOMPARE(form.outcome(), UploadForm::Outcome::NoRune);
    QVERIFY(form.isVisible());  // the log stays; Retry once the RUNE file is installed
    QCOMPARE(button(form, "cancelButton")->text(), QStringLiteral("Close"));
    QVERIFY(button(form, "retryButton")->isVisible());
    QCOMPARE(answers.boxes.size(), 1);
    QCOMPARE(answers.boxes.first().icon, QMessageBox::Warning);
    QCOMPARE(answers.boxes.first().title, QStringLiteral("No RUNE"));
    // Where RUNE files go, not a tool this system does not have.
    QCOMPARE(answers.boxes.first().text,
             QStringLiteral("RUNE file is not installed for this ECU.\nCopy the module's RUNE file into one of these "
                            "folders:\n")
                 + runeFolder() + QLatin1Char('\n') + dataFolder() + QStringLiteral("/ecu/runes-lower"));
}

void TestEcuUi::historyOfTheDialog()
{
    const QString historyPath = kelda::history::defaultPath();
    // Beside the settings file (Qt's test location in this test, as every setting here).
    QCOMPARE(QFileInfo(historyPath).absolutePath(), QFileInfo(kelda::settings::open()->fileName()).absolutePath());
    QFile::remove(historyPath);
    const auto cleanup = qScopeGuard([&] { QFile::remove(historyPath); });
    const QString setup = dir_.path() + QStringLiteral("/tractor.kelda");
    QVERIFY(writeFile(setup, "the setup's bytes"));
    const QString cal = dir_.path() + QStringLiteral("/history.cal");
    QVERIFY(writeFile(cal, kPreviousCal));
    {
        EmulatorProcess emulator({QStringLiteral("--cal-file"), cal});
        setPorts({emulator.path()});
        Answers answers;
        UploadForm form(nullptr, emulator.path(), "tractor.kelda");
        form.setAsker(answers.asker());
        form.setSetupFile(setup);
        QVERIFY(writeFile(form.imageFileName(), patternImage(700)));
        form.vehicleEdit()->setText(QStringLiteral(" tractor 7 "));
        form.show();
        QVERIFY(waitClosed(form));
        QCOMPARE(form.outcome(), UploadForm::Outcome::Complete);
        form.cancel();  // Close: the tag is remembered, nothing more is recorded
    }
    const QByteArray stored = readFile(cal);
    {
        // The tag comes back; an incompatible module is a failure with its reason.
        EmulatorProcess lx1({QStringLiteral("--identity"), QStringLiteral("lx1")});
        setPorts({lx1.path()});
        Answers answers;
        UploadForm form(nullptr, lx1.path(), "tractor.kelda");
        form.setAsker(answers.asker());
        QCOMPARE(form.vehicleEdit()->text(), QStringLiteral("tractor 7"));
        QVERIFY(writeFile(form.imageFileName(), patternImage(700)));
        form.show();
        QVERIFY(waitClosed(form));
        form.cancel();
    }
    {
        // Closed while it still waits for a module that never answers.
        EmulatorProcess silent({QStringLiteral("--silent-after"), QStringLiteral("0")});
        setPorts({silent.path()});
        UploadForm form(nullptr, silent.path(), "tractor.kelda");
        form.show();
        form.cancel();
    }

    const kelda::history::ReadResult read = kelda::history::read(historyPath);
    QVERIFY(read.notes.isEmpty());
    QCOMPARE(read.entries.size(), 3);
    const kelda::history::Entry &ok = read.entries[0];
    QVERIFY2(ok.ok, qPrintable(ok.reason));
    QCOMPARE(ok.operation, QStringLiteral("upload"));
    QCOMPARE(ok.via, QStringLiteral("window"));
    QCOMPARE(ok.vehicle, QStringLiteral("tractor 7"));
    QCOMPARE(ok.file, setup);
    QCOMPARE(ok.sha256,
             QString::fromLatin1(QCryptographicHash::hash("the setup's bytes", QCryptographicHash::Sha256).toHex()));
    QCOMPARE(ok.crc, std::optional<uint32_t>(checksum::crc32(stored.constData(), size_t(stored.size()))));
    QCOMPARE(ok.length, std::optional<uint32_t>(uint32_t(stored.size())));
    QCOMPARE(ok.moduleWord, QStringLiteral("0x4C32"));
    QCOMPARE(ok.rune, QStringLiteral("LX2 30v00"));
    QVERIFY(!ok.port.isEmpty());

    QVERIFY(!read.entries[1].ok);
    QCOMPARE(read.entries[1].moduleWord, QStringLiteral("0x4C31"));
    QVERIFY2(read.entries[1].reason.startsWith(QStringLiteral("Incompatible ECU")), qPrintable(read.entries[1].reason));
    QCOMPARE(read.entries[1].vehicle, QStringLiteral("tractor 7"));
    QVERIFY(!read.entries[2].ok);
    QVERIFY2(read.entries[2].reason.startsWith(QStringLiteral("cancelled before the upload ended")),
             qPrintable(read.entries[2].reason));
    QVERIFY(read.entries[2].file.isEmpty());
}

void TestEcuUi::incompatible_data()
{
    QTest::addColumn<QString>("identity");
    QTest::addColumn<QString>("shown");
    QTest::newRow("lx1") << "lx1"
                         << "LX1 12v03";
    QTest::newRow("2x firmware") << "lx2-2x"
                                 << "LX2 21v04";
}

void TestEcuUi::incompatible()
{
    QFETCH(QString, identity);
    QFETCH(QString, shown);
    const QString cal = dir_.path() + QStringLiteral("/incompatible.cal");
    QVERIFY(writeFile(cal, kPreviousCal));
    EmulatorProcess emulator;
    QVERIFY(emulator.start({QStringLiteral("--identity"), identity, QStringLiteral("--cal-file"), cal}));
    setPorts({emulator.path()});
    Answers answers;
    UploadForm form(nullptr, emulator.path(), "x.kelda");
    form.setAsker(answers.asker());
    QVERIFY(writeFile(form.imageFileName(), patternImage(100)));
    form.show();
    QVERIFY(waitClosed(form));
    QCOMPARE(form.outcome(), UploadForm::Outcome::Incompatible);
    QVERIFY(form.isVisible());
    QCOMPARE(button(form, "cancelButton")->text(), QStringLiteral("Close"));
    QCOMPARE(answers.boxes.size(), 1);
    QCOMPARE(answers.boxes.first().icon, QMessageBox::Critical);
    QCOMPARE(answers.boxes.first().title, QStringLiteral("Incompatible ECU"));
    QCOMPARE(answers.boxes.first().text,
             QStringLiteral("This ECU (") + shown
                 + QStringLiteral(") is not compatible with this version of KELDA.\n"
                                  "If this is a LX2, please upgrade the firmware to 30v00 or later."));
    QVERIFY(!corla::Ecu(form.mediator()->ecu()).isConnected());
    QCOMPARE(readFile(cal), kPreviousCal);
}

void TestEcuUi::portChangeReconnects()
{
    const QString calA = dir_.path() + QStringLiteral("/a.cal");
    const QString calB = dir_.path() + QStringLiteral("/b.cal");
    QVERIFY(writeFile(calA, kPreviousCal));
    QFile::remove(calB);
    EmulatorProcess silent;
    QVERIFY(silent.start({QStringLiteral("--silent-after"), QStringLiteral("0"), QStringLiteral("--cal-file"), calA}));
    EmulatorProcess good;
    QVERIFY(good.start({QStringLiteral("--cal-file"), calB}));
    setPorts({silent.path(), good.path()});

    Answers answers;
    UploadForm form(nullptr, silent.path(), "pc.kelda");
    form.setAsker(answers.asker());
    const QByteArray image = patternImage(700);
    QVERIFY(writeFile(form.imageFileName(), image));
    form.show();
    QCOMPARE(form.portName(), silent.path());
    QTRY_VERIFY(form.log()->toPlainText().contains(QStringLiteral("Connect")));
    // Mid-connection: the silent module has not answered yet.
    QVERIFY(!form.mediator()->txns().empty());
    form.portCombo()->setCurrentIndex(1);
    QVERIFY(waitClosed(form));
    QCOMPARE(form.outcome(), UploadForm::Outcome::Complete);
    QCOMPARE(readFile(calB).mid(96), image);
    QCOMPARE(readFile(calA), kPreviousCal);
}

void TestEcuUi::disconnectedWithoutPortChange()
{
    EmulatorProcess silent;
    QVERIFY(silent.start({QStringLiteral("--silent-after"), QStringLiteral("0")}));
    setPorts({silent.path()});
    Answers answers;
    UploadForm form(nullptr, silent.path(), "d.kelda");
    form.setAsker(answers.asker());
    // The connect fails (timeout) and the library disconnects; nothing reconnects.
    QTRY_VERIFY_WITH_TIMEOUT(form.log()->toPlainText().contains(QStringLiteral("Connection failed")), 15000);
    QTRY_VERIFY(form.log()->toPlainText().contains(QStringLiteral("Disconnected")));
    // Fixed waits on purpose: they give a reconnect the time to show, and none may.
    QTest::qWait(300);
    QVERIFY(form.mediator()->txns().empty());
    form.statusMessage(QStringLiteral("Disconnected"));
    QTest::qWait(100);
    QVERIFY(form.mediator()->txns().empty());
    QCOMPARE(form.outcome(), UploadForm::Outcome::Running);  // stays open for another port or Cancel
    QCOMPARE(button(form, "cancelButton")->text(), QStringLiteral("Cancel"));
    QVERIFY(button(form, "retryButton")->isVisibleTo(&form));  // or the same port once more
    QVERIFY(answers.boxes.isEmpty());
}

void TestEcuUi::cancelDuringUploadKeepsPrevious()
{
    const QString cal = dir_.path() + QStringLiteral("/cancel.cal");
    QVERIFY(writeFile(cal, kPreviousCal));
    EmulatorProcess emulator;
    QVERIFY(emulator.start({QStringLiteral("--baud"), QStringLiteral("19200"), QStringLiteral("--cal-file"), cal}));
    setPorts({emulator.path()});
    Answers answers;
    UploadForm form(nullptr, emulator.path(), "c.kelda");
    form.setAsker(answers.asker());
    QVERIFY(writeFile(form.imageFileName(), patternImage(20000)));
    form.show();
    QTRY_VERIFY_WITH_TIMEOUT(form.progressBar()->value() > form.progressBar()->minimum(), 15000);
    QTest::mouseClick(form.findChild<QPushButton *>(QStringLiteral("cancelButton")), Qt::LeftButton);
    QCOMPARE(form.outcome(), UploadForm::Outcome::Cancelled);
    QVERIFY(!form.isVisible());
    QVERIFY(form.mediator()->txns().empty());
    QVERIFY(!answers.has(QStringLiteral("OK")));
    // A fixed wait on purpose: the module gets the time to commit, and must not.
    QTest::qWait(300);
    QCOMPARE(readFile(cal), kPreviousCal);
}

void TestEcuUi::engineRunning_data()
{
    QTest::addColumn<QStringList>("emulatorArgs");
    QTest::addColumn<QList<QMessageBox::StandardButton>>("answers");
    QTest::addColumn<int>("asked");
    QTest::addColumn<bool>("uploaded");
    const QList<QMessageBox::StandardButton> ok{QMessageBox::Ok};
    // Ok means "I have stopped it": the module is asked again.
    QTest::newRow("ok, engine stopped by then") << QStringList{"--engine-stops-after", "0"} << ok << 1 << true;
    QTest::newRow("ok, engine stops later") << QStringList{"--engine-stops-after", "2"} << ok << 3 << true;
    QTest::newRow("ok while it runs, then cancel")
        << QStringList() << QList<QMessageBox::StandardButton>{QMessageBox::Ok, QMessageBox::Ok, QMessageBox::Cancel}
        << 3 << false;
    QTest::newRow("cancel") << QStringList() << QList<QMessageBox::StandardButton>{QMessageBox::Cancel} << 1 << false;
}

void TestEcuUi::engineRunning()
{
    QFETCH(QStringList, emulatorArgs);
    QFETCH(QList<QMessageBox::StandardButton>, answers);
    QFETCH(int, asked);
    QFETCH(bool, uploaded);
    const QString cal = dir_.path() + QStringLiteral("/engine.cal");
    QVERIFY(writeFile(cal, kPreviousCal));
    EmulatorProcess emulator;
    QVERIFY(emulator.start(emulatorArgs
                           + QStringList{QStringLiteral("--engine-running"), QStringLiteral("--cal-file"), cal}));
    setPorts({emulator.path()});
    Answers answered;
    answered.engineRunning = answers;
    UploadForm form(nullptr, emulator.path(), "e.kelda");
    form.setAsker(answered.asker());
    const QByteArray image = patternImage(900);
    QVERIFY(writeFile(form.imageFileName(), image));
    form.show();
    if (uploaded) {
        QVERIFY(waitClosed(form));
    } else {
        QTRY_VERIFY_WITH_TIMEOUT(form.log()->toPlainText().contains(QStringLiteral("Upload failed")), 15000);
    }
    QCOMPARE(answered.engineAsked, asked);
    QCOMPARE(answered.boxes.first().icon, QMessageBox::Warning);
    QCOMPARE(answered.boxes.first().title, QStringLiteral("Warning"));
    QCOMPARE(answered.boxes.first().text,
             QStringLiteral("Cannot perform operation when the engine is running.\n"
                            "Please stop the engine before continuing."));
    if (uploaded) {
        QCOMPARE(form.outcome(), UploadForm::Outcome::Complete);
        QCOMPARE(readFile(cal).mid(96), image);
    } else {
        QCOMPARE(form.outcome(), UploadForm::Outcome::Failed);
        QVERIFY(form.isVisible());  // stays open; the log says why
        QVERIFY(!answered.has(QStringLiteral("OK")));
        QCOMPARE(readFile(cal), kPreviousCal);
    }
}

void TestEcuUi::secondUploadWritesNothing()
{
    const QString cal = dir_.path() + QStringLiteral("/twice.cal");
    QFile::remove(cal);
    EmulatorProcess emulator;
    QVERIFY(emulator.start({QStringLiteral("--stats"), QStringLiteral("--cal-file"), cal}));
    setPorts({emulator.path()});
    const QByteArray image = patternImage(3000);
    for (int round = 0; round < 2; ++round) {
        Answers answers;
        UploadForm form(nullptr, emulator.path(), "twice.kelda");
        form.setAsker(answers.asker());
        QVERIFY(writeFile(form.imageFileName(), image));
        form.show();
        QVERIFY(waitClosed(form));
        QCOMPARE(form.outcome(), UploadForm::Outcome::Complete);
        QVERIFY(answers.has(QStringLiteral("OK")));
        QCOMPARE(form.log()->toPlainText().contains(QStringLiteral("The module already holds this calibration.")),
                 round == 1);
    }
    // One COMMIT only: the second time nothing reached the module's storage.
    QTRY_VERIFY(!emulator.printedLines().isEmpty());
    QTest::qWait(200);  // on purpose: a second COMMIT's line gets the time to arrive, and none may
    const QStringList stats = emulator.printedLines();
    QCOMPARE(stats.size(), 1);
    QVERIFY2(stats.first().startsWith(QLatin1String("stats: COMMIT stored 3096 bytes")), qPrintable(stats.first()));
}

void TestEcuUi::failureAfterCommit_data()
{
    QTest::addColumn<QStringList>("emulatorArgs");
    QTest::addColumn<bool>("cancel");
    QTest::addColumn<QString>("line");
    QTest::newRow("committed, then silent")
        << QStringList{"--mute-after-commit", "3"} << false
        << "Upload failed: the module did not answer. The module holds the new calibration";
    QTest::newRow("never answers again")
        << QStringList{"--mute-after-commit", "1000"} << false
        << "Upload failed: the module did not answer. It is not known whether the module holds the new calibration: "
           "check the module before the vehicle is used.";
    QTest::newRow("cancelled while committing")
        << QStringList{"--mute-after-commit", "0"} << true << "Upload cancelled. The module holds the new calibration";
}

void TestEcuUi::failureAfterCommit()
{
    QFETCH(QStringList, emulatorArgs);
    QFETCH(bool, cancel);
    QFETCH(QString, line);
    qputenv("CORLA_COMMIT_TIMEOUT_MS", cancel ? "10000" : "100");
    const QString cal = dir_.path() + QStringLiteral("/after-commit.cal");
    QVERIFY(writeFile(cal, kPreviousCal));
    EmulatorProcess emulator;
    QVERIFY(emulator.start(emulatorArgs + QStringList{QStringLiteral("--cal-file"), cal}));
    setPorts({emulator.path()});
    Answers answers;
    UploadForm form(nullptr, emulator.path(), "ac.kelda");
    form.setAsker(answers.asker());
    const QByteArray image = patternImage(2000);
    QVERIFY(writeFile(form.imageFileName(), image));
    form.show();
    if (cancel) {
        // Verified: COMMIT is on its way and stays unanswered.
        QTRY_COMPARE_WITH_TIMEOUT(form.progressBar()->value(), 95, 15000);
        QTest::mouseClick(form.findChild<QPushButton *>(QStringLiteral("cancelButton")), Qt::LeftButton);
        QVERIFY(form.isVisible());  // open, to say what the module holds
        QCOMPARE(form.outcome(), UploadForm::Outcome::Cancelled);
        QTest::mouseClick(form.findChild<QPushButton *>(QStringLiteral("cancelButton")), Qt::LeftButton);
        QVERIFY(!form.isVisible());
    } else {
        QTRY_VERIFY_WITH_TIMEOUT(form.log()->toPlainText().contains(QStringLiteral("Upload failed")), 20000);
        QCOMPARE(form.outcome(), UploadForm::Outcome::Failed);
    }
    qunsetenv("CORLA_COMMIT_TIMEOUT_MS");
    QVERIFY2(form.log()->toPlainText().split(QLatin1Char('\n')).contains(line), qPrintable(form.log()->toPlainText()));
    QVERIFY(form.progressBar()->value() < form.progressBar()->maximum());
    QVERIFY(!answers.has(QStringLiteral("OK")));
    QCOMPARE(readFile(cal).mid(96), image);  // the module did store it
}

void TestEcuUi::missingRememberedPort()
{
    const QString cal = dir_.path() + QStringLiteral("/missing.cal");
    QFile::remove(cal);
    EmulatorProcess first;
    QVERIFY(first.start({}));
    EmulatorProcess emulator;
    QVERIFY(emulator.start({QStringLiteral("--cal-file"), cal}));
    setPorts({first.path(), emulator.path()});
    const QString gone = dir_.path() + QStringLiteral("/unplugged");
    Answers answers;
    UploadForm form(nullptr, gone, "m.kelda");
    form.setAsker(answers.asker());
    const QByteArray image = patternImage(500);
    QVERIFY(writeFile(form.imageFileName(), image));
    form.show();
    // Not the first listed port in its place: nothing is selected and nothing starts.
    QCOMPARE(form.portCombo()->currentIndex(), -1);
    QCOMPARE(form.portName(), gone);
    QVERIFY(form.log()->toPlainText().contains(QStringLiteral("The remembered port %1 is not present").arg(gone)));
    QTest::qWait(300);  // on purpose: a connect gets the time to start, and none may
    QVERIFY(form.mediator()->txns().empty());
    QVERIFY(!corla::Ecu(form.mediator()->ecu()).isConnected());
    QCOMPARE(form.outcome(), UploadForm::Outcome::Running);
    // The user picks the module's port.
    form.portCombo()->setCurrentIndex(1);
    QVERIFY(waitClosed(form));
    QCOMPARE(form.outcome(), UploadForm::Outcome::Complete);
    QCOMPARE(form.portName(), emulator.path());
    QCOMPARE(readFile(cal).mid(96), image);
}

void TestEcuUi::faultsDuringUpload()
{
    const QString cal = dir_.path() + QStringLiteral("/faults.cal");
    QFile::remove(cal);
    EmulatorProcess emulator;
    QVERIFY(
        emulator.start({QStringLiteral("--drop"), QStringLiteral("3"), QStringLiteral("--corrupt"), QStringLiteral("4"),
                        QStringLiteral("--corrupt-rx"), QStringLiteral("5"), QStringLiteral("--cal-file"), cal}));
    setPorts({emulator.path()});
    Answers answers;
    UploadForm form(nullptr, emulator.path(), "f.kelda");
    form.setAsker(answers.asker());
    const QByteArray image = patternImage(6000);
    QVERIFY(writeFile(form.imageFileName(), image));
    form.show();
    QVERIFY(waitClosed(form, 60000));
    QCOMPARE(form.outcome(), UploadForm::Outcome::Complete);
    QCOMPARE(readFile(cal).mid(88), QByteArray("f.kelda ") + image);
}

void TestEcuUi::moduleDiesMidUpload()
{
    const QString cal = dir_.path() + QStringLiteral("/dies.cal");
    QVERIFY(writeFile(cal, kPreviousCal));
    EmulatorProcess emulator;
    QVERIFY(
        emulator.start({QStringLiteral("--exit-after"), QStringLiteral("3000"), QStringLiteral("--cal-file"), cal}));
    setPorts({emulator.path()});
    Answers answers;
    UploadForm form(nullptr, emulator.path(), "d.kelda");
    form.setAsker(answers.asker());
    QVERIFY(writeFile(form.imageFileName(), patternImage(8000)));
    form.show();
    QVERIFY(waitClosed(form, 30000));
    QCOMPARE(form.outcome(), UploadForm::Outcome::Failed);
    QVERIFY(!answers.has(QStringLiteral("OK")));
    QVERIFY(form.isVisible());
    QVERIFY(form.log()->toPlainText().contains(QStringLiteral("Upload failed")));
    QCOMPARE(readFile(cal), kPreviousCal);
}

void TestEcuUi::endsLikeADialog()
{
    useConfigFolder(dir_.path() + QStringLiteral("/config-ends"));
    const QString cal = dir_.path() + QStringLiteral("/ends.cal");
    QVERIFY(writeFile(cal, kPreviousCal));
    // The engine runs at the first try (Cancel: the upload fails); at the
    // retry the user stops it (Ok) and the upload goes through.
    EmulatorProcess emulator;
    QVERIFY(emulator.start({QStringLiteral("--engine-running"), QStringLiteral("--engine-stops-after"),
                            QStringLiteral("2"), QStringLiteral("--cal-file"), cal}));
    setPorts({emulator.path()});
    Answers answers;
    answers.engineRunning = {QMessageBox::Cancel, QMessageBox::Ok};
    const QByteArray image = patternImage(9000);
    {
        UploadForm form(nullptr, emulator.path(), "r.kelda");
        form.setAsker(answers.asker());
        QVERIFY(writeFile(form.imageFileName(), image));
        QCOMPARE(button(form, "cancelButton")->text(), QStringLiteral("Cancel"));
        QVERIFY(!button(form, "retryButton")->isVisible());
        form.show();
        QVERIFY(waitClosed(form));
        QCOMPARE(form.outcome(), UploadForm::Outcome::Failed);
        QCOMPARE(button(form, "cancelButton")->text(), QStringLiteral("Close"));
        QVERIFY(button(form, "retryButton")->isVisible());
        QCOMPARE(readFile(cal), kPreviousCal);

        button(form, "retryButton")->click();
        QCOMPARE(form.outcome(), UploadForm::Outcome::Running);
        QCOMPARE(button(form, "cancelButton")->text(), QStringLiteral("Cancel"));
        QVERIFY(!button(form, "retryButton")->isVisible());
        QVERIFY(waitClosed(form));
        QVERIFY2(form.outcome() == UploadForm::Outcome::Complete, qPrintable(form.log()->toPlainText()));
        QCOMPARE(readFile(cal).mid(96), image);
        QVERIFY(answers.has(QStringLiteral("OK")));
        QVERIFY(!button(form, "retryButton")->isVisible());
        QVERIFY(form.isVisible());

        // The whole story stays: the failure, then the upload in 3 blocks.
        const QString log = form.log()->toPlainText();
        QVERIFY(log.indexOf(QStringLiteral("Upload failed")) < log.indexOf(QStringLiteral("Retrying on ")));
        QVERIFY(log.contains(QStringLiteral(" calibration bytes in 3 WRITE requests")));
        QVERIFY(form.log()->textInteractionFlags() & Qt::TextSelectableByKeyboard);
        form.log()->selectAll();
        form.log()->copy();
        QCOMPARE(QGuiApplication::clipboard()->text(), log);

        // Save Log... through the file writer; a folder that is not there is told.
        const QString saved = dir_.path() + QStringLiteral("/upload.log");
        QString offered;
        form.setSaveChooser([&](QWidget *, const QString &, const QString &suggested) {
            offered = suggested;
            return saved;
        });
        button(form, "saveLogButton")->click();
        QVERIFY(offered.endsWith(QStringLiteral(".log")));
        QCOMPARE(QString::fromUtf8(readFile(saved)), log + QLatin1Char('\n'));
        const qsizetype boxes = answers.boxes.size();
        QVERIFY(!form.saveLog(dir_.path() + QStringLiteral("/no/such/folder/upload.log")));
        QCOMPARE(answers.boxes.size(), boxes + 1);
        QCOMPARE(answers.boxes.last().icon, QMessageBox::Critical);
        QVERIFY(answers.boxes.last().text.contains(QStringLiteral("does not exist")));

        form.resize(640, 480);
        button(form, "cancelButton")->click();  // "Close"
        QVERIFY(!form.isVisible());
    }
    // The next upload dialog opens at the size the last one was left at.
    UploadForm next(nullptr, QString(), "r.kelda");
    QCOMPARE(next.size(), QSize(640, 480));
}

void TestEcuUi::noPortListed_data()
{
    QTest::addColumn<QString>("remembered");
    QTest::addColumn<QString>("log");
    QTest::newRow("nothing remembered") << ""
                                        << "Connection failed";
    QTest::newRow("remembered port gone") << "/dev/whatever"
                                          << "The remembered port /dev/whatever is not present";
}

void TestEcuUi::noPortListed()
{
    QFETCH(QString, remembered);
    QFETCH(QString, log);
    Answers answers;
    UploadForm form(nullptr, remembered, "n.kelda");
    form.setAsker(answers.asker());
    QCOMPARE(form.portCombo()->count(), 0);
    QCOMPARE(form.portName(), remembered);
    QVERIFY(form.mediator()->currentPortFactory() == nullptr);
    QTRY_VERIFY(form.log()->toPlainText().contains(log));
    QCOMPARE(form.outcome(), UploadForm::Outcome::Running);
}

void TestEcuUi::fileUploadFromMainWindow()
{
    useConfigFolder(dir_.path() + QStringLiteral("/config-upload"));
    const QString cal = dir_.path() + QStringLiteral("/window.cal");
    QFile::remove(cal);
    EmulatorProcess emulator;
    QVERIFY(emulator.start({QStringLiteral("--cal-file"), cal}));
    EmulatorProcess other;
    QVERIFY(other.start({}));
    setPorts({other.path(), emulator.path()});

    KELDA window;
    ScriptedPrompter *p = installPrompter(window, &ScriptedPrompter::affirmative);
    const QString setup = dir_.path() + QStringLiteral("/window.kelda");
    QVERIFY(window.model()->saveSetup(setup));
    const QString image = dir_.path() + QStringLiteral("/window.bin");
    QVERIFY(window.model()->writeRawImage(image));
    kelda::settings::write(window.settings(), kelda::settings::Key::Port, emulator.path());

    // Runs the upload as the modal loop would, until the dialog closes.
    p->onExec = [](QDialog *dialog) {
        auto *form = qobject_cast<UploadForm *>(dialog);
        if (!form)
            return -1;
        form->show();
        // The window's upload shows what it will do first and waits for Upload.
        if (!waitUntil([form] { return form->waitingForUpload(); }, 20000))
            return -1;
        form->findChild<QPushButton *>(QStringLiteral("uploadButton"))->click();
        if (!waitUntil([form] { return form->outcome() != UploadForm::Outcome::Running; }, 20000))
            return -1;
        form->findChild<QPushButton *>(QStringLiteral("cancelButton"))->click();  // "Close"
        return form->isVisible() ? -1 : 0;
    };
    window.fileUpload();
    QVERIFY(!p->messages.isEmpty());
    QCOMPARE(p->messages.last().title, QStringLiteral("OK"));
    QCOMPARE(p->messages.last().text, QStringLiteral("Upload Complete"));
    QCOMPARE(readFile(cal).mid(88), QByteArray("window.k") + readFile(image));
    QCOMPARE(kelda::settings::read(window.settings(), kelda::settings::Key::Port), emulator.path());
    // The status bar keeps the news once the box has gone.
    const QString uploaded = window.statusBar()->currentMessage();
    QVERIFY2(QRegularExpression(QStringLiteral("^Uploaded to %1 at [0-2][0-9]:[0-5][0-9]$")
                                    .arg(QRegularExpression::escape(emulator.path())))
                 .match(uploaded)
                 .hasMatch(),
             qPrintable(uploaded));

    // Cancel at once: "Port" still takes the combo's current text.
    p->messages.clear();
    p->onExec = [](QDialog *dialog) {
        auto *form = qobject_cast<UploadForm *>(dialog);
        if (!form)
            return -1;
        form->portCombo()->setCurrentIndex(0);
        form->cancel();
        return 0;
    };
    window.fileUpload();
    QCOMPARE(kelda::settings::read(window.settings(), kelda::settings::Key::Port), other.path());
    QVERIFY(p->messages.isEmpty());
    QCOMPARE(window.statusBar()->currentMessage(), uploaded);  // nothing was uploaded

    // A remembered port that is not present is still remembered after Cancel.
    const QString gone = dir_.path() + QStringLiteral("/gone");
    kelda::settings::write(window.settings(), kelda::settings::Key::Port, gone);
    p->onExec = [](QDialog *dialog) {
        auto *form = qobject_cast<UploadForm *>(dialog);
        if (!form)
            return -1;
        form->cancel();
        return 0;
    };
    window.fileUpload();
    QCOMPARE(kelda::settings::read(window.settings(), kelda::settings::Key::Port), gone);
}

void TestEcuUi::fileUploadRefusesUncompilableSetup()
{
    useConfigFolder(dir_.path() + QStringLiteral("/config-refuse"));
    const QString cal = dir_.path() + QStringLiteral("/refuse.cal");
    QVERIFY(writeFile(cal, kPreviousCal));
    EmulatorProcess emulator;
    QVERIFY(emulator.start({QStringLiteral("--cal-file"), cal}));
    setPorts({emulator.path()});

    KELDA window;
    ScriptedPrompter *p = installPrompter(window, &ScriptedPrompter::affirmative);
    kelda::settings::write(window.settings(), kelda::settings::Key::Port, emulator.path());

    // One event whose "States to Set" list is longer than an image can hold.
    PMModel *model = window.model();
    model->setMode(int(Mode::States));
    QVERIFY(model->insertRows(model->rowCount(), 1));
    const QString state = model->itemName(kelda::ItemType(model->modeItemType()), 0);
    model->setMode(int(Mode::Events));
    QVERIFY(model->insertRows(model->rowCount(), 1));
    for (int i = 0; i < 256; ++i) {
        QVERIFY(model->addListEntry(0, 0));
        model->setListEntry(0, 0, i, state);
    }
    if (model->writeRawImage(dir_.path() + QStringLiteral("/refuse.bin")))
        QSKIP("the compiler takes this setup; no uncompilable setup to try");
    const QString why = model->imageError();
    QVERIFY(!why.isEmpty());

    bool ran = false;
    p->onExec = [&ran](QDialog *) {
        ran = true;
        return 0;
    };
    window.fileUpload();
    QVERIFY(!ran);
    QCOMPARE(p->messages.size(), 1);
    QCOMPARE(p->messages.first().icon, QMessageBox::Critical);
    QCOMPARE(p->messages.first().title, QStringLiteral("KELDA"));
    // The setup check stops it before the compiler is reached, naming the list and the limit.
    const QString text = p->messages.first().text;
    QVERIFY2(text.contains(QStringLiteral("States to Set")) && text.contains(QStringLiteral("256"))
                 && text.contains(QStringLiteral("255")) && text.contains(QStringLiteral("Nothing was uploaded")),
             qPrintable(text));
    // A fixed wait on purpose: whatever was started gets the time to write, and nothing may.
    QTest::qWait(300);
    QCOMPARE(readFile(cal), kPreviousCal);
}

QTEST_MAIN(TestEcuUi)
#include "tst_ecuui.moc"
