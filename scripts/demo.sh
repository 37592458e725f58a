#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The main job: sets up what the Linux build needs, builds the module and the
# demo host, and runs the demo host's default press script. Arguments go to
# pelmar4-host (try --help, --list, --trace, --press Key_Mute:1500).
# The module appends its log, MXDRemote.log, to the current directory.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/setup-debian.sh" --native
cmake -S "$root" --preset native >/dev/null
cmake --build "$root/build/native" --target pelmar4-host >/dev/null
exec "$root/build/native/bin/pelmar4-host" "$@"
