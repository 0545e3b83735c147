// kelda-cli: the editor's own code without a display, for scripts and tests.
// This file only reads the words: it parses them from each command's
// description (clicommand.h) and prints the help, the manual page and the
// bash completion from the same descriptions.
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileDevice>
#include <QGuiApplication>
#include <QTextStream>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <fcntl.h>
#include <unistd.h>

#include "clicommand.h"

namespace {

// In the order of registration, except that help comes last.
std::deque<CliCommand> &registry()
{
    static std::deque<CliCommand> commands;
    return commands;
}

const CliCommand *findCommand(const QString &name)
{
    for (const CliCommand &c : registry())
        if (name == QLatin1String(c.name))
            return &c;
    return nullptr;
}

// The command whose words are being parsed or run; usage errors show its usage.
const CliCommand *running = nullptr;

QString text(const char *s)
{
    return QString::fromUtf8(s);
}

const CliStatus kUsageStatus{2, "usage error: an unknown option, a missing or extra argument, a missing value"};

// A command may say more about status 2; otherwise the general meaning is added.
std::vector<CliStatus> statusesOf(const CliCommand &c)
{
    std::vector<CliStatus> all = c.statuses;
    if (std::none_of(all.cbegin(), all.cend(), [](const CliStatus &s) { return s.code == 2; }))
        all.push_back(kUsageStatus);
    return all;
}

QStringList optionNames(const CliOption &o)
{
    return text(o.names).split(QLatin1Char(','));
}

QString dashed(const QString &name)
{
    return (name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--")) + name;
}

// "-o, --output FILE"
QString optionLabel(const CliOption &o)
{
    QStringList names;
    for (const QString &n : optionNames(o))
        names << dashed(n);
    QString label = names.join(QLatin1String(", "));
    if (o.value)
        label += QLatin1Char(' ') + text(o.value);
    return label;
}

const CliOption kHelpOption{"h,help", nullptr, "print this help and exit"};

// Words wrapped to `width` columns, each line indented by `indent` spaces.
QString wrapped(const QString &para, int indent, int width = 79)
{
    QString out;
    QString line;
    for (const QString &word : para.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        if (!line.isEmpty() && indent + line.size() + 1 + word.size() > width) {
            out += QString(indent, QLatin1Char(' ')) + line + QLatin1Char('\n');
            line.clear();
        }
        line += (line.isEmpty() ? QString() : QStringLiteral(" ")) + word;
    }
    if (!line.isEmpty())
        out += QString(indent, QLatin1Char(' ')) + line + QLatin1Char('\n');
    return out;
}

// A term and its text: the text beside the term when it fits, else below it.
QString item(const QString &term, const QString &help)
{
    constexpr int column = 24;
    QString out = QStringLiteral("  ") + term;
    QString body = wrapped(help, column);
    if (term.size() + 2 < column - 1)
        return out + body.mid(out.size());
    return out + QLatin1Char('\n') + body;
}

// One line a form of the command: "kelda-cli NAME ...".
QStringList usageLines(const CliCommand &c)
{
    return text(c.usage).split(QLatin1Char('\n'));
}

// "usage: kelda-cli NAME ...", further forms below the first.
QString commandUsage(const CliCommand &c)
{
    return QStringLiteral("usage: ") + usageLines(c).join(QStringLiteral("\n       ")) + QLatin1Char('\n');
}

QString usageText()
{
    QString t = QStringLiteral("usage:\n");
    for (const CliCommand &c : registry())
        for (const QString &line : usageLines(c))
            t += QStringLiteral("  ") + line + QLatin1Char('\n');
    t += QStringLiteral("  kelda-cli --version\n");
    return t;
}

QString helpText(const CliCommand &c)
{
    QString t = commandUsage(c) + QLatin1Char('\n');
    for (const QString &para : text(c.description).split(QStringLiteral("\n\n")))
        t += wrapped(para, 0) + QLatin1Char('\n');
    if (!c.arguments.empty()) {
        t += QStringLiteral("Arguments:\n");
        for (const CliArgument &a : c.arguments)
            t += item(text(a.name), text(a.help));
        t += QLatin1Char('\n');
    }
    t += QStringLiteral("Options:\n");
    for (const CliOption &o : c.options)
        t += item(optionLabel(o), text(o.help) + (o.required ? QStringLiteral(" (required)") : QString()));
    t += item(optionLabel(kHelpOption), text(kHelpOption.help));
    t += QStringLiteral("\nExit status:\n");
    for (const CliStatus &s : statusesOf(c))
        t += item(QString::number(s.code), text(s.meaning));
    return t;
}

QString overviewText()
{
    QString t = usageText() + QLatin1Char('\n');
    t += wrapped(QStringLiteral("Runs the KELDA editor's own code without a display: opening, checking, "
                                "compiling, exporting, simulating and uploading setups."),
                 0);
    t += QStringLiteral("\nCommands:\n");
    for (const CliCommand &c : registry())
        t += item(text(c.name), text(c.summary));
    t += QStringLiteral("\nOptions:\n");
    t += item(QStringLiteral("-h, --help"), QStringLiteral("print this overview and exit"));
    t += item(QStringLiteral("--version"), QStringLiteral("print the version and exit"));
    t += QLatin1Char('\n')
        + wrapped(QStringLiteral("kelda-cli COMMAND --help (or kelda-cli help COMMAND) "
                                 "describes every argument, option and exit status of "
                                 "a command."),
                  0);
    return t;
}

// roff, for the manual page: escapes, and no line starting with a control character.
QString roff(const QString &s)
{
    QString out = s;
    out.replace(QLatin1Char('\\'), QLatin1String("\\e"));
    out.replace(QLatin1Char('-'), QLatin1String("\\-"));
    if (out.startsWith(QLatin1Char('.')) || out.startsWith(QLatin1Char('\'')))
        out.prepend(QLatin1String("\\&"));
    return out;
}

QString manPage()
{
    QString t;
    t += QStringLiteral(".TH KELDA\\-CLI 1 \"\" \"KELDA %1\" \"User Commands\"\n")
             .arg(QCoreApplication::applicationVersion());
    t += QStringLiteral(
        ".SH NAME\nkelda\\-cli \\- the KELDA editor's setups, image, simulator and upload without a display\n");
    t += QStringLiteral(".SH SYNOPSIS\n.nf\n");
    for (const CliCommand &c : registry())
        for (const QString &line : usageLines(c))
            t += roff(line) + QLatin1Char('\n');
    t += QStringLiteral("kelda\\-cli \\-\\-version\n.fi\n");
    t += QStringLiteral(".SH DESCRIPTION\n");
    t += roff(QStringLiteral("kelda-cli runs the KELDA editor's own code without a display and without "
                             "settings, and it never asks anything: the same setup loader, checks, image "
                             "compiler, export, simulator and upload as the window. Messages go to standard "
                             "error; a failure is one line, \"kelda-cli: <what failed>: <why>\"."))
        + QLatin1Char('\n');
    t += QStringLiteral(".SH COMMANDS\n");
    for (const CliCommand &c : registry()) {
        t += QStringLiteral(".SS \"%1\"\n").arg(roff(usageLines(c).first().mid(int(qstrlen("kelda-cli ")))));
        const QStringList paras = text(c.description).split(QStringLiteral("\n\n"));
        for (int i = 0; i < paras.size(); ++i)
            t += (i ? QStringLiteral(".PP\n") : QString()) + roff(paras.at(i)) + QLatin1Char('\n');
        for (const CliArgument &a : c.arguments)
            t += QStringLiteral(".TP\n.I %1\n%2\n").arg(roff(text(a.name)), roff(text(a.help)));
        for (const CliOption &o : c.options) {
            QStringList names;
            for (const QString &n : optionNames(o))
                names << QStringLiteral("\\fB%1\\fR").arg(roff(dashed(n)));
            t += QStringLiteral(".TP\n") + names.join(QLatin1String(", "))
                + (o.value ? QStringLiteral(" \\fI%1\\fR").arg(roff(text(o.value))) : QString()) + QLatin1Char('\n')
                + roff(text(o.help) + (o.required ? QStringLiteral(" (required)") : QString())) + QLatin1Char('\n');
        }
        t += QStringLiteral(".TP\n\\fB\\-h\\fR, \\fB\\-\\-help\\fR\n") + roff(text(kHelpOption.help))
            + QLatin1Char('\n');
        t += QStringLiteral(".PP\nExit status:\n");
        for (const CliStatus &s : statusesOf(c))
            t += QStringLiteral(".TP\n.B %1\n%2\n").arg(s.code).arg(roff(text(s.meaning)));
    }
    t += QStringLiteral(".SH EXIT STATUS\n0 success; 1 the operation failed (one line on standard error); "
                        "2 usage error (what is wrong and the usage on standard error).\n");
    t += QStringLiteral(".SH SEE ALSO\n.BR kelda (1),\n.BR lx2\\-emulator (1)\n");
    return t;
}

QString bashCompletion()
{
    QStringList commands;
    QString cases;
    for (const CliCommand &c : registry()) {
        commands << text(c.name);
        QStringList words{QStringLiteral("--help")};
        QStringList valued;
        for (const CliOption &o : c.options)
            for (const QString &n : optionNames(o)) {
                words << dashed(n);
                if (o.value)
                    valued << dashed(n);
            }
        cases += QStringLiteral("        %1) opts=\"%2\"; valued=\"%3\" ;;\n")
                     .arg(text(c.name), words.join(QLatin1Char(' ')), valued.join(QLatin1Char(' ')));
    }
    return QStringLiteral(
               "# bash completion for kelda-cli; made by kelda-cli help --bash-completion\n"
               "_kelda_cli()\n"
               "{\n"
               "    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}\n"
               "    local commands=\"%1\"\n"
               "    if [ \"$COMP_CWORD\" -eq 1 ]; then\n"
               "        COMPREPLY=($(compgen -W \"$commands --help --version\" -- \"$cur\"))\n"
               "        return\n"
               "    fi\n"
               "    local opts= valued=\n"
               "    case ${COMP_WORDS[1]} in\n"
               "%2"
               "    esac\n"
               "    if [ \"${COMP_WORDS[1]}\" = help ] && [ \"$COMP_CWORD\" -eq 2 ] && [[ $cur != -* ]]; then\n"
               "        COMPREPLY=($(compgen -W \"$commands\" -- \"$cur\"))\n"
               "    elif [ \"$prev\" = --port ]; then\n"
               "        local IFS=$'\\n'\n"
               "        COMPREPLY=($(compgen -W \"$(\"$1\" ports 2>/dev/null)\" -- \"$cur\"))\n"
               "    elif [[ \" $valued \" == *\" $prev \"* ]]; then\n"
               "        COMPREPLY=($(compgen -f -- \"$cur\"))\n"
               "    elif [[ $cur == -* ]]; then\n"
               "        COMPREPLY=($(compgen -W \"$opts\" -- \"$cur\"))\n"
               "    else\n"
               "        COMPREPLY=($(compgen -f -- \"$cur\"))\n"
               "    fi\n"
               "}\n"
               "complete -o filenames -F _kelda_cli kelda-cli\n")
        .arg(commands.join(QLatin1Char(' ')), cases);
}

// The words of one command, parsed from its description. 0 and *out, or the
// usage error's status.
int parse(const CliCommand &c, const QStringList &words, CliArgs *out)
{
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsOptions);
    for (const CliOption &o : c.options)
        parser.addOption(o.value ? QCommandLineOption(optionNames(o), QString(), text(o.value))
                                 : QCommandLineOption(optionNames(o)));
    if (!parser.parse(QStringList{QStringLiteral("kelda-cli")} + words)) {
        const QStringList unknown = parser.unknownOptionNames();
        if (unknown.isEmpty()) {
            QString why = parser.errorText();  // "Missing value after '--port'."
            if (why.endsWith(QLatin1Char('.')))
                why.chop(1);
            if (!why.isEmpty())
                why[0] = why[0].toLower();
            return cliUsageError(why);
        }
        // As it was typed: "-x", "--bogus" or "--bogus=1".
        QString typed = dashed(unknown.first());
        for (const QString &w : words)
            if (w == QLatin1Char('-') + unknown.first() || w == QLatin1String("--") + unknown.first()
                || w.startsWith(QLatin1String("--") + unknown.first() + QLatin1Char('='))) {
                typed = w.section(QLatin1Char('='), 0, 0);
                break;
            }
        return cliUsageError(QStringLiteral("unknown option '%1'").arg(cliToken(typed)));
    }
    const QStringList found = parser.optionNames();  // one entry each time an option was given
    for (const CliOption &o : c.options) {
        const QStringList aliases = optionNames(o);
        const QString name = aliases.first();
        const auto given =
            std::count_if(found.cbegin(), found.cend(), [&](const QString &n) { return aliases.contains(n); });
        if (given > 1)
            return cliUsageError(QStringLiteral("%1 given twice").arg(dashed(name)));
        if (given == 1 && o.value && !o.dash && std::strchr(o.value, '.') && parser.value(name) == QLatin1String("-"))
            return cliUsageError(QStringLiteral("%1 -: only compile -o and dbc -o write to standard output; "
                                                "give a file name (./- for a file named -)")
                                     .arg(dashed(name)));
        if (given == 1)
            out->values.insert(name, o.value ? parser.value(name) : QString());
        else if (o.required)
            return cliUsageError(QStringLiteral("missing %1 %2").arg(dashed(name), text(o.value)));
    }
    out->positional = parser.positionalArguments();
    const qsizetype most = qsizetype(c.arguments.size());
    const qsizetype least = most - c.optionalArguments;
    if (out->positional.size() < least)
        return cliUsageError(
            QStringLiteral("missing %1").arg(text(c.arguments.at(size_t(out->positional.size())).name)));
    if (out->positional.size() > most && !c.moreArguments)
        return cliUsageError(most == 0
                                 ? QStringLiteral("%1 takes no arguments").arg(text(c.name))
                                 : QStringLiteral("unexpected argument '%1'").arg(cliToken(out->positional.at(most))));
    return 0;
}

bool wantsHelp(const QStringList &words)
{
    for (const QString &w : words) {
        if (w == QLatin1String("--"))
            return false;
        if (w == QLatin1String("--help") || w == QLatin1String("-h"))
            return true;
    }
    return false;
}

int runHelp(const CliArgs &args)
{
    if (args.isSet("man")) {
        cliOut() << manPage();
    } else if (args.isSet("bash-completion")) {
        cliOut() << bashCompletion();
    } else if (args.positional.isEmpty()) {
        cliOut() << overviewText();
    } else if (const CliCommand *c = findCommand(args.positional.first())) {
        cliOut() << helpText(*c);
    } else {
        return cliUsageError(QStringLiteral("unknown command '%1'").arg(cliToken(args.positional.first())));
    }
    return 0;
}

const CliRegistration helpCommand{{
    .name = "help",
    .usage = "kelda-cli help [COMMAND] [--man | --bash-completion]",
    .summary = "describe the commands, or one command",
    .description = "Without COMMAND prints the list of commands; with it, what the command does and every "
                   "argument, option and exit status of it, as kelda-cli COMMAND --help does.",
    .arguments = {{"COMMAND", "the command to describe"}},
    .optionalArguments = 1,
    .options = {{"man", nullptr, "print the manual page kelda-cli(1) in roff instead"},
                {"bash-completion", nullptr, "print the bash completion script for kelda-cli instead"}},
    .statuses = {{0, "the help was printed"}},
    .run = &runHelp,
}};

}  // namespace

