// Settings and data folders of the tests' own, never the user's. QSettings,
// the ECU library and the programs a test starts all follow the XDG variables.
#pragma once

#include <QString>
#include <QTemporaryDir>

namespace kelda::test {

// Points XDG_CONFIG_HOME (settings) or XDG_DATA_HOME at the folder; the
// processes the test starts afterwards inherit it.
void useConfigFolder(const QString &folder);
void useDataFolder(const QString &folder);

// A throw-away settings folder: XDG_CONFIG_HOME points into it from the
// constructor on and is left so (a test run ends with it).
class TemporaryConfig
{
public:
    TemporaryConfig();
    QString path() const { return dir_.path(); }

private:
    QTemporaryDir dir_;
};

}  // namespace kelda::test

// The main() of a widget test whose settings must be in a throw-away folder
// before QApplication (and any QSettings) exists. The test includes <QApplication>.
#define KELDA_TEST_MAIN_IN_TEMPORARY_CONFIG(TestObject)                                                                \
    int main(int argc, char *argv[])                                                                                   \
    {                                                                                                                  \
        kelda::test::TemporaryConfig config;                                                                           \
        QApplication app(argc, argv);                                                                                  \
        TestObject test;                                                                                               \
        return QTest::qExec(&test, argc, argv);                                                                        \
    }
