#!/usr/bin/env bash
# kestrel-flash's batches against simulated boot loaders, each in a process of its own:
# - serial: one device alone, then a batch of 8, every simulator paced at 115200 bit/s as a UART
#   (each byte takes 10 bit times on the line, the answers wait for the line too). Each device's
#   download (its "Progressing..." status to its "Download Finished!" status, as the batch's JSON
#   events arrive) against the line-rate bound, and the batch's wall time against the device alone;
# - USB: a batch of 4 boot loaders through the tests' hidapi stand-in, each paced at one report
#   per millisecond each way (a full-speed interrupt endpoint), each device's download against the
#   report-rate bound;
# - for each batch the CPU time of kestrel-flash and all its children together, per device, as a
#   share of one core.
# Prints every figure beside its target with PASS or MISS; exits 1 when a device was not updated,
# never because a target was missed.
#   bench/batch_bench.sh [IMAGE_LENGTH]     (0x30000 by default: about a minute in all)
set -euo pipefail
export LC_ALL=C  # EPOCHREALTIME and awk with a decimal point
cd "$(dirname "$0")/.."
top=$PWD
build=$top/build/default
flash=$build/src/kestrel-flash
length=$((${1:-0x30000}))
[ "$length" -gt 0 ] && [ $((length % 2048)) = 0 ] ||
  { echo "batch_bench.sh: the image's length is a multiple of 2048 bytes"; exit 2; }
for program in "$flash" "$build/tools/kestrel-serial-sim" "$build/tools/kestrel-hid-sim" \
  "$build/tools/kestrel-sample-firmware" "$build/tests/hidapi-stand-in/libhidapi-hidraw.so.0"; do
  [ -e "$program" ] ||
    { echo "batch_bench.sh: $program is missing: scripts/build default"; exit 2; }
done
work=$(mktemp -d /tmp/kestrel-batch-bench-XXXXXX)
sims=()
stop_sims() {
  for p in "${sims[@]}"; do kill "$p" 2>/dev/null; wait "$p" 2>/dev/null || true; done
  sims=()
}
trap 'stop_sims; rm -rf "$work"' EXIT
cd "$work"
"$build/tools/kestrel-sample-firmware" sample.out "$length" >/dev/null
sha=$("$flash" --dry-run --quiet sample.out | awk '{ print $NF }')
blocks=$((length / 2048))

# within WHAT WAIT FILE PATTERN: WAIT tenths of a second at most for PATTERN in FILE.
within() {
  for _ in $(seq "$2"); do grep -q "$4" "$3" 2>/dev/null && return 0; sleep 0.1; done
  echo "batch_bench.sh: $1 (no \"$4\" in $3 within $(($2 / 10)) s)"
  cat "$3"
  exit 1
}

# timed NAME COMMAND...: runs COMMAND with every line it prints stamped as it arrives (NAME.events)
# and writes NAME.cost: its wall time, exit code, and the CPU time of it and of every process below
# it (the user and system time that bash's `times` gives for the subshell's children: getrusage's
# RUSAGE_CHILDREN, which a process's children add to as they are waited for, kestrel-flash's own
# children when it waits for them).
timed() {
  local name=$1
  shift
  (
    t0=$EPOCHREALTIME
    code=0
    "$@" || code=$?
    t1=$EPOCHREALTIME
    times >"$name.times"
    echo "$t0 $t1 $code" >"$name.cost"
  ) | while IFS= read -r line; do printf '%s %s\n' "$EPOCHREALTIME" "$line"; done >"$name.events"
  read -r t0 t1 code <"$name.cost"
  # `times`: the subshell's own user and system time, then its children's, as 0m1.250s.
  cpu=$(awk 'NR == 2 {
               split($1, u, /[ms]/); split($2, s, /[ms]/)
               printf "%.3f", u[1] * 60 + u[2] + s[1] * 60 + s[2]
             }' "$name.times")
  wall=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", b - a }')
  [ "$code" = 0 ] ||
    { echo "batch_bench.sh: $name ended with $code"; tail -n 20 "$name.events"; exit 1; }
}

