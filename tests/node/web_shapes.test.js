'use strict';
// The Shapes page in headless Chromium: the squares quelt-run moves show on the canvas and move
// (their colour's pixels change place between two screenshots), and a square dragged on the page
// reaches a Cyclone DDS peer. Domain 69. The last screenshot stays in QUELT_ARTIFACT_DIR.
const { test } = require('node:test');
const assert = require('node:assert/strict');
const { spawn } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const readline = require('node:readline');
const zlib = require('node:zlib');
const { createRequire } = require('node:module');
const { Connector } = require('quelt-dds');
const { SOURCE, SHAPES, config, until } = require('./support');

const WEB = path.join(SOURCE, 'examples', 'web-shapes');
const puppeteer = createRequire(path.join(WEB, 'package.json'))('puppeteer-core');

function start(command, args) {
  const child = spawn(command, args, { stdio: ['ignore', 'pipe', 'inherit'] });
  const lines = [];
  readline.createInterface({ input: child.stdout }).on('line', (l) => lines.push(l));
  return { child, lines, exit: new Promise((resolve) => child.on('exit', resolve)) };
}

// RGB(A) pixels of an 8-bit, non-interlaced PNG (as Chromium writes them).
function pixels(png) {
  const width = png.readUInt32BE(16), height = png.readUInt32BE(20), channels = png[25] === 6 ? 4 : 3;
  const chunks = [];
  for (let at = 8; at < png.length; at += png.readUInt32BE(at) + 12) {
    if (png.toString('latin1', at + 4, at + 8) === 'IDAT') chunks.push(png.subarray(at + 8, at + 8 + png.readUInt32BE(at)));
  }
  const raw = zlib.inflateSync(Buffer.concat(chunks)), stride = width * channels;
  const out = Buffer.alloc(height * stride);
  for (let y = 0; y < height; ++y) {
    const filter = raw[y * (stride + 1)], row = raw.subarray(y * (stride + 1) + 1, (y + 1) * (stride + 1));
    for (let i = 0; i < stride; ++i) {
      const a = i >= channels ? out[y * stride + i - channels] : 0, b = y ? out[(y - 1) * stride + i] : 0;
      const c = y && i >= channels ? out[(y - 1) * stride + i - channels] : 0, p = a + b - c;
      const paeth = Math.abs(p - a) <= Math.abs(p - b) && Math.abs(p - a) <= Math.abs(p - c) ? a : Math.abs(p - b) <= Math.abs(p - c) ? b : c;
      const predictor = [0, a, b, (a + b) >> 1, paeth][filter];
      out[y * stride + i] = (row[i] + predictor) & 0xff;
    }
  }
  return { width, height, channels, data: out };
}

// The centre of the pixels of one pure colour ([r, g, b] each 0 or 255), or null.
function centre(image, rgb) {
  let n = 0, sx = 0, sy = 0;
  for (let i = 0; i < image.width * image.height; ++i) {
    const p = i * image.channels;
    if (rgb.every((v, k) => Math.abs(image.data[p + k] - v) < 40)) { ++n; sx += i % image.width; sy += Math.floor(i / image.width); }
  }
  return n > 50 ? { x: sx / n, y: sy / n } : null;
}

test('the Shapes page shows moving squares, and a dragged one reaches Cyclone DDS', async (t) => {
  const xml = config(SHAPES, 69);
  const mover = start(process.env.QUELT_RUN, ['--config', xml, '--participant', 'ShapesLib::ShapePublisher', '--script',
    path.join(SOURCE, 'examples', 'shapes', 'move_squares.lua'), '--period', '50']);
  t.after(() => mover.child.kill());
  const server = start(process.execPath, [path.join(WEB, 'server.js'), '--domain', '69', '--port', '0']);
  t.after(() => server.child.kill());
  const url = (await until(() => server.lines.find((l) => l.startsWith('listening on ')), 20000, 'the server')).split(' ')[2];
  const { LD_PRELOAD, ...env } = process.env; // the sanitizer runtime is for our programs, not the browser
  const browser = await puppeteer.launch({ executablePath: process.env.QUELT_CHROMIUM || '/usr/bin/chromium', args: ['--no-sandbox'], env });
  t.after(() => browser.close());
  const page = await browser.newPage();
  await page.setViewport({ width: 600, height: 700 });
  const opened = Date.now();
  await page.goto(url);
  const canvas = await page.$('canvas');
  const shot = async () => pixels(Buffer.from(await canvas.screenshot()));
  const RED = [255, 0, 0], BLUE = [0, 0, 255];
  const first = await until(async () => centre(await shot(), RED), 20000, 'a red square on the page');
  t.diagnostic(`first red square on the page ${Date.now() - opened} ms after opening it`);
  await until(async () => {
    const now = centre(await shot(), RED);
    return now && Math.hypot(now.x - first.x, now.y - first.y) > 4;
  }, 20000, 'the red square to move');

  mover.child.kill();
  await mover.exit;
  // The blue square where no other can cover it (the squares stopped anywhere on their circles),
  // so that its centre on the page is its position and the drag keeps no offset.
  const own = new Connector('WebShapesLib::Web', config(path.join(WEB, 'WebShapes.xml'), 69));
  try {
    await until(async () => {
      own.writer('Pub::SquareWriter').write({ color: 'BLUE', x: 215, y: 40, shapesize: 30 });
      const c = centre(await shot(), BLUE);
      return c && Math.hypot(c.x - 430, c.y - 80) < 3;
    }, 20000, 'the blue square clear of the others');
  } finally {
    own.close();
  }
  const peer = start(process.env.QUELT_CYCLONE_PEER, ['--data-only', 'sub', 'shape', '69', '1', '30']);
  t.after(() => peer.child.kill());
  await until(() => peer.lines.includes('# matched'), 20000, 'the Cyclone DDS peer to match');
  const blue = await until(async () => centre(await shot(), BLUE), 20000, 'the blue square');
  const box = await canvas.boundingBox();
  await page.mouse.move(box.x + blue.x, box.y + blue.y);
  await page.mouse.down();
  await page.mouse.move(box.x + 120, box.y + 440, { steps: 1 }); // the shape's (60, 220)
  await page.mouse.up();
  assert.equal(await peer.exit, 0);
  const [key, json] = peer.lines.find((l) => l.startsWith('BLUE ')).split(/ (.*)/s);
  const sample = JSON.parse(json);
  assert.equal(key, 'BLUE');
  assert.ok(Math.abs(sample.x - 60) <= 2 && Math.abs(sample.y - 220) <= 2, json);
  await until(async () => centre(await shot(), BLUE)?.y > 400, 5000, 'the dragged square where it was dropped');
  // A circle and a triangle from this process, for the screenshot.
  const conn = new Connector('WebShapesLib::Web', config(path.join(WEB, 'WebShapes.xml'), 69));
  t.after(() => conn.close());
  await until(() => {
    conn.writer('Pub::CircleWriter').write({ color: 'ORANGE', x: 170, y: 70, shapesize: 40 });
    conn.writer('Pub::TriangleWriter').write({ color: 'PURPLE', x: 180, y: 200, shapesize: 50 });
    return shot().then((image) => centre(image, [255, 165, 0]) && centre(image, [128, 0, 128]));
  }, 20000, 'a circle and a triangle');
  if (process.env.QUELT_ARTIFACT_DIR) await page.screenshot({ path: path.join(process.env.QUELT_ARTIFACT_DIR, 'web-shapes.png') });
});
