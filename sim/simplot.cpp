#include "simplot.h"

#include <QBuffer>
#include <QFont>
#include <QFontMetrics>
#include <QHash>
#include <QImage>
#include <QPainter>
#include <QSvgGenerator>

#include <algorithm>
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
    int nameWidth = 0;
    QSize size;
};

QFont plotFont()
{
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(12);
    return font;
}

// The widths of texts and names as drawn. The live timeline lays out its
// picked names at every redraw, and measuring each (shaping its text) was
// most of the redraw: each is measured once. They are a setup's names, so
// few; the cache starts again should a long run of others fill it. One per
// thread, as fonts are.
class Widths
{
public:
    int text(const QString &text)
    {
        return width(m_texts, text, [&text] { return text; });
    }
    // As visibleName() shows the name.
    int name(const QString &name)
    {
        return width(m_names, name, [&name] { return visibleName(name); });
    }

private:
    template <typename Shown>
    int width(QHash<QString, int> &widths, const QString &key, Shown shown)
    {
        if (const auto it = widths.constFind(key); it != widths.cend())
            return *it;
        if (widths.size() >= 8192)
            widths.clear();
        const int width = QFontMetrics(plotFont()).horizontalAdvance(shown());
        widths.insert(key, width);
        return width;
    }
    QHash<QString, int> m_texts, m_names;  // no font kept: it would outlive the application
};

Widths &widths()
{
    thread_local Widths w;
    return w;
}

Layout layoutOf(const SimTrace &trace, const SimPlotView &view)
{
    Layout l;
    l.font = plotFont();
    for (int s : view.rows)
        l.nameWidth = std::max(l.nameWidth, widths().name(trace.signalList()[s].name));
    l.nameWidth = std::max(l.nameWidth, widths().text(view.emptyText)) + kMargin;
    l.size = QSize(kMargin + l.nameWidth + view.plotWidth + 2 * kMargin,
                   kMargin + std::max<int>(static_cast<int>(view.rows.size()), 1) * kRowHeight + kAxisHeight);
    return l;
}

