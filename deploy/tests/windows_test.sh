#!/usr/bin/env bash
# windows_test.sh PROGRAM REPORT PREFIX DETECT_JS STUB - the kit's Windows
# wrapper under Wine's cmd with the win32 build, in its own Wine prefix:
# install, detect, rerun, a held host, remove with the log whole, the host
# on PATH, refusals, and the engines' detection rule.
set -u
SOURCE_DIR=$(cd "$(dirname "$0")/../.." && pwd)
PROGRAM=$1 REPORT=$2 PREFIX=$3 DETECT_JS=$4 STUB=$5
. "$SOURCE_DIR/deploy/tests/lib.sh"
WINE_RUN=$SOURCE_DIR/cmake/wine-run.sh
winpath() { printf 'Z:%s' "$1" | tr / '\\'; }
wine_run() { timeout 300 "$WINE_RUN" "$PREFIX" "$@"; }
unset WINEPATH

fresh() {
  DATA_NAME=$(winpath "$T_WORK/$1/data") make_host "$T_WORK/$1" "$PROGRAM" \
    "$SOURCE_DIR/deploy/zept-deploy.cmd" "$SOURCE_DIR/deploy/zept-probe.js"
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
qsx_value() {
  wine_run reg query 'HKLM\Software\Korvan\Components\MirelangExtensions\2.0' /v QSXKC 2>/dev/null |
    tr -d '\r' | sed -n 's/^ *QSXKC *REG_SZ *//p'
}
clear_qsx() { wine_run reg delete 'HKLM\Software\Korvan\Components\MirelangExtensions\2.0' /v QSXKC /f >/dev/null 2>&1; }
transcripts() { grep -c "Hit Enter to Finish" "$LOG"; }
# The detection rule as Configuration Manager runs it: its output.
detect_rule() { wine_run cscript //nologo "$(winpath "${1:-$DETECT_JS}")" | tr -d '\r'; }

clear_qsx
fresh main
MAIN_KIT=$KIT MAIN_HOST=$HOST MAIN_DATA=$DATA MAIN_LOG=$LOG
on_main() { KIT=$MAIN_KIT HOST=$MAIN_HOST DATA=$MAIN_DATA LOG=$MAIN_LOG; }

install_changes_and_registers() {
  on_main
  deploy detect
  expect_eq "$RC/$(last_line "$OUT")" "1/absent" "detect before the install"
  expect_eq "$(detect_rule)" "" "the detection rule before the install"
  deploy install
  expect_eq "$RC/$(last_line "$OUT")" "0/changed" "install"
  expect_eq "$(qsx_value)" "$(winpath "$HOST")\\nqsxkc.dll" "QSXKC, in the prefix's registry"
  [ -f "$HOST/nzeptrmv.exe" ] && [ -f "$DATA/zeptadm.ptf" ] || t_fail "the package's files are not in place"
}
detect_says_present() {
  on_main
  deploy detect
  expect_eq "$RC/$(last_line "$OUT")" "0/present" "detect after the install"
  expect_eq "$(detect_rule)" "ZEPT 1.0.0.0 in $(winpath "$HOST")" "the detection rule after the install"
  # A later package than the one installed: the rule no longer holds.
  sed 's/^var MINIMUM = .*/var MINIMUM = "1.0.0.1";/' "$DETECT_JS" >"$T_WORK/newer.js"
  expect_eq "$(detect_rule "$T_WORK/newer.js")" "" "the detection rule asking for 1.0.0.1"
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
  expect_eq "$(detect_rule)" "" "the detection rule after the removal"
}

t_case "WindowsWrapper.InstallChangesAndRegisters" install_changes_and_registers
t_case "WindowsWrapper.DetectSaysPresent" detect_says_present
t_case "WindowsWrapper.RerunIsUnchanged" rerun_is_unchanged
t_case "WindowsWrapper.HeldHostIsBusy" held_host_is_busy
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
# The program's 0 also means "declined": the wrapper reads the state, and
# a declined install is no success.
declined_install_is_no_success() {
  fresh declined
  mkdir "$T_WORK/declined/answers"
  printf 'N\r\n' >"$T_WORK/declined/answers/install.txt"
  ZEPT_ANSWERS=$(winpath "$T_WORK/declined/answers") deploy install
  expect_eq "$RC" 29 "install answered N"
  expect_grep "Terminating" "$LOG" "the declined run's transcript"
  deploy detect
  expect_eq "$RC/$(last_line "$OUT")" "1/absent" "the state afterwards"
}
rule_needs_the_module_itself() {
  fresh rule
  deploy install
  rm "$HOST/nqsxkc.dll"
  expect_eq "$(detect_rule)" "" "the detection rule with nqsxkc.dll gone"
  deploy detect
  expect_eq "$RC/$(last_line "$OUT")" "2/partial" "detect with nqsxkc.dll gone"
  # ZEPT is still listed: the installer's menu, the upgrade's answers.
  deploy install
  expect_eq "$RC/$(last_line "$OUT")" "0/changed" "install over the partial package"
  expect_grep "nzeptins.exe < .*upgrade.txt" "$LOG" "the upgrade's answers"
  expect_eq "$(detect_rule)" "ZEPT 1.0.0.0 in $(winpath "$HOST")" "the detection rule after the repair"
  clear_qsx
}
# The engines' code for every status of the program, from a stand-in that
# changes nothing and ends with the status it is given.
program_status_maps_to_engine_codes() {
  fresh codes
  cp "$STUB" "$KIT/nzeptins.exe"
  local pair
  for pair in 0:29 1:21 2:22 3:23 4:24 5:25 6:1618 9:28 -1:28; do
    FAKE_STATUS=${pair%%:*} WINEPATH=$(winpath "$HOST") deploy_as_engine install
    expect_eq "$RC" "${pair#*:}" "engine code for program status ${pair%%:*}"
    expect_grep "stand-in ended with ${pair%%:*}" "$LOG" "the transcript of status ${pair%%:*}"
  done
}

t_case "WindowsWrapper.HostOnPathWithBlanksAndAmpersand" host_on_path_with_blanks_and_ampersand
t_case "WindowsWrapper.RefusalsRunNothing" refusals_run_nothing
t_case "WindowsWrapper.DeclinedInstallIsNoSuccess" declined_install_is_no_success
t_case "WindowsWrapper.RuleNeedsTheModuleItself" rule_needs_the_module_itself
t_case "WindowsWrapper.ProgramStatusMapsToEngineCodes" program_status_maps_to_engine_codes

t_report "$REPORT" DeployWindows
