#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs the build tree into a temporary prefix, checks what was installed,
# then builds a small program against it once with CMake and once with
# pkg-config and runs both against a simulated DAQ from the installed tool.
#   install_test.sh BUILD-DIR CONSUMER-SOURCE-DIR
set -euo pipefail
build=$1
consumer=$2
work=$(mktemp -d /tmp/kine-install-XXXXXX)
trap 'rm -rf "$work"' EXIT
fail() { echo "install test: $*" >&2; exit 1; }

prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" > "$work/install.log"

libdir=$(dirname "$(find "$prefix" -name 'libkine.so' | head -1)")
[ -n "$libdir" ] && [ -L "$libdir/libkine.so" ] || fail "libkine.so link missing"
soname=$(readlink "$libdir/libkine.so")
[[ $soname =~ ^libkine\.so\.[0-9]+$ ]] || fail "libkine.so points to $soname, not the SONAME"
[[ $(readlink "$libdir/$soname") =~ ^libkine\.so\.[0-9]+\.[0-9]+\.[0-9]+$ ]] || fail "$soname is not a link to the versioned file"
readelf -d "$libdir/$soname" | grep -q "Library soname: \[$soname\]" || fail "SONAME is not $soname"
for f in include/kine/KineDAQ.h include/kine/kine_c.h include/kine/kine_library_version.h include/serial/serial.h \
         lib/udev/rules.d/60-kine.rules bin/kine; do
  [ -e "$prefix/$f" ] || fail "$f not installed"
done
[ -f "$libdir/cmake/kine/kineConfig.cmake" ] || fail "CMake package not installed"
[ -f "$libdir/pkgconfig/kine.pc" ] || fail "kine.pc not installed"
"$prefix/bin/kine" --version | grep -q '^kine [0-9.]* (libkine [0-9.]*)$' || fail "installed kine does not run"

# The same program, built both ways.
cmake -S "$consumer" -B "$work/with-cmake" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_TYPE=Release \
  > "$work/consumer-cmake.log" || { cat "$work/consumer-cmake.log"; fail "find_package(kine) failed"; }
cmake --build "$work/with-cmake" > "$work/consumer-build.log" || { cat "$work/consumer-build.log"; fail "consumer build failed"; }
export PKG_CONFIG_PATH=$libdir/pkgconfig
# shellcheck disable=SC2046
c++ -std=c++17 "$consumer/consumer.cpp" -o "$work/with-pkg-config" $(pkg-config --cflags --libs kine) \
  || fail "consumer build with pkg-config failed"
with_sim=$(dirname "$0")/../support/with_sim.sh
bash "$with_sim" "$prefix/bin/kine" 7 "$work/with-cmake/consumer" || fail "the CMake-built consumer failed"
LD_LIBRARY_PATH=$libdir bash "$with_sim" "$prefix/bin/kine" 7 "$work/with-pkg-config" \
  || fail "the pkg-config-built consumer failed"
echo "install test: installed tree, CMake package and kine.pc work"
