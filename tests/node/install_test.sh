#!/bin/sh
# `npm install <path>` of the package into an empty project, as a user does: npm compiles the
# addon (node/build.js) and require('quelt-dds') there finds the library by QUELT_DDS_LIBRARY.
#   install_test.sh <source dir> <library>
set -eu
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cp -r "$1/node" "$dir/package" # the install builds into the package's folder: not in the tree
rm -rf "$dir/package/build" "$dir/package/node_modules"
mkdir "$dir/app"
cd "$dir/app"
npm init -y >/dev/null
npm install --install-links --prefer-offline --no-audit --no-fund --loglevel=error "$dir/package"
QUELT_DDS_LIBRARY=$2 node -e "
const { Connector } = require('quelt-dds');
try { new Connector('Nope::Nope', '$1/examples/shapes/Shapes.xml'); } catch (e) { console.log(e.message); process.exit(e.name === 'UnknownNameError' ? 0 : 1); }
process.exit(1);"
