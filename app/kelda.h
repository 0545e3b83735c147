// KELDA: the main window. One tab per table of the setup, all shown through the
// one PMModel whose mode follows the current tab.
#pragma once

#include <QMainWindow>
#include <QList>
#include <QModelIndex>
#include <QPointer>
#include <QSettings>

#include <array>
#include <memory>

#include "pmmodel.h"
#include "prompter.h"
#include "setupcheck.h"

class PMModel;
class PMDelegate;
class ProblemsDock;
class QSortFilterProxyModel;
class QTableView;
class QDialog;
class QTimer;
class QUndoStack;
class UploadForm;

namespace Ui {
class KELDAClass;
}

class KELDA : public QMainWindow
{
    Q_OBJECT

public:
    explicit KELDA(QWidget *parent = nullptr);
    // Starts with the given prompter, so that questions asked while the window is
    // built (the reopen of the last setup) are answered by it too. A setupFile
    // (kelda FILE, from the file manager) is opened instead of the last setup.
    explicit KELDA(std::unique_ptr<Prompter> prompter, QWidget *parent = nullptr, const QString &setupFile = QString());
    ~KELDA() override;

    static constexpr int kTabCount = 10;

    // Test seam: questions, file dialogs and modal dialogs go through this.
    void setPrompter(std::unique_ptr<Prompter> prompter);
    Prompter &prompter() { return *m_prompter; }

    PMModel *model() const { return m_model; }
    QSettings &settings() { return *m_settings; }
    QSortFilterProxyModel *proxy(int tab) const { return m_proxies[tab]; }
    QTableView *view(int tab) const;
    Ui::KELDAClass *form() const { return ui; }
    // Simulator windows started from this window that are still open.
    QList<QWidget *> simulators() const;
    // What the Problems dock shows.
    const QList<kelda::check::Finding> &findings() const;
    // Every change of the setup, for Edit > Undo and Redo (kelda_undo.cpp).
    QUndoStack *undoStack() const { return m_undoStack; }
    // Puts one side of a recorded step in place and shows where it was made.
    void showStep(const kelda::SetupStep &step, const kelda::SetupSnapshot &setup);

public slots:
    void addRow();
    void deleteRow();
    void fileNew();
    void fileOpen();
    void fileSave();
    void fileSaveAs();
    void fileExport();  // kelda_export.cpp
    void fileUpload();  // kelda_ecu.cpp
    void liveView();  // kelda_ecu.cpp: Module > Live View
    void helpAbout();  // kelda_ecu.cpp
    void startSimulation();  // kelda_simulate.cpp
    void configPort();  // kelda_ecu.cpp
    void compareWith();  // kelda_compare.cpp
    void editEvent(const QModelIndex &index);
    void editState(const QModelIndex &index);
    void editLX1(const QModelIndex &index);
    void rowsInserted(const QModelIndex &parent, int start, int end);
    void CANCurrentIndexChanged(int index);
    void MinPTValueChanged(double value);
    void DPTValueChanged(double value);
    void LPTValueChanged(double value);
    void FuseResetValueChanged(double value);
    void FuseRetryTimeValueChanged(double value);
    void MaxRetriesValueChanged(int value);
    void RebroadcastChanged(int value);
    // Tools menu (kelda_check.cpp)
    void checkSetup();
    void whereUsed();
    void setupReport();  // kelda_report.cpp
    void helpUserGuide();  // kelda_conventions.cpp

    // Says in the status bar what was done; a file written gets an Open button (kelda_conventions.cpp).
    void showStatus(const QString &text, const QString &fileToOpen = {});

protected:
    void closeEvent(QCloseEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    enum class SaveResult { Saved, Cancelled, Failed };

    bool maybeSave();
    void loadOptions();
    void setUpOptionBoxes();
    // The Options page's box of an option (OptionIndex).
    QWidget *optionBox(int index) const;
    // The parts of the window the constructor puts together.
    void setUpTables();
    void setUpDelegate();
    void setUpActions();
    void reopenLastSetup(const QString &setupFile);
    SaveResult save();
    SaveResult saveAs();
    // The upload dialog's summary before the first byte (kelda_ecu.cpp).
    void askBeforeUpload(UploadForm *form);
    void reportOpenFailure(const QString &path, const QString &reason, const QString &outcome);
    void reportSaveFailure(const QString &path);
    // Shows an item of the open setup: a table row, or an option on the Options tab (kelda_compare.cpp).
    void showItem(const QString &table, int tab, int row);
    // The view whose viewport holds an in-cell editor of the shared delegate.
    QTableView *editorOwner(QWidget *editor) const;
    // Setup checks (kelda_check.cpp)
    void setUpChecks();
    QList<kelda::check::Finding> setupErrors();
    // False when the setup has errors and the command must not go on; with
    // offerAnyway the user may still choose to go on.
    bool passesChecks(const QString &what, bool offerAnyway);
    void goTo(int mode, int row, int column);
    int selectedRow(int tab) const;
    bool confirmRemove(int tab, int row);
    void setUpUndo();
    // Standard keys, the modified marker, the status bar and the guide (kelda_conventions.cpp).
    void setUpConventions();
    // Keys, tooltips and the remembered window state (kelda_views.cpp).
    void setUpViews();
    void saveViewState();
    QList<int> columnWidths(int tab) const;
    void applyColumnWidths(int tab);
    void editLists(QDialog *dialog, int tab, const QModelIndex &source);

    Ui::KELDAClass *ui = nullptr;
    PMModel *m_model = nullptr;
    PMDelegate *m_delegate = nullptr;
    std::array<QSortFilterProxyModel *, kTabCount> m_proxies{};
    std::unique_ptr<QSettings> m_settings;
    std::unique_ptr<Prompter> m_prompter;
    QList<QPointer<QWidget>> m_simulators;  // started by Go, closed with the window
    ProblemsDock *m_problems = nullptr;  // kelda_check.cpp
    QUndoStack *m_undoStack = nullptr;
    std::array<QList<int>, kTabCount> m_columnWidths;  // set by the user; empty: fit the contents
    bool m_applyingWidths = false;
    QPointer<QWidget> m_guide;  // Help > User Guide, made on first use
};
