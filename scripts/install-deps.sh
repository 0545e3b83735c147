#!/usr/bin/env bash
# Installs the Debian packages that KELDA needs and that are not there yet.
set -euo pipefail

PACKAGES=(
    build-essential cmake ninja-build pkg-config
    qt6-base-dev qt6-base-dev-tools qt6-serialport-dev qt6-svg-dev libgl-dev
    qt6-serialbus-dev          # kelda-cli simulate --bus: a live CAN bus (VirtualCAN, SocketCAN)
    fonts-dejavu-core
    poppler-utils python3-canmatrix   # report tests: the PDF's text, a standard DBC reader
    python3-can can-utils             # CAN log tests: logs written by other tools
    desktop-file-utils appstream groff-base   # checks of the installed menu entry, metainfo and manual pages
    file                                      # cpack -G DEB (dpkg-shlibdeps comes with build-essential)
    lintian                                   # the install test's check of the .deb
    shared-mime-info xdg-utils libfile-mimeinfo-perl   # the install test's query of the type of *.kelda
    clang libclang-rt-14-dev   # fuzz targets (libFuzzer)
    clang-format clang-tidy    # the layout check of the test suite; scripts/tidy.sh
    sigrok-cli                 # simulation tests: traces read back by a standard VCD reader
)

missing=()
for p in "${PACKAGES[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
    SUDO="sudo"
fi
echo "Installing: ${missing[*]}"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
