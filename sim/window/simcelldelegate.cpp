#include "simcelldelegate.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QPainter>
#include <QTableWidget>

QPixmap *drawItemPicture(const QPainter &painter, const QStyleOptionViewItem &opt, const QRect &area,
                         const QColor &background)
{
    const qreal ratio = painter.device()->devicePixelRatioF();
    auto *picture = new QPixmap(area.size() * ratio);
    picture->setDevicePixelRatio(ratio);
    picture->fill(background);
    QPainter p(picture);
    p.setFont(painter.font());
    p.setPen(painter.pen());
    p.setBrush(painter.brush());
    p.setRenderHints(painter.renderHints());
    p.setLayoutDirection(painter.layoutDirection());
    p.translate(-area.topLeft());
    QStyle *style = opt.widget ? opt.widget->style() : QApplication::style();
    style->drawControl(QStyle::CE_ItemViewItem, &opt, &p, opt.widget);
    return picture;
}

void SimCellDelegate::paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    const QWidget *widget = option.widget;
    const auto *view = qobject_cast<const QAbstractItemView *>(widget);
    // Under the cell is the viewport's plain background; a cell with more
    // than a text and a plain fill (a check box, an icon) is drawn as it comes.
    const QBrush back = view ? view->viewport()->palette().brush(view->viewport()->backgroundRole()) : QBrush();
    const bool plainBack = back.style() == Qt::SolidPattern && painter->device();
    if (plainBack && paintPlain(painter, option, index, back.color()))
        return;
    QStyleOptionViewItem opt = option;
    grey(opt);
    initStyleOption(&opt, index);
    QStyle *style = widget ? widget->style() : QApplication::style();
    const bool plainFill =
        opt.backgroundBrush.style() == Qt::NoBrush || opt.backgroundBrush.style() == Qt::SolidPattern;
    if (!plainBack || !plainFill
        || (opt.features & (QStyleOptionViewItem::HasCheckIndicator | QStyleOptionViewItem::HasDecoration))) {
        style->drawControl(QStyle::CE_ItemViewItem, &opt, painter, widget);
        return;
    }
    if (opt.font != m_font) {
        m_pictures.clear();
        m_font = opt.font;
    }
    const qreal ratio = painter->device()->devicePixelRatioF();
    const QRgb fill = opt.backgroundBrush.style() == Qt::NoBrush ? 0 : opt.backgroundBrush.color().rgba();
    const Look look{opt.text,
                    fill,
                    back.color().rgba(),
                    opt.rect.width(),
                    opt.rect.height(),
                    int(opt.state),
                    int(opt.features),
                    int(opt.displayAlignment),
                    opt.palette.cacheKey(),
                    ratio};
    if (const QPixmap *kept = m_pictures.object(look)) {
        ++m_copied;
        painter->drawPixmap(opt.rect.topLeft(), *kept);
        return;
    }
    QPixmap *picture = drawItemPicture(*painter, opt, opt.rect, back.color());
    ++m_drawn;
    painter->drawPixmap(opt.rect.topLeft(), *picture);
    m_pictures.insert(look, picture, int(qint64(picture->width()) * picture->height() * 4 / 1024) + 1);
}

bool SimCellDelegate::paintPlain(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index,
                                 const QColor &background) const
{
    // The same look as initStyleOption would make of the cell's roles: its
    // text, its fill, the view's option otherwise. Greyed (before the first
    // draw) the long way.
    const auto *table = qobject_cast<const QTableWidget *>(option.widget);
    const QTableWidgetItem *item = table && !m_greyed ? table->itemFromIndex(index) : nullptr;
    if (!item || item->type() != SimDrawnCell::kType)
        return false;
    const auto *cell = static_cast<const SimDrawnCell *>(item);
    if (!cell->plain() || cell->shownText().isNull() || option.font != m_font)
        return false;
    const QBrush *fill = cell->fill();
    if (fill && fill->style() != Qt::SolidPattern)
        return false;
    const Look look{cell->shownText(),
                    fill ? fill->color().rgba() : 0,
                    background.rgba(),
                    option.rect.width(),
                    option.rect.height(),
                    int(option.state),
                    int(option.features | QStyleOptionViewItem::HasDisplay),
                    int(option.displayAlignment),
                    option.palette.cacheKey(),
                    painter->device()->devicePixelRatioF()};
    const QPixmap *kept = m_pictures.object(look);
    if (!kept)
        return false;
    ++m_copied;
    ++m_copiedPlain;
    painter->drawPixmap(option.rect.topLeft(), *kept);
    return true;
}

void SimCellDelegate::grey(QStyleOptionViewItem &opt) const
{
    // As the table view shows a cell without Qt::ItemIsEnabled.
    if (m_greyed && (opt.state & QStyle::State_Enabled)) {
        opt.state &= ~QStyle::State_Enabled;
        opt.palette.setCurrentColorGroup(QPalette::Disabled);
    }
}
