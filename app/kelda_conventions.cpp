// What a desktop user expects of the window: the standard keys, a title that
// shows unsaved changes, a status bar that says what was done, and the guide.
#include <QDesktopServices>
#include <QDir>
#include <QEvent>
#include <QMenu>
#include <QToolButton>
#include <QStatusBar>
#include <QUndoStack>
#include <QUrl>

#include "kelda.h"
#include "ui_kelda.h"
#include "userguide.h"

namespace {

const QString kOpenButton = QStringLiteral("statusOpenButton");

// The platform's keys for the command; where its key scheme has none, the usual one.
void setStandardKeys(QAction *action, QKeySequence::StandardKey key, const QKeySequence &fallback)
{
    const QList<QKeySequence> keys = QKeySequence::keyBindings(key);
    action->setShortcuts(keys.isEmpty() ? QList<QKeySequence>{fallback} : keys);
}

}  // namespace

void KELDA::setUpConventions()
{
    setStandardKeys(ui->action_New, QKeySequence::New, QKeySequence(Qt::CTRL | Qt::Key_N));
    setStandardKeys(ui->action_Open, QKeySequence::Open, QKeySequence(Qt::CTRL | Qt::Key_O));
    setStandardKeys(ui->action_Save, QKeySequence::Save, QKeySequence(Qt::CTRL | Qt::Key_S));
    setStandardKeys(ui->actionSave_As, QKeySequence::SaveAs, QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_S));
    setStandardKeys(ui->actionE_xit, QKeySequence::Quit, QKeySequence(Qt::CTRL | Qt::Key_Q));
    ui->action_Go->setShortcut(QKeySequence(Qt::Key_F5));
    if (auto *redo = findChild<QAction *>(QStringLiteral("action_Redo"))) {
        QList<QKeySequence> keys = redo->shortcuts();
        if (!keys.contains(QKeySequence(Qt::CTRL | Qt::Key_Y)))
            keys.append(QKeySequence(Qt::CTRL | Qt::Key_Y));
        redo->setShortcuts(keys);
    }

    auto *guide = new QAction(QStringLiteral("&User Guide"), this);
    guide->setObjectName(QStringLiteral("action_UserGuide"));
    guide->setShortcut(QKeySequence(Qt::Key_F1));
    ui->menu_Help->insertAction(ui->action_About, guide);
    connect(guide, &QAction::triggered, this, &KELDA::helpUserGuide);

    // The title carries Qt's marker (changeEvent); the history knows whether the setup differs from the file.
    connect(m_undoStack, &QUndoStack::cleanChanged, this, [this](bool clean) { setWindowModified(!clean); });

    auto *open = new QToolButton(statusBar());
    open->setText(QStringLiteral("Open"));
    open->setObjectName(kOpenButton);
    open->setAutoRaise(true);
    open->hide();
    statusBar()->addPermanentWidget(open);
    connect(open, &QToolButton::clicked, this,
            [open] { QDesktopServices::openUrl(QUrl::fromLocalFile(open->property("file").toString())); });
    // Another message (or none) takes the button away with the one it belonged to.
    connect(statusBar(), &QStatusBar::messageChanged, open, [open](const QString &text) {
        open->setVisible(text == open->property("message").toString() && !open->property("file").toString().isEmpty());
    });
}

void KELDA::showStatus(const QString &text, const QString &fileToOpen)
{
    auto *open = findChild<QToolButton *>(kOpenButton);
    open->setProperty("message", text);
    open->setProperty("file", fileToOpen);
    open->setToolTip(fileToOpen.isEmpty() ? QString()
                                          : QStringLiteral("Open %1").arg(QDir::toNativeSeparators(fileToOpen)));
    statusBar()->showMessage(text);
    open->setVisible(!fileToOpen.isEmpty());
}

void KELDA::helpUserGuide()
{
    if (!m_guide)
        m_guide = new UserGuide(this);
    m_guide->show();
    m_guide->raise();
    m_guide->activateWindow();
}

void KELDA::changeEvent(QEvent *event)
{
    // Every title the window is given shows the unsaved-changes marker.
    if (event->type() == QEvent::WindowTitleChange && !windowTitle().contains(QLatin1String("[*]")))
        setWindowTitle(windowTitle() + QStringLiteral("[*]"));
    QMainWindow::changeEvent(event);
}
