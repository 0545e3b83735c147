// CAN Inputs > "Import from DBC…" in the real window, offscreen: the file
// chosen through the prompter, the search as the user types, the classes
// against the open setup, and the import as one undo step.
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QTabWidget>
#include <QTableView>
#include <QTest>
#include <QToolButton>
#include <QUndoStack>

#include "dbcimportdialog.h"
#include "kelda.h"
#include "scriptedprompter.h"
#include "setupbuilder.h"
#include "setupview.h"
#include "testenv.h"

using kelda::test::ScriptedPrompter;

namespace {

QString handmade()
{
    return QStringLiteral(KELDA_DBC_DATA "/handmade.dbc");
}

QStringList shownSignals(DbcImportDialog *d)
{
    QStringList out;
    for (int r = 0; r < d->signalModel()->rowCount(); ++r)
        out << d->signalModel()->index(r, DbcSignalModel::Signal).data().toString();
    return out;
}

void selectSignals(DbcImportDialog *d, const QStringList &names)
{
    d->table()->clearSelection();
    for (int r = 0; r < d->signalModel()->rowCount(); ++r)
        if (names.contains(d->signalModel()->index(r, DbcSignalModel::Signal).data().toString()))
            d->table()->selectionModel()->select(d->signalModel()->index(r, 0),
                                                 QItemSelectionModel::Select | QItemSelectionModel::Rows);
}

QString cell(DbcImportDialog *d, const QString &signal, int column)
{
    for (int r = 0; r < d->signalModel()->rowCount(); ++r)
        if (d->signalModel()->index(r, DbcSignalModel::Signal).data().toString() == signal)
            return d->signalModel()->index(r, column).data().toString();
    return {};
}

}  // namespace

class TestDbcImport : public QObject
{
    Q_OBJECT

    ScriptedPrompter *m_prompter = nullptr;

    std::unique_ptr<KELDA> makeWindow()
    {
        auto p = std::make_unique<ScriptedPrompter>();
        p->otherwise = ScriptedPrompter::answer(QMessageBox::Discard);
        m_prompter = p.get();
        auto w = std::make_unique<KELDA>(std::move(p));
        w->model()->createSetup();
        return w;
    }

private slots:
    void actionOnTheTab()
    {
        auto w = makeWindow();
        auto *action = w->findChild<QAction *>(QStringLiteral("action_ImportDbc"));
        QVERIFY(action);
        QCOMPARE(action->text(), QStringLiteral("Import from DBC…"));
        QVERIFY(w->view(int(Mode::CanInputs))->actions().contains(action));
        QCOMPARE(w->view(int(Mode::CanInputs))->contextMenuPolicy(), Qt::ActionsContextMenu);
        auto *button = w->findChild<QToolButton *>(QStringLiteral("importDbcButton"));
        QVERIFY(button);
        QCOMPARE(button->defaultAction(), action);
        // Cancelling the file dialog changes nothing.
        action->trigger();
        QCOMPARE(m_prompter->openCalls.size(), 1);
        QVERIFY(m_prompter->openCalls.first().filter.contains(QLatin1String("*.dbc")));
        QVERIFY(m_prompter->execs.isEmpty());
        m_prompter->openAnswers = {QStringLiteral("/nonexistent/none.dbc")};
        action->trigger();
        QVERIFY(m_prompter->execs.isEmpty());
        QCOMPARE(m_prompter->told.size(), 1);
        QVERIFY(m_prompter->told.first().text.contains(QLatin1String("could not be read")));
    }

