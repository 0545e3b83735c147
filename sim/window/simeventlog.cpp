#include "simeventlog.h"

#include <QApplication>
#include <QClipboard>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QListView>
#include <QPushButton>
#include <QScrollBar>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>

#include "nametext.h"
#include "simlogdelegate.h"
#include "simtrace.h"

using namespace kelda;

namespace {

constexpr qint64 kRepaintMs = 40;  // at most 25 pictures a second, whatever the speed
// Taking new lines in lays every row of the log out again, so its cost grows
// with the log, and lines of thousands of characters take long to draw: the
// next lines wait at least this many times what taking in the last ones and
// the paint after took (about 3 % of the time), and at most kSlowestMs.
constexpr qint64 kCostFactor = 30;
constexpr qint64 kSlowestMs = 1000;

QString quotedName(const QString &name)
{
    return QLatin1Char('"') + visibleName(name) + QLatin1Char('"');
}

// One change as the log says it: `"Flash on" set "Beacon flash"`, `switch "Ignition" on`.
QString changeText(const SimTrace &trace, const SimChange &c)
{
    const SimSignal &s = trace.signalList()[c.signal];
    using Kind = SimSignal::Kind;
    const char *word = "";
    switch (s.kind) {
    case Kind::Key:
        word = "key";
        break;
    case Kind::Switch:
        word = "switch";
        break;
    case Kind::CanInput:
        word = "CAN input";
        break;
    case Kind::State:
        word = "state";
        break;
    case Kind::Timer:
        word = "timer";
        break;
    case Kind::Output:
        word = "output";
        break;
    case Kind::CanOutput:
        word = "CAN output";
        break;
    case Kind::Led:
        word = "LED";
        break;
    case Kind::Channel:
        return s.name + (c.value ? QStringLiteral(" on") : QStringLiteral(" off"));
    }
    const QString name = s.name.trimmed().isEmpty() ? QString::number(s.row + 1) : quotedName(s.name);
    if (s.kind == Kind::State) {
        const QString how = c.value ? QStringLiteral("set") : QStringLiteral("cleared");
        if (c.cause > 0)
            return quotedName(trace.eventName(c.cause)) + QLatin1Char(' ') + how + QLatin1Char(' ') + name;
        return QStringLiteral("state ") + name + QLatin1Char(' ') + how;
    }
    QString value = c.value ? QStringLiteral("on") : QStringLiteral("off");
    if (s.kind == Kind::Timer)
        value = c.value ? QStringLiteral("running") : QStringLiteral("stopped");
    return QLatin1String(word) + QLatin1Char(' ') + name + QLatin1Char(' ') + value;
}

// A list view that keeps what its last paint took.
class TimedListView : public QListView
{
public:
    using QListView::QListView;
    qint64 lastPaintNs = 0;

protected:
    void paintEvent(QPaintEvent *event) override
    {
        QElapsedTimer paint;
        paint.start();
        QListView::paintEvent(event);
        lastPaintNs = paint.nsecsElapsed();
    }
};

}  // namespace

QString SimEventLogModel::lineText(const SimTrace &trace, size_t begin, size_t end)
{
    const std::vector<SimChange> &changes = trace.changes();
    if (begin >= end || end > changes.size())
        return QString();
    const qint64 tick = changes[begin].tick;
    QString line =
        QStringLiteral("tick %1 (%2 s): ").arg(tick).arg(QString::number(double(tick) * kSimTickMs / 1000.0, 'f', 2));
    for (size_t i = begin; i < end; ++i) {
        if (i > begin)
            line += QStringLiteral("; ");
        line += changeText(trace, changes[i]);
    }
    return line;
}

void SimEventLogModel::setTrace(const SimTrace *trace)
{
    beginResetModel();
    m_trace = trace;
    m_lineStart.clear();
    m_recent.clear();
    m_shown.clear();
    m_synced = 0;
    m_fullNote.clear();
    endResetModel();
}

size_t SimEventLogModel::lineEnd(size_t line) const
{
    return line + 1 < m_lineStart.size() ? m_lineStart[line + 1] : m_synced;
}

