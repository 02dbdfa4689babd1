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
  flock "$prefix.lock" sh -c '[ -f "$WINEPREFIX/system.reg" ] || { wineboot -i >/dev/null 2>&1; wineserver -w; }'
fi
exec wine "$@"
