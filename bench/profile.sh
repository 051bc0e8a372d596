#!/bin/sh
# The relay's system calls per relayed piece, counted by strace: relay-bench runs twice
# with N and 3N round trips (N=2000; 16-byte packets, a 1 MiB echo), and the difference of
# the counts of the wizard's relaying thread, and of socat, is divided by the 2N round
# trips between them. A round trip is two relayed pieces, one each way. The counts do not
# depend on the machine's load, unlike the times. Usage: bench/profile.sh [--lan] [more
# relay-bench options]; needs strace (apt-get install strace).
set -e
here=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$here/build-bench}
n=${ROUND_TRIPS:-2000}
command -v strace >/dev/null 2>&1 || { echo "profile.sh: strace is not installed (apt-get install strace)" >&2; exit 1; }
cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target relay-bench panel-sim >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

opts="$*"
for k in 1 3; do
    d="$work/$k"
    mkdir -p "$d"
    # shellcheck disable=SC2086
    QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen} strace -ff -o "$d/t" \
        "$build/relay-bench" --rounds 1 --round-trips $((k * n)) --echo-mib 1 --idle 1 $opts \
        >/dev/null 2>&1 || true
done
# calls <dir> <which>: "name count" of the wizard's main thread (the lowest pid) or socat
calls() {
    if [ "$2" = wizard ]; then
        f=$(ls "$1" | sort -t. -k2 -n | head -n 1)
        f="$1/$f"
    else
        f=$(grep -l 'execve("[^"]*socat' "$1"/* | head -n 1)
    fi
    sed 's/^[0-9 ]*//; s/(.*//' "$f" | sort | uniq -c | awk '{print $2, $1}' | sort
}
for who in wizard socat; do
    calls "$work/1" $who >"$work/$who.1"
    calls "$work/3" $who >"$work/$who.3"
    echo "$who: system calls per relayed piece (each way), from $((2 * n)) more round trips"
    join -a 2 -e 0 -o 2.1,1.2,2.2 "$work/$who.1" "$work/$who.3" 2>/dev/null | awk -v trips=$((2 * n)) '
        { d = ($3 - $2) / trips / 2; if (d >= 0.05) { printf "  %-12s %5.2f\n", $1, d; total += d } }
        END { printf "  %-12s %5.2f\n", "all", total }'
done
