// The main window's history and keyboard: undo and redo of every kind of
// change (the compiled image and the saved file come back exactly), the
// modified flag after undo, the keys on the tables, tooltips, drop-downs and
// the window state kept between runs.
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QCompleter>
#include <QDoubleSpinBox>
#include <QFile>
#include <QHeaderView>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QSortFilterProxyModel>
#include <QTabWidget>
#include <QTableView>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QUndoStack>

#include <functional>
#include <memory>

#include "eventseditor.h"
#include "kelda.h"
#include "pmmodel.h"
#include "scriptedprompter.h"
#include "settings.h"
#include "stateseditor.h"

using kelda::settings::Key;
using kelda::test::ScriptedPrompter;

namespace {

QByteArray fileBytes(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

}  // namespace

class TestUndo : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    ScriptedPrompter *m_prompter = nullptr;

    std::unique_ptr<KELDA> makeWindow()
    {
        // Unqueued questions are answered "Discard", named buttons the first.
        auto p = std::make_unique<ScriptedPrompter>();
        p->otherwise = ScriptedPrompter::answer(QMessageBox::Discard);
        p->unqueuedChoice = 0;
        m_prompter = p.get();
        return std::make_unique<KELDA>(std::move(p));
    }
    static QTabWidget *tabs(KELDA *w) { return w->findChild<QTabWidget *>(QStringLiteral("tabWidget")); }
    static QAction *action(KELDA *w, const char *name) { return w->findChild<QAction *>(QLatin1String(name)); }
    // A cell of the tab's table as the user edits it: through the view's proxy.
    static bool edit(KELDA *w, int tab, int row, int column, const QVariant &value)
    {
        tabs(w)->setCurrentIndex(tab);
        QSortFilterProxyModel *p = w->proxy(tab);
        return p->setData(p->mapFromSource(w->model()->index(row, column)), value);
    }
    static void select(KELDA *w, int tab, int row)
    {
        tabs(w)->setCurrentIndex(tab);
        const QModelIndex at = w->proxy(tab)->mapFromSource(w->model()->index(row, 0));
        w->view(tab)->setCurrentIndex(at);
        w->view(tab)->selectionModel()->select(at, QItemSelectionModel::ClearAndSelect);
    }
    // The compiled image and the file that a save would write, of the setup as it is now.
    QPair<QByteArray, QByteArray> compiled(KELDA *w) { return compiled(w->model()); }
    QPair<QByteArray, QByteArray> compiled(PMModel *m)
    {
        const QString image = m_dir.filePath(QStringLiteral("now.bin"));
        const QString file = m_dir.filePath(QStringLiteral("now.kelda"));
        if (!m->writeRawImage(image) || !kelda::UniqueSession::copyOf(m->session()).save(file.toLatin1()))
            return {};
        return {fileBytes(image), fileBytes(file)};
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        QLocale::setDefault(QLocale::c());
    }
    void init()
    {
        auto s = kelda::settings::open();
        s->clear();
        s->sync();
    }

