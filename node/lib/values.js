'use strict';
// Values checked against the member's type before anything is set. The library's by-name setters
// and its JSON input convert leniently (truncate, clamp, keep low bits, skip what does not fit);
// the binding sends a value only once it is sure the member holds it exactly.

class QueltError extends Error {
  // log: every line the library logged for the call.
  constructor(message, log = []) {
    super(message);
    this.name = 'QueltError';
    this.log = Array.from(log);
  }
}

// A writer, reader, member or configuration that does not exist; the message lists what does.
class UnknownNameError extends QueltError {
  constructor(message, log = []) {
    super(message, log);
    this.name = 'UnknownNameError';
  }
}

const INTEGER_RANGES = {
  int16: [-(2n ** 15n), 2n ** 15n - 1n], uint16: [0n, 2n ** 16n - 1n],
  int32: [-(2n ** 31n), 2n ** 31n - 1n], uint32: [0n, 2n ** 32n - 1n],
  int64: [-(2n ** 63n), 2n ** 63n - 1n], uint64: [0n, 2n ** 64n - 1n], uint8: [0n, 255n],
};
// The same ranges as Numbers, for the common case (all exact: none passes 2^53 but 64-bit ones).
const NUMBER_RANGES = Object.fromEntries(Object.entries(INTEGER_RANGES).map(([k, [lo, hi]]) => [k,
  [Math.max(Number(lo), Number.MIN_SAFE_INTEGER), Math.min(Number(hi), Number.MAX_SAFE_INTEGER)]]));
const WIDE = new Set(['int64', 'uint64']);

function typeName(value) {
  if (value === null) return 'null';
  if (Array.isArray(value)) return 'an Array';
  const t = typeof value;
  if (t === 'object') return `a ${value.constructor ? value.constructor.name : 'Object'}`;
  return `a ${t}`;
}

function refuse(ErrorClass, path, type, what) {
  return new ErrorClass(`'${path}' (${type.kind}) ${what}`);
}

function memberNames(type) {
  return (type.members || []).map((m) => m.name).join(', ') || 'none';
}

function unknownMember(type, name, path) {
  const where = name === path ? '' : ` (in '${path}')`;
  return new UnknownNameError(`${type.name || 'the type'} has no member '${name}'${where}; members: ${memberNames(type)}`);
}

function memberType(type, name, path) {
  const member = type.byName && type.byName.get(name);
  if (member === undefined) throw unknownMember(type, name, path);
  return member;
}

// The type description with a byName map in every structure and union; wide: whether a 64-bit
// integer is anywhere in it (only then does JSON text need the BigInt-aware parse).
function indexed(type) {
  let wide = WIDE.has(type.kind);
  if (type.members) {
    type.byName = new Map();
    for (const m of type.members) {
      type.byName.set(m.name, indexed(m.type));
      wide = wide || m.type.wide;
    }
  } else if (type.element) {
    wide = indexed(type.element).wide || wide;
  }
  type.wide = wide;
  return type;
}

function integer(type, value, path) {
  const kind = type.kind;
  const [lo, hi] = INTEGER_RANGES[kind];
  if (typeof value === 'bigint') {
    if (value < lo || value > hi) throw refuse(RangeError, path, type, `holds ${lo} to ${hi}, not ${value}`);
    return value >= -(2n ** 53n) && value <= 2n ** 53n ? Number(value) : value;
  }
  if (typeof value !== 'number') throw refuse(TypeError, path, type, `takes an integer Number or a BigInt, not ${typeName(value)}`);
  if (!Number.isInteger(value)) throw refuse(RangeError, path, type, `takes an integer; ${value} is not one`);
  if (!Number.isSafeInteger(value)) {
    if (WIDE.has(kind) && Number.isFinite(value) && BigInt(value) >= lo && BigInt(value) <= hi) {
      throw refuse(RangeError, path, type, `takes a BigInt beyond 2^53: the Number ${value} may not be the integer meant`);
    }
    throw refuse(RangeError, path, type, `holds ${lo} to ${hi}, not ${value}`);
  }
  const [nlo, nhi] = NUMBER_RANGES[kind];
  if (value < nlo || value > nhi) throw refuse(RangeError, path, type, `holds ${lo} to ${hi}, not ${value}`);
  return value;
}

