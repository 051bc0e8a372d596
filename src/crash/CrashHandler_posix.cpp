#include "crash/CrashHandler.h"

#include "crash/CrashReport.h"
#include "crash/CrashSnapshot.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSysInfo>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <cxxabi.h>
#include <exception>
#include <execinfo.h>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <typeinfo>
#include <ucontext.h>
#include <unistd.h>

extern char** environ;

namespace {

constexpr int Signals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};
constexpr int MaxFrames = 64;

// Prepared at Install; read-only afterwards.
char g_dir[1024];
char g_helper[1024];
char g_header[2048];
pid_t g_mainThread = 0;
struct sigaction g_previous[65];
std::terminate_handler g_previousTerminate = nullptr;

// Written once by the terminate handler before abort().
char g_exception[512];

// The handler's own working state: static, never on the heap.
std::atomic<pid_t> g_handlingThread{0};
char g_out[4096];
std::size_t g_outLen = 0;
int g_fd = -1;
char g_line[CrashSnapshot::LineBytes + 64];
void* g_frames[MaxFrames];
char g_args[MaxFrames + 8][24];
char* g_argv[MaxFrames + 16];
alignas(16) char g_altStack[64 * 1024];

pid_t currentThread() {
    return static_cast<pid_t>(syscall(SYS_gettid));
}

void copyTo(char* dest, std::size_t cap, const QByteArray& text) {
    const std::size_t n = std::min<std::size_t>(cap - 1, static_cast<std::size_t>(text.size()));
    std::memcpy(dest, text.constData(), n);
    dest[n] = '\0';
}

// ---- output without the heap or stdio -------------------------------------------------

void flush() {
    std::size_t done = 0;
    while (done < g_outLen) {
        const ssize_t n = write(g_fd, g_out + done, g_outLen - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    g_outLen = 0;
}

void put(const char* text, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        if (g_outLen == sizeof g_out)
            flush();
        g_out[g_outLen++] = text[i];
    }
}

void put(const char* text) {
    put(text, std::strlen(text));
}

void putNumber(unsigned long long value, int base, int width) {
    char digits[32];
    int n = 0;
    do {
        digits[n++] = "0123456789abcdef"[value % static_cast<unsigned>(base)];
        value /= static_cast<unsigned>(base);
    } while (value != 0 && n < 32);
    while (n < width && n < 32)
        digits[n++] = '0';
    while (n > 0)
        put(&digits[--n], 1);
}

void putAddress(const void* p) {
    put("0x");
    putNumber(reinterpret_cast<unsigned long long>(p), 16, 16);
}

// Formats value in base 10 or 16 into a static argument slot.
char* argument(int slot, unsigned long long value, int base) {
    char digits[24];
    int n = 0;
    do {
        digits[n++] = "0123456789abcdef"[value % static_cast<unsigned>(base)];
        value /= static_cast<unsigned>(base);
    } while (value != 0 && n < 22);
    char* out = g_args[slot];
    int k = 0;
    if (base == 16) {
        out[k++] = '0';
        out[k++] = 'x';
    }
    while (n > 0)
        out[k++] = digits[--n];
    out[k] = '\0';
    return out;
}

// ---- what happened ---------------------------------------------------------------------

const char* signalName(int sig) {
    switch (sig) {
    case SIGSEGV:
        return "SIGSEGV";
    case SIGBUS:
        return "SIGBUS";
    case SIGFPE:
        return "SIGFPE";
    case SIGILL:
        return "SIGILL";
    case SIGABRT:
        return "SIGABRT";
    }
    return "signal";
}

const char* codeName(int sig, int code) {
    if (code == SI_USER)
        return "sent by kill";
    if (code == SI_TKILL)
        return "sent by tgkill or raise";
    if (sig == SIGSEGV && code == SEGV_MAPERR)
        return "address not mapped";
    if (sig == SIGSEGV && code == SEGV_ACCERR)
        return "access not permitted";
    if (sig == SIGBUS && code == BUS_ADRALN)
        return "misaligned address";
    if (sig == SIGBUS && code == BUS_ADRERR)
        return "no such physical address";
    if (sig == SIGFPE && code == FPE_INTDIV)
        return "integer division by zero";
    if (sig == SIGFPE && code == FPE_INTOVF)
        return "integer overflow";
    if (sig == SIGILL && code == ILL_ILLOPC)
        return "illegal opcode";
    return nullptr;
}

struct Stamp {
    long long year, month, day, hour, minute, second;
};

Stamp utcNow() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    const long long secs = now.tv_sec;
    long long days = secs / 86400;
    const long long rest = secs % 86400;
    days += 719468;
    const long long era = days / 146097;
    const long long doe = days - era * 146097;
    const long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const long long mp = (5 * doy + 2) / 153;
    const long long day = doy - (153 * mp + 2) / 5 + 1;
    const long long month = mp < 10 ? mp + 3 : mp - 9;
    const long long year = yoe + era * 400 + (month <= 2 ? 1 : 0);
    return {year, month, day, rest / 3600, rest / 60 % 60, rest % 60};
}

