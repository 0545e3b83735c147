// A timing diagram of a trace: one row per signal that changed, its name on
// the left, high while on, the time axis in seconds. Drawn once with QPainter
// for both SVG and PNG, so the two show the same. Needs a QGuiApplication
// (the offscreen platform will do) for the fonts.
#pragma once

#include <QByteArray>

namespace kelda {

class SimTrace;

enum class SimPlotFormat { Svg, Png };

// The file's bytes; empty when the picture could not be made.
QByteArray simPlot(const SimTrace &trace, SimPlotFormat format);

}  // namespace kelda
