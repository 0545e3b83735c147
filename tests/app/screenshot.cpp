// Renders the main window with a small sample setup into a PNG:
//   QT_QPA_PLATFORM=offscreen kelda_screenshot docs/screenshot.png
#include <QApplication>
#include <QTabWidget>
#include <QTemporaryDir>

#include "kelda.h"
#include "pmmodel.h"

int main(int argc, char *argv[])
{
    if (argc != 2) {
        fprintf(stderr, "usage: kelda_screenshot OUTPUT.png\n");
        return 2;
    }
    // A throw-away settings folder, so the sample never reopens or touches a real setup.
    QTemporaryDir config;
    qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());
    QApplication app(argc, argv);
    KELDA window;
    PMModel *model = window.model();
    auto *tabs = window.findChild<QTabWidget *>(QStringLiteral("tabWidget"));

    tabs->setCurrentIndex(static_cast<int>(Mode::Timers));
    window.addRow();
    window.addRow();
    model->setData(model->index(0, 0), QStringLiteral("Flash"));
    model->setData(model->index(1, 0), QStringLiteral("Courtesy light"));
    model->setData(model->index(1, 1), 30.0);

    tabs->setCurrentIndex(static_cast<int>(Mode::States));
    window.addRow();
    window.addRow();
    model->setData(model->index(0, 0), QStringLiteral("Beacons"));
    model->setData(model->index(1, 0), QStringLiteral("Work lights"));

    tabs->setCurrentIndex(static_cast<int>(Mode::Events));
    for (int i = 0; i < 4; ++i)
        window.addRow();
    const QStringList names = {"Beacons on", "Beacons off", "Work lights on", "Lights timeout"};
    const QStringList inputs = {"KP: Keypad 1", "KP: Keypad 1", "SW: Switch 3", "TI: Courtesy light"};
    for (int i = 0; i < names.size(); ++i) {
        model->setData(model->index(i, 1), names[i]);
        model->setData(model->index(i, 2), inputs[i]);
    }
    model->setData(model->index(0, 3), QStringLiteral("Short Press"));
    model->setData(model->index(1, 3), QStringLiteral("Long Press"));
    model->setData(model->index(0, 4), QStringLiteral("AND"));
    model->setData(model->index(0, 5), QStringLiteral("ST: Work lights"));
    model->setData(model->index(0, 6), QStringLiteral("Cleared"));

    window.resize(745, 717);
    window.show();
    QApplication::processEvents();
    if (!window.grab().save(QString::fromLocal8Bit(argv[1]))) {
        fprintf(stderr, "kelda_screenshot: cannot write %s\n", argv[1]);
        return 1;
    }
    window.model()->setModified(false);  // nothing to ask about on the way out
    return 0;
}
