// kelda-cli: the editor's own code without a display, for scripts and tests.
// This file only reads the words: it parses them from each command's
// description (clicommand.h) and prints the help, the manual page and the
// bash completion from the same descriptions.
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QRegularExpression>
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
#include "crossrefs.h"
#include "pmcolumns.h"

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

#ifndef KELDA_MAN_DATE
#define KELDA_MAN_DATE ""
#endif

struct ManEntry {
    const char *term;
    const char *text;
};

// The environment variables the program reads, for ENVIRONMENT.
const ManEntry kEnvironment[] = {
    {"CORLA_EXTRA_PORTS",
     "Colon-separated device paths listed as serial ports besides those the system knows, "
     "such as the pseudo-terminal of lx2-emulator."},
    {"CORLA_PORTS_FILE",
     "A file of further device paths, one a line (# starts a comment); default "
     "$XDG_CONFIG_HOME/corla/ports."},
    {"CORLA_NO_SYSTEM_PORTS", "When set to anything but 0, the system's serial ports are not listed."},
    {"CORLA_RUNE_PATH",
     "Colon-separated folders searched for module description (RUNE) files instead of the "
     "usual ones (FILES)."},
    {"CORLA_REPLY_TIMEOUT_MS",
     "How long a request waits for the module's reply, in milliseconds, before the time "
     "the bytes take on the line is added; default 400."},
    {"CORLA_COMMIT_TIMEOUT_MS",
     "How long the module may take to store a calibration after COMMIT, in "
     "milliseconds; default 5000."},
    {"QT_QPA_PLATFORM",
     "The Qt platform of the commands that lay out text (report, simulate --plot); without "
     "it they use offscreen and need no display."},
    {"XDG_CONFIG_HOME, XDG_DATA_HOME, XDG_DATA_DIRS",
     "Where the ports file and the RUNE folders are looked for "
     "(FILES)."},
};

const char *const kExamples[] = {
    "kelda-cli check pump.kelda",
    "kelda-cli compile pump.kelda -o pump.bin",
    "kelda-cli diff old.kelda new.kelda || echo \"the setups differ\"",
    "kelda-cli uses pump.kelda \"CAN Inputs\" \"Engine RPM\"",
    "kelda-cli simulate pump.kelda --script press.txt --trace run.vcd",
    "CORLA_EXTRA_PORTS=/tmp/lx2 kelda-cli upload pump.kelda --port /tmp/lx2 --backup before.cal",
};

// A term and its paragraph: .TP, the term in bold, the text.
QString manItem(const QString &term, const QString &body)
{
    return QStringLiteral(".TP\n.B %1\n%2\n").arg(roff(term), roff(body));
}

QString manTrailer()
{
    QString t = QStringLiteral(".SH EXIT STATUS\n")
        + roff(QStringLiteral("0 success; 1 the operation failed (one line on standard error); 2 usage error (what "
                              "is wrong and the usage on standard error). Each command says more:"))
        + QLatin1Char('\n');
    for (const CliCommand &c : registry()) {
        QStringList meanings;
        for (const CliStatus &s : statusesOf(c))
            meanings << QStringLiteral("%1 %2").arg(s.code).arg(text(s.meaning));
        t += manItem(text(c.name), meanings.join(QStringLiteral("; ")) + QLatin1Char('.'));
    }
    t += QStringLiteral(".SH ENVIRONMENT\n");
    for (const ManEntry &v : kEnvironment)
        t += manItem(text(v.term), text(v.text));
    t += QStringLiteral(".SH FILES\n")
        + manItem(QStringLiteral("$XDG_DATA_HOME/corla/runes, $XDG_DATA_DIRS/corla/runes"),
                  QStringLiteral("Module description (RUNE) files, in this order (normally ~/.local/share, "
                                 "/usr/local/share and /usr/share), then ../share/corla/runes next to the program; "
                                 "the package installs its own in /usr/share/corla/runes."))
        + manItem(QStringLiteral("$XDG_CONFIG_HOME/corla/ports"),
                  QStringLiteral("Further serial ports, one device path a line (normally ~/.config/corla/ports). "
                                 "kelda-cli reads no settings of the editor."))
        + manItem(QStringLiteral("$XDG_CONFIG_HOME/Ostrel/history.jsonl"),
                  QStringLiteral("The history of uploads, reads, restores and backups, one JSON line each, beside "
                                 "the editor's settings (kelda-cli history lists it)."));
    t += QStringLiteral(".SH EXAMPLES\n.nf\n");
    for (const char *e : kExamples)
        t += roff(text(e)) + QLatin1Char('\n');
    t += QStringLiteral(".fi\n.SH SEE ALSO\n.BR kelda (1),\n.BR lx2\\-emulator (1)\n");
    return t;
}