bool SimEventLogModel::matches(size_t line) const
{
    if (m_filter.isEmpty())
        return true;
    const std::vector<SimChange> &changes = m_trace->changes();
    for (size_t i = m_lineStart[line]; i < lineEnd(line); ++i) {
        const SimChange &c = changes[i];
        if (m_trace->signalList()[c.signal].name.contains(m_filter, Qt::CaseInsensitive)
            || (c.cause > 0 && m_trace->eventName(c.cause).contains(m_filter, Qt::CaseInsensitive)))
            return true;
    }
    return false;
}

void SimEventLogModel::sync()
{
    if (!m_trace || m_trace->changes().size() == m_synced)
        return;
    const std::vector<SimChange> &changes = m_trace->changes();
    const size_t firstNew = m_lineStart.size();
    for (size_t i = m_synced; i < changes.size(); ++i)
        if (i == 0 || changes[i].tick != changes[i - 1].tick)
            m_lineStart.push_back(i);
    // The last line of the previous sync may have grown: ticks are whole
    // when synced, so it has not; only new lines are added.
    m_synced = changes.size();
    const int before = rowCount();
    std::vector<size_t> added;
    for (size_t line = firstNew; line < m_lineStart.size(); ++line)
        if (m_filter.isEmpty() || matches(line))
            added.push_back(line);
    if (added.empty())
        return;
    beginInsertRows(QModelIndex(), before, before + static_cast<int>(added.size()) - 1);
    if (!m_filter.isEmpty())
        m_shown.insert(m_shown.end(), added.begin(), added.end());
    endInsertRows();
}

void SimEventLogModel::setFull(const QString &note)
{
    if (!m_fullNote.isEmpty())
        return;
    beginInsertRows(QModelIndex(), rowCount(), rowCount());
    m_fullNote = note;
    endInsertRows();
}

void SimEventLogModel::setFilter(const QString &text)
{
    beginResetModel();
    m_filter = text.trimmed();
    m_shown.clear();
    if (!m_filter.isEmpty())
        for (size_t line = 0; line < m_lineStart.size(); ++line)
            if (matches(line))
                m_shown.push_back(line);
    endResetModel();
}

int SimEventLogModel::rowCount(const QModelIndex &parent) const
{
    if (parent.isValid())
        return 0;
    const size_t lines = m_filter.isEmpty() ? m_lineStart.size() : m_shown.size();
    return static_cast<int>(lines) + (m_fullNote.isEmpty() ? 0 : 1);
}

QVariant SimEventLogModel::data(const QModelIndex &index, int role) const
{
    if (!m_trace || !index.isValid() || (role != Qt::DisplayRole && role != Qt::ToolTipRole))
        return QVariant();
    const size_t row = size_t(index.row());
    const size_t lines = m_filter.isEmpty() ? m_lineStart.size() : m_shown.size();
    if (row >= lines)
        return row == lines ? QVariant(m_fullNote) : QVariant();
    const size_t line = m_filter.isEmpty() ? row : m_shown[row];
    // The rows on screen are asked for again at every paint; a line never
    // changes once made.
    if (const QString *cached = m_recent.object(line))
        return *cached;
    const QString text = lineText(*m_trace, m_lineStart[line], lineEnd(line));
    m_recent.insert(line, new QString(text));
    return text;
}

