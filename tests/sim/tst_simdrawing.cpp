// The simulator window's cheaper drawing shows what the plain drawing shows:
// the event log's rows against the plain styled delegate, pixel for pixel;
// the timeline's partial paints against the whole picture; the log and the
// timeline catch up with the run when shown.
#include <QApplication>
#include <QListView>
#include <QListWidget>
#include <QPainter>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QStringListModel>
#include <QStyledItemDelegate>
#include <QTableWidget>
#include <QTabWidget>
#include <QTest>

#include "nametext.h"
#include "pmmodel.h"
#include "setupbuilder.h"
#include "simeventlog.h"
#include "simcelldelegate.h"
#include "simlogdelegate.h"
#include "simplot.h"
#include "simtimeline.h"
#include "simtrace.h"
#include "simulator.h"
#include "tst_sim.h"

using namespace kelda;
using namespace kelda::test;

namespace {

// Long lines as a busy tick makes them, short ones, and names beyond Latin.
QStringList sampleLines()
{
    QString busy = QStringLiteral("tick 80 (0.80 s): ");
    for (int k = 1; k <= 120; ++k)
        busy += QStringLiteral("key \"Keypad %1 P\" %2; ").arg(k).arg(k % 2 ? "on" : "off");
    QString avatars = QStringLiteral("tick 81 (0.81 s): ");
    for (int k = 0; k < 60; ++k)
        avatars += QStringLiteral("switch \"\u0938\u094D\u0935\u093F\u091A "
                                  "\u0394\u03B9\u03B1\u03BA\u03CC\u03C0\u03C4\u03B7\u03C2 %1\" on; ")
                       .arg(k);
    QString wavy = QStringLiteral("tick 82 (0.82 s): ");
    for (int k = 0; k < 300; ++k)
        wavy += QStringLiteral("AVAV\u200Bi.");
    return {busy, QStringLiteral("tick 6 (0.06 s): timer \"Timer 4\" stopped"), avatars, wavy, busy.left(400)};
}

QImage viewportPicture(QListView *view)
{
    return view->viewport()->grab().toImage().convertToFormat(QImage::Format_RGB32);
}

// 40 states, the first set by key 1 and cleared by key 2.
void buildTallSetup(PMModel &model)
{
    SetupBuilder b(model);
    for (int s = 0; s < 40; ++s)
        QVERIFY(b.set(Mode::States, b.state(), StateCol::Name, QStringLiteral("State number %1").arg(s + 1)));
    const int on = b.event(), off = b.event();
    QVERIFY(b.input(on, 0, ItemType::KeypadKey, 0, "Pressed"));
    QVERIFY(b.entry(Mode::Events, on, 0, ItemType::State, 0));
    QVERIFY(b.input(off, 0, ItemType::KeypadKey, 1, "Pressed"));
    QVERIFY(b.entry(Mode::Events, off, 1, ItemType::State, 0));
}

Simulator *startPaused(PMModel &model)
{
    auto *sim = new Simulator();
    if (!model.writeRawImage(sim->imageFileName()))
        qWarning("compile failed: %s", qPrintable(model.imageError()));
    sim->start(model.session());
    sim->resize(1000, 800);
    sim->show();
    sim->findChild<QPushButton *>(QStringLiteral("simPauseButton"))->click();
    return sim;
}

void holdKey(Simulator *sim, int row, bool held)
{
    auto *keys = sim->findChild<QTableWidget *>(QStringLiteral("keyPadTableWidget"));
    keys->item(row, 1)->setCheckState(held ? Qt::Checked : Qt::Unchecked);
}

}  // namespace

class TestSimDrawing : public QObject
{
    Q_OBJECT

private slots:
    void visibleStartCoversTheWidth();
    void logRowsAsWideAsTheWidestLine();
    void logRowsLookAsPlainRows();
    void drawnCellsLookAsPlainCells();
    void windowCellsLookAsPlainItems();
    void drawnCellsFromThemselvesLookAsPlainItems();
    void timelinePartsLookAsTheWhole();
    void plotNamesMeasuredAsShown();
    void logCatchesUpWhenShown();
    void logTakesLinesLessOftenWhenCostly();
    void timelineCatchesUpWhenShown();
    void timelinePicksFollowTheList();
    void timelineScrollRepaintedWhenItsLookChanges();
};