// Opens a new report file named by the time; -1 when none can be made.
int openReport(const Stamp& t) {
    static char path[1200];
    std::size_t n = 0;
    auto add = [&](const char* s) {
        while (*s && n + 1 < sizeof path)
            path[n++] = *s++;
    };
    auto addNumber = [&](long long v, int width) {
        char d[24];
        int k = 0;
        do {
            d[k++] = static_cast<char>('0' + v % 10);
            v /= 10;
        } while (v && k < 20);
        while (k < width)
            d[k++] = '0';
        while (k > 0 && n + 1 < sizeof path)
            path[n++] = d[--k];
    };
    add(g_dir);
    add("/crash-");
    addNumber(t.year, 4);
    addNumber(t.month, 2);
    addNumber(t.day, 2);
    add("-");
    addNumber(t.hour, 2);
    addNumber(t.minute, 2);
    addNumber(t.second, 2);
    add("-");
    addNumber(getpid(), 1);
    add(".txt");
    path[n] = '\0';
    mkdir(g_dir, 0700); // removed since the start: made again, this user's alone
    // No O_CLOEXEC: the helper writes the named frames into it.
    return open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600);
}

void putThread() {
    const pid_t tid = currentThread();
    put("Thread: ");
    if (tid == g_mainThread) {
        put("GUI thread");
    } else {
        char name[17] = {};
        prctl(PR_GET_NAME, name, 0, 0, 0);
        // Qt names a thread after its class.
        if (std::strcmp(name, "TRingThread") == 0)
            put("modem dialer");
        else
            put("other thread");
        put(" (");
        put(name);
        put(")");
    }
    put(", id ");
    putNumber(static_cast<unsigned long long>(tid), 10, 1);
    put("\n");
}

// The faulting instruction's address, which the unwinder reports for the interrupted frame.
void* faultingPc(void* context) {
    auto* uc = static_cast<ucontext_t*>(context);
#if defined(__x86_64__)
    return reinterpret_cast<void*>(uc->uc_mcontext.gregs[REG_RIP]);
#elif defined(__aarch64__)
    return reinterpret_cast<void*>(uc->uc_mcontext.pc);
#else
    (void)uc;
    return nullptr;
#endif
}

