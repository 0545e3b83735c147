// The main window: its form, the wiring of tabs, views and model, the table
// and option slots, and the setup file commands with their questions.
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDesktopServices>
#include <QDir>
#include <QScrollBar>
#include <QSet>
#include <QTextBlock>
#include <QTextBrowser>
#include <QWindow>
#include <QDoubleSpinBox>
#include <QFile>
#include <QFileInfo>
#include <QDockWidget>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QMenuBar>
#include <QLineEdit>
#include <QListWidget>
#include <QPointer>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QSortFilterProxyModel>
#include <QSpinBox>
#include <QStatusBar>
#include <QTabWidget>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <QToolBar>
#include <QToolButton>
#include <QTreeWidget>
#include <QUndoStack>

#include <functional>
#include <memory>

#include "eventseditor.h"
#include "hexspinbox.h"
#include "kelda.h"
#include "userguide.h"
#include "pmdelegate.h"
#include "pmmodel.h"
#include "scriptedprompter.h"
#include "settings.h"
#include "stateseditor.h"
#include "strata.h"
#include "testenv.h"
#include "testfiles.h"
#include "viewhelpers.h"

using kelda::ItemType;
using kelda::settings::Key;
using namespace kelda::test;

namespace {

using Message = ScriptedPrompter::Message;

const QString kFilter = QStringLiteral("KELDA setups (*.kelda);;All files (*.*)");

// Raw option word in the store, below what the model converts.
bool rawOption(StoreSession s, int index, uint16_t *value)
{
    return STRATA_GotoRoot(s) && STRATA_OpenItem(kelda::toU16(ItemType::Setup), 0, s)
        && STRATA_OpenItem(kelda::toU16(ItemType::Option), uint16_t(index), s)
        && STRATA_GetValue(kelda::toU16(kelda::ValueId::Data), value, s);
}

bool setRawOption(StoreSession s, int index, uint16_t value)
{
    return STRATA_GotoRoot(s) && STRATA_OpenItem(kelda::toU16(ItemType::Setup), 0, s)
        && STRATA_OpenItem(kelda::toU16(ItemType::Option), uint16_t(index), s)
        && STRATA_InsertValue(kelda::toU16(kelda::ValueId::Data), &value, s);
}

uint16_t raw(PMModel *model, int index)
{
    uint16_t v = 0xDEAD;
    if (!rawOption(model->session(), index, &v))
        return 0xDEAD;
    return v;
}

// A setup file with `timers` timers, written by a model of its own.
bool writeSetup(const QString &path, int timers)
{
    PMModel m;
    m.setMode(int(Mode::Timers));
    for (int i = 0; i < timers; ++i) {
        if (!m.insertRows(0, 1))
            return false;
    }
    return m.saveSetup(path);
}

// The title the desktop shows: Qt's [*] marker resolved.
QString shownTitle(QWidget *w)
{
    w->winId();
    return w->windowHandle()->title();
}

// Stands in for the desktop's default application.
class UrlCatcher : public QObject
{
    Q_OBJECT
public:
    QList<QUrl> urls;
public slots:
    void open(const QUrl &url) { urls << url; }
};

QStringList linksOn(QTextDocument *doc)
{
    QStringList links;
    for (QTextBlock block = doc->begin(); block.isValid(); block = block.next())
        for (auto it = block.begin(); !it.atEnd(); ++it)
            if (it.fragment().charFormat().isAnchor() && !it.fragment().charFormat().anchorHref().isEmpty())
                links << it.fragment().charFormat().anchorHref();
    return links;
}

// Clicks the first link to href where the browser shows it.
bool clickLink(QTextBrowser *browser, const QString &href)
{
    for (QTextBlock block = browser->document()->begin(); block.isValid(); block = block.next())
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            if (it.fragment().charFormat().anchorHref() != href)
                continue;
            QTextCursor cursor(browser->document());
            cursor.setPosition(it.fragment().position() + 1);
            browser->setTextCursor(cursor);
            browser->ensureCursorVisible();
            const QRect rect = browser->cursorRect(cursor);
            QTest::mouseClick(browser->viewport(), Qt::LeftButton, {}, QPoint(rect.left() - 2, rect.center().y()));
            return true;
        }
    return false;
}

// The Options page's box of each option, in OptionIndex order.
QWidget *findOptionBox(QWidget *w, int option)
{
    const char *names[] = {"dsbMinPT",         "dsbDPT",           "dsbLPT",        "dsbFuseReset",
                           "dsbFuseRetryTime", "sbFuseMaxRetries", "comboCANSpeed", "hsbRebroadcast"};
    return w->findChild<QWidget *>(QLatin1String(names[option]));
}

}  // namespace

class TestKelda : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    ScriptedPrompter *m_prompter = nullptr;

    std::unique_ptr<KELDA> makeWindow()
    {
        auto p = std::make_unique<ScriptedPrompter>();
        m_prompter = p.get();
        return std::make_unique<KELDA>(std::move(p));
    }
    static QTabWidget *tabs(KELDA *w) { return child<QTabWidget>(w, "tabWidget"); }
    static void setSetting(Key key, const QString &value)
    {
        auto s = kelda::settings::open();
        kelda::settings::write(*s, key, value);
        s->sync();
    }
    static QString setting(Key key)
    {
        auto s = kelda::settings::open();
        return kelda::settings::read(*s, key);
    }
    QString path(const QString &name) const { return m_dir.filePath(name); }