void TestSimDrawing::visibleStartCoversTheWidth()
{
    const QFontMetrics fm(QApplication::font());
    for (const QString &line : sampleLines()) {
        for (int width : {0, 1, 37, 300, 1200}) {
            const QString start = SimLogLineDelegate::visibleStart(line, fm, width);
            QVERIFY(line.startsWith(start));
            // As wide as asked, unless it is the whole line.
            QVERIFY2(start == line || fm.horizontalAdvance(start) >= width, qPrintable(line.left(40)));
            if (width == 300)
                QVERIFY2(start.size() < line.size() || line.size() < 80, qPrintable(line.left(40)));
        }
    }
}

void TestSimDrawing::logRowsAsWideAsTheWidestLine()
{
    // The view's options, as it gives them to its delegate.
    struct OptionView : QListView {
        QStyleOptionViewItem option()
        {
            QStyleOptionViewItem o;
            initViewItemOption(&o);
            return o;
        }
    };
    QStringListModel model;
    OptionView view;
    view.setUniformItemSizes(true);
    view.setModel(&model);
    auto *cheap = new SimLogLineDelegate(&view);
    view.setItemDelegate(cheap);
    view.resize(420, 200);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    QStyledItemDelegate plain;
    const QString shortLine = QStringLiteral("tick 6 (0.06 s): timer \"Timer 4\" stopped");
    // Pairs that kerning narrows, and a line of them that is only a little
    // longer than the one before.
    const QString kerned = QStringLiteral("tick 7 (0.07 s): ") + QStringLiteral("AVAWTo Ty Wa LT \"Yo\" ").repeated(40);
    QStringList lines{shortLine};
    lines << sampleLines() << shortLine << kerned << kerned + QStringLiteral("AV") << shortLine;
    int widest = 0, range = -1;
    for (const QString &line : lines) {
        const int row = model.rowCount();
        model.insertRows(row, 1);
        model.setData(model.index(row), line);
        view.doItemsLayout();
        const QModelIndex last = model.index(row);
        const int width = cheap->sizeHint(view.option(), last).width();
        const int exact = plain.sizeHint(view.option(), last).width();
        // Never narrower than the line (a narrower row would cut it short
        // with an ellipsis), and as wide as the widest line measured.
        QVERIFY2(width >= exact, qPrintable(line.left(40)));
        QVERIFY(width >= widest);
        widest = std::max(widest, exact);
        QCOMPARE(width, widest);
        // A short line does not take the scroll bar away.
        QVERIFY(view.horizontalScrollBar()->maximum() >= range);
        range = view.horizontalScrollBar()->maximum();
    }
    QVERIFY(range > 0);
    // Another run starts narrow again.
    model.setStringList({shortLine});
    cheap->forget();
    view.doItemsLayout();
    QCOMPARE(cheap->sizeHint(view.option(), model.index(0)), plain.sizeHint(view.option(), model.index(0)));
    QCOMPARE(view.horizontalScrollBar()->maximum(), 0);
}

void TestSimDrawing::logRowsLookAsPlainRows()
{
    QStringListModel model(sampleLines());
    QListView view;
    view.setUniformItemSizes(true);
    view.setModel(&model);
    view.resize(420, 200);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    view.selectionModel()->select(model.index(1), QItemSelectionModel::Select);
    view.setCurrentIndex(model.index(3));

    auto *cheap = new SimLogLineDelegate(&view);
    for (int scroll : {0, 333}) {
        view.horizontalScrollBar()->setValue(scroll);
        QCOMPARE(view.horizontalScrollBar()->value(), scroll);
        auto *plain = new QStyledItemDelegate(&view);
        view.setItemDelegate(plain);
        const QImage expected = viewportPicture(&view);
        view.setItemDelegate(cheap);
        const int drawn = cheap->drawnRows();
        QCOMPARE(viewportPicture(&view), expected);
        QVERIFY(cheap->drawnRows() > drawn);
        // Drawn again from the pictures kept, the same.
        const int copied = cheap->copiedRows();
        QCOMPARE(viewportPicture(&view), expected);
        QVERIFY(cheap->copiedRows() > copied);
        delete plain;
    }
    // Other lines in the same rows: drawn afresh once told.
    model.setStringList(QStringList(sampleLines().mid(1)) << QStringLiteral("last"));
    cheap->forget();
    QStyledItemDelegate plain;
    view.setItemDelegate(&plain);
    const QImage expected = viewportPicture(&view);
    view.setItemDelegate(cheap);
    QCOMPARE(viewportPicture(&view), expected);
}

