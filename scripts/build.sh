#!/usr/bin/env bash
# Configures and builds KELDA into ./build (Release with debug info); a
# warning is an error unless KELDA_WERROR=OFF is in the environment.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELDA_WERROR="${KELDA_WERROR:-ON}" >/dev/null
cmake --build build
