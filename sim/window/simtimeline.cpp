#include "simtimeline.h"

#include <QAbstractItemModel>
#include <QComboBox>
#include <QHBoxLayout>
#include <QListWidget>
#include <QPaintEvent>
#include <QPainter>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QStyle>
#include <QStyleOptionSlider>
#include <QSplitter>
#include <QTimer>
#include <QVBoxLayout>

#include "nametext.h"
#include "simtrace.h"

using namespace kelda;

namespace {

constexpr int kRedrawMs = 50;  // at most 20 pictures a second, whatever the speed
// While it follows the run, the scroll bar is placed at most 4 times a second:
// early in a run its handle shrinks by a pixel at every picture.
constexpr int kScrollMs = 250;
constexpr int kMinPlotWidth = 120;
// Where the renderer puts its rows: below a margin, one height each (the
// tests hold this against what it draws).
constexpr int kPlotTop = 10, kPlotRowHeight = 22;

// The timeline's scroll bar spans the whole run, so its range grows at every
// redraw while the run goes on; a long run's handle seldom moves by a pixel
// for it. Repainted only when what it shows changes: its repaint, and the
// page's behind it, cost more than the timeline's own.
class RunScrollBar : public QScrollBar
{
public:
    using QScrollBar::QScrollBar;

protected:
    // Looked at once the caller is done: setRange reports a change before
    // it bounds the value, and the caller sets the value next.
    void sliderChange(SliderChange change) override
    {
        if (change == SliderOrientationChange) {
            QScrollBar::sliderChange(change);
            return;
        }
        if (m_checkPosted)
            return;
        m_checkPosted = true;
        QMetaObject::invokeMethod(
            this,
            [this] {
                m_checkPosted = false;
                if (looks() != m_painted)
                    QScrollBar::sliderChange(SliderValueChange);
            },
            Qt::QueuedConnection);
    }
    void paintEvent(QPaintEvent *event) override
    {
        m_painted = looks();
        QScrollBar::paintEvent(event);
    }

private:
    // The handle, and whether each end is reached (some styles grey an arrow).
    struct Looks {
        QRect handle;
        bool atMinimum = false, atMaximum = false;
        bool operator==(const Looks &) const = default;
    };
    Looks looks() const
    {
        QStyleOptionSlider opt;
        initStyleOption(&opt);
        return {style()->subControlRect(QStyle::CC_ScrollBar, &opt, QStyle::SC_ScrollBarSlider, this),
                value() == minimum(), value() == maximum()};
    }
    Looks m_painted;
    bool m_checkPosted = false;
};

// Draws its timeline's view with the plot renderer, as wide as it is.
class TimelineCanvas : public QWidget
{
public:
    TimelineCanvas(SimTimeline *timeline, std::function<const SimTrace *()> trace, QWidget *parent)
        : QWidget(parent), m_timeline(timeline), m_trace(std::move(trace))
    {
        setObjectName(QStringLiteral("simTimelineCanvas"));
        setAccessibleName(tr("Timeline"));
    }

protected:
    void paintEvent(QPaintEvent *event) override
    {
        QPainter p(this);
        if (m_trace())
            m_timeline->drawPart(p, event->rect());
    }

private:
    SimTimeline *m_timeline;
    std::function<const SimTrace *()> m_trace;
};

}  // namespace

SimTimeline::SimTimeline(QWidget *parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("simTimeline"));
    m_series = new QListWidget(this);
    m_series->setObjectName(QStringLiteral("simTimelineSeries"));
    m_series->setAccessibleName(tr("Signals on the timeline"));
    m_spanCombo = new QComboBox(this);
    m_spanCombo->setObjectName(QStringLiteral("simTimelineSpan"));
    m_spanCombo->setAccessibleName(tr("Time shown"));
    for (const auto &[text, seconds] :
         {std::pair{"last 10 s", 10}, std::pair{"last 30 s", 30}, std::pair{"last 1 min", 60},
          std::pair{"last 10 min", 600}, std::pair{"whole run", 0}})
        m_spanCombo->addItem(tr(text), seconds);
    m_save = new QPushButton(tr("Save Plot…"), this);
    m_save->setObjectName(QStringLiteral("simSavePlotButton"));
    m_save->setToolTip(tr("Save the timeline as shown, as SVG or PNG"));
    m_scroll = new RunScrollBar(Qt::Horizontal, this);
    m_scroll->setObjectName(QStringLiteral("simTimelineScroll"));
    m_scroll->setAccessibleName(tr("Time"));
    m_area = new QScrollArea(this);
    m_area->setWidgetResizable(true);
    m_area->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_canvas = new TimelineCanvas(
        this, [this] { return m_trace; }, m_area);
    m_area->setWidget(m_canvas);
    layOut();
    connectParts();
}

