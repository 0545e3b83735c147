// EntryListEditor: the dialog behind EventsEditor and StatesEditor. It shows
// the lists of one item, each in its view with its own delegate, and adds or
// removes their entries; every change goes into the setup at once.
#pragma once

#include <QDialog>
#include <QList>

class EntryListModel;
class EntryListDelegate;
class PMModel;
class QTableView;

class EntryListEditor : public QDialog
{
    Q_OBJECT

public:
    explicit EntryListEditor(QWidget *parent = nullptr);

protected:
    // The derived dialog names its lists once, in the order of their kinds.
    void addList(EntryListModel *list, QTableView *view);
    // Shows the lists of the item in the given row.
    void showItem(PMModel *model, int row);
    EntryListModel *list(int kind) const;
    QTableView *view(int kind) const;
    void addTo(int kind);
    // Without a selection nothing is removed; with several, the first selected row.
    void removeFrom(int kind);
    // One delegate a view: a shared one would send every view the commit and
    // close signals of the others' editors.
    virtual EntryListDelegate *makeDelegate(QObject *parent) const = 0;

private:
    QList<EntryListModel *> m_lists;
    QList<QTableView *> m_views;
    PMModel *m_model = nullptr;
    int m_row = -1;
};
