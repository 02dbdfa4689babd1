#!/bin/sh
# wine-run.sh PREFIX PROGRAM [ARGS...]: runs a Windows program under Wine in
# its own 32-bit prefix, quietly, making the prefix on first use.
prefix=$1
shift
case $prefix in /*) ;; *) prefix=$PWD/$prefix ;; esac  # Wine wants it absolute
export WINEPREFIX="$prefix" WINEARCH=win32 WINEDEBUG=-all
# No Mono or Gecko: the prefix's first start would otherwise offer them.
# Overrides the caller sets (a test's own programs in place of Wine's) come
# after.
export WINEDLLOVERRIDES="mscoree,mshtml=${WINEDLLOVERRIDES:+;$WINEDLLOVERRIDES}"
if [ ! -f "$prefix/system.reg" ]; then
  mkdir -p "$(dirname "$prefix")"
  # Two tests may start at once: one makes the prefix, the other waits.
  flock -o "$prefix.lock" sh -c '[ -f "$WINEPREFIX/system.reg" ] || { wineboot -i >/dev/null 2>&1; wineserver -w; }'
fi
# Wine's server, and the services it starts with a prefix's first program,
# keep that program's standard error open for as long as the server lives:
# a caller that reads it to its end (ctest) would wait for every later
# program of the prefix. Started here on their own, with no output, they
# hold none; the server goes 10 s after the last program ends.
flock -o "$prefix.lock" sh -c 'wineserver -p10 </dev/null >/dev/null 2>&1 && wine wineboot </dev/null >/dev/null 2>&1'
exec wine "$@"