// The commands, each with its arguments, options and exit statuses.
QString manCommands()
{
    QString t = QStringLiteral(".SH COMMANDS\n");
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
    return t;
}

QString manPage()
{
    QString t;
    t += QStringLiteral(".TH KELDA\\-CLI 1 \"%1\" \"KELDA %2\" \"User Commands\"\n")
             .arg(QLatin1String(KELDA_MAN_DATE), QCoreApplication::applicationVersion());
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
    return t + manCommands() + manTrailer();
}

// The tab texts of the tables whose items can be used, as `uses` takes them.
QStringList usableTables()
{
    QStringList tables;
    for (int m = 0; m < kelda::kModeCount; ++m)
        if (const kelda::ModeSpec *spec = kelda::modeSpec(m); kelda::isReferable(spec->type))
            tables << QString::fromLatin1(spec->table);
    return tables;
}

// What the completion offers for a word, by the name the description gives
// it: a file for "SETUP.kelda" or "FILE", the tables for "TABLE", the
// commands for "COMMAND", and nothing for a number or a name ("SECONDS").
QString completionKind(const QString &name)
{
    if (name == QLatin1String("TABLE"))
        return QStringLiteral("table");
    if (name == QLatin1String("COMMAND"))
        return QStringLiteral("command");
    // A file: FILE, DIR, LOG or a name with a suffix ("SETUP.kelda"); a dot
    // before capitals ("MESSAGE.SIGNAL") joins two names instead.
    static const QRegularExpression suffix(QStringLiteral("\\.[a-z]"));
    if (name.contains(suffix) || name.contains(QLatin1String("FILE")) || name.contains(QLatin1String("DIR"))
        || name == QLatin1String("LOG"))
        return QStringLiteral("file");
    return QStringLiteral("none");
}

// One case of the completion's switch: the command's options, those that
// take a value and of them those whose value is a file, and the kind of each
// argument (the last kind stands for further words when it takes more).
QString completionCase(const CliCommand &c)
{
    QStringList words{QStringLiteral("--help")};
    QStringList valued;
    QStringList files;
    for (const CliOption &o : c.options)
        for (const QString &n : optionNames(o)) {
            words << dashed(n);
            if (o.value)
                valued << dashed(n);
            if (o.value && completionKind(text(o.value)) == QLatin1String("file"))
                files << dashed(n);
        }
    QStringList kinds;
    for (const CliArgument &a : c.arguments)
        kinds << completionKind(text(a.name));
    const QString more = c.moreArguments && !kinds.isEmpty() ? kinds.last() : QStringLiteral("none");
    return QStringLiteral("        %1) opts=\"%2\" valued=\"%3\" files=\"%4\" args=\"%5\" more=%6 ;;\n")
        .arg(text(c.name), words.join(QLatin1Char(' ')), valued.join(QLatin1Char(' ')), files.join(QLatin1Char(' ')),
             kinds.join(QLatin1Char(' ')), more);
}

// %1 the commands, %2 a case for each, %3 the tables, one a line.
constexpr char kCompletionScript[] = R"BASH(# bash completion for kelda-cli; made by kelda-cli help --bash-completion

