// The arguments of the commands that write a document of a setup
// (report, dbc): SETUP and -o FILE, and the setup opened as the editor opens it.
#pragma once

#include <QString>
#include <QStringList>

class PMModel;

// False after --help (status 0) or a usage error (status 2).
bool parseDocumentArgs(const QStringList &args, const char *usage, QString *setup, QString *out, int *status);
// False after a failure message (status 1).
bool openDocumentSetup(PMModel &model, const QString &path, int *status);
QString shownPath(const QString &path);
