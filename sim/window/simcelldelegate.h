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
#include <QTableWidgetItem>

class Simulator;

// A cell the window draws. Its text and colour are kept here and handed
// out as the model asks for them: setting them through the item each tick
// (a variant per role, compared with the old one, a list of roles, a signal)
// was most of the cost of a tick that changes many cells. The window tells
// the view, once per table. The tooltip, in the tables that have one, is
// worked out when it is shown, so that it tells how things stand then.
class SimDrawnCell : public QTableWidgetItem
{
public:
    static constexpr int kType = QTableWidgetItem::UserType + 31;
    using Why = QString (Simulator::*)(int) const;
    SimDrawnCell(const Simulator *sim, Why why, int row) : QTableWidgetItem(kType), m_sim(sim), m_why(why), m_row(row)
    { }

    // `fill` outlives the cell; null: no colour of its own.
    void show(const QString &text, const QBrush *fill)
    {
        m_text = text;
        m_fill = fill;
        m_drawn = true;
    }
    QVariant data(int role) const override;
    // A text or colour set from outside is what the cell shows until the next draw.
    void setData(int role, const QVariant &value) override;
    QTableWidgetItem *clone() const override { return new SimDrawnCell(*this); }

    // Shows what show() gave it and nothing set from outside changes how it
    // looks: the text and fill are all that its picture depends on.
    bool plain() const { return m_drawn && !m_touched; }
    const QString &shownText() const { return m_text; }
    const QBrush *fill() const { return m_fill; }

private:
    const Simulator *m_sim;
    Why m_why;
    int m_row;
    QString m_text;
    const QBrush *m_fill = nullptr;
    bool m_drawn = false;
    bool m_touched = false;  // a role besides text, colour and tooltip has been set
};

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
    // Of the copied, those whose look came from the cell alone (a plain
    // SimDrawnCell), without asking the model for each role.
    int copiedPlainCells() const { return m_copiedPlain; }

    // Not drawn yet: every cell is shown as the view shows a cell that is not
    // enabled (greyed). One flag for the table, so that the first draw
    // changes no cell's flags.
    void setGreyed(bool greyed) { m_greyed = greyed; }
    bool greyed() const { return m_greyed; }

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

    // The look of a plain drawn cell from the cell itself; false when the
    // cell is not one or no picture of that look is kept.
    bool paintPlain(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index,
                    const QColor &background) const;
    void grey(QStyleOptionViewItem &opt) const;

    mutable QCache<Look, QPixmap> m_pictures{4096};  // cost in KiB
    mutable QFont m_font;  // of the pictures kept
    mutable int m_drawn = 0, m_copied = 0, m_copiedPlain = 0;
    bool m_greyed = false;
};
