// CompareDialog: the differences between a setup file and the open setup,
// grouped by table. A double-click on a difference asks the main window to
// show the item in the open setup.
#pragma once

#include <QDialog>

#include "setupcompare.h"

class QTreeWidgetItem;

namespace Ui {
class CompareDialog;
}

class CompareDialog : public QDialog
{
    Q_OBJECT

public:
    // Roles of a difference's tree item.
    enum Role : int {
        TabRole = Qt::UserRole,  // int: the main window's tab
        RowRole,  // int: row in the open setup (an option's index); -1: nothing to show
        TableRole,  // QString: the Difference's table
    };

    explicit CompareDialog(QWidget *parent = nullptr);
    ~CompareDialog() override;

    // fileName: the setup file compared with the open setup (the old side).
    void setComparison(const kelda::compare::Comparison &comparison, const QString &fileName);

    Ui::CompareDialog *form() const { return ui; }

signals:
    // Show row `row` of `table` (an option when table is "Options") on tab `tab`.
    void goToItem(const QString &table, int tab, int row);

private:
    void itemActivated(QTreeWidgetItem *item);

    Ui::CompareDialog *ui;
};
