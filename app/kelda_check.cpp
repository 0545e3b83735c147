// The main window's setup checks: the Problems dock, the gates in front of
// Go, Upload and Export, Where Used, and the question before a Remove that
// would take uses along.
#include "kelda.h"
#include "ui_kelda.h"

#include <QDockWidget>
#include <QMetaObject>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QSortFilterProxyModel>
#include <QStyle>
#include <QTableView>
#include <QTimer>
#include <QTreeWidget>

#include "crossrefs.h"
#include "pmcolumns.h"
#include "pmmodel.h"
#include "setupcheck.h"
#include "texts.h"
#include "whereused.h"

#include <algorithm>

using kelda::check::Finding;

namespace {

constexpr int kFindingRole = Qt::UserRole;  // index into the window's findings

// Up to `limit` lines of findings, then how many more there are.
QString findingLines(const QList<Finding> &findings, int limit = 12)
{
    QStringList lines;
    for (const Finding &f : findings) {
        if (lines.size() == limit) {
            lines << QStringLiteral("… and %1 more (Tools → Check Setup lists them all)").arg(findings.size() - limit);
            break;
        }
        lines << QStringLiteral("• %1 row %2 \"%3\": %4").arg(f.table).arg(f.shownRow).arg(f.name, f.message);
    }
    return lines.join(QLatin1Char('\n'));
}

}  // namespace

void KELDA::setUpChecks()
{
    m_checkTimer = new QTimer(this);
    m_checkTimer->setSingleShot(true);
    m_checkTimer->setInterval(50);  // one check for a burst of edits
    connect(m_checkTimer, &QTimer::timeout, this, &KELDA::runChecks);
    connect(m_model, &PMModel::setupChanged, m_checkTimer, qOverload<>(&QTimer::start));

    QTreeWidget *list = ui->problemsList;
    // Only the short columns follow their contents: measuring every message
    // of a long list after each change would cost more than the check itself.
    list->setUniformRowHeights(true);
    for (int column = 0; column < list->columnCount() - 1; ++column)
        list->header()->setSectionResizeMode(column, QHeaderView::ResizeToContents);
    list->header()->setStretchLastSection(true);
    connect(list, &QTreeWidget::itemActivated, this, [this](QTreeWidgetItem *item) {
        const int i = item->data(0, kFindingRole).toInt();
        if (i < 0 || i >= m_findings.size())
            return;  // the "No problems found" row
        const Finding &f = m_findings.at(i);
        if (f.option >= 0)
            showItem(f.table, f.mode, f.option);
        else
            goTo(f.mode, f.row - 1, f.column);
    });
    // Rows that come or go (Add, Remove, a setup put back by Undo) renumber the
    // others: the dock follows at once, so that no line names a moved row.
    const auto soon = [this] { QMetaObject::invokeMethod(this, &KELDA::runChecks, Qt::QueuedConnection); };
    connect(m_model, &QAbstractItemModel::rowsInserted, this, soon);
    connect(m_model, &QAbstractItemModel::rowsRemoved, this, soon);
    connect(m_model, &QAbstractItemModel::modelReset, this, soon);

    connect(ui->action_CheckSetup, &QAction::triggered, this, &KELDA::checkSetup);
    connect(ui->action_WhereUsed, &QAction::triggered, this, &KELDA::whereUsed);
    for (int tab = 0; tab < kTabCount; ++tab) {
        if (!kelda::isReferable(PMModel::itemTypeOfMode(tab)))
            continue;
        view(tab)->addAction(ui->action_WhereUsed);
        view(tab)->setContextMenuPolicy(Qt::ActionsContextMenu);
    }
    // The first check follows the window's first paint, like every later one.
    m_checkTimer->start();
}

void KELDA::runChecks()
{
    m_checkTimer->stop();
    m_findings = kelda::check::checkSetup(m_model->session());
    // In the order the tables show their rows: events by priority.
    std::stable_sort(m_findings.begin(), m_findings.end(), [](const Finding &a, const Finding &b) {
        return a.mode != b.mode ? a.mode < b.mode : a.shownRow < b.shownRow;
    });
    QTreeWidget *list = ui->problemsList;
    list->clear();
    const QIcon error = style()->standardIcon(QStyle::SP_MessageBoxCritical);
    const QIcon warning = style()->standardIcon(QStyle::SP_MessageBoxWarning);
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
    list->addTopLevelItems(items);
    if (m_findings.isEmpty())
        items.first()->setFirstColumnSpanned(true);
    const int errors = kelda::check::errorCount(m_findings);
    ui->problemsDock->setWindowTitle(
        m_findings.isEmpty()
            ? QStringLiteral("Problems")
            : QStringLiteral("Problems (%1 errors, %2 warnings)").arg(errors).arg(m_findings.size() - errors));
}