void TestSimDrawing::drawnCellsLookAsPlainCells()
{
    // The cells as the window draws them: greyed names, texts on green or
    // white, blanks, one cell not drawn yet, a selected cell, a check box.
    QTableWidget table(12, 3);
    table.resize(360, 260);
    const QBrush green(Qt::green), white(Qt::white);
    for (int r = 0; r < 12; ++r) {
        auto *name = new QTableWidgetItem(QStringLiteral("State %1 with a long name").arg(r + 1));
        name->setFlags(Qt::NoItemFlags);
        table.setItem(r, 0, name);
        auto *value = new QTableWidgetItem(r % 3 == 0 ? QStringLiteral("Set") : QStringLiteral("Clear"));
        value->setFlags(r == 11 ? Qt::NoItemFlags : Qt::ItemIsSelectable | Qt::ItemIsEnabled);
        if (r < 11)
            value->setBackground(r % 3 == 0 ? green : white);
        table.setItem(r, 1, value);
        auto *blank = new QTableWidgetItem(r % 2 ? QStringLiteral(" ") : QStringLiteral("0.035"));
        if (r == 4)
            blank->setCheckState(Qt::Checked);
        table.setItem(r, 2, blank);
    }
    table.show();
    QVERIFY(QTest::qWaitForWindowExposed(&table));
    table.setCurrentCell(2, 1);
    auto grabbed = [&table] { return table.viewport()->grab().toImage().convertToFormat(QImage::Format_RGB32); };
    const QImage expected = grabbed();
    auto *cheap = new SimCellDelegate(&table);
    table.setItemDelegate(cheap);
    QCOMPARE(grabbed(), expected);
    QVERIFY(cheap->drawnCells() > 0);
    // The same looks again come from the pictures kept: fewer cells drawn
    // than there are (three texts on green, on white and blank repeat).
    const int drawn = cheap->drawnCells();
    QCOMPARE(grabbed(), expected);
    QCOMPARE(cheap->drawnCells(), drawn);
    QVERIFY(cheap->copiedCells() > 12);
    // A changed cell is drawn with its new look.
    table.item(0, 1)->setText(QStringLiteral("Clear"));
    table.item(0, 1)->setBackground(white);
    QStyledItemDelegate plain;
    table.setItemDelegate(&plain);
    const QImage changed = grabbed();
    QVERIFY(changed != expected);
    table.setItemDelegate(cheap);
    QCOMPARE(grabbed(), changed);
}

