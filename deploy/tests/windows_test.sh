#!/usr/bin/env bash
# windows_test.sh PROGRAM REPORT PREFIX STUB STAND_INS CMAKE VERSION - the
# kit's Windows wrapper under Wine's cmd with the win32 build, in its own
# Wine prefix, each kit laid out by the kit's build: install, detect,
# rerun, a held host, remove with the log whole, the host on PATH,
# refusals, a kit others can write, two runs at once, and the engines'
# JScript detection rule on whole and partial hosts. Wine's certutil and
# cacls are stubs that print nothing: the prefix gets STAND_INS' instead
# (certutil's hash, cacls' access list from ZEPT_TEST_SDDL).
set -u
SOURCE_DIR=$(cd "$(dirname "$0")/../.." && pwd)
PROGRAM=$1 REPORT=$2 PREFIX=$3 STUB=$4 STAND_INS=$5 KIT_CMAKE=$6 KIT_VERSION=$7 KIT_SYSTEM=windows
. "$SOURCE_DIR/deploy/tests/lib.sh"
WINE_RUN=$SOURCE_DIR/cmake/wine-run.sh
winpath() { printf 'Z:%s' "$1" | tr / '\\'; }
wine_run() { timeout 300 "$WINE_RUN" "$PREFIX" "$@"; }
unset WINEPATH ZEPT_TEST_SDDL
wine_run cmd /c ver >/dev/null 2>&1 # makes the prefix
cp "$STAND_INS"/certutil.exe "$STAND_INS"/cacls.exe "$PREFIX/drive_c/windows/system32/"
export WINEDLLOVERRIDES="certutil.exe,cacls.exe=n"

fresh() {
  DATA_NAME=$(winpath "$T_WORK/$1/data") make_host "$T_WORK/$1" "${2:-$PROGRAM}"
  LOG=$T_WORK/$1/deploy.log
}
# deploy ACTION [HOST]: the kit's wrapper through Wine's cmd; sets RC and
# OUT (its standard output, line ends as LF).
deploy() {
  local host=${2-$HOST}
  [ -n "$host" ] && host=$(winpath "$host")
  wine_run cmd /c "$(winpath "$KIT/zept-deploy.cmd")" "$1" "$(winpath "$LOG")" "$host" >"$T_WORK/stdout" 2>"$T_WORK/stderr"
  RC=$?
  OUT=$(tr -d '\r' <"$T_WORK/stdout")
  cat "$T_WORK/stderr"
}
# deploy_as_engine ACTION: the same through the playbook's command line,
# with the whole exit code (Wine's exit status keeps 8 bits of it).
deploy_as_engine() {
  wine_run cmd /c "$(winpath "$SOURCE_DIR/deploy/tests/engine.cmd")" "$(winpath "$KIT/zept-deploy.cmd")" "$1" \
    "$(winpath "$LOG")" >"$T_WORK/stdout" 2>&1
  OUT=$(tr -d '\r' <"$T_WORK/stdout")
  RC=$(sed -n 's/^exit-code=//p' <<<"$OUT")
}
last_line() { printf '%s\n' "$1" | tail -n 1; }
REG_KEY='HKLM\Software\Korvan\Components\MirelangExtensions\2.0'
qsx_value() {
  wine_run reg query "$REG_KEY" /v QSXKC 2>/dev/null | tr -d '\r' | sed -n 's/^ *QSXKC *REG_SZ *//p'
}
set_qsx() { wine_run reg add "${2:-$REG_KEY}" /v QSXKC /t REG_SZ /d "$1" /f >/dev/null 2>&1; }
clear_qsx() { wine_run reg delete "${1:-$REG_KEY}" /v QSXKC /f >/dev/null 2>&1; }
transcripts() { grep -c "Hit Enter to Finish" "$LOG"; }