void SimTimeline::layOut()
{
    auto *right = new QWidget(this);
    auto *bar = new QHBoxLayout();
    bar->addWidget(m_spanCombo);
    bar->addStretch(1);
    bar->addWidget(m_save);
    auto *column = new QVBoxLayout(right);
    column->setContentsMargins(0, 0, 0, 0);
    column->addLayout(bar);
    column->addWidget(m_area, 1);
    column->addWidget(m_scroll);
    auto *split = new QSplitter(Qt::Horizontal, this);
    split->addWidget(m_series);
    split->addWidget(right);
    split->setStretchFactor(1, 1);
    split->setSizes({180, 600});
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(split);
}

void SimTimeline::connectParts()
{
    auto *redrawTimer = new QTimer(this);
    redrawTimer->setSingleShot(true);
    redrawTimer->setInterval(kRedrawMs);
    connect(redrawTimer, &QTimer::timeout, this, &SimTimeline::redraw);
    connect(this, &SimTimeline::destroyed, redrawTimer, &QTimer::stop);
    m_redraw = redrawTimer;
    m_scrollTimer = new QTimer(this);
    m_scrollTimer->setSingleShot(true);
    m_scrollTimer->setInterval(kScrollMs);
    connect(m_scrollTimer, &QTimer::timeout, this, [this] {
        if (m_scrollPending && isVisible()) {
            m_scrollPending = false;
            placeScroll();
            m_scrollTimer->start();
        }
    });

    // Reading every item's tick box was most of a redraw; they are read again
    // only after the list has changed, however it was changed (signals of
    // the list itself may be blocked, the model's are not).
    QAbstractItemModel *series = m_series->model();
    auto forget = [this] { m_pickedValid = false; };
    connect(series, &QAbstractItemModel::modelReset, this, forget);
    connect(series, &QAbstractItemModel::layoutChanged, this, forget);
    connect(series, &QAbstractItemModel::rowsInserted, this, forget);
    connect(series, &QAbstractItemModel::rowsRemoved, this, forget);
    connect(series, &QAbstractItemModel::rowsMoved, this, forget);
    connect(series, &QAbstractItemModel::dataChanged, this, forget);
    connect(m_series, &QListWidget::itemChanged, this, &SimTimeline::redraw);
    connect(m_spanCombo, &QComboBox::currentIndexChanged, this, [this] {
        m_following = true;
        redraw();
    });
    connect(m_save, &QPushButton::clicked, this, &SimTimeline::savePlotRequested);
    connect(m_scroll, &QScrollBar::actionTriggered, this, [this] {
        // Scrolled by the user: follow the run again only at the right end.
        QTimer::singleShot(0, this, [this] {
            m_following = m_scroll->value() >= m_scroll->maximum();
            m_canvas->update();
        });
    });
    connect(m_scroll, &QScrollBar::valueChanged, m_canvas, qOverload<>(&QWidget::update));
}

void SimTimeline::setTrace(const SimTrace *trace)
{
    QStringList kept;
    for (int s : picked())
        kept << m_trace->signalList()[size_t(s)].name + QLatin1Char('\n')
                + QLatin1String(SimTrace::kindWord(m_trace->signalList()[size_t(s)].kind));
    m_trace = trace;
    m_chromeValid = false;
    m_tick = 0;
    m_following = true;
    fillSeries();
    if (!kept.isEmpty()) {
        const QSignalBlocker quiet(m_series);
        for (int i = 0; i < m_series->count(); ++i) {
            const SimSignal &s = m_trace->signalList()[size_t(i)];
            const bool pick = kept.contains(s.name + QLatin1Char('\n') + QLatin1String(SimTrace::kindWord(s.kind)));
            m_series->item(i)->setCheckState(pick ? Qt::Checked : Qt::Unchecked);
        }
    }
    redraw();
}

void SimTimeline::fillSeries()
{
    const QSignalBlocker quiet(m_series);
    m_series->clear();
    if (!m_trace)
        return;
    for (const SimSignal &s : m_trace->signalList()) {
        auto *item = new QListWidgetItem(visibleName(s.name) + QStringLiteral(" (")
                                             + QLatin1String(SimTrace::kindWord(s.kind)) + QLatin1Char(')'),
                                         m_series);
        item->setFlags(Qt::ItemIsUserCheckable | Qt::ItemIsEnabled | Qt::ItemIsSelectable);
        item->setCheckState(s.kind == SimSignal::Kind::State ? Qt::Checked : Qt::Unchecked);
    }
}

std::vector<int> SimTimeline::picked() const
{
    if (m_pickedValid)
        return m_picked;
    m_picked.clear();
    for (int i = 0; i < m_series->count(); ++i)
        if (m_series->item(i)->checkState() == Qt::Checked)
            m_picked.push_back(i);
    m_pickedValid = true;
    return m_picked;
}

