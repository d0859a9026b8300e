#!/usr/bin/env bash
# Records the regression suite's sessions on simulated boards: for each NAME, benchsim plays the
# boards, `benchd --capture` records the session into tests/captures/NAME.pcap while a client
# sends the session's settings at their times, then the replay test writes NAME.expected from a
# replay of the new capture. Check every NAME.expected by hand (git diff) before committing.
#
#   tests/captures/record.sh [--build DIR] [NAME...]     (no NAME: all of them)
#
# A capture from a real bench is recorded the same way with the bench's boards instead of
# benchsim's: see CONTRIBUTING.md, "Capture regression tests".
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build="$root/build"
if [[ ${1:-} == --build ]]; then
    build=$(cd "$2" && pwd)
    shift 2
fi

# NAME: seconds recorded | benchsim's boards | the client's messages as "SECONDS MESSAGE;"...
#   stand    a STAND62 driven by every stand setting: speed, rotation, pump, fan, temperature
#   crit     an injector tester: status requests, regulators, injectors, a leakage test
#   chart    a CRIT0303 recording oscillograms: all six charts
#   meters   a stand, a flowmeter sending bad CRCs and noise, a delay meter, on three ports
#   silence  a flowmeter that falls silent: the daemon times it out, so its unplug at the end
#            is announced to no one
#   unplug   a delay meter unplugged and plugged in again
session() {
    case $1 in
    stand)
        echo "5|stand62=ttyUSB0|1.5 device_rpm:1500;|1.6 device_rotate:1;|1.7 device_active:1;|2.0 device_pump:1;|2.1 device_fan:1;|2.2 device_temperature:40;|3.5 device_active:0;"
        ;;
    crit)
        echo "5|crit=ttyUSB0|1.5 injector_status:;|1.6 regulator1_active:1;|1.7 regulator1_current:1.5;|1.8 regulator2_duty_cycle:12.5;|2.0 injector_active:1;|2.2 leakage_max_time:2000;|3.0 pressure_reset:;|3.2 injector_status:;"
        ;;
    chart)
        echo "5|crit0303=ttyUSB0|1.5 osc:1;|4.0 osc:0;"
        ;;
    meters)
        echo "5|stand=ttyUSB0|flowmeter=ttyUSB1,corrupt=10,garbage|delaymeter=ttyUSB2|2.0 flowmeter_reset;|2.5 delaymeter_sensitivity:2.5;|3.0 delaymeter_reset;"
        ;;
    silence)
        echo "10|flowmeter=ttyUSB0,silent-after=2"
        ;;
    unplug)
        echo "7|delaymeter=ttyUSB0,unplug-after=2,replug-after=2"
        ;;
    *)
        return 1
        ;;
    esac
}
all="stand crit chart meters silence unplug"

for tool in "$build/benchd" "$build/tools/benchsim" "$build/tests/e2e_tests"; do
    [[ -x $tool ]] || { echo "record.sh: $tool is missing: build first (make build)" >&2; exit 1; }
done

# Seconds from now until START + AT (0 when past).
until_due() {
    awk -v start="$1" -v at="$2" -v now="$(date +%s.%N)" \
        'BEGIN { d = start + at - now; printf "%.3f\n", (d > 0 ? d : 0) }'
}

record() {
    local name=$1 spec
    spec=$(session "$name") || { echo "record.sh: no session '$name' (known: $all)" >&2; return 1; }
    IFS='|' read -r -a fields <<<"$spec"
    local seconds=${fields[0]} boards=() messages=() field
    for field in "${fields[@]:1}"; do
        if [[ $field == *=* && $field != *:* ]]; then boards+=("$field"); else messages+=("$field"); fi
    done

    local work
    work=$(mktemp -d)
    local sim="" daemon="" reader=""
    # Whatever happens, nothing recorded here outlives the script.
    trap 'kill $sim $daemon $reader 2>/dev/null; rm -rf "$work"' EXIT
    "$build/tools/benchsim" --dir "$work" "${boards[@]}" >"$work/sim.log" 2>&1 &
    sim=$!
    for _ in $(seq 50); do [[ $(find "$work" -maxdepth 1 -type l | wc -l) -ge ${#boards[@]} ]] && break; sleep 0.1; done
    rm -f "$here/$name.pcap"
    "$build/benchd" --dev-dir "$work" --port 0 --capture "$here/$name.pcap" >"$work/benchd.log" 2>&1 &
    daemon=$!
    local port=""
    for _ in $(seq 50); do
        port=$(sed -n 's/^Listening on port \([0-9]*\).*/\1/p' "$work/benchd.log" | head -1)
        [[ -n $port ]] && break
        sleep 0.1
    done
    [[ -n $port ]] || { echo "record.sh: benchd did not start:" >&2; cat "$work/benchd.log" >&2; kill "$sim" "$daemon" 2>/dev/null; return 1; }

    # The client connects at once: the replay times its messages from its connection.
    exec 3<>"/dev/tcp/127.0.0.1/$port"
    cat <&3 >"$work/client.log" &
    reader=$!
    local start at text
    start=$(date +%s.%N)
    for field in "${messages[@]}"; do
        at=${field%% *}
        text=${field#* }
        sleep "$(until_due "$start" "$at")"
        printf '%s' "$text" >&3
    done
    sleep "$(until_due "$start" "$seconds")"
    exec 3>&-
    kill -TERM "$daemon"
    wait "$daemon" || true
    kill -TERM "$sim" "$reader" 2>/dev/null || true
    wait "$sim" "$reader" 2>/dev/null || true
    rm -rf "$work"
    trap - EXIT
    echo "record.sh: $name.pcap: $(stat -c %s "$here/$name.pcap") bytes"

    BENCHD_WRITE_EXPECTED=1 "$build/tests/e2e_tests" \
        --gtest_filter="Captures/ReplayE2e.ClientHearsWhatTheCaptureSays/$name" >/dev/null
    echo "record.sh: $name.expected written: check it by hand (git diff) before committing"
}

for name in "${@:-$all}"; do
    # shellcheck disable=SC2086
    for one in $name; do record "$one"; done
done
