#include "kelda.h"

#include <QCloseEvent>
#include <QDir>
#include <QFileInfo>
#include <QSignalBlocker>
#include <QHeaderView>
#include <QSortFilterProxyModel>
#include <QStatusBar>
#include <QTableView>
#include <QUndoStack>

#include "dbcimportdialog.h"
#include "eventseditor.h"
#include "hexspinbox.h"
#include "pmcolumns.h"
#include "pmdelegate.h"
#include "pmmodel.h"
#include "settings.h"
#include "texts.h"
#include "stateseditor.h"
#include "strictspinbox.h"
#include "ui_kelda.h"

using kelda::settings::Key;

namespace {

const QString kTitle = kelda::texts::title();
const QString kFileFilter = kelda::texts::setupFilter();
const QString kTitlePrefix = kelda::texts::titlePrefix();
const QString kNewTitle =
    kelda::texts::titlePrefix() + QStringLiteral("New setup");  // lower-case s, unlike the form's start title

constexpr int kEventsTab = static_cast<int>(Mode::Events);
constexpr int kStatesTab = static_cast<int>(Mode::States);

// What failed on which file, and the model's reason.
QString failureDetail(const QString &what, const QString &path, const QString &reason)
{
    const QString quoted = QLatin1Char('"') + path + QLatin1Char('"');
    if (reason.isEmpty())
        return what + QLatin1Char(' ') + quoted + QStringLiteral(" (no reason given).");
    return what + QLatin1Char(' ') + quoted + QStringLiteral(": ") + reason;
}

}  // namespace

KELDA::KELDA(QWidget *parent) : KELDA(std::make_unique<Prompter>(), parent)
{ }

KELDA::KELDA(std::unique_ptr<Prompter> prompter, QWidget *parent, const QString &setupFile)
    : QMainWindow(parent),
      ui(new Ui::KELDAClass),
      m_prompter(prompter ? std::move(prompter) : std::make_unique<Prompter>())
{
    // The icon lives in a static library; its resources must be registered by hand.
    Q_INIT_RESOURCE(kelda);

    ui->setupUi(this);
    ui->tabWidget->setCurrentIndex(0);

    // The model starts with a new setup in mode 0, matching tab 0.
    m_model = new PMModel();
    setUpTables();
    setUpDelegate();
    setUpActions();
    setUpOptionBoxes();
    m_settings = kelda::settings::open();
    setUpUndo();
    reopenLastSetup(setupFile);
    loadOptions();
    setUpChecks();
    setUpViews();
    setUpConventions();
    installDbcImport(this);
}

void KELDA::setUpTables()
{
    for (int tab = 0; tab < kTabCount; ++tab) {
        auto *proxy = new QSortFilterProxyModel(this);
        proxy->setSourceModel(m_model);
        proxy->setSortCaseSensitivity(Qt::CaseInsensitive);
        proxy->setDynamicSortFilter(true);
        m_proxies[tab] = proxy;
        view(tab)->setModel(proxy);
        // Rows start in the model's order: show no sort arrow until a header is clicked.
        view(tab)->horizontalHeader()->setSortIndicator(-1, Qt::AscendingOrder);
    }
    ui->Event_tableView->sortByColumn(kelda::EventCol::Priority, Qt::AscendingOrder);
    connect(m_model, &QAbstractItemModel::rowsInserted, this, &KELDA::rowsInserted);
    connect(ui->Event_tableView, &QAbstractItemView::clicked, this, &KELDA::editEvent);
    connect(ui->States_tableView, &QAbstractItemView::clicked, this, &KELDA::editState);
    connect(ui->LX1_tableView, &QAbstractItemView::clicked, this, &KELDA::editLX1);
    connect(ui->tabWidget, &QTabWidget::currentChanged, m_model, &PMModel::setMode);
    // A value stored otherwise than typed (rounded to a step, a shared byte order) is said so.
    connect(m_model, &PMModel::editNoted, this, [this](const QString &note) { statusBar()->showMessage(note, 15000); });
}

