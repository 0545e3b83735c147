#include "documentargs.h"

#include <QDir>
#include <QFileInfo>

#include "clicommand.h"
#include "pmmodel.h"

QString shownPath(const QString &path)
{
    return QDir::toNativeSeparators(path);
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