function floating(type, value, path) {
  if (typeof value !== 'number' && typeof value !== 'bigint') {
    throw refuse(TypeError, path, type, `takes a Number, not ${typeName(value)}`);
  }
  const number = Number(value);
  if (Number.isNaN(number)) return 'NaN';
  const beyond = typeof value === 'bigint' ? !Number.isFinite(number) : false;
  if (beyond || (type.kind === 'float32' && Number.isFinite(number) && !Number.isFinite(Math.fround(number)))) {
    throw refuse(RangeError, path, type, `cannot hold ${value}: beyond its range`);
  }
  if (!Number.isFinite(number)) return number > 0 ? 'Infinity' : '-Infinity';
  return number;
}

function text(type, value, path) {
  if (typeof value !== 'string') throw refuse(TypeError, path, type, `takes a string, not ${typeName(value)}`);
  if (value.includes('\0')) throw refuse(RangeError, path, type, 'cannot hold a NUL character');
  if (!value.isWellFormed()) throw refuse(RangeError, path, type, 'takes valid Unicode text: a lone surrogate');
  if (type.bound) {
    const wide = type.kind === 'wstring';
    const units = wide ? value.length : Buffer.byteLength(value, 'utf8');
    if (units > type.bound) {
      throw refuse(RangeError, path, type, `holds at most ${type.bound} ${wide ? 'UTF-16 units' : 'bytes of UTF-8'}; ` +
        `'${value.slice(0, 20)}'... has ${units}`);
    }
  }
  return value;
}

// value as the JSON value that sets a member of type exactly (BigInt for a wide integer); throws
// TypeError or RangeError naming the member where it cannot.
function converted(type, value, path) {
  const kind = type.kind;
  if (value === null || value === undefined) {
    throw refuse(TypeError, path, type, `takes a value, not ${value} (clear() resets the sample)`);
  }
  if (kind in INTEGER_RANGES) return integer(type, value, path);
  if (kind === 'float32' || kind === 'float64') return floating(type, value, path);
  if (kind === 'boolean') {
    if (typeof value !== 'boolean') throw refuse(TypeError, path, type, `takes a boolean, not ${typeName(value)}`);
    return value;
  }
  if (kind === 'char8' || kind === 'char16') {
    const limit = kind === 'char8' ? 0xff : 0xffff;
    let code;
    if (typeof value === 'number' && Number.isInteger(value) && kind === 'char16') code = value;
    else if (typeof value === 'string' && value.length <= 1) code = value ? value.charCodeAt(0) : 0;
    else throw refuse(TypeError, path, type, `takes a string of one character, not ${JSON.stringify(value)}`);
    if (code < 0 || code > limit) {
      throw refuse(RangeError, path, type, `holds characters U+0000 to U+${limit.toString(16).toUpperCase().padStart(4, '0')}, not ${JSON.stringify(value)}`);
    }
    // JSON input reads a char16 from the text of its number, a char8 from its character.
    return kind === 'char16' ? String(code) : code ? String.fromCharCode(code) : '';
  }
  if (kind === 'string' || kind === 'wstring') return text(type, value, path);
  if (kind === 'enum') {
    const enumerators = type.enumerators;
    if (typeof value === 'string' && Object.hasOwn(enumerators, value)) return value;
    if (typeof value === 'number' && Object.values(enumerators).includes(value)) return value;
    if (typeof value !== 'string' && typeof value !== 'number') {
      throw refuse(TypeError, path, type, `takes an enumerator name or value, not ${typeName(value)}`);
    }
    throw refuse(RangeError, path, type, `has no enumerator ${JSON.stringify(value)}; enumerators: ` +
      Object.entries(enumerators).map(([k, v]) => `${k}=${v}`).join(', '));
  }
  if (kind === 'struct' || kind === 'union') {
    if (typeof value !== 'object' || Array.isArray(value)) {
      throw refuse(TypeError, path, type, `takes an object of members, not ${typeName(value)}`);
    }
    const keys = Object.keys(value);
    if (kind === 'union' && keys.length !== 1) {
      throw refuse(RangeError, path, type, `takes one case, not ${keys.length}; cases: ${memberNames(type)}`);
    }
    const out = {};
    for (const key of keys) {
      const where = path ? `${path}.${key}` : key;
      out[key] = converted(memberType(type, key, where), value[key], where);
    }
    return out;
  }
  if (kind === 'sequence' || kind === 'array') {
    if (!Array.isArray(value)) throw refuse(TypeError, path, type, `takes an Array, not ${typeName(value)}`);
    if (kind === 'array' && value.length !== type.length) {
      throw refuse(RangeError, path, type, `takes exactly ${type.length} elements, not ${value.length}`);
    }
    if (kind === 'sequence' && type.bound && value.length > type.bound) {
      throw refuse(RangeError, path, type, `holds at most ${type.bound} elements, not ${value.length}`);
    }
    return value.map((item, i) => converted(type.element, item, `${path}[${i + 1}]`));
  }
  throw refuse(TypeError, path, type, 'members cannot be set by this binding');
}

