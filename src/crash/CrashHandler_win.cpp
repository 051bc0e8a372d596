// Windows: an unhandled structured exception (access violation and the like), SIGABRT
// (abort(), qFatal) and std::terminate leave a report and a minidump beside it. The frames
// are written as module+offset: the program is built by mingw-w64, whose debug information
// (DWARF) DbgHelp does not read; scripts/symbolize-windows-crash names them from the
// build's kestrom.exe.debug. The unwinding uses the x64 unwind tables (.pdata) every
// module carries.
#include "crash/CrashHandler.h"

#include "crash/CrashReport.h"
#include "crash/CrashSnapshot.h"

#include <QCoreApplication>
#include <QDir>
#include <QSysInfo>

#include <algorithm>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cxxabi.h>
#include <exception>
#include <string>
#include <typeinfo>
#include <windows.h>
// After windows.h, which it needs.
#include <dbghelp.h>

namespace {

constexpr int MaxFrames = 64;

wchar_t g_dir[MAX_PATH];
char g_header[2048];
DWORD g_mainThread = 0;
LPTOP_LEVEL_EXCEPTION_FILTER g_previousFilter = nullptr;
std::terminate_handler g_previousTerminate = nullptr;
void (*g_previousAbort)(int) = SIG_DFL;
char g_exception[512];
volatile LONG g_handling = 0;

HANDLE g_file = INVALID_HANDLE_VALUE;
char g_line[CrashSnapshot::LineBytes + 64];

void put(const char* text, std::size_t n) {
    DWORD written = 0;
    WriteFile(g_file, text, static_cast<DWORD>(n), &written, nullptr);
}

void put(const char* text) {
    put(text, std::strlen(text));
}

void putf(const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (n > 0)
        put(text, std::min<std::size_t>(static_cast<std::size_t>(n), sizeof text - 1));
}

const char* exceptionName(DWORD code) {
    switch (code) {
    case EXCEPTION_ACCESS_VIOLATION:
        return "EXCEPTION_ACCESS_VIOLATION";
    case EXCEPTION_ARRAY_BOUNDS_EXCEEDED:
        return "EXCEPTION_ARRAY_BOUNDS_EXCEEDED";
    case EXCEPTION_DATATYPE_MISALIGNMENT:
        return "EXCEPTION_DATATYPE_MISALIGNMENT";
    case EXCEPTION_FLT_DIVIDE_BY_ZERO:
        return "EXCEPTION_FLT_DIVIDE_BY_ZERO";
    case EXCEPTION_ILLEGAL_INSTRUCTION:
        return "EXCEPTION_ILLEGAL_INSTRUCTION";
    case EXCEPTION_IN_PAGE_ERROR:
        return "EXCEPTION_IN_PAGE_ERROR";
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
        return "EXCEPTION_INT_DIVIDE_BY_ZERO";
    case EXCEPTION_PRIV_INSTRUCTION:
        return "EXCEPTION_PRIV_INSTRUCTION";
    case EXCEPTION_STACK_OVERFLOW:
        return "EXCEPTION_STACK_OVERFLOW";
    case STATUS_HEAP_CORRUPTION:
        return "STATUS_HEAP_CORRUPTION";
    }
    return "exception";
}

// "crash-20261210-185006-4242" into base (without the extension).
void reportBase(wchar_t* base, std::size_t cap) {
    SYSTEMTIME t;
    GetSystemTime(&t);
    _snwprintf(base, cap, L"%ls\\crash-%04u%02u%02u-%02u%02u%02u-%lu", g_dir, t.wYear, t.wMonth, t.wDay,
               t.wHour, t.wMinute, t.wSecond, GetCurrentProcessId());
    base[cap - 1] = L'\0';
}

void putFrames(CONTEXT context) {
    put("Call stack (module+offset; scripts/symbolize-windows-crash names them):\n");
    for (int i = 0; i < MaxFrames && context.Rip != 0; ++i) {
        const DWORD64 pc = context.Rip;
        HMODULE module = nullptr;
        wchar_t path[MAX_PATH] = L"?";
        if (GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                   GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                               reinterpret_cast<LPCWSTR>(pc), &module))
            GetModuleFileNameW(module, path, MAX_PATH);
        const wchar_t* name = std::wcsrchr(path, L'\\');
        name = name ? name + 1 : path;
        char utf8[MAX_PATH * 3];
        WideCharToMultiByte(CP_UTF8, 0, name, -1, utf8, sizeof utf8, nullptr, nullptr);
        putf(" #%d 0x%016llx %s+0x%llx\n", i, static_cast<unsigned long long>(pc), utf8,
             static_cast<unsigned long long>(pc - reinterpret_cast<DWORD64>(module)));

        DWORD64 imageBase = 0;
        PRUNTIME_FUNCTION function = RtlLookupFunctionEntry(pc, &imageBase, nullptr);
        if (function) {
            void* handlerData = nullptr;
            DWORD64 establisher = 0;
            RtlVirtualUnwind(UNW_FLAG_NHANDLER, imageBase, pc, function, &context, &handlerData, &establisher,
                             nullptr);
        } else {
            // A leaf function: the return address is on top of the stack.
            context.Rip = *reinterpret_cast<DWORD64*>(context.Rsp);
            context.Rsp += 8;
        }
    }
}