# downloads NAME: each device's download in NAME.events, "DEVICE SECONDS" a line, from its
# "Progressing..." status to its "Download Finished!" status ("alone" for a single run's).
downloads() {
  awk '
    function device() {
      if (!match($0, /"device":"[^"]*"/)) return "alone"
      return substr($0, RSTART + 10, RLENGTH - 11)
    }
    /"event":"status"/ && /"text":"Progressing..."/ { start[device()] = $1 }
    /"event":"status"/ && /"text":"Download Finished!"/ { end[device()] = $1 }
    END { for (d in start) if (d in end) printf "%s %.3f\n", d, end[d] - start[d] }
  ' "$1.events" | sort
}

# verdict FIGURE TARGET: PASS when FIGURE is within TARGET.
verdict() { awk -v f="$1" -v t="$2" 'BEGIN { print (f <= t ? "PASS" : "MISS") }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.4f", a / b }'; }

# report_downloads NAME DEVICES BOUND TARGET LABEL: the download of each of the DEVICES devices of
# the run NAME against BOUND, its target TARGET times that; LABEL names the run in the lines.
report_downloads() {
  local name=$1 devices=$2 bound=$3 target=$4 label=$5 r
  [ "$(downloads "$name" | wc -l)" = "$devices" ] ||
    { echo "batch_bench.sh: not every device finished its download"; cat "$name.events"; exit 1; }
  while read -r device seconds; do
    r=$(ratio "$seconds" "$bound")
    [ "$device" = alone ] && device="one device alone" || device="$label, $device"
    printf '%-46s %8.3f s  %6.4f x the bound     (target <= %s)  %s\n' "$device's download" \
      "$seconds" "$r" "$target" "$(verdict "$r" "$target")"
  done < <(downloads "$name")
}

# report_cpu DEVICES LABEL: the CPU time of the last timed run per device, as a share of one core
# over its wall time.
report_cpu() {
  local share
  share=$(awk -v c="$cpu" -v w="$wall" -v n="$1" 'BEGIN { printf "%.2f", 100 * c / w / n }')
  printf '%-46s %8.3f s  %6.2f %% of a core a device (target < 2 %%)   %s\n' \
    "$2, CPU of kestrel-flash and children" "$cpu" "$share" \
    "$(awk -v s="$share" 'BEGIN { print (s < 2 ? "PASS" : "MISS") }')"
}

echo "kestrel-flash batch benchmark: an image of $length bytes ($blocks blocks), SHA-256 $sha"
echo "machine: $(nproc) cores, load average $(cut -d ' ' -f 1-3 /proc/loadavg) before the runs"

# --- Serial --------------------------------------------------------------------------------------
# Every byte of the download on the line at 11,520 bytes a second (10 bits a byte at 115200 bit/s):
# "UCLRU" and its acknowledgement, per block "UFLHU", its acknowledgement, the 2051-byte frame and
# its acknowledgement, and "URBTU".
wire=$((5 + 3 + blocks * (5 + 3 + 2051 + 3) + 5))
line_bound=$(awk -v b="$wire" 'BEGIN { printf "%.3f", b * 10 / 115200 }')
echo
echo "== serial, paced at 115200 bit/s: the line-rate bound is $wire bytes on the wire at" \
  "11520 B/s = $line_bound s"
mkdir ports
for n in 1 2 3 4 5 6 7 8; do
  "$build/tools/kestrel-serial-sim" --link "$work/ports/COM$n" --paced >"serial$n.log" &
  sims+=("$!")
done
for n in 1 2 3 4 5 6 7 8; do
  within "the simulator on COM$n did not start" 50 "serial$n.log" "listening on"
done
export KESTREL_COM_DIR=$work/ports

timed alone "$flash" --json --port COM1 sample.out
alone_wall=$wall
report_downloads alone 1 "$line_bound" 1.03 ""
printf '%-46s %8.3f s  (kestrel-flash from its start to its end)\n' \
  "one device alone, the whole run" "$wall"
ports=()
for n in 1 2 3 4 5 6 7 8; do ports+=(--port "COM$n"); done
timed serial8 "$flash" --json "${ports[@]}" sample.out
report_downloads serial8 8 "$line_bound" 1.03 "batch of 8"
r=$(ratio "$wall" "$alone_wall")
printf '%-46s %8.3f s  %6.4f x one device alone (target <= 1.05)  %s\n' \
  "batch of 8, the whole run" "$wall" "$r" "$(verdict "$r" 1.05)"
report_cpu 8 "batch of 8"
stop_sims
for n in 1 2 3 4 5 6 7 8; do
  got=$(grep -c "update received: $length bytes of flash written, 0 checksum errors" \
    "serial$n.log" || true)
  want=1
  [ "$n" = 1 ] && want=2  # alone, then in the batch
  [ "$got" = "$want" ] ||
    { echo "batch_bench.sh: COM$n did not get the whole image"; cat "serial$n.log"; exit 1; }
done

# --- USB -----------------------------------------------------------------------------------------
# A report takes one 1 ms frame of the interrupt endpoint; the simulator keeps to that for each
# output report (the start report and 42 a block) and each acknowledgement it returns (one a block),
# and the protocol waits for a block's acknowledgement before the next block, so none of them
# overlap. The download then pauses 2.5 s before it reports its end.
reports=$((1 + blocks * 42 + blocks))
usb_bound=$(awk -v r="$reports" 'BEGIN { printf "%.3f", r / 1000 + 2.5 }')
echo
echo "== USB, paced at a report per millisecond each way: the bound is $reports reports at 1 ms" \
  "and the 2.5 s pause = $usb_bound s"
for n in 1 2 3 4; do
  "$build/tools/kestrel-hid-sim" --dir "$work/usb" --location "1-$n" --serial "U$n" --paced \
    --image "flash-$n" >"usb$n.log" &
  sims+=("$!")
done
for n in 1 2 3 4; do
  within "the USB boot loader 1-$n did not start" 50 "usb$n.log" '"event":"ready"'
done
timed usb4 env LD_LIBRARY_PATH="$build/tests/hidapi-stand-in" KESTREL_HIDSIM_DIR="$work/usb" \
  KESTREL_SYSFS_ROOT="$work/usb/sys" "$flash" --json --port 'usb:*' sample.out
report_downloads usb4 4 "$usb_bound" 1.05 "batch of 4"
printf '%-46s %8.3f s\n' "batch of 4, the whole run" "$wall"
report_cpu 4 "batch of 4"
for n in 1 2 3 4; do
  within "the USB boot loader 1-$n did not get the whole image" 50 "usb$n.log" \
    "\"event\":\"image\".*\"length\":$length,\"sha256\":\"$sha\""
done
stop_sims
echo
echo "machine: load average $(cut -d ' ' -f 1-3 /proc/loadavg) after the runs"
