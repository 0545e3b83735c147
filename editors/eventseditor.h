// EventsEditor: edits the four action lists of one event. Every change goes
// into the setup at once; "OK" only closes.
#pragma once

#include "entrylisteditor.h"
#include "eventproxymodel.h"
#include "schema.h"

class PMModel;

namespace Ui {
class EventsEditorClass;
}

class EventsEditor : public EntryListEditor
{
    Q_OBJECT

public:
    explicit EventsEditor(QWidget *parent = nullptr);
    ~EventsEditor() override;

    void setEvent(PMModel *model, int row);

    // The form and the list models, for the main window and the tests.
    Ui::EventsEditorClass *form() const { return ui; }
    EventProxyModel *listModel(int kind) const;

public slots:
    void addStateSet();
    void removeStateSet();
    void addStateClear();
    void removeStateClear();
    void addTimerStart();
    void removeTimerStart();
    void addTimerStop();
    void removeTimerStop();

protected:
    EntryListDelegate *makeDelegate(QObject *parent) const override;

private:
    Ui::EventsEditorClass *ui;
};
