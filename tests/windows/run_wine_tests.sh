#!/usr/bin/env bash
# Real FTP sessions with the Windows DLLs of one cross build, under wine, against pyftpdlib and
# vsftpd on 127.0.0.1, in clear and in TLS (wine's SChannel, which cannot resume a session: the
# vsftpd kinds that do not require it). The export tables are checked statically by
# check_exports.py.
#
# Usage: run_wine_tests.sh win32|win64 BUILD_DIR SCRATCH_DIR
#   win32        build/win32: plain/dap32.dll and decorated/dap32.dll, run by 32-bit wine
#   win64        build/win64: x64/dap32.dll, run by wine64
#   SCRATCH_DIR  created if missing; holds the wine prefix, server roots, work files and logs
# Ends with "N passed, M failed" and exits non-zero if anything failed.
set -u -o pipefail

if [ $# -ne 3 ]; then
  echo "usage: $0 win32|win64 BUILD_DIR SCRATCH_DIR" >&2
  exit 2
fi
top=$(cd "$(dirname "$0")/../.." && pwd)
case "$1" in
  win32) mingw=i686-w64-mingw32 wine=/usr/lib/wine/wine variants="plain decorated" ;;
  win64) mingw=x86_64-w64-mingw32 wine=/usr/lib/wine/wine64 variants="x64" ;;
  *)
    echo "$0: the first argument must be win32 or win64" >&2
    exit 2
    ;;
esac
build=$(realpath "$2")
mkdir -p "$3" || exit 2
scratch=$(realpath "$3")
# vsftpd's session processes run as the test user and must reach their root below here.
chmod 755 "$scratch"

run_timeout=300 # one session program run; the library's own time-outs are far shorter
hostile_fds=() hostile_pids=()
# shellcheck source=../support/harness.sh
source "$top/tests/support/harness.sh"

# Wine must not open windows or offer to download Mono and Gecko.
unset DISPLAY WAYLAND_DISPLAY
export WINEPREFIX="$scratch/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="

missing=
for tool in "$wine" wineserver "$mingw-g++-posix" "$python" timeout; do
  command -v "$tool" >/dev/null 2>&1 || missing="$missing $tool"
done
if [ -n "$missing" ]; then
  fail "tools missing:$missing (packages wine wine32 wine64 g++-mingw-w64-i686" \
    "g++-mingw-w64-x86-64 python3-pyftpdlib vsftpd)"
  finish
fi

for variant in $variants; do
  [ -f "$build/$variant/dap32.dll" ] || fail "$build/$variant/dap32.dll is missing: build it first"
done
[ "$failed" -eq 0 ] || finish

mkdir -p "$scratch/logs"

# --- The session program: the build's own, else compiled here --------------------------------
source="$top/tests/windows/dll_session_test.cpp"
exe="$build/dll_session_test.exe"
if [ ! -f "$exe" ] || [ "$source" -nt "$exe" ] || [ "$top/include/dap32.h" -nt "$exe" ]; then
  exe="$scratch/dll_session_test.exe"
  if [ ! -f "$exe" ] || [ "$source" -nt "$exe" ] || [ "$top/include/dap32.h" -nt "$exe" ]; then
    echo "== compiling $exe"
    if ! timeout 300 "$mingw-g++-posix" -std=c++20 -Wall -Wextra -Werror -O2 -static \
      -I"$top/include" "$source" -o "$exe" -lws2_32; then
      rm -f "$exe"
      fail "dll_session_test.exe does not compile"
      finish
    fi
  fi
fi

# --- Servers --------------------------------------------------------------------------------
stop_wine() {
  # Only this prefix's wineserver, which this script started.
  [ -d "$WINEPREFIX" ] && timeout 30 wineserver -k >/dev/null 2>&1
}

