#include "entrylisteditor.h"

#include <QItemSelectionModel>
#include <QTableView>

#include "entrylistdelegate.h"
#include "entrylistmodel.h"

EntryListEditor::EntryListEditor(QWidget *parent) : QDialog(parent)
{ }

void EntryListEditor::addList(EntryListModel *list, QTableView *view)
{
    m_lists.append(list);
    m_views.append(view);
}

EntryListModel *EntryListEditor::list(int kind) const
{
    return kind >= 0 && kind < m_lists.size() ? m_lists[kind] : nullptr;
}

QTableView *EntryListEditor::view(int kind) const
{
    return kind >= 0 && kind < m_views.size() ? m_views[kind] : nullptr;
}

void EntryListEditor::showItem(PMModel *model, int row)
{
    m_model = model;
    m_row = row;
    for (int k = 0; k < m_lists.size(); ++k) {
        m_lists[k]->setList(k, row, model);
        m_views[k]->setModel(m_lists[k]);
        m_views[k]->setItemDelegate(makeDelegate(m_views[k]));
    }
}

void EntryListEditor::addTo(int kind)
{
    m_lists[kind]->addEntry(m_row, kind);
}

void EntryListEditor::removeFrom(int kind)
{
    QItemSelectionModel *selection = m_views[kind]->selectionModel();
    if (!selection || !selection->hasSelection())
        return;
    const QModelIndexList selected = selection->selectedIndexes();
    if (selected.isEmpty())
        return;
    m_lists[kind]->removeEntry(m_row, kind, selected.first().row());
}