void KELDA::checkSetup()
{
    ui->problemsDock->show();
    ui->problemsDock->raise();
    runChecks();
    ui->problemsList->setFocus();
}

QList<Finding> KELDA::setupErrors()
{
    runChecks();
    QList<Finding> errors;
    for (const Finding &f : m_findings)
        if (f.isError())
            errors << f;
    return errors;
}

bool KELDA::passesChecks(const QString &what, bool offerAnyway)
{
    const QList<Finding> errors = setupErrors();
    if (errors.isEmpty())
        return true;
    const QString head = QStringLiteral("The setup has %1 %2, so the module would not run what the setup says:\n\n")
                             .arg(errors.size())
                             .arg(errors.size() == 1 ? QStringLiteral("error") : QStringLiteral("errors"));
    if (offerAnyway)
        return prompter().ask(this, QMessageBox::Warning, kelda::texts::title(),
                              head + findingLines(errors) + QStringLiteral("\n\n%1 anyway?").arg(what),
                              QMessageBox::Yes | QMessageBox::No)
            == QMessageBox::Yes;
    prompter().tell(this, QMessageBox::Critical, kelda::texts::title(),
                    head + findingLines(errors)
                        + QStringLiteral("\n\nNothing was %1: correct the errors first.").arg(what));
    return false;
}

void KELDA::goTo(int mode, int row, int column)
{
    if (mode < 0 || mode >= kTabCount)
        return;
    ui->tabWidget->setCurrentIndex(mode);
    QTableView *v = view(mode);
    QSortFilterProxyModel *proxy = m_proxies[mode];
    if (row < 0 || row >= m_model->rowCount())
        return;
    const QModelIndex at = proxy->mapFromSource(m_model->index(row, qMax(0, column)));
    if (!at.isValid())
        return;
    v->setCurrentIndex(at);
    v->selectionModel()->select(at, QItemSelectionModel::ClearAndSelect);
    v->scrollTo(at);
    v->setFocus();
}

int KELDA::selectedRow(int tab) const
{
    QItemSelectionModel *selection = view(tab)->selectionModel();
    QModelIndex at =
        selection && selection->hasSelection() ? selection->selectedIndexes().value(0) : view(tab)->currentIndex();
    at = m_proxies[tab]->mapToSource(at);
    return at.isValid() ? at.row() : -1;
}

void KELDA::whereUsed()
{
    const int tab = ui->tabWidget->currentIndex();
    const kelda::ItemType type = PMModel::itemTypeOfMode(tab);
    const int row = kelda::isReferable(type) ? selectedRow(tab) : -1;
    if (row < 0) {
        prompter().tell(this, QMessageBox::Information, kelda::texts::title(),
                        QStringLiteral("Select a row of the Keypad, Switches, CAN Inputs, Timers, States, LX1 "
                                       "Outputs, LX2 LEDs or CAN Outputs table to see where it is used."));
        return;
    }
    const QList<kelda::Use> uses = kelda::findUses(m_model->session(), type, row);
    QStringList texts;
    for (const kelda::Use &use : uses)
        texts << kelda::useText(m_model->session(), use, kelda::RowNumber::Shown);
    WhereUsed dialog(QStringLiteral("\"%1\"").arg(m_model->itemName(type, row)), uses, texts, this);
    prompter().exec(&dialog);
    kelda::Use use;
    if (dialog.chosen(use)) {
        const kelda::UseLocation at = kelda::useLocation(use);
        goTo(at.mode, at.row, at.column);
    }
}

bool KELDA::confirmRemove(int tab, int row)
{
    const kelda::ItemType type = PMModel::itemTypeOfMode(tab);
    const QList<kelda::Use> uses = kelda::findUses(m_model->session(), type, row);
    if (uses.isEmpty())
        return true;
    QStringList lines;
    for (const kelda::Use &use : uses)
        lines << QStringLiteral("• ") + kelda::useText(m_model->session(), use, kelda::RowNumber::Shown);
    const QString text =
        QStringLiteral("\"%1\" is used by:\n\n%2\n\nRemoving it removes these uses too: list entries are deleted, "
                       "event inputs lose their target and PWM inputs become NONE.")
            .arg(m_model->itemName(type, row), lines.join(QLatin1Char('\n')));
    return prompter().choose(this, QMessageBox::Warning, kelda::texts::title(), text,
                             {QStringLiteral("Remove"), QStringLiteral("Cancel")})
        == 0;
}