CliRegistration::CliRegistration(CliCommand command)
{
    std::deque<CliCommand> &commands = registry();
    const bool helpLast = !commands.empty() && qstrcmp(commands.back().name, "help") == 0;
    commands.insert(helpLast ? commands.end() - 1 : commands.end(), std::move(command));
}

QTextStream &cliOut()
{
    static QTextStream out(stdout);
    return out;
}

QTextStream &cliErr()
{
    static QTextStream err(stderr);
    return err;
}

int cliFail(const QString &what, const QString &why)
{
    cliOut().flush();
    cliErr() << "kelda-cli: " << what << ": " << why << Qt::endl;
    return 1;
}

QString cliToken(const QString &word)
{
    constexpr qsizetype kMost = 80;
    return word.size() <= kMost ? word : word.left(kMost) + QStringLiteral("...");
}

namespace {
int g_outputFailureStatus = 1;
}  // namespace

void cliSetOutputFailureStatus(int status)
{
    g_outputFailureStatus = status;
}

int cliUsageError(const QString &message)
{
    cliOut().flush();
    cliErr() << "kelda-cli: " << message << '\n';
    if (running)
        cliErr() << commandUsage(*running);
    else
        cliErr() << usageText();
    cliErr().flush();
    return 2;
}

// The platform's notice of a missing runtime folder, which the offscreen
// platform never uses: not a line for standard error, whose one line is the
// reason of a failure.
QtMessageHandler g_qtMessages = nullptr;
void dropRuntimeNotice(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (!message.startsWith(QLatin1String("QStandardPaths: XDG_RUNTIME_DIR not set")))
        g_qtMessages(type, context, message);
}