void writeMinidump(const wchar_t* base, EXCEPTION_POINTERS* pointers) {
    wchar_t path[MAX_PATH + 8];
    _snwprintf(path, MAX_PATH + 8, L"%ls.dmp", base);
    path[MAX_PATH + 7] = L'\0';
    HANDLE dump = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (dump == INVALID_HANDLE_VALUE)
        return;
    MINIDUMP_EXCEPTION_INFORMATION info{};
    info.ThreadId = GetCurrentThreadId();
    info.ExceptionPointers = pointers;
    info.ClientPointers = FALSE;
    MiniDumpWriteDump(GetCurrentProcess(), GetCurrentProcessId(), dump,
                      static_cast<MINIDUMP_TYPE>(MiniDumpNormal | MiniDumpWithThreadInfo), &info, nullptr,
                      nullptr);
    CloseHandle(dump);
}

void writeReport(const char* what, EXCEPTION_POINTERS* pointers) {
    // One report per process: a second crash while writing (or on another thread) adds none.
    if (InterlockedExchange(&g_handling, 1) != 0)
        return;
    CreateDirectoryW(g_dir, nullptr);
    wchar_t base[MAX_PATH];
    reportBase(base, MAX_PATH - 8);
    wchar_t path[MAX_PATH + 8];
    _snwprintf(path, MAX_PATH + 8, L"%ls.txt", base);
    path[MAX_PATH + 7] = L'\0';
    g_file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (g_file == INVALID_HANDLE_VALUE)
        return;
    SYSTEMTIME t;
    GetSystemTime(&t);
    put("Kestrom crash report\n");
    putf("Time: %04u-%02u-%02u %02u:%02u:%02u UTC\n", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute,
         t.wSecond);
    put(g_header);
    if (pointers) {
        const EXCEPTION_RECORD* record = pointers->ExceptionRecord;
        putf("Exception: %s (0x%08lx) at 0x%016llx", exceptionName(record->ExceptionCode),
             record->ExceptionCode, reinterpret_cast<unsigned long long>(record->ExceptionAddress));
        if (record->ExceptionCode == EXCEPTION_ACCESS_VIOLATION && record->NumberParameters >= 2)
            putf(", %s address 0x%016llx",
                 record->ExceptionInformation[0] == 0   ? "reading"
                 : record->ExceptionInformation[0] == 8 ? "executing"
                                                        : "writing",
                 static_cast<unsigned long long>(record->ExceptionInformation[1]));
        put("\n");
    } else {
        putf("Signal: %s\n", what);
    }
    if (g_exception[0] != '\0')
        putf("Exception: %s\n", g_exception);
    const DWORD thread = GetCurrentThreadId();
    putf("Thread: %s, id %lu\n", thread == g_mainThread ? "GUI thread" : "other thread", thread);
    put("Connection: ");
    put(g_line, CrashSnapshot::ReadState(g_line, sizeof g_line));
    put("\n");
    CONTEXT context{};
    if (pointers) {
        context = *pointers->ContextRecord;
    } else {
        RtlCaptureContext(&context);
    }
    putFrames(context);
    const int lines = CrashSnapshot::TailCount();
    putf("Traffic log, last %d lines (master code masked):\n", lines);
    for (int i = 0; i < lines; ++i) {
        put(g_line, CrashSnapshot::ReadTail(i, g_line, sizeof g_line));
        put("\n");
    }
    CloseHandle(g_file);
    g_file = INVALID_HANDLE_VALUE;
    if (pointers) {
        writeMinidump(base, pointers);
    } else {
        // No exception record: a dump of this thread where it stands.
        EXCEPTION_RECORD record{};
        record.ExceptionCode = STATUS_FATAL_APP_EXIT;
        record.ExceptionAddress = reinterpret_cast<void*>(context.Rip);
        EXCEPTION_POINTERS here{&record, &context};
        writeMinidump(base, &here);
    }
}

