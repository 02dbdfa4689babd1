#!/usr/bin/env bash
# scripts/demo.sh [--native] - lays out a small sample host in a temporary
# folder and starts the installer there, interactively; then shows what the
# install changed, and offers to run the remover from the host folder.
#
#   <tmp>/host/   the host program folder: pagra.exe and pagra.ini (CR LF)
#   <tmp>/data/   the host data folder, named by Directory= in pagra.ini
#   <tmp>/dist/   the distribution: nzeptins.exe and the 20 other files
#
# The host folder is put on the program's search path (WINEPATH under Wine),
# so the installer proposes it. Answer Y, then Enter at each proposal, then 1.
# Without --native the real win32 program runs under Wine.
set -eu
cd "$(dirname "$0")/.."
root=$(pwd)
native=0
[ "${1:-}" = "--native" ] && native=1

preset=win32
[ $native -eq 1 ] && preset=native
if [ ! -x "build/$preset/nzeptins.exe" ] || [ -n "$(find src -newer "build/$preset/nzeptins.exe" -print -quit)" ]; then
  echo "== building the $preset program (scripts/test.sh installs the tools on a fresh machine)"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" --target nzeptins >/dev/null
fi

tmp=$(mktemp -d /tmp/zept-demo.XXXXXX)
host=$tmp/host data=$tmp/data dist=$tmp/dist
mkdir -p "$host" "$data" "$dist"

# The package's 21 files (the manifest of src/setup/btsetup_files.cpp):
# the installer itself, and small samples for the others.
cp "build/$preset/nzeptins.exe" "$dist/nzeptins.exe"
for f in nzept.exe nkctest.exe norder.kcx nedasql.kcx ndb2.kcx nsybase.kcx nodbc2.kcx \
         noracle.kcx nfile.kcx npagra.kcx nzeptext.dll nqsxkc.dll nkcapi.dll nkchtapi.dll \
         msvcirt.dll msvcrt40.dll kccmn10.dll kccsn13.tlb zeptadm.ptf zeptdoc.psf; do
  echo "sample package file $f" > "$dist/$f"
done
echo "sample host program" > "$host/pagra.exe"

if [ $native -eq 1 ]; then
  data_name=$data
  export PATH="$host:$PATH" KC_REGISTRY_ROOT="$tmp/registry"
  run() { (cd "$1" && "./$2"); }
  # The Linux registry store: a key is a folder, a value a file "=<name>"
  # holding a "kcreg <type>" line and then the value's bytes.
  registry() {
    local v="$KC_REGISTRY_ROOT/Software/Korvan/Components/MirelangExtensions/2.0/=QSXKC"
    if [ -f "$v" ]; then echo "QSXKC = $(tail -n +2 "$v" | tr -d '\0')"; else echo "(no value)"; fi
  }
else
  winpath() { echo "Z:$1" | tr / '\\'; }
  data_name=$(winpath "$data")
  export WINEPATH=$(winpath "$host")
  wine_run() { "$root/cmake/wine-run.sh" "$root/build/win32/wineprefix" "$@"; }
  run() { (cd "$1" && wine_run "$2"); }
  registry() { wine_run reg query 'HKLM\Software\Korvan\Components\MirelangExtensions\2.0' /v QSXKC 2>/dev/null | tr -d '\r' | grep QSXKC || echo "(no value)"; }
  wine_run reg delete 'HKLM\Software\Korvan\Components\MirelangExtensions\2.0' /v QSXKC /f >/dev/null 2>&1 || true
fi
esc=$(printf '%s' "$data_name" | sed 's/[\\&|]/\\&/g')  # a Windows path's backslashes stay
sed "s|@DATA@|$esc|" scripts/sample/pagra.ini > "$host/pagra.ini"
cp "$host/pagra.ini" "$tmp/pagra.ini.before"

echo "== sample host in $tmp; starting the installer in $dist"
run "$dist" nzeptins.exe || echo "(the installer ended with status $?)"

echo
echo "== what the install changed"
echo "-- host program folder:"; ls "$host"
echo "-- data folder:"; ls "$data"
echo "-- pagra.ini:"; diff <(tr -d '\r' < "$tmp/pagra.ini.before") <(tr -d '\r' < "$host/pagra.ini") || true
echo "-- registry value QSXKC:"; registry

if [ -f "$host/nzeptrmv.exe" ]; then
  echo
  printf '== press Enter to run the remover from the host folder (Ctrl-C to stop here) '
  read -r _ || exit 0
  run "$host" nzeptrmv.exe || echo "(the remover ended with status $?)"
  sleep 3  # the command interpreter deletes the remover once it has ended
  echo
  echo "== after the removal"
  echo "-- host program folder:"; ls "$host"
  echo "-- data folder:"; ls "$data"
  echo "-- pagra.ini against the original:"
  cmp "$tmp/pagra.ini.before" "$host/pagra.ini" && echo "identical, byte for byte"
  echo "-- registry value QSXKC:"; registry
fi
echo
echo "The sample host stays in $tmp (remove it with: rm -rf $tmp)."
