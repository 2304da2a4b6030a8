#!/usr/bin/env bash
# The bash completion of kestrel-flash: what it offers after a few prefixes.
#   tests/completion_test.sh packaging/bash-completion/kestrel-flash
set -u
shopt -s extglob
source "$1"
failures=0
offered() {  # offered "WORDS..." -> the completions, one line
  COMP_WORDS=("$@")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMPREPLY=()
  _kestrel_flash
  printf '%s\n' "${COMPREPLY[@]}" | sort | tr '\n' ' '
}
expect() {  # expect WHAT GOT WANT
  if [ "$2" != "$3" ]; then
    echo "after $1: offered [$2], expected [$3]"
    failures=$((failures + 1))
  fi
}
work=$(mktemp -d)
sys=$(mktemp -d)
trap 'rm -rf "$work" "$sys"' EXIT
cd "$work"
mkdir build
touch fw.out FW.OUT fw.elf fw.bin notes.txt
expect "--po" "$(offered kestrel-flash --po)" "--port "
expect "--d" "$(offered kestrel-flash --d)" "--dry-run "
expect "--j" "$(offered kestrel-flash --j)" "--jobs --json "
expect "--log" "$(offered kestrel-flash --log fw)" "fw.bin fw.elf fw.out "
expect "--w" "$(offered kestrel-flash --w)" "--watch "
# A station's ports are patterns (besides the nodes present, which depend on the machine).
watched=$(offered kestrel-flash --watch --port /dev/tty)
expect "--watch --port /dev/tty" "$(grep -oE '/dev/tty(ACM|USB)\*' <<<"$watched" | tr '\n' ' ')" \
  "/dev/ttyACM* /dev/ttyUSB* "
expect "--port CO" "$(offered kestrel-flash --port CO)" \
  "COM1 COM2 COM3 COM4 COM5 COM6 COM7 COM8 COM9 "
expect "--port u" "$(offered kestrel-flash --port u)" "usb usb:* usb:serial= "
# The USB ports of the boot loaders present, from sysfs: two boot loaders behind a hub and a
# keyboard beside them.
hidraw() {  # hidraw NODE DEVICE-FOLDER
  mkdir -p "$sys/devices/$2/hidraw/$1" "$sys/class/hidraw"
  ln -s "../../devices/$2/hidraw/$1" "$sys/class/hidraw/$1"
  ln -s ../.. "$sys/devices/$2/hidraw/$1/device"
}
hidraw hidraw0 usb1/1-3/1-3.2/1-3.2:1.0/0003:FFFF:0012.0001
hidraw hidraw1 usb1/1-3/1-3.4/1-3.4:1.0/0003:FFFF:0012.0002
hidraw hidraw2 usb1/1-4/1-4:1.0/0003:046D:C31C.0003
export KESTREL_SYSFS_ROOT=$sys
expect "--port usb:" "$(offered kestrel-flash --port usb:)" \
  "usb:* usb:1-3.2 usb:1-3.4 usb:serial= "
# As bash gives the words when a colon breaks them: only what follows the colon goes back.
COMP_LINE="kestrel-flash --port usb:1-3" COMP_POINT=${#COMP_LINE}
expect "--port usb:1-3 (a line)" "$(offered kestrel-flash --port usb : 1-3)" "1-3.2 1-3.4 "
unset COMP_LINE COMP_POINT KESTREL_SYSFS_ROOT
expect "a file" "$(offered kestrel-flash --port usb '')" "FW.OUT build fw.elf fw.out "
expect "fw" "$(offered kestrel-flash fw)" "fw.elf fw.out "
[ "$failures" -eq 0 ] && echo "completion: all offers as expected"
exit "$failures"
