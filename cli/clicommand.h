// Commands of kelda-cli. Each command lives in its own cmd_*.cpp and registers
// itself with a static CliCommand that describes it: usage, arguments,
// options, exit statuses and the function that runs it. main.cpp parses the
// words with QCommandLineParser from that description, and prints the help,
// the manual page and the bash completion from the same description, so the
// three never differ.
#pragma once

#include <QHash>
#include <QStringList>
#include <QTextStream>

#include <vector>

struct CliArgument {
    const char *name = "";  // as the usage writes it: "SETUP.kelda"
    const char *help = "";
};

struct CliOption {
    const char *names = "";  // "o,output": the first name is the one messages use
    const char *value = nullptr;  // the value's name ("FILE"); nullptr for a flag
    const char *help = "";
    bool required = false;  // missing: a usage error
    // "-" stands for standard input or output. Elsewhere "-" as the value of
    // an option that takes a file name (a value such as "FILE.xml", with a
    // dot) is a usage error, never a file named "-".
    bool dash = false;
};

struct CliStatus {
    int code = 0;
    const char *meaning = "";
};

// What the parser found, for the command's run function.
struct CliArgs {
    QStringList positional;  // as many as the command's arguments allow
    QHash<QString, QString> values;  // by the option's first name; "" for a flag
    bool isSet(const char *option) const { return values.contains(QLatin1String(option)); }
    QString value(const char *option) const { return values.value(QLatin1String(option)); }
};

struct CliCommand {
    const char *name = "";
    const char *usage = "";  // "kelda-cli NAME ...", a line for each form of the command
    const char *summary = "";  // one line for kelda-cli help
    const char *description = "";  // what it does; paragraphs separated by "\n\n"
    std::vector<CliArgument> arguments = {};
    int optionalArguments = 0;  // how many of the last arguments may be left out
    bool moreArguments = false;  // words beyond the arguments are the command's to check
    std::vector<CliOption> options = {};
    // What each exit status means; status 2 (a usage error) is added when
    // the command does not say more about it.
    std::vector<CliStatus> statuses = {};
    // Lays out text or fonts (QtGui): runs under a QGuiApplication, on the
    // offscreen platform unless QT_QPA_PLATFORM names another.
    bool gui = false;
    // Returns the exit status: 0 success, 1 failure (after cliFail),
    // 2 usage error (after cliUsageError).
    int (*run)(const CliArgs &args) = nullptr;
};

// Adds a command to kelda-cli; one static object per command:
//   const CliRegistration compile{{.name = "compile", ...}};
struct CliRegistration {
    explicit CliRegistration(CliCommand command);
};

QTextStream &cliOut();
QTextStream &cliErr();
// Prints "kelda-cli: <what>: <why>" on standard error; returns 1.
int cliFail(const QString &what, const QString &why);
// Prints "kelda-cli: <message>" and the usage of the running command on
// standard error; returns 2.
int cliUsageError(const QString &message);
// A word the user typed, for a message: at most 80 characters of it, so that
// one bad token cannot fill the screen.
QString cliToken(const QString &word);
// A message as one line: a control character (a newline in a file name)
// is shown escaped (\n, \x1b), so that a message never spans lines
// nor sends a terminal its escape sequences.
QString cliOneLine(const QString &text);
// The status when standard output cannot be written once the command has
// run (main.cpp flushes and closes it for every command): 1 unless the
// command sets another (diff: 2; diff --git: 0, so that git goes on).
void cliSetOutputFailureStatus(int status);
