// WhereUsed: the list of every record that names one item; choosing a line
// closes the dialog with that use as its choice.
#pragma once

#include <QDialog>
#include <QList>

#include "crossrefs.h"

namespace Ui {
class WhereUsedClass;
}

class WhereUsed : public QDialog
{
    Q_OBJECT

public:
    WhereUsed(const QString &what, const QList<kelda::Use> &uses, const QStringList &texts, QWidget *parent = nullptr);
    ~WhereUsed() override;

    // The use chosen by double-click or Enter; false when the dialog was just closed.
    bool chosen(kelda::Use &use) const;
    Ui::WhereUsedClass *form() const { return ui; }

private:
    Ui::WhereUsedClass *ui;
    QList<kelda::Use> m_uses;
    int m_chosen = -1;
};