# expect_rule WHAT WANT [RULE [ARCH]]: the JScript rule (the kit's, or
# RULE) as Configuration Manager runs it, by a script host whose
# PROCESSOR_ARCHITECTURE is ARCH (x86). WANT "ZEPT ..." is its line when
# detected; any other WANT is a part of the reason it gives, run by hand
# with /why, for not detecting, when it prints nothing and ends with 0. A
# rule that fails on the way gives no reason (Wine's cscript then ends
# with 0, printing nothing): it fails this check either way.
expect_rule() {
  local rule=${3:-$KIT/zept-detect.js} got why status
  printf '@echo off\r\nset "PROCESSOR_ARCHITECTURE=%s"\r\n"%%SystemRoot%%\\System32\\cscript.exe" //nologo "%s" %%1\r\n' \
    "${4:-x86}" "$(winpath "$rule")" >"$T_WORK/rule.cmd"
  got=$(wine_run cmd /c "$(winpath "$T_WORK/rule.cmd")" | tr -d '\r')
  status=${PIPESTATUS[0]}
  why=$(wine_run cmd /c "$(winpath "$T_WORK/rule.cmd")" /why | tr -d '\r')
  if [[ $2 == ZEPT* ]]; then
    expect_eq "$status/$got" "0/$2" "$1: the detection rule"
  else
    expect_eq "$status/$got" "0/" "$1: the detection rule"
    [[ $why == "not detected: "*"$2"* ]] || t_fail "$1: the rule's reason: expected [not detected: ...$2...], got [$why]"
  fi
}

clear_qsx
fresh main
MAIN_KIT=$KIT MAIN_HOST=$HOST MAIN_DATA=$DATA MAIN_LOG=$LOG
on_main() { KIT=$MAIN_KIT HOST=$MAIN_HOST DATA=$MAIN_DATA LOG=$MAIN_LOG; }

