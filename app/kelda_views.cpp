// The main window's views from the keyboard and between runs: keys on the
// tables, tooltips of the option fields, column widths that survive the
// model's resets, and the window's size, position, tab and column widths
// kept in the settings.
#include "kelda.h"
#include "ui_kelda.h"

#include <QHeaderView>
#include <QKeyEvent>
#include <QSortFilterProxyModel>
#include <QTableView>

#include "pmcolumns.h"
#include "pmmodel.h"
#include "settings.h"

using kelda::settings::Key;

namespace {

// Keys of the table views: Enter and F2 open the dialog of an "Edit..." cell
// as a click does; Delete and Insert on a table with rows do what "Remove"
// and "Add" do. Only keys that reach the view itself count, so an open
// in-cell editor keeps its own.
class ViewKeys : public QObject
{
public:
    ViewKeys(KELDA *window, int tab) : QObject(window), m_window(window), m_tab(tab) { }

    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() != QEvent::KeyPress)
            return false;
        auto *view = static_cast<QTableView *>(watched);
        const int key = static_cast<QKeyEvent *>(event)->key();
        const auto modifiers = static_cast<QKeyEvent *>(event)->modifiers() & ~Qt::KeypadModifier;
        if (modifiers != Qt::NoModifier)
            return false;
        switch (key) {
        case Qt::Key_Return:
        case Qt::Key_Enter:
        case Qt::Key_F2:
            return openDialog(view);
        case Qt::Key_Delete:
            if (!hasRows())
                return false;
            m_window->deleteRow();
            return true;
        case Qt::Key_Insert:
            if (!hasRows())
                return false;
            m_window->addRow();
            return true;
        default:
            return false;
        }
    }

private:
    bool hasRows() const { return kelda::modeHasRows(m_tab); }
    bool openDialog(QTableView *view)
    {
        const QModelIndex at = view->currentIndex();
        if (!at.isValid() || m_window->model()->editorKind(at) != int(EditorKind::Dialog))
            return false;
        if (m_tab == int(Mode::Events))
            m_window->editEvent(at);
        else if (m_tab == int(Mode::States))
            m_window->editState(at);
        else
            m_window->editLX1(at);
        return true;
    }

    KELDA *m_window;
    int m_tab;
};

QString widthsText(const QList<int> &widths)
{
    QStringList parts;
    for (int w : widths)
        parts << QString::number(w);
    return parts.join(QLatin1Char(','));
}

QList<int> widthsFrom(const QString &text, int columns)
{
    QList<int> widths;
    for (const QString &part : text.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        bool ok = false;
        const int w = part.trimmed().toInt(&ok);
        if (!ok || w < 1 || w > 4000)
            return {};
        widths << w;
    }
    return widths.size() == columns ? widths : QList<int>();
}

QString widthsKey(const QTableView *view)
{
    return kelda::settings::keyName(Key::ColumnWidths) + QLatin1Char('/') + view->objectName();
}

}  // namespace

void KELDA::setUpViews()
{
    for (int tab = 0; tab < kTabCount; ++tab) {
        QTableView *v = view(tab);
        // Tab leaves the table for its buttons instead of walking its cells.
        v->setTabKeyNavigation(false);
        v->installEventFilter(new ViewKeys(this, tab));
        connect(v->horizontalHeader(), &QHeaderView::sectionResized, this, [this, tab] {
            if (!m_applyingWidths && ui->tabWidget->currentIndex() == tab)
                m_columnWidths[tab] = columnWidths(tab);
        });
        const QList<int> saved =
            widthsFrom(m_settings->value(widthsKey(v)).toString(), int(kelda::modeSpec(tab)->columns.size()));
        if (!saved.isEmpty())
            m_columnWidths[tab] = saved;
    }
    // Every reset of the model (another tab, another setup, an undo) gives its
    // views default widths: the shown table gets its own back.
    connect(m_model, &QAbstractItemModel::modelAboutToBeReset, this, [this] { m_applyingWidths = true; });
    connect(m_model, &QAbstractItemModel::modelReset, this,
            [this] { applyColumnWidths(ui->tabWidget->currentIndex()); });

    for (int i = 0; i < kelda::kOptionCount; ++i)
        optionBox(i)->setToolTip(QString::fromLatin1(kelda::optionSpec(i)->tip));

    const QByteArray geometry = kelda::settings::readValue(*m_settings, Key::WindowGeometry).toByteArray();
    if (!geometry.isEmpty())
        restoreGeometry(geometry);
    bool ok = false;
    const int tab = kelda::settings::readValue(*m_settings, Key::CurrentTab).toInt(&ok);
    if (ok && tab > 0 && tab < kTabCount)
        ui->tabWidget->setCurrentIndex(tab);  // the model follows, and the widths come with the reset
    else
        applyColumnWidths(ui->tabWidget->currentIndex());
}

void KELDA::saveViewState()
{
    kelda::settings::writeValue(*m_settings, Key::WindowGeometry, saveGeometry());
    kelda::settings::writeValue(*m_settings, Key::CurrentTab, ui->tabWidget->currentIndex());
    for (int tab = 0; tab < kTabCount; ++tab)
        if (!m_columnWidths[tab].isEmpty())
            m_settings->setValue(widthsKey(view(tab)), widthsText(m_columnWidths[tab]));
}

QList<int> KELDA::columnWidths(int tab) const
{
    QList<int> widths;
    const QHeaderView *header = view(tab)->horizontalHeader();
    for (int c = 0; c < header->count(); ++c)
        widths << header->sectionSize(c);
    return widths;
}

void KELDA::applyColumnWidths(int tab)
{
    m_applyingWidths = false;
    if (tab < 0 || tab >= kTabCount)
        return;
    QTableView *v = view(tab);
    m_applyingWidths = true;
    const QList<int> &widths = m_columnWidths[tab];
    if (widths.size() == v->horizontalHeader()->count()) {
        for (int c = 0; c < widths.size(); ++c)
            v->setColumnWidth(c, widths[c]);
    } else {
        // Until the user sets widths, wide enough for the header and the contents.
        v->resizeColumnsToContents();
    }
    m_applyingWidths = false;
}