// Runs the helper on the frames; true when it wrote them.
bool nameFrames(void* const* frames, int count) {
    if (g_helper[0] == '\0' || access(g_helper, X_OK) != 0)
        return false;
    int a = 0;
    int slot = 0;
    g_argv[a++] = g_helper;
    g_argv[a++] = const_cast<char*>("--pid");
    g_argv[a++] = argument(slot++, static_cast<unsigned long long>(getpid()), 10);
    g_argv[a++] = const_cast<char*>("--fd");
    g_argv[a++] = argument(slot++, static_cast<unsigned long long>(g_fd), 10);
    g_argv[a++] = const_cast<char*>("--");
    for (int i = 0; i < count; ++i)
        g_argv[a++] = argument(slot++, reinterpret_cast<unsigned long long>(frames[i]), 16);
    g_argv[a] = nullptr;

    // A bare clone: fork() would run the atfork handlers, which take locks a crashed
    // process may hold.
    const long child = syscall(SYS_clone, SIGCHLD, nullptr, nullptr, nullptr, nullptr);
    if (child < 0)
        return false;
    if (child == 0) {
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execve(g_helper, g_argv, environ);
        _exit(127);
    }
    int status = 0;
    while (waitpid(static_cast<pid_t>(child), &status, 0) < 0) {
        if (errno != EINTR)
            return false;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void putMemoryMap() {
    const int maps = open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
    if (maps < 0)
        return;
    put("Memory map (to name the frames by hand):\n");
    char chunk[1024];
    for (;;) {
        const ssize_t n = read(maps, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        put(chunk, static_cast<std::size_t>(n));
    }
    close(maps);
}

void writeReport(int sig, siginfo_t* info, void* context) {
    const Stamp t = utcNow();
    g_fd = openReport(t);
    if (g_fd < 0)
        return;
    g_outLen = 0;
    put("Kestrom crash report\n");
    put("Time: ");
    putNumber(static_cast<unsigned long long>(t.year), 10, 4);
    put("-");
    putNumber(static_cast<unsigned long long>(t.month), 10, 2);
    put("-");
    putNumber(static_cast<unsigned long long>(t.day), 10, 2);
    put(" ");
    putNumber(static_cast<unsigned long long>(t.hour), 10, 2);
    put(":");
    putNumber(static_cast<unsigned long long>(t.minute), 10, 2);
    put(":");
    putNumber(static_cast<unsigned long long>(t.second), 10, 2);
    put(" UTC\n");
    put(g_header);

    put("Signal: ");
    put(signalName(sig));
    put(" (");
    putNumber(static_cast<unsigned long long>(sig), 10, 1);
    put(")");
    if (const char* why = codeName(sig, info ? info->si_code : 0)) {
        put(", ");
        put(why);
    }
    if (info && info->si_code > 0 && sig != SIGABRT) {
        put(", fault address ");
        putAddress(info->si_addr);
    } else if (info && (info->si_code == SI_USER || info->si_code == SI_TKILL)) {
        put(", from process ");
        putNumber(static_cast<unsigned long long>(info->si_pid), 10, 1);
    }
    put("\n");
    if (g_exception[0] != '\0') {
        put("Exception: ");
        put(g_exception);
        put("\n");
    }
    putThread();
    put("Connection: ");
    put(g_line, CrashSnapshot::ReadState(g_line, sizeof g_line));
    put("\n");

    // The unwinder goes through the signal frame into the interrupted code; what comes before
    // it is this handler.
    int count = backtrace(g_frames, MaxFrames);
    int first = 0;
    if (void* pc = faultingPc(context)) {
        for (int i = 0; i < count; ++i) {
            if (g_frames[i] == pc) {
                first = i;
                break;
            }
        }
    }
    put("Call stack:\n");
    flush();
    if (!nameFrames(g_frames + first, count - first)) {
        for (int i = first; i < count; ++i) {
            put(" #");
            putNumber(static_cast<unsigned long long>(i - first), 10, 1);
            put(" ");
            putAddress(g_frames[i]);
            put("\n");
        }
        putMemoryMap();
    }

    const int lines = CrashSnapshot::TailCount();
    put("Traffic log, last ");
    putNumber(static_cast<unsigned long long>(lines), 10, 1);
    put(" lines (master code masked):\n");
    for (int i = 0; i < lines; ++i) {
        put(g_line, CrashSnapshot::ReadTail(i, g_line, sizeof g_line));
        put("\n");
    }
    flush();
    close(g_fd);
    g_fd = -1;
}

// Ends the process as it would have ended without this handler: the handler that was there
// before (a sanitizer's) takes over, or the default action, by the same signal.
void passOn(int sig, siginfo_t* info, void* context) {
    const struct sigaction& before = g_previous[sig];
    sigaction(sig, &before, nullptr);
    if ((before.sa_flags & SA_SIGINFO) && before.sa_sigaction) {
        before.sa_sigaction(sig, info, context);
        return;
    }
    if (before.sa_handler != SIG_DFL && before.sa_handler != SIG_IGN) {
        before.sa_handler(sig);
        return;
    }
    if (before.sa_handler == SIG_IGN)
        signal(sig, SIG_DFL);
    // Pending until this handler returns, then the default action: the interrupted code, a
    // core dump and the exit status are as without the handler.
    raise(sig);
}

void onSignal(int sig, siginfo_t* info, void* context) {
    const int savedErrno = errno;
    const pid_t self = currentThread();
    pid_t none = 0;
    if (g_handlingThread.compare_exchange_strong(none, self)) {
        writeReport(sig, info, context);
    } else if (none != self) {
        // Another thread is writing its report: let it finish (the process ends with it).
        for (int i = 0; i < 100; ++i) {
            timespec pause{0, 100 * 1000 * 1000};
            nanosleep(&pause, nullptr);
        }
    }
    errno = savedErrno;
    passOn(sig, info, context);
}

void onTerminate() {
    // Not a signal handler: the exception's type and text are still at hand here.
    const char* type = "no active exception";
    int status = -1;
    char* demangled = nullptr;
    if (const std::type_info* info = abi::__cxa_current_exception_type()) {
        demangled = abi::__cxa_demangle(info->name(), nullptr, nullptr, &status);
        type = status == 0 && demangled ? demangled : info->name();
    }
    QByteArray text = QByteArray("std::terminate, ") + type;
    std::free(demangled);
    if (std::exception_ptr current = std::current_exception()) {
        try {
            std::rethrow_exception(current);
        } catch (const std::exception& e) {
            text += QByteArray(": ") + e.what();
        } catch (...) {
        }
    }
    copyTo(g_exception, sizeof g_exception, text);
    if (g_previousTerminate)
        g_previousTerminate();
    std::abort();
}

} // namespace

namespace CrashHandler {

QString DefaultHelper() {
    return QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("kestrom-crash-report"));
}

bool Install(const Setup& setup, QString* why) {
    if (!CrashReport::PrepareDirectory(setup.directory, why))
        return false;
    copyTo(g_dir, sizeof g_dir, QFile::encodeName(setup.directory));
    copyTo(g_helper, sizeof g_helper, QFile::encodeName(setup.helper));
    const QString header =
        QStringLiteral("Version: %1\nQt: %2 (built with %3)\nOS: %4; %5 %6 %7\n")
            .arg(setup.version, QString::fromLatin1(qVersion()), QStringLiteral(QT_VERSION_STR),
                 QSysInfo::prettyProductName(), QSysInfo::kernelType(), QSysInfo::kernelVersion(),
                 QSysInfo::currentCpuArchitecture());
    copyTo(g_header, sizeof g_header, header.toUtf8());
    g_mainThread = currentThread();

    // The first backtrace() loads the unwinder (libgcc_s): never inside the handler.
    void* warmUp[2];
    backtrace(warmUp, 2);

    // A stack overflow leaves no stack to run the handler on: the GUI thread gets a spare
    // one, unless a sanitizer has given it one already.
    stack_t current{};
    if (sigaltstack(nullptr, &current) == 0 && (current.ss_flags & SS_DISABLE)) {
        stack_t spare{};
        spare.ss_sp = g_altStack;
        spare.ss_size = sizeof g_altStack;
        sigaltstack(&spare, nullptr);
    }

    g_previousTerminate = std::set_terminate(onTerminate);
    for (const int sig : Signals) {
        struct sigaction action {};
        action.sa_sigaction = onSignal;
        action.sa_flags = SA_SIGINFO | SA_ONSTACK;
        sigemptyset(&action.sa_mask);
        sigaction(sig, &action, &g_previous[sig]);
    }
    return true;
}

} // namespace CrashHandler
