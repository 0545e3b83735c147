// Renders the live view on the emulated module running a small sample setup
// into a PNG, with the switch on, the key held and one LED forced:
//   QT_QPA_PLATFORM=offscreen kelda_liveviewscreenshot docs/live-view.png
#include <QApplication>
#include <QTemporaryDir>

#include <cstdio>

#include "beaconssetup.h"
#include "clirun.h"
#include "emulatorprocess.h"
#include "eventloop.h"
#include "imagecompiler.h"
#include "imagediff.h"
#include "liveview.h"
#include "setupview.h"
#include "testfiles.h"

using namespace kelda;
using namespace kelda::test;

int main(int argc, char *argv[])
{
    if (argc != 2) {
        fprintf(stderr, "usage: kelda_liveviewscreenshot OUTPUT.png\n");
        return 2;
    }
    QTemporaryDir dir;
    qputenv("XDG_CONFIG_HOME", dir.filePath(QStringLiteral("config")).toLocal8Bit());
    QApplication app(argc, argv);
    isolateCorla(dir.path());
    PMModel model;
    buildBeacons(model, false);
    const QString setup = dir.filePath(QStringLiteral("utility-truck.kelda"));
    const QString cal = dir.filePath(QStringLiteral("module.cal"));
    const QString inputs = dir.filePath(QStringLiteral("inputs.txt"));
    writeFile(inputs, "wait 200ms\nswitch 1 on\nwait 100ms\nhold 1\n");
    EmulatorProcess rest({QStringLiteral("--cal-file"), cal});
    setPorts({rest.path()});
    if (!model.saveSetup(setup)
        || runCli({QStringLiteral("upload"), setup, QStringLiteral("--port"), rest.path()}).exitCode != 0) {
        fprintf(stderr, "kelda_liveviewscreenshot: the sample setup could not be uploaded\n");
        return 1;
    }
    rest.stop();
    EmulatorProcess module(
        {QStringLiteral("--cal-file"), cal, QStringLiteral("--run"), QStringLiteral("--inputs"), inputs});
    setPorts({module.path()});

    LiveView::Setup s;
    s.name = QStringLiteral("utility-truck.kelda");
    s.calName = "utility-";
    QString why;
    image::compileImage(model.session(), &s.image, &why);
    s.names = simNames(model.session());
    LiveView view(module.path(), std::move(s));
    view.setAttribute(Qt::WA_DeleteOnClose, false);
    view.resize(1640, 900);
    view.show();
    waitUntil([&view] { return view.replies() > 0; }, 10000);
    view.force(SimPanel::Part::Led, 4, SimPanel::ForceAction::On);
    waitUntil([] { return false; }, 2300);
    if (!view.grab().save(QString::fromLocal8Bit(argv[1]))) {
        fprintf(stderr, "kelda_liveviewscreenshot: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
