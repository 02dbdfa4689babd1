#!/bin/sh
# zept-deploy.sh ACTION LOG [HOST] - ZEPT on a Linux Delvan server, for
# deployment engines: ACTION is install (install, or upgrade what is
# there), remove, or detect. LOG receives the installer's whole transcript
# (appended; "-" for standard output). HOST is the host program folder,
# the one with pagra.exe; without it pagra.exe is looked up on PATH, as
# the installer does. The package (nzeptins.exe and its 20 files) and the
# answer files lie beside this script, or in $ZEPT_DIST and $ZEPT_ANSWERS.
#
# The last line of standard output is the result: "changed" or
# "unchanged" (install, remove) or the state (detect: present, absent,
# outdated, partial). Exit status: see "Deployment with engines" in the
# README; 0 only when the state found afterwards is the one asked for.
set -u

E_USAGE=10 E_HOST=11 E_DIST=12 E_LOG=13 E_NO_REMOVER=14
E_BUSY=75         # another install or removal holds the host: try later
E_UNKNOWN=28      # the program could not run, or ended with a status it does not document
E_DISAGREE=29     # the program reported success, but the state is not the one asked for

# The package's files as installed: host program folder, then data folder.
HOST_FILES="nzept.exe nzeptrmv.exe nkctest.exe norder.kcx nedasql.kcx ndb2.kcx nsybase.kcx nodbc2.kcx
  noracle.kcx nfile.kcx npagra.kcx nzeptext.dll nqsxkc.dll nkcapi.dll nkchtapi.dll msvcirt.dll
  msvcrt40.dll kccmn10.dll kccsn13.tlb"
DATA_FILES="zeptadm.ptf zeptdoc.psf"
REG_KEY="Software/Korvan/Components/MirelangExtensions/2.0"

say() { printf '%s\n' "$*"; }
fail() { # code message...
  code=$1
  shift
  say "zept-deploy: $*" >&2
  [ -n "${log:-}" ] && [ "$log" != - ] && say "zept-deploy: $*" >>"$log" 2>/dev/null
  exit "$code"
}

action=${1:-}
log=${2:-}
host_arg=${3:-}
case $action in
  install | remove | detect) ;;
  *) fail $E_USAGE "usage: zept-deploy.sh install|remove|detect LOG [HOST]" ;;
esac
[ -n "$log" ] || fail $E_USAGE "usage: zept-deploy.sh $action LOG [HOST] (LOG may be -)"

here=$(cd "$(dirname "$0")" && pwd)
dist=${ZEPT_DIST:-$here}
answers=${ZEPT_ANSWERS:-}
if [ -z "$answers" ]; then
  answers=$here
  [ -f "$answers/install.txt" ] || answers=$here/../scripts/unattended # the source tree
fi

