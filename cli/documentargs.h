// The commands that write a document of a setup (report, dbc): the setup
// opened as the editor opens it.
#pragma once

#include <QString>

class PMModel;

// False after a failure message (status 1).
bool openDocumentSetup(PMModel &model, const QString &path, int *status);
QString shownPath(const QString &path);
