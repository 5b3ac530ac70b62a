#!/usr/bin/env bash
# The tool on a real interface: a fake SevenLab unit on a pty answers from
# the example installation's first bus, the server drives it as
# LAB=sevenlab:LINK beside the same bus simulated as SIM-1, and `list`,
# `scan` and `tour` run unchanged. Unplugged, `list` still shows LAB as
# lost, naming the node. Runs inside tests/support/isolated.
#
#   real_interface_cli.sh FAKE_PROGRAM SERVER_PROGRAM CLI INSTALLATION
set -uo pipefail
fake=$1 server=$2 cli=$3 installation=$4
[ -n "${KOVRA62386_REGISTRY_ROOT:-}" ] || { echo "run me through tests/support/isolated" >&2; exit 2; }

scratch=$(mktemp -d "${TMPDIR:-/tmp}/kovra62386-lab-XXXXXX") || exit 1
link=$scratch/lab
fake_pid= server_pid=
stop() {  # by process id, then wait for it
  [ -n "$1" ] && kill -TERM "$1" 2>/dev/null && wait "$1" 2>/dev/null
  return 0
}
finish() {
  stop "$server_pid"
  stop "$fake_pid"
  rm -rf "$scratch"
}
trap finish EXIT
fail() {
  echo "FAIL: $*" >&2
  for log in "$scratch"/*.log; do echo "--- $log" >&2; cat "$log" >&2; done
  exit 1
}
# Polls `condition` every 50 ms for at most 10 s.
wait_for() {
  for _ in $(seq 1 200); do eval "$1" && return 0; sleep 0.05; done
  return 1
}

"$fake" --sevenlab "$link" --installation "$installation" >"$scratch/fake.log" 2>&1 &
fake_pid=$!
wait_for '[ -L "$link" ]' || fail "the fake unit did not link $link"

"$server" --installation "$installation" \
  --interface "LAB=sevenlab:$link" >"$scratch/server.log" 2>&1 &
server_pid=$!
wait_for 'grep -q "control channel at" "$scratch/server.log"' ||
  fail "the server did not start"

list=$("$cli" list) || fail "list: $list"
echo "$list" | grep -Eq "LAB +sevenlab at $link, firmware 3\.5\.1: connected" ||
  fail "list does not show LAB connected with its firmware: $list"
echo "$list" | grep -Eq "SIM-1 +simulated: connected" || fail "list: $list"

# The same installation answers alike on the fake interface and simulated.
"$cli" --json scan LAB >"$scratch/lab.json" || fail "scan LAB"
"$cli" --json scan SIM-1 >"$scratch/sim.json" || fail "scan SIM-1"
python3 - "$scratch/lab.json" "$scratch/sim.json" <<'PY' || fail "scans differ"
import json, sys
lab, sim = (json.load(open(path)) for path in sys.argv[1:])
assert lab["gear"], "no gear found on LAB"
assert lab["gear"] == sim["gear"], (lab["gear"], sim["gear"])
assert lab["control_devices"] == sim["control_devices"]
PY

"$cli" tour LAB >"$scratch/tour.log" 2>&1 || fail "tour LAB"

# Unplugged: still listed, as lost, with the node named.
stop "$fake_pid"
fake_pid=
wait_for '"$cli" list | grep -Eq "LAB .*lost: .*$link"' ||
  fail "list does not show LAB lost: $("$cli" list)"
json=$("$cli" --json list) || fail "list --json"
python3 - "$json" "$link" <<'PY' || fail "list --json: $json"
import json, sys
document = json.loads(sys.argv[1])
lab = [d for d in document["details"] if d["name"] == "LAB"][0]
assert lab["driver"] == "sevenlab" and lab["state"] == "lost", lab
assert sys.argv[2] in lab["error"], lab
assert "LAB" not in document["interfaces"]
PY
echo "$list"; echo ok
