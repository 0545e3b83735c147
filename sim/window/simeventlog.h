// SimEventLog: one line per tick that changed something, newest last, read
// from a run's trace: "tick 6758 (67.58 s): "Flash on" set "Beacon flash";
// "Beacons off" cleared "Beacons on"". A filter keeps the lines that name an
// item containing its text; Copy puts the shown (or selected) lines on the
// clipboard; "Save CSV…" is asked of the owner, which writes the trace.
#pragma once

#include <QAbstractListModel>
#include <QCache>
#include <QElapsedTimer>
#include <QStringList>
#include <QWidget>

#include <vector>

class QLineEdit;
class QListView;
class QPushButton;
class QTimer;

namespace kelda {
class SimTrace;
struct SimChange;
}  // namespace kelda

class SimEventLogModel : public QAbstractListModel
{
    Q_OBJECT

public:
    explicit SimEventLogModel(QObject *parent = nullptr) : QAbstractListModel(parent) { }

    // A new run: no lines.
    void setTrace(const kelda::SimTrace *trace);
    // Adds the lines of the ticks recorded since the last call.
    void sync();
    // The log stopped growing at its limit: one last line says so.
    void setFull(const QString &note);
    void setFilter(const QString &text);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;

    // The text of one tick's changes, [begin, end) of the trace's changes.
    static QString lineText(const kelda::SimTrace &trace, size_t begin, size_t end);

private:
    bool matches(size_t line) const;
    size_t lineEnd(size_t line) const;

    const kelda::SimTrace *m_trace = nullptr;
    std::vector<size_t> m_lineStart;  // first change of each line
    size_t m_synced = 0;  // changes taken into lines
    QString m_filter;
    std::vector<size_t> m_shown;  // lines that pass the filter, when there is one
    QString m_fullNote;
    mutable QCache<size_t, QString> m_recent{256};  // texts of lines lately shown
};

class SimEventLog : public QWidget
{
    Q_OBJECT

public:
    explicit SimEventLog(QWidget *parent = nullptr);

    void setTrace(const kelda::SimTrace *trace);
    void sync();
    void setFull(const QString &note);

    // The lines shown, top to bottom, and those selected (all shown when none is).
    QStringList shownLines() const;
    QStringList linesToCopy() const;
    QListView *view() const { return m_view; }
    // How long new lines wait, shown, after taking them in and drawing them took syncNs.
    static qint64 syncPeriodMs(qint64 syncNs);
    QLineEdit *filter() const { return m_filter; }

public slots:
    void copy();

signals:
    void saveRequested();

protected:
    void showEvent(QShowEvent *event) override;

private:
    void syncNow();

    SimEventLogModel *m_model;
    QListView *m_view;
    QLineEdit *m_filter;
    QPushButton *m_copy, *m_save;
    QElapsedTimer m_synced;  // since the shown view last took new lines
    qint64 m_syncNs = 0;  // what taking them in (the relayout) took
    QTimer *m_pending;  // gives the shown view the lines held back
    bool m_following = true;  // the view shows the newest line
};
