#!/usr/bin/env bash
# Installs the Debian 12 packages Korvane needs to build, run and test.
# Idempotent: asks apt only for what is missing.
set -euo pipefail

packages=(
  # build
  cmake ninja-build g++ pkg-config
  qt6-base-dev qt6-base-dev-tools libqt6sql6-sqlite libgl-dev libxcb1-dev
  # engines
  libsqlite3-dev sqlite3 shared-mime-info libchm-dev libmspack-dev
  libreoffice-writer-nogui libreoffice-dev libreoffice-dev-common libgsf-1-dev
  # run time: Chinese font and Qt's Chinese texts, display for screenshots
  fonts-wqy-microhei xvfb xauth qt6-translations-l10n
  # tests and benchmarks
  fp-utils libchm-bin p7zip-full python3 python3-msoffcrypto-tool
  libbenchmark-dev clang libclang-rt-14-dev clang-format
  # copies on FAT (tests) and on file systems that share extents (benchmark)
  dosfstools btrfs-progs xfsprogs strace
  # XFCE's thumbnail service and a session bus, to run the thumbnailer as file managers do
  tumbler dbus
  # the Debian package: building (CPack runs dpkg-shlibdeps and file) and checking it
  dpkg-dev file lintian desktop-file-utils appstream
  # Windows components through Wine: the 32-bit Wine needs i386; mingw builds the test fixtures
  wine wine32:i386 wine64 gcc-mingw-w64-i686 gcc-mingw-w64-x86-64
)

sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)

# wine32 is an i386 package; enable the architecture once.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  "${sudo_cmd[@]}" dpkg --add-architecture i386
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
