// StatesEditor: edits the three output lists of one state. Every change goes
// into the setup at once; "OK" only closes.
#pragma once

#include <QDialog>

#include "schema.h"
#include "stateproxymodel.h"

class PMModel;
class QTableView;

namespace Ui {
class StatesEditorClass;
}

class StatesEditor : public QDialog
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

private:
    QTableView *view(int kind) const;
    void addTo(int kind);
    void removeFrom(int kind);

    Ui::StatesEditorClass *ui;
    StateProxyModel *models[kelda::kStateListCount];
    PMModel *model = nullptr;
    int row = -1;
};
