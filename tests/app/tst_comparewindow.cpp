// Tools > Compare With... in the main window, offscreen: the file chosen
// through the prompter, the dialog's differences in the window's own texts,
// and a double-click that goes to the item in the open setup.
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QMenuBar>
#include <QSortFilterProxyModel>
#include <QStyledItemDelegate>
#include <QTabWidget>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <QSignalSpy>
#include <QTreeWidget>

#include <functional>
#include <memory>

#include "comparedialog.h"
#include "kelda.h"
#include "pmmodel.h"
#include "scriptedprompter.h"
#include "testenv.h"
#include "texts.h"

using kelda::test::ScriptedPrompter;

namespace {

QTreeWidgetItem *child(QTreeWidget *tree, const QString &group, const QString &name)
{
    for (int g = 0; g < tree->topLevelItemCount(); ++g) {
        QTreeWidgetItem *top = tree->topLevelItem(g);
        if (!top->text(0).startsWith(group + QLatin1String(" (")))
            continue;
        for (int i = 0; i < top->childCount(); ++i)
            if (top->child(i)->text(0) == name)
                return top->child(i);
    }
    return nullptr;
}

void doubleClick(QTreeWidget *tree, QTreeWidgetItem *item)
{
    tree->scrollToItem(item);
    // A press first, as a user's double-click has one: the view goes by the pressed item.
    const QPoint at = tree->visualItemRect(item).center();
    QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, at);
    QTest::mouseDClick(tree->viewport(), Qt::LeftButton, {}, at);
}

}  // namespace

class TestCompareWindow : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    ScriptedPrompter *m_answers = nullptr;

    std::unique_ptr<KELDA> makeWindow()
    {
        auto p = std::make_unique<ScriptedPrompter>();
        m_answers = p.get();
        return std::make_unique<KELDA>(std::move(p));
    }
    static bool edit(KELDA *w, int tab, int row, int column, const QVariant &value)
    {
        w->findChild<QTabWidget *>(QStringLiteral("tabWidget"))->setCurrentIndex(tab);
        QAbstractItemModel *shown = w->proxy(tab);
        return shown->setData(shown->index(row, column), value, Qt::EditRole);
    }

