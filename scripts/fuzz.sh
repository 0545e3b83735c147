#!/usr/bin/env bash
# Builds the libFuzzer targets (tests/fuzz/fuzz_*.cpp) with clang in build-fuzz
# and runs each for SECONDS (default 30) on a copy of its seed corpus.
# Fails when a target finds a crash; skips cleanly without clang's libFuzzer.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-30}"

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

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}"
artifacts="$build/fuzz-artifacts"
mkdir -p "$artifacts"
status=0
for source in tests/fuzz/fuzz_*.cpp; do
    name="$(basename "$source" .cpp)"
    binary="$build/tests/fuzz/$name"
    corpus="$probe_dir/corpus-$name"
    mkdir -p "$corpus"
    if [ -d "tests/fuzz/corpus/$name" ]; then
        cp -r "tests/fuzz/corpus/$name/." "$corpus/"
    fi
    echo "fuzz: $name for ${seconds}s"
    if ! "$binary" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
            -artifact_prefix="$artifacts/$name-" "$corpus" 2> "$probe_dir/$name.log"; then
        tail -n 60 "$probe_dir/$name.log"
        echo "fuzz: $name FAILED (input kept under $artifacts/)"
        status=1
    else
        grep -E '^stat::number_of_executed_units|^#[0-9]+.*DONE' "$probe_dir/$name.log" | sed "s/^/fuzz: $name: /" || true
    fi
done
exit $status