SimEventLog::SimEventLog(QWidget *parent) : QWidget(parent), m_model(new SimEventLogModel(this))
{
    m_filter = new QLineEdit(this);
    m_filter->setObjectName(QStringLiteral("simEventFilter"));
    m_filter->setPlaceholderText(tr("Filter by name"));
    m_filter->setClearButtonEnabled(true);
    m_filter->setAccessibleName(tr("Filter the event log by name"));
    m_copy = new QPushButton(tr("Copy"), this);
    m_copy->setObjectName(QStringLiteral("simEventCopyButton"));
    m_copy->setToolTip(tr("Copy the selected lines, or every line shown, to the clipboard"));
    m_save = new QPushButton(tr("Save CSV…"), this);
    m_save->setObjectName(QStringLiteral("simEventSaveButton"));
    m_save->setToolTip(tr("Save every change since the start as CSV, as kelda-cli simulate --trace writes it"));
    m_view = new TimedListView(this);
    m_view->setObjectName(QStringLiteral("simEventLog"));
    m_view->setAccessibleName(tr("Event log"));
    m_view->setModel(m_model);
    auto *delegate = new SimLogLineDelegate(m_view);
    m_view->setItemDelegate(delegate);
    connect(m_model, &QAbstractItemModel::modelReset, delegate, &SimLogLineDelegate::forget);
    m_view->setUniformItemSizes(true);
    m_view->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_view->setEditTriggers(QAbstractItemView::NoEditTriggers);

    auto *bar = new QHBoxLayout();
    bar->addWidget(m_filter, 1);
    bar->addWidget(m_copy);
    bar->addWidget(m_save);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addLayout(bar);
    layout->addWidget(m_view, 1);

    m_pending = new QTimer(this);
    m_pending->setSingleShot(true);
    connect(m_pending, &QTimer::timeout, this, &SimEventLog::syncNow);

    connect(m_filter, &QLineEdit::textChanged, m_model, &SimEventLogModel::setFilter);
    connect(m_copy, &QPushButton::clicked, this, &SimEventLog::copy);
    connect(m_save, &QPushButton::clicked, this, &SimEventLog::saveRequested);
}

void SimEventLog::setTrace(const SimTrace *trace)
{
    m_pending->stop();
    m_following = true;
    m_syncNs = 0;
    static_cast<TimedListView *>(m_view)->lastPaintNs = 0;
    m_model->setTrace(trace);
}

qint64 SimEventLog::syncPeriodMs(qint64 syncNs)
{
    return std::clamp(syncNs * kCostFactor / 1'000'000, kRepaintMs, kSlowestMs);
}

void SimEventLog::sync()
{
    // Hidden, the lines go into the model at once (nothing is laid out or
    // drawn); shown, at most every kRepaintMs, or less often when the log is
    // long: each new line moves every row on screen, and lines come at up to
    // 100 a second.
    const qint64 period = syncPeriodMs(m_syncNs + static_cast<TimedListView *>(m_view)->lastPaintNs);
    if (m_view->isVisible() && m_synced.isValid() && m_synced.elapsed() < period) {
        if (!m_pending->isActive())
            m_pending->start(int(period - m_synced.elapsed()));
        return;
    }
    syncNow();
}

void SimEventLog::syncNow()
{
    m_pending->stop();
    if (!m_view->isVisible()) {
        m_model->sync();
        return;
    }
    // Newest last; the view follows them unless the user has scrolled back.
    QElapsedTimer cost;
    cost.start();
    QScrollBar *bar = m_view->verticalScrollBar();
    m_following = bar->value() == bar->maximum();
    const int rows = m_model->rowCount();
    m_model->sync();
    m_synced.start();
    if (m_model->rowCount() == rows)
        return;
    // Laid out now rather than when the view gets round to it, so that its
    // cost is known.
    m_view->doItemsLayout();
    if (m_following)
        m_view->scrollToBottom();
    m_syncNs = cost.nsecsElapsed();
}

void SimEventLog::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    syncNow();
    if (m_following)
        m_view->scrollToBottom();
}

void SimEventLog::setFull(const QString &note)
{
    syncNow();
    m_model->setFull(note);
}

QStringList SimEventLog::shownLines() const
{
    // Lines waiting for the next repaint are lines of the log.
    m_model->sync();
    QStringList lines;
    for (int r = 0; r < m_model->rowCount(); ++r)
        lines << m_model->data(m_model->index(r)).toString();
    return lines;
}

QStringList SimEventLog::linesToCopy() const
{
    QModelIndexList rows = m_view->selectionModel()->selectedRows();
    if (rows.isEmpty())
        return shownLines();
    std::sort(rows.begin(), rows.end(), [](const QModelIndex &a, const QModelIndex &b) { return a.row() < b.row(); });
    QStringList lines;
    for (const QModelIndex &i : rows)
        lines << i.data().toString();
    return lines;
}

void SimEventLog::copy()
{
    const QStringList lines = linesToCopy();
    QApplication::clipboard()->setText(lines.isEmpty() ? QString() : lines.join(QLatin1Char('\n')) + QLatin1Char('\n'));
}
