// What the About box says about this build.
#pragma once

namespace kelda {
// The project's version with its build number, "2.0.15.0".
extern const char kVersion[];
// When this build was configured, in UTC ("yyyy-MM-ddThh:mm:ss").
extern const char kBuildTimestampUtc[];
}  // namespace kelda
