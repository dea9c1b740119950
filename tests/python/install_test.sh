#!/bin/sh
# `cmake --install` into a scratch prefix, then the system's python3 imports the package from
# there with only PYTHONPATH set: it finds the library beside it under the prefix.
#   install_test.sh <build dir> <python3>
set -eu
build=$1 python=$2
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
version=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
unset QUELT_DDS_LIBRARY
PYTHONPATH="$prefix/lib/python$version/dist-packages" PYTHONDONTWRITEBYTECODE=1 "$python" -c "
import quelt_dds, quelt_dds._library as l
assert l.lib._name == '$prefix/lib/libquelt_dds_connector.so', l.lib._name
print('imported from', quelt_dds.__file__)"
