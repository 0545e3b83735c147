#!/bin/bash
# Lays out every C++ source of the tree with .clang-format (clang-format 14,
# Debian 12), or with --check only reports the files that differ (exit 1).
set -u
cd "$(dirname "$0")/.." || exit 1
command -v clang-format >/dev/null || { echo "format.sh: clang-format is not installed (apt-get install clang-format)" >&2; exit 2; }
files=$(find app bench check cli compare dbc ecu editors emulator fileio image model platform report schema sim tests \
    -name '*.cpp' -o -name '*.h' | sort)
if [ "${1:-}" = "--check" ]; then
    # shellcheck disable=SC2086
    clang-format --dry-run --Werror $files 2>&1 | grep -E '^[^ ].*(warning|error):' | cut -d: -f1 | sort -u > /tmp/format-$$.txt
    if [ -s /tmp/format-$$.txt ]; then
        echo "Not laid out as .clang-format says (run scripts/format.sh):"
        cat /tmp/format-$$.txt
        rm -f /tmp/format-$$.txt
        exit 1
    fi
    rm -f /tmp/format-$$.txt
    echo "format: every file as .clang-format says"
    exit 0
fi
# shellcheck disable=SC2086
clang-format -i $files
