#include "documentargs.h"

#include <QDir>
#include <QFileInfo>

#include "clicommand.h"
#include "pmmodel.h"

QString shownPath(const QString &path) { return QDir::toNativeSeparators(path); }

bool parseDocumentArgs(const QStringList &args, const char *usage, QString *setup, QString *out, int *status)
{
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString &a = args.at(i);
        if (a == QLatin1String("--help") || a == QLatin1String("-h")) {
            cliOut() << "usage: " << usage << Qt::endl;
            *status = 0;
            return false;
        }
        if (a == QLatin1String("-o") || a == QLatin1String("--output")) {
            if (i + 1 >= args.size() || !out->isEmpty()) {
                *status = cliUsageError(out->isEmpty() ? QStringLiteral("-o needs a file name") : QStringLiteral("-o given twice"));
                return false;
            }
            *out = args.at(++i);
        } else if (a.startsWith(QLatin1Char('-')) && a.size() > 1) {
            *status = cliUsageError(QStringLiteral("unknown option '%1'").arg(a));
            return false;
        } else if (!setup->isEmpty()) {
            *status = cliUsageError(QStringLiteral("too many file names"));
            return false;
        } else {
            *setup = a;
        }
    }
    if (setup->isEmpty() || out->isEmpty()) {
        *status = cliUsageError(setup->isEmpty() ? QStringLiteral("missing file name") : QStringLiteral("missing -o FILE"));
        return false;
    }
    return true;
}

bool openDocumentSetup(PMModel &model, const QString &path, int *status)
{
    if (!QFileInfo::exists(path)) {
        *status = cliFail(QStringLiteral("cannot open %1").arg(shownPath(path)), QStringLiteral("no such file"));
        return false;
    }
    if (!model.openSetup(path)) {
        const QString why = model.lastError().isEmpty() ? QStringLiteral("not a setup file") : model.lastError();
        *status = cliFail(QStringLiteral("cannot open %1").arg(shownPath(path)), why);
        return false;
    }
    return true;
}
