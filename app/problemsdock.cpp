#include "problemsdock.h"

#include <QDockWidget>
#include <QHeaderView>
#include <QMetaObject>
#include <QStyle>
#include <QTimer>
#include <QTreeWidget>

#include <algorithm>

#include "pmmodel.h"

using kelda::check::Finding;

namespace {

constexpr int kFindingRole = Qt::UserRole;  // index into the findings

}  // namespace

ProblemsDock::ProblemsDock(PMModel *model, QDockWidget *dock, QTreeWidget *list, QObject *parent)
    : QObject(parent), m_model(model), m_dock(dock), m_list(list), m_timer(new QTimer(this))
{
    m_timer->setSingleShot(true);
    m_timer->setInterval(50);  // one check for a burst of edits
    connect(m_timer, &QTimer::timeout, this, &ProblemsDock::run);
    connect(m_model, &PMModel::setupChanged, m_timer, qOverload<>(&QTimer::start));

    // Only the short columns follow their contents: measuring every message
    // of a long list after each change would cost more than the check itself.
    m_list->setUniformRowHeights(true);
    for (int column = 0; column < m_list->columnCount() - 1; ++column)
        m_list->header()->setSectionResizeMode(column, QHeaderView::ResizeToContents);
    m_list->header()->setStretchLastSection(true);
    connect(m_list, &QTreeWidget::itemActivated, this, [this](QTreeWidgetItem *item) {
        const int i = item->data(0, kFindingRole).toInt();
        if (i >= 0 && i < m_findings.size())  // not the "No problems found" row
            emit activated(m_findings.at(i));
    });
    // Rows that come or go (Add, Remove, a setup put back by Undo) renumber the
    // others: the dock follows at once, so that no line names a moved row.
    const auto soon = [this] { QMetaObject::invokeMethod(this, &ProblemsDock::run, Qt::QueuedConnection); };
    connect(m_model, &QAbstractItemModel::rowsInserted, this, soon);
    connect(m_model, &QAbstractItemModel::rowsRemoved, this, soon);
    connect(m_model, &QAbstractItemModel::modelReset, this, soon);
}

void ProblemsDock::runSoon()
{
    m_timer->start();
}

void ProblemsDock::run()
{
    m_timer->stop();
    m_findings = kelda::check::checkSetup(m_model->session());
    // In the order the tables show their rows: events by priority.
    std::stable_sort(m_findings.begin(), m_findings.end(), [](const Finding &a, const Finding &b) {
        return a.mode != b.mode ? a.mode < b.mode : a.shownRow < b.shownRow;
    });
    m_list->clear();
    const QIcon error = m_list->style()->standardIcon(QStyle::SP_MessageBoxCritical);
    const QIcon warning = m_list->style()->standardIcon(QStyle::SP_MessageBoxWarning);
    QList<QTreeWidgetItem *> items;
    for (int i = 0; i < m_findings.size(); ++i) {
        const Finding &f = m_findings.at(i);
        auto *item =
            new QTreeWidgetItem({f.table, f.shownRow ? QString::number(f.shownRow) : QString(), f.name, f.message});
        item->setIcon(0, f.isError() ? error : warning);
        item->setData(0, kFindingRole, i);
        item->setToolTip(3, QStringLiteral("%1 %2: %3").arg(kelda::check::severityText(f.severity), f.code, f.message));
        items << item;
    }
    if (items.isEmpty()) {
        auto *clean = new QTreeWidgetItem({QStringLiteral("No problems found")});
        clean->setData(0, kFindingRole, -1);
        items << clean;
    }
    m_list->addTopLevelItems(items);
    if (m_findings.isEmpty())
        items.first()->setFirstColumnSpanned(true);
    const int errors = kelda::check::errorCount(m_findings);
    m_dock->setWindowTitle(
        m_findings.isEmpty()
            ? QStringLiteral("Problems")
            : QStringLiteral("Problems (%1 errors, %2 warnings)").arg(errors).arg(m_findings.size() - errors));
}
