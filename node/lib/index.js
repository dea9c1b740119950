'use strict';
// Node.js binding of the Quelt DDS Connector, over the library's exported functions.
//
//   const { Connector } = require('quelt-dds');
//   const conn = new Connector('ShapesLib::Shapes', 'examples/shapes/Shapes.xml');
//   conn.writer('Pub::SquareWriter').write({ color: 'RED', x: 1 });
//   if (await conn.wait(1000)) for (const s of conn.reader('Sub::SquareReader').take()) console.log(s.data);
//   conn.close();
//
// A connector belongs to the JavaScript thread that made it. Waiting never blocks that thread:
// each reader's data-available callback wakes it through the event loop. Failures throw
// QueltError (its message says what was wrong, its log holds the library's lines of the call);
// names that do not exist throw UnknownNameError listing those that do; a value its member
// cannot hold exactly throws TypeError or RangeError naming the member and sets nothing.
const { EventEmitter } = require('node:events');
const fs = require('node:fs');
const path = require('node:path');
const values = require('./values');

const { QueltError, UnknownNameError } = values;
const LIBRARY_ENV = 'QUELT_DDS_LIBRARY';
const LIBRARY_NAME = 'libquelt_dds_connector.so';
const LUA_NAME = 'liblua5.2.so.0';

function loadNative() {
  const addon = process.env.QUELT_DDS_ADDON || path.join(__dirname, '..', 'build', 'quelt_dds.node');
  const native = require(path.resolve(addon));
  const named = process.env[LIBRARY_ENV];
  // Installed: <prefix>/lib/node_modules/quelt-dds/lib -> <prefix>/lib.
  const installed = path.resolve(__dirname, '..', '..', '..', LIBRARY_NAME);
  const library = named || (fs.existsSync(installed) ? installed : LIBRARY_NAME);
  // Each warning text once per process, as Python shows a warning once per place.
  const warned = new Set();
  const warn = (line) => {
    if (warned.has(line) || warned.size > 1000) return;
    warned.add(line);
    process.emitWarning(line, 'QueltWarning');
  };
  try {
    native.load(library, LUA_NAME, QueltError, warn);
  } catch (e) {
    const where = named ? `${LIBRARY_ENV}=${named}` : `${LIBRARY_NAME} (set ${LIBRARY_ENV} to its path)`;
    throw new Error(`quelt-dds cannot load the connector library ${where}: ${e.message}`);
  }
  return native;
}

const native = loadNative();

function checkText(value, what) {
  if (typeof value !== 'string') throw new TypeError(`${what} must be a string, not ${values.typeName(value)}`);
  return value;
}

class Connector {
  // configName: "Library::Participant"; file: the XML file that holds it.
  constructor(configName, file) {
    checkText(configName, 'configName');
    if (file !== undefined && file !== null) checkText(String(file), 'file');
    this.configName = configName;
    this._types = new Map();
    this._entities = new Map();
    this._waiters = new Set();
    this._watched = new Set();
    try {
      this._native = new native.NativeConnector(configName, file == null ? null : String(file), () => this._onData());
    } catch (e) {
      if (!e.log) throw e;
      throw creationError(configName, file, e.log, e.reason);
    }
    const readers = JSON.parse(this._native.names(false) || '[]');
    this._native.listen(readers);
    if (Symbol.dispose) this[Symbol.dispose] = this.close;
  }

  close() {
    if (!this._native) return;
    const n = this._native;
    this._native = null;
    for (const w of this._waiters) w.settle(new QueltError('the connector is closed'));
    for (const entity of this._entities.values()) if (entity instanceof Reader) entity.emit('close');
    n.close();
  }

  _live() {
    if (!this._native) throw new QueltError('the connector is closed');
    return this._native;
  }

  writer(name) {
    return this._entity(name, Writer);
  }

  reader(name) {
    return this._entity(name, Reader);
  }

  _entity(name, Kind) {
    checkText(name, `a ${Kind.kind} name`);
    const key = `${Kind.kind}:${name}`;
    let entity = this._entities.get(key);
    if (!entity) {
      const n = this._live();
      const id = n.entity(name, Kind === Writer);
      if (typeof id !== 'number') {
        const names = JSON.parse(n.names(Kind === Writer) || '[]');
        throw new UnknownNameError(`no ${Kind.kind} '${name}' in '${this.configName}'; ${Kind.kind}s: ${names.join(', ') || 'none'}`, id);
      }
      entity = new Kind(this, name, id);
      this._entities.set(key, entity);
    }
    return entity;
  }

  _type(entity) {
    let type = this._types.get(entity.name);
    if (!type) {
      const text = this._live().type(entity._id);
      if (!text) throw new QueltError(`the type of '${entity.name}' is not known to the library`);
      type = values.indexed(JSON.parse(text));
      this._types.set(entity.name, type);
    }
    return type;
  }

