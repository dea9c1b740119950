#!/usr/bin/env node
'use strict';
// The Shapes demo in a browser. Serves index.html and a WebSocket on the same port; every square,
// circle and triangle received on the domain goes to each page as one JSON text message,
//   {"topic": "Square", "sample": {"color": "RED", "x": 10, "y": 20, "shapesize": 30}}
// ("sample": null and "key" for a disposed or unregistered instance), and a page that sends such
// a message (a shape it drags) has it written on the domain.
//
//   node server.js [--domain N] [--port P] [--host H] [--config FILE]
// Defaults: domain 0, port 8080 (0: any free port), host 127.0.0.1, WebShapes.xml beside this file.
// Prints "listening on http://H:P/ (domain N)" once it serves.
const fs = require('node:fs');
const http = require('node:http');
const os = require('node:os');
const path = require('node:path');
const { WebSocketServer } = require('ws');
const { Connector } = require('quelt-dds');

const TOPICS = ['Square', 'Circle', 'Triangle'];

function options(argv) {
  const o = { domain: 0, port: 8080, host: '127.0.0.1', config: path.join(__dirname, 'WebShapes.xml') };
  for (let i = 0; i < argv.length; i += 2) {
    const key = argv[i].replace(/^--/, '');
    if (!(key in o) || argv[i + 1] === undefined) {
      console.error('usage: server.js [--domain N] [--port P] [--host H] [--config FILE]');
      process.exit(2);
    }
    o[key] = key === 'domain' || key === 'port' ? Number(argv[i + 1]) : argv[i + 1];
  }
  return o;
}

// The configuration on the domain asked for: a copy with its domain_id replaced.
function onDomain(file, domain) {
  const text = fs.readFileSync(file, 'utf8');
  if (domain === 0) return file;
  const copy = path.join(fs.mkdtempSync(path.join(os.tmpdir(), 'web-shapes-')), path.basename(file));
  fs.writeFileSync(copy, text.replace(/domain_id="\d+"/g, `domain_id="${domain}"`));
  process.on('exit', () => fs.rmSync(path.dirname(copy), { recursive: true, force: true }));
  return copy;
}

function main() {
  const o = options(process.argv.slice(2));
  const conn = new Connector('WebShapesLib::Web', onDomain(o.config, o.domain));
  const writers = Object.fromEntries(TOPICS.map((t) => [t, conn.writer(`Pub::${t}Writer`)]));
  const page = fs.readFileSync(path.join(__dirname, 'index.html'));
  const server = http.createServer((req, res) => {
    if (req.url === '/' || req.url.startsWith('/?')) {
      res.writeHead(200, { 'content-type': 'text/html; charset=utf-8' }).end(page);
    } else {
      res.writeHead(404).end();
    }
  });
  const wss = new WebSocketServer({ server });
  // The last message of every instance, for a page that opens later.
  const last = new Map();
  const broadcast = (text) => {
    for (const client of wss.clients) if (client.readyState === 1) client.send(text);
  };
  for (const topic of TOPICS) {
    conn.reader(`Sub::${topic}Reader`).on('data', (s) => {
      const key = { color: s.get('color') };
      const text = JSON.stringify(s.data ? { topic, sample: s.data } : { topic, sample: null, key });
      if (s.data) last.set(`${topic}/${key.color}`, text);
      else last.delete(`${topic}/${key.color}`);
      broadcast(text);
    });
  }
  wss.on('connection', (ws) => {
    ws.send(JSON.stringify({ domain: o.domain }));
    for (const text of last.values()) ws.send(text);
    ws.on('message', (data) => {
      try {
        const { topic, sample } = JSON.parse(data);
        if (!writers[topic]) throw new Error(`no topic '${topic}'; topics: ${TOPICS.join(', ')}`);
        writers[topic].write(sample);
      } catch (e) {
        ws.send(JSON.stringify({ error: e.message }));
      }
    });
  });
  server.listen(o.port, o.host, () => {
    console.log(`listening on http://${o.host}:${server.address().port}/ (domain ${o.domain})`);
  });
  const stop = () => {
    wss.close();
    server.close();
    conn.close();
    process.exit(0);
  };
  process.on('SIGINT', stop);
  process.on('SIGTERM', stop);
}

main();
