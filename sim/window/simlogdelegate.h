// SimLogLineDelegate: draws the event log's lines exactly as the plain
// styled delegate does, at a fraction of the cost. A tick with a hundred
// changes makes a line of thousands of characters; laying all of it out for
// every row at every new line took most of the window's time. So a row is
// drawn once from the start of its text that can be seen, kept as a
// picture, and copied while it scrolls up the view. Rows are as wide as
// the widest line measured: a line that cannot be wider is not measured.
#pragma once

#include <QCache>
#include <QFont>
#include <QPixmap>
#include <QStyledItemDelegate>

#include <vector>

class QFontMetrics;

class SimLogLineDelegate : public QStyledItemDelegate
{
    Q_OBJECT

public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override;
    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override;

    // The rows hold other lines now (a new run, another filter).
    void forget();

    // The shortest start of `text` that is at least `width` pixels wide, or
    // a little longer; the whole text when no start is.
    static QString visibleStart(const QString &text, const QFontMetrics &fm, int width);

    // Rows drawn afresh and copied from their pictures, since construction.
    int drawnRows() const { return m_drawn; }
    int copiedRows() const { return m_copied; }

private:
    // Pictures and sizes in another font are of no use.
    void keepFont(const QFont &font) const;

    // What a row's picture depends on besides its line.
    struct Look {
        int row, offset, width, height, visibleWidth;
        int state, features;
        QRgb background;
        qint64 palette;
        qreal ratio;
        bool operator==(const Look &) const = default;
    };
    friend size_t qHash(const Look &look, size_t seed)
    {
        return qHashMulti(seed, look.row, look.offset, look.width, look.height, look.visibleWidth, look.state,
                          look.features, look.background, look.palette, look.ratio);
    }

    // At most how wide `text` is drawn, from the widths of its characters;
    // -1 when it holds others than plain Latin.
    int widthAtMost(const QString &text, const QFontMetrics &fm) const;

    mutable QCache<Look, QPixmap> m_pictures{8192};  // cost in KiB
    mutable QSize m_widest;  // the widest row measured since forget()
    mutable std::vector<int> m_advances;  // of plain Latin characters, in m_font; 0: not known yet
    mutable QFont m_font;  // of the pictures and sizes kept
    mutable int m_drawn = 0, m_copied = 0;
};
