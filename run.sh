#!/usr/bin/env bash
# Entry points for dap32: ./run.sh {setup|test|demo|dist|bench|fuzz}
set -euo pipefail
cd "$(dirname "$(readlink -f "$0")")"

# Sized for the 2-core machines this project builds and tests on.
JOBS=2

PACKAGES=(
  cmake ninja-build g++ googletest libgtest-dev
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine32 wine64
  python3 python3-pyftpdlib python3-pefile python3-tqdm vsftpd passwd pkgconf clang llvm lld
  libclang-rt-14-dev
  python3-pip python3-setuptools python3-wheel python3-venv mono-mcs mono-runtime fpc
  # TLS: the library links OpenSSL 3; the TLS test servers need pyOpenSSL (pyftpdlib) and
  # cryptography (their certificates); wine's SChannel loads GnuTLS, which wine only recommends.
  libssl-dev openssl python3-openssl python3-cryptography libgnutls30 libgnutls30:i386
)

usage() {
  cat >&2 <<'EOF'
usage: ./run.sh COMMAND
  setup   install the packages and the FTP test user the build and tests need (idempotent)
  test    setup, native build with sanitizers, Windows cross builds, then all tests
  demo    an example FTP session with the dapftp client against a local pyftpdlib server
  dist    release builds of the Windows DLLs, then dist/dap32-VERSION-windows.zip
  bench   release build, then throughput, latency, CPU and allocations against vsftpd and
          pyftpdlib on loopback, defaults beside the fast settings, many channels and threads,
          the Python Session beside ftplib, FTPS beside curl (~10 min); options go to
          bench/run_bench.py (--rounds, --sizes; --only python runs the Python Session case
          alone, --only ftps the FTPS rows)
  fuzz [SECONDS]
          build the libFuzzer harnesses (clang) and run each for SECONDS (default 60) from its
          seed corpus in fuzz/corpus; one line per harness with its exec count
EOF
}

missing_packages() {
  local pkg status
  for pkg in "${PACKAGES[@]}"; do
    status=$(dpkg-query -W -f='${db:Status-Abbrev}' "$pkg" 2>/dev/null || true)
    [[ $status == ii* ]] || echo "$pkg"
  done
}

