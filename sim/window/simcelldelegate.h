// SimCellDelegate: draws the simulator's drawn table cells exactly as the
// plain styled delegate does, from pictures: the cells show few different
// things ("Set", "Clear", "ON" on green, a blank on white, a timer's value),
// and laying their text out afresh for every cell at every repaint was most
// of the cost of a tick that changes many of them.
#pragma once

#include <QCache>
#include <QFont>
#include <QPixmap>
#include <QStyledItemDelegate>

// A new picture of `area` (in the painter's coordinates) filled with
// `background`, the item drawn on it by the style with the painter's pen,
// brush, font and hints: what both kept-picture delegates copy from.
QPixmap *drawItemPicture(const QPainter &painter, const QStyleOptionViewItem &opt, const QRect &area,
                         const QColor &background);

class SimCellDelegate : public QStyledItemDelegate
{
    Q_OBJECT

public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override;

    // Cells drawn afresh and copied from their pictures, since construction.
    int drawnCells() const { return m_drawn; }
    int copiedCells() const { return m_copied; }

private:
    // What a cell's picture depends on.
    struct Look {
        QString text;
        QRgb fill, background;
        int width, height, state, features, alignment;
        qint64 palette;
        qreal ratio;
        bool operator==(const Look &) const = default;
    };
    friend size_t qHash(const Look &look, size_t seed)
    {
        return qHashMulti(seed, look.text, look.fill, look.background, look.width, look.height, look.state,
                          look.features, look.alignment, look.palette, look.ratio);
    }

    mutable QCache<Look, QPixmap> m_pictures{4096};  // cost in KiB
    mutable QFont m_font;  // of the pictures kept
    mutable int m_drawn = 0, m_copied = 0;
};
