#!/usr/bin/env bash
# Runs the C example, which starts the server program when none runs, and
# then stops the server it started: the server publishes its process id in
# the (test) registry under HKEY_CURRENT_USER.
set -uo pipefail
example=$1
key_file="${KOVRA62386_REGISTRY_ROOT:?}/HKEY_CURRENT_USER/SOFTWARE%5CTessivo%5CKOVRA-62386-Server.key"

published_pid() {
  [ -f "$key_file" ] || return 0
  awk -F '\t' 'tolower($2) == "processid" && $1 == "dword" {print $3}' "$key_file" | tail -n 1
}

before=$(published_pid)
"$example"
status=$?

pid=$(published_pid)
if [ -n "$pid" ] && [ "$pid" != "$before" ] && kill -0 "$pid" 2>/dev/null; then
  kill -TERM "$pid"
  for _ in $(seq 1 100); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.05
  done
  kill -0 "$pid" 2>/dev/null && kill -KILL "$pid"
fi
exit $status
