#!/bin/sh
# Builds relay-bench and the panel simulator (optimised, in build-bench inside this
# checkout, never shared with another one) and runs:
#   1. the comparison with socat, the wizard offscreen;
#   2. the same on a real X display (QT_QPA_PLATFORM=xcb under Xvfb);
#   3. the slow line: an upload sent at once to a panel that takes 100 bytes every 10 ms,
#      the window's longest stall meanwhile (on the X display when there is one);
#   4. the LAN relay (--lan) against socat relaying TCP to TCP, offscreen and on the X display.
# Then every goal row again, with its ratio and met/MISSED. Arguments go to the four
# comparison runs (./run.sh --help lists them). Environment: BUILD_DIR the build
# directory; SLOW_LINE (100/10) and SLOW_KIB (1024) the slow line; LAN_ARGS more
# arguments for the LAN runs only (e.g. "--pin --socat-nodelay"); SKIP_XCB=1, SKIP_SLOW=1
# and SKIP_LAN=1 leave those runs out.
set -e
here=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$here/build-bench}
if ! command -v socat >/dev/null 2>&1; then
    echo "run.sh: socat is not installed (apt-get install socat)" >&2
    exit 1
fi
case " $* " in *" --help "*|*" -h "*)
    cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$build" -j2 --target relay-bench panel-sim >/dev/null
    exec "$build/relay-bench" --help ;;
esac
cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target relay-bench panel-sim >/dev/null

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
        QT_QPA_PLATFORM=xcb xvfb-run -a -s "-screen 0 1280x1024x24" "$build/relay-bench" "$@" >"$file" 2>&1 ||
            status=1
    else
        QT_QPA_PLATFORM=offscreen "$build/relay-bench" "$@" >"$file" 2>&1 || status=1
    fi
    cat "$file"
}

echo "== offscreen"
run "$out/1" offscreen "$@"
if [ -n "$xcb" ]; then
    echo "== xcb (Xvfb)"
    run "$out/2" xcb "$@"
else
    echo "GOAL xcb      not run (xvfb-run missing: apt-get install xvfb; or SKIP_XCB is set)" | tee "$out/2"
fi
if [ -z "$SKIP_SLOW" ]; then
    echo "== slow line"
    slowplatform=offscreen
    [ -n "$xcb" ] && slowplatform=xcb
    run "$out/3" "$slowplatform" --slow-line "${SLOW_LINE:-100/10}" --slow-kib "${SLOW_KIB:-1024}"
fi
if [ -z "$SKIP_LAN" ]; then
    echo "== LAN, offscreen"
    # shellcheck disable=SC2086 # LAN_ARGS is a list of options
    run "$out/4" offscreen --lan $LAN_ARGS "$@"
    if [ -n "$xcb" ]; then
        echo "== LAN, xcb (Xvfb)"
        # shellcheck disable=SC2086
        run "$out/5" xcb --lan $LAN_ARGS "$@"
    else
        echo "GOAL xcb      lan not run (xvfb-run missing: apt-get install xvfb; or SKIP_XCB is set)" | tee "$out/5"
    fi
fi
echo
echo "== goals"
cat "$out"/* | grep '^GOAL' || true
if cat "$out"/* | grep -q 'MISSED'; then echo "some goals MISSED"; else echo "every goal run was met"; fi
exit $status
