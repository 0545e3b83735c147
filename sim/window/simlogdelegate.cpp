#include "simlogdelegate.h"

#include "simcelldelegate.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QPainter>

#include <algorithm>
#include <limits>

namespace {

// Characters whose widths add up to the width of the text they make, give
// or take kerning: Latin without controls.
bool plainLatin(QChar c)
{
    return c.unicode() >= 0x20 && c.unicode() <= 0x24F;
}

}  // namespace

QString SimLogLineDelegate::visibleStart(const QString &text, const QFontMetrics &fm, int width)
{
    // Kerning takes a pixel here and there: a margin covers it.
    const int wanted = width + width / 4 + 32;
    int sum = 0;
    qsizetype i = 0;
    for (; i < text.size() && sum < wanted && plainLatin(text.at(i)); ++i)
        sum += fm.horizontalAdvance(text.at(i));
    if (i == text.size() || sum >= wanted)
        return text.left(i);
    // Beyond Latin a character's own width says little of the shaped
    // text's: a guess, made good by measuring.
    qsizetype guess = 2 * qsizetype(std::max(width, 0)) / std::max(1, fm.averageCharWidth()) + 16;
    while (guess < text.size() && fm.horizontalAdvance(text.left(guess)) <= width)
        guess *= 2;
    return text.left(guess);
}

void SimLogLineDelegate::forget()
{
    m_pictures.clear();
    m_widest = QSize();
}

void SimLogLineDelegate::keepFont(const QFont &font) const
{
    if (font == m_font)
        return;
    m_pictures.clear();
    m_widest = QSize();
    m_advances.assign(0x250, 0);
    m_font = font;
}

int SimLogLineDelegate::widthAtMost(const QString &text, const QFontMetrics &fm) const
{
    if (m_advances.empty())
        m_advances.assign(0x250, 0);
    qint64 sum = 0;
    for (const QChar c : text) {
        if (!plainLatin(c))
            return -1;
        int &advance = m_advances[c.unicode()];
        if (advance == 0)
            advance = std::max(1, fm.horizontalAdvance(c));
        sum += advance;
    }
    // Kerning narrows a pair by a pixel or so and hardly ever widens one:
    // a pixel in eight characters is room enough.
    return int(std::min<qint64>(sum + text.size() / 8 + 8, std::numeric_limits<int>::max()));
}

QSize SimLogLineDelegate::sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    // With uniform sizes the view asks for its last row's size at each new
    // line and makes every row that wide. Measuring a line of thousands of
    // characters took longer than drawing the log, and a short last line
    // took the horizontal scroll bar away until the next long one: rows are
    // as wide as the widest line measured, and a line that cannot be wider
    // is not measured.
    keepFont(option.font);
    if (m_widest.isValid()) {
        QStyleOptionViewItem opt = option;
        initStyleOption(&opt, index);
        const int most = widthAtMost(opt.text, QFontMetrics(opt.font));
        if (most >= 0 && most <= m_widest.width())
            return m_widest;
    }
    m_widest = m_widest.expandedTo(QStyledItemDelegate::sizeHint(option, index));
    return m_widest;
}

void SimLogLineDelegate::paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    QStyleOptionViewItem opt = option;
    initStyleOption(&opt, index);
    const QWidget *widget = option.widget;
    QStyle *style = widget ? widget->style() : QApplication::style();
    const auto *view = qobject_cast<const QAbstractItemView *>(widget);
    QRect visible = opt.rect;
    if (view)
        visible &= view->viewport()->rect();
    if (visible.isEmpty())
        return;
    // Under the row is the viewport's plain background; anything else is
    // drawn as it comes.
    const QBrush back = view ? view->viewport()->palette().brush(view->viewport()->backgroundRole()) : QBrush();
    const int shownWidth = visible.right() - opt.rect.left() + 1;
    if (back.style() != Qt::SolidPattern || !painter->device()) {
        opt.text = visibleStart(opt.text, QFontMetrics(opt.font), shownWidth);
        style->drawControl(QStyle::CE_ItemViewItem, &opt, painter, widget);
        return;
    }
    keepFont(opt.font);
    const qreal ratio = painter->device()->devicePixelRatioF();
    const Look look{index.row(),
                    visible.left() - opt.rect.left(),
                    opt.rect.width(),
                    opt.rect.height(),
                    visible.width(),
                    int(opt.state),
                    int(opt.features),
                    back.color().rgba(),
                    opt.palette.cacheKey(),
                    ratio};
    if (const QPixmap *kept = m_pictures.object(look)) {
        ++m_copied;
        painter->drawPixmap(visible.topLeft(), *kept);
        return;
    }
    // Measured only for a row drawn afresh: a row copied needs no text.
    opt.text = visibleStart(opt.text, QFontMetrics(opt.font), shownWidth);
    QPixmap *picture = drawItemPicture(*painter, opt, visible, back.color());
    ++m_drawn;
    painter->drawPixmap(visible.topLeft(), *picture);
    const int kib = int(qint64(picture->width()) * picture->height() * 4 / 1024) + 1;
    m_pictures.insert(look, picture, kib);
}
