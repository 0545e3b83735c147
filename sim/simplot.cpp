#include "simplot.h"

#include <QBuffer>
#include <QFont>
#include <QFontMetrics>
#include <QImage>
#include <QPainter>
#include <QSvgGenerator>

#include <cmath>

#include "nametext.h"
#include "simtrace.h"

namespace kelda {

namespace {

constexpr int kRowHeight = 22;
constexpr int kWave = 14;  // height of a high level
constexpr int kMargin = 10;
constexpr int kPlotWidth = 900;
constexpr int kAxisHeight = 34;
constexpr double kMinPulse = 2.0;  // pixels: a one-tick pulse of an hour's run stays visible

// 1, 2 or 5 times a power of ten: at most about ten labels on the axis.
double axisStep(double span)
{
    const double raw = span / 10.0;
    const double power = std::pow(10.0, std::floor(std::log10(raw)));
    for (double m : {1.0, 2.0, 5.0})
        if (m * power >= raw)
            return m * power;
    return 10.0 * power;
}

struct Layout {
    QFont font;
    std::vector<int> rows;  // signals drawn, top to bottom
    int nameWidth = 0;
    qint64 ticks = 1;  // the time axis runs from tick 0 to here
    QSize size;
};

Layout layoutOf(const SimTrace &trace)
{
    Layout l;
    l.font = QFont(QStringLiteral("DejaVu Sans"));
    l.font.setPixelSize(12);
    l.rows = trace.changedSignals();
    const QFontMetrics metrics(l.font);
    for (int s : l.rows)
        l.nameWidth = std::max(l.nameWidth, metrics.horizontalAdvance(visibleName(trace.signalList()[s].name)));
    l.nameWidth = std::max(l.nameWidth, metrics.horizontalAdvance(QStringLiteral("nothing changed"))) + kMargin;
    // The axis goes on past the last change, so that its new level shows.
    const qint64 last = trace.changes().empty() ? 0 : trace.changes().back().tick;
    const double pixels = kMinPulse + 1;
    const qint64 room = std::max<qint64>(1, qint64(std::ceil(double(last) * pixels / (kPlotWidth - pixels))));
    l.ticks = std::max<qint64>({trace.lastTick(), last + room, 1});
    l.size = QSize(kMargin + l.nameWidth + kPlotWidth + 2 * kMargin,
                   kMargin + std::max<int>(static_cast<int>(l.rows.size()), 1) * kRowHeight + kAxisHeight);
    return l;
}

// Levels from tick 0 (off) to the end, a vertical edge at each change; no
// level narrower than kMinPulse (a burst of them runs on to the end).
template <typename XOf>
void drawWave(QPainter &p, const std::vector<const SimChange *> &changes, int low, int hi, XOf xOf, double end)
{
    const QColor high(120, 200, 120);
    QPolygonF wave;
    bool on = false;
    wave << QPointF(xOf(0), low);
    for (const SimChange *c : changes) {
        if (c->value == on)
            continue;
        const double x = std::min(end, std::max(xOf(c->tick), wave.size() > 1 ? wave.last().x() + kMinPulse : 0.0));
        if (on)
            p.fillRect(QRectF(QPointF(wave.last().x(), hi), QPointF(x, low)), high);
        wave << QPointF(x, on ? hi : low) << QPointF(x, c->value ? hi : low);
        on = c->value;
    }
    if (on)
        p.fillRect(QRectF(QPointF(wave.last().x(), hi), QPointF(end, low)), high);
    wave << QPointF(end, on ? hi : low);
    p.drawPolyline(wave);
}

void draw(QPainter &p, const SimTrace &trace, const Layout &l)
{
    p.setRenderHint(QPainter::Antialiasing, false);
    p.fillRect(QRect(QPoint(0, 0), l.size), Qt::white);
    p.setFont(l.font);
    const int x0 = kMargin + l.nameWidth;
    auto xOf = [&](qint64 tick) { return x0 + double(tick) * kPlotWidth / double(l.ticks); };
    const int bottom = kMargin + std::max<int>(static_cast<int>(l.rows.size()), 1) * kRowHeight;

    // Time axis in seconds, with a faint line across the rows at each label.
    const double span = double(l.ticks) * kSimTickMs / 1000.0;
    const double step = axisStep(span);
    const int decimals = step >= 1 ? 0 : int(std::ceil(-std::log10(step)));
    for (int k = 0; k * step <= span * (1 + 1e-9); ++k) {
        const double x = x0 + k * step / span * kPlotWidth;
        p.setPen(QColor(225, 225, 225));
        p.drawLine(QPointF(x, kMargin), QPointF(x, bottom));
        p.setPen(Qt::black);
        p.drawLine(QPointF(x, bottom), QPointF(x, bottom + 4));
        p.drawText(QRectF(x - 40, bottom + 5, 80, 14), Qt::AlignHCenter | Qt::AlignTop,
                   QString::number(k * step, 'f', decimals));
    }
    p.drawLine(QPointF(x0, bottom), QPointF(x0 + kPlotWidth, bottom));
    p.drawText(QRectF(x0, bottom + 18, kPlotWidth, 14), Qt::AlignHCenter | Qt::AlignTop, QStringLiteral("time (s)"));

    if (l.rows.empty()) {
        p.drawText(QRectF(kMargin, kMargin, l.nameWidth, kRowHeight), Qt::AlignLeft | Qt::AlignVCenter,
                   QStringLiteral("nothing changed"));
        return;
    }

    // Changes of each drawn signal, in time order.
    std::vector<std::vector<const SimChange *>> byRow(trace.signalList().size());
    for (const SimChange &c : trace.changes())
        byRow[c.signal].push_back(&c);

    for (size_t i = 0; i < l.rows.size(); ++i) {
        const int s = l.rows[i];
        const int top = kMargin + static_cast<int>(i) * kRowHeight;
        const int low = top + (kRowHeight + kWave) / 2, hi = low - kWave;
        p.setPen(Qt::black);
        p.drawText(QRectF(kMargin, top, l.nameWidth - kMargin, kRowHeight), Qt::AlignLeft | Qt::AlignVCenter,
                   visibleName(trace.signalList()[s].name));
        drawWave(p, byRow[s], low, hi, xOf, xOf(l.ticks));
    }
}

}  // namespace

QByteArray simPlot(const SimTrace &trace, SimPlotFormat format)
{
    const Layout l = layoutOf(trace);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    if (!buffer.open(QIODevice::WriteOnly))
        return QByteArray();
    if (format == SimPlotFormat::Svg) {
        QSvgGenerator svg;
        svg.setOutputDevice(&buffer);
        svg.setSize(l.size);
        svg.setViewBox(QRect(QPoint(0, 0), l.size));
        svg.setTitle(QStringLiteral("Timing diagram"));
        QPainter p;
        if (!p.begin(&svg))
            return QByteArray();
        draw(p, trace, l);
        p.end();
    } else {
        QImage image(l.size, QImage::Format_RGB32);
        QPainter p;
        if (!p.begin(&image))
            return QByteArray();
        draw(p, trace, l);
        p.end();
        if (!image.save(&buffer, "PNG"))
            return QByteArray();
    }
    return bytes;
}

}  // namespace kelda