install_changes_and_registers() {
  on_main
  deploy detect
  expect_eq "$RC/$(last_line "$OUT")" "1/absent" "detect before the install"
  expect_rule "before the install" "QSXKC is not set in $REG_KEY"
  deploy install
  expect_eq "$RC/$(last_line "$OUT")" "0/changed" "install"
  expect_eq "$(qsx_value)" "$(winpath "$HOST")\\nqsxkc.dll" "QSXKC, in the prefix's registry"
  [ -f "$HOST/nzeptrmv.exe" ] && [ -f "$DATA/zeptadm.ptf" ] || t_fail "the package's files are not in place"
}
# The rule reads the 32-bit view of the registry whatever the script host:
# a 64-bit one finds it below WOW6432Node.
detect_says_present() {
  on_main
  deploy detect
  expect_eq "$RC/$(last_line "$OUT")" "0/present" "detect after the install"
  expect_rule "after the install" "ZEPT 1.0.0.0 in $(winpath "$HOST")\\"
  sed 's/^var ZEPT_VERSION = .*/var ZEPT_VERSION = "1.0.0.1";/' "$KIT/zept-detect.js" >"$T_WORK/newer.js"
  expect_rule "asking for 1.0.0.1" "outdated: $(winpath "$HOST")\\nzeptrmv.exe is version 1.0.0.0, older than 1.0.0.1" "$T_WORK/newer.js"
  local wow='HKLM\Software\WOW6432Node\Korvan\Components\MirelangExtensions\2.0'
  expect_rule "a 64-bit script host, the value in the 64-bit view only" "QSXKC is not set in $wow" "" AMD64
  set_qsx "$(qsx_value)" "$wow"
  expect_rule "a 64-bit script host" "ZEPT 1.0.0.0 in $(winpath "$HOST")\\" "" AMD64
  clear_qsx "$wow"
}
rerun_is_unchanged() {
  on_main
  local before
  before=$(transcripts)
  deploy install
  expect_eq "$RC/$(last_line "$OUT")" "0/unchanged" "second install"
  expect_eq "$(transcripts)" "$before" "the installer ran again"
}
# A run waiting at its last prompt, its input open, holds the host: the
# wrapper ends at once with the engines' "retry later" and changes nothing.
held_host_is_busy() {
  on_main
  WINEPATH=$(winpath "$HOST")
  export WINEPATH
  hold_host "$SOURCE_DIR/scripts/unattended/upgrade.txt" "$WINE_RUN" "$PREFIX" nzeptins.exe
  deploy_as_engine remove
  expect_eq "$RC" 1618 "remove while another run holds the host"
  deploy detect
  expect_eq "$RC/$(last_line "$OUT")" "0/present" "the state while held"
  release_host
  expect_eq "$?" 0 "the held run"
}
# The probe's answer is read from its output, never from a file: with
# TEMP naming a file, where nothing can be made, the wrapper works; and
# runs started together on one machine do not meet.
two_runs_at_once_and_no_file_in_temp() {
  on_main
  echo "not a folder" >"$T_WORK/temp-file"
  printf '@echo off\r\nset "TEMP=%s"\r\ncall "%s" %%*\r\n' "$(winpath "$T_WORK/temp-file")" "$(winpath "$KIT/zept-deploy.cmd")" \
    >"$T_WORK/no-temp.cmd"
  wine_run cmd /c "$(winpath "$T_WORK/no-temp.cmd")" install "$(winpath "$LOG")" "$(winpath "$HOST")" >"$T_WORK/stdout"
  expect_eq "$?/$(tr -d '\r' <"$T_WORK/stdout" | tail -n 1)" "0/unchanged" "install with TEMP naming a file"
  # (Wine's cmd may say "Sharing violation." on standard error when two
  # append to the log at once; the wrapper writes the line again.)
  local pair run
  for pair in 1 2 3; do
    for run in a b; do
      (
        wine_run cmd /c "$(winpath "$KIT/zept-deploy.cmd")" detect "$(winpath "$LOG")" "$(winpath "$HOST")" \
          >"$T_WORK/at-once.$run" 2>/dev/null
        echo "$?/$(tr -d '\r' <"$T_WORK/at-once.$run")" >"$T_WORK/at-once.$run.result"
      ) &
    done
    wait
    for run in a b; do
      expect_eq "$(cat "$T_WORK/at-once.$run.result")" 0/present "pair $pair, run $run: detect at once"
    done
  done
}
remove_changes_and_log_is_whole() {
  on_main
  deploy install # back to present, should the held run's test have removed it
  deploy remove
  expect_eq "$RC/$(last_line "$OUT")" "0/changed" "remove"
  [ -e "$HOST/nzeptrmv.exe" ] || [ -e "$HOST/kccmn10.dll" ] && t_fail "the remover or its library is left"
  expect_eq "$(qsx_value)" "" "QSXKC after the removal"
  expect_same "$HOST/pagra.ini" "$T_WORK/main/pagra.ini.before" "pagra.ini after the removal, byte for byte"
  # Every line after the remover's transcript reached the log: the clean-up
  # that deletes the remover holds none of the log's handles.
  expect_grep "UN-install is now complete" "$LOG" "the remover's transcript"
  expect_eq "$(tr -d '\r' <"$LOG" | tail -n 1)" "zept-deploy: changed" "the log's last line"
  expect_grep "the program ended with status 0; state absent" "$LOG" "the state after, in the log"
  deploy remove
  expect_eq "$RC/$(last_line "$OUT")" "0/unchanged" "second removal"
  deploy detect
  expect_eq "$RC/$(last_line "$OUT")" "1/absent" "detect after the removal"
  expect_rule "after the removal" "QSXKC is not set"
}

t_case "WindowsWrapper.InstallChangesAndRegisters" install_changes_and_registers
t_case "WindowsWrapper.DetectSaysPresent" detect_says_present
t_case "WindowsWrapper.RerunIsUnchanged" rerun_is_unchanged
t_case "WindowsWrapper.HeldHostIsBusy" held_host_is_busy
t_case "WindowsWrapper.TwoRunsAtOnceAndNoFileInTemp" two_runs_at_once_and_no_file_in_temp
t_case "WindowsWrapper.RemoveChangesAndLogIsWhole" remove_changes_and_log_is_whole