void KELDA::setUpDelegate()
{
    // Every view, the fixed lists too: a refused rename says why wherever it is made.
    m_delegate = new PMDelegate();
    for (int tab = 0; tab < kTabCount; ++tab) {
        QTableView *v = view(tab);
        v->setItemDelegate(m_delegate);
        // Each view hears every commit of the shared delegate; only the view
        // that owns the editor may take it, so the views' own links are replaced.
        disconnect(m_delegate, SIGNAL(commitData(QWidget *)), v, SLOT(commitData(QWidget *)));
        disconnect(m_delegate, SIGNAL(closeEditor(QWidget *, QAbstractItemDelegate::EndEditHint)), v,
                   SLOT(closeEditor(QWidget *, QAbstractItemDelegate::EndEditHint)));
    }
    connect(m_delegate, &QAbstractItemDelegate::commitData, this, [this](QWidget *editor) {
        if (QTableView *owner = editorOwner(editor))
            QMetaObject::invokeMethod(owner, "commitData", Qt::DirectConnection, Q_ARG(QWidget *, editor));
    });
    connect(m_delegate, &QAbstractItemDelegate::closeEditor, this,
            [this](QWidget *editor, QAbstractItemDelegate::EndEditHint hint) {
                // Tab in an editor commits it and stays on the cell, as Tab in the
                // table leaves the table rather than walking its cells.
                if (hint == QAbstractItemDelegate::EditNextItem || hint == QAbstractItemDelegate::EditPreviousItem)
                    hint = QAbstractItemDelegate::NoHint;
                if (QTableView *owner = editorOwner(editor))
                    QMetaObject::invokeMethod(owner, "closeEditor", Qt::DirectConnection, Q_ARG(QWidget *, editor),
                                              Q_ARG(QAbstractItemDelegate::EndEditHint, hint));
            });
    // After the editor has closed, so the box does not interrupt the commit.
    connect(
        m_delegate, &PMDelegate::commitRefused, this,
        [this](QWidget *, const QString &reason) { this->prompter().tell(this, QMessageBox::Warning, kTitle, reason); },
        Qt::QueuedConnection);
}

void KELDA::setUpActions()
{
    connect(ui->action_New, &QAction::triggered, this, &KELDA::fileNew);
    connect(ui->action_Open, &QAction::triggered, this, &KELDA::fileOpen);
    connect(ui->action_Save, &QAction::triggered, this, &KELDA::fileSave);
    connect(ui->actionSave_As, &QAction::triggered, this, &KELDA::fileSaveAs);
    connect(ui->action_Export, &QAction::triggered, this, &KELDA::fileExport);
    connect(ui->action_Upload, &QAction::triggered, this, &KELDA::fileUpload);
    connect(ui->action_LiveView, &QAction::triggered, this, &KELDA::liveView);
    connect(ui->action_Go, &QAction::triggered, this, &KELDA::startSimulation);
    connect(ui->action_COM_Port, &QAction::triggered, this, &KELDA::configPort);
    connect(ui->action_About, &QAction::triggered, this, &KELDA::helpAbout);
    connect(ui->action_Compare, &QAction::triggered, this, &KELDA::compareWith);
    connect(ui->action_Report, &QAction::triggered, this, &KELDA::setupReport);
    // actionE_xit -> close() is made by the form.

    for (QPushButton *add : {ui->addCANButton, ui->addTimerButton, ui->addEventButton, ui->addStatesButton,
                             ui->addLX1Button, ui->addCANOPButton})
        connect(add, &QPushButton::clicked, this, &KELDA::addRow);
    for (QPushButton *remove : {ui->deleteCANButton, ui->deleteTimerButton, ui->deleteEventButton,
                                ui->deleteStatesButton, ui->deleteLX1Button, ui->deleteCANOPButton})
        connect(remove, &QPushButton::clicked, this, &KELDA::deleteRow);
}

KELDA::~KELDA()
{
    // The history goes first: clearing it reports to the model.
    delete m_undoStack;
    // Views go with the form; the model and the delegate have no parent.
    delete ui;
    ui = nullptr;
    delete m_delegate;
    delete m_model;
}

void KELDA::setPrompter(std::unique_ptr<Prompter> prompter)
{
    m_prompter = prompter ? std::move(prompter) : std::make_unique<Prompter>();
}

QTableView *KELDA::editorOwner(QWidget *editor) const
{
    for (int tab = 0; tab < kTabCount; ++tab) {
        QTableView *v = view(tab);
        if (editor && v->viewport()->isAncestorOf(editor))
            return v;
    }
    return nullptr;
}

QTableView *KELDA::view(int tab) const
{
    switch (static_cast<Mode>(tab)) {
    case Mode::Keypad:
        return ui->keyPad_tableView;
    case Mode::Switches:
        return ui->switches_tableView;
    case Mode::CanInputs:
        return ui->CANInp_tableView;
    case Mode::Timers:
        return ui->Timer_tableView;
    case Mode::Events:
        return ui->Event_tableView;
    case Mode::States:
        return ui->States_tableView;
    case Mode::Lx1Outputs:
        return ui->LX1_tableView;
    case Mode::Lx2Leds:
        return ui->LX2LED_tableView;
    case Mode::CanOutputs:
        return ui->CANOutput_tableView;
    case Mode::Pwm:
        return ui->PWM_tableView;
    }
    return nullptr;
}