    void undoAndRedoEveryKindOfChange()
    {
        auto w = makeWindow();
        PMModel *m = w->model();
        // A setup with something of everything, referring across tables.
        for (int tab : {2, 2, 3, 3, 5, 5, 6, 8, 4, 4}) {
            tabs(w.get())->setCurrentIndex(tab);
            w->addRow();
        }
        QVERIFY(edit(w.get(), 5, 0, 0, QStringLiteral("Beacons")));
        QVERIFY(edit(w.get(), 4, 0, 2, QStringLiteral("ST: Beacons")));
        QVERIFY(edit(w.get(), 4, 1, 2, QStringLiteral("TI: Timer 1")));
        QVERIFY(edit(w.get(), 9, 0, 1, QStringLiteral("CAN Input 1")));
        m_prompter->onExec = ScriptedPrompter::accepting([](QDialog *d) {
            if (auto *events = qobject_cast<EventsEditor *>(d)) {
                events->addStateSet();
                events->listModel(0)->setData(events->listModel(0)->index(0, 0), QStringLiteral("Beacons"));
                events->addTimerStart();
                events->listModel(2)->setData(events->listModel(2)->index(0, 0), QStringLiteral("Timer 1"));
            } else if (auto *states = qobject_cast<StatesEditor *>(d)) {
                states->addLX1();
                states->listModel(1)->setData(states->listModel(1)->index(0, 0), QStringLiteral("LX1 Output 1"));
            }
        });
        tabs(w.get())->setCurrentIndex(4);
        w->editEvent(w->proxy(4)->mapFromSource(m->index(0, kelda::EventCol::Actions)));
        tabs(w.get())->setCurrentIndex(5);
        w->editState(w->proxy(5)->mapFromSource(m->index(0, kelda::StateCol::Outputs)));
        QCOMPARE(m->listEntryCount(0, 1), 1);
        m_prompter->saveAnswers << m_dir.filePath(QStringLiteral("rich.kelda"));
        action(w.get(), "action_Save")->trigger();
        QVERIFY(!m->isModified());
        const int saved = w->undoStack()->index();
        const auto original = compiled(w.get());
        QVERIFY(!original.first.isEmpty());
        QCOMPARE(original.second, fileBytes(m_dir.filePath(QStringLiteral("rich.kelda"))));

        // One change of every kind; the Undo entry names each.
        QAction *undo = action(w.get(), "action_Undo");
        QAction *redo = action(w.get(), "action_Redo");
        auto named = [&](const QString &text) { return undo->text() == QStringLiteral("&Undo ") + text; };
        QVERIFY(edit(w.get(), 3, 0, 0, QStringLiteral("Horn delay")));
        QVERIFY2(named(QStringLiteral("Rename \"Timer 1\"")), qPrintable(undo->text()));
        QCOMPARE(m->eventInputText(1, 0), QStringLiteral("TI: Horn delay"));
        select(w.get(), 5, 0);
        w->deleteRow();  // the question is answered "Remove"
        QVERIFY2(named(QStringLiteral("Remove State \"Beacons\"")), qPrintable(undo->text()));
        QCOMPARE(m->rowCount(), 1);
        w->addRow();
        QVERIFY2(named(QStringLiteral("Add State \"State 3\"")), qPrintable(undo->text()));
        QVERIFY(edit(w.get(), 2, 1, 1, QStringLiteral("0x123")));
        QVERIFY(edit(w.get(), 2, 1, 5, m->choices(1, 5).last()));  // endianness, shared by a whole frame
        QVERIFY(edit(w.get(), 4, 1, 0, QStringLiteral("1")));
        QVERIFY2(named(QStringLiteral("Change Priority of \"Event 2\"")), qPrintable(undo->text()));
        m_prompter->onExec = ScriptedPrompter::accepting([](QDialog *d) {
            auto *events = qobject_cast<EventsEditor *>(d);
            events->addTimerStop();
            events->listModel(3)->setData(events->listModel(3)->index(0, 0), QStringLiteral("Timer 2"));
            events->listModel(2)->removeEntry(1, 2, 0);
        });
        w->editEvent(w->proxy(4)->mapFromSource(m->index(1, kelda::EventCol::Actions)));
        QVERIFY2(named(QStringLiteral("Edit Actions of \"Event 2\"")), qPrintable(undo->text()));
        QVERIFY(edit(w.get(), 6, 0, kelda::Lx1OutputCol::module(2), QStringLiteral("101")));
        QVERIFY(edit(w.get(), 9, 0, 1, QStringLiteral("CAN Input 2")));
        // The steps of a spin box make one change.
        auto *minPress = w->findChild<QDoubleSpinBox *>(QStringLiteral("dsbMinPT"));
        minPress->setValue(0.5);
        minPress->setValue(0.75);
        QVERIFY2(named(QStringLiteral("Change Minimum Press Time")), qPrintable(undo->text()));
        select(w.get(), 4, 0);
        w->deleteRow();
        QCOMPARE(w->undoStack()->count(), saved + 11);
        const auto changed = compiled(w.get());
        QVERIFY(changed.first != original.first);
        QVERIFY(m->isModified());

        while (w->undoStack()->index() > saved)
            undo->trigger();
        QCOMPARE(compiled(w.get()), original);
        QVERIFY(!m->isModified());  // back at the saved setup
        QCOMPARE(minPress->value(), 0.01);  // the option fields show it too
        tabs(w.get())->setCurrentIndex(5);
        QCOMPARE(m->listEntryCount(0, 1), 1);  // the state's lists came back whole
        // Further back, to the new setup the window started with.
        while (w->undoStack()->canUndo())
            undo->trigger();
        QVERIFY(m->isModified());
        PMModel fresh;
        QCOMPARE(compiled(w.get()), compiled(&fresh));

        while (w->undoStack()->canRedo())
            redo->trigger();
        QCOMPARE(compiled(w.get()), changed);
        QVERIFY(m->isModified());
        QCOMPARE(minPress->value(), 0.75);
    }

