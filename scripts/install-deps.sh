#!/usr/bin/env bash
# Installs the Debian 12 packages Korvane needs to build, run and package it; with --tests also
# what the tests and benchmarks add (Wine, compilers, file systems, checkers).
# Idempotent: asks apt only for what is missing.
set -euo pipefail

usage() { echo "usage: $0 [--tests]" >&2; exit 2; }
with_tests=0
case "${1-}" in
  "") ;;
  --tests) with_tests=1 ;;
  *) usage ;;
esac

packages=(
  # build
  cmake ninja-build g++ pkg-config
  qt6-base-dev qt6-base-dev-tools libqt6sql6-sqlite libgl-dev libxcb1-dev
  # engines (the LibreOffice SDK builds the document helper; Writer itself is only needed to use it)
  libsqlite3-dev sqlite3 shared-mime-info libmspack-dev
  libreoffice-dev libreoffice-dev-common libgsf-1-dev
  # run time: Chinese font, Qt's Chinese texts, the Chinese locale, the About box's browser link
  fonts-wqy-microhei qt6-translations-l10n locales xdg-utils
  # the Debian package: CPack runs dpkg-shlibdeps and file
  dpkg-dev file
)
test_packages=(
  # the document encryptor's real office, display for window tests and screenshots
  libreoffice-writer-nogui xvfb xauth openbox
  # the start-up benchmark finds the main window with it
  xdotool
  # tests and benchmarks
  fp-utils libchm-dev libchm-bin p7zip-full python3 python3-msoffcrypto-tool
  libbenchmark-dev clang libclang-rt-14-dev clang-format
  # copies on FAT (tests) and on file systems that share extents (benchmark)
  dosfstools btrfs-progs xfsprogs strace
  # XFCE's thumbnail service and a session bus, to run the thumbnailer as file managers do
  tumbler dbus
  # checking the Debian package: lintian, validators, manual pages through man, AppStream
  lintian desktop-file-utils appstream man-db
  # Windows components through Wine: the 32-bit Wine needs i386; mingw builds the test fixtures
  wine wine32:i386 wine64 gcc-mingw-w64-i686 gcc-mingw-w64-x86-64
)
[ "$with_tests" -eq 0 ] || packages+=("${test_packages[@]}")

sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)

# wine32 is an i386 package; enable the architecture once.
if [ "$with_tests" -eq 1 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
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
  # A mirror caught mid-sync fails one index for a few minutes; ask again before giving up on it.
  for attempt in 1 2 3; do
    if "${sudo_cmd[@]}" apt-get update -qq; then break; fi
    if [ "$attempt" -eq 3 ]; then
      echo "apt-get update reported errors; installing from the package lists there are"
    else
      sleep 20
    fi
  done
  if ! DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"; then
    # A stale i386 index leaves the 32-bit packages uninstallable against newer amd64 ones. Only
    # the 32-bit Wine is i386, and its tests skip, saying why, when it cannot start.
    native=()
    for p in "${missing[@]}"; do [[ "$p" == *:i386 ]] || native+=("$p"); done
    [ ${#native[@]} -lt ${#missing[@]} ] || exit 1
    echo "WARNING: the i386 packages cannot be installed now; installing the rest without them"
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${native[@]}"
  fi
fi

# The windows are meant to be seen in Simplified Chinese (dates, Qt's dialogs, the manual pages).
if ! locale -a 2>/dev/null | grep -qix 'zh_CN.utf-\?8'; then
  echo "Generating the zh_CN.UTF-8 locale"
  "${sudo_cmd[@]}" sed -i 's/^# *\(zh_CN.UTF-8 UTF-8\)$/\1/' /etc/locale.gen
  "${sudo_cmd[@]}" locale-gen
fi
