#!/bin/bash
# Runs clang-tidy with the checks of .clang-tidy over every source file of the
# programs and libraries (not tests or benchmarks); exit status 0 when clean.
# Needs a configured build folder (default build/) for compile_commands.json.
set -u
cd "$(dirname "$0")/.." || exit 1
build=${1:-build}
[ -f "$build/compile_commands.json" ] || { echo "tidy.sh: configure $build first (scripts/build.sh)" >&2; exit 2; }
command -v clang-tidy >/dev/null || { echo "tidy.sh: clang-tidy is not installed (apt-get install clang-tidy)" >&2; exit 2; }
git ls-files '*.cpp' | grep -v -E '^(tests|bench)/' \
    | xargs -P "$(nproc)" -n 4 clang-tidy -p "$build" --quiet 2>&1 \
    | grep -E '(warning|error):' | sort -u > "$build/tidy.log"
if [ -s "$build/tidy.log" ]; then
    cat "$build/tidy.log"
    exit 1
fi
echo "clang-tidy: no findings"
