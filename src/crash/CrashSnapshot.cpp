#include "crash/CrashSnapshot.h"

#include "crash/CrashReport.h"

#include <atomic>
#include <cstring>

namespace {

struct Slot {
    std::atomic<unsigned> seq{0};
    std::atomic<unsigned> len{0};
    char text[CrashSnapshot::LineBytes];
};

// Two state slots: the newest is published only once whole, so a reader on another thread
// has the previous one while the next is being written.
Slot g_state[2];
std::atomic<unsigned> g_stateCount{0};
Slot g_tail[CrashSnapshot::TailLines];
std::atomic<unsigned> g_tailCount{0};
QString g_secret;

void writeSlot(Slot& slot, const QString& line) {
    QByteArray utf8 = line.toUtf8();
    if (utf8.size() > CrashSnapshot::LineBytes) {
        // Cut on a character boundary, never inside a UTF-8 sequence.
        qsizetype cut = CrashSnapshot::LineBytes;
        while (cut > 0 && (static_cast<unsigned char>(utf8.at(cut)) & 0xC0) == 0x80)
            --cut;
        utf8.truncate(cut);
    }
    const unsigned s = slot.seq.load(std::memory_order_relaxed);
    slot.seq.store(s + 1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    std::memcpy(slot.text, utf8.constData(), static_cast<std::size_t>(utf8.size()));
    slot.len.store(static_cast<unsigned>(utf8.size()), std::memory_order_relaxed);
    slot.seq.store(s + 2, std::memory_order_release);
}

// false when the slot was being written meanwhile.
bool readSlot(const Slot& slot, char* out, std::size_t cap, std::size_t& length) {
    const unsigned before = slot.seq.load(std::memory_order_acquire);
    if (before & 1u)
        return false;
    std::size_t n = slot.len.load(std::memory_order_relaxed);
    if (n > sizeof slot.text)
        n = sizeof slot.text;
    if (n > cap)
        n = cap;
    std::memcpy(out, slot.text, n);
    std::atomic_thread_fence(std::memory_order_acquire);
    if (slot.seq.load(std::memory_order_relaxed) != before)
        return false;
    length = n;
    return true;
}

std::size_t copyText(const char* text, char* out, std::size_t cap) {
    std::size_t n = std::strlen(text);
    if (n > cap)
        n = cap;
    std::memcpy(out, text, n);
    return n;
}

} // namespace

namespace CrashSnapshot {

void SetState(const QString& line) {
    const unsigned next = g_stateCount.load(std::memory_order_relaxed);
    writeSlot(g_state[next % 2], line);
    g_stateCount.store(next + 1, std::memory_order_release);
}

void SetSecret(const QString& code) {
    g_secret = code;
}

void AddLogLine(const QString& line) {
    const unsigned next = g_tailCount.load(std::memory_order_relaxed);
    writeSlot(g_tail[next % TailLines], CrashReport::MaskSecret(line, g_secret));
    g_tailCount.store(next + 1, std::memory_order_release);
}

void Clear() {
    g_stateCount.store(0);
    g_tailCount.store(0);
    g_secret.clear();
}

std::size_t ReadState(char* out, std::size_t cap) {
    const unsigned count = g_stateCount.load(std::memory_order_acquire);
    if (count == 0)
        return copyText("(not known yet)", out, cap);
    std::size_t n = 0;
    if (readSlot(g_state[(count - 1) % 2], out, cap, n))
        return n;
    if (count >= 2 && readSlot(g_state[count % 2], out, cap, n))
        return n;
    return copyText("(line being written)", out, cap);
}

int TailCount() {
    const unsigned count = g_tailCount.load(std::memory_order_acquire);
    return count < static_cast<unsigned>(TailLines) ? static_cast<int>(count) : TailLines;
}

std::size_t ReadTail(int i, char* out, std::size_t cap) {
    const unsigned count = g_tailCount.load(std::memory_order_acquire);
    const unsigned shown = count < static_cast<unsigned>(TailLines) ? count : TailLines;
    if (i < 0 || static_cast<unsigned>(i) >= shown)
        return 0;
    const unsigned index = count - shown + static_cast<unsigned>(i);
    std::size_t n = 0;
    if (readSlot(g_tail[index % TailLines], out, cap, n))
        return n;
    return copyText("(line being written)", out, cap);
}

} // namespace CrashSnapshot
