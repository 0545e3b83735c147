#!/usr/bin/env bash
# Builds the libFuzzer targets (tests/fuzz/fuzz_*.cpp) with clang in build-fuzz
# and runs each for SECONDS (default 30) on a copy of its seed corpus, or for
# RUNS executions each when RUNS is given (a long run: scripts/fuzz.sh 0 10000000).
# Fails when a target finds a crash, a leak or a slow input (one that takes
# longer than TIMEOUT seconds, default 5: the inputs are at most a few hundred
# KiB, which a linear reader handles in milliseconds even under the
# sanitizers); skips cleanly without clang's libFuzzer.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-30}"
runs="${2:-}"
timeout="${FUZZ_TIMEOUT:-5}"
only="${FUZZ_ONLY:-}"   # run only this target (fuzz_store, fuzz_tree, ...)
# A folder that keeps each target's corpus between runs (FUZZ_CORPUS/NAME), so
# a long run can be split into several and each resumes where the last ended.
keep="${FUZZ_CORPUS:-}"
max_len_override="${FUZZ_MAX_LEN:-}"   # largest input for every target, instead of its own
extra="${FUZZ_FLAGS:-}"   # more libFuzzer flags

# Largest input per target: big enough to reach what is slow only on large
# inputs (a reader that is quadratic in child types or rows shows at about
# 100 KiB of setup file or 400 KiB of JSON), small enough to mutate quickly.
max_len_for() {
    if [ -n "$max_len_override" ]; then
        echo "$max_len_override"
        return
    fi
    case "$1" in
        fuzz_store) echo 262144 ;;
        fuzz_tree) echo 1048576 ;;
        fuzz_image) echo 65536 ;;
        *) echo 65536 ;;
    esac
}

probe_dir="$(mktemp -d)"
trap 'rm -rf "$probe_dir"' EXIT
have_fuzzer=no
if command -v clang++ >/dev/null 2>&1 && command -v clang >/dev/null 2>&1; then
    printf 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char *, unsigned long) { return 0; }\n' \
        > "$probe_dir/probe.cpp"
    if clang++ -fsanitize=fuzzer,address,undefined "$probe_dir/probe.cpp" -o "$probe_dir/probe" >/dev/null 2>&1; then
        have_fuzzer=yes
    fi
fi
if [ "$have_fuzzer" != yes ]; then
    echo "fuzz: skipped (clang/libFuzzer not found)"
    exit 0
fi

build=build-fuzz
flags="-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer"
if [ ! -f "$build/build.ninja" ]; then
    cmake -S . -B "$build" -G Ninja -DKELDA_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
        -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" >/dev/null
fi
cmake --build "$build" --target fuzz_targets

# Allocation stacks two frames deep: with the default of thirty, recording
# them (the stack depot) took three quarters of a long run's time and most of
# its memory. A finding still stops with the whole stack of the fault; run the
# kept input again with ASAN_OPTIONS=malloc_context_size=30 for the stacks of
# where the memory was allocated and freed.
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:malloc_context_size=2}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}"
artifacts="$build/fuzz-artifacts"
mkdir -p "$artifacts"
status=0
for source in tests/fuzz/fuzz_*.cpp; do
    name="$(basename "$source" .cpp)"
    if [ -n "$only" ] && [ "$only" != "$name" ]; then
        continue
    fi
    binary="$build/tests/fuzz/$name"
    corpus="$probe_dir/corpus-$name"
    if [ -n "$keep" ]; then
        corpus="$keep/$name"
    fi
    mkdir -p "$corpus"
    if [ -d "tests/fuzz/corpus/$name" ]; then
        cp -r "tests/fuzz/corpus/$name/." "$corpus/"
    fi
    if [ -n "$runs" ]; then
        limit="-runs=$runs"
        echo "fuzz: $name for $runs executions"
    else
        limit="-max_total_time=$seconds"
        echo "fuzz: $name for ${seconds}s"
    fi
    # libFuzzer purges the allocator every second once the peak RSS passes half
    # the limit, and a long run under ASan passes 1 GiB: a limit of 4 GiB keeps
    # it from slowing to a tenth of its speed.
    # shellcheck disable=SC2086
    if ! "$binary" "$limit" -timeout="$timeout" -max_len="$(max_len_for "$name")" -rss_limit_mb=4096 $extra \
            -print_final_stats=1 -artifact_prefix="$artifacts/$name-" "$corpus" 2> "$probe_dir/$name.log"; then
        tail -n 60 "$probe_dir/$name.log"
        echo "fuzz: $name FAILED (input kept under $artifacts/)"
        status=1
    else
        grep -E '^stat::number_of_executed_units|^#[0-9]+.*DONE' "$probe_dir/$name.log" | sed "s/^/fuzz: $name: /" || true
        if [ -n "${FUZZ_LOG_DIR:-}" ]; then
            cp "$probe_dir/$name.log" "$FUZZ_LOG_DIR/$name.log"
        fi
    fi
done
exit $status