// ---- tables

void KELDA::addRow()
{
    const int tab = ui->tabWidget->currentIndex();
    if (!kelda::modeHasRows(tab))
        return;
    if (m_model->insertRows(0, 1, QModelIndex()))
        return;
    // The raw image counts each table in one byte.
    const QString table = ui->tabWidget->tabText(tab);
    if (m_model->rowCount() >= kelda::kMaxTableItems) {
        prompter().tell(this, QMessageBox::Warning, kTitle,
                        QStringLiteral("The %1 table is full: it may hold at most %2 rows.\n"
                                       "Remove a row before adding another.")
                            .arg(table)
                            .arg(kelda::kMaxTableItems));
    } else {
        prompter().tell(this, QMessageBox::Warning, kTitle,
                        QStringLiteral("A row could not be added to the %1 table.").arg(table));
    }
}

void KELDA::deleteRow()
{
    const int tab = ui->tabWidget->currentIndex();
    if (!kelda::modeHasRows(tab))
        return;
    QItemSelectionModel *selection = view(tab)->selectionModel();
    if (!selection || !selection->hasSelection())
        return;
    const QModelIndexList selected = selection->selectedIndexes();
    if (selected.isEmpty())
        return;
    // Removing an item that something uses takes those uses along: ask first.
    const QModelIndex source = m_proxies[tab]->mapToSource(selected.first());
    if (source.isValid() && !confirmRemove(tab, source.row()))
        return;
    m_proxies[tab]->removeRows(selected.first().row(), selected.size(), QModelIndex());
}

void KELDA::editEvent(const QModelIndex &index)
{
    if (!index.isValid() || index.column() != kelda::EventCol::Actions)
        return;
    QSortFilterProxyModel *proxy = m_proxies[kEventsTab];
    const QModelIndex source = index.model() == proxy ? proxy->mapToSource(index) : index;
    if (!source.isValid())
        return;
    EventsEditor dialog;
    dialog.setEvent(m_model, source.row());
    editLists(&dialog, kEventsTab, source);
}

void KELDA::editState(const QModelIndex &index)
{
    if (!index.isValid() || index.column() != kelda::StateCol::Outputs)
        return;
    QSortFilterProxyModel *proxy = m_proxies[kStatesTab];
    const QModelIndex source = index.model() == proxy ? proxy->mapToSource(index) : index;
    if (!source.isValid())
        return;
    StatesEditor dialog;
    dialog.setState(m_model, source.row());
    editLists(&dialog, kStatesTab, source);
}

void KELDA::editLists(QDialog *dialog, int tab, const QModelIndex &source)
{
    // Whatever the dialog changes is one step of the history.
    m_model->beginChange(QString());
    prompter().exec(dialog);
    m_model->endChange();
    // Its list edits reset the table; the cell that opened it stays current.
    goTo(tab, source.row(), source.column());
}

void KELDA::editLX1(const QModelIndex &index)
{
    // LX1 outputs are edited in their cells; the edit column opens nothing.
    Q_UNUSED(index);
}

void KELDA::rowsInserted(const QModelIndex &parent, int start, int end)
{
    Q_UNUSED(parent);
    Q_UNUSED(start);
    Q_UNUSED(end);
    if (ui->tabWidget->currentIndex() != kEventsTab)
        return;
    // Sorting away and back puts a fresh event at its sorted place at once.
    QSortFilterProxyModel *proxy = m_proxies[kEventsTab];
    const int column = proxy->sortColumn();
    if (column < 0)
        return;
    const Qt::SortOrder order = proxy->sortOrder();
    proxy->sort(column, order == Qt::AscendingOrder ? Qt::DescendingOrder : Qt::AscendingOrder);
    proxy->sort(column, order);
}

// ---- options page

void KELDA::CANCurrentIndexChanged(int index)
{
    m_model->setOption(static_cast<int>(kelda::OptionIndex::CanSpeed), index);
}

void KELDA::MinPTValueChanged(double value)
{
    m_model->setOption(static_cast<int>(kelda::OptionIndex::MinPressTime), value);
}

void KELDA::DPTValueChanged(double value)
{
    m_model->setOption(static_cast<int>(kelda::OptionIndex::DoublePressTime), value);
}

void KELDA::LPTValueChanged(double value)
{
    m_model->setOption(static_cast<int>(kelda::OptionIndex::LongPressTime), value);
}

