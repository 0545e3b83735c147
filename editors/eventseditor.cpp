#include "eventseditor.h"

#include <QItemSelectionModel>

#include "pmmodel.h"
#include "ui_eventseditor.h"
#include "subitemdelegate.h"

EventsEditor::EventsEditor(QWidget *parent) : QDialog(parent), ui(new Ui::EventsEditorClass)
{
    ui->setupUi(this);
    for (auto &m : models)
        m = new EventProxyModel(this);

    connect(ui->addStateSet, &QPushButton::clicked, this, &EventsEditor::addStateSet);
    connect(ui->removeStateSet, &QPushButton::clicked, this, &EventsEditor::removeStateSet);
    connect(ui->addStateClear, &QPushButton::clicked, this, &EventsEditor::addStateClear);
    connect(ui->removeStateClear, &QPushButton::clicked, this, &EventsEditor::removeStateClear);
    connect(ui->addTimerStart, &QPushButton::clicked, this, &EventsEditor::addTimerStart);
    connect(ui->removeTimerStart, &QPushButton::clicked, this, &EventsEditor::removeTimerStart);
    connect(ui->addTimerStop, &QPushButton::clicked, this, &EventsEditor::addTimerStop);
    connect(ui->removeTimerStop, &QPushButton::clicked, this, &EventsEditor::removeTimerStop);
    connect(ui->OKButton, &QPushButton::clicked, this, &QWidget::close);
}

EventProxyModel *EventsEditor::listModel(int kind) const
{
    return kind >= 0 && kind < kelda::kEventListCount ? models[kind] : nullptr;
}

EventsEditor::~EventsEditor()
{
    delete ui;
}

QTableView *EventsEditor::view(int kind) const
{
    switch (kind) {
    case 0:
        return ui->statesSet_tableView;
    case 1:
        return ui->statesClear_tableView;
    case 2:
        return ui->timersStart_tableView;
    case 3:
        return ui->timersStop_tableView;
    default:
        return nullptr;
    }
}

void EventsEditor::setEvent(PMModel *pmModel, int eventRow)
{
    model = pmModel;
    row = eventRow;
    for (int k = 0; k < kelda::kEventListCount; ++k) {
        models[k]->setList(k, row, model);
        view(k)->setModel(models[k]);
        // One delegate per view: a shared one would send every view the
        // commit and close signals of the others' editors.
        view(k)->setItemDelegate(new SubItemDelegate(view(k)));
    }
}

void EventsEditor::addTo(int kind)
{
    models[kind]->addEntry(row, kind);
}

void EventsEditor::removeFrom(int kind)
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

void EventsEditor::addStateSet()
{
    addTo(0);
}
void EventsEditor::removeStateSet()
{
    removeFrom(0);
}
void EventsEditor::addStateClear()
{
    addTo(1);
}
void EventsEditor::removeStateClear()
{
    removeFrom(1);
}
void EventsEditor::addTimerStart()
{
    addTo(2);
}
void EventsEditor::removeTimerStart()
{
    removeFrom(2);
}
void EventsEditor::addTimerStop()
{
    addTo(3);
}
void EventsEditor::removeTimerStop()
{
    removeFrom(3);
}
