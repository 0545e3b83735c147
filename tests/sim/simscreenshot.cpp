// Renders the simulator window on a small sample setup into a PNG, with the
// panel shown and a few seconds run:
//   QT_QPA_PLATFORM=offscreen kelda_simscreenshot docs/simulator-window.png [TAB]
// TAB is 0 (panel, the default), 1 (event log) or 2 (timeline).
#include <QApplication>
#include <QPushButton>
#include <QTabWidget>
#include <QTableWidget>
#include <QTemporaryDir>

#include <cstdio>

#include "pmmodel.h"
#include "setupbuilder.h"
#include "simulator.h"

using namespace kelda;
using namespace kelda::test;

int main(int argc, char *argv[])
{
    if (argc != 2 && argc != 3) {
        fprintf(stderr, "usage: kelda_simscreenshot OUTPUT.png [TAB]\n");
        return 2;
    }
    QTemporaryDir config;
    qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());
    QApplication app(argc, argv);
    PMModel model;
    SetupBuilder b(model);
    b.set(Mode::Keypad, 0, KeypadCol::Name, QStringLiteral("Beacons"));
    b.set(Mode::Switches, 0, SwitchCol::Name, QStringLiteral("Ignition"));
    const int flash = b.timer(0.5);
    b.set(Mode::Timers, flash, TimerCol::Name, QStringLiteral("Flash"));
    for (const char *name : {"Beacons on", "Beacon flash"})
        b.set(Mode::States, b.state(), StateCol::Name, QString::fromLatin1(name));
    for (const char *name : {"Beacons up", "Flash on", "Flash off"})
        b.set(Mode::Events, b.event(), EventCol::Name, QString::fromLatin1(name));
    const int lamp = b.lx1Output();
    b.set(Mode::Lx1Outputs, lamp, Lx1OutputCol::Name, QStringLiteral("Beacon lamp"));
    b.lx1Mask(lamp, 0, 0x03);
    using T = ItemType;
    enum { Set, Clear, Start };
    b.input(0, 0, T::KeypadKey, 0, "Pressed", "AND");
    b.input(0, 1, T::Switch, 0, "High");
    b.entry(Mode::Events, 0, Set, T::State, 0);
    // Flashes while "Beacons on" is set: each time the timer stops, the
    // flash state turns over and the timer starts again.
    b.input(1, 0, T::Timer, flash, "Stopped", "AND");
    b.input(1, 1, T::State, 1, "Cleared", "AND");
    b.input(1, 2, T::State, 0, "Set");
    b.entry(Mode::Events, 1, Set, T::State, 1);
    b.entry(Mode::Events, 1, Start, T::Timer, flash);
    b.input(2, 0, T::Timer, flash, "Stopped", "AND");
    b.input(2, 1, T::State, 1, "Set");
    b.entry(Mode::Events, 2, Clear, T::State, 1);
    b.entry(Mode::Events, 2, Start, T::Timer, flash);
    b.entry(Mode::States, 1, 0, T::Lx2Led, 0);
    b.entry(Mode::States, 1, 1, T::Lx1Output, lamp);

    Simulator sim;
    model.writeRawImage(sim.imageFileName());
    sim.setWindowTitle(QStringLiteral("Simulation of /home/fleet/beacons.kelda"));
    sim.start(model.session());
    sim.findChild<QPushButton *>(QStringLiteral("simPauseButton"))->click();
    sim.findChild<QTableWidget *>(QStringLiteral("switchTableWidget"))->item(0, 1)->setCheckState(Qt::Checked);
    for (int i = 0; i < 120; ++i)
        sim.Update();
    sim.findChild<QTableWidget *>(QStringLiteral("keyPadTableWidget"))->item(0, 1)->setCheckState(Qt::Checked);
    for (int i = 0; i < 237; ++i)
        sim.Update();
    sim.findChild<QTabWidget *>(QStringLiteral("simViews"))->setCurrentIndex(argc == 3 ? atoi(argv[2]) : 0);
    sim.resize(1180, 860);
    sim.show();
    for (int i = 0; i < 5; ++i) {
        QApplication::processEvents();
        sim.Update();
    }
    QApplication::processEvents(QEventLoop::AllEvents, 100);
    if (!sim.grab().save(QString::fromLocal8Bit(argv[1]))) {
        fprintf(stderr, "kelda_simscreenshot: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