# The word as the program will get it: without its quotes and backslashes.
_kelda_cli_dequote()
{
    local w=$1 out= i c
    case $w in
        \'*) out=${w#\'}; out=${out%\'} ;;
        \"*) out=${w#\"}; out=${out%\"} ;;
        *) for ((i = 0; i < ${#w}; i++)); do
               c=${w:i:1}
               [[ $c == \\ ]] && { ((i++)); c=${w:i:1}; }
               out+=$c
           done ;;
    esac
    printf '%s' "$out"
}

# compgen's answers, one a line, so that names with blanks stay whole and
# nothing is globbed; $1 separates the words of a -W list.
_kelda_cli_offer()
{
    local IFS=$1
    shift
    mapfile -t COMPREPLY < <(compgen "$@" -- "$cur")
}

_kelda_cli()
{
    local cur prev=${COMP_WORDS[COMP_CWORD-1]}
    cur=$(_kelda_cli_dequote "${COMP_WORDS[COMP_CWORD]}")
    local commands="%1"
    local tables=$'%3'
    COMPREPLY=()
    if [ "$COMP_CWORD" -eq 1 ]; then
        _kelda_cli_offer ' ' -W "$commands --help --version"
        return
    fi
    local opts= valued= files= args= more=none
    case ${COMP_WORDS[1]} in
%2    esac
    if [ "$prev" = --port ]; then
        _kelda_cli_offer $'\n' -W "$("$1" ports 2>/dev/null)"
        return
    elif [[ " $valued " == *" $prev "* ]]; then
        # The value of an option: a file, or nothing to offer (--timeout).
        if [[ " $files " == *" $prev "* ]]; then
            _kelda_cli_offer ' ' -f
        fi
        return
    elif [[ $cur == -* ]]; then
        _kelda_cli_offer ' ' -W "$opts"
        return
    fi
    # Which argument this word is: the words before it that are no option or option value.
    local i n=0 word
    for ((i = 2; i < COMP_CWORD; i++)); do
        word=${COMP_WORDS[i]}
        if [[ " $valued " == *" $word "* ]]; then
            ((i++))
        elif [[ $word != -?* ]]; then
            ((n++))
        fi
    done
    local kinds=($args)
    case ${kinds[n]:-$more} in
        file) _kelda_cli_offer ' ' -f ;;
        table) _kelda_cli_offer $'\n' -W "$tables" ;;
        command) _kelda_cli_offer ' ' -W "$commands" ;;
    esac
}
complete -o filenames -F _kelda_cli kelda-cli
)BASH";

QString bashCompletion()
{
    QStringList commands;
    QString cases;
    for (const CliCommand &c : registry()) {
        commands << text(c.name);
        cases += completionCase(c);
    }
    return QString::fromLatin1(kCompletionScript)
        .arg(commands.join(QLatin1Char(' ')), cases, usableTables().join(QStringLiteral("\\n")));
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
    // Each prints a whole page for the program: one at a time, and no COMMAND.
    if (args.isSet("man") && args.isSet("bash-completion"))
        return cliUsageError(QStringLiteral("--man and --bash-completion cannot be given together"));
    if ((args.isSet("man") || args.isSet("bash-completion")) && !args.positional.isEmpty())
        return cliUsageError(
            QStringLiteral("%1 is for the whole program: no COMMAND with it")
                .arg(args.isSet("man") ? QStringLiteral("--man") : QStringLiteral("--bash-completion")));
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
    cliErr() << "kelda-cli: " << cliOneLine(what + QStringLiteral(": ") + why) << Qt::endl;
    return 1;
}

QString cliOneLine(const QString &text)
{
    QString line;
    line.reserve(text.size());
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (u == u'\n')
            line += QStringLiteral("\\n");
        else if (u == u'\r')
            line += QStringLiteral("\\r");
        else if (u == u'\t')
            line += QStringLiteral("\\t");
        else if (u < 0x20 || u == 0x7f || (u >= 0x80 && u < 0xa0) || u == 0x2028 || u == 0x2029)
            line += QStringLiteral("\\x%1").arg(int(u), u > 0xff ? 4 : 2, 16, QLatin1Char('0'));
        else
            line += c;
    }
    return line;
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
    cliErr() << "kelda-cli: " << cliOneLine(message) << '\n';
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
