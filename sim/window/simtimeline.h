// SimTimeline: the signals the user picks drawn over the last seconds of the
// run as it goes, by the renderer of `kelda-cli simulate --plot`. The scroll
// bar goes back over the whole run; at its right end the timeline follows
// the run. "Save Plot…" is asked of the owner, which writes what is shown.
#pragma once

#include <QWidget>

#include <vector>

#include "simplot.h"

class QComboBox;
class QPainter;
class QListWidget;
class QPushButton;
class QScrollArea;
class QScrollBar;
class QTimer;

namespace kelda {
class SimTrace;
}

class SimTimeline : public QWidget
{
    Q_OBJECT

public:
    explicit SimTimeline(QWidget *parent = nullptr);

    // A new run; the picks are kept by name where the new run has the signal,
    // else every state is picked.
    void setTrace(const kelda::SimTrace *trace);
    // The run has reached this tick; redrawn when shown.
    void sync(qint64 tick);

    std::vector<int> picked() const;
    void setPicked(const std::vector<int> &signalRows);
    // Seconds shown across the plot.
    void setSpan(int seconds);
    int span() const;
    // What is drawn now: the picked signals over the span that the scroll bar shows.
    kelda::SimPlotView view() const;

    // Draws the rows of view() that cross `area` of the canvas, and the axis
    // when it does, as simPlotDraw draws them there.
    void drawPart(QPainter &p, const QRect &area) const;

    QListWidget *seriesList() const { return m_series; }
    QScrollBar *scrollBar() const { return m_scroll; }
    QWidget *canvas() const { return m_canvas; }

signals:
    void savePlotRequested();

protected:
    void showEvent(QShowEvent *event) override;

private:
    void layOut();
    void connectParts();
    void fillSeries();
    void placeScroll();
    void redraw();

    // What the picked rows' names take, measured once per pick.
    struct Chrome {
        std::vector<int> rows;
        int width = 0, height = 0;  // besides the plot; of the picture
        QString widest;  // the widest name, or the text shown when none is picked
    };
    const Chrome &chrome(const kelda::SimPlotView &v) const;

    const kelda::SimTrace *m_trace = nullptr;
    // The picks as last read from the list; read again after the list changes.
    mutable std::vector<int> m_picked;
    mutable bool m_pickedValid = false;
    mutable Chrome m_chrome;
    mutable bool m_chromeValid = false;
    qint64 m_tick = 0;
    QListWidget *m_series;
    QComboBox *m_spanCombo;
    QPushButton *m_save;
    QScrollBar *m_scroll;
    QScrollArea *m_area;
    QWidget *m_canvas;
    QTimer *m_redraw = nullptr;
    QTimer *m_scrollTimer = nullptr;
    bool m_scrollPending = false;
    bool m_following = true;
    bool m_stale = false;  // the run moved on while hidden
};
