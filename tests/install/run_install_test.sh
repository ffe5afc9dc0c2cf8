#!/usr/bin/env bash
# Installs a build of the library into a scratch prefix and builds two consumers against the
# installed tree, one with find_package(dap32) and one with pkg-config, then runs both.
#
# Usage: run_install_test.sh BUILD_DIR SCRATCH_DIR
#   BUILD_DIR  a configured native build without sanitizers (build/release)
set -u -o pipefail

if [ $# -ne 2 ]; then
  echo "usage: $0 BUILD_DIR SCRATCH_DIR" >&2
  exit 2
fi
here=$(cd "$(dirname "$0")" && pwd)
build=$1
scratch=$2
prefix="$scratch/prefix"
rm -rf "$scratch"
mkdir -p "$scratch"

failed=0
ok() { echo "ok $*"; }
fail() {
  echo "FAIL $*"
  failed=1
}

cmake --install "$build" --prefix "$prefix" >"$scratch/install.txt" 2>&1 ||
  { cat "$scratch/install.txt"; fail "cmake --install"; exit 1; }
libdir=$(dirname "$(find "$prefix" -name dap32.pc)")/..
version=$(PKG_CONFIG_PATH="$libdir/pkgconfig" pkg-config --modversion dap32)
major=${version%%.*}
for file in "include/dap32.h" "$(realpath --relative-to="$prefix" "$libdir")/libdap32.so.$version"; do
  [ -f "$prefix/$file" ] && ok "installed $file" || fail "$file is not installed"
done
soname=$(readelf -d "$libdir/libdap32.so.$version" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
[ "$soname" = "libdap32.so.$major" ] && ok "SONAME $soname" || fail "SONAME '$soname'"

# Each consumer must report the version the package claims.
run_consumer() {
  local what=$1 program=$2 output
  output=$(LD_LIBRARY_PATH="$libdir" "$program" 2>&1)
  if [[ $output == "dap32 $version build "* ]]; then
    ok "$what: $output"
  else
    fail "$what: '$output' (expected dap32 $version)"
  fi
}

if cmake -S "$here" -B "$scratch/cmake-consumer" -DCMAKE_PREFIX_PATH="$prefix" \
  >"$scratch/cmake-consumer.txt" 2>&1 &&
  cmake --build "$scratch/cmake-consumer" >>"$scratch/cmake-consumer.txt" 2>&1; then
  run_consumer "find_package(dap32)" "$scratch/cmake-consumer/consumer"
else
  cat "$scratch/cmake-consumer.txt"
  fail "the find_package(dap32) consumer does not build"
fi

# shellcheck disable=SC2046  # pkg-config prints several words
if cc -Wall -Werror "$here/consumer.c" -o "$scratch/pkg-config-consumer" \
  $(PKG_CONFIG_PATH="$libdir/pkgconfig" pkg-config --cflags --libs dap32); then
  run_consumer "pkg-config dap32" "$scratch/pkg-config-consumer"
else
  fail "the pkg-config consumer does not build"
fi
exit "$failed"
