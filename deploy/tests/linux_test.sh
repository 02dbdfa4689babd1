#!/usr/bin/env bash
# linux_test.sh PROGRAM REPORT CMAKE VERSION - the deployment kit on Linux:
# the kits laid out by the kit's build, the playbook run by Ansible on this
# machine against the native build, the wrapper's states and exit codes,
# and the playbook's syntax for Windows hosts.
set -u
SOURCE_DIR=$(cd "$(dirname "$0")/../.." && pwd)
PROGRAM=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
REPORT=$2 KIT_CMAKE=$3 KIT_VERSION=$4 KIT_SYSTEM=linux
. "$SOURCE_DIR/deploy/tests/lib.sh"
PLAYBOOK=$SOURCE_DIR/deploy/ansible/zept.yml
export ANSIBLE_NOCOLOR=1 ANSIBLE_RETRY_FILES_ENABLED=0 ANSIBLE_LOCAL_TEMP=$T_WORK/ansible-tmp \
  ANSIBLE_REMOTE_TEMP=$T_WORK/ansible-tmp

# A fresh host under $T_WORK/NAME with its own registry store and kit.
fresh() {
  make_host "$T_WORK/$1" "${2:-$PROGRAM}"
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
transcripts() { grep -c "Hit Enter to Finish" "$LOG" 2>/dev/null; }

# ---- The playbook, run by Ansible on this machine ----

# Every setting is the inventory's, for each host: the role's defaults
# give way to it. Two hosts, srv1 and srv2, each with its own kit folder,
# host, log and registry store, both reached by a local connection.
fresh srv2
fresh srv1
SRV1_KIT=$T_WORK/srv1/kit SRV1_ARCHIVE=$ARCHIVE
# A kit of a later package: another nzept.exe and zeptdoc.psf, version + 1.
mkdir "$T_WORK/later" && cp -r "$T_WORK/srv1/package" "$T_WORK/later/"
echo "version 2" >>"$T_WORK/later/package/nzept.exe"
echo "version 2" >>"$T_WORK/later/package/zeptdoc.psf"
make_kit "$T_WORK/later" "$PROGRAM" "${KIT_VERSION%.*}.$((${KIT_VERSION##*.} + 1))"
LATER_ARCHIVE=$ARCHIVE LATER_KIT=$KIT

# inventory STATE [ARCHIVE [SRV2_STATE]]: srv1 (and srv2 given its state).
inventory() {
  {
    echo "zept_linux:"
    echo "  vars: {ansible_connection: local, ansible_python_interpreter: /usr/bin/python3, zept_become: false}"
    echo "  hosts:"
    inventory_host srv1 "$1" "${2:-$SRV1_ARCHIVE}"
    [ -z "${3:-}" ] || inventory_host srv2 "$3" "$SRV1_ARCHIVE"
    echo "zept_windows: {hosts: {}}"
  } >"$T_WORK/inventory.yml"
}
inventory_host() { # NAME STATE ARCHIVE
  local root=$T_WORK/$1
  echo "    $1: {zept_state: $2, zept_kit: $root/kit, zept_log: $root/deploy.log, zept_host_dir: $root/host,"
  echo "      zept_kit_archive_linux: $3, zept_environment: {KC_REGISTRY_ROOT: $root/registry}}"
}
# play [ansible-playbook options]: sets CHANGED and FAILED (srv1's) from the recap.
play() {
  timeout 300 ansible-playbook -i "$T_WORK/inventory.yml" "$PLAYBOOK" "$@" >"$T_WORK/play.out" 2>&1
  PLAY_RC=$?
  cat "$T_WORK/play.out"
  CHANGED=$(sed -n 's/^srv1 *:.* changed=\([0-9]*\).*/\1/p' "$T_WORK/play.out")
  FAILED=$(sed -n 's/^srv1 *:.* failed=\([0-9]*\).*/\1/p' "$T_WORK/play.out")
}
on_srv() { HOST=$T_WORK/$1/host DATA=$T_WORK/$1/data LOG=$T_WORK/$1/deploy.log KC_REGISTRY_ROOT=$T_WORK/$1/registry; }

check_mode_on_a_bare_server_plans_and_changes_nothing() {
  on_srv srv1
  inventory present
  play --check
  # The kit's folder, the archive's copy and the plan.
  expect_eq "$PLAY_RC/$CHANGED/$FAILED" "0/3/0" "check mode, no kit on the server: status/changed/failed"
  expect_grep "would install or upgrade ZEPT once the kit is unpacked" "$T_WORK/play.out" "the plan"
  [ -e "$SRV1_KIT" ] && t_fail "check mode made the kit's folder"
  expect_eq "$(ls "$HOST")" "$(printf 'pagra.exe\npagra.ini')" "check mode installs nothing"
}
an_unknown_state_stops_the_play_before_anything_runs() {
  on_srv srv1
  inventory installed
  play
  expect_eq "$PLAY_RC/$CHANGED/$FAILED" "2/0/1" "zept_state=installed: status/changed/failed"
  expect_grep "zept_state must be present or absent (not installed)" "$T_WORK/play.out" "the refusal"
  [ -e "$SRV1_KIT" ] || [ -e "$LOG" ] && t_fail "the play ran something"
}
first_run_installs_each_host_in_its_own_folders() {
  inventory present "" present
  play
  # The kit's folder, the archive, its unpacking and the install.
  expect_eq "$PLAY_RC/$CHANGED/$FAILED" "0/4/0" "first install: status/changed/failed"
  expect_grep "^srv2 *:.* changed=4 .* failed=0" "$T_WORK/play.out" "srv2's recap"
  local srv
  for srv in srv1 srv2; do
    on_srv $srv
    expect_eq "$(qsx_value)" "$HOST/nqsxkc.dll" "$srv: QSXKC after the install"
    expect_grep "^ServerTasks=.*,ZEPT" "$HOST/pagra.ini" "$srv: pagra.ini after the install"
    expect_eq "$(transcripts)" 1 "$srv: transcripts in its own log"
    expect_eq "$(stat -c '%U %a' "$T_WORK/$srv/kit" "$T_WORK/$srv/kit/zept-deploy.sh" "$T_WORK/$srv/kit/nzept.exe" | sort -u | tr '\n' ' ')" \
      "root 644 root 755 " "$srv: the kit's owner and modes"
  done
}
# The host's own changes to a data file survive every later play: no run
# for them, and the upgrade's new copy replaced by the host's again.
second_run_and_a_changed_data_file_are_ok() {
  on_srv srv1
  echo "the host's own line" >>"$DATA/zeptadm.ptf"
  cp "$DATA/zeptadm.ptf" "$T_WORK/srv1/zeptadm.ptf.host"
  inventory present
  play
  expect_eq "$PLAY_RC/$CHANGED/$FAILED" "0/0/0" "second install, a data file changed by the host: status/changed/failed"
  expect_eq "$(transcripts)" 1 "the installer ran again"
  expect_same "$DATA/zeptadm.ptf" "$T_WORK/srv1/zeptadm.ptf.host" "the host's data file"
}
upgrade_changes_and_keeps_the_hosts_data_file() {
  on_srv srv1
  inventory present "$LATER_ARCHIVE"
  play
  # The archive, its unpacking and the upgrade.
  expect_eq "$PLAY_RC/$CHANGED/$FAILED" "0/3/0" "upgrade: status/changed/failed"
  expect_same "$HOST/nzept.exe" "$LATER_KIT/nzept.exe" "the upgraded program file"
  expect_same "$DATA/zeptdoc.psf" "$LATER_KIT/zeptdoc.psf" "the upgraded data file the host left alone"
  expect_same "$DATA/zeptadm.ptf" "$T_WORK/srv1/zeptadm.ptf.host" "the data file the host changed"
  expect_grep "running .*nzeptins.exe < .*upgrade.txt" "$LOG" "the upgrade's answers"
  expect_grep "zeptadm.ptf is the host's own" "$LOG" "the kept data file, in the log"
}
an_older_kit_never_takes_the_host_back() {
  on_srv srv1
  inventory present
  play
  # The archive and its unpacking, and no run.
  expect_eq "$PLAY_RC/$CHANGED/$FAILED" "0/2/0" "the earlier kit again: status/changed/failed"
  expect_eq "$(transcripts)" 2 "the installer ran again"
  expect_same "$HOST/nzept.exe" "$LATER_KIT/nzept.exe" "the later program file"
}
removal_changes_then_is_ok() {
  on_srv srv1
  inventory absent
  play
  expect_eq "$PLAY_RC/$CHANGED/$FAILED" "0/1/0" "removal: status/changed/failed"
  no_package_left "after the removal"
  expect_same "$HOST/pagra.ini" "$T_WORK/srv1/pagra.ini.before" "pagra.ini after the removal, byte for byte"
  play
  expect_eq "$PLAY_RC/$CHANGED/$FAILED" "0/0/0" "second removal: status/changed/failed"
  # Three runs of the program, each transcript whole in the log.
  expect_eq "$(transcripts)" 3 "transcripts in the log"
  expect_grep "UN-install is now complete" "$LOG" "the remover's transcript"
}
syntax_check_reads_both_systems_tasks() {
  timeout 120 ansible-playbook --syntax-check -i "$T_WORK/inventory.yml" "$PLAYBOOK" ||
    t_fail "ansible-playbook --syntax-check failed"
}

t_case "Playbook.CheckModeOnABareServerPlansAndChangesNothing" check_mode_on_a_bare_server_plans_and_changes_nothing
t_case "Playbook.AnUnknownStateStopsThePlayBeforeAnythingRuns" an_unknown_state_stops_the_play_before_anything_runs
t_case "Playbook.FirstRunInstallsEachHostInItsOwnFolders" first_run_installs_each_host_in_its_own_folders
t_case "Playbook.SecondRunAndAChangedDataFileAreOk" second_run_and_a_changed_data_file_are_ok
t_case "Playbook.UpgradeChangesAndKeepsTheHostsDataFile" upgrade_changes_and_keeps_the_hosts_data_file
t_case "Playbook.AnOlderKitNeverTakesTheHostBack" an_older_kit_never_takes_the_host_back
t_case "Playbook.RemovalChangesThenIsOkAndPagraIniIsAsBefore" removal_changes_then_is_ok
t_case "Playbook.SyntaxCheckReadsBothSystemsTasks" syntax_check_reads_both_systems_tasks

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
# present: the package's version, every file there, the value, both list
# items; a data file's bytes do not count.
detect_tells_partial_and_install_repairs_it() {
  fresh partial
  deploy detect
  expect_eq "$RC/$OUT" "1/absent" "detect on a fresh host"
  deploy install
  deploy detect
  expect_eq "$RC/$OUT" "0/present" "detect after the install"
  echo "the host's own line" >>"$DATA/zeptadm.ptf"
  deploy detect
  expect_eq "$RC/$OUT" "0/present" "detect with a data file the host changed"
  rm "$DATA/zeptdoc.psf"
  deploy detect
  expect_eq "$RC/$OUT" "2/partial" "detect with a data file gone"
  deploy install
  expect_eq "$RC/$(last_line "$OUT")" "0/changed" "install over the partial package"
  expect_same "$DATA/zeptdoc.psf" "$KIT/zeptdoc.psf" "the repaired data file"
  expect_grep "the host's own line" "$DATA/zeptadm.ptf" "the data file the host changed, after the repair"
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
# A kit someone else could change, or whose files are not the ones its
# SHA256SUMS names: refused before anything runs, each on its own.
a_kit_others_can_write_or_a_damaged_one_runs_nothing() {
  fresh guarded
  local what change undo want
  while IFS='|' read -r what change undo want; do
    eval "$change"
    deploy install
    expect_eq "$RC" "$want" "$what"
    eval "$undo"
  done <<'ROWS'
a file writable by its group|chmod g+w "$KIT/nzeptins.exe"|chmod g-w "$KIT/nzeptins.exe"|15
the kit's folder writable by all|chmod o+w "$KIT"|chmod o-w "$KIT"|15
a folder above it writable by all, not sticky|chmod o+w "$KIT/.."|chmod o-w "$KIT/.."|15
a file of another account|chown 4321 "$KIT/install.txt"|chown 0 "$KIT/install.txt"|15
a link in the kit|ln -s /etc/passwd "$KIT/zept-link"|rm "$KIT/zept-link"|15
a file changed|echo changed >>"$KIT/upgrade.txt"|sed -i '$d' "$KIT/upgrade.txt"|12
a file gone|mv "$KIT/nkctest.exe" "$T_WORK/guarded/"|mv "$T_WORK/guarded/nkctest.exe" "$KIT/"|12
a file SHA256SUMS does not name|cp -p "$KIT/SHA256SUMS" "$T_WORK/guarded/"; sed -i /nzept.exe/d "$KIT/SHA256SUMS"|mv "$T_WORK/guarded/SHA256SUMS" "$KIT/"|12
ROWS
  expect_eq "$(grep -c "running" "$LOG")" 0 "a run started"
  deploy install
  expect_eq "$RC/$(last_line "$OUT")" "0/changed" "the kit as it was laid out"
}
# The engine's code for every status of the program, from a stand-in that
# changes nothing and ends with the status it is given.
program_status_maps_to_engine_codes() {
  printf '#!/bin/sh\ncat >/dev/null\necho "stand-in ended with $FAKE_STATUS"\nexit $FAKE_STATUS\n' >"$T_WORK/stand-in"
  chmod 755 "$T_WORK/stand-in"
  fresh codes "$T_WORK/stand-in"
  local pair
  for pair in 0:29 1:21 2:22 3:23 4:24 5:25 6:75 7:27 9:28 139:28; do
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
t_case "Wrapper.AKitOthersCanWriteOrADamagedOneRunsNothing" a_kit_others_can_write_or_a_damaged_one_runs_nothing
t_case "Wrapper.ProgramStatusMapsToEngineCodes" program_status_maps_to_engine_codes
t_case "Wrapper.HeldHostIsBusy" held_host_is_busy

t_report "$REPORT" DeployLinux