// Text needs fonts, and fonts a QGuiApplication: a command that lays out a
// document (report) or draws a plot (--plot) gets one, on the offscreen
// platform unless another is asked for. Everything else stays without one,
// so that no display or platform plugin is ever needed for it.
bool needsGui(int argc, char **argv)
{
    for (const CliCommand &c : registry())
        if (argc > 1 && c.gui && std::strcmp(argv[1], c.name) == 0)
            return true;
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--plot") == 0 || std::strncmp(argv[i], "--plot=", 7) == 0)
            return true;
    return false;
}

std::unique_ptr<QCoreApplication> makeApplication(int &argc, char **argv)
{
    if (needsGui(argc, argv)) {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
        g_qtMessages = qInstallMessageHandler(dropRuntimeNotice);
        return std::make_unique<QGuiApplication>(argc, argv);
    }
    return std::make_unique<QCoreApplication>(argc, argv);
}

namespace {

// What a command printed reaches its reader only once standard output is
// flushed and closed without an error: a full disk, a file size limit or a
// failing device must not pass for success.
bool standardOutputWritten(QString *why)
{
    errno = 0;
    cliOut().flush();
    bool ok = cliOut().status() == QTextStream::Ok;
    int err = errno;
    // The stream's file keeps the system's reason of its failed write.
    auto *file = qobject_cast<QFileDevice *>(cliOut().device());
    if (file && (!file->flush() || file->error() != QFileDevice::NoError)) {
        *why = file->errorString();
        return false;
    }
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        ok = false;
        err = err ? err : errno;
    }
    // Some file systems report a failed write only when the file is closed.
    const int fd = ::dup(STDOUT_FILENO);
    if (fd >= 0 && ::close(fd) != 0) {
        ok = false;
        err = err ? err : errno;
    }
    if (!ok)
        *why = err ? QString::fromLocal8Bit(std::strerror(err)) : QStringLiteral("a write failed");
    return ok;
}

