// setup-sim: a sample setup program.
//
// The wizard starts it with no arguments, in the wizard's own directory, once a panel
// has been identified; it connects to the wizard's local server on 127.0.0.1:53462 and
// talks to the panel through the relay. Being started without arguments, it takes its
// settings from the environment (the wizard hands its own environment to the child):
//
//   KESTROM_SETUP_HOST    server address instead of 127.0.0.1
//   KESTROM_SETUP_PORT    server port instead of 53462
//   KESTROM_SETUP_MODE    terminal (default), echo, script or sink
//   KESTROM_SETUP_SCRIPT  script file for the script mode
//   KESTROM_SETUP_RECORD  file that gets one line per event: the start line
//                         "cwd=...<TAB>args=...<TAB>pid=...", then "connected",
//                         "disconnected", "waiting", "received <n>",
//                         "script pass" or "script fail: ..."
//
// Modes:
//   terminal  bytes from the panel are printed on stdout as hex and text; each line
//             typed on stdin is sent with CR LF, so a person can type panel commands
//             such as +VER_INFO=? through the wizard.
//   echo      every byte received is sent back.
//   script    runs the script once after the first connection. Lines:
//               send <hex>     e.g. "send 2B 76 0D"
//               expect <hex>   waits up to 10 s until those bytes have arrived
//               wait <ms>
//             Blank lines and lines starting with # are ignored.
//   sink      reads and counts, sends nothing; the count goes to the record at each
//             disconnection.
//
// The wizard stops its server while a serial port is lost and listens again when the
// port is back, so the connection is retried every 500 ms for as long as it runs;
// only changes of state are reported on stderr.
//
// Plain C++ and the system's sockets, so that the same source builds for Linux and, with
// mingw-w64, as the Windows program setup-sim.exe (the panels' real setup programs are
// Windows programs; the wizard runs them through Wine on Linux). The few lines that differ
// are in the platform section below.
#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

// ---- platform ------------------------------------------------------------------------------
#ifdef _WIN32
// Winsock 2 before windows.h, which would bring in the old Winsock.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <direct.h>
#include <process.h>
#include <windows.h>
using Socket = SOCKET;
constexpr Socket NoSocket = INVALID_SOCKET;
static int lastError() {
    return WSAGetLastError();
}
static bool inProgress(int e) {
    return e == WSAEWOULDBLOCK || e == WSAEINPROGRESS;
}
static bool wouldBlock(int e) {
    return e == WSAEWOULDBLOCK || e == WSAEINTR;
}
static void closeSocket(Socket s) {
    closesocket(s);
}
static void setNonBlocking(Socket s) {
    u_long on = 1;
    ioctlsocket(s, FIONBIO, &on);
}
static std::string errorText(int e) {
    char text[256] = {};
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, DWORD(e), 0, text,
                   sizeof text, nullptr);
    std::string s = text;
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == '.'))
        s.pop_back();
    return s.empty() ? "error " + std::to_string(e) : s;
}
static bool startSockets() {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
}
static std::string currentDirectory() {
    char buffer[4096] = {};
    std::string dir = _getcwd(buffer, sizeof buffer) ? buffer : "";
    std::replace(dir.begin(), dir.end(), '\\', '/'); // as the Linux build writes it
    return dir;
}
static long processId() {
    return long(_getpid());
}
constexpr int Stdin = -1; // a console cannot be watched together with sockets
constexpr int SendFlags = 0;
#else
#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>
using Socket = int;
constexpr Socket NoSocket = -1;
static int lastError() {
    return errno;
}
static bool inProgress(int e) {
    return e == EINPROGRESS;
}
static bool wouldBlock(int e) {
    return e == EAGAIN || e == EWOULDBLOCK || e == EINTR;
}
static void closeSocket(Socket s) {
    ::close(s);
}
static void setNonBlocking(Socket s) {
    ::fcntl(s, F_SETFL, ::fcntl(s, F_GETFL) | O_NONBLOCK);
}
static std::string errorText(int e) {
    return std::strerror(e);
}
static bool startSockets() {
    return true;
}
static std::string currentDirectory() {
    char buffer[4096] = {};
    return ::getcwd(buffer, sizeof buffer) ? buffer : "";
}
static long processId() {
    return long(::getpid());
}
constexpr int Stdin = STDIN_FILENO;
constexpr int SendFlags = MSG_NOSIGNAL;
#endif
// ---- end of platform ---------------------------------------------------------------------

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::string;
using std::chrono::milliseconds;