# hostile_tls.py serves one connection: each TLS run gets one per scenario, passed on as
# "hostile-SCENARIO PORT CERT FINGERPRINT". Closing its stdin stops one that was not used.
hostile_scenarios="expired wrong-name garbage-hello close-mid-handshake data-handshake-fails"
start_hostile() {
  local variant=$1 scenario out fifo="$scratch/hostile.stdin" fd i line
  hostile_args=()
  for scenario in $hostile_scenarios; do
    out="$scratch/logs/hostile-$variant-$scenario.out"
    rm -f "$fifo" && mkfifo "$fifo"
    "$python" "$top/tests/support/hostile_tls.py" "$scenario" <"$fifo" >"$out" 2>&1 &
    hostile_pids+=("$!")
    exec {fd}>"$fifo"
    hostile_fds+=("$fd")
    rm -f "$fifo"
    for ((i = 0; i < server_timeout * 10; i++)); do
      line=$(grep -m1 '^READY ' "$out" 2>/dev/null) && break
      sleep 0.1
    done
    # shellcheck disable=SC2086  # READY port cert fingerprint
    set -- $line
    if [ $# -eq 4 ]; then
      hostile_args+=("hostile-$scenario" "$2" "$3" "$4")
    else
      fail "hostile_tls.py $scenario did not start: $(head -c 400 "$out")"
    fi
  done
}
stop_hostile() {
  local fd pid
  for fd in "${hostile_fds[@]}"; do eval "exec $fd>&-"; done
  for pid in "${hostile_pids[@]}"; do timeout 20 tail --pid="$pid" -f /dev/null; done
  hostile_fds=() hostile_pids=()
}

cleanup() {
  stop_hostile
  stop_servers
  stop_wine
}
trap cleanup EXIT
trap 'exit 130' INT TERM

echo "== servers"
start_server pyftpdlib
start_server vsftpd
start_server pyftpdlib6 serve_networks.py ftp --host ::1
start_server socks5 serve_networks.py socks5
tls_kinds="pyftpdlib-tls vsftpd-tls-noreuse vsftpd-implicit-noreuse"
tls_args=()
for kind in $tls_kinds; do
  start_server "$kind"
  [ -n "${server_port[$kind]:-}" ] || continue
  tls_args+=("$kind" "${server_port[$kind]}" "${server_cert[$kind]}" "${server_fingerprint[$kind]}")
  # Every kind logs in the same user.
  server_user[tls]=${server_user[$kind]}
  server_password[tls]=${server_password[$kind]}
done

# --- Sessions under wine --------------------------------------------------------------------
for variant in $variants; do
  dll="$build/$variant/dap32.dll"
  # The TLS servers get a process of their own: its first TLS use loads secur32 and crypt32.
  for kind in pyftpdlib vsftpd tls; do
    extra=()
    if [ "$kind" = tls ]; then
      [ ${#tls_args[@]} -gt 0 ] || continue
      ports="0 0"
      start_hostile "$variant"
      extra=("${tls_args[@]}" "${hostile_args[@]}")
    else
      [ -n "${server_port[$kind]:-}" ] || continue
      ports="${server_port[$kind]} 0"
      [ "$kind" = vsftpd ] && ports="0 ${server_port[$kind]}"
      [ "$kind" = pyftpdlib ] && extra=("${server_port[pyftpdlib6]:-0}" "${server_port[socks5]:-0}")
    fi
    # The clear runs go without secur32, as on a system that lacks it: TLS must fail with -35.
    overrides="$WINEDLLOVERRIDES" no_secur32=
    [ "$kind" = tls ] || overrides="$WINEDLLOVERRIDES;secur32=d" no_secur32=1
    work="$scratch/work-$variant-$kind"
    rm -rf "$work"
    mkdir -p "$work"
    log="$scratch/logs/session-$variant-$kind.txt"
    echo "== $variant DLL against $kind"
    # shellcheck disable=SC2086  # $ports is two arguments
    WINEDLLOVERRIDES="$overrides" DAP32_TEST_NO_SECUR32=$no_secur32 \
      timeout -k 10 "$run_timeout" "$wine" "$exe" "$dll" "$variant" $ports \
      "${server_user[$kind]}" "${server_password[$kind]}" "$work" "${extra[@]}" </dev/null \
      >"$log" 2>&1
    status=$?
    [ "$kind" = tls ] && stop_hostile
    # Wine ends console lines with CR LF.
    sed -i 's/\r$//' "$log"
    cat "$log"
    count "$log"
    if [ "$status" -eq 124 ] || [ "$status" -eq 137 ]; then
      fail "$variant/$kind: the session program did not finish within $run_timeout s"
    elif [ "$status" -ne 0 ] && ! grep -q '^FAIL ' "$log"; then
      fail "$variant/$kind: the session program exited with status $status"
    fi
  done
done

echo "== stopping the servers"
stop_servers
finish
