#!/usr/bin/env bash
# Runs a Windows program under Wine, in a prefix of the build's own
# (PELMAR4_WINEPREFIX, default ./wineprefix below the current build folder),
# and returns the program's exit code. The prefix is made once, under a lock,
# so that tests started in parallel do not race to create it.
set -euo pipefail
prefix=${PELMAR4_WINEPREFIX:?PELMAR4_WINEPREFIX is not set}
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
mkdir -p "$(dirname "$prefix")"
(
  flock 9
  if [ ! -f "$prefix/system.reg" ]; then
    wineboot -i >/dev/null 2>&1
    wineserver -w
  fi
) 9>"$prefix.lock"
exec wine "$@"