    void searchSelectImportUndo()
    {
        auto w = makeWindow();
        w->findChild<QTabWidget *>(QStringLiteral("tabWidget"))->setCurrentIndex(int(Mode::Timers));
        const int stepsBefore = w->undoStack()->count();
        m_prompter->openAnswers = {handmade()};
        bool ran = false;
        m_prompter->onExec = [&](QDialog *dialog) {
            auto *d = qobject_cast<DbcImportDialog *>(dialog);
            ran = d != nullptr;
            if (!d)
                return int(QDialog::Rejected);
            [&] {
                QCOMPARE(d->signalModel()->rowCount(), 18);
                QTest::keyClicks(d->searchBox(), QStringLiteral("oil"));
                QCOMPARE(shownSignals(d), QStringList{QStringLiteral("OilPressure")});
                d->searchBox()->setText(QStringLiteral("0x300"));
                QCOMPARE(shownSignals(d).size(), 7);
                d->searchBox()->setText(QStringLiteral("768"));
                QCOMPARE(shownSignals(d).size(), 7);
                d->searchBox()->setText(QStringLiteral("RPM eng"));
                QCOMPARE(shownSignals(d), QStringList({QStringLiteral("EngineSpeed"), QStringLiteral("EngSpeedExt")}));
                QCOMPARE(cell(d, QStringLiteral("EngSpeedExt"), DbcSignalModel::Class), QStringLiteral("impossible"));
                d->searchBox()->clear();
                QCOMPARE(cell(d, QStringLiteral("EngineSpeed"), DbcSignalModel::Class),
                         QStringLiteral("exact (=, <, >)"));
                QCOMPARE(cell(d, QStringLiteral("EngineSpeed"), DbcSignalModel::Channel),
                         QStringLiteral("Word 2, Little Endian"));

                selectSignals(d, {QStringLiteral("EngineSpeed"), QStringLiteral("CoolantTemp")});
                d->compareBox()->setCurrentIndex(d->compareBox()->findText(QStringLiteral(">")));
                d->valueBox()->setText(QStringLiteral("800"));
                // No coolant temperature is above 800 degC.
                QVERIFY(!d->importButton()->isEnabled());
                QVERIFY(d->preview()->text().contains(QLatin1String("no value of the signal is above")));
                d->valueBox()->setText(QStringLiteral("100"));
                QVERIFY(d->importButton()->isEnabled());
                QVERIFY2(d->preview()->text().contains(QLatin1String("> 400 raw = 100.00 rpm")),
                         qPrintable(d->preview()->text()));
                QTest::mouseClick(d->importButton(), Qt::LeftButton);
            }();
            return d->result();
        };
        w->findChild<QAction *>(QStringLiteral("action_ImportDbc"))->trigger();
        QVERIFY(ran);
        QCOMPARE(w->findChild<QTabWidget *>(QStringLiteral("tabWidget"))->currentIndex(), int(Mode::CanInputs));
        const kelda::SetupView view = kelda::SetupView::read(w->model()->session());
        QCOMPARE(view.canInputs.size(), 2);
        QCOMPARE(view.canInputs.at(0).name, QStringLiteral("EngineSpeed"));
        QCOMPARE(view.canInputs.at(0).data, 400);
        QCOMPARE(view.canInputs.at(0).byteSelect, 12);
        QVERIFY(view.canInputs.at(0).littleEndian);
        QCOMPARE(view.canInputs.at(1).name, QStringLiteral("CoolantTemp"));
        QCOMPARE(view.canInputs.at(1).byteSelect, 1);
        QCOMPARE(view.canInputs.at(1).data, 140);
        QCOMPARE(w->undoStack()->count(), stepsBefore + 1);
        QVERIFY(w->statusBar()->currentMessage().contains(QLatin1String("Imported 2 CAN inputs")));
        w->undoStack()->undo();
        QCOMPARE(kelda::SetupView::read(w->model()->session()).canInputs.size(), 0);
    }

    // Classes follow the open setup: an identifier the module sends.
    void classesAgainstTheSetup()
    {
        auto w = makeWindow();
        w->findChild<QTabWidget *>(QStringLiteral("tabWidget"))->setCurrentIndex(int(Mode::CanOutputs));
        kelda::test::SetupBuilder(*w->model()).canOutput(QStringLiteral("0x280"));
        m_prompter->openAnswers = {handmade()};
        QString engineClass, reason;
        m_prompter->onExec = [&](QDialog *dialog) {
            auto *d = qobject_cast<DbcImportDialog *>(dialog);
            engineClass = cell(d, QStringLiteral("EngineSpeed"), DbcSignalModel::Class);
            reason = cell(d, QStringLiteral("EngineSpeed"), DbcSignalModel::Reason);
            selectSignals(d, {QStringLiteral("EngineSpeed")});
            d->valueBox()->setText(QStringLiteral("800"));
            return d->importButton()->isEnabled() ? int(QDialog::Accepted) : int(QDialog::Rejected);
        };
        w->findChild<QAction *>(QStringLiteral("action_ImportDbc"))->trigger();
        QCOMPARE(engineClass, QStringLiteral("impossible"));
        QVERIFY(reason.contains(QLatin1String("can-id-clash")));
        QCOMPARE(kelda::SetupView::read(w->model()->session()).canInputs.size(), 0);
    }
};

KELDA_TEST_MAIN_IN_TEMPORARY_CONFIG(TestDbcImport)
#include "tst_dbcimport.moc"
