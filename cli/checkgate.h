// The gate in front of the commands that use the image: a setup with errors
// (kelda-cli check) is not compiled, exported or uploaded.
#pragma once

#include <QString>

class PMModel;

// 0 when the setup has no errors, or when `force` lets it through (the errors
// are printed either way); otherwise the exit status after the findings and
// one failure line are printed.
int cliCheckGate(PMModel &model, const QString &path, bool force = false);
