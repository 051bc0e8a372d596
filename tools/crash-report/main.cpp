// kestrom-crash-report: names the frames of a crashed wizard for its crash report.
//
//   kestrom-crash-report --pid PID --fd FD -- ADDRESS...
//
// The wizard's crash handler starts it from inside the handler and waits: PID is the
// crashed process, still whole, whose memory map says which file each address lies in; FD
// is the report, open for writing; the addresses are the call stack, the faulting
// instruction first and return addresses after it. Each frame becomes one line:
//
//    #0 0x000055d0c1a2b3c4 in TMainKestromForm::Foo() at /src/app/Foo.cpp:42 (kestrom+0x2b3c4)
//
// Exit status 0 once every frame is written. Plain C++ and libdw (elfutils): no Qt, and
// nothing of the crashed process but its memory map and its files on disk.
#include <cxxabi.h>
#include <elfutils/libdwfl.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

std::string demangle(const char* name) {
    int status = -1;
    char* out = abi::__cxa_demangle(name, nullptr, nullptr, &status);
    std::string text = status == 0 && out ? out : name;
    std::free(out);
    return text;
}

std::string baseName(const char* path) {
    const char* slash = std::strrchr(path, '/');
    return slash ? slash + 1 : path;
}

std::string frameLine(Dwfl* dwfl, int index, Dwarf_Addr pc, bool exact) {
    // A return address points after the call; its line is the call's.
    const Dwarf_Addr lookup = exact || pc == 0 ? pc : pc - 1;
    char text[64];
    std::snprintf(text, sizeof text, " #%d 0x%016" PRIx64, index, static_cast<uint64_t>(pc));
    std::string line = text;
    Dwfl_Module* module = dwfl ? dwfl_addrmodule(dwfl, lookup) : nullptr;
    if (!module)
        return line + " (no module)";
    const char* name = dwfl_module_addrname(module, lookup);
    line += " in ";
    if (name) {
        const std::string function = demangle(name);
        // A C function's name has no parameter list of its own.
        line += function.find('(') == std::string::npos ? function + "()" : function;
    } else {
        line += "??";
    }
    if (Dwfl_Line* source = dwfl_module_getsrc(module, lookup)) {
        int lineNo = 0;
        if (const char* file = dwfl_lineinfo(source, nullptr, &lineNo, nullptr, nullptr, nullptr)) {
            std::snprintf(text, sizeof text, ":%d", lineNo);
            line += std::string(" at ") + file + text;
        }
    }
    Dwarf_Addr start = 0;
    const char* moduleName =
        dwfl_module_info(module, nullptr, &start, nullptr, nullptr, nullptr, nullptr, nullptr);
    std::snprintf(text, sizeof text, "+0x%" PRIx64 ")", static_cast<uint64_t>(pc - start));
    line += " (" + baseName(moduleName ? moduleName : "?") + text;
    return line;
}

bool writeAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace

int main(int argc, char* argv[]) {
    // The crashed process waits for this one: never for long.
    alarm(20);
    long pid = -1;
    int fd = -1;
    std::vector<Dwarf_Addr> frames;
    bool addresses = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (addresses)
            frames.push_back(std::strtoull(argv[i], nullptr, 16));
        else if (arg == "--pid" && i + 1 < argc)
            pid = std::strtol(argv[++i], nullptr, 10);
        else if (arg == "--fd" && i + 1 < argc)
            fd = static_cast<int>(std::strtol(argv[++i], nullptr, 10));
        else if (arg == "--")
            addresses = true;
        else {
            std::fprintf(stderr, "usage: kestrom-crash-report --pid PID --fd FD -- ADDRESS...\n");
            return 2;
        }
    }
    if (pid <= 0 || fd < 0) {
        std::fprintf(stderr, "usage: kestrom-crash-report --pid PID --fd FD -- ADDRESS...\n");
        return 2;
    }

    static char* debuginfoPath = nullptr;
    static const Dwfl_Callbacks callbacks = {dwfl_linux_proc_find_elf, dwfl_standard_find_debuginfo, nullptr,
                                             &debuginfoPath};
    Dwfl* dwfl = dwfl_begin(&callbacks);
    if (dwfl && (dwfl_linux_proc_report(dwfl, static_cast<pid_t>(pid)) != 0 ||
                 dwfl_report_end(dwfl, nullptr, nullptr) != 0)) {
        dwfl_end(dwfl);
        dwfl = nullptr;
    }
    if (!dwfl)
        return 1;
    std::string out;
    for (std::size_t i = 0; i < frames.size(); ++i)
        out += frameLine(dwfl, static_cast<int>(i), frames[i], i == 0) + "\n";
    dwfl_end(dwfl);
    return writeAll(fd, out) ? 0 : 1;
}
