'use strict';
// npm's install step: compiles the addon with the system's C++ compiler against the headers of
// the running Node (<prefix>/include/node) and node-addon-api. No network and no node-gyp.
const { execFileSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');

const out = path.join(__dirname, 'build', 'quelt_dds.node');
const source = path.join(__dirname, 'src', 'addon.cc');
if (fs.existsSync(out) && fs.statSync(out).mtimeMs >= fs.statSync(source).mtimeMs) process.exit(0);
const nodeInclude = path.join(path.dirname(process.execPath), '..', 'include', 'node');
if (!fs.existsSync(path.join(nodeInclude, 'node_api.h'))) {
  console.error(`quelt-dds: Node's headers are not in ${nodeInclude} (Debian: apt-get install libnode-dev)`);
  process.exit(1);
}
const addonApi = path.dirname(require.resolve('node-addon-api/napi.h'));
fs.mkdirSync(path.dirname(out), { recursive: true });
const args = ['-std=c++17', '-O2', '-fPIC', '-shared', '-fvisibility=hidden', '-DNAPI_VERSION=8',
  '-DNAPI_DISABLE_CPP_EXCEPTIONS', `-isystem${nodeInclude}`, `-isystem${addonApi}`, source, '-o', out, '-ldl'];
execFileSync(process.env.CXX || 'c++', args, { stdio: 'inherit' });
