#!/usr/bin/env bash
# The bench on this machine: simulated boards on pseudo-terminals, benchd serving them, and a
# view of the telemetry while a few settings make it move: `benchctl top` on benchd's monitor
# port when the output is a terminal, the scrolling monitor otherwise; and beside it the live
# page for browsers (`benchctl web`), whose address it prints.
#
#   tools/demo.sh BUILD_DIR        (make demo builds first and calls this)
#   PORT=N          TCP port for benchd (default 2015; its monitor port is N+1)
#   WEB_PORT=N      port of the page on 127.0.0.1 (default 8015; 0: any free one)
#   DEMO_SECONDS=N  stop after N seconds (default: run until Ctrl-C)
#
# Builds nothing. Everything it starts, links and creates goes away when it ends.
set -u

BUILD=${1:?usage: tools/demo.sh BUILD_DIR}
PORT=${PORT:-2015}
DEMO_SECONDS=${DEMO_SECONDS:-}
BENCHD=$BUILD/benchd
BENCHSIM=$BUILD/tools/benchsim
BENCHCTL=$BUILD/tools/benchctl

for exe in "$BENCHD" "$BENCHSIM" "$BENCHCTL"; do
    if [ ! -x "$exe" ]; then
        echo "demo: $exe is missing; build first (make demo does)" >&2
        exit 1
    fi
done
if [ -n "$DEMO_SECONDS" ] && ! [[ "$DEMO_SECONDS" =~ ^[0-9]+$ ]]; then
    echo "demo: DEMO_SECONDS must be a whole number of seconds" >&2
    exit 1
fi

WORK=$(mktemp -d "${TMPDIR:-/tmp}/benchd-demo.XXXXXX")
DEV=$WORK/dev
mkdir "$DEV"
SIM_PID=
BENCHD_PID=
MONITOR_PID=
WEB_PID=
SETTINGS_OPEN=
WEB_PORT=${WEB_PORT:-8015}

stop_process() {
    local pid=$1
    [ -n "$pid" ] || return 0
    kill -TERM "$pid" 2>/dev/null
    for _ in $(seq 50); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
}

cleanup() {
    trap - EXIT INT TERM
    [ -n "$SETTINGS_OPEN" ] && exec 3>&-
    # The client first, then the daemon, then the boards (which remove their links).
    stop_process "$MONITOR_PID"
    stop_process "$WEB_PID"
    stop_process "$BENCHD_PID"
    stop_process "$SIM_PID"
    rm -rf "$WORK"
    echo "demo: stopped; nothing left behind"
}
trap cleanup EXIT
trap 'exit 0' INT TERM

# Seconds may pass while the boards identify themselves; poll rather than guess.
wait_for() {
    local what=$1 seconds=$2
    shift 2
    for _ in $(seq $((seconds * 10))); do
        "$@" && return 0
        sleep 0.1
    done
    echo "demo: $what did not happen within $seconds s" >&2
    return 1
}

"$BENCHSIM" --dir "$DEV" stand62=ttyUSB0 crit=ttyUSB1 flowmeter=ttyUSB2 delaymeter=ttyUSB3 \
    >"$WORK/benchsim.log" 2>&1 &
SIM_PID=$!
wait_for "plugging in the simulated boards" 5 test -L "$DEV/ttyUSB3" || exit 1

# Observers watch on a monitor port of their own, when this benchd has one.
MONITOR_PORT=
if "$BENCHD" --help 2>&1 | grep -q -- '--monitor-port'; then
    MONITOR_PORT=$((PORT + 1))
fi
"$BENCHD" --dev-dir "$DEV" --port "$PORT" ${MONITOR_PORT:+--monitor-port "$MONITOR_PORT"} \
    >"$WORK/benchd.log" 2>&1 &
BENCHD_PID=$!
identified() { [ "$(grep -c 'DEVICE CONNECTED' "$WORK/benchd.log")" -ge 4 ]; }
if ! wait_for "identifying the four boards" 15 identified; then
    if ! kill -0 "$BENCHD_PID" 2>/dev/null; then
        echo "demo: benchd ended:" >&2
        cat "$WORK/benchd.log" >&2
        exit 1
    fi
    echo "demo: going on anyway; benchd says:" >&2
    tail -n 20 "$WORK/benchd.log" >&2
fi
grep 'DEVICE CONNECTED' "$WORK/benchd.log" | sed 's/^/demo: benchd: /'

# The live page, an observer of the monitor port like top.
if [ -n "$MONITOR_PORT" ]; then
    "$BENCHCTL" web --listen "127.0.0.1:$WEB_PORT" --monitor "127.0.0.1:$MONITOR_PORT" \
        >"$WORK/web.log" 2>&1 &
    WEB_PID=$!
    serving() { grep -q 'serving http' "$WORK/web.log" || ! kill -0 "$WEB_PID" 2>/dev/null; }
    wait_for "starting the page" 10 serving
    if grep -q 'serving http' "$WORK/web.log"; then
        URL=$(grep -o 'http://[^ ]*' "$WORK/web.log" | head -n 1)
        echo "demo: the bench in a browser: $URL"
    else
        echo "demo: no page for browsers:" >&2
        cat "$WORK/web.log" >&2
        WEB_PID=
    fi
fi

# A monitor on the control port is benchd's one client; settings reach benchd through it, from
# a pipe. With `top` on the screen, that control monitor's lines go to a log.
TOP=
if [ -t 1 ] && [ -n "$MONITOR_PORT" ]; then
    TOP=1
fi
mkfifo "$WORK/settings"
if [ -n "$TOP" ]; then
    "$BENCHCTL" --port "$PORT" --control monitor <"$WORK/settings" >"$WORK/control.log" 2>&1 &
else
    "$BENCHCTL" --port "$PORT" --control monitor --cut 160 <"$WORK/settings" &
fi
MONITOR_PID=$!
exec 3>"$WORK/settings"
SETTINGS_OPEN=1

sleep 1
for setting in device_active:1 device_rpm:1500 device_fan:1 device_pump:1 \
    device_temperature:40 injector_active:1 injector_i1:20 injector_i2:12 osc:1 \
    regulator1_active:1 regulator1_current:1.5 regulator2_active:1 regulator2_duty_cycle:35.5 \
    leakage_max_time:8000 flowmeter_reset:1 delaymeter_reset:1 injector_status:1; do
    echo "$setting" >&3
done

# top in the foreground owns the terminal; q, Ctrl-C or DEMO_SECONDS end it and the demo.
if [ -n "$TOP" ]; then
    [ -n "$WEB_PID" ] && sleep 2  # time to read the page's address before top takes the screen
    if [ -n "$DEMO_SECONDS" ]; then
        timeout --foreground "$DEMO_SECONDS" "$BENCHCTL" --port "$MONITOR_PORT" top
    else
        "$BENCHCTL" --port "$MONITOR_PORT" top
    fi
    exit 0
fi

# A foreground wait: bash runs its INT trap only once a foreground child has ended, and a
# background sleep would ignore the Ctrl-C.
if [ -z "$DEMO_SECONDS" ]; then
    echo "demo: Ctrl-C to stop"
fi
END=$((SECONDS + ${DEMO_SECONDS:-0}))
while [ -z "$DEMO_SECONDS" ] || [ "$SECONDS" -lt "$END" ]; do
    sleep 0.2
done
