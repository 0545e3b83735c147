#include "testenv.h"

#include <QFile>

namespace kelda::test {

void useConfigFolder(const QString &folder)
{
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(folder));
}

void useDataFolder(const QString &folder)
{
    qputenv("XDG_DATA_HOME", QFile::encodeName(folder));
}

TemporaryConfig::TemporaryConfig()
{
    useConfigFolder(dir_.path());
}

}  // namespace kelda::test
