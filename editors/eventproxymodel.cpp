#include "eventproxymodel.h"

#include "pmmodel.h"

namespace {
constexpr int kPrefixLength = 4;  // "ST: ", "TI: "
const char *const kHeaders[kelda::kEventListCount] = {
    "States to Set", "States to Clear", "Timers to Start", "Timers to Stop"};
} // namespace

EventProxyModel::EventProxyModel(QObject *parent)
    : QAbstractTableModel(parent)
{
}

void EventProxyModel::setList(int kind, int row, PMModel *model)
{
    beginResetModel();
    m_kind = kind;
    m_row = row;
    m_model = model;
    endResetModel();
}

int EventProxyModel::rowCount(const QModelIndex &parent) const
{
    if (parent.isValid() || !m_model)
        return 0;
    return m_model->listEntryCount(m_row, m_kind);
}

int EventProxyModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : 1;
}

QVariant EventProxyModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || !m_model || (role != Qt::DisplayRole && role != Qt::EditRole))
        return QVariant();
    return m_model->listEntryName(m_row, m_kind, index.row());
}

bool EventProxyModel::setData(const QModelIndex &index, const QVariant &value, int role)
{
    if (!index.isValid() || role != Qt::EditRole || !m_model)
        return false;
    const bool ok = m_model->setListEntry(m_row, m_kind, index.row(), value.toString());
    // Refresh even when the name was not found, so the view shows the stored target.
    emit dataChanged(index, index);
    return ok;
}

QVariant EventProxyModel::headerData(int, Qt::Orientation orientation, int role) const
{
    if (role != Qt::DisplayRole || orientation != Qt::Horizontal)
        return QVariant();
    if (m_kind < 0 || m_kind >= kelda::kEventListCount)
        return QVariant();
    return QString::fromLatin1(kHeaders[m_kind]);
}

Qt::ItemFlags EventProxyModel::flags(const QModelIndex &index) const
{
    // The root carries no flags: Qt's model contract (and its model tester)
    // allows only none or drop-enabled there.
    if (!index.isValid())
        return Qt::NoItemFlags;
    return QAbstractTableModel::flags(index) | Qt::ItemIsEditable;
}

bool EventProxyModel::addEntry(int row, int kind)
{
    if (!m_model)
        return false;
    beginResetModel();
    const bool ok = m_model->addListEntry(row, kind);
    endResetModel();
    return ok;
}

bool EventProxyModel::removeEntry(int row, int kind, int entry)
{
    if (!m_model)
        return false;
    beginResetModel();
    const bool ok = m_model->removeListEntry(row, kind, entry);
    endResetModel();
    return ok;
}

QStringList EventProxyModel::choices() const
{
    if (!m_model)
        return {};
    const bool states = m_kind == int(kelda::EventList::StatesToSet)
                        || m_kind == int(kelda::EventList::StatesToClear);
    QStringList names = states ? m_model->stateChoices() : m_model->timerChoices();
    for (QString &name : names)
        name.remove(0, kPrefixLength);
    return names;
}
