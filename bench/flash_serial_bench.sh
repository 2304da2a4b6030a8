#!/usr/bin/env bash
# kestrel-flash's serial update of a 0x40000-byte image against the simulated boot loader paced at
# 115200 8N1 (11,520 bytes a second): the download's wall time (from the "Progressing..." status
# to the "Download Finished!" box, as the JSON events arrive) against the line-rate bound. Runs the
# Linux build, and the Windows build under Wine where it has been built (scripts/build windows).
#   bench/flash_serial_bench.sh
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
work=$(mktemp -d /tmp/kestrel-bench-XXXXXX)
sim=""
trap '[ -n "$sim" ] && kill $sim 2>/dev/null; wineserver -k >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
cd "$work"
"$top/build/default/tools/kestrel-sample-firmware" sample.out 0x40000

# Every byte of the download at 11,520 bytes a second: "UCLRU" and its acknowledgement, per block
# "UFLHU", its acknowledgement, the 2051-byte frame and its acknowledgement, and "URBTU".
bound=$(awk 'BEGIN { printf "%.3f", (5 + 3 + 128 * (5 + 3 + 2051 + 3) + 5) / 11520 }')
echo "line-rate bound for 263949 bytes at 11520 B/s: $bound s"

# run LABEL LINK_FOLDER COMMAND...: the update over COM3, timed by its JSON events.
run() {
  local label=$1 link=$2 port=$3
  shift 3
  "$top/build/default/tools/kestrel-serial-sim" --link "$link/$port" --paced >sim.log &
  sim=$!
  for _ in $(seq 50); do [ -e "$link/$port" ] && break; sleep 0.1; done
  # Each line is timed as it arrives (Windows' lines end in CR LF).
  "$@" --json --port COM3 sample.out |
    while IFS= read -r line; do echo "$(date +%s.%N) ${line%$'\r'}"; done >events.log
  kill $sim; wait $sim 2>/dev/null || true
  sim=""
  rm -f "$link/$port"
  awk -v label="$label" -v bound="$bound" '
    /"text":"Progressing..."/ { start = $1 }
    /"event":"message","text":"Download Finished!"/ { end = $1 }
    /"event":"end"/ { ok = index($0, "\"result\":\"ok\"") > 0 }
    END {
      if (!ok || !start || !end) { print label ": the update did not finish"; exit 1 }
      t = end - start
      printf "%-28s download %7.3f s, %+.2f%% over the bound (%.4f x)\n", label, t,
             100 * (t - bound) / bound, t / bound
    }' events.log
}

mkdir -p ports
KESTREL_COM_DIR=$work/ports run "Linux kestrel-flash" "$work/ports" COM3 \
  "$top/build/default/src/kestrel-flash"
if [ -x "$top/build/windows/src/kestrel-flash.exe" ] && command -v wine >/dev/null; then
  . "$top/scripts/wine-env" "$work/wine"
  DISPLAY= wineboot -i >/dev/null 2>&1
  # Wine's COM ports are the links dosdevices/comN.
  run "Windows kestrel-flash.exe" "$WINEPREFIX/dosdevices" com3 \
    wine "$top/build/windows/src/kestrel-flash.exe"
fi