void TestSimDrawing::windowCellsLookAsPlainItems()
{
    // The window's cells hand out the texts and colours it draws into them
    // without setting them; items with those set plainly look the same:
    // before the first tick (greyed, empty), after it, and after a change.
    PMModel model;
    buildTallSetup(model);
    Simulator *sim = startPaused(model);
    const QStringList names = {"stateTableWidget", "LEDTableWidget", "LX1TableWidget"};
    auto looks = [sim, &names] {
        QList<QImage> pictures;
        for (const QString &name : names) {
            auto *t = sim->findChild<QTableWidget *>(name);
            pictures << t->viewport()->grab().toImage().convertToFormat(QImage::Format_RGB32);
        }
        return pictures;
    };
    auto plainLooks = [sim, &names, &looks] {
        // The same tables with each drawn cell swapped for a plain copy of
        // what it hands out; swapped back after.
        std::vector<std::pair<QTableWidget *, QTableWidgetItem *>> kept;
        for (const QString &name : names) {
            auto *t = sim->findChild<QTableWidget *>(name);
            for (int r = 0; r < t->rowCount(); ++r)
                for (int c = t->columnCount() == 8 ? 0 : 1; c < t->columnCount(); ++c) {
                    QTableWidgetItem *drawn = t->takeItem(r, c);
                    auto *plain = new QTableWidgetItem();
                    plain->setFlags(drawn->flags());
                    for (int role : {Qt::DisplayRole, Qt::BackgroundRole, Qt::ToolTipRole})
                        if (const QVariant v = drawn->data(role); v.isValid())
                            plain->setData(role, v);
                    t->setItem(r, c, plain);
                    kept.push_back({t, drawn});
                }
        }
        const QList<QImage> pictures = looks();
        size_t i = 0;
        for (const QString &name : names) {
            auto *t = sim->findChild<QTableWidget *>(name);
            for (int r = 0; r < t->rowCount(); ++r)
                for (int c = t->columnCount() == 8 ? 0 : 1; c < t->columnCount(); ++c)
                    t->setItem(r, c, kept[i++].second);
        }
        return pictures;
    };
    QCOMPARE(looks(), plainLooks());
    sim->Update();
    const QList<QImage> first = looks();
    QCOMPARE(first, plainLooks());
    holdKey(sim, 0, true);
    sim->Update();
    auto *states = sim->findChild<QTableWidget *>(QStringLiteral("stateTableWidget"));
    QCOMPARE(states->item(0, 1)->text(), QStringLiteral("Set"));
    QCOMPARE(states->item(0, 1)->background().color(), QColor(Qt::green));
    QVERIFY(states->item(0, 1)->toolTip().startsWith(QStringLiteral("Set by ")));
    const QList<QImage> second = looks();
    QVERIFY(second.first() != first.first());
    QCOMPARE(second, plainLooks());
    // Drawn again after the swaps, the same.
    sim->Update();
    QCOMPARE(looks(), second);
    // A text set from outside shows until the window draws the cell again.
    states->item(0, 1)->setText(QStringLiteral("mine"));
    QCOMPARE(states->item(0, 1)->text(), QStringLiteral("mine"));
    holdKey(sim, 0, false);
    holdKey(sim, 1, true);
    sim->Update();
    QCOMPARE(states->item(0, 1)->text(), QStringLiteral("Clear"));
    QCOMPARE(states->item(0, 1)->background().color(), QColor(Qt::white));
    delete sim;
}

void TestSimDrawing::drawnCellsFromThemselvesLookAsPlainItems()
{
    // Cells the window draws hand their text and fill to the delegate
    // without the model; plain items with the same roles (and the same
    // flags, greyed when the table is) look the same, pixel for pixel.
    const QBrush green(Qt::green), white(Qt::white);
    const QStringList texts = {"Set", "Clear", " ", "0.035", "ON", "Active"};
    QTableWidget drawn(10, 3), plain(10, 3);
    for (QTableWidget *t : {&drawn, &plain}) {
        t->resize(300, 240);
        t->show();
        QVERIFY(QTest::qWaitForWindowExposed(t));
    }
    auto *cells = new SimCellDelegate(&drawn);
    drawn.setItemDelegate(cells);
    auto fillBoth = [&](Qt::ItemFlags plainFlags) {
        for (int r = 0; r < 10; ++r)
            for (int c = 0; c < 3; ++c) {
                const QString &text = texts[(r + c) % texts.size()];
                const QBrush *fill = c == 0 ? nullptr : (r + c) % 2 ? &green : &white;
                auto *cell = new SimDrawnCell(nullptr, nullptr, r);
                cell->setFlags(Qt::ItemIsSelectable | Qt::ItemIsEnabled);
                cell->show(text, fill);
                drawn.setItem(r, c, cell);
                auto *item = new QTableWidgetItem(text);
                item->setFlags(plainFlags);
                if (fill)
                    item->setBackground(*fill);
                plain.setItem(r, c, item);
            }
        // A current, selected cell; none while greyed (a cell not enabled cannot be one).
        for (QTableWidget *t : {&drawn, &plain})
            t->setCurrentCell(plainFlags ? 3 : -1, plainFlags ? 1 : -1);
    };
    auto grabbed = [](QTableWidget &t) { return t.viewport()->grab().toImage().convertToFormat(QImage::Format_RGB32); };
    fillBoth(Qt::ItemIsSelectable | Qt::ItemIsEnabled);
    QCOMPARE(grabbed(drawn), grabbed(plain));
    // Again: every cell now from its picture, found from the cell alone.
    const int drawnBefore = cells->drawnCells(), copiedBefore = cells->copiedCells();
    const int plainBefore = cells->copiedPlainCells();
    QCOMPARE(grabbed(drawn), grabbed(plain));
    QCOMPARE(cells->drawnCells(), drawnBefore);
    QVERIFY(cells->copiedCells() > copiedBefore + 12);
    QCOMPARE(cells->copiedPlainCells() - plainBefore, cells->copiedCells() - copiedBefore);
    // Greyed, as items that are not enabled.
    cells->setGreyed(true);
    fillBoth(Qt::NoItemFlags);
    QCOMPARE(grabbed(drawn), grabbed(plain));
    cells->setGreyed(false);
    fillBoth(Qt::ItemIsSelectable | Qt::ItemIsEnabled);
    // A role set from outside shows, though a kept picture has the cell's text and fill.
    for (QTableWidget *t : {&drawn, &plain}) {
        t->item(0, 1)->setForeground(QBrush(Qt::red));
        t->item(1, 1)->setTextAlignment(Qt::AlignCenter);
        t->item(2, 2)->setText(QStringLiteral("mine"));
    }
    QCOMPARE(grabbed(drawn), grabbed(plain));
}

