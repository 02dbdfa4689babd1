#!/usr/bin/env bash
# linux_test.sh PROGRAM REPORT - the deployment kit on Linux: the playbook
# run by Ansible on this machine against the native build, the wrapper's
# states and exit codes, and the playbook's syntax for Windows hosts.
set -u
SOURCE_DIR=$(cd "$(dirname "$0")/../.." && pwd)
PROGRAM=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
REPORT=$2
. "$SOURCE_DIR/deploy/tests/lib.sh"
WRAPPER=$SOURCE_DIR/deploy/zept-deploy.sh
PLAYBOOK=$SOURCE_DIR/deploy/ansible/zept.yml
export ANSIBLE_NOCOLOR=1 ANSIBLE_RETRY_FILES_ENABLED=0 ANSIBLE_LOCAL_TEMP=$T_WORK/ansible-tmp \
  ANSIBLE_REMOTE_TEMP=$T_WORK/ansible-tmp ANSIBLE_PYTHON_INTERPRETER=/usr/bin/python3

# A fresh host under $T_WORK/NAME with its own registry store.
fresh() {
  make_host "$T_WORK/$1" "${2:-$PROGRAM}" "$WRAPPER"
  export KC_REGISTRY_ROOT=$T_WORK/$1/registry
  LOG=$T_WORK/$1/deploy.log
}
# deploy ACTION [HOST]: the kit's wrapper, bounded; sets RC and OUT (its stdout).
deploy() {
  OUT=$(timeout 120 "$KIT/zept-deploy.sh" "$1" "$LOG" "${2-$HOST}" 2>"$T_WORK/stderr")
  RC=$?
  cat "$T_WORK/stderr"
}
last_line() { printf '%s\n' "$1" | tail -n 1; }
qsx_value() { tail -n +2 "$KC_REGISTRY_ROOT/Software/Korvan/Components/MirelangExtensions/2.0/=QSXKC" 2>/dev/null | tr -d '\0'; }
no_package_left() {
  local f left=
  for f in $PACKAGE_FILES nzeptrmv.exe; do [ -e "$HOST/$f" ] || [ -e "$DATA/$f" ] && left="$left $f"; done
  [ -z "$left" ] || t_fail "$1: package files left:$left"
  [ -z "$(qsx_value)" ] || t_fail "$1: the registry value QSXKC is still there"
}

# ---- The playbook, run by Ansible on this machine ----

PLAY_HOST=$T_WORK/play
# play STATE [ansible-playbook options]: sets CHANGED and FAILED from the recap.
play() {
  local state=$1
  shift
  timeout 300 ansible-playbook -c local -i "$T_WORK/inventory" "$PLAYBOOK" "$@" \
    -e "{\"zept_state\": \"$state\", \"zept_kit\": \"$KIT\", \"zept_log\": \"$LOG\", \"zept_host_dir\": \"$HOST\",
         \"zept_environment\": {\"KC_REGISTRY_ROOT\": \"$KC_REGISTRY_ROOT\"}}" >"$T_WORK/play.out" 2>&1
  PLAY_RC=$?
  cat "$T_WORK/play.out"
  CHANGED=$(sed -n 's/^localhost *:.* changed=\([0-9]*\).*/\1/p' "$T_WORK/play.out")
  FAILED=$(sed -n 's/^localhost *:.* failed=\([0-9]*\).*/\1/p' "$T_WORK/play.out")
}
printf '[zept_linux]\nlocalhost ansible_connection=local\n[zept_windows]\n' >"$T_WORK/inventory"
fresh play
PLAY_KIT=$KIT PLAY_LOG=$LOG PLAY_REG=$KC_REGISTRY_ROOT
on_play_host() { KIT=$PLAY_KIT HOST=$PLAY_HOST/host DATA=$PLAY_HOST/data LOG=$PLAY_LOG KC_REGISTRY_ROOT=$PLAY_REG; }

