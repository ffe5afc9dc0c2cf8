#!/usr/bin/env bash
# Runs every example program against pyftpdlib on 127.0.0.1: dapftp natively (also over TLS,
# against pyftpdlib-tls) and, built for 64-bit Windows, under wine64; then mirror.py (Python),
# ListAndGet (C#) and listget (Pascal) through their bindings.
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

# dapftp: a file up and back down through a directory of its own, compared byte for byte: its
# first 400000 bytes put, the rest put by reput, renamed there and back, its size, time and
# mode, and the last 700000 bytes got by reget; then a command that fails must make the exit
# status non-zero. $1 names the run, $2 the separator of local paths, the rest runs the program.
dapftp_session() {
  local label=$1 separator=$2 work="$scratch/dapftp-$1" status
  shift 2
  rm -rf "$work"
  mkdir -p "$work/up" "$work/down" "$work/part"
  head -c 1000000 /dev/urandom >"$work/up/data.bin"
  head -c 400000 "$work/up/data.bin" >"$work/part/data.bin"
  head -c 300000 "$work/up/data.bin" >"$work/down/data.bin"
  local up=$work/up down=$work/down part=$work/part
  [ "$separator" = '\' ] && up="Z:${up//\//\\}" && down="Z:${down//\//\\}" &&
    part="Z:${part//\//\\}"
  timeout "$run_timeout" "$@" "${login[@]}" "mkdir $label" "cd $label" binary "lcd $part" \
    "put data.bin" "lcd $up" "reput data.bin" "size data.bin" "mv data.bin moved.bin" \
    "mv moved.bin data.bin" "chmod 644 data.bin" "mtime data.bin" "quote NOOP" ls "lcd $down" \
    "reget data.bin" "rm data.bin" "cd .." "rmdir $label" </dev/null >"$work/out.txt" 2>&1
  status=$?
  if [ "$status" -eq 0 ] && cmp -s "$work/up/data.bin" "$work/down/data.bin" &&
    grep -q 'data.bin: 600000 bytes' "$work/out.txt" && grep -q '^1000000' "$work/out.txt" &&
    grep -q 'data.bin: 700000 bytes' "$work/out.txt" && grep -q '^200 ' "$work/out.txt" &&
    grep -Eq '^[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9:]{8} UTC' "$work/out.txt"; then
    ok "$label: dapftp put, reput, size, mv, chmod, mtime, quote, ls and reget, identical"
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
dapftp_session native-active / "$native/examples/dapftp" --active
dapftp_session windows-x64 '\' /usr/lib/wine/wine64 "$win64/x64/dapftp.exe" --passive
dapftp_session windows-x64-active '\' /usr/lib/wine/wine64 "$win64/x64/dapftp.exe" --active

# dapftp over explicit TLS, trusting the server's certificate through --ca: a file up and back.
start_server pyftpdlib-tls
tls=pyftpdlib-tls work="$scratch/dapftp-tls"
if [ -n "${server_port[$tls]:-}" ]; then
  rm -rf "$work"
  mkdir -p "$work/up" "$work/down"
  head -c 300000 /dev/urandom >"$work/up/data.bin"
  timeout "$run_timeout" "$native/examples/dapftp" --passive --tls --ca "${server_cert[$tls]}" \
    --port "${server_port[$tls]}" --user "${server_user[$tls]}" \
    --password "${server_password[$tls]}" 127.0.0.1 binary "lcd $work/up" "put data.bin" \
    "lcd $work/down" "get data.bin" </dev/null >"$work/out.txt" 2>&1
  status=$?
  if [ "$status" -eq 0 ] && cmp -s "$work/up/data.bin" "$work/down/data.bin"; then
    ok "native-tls: dapftp --tls --ca puts and gets a file, identical"
  else
    cat "$work/out.txt"
    fail "native-tls: dapftp --tls --ca (exit status $status)"
  fi
fi

# The other languages load the native library through their bindings.
export DAP32_LIBRARY="$native/libdap32.so" LD_LIBRARY_PATH="$native"
export PYTHONPATH="$top/bindings/python"

# mirror.py: a tree with a subfolder up and back, with tqdm's bars and, with site-packages off
# (python3 -S), where tqdm cannot be imported, with plain ones.
mirror() {
  local label=$1 work="$scratch/mirror-$1" status
  shift
  rm -rf "$work"
  mkdir -p "$work/tree/sub"
  head -c 300000 /dev/urandom >"$work/tree/one.bin"
  head -c 5000 /dev/urandom >"$work/tree/sub/two.bin"
  : >"$work/tree/sub/empty.txt"
  timeout "$run_timeout" "$@" "$top/examples/python/mirror.py" "${login[@]::6}" 127.0.0.1 \
    "$work/tree" "mirror-$label" "$work/back" </dev/null >"$work/out.txt" 2>&1
  status=$?
  if [ "$status" -eq 0 ] && diff -r "$work/tree" "$work/back" >/dev/null &&
    grep -q 'mirrored 3 files (305000 bytes) up and 3 files (305000 bytes) back' "$work/out.txt"; then
    ok "mirror.py ($label): a tree of 3 files up and back, identical"
  else
    cat "$work/out.txt"
    fail "mirror.py ($label): exit status $status"
  fi
}

echo "== Python"
mirror tqdm "$python"
grep -q 'one.bin: 100%' "$scratch/mirror-tqdm/out.txt" && ok "mirror.py draws tqdm's bars" ||
  fail "mirror.py drew no tqdm bar (is python3-tqdm installed?)"
mirror plain "$python" -S
grep -q 'one.bin: 300000/300000 bytes' "$scratch/mirror-plain/out.txt" &&
  ok "mirror.py without tqdm prints plain progress" || fail "mirror.py printed no plain progress"

# ListAndGet (C#) and listget (Pascal): a listing of a folder the server already holds, then
# one file of it, its bytes printed; the file must arrive whole.
mkdir -p "$scratch/root-pyftpdlib/shared"
head -c 200000 /dev/urandom >"$scratch/root-pyftpdlib/shared/report.bin"
list_and_get() {
  local label=$1 work="$scratch/listget-$1" status
  shift
  mkdir -p "$work"
  timeout "$run_timeout" "$@" 127.0.0.1 "${server_port[pyftpdlib]}" \
    "${server_user[pyftpdlib]}" "${server_password[pyftpdlib]}" shared report.bin "$work" \
    </dev/null >"$work/out.txt" 2>&1
  status=$?
  if [ "$status" -eq 0 ] &&
    cmp -s "$work/report.bin" "$scratch/root-pyftpdlib/shared/report.bin" &&
    grep -q 'report.bin: 200000 bytes received' "$work/out.txt" &&
    grep -q ' report.bin$' "$work/out.txt"; then
    ok "$label: lists the folder and downloads report.bin, 200000 bytes"
  else
    cat "$work/out.txt"
    fail "$label: exit status $status"
  fi
}

echo "== C#"
build="$scratch/dotnet"
mkdir -p "$build"
if mcs -nologo -warnaserror -out:"$build/ListAndGet.exe" "$top/examples/dotnet/ListAndGet.cs" \
  "$top/bindings/dotnet/Dap32Native.cs" "$top/bindings/dotnet/FtpSession.cs"; then
  list_and_get "ListAndGet.exe (C#)" mono "$build/ListAndGet.exe"
else
  fail "ListAndGet.cs does not compile"
fi

echo "== Pascal"
build="$scratch/pascal"
mkdir -p "$build"
if fpc -Sew -vw -Fu"$top/bindings/pascal" -Fl"$native" -FU"$build" -o"$build/listget" \
  "$top/examples/pascal/listget.pas" >"$build/fpc.txt" 2>&1; then
  list_and_get "listget (Pascal)" "$build/listget"
else
  cat "$build/fpc.txt"
  fail "listget.pas does not compile"
fi

stop_servers
finish
