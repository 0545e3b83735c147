#include "whereused.h"
#include "ui_whereused.h"

#include <QPushButton>

WhereUsed::WhereUsed(const QString &what, const QList<kelda::Use> &uses, const QStringList &texts, QWidget *parent)
    : QDialog(parent), ui(new Ui::WhereUsedClass), m_uses(uses)
{
    ui->setupUi(this);
    ui->label->setText(uses.isEmpty()
                           ? tr("Nothing uses %1: it can be removed without changing anything else.").arg(what)
                           : tr("%1 is used %n time(s):", nullptr, int(uses.size())).arg(what));
    ui->usesList->addItems(texts);
    ui->usesList->setCurrentRow(0);
    ui->usesList->setFocus();
    connect(ui->buttonBox, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(ui->usesList, &QListWidget::itemActivated, this, [this](QListWidgetItem *item) {
        m_chosen = ui->usesList->row(item);
        accept();
    });
}

WhereUsed::~WhereUsed()
{
    delete ui;
}

bool WhereUsed::chosen(kelda::Use &use) const
{
    if (m_chosen < 0 || m_chosen >= m_uses.size())
        return false;
    use = m_uses.at(m_chosen);
    return true;
}