check_mode_plans_and_changes_nothing() {
  on_play_host
  play present --check
  expect_eq "$PLAY_RC/$CHANGED/$FAILED" "0/1/0" "check mode on a fresh host: status/changed/failed"
  expect_eq "$(ls "$HOST")" "$(printf 'pagra.exe\npagra.ini')" "check mode installs nothing"
  expect_same "$HOST/pagra.ini" "$PLAY_HOST/pagra.ini.before" "check mode leaves pagra.ini"
}
first_run_changes() {
  on_play_host
  play present
  expect_eq "$PLAY_RC/$CHANGED/$FAILED" "0/1/0" "first install: status/changed/failed"
  expect_eq "$(qsx_value)" "$HOST/nqsxkc.dll" "QSXKC after the install"
  expect_grep "^ServerTasks=.*,ZEPT" "$HOST/pagra.ini" "pagra.ini after the install"
}
second_run_is_ok() {
  on_play_host
  local before
  before=$(grep -c "Hit Enter to Finish" "$LOG")
  play present
  expect_eq "$PLAY_RC/$CHANGED/$FAILED" "0/0/0" "second install: status/changed/failed"
  expect_eq "$(grep -c "Hit Enter to Finish" "$LOG")" "$before" "the installer ran again"
}
upgrade_changes() {
  on_play_host
  echo "version 2" >>"$KIT/nzept.exe"
  play present
  expect_eq "$PLAY_RC/$CHANGED/$FAILED" "0/1/0" "upgrade: status/changed/failed"
  expect_same "$HOST/nzept.exe" "$KIT/nzept.exe" "the upgraded file"
  expect_grep "running .*nzeptins.exe < .*upgrade.txt" "$LOG" "the upgrade's answers"
}
removal_changes_then_is_ok() {
  on_play_host
  play absent
  expect_eq "$PLAY_RC/$CHANGED/$FAILED" "0/1/0" "removal: status/changed/failed"
  no_package_left "after the removal"
  expect_same "$HOST/pagra.ini" "$PLAY_HOST/pagra.ini.before" "pagra.ini after the removal, byte for byte"
  play absent
  expect_eq "$PLAY_RC/$CHANGED/$FAILED" "0/0/0" "second removal: status/changed/failed"
  expect_same "$HOST/pagra.ini" "$PLAY_HOST/pagra.ini.before" "pagra.ini at the end, byte for byte"
  # Three runs of the program, each transcript whole in the log.
  expect_eq "$(grep -c "Hit Enter to Finish" "$LOG")" 3 "transcripts in the log"
  expect_grep "UN-install is now complete" "$LOG" "the remover's transcript"
}
windows_play_passes_syntax_check() {
  timeout 120 ansible-playbook --syntax-check -i "$T_WORK/inventory" "$PLAYBOOK" ||
    t_fail "ansible-playbook --syntax-check failed"
  # The Windows play names the Windows modules it needs.
  grep -q "ansible.windows.win_command" "$PLAYBOOK" || t_fail "no win_command task"
}

t_case "Playbook.CheckModePlansAChangeAndChangesNothing" check_mode_plans_and_changes_nothing
t_case "Playbook.FirstRunChanges" first_run_changes
t_case "Playbook.SecondRunIsOk" second_run_is_ok
t_case "Playbook.UpgradeChanges" upgrade_changes
t_case "Playbook.RemovalChangesThenIsOkAndPagraIniIsAsBefore" removal_changes_then_is_ok
t_case "Playbook.WindowsPlayPassesSyntaxCheck" windows_play_passes_syntax_check

# ---- The wrapper ----

