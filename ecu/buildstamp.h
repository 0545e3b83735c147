// When this build was configured, in UTC ("yyyy-MM-ddThh:mm:ss").
#pragma once

namespace kelda {
extern const char kBuildTimestampUtc[];
}
