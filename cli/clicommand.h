// Commands of kelda-cli. Each command lives in its own cmd_*.cpp and registers
// itself with a static CliCommand; main.cpp only dispatches.
#pragma once

#include <QStringList>
#include <QTextStream>

struct CliCommand {
    const char *name;
    const char *usage;    // one or more lines, "kelda-cli NAME ..." each
    // args: the words after the command name. Returns the exit status:
    // 0 success, 1 failure (after cliFail), 2 usage error (after cliUsageError).
    int (*run)(const QStringList &args);
    // Lays out text or fonts (QtGui): runs under a QGuiApplication, on the
    // offscreen platform unless QT_QPA_PLATFORM names another.
    bool gui = false;

    CliCommand(const char *name, const char *usage, int (*run)(const QStringList &), bool gui = false);
};

QTextStream &cliOut();
QTextStream &cliErr();
// Prints "kelda-cli: <what>: <why>" on standard error; returns 1.
int cliFail(const QString &what, const QString &why);
// Prints the usage on standard error; returns 2.
int cliUsageError(const QString &message = QString());
