#!/usr/bin/env bash
# Fails when the shared library exports a function that is not one of the
# eleven KOVRA62386_ functions, or when one of them is missing.
set -euo pipefail
lib=$1
expected="KOVRA62386_close KOVRA62386_enumerate KOVRA62386_free_enumeration
KOVRA62386_initialize KOVRA62386_open KOVRA62386_read KOVRA62386_send
KOVRA62386_start_transceiver KOVRA62386_stop_transceiver KOVRA62386_terminate
KOVRA62386_write"
actual=$(nm -D --defined-only "$lib" | awk '$2 ~ /^[TtWwDdBbRrVvi]$/ {print $3}' | sort)
want=$(echo $expected | tr ' ' '\n' | sort)
if [ "$actual" != "$want" ]; then
  echo "exported symbols differ from the eleven functions:"
  diff <(echo "$want") <(echo "$actual") || true
  exit 1
fi
echo "exports: $(echo "$actual" | wc -l) functions, as expected"
