// The soak's streams and the check of the setup program's bytes as the panel receives them,
// apart from the soak so that the check's own rules can be tested from tables.
#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <algorithm>
#include <cstring>
#include <vector>

inline quint64 mix(quint64 x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// The bytes of one stream: a function of the seed and the offset.
class Pattern {
  public:
    Pattern() = default;
    // avoidHangupWords: no B, b, N or n, so that no modem result word ("BUSY", "NO CARRIER",
    // ...) can appear in a stream the wizard reads from a modem.
    explicit Pattern(quint64 seed, bool avoidHangupWords = false) : FSeed(seed), FAvoid(avoidHangupWords) {}
    void fill(char* dst, qint64 offset, qint64 n) const {
        qint64 k = 0;
        while (k < n) {
            const quint64 word = mix(FSeed ^ mix(quint64(offset >> 3)));
            for (int lane = int(offset & 7); lane < 8 && k < n; ++lane, ++offset) {
                uchar b = uchar(word >> (lane * 8));
                if (FAvoid && (b == 'B' || b == 'b' || b == 'N' || b == 'n'))
                    b ^= 0x80;
                dst[k++] = char(b);
            }
        }
    }
    quint64 seed() const { return FSeed; }

  private:
    quint64 FSeed = 0;
    bool FAvoid = false;
};

// Index of the first byte of data that differs from the pattern at offset, or n.
inline qint64 firstMismatch(const Pattern& p, qint64 offset, const char* data, qint64 n) {
    char expected[4096];
    for (qint64 done = 0; done < n;) {
        const qint64 step = std::min<qint64>(n - done, sizeof expected);
        p.fill(expected, offset + done, step);
        if (std::memcmp(expected, data + done, size_t(step)) != 0) {
            for (qint64 i = 0; i < step; ++i)
                if (expected[i] != data[done + i])
                    return done + i;
        }
        done += step;
    }
    return n;
}

// The setup program's bytes as the panel sees them: one segment per connection of the
// setup program, in connection order. A segment closed with a reset may lose its tail;
// one closed cleanly (its program ended, every byte handed to the kernel) may not. No
// byte of a segment may come after a byte of the next one.
class SegmentVerifier {
  public:
    void reset() {
        FSegments.clear();
        FIndex = 0;
        FPending.clear();
    }
    // Nothing sent before this point may arrive any more (a new port, a new connection).
    void abandonAll() {
        for (Segment& s : FSegments)
            if (s.final < 0) {
                s.final = s.delivered;
                s.mayLose = true;
            }
        FIndex = int(FSegments.size());
        FPending.clear();
    }
    void add(const Pattern& p) { FSegments.push_back(Segment{p, -1, false, 0}); }
    void close(qint64 sent, bool mayLose) {
        if (FSegments.empty())
            return;
        Segment& s = FSegments.back();
        if (s.final < 0) {
            s.final = sent;
            s.mayLose = mayLose;
        }
    }
    bool currentIsLatest() const { return FIndex == int(FSegments.size()) - 1; }
    qint64 latestDelivered() const { return FSegments.empty() ? 0 : FSegments.back().delivered; }
    qint64 lost() const {
        qint64 n = 0;
        for (const Segment& s : FSegments)
            if (s.final > s.delivered)
                n += s.final - s.delivered;
        return n;
    }
    QString error() const { return FError; }

    bool feed(const char* data, qint64 n) {
        qint64 pos = 0;
        while (pos < n && FError.isEmpty()) {
            if (FIndex >= int(FSegments.size()))
                return fail(
                    QStringLiteral("%1 bytes arrived that no live connection of the setup program sent (%2)")
                        .arg(n - pos)
                        .arg(whoseBytes(data + pos, n - pos)));
            Segment& s = FSegments[size_t(FIndex)];
            if (FPending.isEmpty() && s.final >= 0 && s.delivered == s.final) {
                ++FIndex;
                continue;
            }
            // Once a connection was reset, what comes may be the rest of it or the next one's
            // first bytes; the next one's first byte equals the reset one's next byte one time
            // in 256. So these bytes are not taken for the reset one's as they match, but
            // decided together once they show where the next connection starts.
            if (!FPending.isEmpty() || (s.final >= 0 && s.mayLose)) {
                FPending.append(data + pos, int(n - pos));
                pos = n;
                resolve(false);
                continue;
            }
            const qint64 room = s.final < 0 ? n - pos : std::min(n - pos, s.final - s.delivered);
            const qint64 ok = firstMismatch(s.pattern, s.delivered, data + pos, room);
            s.delivered += ok;
            pos += ok;
            if (ok < room) {
                if (s.final < 0)
                    return fail(QStringLiteral("setup program byte %1 of connection %2 is wrong")
                                    .arg(s.delivered)
                                    .arg(FIndex + 1));
                return fail(QStringLiteral("connection %1 of the setup program ended cleanly after %2 bytes; "
                                           "%3 of them reached the panel, then came other bytes")
                                .arg(FIndex + 1)
                                .arg(s.final)
                                .arg(s.delivered));
            }
            if (s.final >= 0 && s.delivered == s.final)
                ++FIndex;
        }
        return FError.isEmpty();
    }
    // At the end of a phase: decide what is pending with whatever evidence there is.
    bool settle() {
        if (!FPending.isEmpty())
            resolve(true);
        return FError.isEmpty();
    }

  private:
    struct Segment {
        Pattern pattern;
        qint64 final; // bytes the connection sent in all; -1 while it is open
        bool mayLose;
        qint64 delivered;
    };
    // For a failure's message: the bytes, and where in the latest connections' streams
    // they would fit.
    QString whoseBytes(const char* data, qint64 n) const {
        const qint64 probe = std::min<qint64>(n, 16);
        QString out = QString::fromLatin1(QByteArray(data, int(probe)).toHex(' '));
        for (int i = std::max(0, int(FSegments.size()) - 3); i < int(FSegments.size()); ++i) {
            const Segment& s = FSegments[size_t(i)];
            const qint64 top = s.final < 0 ? s.delivered + 4 * 1024 * 1024 : s.final;
            for (qint64 at = std::max<qint64>(0, s.delivered - 1024 * 1024); at <= top; ++at) {
                if (firstMismatch(s.pattern, at, data, probe) == probe) {
                    out += QStringLiteral("; connection %1's bytes from %2 (it had %3 delivered, sent %4)")
                               .arg(i + 1)
                               .arg(at)
                               .arg(s.delivered)
                               .arg(s.final);
                    break;
                }
            }
        }
        return out;
    }
    bool fail(const QString& e) {
        if (FError.isEmpty())
            FError = e;
        return false;
    }
    // FPending starts where segment FIndex (reset, tail possibly lost) may continue. Its
    // legal forms: a prefix of the rest of that connection, then the next connection from
    // its first byte. Find the split c: FPending[0..c) continues it, the rest starts the
    // next one.
    void resolve(bool force) {
        constexpr qint64 Evidence = 32;
        Segment& s = FSegments[size_t(FIndex)];
        const qint64 left = s.final - s.delivered;
        // How far the pending bytes go on with this connection: the split lies at or before.
        const qint64 m = firstMismatch(s.pattern, s.delivered, FPending.constData(),
                                       std::min<qint64>(FPending.size(), left));
        if (m == FPending.size()) {
            // All of them may be this connection's.
            if (m < left && !force)
                return; // not enough bytes yet to tell
            s.delivered += m;
            FPending.clear();
            if (s.delivered == s.final)
                ++FIndex;
            return;
        }
        if (FIndex + 1 >= int(FSegments.size())) {
            fail(QStringLiteral("bytes after the reset connection %1 belong to no later connection")
                     .arg(FIndex + 1));
            return;
        }
        const Segment& next = FSegments[size_t(FIndex) + 1];
        for (qint64 c = m; c >= 0; --c) {
            const qint64 rest = FPending.size() - c;
            const qint64 nextRoom = next.final < 0 ? rest : std::min(rest, next.final);
            const qint64 matched = firstMismatch(next.pattern, 0, FPending.constData() + c, nextRoom);
            // A reset next connection may itself end early, with a later one's bytes after.
            if (matched != nextRoom && !(next.final >= 0 && next.mayLose && matched >= Evidence))
                continue;
            // A few bytes may start the next connection by chance: wait for more.
            if (!force && rest < Evidence && c > 0)
                return;
            s.delivered += c;
            const QByteArray tail = FPending.mid(c);
            FPending.clear();
            ++FIndex;
            feed(tail.constData(), tail.size());
            return;
        }
        fail(QStringLiteral(
                 "after the reset of connection %1 the panel got bytes of neither it nor the next one")
                 .arg(FIndex + 1));
    }

    std::vector<Segment> FSegments;
    int FIndex = 0;
    QByteArray FPending;
    QString FError;
};