if [ "$log" != - ]; then
  case $log in /*) ;; *) log=$(pwd)/$log ;; esac
  mkdir -p "$(dirname "$log")" 2>/dev/null
  # A subshell: a failed redirection would end the shell itself.
  (: >>"$log") 2>/dev/null || { log=; fail $E_LOG "cannot write the log file $2"; }
fi
# Standard output, or the log: where the transcript goes.
to_log() { if [ "$log" = - ]; then cat; else cat >>"$log"; fi; }
note() { say "zept-deploy: $*" | to_log; }

# ---- The host, found as the installer finds it ----

# The first folder of PATH holding a readable name, with one separator.
on_path() {
  _rest=$PATH:
  while [ -n "$_rest" ]; do
    _dir=${_rest%%:*}
    _rest=${_rest#*:}
    [ -n "$_dir" ] || continue
    _dir=${_dir%/}/
    if [ -r "$_dir$1" ]; then
      say "$_dir"
      return 0
    fi
  done
  return 1
}

if [ -n "$host_arg" ]; then
  [ -f "$host_arg/pagra.exe" ] || fail $E_HOST "no pagra.exe in the host folder $host_arg"
  host=$host_arg
else
  host=$(on_path pagra.exe) || fail $E_HOST "no host folder: pagra.exe is on no folder of PATH (name the folder as the third argument)"
fi
# The installer proposes the first folder on PATH with pagra.exe, and runs
# elsewhere: the folder goes first on PATH, spelt from the root.
host=$(cd "$host" && pwd) || fail $E_HOST "cannot enter the host folder $host"
host=${host%/}/
PATH=$host:$PATH
export PATH
ini_dir=$(on_path pagra.ini) ||
  { [ -r "${host}pagra.ini" ] && ini_dir=$host; } ||
  { [ -r "${host}data/pagra.ini" ] && ini_dir=${host}data/; } ||
  fail $E_HOST "no pagra.ini on PATH, in $host or in ${host}data/"
ini=${ini_dir}pagra.ini

# The value of an entry of [Pagra] as the installer reads it: the first
# line of the section starting with the name (any case) and "=", up to its
# line end; the text ends at a Ctrl-Z.
ini_value() {
  tr -d '\r' <"$ini" | awk -v name="$1" -v bom="$(printf '\357\273\277')" -v eot="$(printf '\032')" '
    NR == 1 && index($0, bom) == 1 { $0 = substr($0, 4) }
    { cut = index($0, eot); if (cut) $0 = substr($0, 1, cut - 1) }
    /^\[/ { if (in_sect) exit; in_sect = (tolower(substr($0, 1, 7)) == "[pagra]") }
    !/^\[/ && in_sect && tolower(substr($0, 1, length(name) + 1)) == tolower(name) "=" {
      print substr($0, length(name) + 2); found = 1; exit }
    cut { exit }
    END { exit !found }'
}
# 0 when the list holds item whole (blanks around it ignored, case counting).
listed() {
  ini_value "$1" | awk -v item="$2" -F, '
    { for (i = 1; i <= NF; i++) { v = $i; gsub(/^[ \t]+|[ \t]+$/, "", v); if (v == item) found = 1 } }
    END { exit !found }'
}

data=$(ini_value Directory) && [ -n "$data" ] ||
  fail $E_HOST "$ini names no data folder (Directory= in [Pagra])"
data=${data%/}/

# ---- The state ----

# The registry store's value file, its names matched without regard to case.
reg_value_file() {
  _at=${KC_REGISTRY_ROOT:-/var/lib/kc/registry}
  for _part in $(say "$REG_KEY" | tr / ' ') =QSXKC; do
    _next=
    for _entry in "$_at"/* "$_at"/.[!.]*; do
      [ -e "$_entry" ] || continue
      if [ "$(say "${_entry##*/}" | tr '[:upper:]' '[:lower:]')" = "$(say "$_part" | tr '[:upper:]' '[:lower:]')" ]; then
        _next=$_entry
        break
      fi
    done
    [ -n "$_next" ] || return 1
    _at=$_next
  done
  say "$_at"
}

# The distribution's file that installs as name: its own nzeptrmv.exe
# wins over nzeptins.exe, as the installer takes it.
source_of() {
  if [ "$1" = nzeptrmv.exe ] && [ ! -f "$dist/nzeptrmv.exe" ]; then say "$dist/nzeptins.exe"; else say "$dist/$1"; fi
}

