#!/usr/bin/env bash
# Installs what is missing, builds and runs the whole test suite headless,
# then the fuzz targets for a bounded time when clang's libFuzzer is present.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh

export QT_QPA_PLATFORM=offscreen
# Tests never touch the user's settings or files.
export XDG_CONFIG_HOME="$(mktemp -d)"
export XDG_DATA_HOME="$(mktemp -d)"
export XDG_RUNTIME_DIR="$(mktemp -d)"
chmod 700 "$XDG_RUNTIME_DIR"

ctest --test-dir build --output-on-failure --no-tests=error -j2

if [ -f scripts/fuzz.sh ]; then
    bash scripts/fuzz.sh "${KELDA_FUZZ_SECONDS:-30}"
fi
