// The main window's setup checks: the Problems dock's place in the window,
// the gates in front of Go, Upload and Export, Where Used, and the question
// before a Remove that would take uses along.
#include "kelda.h"
#include "ui_kelda.h"

#include <QItemSelectionModel>
#include <QSortFilterProxyModel>
#include <QTableView>

#include "crossrefs.h"
#include "pmcolumns.h"
#include "pmmodel.h"
#include "problemsdock.h"
#include "setupcheck.h"
#include "texts.h"
#include "whereused.h"

using kelda::check::Finding;

namespace {

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
    m_problems = new ProblemsDock(m_model, ui->problemsDock, ui->problemsList, this);
    connect(m_problems, &ProblemsDock::activated, this, [this](const Finding &f) {
        if (f.option >= 0)
            showItem(f.table, f.mode, f.option);
        else
            goTo(f.mode, f.row - 1, f.column);
    });

    connect(ui->action_CheckSetup, &QAction::triggered, this, &KELDA::checkSetup);
    connect(ui->action_WhereUsed, &QAction::triggered, this, &KELDA::whereUsed);
    for (int tab = 0; tab < kTabCount; ++tab) {
        if (!kelda::isReferable(PMModel::itemTypeOfMode(tab)))
            continue;
        view(tab)->addAction(ui->action_WhereUsed);
        view(tab)->setContextMenuPolicy(Qt::ActionsContextMenu);
    }
    // The first check follows the window's first paint, like every later one.
    m_problems->runSoon();
}

const QList<Finding> &KELDA::findings() const
{
    return m_problems->findings();
}

void KELDA::checkSetup()
{
    ui->problemsDock->show();
    ui->problemsDock->raise();
    m_problems->run();
    ui->problemsList->setFocus();
}

QList<Finding> KELDA::setupErrors()
{
    m_problems->run();
    QList<Finding> errors;
    for (const Finding &f : m_problems->findings())
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
