#include "testpaths.h"

namespace kelda::test {

QString cliProgram()
{
    return QStringLiteral(KELDA_CLI);
}

QString emulatorProgram()
{
    return QStringLiteral(KELDA_EMULATOR);
}

QString runeFolder()
{
    return QStringLiteral(KELDA_RUNES);
}

QString dataFolder()
{
    return QStringLiteral(KELDA_TEST_DATA);
}

}  // namespace kelda::test