// ---- JSON with 64-bit integers: BigInt beyond 2^53, both ways ----
const MARK = '\u0000quelt-bigint:';
const MARK_JSON = '\\u0000quelt-bigint:'; // MARK as JSON text writes it

function stringify(value) {
  const text = JSON.stringify(value, (_, v) => (typeof v === 'bigint' ? MARK + v : v));
  return text.includes(MARK_JSON) ? text.replace(/"\\u0000quelt-bigint:(-?\d+)"/g, '$1') : text;
}

// Strings (skipped as they are) or integer literals of 16 digits and more (marked).
const LONG_INTEGERS = /"(?:[^"\\]|\\.)*"|(?<=[:[,]\s*)-?\d{16,}(?=\s*[,\]}])/g;

function reviveWide(_, v) {
  if (typeof v === 'string' && v.startsWith(MARK)) {
    const big = BigInt(v.slice(MARK.length));
    return big >= -(2n ** 53n) && big <= 2n ** 53n ? Number(big) : big;
  }
  return v;
}

// A float printed with all its digits was read as a BigInt: back to a Number where the type says
// the member is not an integer.
function floats(value, type) {
  if (typeof value === 'bigint') return type.kind in INTEGER_RANGES ? value : Number(value);
  if (value === null || typeof value !== 'object') return value;
  if (Array.isArray(value)) {
    if (type.element) for (let i = 0; i < value.length; ++i) value[i] = floats(value[i], type.element);
  } else if (type.byName) {
    for (const key of Object.keys(value)) if (type.byName.has(key)) value[key] = floats(value[key], type.byName.get(key));
  }
  return value;
}

// A sample's JSON text as data (type: its indexed description); integers beyond 2^53 as BigInt.
function parse(text, type) {
  if (!type.wide || !/\d{16}/.test(text)) return JSON.parse(text);
  const marked = text.replace(LONG_INTEGERS, (m) => (m[0] === '"' ? m : `"${MARK_JSON}${m}"`));
  return floats(JSON.parse(marked, reviveWide), type);
}

