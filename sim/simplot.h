// A timing diagram of a trace: one row per signal, its name on the left, high
// while on, the time axis in seconds. One renderer draws with QPainter for
// SVG, PNG and the simulator window's live timeline, so all show the same.
// Needs a QGuiApplication (the offscreen platform will do) for the fonts.
#pragma once

#include <QByteArray>
#include <QSize>
#include <QString>

#include <vector>

class QPainter;

namespace kelda {

class SimTrace;

enum class SimPlotFormat { Svg, Png };

// What a diagram shows: these signals (indices into the trace's signal
// list), top to bottom, from tick `from` to tick `to` across plotWidth
// pixels.
struct SimPlotView {
    std::vector<int> rows;
    qint64 from = 0, to = 1;
    // Levels are drawn up to this tick (a live run has not reached `to`); -1: to `to`.
    qint64 until = -1;
    int plotWidth = 900;
    QString emptyText = QStringLiteral("nothing changed");  // shown when there are no rows
};

// The whole run: every signal that changed, from tick 0 to a little past the
// last change (so that its new level shows) or the end of the run.
SimPlotView simPlotWholeRun(const SimTrace &trace);
// The picture's size, and the width it needs besides the plot (names, margins).
QSize simPlotSize(const SimTrace &trace, const SimPlotView &view);
int simPlotChromeWidth(const SimTrace &trace, const SimPlotView &view);
// Draws the view at (0, 0) over simPlotSize().
void simPlotDraw(QPainter &p, const SimTrace &trace, const SimPlotView &view);

// The file's bytes; empty when the picture could not be made.
QByteArray simPlot(const SimTrace &trace, SimPlotFormat format);
QByteArray simPlot(const SimTrace &trace, const SimPlotView &view, SimPlotFormat format);

}  // namespace kelda
