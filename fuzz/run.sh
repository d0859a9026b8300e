#!/usr/bin/env bash
# Builds the fuzz targets with clang in BUILD_DIR and runs each for SECONDS on a copy of its
# seed corpus, so that what a run finds stays in the build directory, not in fuzz/corpus.
# Prints executions and corpus size per target; fails if any target finds a crash, leaving
# the input that caused it in BUILD_DIR/fuzz-artifacts/<target>/.
# Usage: fuzz/run.sh [BUILD_DIR] [SECONDS] [JOBS]
set -uo pipefail

build=${1:-build-fuzz}
seconds=${2:-60}
jobs=${3:-2}
root=$(cd "$(dirname "$0")/.." && pwd)
targets=(fuzz_frame_parser fuzz_client_text fuzz_report_handlers fuzz_capture_reader
    fuzz_config_file fuzz_monitor_input fuzz_fleet_names)

# What a target needs beyond the defaults: its dictionary (fuzz/<target>.dict), and a larger
# input for the captures and for an observer's message past the framer's 4,096 bytes.
target_flags() {
    local target=$1
    if [ -f "$root/fuzz/$target.dict" ]; then
        echo "-dict=$root/fuzz/$target.dict"
    fi
    case $target in
        fuzz_capture_reader) echo "-max_len=16384" ;;
        fuzz_monitor_input) echo "-max_len=8192" ;;
    esac
}

# libFuzzer comes with clang's runtime libraries (Debian: clang and libclang-rt-dev).
links_libfuzzer() {
    local dir rc
    dir=$(mktemp -d)
    printf '%s\n' '#include <cstddef>' '#include <cstdint>' \
        'extern "C" int LLVMFuzzerTestOneInput(const uint8_t*, size_t) { return 0; }' \
        >"$dir/probe.cpp"
    clang++ -fsanitize=fuzzer,address,undefined "$dir/probe.cpp" -o "$dir/probe" >/dev/null 2>&1
    rc=$?
    rm -rf "$dir"
    return $rc
}

if ! command -v clang++ >/dev/null 2>&1 || ! links_libfuzzer; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "fuzz: clang++ cannot link libFuzzer; install clang and libclang-rt-dev as root" >&2
        exit 1
    fi
    echo "fuzz: installing clang and libclang-rt-dev"
    export DEBIAN_FRONTEND=noninteractive
    apt-get install -y clang libclang-rt-dev ||
        { apt-get update && apt-get install -y clang libclang-rt-dev; } || exit 1
    if ! links_libfuzzer; then
        echo "fuzz: clang++ still cannot link libFuzzer" >&2
        exit 1
    fi
fi

cmake -S "$root" -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DBENCHD_FUZZ=ON -DBENCHD_TESTS=OFF >/dev/null || exit 1
cmake --build "$build" -j "$jobs" --target "${targets[@]}" || exit 1

failed=()
for target in "${targets[@]}"; do
    corpus="$build/fuzz-corpus/$target"
    artifacts="$build/fuzz-artifacts/$target"
    log="$build/fuzz-logs/$target.log"
    mkdir -p "$corpus" "$artifacts" "$(dirname "$log")"
    cp "$root/fuzz/corpus/$target/"* "$corpus/"
    echo "fuzz: $target for ${seconds}s"
    mapfile -t flags < <(target_flags "$target")
    "$build/fuzz/$target" -max_total_time="$seconds" -timeout=25 -print_final_stats=1 \
        -artifact_prefix="$artifacts/" "${flags[@]}" "$corpus" >"$log" 2>&1
    rc=$?
    executions=$(awk '/stat::number_of_executed_units/ {print $2}' "$log")
    coverage=$(grep -Eo 'cov: [0-9]+' "$log" | tail -n 1)
    inputs=$(find "$corpus" -type f | wc -l)
    echo "fuzz: $target: ${executions:-?} executions, corpus $inputs inputs, ${coverage:-cov: ?}"
    if [ $rc -ne 0 ]; then
        echo "fuzz: $target FAILED (exit $rc); the report, then the input in $artifacts/:" >&2
        grep -E -A 30 'FUZZ CHECK FAILED|ERROR: (AddressSanitizer|libFuzzer|LeakSanitizer)|runtime error' \
            "$log" | head -n 60 >&2
        ls -1 "$artifacts" >&2
        failed+=("$target")
    fi
done

if [ ${#failed[@]} -ne 0 ]; then
    echo "fuzz: findings in ${failed[*]}; full logs in $build/fuzz-logs/" >&2
    exit 1
fi
echo "fuzz: no finding in ${#targets[@]} targets"