constexpr int DefaultPort = 53462;
constexpr int RetryMs = 500;
// A connection attempt to a host that drops packets would otherwise hang for minutes.
constexpr int ConnectTimeoutMs = 3000;
constexpr int ExpectTimeoutMs = 10000;
// Echo mode stops reading while this much waits to go back: TCP then slows the sender.
constexpr size_t EchoBacklog = 1 << 20;

void say(const std::string& line) {
    std::fprintf(stderr, "setup-sim: %s\n", line.c_str());
    std::fflush(stderr);
}

std::string env(const char* name, const std::string& fallback = {}) {
    const char* value = std::getenv(name);
    return value && *value ? value : fallback;
}

std::string trimmed(const std::string& s) {
    size_t a = 0, b = s.size();
    while (a < b && std::isspace(static_cast<unsigned char>(s[a])))
        ++a;
    while (b > a && std::isspace(static_cast<unsigned char>(s[b - 1])))
        --b;
    return s.substr(a, b - a);
}

std::string lower(std::string s) {
    for (char& c : s)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// A whole decimal number with an optional sign; false on anything else.
bool toInt(const std::string& text, long* out) {
    const std::string t = trimmed(text);
    size_t i = (!t.empty() && (t[0] == '+' || t[0] == '-')) ? 1 : 0;
    if (i == t.size() || t.size() - i > 9)
        return false;
    for (size_t k = i; k < t.size(); ++k)
        if (!std::isdigit(static_cast<unsigned char>(t[k])))
            return false;
    *out = std::strtol(t.c_str(), nullptr, 10);
    return true;
}

std::string hex(const Bytes& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char b : bytes) {
        if (!out.empty())
            out += ' ';
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

// Printable form of a panel byte, as UTF-8; the panels' Russian texts are Windows-1251.
std::string shown(unsigned char b) {
    unsigned code = '.';
    if (b >= 0x20 && b < 0x7F)
        code = b;
    else if (b >= 0xC0)
        code = 0x0410 + (b - 0xC0);
    else if (b == 0xA8)
        code = 0x0401; // Ё
    else if (b == 0xB8)
        code = 0x0451; // ё
    if (code < 0x80)
        return std::string(1, char(code));
    return {char(0xC0 | (code >> 6)), char(0x80 | (code & 0x3F))};
}

// Hex bytes, optionally separated by blanks; a stray character is an error, not skipped,
// so that a typo does not turn into a different script.
bool parseHex(const std::string& text, Bytes* out) {
    std::string digits;
    for (char c : text) {
        if (c == ' ' || c == '\t')
            continue;
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return false;
        digits += c;
    }
    if (digits.empty() || digits.size() % 2 != 0)
        return false;
    out->clear();
    for (size_t i = 0; i < digits.size(); i += 2)
        out->push_back(char(std::stoi(digits.substr(i, 2), nullptr, 16)));
    return true;
}

struct Step {
    enum Kind { Send, Expect, Wait } kind = Send;
    Bytes bytes;
    long ms = 0;
    int line = 0;
};

bool loadScript(const std::string& path, std::vector<Step>* steps, std::string* error) {
    std::FILE* file = path.empty() ? nullptr : std::fopen(path.c_str(), "rb");
    if (!file) {
        *error = "cannot read script \"" + path + "\"";
        return false;
    }
    std::string text;
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;)
        text.append(buffer, n);
    std::fclose(file);
    int number = 0;
    for (size_t at = 0; at < text.size();) {
        const size_t nl = text.find('\n', at);
        const std::string line =
            trimmed(text.substr(at, nl == std::string::npos ? std::string::npos : nl - at));
        at = nl == std::string::npos ? text.size() : nl + 1;
        ++number;
        if (line.empty() || line[0] == '#')
            continue;
        const size_t space = line.find(' ');
        const std::string word = lower(line.substr(0, space));
        const std::string arg = space == std::string::npos ? std::string() : trimmed(line.substr(space + 1));
        Step step;
        step.line = number;
        bool ok = false;
        if (word == "send" || word == "expect") {
            step.kind = word == "send" ? Step::Send : Step::Expect;
            ok = parseHex(arg, &step.bytes);
        } else if (word == "wait") {
            step.kind = Step::Wait;
            ok = toInt(arg, &step.ms) && step.ms >= 0;
        }
        if (!ok) {
            *error = "script line " + std::to_string(number) + " not understood: " + line;
            return false;
        }
        steps->push_back(step);
    }
    return true;
}

class SetupSim {
  public:
    enum class Mode { Terminal, Echo, Script, Sink };

    SetupSim(std::string host, int port, Mode mode, std::string record, std::vector<Step> script)
        : m_host(std::move(host)), m_port(port), m_mode(mode), m_recordPath(std::move(record)),
          m_steps(std::move(script)) {}

    void record(const std::string& line) {
        if (m_recordPath.empty())
            return;
        std::FILE* file = std::fopen(m_recordPath.c_str(), "ab");
        if (file) {
            std::fputs((line + '\n').c_str(), file);
            std::fclose(file);
        } else if (!m_recordWarned) {
            say("cannot write record file " + m_recordPath);
        }
        m_recordWarned = m_recordWarned || !file;
    }

    int run() {
        say("connecting to " + where());
        if (m_mode == Mode::Terminal && Stdin < 0)
            say("typed lines are read on Unix only");
        m_stdinOpen = m_mode == Mode::Terminal && Stdin >= 0;
        connectNow();
        for (;;)
            waitAndServe();
    }

  private:
    enum class Link { Starting, Waiting, Connected, Lost };
    enum class ScriptState { NotStarted, Running, Done };

    std::string where() const { return m_host + ":" + std::to_string(m_port); }

    void connectNow() {
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* found = nullptr;
        const int rc = getaddrinfo(m_host.c_str(), std::to_string(m_port).c_str(), &hints, &found);
        if (rc != 0 || !found) {
            failed(rc != 0 ? gai_strerror(rc) : "host not found");
            return;
        }
        m_socket = ::socket(found->ai_family, found->ai_socktype, found->ai_protocol);
        if (m_socket == NoSocket) {
            freeaddrinfo(found);
            failed(errorText(lastError()));
            return;
        }
        setNonBlocking(m_socket);
        const int c = ::connect(m_socket, found->ai_addr, int(found->ai_addrlen));
        const int e = lastError();
        freeaddrinfo(found);
        if (c == 0) {
            connected();
        } else if (inProgress(e)) {
            m_connecting = true;
            m_deadline = Clock::now() + milliseconds(ConnectTimeoutMs);
        } else {
            failed(errorText(e));
        }
    }

    void connected() {
        m_connecting = false;
        // Panel commands are a few bytes each; don't let them wait for an ACK.
        int on = 1;
        ::setsockopt(m_socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
        m_link = Link::Connected;
        say("connected to " + where());
        record("connected");
        if (m_mode == Mode::Script && m_script == ScriptState::NotStarted) {
            m_script = ScriptState::Running;
            say("running the script (" + std::to_string(m_steps.size()) + " steps)");
            runScript();
        }
    }

    // A connection attempt failed, or an established connection ended.
    void failed(const std::string& why) {
        if (m_socket != NoSocket)
            closeSocket(m_socket);
        m_socket = NoSocket;
        m_connecting = false;
        m_output.clear();
        if (m_link == Link::Connected) {
            m_link = Link::Lost;
            say("disconnected; reconnecting every " + std::to_string(RetryMs) + " ms");
            record("disconnected");
            if (m_mode == Mode::Sink)
                record("received " + std::to_string(m_received));
            if (m_script == ScriptState::Running)
                finishScript(false, "connection lost at script line " + std::to_string(currentLine()));
        } else if (m_link != Link::Waiting) {
            m_link = Link::Waiting;
            say("waiting for the wizard at " + where() + " (" + why + ")");
            record("waiting");
        }
        m_retryAt = Clock::now() + milliseconds(RetryMs);
        m_retrying = true;
    }

    // One turn of the loop: sleeps in select() until the socket, stdin or the next
    // deadline (retry, connect guard, script step) needs us. Never spins.
    void waitAndServe() {
        fd_set readable, writable;
        FD_ZERO(&readable);
        FD_ZERO(&writable);
        int top = -1; // ignored by Winsock
        const auto watch = [&](Socket fd, fd_set* set) {
            FD_SET(fd, set);
            top = std::max(top, int(fd));
        };
        const bool up = m_socket != NoSocket && !m_connecting;
        if (m_socket != NoSocket && (m_connecting || !m_output.empty()))
            watch(m_socket, &writable);
        if (up && (m_mode != Mode::Echo || m_output.size() < EchoBacklog))
            watch(m_socket, &readable);
#ifndef _WIN32
        if (m_stdinOpen)
            watch(Stdin, &readable);
#endif

        auto next = Clock::time_point::max();
        if (m_retrying)
            next = std::min(next, m_retryAt);
        if (m_connecting)
            next = std::min(next, m_deadline);
        if (m_stepTimer)
            next = std::min(next, m_stepAt);
        timeval tv{};
        timeval* timeout = nullptr;
        if (next != Clock::time_point::max()) {
            const auto left = std::max<long long>(
                0, std::chrono::duration_cast<std::chrono::milliseconds>(next - Clock::now()).count() + 1);
            tv.tv_sec = long(left / 1000);
            tv.tv_usec = long(left % 1000) * 1000;
            timeout = &tv;
        }
        int n = 0;
#ifdef _WIN32
        // Winsock's select refuses sets with no socket in them (WSAEINVAL), as while waiting
        // to connect again: a wait with nothing to watch is a sleep until the deadline.
        if (readable.fd_count == 0 && writable.fd_count == 0)
            ::Sleep(timeout ? DWORD(tv.tv_sec * 1000 + tv.tv_usec / 1000) : INFINITE);
        else
#endif
            n = ::select(top + 1, &readable, &writable, nullptr, timeout);
        if (n < 0 && !wouldBlock(lastError())) {
            say("select failed: " + errorText(lastError()));
            std::exit(1);
        }
        const auto now = Clock::now();
#ifndef _WIN32
        if (n > 0 && m_stdinOpen && FD_ISSET(Stdin, &readable))
            readStdin();
#endif
        if (n > 0 && m_socket != NoSocket && FD_ISSET(m_socket, &writable)) {
            if (m_connecting) {
                int error = 0;
                socklen_t size = sizeof error;
                ::getsockopt(m_socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size);
                if (error == 0)
                    connected();
                else
                    failed(errorText(error));
            } else {
                flush();
            }
        }
        if (n > 0 && m_socket != NoSocket && !m_connecting && FD_ISSET(m_socket, &readable))
            readSocket();
        if (m_connecting && now >= m_deadline)
            failed("connection timed out");
        if (m_retrying && now >= m_retryAt && m_socket == NoSocket) {
            m_retrying = false;
            connectNow();
        }
        if (m_stepTimer && now >= m_stepAt) {
            m_stepTimer = false;
            stepTimedOut();
        }
    }

    void readSocket() {
        char buffer[65536];
        const auto got = ::recv(m_socket, buffer, sizeof buffer, 0);
        if (got < 0 && wouldBlock(lastError()))
            return;
        if (got <= 0) {
            failed(got == 0 ? "closed" : errorText(lastError()));
            return;
        }
        const Bytes data(buffer, size_t(got));
        m_received += got;
        switch (m_mode) {
        case Mode::Echo:
            send(data);
            break;
        case Mode::Terminal:
            print(data);
            break;
        case Mode::Script:
            if (m_script == ScriptState::Running) {
                m_input += data;
                if (m_steps[m_step].kind == Step::Expect && matchExpected()) {
                    m_stepTimer = false;
                    runScript();
                }
            }
            break;
        case Mode::Sink:
            break;
        }
    }

    void send(const Bytes& bytes) {
        m_output += bytes;
        flush();
    }

    // As much as the kernel takes now; the rest waits for the socket to be writable.
    void flush() {
        while (!m_output.empty() && m_socket != NoSocket && !m_connecting) {
            const auto sent = ::send(m_socket, m_output.data(), int(m_output.size()), SendFlags);
            if (sent < 0) {
                if (!wouldBlock(lastError()))
                    failed(errorText(lastError()));
                return;
            }
            m_output.erase(0, size_t(sent));
        }
    }

    // Bytes from the panel, 16 to a line: hex, then the text.
    void print(const Bytes& data) {
        for (size_t at = 0; at < data.size(); at += 16) {
            const Bytes chunk = data.substr(at, 16);
            std::string line = "<< " + hex(chunk);
            line.resize(std::max<size_t>(line.size(), 3 + 47), ' ');
            line += "  ";
            for (unsigned char c : chunk)
                line += shown(c);
            std::fputs((line + '\n').c_str(), stdout);
        }
        std::fflush(stdout);
    }

#ifndef _WIN32
    void readStdin() {
        char buffer[4096];
        const ssize_t n = ::read(Stdin, buffer, sizeof buffer);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            return;
        if (n <= 0) {
            // End of input (or a broken stdin): stop watching, or select reports it forever.
            m_stdinOpen = false;
            if (!m_typed.empty())
                sendTyped(std::exchange(m_typed, {}));
            return;
        }
        m_typed.append(buffer, size_t(n));
        for (size_t nl; (nl = m_typed.find('\n')) != std::string::npos;) {
            std::string line = m_typed.substr(0, nl);
            m_typed.erase(0, nl + 1);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            sendTyped(line);
        }
    }
#endif

    void sendTyped(const std::string& line) {
        if (m_socket == NoSocket || m_connecting) {
            say("not connected, line not sent");
            return;
        }
        send(line + "\r\n");
    }

    int currentLine() const {
        return m_step < m_steps.size() ? m_steps[m_step].line : 0;
    }

    // Drops what has been received up to and including the expected bytes.
    bool matchExpected() {
        const Bytes& wanted = m_steps[m_step].bytes;
        const size_t at = m_input.find(wanted);
        if (at == std::string::npos)
            return false;
        m_input.erase(0, at + wanted.size());
        ++m_step;
        return true;
    }

    void startStepTimer(long ms) {
        m_stepTimer = true;
        m_stepAt = Clock::now() + milliseconds(ms);
    }

    void runScript() {
        while (m_script == ScriptState::Running && m_step < m_steps.size()) {
            const Step& step = m_steps[m_step];
            switch (step.kind) {
            case Step::Send:
                send(step.bytes);
                ++m_step;
                break;
            case Step::Wait:
                startStepTimer(step.ms);
                return;
            case Step::Expect:
                if (!matchExpected()) {
                    startStepTimer(ExpectTimeoutMs);
                    return;
                }
                break;
            }
        }
        if (m_script == ScriptState::Running)
            finishScript(true, {});
    }

    void stepTimedOut() {
        if (m_script != ScriptState::Running || m_step >= m_steps.size())
            return;
        const Step& step = m_steps[m_step];
        if (step.kind == Step::Wait) {
            ++m_step;
            runScript();
            return;
        }
        finishScript(false, "line " + std::to_string(step.line) + ": expected " + hex(step.bytes) +
                                ", received " + (m_input.empty() ? std::string("nothing") : hex(m_input)));
    }

    void finishScript(bool pass, const std::string& why) {
        m_script = ScriptState::Done;
        m_stepTimer = false;
        const std::string result = pass ? "script pass" : "script fail: " + why;
        say(result);
        record(result);
    }

    std::string m_host;
    int m_port;
    Mode m_mode;
    std::string m_recordPath;
    bool m_recordWarned = false;

    Socket m_socket = NoSocket;
    bool m_connecting = false;
    Clock::time_point m_deadline;
    bool m_retrying = false;
    Clock::time_point m_retryAt;
    Link m_link = Link::Starting;
    long long m_received = 0;
    Bytes m_output;

    std::vector<Step> m_steps;
    size_t m_step = 0;
    ScriptState m_script = ScriptState::NotStarted;
    Bytes m_input;
    bool m_stepTimer = false;
    Clock::time_point m_stepAt;

    bool m_stdinOpen = false;
    std::string m_typed;
};

} // namespace

int main(int argc, char* argv[]) {
    if (!startSockets()) {
        say("the sockets cannot be used here");
        return 2;
    }
    const std::string host = env("KESTROM_SETUP_HOST", "127.0.0.1");
    long port = 0;
    const std::string portText = env("KESTROM_SETUP_PORT", std::to_string(DefaultPort));
    if (trimmed(portText).find_first_not_of("0123456789") != std::string::npos || !toInt(portText, &port) ||
        port < 1 || port > 65535) {
        say("KESTROM_SETUP_PORT must be a port number 1..65535");
        return 2;
    }

    const std::string modeName = lower(env("KESTROM_SETUP_MODE", "terminal"));
    SetupSim::Mode mode;
    if (modeName == "terminal")
        mode = SetupSim::Mode::Terminal;
    else if (modeName == "echo")
        mode = SetupSim::Mode::Echo;
    else if (modeName == "script")
        mode = SetupSim::Mode::Script;
    else if (modeName == "sink")
        mode = SetupSim::Mode::Sink;
    else {
        say("unknown KESTROM_SETUP_MODE \"" + modeName + "\" (terminal, echo, script or sink)");
        return 2;
    }

    std::vector<Step> steps;
    std::string scriptError;
    const bool scriptOk =
        mode != SetupSim::Mode::Script || loadScript(env("KESTROM_SETUP_SCRIPT"), &steps, &scriptError);

    SetupSim sim(host, int(port), mode, env("KESTROM_SETUP_RECORD"), std::move(steps));
    // The wizard passes no arguments and sets the working directory; the start line
    // lets tests check both.
    std::string args;
    for (int i = 1; i < argc; ++i)
        args += (i > 1 ? " " : "") + std::string(argv[i]);
    sim.record("cwd=" + currentDirectory() + "\targs=" + args + "\tpid=" + std::to_string(processId()));
    if (!scriptOk) {
        say(scriptError);
        sim.record("script fail: " + scriptError);
        return 2;
    }
    return sim.run();
}
