#include "documentargs.h"

#include <QDir>
#include <QFileInfo>

#include "clicommand.h"
#include "pmmodel.h"

QString shownPath(const QString &path)
{
    return QDir::toNativeSeparators(path);
}

bool readSetupFile(PMModel &model, const QString &path, QString *why)
{
    if (!QFileInfo::exists(path)) {
        *why = QStringLiteral("no such file");
        return false;
    }
    if (model.openSetup(path))
        return true;
    QString reason = model.lastError();
    // The model's reason starts with what failed; the command says that itself.
    const QString prefix = QStringLiteral("Could not open \"%1\": ").arg(path);
    if (reason.startsWith(prefix))
        reason = reason.mid(prefix.size());
    *why = reason.isEmpty() ? QStringLiteral("not a setup file") : reason;
    return false;
}

bool openDocumentSetup(PMModel &model, const QString &path, int *status)
{
    QString why;
    if (readSetupFile(model, path, &why))
        return true;
    *status = cliFail(QStringLiteral("cannot open %1").arg(shownPath(path)), why);
    return false;
}
