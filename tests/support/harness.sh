# Shared by the shell test runners: ok/FAIL lines with their totals, and real FTP servers
# (serve_ftp.py) on 127.0.0.1 that live as long as the runner. Source it after setting
#   top      the repository
#   scratch  a directory for server roots and logs/
# Defines: ok, fail, count, finish, start_server KIND, stop_servers, and per started server
# server_port[KIND], server_user[KIND], server_password[KIND], and for the TLS kinds
# server_cert[KIND] (the certificate's PEM file) and server_fingerprint[KIND] (its SHA-256).

python=/usr/bin/python3
server_timeout=30 # until a server prints READY

passed=0
failed=0
ok() { echo "ok $*"; passed=$((passed + 1)); }
fail() { echo "FAIL $*"; failed=$((failed + 1)); }
# Adds the ok/FAIL lines of a step's output to the totals.
count() {
  local n
  n=$(grep -c '^ok ' "$1")
  passed=$((passed + n))
  n=$(grep -c '^FAIL ' "$1")
  failed=$((failed + n))
}
finish() {
  echo "$passed passed, $failed failed"
  [ "$failed" -eq 0 ]
  exit $?
}

declare -A server_pid server_fd server_port server_user server_password server_cert
declare -A server_fingerprint

stop_servers() {
  local kind pid i
  for kind in "${!server_pid[@]}"; do
    # EOF on its stdin asks the server to stop; SIGTERM is the fallback.
    if [ -n "${server_fd[$kind]:-}" ]; then
      eval "exec ${server_fd[$kind]}>&-"
      server_fd[$kind]=
    fi
    pid=${server_pid[$kind]}
    for ((i = 0; i < 50; i++)); do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    kill -0 "$pid" 2>/dev/null && kill -TERM "$pid" 2>/dev/null
    for ((i = 0; i < 50; i++)); do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    kill -0 "$pid" 2>/dev/null && kill -KILL "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    unset "server_pid[$kind]"
  done
}

start_server() {
  local kind=$1 root="$scratch/root-$1" fifo="$scratch/$1.stdin" out="$scratch/logs/$1.out"
  local line="" i fd
  mkdir -p "$scratch/logs"
  rm -rf "$root" "$fifo"
  mkdir -p "$root"
  mkfifo "$fifo"
  "$python" "$top/tests/support/serve_ftp.py" "$kind" "$root" <"$fifo" >"$out" \
    2>"$scratch/logs/$1.err" &
  server_pid[$kind]=$!
  # Holding the write end open keeps the server running; closing it stops the server.
  exec {fd}>"$fifo"
  server_fd[$kind]=$fd
  rm -f "$fifo"
  for ((i = 0; i < server_timeout * 10; i++)); do
    line=$(grep -m1 -E '^(READY|FAILED)' "$out" 2>/dev/null)
    [ -n "$line" ] && break
    kill -0 "${server_pid[$kind]}" 2>/dev/null || break
    sleep 0.1
  done
  line=$(grep -m1 -E '^(READY|FAILED)' "$out" 2>/dev/null)
  if [[ "$line" =~ ^READY\ ([0-9]+)\ ([^ ]+)\ ([^ ]+)(\ ([^ ]+)\ ([0-9A-F]{64}))?$ ]]; then
    server_port[$kind]=${BASH_REMATCH[1]}
    server_user[$kind]=${BASH_REMATCH[2]}
    server_password[$kind]=${BASH_REMATCH[3]}
    server_cert[$kind]=${BASH_REMATCH[5]}
    server_fingerprint[$kind]=${BASH_REMATCH[6]}
    ok "$kind serves $root on 127.0.0.1:${server_port[$kind]}"
  else
    fail "$kind did not start: ${line:-no READY line within ${server_timeout} s}" \
      "$(head -c 400 "$scratch/logs/$1.err" 2>/dev/null)"
  fi
}
