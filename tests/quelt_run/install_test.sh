#!/usr/bin/env bash
# cmake --install into a temporary prefix, then what a user does with it: build the C example
# with pkg-config and run it against the installed quelt-run as subscriber; the installed Lua
# module loads in the stock interpreter.
#   install_test.sh <build dir> <Shapes.xml on the test's own domain> <C compiler> [<lua5.2 of the target>]
set -uo pipefail
build=$1 xml=$2 cc=$3 lua=${4:-lua5.2}
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
die() { echo "FAIL: $*"; exit 1; }

cmake --install "$build" --prefix "$prefix" >"$prefix/install.log" || die "cmake --install: $(cat "$prefix/install.log")"
for f in include/quelt_dds_connector.h lib/libquelt_dds_connector.so lib/lua/5.2/quelt_dds_connector.so \
         bin/quelt-run lib/pkgconfig/quelt-dds-connector.pc share/quelt-dds-connector/examples/c/shapes_publisher.c \
         share/quelt-dds-connector/examples/shapes/Shapes.xml share/quelt-dds-connector/examples/shapes/print_samples.lua; do
  [ -e "$prefix/$f" ] || die "$f is not installed"
done

export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
flags=$(pkg-config --cflags --libs quelt-dds-connector) || die "pkg-config"
case "$flags" in *-llua5.2*) ;; *) die "pkg-config --libs lacks Lua: $flags" ;; esac
[ "$(pkg-config --variable=libdir quelt-dds-connector)" = "$prefix/lib" ] || die "libdir"
# shellcheck disable=SC2086
"$cc" "$prefix/share/quelt-dds-connector/examples/c/shapes_publisher.c" -o "$prefix/shapes_publisher" $flags \
  || die "the example does not build with pkg-config"

examples=$prefix/share/quelt-dds-connector/examples/shapes
export LD_LIBRARY_PATH=$prefix/lib
"$prefix/bin/quelt-run" --config "$xml" --participant ShapesLib::ShapeSubscriber \
  --script "$examples/print_samples.lua" --period 50 --duration 6 >"$prefix/received" 2>"$prefix/sub.err" &
subscriber=$!
"$prefix/shapes_publisher" "$xml" ShapesLib::ShapePublisher 40 >"$prefix/pub.out" 2>&1 || die "publisher: $(cat "$prefix/pub.out")"
wait $subscriber || die "subscriber: $(cat "$prefix/sub.err")"
n=$(grep -c '^{"color":"ORANGE","x":[0-9]*,"y":[0-9]*,"shapesize":30}$' "$prefix/received")
[ "$n" -ge 10 ] || die "the subscriber received $n squares: $(cat "$prefix/received" "$prefix/sub.err")"

# The Lua module where lua5.2 finds it for this prefix.
if command -v "$lua" >/dev/null; then
  "$lua" -e "package.cpath = '$prefix/lib/lua/5.2/?.so;' .. package.cpath
             assert(type(require('quelt_dds_connector').new_connector) == 'function')" || die "the installed Lua module"
fi
echo "install: $n squares from the pkg-config-built example"
