'use strict';
// What the Node tests share: configurations on a test's own domain, and waits with a deadline.
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const SOURCE = process.env.QUELT_SOURCE_DIR || path.resolve(__dirname, '..', '..');
const SHAPES = path.join(SOURCE, 'examples', 'shapes', 'Shapes.xml');
const BIG = path.join(SOURCE, 'tests', 'python', 'big.xml.in');
const tmp = fs.mkdtempSync(path.join(os.tmpdir(), 'quelt_node_'));
process.on('exit', () => fs.rmSync(tmp, { recursive: true, force: true }));

// A copy of a configuration on its own domain, on the engine the tests run on.
function config(template, domain) {
  let text = fs.readFileSync(template, 'utf8').replaceAll('domain_id="0"', `domain_id="${domain}"`).replaceAll('@DOMAIN@', String(domain));
  if (process.env.QUELT_TEST_ENGINE === 'cyclone') text = text.replace(/<domain_participant(\s)(?![^>]*\bengine=)/g, '<domain_participant engine="cyclone"$1');
  const file = path.join(tmp, `${path.basename(template).split('.')[0]}_${domain}.xml`);
  fs.writeFileSync(file, text);
  return file;
}

// Resolves once check() returns a truthy value (which it resolves to); rejects at the deadline.
async function until(check, ms = 10000, what = 'the condition') {
  const deadline = Date.now() + ms;
  for (;;) {
    const value = await check();
    if (value) return value;
    if (Date.now() > deadline) throw new Error(`timed out waiting for ${what}`);
    await new Promise((resolve) => setTimeout(resolve, 20));
  }
}

module.exports = { SOURCE, SHAPES, BIG, config, until };
