#include "stateproxymodel.h"

namespace {
const char *const kHeaders[kelda::kStateListCount] = {"LX2 Outputs", "LX1 Outputs", "CAN Outputs"};
const kelda::ItemType kTargets[kelda::kStateListCount] = {
    kelda::ItemType::Lx2Led, kelda::ItemType::Lx1Output, kelda::ItemType::CanOutput};
} // namespace

StateProxyModel::StateProxyModel(QObject *parent)
    : EntryListModel(parent)
{
}

const char *StateProxyModel::headerText(int kind) const
{
    return kind >= 0 && kind < kelda::kStateListCount ? kHeaders[kind] : nullptr;
}

QStringList StateProxyModel::choices() const
{
    if (!m_model || m_kind < 0 || m_kind >= kelda::kStateListCount)
        return {};
    return m_model->itemChoices(kTargets[m_kind]);
}
