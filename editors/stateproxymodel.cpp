#include "stateproxymodel.h"

StateProxyModel::StateProxyModel(QObject *parent) : EntryListModel(parent)
{ }

const char *StateProxyModel::headerText(int kind) const
{
    return kind >= 0 && kind < kelda::kStateListCount ? kelda::kStateListNames[size_t(kind)] : nullptr;
}

QStringList StateProxyModel::choices() const
{
    if (!m_model || m_kind < 0 || m_kind >= kelda::kStateListCount)
        return {};
    return m_model->itemChoices(kelda::kStateListTargets[size_t(m_kind)]);
}
