#!/usr/bin/env bash
# The DLL's export table holds exactly the eleven decorated __stdcall names,
# and the DLL imports system DLLs only.
set -euo pipefail
dll=$1
objdump=${OBJDUMP:-i686-w64-mingw32-objdump}
dump=$($objdump -p "$dll")
actual=$(echo "$dump" | awk '/\[Ordinal\/Name Pointer\] Table/{t=1;next} t&&/^[ \t]*\[/{print $NF} t&&/^$/{t=0}' | sort)
want=$(printf '%s\n' _KOVRA62386_close@4 _KOVRA62386_enumerate@0 \
  _KOVRA62386_free_enumeration@4 _KOVRA62386_initialize@0 _KOVRA62386_open@4 \
  _KOVRA62386_read@8 _KOVRA62386_send@8 _KOVRA62386_start_transceiver@12 \
  _KOVRA62386_stop_transceiver@4 _KOVRA62386_terminate@0 _KOVRA62386_write@8 | sort)
if [ "$actual" != "$want" ]; then
  echo "export table differs:"; diff <(echo "$want") <(echo "$actual") || true; exit 1
fi
imports=$(echo "$dump" | awk '/DLL Name:/{print tolower($3)}' | sort -u)
for dll_name in $imports; do
  case "$dll_name" in
    kernel32.dll|msvcrt.dll|ws2_32.dll|advapi32.dll|mswsock.dll|user32.dll) ;;
    api-ms-win-*) ;;
    *) echo "unexpected import: $dll_name"; exit 1 ;;
  esac
done
echo "exports: 11 decorated names; imports: $(echo $imports)"
