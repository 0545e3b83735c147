#include "eventproxymodel.h"

EventProxyModel::EventProxyModel(QObject *parent) : EntryListModel(parent)
{ }

const char *EventProxyModel::headerText(int kind) const
{
    return kind >= 0 && kind < kelda::kEventListCount ? kelda::kEventListNames[size_t(kind)] : nullptr;
}

QStringList EventProxyModel::choices() const
{
    if (!m_model)
        return {};
    const bool states = m_kind == int(kelda::EventList::StatesToSet) || m_kind == int(kelda::EventList::StatesToClear);
    QStringList names = states ? m_model->stateChoices() : m_model->timerChoices();
    for (QString &name : names)
        name.remove(0, kelda::kPrefixLength);  // "ST: ", "TI: "
    return names;
}
