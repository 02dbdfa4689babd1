# Sourced by the deployment kit's tests: cases that report as JUnit XML
# (counted by scripts/test.sh like GoogleTest's reports), and a sample
# host with a kit laid out as an administrator lays it out.

T_NAMES=() T_FAILED=() T_TIMES=()
T_WORK=$(mktemp -d "${TMPDIR:-/tmp}/zept-deploy-test.XXXXXX")
T_FAILS=$T_WORK/failures
# Keep the work folder with ZEPT_KEEP=1, to look at after a failure.
trap '[ "${ZEPT_KEEP:-0}" = 1 ] || rm -rf "$T_WORK"' EXIT

t_fail() { printf '%s\n' "$*" >>"$T_FAILS"; }
expect_eq() { # got want what
  [ "$1" = "$2" ] || t_fail "$3: expected [$2], got [$1]"
}
expect_grep() { # pattern file what
  grep -q -- "$1" "$2" 2>/dev/null || t_fail "$3: no [$1] in $2"
}
expect_same() { # file1 file2 what
  cmp -s "$1" "$2" || t_fail "$3: $1 and $2 differ"
}

# t_case NAME FUNCTION: runs one case in a subshell; it fails on any t_fail.
t_case() {
  local name=$1 fn=$2 start=$SECONDS
  : >"$T_FAILS"
  echo "[ RUN      ] $name"
  (set +e; "$fn") >"$T_WORK/case.out" 2>&1
  T_NAMES+=("$name")
  T_TIMES+=($((SECONDS - start)))
  if [ -s "$T_FAILS" ]; then
    T_FAILED+=("$(cat "$T_FAILS"; echo '--- case output (tail):'; tail -n 40 "$T_WORK/case.out")")
    sed 's/^/    /' "$T_FAILS"
    echo "[  FAILED  ] $name"
  else
    T_FAILED+=("")
    echo "[       OK ] $name"
  fi
}

xml_escape() { sed -e 's/&/\&amp;/g' -e 's/</\&lt;/g' -e 's/>/\&gt;/g' -e 's/"/\&quot;/g'; }

# t_report FILE SUITE: the JUnit-style report GoogleTest also writes;
# exit status 1 when a case failed.
t_report() {
  local file=$1 suite=$2 n=${#T_NAMES[@]} failures=0 i
  for i in "${!T_NAMES[@]}"; do [ -n "${T_FAILED[$i]}" ] && failures=$((failures + 1)); done
  mkdir -p "$(dirname "$file")"
  {
    echo '<?xml version="1.0" encoding="UTF-8"?>'
    echo "<testsuites tests=\"$n\" failures=\"$failures\" disabled=\"0\" errors=\"0\" name=\"AllTests\">"
    echo "  <testsuite name=\"$suite\" tests=\"$n\" failures=\"$failures\" disabled=\"0\" errors=\"0\">"
    for i in "${!T_NAMES[@]}"; do
      printf '    <testcase name="%s" classname="%s" status="run" time="%s"' \
        "$(printf '%s' "${T_NAMES[$i]}" | xml_escape)" "$suite" "${T_TIMES[$i]}"
      if [ -n "${T_FAILED[$i]}" ]; then
        printf '>\n      <failure message="failed">%s</failure>\n    </testcase>\n' \
          "$(printf '%s' "${T_FAILED[$i]}" | tr -d '\000-\010\013\014\016-\037' | xml_escape)"
      else
        printf ' />\n'
      fi
    done
    echo "  </testsuite>"
    echo "</testsuites>"
  } >"$file"
  echo "$((n - failures)) of $n cases passed; report in $file"
  [ "$failures" -eq 0 ]
}

# The package's files as the distribution names them, the installer aside.
PACKAGE_FILES="nzept.exe nkctest.exe norder.kcx nedasql.kcx ndb2.kcx nsybase.kcx nodbc2.kcx noracle.kcx
  nfile.kcx npagra.kcx nzeptext.dll nqsxkc.dll nkcapi.dll nkchtapi.dll msvcirt.dll msvcrt40.dll kccmn10.dll
  kccsn13.tlb zeptadm.ptf zeptdoc.psf"

# make_host ROOT PROGRAM [VERSION]: lays out ROOT/package (the 20 sample
# files), the kit built from it and PROGRAM by the kit's build (make_kit),
# ROOT/host (pagra.exe, pagra.ini naming ROOT/data) and ROOT/data; sets
# HOST and DATA and keeps pagra.ini's bytes in ROOT/pagra.ini.before. The
# data folder is written as DATA_NAME names it (a Windows path under Wine).
make_host() {
  local root=$1 f
  HOST=$root/${HOST_NAME:-host} DATA=$root/data
  mkdir -p "$root/package" "$HOST" "$DATA"
  for f in $PACKAGE_FILES; do echo "sample package file $f" >"$root/package/$f"; done
  make_kit "$root" "$2" "${3:-$KIT_VERSION}"
  echo "sample host program" >"$HOST/pagra.exe"
  local data_name=${DATA_NAME:-$DATA}
  local esc
  esc=$(printf '%s' "$data_name" | sed 's/[\\&|]/\\&/g')
  sed "s|@DATA@|$esc|" "$SOURCE_DIR/scripts/sample/pagra.ini" >"$HOST/pagra.ini"
  cp "$HOST/pagra.ini" "$root/pagra.ini.before"
}

# make_kit ROOT PROGRAM VERSION: the kit of KIT_SYSTEM from ROOT/package,
# as the zept-kit target lays it out (with KIT_CMAKE, deploy/kit.cmake),
# in ROOT/out; sets KIT (its folder) and ARCHIVE.
make_kit() {
  "$KIT_CMAKE" -DSYSTEM="$KIT_SYSTEM" -DPACKAGE="$1/package" -DPROGRAM="$2" -DVERSION="$3" -DOUT="$1/out" \
    -P "$SOURCE_DIR/deploy/kit.cmake" >/dev/null || t_fail "the kit's build failed for $1"
  KIT=$1/out/zept-kit-$KIT_SYSTEM
  ARCHIVE=$(ls "$1/out/zept-kit-$KIT_SYSTEM".*)
}

# reseal_kit: SHA256SUMS made anew, after a test changed a file of the kit.
reseal_kit() {
  (cd "$KIT" && sha256sum $(awk '{ print $2 }' SHA256SUMS) >SHA256SUMS.new && mv SHA256SUMS.new SHA256SUMS)
}

# wait_for FILE PATTERN SECONDS: until the file holds the pattern.
wait_for() {
  local i
  for ((i = 0; i < $3 * 10; i++)); do
    grep -q -- "$2" "$1" 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}

# hold_host ANSWER_FILE COMMAND...: starts COMMAND (in the kit) with all
# but the last line of the answer file on an input kept open, and waits
# until it asks for that last Enter: a run holding the host. release_host
# sends the Enter and gives the run's status.
hold_host() {
  local answers=$1 fifo=$T_WORK/held-input
  shift
  HELD_OUT=$T_WORK/held.out
  mkfifo "$fifo"
  (cd "$KIT" && exec "$@" <"$fifo" >"$HELD_OUT" 2>&1) &
  HELD_PID=$!
  exec 3>"$fifo"
  head -n "$(($(wc -l <"$answers") - 1))" "$answers" >&3
  wait_for "$HELD_OUT" "Hit Enter to Finish" 120 || t_fail "the held run did not reach its last prompt"
}
release_host() {
  echo >&3
  exec 3>&-
  wait "$HELD_PID"
}
