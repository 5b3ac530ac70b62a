#!/usr/bin/env bash
# The tool on a hasseb interface started from the command line: a fake
# unit on a seqpacket socket (the stand-in for its hidraw node) answers
# from the example installation's first bus, and the server drives it as
# H=hasseb:PATH beside the same bus simulated as SIM-1. `list` shows its
# firmware, a query and a level set answer as on SIM-1, a scan lists the
# gear without control devices, and unplugged it is listed as lost with the
# node named, then back under its name.
# Runs inside tests/support/isolated.
#
#   hasseb_interface_cli.sh FAKE_PROGRAM SERVER_PROGRAM CLI INSTALLATION
set -uo pipefail
fake=$1 server=$2 cli=$3 installation=$4
scratch_name=kovra62386-hasseb
. "$(dirname "$0")/fake_unit_harness.sh"
node=$scratch/hidraw
plug_in() {
  "$fake" --hasseb "$node" --installation "$installation" >>"$scratch/fake.log" 2>&1 &
  fake_pid=$!
  wait_for '[ -S "$node" ]' || fail "the fake unit did not listen at $node"
}

plug_in
"$server" --installation "$installation" \
  --interface "H=hasseb:$node" >"$scratch/server.log" 2>&1 &
server_pid=$!
wait_for 'grep -q "control channel at" "$scratch/server.log"' ||
  fail "the server did not start"

wait_for '"$cli" list | grep -Eq "H +hasseb at $node, firmware 2\.5: connected"' ||
  fail "list does not show H connected with its firmware: $("$cli" list)"

# The same gear answer alike on the fake interface and simulated.
for bus in H SIM-1; do
  "$cli" --json query "$bus" 1 QUERY ACTUAL LEVEL >"$scratch/$bus.json" || fail "query $bus"
done
python3 - "$scratch/H.json" "$scratch/SIM-1.json" <<'PY' || fail "queries differ"
import json, sys
h, sim = (json.load(open(path)) for path in sys.argv[1:])
assert h["result"] == "answer", h
assert h["answer"] == sim["answer"], (h, sim)
PY
# The unit sends 16-bit frames only: the scan lists the gear and says why
# it asked no control device, instead of failing.
"$cli" scan H >"$scratch/scan.out" 2>&1 || fail "scan H: $(cat "$scratch/scan.out")"
grep -q "control devices not asked" "$scratch/scan.out" ||
  fail "scan H does not say that control devices were not asked"
"$cli" set H 1 100 >/dev/null || fail "set H"
"$cli" query H 1 QUERY ACTUAL LEVEL | grep -q "answer 0x64" || fail "level not set"

# Unplugged: listed as lost with the node named; plugged in again: back.
stop "$fake_pid"
fake_pid=
wait_for '"$cli" list | grep -Eq "H .*lost: .*$node"' ||
  fail "list does not show H lost: $("$cli" list)"
plug_in
wait_for '"$cli" list | grep -Eq "H +hasseb at $node, firmware 2\.5: connected"' ||
  fail "H did not come back: $("$cli" list)"
echo ok
