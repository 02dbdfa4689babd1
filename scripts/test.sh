#!/usr/bin/env bash
# scripts/test.sh - installs what the tests need (Debian, as root), builds
# both presets, runs every test of both, runs the INI fuzzer for a bounded
# time, and ends with one line "N passed, M failed". Non-zero on any failure.
set -u
cd "$(dirname "$0")/.."
root=$(pwd)

packages=(cmake ninja-build g++ googletest clang libclang-rt-14-dev locales strace
          g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix binutils-mingw-w64-i686 mingw-w64-i686-dev
          wine wine32:i386)
# The deployment kit's tests run its playbook under Ansible; Debian's
# package brings the Windows modules its syntax check resolves.
packages+=(ansible)
# The file system matrix (tests/fs/fs_matrix.sh) makes and mounts volumes
# of each.
packages+=(exfat-fuse exfatprogs ntfs-3g xfsprogs btrfs-progs)

install_missing() {
  local missing=()
  for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages: ${missing[*]} (run as root to install them)" >&2
    return 1
  fi
  # Wine's 32-bit part comes from the i386 architecture.
  dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
  apt-get update -qq &&
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
}

install_missing || { echo "0 passed, 1 failed"; exit 1; }

# Locales the native tests of the code page, country and language read.
for loc in de_CH.UTF-8 en_US.UTF-8 fr_FR.ISO-8859-1 pl_PL.ISO-8859-2; do
  name=${loc%%.*} charset=${loc#*.}
  locale -a 2>/dev/null | grep -qix "$name.$(tr -d '-' <<<"$charset")" ||
    localedef -i "$name" -f "$charset" "$loc" >/dev/null 2>&1 || true
done

status=0
ran=()
for preset in native win32; do
  echo "== $preset"
  rm -rf "build/$preset/test-results"
  if cmake --preset "$preset" >"build-$preset.log" 2>&1 || { cat "build-$preset.log"; false; }; then
    rm -f "build-$preset.log"
    if cmake --build --preset "$preset" -- -j2; then
      ctest --preset "$preset" -j2 || status=1
      ran+=("$preset")
    else
      echo "build of $preset failed"
      status=1
    fi
  else
    status=1
  fi
done

if [ -x scripts/fuzz.sh ]; then
  echo "== fuzz"
  scripts/fuzz.sh 60 || status=1
fi

# Count test cases from GoogleTest's reports; a test program that left no
# report (a crash) counts as one failure.
passed=0
failed=0
for preset in "${ran[@]}"; do
  for name in $(ctest --test-dir "build/$preset" -N | sed -n 's/^ *Test *#[0-9]*: *//p'); do
    xml="build/$preset/test-results/$name.xml"
    if [ ! -f "$xml" ]; then
      failed=$((failed + 1))
      continue
    fi
    head=$(grep -m1 -o '<testsuites [^>]*' "$xml")
    tests=$(sed -n 's/.* tests="\([0-9]*\)".*/\1/p' <<<"$head")
    fails=$(sed -n 's/.* failures="\([0-9]*\)".*/\1/p' <<<"$head")
    disabled=$(sed -n 's/.* disabled="\([0-9]*\)".*/\1/p' <<<"$head")
    skipped=$(grep -c '<skipped' "$xml")
    passed=$((passed + tests - fails - disabled - skipped))
    failed=$((failed + fails))
  done
done
if [ "$failed" -gt 0 ]; then status=1; fi
echo "$passed passed, $failed failed"
exit $status
