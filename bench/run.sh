#!/bin/sh
# Builds relay-bench and the panel simulator (optimised, in build-bench inside this
# checkout, never shared with another one) and runs RUNS rounds (default 5) of:
#   1. the cable relay against socat, the wizard offscreen;
#   2. the LAN relay (--lan) against socat relaying TCP to TCP, offscreen;
#   3. and 4. the same two on a real X display (QT_QPA_PLATFORM=xcb under Xvfb, with Qt's
#      accessibility on, as on a technician's desktop);
# alternating, so that a quiet or a busy spell of the machine falls on every
# configuration; then once the slow line: an upload sent at once to a panel that takes 100
# bytes every 10 ms, the window's longest stall meanwhile (on the X display when there is
# one). Last, each figure's median over the runs with its spread (lowest-highest), the
# goals judged on the medians. Arguments go to every comparison run (./run.sh --help lists
# them). Environment: BUILD_DIR the build directory; RUNS the number of rounds; SLOW_LINE
# (100/10) and SLOW_KIB (1024) the slow line; LAN_ARGS more arguments for the LAN runs only
# (e.g. "--pin --socat-nodelay"); SKIP_XCB=1, SKIP_SLOW=1 and SKIP_LAN=1 leave those runs out.
set -e
here=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$here/build-bench}
runs=${RUNS:-5}
if ! command -v socat >/dev/null 2>&1; then
    echo "run.sh: socat is not installed (apt-get install socat)" >&2
    exit 1
fi
cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target relay-bench panel-sim >/dev/null
case " $* " in *" --help "*|*" -h "*) exec "$build/relay-bench" --help ;; esac

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
status=0
xcb=
if [ -z "$SKIP_XCB" ] && command -v xvfb-run >/dev/null 2>&1; then
    xcb=yes
fi
# run <file> <platform> <args>: one relay-bench run, its output kept for the summary.
run() {
    file=$1 platform=$2
    shift 2
    if [ "$platform" = xcb ]; then
        QT_QPA_PLATFORM=xcb QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 \
            xvfb-run -a -s "-screen 0 1280x1024x24" "$build/relay-bench" "$@" >"$file" 2>&1 || status=1
    else
        QT_QPA_PLATFORM=offscreen "$build/relay-bench" "$@" >"$file" 2>&1 || status=1
    fi
    cat "$file"
}

i=1
while [ "$i" -le "$runs" ]; do
    echo "== run $i of $runs: cable, offscreen"
    run "$out/$i-cable-offscreen" offscreen "$@"
    if [ -z "$SKIP_LAN" ]; then
        echo "== run $i of $runs: LAN, offscreen"
        # shellcheck disable=SC2086 # LAN_ARGS is a list of options
        run "$out/$i-lan-offscreen" offscreen --lan $LAN_ARGS "$@"
    fi
    if [ -n "$xcb" ]; then
        echo "== run $i of $runs: cable, xcb (Xvfb)"
        run "$out/$i-cable-xcb" xcb "$@"
        if [ -z "$SKIP_LAN" ]; then
            echo "== run $i of $runs: LAN, xcb (Xvfb)"
            # shellcheck disable=SC2086
            run "$out/$i-lan-xcb" xcb --lan $LAN_ARGS "$@"
        fi
    fi
    i=$((i + 1))
done
[ -n "$xcb" ] || echo "xcb runs left out (xvfb-run missing: apt-get install xvfb; or SKIP_XCB is set)"
if [ -z "$SKIP_SLOW" ]; then
    echo "== slow line"
    slowplatform=offscreen
    [ -n "$xcb" ] && slowplatform=xcb
    run "$out/slow" "$slowplatform" --slow-line "${SLOW_LINE:-100/10}" --slow-kib "${SLOW_KIB:-1024}"
fi

echo
echo "== medians over $runs runs (lowest-highest), goals judged on the median"
cat "$out"/* | grep '^FIGURE' | sort -k2,4 | awk '
    function goal(name) {
        if (name == "rt_median_ratio") return "<= 1.0"
        if (name == "rt_p99_ratio") return "<= 1.1"
        if (name == "echo_ratio") return ">= 1.0"
        if (name == "cpu_mib_ratio") return "<= 1.0"
        if (name == "idle_pct") return "< 0.5"
        if (name == "rss_mib") return "< 40"
        return ""
    }
    function met(g, v) {
        split(g, p, " ")
        if (p[1] == "<=") return v <= p[2]
        if (p[1] == ">=") return v >= p[2]
        if (p[1] == "<") return v < p[2]
        return 1
    }
    function flush() {
        if (n == 0) return
        # insertion sort of the n values
        for (a = 2; a <= n; a++) { x = v[a]; b = a - 1; while (b > 0 && v[b] > x) { v[b + 1] = v[b]; b-- } v[b + 1] = x }
        med = (n % 2) ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2
        g = goal(key[3])
        verdict = g == "" ? "" : (met(g, med) ? "met" : "MISSED")
        printf "%-9s %-5s %-18s %10.3f  (%.3f-%.3f, %d runs)  %-7s %s\n", key[1], key[2], key[3], med, v[1], v[n], n, g, verdict
        if (verdict == "MISSED") missed = 1
        n = 0
    }
    {
        k = $2 " " $3 " " $4
        if (k != last) { flush(); last = k; split(k, key, " ") }
        v[++n] = $5
    }
    END { flush(); if (missed) print "some goals MISSED on the median"; else print "every goal met on the median" }'
grep -h '^GOAL.*slow-line' "$out"/* 2>/dev/null || true
exit $status
