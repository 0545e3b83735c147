// The main window's undo history: every change the model records becomes one
// command of a QUndoStack. A command holds the whole setup before and after
// its change; undo and redo ask the model to put one of them back, so the
// model stays the only writer of the setup.
#include "kelda.h"
#include "ui_kelda.h"

#include <QMenu>
#include <QMenuBar>
#include <QUndoCommand>
#include <QUndoStack>

#include "pmmodel.h"

namespace {

class SetupCommand : public QUndoCommand
{
public:
    SetupCommand(KELDA *window, kelda::SetupStep step)
        : QUndoCommand(step.text), m_window(window), m_step(std::move(step))
    { }

    void undo() override { m_window->showStep(m_step, m_step.before); }
    void redo() override
    {
        // Pushed after the change was made: the first redo has nothing to do.
        if (std::exchange(m_done, false))
            return;
        m_window->showStep(m_step, m_step.after);
    }
    int id() const override { return m_step.mergeKey; }
    bool mergeWith(const QUndoCommand *other) override
    {
        // Equal ids come only from commands of this class.
        m_step.after = static_cast<const SetupCommand *>(other)->m_step.after;
        return true;
    }

private:
    KELDA *m_window;
    kelda::SetupStep m_step;
    bool m_done = true;
};

}  // namespace

void KELDA::setUpUndo()
{
    m_undoStack = new QUndoStack(this);
    m_undoStack->setObjectName(QStringLiteral("undoStack"));
    // Each step keeps a copy of the setup: about 2 MB for the largest one the
    // tables can hold (bench_model), so the history keeps the last 100.
    m_undoStack->setUndoLimit(100);

    auto *menu = new QMenu(QStringLiteral("&Edit"), ui->menuBar);
    menu->setObjectName(QStringLiteral("menu_Edit"));
    QAction *undo = m_undoStack->createUndoAction(menu, QStringLiteral("&Undo"));
    undo->setObjectName(QStringLiteral("action_Undo"));
    undo->setShortcut(QKeySequence::Undo);
    QAction *redo = m_undoStack->createRedoAction(menu, QStringLiteral("&Redo"));
    redo->setObjectName(QStringLiteral("action_Redo"));
    redo->setShortcut(QKeySequence::Redo);
    menu->addAction(undo);
    menu->addAction(redo);
    ui->menuBar->insertMenu(ui->menu_Simulate->menuAction(), menu);

    m_model->setRecording(true);
    connect(m_model, &PMModel::changeRecorded, this,
            [this](const kelda::SetupStep &step) { m_undoStack->push(new SetupCommand(this, step)); });
    connect(m_model, &PMModel::historyReset, m_undoStack, &QUndoStack::clear);
    // The modified flag is whether the setup differs from the saved one.
    const auto followStack = [this] { m_model->setModified(!m_undoStack->isClean()); };
    connect(m_undoStack, &QUndoStack::cleanChanged, this, followStack);
    connect(m_undoStack, &QUndoStack::indexChanged, this, followStack);
}

void KELDA::showStep(const kelda::SetupStep &step, const kelda::SetupSnapshot &setup)
{
    m_model->restoreSnapshot(setup);
    loadOptions();
    if (step.row < 0) {
        ui->tabWidget->setCurrentIndex(step.mode);
        return;
    }
    // A removed row that comes back is shown; one that went away leaves its neighbour current.
    const int rows = m_model->itemCount(PMModel::itemTypeOfMode(step.mode));
    goTo(step.mode, qMin(step.row, rows - 1), step.column);
}