void SimTimeline::setPicked(const std::vector<int> &signalRows)
{
    {
        const QSignalBlocker quiet(m_series);
        for (int i = 0; i < m_series->count(); ++i)
            m_series->item(i)->setCheckState(Qt::Unchecked);
        for (int s : signalRows)
            if (s >= 0 && s < m_series->count())
                m_series->item(s)->setCheckState(Qt::Checked);
    }
    redraw();
}

void SimTimeline::setSpan(int seconds)
{
    const int i = m_spanCombo->findData(seconds);
    if (i >= 0)
        m_spanCombo->setCurrentIndex(i);
}

int SimTimeline::span() const
{
    return m_spanCombo->currentData().toInt();
}

void SimTimeline::sync(qint64 tick)
{
    m_tick = tick;
    if (!m_redraw->isActive())
        m_redraw->start();
}

void SimTimeline::placeScroll()
{
    const qint64 spanTicks = qint64(span()) * 1000 / kSimTickMs;
    const qint64 room = span() == 0 ? 0 : std::max<qint64>(0, m_tick - spanTicks);
    const QSignalBlocker quiet(m_scroll);
    m_scroll->setRange(0, int(std::min<qint64>(room, INT_MAX)));
    m_scroll->setPageStep(int(std::min<qint64>(std::max<qint64>(spanTicks, 1), INT_MAX)));
    m_scroll->setSingleStep(std::max(1, int(spanTicks / 10)));
    if (m_following)
        m_scroll->setValue(m_scroll->maximum());
}

const SimTimeline::Chrome &SimTimeline::chrome(const SimPlotView &v) const
{
    // Measuring every name is most of a redraw; the names change only with the picks.
    if (m_chromeValid && m_chrome.rows == v.rows)
        return m_chrome;
    m_chrome.rows = v.rows;
    SimPlotView sized = v;
    sized.plotWidth = kMinPlotWidth;
    const QSize size = simPlotSize(*m_trace, sized);
    m_chrome.width = size.width() - kMinPlotWidth;
    m_chrome.height = size.height();
    // The widest of the names and the text shown when there are none.
    m_chrome.widest = v.emptyText;
    SimPlotView one = sized;
    one.rows.clear();
    for (int s : v.rows) {
        one.emptyText = visibleName(m_trace->signalList()[size_t(s)].name);
        if (simPlotChromeWidth(*m_trace, one) == m_chrome.width) {
            m_chrome.widest = one.emptyText;
            break;
        }
    }
    m_chromeValid = true;
    return m_chrome;
}

void SimTimeline::drawPart(QPainter &p, const QRect &area) const
{
    if (!m_trace)
        return;
    const SimPlotView v = view();
    const int rows = static_cast<int>(v.rows.size());
    const int first = std::clamp((area.top() - kPlotTop) / kPlotRowHeight, 0, std::max(rows - 1, 0));
    // Down to the axis, the rows that cross the area and the axis below them.
    const int end = std::min(rows, std::max(area.bottom() - kPlotTop, 0) / kPlotRowHeight + 1);
    if (rows == 0 || (first == 0 && end == rows)) {
        simPlotDraw(p, *m_trace, v);
        return;
    }
    // Those rows alone, where the whole view has them: the name column as
    // wide as the widest name; what they draw beyond the area is cut off.
    SimPlotView part = v;
    part.rows.assign(v.rows.begin() + first, v.rows.begin() + end);
    part.emptyText = chrome(v).widest;
    p.save();
    p.setClipRect(area, Qt::IntersectClip);
    p.translate(0, first * kPlotRowHeight);
    simPlotDraw(p, *m_trace, part);
    p.restore();
}

SimPlotView SimTimeline::view() const
{
    SimPlotView v;
    v.rows = picked();
    v.emptyText = tr("no signal picked");
    const qint64 spanTicks = qint64(span()) * 1000 / kSimTickMs;
    if (span() == 0) {
        v.from = 0;
        v.to = std::max<qint64>(m_tick, 1);
    } else {
        v.from = m_following ? std::max<qint64>(0, m_tick - spanTicks) : m_scroll->value();
        v.to = v.from + spanTicks;
    }
    v.until = m_tick;
    if (m_trace)
        v.plotWidth = std::max(kMinPlotWidth, m_area->viewport()->width() - chrome(v).width);
    return v;
}

void SimTimeline::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (m_stale)
        redraw();
}

void SimTimeline::redraw()
{
    // Behind another tab it costs the run nothing; drawn when shown again.
    m_stale = !isVisible();
    if (m_stale)
        return;
    if (m_following && m_scrollTimer->isActive()) {
        m_scrollPending = true;
    } else {
        placeScroll();
        if (m_following)
            m_scrollTimer->start();
    }
    if (m_trace) {
        const int height = chrome(view()).height;
        if (m_canvas->minimumHeight() != height)
            m_canvas->setMinimumHeight(height);
    }
    m_canvas->update();
}