// Levels from `on` at the start to the end, a vertical edge at each change;
// no level narrower than kMinPulse (a burst of them runs on to the end).
template <typename XOf>
void drawWave(QPainter &p, bool on, const std::vector<const SimChange *> &changes, int low, int hi, XOf xOf,
              double start, double end)
{
    const QColor high(120, 200, 120);
    QPolygonF wave;
    wave << QPointF(start, on ? hi : low);
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

// Time axis in seconds, with a faint line across the rows at each label.
void drawAxis(QPainter &p, const SimPlotView &view, int x0, int bottom)
{
    const double start = double(view.from) * kSimTickMs / 1000.0;
    const double span = double(view.to - view.from) * kSimTickMs / 1000.0;
    const double step = axisStep(span);
    const int decimals = step >= 1 ? 0 : int(std::ceil(-std::log10(step)));
    const qint64 first = view.from == 0 ? 0 : qint64(std::ceil(start / step - 1e-9));
    for (qint64 k = first; (k - first) * step <= span * (1 + 1e-9); ++k) {
        const double x = x0 + (double(k) * step - start) / span * view.plotWidth;
        if (x > x0 + view.plotWidth + 0.5)
            break;
        p.setPen(QColor(225, 225, 225));
        p.drawLine(QPointF(x, kMargin), QPointF(x, bottom));
        p.setPen(Qt::black);
        p.drawLine(QPointF(x, bottom), QPointF(x, bottom + 4));
        p.drawText(QRectF(x - 40, bottom + 5, 80, 14), Qt::AlignHCenter | Qt::AlignTop,
                   QString::number(double(k) * step, 'f', decimals));
    }
    p.drawLine(QPointF(x0, bottom), QPointF(x0 + view.plotWidth, bottom));
    p.drawText(QRectF(x0, bottom + 18, view.plotWidth, 14), Qt::AlignHCenter | Qt::AlignTop,
               QStringLiteral("time (s)"));
}

// The changes of each row between from and to, in time order, and the level
// each row has at `from`.
struct RowChanges {
    std::vector<std::vector<const SimChange *>> changes;
    std::vector<bool> levelAtStart;
};

RowChanges rowChanges(const SimTrace &trace, const SimPlotView &view)
{
    RowChanges out;
    out.changes.resize(view.rows.size());
    std::vector<int> rowOf(trace.signalList().size(), -1);
    for (size_t i = 0; i < view.rows.size(); ++i)
        rowOf[view.rows[i]] = static_cast<int>(i);
    const std::vector<SimChange> &all = trace.changes();
    auto byTick = [](const SimChange &c, qint64 tick) { return c.tick < tick; };
    const auto begin = std::lower_bound(all.begin(), all.end(), view.from, byTick);
    out.levelAtStart = trace.levelsBefore(size_t(begin - all.begin()), view.rows);
    for (auto it = begin; it != all.end() && it->tick <= view.to; ++it)
        if (const int row = rowOf[it->signal]; row >= 0)
            out.changes[row].push_back(&*it);
    return out;
}

void draw(QPainter &p, const SimTrace &trace, const SimPlotView &view, const Layout &l)
{
    p.setRenderHint(QPainter::Antialiasing, false);
    p.fillRect(QRect(QPoint(0, 0), l.size), Qt::white);
    p.setFont(l.font);
    const int x0 = kMargin + l.nameWidth;
    const qint64 ticks = std::max<qint64>(1, view.to - view.from);
    auto xOf = [&](qint64 tick) { return x0 + double(tick - view.from) * view.plotWidth / double(ticks); };
    const int bottom = kMargin + std::max<int>(static_cast<int>(view.rows.size()), 1) * kRowHeight;
    drawAxis(p, view, x0, bottom);

    if (view.rows.empty()) {
        p.drawText(QRectF(kMargin, kMargin, l.nameWidth, kRowHeight), Qt::AlignLeft | Qt::AlignVCenter, view.emptyText);
        return;
    }

    const RowChanges rows = rowChanges(trace, view);
    const qint64 until = view.until < 0 ? view.from + ticks : std::clamp(view.until, view.from, view.from + ticks);
    for (size_t i = 0; i < view.rows.size(); ++i) {
        const int top = kMargin + static_cast<int>(i) * kRowHeight;
        const int low = top + (kRowHeight + kWave) / 2, hi = low - kWave;
        p.setPen(Qt::black);
        p.drawText(QRectF(kMargin, top, l.nameWidth - kMargin, kRowHeight), Qt::AlignLeft | Qt::AlignVCenter,
                   visibleName(trace.signalList()[view.rows[i]].name));
        drawWave(p, rows.levelAtStart[i], rows.changes[i], low, hi, xOf, xOf(view.from), xOf(until));
    }
}

}  // namespace

SimPlotView simPlotWholeRun(const SimTrace &trace)
{
    SimPlotView view;
    view.rows = trace.changedSignals();
    // The axis goes on past the last change, so that its new level shows.
    const qint64 last = trace.changes().empty() ? 0 : trace.changes().back().tick;
    const double pixels = kMinPulse + 1;
    const qint64 room = std::max<qint64>(1, qint64(std::ceil(double(last) * pixels / (kPlotWidth - pixels))));
    view.to = std::max<qint64>({trace.lastTick(), last + room, 1});
    view.plotWidth = kPlotWidth;
    return view;
}

QSize simPlotSize(const SimTrace &trace, const SimPlotView &view)
{
    return layoutOf(trace, view).size;
}

int simPlotChromeWidth(const SimTrace &trace, const SimPlotView &view)
{
    return layoutOf(trace, view).size.width() - view.plotWidth;
}

void simPlotDraw(QPainter &p, const SimTrace &trace, const SimPlotView &view)
{
    draw(p, trace, view, layoutOf(trace, view));
}

QByteArray simPlot(const SimTrace &trace, SimPlotFormat format)
{
    return simPlot(trace, simPlotWholeRun(trace), format);
}

QByteArray simPlot(const SimTrace &trace, const SimPlotView &view, SimPlotFormat format)
{
    const Layout l = layoutOf(trace, view);
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
        draw(p, trace, view, l);
        p.end();
    } else {
        QImage image(l.size, QImage::Format_RGB32);
        QPainter p;
        if (!p.begin(&image))
            return QByteArray();
        draw(p, trace, view, l);
        p.end();
        if (!image.save(&buffer, "PNG"))
            return QByteArray();
    }
    return bytes;
}

}  // namespace kelda
