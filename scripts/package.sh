#!/usr/bin/env bash
# Installs what is missing, builds Korvane optimised (without tests) and makes its Debian
# package: build-package/korvane_<version>_<arch>.deb.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build-package -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DKORVANE_BENCH=OFF >/dev/null
cmake --build build-package
(cd build-package && cpack -G DEB)
deb=$(ls "$PWD"/build-package/korvane_*.deb)
# root has no sudo on a fresh Debian; apt needs the path with a slash to take a local file.
if [ "$(id -u)" -eq 0 ]; then install=(apt install); else install=(sudo apt install); fi
echo "$deb"
echo "Install it with: ${install[*]} $deb"