  // Resolves true when a reader has data, false after ms milliseconds (none or Infinity: no limit).
  wait(ms) {
    if (ms !== undefined && ms !== null && (typeof ms !== 'number' || Number.isNaN(ms))) {
      return Promise.reject(new TypeError(`wait takes a number of milliseconds, not ${values.typeName(ms)}`));
    }
    try {
      if (this._live().hasData()) return Promise.resolve(true);
    } catch (e) {
      return Promise.reject(e);
    }
    if (ms !== undefined && ms !== null && ms <= 0) return Promise.resolve(false);
    return new Promise((resolve, reject) => {
      const waiter = {
        settle: (result) => {
          clearTimeout(waiter.timer);
          this._waiters.delete(waiter);
          if (this._native) this._native.keep(false);
          if (result instanceof Error) reject(result);
          else resolve(result);
        },
      };
      // Beyond a timer's 2^31 - 1 ms (24.8 days): no limit.
      if (ms !== undefined && ms !== null && ms < 2 ** 31) waiter.timer = setTimeout(() => waiter.settle(false), ms);
      this._waiters.add(waiter);
      this._native.keep(true);
    });
  }

  // A reader's data-available callback woke us (once per burst).
  _onData() {
    if (!this._native) return;
    if (this._waiters.size && this._native.hasData()) for (const w of this._waiters) w.settle(true);
    for (const r of this._watched) r._drain();
  }
}

function creationError(configName, file, log, why) {
  if (file !== undefined && file !== null) {
    const text = native.configNames(String(file));
    const names = text ? JSON.parse(text) : null;
    if (names && !names.includes(configName.replace(/^::/, ''))) {
      return new UnknownNameError(`no participant configuration '${configName}' in ${file}; configurations: ` +
        `${names.join(', ') || 'none'}`, log);
    }
  }
  return new QueltError(`cannot create a connector from '${configName}': ${why || 'the library gave no reason'}`, log);
}

// The fast route of set(): a top-level member of a primitive kind, through the library's by-name
// setters, which take these values as they are.
function directSetter(type, value) {
  const kind = type.kind;
  if (typeof value === 'number') {
    const range = values.NUMBER_RANGES[kind];
    if (range) return Number.isInteger(value) && value >= range[0] && value <= range[1] ? 'setNumber' : null;
    if (kind === 'float64') return Number.isFinite(value) ? 'setNumber' : null;
    if (kind === 'float32') return Number.isFinite(Math.fround(value)) ? 'setNumber' : null;
    return null;
  }
  if (typeof value === 'string' && kind === 'string') {
    if (value.includes('\0') || !value.isWellFormed()) return null;
    if (type.bound && (value.length > type.bound || Buffer.byteLength(value) > type.bound)) return null;
    return 'setString';
  }
  if (typeof value === 'boolean' && kind === 'boolean') return 'setBoolean';
  return null;
}

class Writer {
  constructor(conn, name, id) {
    this.connector = conn;
    this.name = name;
    this._id = id;
  }

  // Sets one member by path: "a", "a.b", "seq[2]" (from 1; one past the end appends).
  set(path, value) {
    checkText(path, 'a member name');
    const n = this.connector._live();
    const type = this.connector._type(this);
    const member = type.byName.get(path);
    const setter = member && directSetter(member, value);
    if (setter) n[setter](this._id, path, value);
    else this._set({ [path]: value });
  }

  // One member of the outgoing sample by path, as Sample.get reads a received one.
  get(path) {
    return values.member(this._instance(), path, this.connector._type(this));
  }

  // The whole outgoing sample as an object.
  get data() {
    return this._instance();
  }

  // Sets the members an object names (nested objects for structures, arrays for sequences): all
  // of them, or none when one cannot be set.
  update(object) {
    if (object === null || typeof object !== 'object' || Array.isArray(object)) {
      throw new TypeError(`update takes an object of members, not ${values.typeName(object)}`);
    }
    this._set(object);
  }

  // Writes the current sample, after setting the members of object when given. params: the
  // write parameters, { identity, related_sample_identity } (as Sample.info's identities).
  write(object, params) {
    let paramsJson;
    if (params !== undefined && params !== null) {
      if (typeof params !== 'object' || Array.isArray(params)) {
        throw new TypeError(`write parameters must be an object, not ${values.typeName(params)}`);
      }
      paramsJson = values.stringify(params);
    }
    if (object !== undefined && object !== null) this.update(object);
    this.connector._live().write(this._id, paramsJson);
  }

  // Disposes an instance: the one the key members of object name (set first), else the one the
  // current sample's key names.
  dispose(object) {
    if (object !== undefined && object !== null) this.update(object);
    this.connector._live().dispose(this._id);
  }

  // Resets every member of the sample to its default.
  clear() {
    this.connector._live().clear(this._id);
  }

