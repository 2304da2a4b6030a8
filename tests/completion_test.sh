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
trap 'rm -rf "$work"' EXIT
cd "$work"
mkdir build
touch fw.out FW.OUT fw.elf fw.bin notes.txt
expect "--po" "$(offered kestrel-flash --po)" "--port "
expect "--d" "$(offered kestrel-flash --d)" "--dry-run "
expect "--port CO" "$(offered kestrel-flash --port CO)" \
  "COM1 COM2 COM3 COM4 COM5 COM6 COM7 COM8 COM9 "
expect "--port u" "$(offered kestrel-flash --port u)" "usb "
expect "a file" "$(offered kestrel-flash --port usb '')" "FW.OUT build fw.elf fw.out "
expect "fw" "$(offered kestrel-flash fw)" "fw.elf fw.out "
[ "$failures" -eq 0 ] && echo "completion: all offers as expected"
exit "$failures"
