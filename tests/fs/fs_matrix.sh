#!/usr/bin/env bash
# fs_matrix.sh REPORT "FS..." PROGRAM [WINEPREFIX]: the e2e test
# OnAVolume.* of PROGRAM once on each file system named (ext4 xfs btrfs
# exfat ntfs), each a small image in /tmp made and mounted for it and
# unmounted after, with the test's folders on it (NZT_TEMP). With
# WINEPREFIX, PROGRAM is the win32 build's, run under Wine in that prefix
# (on the build machine's own file system: Wine refuses a server folder
# others can read), and NZT_TEMP the volume's Windows path on drive Z:.
# Writes one JUnit-style report, a case per file system, which
# scripts/test.sh counts; a file system that cannot be mounted here (not
# root, no loop devices or FUSE, a tool or driver missing) is a skipped
# case with its reason. Non-zero when a case failed.
set -u
report=$1 systems=$2 program=$(realpath "$3") prefix=${4:-}
wine_run=$(cd "$(dirname "$0")/../../cmake" && pwd)/wine-run.sh
work_base=/tmp/nzt-fsm
# Each run's own bound, five of them under ctest's: a test killed by ctest
# leaves its volume mounted for the next run to take down.
test_timeout=${NZT_FS_TIMEOUT:-170}

# unmount DIR: the volume mounted there, and a loop device left on its
# image (exFAT's; mount -o loop detaches its own). A volume still busy
# a while after its test ended is detached lazily: nothing stays mounted.
unmount() {
  local dir=$1 i
  for i in 1 2 3 4 5 6 7 8 9 10; do
    mountpoint -q "$dir" || break
    umount "$dir" 2>/dev/null && break
    sleep 0.5
  done
  mountpoint -q "$dir" && umount -l "$dir"
  losetup -n -O NAME,BACK-FILE -l 2>/dev/null | while read -r dev back; do
    case $back in "$(dirname "$dir")"/*) losetup -d "$dev" ;; esac
  done
}

# What a run killed before its cleanup left (ctest's time-out kills with
# no signal to trap): volumes of runs no longer alive, and their images.
for dir in "$work_base".*; do
  [ -d "$dir" ] || continue
  kill -0 "${dir##*.}" 2>/dev/null && continue
  for m in "$dir"/*/; do unmount "${m%/}"; done
  rm -rf "$dir"
done

mkdir -p "$(dirname "$report")"
rm -f "${report%.xml}"-*.log
work=$work_base.$$
mkdir -p "$work"
mounted=
cleanup() {
  [ -n "$mounted" ] && unmount "$mounted"
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

# mount_volume FS IMAGE DIR: makes the file system in a sparse image and
# mounts it at DIR; on failure prints why. XFS takes no image under 300
# MB; btrfs keeps its metadata apart from data only from about 128 MB (a
# mixed one cannot even shrink a file once it is full).
mount_volume() {
  local fs=$1 img=$2 dir=$3 size=32M mkfs mount dev
  case $fs in
    ext4) mkfs="mkfs.ext4 -q -F -m 0" mount="mount -o loop" ;;
    xfs) size=300M mkfs="mkfs.xfs -q" mount="mount -o loop" ;;
    btrfs) size=128M mkfs="mkfs.btrfs -q" mount="mount -o loop" ;;
    exfat) mkfs=mkfs.exfat mount=mount.exfat-fuse ;;
    ntfs) mkfs="mkfs.ntfs -F -Q" mount=ntfs-3g ;;
    *) echo "no such file system in the table"; return 1 ;;
  esac
  case $fs in
    exfat | ntfs) [ -c /dev/fuse ] || { echo "no FUSE (/dev/fuse)"; return 1; } ;;
    *) [ -e /dev/loop-control ] || { echo "no loop devices"; return 1; } ;;
  esac
  for tool in ${mkfs%% *} ${mount%% *}; do
    command -v "$tool" >/dev/null || { echo "$tool is not installed"; return 1; }
  done
  mkdir -p "$dir" && truncate -s "$size" "$img" && $mkfs "$img" >"$img.log" 2>&1 || {
    tail -n 1 "$img.log"
    return 1
  }
  # exFAT's FUSE driver takes a block device only.
  if [ "$fs" = exfat ]; then
    dev=$(losetup -f --show "$img" 2>&1) || { echo "$dev"; return 1; }
    img=$dev
  fi
  $mount "$img" "$dir" 2>&1 | tail -n 1
  mountpoint -q "$dir"
}

