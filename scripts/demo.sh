#!/usr/bin/env bash
# Builds the system and runs it: a simulated Mac with a virtual changer, and the daemon.
# The system root is ./demo-root (or $1). Stop with Ctrl-C.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh default
root="$(realpath -m "${1:-demo-root}")"
bin=build/default/stage
if [ ! -x "$bin/simhostd" ]; then
  echo "the simulated host is not built yet" >&2
  exit 1
fi
"$bin/simhostd" init "$root"
"$bin/simhostctl" --root "$root" add-changer simhost/examples/demo-changer.plist --at-start
echo "system root: $root   (inspect with: $bin/simhostctl --root $root tree|slots|drives|alerts|log)"
exec "$bin/simhostd" run "$root" --rate "${SHELVONX_RATE:-1}"
