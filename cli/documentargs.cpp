#include "documentargs.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>

#include "atomicfile.h"
#include "clicommand.h"
#include "pmmodel.h"
#include "setupcheck.h"
#include "setupfile.h"
#include "simscenario.h"

QString shownPath(const QString &path)
{
    return QDir::toNativeSeparators(path);
}

QString openFailureReason(QString reason, const QString &path)
{
    // The model's and the store's reasons start with what failed; the
    // command says that itself, once.
    for (const QString &prefix :
         {QStringLiteral("Could not open \"%1\": ").arg(path), QStringLiteral("cannot open %1: ").arg(path)})
        if (reason.startsWith(prefix))
            reason = reason.mid(prefix.size());
    return reason;
}

namespace {

// Opens with the setup's own open (PMModel or SetupFile), which says why it failed.
template <typename Open, typename Error>
bool readSetup(const QString &path, QString *why, Open open, Error errorText)
{
    if (!QFileInfo::exists(path)) {
        *why = QStringLiteral("no such file");
        return false;
    }
    if (open())
        return true;
    const QString reason = openFailureReason(errorText(), path);
    *why = reason.isEmpty() ? QStringLiteral("not a setup file") : reason;
    return false;
}

bool openedOrFailed(bool opened, const QString &path, const QString &why, int *status)
{
    if (!opened)
        *status = cliFail(QStringLiteral("cannot open %1").arg(shownPath(path)), why);
    return opened;
}

}  // namespace

bool readSetupFile(PMModel &model, const QString &path, QString *why)
{
    return readSetup(
        path, why, [&] { return model.openSetup(path); }, [&] { return model.errorString(); });
}

bool readSetupFile(kelda::SetupFile &setup, const QString &path, QString *why)
{
    return readSetup(
        path, why, [&] { return setup.open(path); }, [&] { return setup.errorString(); });
}

bool openDocumentSetup(PMModel &model, const QString &path, int *status)
{
    QString why;
    return openedOrFailed(readSetupFile(model, path, &why), path, why, status);
}

bool openDocumentSetup(kelda::SetupFile &setup, const QString &path, int *status)
{
    QString why;
    return openedOrFailed(readSetupFile(setup, path, &why), path, why, status);
}

bool outputWritable(const QString &path, int *status)
{
    QString why;
    if (kelda::fileio::checkOutput(path, &why))
        return true;
    *status = cliFail(QStringLiteral("cannot write %1").arg(shownPath(path)), why);
    return false;
}

bool refuseOutputIsInput(const QString &output, const QStringList &inputs, const QString &role, int *status)
{
    const QString input = kelda::fileio::clashingInput(output, inputs);
    if (input.isEmpty())
        return false;
    const QString shown = input == QLatin1String("-") ? QStringLiteral("standard input") : shownPath(input);
    *status = cliFail(QStringLiteral("cannot write %1").arg(shownPath(output)),
                      QStringLiteral("it is %1, %2").arg(shown, role));
    return true;
}

int writeFailed(const QString &error)
{
    cliOut().flush();
    cliErr() << "kelda-cli: " << cliOneLine(error) << Qt::endl;
    return 1;
}

void writeStandardOutput(const QByteArray &bytes)
{
    // Through the stream's own file, which keeps the reason of a failure.
    cliOut().flush();
    cliOut().device()->write(bytes);
}

bool simLimitsOf(const CliArgs &args, kelda::SimLimits *limits, int *status)
{
    auto take = [&](const char *option, qint64 *value) {
        if (!args.isSet(option))
            return true;
        const QString text = args.value(option);
        bool ok = !text.isEmpty() && std::all_of(text.cbegin(), text.cend(), [](QChar c) { return c.isDigit(); });
        const qint64 n = ok ? text.toLongLong(&ok) : 0;
        if (ok && n >= 1) {
            *value = n;
            return true;
        }
        *status = cliUsageError(
            QStringLiteral("--%1 needs a whole number from 1, not '%2'").arg(QLatin1String(option), cliToken(text)));
        return false;
    };
    return take("max-ticks", &limits->maxTicks) && take("max-changes", &limits->maxChanges);
}

void noteSetupErrors(const kelda::SimScenario &scenario, const QString &setupPath)
{
    const int errors = kelda::check::errorCount(kelda::check::checkSetup(scenario.session()));
    if (errors == 0)
        return;
    cliOut().flush();
    cliErr() << "kelda-cli: " << cliOneLine(shownPath(setupPath)) << ": the setup has " << errors
             << (errors == 1 ? " error" : " errors") << "; simulating it anyway" << Qt::endl;
}