cmd_setup() {
  local -a missing
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    # wine32, which runs the 32-bit DLL's tests, only exists for i386.
    [[ $EUID -eq 0 ]] || { echo "setup: adding the i386 architecture needs root" >&2; exit 1; }
    dpkg --add-architecture i386
  fi
  mapfile -t missing < <(missing_packages)
  if ((${#missing[@]} > 0)); then
    [[ $EUID -eq 0 ]] || { echo "setup: installing ${missing[*]} needs root" >&2; exit 1; }
    echo "setup: installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    # Waits (bounded) instead of failing when another apt run holds the lock.
    apt-get -q -o DPkg::Lock::Timeout=900 update
    apt-get -q -y -o DPkg::Lock::Timeout=900 install "${missing[@]}"
  fi
  if [[ $EUID -eq 0 ]]; then
    mkdir -p /var/run/vsftpd/empty
    # The vsftpd test user and its PAM service; the same code runs again before each vsftpd start.
    /usr/bin/python3 tests/support/serve_ftp.py prepare
  else
    echo "setup: not root, so the vsftpd test user was not checked" >&2
  fi
}

# The Windows DLLs, release builds: 32-bit in both export variants, and 64-bit.
build_windows_dlls() {
  cmake -S . -B build/win32 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/i686-w64-mingw32.cmake \
    -DCMAKE_BUILD_TYPE=Release -DDAP32_TESTS=OFF
  cmake --build build/win32 -j "$JOBS"
  cmake -S . -B build/win64 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/x86_64-w64-mingw32.cmake \
    -DCMAKE_BUILD_TYPE=Release -DDAP32_TESTS=OFF
  cmake --build build/win64 -j "$JOBS"
}

CLANG=(-G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++)

# The libFuzzer harnesses of fuzz/ in build/fuzz.
build_fuzzers() {
  cmake -S . -B build/fuzz "${CLANG[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDAP32_TESTS=OFF \
    -DDAP32_FUZZ=ON
  cmake --build build/fuzz -j "$JOBS" --target fuzzers
}

# The clang builds whose checks ctest runs from build/native: the fuzzers, and the tests under
# ThreadSanitizer, which also keeps the library and the tests building with clang -Werror.
build_clang_checks() {
  build_fuzzers
  # Building does not run the tests to list them: under ThreadSanitizer they may need setarch.
  cmake -S . -B build/tsan "${CLANG[@]}" -DCMAKE_BUILD_TYPE=Debug -DDAP32_TSAN=ON \
    -DCMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE=PRE_TEST
  cmake --build build/tsan -j "$JOBS" --target dap32_tests
  cmake -S . -B build/native -G Ninja -DDAP32_FUZZ_BUILD_DIR="$PWD/build/fuzz" \
    -DDAP32_TSAN_BUILD_DIR="$PWD/build/tsan" >/dev/null
}

cmd_test() {
  cmd_setup
  build_clang_checks
  export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1}"
  cmake -S . -B build/native -G Ninja -DCMAKE_BUILD_TYPE=Debug -DDAP32_SANITIZE=ON \
    -DDAP32_WIN32_BUILD_DIR="$PWD/build/win32" \
    -DDAP32_WIN32_TESTS_BUILD_DIR="$PWD/build/win32-tests" \
    -DDAP32_WIN64_BUILD_DIR="$PWD/build/win64" \
    -DDAP32_WIN64_TESTS_BUILD_DIR="$PWD/build/win64-tests" \
    -DDAP32_RELEASE_BUILD_DIR="$PWD/build/release"
  cmake --build build/native -j "$JOBS"
  # The library as users get it, for the install test, the examples and the bindings' tests
  # (which load it into Python, Mono and Free Pascal programs: the sanitized build cannot be).
  cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DDAP32_TESTS=OFF
  cmake --build build/release -j "$JOBS"
  build_windows_dlls
  # The engine's tests for Windows need std::thread, which only the posix thread model of
  # mingw-w64 has; the DLLs keep the win32 model, so the tests get builds of their own.
  cmake -S . -B build/win32-tests -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE=cmake/i686-w64-mingw32-posix.cmake
  cmake --build build/win32-tests -j "$JOBS" --target dap32_tests
  cmake -S . -B build/win64-tests -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE=cmake/x86_64-w64-mingw32-posix.cmake
  cmake --build build/win64-tests -j "$JOBS" --target dap32_tests
  # Last, so that its summary ends the output and its status is the script's.
  local status=0
  ctest --test-dir build/native --output-on-failure -j "$JOBS" --no-tests=error || status=$?
  [[ -f build/native/skipped-tests.txt ]] && cat build/native/skipped-tests.txt
  return "$status"
}

# Builds the example client, starts pyftpdlib on loopback with a temporary root, and runs a
# short scripted session: log in, make a directory, upload, list, download, compare, clean up.
cmd_demo() {
  cmd_setup
  cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DDAP32_TESTS=OFF >/dev/null
  cmake --build build/release -j "$JOBS" --target dapftp
  local port user password ready
  # Globals: the exit trap runs after this function has returned.
  DEMO_WORK=$(mktemp -d /tmp/dap32-demo.XXXXXX)
  local work=$DEMO_WORK
  mkdir -p "$work/root" "$work/upload" "$work/download"
  coproc SERVER { exec /usr/bin/python3 tests/support/serve_ftp.py pyftpdlib "$work/root"; }
  DEMO_SERVER_PID=$SERVER_PID
  DEMO_SERVER_INPUT=${SERVER[1]}
  trap 'exec {DEMO_SERVER_INPUT}>&-; wait "$DEMO_SERVER_PID" 2>/dev/null; rm -rf "$DEMO_WORK"' EXIT
  # "_" takes what the TLS kinds add after the password.
  read -r -t 20 ready port user password _ <&"${SERVER[0]}" || true
  [[ ${ready:-} == READY ]] || { echo "demo: the FTP server did not start" >&2; exit 1; }
  echo "demo: pyftpdlib listening on 127.0.0.1:$port"
  head -c 3000000 /dev/urandom >"$work/upload/demo.bin"
  build/release/examples/dapftp --passive --port "$port" --user "$user" --password "$password" \
    --log "$work/session.log" 127.0.0.1 \
    "pwd" "mkdir demo" "cd demo" "binary" "lcd $work/upload" "put demo.bin" "ls" "names" \
    "lcd $work/download" "get demo.bin" "rm demo.bin" "cd .." "rmdir demo" "pwd"
  local sent received
  sent=$(sha256sum <"$work/upload/demo.bin" | cut -d' ' -f1)
  received=$(sha256sum <"$work/download/demo.bin" | cut -d' ' -f1)
  echo "demo: sha256 uploaded   $sent"
  echo "demo: sha256 downloaded $received"
  [[ $sent == "$received" ]] || { echo "demo: the files differ" >&2; exit 1; }
  echo "demo: the debug log has $(wc -l <"$work/session.log") lines; its first lines:"
  head -n 12 "$work/session.log"
  echo "demo: session complete, files identical"
}

# A release build of the library and bench/dap32_bench, measured by bench/run_bench.py; the
# results are printed and also kept in build/bench/results.json.
cmd_bench() {
  PACKAGES+=(curl)
  cmd_setup
  cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DDAP32_TESTS=OFF \
    -DDAP32_BENCH=ON -DDAP32_SANITIZE=OFF \
    -DCMAKE_C_FLAGS_RELEASE="-O2 -DNDEBUG" -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" >/dev/null
  cmake --build build/bench -j "$JOBS" --target dap32_bench
  /usr/bin/python3 bench/run_bench.py --bench build/bench/bench/dap32_bench \
    --json build/bench/results.json "$@"
}

# The Windows distribution archive: dist/dap32-VERSION-windows.zip, and its listing.
cmd_dist() {
  cmd_setup
  build_windows_dlls
  local archive
  archive=$(/usr/bin/python3 packaging/make_dist.py build/win32 build/win64 dist)
  /usr/bin/python3 -m zipfile -l "$archive"
  echo "dist: wrote $archive"
}

# Builds the fuzzers and runs each for the given seconds; a crash's input is kept in
# build/fuzz-scratch and makes the command fail.
cmd_fuzz() {
  local seconds=${1:-60}
  [[ $seconds =~ ^[0-9]+$ ]] || { echo "fuzz: SECONDS must be a whole number" >&2; exit 2; }
  cmd_setup
  build_fuzzers
  fuzz/run_fuzzers.sh build/fuzz build/fuzz-scratch "$seconds"
}

case "${1:-}" in
  setup) cmd_setup ;;
  test) cmd_test ;;
  demo) cmd_demo ;;
  dist) cmd_dist ;;
  bench) shift; cmd_bench "$@" ;;
  fuzz) shift; cmd_fuzz "$@" ;;
  *)
    usage
    exit 2
    ;;
esac
