// Runs the engine, window and command-line tests of the simulator in turn.
#include <QApplication>
#include <QLocale>
#include <QStandardPaths>
#include <QTest>

#include <memory>

#include "tst_sim.h"

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QStandardPaths::setTestModeEnabled(true);
    QLocale::setDefault(QLocale::c());
    int failed = 0;
    for (auto make : {makeEngineTests, makeWindowTests, makeWindowViewTests, makeCliTests, makeCanTests, makeImageTests,
                      makePressTests, makeReferenceTests, makeDrawingTests, makePanelKeyTests}) {
        std::unique_ptr<QObject> tests(make());
        failed += QTest::qExec(tests.get(), argc, argv);
    }
    return failed == 0 ? 0 : 1;
}