  _instance() {
    const text = this.connector._live().getJSON(this._id);
    return text ? values.parse(text, this.connector._type(this)) : {};
  }

  _set(object) {
    const n = this.connector._live();
    const type = this.connector._type(this);
    let instance;
    const lengthOf = (list) => {
      if (instance === undefined) instance = this._instance();
      const current = values.walk(instance, list);
      return Array.isArray(current) ? current.length : 0;
    };
    const document = {};
    for (const key of Object.keys(object)) {
      const member = type.byName.get(key) || values.pathType(type, key, lengthOf);
      document[key] = values.converted(member, object[key], key);
    }
    if (Object.keys(document).length) n.setJSON(this._id, values.stringify(document));
  }
}
Writer.kind = 'writer';

// Sample info: valid_data, source_timestamp and reception_timestamp (ms), and the two sample
// identities as objects ({ writer_guid: { value: [16 octets] }, sequence_number: { high, low } }).
class SampleInfo {
  constructor(valid, source, reception, identity, related) {
    this.valid_data = valid;
    this.source_timestamp = source;
    this.reception_timestamp = reception;
    this._identity = identity;
    this._related = related;
  }

  get sample_identity() {
    return this._identity === null ? null : JSON.parse(this._identity);
  }

  get related_sample_identity() {
    return this._related === null ? null : JSON.parse(this._related);
  }

  toJSON() {
    const { valid_data, source_timestamp, reception_timestamp, sample_identity, related_sample_identity } = this;
    return { valid_data, source_timestamp, reception_timestamp, sample_identity, related_sample_identity };
  }
}

// A received sample, copied out of the library: valid after later reads and takes.
class Sample {
  constructor(text, info, type) {
    this._text = text;
    this._fields = undefined;
    this._type = type;
    this.info = info;
  }

  _all() {
    if (this._fields === undefined) this._fields = this._text ? values.parse(this._text, this._type) : {};
    return this._fields;
  }

  // The whole sample as a plain object; null for a sample without valid data (a dispose or
  // unregister notice).
  get data() {
    return this.info.valid_data ? this._all() : null;
  }

  // One member by path: "a", "a.b", "seq[2]" (from 1); a trailing '#' gives a length.
  get(path) {
    return values.member(this._all(), path, this._type);
  }

  toJSON() {
    return { data: this.data, info: this.info };
  }
}

// A reader: read() or take() returns the samples received; 'data' events and `for await` stream
// them (each sample is taken, then emitted).
class Reader extends EventEmitter {
  constructor(conn, name, id) {
    super();
    this.connector = conn;
    this.name = name;
    this._id = id;
    this.on('newListener', (event) => {
      if (event === 'data' && this.listenerCount('data') === 0) this._watch(true);
    });
    this.on('removeListener', (event) => {
      if (event === 'data' && this.listenerCount('data') === 0) this._watch(false);
    });
  }

  read() {
    return this._fetch(false);
  }

  take() {
    return this._fetch(true);
  }

  _fetch(take) {
    const conn = this.connector;
    const flat = conn._live().fetch(this._id, take);
    const type = conn._type(this);
    const out = new Array(flat.length / 6);
    for (let i = 0, k = 0; k < flat.length; ++i, k += 6) {
      out[i] = new Sample(flat[k], new SampleInfo(flat[k + 1], flat[k + 2], flat[k + 3], flat[k + 4], flat[k + 5]), type);
    }
    return out;
  }

  _watch(on) {
    const conn = this.connector;
    if (!conn._native) return;
    if (on) {
      conn._watched.add(this);
      conn._native.keep(true);
      setImmediate(() => this._drain()); // what arrived before the first listener
    } else if (conn._watched.delete(this)) {
      conn._native.keep(false);
    }
  }

  _drain() {
    while (this.connector._native && this.listenerCount('data') > 0) {
      const batch = this.take(); // a take hands out a limited number: until none is left
      if (!batch.length) return;
      for (const s of batch) this.emit('data', s);
    }
  }

  // for await (const s of reader): every sample from now on, until break or the connector closes.
  async *[Symbol.asyncIterator]() {
    const queue = [];
    let wake = null;
    let closed = false;
    const onData = (s) => {
      queue.push(s);
      if (wake) wake();
    };
    const onClose = () => {
      closed = true;
      if (wake) wake();
    };
    this.on('data', onData);
    this.once('close', onClose);
    try {
      for (;;) {
        while (queue.length) yield queue.shift();
        if (closed) return;
        await new Promise((resolve) => { wake = resolve; });
        wake = null;
      }
    } finally {
      this.off('data', onData);
      this.off('close', onClose);
    }
  }
}
Reader.kind = 'reader';

module.exports = { Connector, Writer, Reader, Sample, SampleInfo, QueltError, UnknownNameError };