void TestSimDrawing::timelinePartsLookAsTheWhole()
{
    PMModel model;
    buildTallSetup(model);
    Simulator *sim = startPaused(model);
    sim->findChild<QTabWidget *>(QStringLiteral("simViews"))->setCurrentIndex(2);
    for (int t = 0; t < 60; ++t) {
        holdKey(sim, t % 20 < 10 ? 0 : 1, true);
        holdKey(sim, t % 20 < 10 ? 1 : 0, false);
        sim->Update();
    }
    SimTimeline *timeline = sim->timeline();
    QTRY_VERIFY(timeline->canvas()->minimumHeight() > 40 * 22);
    const SimPlotView view = timeline->view();
    QCOMPARE(int(view.rows.size()), 40);
    const QSize size = simPlotSize(sim->trace(), view);
    QImage whole(size, QImage::Format_RGB32);
    {
        QPainter p(&whole);
        simPlotDraw(p, sim->trace(), view);
    }
    // Strips that start and end inside rows, the first and last rows, the
    // axis alone, the axis with the last rows, one pixel row.
    const int width = size.width();
    const QList<QRect> areas = {QRect(0, 0, width, 30),
                                QRect(0, 41, width, 57),
                                QRect(0, 300, width, 1),
                                QRect(0, size.height() - 34, width, 34),
                                QRect(0, size.height() - 80, width, 80),
                                QRect(40, 120, 300, 200)};
    for (const QRect &area : areas) {
        QImage part(size, QImage::Format_RGB32);
        part.fill(Qt::magenta);
        {
            QPainter p(&part);
            timeline->drawPart(p, area);
        }
        QCOMPARE(part.copy(area), whole.copy(area));
        // Nothing drawn outside the area.
        QCOMPARE(part.pixelColor(area.right() < width - 1 ? area.right() + 1 : 0,
                                 area.bottom() < size.height() - 1 ? area.bottom() + 1 : 0),
                 area.right() < width - 1 || area.bottom() < size.height() - 1 ? QColor(Qt::magenta)
                                                                               : part.pixelColor(0, 0));
    }
    delete sim;
}

void TestSimDrawing::plotNamesMeasuredAsShown()
{
    // The name column is as wide as the widest name as drawn (control
    // characters made visible), measured once and asked for again: the same
    // text as a name and as the text shown without rows measures apart.
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(12);
    const QFontMetrics fm(font);
    SimNames names;
    names.states = QStringList{QStringLiteral("W\t\t\t\t"), QStringLiteral("Lamp"), QStringLiteral("iiiiiiii")};
    const SimTrace trace(names);
    int first = 0;
    while (trace.signalList()[size_t(first)].kind != SimSignal::Kind::State)
        ++first;
    for (int round = 0; round < 2; ++round) {
        SimPlotView v;
        v.emptyText = QString();
        int widest = 0;
        for (int s = 0; s < names.states.size(); ++s) {
            QCOMPARE(trace.signalList()[size_t(first + s)].name, names.states[s]);
            v.rows = {first + s};
            const int width = fm.horizontalAdvance(visibleName(names.states[s]));
            widest = std::max(widest, width);
            QCOMPARE(simPlotChromeWidth(trace, v), 40 + width);
        }
        v.rows = {first, first + 1, first + 2};
        QCOMPARE(simPlotChromeWidth(trace, v), 40 + widest);
        v.rows.clear();
        v.emptyText = names.states[0];
        QCOMPARE(simPlotChromeWidth(trace, v), 40 + fm.horizontalAdvance(names.states[0]));
        QVERIFY(fm.horizontalAdvance(names.states[0]) != fm.horizontalAdvance(visibleName(names.states[0])));
    }
}

