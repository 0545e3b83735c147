// The commands that read a setup file: the setup opened as the editor opens
// it, and paths shown as the system writes them.
#pragma once

#include <QString>

class PMModel;

// Opens a setup as the editor's Open does; false with the reason otherwise.
bool readSetupFile(PMModel &model, const QString &path, QString *why);
// False after a failure message (status 1).
bool openDocumentSetup(PMModel &model, const QString &path, int *status);
QString shownPath(const QString &path);