# present: the package whole and identical to this distribution (the Linux
# build has no version resource: identical bytes stand for the version),
# registered in the registry store for this host folder and listed in
# pagra.ini; absent: no trace of it; else outdated (whole, other files)
# or partial.
detect_state() {
  _some=0 _all=1 _same=1
  for _f in $HOST_FILES; do
    if [ -f "$host$_f" ]; then
      _some=1
      cmp -s "$host$_f" "$(source_of "$_f")" || _same=0
    else _all=0; fi
  done
  for _f in $DATA_FILES; do
    if [ -f "$data$_f" ]; then
      _some=1
      cmp -s "$data$_f" "$dist/$_f" || _same=0
    else _all=0; fi
  done
  _reg=0 _reg_here=0
  if _vf=$(reg_value_file); then
    _reg=1
    _named=$(tail -n +2 "$_vf" | tr -d '\0')
    # The same file, however spelt (dash, bash and busybox have -ef).
    [ "$_named" -ef "${host}nqsxkc.dll" ] && _reg_here=1
  fi
  _tasks=0 _addins=0
  listed ServerTasks ZEPT && _tasks=1
  listed EXTMGR_ADDINS nzeptext.dll && _addins=1
  if [ $_all$_reg_here$_tasks$_addins = 1111 ]; then
    if [ $_same = 1 ]; then say present; else say outdated; fi
  elif [ $_some$_reg$_tasks$_addins = 0000 ]; then
    say absent
  else
    say partial
  fi
}

check_dist() {
  [ -f "$dist/nzeptins.exe" ] || fail $E_DIST "no nzeptins.exe in the distribution folder $dist"
  for _f in $HOST_FILES $DATA_FILES; do
    [ -f "$(source_of "$_f")" ] || fail $E_DIST "the distribution folder $dist lacks $_f"
  done
}

before=$(detect_state)
note "$action on host $host (pagra.ini $ini, data $data): state $before, $(date '+%Y-%m-%d %H:%M:%S')"
if [ "$action" = detect ]; then
  say "$before"
  case $before in present) exit 0 ;; absent) exit 1 ;; *) exit 2 ;; esac
fi

want=present
[ "$action" = remove ] && want=absent
[ "$action" = install ] && check_dist
if [ "$before" = "$want" ]; then
  note "nothing to do"
  say unchanged
  exit 0
fi

# ---- The run: the answer file that fits the dialogue this state leads to ----

# The installer shows its existing-installation menu when ZEPT is listed.
if [ "$action" = install ]; then
  run_dir=$dist program=$dist/nzeptins.exe answer=install.txt
  listed ServerTasks ZEPT && answer=upgrade.txt
elif [ -f "${host}nzeptrmv.exe" ]; then
  run_dir=$host program=${host}nzeptrmv.exe answer=remove.txt
elif listed ServerTasks ZEPT && [ -f "$dist/nzeptins.exe" ]; then
  run_dir=$dist program=$dist/nzeptins.exe answer=remove-from-install.txt
else
  fail $E_NO_REMOVER "the host holds part of the package but no remover (${host}nzeptrmv.exe), and pagra.ini does not list ZEPT: remove what is left by hand"
fi
[ -f "$answers/$answer" ] || fail $E_DIST "no answer file $answers/$answer"

say "state before: $before; running $program < $answer"
note "running $program < $answers/$answer"
# The transcript goes to the log as the program writes it; its status is
# carried out of the pipe in a file of its own.
status_file=$(mktemp "${TMPDIR:-/tmp}/zept-deploy.XXXXXX") || fail $E_UNKNOWN "cannot make a temporary file"
{
  (cd "$run_dir" && "$program" <"$answers/$answer" 2>&1)
  echo $? >"$status_file"
} | to_log
status=$(cat "$status_file")
rm -f "$status_file"

after=$(detect_state)
note "the program ended with status $status; state $after"
say "program status $status; state after: $after"
case $status in
  0) ;;
  6) fail $E_BUSY "another install or removal is running on this host: nothing was done, try again later" ;;
  1 | 2 | 3 | 4 | 5) fail $((20 + status)) "the program ended with status $status (see the README's exit status table and the transcript in ${log})" ;;
  *) fail $E_UNKNOWN "the program ended with status $status" ;;
esac
[ "$after" = "$want" ] || fail $E_DISAGREE "the program reported success, but the state is $after, not $want"
note "changed"
say changed
exit 0