void TestSimDrawing::logCatchesUpWhenShown()
{
    PMModel model;
    buildTallSetup(model);
    Simulator *sim = startPaused(model);
    auto *views = sim->findChild<QTabWidget *>(QStringLiteral("simViews"));
    auto *list = sim->findChild<QListView *>(QStringLiteral("simEventLog"));
    // Hidden, every line is in the model at once.
    for (int t = 0; t < 6; ++t) {
        holdKey(sim, t % 2, true);
        holdKey(sim, 1 - t % 2, false);
        sim->Update();
    }
    const int hiddenLines = list->model()->rowCount();
    QCOMPARE(hiddenLines, 6);
    views->setCurrentIndex(1);
    QVERIFY(list->isVisible());
    QCOMPARE(list->model()->rowCount(), 6);
    QTRY_COMPARE(list->verticalScrollBar()->value(), list->verticalScrollBar()->maximum());

    // Shown, a burst of ticks: the lines arrive within a repaint period, the
    // newest in view; asked for, they are all there at once.
    for (int t = 0; t < 200; ++t) {
        holdKey(sim, t % 2, true);
        holdKey(sim, 1 - t % 2, false);
        sim->Update();
    }
    QTRY_COMPARE(list->model()->rowCount(), 206);
    QTRY_VERIFY(list->visualRect(list->model()->index(205, 0)).intersects(list->viewport()->rect()));
    holdKey(sim, 0, true);
    holdKey(sim, 1, false);
    sim->Update();
    const QStringList lines = sim->eventLog()->shownLines();
    QCOMPARE(lines.size(), 207);
    QVERIFY2(lines.last().startsWith(QStringLiteral("tick 207 (2.07 s): ")), qPrintable(lines.last()));

    // Scrolled back by the user, the view stays where it is.
    list->verticalScrollBar()->setValue(0);
    for (int t = 0; t < 20; ++t) {
        holdKey(sim, t % 2, true);
        holdKey(sim, 1 - t % 2, false);
        sim->Update();
    }
    // The first of them holds what is held already: no line.
    QTRY_COMPARE(list->model()->rowCount(), 226);
    QCOMPARE(list->verticalScrollBar()->value(), 0);
    delete sim;
}

void TestSimDrawing::logTakesLinesLessOftenWhenCostly()
{
    // 25 times a second while taking lines in is cheap; a relayout of a long
    // log spaces them out, to at most a second apart.
    QCOMPARE(SimEventLog::syncPeriodMs(0), 40);
    QCOMPARE(SimEventLog::syncPeriodMs(1'000'000), 40);
    QCOMPARE(SimEventLog::syncPeriodMs(2'000'000), 60);
    QCOMPARE(SimEventLog::syncPeriodMs(10'000'000), 300);
    QCOMPARE(SimEventLog::syncPeriodMs(500'000'000), 1000);

    // Whatever the spacing, the shown log gets every line, the newest in view.
    PMModel model;
    buildTallSetup(model);
    Simulator *sim = startPaused(model);
    sim->findChild<QTabWidget *>(QStringLiteral("simViews"))->setCurrentIndex(1);
    auto *list = sim->findChild<QListView *>(QStringLiteral("simEventLog"));
    for (int t = 0; t < 3000; ++t) {
        holdKey(sim, t % 2, true);
        holdKey(sim, 1 - t % 2, false);
        sim->Update();
    }
    QTRY_COMPARE(list->model()->rowCount(), 3000);
    QTRY_VERIFY(list->visualRect(list->model()->index(2999, 0)).intersects(list->viewport()->rect()));
    QCOMPARE(list->verticalScrollBar()->value(), list->verticalScrollBar()->maximum());
    delete sim;
}

