# Sourced by the CLI tests on a fake interface unit: a scratch folder, the
# fake unit's and the server's process ids, and the helpers to end them by
# those ids, to fail with every log shown, and to wait on a condition.
# The sourcing script sets `scratch_name` first.
[ -n "${KOVRA62386_REGISTRY_ROOT:-}" ] || { echo "run me through tests/support/isolated" >&2; exit 2; }

scratch=$(mktemp -d "${TMPDIR:-/tmp}/${scratch_name}-XXXXXX") || exit 1
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
