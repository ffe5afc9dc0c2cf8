#!/usr/bin/env bash
# Runs the Windows GoogleTest program (dap32_tests.exe of a posix-thread cross build) under
# wine, in a wine prefix of its own.
#
# Usage: run_wine_gtest.sh win32|win64 EXE SCRATCH_DIR [GTEST_ARGS...]
#   win32        a 32-bit build (build/win32-tests), run by 32-bit wine
#   win64        a 64-bit build (build/win64-tests), run by wine64
#   EXE          BUILD/tests/dap32_tests.exe
#   SCRATCH_DIR  created if missing; holds the wine prefix, whose temporary directory the
#                tests' scratch directories go to
# Prints GoogleTest's output and exits non-zero if any test failed or the run did not finish.
set -u -o pipefail

if [ $# -lt 3 ]; then
  echo "usage: $0 win32|win64 EXE SCRATCH_DIR [GTEST_ARGS...]" >&2
  exit 2
fi
case "$1" in
  win32) wine=/usr/lib/wine/wine ;;
  win64) wine=/usr/lib/wine/wine64 ;;
  *)
    echo "$0: the first argument must be win32 or win64" >&2
    exit 2
    ;;
esac
exe=$2
mkdir -p "$3" || exit 2
scratch=$(realpath "$3")
shift 3
run_timeout=600 # the whole program; its own waits are bounded far below this

if [ ! -f "$exe" ]; then
  echo "FAIL $exe is missing: build the target dap32_tests in the Windows test build first"
  exit 1
fi
for tool in "$wine" wineserver timeout; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "FAIL $tool is missing (packages wine wine32 wine64)"
    exit 1
  fi
done

# Wine must not open windows or offer to download Mono and Gecko.
unset DISPLAY WAYLAND_DISPLAY
export WINEPREFIX="$scratch/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="

# Only this prefix's wineserver, which this script started.
trap 'timeout 30 wineserver -k >/dev/null 2>&1' EXIT

# A log the library still holds open when a test's directory is removed keeps that directory
# alive on Windows; what earlier runs left behind goes now.
for temp in "$WINEPREFIX"/drive_c/users/*/Temp; do
  rm -rf "$temp"/dap32*
done

log="$scratch/dap32_tests.txt"
timeout -k 10 "$run_timeout" "$wine" "$exe" "$@" </dev/null >"$log" 2>&1
status=$?
# Wine ends console lines with CR LF.
sed -i 's/\r$//' "$log"
cat "$log"
if [ "$status" -eq 124 ] || [ "$status" -eq 137 ]; then
  echo "FAIL dap32_tests.exe did not finish within $run_timeout s"
elif [ "$status" -ne 0 ]; then
  echo "FAIL dap32_tests.exe exited with status $status"
elif ! grep -q '^\[  PASSED  \]' "$log"; then
  # A program that ends early without a failure still has no summary.
  echo "FAIL dap32_tests.exe printed no GoogleTest summary"
  status=1
fi
exit "$status"
