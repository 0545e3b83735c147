#include "comparedialog.h"

#include <QFileInfo>
#include <QHeaderView>

#include "ui_comparedialog.h"

using namespace kelda::compare;

CompareDialog::CompareDialog(QWidget *parent) : QDialog(parent), ui(new Ui::CompareDialog)
{
    ui->setupUi(this);
    ui->treeDifferences->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    connect(ui->treeDifferences, &QTreeWidget::itemDoubleClicked, this,
            [this](QTreeWidgetItem *item, int) { itemActivated(item); });
}

CompareDialog::~CompareDialog()
{
    delete ui;
}

void CompareDialog::setComparison(const Comparison &comparison, const QString &fileName)
{
    QTreeWidget *tree = ui->treeDifferences;
    tree->clear();
    const QString file = QFileInfo(fileName).fileName();
    int count = 0;
    QTreeWidgetItem *group = nullptr;
    for (const Difference &d : comparison.differences) {
        if (d.kind == Kind::Image)
            continue;  // the line below the tree says it
        if (!group || group->text(0) != d.table) {
            group = new QTreeWidgetItem(tree, {d.table});
            group->setFirstColumnSpanned(true);
            group->setExpanded(true);
        }
        QString name = d.name;
        if (!d.oldName.isEmpty())
            name += QStringLiteral(" (was %1)").arg(d.oldName);
        auto *item = new QTreeWidgetItem(group, {name, kindName(d.kind), d.message});
        item->setData(0, TabRole, d.mode);
        // A removed item is not in the open setup: there is nothing to go to.
        item->setData(0, RowRole, d.kind == Kind::Note ? -1 : d.newRow);
        item->setData(0, TableRole, d.table);
        item->setToolTip(2, d.message);
        if (d.counts())
            ++count;
    }
    for (int i = 0; i < tree->topLevelItemCount(); ++i) {
        QTreeWidgetItem *g = tree->topLevelItem(i);
        g->setText(0, QStringLiteral("%1 (%2)").arg(g->text(0), QString::number(g->childCount())));
    }
    if (comparison.same())
        ui->labelSummary->setText(QStringLiteral("The open setup is the same as %1.").arg(file));
    else
        ui->labelSummary->setText(
            QStringLiteral("Changes from %1 to the open setup: %2. Double-click a change to "
                           "show its item in the open setup.")
                .arg(file, count == 1 ? QStringLiteral("1 difference") : QStringLiteral("%1 differences").arg(count)));
    ui->labelImage->setText(QStringLiteral("Compiled images: ") + comparison.imageMessage);
}

void CompareDialog::itemActivated(QTreeWidgetItem *item)
{
    if (!item || !item->parent())
        return;
    const int row = item->data(0, RowRole).toInt();
    const int tab = item->data(0, TabRole).toInt();
    if (row < 0 || tab < 0)
        return;
    emit goToItem(item->data(0, TableRole).toString(), tab, row);
}
