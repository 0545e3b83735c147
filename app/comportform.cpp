#include "comportform.h"
#include "ui_comportform.h"

#include "corla_handles.h"

COMPortForm::COMPortForm(QWidget *parent, QString port) : QDialog(parent), ui(new Ui::COMPortFormClass)
{
    ui->setupUi(this);
    connect(ui->cancelButton, &QPushButton::clicked, this, &COMPortForm::cancel);
    fillPorts();
    selectPort(port);
}

COMPortForm::~COMPortForm()
{
    delete ui;
}

QString COMPortForm::port() const
{
    return ui->portCombo->currentText();
}

QComboBox *COMPortForm::portCombo() const
{
    return ui->portCombo;
}

void COMPortForm::cancel()
{
    close();
}

void COMPortForm::fillPorts()
{
    for (const QString &name : corla::PortList::names())
        ui->portCombo->addItem(name, 0);
}

void COMPortForm::selectPort(const QString &name)
{
    int index = ui->portCombo->findText(name, Qt::MatchExactly);
    if (index < 0)
        index = 0;
    // With no items the combo box stays without a current item.
    ui->portCombo->setCurrentIndex(index);
}
