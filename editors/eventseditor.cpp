#include "eventseditor.h"

#include "pmmodel.h"
#include "ui_eventseditor.h"
#include "subitemdelegate.h"

EventsEditor::EventsEditor(QWidget *parent) : EntryListEditor(parent), ui(new Ui::EventsEditorClass)
{
    ui->setupUi(this);
    // In the order of kelda::EventList.
    for (QTableView *v :
         {ui->statesSet_tableView, ui->statesClear_tableView, ui->timersStart_tableView, ui->timersStop_tableView})
        addList(new EventProxyModel(this), v);

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
    return static_cast<EventProxyModel *>(list(kind));
}

EventsEditor::~EventsEditor()
{
    delete ui;
}

EntryListDelegate *EventsEditor::makeDelegate(QObject *parent) const
{
    return new SubItemDelegate(parent);
}

void EventsEditor::setEvent(PMModel *pmModel, int eventRow)
{
    showItem(pmModel, eventRow);
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