// A standard stream that is closed would be the first file we open, and
// what we print would land in it. Each takes /dev/null opened for reading
// instead: input ends at once, and output fails and is reported.
void keepStandardStreamsTaken()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd)
        if (::fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
            const int opened = ::open("/dev/null", O_RDONLY);
            if (opened >= 0 && opened != fd) {
                ::dup2(opened, fd);
                ::close(opened);
            }
        }
}

int runCommand(QCoreApplication &app)
{
    QStringList words = app.arguments().mid(1);
    if (words.isEmpty())
        return cliUsageError(QStringLiteral("no command given"));
    const QString first = words.takeFirst();
    if (first == QLatin1String("--help") || first == QLatin1String("-h")) {
        cliOut() << overviewText();
        return 0;
    }
    if (first == QLatin1String("--version")) {
        cliOut() << "kelda-cli " << QCoreApplication::applicationVersion() << '\n';
        return 0;
    }
    running = findCommand(first);
    if (!running)
        return cliUsageError(first.startsWith(QLatin1Char('-'))
                                 ? QStringLiteral("unknown option '%1'").arg(cliToken(first))
                                 : QStringLiteral("unknown command '%1'").arg(cliToken(first)));
    if (wantsHelp(words)) {
        cliOut() << helpText(*running);
        return 0;
    }
    CliArgs args;
    if (const int status = parse(*running, words, &args))
        return status;
    return running->run(args);
}

}  // namespace

int main(int argc, char *argv[])
{
    // A file size limit makes a write fail with "File too large", reported
    // and cleaned up like any other failed write, instead of killing us.
    std::signal(SIGXFSZ, SIG_IGN);
    keepStandardStreamsTaken();
    const std::unique_ptr<QCoreApplication> app = makeApplication(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kelda-cli"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KELDA_VERSION));
    int status = runCommand(*app);
    QString why;
    if (!standardOutputWritten(&why)) {
        cliErr() << "kelda-cli: standard output cannot be written: " << why << '\n';
        status = std::max(status, g_outputFailureStatus);
    }
    cliErr().flush();
    return status;
}
