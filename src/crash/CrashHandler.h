// The crash handler: when the program dies of a fatal signal (Linux) or an unhandled
// exception (Windows), or through std::terminate, it leaves a report in the reports'
// directory and the process then ends exactly as it would have without it (the same signal,
// the same exit status, the core dump unchanged).
//
// On Linux the handler itself only does what is safe in a signal handler: everything it
// writes was prepared at Install (paths, the version header) or sits in CrashSnapshot's
// fixed slots, and the frames' return addresses are collected with the unwinder loaded in
// advance. Naming them takes the heap and reading files, so a helper program does it
// (kestrom-crash-report, beside the program): the handler starts it and waits, while the
// crashed process, still whole, is there for the helper to read its memory map.
#pragma once

#include <QString>

namespace CrashHandler {

struct Setup {
    // Where the reports go (CrashReport::Directory()); made if missing.
    QString directory;
    // Linux: the helper that names the frames; empty or missing: the report keeps the raw
    // addresses and the process's memory map instead.
    QString helper;
    // The program's version for the report's header.
    QString version;
};

// Installs the handler for the whole process; false, with why, when the directory cannot be
// had (nothing is installed then). Called once, on the GUI thread, after the application
// object exists; that thread is named "GUI thread" in the reports.
bool Install(const Setup& setup, QString* why = nullptr);

// The helper's usual place: beside the program.
QString DefaultHelper();

} // namespace CrashHandler
