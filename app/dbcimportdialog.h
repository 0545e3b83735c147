// CAN Inputs > "Import from DBC…": the signals of a CAN database with their
// class against the open setup, searched as the user types; the chosen ones
// become CAN inputs in one undo step, compared in physical units.
#pragma once

#include <QAbstractTableModel>
#include <QDialog>

#include "dbcimport.h"
#include "dbcsearch.h"

class KELDA;
class PMModel;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTableView;

// The listed signals: the rows of the search that matched.
class DbcSignalModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    enum Column { Signal, Message, Identifier, Unit, Class, Channel, Reason, Count };
    explicit DbcSignalModel(QObject *parent = nullptr) : QAbstractTableModel(parent) { }

    void setDatabase(const kelda::dbc::Database *db, const kelda::dbc::SignalList *list);
    void setShown(const QList<int> &rows);
    int listRow(int row) const { return m_shown.value(row, -1); }

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

private:
    const kelda::dbc::Database *m_db = nullptr;
    const kelda::dbc::SignalList *m_list = nullptr;
    QList<int> m_shown;
};

class DbcImportDialog : public QDialog
{
    Q_OBJECT

public:
    DbcImportDialog(PMModel *model, QWidget *parent = nullptr);

    // Reads and lists the database; false with the reason when it cannot.
    bool openFile(const QString &path, QString *reason);

    QLineEdit *searchBox() const { return m_search; }
    QTableView *table() const { return m_table; }
    QComboBox *compareBox() const { return m_compare; }
    QLineEdit *valueBox() const { return m_value; }
    QLineEdit *nameBox() const { return m_name; }
    QLabel *preview() const { return m_preview; }
    QPushButton *importButton() const { return m_import; }
    DbcSignalModel *signalModel() const { return m_model; }

signals:
    // After an import: how many inputs, in one sentence for the status bar.
    void imported(int count, const QString &summary);

private:
    void buildLayout();
    void search(const QString &text);
    // The inputs the selection would make, or why it cannot.
    bool plan(QList<kelda::dbc::ImportPlan> *plans, QString *why) const;
    void updatePreview();
    void importChosen();

    PMModel *m_setup;
    QString m_path;
    kelda::dbc::Database m_db;
    kelda::dbc::SignalList m_list;
    DbcSignalModel *m_model;
    QLabel *m_file = nullptr;
    QLineEdit *m_search = nullptr;
    QTableView *m_table = nullptr;
    QComboBox *m_compare = nullptr;
    QLineEdit *m_value = nullptr;
    QLineEdit *m_name = nullptr;
    QLabel *m_preview = nullptr;
    QPushButton *m_import = nullptr;
};

// Puts "Import from DBC…" (action_ImportDbc) on the CAN Inputs tab, beside
// its buttons and on its table's context menu, and runs it.
void installDbcImport(KELDA *window);
void importFromDbc(KELDA *window);