xml_escape() { sed -e 's/&/\&amp;/g' -e 's/</\&lt;/g' -e 's/>/\&gt;/g' -e 's/"/\&quot;/g' | tr -d '\000-\010\013\014\016-\037'; }

cases=() failures=0
add_case() { # NAME SECONDS [failure|skipped MESSAGE [DETAILS]]
  local c="    <testcase name=\"$1\" classname=\"OnAVolume\" status=\"run\" time=\"$2\""
  if [ $# -gt 2 ]; then
    [ "$3" = failure ] && failures=$((failures + 1))
    c+=">"$'\n'"      <$3 message=\"$(printf '%s' "$4" | xml_escape)\">$(printf '%s' "${5:-}" | xml_escape)</$3>"$'\n'"    </testcase>"
  else
    c+=" />"
  fi
  cases+=("$c")
}

for fs in $systems; do
  start=$SECONDS
  echo "== $fs"
  why=
  if [ "$(id -u)" -ne 0 ]; then
    why="mounting a volume needs root"
  else
    mounted=$work/$fs
    why=$(mount_volume "$fs" "$work/$fs.img" "$mounted") && why=
  fi
  if [ -n "$why" ]; then
    echo "skipped: $why"
    add_case "$fs" 0 skipped "cannot mount $fs here: $why"
    [ -n "$mounted" ] && unmount "$mounted"
    mounted=
    rm -f "$work/$fs.img"
    continue
  fi
  temp=$mounted
  run=("$program")
  if [ -n "$prefix" ]; then
    temp="Z:${mounted//\//\\}"
    run=("$wine_run" "$prefix" "$program")
  fi
  # GoogleTest under Wine writes no report to a path starting with '/'.
  (cd "$work" && NZT_TEMP=$temp timeout -k 10 "$test_timeout" "${run[@]}" --gtest_filter='OnAVolume.*' \
    --gtest_output="xml:$fs.xml") >"$work/$fs.log" 2>&1
  status=$?
  head=$(grep -m1 -o '<testsuites [^>]*' "$work/$fs.xml" 2>/dev/null)
  if [ "$status" -ne 0 ] || ! grep -q ' tests="1" failures="0"' <<<"$head" || grep -q '<skipped' "$work/$fs.xml"; then
    echo "failed (status $status); the whole output in ${report%.xml}-$fs.log, its end:"
    tail -n 60 "$work/$fs.log"
    cp "$work/$fs.log" "${report%.xml}-$fs.log"
    add_case "$fs" $((SECONDS - start)) failure "ended with status $status" "$(tail -n 60 "$work/$fs.log")"
  else
    echo "passed in $((SECONDS - start)) s"
    add_case "$fs" $((SECONDS - start))
  fi
  unmount "$mounted"
  mounted=
  rm -f "$work/$fs.img"
done

{
  echo '<?xml version="1.0" encoding="UTF-8"?>'
  echo "<testsuites tests=\"${#cases[@]}\" failures=\"$failures\" disabled=\"0\" errors=\"0\" name=\"AllTests\">"
  echo "  <testsuite name=\"OnAVolume\" tests=\"${#cases[@]}\" failures=\"$failures\" disabled=\"0\" errors=\"0\">"
  printf '%s\n' "${cases[@]}"
  echo "  </testsuite>"
  echo "</testsuites>"
} >"$report"
[ "$failures" -eq 0 ]
