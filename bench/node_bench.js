#!/usr/bin/env node
'use strict';
// Samples per second of the Node binding's two loops, next to the same loops in C (the program
// python_baseline, run in the same run, alternating, each repeated):
//   "set 4 members, write": w.set(color, x, y, shapesize); w.write()
//   "take, get 4 members": r.take() until a batch of 1000 is read, then s.get() of the 4 members
//
//   QUELT_DDS_ADDON=build/node/quelt_dds.node QUELT_DDS_LIBRARY=build/connector/libquelt_dds_connector.so \
//     node bench/node_bench.js build [samples] [rounds]
// The two sides use copies of bench.xml on domains 86 and 87.
const { execFileSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { Connector } = require(path.join(__dirname, '..', 'node'));

const BATCH = 1000;
const COLORS = ['RED', 'GREEN', 'BLUE', 'YELLOW'];

function benchXml(dir, domain) {
  const file = path.join(dir, `bench_${domain}.xml`);
  fs.writeFileSync(file, fs.readFileSync(path.join(__dirname, 'bench.xml'), 'utf8').replace('domain_id="194"', `domain_id="${domain}"`));
  return file;
}

async function nodeLoops(xml, samples) {
  const conn = new Connector('BenchLib::Loop', xml);
  const w = conn.writer('Pub::Writer'), r = conn.reader('Sub::Reader');
  // Writer and reader match a moment after creation: samples written before are not delivered.
  for (let i = 0; i < 100; ++i) {
    w.write({ color: 'RED', x: 0, y: 0, shapesize: 30 });
    if ((await conn.wait(50)) && r.take().length) break;
  }
  let writing = 0, reading = 0, taken = 0, total = 0;
  for (let done = 0; done < samples; done += BATCH) {
    const t0 = process.hrtime.bigint();
    for (let i = done; i < done + BATCH; ++i) {
      w.set('color', COLORS[i % 4]);
      w.set('x', i);
      w.set('y', i >> 2);
      w.set('shapesize', 30);
      w.write();
    }
    const t1 = process.hrtime.bigint();
    for (;;) { // a take hands out a limited number of samples: until none is left
      const batch = r.take();
      if (!batch.length) break;
      for (const s of batch) total += s.get('color').length + s.get('x') + s.get('y') + s.get('shapesize');
      taken += batch.length;
    }
    const t2 = process.hrtime.bigint();
    writing += Number(t1 - t0) / 1e9;
    reading += Number(t2 - t1) / 1e9;
  }
  conn.close();
  if (taken !== samples || total <= 0) throw new Error(`${taken} of ${samples} samples came back`);
  return [samples / writing, samples / reading];
}

function cLoops(program, xml, samples) {
  const out = execFileSync(program, [xml, String(samples)], { encoding: 'utf8' });
  return out.trim().split('\n').map((line) => Number(line.split(':').pop()));
}

async function main() {
  const build = process.argv[2] || 'build';
  const samples = Number(process.argv[3] || 20000), rounds = Number(process.argv[4] || 3);
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'node_bench_'));
  const nodeXml = benchXml(dir, 86), cXml = benchXml(dir, 87);
  const rows = [];
  for (let i = 0; i < rounds; ++i) rows.push([await nodeLoops(nodeXml, samples), cLoops(path.join(build, 'bench', 'python_baseline'), cXml, samples)]);
  fs.rmSync(dir, { recursive: true });
  const median = (k, side) => rows.map((r) => r[side][k]).sort((a, b) => a - b)[Math.floor(rounds / 2)];
  console.log(`${samples} samples, ${rounds} rounds (median), samples/s`);
  console.log(`${'loop'.padEnd(24)} ${'Node'.padStart(10)} ${'C'.padStart(10)} ${'Node/C'.padStart(7)}`);
  ['set 4 members, write', 'take, get 4 members'].forEach((name, k) => {
    const n = median(k, 0), c = median(k, 1);
    console.log(`${name.padEnd(24)} ${n.toFixed(0).padStart(10)} ${c.toFixed(0).padStart(10)} ${(n / c).toFixed(2).padStart(7)}`);
  });
}

main().catch((e) => { console.error(e); process.exit(1); });