host_on_path_with_blanks_and_ampersand() {
  HOST_NAME="Delvan & co server" fresh blanks
  local saved=$PATH
  PATH=$HOST:$PATH
  deploy install ""
  expect_eq "$RC/$(last_line "$OUT")" "0/changed" "install, host found on PATH"
  expect_eq "$(qsx_value)" "$HOST/nqsxkc.dll" "QSXKC names the host on PATH"
  OUT=$(timeout 60 "$KIT/zept-deploy.sh" detect -)
  expect_eq "$?/$(last_line "$OUT")" "0/present" "detect, log on standard output"
  deploy remove ""
  expect_eq "$RC/$(last_line "$OUT")" "0/changed" "remove, host found on PATH"
  PATH=$saved
  no_package_left "after the removal"
  expect_same "$HOST/pagra.ini" "$T_WORK/blanks/pagra.ini.before" "pagra.ini after the removal"
}
no_host_is_refused_before_any_run() {
  fresh nohost
  deploy install ""
  expect_eq "$RC" 11 "no pagra.exe on PATH, no host named"
  deploy install "$DATA"
  expect_eq "$RC" 11 "a host folder without pagra.exe"
  sed -i '/^Directory=/d' "$HOST/pagra.ini"
  deploy install
  expect_eq "$RC" 11 "pagra.ini naming no data folder"
  expect_eq "$(grep -c "Continue?" "$LOG")" 0 "the installer ran"
  mv "$HOST/pagra.ini" "$T_WORK/nohost/elsewhere.ini"
  deploy detect
  expect_eq "$RC" 11 "no pagra.ini anywhere"
}
detect_tells_partial_and_install_repairs_it() {
  fresh partial
  deploy detect
  expect_eq "$RC/$OUT" "1/absent" "detect on a fresh host"
  deploy install
  deploy detect
  expect_eq "$RC/$OUT" "0/present" "detect after the install"
  rm "$DATA/zeptdoc.psf"
  deploy detect
  expect_eq "$RC/$OUT" "2/partial" "detect with a data file gone"
  deploy install
  expect_eq "$RC/$(last_line "$OUT")" "0/changed" "install over the partial package"
  expect_same "$DATA/zeptdoc.psf" "$KIT/zeptdoc.psf" "the repaired data file"
  # A registry value naming another folder's module is not this host's.
  printf 'kcreg 1\n%s\0' "$KIT/nqsxkc.dll" >"$KC_REGISTRY_ROOT/Software/Korvan/Components/MirelangExtensions/2.0/=QSXKC"
  deploy detect
  expect_eq "$RC/$OUT" "2/partial" "detect with QSXKC naming another folder"
}
remove_without_remover() {
  fresh noremover
  deploy install
  rm "$HOST/nzeptrmv.exe"
  deploy remove
  expect_eq "$RC/$(last_line "$OUT")" "25/program status 5; state after: absent" "removal by the installer, the remover missing"
  expect_grep "running .*nzeptins.exe < .*remove-from-install.txt" "$LOG" "the installer's removal answers"
  deploy remove
  expect_eq "$RC/$(last_line "$OUT")" "0/unchanged" "second removal"
  expect_same "$HOST/pagra.ini" "$T_WORK/noremover/pagra.ini.before" "pagra.ini after the removal"
  # Traces that neither program can reach: named, not guessed at.
  echo trace >"$HOST/nzept.exe"
  deploy remove
  expect_eq "$RC" 14 "a stray package file, no remover, ZEPT not listed"
  expect_eq "$(cat "$HOST/nzept.exe")" trace "the stray file"
}
unwritable_log_runs_nothing() {
  fresh nolog
  LOG=$HOST/pagra.exe/deploy.log  # below a file: no folder can be made
  deploy install
  expect_eq "$RC" 13 "install with a log that cannot be written"
  LOG=$T_WORK/nolog/deploy.log
  deploy detect
  expect_eq "$RC/$OUT" "1/absent" "the state afterwards"
}
# The engine's code for every status of the program, from a stand-in that
# changes nothing and ends with the status it is given.
program_status_maps_to_engine_codes() {
  fresh codes
  printf '#!/bin/sh\ncat >/dev/null\necho "stand-in ended with $FAKE_STATUS"\nexit $FAKE_STATUS\n' >"$KIT/nzeptins.exe"
  local pair
  for pair in 0:29 1:21 2:22 3:23 4:24 5:25 6:75 9:28 139:28; do
    FAKE_STATUS=${pair%%:*} deploy install
    expect_eq "$RC" "${pair#*:}" "engine code for program status ${pair%%:*}"
    expect_grep "stand-in ended with ${pair%%:*}" "$LOG" "the transcript of status ${pair%%:*}"
  done
  deploy detect
  expect_eq "$RC/$OUT" "1/absent" "the state afterwards"
}
# A run waiting at its last prompt, its input open, holds the host: the
# wrapper ends at once with the engine's busy code and changes nothing.
held_host_is_busy() {
  fresh held
  PATH=$HOST:$PATH hold_host "$SOURCE_DIR/scripts/unattended/install.txt" timeout 120 ./nzeptins.exe
  deploy remove
  expect_eq "$RC" 75 "remove while another run holds the host"
  deploy detect
  expect_eq "$RC/$OUT" "0/present" "the state while held"
  release_host
  expect_eq "$?" 0 "the held run"
  deploy remove
  expect_eq "$RC/$(last_line "$OUT")" "0/changed" "remove once the host is free"
}

t_case "Wrapper.HostOnPathWithBlanksAndAmpersand" host_on_path_with_blanks_and_ampersand
t_case "Wrapper.NoHostIsRefusedBeforeAnyRun" no_host_is_refused_before_any_run
t_case "Wrapper.DetectTellsPartialAndInstallRepairsIt" detect_tells_partial_and_install_repairs_it
t_case "Wrapper.RemoveWithoutRemover" remove_without_remover
t_case "Wrapper.UnwritableLogRunsNothing" unwritable_log_runs_nothing
t_case "Wrapper.ProgramStatusMapsToEngineCodes" program_status_maps_to_engine_codes
t_case "Wrapper.HeldHostIsBusy" held_host_is_busy

t_report "$REPORT" DeployLinux