private slots:
    void initTestCase()
    {
        QLocale::setDefault(QLocale::c());
        QVERIFY(m_dir.isValid());
        // main() points XDG_CONFIG_HOME at a temporary folder before any QSettings exists.
        auto s = kelda::settings::open();
        QVERIFY2(!s->fileName().startsWith(QDir::homePath() + QStringLiteral("/.config")), qPrintable(s->fileName()));
    }

    void init()
    {
        auto s = kelda::settings::open();
        s->clear();
        s->sync();
    }

    // ---- form and construction

    void startsWithKeypadAndTitle()
    {
        auto w = makeWindow();
        QCOMPARE(shownTitle(w.get()), QStringLiteral("KELDA - New Setup"));
        QCOMPARE(w->objectName(), QStringLiteral("KELDAClass"));
        QCOMPARE(w->size(), QSize(745, 717));
        QVERIFY(!w->windowIcon().isNull());  // the resource is registered
        QCOMPARE(tabs(w.get())->currentIndex(), 0);
        QCOMPARE(tabs(w.get())->tabText(0), QStringLiteral("Keypad"));
        QCOMPARE(w->model()->mode(), 0);
        QAbstractItemModel *shown = w->view(0)->model();
        QCOMPARE(shown, w->proxy(0));
        QCOMPARE(shown->rowCount(), 25);
        QCOMPARE(shown->index(0, 1).data().toString(), QStringLiteral("Keypad 1"));
        QCOMPARE(shown->index(24, 1).data().toString(), QStringLiteral("Keypad 25"));
        QVERIFY(m_prompter->asked.isEmpty());
        QVERIFY(m_prompter->told.isEmpty());
        // Only the Events view starts sorted; the others keep the model's order.
        for (int tab = 0; tab < KELDA::kTabCount; ++tab) {
            const int expected = tab == 4 ? 0 : -1;
            QCOMPARE(w->proxy(tab)->sortColumn(), expected);
            QCOMPARE(w->view(tab)->horizontalHeader()->sortIndicatorSection(), expected);
        }
    }

    void formTabsViewsAndButtons()
    {
        auto w = makeWindow();
        const QStringList pages = {"Keys", "tab_7", "tab_6", "tab_2", "tab_8",
                                   "tab",  "tab_3", "tab_5", "tab_4", "tab_9"};
        const QStringList texts = {"Keypad", "Switches",    "CAN Inputs", "Timers",      "Events",
                                   "States", "LX1 Outputs", "LX2 LEDs",   "CAN Outputs", "Options"};
        const QStringList views = {"keyPad_tableView",    "switches_tableView", "CANInp_tableView", "Timer_tableView",
                                   "Event_tableView",     "States_tableView",   "LX1_tableView",    "LX2LED_tableView",
                                   "CANOutput_tableView", "PWM_tableView"};
        QTabWidget *tw = tabs(w.get());
        QCOMPARE(tw->count(), 10);
        QVERIFY(!tw->documentMode());
        QVERIFY(!tw->acceptDrops());
        for (int i = 0; i < 10; ++i) {
            QCOMPARE(tw->widget(i)->objectName(), pages[i]);
            QCOMPARE(tw->tabText(i), texts[i]);
            QTableView *v = w->view(i);
            QVERIFY(v);
            QCOMPARE(v->objectName(), views[i]);
            QVERIFY(tw->widget(i)->isAncestorOf(v));
            QVERIFY(v->isSortingEnabled());
            QSortFilterProxyModel *p = w->proxy(i);
            QCOMPARE(p->sourceModel(), w->model());
            QCOMPARE(p->sortCaseSensitivity(), Qt::CaseInsensitive);
            QVERIFY(p->dynamicSortFilter());
            QCOMPARE(p->parent(), w.get());
            // Every view has the delegate now, so that refused renames of the fixed lists warn too.
            QVERIFY(qobject_cast<PMDelegate *>(v->itemDelegate()));
            if (i >= 2 && i != 7) {
                QCOMPARE(v->selectionMode(), QAbstractItemView::SingleSelection);
                QCOMPARE(v->selectionBehavior(), QAbstractItemView::SelectItems);
                QCOMPARE(v->verticalHeader()->property("showSortIndicator").toBool(), false);
            }
        }
        // one delegate for all views
        QCOMPARE(w->view(0)->itemDelegate(), w->view(9)->itemDelegate());
        QCOMPARE(w->proxy(4)->sortColumn(), 0);
        QCOMPARE(w->proxy(4)->sortOrder(), Qt::AscendingOrder);
        QCOMPARE(w->proxy(3)->sortColumn(), -1);

        const QList<std::pair<const char *, const char *>> buttons = {
            {"deleteCANButton", "addCANButton"},     {"deleteTimerButton", "addTimerButton"},
            {"deleteEventButton", "addEventButton"}, {"deleteStatesButton", "addStatesButton"},
            {"deleteLX1Button", "addLX1Button"},     {"deleteCANOPButton", "addCANOPButton"}};
        const int buttonTabs[] = {2, 3, 4, 5, 6, 8};
        for (int k = 0; k < buttons.size(); ++k) {
            auto *del = child<QPushButton>(w.get(), buttons[k].first);
            auto *add = child<QPushButton>(w.get(), buttons[k].second);
            QVERIFY2(del && add, buttons[k].first);
            QCOMPARE(del->text(), QStringLiteral("Remove"));
            QCOMPARE(add->text(), QStringLiteral("Add"));
            QWidget *page = tw->widget(buttonTabs[k]);
            QVERIFY(page->isAncestorOf(del) && page->isAncestorOf(add));
            auto *grid = qobject_cast<QGridLayout *>(page->layout());
            QVERIFY(grid);
            int row, col, rs, cs;
            grid->getItemPosition(grid->indexOf(w->view(buttonTabs[k])), &row, &col, &rs, &cs);
            QCOMPARE(QList<int>({row, col, cs}), QList<int>({0, 0, 3}));
            grid->getItemPosition(grid->indexOf(del), &row, &col, &rs, &cs);
            QCOMPARE(QList<int>({row, col}), QList<int>({1, 1}));
            grid->getItemPosition(grid->indexOf(add), &row, &col, &rs, &cs);
            QCOMPARE(QList<int>({row, col}), QList<int>({1, 2}));
            QCOMPARE(grid->spacing(), 6);
            QCOMPARE(grid->contentsMargins(), QMargins(11, 11, 11, 11));
        }
        QCOMPARE(w->findChildren<QPushButton *>().size(), 12);
        QCOMPARE(w->centralWidget()->objectName(), QStringLiteral("centralWidget"));
        QCOMPARE(w->centralWidget()->layout()->objectName(), QStringLiteral("verticalLayout_5"));
        QCOMPARE(w->centralWidget()->layout()->contentsMargins(), QMargins(11, 11, 11, 11));
        QCOMPARE(w->statusBar()->objectName(), QStringLiteral("statusBar"));
        auto *toolBar = child<QToolBar>(w.get(), "mainToolBar");
        QVERIFY(toolBar);
        QVERIFY(toolBar->actions().isEmpty());
        QCOMPARE(w->toolBarArea(toolBar), Qt::TopToolBarArea);
    }

    void menusAndActions()
    {
        auto w = makeWindow();
        QMenuBar *bar = w->menuBar();
        QCOMPARE(bar->objectName(), QStringLiteral("menuBar"));
        QStringList menus;
        for (QAction *a : bar->actions())
            menus << a->text();
        QCOMPARE(menus, QStringList({"&File", "&Edit", "&Simulate", "&Config", "&Tools", "&Module", "&Help"}));
        bar->removeAction(bar->actions()[1]);  // Edit: tst_undo; the indexes below are the other menus
        QStringList file;
        for (QAction *a : bar->actions().first()->menu()->actions())
            file << (a->isSeparator() ? QStringLiteral("|") : a->objectName() + QLatin1Char('=') + a->text());
        QCOMPARE(file,
                 QStringList({"action_New=&New", "action_Open=&Open", "action_Save=&Save", "actionSave_As=Save &As",
                              "|", "action_Export=&Export", "action_Upload=&Upload...", "|", "actionE_xit=E&xit"}));
        QCOMPARE(bar->actions()[1]->menu()->actions().first()->objectName(), QStringLiteral("action_Go"));
        QCOMPARE(bar->actions()[2]->menu()->actions().first()->objectName(), QStringLiteral("action_COM_Port"));
        QStringList tools;
        for (QAction *a : bar->actions()[3]->menu()->actions())
            tools << (a->isSeparator() ? QStringLiteral("|") : a->objectName() + QLatin1Char('=') + a->text());
        QCOMPARE(tools,
                 QStringList({"action_CheckSetup=&Check Setup", "action_WhereUsed=&Where Used...",
                              "action_Compare=Com&pare With...", "|", "action_Report=Setup &Report..."}));
        QCOMPARE(bar->actions()[4]->menu()->objectName(), QStringLiteral("menu_Module"));
        QCOMPARE(bar->actions()[4]->menu()->actions().first()->objectName(), QStringLiteral("action_LiveView"));
        QCOMPARE(bar->actions()[4]->menu()->actions().first()->text(), QStringLiteral("&Live View…"));
        QCOMPARE(bar->actions()[5]->menu()->actions().last()->objectName(), QStringLiteral("action_About"));
        QCOMPARE(bar->actions()[2]->menu()->actions().first()->text(), QStringLiteral("&COM Port"));
        auto *exportAction = child<QAction>(w.get(), "action_Export");
        QVERIFY(!exportAction->isVisible());
        QCOMPARE(bar->actions()[5]->menu()->actions().first()->objectName(), QStringLiteral("action_UserGuide"));
    }

    void optionBoxesFollowTheOptionsTable()
    {
        auto w = makeWindow();
        QStringList labels;
        for (const QLabel *l : w->findChildren<QLabel *>())
            labels << l->text();
        for (int i = 0; i < kelda::kOptionCount; ++i) {
            const kelda::OptionSpec *spec = kelda::optionSpec(i);
            QVERIFY(spec);
            QVERIFY2(labels.contains(QLatin1String(spec->label)), spec->label);
            QWidget *box = nullptr;
            if (auto *seconds = qobject_cast<QDoubleSpinBox *>(findOptionBox(w.get(), i))) {
                QCOMPARE(seconds->minimum(), spec->minimum);
                QCOMPARE(seconds->maximum(), spec->maximum);
                // The largest time the box offers is stored whole.
                seconds->setValue(spec->maximum);
                QCOMPARE(w->model()->option(i), spec->maximum);
                box = seconds;
            } else if (auto *number = qobject_cast<QSpinBox *>(findOptionBox(w.get(), i))) {
                QCOMPARE(number->minimum(), int(spec->minimum));
                QCOMPARE(number->maximum(), int(spec->maximum));
                number->setValue(int(spec->maximum));
                QCOMPARE(w->model()->option(i), spec->maximum);
                box = number;
            } else if (auto *choice = qobject_cast<QComboBox *>(findOptionBox(w.get(), i))) {
                QCOMPARE(choice->count() - 1, int(spec->maximum));
                box = choice;
            }
            QVERIFY2(box, spec->label);
        }
        QCOMPARE(kelda::optionSpec(kelda::kOptionCount), nullptr);
        QCOMPARE(kelda::optionSpec(-1), nullptr);
    }

    void optionsPageForm()
    {
        auto w = makeWindow();
        for (const char *name : {"dsbMinPT", "dsbDPT", "dsbLPT", "dsbFuseReset", "dsbFuseRetryTime"}) {
            auto *box = child<QDoubleSpinBox>(w.get(), name);
            QVERIFY2(box, name);
            QCOMPARE(box->minimum(), 0.0);
            QCOMPARE(box->maximum(), 655.35);
            QCOMPARE(box->singleStep(), 0.01);
            QCOMPARE(box->decimals(), 2);
        }
        auto *retries = child<QSpinBox>(w.get(), "sbFuseMaxRetries");
        QCOMPARE(retries->maximum(), 1000);
        QCOMPARE(retries->singleStep(), 1);
        auto *hex = child<HexSpinBox>(w.get(), "hsbRebroadcast");
        QVERIFY(hex);
        QCOMPARE(hex->maximum(), 2000);
        auto *combo = child<QComboBox>(w.get(), "comboCANSpeed");
        QStringList items;
        for (int i = 0; i < combo->count(); ++i)
            items << combo->itemText(i);
        QCOMPARE(items,
                 QStringList(
                     {"1 Mhz", "500 kHz", "333 kHz", "250 kHz", "200 kHz", "160 kHz", "125 kHz", "100 kHz", "50 kHz"}));
        QCOMPARE(child<QGroupBox>(w.get(), "groupBox")->title(), QStringLiteral("CAN Settings"));
        QCOMPARE(child<QGroupBox>(w.get(), "groupBox_2")->title(), QStringLiteral("Button Options"));
        QCOMPARE(child<QGroupBox>(w.get(), "groupBox_3")->title(), QStringLiteral("Fuse Options"));
        auto *pwm = child<QGroupBox>(w.get(), "groupBox_4");
        QCOMPARE(pwm->title(), QStringLiteral("LX1 PWM Ouptuts"));
        QCOMPARE(pwm->minimumHeight(), 360);
        QVERIFY(!pwm->layout());
        QCOMPARE(w->view(9)->geometry(), QRect(10, 80, 331, 271));
        QCOMPARE(w->view(9)->parentWidget(), pwm);
        auto *help = child<QLabel>(w.get(), "label_9");
        QCOMPARE(help->geometry(), QRect(10, 20, 321, 51));
        QVERIFY(help->wordWrap());
        QVERIFY(help->text().startsWith(QStringLiteral("To use the LX1 PWM function")));
        QCOMPARE(child<QLabel>(w.get(), "label_8")->text(), QStringLiteral("Rebroadcast Start Message"));
        QCOMPARE(child<QLabel>(w.get(), "label_7")->text(), QStringLiteral("CAN Speed"));

        auto *grid = qobject_cast<QGridLayout *>(tabs(w.get())->widget(9)->layout());
        QVERIFY(grid);
        auto at = [grid](int r, int c) { return grid->itemAtPosition(r, c)->widget()->objectName(); };
        QCOMPARE(QStringList({at(0, 0), at(0, 1), at(1, 0), at(1, 1)}),
                 QStringList({"groupBox", "groupBox_4", "groupBox_3", "groupBox_2"}));
        auto *buttons = qobject_cast<QFormLayout *>(child<QGroupBox>(w.get(), "groupBox_2")->layout());
        QVERIFY(buttons);
        QCOMPARE(buttons->fieldGrowthPolicy(), QFormLayout::AllNonFixedFieldsGrow);
        QCOMPARE(qobject_cast<QLabel *>(buttons->itemAt(0, QFormLayout::LabelRole)->widget())->text(),
                 QStringLiteral("Minimum Press Time/s"));
        QCOMPARE(buttons->itemAt(2, QFormLayout::FieldRole)->widget()->objectName(), QStringLiteral("dsbLPT"));
        auto *fuse = qobject_cast<QFormLayout *>(child<QGroupBox>(w.get(), "groupBox_3")->layout());
        QCOMPARE(qobject_cast<QLabel *>(fuse->itemAt(2, QFormLayout::LabelRole)->widget())->text(),
                 QStringLiteral("Max Number of Retries"));
        QCOMPARE(fuse->itemAt(1, QFormLayout::FieldRole)->widget()->objectName(), QStringLiteral("dsbFuseRetryTime"));
    }

    // ---- tabs and tables

    void tabChangesSetMode()
    {
        auto w = makeWindow();
        QTabWidget *tw = tabs(w.get());
        QSignalSpy resets(w->model(), &QAbstractItemModel::modelReset);
        for (int i : {3, 9, 1, 7, 4, 0}) {
            tw->setCurrentIndex(i);
            QCOMPARE(w->model()->mode(), i);
        }
        QCOMPARE(resets.size(), 6);
        tw->setCurrentIndex(9);
        QCOMPARE(w->view(9)->model()->rowCount(), 8);
        QCOMPARE(w->view(9)->model()->index(0, 0).data().toString(), QStringLiteral(" LX1-1"));

        // a view keeps its own sort column across tab changes
        tw->setCurrentIndex(1);
        w->view(1)->sortByColumn(1, Qt::DescendingOrder);
        QCOMPARE(w->view(1)->model()->index(0, 1).data().toString(), QStringLiteral("Switch 9"));
        tw->setCurrentIndex(7);
        QCOMPARE(w->view(7)->model()->rowCount(), 32);
        tw->setCurrentIndex(1);
        QCOMPARE(w->model()->mode(), 1);
        QCOMPARE(w->view(1)->horizontalHeader()->sortIndicatorSection(), 1);
        QCOMPARE(w->view(1)->model()->rowCount(), 25);
        QCOMPARE(w->view(1)->model()->index(0, 1).data().toString(), QStringLiteral("Switch 9"));
    }

    void addAndRemoveRows()
    {
        auto w = makeWindow();
        tabs(w.get())->setCurrentIndex(3);
        auto *add = child<QPushButton>(w.get(), "addTimerButton");
        auto *remove = child<QPushButton>(w.get(), "deleteTimerButton");
        for (int i = 0; i < 3; ++i)
            QTest::mouseClick(add, Qt::LeftButton);
        QCOMPARE(w->model()->rowCount(), 3);
        QCOMPARE(columnTexts(w->model(), 0), QStringList({"Timer 1", "Timer 2", "Timer 3"}));

        // Remove without a selection does nothing
        w->view(3)->clearSelection();
        QTest::mouseClick(remove, Qt::LeftButton);
        QCOMPARE(w->model()->rowCount(), 3);

        // sorted differently from the model: proxy row 0 is the model's last row
        w->view(3)->sortByColumn(0, Qt::DescendingOrder);
        QCOMPARE(w->proxy(3)->index(0, 0).data().toString(), QStringLiteral("Timer 3"));
        w->view(3)->selectionModel()->select(w->proxy(3)->index(1, 1), QItemSelectionModel::ClearAndSelect);
        QTest::mouseClick(remove, Qt::LeftButton);
        QCOMPARE(columnTexts(w->model(), 0), QStringList({"Timer 1", "Timer 3"}));

        // Add and Remove on a tab without rows to add do nothing
        tabs(w.get())->setCurrentIndex(0);
        w->addRow();
        w->view(0)->selectionModel()->select(w->proxy(0)->index(0, 1), QItemSelectionModel::ClearAndSelect);
        w->deleteRow();
        QCOMPARE(w->model()->rowCount(), 25);

        // each row tab adds to its own table
        const std::pair<int, const char *> tabButtons[] = {{2, "addCANButton"},
                                                           {4, "addEventButton"},
                                                           {5, "addStatesButton"},
                                                           {6, "addLX1Button"},
                                                           {8, "addCANOPButton"}};
        for (const auto &[tab, name] : tabButtons) {
            tabs(w.get())->setCurrentIndex(tab);
            QTest::mouseClick(child<QPushButton>(w.get(), name), Qt::LeftButton);
            QCOMPARE(w->model()->rowCount(), 1);
        }
        QVERIFY(m_prompter->told.isEmpty());
    }

    void addEventShowsAtSortedPlace()
    {
        auto w = makeWindow();
        tabs(w.get())->setCurrentIndex(4);
        auto *add = child<QPushButton>(w.get(), "addEventButton");
        QTest::mouseClick(add, Qt::LeftButton);
        QTest::mouseClick(add, Qt::LeftButton);
        // by priority, highest first: each new event (next priority) goes on top at once
        w->view(4)->sortByColumn(0, Qt::DescendingOrder);
        QTest::mouseClick(add, Qt::LeftButton);
        QCOMPARE(w->proxy(4)->rowCount(), 3);
        QCOMPARE(w->proxy(4)->index(0, 0).data().toInt(), 3);
        QCOMPARE(w->proxy(4)->index(0, 1).data().toString(), QStringLiteral("Event 3"));
        QCOMPARE(w->proxy(4)->sortColumn(), 0);
        QCOMPARE(w->proxy(4)->sortOrder(), Qt::DescendingOrder);
        // by name, descending
        w->view(4)->sortByColumn(1, Qt::DescendingOrder);
        QTest::mouseClick(add, Qt::LeftButton);
        QCOMPARE(columnTexts(w->proxy(4), 1), QStringList({"Event 4", "Event 3", "Event 2", "Event 1"}));
    }

    void addOnFullTableWarns()
    {
        auto w = makeWindow();
        tabs(w.get())->setCurrentIndex(2);
        for (int i = 0; i < kelda::kMaxTableItems; ++i)
            QVERIFY(w->model()->insertRows(0, 1));
        QCOMPARE(w->model()->rowCount(), 255);
        QTest::mouseClick(child<QPushButton>(w.get(), "addCANButton"), Qt::LeftButton);
        QCOMPARE(w->model()->rowCount(), 255);
        QCOMPARE(m_prompter->told.size(), 1);
        const Message m = m_prompter->told.first();
        QCOMPARE(m.icon, QMessageBox::Warning);
        QCOMPARE(m.title, QStringLiteral("KELDA"));
        QVERIFY2(m.text.contains(QStringLiteral("full")) && m.text.contains(QStringLiteral("255")), qPrintable(m.text));
        // other tables are not full
        tabs(w.get())->setCurrentIndex(3);
        w->addRow();
        QCOMPARE(w->model()->rowCount(), 1);
        QCOMPARE(m_prompter->told.size(), 1);
    }

    void clicksOpenEditorsOnlyOnEditColumns()
    {
        auto w = makeWindow();
        QTabWidget *tw = tabs(w.get());
        tw->setCurrentIndex(6);
        w->addRow();
        for (int c = 0; c < w->proxy(6)->columnCount(); ++c)
            emit w->view(6)->clicked(w->proxy(6)->index(0, c));
        QVERIFY(m_prompter->execs.isEmpty());

        tw->setCurrentIndex(4);
        w->addRow();
        w->addRow();
        w->view(4)->sortByColumn(1, Qt::DescendingOrder);  // proxy row 0 is model row 1
        for (int c = 0; c < 10; ++c)
            emit w->view(4)->clicked(w->proxy(4)->index(0, c));
        QVERIFY(m_prompter->execs.isEmpty());
        int boundRow = -1;
        m_prompter->onExec = ScriptedPrompter::accepting([&boundRow](QDialog *d) {
            auto *editor = qobject_cast<EventsEditor *>(d);
            QVERIFY(editor);
            QVERIFY(!editor->parent());
            boundRow = editor->listModel(0)->row();
            editor->addStateSet();  // goes into the setup at once
        });
        emit w->view(4)->clicked(w->proxy(4)->index(0, 10));
        QCOMPARE(m_prompter->execs.size(), 1);
        QCOMPARE(boundRow, 1);
        QCOMPARE(w->model()->listEntryCount(1, 0), 1);
        QCOMPARE(w->model()->listEntryCount(0, 0), 0);

        tw->setCurrentIndex(5);
        w->addRow();
        w->addRow();
        w->view(5)->sortByColumn(0, Qt::DescendingOrder);
        m_prompter->onExec = ScriptedPrompter::accepting([&boundRow](QDialog *d) {
            auto *editor = qobject_cast<StatesEditor *>(d);
            QVERIFY(editor);
            boundRow = editor->listModel(0)->row();
        });
        emit w->view(5)->clicked(w->proxy(5)->index(0, 0));
        QCOMPARE(m_prompter->execs.size(), 1);
        emit w->view(5)->clicked(w->proxy(5)->index(0, 1));
        QCOMPARE(m_prompter->execs.size(), 2);
        QCOMPARE(boundRow, 1);
    }

    // ---- options page

    void optionWidgetsWriteTheSetup()
    {
        auto w = makeWindow();
        PMModel *m = w->model();
        child<QDoubleSpinBox>(w.get(), "dsbMinPT")->setValue(0.29);
        QCOMPARE(raw(m, 0), uint16_t(29));  // the nearest hundredth
        child<QDoubleSpinBox>(w.get(), "dsbDPT")->setValue(1.5);
        QCOMPARE(raw(m, 1), uint16_t(150));
        child<QDoubleSpinBox>(w.get(), "dsbLPT")->setValue(2.0);
        QCOMPARE(raw(m, 2), uint16_t(200));
        child<QDoubleSpinBox>(w.get(), "dsbFuseReset")->setValue(655.35);
        QCOMPARE(raw(m, 3), uint16_t(65535));
        child<QDoubleSpinBox>(w.get(), "dsbFuseRetryTime")->setValue(0.75);
        QCOMPARE(raw(m, 4), uint16_t(75));
        child<QSpinBox>(w.get(), "sbFuseMaxRetries")->setValue(1000);
        QCOMPARE(raw(m, 5), uint16_t(1000));
        auto *combo = child<QComboBox>(w.get(), "comboCANSpeed");
        combo->setCurrentIndex(combo->findText(QStringLiteral("160 kHz")));
        QCOMPARE(raw(m, 6), uint16_t(0xC835));
        combo->setCurrentIndex(6);
        QCOMPARE(raw(m, 6), uint16_t(0xC749));
        auto *hex = child<HexSpinBox>(w.get(), "hsbRebroadcast");
        hex->setValue(0x7D0);
        QCOMPARE(raw(m, 7), uint16_t(2000));
        // typed through the widget's own text path
        hex->selectAll();
        QTest::keyClicks(hex, QStringLiteral("0x123"));
        QTest::keyClick(hex, Qt::Key_Return);
        QCOMPARE(raw(m, 7), uint16_t(0x123));
    }

    void loadOptionsShowsWithoutWritingBack()
    {
        const QString file = path(QStringLiteral("odd-options.kelda"));
        {
            PMModel m;
            QVERIFY(setRawOption(m.session(), 0, 65535));
            QVERIFY(setRawOption(m.session(), 5, 5000));
            QVERIFY(setRawOption(m.session(), 6, 0x1234));  // no such CAN speed
            QVERIFY(setRawOption(m.session(), 7, 0x7FF));  // beyond the box's range
            QVERIFY(m.saveSetup(file));
        }
        auto w = makeWindow();
        m_prompter->answers << QMessageBox::Discard;
        m_prompter->openAnswers << file;
        w->fileOpen();
        QCOMPARE(m_prompter->openCalls.size(), 1);
        QVERIFY(m_prompter->told.isEmpty());
        auto *hex = child<HexSpinBox>(w.get(), "hsbRebroadcast");
        QCOMPARE(hex->value(), 2000);
        QCOMPARE(hex->text(), QStringLiteral("0x7D0"));
        QCOMPARE(child<QDoubleSpinBox>(w.get(), "dsbMinPT")->value(), 655.35);
        QCOMPARE(child<QSpinBox>(w.get(), "sbFuseMaxRetries")->value(), 1000);
        QCOMPARE(child<QComboBox>(w.get(), "comboCANSpeed")->currentText(), QStringLiteral("1 Mhz"));
        // the setup keeps what it holds until a widget is changed
        QCOMPARE(raw(w->model(), 0), uint16_t(65535));
        QCOMPARE(raw(w->model(), 5), uint16_t(5000));
        QCOMPARE(raw(w->model(), 6), uint16_t(0x1234));
        QCOMPARE(raw(w->model(), 7), uint16_t(0x7FF));
        QVERIFY(!w->model()->isModified());
        hex->setValue(0x100);
        QCOMPARE(raw(w->model(), 7), uint16_t(0x100));
    }

    void newShowsDefaultOptions()
    {
        auto w = makeWindow();
        child<QDoubleSpinBox>(w.get(), "dsbMinPT")->setValue(3.0);
        child<QComboBox>(w.get(), "comboCANSpeed")->setCurrentIndex(8);
        child<HexSpinBox>(w.get(), "hsbRebroadcast")->setValue(5);
        m_prompter->answers << QMessageBox::Discard;
        w->fileNew();
        QCOMPARE(shownTitle(w.get()), QStringLiteral("KELDA - New setup"));
        QCOMPARE(child<QDoubleSpinBox>(w.get(), "dsbMinPT")->value(), 0.01);
        QCOMPARE(child<QDoubleSpinBox>(w.get(), "dsbDPT")->value(), 0.05);
        QCOMPARE(child<QDoubleSpinBox>(w.get(), "dsbLPT")->value(), 1.0);
        QCOMPARE(child<QDoubleSpinBox>(w.get(), "dsbFuseReset")->value(), 10.0);
        QCOMPARE(child<QDoubleSpinBox>(w.get(), "dsbFuseRetryTime")->value(), 0.5);
        QCOMPARE(child<QSpinBox>(w.get(), "sbFuseMaxRetries")->value(), 5);
        QCOMPARE(child<QComboBox>(w.get(), "comboCANSpeed")->currentText(), QStringLiteral("1 Mhz"));
        QCOMPARE(child<HexSpinBox>(w.get(), "hsbRebroadcast")->text(), QStringLiteral("0x600"));
        QCOMPARE(raw(w->model(), 7), uint16_t(0x600));
    }

    // ---- setup files

    void maybeSaveQuestion()
    {
        auto w = makeWindow();
        tabs(w.get())->setCurrentIndex(3);
        w->addRow();
        QVERIFY(w->model()->isModified());

        m_prompter->answers << QMessageBox::Cancel;
        w->fileNew();
        QCOMPARE(m_prompter->asked.size(), 1);
        const Message q = m_prompter->asked.first();
        QCOMPARE(q.text, QStringLiteral("Save changed to setup ?"));
        QCOMPARE(q.title, QStringLiteral("KELDA"));
        QCOMPARE(q.icon, QMessageBox::Warning);
        QCOMPARE(q.buttons, QMessageBox::Save | QMessageBox::Discard | QMessageBox::Cancel);
        QCOMPARE(w->model()->rowCount(), 1);  // Cancel keeps the setup
        QCOMPARE(shownTitle(w.get()), QStringLiteral("KELDA - New Setup*"));  // still unsaved

        m_prompter->answers << QMessageBox::Cancel;
        w->fileOpen();
        QCOMPARE(m_prompter->asked.size(), 2);
        QVERIFY(m_prompter->openCalls.isEmpty());

        // Save on a never-saved setup opens Save As; cancelling it cancels New
        // too, since the work would be thrown away unsaved.
        m_prompter->answers << QMessageBox::Save;
        w->fileNew();
        QCOMPARE(m_prompter->saveCalls.size(), 1);
        QCOMPARE(shownTitle(w.get()), QStringLiteral("KELDA - New Setup*"));
        QCOMPARE(w->model()->rowCount(), 1);
        m_prompter->answers << QMessageBox::Save;
        w->fileOpen();
        QCOMPARE(m_prompter->saveCalls.size(), 2);
        QVERIFY(m_prompter->openCalls.isEmpty());
        QCOMPARE(w->model()->rowCount(), 1);

        // a saved setup names its file in the question
        const QString file = path(QStringLiteral("asked.kelda"));
        m_prompter->saveAnswers << file;
        w->fileSaveAs();
        QVERIFY(!w->model()->isModified());
        m_prompter->asked.clear();
        w->fileNew();  // nothing unsaved: no question
        QVERIFY(m_prompter->asked.isEmpty());
        w->addRow();
        m_prompter->openAnswers << file;
        m_prompter->answers << QMessageBox::Discard;
        w->fileOpen();
        QCOMPARE(m_prompter->asked.size(), 1);
        QCOMPARE(m_prompter->asked.first().text, QStringLiteral("Save changed to setup ?"));
        m_prompter->answers << QMessageBox::Cancel;
        w->addRow();
        w->fileNew();
        QCOMPARE(m_prompter->asked.last().text, QStringLiteral("Save changed to setup ") + file + QStringLiteral("?"));
    }

    void saveOnNeverSavedIsSaveAs()
    {
        auto w = makeWindow();
        tabs(w.get())->setCurrentIndex(3);
        w->addRow();
        const QString file = path(QStringLiteral("first.kelda"));
        m_prompter->saveAnswers << file;
        w->fileSave();
        QCOMPARE(m_prompter->saveCalls.size(), 1);
        QCOMPARE(m_prompter->saveCalls.first().caption, QStringLiteral("KELDA"));
        QCOMPARE(m_prompter->saveCalls.first().dir, QString());
        QCOMPARE(m_prompter->saveCalls.first().filter, kFilter);
        QVERIFY(QFileInfo::exists(file));
        QCOMPARE(shownTitle(w.get()), QStringLiteral("KELDA - ") + file);
        QCOMPARE(setting(Key::DefaultPath), QFileInfo(file).absolutePath());
        QCOMPARE(setting(Key::LastSetup), file);
        QCOMPARE(w->model()->fileName(), file);

        // plain Save: no dialog, same title, the file follows the setup
        w->addRow();
        w->fileSave();
        QCOMPARE(m_prompter->saveCalls.size(), 1);
        QCOMPARE(shownTitle(w.get()), QStringLiteral("KELDA - ") + file);
        PMModel check;
        QVERIFY(check.openSetup(file));
        QCOMPARE(check.itemCount(ItemType::Timer), 2);

        // Save As cancelled changes nothing
        w->fileSaveAs();
        QCOMPARE(m_prompter->saveCalls.last().dir, file);  // starts at the remembered file
        QCOMPARE(shownTitle(w.get()), QStringLiteral("KELDA - ") + file);
        QVERIFY(m_prompter->told.isEmpty());
    }

    void rememberedFolders()
    {
        QTemporaryDir other;
        const QString file = other.filePath(QStringLiteral("remembered.kelda"));
        QVERIFY(writeSetup(file, 2));
        auto w = makeWindow();
        w->model()->setModified(false);
        m_prompter->openAnswers << file;
        w->fileOpen();
        QCOMPARE(m_prompter->openCalls.first().caption, QStringLiteral("KELDA"));
        QCOMPARE(m_prompter->openCalls.first().dir, QString());
        QCOMPARE(m_prompter->openCalls.first().filter, kFilter);
        QCOMPARE(shownTitle(w.get()), QStringLiteral("KELDA - ") + file);
        QCOMPARE(w->model()->itemCount(ItemType::Timer), 2);
        QCOMPARE(setting(Key::DefaultPath), QFileInfo(file).absolutePath());
        QCOMPARE(setting(Key::LastSetup), file);

        w->fileOpen();  // cancelled
        QCOMPARE(m_prompter->openCalls.last().dir, QFileInfo(file).absolutePath());
        QCOMPARE(shownTitle(w.get()), QStringLiteral("KELDA - ") + file);
        w->fileSaveAs();  // cancelled
        QCOMPARE(m_prompter->saveCalls.last().dir, file);
        QCOMPARE(m_prompter->saveCalls.last().caption, QStringLiteral("KELDA"));
    }

    void openFailureChangesNothing()
    {
        const QString good = path(QStringLiteral("good.kelda"));
        QVERIFY(writeSetup(good, 1));
        const QString bad = path(QStringLiteral("not-a-setup.kelda"));
        QVERIFY(writeFile(bad, "this is plain text, not a setup file\n"));
        auto w = makeWindow();
        w->model()->setModified(false);
        m_prompter->openAnswers << good << bad;
        w->fileOpen();
        QCOMPARE(w->model()->itemCount(ItemType::Timer), 1);
        w->fileOpen();
        QCOMPARE(m_prompter->told.size(), 1);
        const Message m = m_prompter->told.first();
        QCOMPARE(m.icon, QMessageBox::Warning);
        QCOMPARE(m.title, QStringLiteral("KELDA"));
        QVERIFY2(m.text.contains(bad) && m.text.contains(QStringLiteral("could not be opened")), qPrintable(m.text));
        QVERIFY2(!m.text.contains(QStringLiteral("no reason given")), qPrintable(m.text));  // says why
        QVERIFY2(m.text.contains(QStringLiteral("unchanged")), qPrintable(m.text));
        // The setup that was open stays, with its title and the settings.
        QCOMPARE(shownTitle(w.get()), QStringLiteral("KELDA - ") + good);
        QCOMPARE(w->model()->itemCount(ItemType::Timer), 1);
        QCOMPARE(w->model()->fileName(), good);
        QVERIFY(!w->model()->isModified());
        QCOMPARE(setting(Key::LastSetup), good);
        QCOMPARE(setting(Key::DefaultPath), QFileInfo(good).absolutePath());
    }

    void saveFailureReports()
    {
        const QString missingFolder = path(QStringLiteral("no-such-folder/x.kelda"));
        auto w = makeWindow();
        tabs(w.get())->setCurrentIndex(3);
        w->addRow();
        m_prompter->saveAnswers << missingFolder;
        w->fileSaveAs();
        QCOMPARE(m_prompter->told.size(), 1);
        Message m = m_prompter->told.first();
        QCOMPARE(m.icon, QMessageBox::Critical);
        QCOMPARE(m.title, QStringLiteral("KELDA"));
        QVERIFY2(m.text.contains(missingFolder), qPrintable(m.text));
        QVERIFY2(m.text.contains(QStringLiteral("could not be saved")), qPrintable(m.text));
        QVERIFY2(!m.text.contains(QStringLiteral("no reason given")), qPrintable(m.text));
        QCOMPARE(shownTitle(w.get()), QStringLiteral("KELDA - New Setup*"));
        QCOMPARE(setting(Key::LastSetup), QString());
        QCOMPARE(setting(Key::DefaultPath), QString());
        QVERIFY(w->model()->isModified());

        // Save to a file whose folder has gone
        QTemporaryDir gone;
        const QString file = gone.filePath(QStringLiteral("gone.kelda"));
        m_prompter->saveAnswers << file;
        w->fileSaveAs();
        QCOMPARE(m_prompter->told.size(), 1);
        QVERIFY(gone.remove());
        w->addRow();
        w->fileSave();
        QCOMPARE(m_prompter->told.size(), 2);
        QCOMPARE(m_prompter->told.last().icon, QMessageBox::Critical);
        QVERIFY(m_prompter->told.last().text.contains(file));
        QCOMPARE(shownTitle(w.get()),
                 QStringLiteral("KELDA - ") + file + QLatin1Char('*'));  // the changes are still unsaved

        // answering Save to the question and failing keeps the setup
        m_prompter->answers << QMessageBox::Save;
        w->fileNew();
        QCOMPARE(m_prompter->told.size(), 3);
        QCOMPARE(w->model()->rowCount(), 2);
        QCOMPARE(shownTitle(w.get()), QStringLiteral("KELDA - ") + file + QLatin1Char('*'));
    }

    void startupReopen_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("present") << "present";
        QTest::newRow("missing") << "missing";
        QTest::newRow("damaged") << "damaged";
        QTest::newRow("relative") << "relative";
        QTest::newRow("folder") << "folder";
    }

    void startupReopen()
    {
        QFETCH(QString, kind);
        QString file = path(kind + QStringLiteral(".kelda"));
        if (kind == QLatin1String("present") || kind == QLatin1String("relative")) {
            QVERIFY(writeSetup(file, 3));
            PMModel m;
            QVERIFY(m.openSetup(file));
            QVERIFY(setRawOption(m.session(), 7, 0x123));
            QVERIFY(m.saveSetup(file));
        } else if (kind == QLatin1String("folder")) {
            // A folder is no setup that was saved: treated as a missing file.
            QVERIFY(QDir().mkpath(file));
        } else if (kind == QLatin1String("damaged")) {
            QVERIFY(writeSetup(file, 3));
            QFile f(file);
            QVERIFY(f.open(QIODevice::ReadWrite));
            QByteArray bytes = f.readAll();
            bytes[bytes.size() / 2] = char(bytes[bytes.size() / 2] ^ 0x10);
            f.seek(0);
            f.write(bytes);
        }
        const QString oldCwd = QDir::currentPath();
        if (kind == QLatin1String("relative")) {
            QDir::setCurrent(m_dir.path());
            file = QFileInfo(file).fileName();
        }
        setSetting(Key::LastSetup, file);
        setSetting(Key::DefaultPath, QStringLiteral("/some/folder"));

        auto w = makeWindow();
        QDir::setCurrent(oldCwd);
        if (kind == QLatin1String("present") || kind == QLatin1String("relative")) {
            QCOMPARE(shownTitle(w.get()), QStringLiteral("KELDA - ") + file);
            QCOMPARE(w->model()->itemCount(ItemType::Timer), 3);
            QCOMPARE(child<HexSpinBox>(w.get(), "hsbRebroadcast")->value(), 0x123);
            QVERIFY(m_prompter->told.isEmpty());
        } else {
            QCOMPARE(shownTitle(w.get()), QStringLiteral("KELDA - New Setup"));
            QCOMPARE(w->model()->itemCount(ItemType::Timer), 0);
            QCOMPARE(w->model()->rowCount(), 25);
            QCOMPARE(child<HexSpinBox>(w.get(), "hsbRebroadcast")->value(), 0x600);
            QVERIFY(!w->model()->isModified());
            if (kind == QLatin1String("missing") || kind == QLatin1String("folder")) {
                QVERIFY(m_prompter->told.isEmpty());
            } else {
                QCOMPARE(m_prompter->told.size(), 1);
                QCOMPARE(m_prompter->told.first().icon, QMessageBox::Warning);
                QCOMPARE(m_prompter->told.first().title, QStringLiteral("KELDA"));
                QVERIFY(m_prompter->told.first().text.contains(QStringLiteral("could not be opened")));
            }
        }
        QVERIFY(m_prompter->asked.isEmpty());
        QCOMPARE(setting(Key::LastSetup), file);
        QCOMPARE(setting(Key::DefaultPath), QStringLiteral("/some/folder"));
    }

    void closingAsksBeforeLosingWork()
    {
        auto w = makeWindow();
        w->show();
        tabs(w.get())->setCurrentIndex(3);
        w->addRow();
        m_prompter->answers << QMessageBox::Cancel;
        QVERIFY(!w->close());
        QVERIFY(w->isVisible());
        QCOMPARE(m_prompter->asked.size(), 1);
        QCOMPARE(m_prompter->asked.first().text, QStringLiteral("Save changed to setup ?"));

        m_prompter->answers << QMessageBox::Cancel;
        child<QAction>(w.get(), "actionE_xit")->trigger();
        QCOMPARE(m_prompter->asked.size(), 2);
        QVERIFY(w->isVisible());

        // Save, then the Save As dialog cancelled: nothing was kept, so the window stays
        m_prompter->answers << QMessageBox::Save;
        m_prompter->saveAnswers << QString();
        QVERIFY(!w->close());
        QVERIFY(w->isVisible());
        QVERIFY(w->model()->isModified());

        // Save, then close: the file is written and the window closes
        const QString file = path(QStringLiteral("closing.kelda"));
        m_prompter->answers << QMessageBox::Save;
        m_prompter->saveAnswers << file;
        QVERIFY(w->close());
        QVERIFY(!w->isVisible());
        QVERIFY(QFileInfo::exists(file));

        // nothing unsaved: closes without a question
        w->show();
        m_prompter->asked.clear();
        QVERIFY(w->close());
        QVERIFY(m_prompter->asked.isEmpty());

        // A fresh window has nothing to lose either.
        auto fresh = makeWindow();
        fresh->show();
        QVERIFY(!fresh->model()->isModified());
        fresh->fileNew();
        QVERIFY(fresh->close());
        QVERIFY(m_prompter->asked.isEmpty());
    }

    // ---- setup checks

    void problemsDockFollowsTheSetup()
    {
        auto w = makeWindow();
        w->show();
        auto *dock = child<QDockWidget>(w.get(), "problemsDock");
        QVERIFY(dock && dock->isVisible());
        QCOMPARE(w->dockWidgetArea(dock), Qt::BottomDockWidgetArea);
        auto *list = child<QTreeWidget>(w.get(), "problemsList");
        // A new setup is clean, and the dock says so (changed: it used to stay empty).
        QTRY_COMPARE(list->topLevelItemCount(), 1);
        QCOMPARE(list->topLevelItem(0)->text(0), QStringLiteral("No problems found"));

        tabs(w.get())->setCurrentIndex(3);
        w->addRow();
        QTRY_COMPARE(w->findings().size(), 1);
        QCOMPARE(list->topLevelItemCount(), 1);
        QCOMPARE(w->findings().first().code, QStringLiteral("timer-never-started"));
        tabs(w.get())->setCurrentIndex(4);
        w->addRow();
        QTRY_COMPARE(list->topLevelItemCount(), 3);  // + input-unset, event-no-action
        QTreeWidgetItem *unset = nullptr;
        for (int i = 0; i < list->topLevelItemCount(); ++i)
            if (list->topLevelItem(i)->text(3).startsWith(QStringLiteral("Input 1 has no target")))
                unset = list->topLevelItem(i);
        QVERIFY(unset);
        QCOMPARE(unset->text(0), QStringLiteral("Events"));
        QVERIFY(!unset->icon(0).isNull());

        // Activating a line goes to its table, row and column.
        tabs(w.get())->setCurrentIndex(0);
        emit list->itemActivated(unset, 0);
        QCOMPARE(tabs(w.get())->currentIndex(), 4);
        const QModelIndex at = w->proxy(4)->mapToSource(w->view(4)->currentIndex());
        QCOMPARE(at.row(), 0);
        QCOMPARE(at.column(), 2);

        // Fixing the input clears the error; Tools > Check Setup reopens a closed dock.
        QVERIFY(w->model()->setData(w->model()->index(0, 2), QStringLiteral("KP: Keypad 4")));
        QTRY_COMPARE(list->topLevelItemCount(), 2);
        dock->close();
        child<QAction>(w.get(), "action_CheckSetup")->trigger();
        QVERIFY(dock->isVisible());
    }

    // The dock, Where Used and the Remove question count rows as the tables show them.
    void problemsFollowRowsAsShown()
    {
        auto w = makeWindow();
        w->show();
        auto *list = child<QTreeWidget>(w.get(), "problemsList");
        PMModel *m = w->model();
        tabs(w.get())->setCurrentIndex(3);
        w->addRow();
        tabs(w.get())->setCurrentIndex(4);
        w->addRow();
        w->addRow();
        QVERIFY(m->setData(m->index(0, 2), QStringLiteral("TI: Timer 1")));
        QVERIFY(m->setData(m->index(1, 0), 1));  // "Event 2" is shown first
        const auto dockRows = [list] {
            QStringList rows;
            for (int i = 0; i < list->topLevelItemCount(); ++i)
                rows << list->topLevelItem(i)->text(0) + QLatin1Char(' ') + list->topLevelItem(i)->text(1)
                        + QLatin1Char(' ') + list->topLevelItem(i)->text(2);
            return rows;
        };
        const QStringList expected = {"Timers 1 Timer 1", "Events 1 Event 2", "Events 1 Event 2", "Events 2 Event 1"};
        QTRY_COMPARE(dockRows(), expected);

        // Remove, Undo, Add: the rows follow before any further wait.
        w->view(4)->selectionModel()->select(w->proxy(4)->index(0, 1), QItemSelectionModel::ClearAndSelect);
        w->deleteRow();
        QCoreApplication::processEvents();
        QCOMPARE(dockRows().join(QLatin1Char('|')), QStringLiteral("Timers 1 Timer 1|Events 1 Event 1"));
        w->undoStack()->undo();
        QCoreApplication::processEvents();
        QCOMPARE(dockRows(), expected);
        w->addRow();
        QCoreApplication::processEvents();
        QCOMPARE(list->topLevelItemCount(), w->findings().size());
        QCOMPARE(dockRows().last(), QStringLiteral("Events 3 Event 3"));

        tabs(w.get())->setCurrentIndex(3);
        w->view(3)->setCurrentIndex(w->proxy(3)->index(0, 0));
        QStringList shown;
        m_prompter->onExec = ScriptedPrompter::accepting([&shown](QDialog *d) {
            auto *uses = d->findChild<QListWidget *>(QStringLiteral("usesList"));
            for (int i = 0; i < uses->count(); ++i)
                shown << uses->item(i)->text();
        });
        child<QAction>(w.get(), "action_WhereUsed")->trigger();
        QCOMPARE(shown, QStringList({"Events 2 \"Event 1\": input 1"}));
        w->view(3)->selectionModel()->select(w->proxy(3)->index(0, 0), QItemSelectionModel::ClearAndSelect);
        m_prompter->choices << 1;
        w->deleteRow();
        QVERIFY(m_prompter->chosen.last().text.contains(QStringLiteral("Events 2 \"Event 1\": input 1")));
    }

    // Numbers typed into cells and option boxes are taken whole, refused with a
    // reason through the warning box, or stored rounded with a note.
    void typedNumbersInTheWindow()
    {
        auto w = makeWindow();
        w->show();
        PMModel *m = w->model();
        tabs(w.get())->setCurrentIndex(9);
        const auto type = [](QAbstractSpinBox *box, const char *text) {
            box->selectAll();
            QTest::keyClicks(box, QString::fromLatin1(text));
            QTest::keyClick(box, Qt::Key_Return);
        };
        auto *minPT = child<QDoubleSpinBox>(w.get(), "dsbMinPT");
        const QList<std::pair<const char *, const char *>> refused = {
            {"1,5", "\"1,5\" is not a number: type one from 0 to 655.35 s, with \".\" before the decimals."},
            {"700", "700 is out of range: type a number from 0 to 655.35 s."},
            {"1.234", "1.234 has more than 2 decimals: type a number from 0 to 655.35 s with at most 2."}};
        for (const auto &[text, why] : refused) {
            m_prompter->told.clear();
            type(minPT, text);
            QTRY_COMPARE(m_prompter->told.size(), 1);
            QCOMPARE(m_prompter->told.first().icon, QMessageBox::Warning);
            QCOMPARE(m_prompter->told.first().text, QString::fromLatin1(why));
            QCOMPARE(m->option(0), 0.01);
        }
        type(minPT, "0.5");
        QCOMPARE(m->option(0), 0.5);
        m_prompter->told.clear();
        type(child<HexSpinBox>(w.get(), "hsbRebroadcast"), "0x900");
        QTRY_COMPARE(m_prompter->told.size(), 1);
        QCOMPARE(m->option(7), 1536.0);
        // Blanks around the digits are taken as the box's check allows them,
        // never accepted and then dropped.
        m_prompter->told.clear();
        type(child<HexSpinBox>(w.get(), "hsbRebroadcast"), " 7D0 ");
        QCOMPARE(m->option(7), 2000.0);
        QCOMPARE(m_prompter->told.size(), 0);

        // In a cell: refused through the same box, or stored with a note in the status bar.
        const auto typeInCell = [&](int tab, int column, const char *text) {
            tabs(w.get())->setCurrentIndex(tab);
            const QModelIndex at = w->proxy(tab)->index(0, column);
            w->view(tab)->setCurrentIndex(at);
            w->view(tab)->edit(at);
            QWidget *editor = w->view(tab)->indexWidget(at);
            QVERIFY(editor);
            if (auto *spin = qobject_cast<QAbstractSpinBox *>(editor))
                spin->selectAll();
            else if (auto *line = qobject_cast<QLineEdit *>(editor))
                line->selectAll();
            QTest::keyClicks(editor, QString::fromLatin1(text));
            QTest::keyClick(editor, Qt::Key_Return);
            QTRY_VERIFY(!w->view(tab)->indexWidget(at));
        };
        tabs(w.get())->setCurrentIndex(6);
        w->addRow();
        typeInCell(6, 1, "5.3");
        QCOMPARE(w->statusBar()->currentMessage(),
                 QStringLiteral("Stored as 5.2 A: current limits are set in 0.4 A steps."));
        tabs(w.get())->setCurrentIndex(3);
        w->addRow();
        m_prompter->told.clear();
        typeInCell(3, 1, "400");
        QTRY_COMPARE(m_prompter->told.size(), 1);
        QCOMPARE(m_prompter->told.first().text,
                 QStringLiteral("400 is out of range: type a number from 0 to 327.675 s."));

        // A refused rename warns in the fixed lists as it does in Timers.
        for (int tab : {0, 1, 7}) {
            m_prompter->told.clear();
            m->setMode(tab);
            const QString taken = m->index(1, 1).data().toString();
            typeInCell(tab, 1, qPrintable(taken));
            QTRY_COMPARE(m_prompter->told.size(), 1);
            QVERIFY2(m_prompter->told.first().text.contains(QStringLiteral("already called")),
                     qPrintable(m_prompter->told.first().text));
        }
    }

    void errorsGateGoUploadAndExport()
    {
        auto w = makeWindow();
        tabs(w.get())->setCurrentIndex(4);
        w->addRow();  // an event without input: input-unset
        m_prompter->answers << QMessageBox::No;
        w->startSimulation();
        QCOMPARE(m_prompter->asked.size(), 1);
        QVERIFY2(m_prompter->asked.first().text.contains(QStringLiteral("Input 1 has no target"))
                     && m_prompter->asked.first().text.endsWith(QStringLiteral("Simulate anyway?")),
                 qPrintable(m_prompter->asked.first().text));
        QVERIFY(w->simulators().isEmpty());
        m_prompter->answers << QMessageBox::Yes;
        w->startSimulation();
        QCOMPARE(w->simulators().size(), 1);
        qDeleteAll(w->simulators());

        w->fileUpload();
        w->fileExport();
        QCOMPARE(m_prompter->told.size(), 2);
        QCOMPARE(m_prompter->told.at(0).icon, QMessageBox::Critical);
        QVERIFY(m_prompter->told.at(0).text.contains(QStringLiteral("Nothing was uploaded")));
        QVERIFY(m_prompter->told.at(1).text.contains(QStringLiteral("Nothing was exported")));
        QVERIFY(m_prompter->execs.isEmpty());
        QVERIFY(m_prompter->saveCalls.isEmpty());
    }

    void whereUsedAndTheRemoveQuestion()
    {
        auto w = makeWindow();
        w->show();
        tabs(w.get())->setCurrentIndex(3);
        w->addRow();
        w->addRow();
        tabs(w.get())->setCurrentIndex(4);
        w->addRow();
        PMModel *m = w->model();
        QVERIFY(m->setData(m->index(0, 2), QStringLiteral("TI: Timer 1")));
        QVERIFY(m->addListEntry(0, 2) && m->setListEntry(0, 2, 0, QStringLiteral("Timer 1")));

        // Where Used lists both uses; choosing one goes there.
        tabs(w.get())->setCurrentIndex(3);
        w->view(3)->setCurrentIndex(w->proxy(3)->mapFromSource(m->index(0, 0)));
        QStringList shown;
        m_prompter->onExec = ScriptedPrompter::accepting([&shown](QDialog *d) {
            auto *list = d->findChild<QListWidget *>(QStringLiteral("usesList"));
            for (int i = 0; i < list->count(); ++i)
                shown << list->item(i)->text();
            emit list->itemActivated(list->item(1));
        });
        child<QAction>(w.get(), "action_WhereUsed")->trigger();
        QCOMPARE(shown, QStringList({"Events 1 \"Event 1\": input 1", "Events 1 \"Event 1\": Timers to Start"}));
        QCOMPARE(tabs(w.get())->currentIndex(), 4);
        QCOMPARE(w->proxy(4)->mapToSource(w->view(4)->currentIndex()).column(), 10);
        QVERIFY(w->view(3)->actions().contains(child<QAction>(w.get(), "action_WhereUsed")));

        // Remove of a used item asks; Cancel keeps everything.
        tabs(w.get())->setCurrentIndex(3);
        w->view(3)->selectionModel()->select(w->proxy(3)->mapFromSource(m->index(0, 0)),
                                             QItemSelectionModel::ClearAndSelect);
        m_prompter->choices << 1;
        w->deleteRow();
        QCOMPARE(m_prompter->chosen.size(), 1);
        QVERIFY2(m_prompter->chosen.first().text.contains(QStringLiteral("input 1"))
                     && m_prompter->chosen.first().text.endsWith(QStringLiteral("[Remove|Cancel]")),
                 qPrintable(m_prompter->chosen.first().text));
        QCOMPARE(m->rowCount(), 2);
        // Remove goes on and takes the uses along.
        m_prompter->choices << 0;
        w->deleteRow();
        QCOMPARE(m->rowCount(), 1);
        QCOMPARE(m->listEntryCount(0, 2), 0);
        QCOMPARE(m->eventInputText(0, 0), QStringLiteral("-"));
        // An unused item goes without a question.
        w->view(3)->selectionModel()->select(w->proxy(3)->index(0, 0), QItemSelectionModel::ClearAndSelect);
        w->deleteRow();
        QCOMPARE(m->rowCount(), 0);
        QCOMPARE(m_prompter->chosen.size(), 2);
    }

    // Simulations belong to the window: closing it closes them, so the program ends.
    void closingClosesSimulators()
    {
        auto w = makeWindow();
        w->show();
        w->startSimulation();
        w->startSimulation();
        QCOMPARE(w->simulators().size(), 2);
        QPointer<QWidget> first = w->simulators().first();
        QVERIFY(first->isVisible());
        QVERIFY(w->close());
        QTRY_VERIFY(!first);  // closed and deleted
        QTRY_VERIFY(w->simulators().isEmpty());
        // No window is left to keep the program running.
        for (QWidget *top : QApplication::topLevelWidgets())
            QVERIFY2(!top->isVisible(), top->metaObject()->className());
    }

    void saveAsAddsTheExtension()
    {
        auto w = makeWindow();
        const QString typed = path(QStringLiteral("pump"));
        m_prompter->saveAnswers << typed << path(QStringLiteral("pump.v2.kelda.bak"));
        w->fileSaveAs();
        QVERIFY(QFileInfo(typed + QStringLiteral(".kelda")).isFile());
        QVERIFY(!QFileInfo::exists(typed));
        QCOMPARE(w->model()->fileName(), typed + QStringLiteral(".kelda"));
        QCOMPARE(shownTitle(w.get()), QStringLiteral("KELDA - ") + typed + QStringLiteral(".kelda"));
        // A name that has an extension is taken as it is.
        w->fileSaveAs();
        QCOMPARE(w->model()->fileName(), path(QStringLiteral("pump.v2.kelda.bak")));
    }

    // In-cell edits reach only the view that owns the editor; a refused one
    // says why in a box and leaves the cell as it was.
    void cellEditsWarnOnlyWhenRefused()
    {
        QTest::failOnWarning(QRegularExpression(QStringLiteral("does not belong to this view")));
        auto w = makeWindow();
        w->show();
        tabs(w.get())->setCurrentIndex(3);
        w->addRow();
        w->addRow();
        QTableView *view = w->view(3);
        const auto rename = [&](int row, const QString &name) {
            const QModelIndex cell = view->model()->index(row, 0);
            view->setCurrentIndex(cell);
            view->edit(cell);
            auto *line = qobject_cast<QLineEdit *>(view->indexWidget(cell));
            QVERIFY(line);
            line->setText(name);
            QTest::keyClick(line, Qt::Key_Return);
            QTRY_VERIFY(!view->indexWidget(cell));
        };
        rename(0, QStringLiteral("Glow"));
        QCOMPARE(w->model()->itemName(ItemType::Timer, 0), QStringLiteral("Glow"));
        QTest::qWait(0);  // on purpose: a queued warning gets its turn, and none may come
        QVERIFY(m_prompter->told.isEmpty());

        rename(1, QStringLiteral("Glow"));
        QTRY_COMPARE(m_prompter->told.size(), 1);
        QCOMPARE(m_prompter->told.first().icon, QMessageBox::Warning);
        QCOMPARE(m_prompter->told.first().title, QStringLiteral("KELDA"));
        QVERIFY(m_prompter->told.first().text.contains(QStringLiteral("\"Glow\"")));
        QCOMPARE(w->model()->itemName(ItemType::Timer, 1), QStringLiteral("Timer 2"));

        // A drop-down on another view of the same delegate.
        tabs(w.get())->setCurrentIndex(2);
        w->addRow();
        QTableView *can = w->view(2);
        const QModelIndex word = can->model()->index(0, 2);
        can->setCurrentIndex(word);
        can->edit(word);
        auto *combo = qobject_cast<QComboBox *>(can->indexWidget(word));
        QVERIFY(combo);
        combo->setCurrentIndex(combo->findText(QStringLiteral("Byte 3")));
        QTest::keyClick(combo, Qt::Key_Return);
        QTRY_VERIFY(!can->indexWidget(word));
        QCOMPARE(word.data().toString(), QStringLiteral("Byte 3"));
        QCOMPARE(m_prompter->told.size(), 1);

        // An event input, whose change shows in the other cells of its row.
        tabs(w.get())->setCurrentIndex(4);
        w->addRow();
        QTableView *events = w->view(4);
        const QModelIndex input = events->model()->index(0, 2);
        events->setCurrentIndex(input);
        events->edit(input);
        combo = qobject_cast<QComboBox *>(events->indexWidget(input));
        QVERIFY(combo);
        combo->setCurrentIndex(combo->findText(QStringLiteral("KP: Keypad 2")));
        QTest::keyClick(combo, Qt::Key_Return);
        QTRY_COMPARE(w->model()->eventInputText(0, 0), QStringLiteral("KP: Keypad 2"));
        QTRY_VERIFY(!events->indexWidget(events->model()->index(0, 2)));
        QCOMPARE(events->model()->index(0, 3).data().toString(), QStringLiteral("Pressed"));
    }
    // ---- desktop conventions: keys, title marker, status bar, user guide

    void standardKeysAndUniqueMnemonics()
    {
        auto w = makeWindow();
        w->show();
        QVERIFY(QTest::qWaitForWindowActive(w.get()));
        auto keys = [&w](const char *name) { return child<QAction>(w.get(), name)->shortcuts(); };
        QVERIFY(keys("action_Go").contains(QKeySequence(Qt::Key_F5)));
        QVERIFY(keys("action_UserGuide").contains(QKeySequence(Qt::Key_F1)));
        QVERIFY(keys("action_Redo").contains(QKeySequence(QStringLiteral("Ctrl+Y"))));
        QVERIFY(keys("action_Redo").contains(QKeySequence(QKeySequence::Redo)));
        QVERIFY(keys("actionSave_As")
                    .contains(QKeySequence(QKeySequence::SaveAs).isEmpty()
                                  ? QKeySequence(QStringLiteral("Ctrl+Shift+S"))
                                  : QKeySequence(QKeySequence::SaveAs)));
        QVERIFY(keys("actionE_xit")
                    .contains(QKeySequence(QKeySequence::Quit).isEmpty() ? QKeySequence(QStringLiteral("Ctrl+Q"))
                                                                         : QKeySequence(QKeySequence::Quit)));
        // A key on two actions triggers neither.
        QHash<QString, QString> owner;
        QList<QAction *> entries;
        for (QAction *m : w->menuBar()->actions())
            entries << m->menu()->actions();
        for (QAction *a : std::as_const(entries))
            for (const QKeySequence &k : a->shortcuts()) {
                const QString key = k.toString();
                QVERIFY2(!owner.contains(key), qPrintable(key + " on " + owner.value(key) + " and " + a->objectName()));
                owner.insert(key, a->objectName());
            }
        // The keys reach the actions through the shown window.
        const std::pair<const char *, QKeySequence::StandardKey> pressed[] = {{"action_Save", QKeySequence::Save},
                                                                              {"action_Open", QKeySequence::Open},
                                                                              {"action_New", QKeySequence::New}};
        for (const auto &[name, key] : pressed) {
            QSignalSpy spy(child<QAction>(w.get(), name), &QAction::triggered);
            QTest::keySequence(w.get(), QKeySequence(key));
            QVERIFY2(spy.count() == 1, name);
        }
        QCOMPARE(m_prompter->saveCalls.size(), 1);  // Save of a never-saved setup asks for a name
        QCOMPARE(m_prompter->openCalls.size(), 1);

        // Mnemonics: one per entry, none twice in the menu bar or in a menu.
        auto checkUnique = [](const QList<QAction *> &actions, const QString &where) {
            QSet<QChar> seen;
            for (QAction *a : actions) {
                if (a->isSeparator() || !a->isVisible())
                    continue;
                const qsizetype amp = a->text().indexOf(QLatin1Char('&'));
                QVERIFY2(amp >= 0 && amp + 1 < a->text().size(), qPrintable(where + ": " + a->text()));
                const QChar c = a->text().at(amp + 1).toLower();
                QVERIFY2(!seen.contains(c), qPrintable(where + ": " + a->text()));
                seen.insert(c);
            }
        };
        checkUnique(w->menuBar()->actions(), QStringLiteral("menu bar"));
        for (QAction *m : w->menuBar()->actions())
            checkUnique(m->menu()->actions(), m->text());
    }

    void titleShowsUnsavedChanges()
    {
        auto w = makeWindow();
        QCOMPARE(shownTitle(w.get()), QStringLiteral("KELDA - New Setup"));
        QVERIFY(!w->isWindowModified());
        tabs(w.get())->setCurrentIndex(int(Mode::Timers));
        w->addRow();
        QCOMPARE(shownTitle(w.get()), QStringLiteral("KELDA - New Setup*"));
        w->undoStack()->undo();
        QCOMPARE(shownTitle(w.get()), QStringLiteral("KELDA - New Setup"));
        w->undoStack()->redo();
        QCOMPARE(shownTitle(w.get()), QStringLiteral("KELDA - New Setup*"));

        const QString file = path("marker.kelda");
        m_prompter->saveAnswers << file;
        w->fileSave();
        QCOMPARE(shownTitle(w.get()), QStringLiteral("KELDA - ") + file);
        w->addRow();
        QCOMPARE(shownTitle(w.get()), QStringLiteral("KELDA - ") + file + QLatin1Char('*'));
        // New asks first; the fresh setup has nothing to save.
        m_prompter->answers << QMessageBox::Discard;
        w->fileNew();
        QCOMPARE(shownTitle(w.get()), QStringLiteral("KELDA - New setup"));
        // Opening a saved setup starts unchanged.
        m_prompter->openAnswers << file;
        w->fileOpen();
        QCOMPARE(shownTitle(w.get()), QStringLiteral("KELDA - ") + file);
    }

    void statusBarSaysWhatWasDone()
    {
        auto w = makeWindow();
        QStatusBar *bar = w->statusBar();
        auto *open = child<QToolButton>(w.get(), "statusOpenButton");
        QVERIFY(bar->currentMessage().isEmpty());

        const QString file = path("status.kelda");
        m_prompter->saveAnswers << file;
        w->fileSave();
        QCOMPARE(bar->currentMessage(), QStringLiteral("Saved ") + QDir::toNativeSeparators(file));
        QVERIFY(open->isHidden());

        const QString cal = path("status.cal");
        m_prompter->saveAnswers << cal;
        w->fileExport();
        QCOMPARE(bar->currentMessage(), QStringLiteral("Exported to ") + QDir::toNativeSeparators(cal));

        // The report's Open button hands the file to the desktop's default application.
        const QString report = path("status.html");
        m_prompter->saveAnswers << report;
        w->setupReport();
        QCOMPARE(bar->currentMessage(), QStringLiteral("Report written to ") + QDir::toNativeSeparators(report));
        QVERIFY(QFileInfo(report).size() > 0);
        QVERIFY(!open->isHidden());
        UrlCatcher catcher;
        QDesktopServices::setUrlHandler(QStringLiteral("file"), &catcher, "open");
        QTest::mouseClick(open, Qt::LeftButton);
        QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
        QCOMPARE(catcher.urls, QList<QUrl>{QUrl::fromLocalFile(report)});

        // The button goes with its message.
        bar->showMessage(QStringLiteral("something else"));
        QVERIFY(open->isHidden());
        w->fileSave();
        QCOMPARE(bar->currentMessage(), QStringLiteral("Saved ") + QDir::toNativeSeparators(file));
        QVERIFY(open->isHidden());
    }

    void userGuideFollowsLinks()
    {
        auto w = makeWindow();
        w->show();
        QVERIFY(QTest::qWaitForWindowActive(w.get()));
        QTest::keyClick(w.get(), Qt::Key_F1);
        auto *guide = w->findChild<UserGuide *>();
        QVERIFY(guide);
        QTRY_VERIFY(guide->isVisible());
        GuideBrowser *browser = guide->browser();
        QCOMPARE(browser->source(), UserGuide::homePage());
        QVERIFY(browser->toPlainText().contains(QStringLiteral("KELDA")));

        // A click on a link shows that page.
        QVERIFY(QTest::qWaitForWindowExposed(guide));
        QVERIFY(clickLink(browser, QStringLiteral("docs/editing.md")));
        QTRY_COMPARE(browser->source().path(), QStringLiteral("/guide/docs/editing.md"));
        QVERIFY(browser->toPlainText().contains(QStringLiteral("Undo")));
        // A link to a heading of another page scrolls to it.
        browser->setSource(QUrl(QStringLiteral("qrc:/guide/docs/compare.md")));
        const int top = browser->verticalScrollBar()->value();
        browser->setSource(browser->source().resolved(QUrl(QStringLiteral("cli.md#diff"))));
        QCOMPARE(browser->source().path(), QStringLiteral("/guide/docs/cli.md"));
        QVERIFY(browser->hasAnchor(QStringLiteral("diff")));
        QVERIFY(browser->verticalScrollBar()->value() > top);
        browser->backward();
        QCOMPARE(browser->source().path(), QStringLiteral("/guide/docs/compare.md"));

        // The simulator's tick and priority rules are in the guide.
        browser->setSource(QUrl(QStringLiteral("qrc:/guide/docs/simulator.md")));
        QVERIFY(browser->hasAnchor(QStringLiteral("ticks")));
        QVERIFY(browser->hasAnchor(QStringLiteral("priorities")));
    }

    void userGuideLinksAllResolve()
    {
        // Every page reachable from the README, and every relative link on it,
        // to a page or to a heading of one.
        GuideBrowser browser;
        QStringList broken;
        QList<QUrl> pages{UserGuide::homePage()};
        QSet<QString> visited;
        while (!pages.isEmpty()) {
            const QUrl page = pages.takeFirst();
            if (visited.contains(page.path()))
                continue;
            visited.insert(page.path());
            browser.setSource(page);
            for (const QString &href : linksOn(browser.document())) {
                const QUrl target = page.resolved(QUrl(href));
                if (target.scheme() != QLatin1String("qrc"))
                    continue;  // the web: the desktop's browser
                if (!QFile::exists(QLatin1Char(':') + target.path())) {
                    broken << page.path() + QStringLiteral(": ") + href;
                    continue;
                }
                if (target.path().endsWith(QLatin1String(".md")))
                    pages << target.adjusted(QUrl::RemoveFragment);
                if (target.hasFragment()) {
                    GuideBrowser other;
                    other.setSource(target);
                    if (!other.hasAnchor(target.fragment()))
                        broken << page.path() + QStringLiteral(": ") + href;
                }
            }
        }
        QVERIFY2(broken.isEmpty(), qPrintable(broken.join(QLatin1Char('\n'))));
        QVERIFY(visited.contains(QStringLiteral("/guide/docs/cli.md")));
        QVERIFY(visited.contains(QStringLiteral("/guide/docs/simulator.md")));
        // Every page of docs/ is built in, and reached from the README.
        const QDir docs(QStringLiteral(QT_TESTCASE_SOURCEDIR "/../../docs"));
        const QStringList pagesInDocs = docs.entryList({QStringLiteral("*.md")}, QDir::Files);
        QVERIFY(pagesInDocs.size() >= 13);
        for (const QString &name : pagesInDocs)
            QVERIFY2(visited.contains(QStringLiteral("/guide/docs/") + name), qPrintable(name));
        // GitHub's anchors: lower case, punctuation gone, blanks as hyphens.
        QCOMPARE(GuideBrowser::headingAnchor(QStringLiteral("Files written, files read")),
                 QStringLiteral("files-written-files-read"));
        QCOMPARE(GuideBrowser::headingAnchor(QStringLiteral("--json")), QStringLiteral("--json"));
    }
};

// Settings must land in a throw-away folder, never in the user's own.
KELDA_TEST_MAIN_IN_TEMPORARY_CONFIG(TestKelda)

#include "tst_kelda.moc"
