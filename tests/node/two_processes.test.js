'use strict';
// Keyed samples and a dispose between processes: Node to the Python binding, a Lua script run by
// quelt-run to Node. Domains 67 and 68.
const { test } = require('node:test');
const assert = require('node:assert/strict');
const { spawn } = require('node:child_process');
const path = require('node:path');
const readline = require('node:readline');
const { Connector } = require('quelt-dds');
const { SHAPES, config, until } = require('./support');

const PYTHON_READER = `
import json, sys, quelt_dds
with quelt_dds.Connector("ShapesLib::ShapeSubscriber", sys.argv[1]) as conn:
    r = conn.reader("Sub::SquareReader")
    print("ready", flush=True)
    while conn.wait(timeout=20):
        for s in r.take():
            print(json.dumps([s["color"], s["x"] if s.data else "disposed"]), flush=True)
            if s.data is None:
                sys.exit(0)
sys.exit(2)
`;

function run(command, args) {
  const child = spawn(command, args, { stdio: ['ignore', 'pipe', 'inherit'] });
  const lines = [];
  readline.createInterface({ input: child.stdout }).on('line', (l) => lines.push(l));
  const exit = new Promise((resolve) => child.on('exit', (code) => resolve(code)));
  return { child, lines, exit };
}

test('a Node writer to a Python reader', async (t) => {
  const xml = config(SHAPES, 67);
  const py = run(process.env.QUELT_PYTHON || 'python3', ['-c', PYTHON_READER, xml]);
  t.after(() => py.child.kill());
  const conn = new Connector('ShapesLib::ShapePublisher', xml);
  t.after(() => conn.close());
  const w = conn.writer('Pub::SquareWriter');
  await until(() => py.lines.includes('ready'), 20000, 'the Python reader');
  let x = 0;
  await until(() => { w.write({ color: 'RED', x: ++x }); return py.lines.length > 1; }, 20000, 'matching');
  w.write({ color: 'BLUE', x: 100 });
  w.write({ color: 'RED', x: 101 });
  // Read before the dispose: Cyclone DDS tells a dispose of an instance with an unread sample by
  // that sample's instance state alone, which the binding's info does not carry.
  await until(() => py.lines.includes('["RED", 101]'), 20000, 'RED 101');
  w.dispose({ color: 'RED' });
  assert.equal(await py.exit, 0, py.lines.join('\n'));
  const got = py.lines.slice(1).map((l) => JSON.parse(l)); // instances come in any order, each in the writer's
  assert.deepEqual(got.filter(([c]) => c === 'BLUE'), [['BLUE', 100]]);
  assert.deepEqual(got.filter(([c]) => c === 'RED').slice(-2), [['RED', 101], ['RED', 'disposed']]);
});

test('a Lua writer run by quelt-run to a Node reader', async (t) => {
  const xml = config(SHAPES, 68);
  const conn = new Connector('ShapesLib::ShapeSubscriber', xml);
  t.after(() => conn.close());
  const r = conn.reader('Sub::SquareReader');
  const lua = run(process.env.QUELT_RUN, ['--config', xml, '--participant', 'ShapesLib::ShapePublisher', '--script',
    path.join(__dirname, 'keyed_publisher.lua'), '--period', '50', '--duration', '30', '--wait-match', '1']);
  t.after(() => lua.child.kill());
  const got = { BLUE: [], RED: [] };
  setTimeout(() => conn.close(), 20000).unref(); // the deadline: closing ends the loop below
  for await (const s of r) {
    if (s.data) got[s.data.color].push(s.data.x);
    else if (s.get('color') === 'RED') got.RED.push('disposed');
    if (got.RED.includes('disposed') && got.BLUE.length >= 4) break;
  }
  // Each instance's samples in the writer's order, from the first; RED's first dispose after 3.
  const increasing = (xs) => xs.every((x, i) => i === 0 || x > xs[i - 1]);
  assert.deepEqual([got.BLUE[0], increasing(got.BLUE)], [1, true], `${got.BLUE}`);
  assert.deepEqual(got.RED.slice(0, 3), [1, 2, 3]);
  assert.ok(increasing(got.RED.filter((x) => x !== 'disposed')), `${got.RED}`);
});
