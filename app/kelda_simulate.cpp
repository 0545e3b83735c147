// "&Go": compile the open setup into a new simulator window's image file and
// run it there, beside the main window.
#include "kelda.h"
#include "texts.h"

#include "pmmodel.h"
#include "simulator.h"

void KELDA::startSimulation()
{
    // Errors are worth seeing run, but only when asked for.
    if (!passesChecks(QStringLiteral("Simulate"), true))
        return;
    auto *sim = new Simulator();
    // A setup that does not compile would run an empty or partial image and
    // look like a setup without logic; say why instead.
    if (!model()->writeRawImage(sim->imageFileName())) {
        delete sim;
        QString why = model()->imageError();
        if (why.isEmpty())
            why = QStringLiteral("The image could not be written.");
        prompter().tell(this, QMessageBox::Warning, kelda::texts::title(),
                        QStringLiteral("The setup cannot be simulated.\n\n%1").arg(why));
        return;
    }
    sim->setWindowTitle(QStringLiteral("Simulation of ") + model()->fileName());
    sim->start(model()->session());
    sim->setAttribute(Qt::WA_DeleteOnClose);
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
