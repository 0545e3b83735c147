#include "stateseditor.h"

#include <QItemSelectionModel>

#include "pmmodel.h"
#include "ui_stateseditor.h"
#include "statedelegate.h"

StatesEditor::StatesEditor(QWidget *parent) : QDialog(parent), ui(new Ui::StatesEditorClass)
{
    ui->setupUi(this);
    for (auto &m : models)
        m = new StateProxyModel(this);

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
    return kind >= 0 && kind < kelda::kStateListCount ? models[kind] : nullptr;
}

StatesEditor::~StatesEditor()
{
    delete ui;
}

QTableView *StatesEditor::view(int kind) const
{
    switch (kind) {
    case 0:
        return ui->LX2Out_tableView;
    case 1:
        return ui->LX1Out_tableView;
    case 2:
        return ui->CANOut_tableView;
    default:
        return nullptr;
    }
}

void StatesEditor::setState(PMModel *pmModel, int stateRow)
{
    model = pmModel;
    row = stateRow;
    for (int k = 0; k < kelda::kStateListCount; ++k) {
        models[k]->setList(k, row, model);
        view(k)->setModel(models[k]);
        // One delegate per view: a shared one would send every view the
        // commit and close signals of the others' editors.
        view(k)->setItemDelegate(new StateDelegate(view(k)));
    }
}

void StatesEditor::addTo(int kind)
{
    models[kind]->addEntry(row, kind);
}

void StatesEditor::removeFrom(int kind)
{
    // Without a selection nothing is removed; with several, the first selected row.
    QItemSelectionModel *selection = view(kind)->selectionModel();
    if (!selection || !selection->hasSelection())
        return;
    const QModelIndexList selected = selection->selectedIndexes();
    if (selected.isEmpty())
        return;
    models[kind]->removeEntry(row, kind, selected.first().row());
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