void KELDA::FuseResetValueChanged(double value)
{
    m_model->setOption(static_cast<int>(kelda::OptionIndex::FuseResetTime), value);
}

void KELDA::FuseRetryTimeValueChanged(double value)
{
    m_model->setOption(static_cast<int>(kelda::OptionIndex::FuseRetryTime), value);
}

void KELDA::MaxRetriesValueChanged(int value)
{
    m_model->setOption(static_cast<int>(kelda::OptionIndex::FuseMaxRetries), value);
}

void KELDA::RebroadcastChanged(int value)
{
    m_model->setOption(static_cast<int>(kelda::OptionIndex::RebroadcastId), value);
}

QWidget *KELDA::optionBox(int index) const
{
    // In OptionIndex order, as the options table lists them.
    const std::array<QWidget *, kelda::kOptionCount> boxes = {
        ui->dsbMinPT,         ui->dsbDPT,           ui->dsbLPT,        ui->dsbFuseReset,
        ui->dsbFuseRetryTime, ui->sbFuseMaxRetries, ui->comboCANSpeed, ui->hsbRebroadcast};
    return index >= 0 && index < kelda::kOptionCount ? boxes[size_t(index)] : nullptr;
}

void KELDA::setUpOptionBoxes()
{
    // A box writes only what was committed whole (Enter, leaving it, a step).
    const auto refused = [this](const QString &why) { prompter().tell(this, QMessageBox::Warning, kTitle, why); };
    for (int i = 0; i < kelda::kOptionCount; ++i) {
        const kelda::OptionSpec &spec = *kelda::optionSpec(i);
        if (auto *seconds = qobject_cast<StrictDoubleSpinBox *>(optionBox(i))) {
            seconds->setUnit(QString::fromLatin1(spec.label).section(QLatin1Char('/'), 1));
            seconds->setRange(spec.minimum, spec.maximum);
            seconds->setSingleStep(1.0 / spec.scale);
            connect(seconds, &StrictDoubleSpinBox::refused, this, refused, Qt::QueuedConnection);
        } else if (auto *number = qobject_cast<StrictSpinBox *>(optionBox(i))) {
            number->setRange(int(spec.minimum), int(spec.maximum));
            connect(number, &StrictSpinBox::refused, this, refused, Qt::QueuedConnection);
        }
    }
    connect(ui->comboCANSpeed, &QComboBox::currentIndexChanged, this, &KELDA::CANCurrentIndexChanged);
    connect(ui->dsbMinPT, &QDoubleSpinBox::valueChanged, this, &KELDA::MinPTValueChanged);
    connect(ui->dsbDPT, &QDoubleSpinBox::valueChanged, this, &KELDA::DPTValueChanged);
    connect(ui->dsbLPT, &QDoubleSpinBox::valueChanged, this, &KELDA::LPTValueChanged);
    connect(ui->dsbFuseReset, &QDoubleSpinBox::valueChanged, this, &KELDA::FuseResetValueChanged);
    connect(ui->dsbFuseRetryTime, &QDoubleSpinBox::valueChanged, this, &KELDA::FuseRetryTimeValueChanged);
    connect(ui->sbFuseMaxRetries, &QSpinBox::valueChanged, this, &KELDA::MaxRetriesValueChanged);
    connect(ui->hsbRebroadcast, &QSpinBox::valueChanged, this, &KELDA::RebroadcastChanged);
}

void KELDA::loadOptions()
{
    for (int i = 0; i < kelda::kOptionCount; ++i) {
        QWidget *box = optionBox(i);
        // Loading shows the setup; it must not write anything back into it.
        const QSignalBlocker blocker(box);
        const double value = m_model->option(i);
        if (auto *seconds = qobject_cast<QDoubleSpinBox *>(box))
            seconds->setValue(value);
        else if (auto *number = qobject_cast<QSpinBox *>(box))
            number->setValue(static_cast<int>(value));
        else if (auto *choice = qobject_cast<QComboBox *>(box))
            choice->setCurrentIndex(static_cast<int>(value));
    }
}

// ---- setup files

bool KELDA::maybeSave()
{
    if (!m_model->isModified())
        return true;
    const QMessageBox::StandardButton answer =
        prompter().ask(this, QMessageBox::Warning, kTitle,
                       QStringLiteral("Save changed to setup ") + m_model->fileName() + QStringLiteral("?"),
                       QMessageBox::Save | QMessageBox::Discard | QMessageBox::Cancel);
    if (answer == QMessageBox::Cancel)
        return false;
    // Save goes on only once the work is in a file: a failed save or a
    // cancelled Save As keeps the setup, or what the user asked to keep is lost.
    if (answer == QMessageBox::Save)
        return save() == SaveResult::Saved;
    return true;
}

