#!/usr/bin/env bash
# The tool on a real interface: a fake unit of the family (sevenlab or
# foxtron) on a pty answers from the example installation's first bus, the
# server drives it as LAB=FAMILY:LINK beside the same bus simulated as
# SIM-1, and `list`, `scan` and `tour` run unchanged. Unplugged, `list`
# still shows LAB as lost, naming the node. Runs inside
# tests/support/isolated.
#
#   real_interface_cli.sh FAMILY FIRMWARE FAKE_PROGRAM SERVER_PROGRAM CLI INSTALLATION
set -uo pipefail
family=$1 firmware=$2 fake=$3 server=$4 cli=$5 installation=$6
scratch_name=kovra62386-lab
. "$(dirname "$0")/fake_unit_harness.sh"
link=$scratch/lab

"$fake" "--$family" "$link" --installation "$installation" >"$scratch/fake.log" 2>&1 &
fake_pid=$!
wait_for '[ -L "$link" ]' || fail "the fake unit did not link $link"

"$server" --installation "$installation" \
  --interface "LAB=$family:$link" >"$scratch/server.log" 2>&1 &
server_pid=$!
wait_for 'grep -q "control channel at" "$scratch/server.log"' ||
  fail "the server did not start"

list=$("$cli" list) || fail "list: $list"
echo "$list" | grep -Eq "LAB +$family at $link, firmware ${firmware//./\\.}: connected" ||
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
python3 - "$json" "$link" "$family" <<'PY' || fail "list --json: $json"
import json, sys
document = json.loads(sys.argv[1])
lab = [d for d in document["details"] if d["name"] == "LAB"][0]
assert lab["driver"] == sys.argv[3] and lab["state"] == "lost", lab
assert sys.argv[2] in lab["error"], lab
assert "LAB" not in document["interfaces"]
PY
echo "$list"; echo ok
