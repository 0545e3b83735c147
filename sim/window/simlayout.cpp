// The simulator window's size, place and splitter: opened at a size that
// shows its tables and views, on screen, and as it was last closed.
#include <QCloseEvent>
#include <QKeyEvent>
#include <QScreen>
#include <QSplitter>

#include "settings.h"
#include "simulator.h"

using namespace kelda;

QRect Simulator::fittedGeometry(QSize wanted, const QRect &available)
{
    const QSize size = wanted.boundedTo(available.size());
    QRect rect(QPoint(), size);
    rect.moveCenter(available.center());
    // An odd size can centre half a pixel out.
    rect.moveTopLeft(QPoint(std::max(rect.left(), available.left()), std::max(rect.top(), available.top())));
    return rect;
}

void Simulator::showEvent(QShowEvent *event)
{
    if (!m_placed) {
        m_placed = true;
        restoreLayout();
    }
    QWidget::showEvent(event);
}

void Simulator::closeEvent(QCloseEvent *event)
{
    saveLayout();
    QWidget::closeEvent(event);
}

void Simulator::keyPressEvent(QKeyEvent *event)
{
    // Esc closes dialogs; here it would end a run by accident, so it does nothing.
    if (event->key() == Qt::Key_Escape) {
        event->accept();
        return;
    }
    QWidget::keyPressEvent(event);
}

void Simulator::restoreLayout()
{
    const auto s = settings::open();
    const QByteArray split = settings::readValue(*s, settings::Key::SimulatorSplitter).toByteArray();
    if (!split.isEmpty())
        m_split->restoreState(split);
    const QByteArray geometry = settings::readValue(*s, settings::Key::SimulatorGeometry).toByteArray();
    const QRect available = screen() ? screen()->availableGeometry() : QRect();
    if (!geometry.isEmpty() && restoreGeometry(geometry)) {
        // A screen that has gone or shrunk since: keep the window on this one
        // (a window larger than the screen with its corner on it).
        const QRect frame = frameGeometry();
        const bool fits = frame.width() <= available.width() && frame.height() <= available.height();
        if (available.isValid() && !available.contains(fits ? frame : QRect(frame.topLeft(), QSize(1, 1))))
            setGeometry(fittedGeometry(size(), available));
        return;
    }
    const QSize wanted = sizeHint().expandedTo(kDefaultSize);
    if (available.isValid())
        setGeometry(fittedGeometry(wanted, available));
    else
        resize(wanted);
}

void Simulator::saveLayout() const
{
    const auto s = settings::open();
    settings::writeValue(*s, settings::Key::SimulatorGeometry, saveGeometry());
    settings::writeValue(*s, settings::Key::SimulatorSplitter, m_split->saveState());
}
