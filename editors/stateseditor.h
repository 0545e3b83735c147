// StatesEditor: edits the three output lists of one state. Every change goes
// into the setup at once; "OK" only closes.
#pragma once

#include "entrylisteditor.h"
#include "schema.h"
#include "stateproxymodel.h"

class PMModel;

namespace Ui {
class StatesEditorClass;
}

class StatesEditor : public EntryListEditor
{
    Q_OBJECT

public:
    explicit StatesEditor(QWidget *parent = nullptr);
    ~StatesEditor() override;

    void setState(PMModel *model, int row);

    // The form and the list models, for the main window and the tests.
    Ui::StatesEditorClass *form() const { return ui; }
    StateProxyModel *listModel(int kind) const;

public slots:
    void addLX1();
    void removeLX1();
    void addLX2();
    void removeLX2();
    void addCAN();
    void removeCAN();

protected:
    EntryListDelegate *makeDelegate(QObject *parent) const override;

private:
    Ui::StatesEditorClass *ui;
};
