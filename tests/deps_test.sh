#!/usr/bin/env bash
# What each script installs: running and the demo need no test extras (the ARM cross-compiler
# alone is some 436 MB), the test suite gets them, and CI asks for every group it uses.
#   deps_test.sh SOURCE_DIR
set -euo pipefail
cd "$1"
fail=0
# The packages a script asks scripts/deps for, from its own calls of it.
asks() {
  local args
  args=$(grep -E '^[[:space:]]*scripts/deps( |$)' "$1" | sed -E 's/^[[:space:]]*scripts\/deps//; s/>&2//' | tr '\n' ' ')
  # shellcheck disable=SC2086
  scripts/deps --list $args
}
expect() {  # expect SCRIPT has|lacks PACKAGE...
  local script=$1 how=$2
  shift 2
  local list
  list=$(asks "$script")
  for p in "$@"; do
    if grep -qx "$p" <<<"$list"; then found=has; else found=lacks; fi
    if [ "$found" != "$how" ]; then
      echo "$script $found $p"
      fail=1
    fi
  done
}
extras=(libgtest-dev gcc-arm-none-eabi binutils-arm-none-eabi wine g++-mingw-w64-x86-64-posix lintian)
expect scripts/run lacks "${extras[@]}"
expect scripts/demo lacks "${extras[@]}"
expect scripts/run has qt6-base-dev libhidapi-dev cmake
expect scripts/test has libgtest-dev gcc-arm-none-eabi binutils-arm-none-eabi
expect scripts/test lacks wine lintian
expect scripts/test-windows has wine g++-mingw-w64-x86-64-posix libgtest-dev xvfb
expect scripts/package-check has lintian appstream man-db xvfb
expect .ci/run has libgtest-dev gcc-arm-none-eabi wine g++-mingw-w64-x86-64-posix lintian appstream nsis zip unzip
[ $fail = 0 ] && echo "each script asks for what it uses; running asks for no test extras"
exit $fail