// ---- member paths: "a", "a.b", "seq[2]" (from 1), a trailing '#' for a length ----
const STEP = /\.?([^.[\]#]+)|\[(\d+)\]/y;

function steps(path) {
  const length = path.endsWith('#');
  const body = length ? path.slice(0, -1) : path;
  const out = [];
  let pos = 0;
  while (pos < body.length) {
    STEP.lastIndex = pos;
    const m = STEP.exec(body);
    if (m === null || (pos === 0 && body.startsWith('.'))) return null;
    out.push(m[1] !== undefined ? m[1] : Number(m[2]));
    pos = STEP.lastIndex;
  }
  return out.length ? { steps: out, length } : null;
}

const MISSING = Symbol('missing');

function walk(data, list) {
  for (const step of list) {
    if (typeof step === 'string' && data !== null && typeof data === 'object' && !Array.isArray(data) && Object.hasOwn(data, step)) {
      data = data[step];
    } else if (typeof step === 'number' && Array.isArray(data) && step >= 1 && step <= data.length) {
      data = data[step - 1];
    } else {
      return MISSING;
    }
  }
  return data;
}

function pathOf(list) {
  return list.map((s, i) => (typeof s === 'number' ? `[${s}]` : i ? `.${s}` : s)).join('');
}

// The type of the member at path; lengthOf(steps) gives a sequence's current length.
function pathType(type, path, lengthOf) {
  const parsed = steps(path);
  if (parsed === null) {
    throw new UnknownNameError(`'${path}' is not a member path ("a", "a.b", "seq[2]"); members: ${memberNames(type)}`);
  }
  if (parsed.length) throw new UnknownNameError(`'${path}': a length cannot be set; set the whole sequence instead`);
  const list = parsed.steps;
  let skip = 0;
  for (let i = 0; i < list.length; ++i) {
    const step = list[i];
    const here = pathOf(list.slice(0, i + 1));
    if (skip) {
      // A further index of a multi-dimensional array: its dimensions are the library's to check.
      skip -= 1;
      if (step < 1) throw new UnknownNameError(`'${here}': array indexes count from 1`);
      continue;
    }
    const parent = pathOf(list.slice(0, i));
    if (typeof step === 'string') {
      if (type.kind !== 'struct' && type.kind !== 'union') {
        throw new UnknownNameError(`'${here}': '${parent}' (${type.kind}) has no members`);
      }
      type = memberType(type, step, here);
      continue;
    }
    if (type.kind !== 'sequence' && type.kind !== 'array') {
      throw new UnknownNameError(`'${here}': '${parent}' (${type.kind}) has no elements`);
    }
    if (type.kind === 'array') {
      while (i + 1 + skip < list.length && typeof list[i + 1 + skip] === 'number') skip += 1;
      if (step < 1 || step > type.length) throw new UnknownNameError(`'${here}': '${parent}' (array) has elements 1 to ${type.length}`);
    } else {
      // An element that exists, or the one after the last (which appends it).
      const count = lengthOf(list.slice(0, i));
      const last = type.bound ? Math.min(count + 1, type.bound) : count + 1;
      if (step < 1 || step > last) {
        throw new UnknownNameError(`'${here}': '${parent}' (sequence) has ${count} elements now; set elements 1 to ` +
          `${last} (one past the end appends) or the whole sequence`);
      }
    }
    type = type.element;
  }
  return type;
}

// The member at path of a sample's data; UnknownNameError naming what exists.
function member(fields, path, type) {
  if (typeof path !== 'string') throw new TypeError(`a member name must be a string, not ${typeName(path)}`);
  if (Object.hasOwn(fields, path)) return fields[path]; // a plain member name, the common case
  const parsed = steps(path);
  let value = parsed === null ? MISSING : walk(fields, parsed.steps);
  if (value !== MISSING && parsed.length) {
    if (Array.isArray(value)) return value.length;
    if (value !== null && typeof value === 'object') return Object.keys(value)[0] ?? null; // a union's case
    value = MISSING;
  }
  if (value === MISSING) {
    if (parsed !== null && type) pathType(type, path.replace(/#$/, ''), () => Number.MAX_SAFE_INTEGER);
    throw new UnknownNameError(`'${path}' is not in the sample (an element past the end, an unset optional member or ` +
      `union case, or not a member path); members: ${memberNames(type || {})}`);
  }
  return value;
}

module.exports = {
  QueltError, UnknownNameError, NUMBER_RANGES, indexed, converted, memberType, pathType, member, walk, steps,
  stringify, parse, typeName,
};