void KELDA::reopenLastSetup(const QString &setupFile)
{
    const QString path = setupFile.isEmpty() ? kelda::settings::read(*m_settings, Key::LastSetup) : setupFile;
    // A folder or a device is no setup that was saved; it is as good as missing,
    // unless the user named it: then the failure is worth a message.
    if (setupFile.isEmpty() && (path.isEmpty() || !QFileInfo(path).isFile()))
        return;
    if (m_model->openSetup(path)) {
        setWindowTitle(kTitlePrefix + path);
        // Named by the user, it is remembered as File > Open remembers.
        if (!setupFile.isEmpty()) {
            kelda::settings::write(*m_settings, Key::DefaultPath, QFileInfo(path).absolutePath());
            kelda::settings::write(*m_settings, Key::LastSetup, path);
        }
        return;
    }
    // The model keeps the new setup it started with.
    reportOpenFailure(path, m_model->errorString(), QStringLiteral("A new setup has been started instead."));
}

void KELDA::reportOpenFailure(const QString &path, const QString &reason, const QString &outcome)
{
    prompter().tell(this, QMessageBox::Warning, kTitle,
                    QStringLiteral("The setup file could not be opened.\n\n%1\n\n%2")
                        .arg(failureDetail(QStringLiteral("Could not open"), path, reason), outcome));
}

void KELDA::reportSaveFailure(const QString &path)
{
    prompter().tell(this, QMessageBox::Critical, kTitle,
                    QStringLiteral("The setup could not be saved.\n\n%1\n\nThe setup is still open: save it "
                                   "again, perhaps under another name or in another folder.")
                        .arg(failureDetail(QStringLiteral("Could not save"), path, m_model->errorString())));
}

void KELDA::fileNew()
{
    if (!maybeSave())
        return;
    m_model->newSetup();
    loadOptions();
    setWindowTitle(kNewTitle);
}

void KELDA::fileOpen()
{
    if (!maybeSave())
        return;
    const QString path =
        prompter().openFileName(this, kTitle, kelda::settings::read(*m_settings, Key::DefaultPath), kFileFilter);
    if (path.isEmpty())
        return;
    if (!m_model->openSetup(path)) {
        // A failure changes nothing: the setup, its title and the settings stay.
        reportOpenFailure(path, m_model->errorString(), QStringLiteral("The setup that was open is unchanged."));
        return;
    }
    loadOptions();
    kelda::settings::write(*m_settings, Key::DefaultPath, QFileInfo(path).absolutePath());
    kelda::settings::write(*m_settings, Key::LastSetup, path);
    setWindowTitle(kTitlePrefix + path);
}

void KELDA::fileSave()
{
    save();
}

void KELDA::fileSaveAs()
{
    saveAs();
}

KELDA::SaveResult KELDA::save()
{
    const QString path = m_model->fileName();
    if (path.isEmpty())
        return saveAs();
    if (m_model->saveSetup(path)) {
        m_undoStack->setClean();
        showStatus(QStringLiteral("Saved ") + QDir::toNativeSeparators(path));
        return SaveResult::Saved;
    }
    reportSaveFailure(path);
    return SaveResult::Failed;
}

KELDA::SaveResult KELDA::saveAs()
{
    QString path =
        prompter().saveFileName(this, kTitle, kelda::settings::read(*m_settings, Key::LastSetup), kFileFilter);
    if (path.isEmpty())
        return SaveResult::Cancelled;
    // Without its extension the file would not show in the Open dialog.
    if (QFileInfo(path).suffix().isEmpty())
        path += path.endsWith(QLatin1Char('.')) ? QStringLiteral("kelda") : QStringLiteral(".kelda");
    if (!m_model->saveSetup(path)) {
        reportSaveFailure(path);
        return SaveResult::Failed;
    }
    kelda::settings::write(*m_settings, Key::DefaultPath, QFileInfo(path).absolutePath());
    m_undoStack->setClean();
    kelda::settings::write(*m_settings, Key::LastSetup, path);
    setWindowTitle(kTitlePrefix + path);
    showStatus(QStringLiteral("Saved ") + QDir::toNativeSeparators(path));
    return SaveResult::Saved;
}

void KELDA::closeEvent(QCloseEvent *event)
{
    if (!maybeSave()) {
        event->ignore();
        return;
    }
    event->accept();
    saveViewState();
    // Simulations belong to this window: they go with it, and so does the program.
    for (const QPointer<QWidget> &sim : std::as_const(m_simulators))
        if (sim)
            sim->close();
}
