#!/usr/bin/env bash
# Runs every example program against pyftpdlib on 127.0.0.1: dapftp natively and, built for
# 64-bit Windows, under wine64; then the examples in the other languages.
#
# Usage: run_examples.sh NATIVE_BUILD WIN64_BUILD SCRATCH_DIR
#   NATIVE_BUILD  a native build without sanitizers (build/release)
#   WIN64_BUILD   the 64-bit cross build (build/win64), with x64/dapftp.exe beside x64/dap32.dll
# Ends with "N passed, M failed" and exits non-zero if anything failed.
set -u -o pipefail

if [ $# -ne 3 ]; then
  echo "usage: $0 NATIVE_BUILD WIN64_BUILD SCRATCH_DIR" >&2
  exit 2
fi
top=$(cd "$(dirname "$0")/../.." && pwd)
native=$(realpath "$1")
win64=$(realpath "$2")
mkdir -p "$3" || exit 2
scratch=$(realpath "$3")
run_timeout=120 # one example run
# shellcheck source=../support/harness.sh
source "$top/tests/support/harness.sh"

unset DISPLAY WAYLAND_DISPLAY
export WINEPREFIX="$scratch/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
trap 'stop_servers; [ -d "$WINEPREFIX" ] && timeout 30 wineserver -k >/dev/null 2>&1' EXIT
trap 'exit 130' INT TERM

start_server pyftpdlib
[ -n "${server_port[pyftpdlib]:-}" ] || finish
login=(--port "${server_port[pyftpdlib]}" --user "${server_user[pyftpdlib]}"
  --password "${server_password[pyftpdlib]}" 127.0.0.1)

# dapftp: a file up and back down through a directory of its own, compared byte for byte; then
# a command that fails must make the exit status non-zero. $1 names the run, $2 the separator
# of local paths, the rest runs the program.
dapftp_session() {
  local label=$1 separator=$2 work="$scratch/dapftp-$1" status
  shift 2
  rm -rf "$work"
  mkdir -p "$work/up" "$work/down"
  head -c 1000000 /dev/urandom >"$work/up/data.bin"
  local up=$work/up down=$work/down
  [ "$separator" = '\' ] && up="Z:${up//\//\\}" && down="Z:${down//\//\\}"
  timeout "$run_timeout" "$@" "${login[@]}" "mkdir $label" "cd $label" binary "lcd $up" \
    "put data.bin" ls "lcd $down" "get data.bin" "rm data.bin" "cd .." "rmdir $label" \
    </dev/null >"$work/out.txt" 2>&1
  status=$?
  if [ "$status" -eq 0 ] && cmp -s "$work/up/data.bin" "$work/down/data.bin" &&
    grep -q 'data.bin' "$work/out.txt"; then
    ok "$label: dapftp put, ls and get a file, identical, exit status 0"
  else
    cat "$work/out.txt"
    fail "$label: dapftp session (exit status $status)"
  fi
  timeout "$run_timeout" "$@" "${login[@]}" "lcd $down" "get no-such-file" </dev/null \
    >"$work/fail.txt" 2>&1
  status=$?
  if [ "$status" -ne 0 ] && grep -q 'get failed (-18): FTP server returned error. 550' \
    "$work/fail.txt"; then
    ok "$label: dapftp reports a refused get and exits with status $status"
  else
    cat "$work/fail.txt"
    fail "$label: dapftp with a refused get exited with status $status"
  fi
}

echo "== dapftp"
dapftp_session native / "$native/examples/dapftp" --passive
dapftp_session windows-x64 '\' /usr/lib/wine/wine64 "$win64/x64/dapftp.exe" --passive

stop_servers
finish
