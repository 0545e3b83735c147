// kelda-cli: the editor's own code without a display, for scripts and tests.
#include <QCoreApplication>
#include <QGuiApplication>
#include <QTextStream>

#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "clicommand.h"

namespace {
std::vector<const CliCommand *> &registry()
{
    static std::vector<const CliCommand *> commands;
    return commands;
}

QString usageText()
{
    QString text = QStringLiteral("usage:\n");
    for (const CliCommand *c : registry())
        for (const QString &line : QString::fromUtf8(c->usage).split(QLatin1Char('\n')))
            text += QStringLiteral("  ") + line + QLatin1Char('\n');
    text += QStringLiteral("  kelda-cli --help\n");
    return text;
}
} // namespace

CliCommand::CliCommand(const char *n, const char *u, int (*r)(const QStringList &), bool g)
    : name(n), usage(u), run(r), gui(g)
{
    registry().push_back(this);
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

int cliUsageError(const QString &message)
{
    cliOut().flush();
    if (!message.isEmpty())
        cliErr() << "kelda-cli: " << message << '\n';
    cliErr() << usageText() << Qt::flush;
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
    for (const CliCommand *c : registry())
        if (argc > 1 && c->gui && std::strcmp(argv[1], c->name) == 0)
            return true;
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--plot") == 0)
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

int main(int argc, char *argv[])
{
    const std::unique_ptr<QCoreApplication> app = makeApplication(argc, argv);
    QStringList args = app->arguments().mid(1);
    if (args.isEmpty())
        return cliUsageError(QStringLiteral("no command given"));
    if (args.first() == QLatin1String("--help") || args.first() == QLatin1String("-h")) {
        cliOut() << usageText() << Qt::flush;
        return 0;
    }
    const QString name = args.takeFirst();
    for (const CliCommand *c : registry()) {
        if (name == QLatin1String(c->name)) {
            const int rc = c->run(args);
            cliOut().flush();
            cliErr().flush();
            return rc;
        }
    }
    return cliUsageError(QStringLiteral("unknown command '%1'").arg(name));
}