private slots:
    void initTestCase()
    {
        QLocale::setDefault(QLocale::c());
        QVERIFY(m_dir.isValid());
    }

    void toolsMenu()
    {
        auto w = makeWindow();
        QStringList menus;
        for (QAction *a : w->menuBar()->actions())
            menus << a->menu()->objectName() + QLatin1Char('=') + a->text();
        QCOMPARE(menus,
                 QStringList({"menu_File=&File", "menu_Edit=&Edit", "menu_Simulate=&Simulate", "menu_Config=&Config",
                              "menu_Tools=&Tools", "menu_Module=&Module", "menu_Help=&Help"}));
        auto *compare = w->findChild<QAction *>(QStringLiteral("action_Compare"));
        QVERIFY(compare);
        QCOMPARE(compare->text(), QStringLiteral("Com&pare With..."));  // C is Check Setup's
        QVERIFY(w->menuBar()->actions()[4]->menu()->actions().contains(compare));
    }

    void compareShowsDifferencesAndGoesToThem()
    {
        // The file: two timers, an LX1 output and a CAN input, as saved earlier.
        const QString file = m_dir.filePath(QStringLiteral("truck.kelda"));
        {
            PMModel m;
            m.setMode(int(Mode::Timers));
            QVERIFY(m.insertRows(0, 1) && m.insertRows(0, 1));
            QVERIFY(m.setData(m.index(1, kelda::TimerCol::Name), QStringLiteral("Old")));
            m.setMode(int(Mode::Lx1Outputs));
            QVERIFY(m.insertRows(0, 1));
            m.setMode(int(Mode::CanInputs));
            QVERIFY(m.insertRows(0, 1));
            QVERIFY(m.saveSetup(file));
        }
        auto w = makeWindow();
        m_answers->openAnswers << file;
        w->fileOpen();
        QCOMPARE(w->model()->fileName(), file);
        // The open setup: a longer timer, another current, a removed timer, CAN at 250 kHz,
        // LX1 module 2 driven by the CAN input.
        QVERIFY(edit(w.get(), 3, 0, kelda::TimerCol::ResetValue, 1.25));
        QVERIFY(edit(w.get(), 6, 0, kelda::Lx1OutputCol::Current, 1.2));
        w->findChild<QTabWidget *>(QStringLiteral("tabWidget"))->setCurrentIndex(3);
        w->view(3)->setCurrentIndex(w->proxy(3)->index(1, 0));
        w->deleteRow();
        QCOMPARE(w->model()->rowCount(), 1);
        w->findChild<QComboBox *>(QStringLiteral("comboCANSpeed"))->setCurrentIndex(3);
        QVERIFY(edit(w.get(), 9, 1, kelda::PwmCol::CanInput, QStringLiteral("CAN Input 1")));
        const bool modified = w->model()->isModified();

        auto *tabs = w->findChild<QTabWidget *>(QStringLiteral("tabWidget"));
        tabs->setCurrentIndex(0);
        QStringList groups, details;
        bool removedWent = true;
        int tabAfterTimer = -1, rowAfterTimer = -1, tabAfterOption = -1, pwmRowAfterOption = -1;
        int tabAfterPwm = -1, pwmRowAfterPwm = -1;
        auto pwmRow = [&] {
            const QModelIndex current = w->view(9)->currentIndex();
            return current.isValid() ? w->proxy(9)->mapToSource(current).row() : -1;
        };
        m_answers->openAnswers << file;
        m_answers->onExec = ScriptedPrompter::accepting([&](QDialog *d) {
            auto *dialog = qobject_cast<CompareDialog *>(d);
            QVERIFY(dialog);
            dialog->show();
            QVERIFY(QTest::qWaitForWindowExposed(dialog));
            auto *tree = dialog->findChild<QTreeWidget *>(QStringLiteral("treeDifferences"));
            QVERIFY(tree);
            for (int g = 0; g < tree->topLevelItemCount(); ++g) {
                groups << tree->topLevelItem(g)->text(0);
                for (int i = 0; i < tree->topLevelItem(g)->childCount(); ++i)
                    details << tree->topLevelItem(g)->child(i)->text(2);
            }
            QVERIFY(dialog->findChild<QLabel *>(QStringLiteral("labelImage"))
                        ->text()
                        .startsWith(QStringLiteral("Compiled images: differ")));

            // A removed item is not in the open setup: nothing happens.
            QTreeWidgetItem *old = child(tree, QStringLiteral("Timers"), QStringLiteral("Old"));
            QVERIFY(old);
            QSignalSpy clicks(tree, &QTreeWidget::itemDoubleClicked);
            doubleClick(tree, old);
            QCOMPARE(clicks.count(), 1);
            removedWent = tabs->currentIndex() != 0;

            QTreeWidgetItem *timer = child(tree, QStringLiteral("Timers"), QStringLiteral("Timer 1"));
            QVERIFY(timer);
            doubleClick(tree, timer);
            QCOMPARE(clicks.count(), 2);
            tabAfterTimer = tabs->currentIndex();
            const QModelIndex current = w->view(3)->currentIndex();
            rowAfterTimer = current.isValid() ? w->proxy(3)->mapToSource(current).row() : -1;

            QTreeWidgetItem *speed = child(tree, QStringLiteral("Options"), QStringLiteral("CAN Speed"));
            QVERIFY(speed);
            doubleClick(tree, speed);
            tabAfterOption = tabs->currentIndex();
            pwmRowAfterOption = pwmRow();

            // A row of the LX1 PWM table, on the same tab as the options, is a row and no option.
            QTreeWidgetItem *module = child(tree, QStringLiteral("LX1 PWM"), QStringLiteral("LX1-2"));
            QVERIFY(module);
            doubleClick(tree, module);
            tabAfterPwm = tabs->currentIndex();
            pwmRowAfterPwm = pwmRow();
        });
        w->findChild<QAction *>(QStringLiteral("action_Compare"))->trigger();

        QCOMPARE(m_answers->execs.size(), 1);
        QCOMPARE(m_answers->openCalls.last().caption, QStringLiteral("KELDA"));
        QCOMPARE(m_answers->openCalls.last().filter, kelda::texts::setupFilter());
        QCOMPARE(groups, QStringList({"Timers (2)", "LX1 Outputs (1)", "Options (1)", "LX1 PWM (1)"}));
        QVERIFY(!removedWent);
        QCOMPARE(tabAfterTimer, 3);
        QCOMPARE(rowAfterTimer, 0);
        QCOMPARE(tabAfterOption, 9);
        QVERIFY(pwmRowAfterOption != 1);
        QCOMPARE(tabAfterPwm, 9);
        QCOMPARE(pwmRowAfterPwm, 1);

        // The values read as the window's own cells show them.
        auto shown = [&](int tab, int column) {
            auto *delegate = qobject_cast<QStyledItemDelegate *>(w->view(tab)->itemDelegate());
            return delegate->displayText(w->proxy(tab)->index(0, column).data(), QLocale::c());
        };
        tabs->setCurrentIndex(3);
        const QString timerText = shown(3, kelda::TimerCol::ResetValue);
        tabs->setCurrentIndex(6);
        const QString ampsText = shown(6, kelda::Lx1OutputCol::Current);
        QCOMPARE(ampsText, QStringLiteral("1.2"));
        QCOMPARE(details,
                 QStringList({QStringLiteral("changed timer \"Timer 1\": Reset Value/s: 0.5 \u2192 ") + timerText,
                              QStringLiteral("removed timer \"Old\" (row 2)"),
                              QStringLiteral("changed LX1 output \"LX1 Output 1\": Current/A: 10 \u2192 ") + ampsText,
                              QStringLiteral("CAN Speed: 1 Mhz \u2192 250 kHz"),
                              QStringLiteral("changed LX1 module \"LX1-2\": CAN Input: NONE \u2192 CAN Input 1")}));
        // Comparing changed nothing.
        QCOMPARE(w->model()->fileName(), file);
        QCOMPARE(w->model()->isModified(), modified);
        QVERIFY(m_answers->told.isEmpty());
    }

    void unreadableFileIsReported()
    {
        const QString junk = m_dir.filePath(QStringLiteral("junk.kelda"));
        QFile f(junk);
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write("plain text\n") > 0);
        f.close();
        auto w = makeWindow();
        w->model()->setModified(false);
        const QString open = w->model()->fileName();
        m_answers->openAnswers << junk;
        w->compareWith();
        QVERIFY(m_answers->execs.isEmpty());
        QCOMPARE(m_answers->told.size(), 1);
        const ScriptedPrompter::Message t = m_answers->told.first();
        QCOMPARE(t.icon, QMessageBox::Warning);
        QCOMPARE(t.title, QStringLiteral("KELDA"));
        QVERIFY2(t.text.contains(junk) && t.text.contains(QStringLiteral("could not be opened")), qPrintable(t.text));
        QVERIFY2(t.text.contains(QStringLiteral("not a KELDA setup file")), qPrintable(t.text));  // says why
        QVERIFY(t.text.contains(QStringLiteral("the open setup is unchanged")));
        QVERIFY(!w->model()->isModified());
        QCOMPARE(w->model()->fileName(), open);

        // Cancelling the file dialog does nothing at all.
        w->compareWith();
        QCOMPARE(m_answers->told.size(), 1);
        QVERIFY(m_answers->execs.isEmpty());
    }
};

KELDA_TEST_MAIN_IN_TEMPORARY_CONFIG(TestCompareWindow)

#include "tst_comparewindow.moc"
