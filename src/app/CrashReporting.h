// The crash report at the program's start: the box for a report the user has not seen, then
// the handler for this run.
#pragma once

namespace CrashReporting {

// After the single-instance check, before the main window: shows the newest report not yet
// seen (once), keeps the newest reports only, and installs the crash handler.
void Start();

} // namespace CrashReporting