void TestSimDrawing::timelineCatchesUpWhenShown()
{
    PMModel model;
    buildTallSetup(model);
    Simulator *sim = startPaused(model);
    auto *views = sim->findChild<QTabWidget *>(QStringLiteral("simViews"));
    SimTimeline *timeline = sim->timeline();
    timeline->setSpan(10);
    views->setCurrentIndex(0);
    for (int t = 0; t < 1500; ++t)
        sim->Update();
    views->setCurrentIndex(2);
    // Shown, it draws where the run is: the last 10 s of 15 s.
    QTRY_COMPARE(timeline->scrollBar()->maximum(), 500);
    QCOMPARE(timeline->scrollBar()->value(), 500);
    QCOMPARE(timeline->view().from, 500);
    QCOMPARE(timeline->canvas()->minimumHeight(), simPlotSize(sim->trace(), timeline->view()).height());
    // Fewer picks: the name column and height follow.
    timeline->setPicked({timeline->view().rows.front()});
    QCOMPARE(timeline->canvas()->minimumHeight(), simPlotSize(sim->trace(), timeline->view()).height());
    delete sim;
}

void TestSimDrawing::timelinePicksFollowTheList()
{
    // The picks are kept between redraws; every way the list can change
    // (a click, its own signals blocked, removed or sorted rows, a new run)
    // shows in picked() and in what is drawn.
    PMModel model;
    buildTallSetup(model);
    Simulator *sim = startPaused(model);
    sim->findChild<QTabWidget *>(QStringLiteral("simViews"))->setCurrentIndex(2);
    SimTimeline *timeline = sim->timeline();
    QListWidget *series = timeline->seriesList();
    auto fromList = [series] {
        std::vector<int> rows;
        for (int i = 0; i < series->count(); ++i)
            if (series->item(i)->checkState() == Qt::Checked)
                rows.push_back(i);
        return rows;
    };
    QCOMPARE(int(timeline->picked().size()), 40);
    timeline->setPicked({1, 3});
    QCOMPARE(timeline->picked(), (std::vector<int>{1, 3}));
    QCOMPARE(timeline->view().rows, (std::vector<int>{1, 3}));
    series->item(5)->setCheckState(Qt::Checked);
    QCOMPARE(timeline->picked(), (std::vector<int>{1, 3, 5}));
    {
        const QSignalBlocker quiet(series);
        series->item(1)->setCheckState(Qt::Unchecked);
    }
    QCOMPARE(timeline->picked(), (std::vector<int>{3, 5}));
    QCOMPARE(timeline->view().rows, (std::vector<int>{3, 5}));
    // A new run keeps the picks by name.
    sim->findChild<QPushButton *>(QStringLiteral("simResetButton"))->click();
    QCOMPARE(timeline->picked(), fromList());
    QCOMPARE(timeline->picked(), (std::vector<int>{3, 5}));
    delete series->takeItem(0);
    QCOMPARE(timeline->picked(), fromList());
    series->sortItems(Qt::DescendingOrder);
    QCOMPARE(timeline->picked(), fromList());
    QCOMPARE(int(timeline->picked().size()), 2);
    delete sim;
}

QObject *makeDrawingTests()
{
    return new TestSimDrawing;
}

// The timeline's scroll bar repaints only when its handle or ends change,
// and then looks as a plain scroll bar with the same range and value.
void TestSimDrawing::timelineScrollRepaintedWhenItsLookChanges()
{
    SimTimeline timeline;
    timeline.resize(800, 300);
    timeline.show();
    QScrollBar *bar = timeline.scrollBar();
    struct PaintCounter : QObject {
        int paints = 0;
        bool eventFilter(QObject *, QEvent *e) override
        {
            paints += e->type() == QEvent::Paint;
            return false;
        }
    } counter;
    bar->installEventFilter(&counter);
    auto place = [&](int maximum, int value) {
        bar->setRange(0, maximum);
        bar->setPageStep(1000);
        bar->setValue(value);
        QCoreApplication::processEvents();
    };
    place(360000, 360000);  // an hour: the handle is as short as it gets
    counter.paints = 0;
    for (int room = 360001; room < 360050; ++room)
        place(room, room);
    QCOMPARE(counter.paints, 0);
    place(100, 100);  // a short run: a long handle
    QVERIFY(counter.paints > 0);
    counter.paints = 0;
    place(100, 0);  // the handle at the other end
    QVERIFY(counter.paints > 0);

    QScrollBar plain(Qt::Horizontal);
    plain.resize(bar->size());
    plain.setRange(bar->minimum(), bar->maximum());
    plain.setPageStep(bar->pageStep());
    plain.setValue(bar->value());
    QCOMPARE(bar->grab().toImage().convertToFormat(QImage::Format_ARGB32),
             plain.grab().toImage().convertToFormat(QImage::Format_ARGB32));
}

#include "tst_simdrawing.moc"