LONG WINAPI onException(EXCEPTION_POINTERS* pointers) {
    writeReport(nullptr, pointers);
    // Then as without this filter: the one before it, or Windows' own ending.
    return g_previousFilter ? g_previousFilter(pointers) : EXCEPTION_CONTINUE_SEARCH;
}

void onAbort(int sig) {
    writeReport("SIGABRT (abort)", nullptr);
    // abort() goes on to end the process with its own exit status.
    std::signal(sig, g_previousAbort);
    if (g_previousAbort != SIG_DFL && g_previousAbort != SIG_IGN)
        g_previousAbort(sig);
}

void onTerminate() {
    const char* type = "no active exception";
    int status = -1;
    char* demangled = nullptr;
    if (const std::type_info* info = abi::__cxa_current_exception_type()) {
        demangled = abi::__cxa_demangle(info->name(), nullptr, nullptr, &status);
        type = status == 0 && demangled ? demangled : info->name();
    }
    std::snprintf(g_exception, sizeof g_exception, "std::terminate, %s", type);
    std::free(demangled);
    if (std::exception_ptr current = std::current_exception()) {
        try {
            std::rethrow_exception(current);
        } catch (const std::exception& e) {
            const std::size_t used = std::strlen(g_exception);
            std::snprintf(g_exception + used, sizeof g_exception - used, ": %s", e.what());
        } catch (...) {
        }
    }
    if (g_previousTerminate)
        g_previousTerminate();
    std::abort();
}

} // namespace

namespace CrashHandler {

QString DefaultHelper() {
    return QString();
}

bool Install(const Setup& setup, QString* why) {
    if (!CrashReport::PrepareDirectory(setup.directory, why))
        return false;
    const std::wstring dir = QDir::toNativeSeparators(setup.directory).toStdWString();
    wcsncpy(g_dir, dir.c_str(), MAX_PATH - 1);
    const QByteArray header =
        QStringLiteral("Version: %1\nQt: %2 (built with %3)\nOS: %4; %5 %6 %7\n")
            .arg(setup.version, QString::fromLatin1(qVersion()), QStringLiteral(QT_VERSION_STR),
                 QSysInfo::prettyProductName(), QSysInfo::kernelType(), QSysInfo::kernelVersion(),
                 QSysInfo::currentCpuArchitecture())
            .toUtf8();
    std::strncpy(g_header, header.constData(), sizeof g_header - 1);
    g_mainThread = GetCurrentThreadId();
    // Loaded now, not while the process is failing.
    LoadLibraryW(L"dbghelp.dll");
    // Room for the filter to run after a stack overflow.
    ULONG guarantee = 64 * 1024;
    SetThreadStackGuarantee(&guarantee);
    g_previousTerminate = std::set_terminate(onTerminate);
    g_previousAbort = std::signal(SIGABRT, onAbort);
    g_previousFilter = SetUnhandledExceptionFilter(onException);
    return true;
}

} // namespace CrashHandler