host_on_path_with_blanks_and_ampersand() {
  HOST_NAME="Delvan & co (main)" fresh blanks
  WINEPATH=$(winpath "$HOST")
  export WINEPATH
  deploy install ""
  expect_eq "$RC/$(last_line "$OUT")" "0/changed" "install, host found on PATH"
  expect_eq "$(qsx_value)" "$(winpath "$HOST")\\nqsxkc.dll" "QSXKC names the host on PATH"
  deploy remove ""
  expect_eq "$RC/$(last_line "$OUT")" "0/changed" "remove, host found on PATH"
  expect_same "$HOST/pagra.ini" "$T_WORK/blanks/pagra.ini.before" "pagra.ini after the removal"
  expect_grep "zept-deploy: remove on host .*Delvan & co (main)" "$LOG" "the host's name in the log"
}
refusals_run_nothing() {
  fresh refused
  deploy install ""
  expect_eq "$RC" 11 "no pagra.exe on PATH, no host named"
  deploy install "$DATA"
  expect_eq "$RC" 11 "a host folder without pagra.exe"
  LOG=$HOST/pagra.exe/deploy.log # below a file: no folder can be made
  deploy install
  expect_eq "$RC" 13 "a log that cannot be written"
  LOG=$T_WORK/refused/deploy.log
  expect_eq "$(grep -c "Continue?" "$LOG")" 0 "the installer ran"
  deploy bogus
  expect_eq "$RC" 10 "an unknown action"
}
# Access lists as cacls /s shows them: refused when anyone but
# Administrators, SYSTEM and TrustedInstaller may write, add or delete.
a_kit_others_can_write_or_a_damaged_one_runs_nothing() {
  fresh guarded
  local what sddl want
  while IFS='|' read -r what sddl want; do
    ZEPT_TEST_SDDL=$sddl deploy install
    expect_eq "$RC" "$want" "$what"
  done <<'ROWS'
inherited from C:\, Authenticated Users: Modify|D:AI(A;OICIID;FA;;;BA)(A;OICIID;FA;;;SY)(A;OICIID;0x1200a9;;;BU)(A;ID;0x1301bf;;;AU)(A;OICIIOID;SDGXGWGR;;;AU)|15
Users may add folders|D:PAI(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;CI;LC;;;BU)|15
Everyone may take it over|D:PAI(A;OICI;FA;;;BA)(A;;WO;;;WD)|15
no access list|D:NO_ACCESS_CONTROL|15
ROWS
  WINEDLLOVERRIDES="certutil.exe=n" deploy install
  expect_eq "$RC" 15 "Wine's own cacls, which shows no access list"
  echo changed >>"$KIT/upgrade.txt"
  deploy install
  expect_eq "$RC" 12 "a file changed since the kit was laid out"
  expect_grep "upgrade.txt; nothing run" "$LOG" "the changed file, named"
  sed -i '$d' "$KIT/upgrade.txt"
  expect_eq "$(grep -c "running" "$LOG")" 0 "a run started"
  ZEPT_TEST_SDDL='D:PAI(A;OICI;FA;;;BA)(A;OICI;FA;;;S-1-5-18)(A;OICI;0x1200a9;;;BU)(D;;FA;;;AU)(A;OICIIO;GA;;;CO)' deploy install
  expect_eq "$RC/$(last_line "$OUT")" "0/changed" "administrators' alone, users reading, an entry for what is made inside"
  deploy remove
  clear_qsx
}
# The program's 0 also means "declined": the wrapper reads the state, and
# a declined install is no success.
declined_install_is_no_success() {
  fresh declined
  printf 'N\r\n' >"$KIT/install.txt"
  reseal_kit
  deploy install
  expect_eq "$RC" 29 "install answered N"
  expect_grep "Terminating" "$LOG" "the declined run's transcript"
  deploy detect
  expect_eq "$RC/$(last_line "$OUT")" "1/absent" "the state afterwards"
}
# "present" is every file, the value naming this host's module, both list
# items and the version: the rule and the wrapper agree on each part
# missing, and the rule tells why (the value's folder is the host it
# reads). Each row is undone before the next.
rule_and_wrapper_agree_on_a_partial_host() {
  fresh rule
  deploy install
  local keep=$T_WORK/rule/keep
  mkdir "$keep" && cp -pr "$HOST" "$keep/host" && cp -pr "$DATA" "$keep/data"
  local host_win what change state why
  host_win=$(winpath "$HOST")
  while IFS='|' read -r what change state why; do
    eval "$change"
    deploy detect
    expect_eq "$RC/$(last_line "$OUT")" "2/$state" "$what: detect"
    expect_rule "$what" "$why"
    cp -p "$keep"/host/* "$HOST/" && cp -p "$keep"/data/* "$DATA/"
    set_qsx "$host_win\\nqsxkc.dll"
  done <<'ROWS'
a program file gone|rm "$HOST/nzept.exe"|partial|nzept.exe is missing
a data file gone|rm "$DATA/zeptdoc.psf"|partial|zeptdoc.psf is missing
the value naming another folder|set_qsx "$(winpath "$KIT")\\nqsxkc.dll"|partial|no pagra.ini on PATH, in Z:
ZEPT gone from ServerTasks|sed -i 's/,ZEPT//' "$HOST/pagra.ini"|partial|ServerTasks in
the add-in gone from its list|sed -i 's/,nzeptext.dll//' "$HOST/pagra.ini"|partial|EXTMGR_ADDINS in
a remover without a version resource|cp "$HOST/pagra.ini" "$HOST/nzeptrmv.exe"|outdated|nzeptrmv.exe carries no version, older than
ROWS
  deploy detect
  expect_eq "$RC/$(last_line "$OUT")" "0/present" "every row undone"
  # A repair: the upgrade's answers (ZEPT is still listed), and the data
  # file the host changed is the host's again afterwards.
  rm "$HOST/nqsxkc.dll"
  echo "the host's own line" >>"$DATA/zeptadm.ptf"
  cp "$DATA/zeptadm.ptf" "$T_WORK/rule/zeptadm.ptf.host"
  deploy install
  expect_eq "$RC/$(last_line "$OUT")" "0/changed" "install over the partial package"
  expect_grep "nzeptins.exe < .*upgrade.txt" "$LOG" "the upgrade's answers"
  expect_same "$DATA/zeptadm.ptf" "$T_WORK/rule/zeptadm.ptf.host" "the data file the host changed"
  expect_rule "after the repair" "ZEPT 1.0.0.0 in $host_win\\"
  clear_qsx
}
# The engines' code for every status of the program, from a stand-in that
# changes nothing and ends with the status it is given.
program_status_maps_to_engine_codes() {
  fresh codes "$STUB"
  local pair
  for pair in 0:29 1:21 2:22 3:23 4:24 5:25 6:1618 7:27 9:28 -1:28; do
    FAKE_STATUS=${pair%%:*} WINEPATH=$(winpath "$HOST") deploy_as_engine install
    expect_eq "$RC" "${pair#*:}" "engine code for program status ${pair%%:*}"
    expect_grep "stand-in ended with ${pair%%:*}" "$LOG" "the transcript of status ${pair%%:*}"
  done
}

t_case "WindowsWrapper.HostOnPathWithBlanksAndAmpersand" host_on_path_with_blanks_and_ampersand
t_case "WindowsWrapper.RefusalsRunNothing" refusals_run_nothing
t_case "WindowsWrapper.AKitOthersCanWriteOrADamagedOneRunsNothing" a_kit_others_can_write_or_a_damaged_one_runs_nothing
t_case "WindowsWrapper.DeclinedInstallIsNoSuccess" declined_install_is_no_success
t_case "WindowsWrapper.RuleAndWrapperAgreeOnAPartialHost" rule_and_wrapper_agree_on_a_partial_host
t_case "WindowsWrapper.ProgramStatusMapsToEngineCodes" program_status_maps_to_engine_codes

t_report "$REPORT" DeployWindows
