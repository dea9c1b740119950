#!/bin/sh
# `cmake --install` into $HOME/quelt of a scratch HOME, then the README's own export lines, as a
# user pastes them: the system's python3 imports the package (which finds the library beside it
# under the prefix) and lua5.2, when given, requires the Lua module.
#   install_test.sh <build dir> <python3> <README.md> [lua5.2]
set -eu
build=$1 python=$2 readme=$3 lua=${4:-}
home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
prefix=$home/quelt
cmake --install "$build" --prefix "$prefix" >/dev/null
# From the line "export PATH="$HOME/quelt..." through its continuation lines.
exports=$(awk '/^export PATH="\$HOME\/quelt/ { on = 1 } on { print; if ($0 !~ /\\$/) exit }' "$readme")
[ -n "$exports" ] || { echo "no 'export PATH=\"\$HOME/quelt...' line in $readme" >&2; exit 1; }
unset QUELT_DDS_LIBRARY PYTHONPATH LUA_CPATH
HOME=$home
eval "$exports"
cd "$home"
PYTHONDONTWRITEBYTECODE=1 "$python" -c "
import quelt_dds, quelt_dds._library as l
assert l.lib._name == '$prefix/lib/libquelt_dds_connector.so', l.lib._name
print('imported from', quelt_dds.__file__)"
if [ -n "$lua" ]; then
  "$lua" -e 'local m = require "quelt_dds_connector"
             assert(type(m.new_connector) == "function", "no new_connector")
             print("required", package.searchpath("quelt_dds_connector", package.cpath))'
fi