    void modifiedFlagFollowsTheHistory()
    {
        auto w = makeWindow();
        PMModel *m = w->model();
        QUndoStack *stack = w->undoStack();
        QAction *undo = action(w.get(), "action_Undo");
        QCOMPARE(undo->parent()->objectName(), QStringLiteral("menu_Edit"));
        QCOMPARE(undo->shortcut(), QKeySequence(QKeySequence::Undo));
        QCOMPARE(action(w.get(), "action_Redo")->shortcut(), QKeySequence(QKeySequence::Redo));
        QStringList menus;
        for (QAction *a : w->menuBar()->actions())
            menus << a->text();
        QCOMPARE(menus.mid(0, 3), QStringList({"&File", "&Edit", "&Simulate"}));
        QVERIFY(!undo->isEnabled());

        tabs(w.get())->setCurrentIndex(3);
        w->addRow();
        QVERIFY(m->isModified() && undo->isEnabled());
        undo->trigger();
        QVERIFY(!m->isModified());
        QCOMPARE(m->rowCount(), 0);
        action(w.get(), "action_Redo")->trigger();
        QVERIFY(m->isModified());

        const QString path = m_dir.filePath(QStringLiteral("flag.kelda"));
        m_prompter->saveAnswers << path;
        action(w.get(), "actionSave_As")->trigger();
        QVERIFY(!m->isModified());
        QVERIFY(edit(w.get(), 3, 0, 0, QStringLiteral("Siren")));
        QVERIFY(m->isModified());
        undo->trigger();
        QVERIFY(!m->isModified());
        undo->trigger();  // before the saved setup
        QVERIFY(m->isModified());

        // New and Open start an empty history.
        action(w.get(), "action_New")->trigger();  // the question is answered "Discard"
        QCOMPARE(stack->count(), 0);
        QVERIFY(!m->isModified() && !undo->isEnabled());
        w->addRow();
        m_prompter->openAnswers << path;
        action(w.get(), "action_Open")->trigger();
        QCOMPARE(stack->count(), 0);
        QVERIFY(!m->isModified());
        QCOMPARE(m->itemCount(kelda::ItemType::Timer), 1);
    }

