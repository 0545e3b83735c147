// kelda-cli simulate --bus: the setup's logic in real time on a live CAN bus.
#pragma once

#include <QString>

struct CliArgs;

// Decimal seconds ("1436509052.249713", "2.5") as nanoseconds; false when
// the text is not such a number or too large.
bool simSecondsOf(const QString &text, qint64 *ns);

// Runs until --for ends it or SIGINT; status 0 then, 1 when the bus cannot
// be used, 2 for a usage error.
int runBusBridge(const CliArgs &args);
