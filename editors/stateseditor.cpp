#include "stateseditor.h"

#include "pmmodel.h"
#include "ui_stateseditor.h"
#include "statedelegate.h"

StatesEditor::StatesEditor(QWidget *parent) : EntryListEditor(parent), ui(new Ui::StatesEditorClass)
{
    ui->setupUi(this);
    // In the order of kelda::StateList.
    for (QTableView *v : {ui->LX2Out_tableView, ui->LX1Out_tableView, ui->CANOut_tableView})
        addList(new StateProxyModel(this), v);

    connect(ui->addLX1, &QPushButton::clicked, this, &StatesEditor::addLX1);
    connect(ui->removeLX1, &QPushButton::clicked, this, &StatesEditor::removeLX1);
    connect(ui->addLX2, &QPushButton::clicked, this, &StatesEditor::addLX2);
    connect(ui->removeLX2, &QPushButton::clicked, this, &StatesEditor::removeLX2);
    connect(ui->addCAN, &QPushButton::clicked, this, &StatesEditor::addCAN);
    connect(ui->removeCAN, &QPushButton::clicked, this, &StatesEditor::removeCAN);
    connect(ui->OKButton, &QPushButton::clicked, this, &QWidget::close);
}

StateProxyModel *StatesEditor::listModel(int kind) const
{
    return static_cast<StateProxyModel *>(list(kind));
}

StatesEditor::~StatesEditor()
{
    delete ui;
}

EntryListDelegate *StatesEditor::makeDelegate(QObject *parent) const
{
    return new StateDelegate(parent);
}

void StatesEditor::setState(PMModel *pmModel, int stateRow)
{
    showItem(pmModel, stateRow);
}

void StatesEditor::addLX2()
{
    addTo(int(kelda::StateList::Lx2Leds));
}
void StatesEditor::removeLX2()
{
    removeFrom(int(kelda::StateList::Lx2Leds));
}
void StatesEditor::addLX1()
{
    addTo(int(kelda::StateList::Lx1Outputs));
}
void StatesEditor::removeLX1()
{
    removeFrom(int(kelda::StateList::Lx1Outputs));
}
void StatesEditor::addCAN()
{
    addTo(int(kelda::StateList::CanOutputs));
}
void StatesEditor::removeCAN()
{
    removeFrom(int(kelda::StateList::CanOutputs));
}
