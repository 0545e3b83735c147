// Where the tests find the programs they run and the files they read.
#pragma once

#include <QString>

namespace kelda::test {

QString cliProgram();  // kelda-cli of this build
QString emulatorProgram();  // lx2-emulator of this build
QString runeFolder();  // the RUNE files the program installs (runes/)
QString dataFolder();  // the tests' own fixtures (tests/data/)

}  // namespace kelda::test
