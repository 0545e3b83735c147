// "&Go": compile the open setup into a new simulator window's image file and
// run it there, beside the main window. The window follows the setup: it says
// when the setup has changed, and its Restart compiles it again.
#include "kelda.h"
#include "texts.h"

#include <QPointer>

#include "pmmodel.h"
#include "simulator.h"

namespace {

// A setup that does not compile would run an empty or partial image and look
// like a setup without logic; say why instead.
bool compileFor(KELDA &w, Simulator *sim)
{
    if (w.model()->writeRawImage(sim->imageFileName()))
        return true;
    QString why = w.model()->imageError();
    if (why.isEmpty())
        why = QStringLiteral("The image could not be written.");
    w.prompter().tell(sim->isVisible() ? static_cast<QWidget *>(sim) : &w, QMessageBox::Warning, kelda::texts::title(),
                      QStringLiteral("The setup cannot be simulated.\n\n%1").arg(why));
    return false;
}

// The window's file dialogs and messages go through the main window's prompter.
SimDialogs dialogsOf(QPointer<KELDA> w)
{
    SimDialogs dialogs;
    dialogs.saveFileName = [w](QWidget *parent, const QString &caption, const QString &filter) {
        return w ? w->prompter().saveFileName(parent, caption, QString(), filter) : QString();
    };
    dialogs.openFileName = [w](QWidget *parent, const QString &caption, const QString &filter) {
        return w ? w->prompter().openFileName(parent, caption, QString(), filter) : QString();
    };
    dialogs.warn = [w](QWidget *parent, const QString &text) {
        if (w)
            w->prompter().tell(parent, QMessageBox::Warning, kelda::texts::title(), text);
    };
    return dialogs;
}

}  // namespace

void KELDA::startSimulation()
{
    // Errors are worth seeing run, but only when asked for.
    if (!passesChecks(QStringLiteral("Simulate"), true))
        return;
    auto *sim = new Simulator();
    if (!compileFor(*this, sim)) {
        delete sim;
        return;
    }
    sim->setWindowTitle(QStringLiteral("Simulation of ") + model()->fileName());
    sim->setSetupFile(model()->fileName());
    sim->start(model()->session());
    sim->setAttribute(Qt::WA_DeleteOnClose);

    const QPointer<KELDA> self(this);
    connect(model(), &PMModel::setupChanged, sim, &Simulator::setupChanged);
    sim->setRestarter([self](Simulator *s) {
        if (!self || !self->passesChecks(QStringLiteral("Simulate"), true) || !compileFor(*self, s))
            return false;
        s->setWindowTitle(QStringLiteral("Simulation of ") + self->model()->fileName());
        s->setSetupFile(self->model()->fileName());
        s->restart(self->model()->session());
        return true;
    });
    sim->setDialogs(dialogsOf(self));
    m_simulators.append(sim);
    sim->show();
}

QList<QWidget *> KELDA::simulators() const
{
    QList<QWidget *> open;
    for (const QPointer<QWidget> &sim : m_simulators)
        if (sim)
            open.append(sim);
    return open;
}
