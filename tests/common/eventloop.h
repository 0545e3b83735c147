// Waiting for the event loop to bring something about.
#pragma once

#include <functional>

namespace kelda::test {

// Runs the event loop until the condition holds or timeoutMs have passed, and
// returns whether it holds. Unlike QTest::qWaitFor, which sleeps 10 ms between
// passes and takes what each pass posts only in the next one, the loop runs
// the whole time: serial lines, processes and the ECU library's queued steps
// go on at full speed, and the condition is looked at every few milliseconds.
bool waitUntil(const std::function<bool()> &condition, int timeoutMs);

}  // namespace kelda::test