    void keyboardReachesEverything()
    {
        auto w = makeWindow();
        w->show();
        QApplication::setActiveWindow(w.get());
        QVERIFY(QTest::qWaitForWindowActive(w.get()));
        PMModel *m = w->model();
        tabs(w.get())->setCurrentIndex(4);
        w->addRow();
        w->addRow();
        QTableView *events = w->view(4);
        events->setFocus();

        // Enter and F2 on the "Edit..." cell open its dialog, which edits that event.
        int bound = -1;
        m_prompter->onExec = ScriptedPrompter::accepting([&bound](QDialog *d) {
            if (auto *editor = qobject_cast<EventsEditor *>(d))
                bound = editor->listModel(0)->row();
            else if (auto *states = qobject_cast<StatesEditor *>(d))
                bound = 100 + states->listModel(0)->row();
        });
        const QModelIndex actions = w->proxy(4)->mapFromSource(m->index(1, kelda::EventCol::Actions));
        events->setCurrentIndex(actions);
        QTest::keyClick(events, Qt::Key_Return);
        QCOMPARE(m_prompter->execs.size(), 1);
        QCOMPARE(bound, 1);
        QTest::keyClick(events, Qt::Key_F2);
        QCOMPARE(m_prompter->execs.size(), 2);
        // After the dialog the cell that opened it is still current.
        QCOMPARE(w->proxy(4)->mapToSource(events->currentIndex()), m->index(1, kelda::EventCol::Actions));
        tabs(w.get())->setCurrentIndex(5);
        w->addRow();
        w->view(5)->setCurrentIndex(w->proxy(5)->index(0, kelda::StateCol::Outputs));
        QTest::keyClick(w->view(5), Qt::Key_F2);
        QCOMPARE(m_prompter->execs.size(), 3);
        QCOMPARE(bound, 100);

        // Insert adds a row, Delete removes the selected one; not on a fixed table.
        tabs(w.get())->setCurrentIndex(3);
        QTableView *timers = w->view(3);
        timers->setFocus();
        QTest::keyClick(timers, Qt::Key_Insert);
        QTest::keyClick(timers, Qt::Key_Insert);
        QCOMPARE(m->rowCount(), 2);
        select(w.get(), 3, 0);
        QTest::keyClick(timers, Qt::Key_Delete);
        QCOMPARE(m->rowCount(), 1);
        QCOMPARE(m->itemName(kelda::ItemType::Timer, 0), QStringLiteral("Timer 2"));
        tabs(w.get())->setCurrentIndex(0);
        QTest::keyClick(w->view(0), Qt::Key_Insert);
        QTest::keyClick(w->view(0), Qt::Key_Delete);
        QCOMPARE(m->rowCount(), 25);

        // Tab leaves the table for its buttons; Shift+Tab comes back.
        tabs(w.get())->setCurrentIndex(3);
        timers->setFocus();
        QTest::keyClick(timers, Qt::Key_Tab);
        auto *button = qobject_cast<QPushButton *>(QApplication::focusWidget());
        QVERIFY2(button, QApplication::focusWidget() ? QApplication::focusWidget()->metaObject()->className() : "none");
        QVERIFY(tabs(w.get())->currentWidget()->isAncestorOf(button));
        QTest::keyClick(button, Qt::Key_Backtab);
        QCOMPARE(QApplication::focusWidget(), timers);

        // Tab in an in-cell editor commits it, and the cell stays current.
        const QModelIndex name = w->proxy(3)->index(0, 0);
        timers->setCurrentIndex(name);
        timers->edit(name);
        auto *line = qobject_cast<QLineEdit *>(timers->indexWidget(name));
        QVERIFY(line);
        line->setText(QStringLiteral("Siren"));
        QTest::keyClick(line, Qt::Key_Tab);
        QTRY_VERIFY(!timers->indexWidget(name));
        QCOMPARE(m->itemName(kelda::ItemType::Timer, 0), QStringLiteral("Siren"));
        QCOMPARE(timers->currentIndex(), name);
    }

    void tooltipsAndDropDowns()
    {
        auto w = makeWindow();
        PMModel *m = w->model();
        for (int tab = 0; tab < KELDA::kTabCount; ++tab) {
            m->setMode(tab);
            for (int c = 0; c < m->columnCount(); ++c)
                QVERIFY2(!m->headerData(c, Qt::Horizontal, Qt::ToolTipRole).toString().isEmpty(),
                         qPrintable(QStringLiteral("tab %1 column %2").arg(tab).arg(c)));
        }
        m->setMode(6);
        QVERIFY(m->headerData(kelda::Lx1OutputCol::module(0), Qt::Horizontal, Qt::ToolTipRole)
                    .toString()
                    .contains(QStringLiteral("rightmost digit is channel 1")));
        for (const char *field : {"dsbMinPT", "dsbDPT", "dsbLPT", "dsbFuseReset", "dsbFuseRetryTime",
                                  "sbFuseMaxRetries", "comboCANSpeed", "hsbRebroadcast"})
            QVERIFY2(!w->findChild<QWidget *>(QLatin1String(field))->toolTip().isEmpty(), field);

        // The "Edit..." cells tell what their dialogs hold.
        tabs(w.get())->setCurrentIndex(3);
        w->addRow();
        tabs(w.get())->setCurrentIndex(4);
        w->addRow();
        QVERIFY(m->addListEntry(0, 2) && m->setListEntry(0, 2, 0, QStringLiteral("Timer 1")));
        QCOMPARE(m->index(0, kelda::EventCol::Actions).data(Qt::ToolTipRole).toString(),
                 QStringLiteral(
                     "States to Set: none\nStates to Clear: none\nTimers to Start: Timer 1\nTimers to Stop: none"));
        tabs(w.get())->setCurrentIndex(5);
        w->addRow();
        QVERIFY(m->index(0, kelda::StateCol::Outputs)
                    .data(Qt::ToolTipRole)
                    .toString()
                    .contains(QStringLiteral("LX1 Outputs: none")));

        // The event input drop-down: wide enough for "KP: Keypad 12", found by typing part of a name.
        tabs(w.get())->setCurrentIndex(4);
        const QModelIndex input = w->proxy(4)->index(0, kelda::EventCol::Input1);
        w->view(4)->edit(input);
        auto *combo = qobject_cast<QComboBox *>(w->view(4)->indexWidget(input));
        QVERIFY(combo);
        const QFontMetrics fm(combo->view()->font());
        QVERIFY(combo->view()->minimumWidth() > fm.horizontalAdvance(QStringLiteral("KP: Keypad 12")));
        QVERIFY(combo->isEditable());
        QCOMPARE(combo->completer()->filterMode(), Qt::MatchContains);
        combo->setEditText(QStringLiteral("TI: Timer 1"));
        emit w->view(4)->itemDelegate()->commitData(combo);
        QCOMPARE(m->eventInputText(0, 0), QStringLiteral("TI: Timer 1"));
        combo->setEditText(QStringLiteral("Timer"));  // not a choice: nothing is written
        emit w->view(4)->itemDelegate()->commitData(combo);
        QCOMPARE(m->eventInputText(0, 0), QStringLiteral("TI: Timer 1"));
    }

