#include "entrylistmodel.h"

EntryListModel::EntryListModel(QObject *parent) : QAbstractTableModel(parent)
{ }

void EntryListModel::setList(int kind, int row, PMModel *model)
{
    beginResetModel();
    m_kind = kind;
    m_row = row;
    m_model = model;
    endResetModel();
}

int EntryListModel::rowCount(const QModelIndex &parent) const
{
    if (parent.isValid() || !m_model)
        return 0;
    return m_model->listEntryCount(m_row, m_kind);
}

int EntryListModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : 1;
}

QVariant EntryListModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || !m_model || (role != Qt::DisplayRole && role != Qt::EditRole))
        return QVariant();
    return m_model->listEntryName(m_row, m_kind, index.row());
}

bool EntryListModel::setData(const QModelIndex &index, const QVariant &value, int role)
{
    if (!index.isValid() || role != Qt::EditRole || !m_model)
        return false;
    const bool ok = m_model->setListEntry(m_row, m_kind, index.row(), value.toString());
    // Refresh even when the name was not found, so the view shows the stored target.
    emit dataChanged(index, index);
    return ok;
}

QVariant EntryListModel::headerData(int, Qt::Orientation orientation, int role) const
{
    if (role != Qt::DisplayRole || orientation != Qt::Horizontal)
        return QVariant();
    const char *text = headerText(m_kind);
    return text ? QVariant(QString::fromLatin1(text)) : QVariant();
}

Qt::ItemFlags EntryListModel::flags(const QModelIndex &index) const
{
    // The root carries no flags: Qt's model contract (and its model tester)
    // allows only none or drop-enabled there.
    if (!index.isValid())
        return Qt::NoItemFlags;
    return QAbstractTableModel::flags(index) | Qt::ItemIsEditable;
}

bool EntryListModel::addEntry(int row, int kind)
{
    if (!m_model)
        return false;
    beginResetModel();
    const bool ok = m_model->addListEntry(row, kind);
    endResetModel();
    return ok;
}

bool EntryListModel::removeEntry(int row, int kind, int entry)
{
    if (!m_model)
        return false;
    beginResetModel();
    const bool ok = m_model->removeListEntry(row, kind, entry);
    endResetModel();
    return ok;
}