    void windowStateIsRemembered()
    {
        {
            auto w = makeWindow();
            w->show();
            QVERIFY(QTest::qWaitForWindowExposed(w.get()));
            w->resize(960, 800);
            tabs(w.get())->setCurrentIndex(3);
            w->view(3)->setColumnWidth(0, 211);
            tabs(w.get())->setCurrentIndex(4);
            // Until the user sets them, columns fit their headers.
            for (int c = 0; c < w->proxy(4)->columnCount(); ++c)
                QVERIFY(w->view(4)->columnWidth(c) >= w->view(4)->horizontalHeader()->sectionSizeHint(c));
            tabs(w.get())->setCurrentIndex(3);
            QCOMPARE(w->view(3)->columnWidth(0), 211);  // kept through the model's resets
            QVERIFY(w->close());
        }
        auto w = makeWindow();
        QCOMPARE(w->size(), QSize(960, 800));
        QCOMPARE(tabs(w.get())->currentIndex(), 3);
        QCOMPARE(w->model()->mode(), 3);
        QCOMPARE(w->view(3)->columnWidth(0), 211);

        // Unreadable keys read as the defaults.
        w.reset();
        auto s = kelda::settings::open();
        kelda::settings::writeValue(*s, Key::CurrentTab, QStringLiteral("banana"));
        kelda::settings::writeValue(*s, Key::WindowGeometry, QByteArray("junk"));
        s->setValue(QStringLiteral("ColumnWidths/Timer_tableView"), QStringLiteral("-4,x"));
        s->sync();
        w = makeWindow();
        QCOMPARE(tabs(w.get())->currentIndex(), 0);
        QCOMPARE(w->size(), QSize(745, 717));
        tabs(w.get())->setCurrentIndex(3);
        QVERIFY(w->view(3)->columnWidth(0) >= w->view(3)->horizontalHeader()->sectionSizeHint(0));
    }

    void simulatorExplainsKeyColumns()
    {
        auto w = makeWindow();
        w->startSimulation();
        QCOMPARE(w->simulators().size(), 1);
        auto *keys = w->simulators().first()->findChild<QTableWidget *>(QStringLiteral("keyPadTableWidget"));
        QVERIFY(keys);
        QStringList tips;
        for (int c = 1; c <= 4; ++c)
            tips << keys->horizontalHeaderItem(c)->toolTip().section(QLatin1Char(','), 0, 0);
        QCOMPARE(tips, QStringList({"P", "SP", "LP", "DP"}));
        w->simulators().first()->close();
    }
};

QTEST_MAIN(TestUndo)
#include "tst_undo.moc"
