// The add-in's side of the protocol, over any JavaScript object graph.
//
// `Addin` keeps the object table (the fixed ids 0 to 6, and a fresh id for every
// object, array or dictionary it hands out), executes GET, GETITEM, SET, CALL and DEL,
// holds property writes back between a transaction's start and commit, and reports
// change events for Python functions that arrived as "Python_Function" values.
// `handleText(text)` takes one request as JSON text and gives the JSON texts to send
// back: the invocations of Python functions that the request caused, then its response.
//
// The objects it serves derive from `JsObject` and list their members the way the
// add-in exposes them (readable properties, writable properties, methods with their
// parameters); plain arrays and `Map`s are the arrays and dictionaries of the wire.
// Everything refused throws `AddinError`, whose text becomes the response's
// error.message. The texts are those of the Python stand-in, Python's reprs included
// ('x', None, True), so that one set of scenarios checks both.

export class AddinError extends Error {}

// A Python callable of the kernel, known by its callable id.
export class PythonCallback {
  constructor(callableId) { this.callableId = callableId; }
}

// Base of every object in the table. Subclasses set static jsType, jsProperties
// (readable), jsWritable (readable and writable) and jsMethods ({name: parameters}).
export class JsObject {
  get jsType() { return this.constructor.jsType; }
  get jsProperties() { return this.constructor.jsProperties || []; }
  get jsWritable() { return this.constructor.jsWritable || []; }
  get jsMethods() { return this.constructor.jsMethods || {}; }

  jsGet(name) {
    if (Object.hasOwn(this.jsMethods, name)) {
      return new JsFunction((...a) => this[name](...a), `${this.jsType}.${name}`, this.jsMethods[name]);
    }
    if (this.jsProperties.includes(name) || this.jsWritable.includes(name)) return this[name];
    throw new AddinError(`Property '${name}' does not exist on ${this.jsType}`);
  }

  jsCheckWritable(name) {
    if (this.jsWritable.includes(name)) return;
    if (this.jsProperties.includes(name) || Object.hasOwn(this.jsMethods, name)) {
      throw new AddinError(`Property '${name}' of ${this.jsType} is read-only`);
    }
    throw new AddinError(`Property '${name}' does not exist on ${this.jsType}`);
  }

  jsSet(name, value) {
    this.jsCheckWritable(name);
    this[name] = value;
  }

  jsGetItem(index) { throw new AddinError(`${this.jsType} cannot be indexed`); }
}

// A function of the add-in; only these can be called. `params` lists the parameters
// as Python writes them: "name", "name=default" or "*rest"; the arguments are bound
// to them with Python's texts for what does not fit.
export class JsFunction extends JsObject {
  static jsType = "Function";

  constructor(fn, name, params = ["*args"]) {
    super();
    this.fn = fn;
    this.name = name;
    this.params = params;
  }

  jsCall(args, kwargs) {
    let bound;
    try {
      bound = bind(this.params, args, kwargs);
    } catch (e) {
      if (e instanceof TypeError) throw new AddinError(`Bad arguments for ${this.name}: ${e.message}`);
      throw e;
    }
    return this.fn(...bound);
  }
}

const NO_DEFAULT = Symbol("no default");

function bind(params, args, kwargs) {
  const specs = params.map((p) => {
    if (p.startsWith("*")) return { name: p.slice(1), rest: true };
    const [name, given] = p.split("=");
    return { name, fallback: given === undefined ? NO_DEFAULT : given === "None" ? null : JSON.parse(given) };
  });
  const rest = specs.find((s) => s.rest);
  const named = specs.filter((s) => !s.rest);
  if (args.length > named.length && !rest) throw new TypeError("too many positional arguments");
  const values = args.slice(0, named.length);
  for (const key of Object.keys(kwargs)) {
    const at = named.findIndex((s) => s.name === key);
    if (at < 0) throw new TypeError(`got an unexpected keyword argument '${key}'`);
    if (at < values.length) throw new TypeError(`multiple values for argument '${key}'`);
  }
  for (let i = values.length; i < named.length; i++) {
    if (Object.hasOwn(kwargs, named[i].name)) values.push(kwargs[named[i].name]);
    else if (named[i].fallback !== NO_DEFAULT) values.push(named[i].fallback);
    else throw new TypeError(`missing a required argument: '${named[i].name}'`);
  }
  return rest ? values.concat(args.slice(named.length)) : values;
}

// ---- Python's views of values, for the texts of refusals ---------------------------------

export function pyTypeName(value) {
  if (value === null || value === undefined) return "NoneType";
  if (typeof value === "boolean") return "bool";
  if (typeof value === "bigint") return "int";
  if (typeof value === "number") return Number.isInteger(value) && !Object.is(value, -0) ? "int" : "float";
  if (typeof value === "string") return "str";
  if (Array.isArray(value)) return "list";
  if (value instanceof Uint8Array) return "bytes";
  if (value instanceof JsObject) return value.constructor.name;
  if (value instanceof PythonCallback) return "PythonCallback";
  return "dict";
}

export function pyRepr(value) {
  if (value === null || value === undefined) return "None";
  if (typeof value === "boolean") return value ? "True" : "False";
  if (typeof value === "bigint") return value.toString();
  if (typeof value === "number") {
    if (Number.isNaN(value)) return "nan";
    if (!Number.isFinite(value)) return value > 0 ? "inf" : "-inf";
    return Number.isInteger(value) && !Object.is(value, -0) ? String(value) : floatText(value);
  }
  if (typeof value === "string") {
    const quote = value.includes("'") && !value.includes('"') ? '"' : "'";
    const body = value.replace(/\\/g, "\\\\").replace(/\n/g, "\\n").replace(/\r/g, "\\r").replace(/\t/g, "\\t");
    return quote + (quote === "'" ? body.replace(/'/g, "\\'") : body) + quote;
  }
  if (Array.isArray(value)) return "[" + value.map(pyRepr).join(", ") + "]";
  if (value instanceof Map) return "{" + [...value].map(([k, v]) => `${pyRepr(k)}: ${pyRepr(v)}`).join(", ") + "}";
  if (value instanceof JsObject) return `<${value.jsType}>`;
  if (typeof value === "object") {
    return "{" + Object.entries(value).map(([k, v]) => `${pyRepr(k)}: ${pyRepr(v)}`).join(", ") + "}";
  }
  return String(value);
}

function floatText(x) {
  if (Object.is(x, -0)) return "-0.0";
  const text = String(x);
  return /[.e]/.test(text) ? text : text + ".0";
}

// Python's indexing of a sequence: negative ints, and slices {start, stop, step}
// with null for an empty part.
export class Slice {
  constructor(start, stop, step) { Object.assign(this, { start, stop, step }); }
  toString() { return `${pyRepr(this.start)}:${pyRepr(this.stop)}:${pyRepr(this.step)}`; }

  pick(items) {
    const n = items.length;
    const step = this.step === null ? 1 : this.step;
    if (step === 0) throw new Error("slice step cannot be zero");
    const clamp = (v, low, high) => (v < 0 ? Math.max(v + n, low) : Math.min(v, high));
    let start, stop;
    if (step > 0) {
      start = this.start === null ? 0 : clamp(this.start, 0, n);
      stop = this.stop === null ? n : clamp(this.stop, 0, n);
    } else {
      start = this.start === null ? n - 1 : clamp(this.start, -1, n - 1);
      stop = this.stop === null ? -1 : clamp(this.stop, -1, n - 1);
    }
    const out = [];
    for (let i = start; step > 0 ? i < stop : i > stop; i += step) out.push(items[i]);
    return out;
  }
}

export function sequenceItem(items, index, what) {
  if (index instanceof Slice) return index.pick(items);
  const at = index < 0 ? index + items.length : index;
  if (at < 0 || at >= items.length) {
    throw new AddinError(`Index ${index} is out of range for ${what} of ${items.length} items`);
  }
  return items[at];
}

export function parseIndex(text) {
  if (typeof text !== "string") throw new AddinError(`Bad index ${pyRepr(text)}`);
  const whole = (p) => /^\s*[+-]?\d+\s*$/.test(p);
  const parts = text.split(":");
  if (parts.length === 1 && whole(text)) return Number(text);
  if (parts.length === 3 && parts.every((p) => p === "" || whole(p))) {
    const [start, stop, step] = parts.map((p) => (p === "" ? null : Number(p)));
    return new Slice(start, stop, step);
  }
  throw new AddinError(`Bad index '${text}'`);
}

// ---- JSON as the kernel writes it --------------------------------------------------------
//
// Python's json module writes NaN, Infinity and -Infinity as bare tokens, which JSON
// has not and JSON.parse refuses, and integers of any size, which JSON.parse rounds to
// the nearest double beyond 2^53. Texts with neither go through JSON.parse; the others
// through `parseJson` below, which reads those tokens as the numbers they name and such
// integers as BigInts. `writeJson` writes them back the same way: NaN and the
// infinities as Python's tokens, a BigInt as its digits, -0 as "-0.0" (JSON.stringify
// writes "0"), and a double with an integral value beyond 2^53 with ".0" so that it
// stays a float. Strings are written by JSON.stringify, which escapes lone surrogates.

const LONG_DIGITS = /\d{16}/;

export function readJson(text) {
  if (!LONG_DIGITS.test(text)) {
    try {
      return JSON.parse(text);
    } catch (e) {
      if (!/NaN|Infinity/.test(text)) throw e;
    }
  }
  return parseJson(text);
}

export function parseJson(text) {
  let at = 0;
  const fail = (what) => { throw new SyntaxError(`${what} at position ${at} of the JSON text`); };
  const space = () => { while (at < text.length && " \t\n\r".includes(text[at])) at++; };
  const value = () => {
    space();
    const ch = text[at];
    if (ch === "{") {
      const out = {};
      at++;
      space();
      if (text[at] === "}") { at++; return out; }
      for (;;) {
        space();
        if (text[at] !== '"') fail("Expected a key");
        const key = string();
        space();
        if (text[at++] !== ":") fail("Expected ':'");
        Object.defineProperty(out, key, { value: value(), enumerable: true, writable: true, configurable: true });
        space();
        if (text[at] === ",") { at++; continue; }
        if (text[at++] === "}") return out;
        fail("Expected ',' or '}'");
      }
    }
    if (ch === "[") {
      const out = [];
      at++;
      space();
      if (text[at] === "]") { at++; return out; }
      for (;;) {
        out.push(value());
        space();
        if (text[at] === ",") { at++; continue; }
        if (text[at++] === "]") return out;
        fail("Expected ',' or ']'");
      }
    }
    if (ch === '"') return string();
    for (const [word, meaning] of [["true", true], ["false", false], ["null", null], ["NaN", NaN],
                                   ["Infinity", Infinity], ["-Infinity", -Infinity]]) {
      if (text.startsWith(word, at)) { at += word.length; return meaning; }
    }
    const number = /-?(?:0|[1-9]\d*)(\.\d+)?([eE][+-]?\d+)?/y;
    number.lastIndex = at;
    const match = number.exec(text);
    if (!match) fail("Unexpected character");
    at = number.lastIndex;
    const parsed = Number(match[0]);
    if (!match[1] && !match[2] && !Number.isSafeInteger(parsed)) return BigInt(match[0]);
    return parsed;
  };
  const string = () => {
    const start = at++;
    while (at < text.length && text[at] !== '"') at += text[at] === "\\" ? 2 : 1;
    if (at >= text.length) fail("Unterminated string");
    at++;
    return JSON.parse(text.slice(start, at));
  };
  const out = value();
  space();
  if (at !== text.length) fail("Unexpected text after the value");
  return out;
}

export function writeJson(value) {
  if (value === null || value === undefined) return "null";
  switch (typeof value) {
    case "boolean": return value ? "true" : "false";
    case "bigint": return value.toString();
    case "string": return JSON.stringify(value);
    case "number":
      if (Number.isNaN(value)) return "NaN";
      if (!Number.isFinite(value)) return value > 0 ? "Infinity" : "-Infinity";
      if (Object.is(value, -0)) return "-0.0";
      return Number.isSafeInteger(value) || !Number.isInteger(value) ? String(value) : floatText(value);
    default:
      if (Array.isArray(value)) return "[" + value.map(writeJson).join(",") + "]";
      return "{" + Object.keys(value).map((k) => JSON.stringify(k) + ":" + writeJson(value[k])).join(",") + "}";
  }
}

// ---- Base64, for "Bytes" ----------------------------------------------------------------

export function fromBase64(text) {
  const raw = atob(text || "");
  const out = new Uint8Array(raw.length);
  for (let i = 0; i < raw.length; i++) out[i] = raw.charCodeAt(i);
  return out;
}

export function toBase64(bytes) {
  let raw = "";
  for (let i = 0; i < bytes.length; i += 0x8000) raw += String.fromCharCode(...bytes.subarray(i, i + 0x8000));
  return btoa(raw);
}

// ---- the add-in ------------------------------------------------------------------------

export const FIXED_IDS = 7;
export const ID_LIMIT = 2 ** 53;
const ID_ROOM = 2 ** 32;

// Each incarnation (each load of the page) counts its ids from a base of its own,
// drawn at random from [2^32, 2^53 - 2^32): a late release sent by the kernel for an
// object of an earlier incarnation never names an object of this one. Ids stay below
// 2^53, so a JavaScript number holds every one exactly.
export function randomBase() {
  const words = crypto.getRandomValues(new Uint32Array(2));
  const draw = (words[0] & 0x1fffff) * 2 ** 32 + words[1]; // 53 random bits
  return ID_ROOM + (draw % (ID_LIMIT - 2 * ID_ROOM));
}

export const UNKNOWN_CALLABLE = "unknown_callable";

const NULL = Object.freeze({ type: "Null", value: null, isSpec: false });

// Executes requests against `root`, an object with the fixed members: context,
// excel, getSetting, union, intersect, transaction, getSystemInfo (see workbook.js).
// `onTouch(request)` is called after each request, for the view.
export class Addin {
  constructor(root, { base = randomBase() } = {}) {
    this.root = root;
    this.base = base;
    this.nextId = base;
    this.transaction = root.transaction;
    this.objects = new Map([
      [0, root.context], [1, root.excel], [2, root.getSetting], [3, root.union],
      [4, root.intersect], [5, root.transaction], [6, root.getSystemInfo],
    ]);
  }

  liveIds() { return [...this.objects.keys()].filter((id) => id >= FIXED_IDS).sort((a, b) => a - b); }

  // A new connection of the kernel: the objects handed out before are gone, and so
  // are the open batch and the registered Python functions. Ids go on counting.
  reconnect() {
    for (const id of this.liveIds()) this.objects.delete(id);
    this.transaction.dropBatch();
    this.root.forgetCallbacks();
  }

  handleText(text) {
    const request = readJson(text);
    if (request === null || typeof request !== "object" || Array.isArray(request)) {
      throw new AddinError(`A request must be a JSON object, got ${pyTypeName(request)}`);
    }
    // The kernel's notice that it no longer knows a callable (a reset forgot it): the
    // handlers registered with it are dropped, so that no event is made for them again.
    // A notice is not a request and gets no answer.
    if (request.kind === UNKNOWN_CALLABLE) {
      this.root.forgetCallable(request.callableId);
      return [];
    }
    const response = this.handle(request);
    const events = this.root.takeEvents().map(([handler, event]) => ({
      type: "invoke_callable", callableId: handler.callableId, args: [this.toWire(event)],
    }));
    return [...events, response].map(writeJson);
  }

  handle(request) {
    const head = { type: "excel_response", requestId: request.requestId === undefined ? null : request.requestId };
    try {
      return { ...head, ok: true, result: this.execute(request) };
    } catch (e) {
      const message = e instanceof AddinError ? e.message : `${e.name}: ${e.message}`;
      return { ...head, ok: false, error: { message } };
    }
  }

  execute(request) {
    const { method, name, caller } = request;
    const target = this.lookup(caller);
    if (method === "GET") {
      const value = this.get(target, name);
      if (this.transaction.blockGets && target !== this.transaction && !(value instanceof JsObject)) {
        throw new AddinError(`Reading '${name}' is blocked while the transaction is open`);
      }
      return this.toWire(value);
    }
    if (method === "GETITEM") return this.toWire(this.getItem(target, parseIndex(name)));
    if (method === "SET") {
      const value = this.fromWire(request.value);
      if (typeof name !== "string") throw new AddinError(`A property name must be a string, got ${pyTypeName(name)}`);
      if (!(target instanceof JsObject)) throw new AddinError(`Cannot set '${name}' on ${typeName(target)}`);
      if (this.transaction.batch !== null && target !== this.transaction) {
        target.jsCheckWritable(name);
        this.transaction.batch.push([target, name, value]);
      } else {
        target.jsSet(name, value);
      }
      return NULL;
    }
    if (method === "CALL") {
      if (!(target instanceof JsFunction)) {
        throw new AddinError(`Object ${pyRepr(caller)} (${typeName(target)}) is not a function`);
      }
      const [args, kwargs] = this.arguments(request.args);
      return this.toWire(target.jsCall(args, kwargs));
    }
    if (method === "DEL") {
      // The fixed objects live as long as the add-in: releasing one does nothing.
      if (caller >= FIXED_IDS) this.objects.delete(caller);
      return NULL;
    }
    throw new AddinError(`Unknown request method ${pyRepr(method === undefined ? null : method)}`);
  }

  lookup(id) {
    if (typeof id !== "number" || !Number.isInteger(id) || !this.objects.has(id)) {
      throw new AddinError(`Unknown object id ${pyRepr(id)}`);
    }
    return this.objects.get(id);
  }

  get(target, name) {
    if (typeof name !== "string") throw new AddinError(`A property name must be a string, got ${pyTypeName(name)}`);
    if (target instanceof JsObject) return target.jsGet(name);
    if (Array.isArray(target) && name === "length") return target.length;
    if (target instanceof Map && target.has(name)) return target.get(name);
    throw new AddinError(`Property '${name}' does not exist on ${typeName(target)}`);
  }

  getItem(target, index) {
    if (target instanceof JsObject) return target.jsGetItem(index);
    if (Array.isArray(target)) return sequenceItem(target, index, "an array");
    throw new AddinError(`${typeName(target)} cannot be indexed`);
  }

  arguments(entries) {
    if (!Array.isArray(entries)) throw new AddinError("CALL needs an 'args' list");
    const args = [];
    const kwargs = {};
    for (const entry of entries) {
      const kind = entry !== null && typeof entry === "object" && !Array.isArray(entry) ? entry.arg_type : undefined;
      if (kind === "PLACED") args.push(this.fromWire(entry.value));
      else if (kind === "NAMED" && typeof entry.name === "string") kwargs[entry.name] = this.fromWire(entry.value);
      else throw new AddinError(`Bad argument entry ${pyRepr(entry)}`);
    }
    return [args, kwargs];
  }

  newId(value) {
    const id = this.nextId++;
    if (id >= ID_LIMIT) throw new AddinError("The add-in has handed out every object id it may use");
    this.objects.set(id, value);
    return id;
  }

  toWire(value) {
    if (value === null || value === undefined) return NULL;
    switch (typeof value) {
      case "boolean": return { type: "Bool", value, isSpec: false };
      case "bigint": return { type: "Int", value, isSpec: false };
      case "number":
        return { type: Number.isSafeInteger(value) && !Object.is(value, -0) ? "Int" : "Float", value, isSpec: false };
      case "string": return { type: "String", value, isSpec: false };
      default: break;
    }
    if (value instanceof Uint8Array) return { type: "Bytes", value: toBase64(value), isSpec: false };
    if (Array.isArray(value)) {
      return { type: "Array", value: value.map((v) => this.toWire(v)), isSpec: false, id: this.newId([...value]) };
    }
    if (value instanceof Map) {
      const entries = {};
      for (const [k, v] of value) entries[k] = this.toWire(v);
      return { type: "Dict", value: entries, isSpec: false, id: this.newId(new Map(value)) };
    }
    if (value instanceof JsObject) return { type: value.jsType, value: this.newId(value), isSpec: true };
    if (value instanceof PythonCallback) return { type: "Python_Function", value: value.callableId, isSpec: true };
    throw new AddinError(`Cannot send a value of type ${pyTypeName(value)}`);
  }

  fromWire(wire) {
    if (wire === null || typeof wire !== "object" || Array.isArray(wire)) {
      throw new AddinError(`Expected a wire value, got ${pyRepr(wire)}`);
    }
    const tag = wire.type;
    const value = wire.value === undefined ? null : wire.value;
    if (["Null", "Bool", "Int", "Float", "String", "Date"].includes(tag)) return value; // dates stay ISO text
    if (tag === "Bytes") return fromBase64(value);
    if (tag === "Array") return (value || []).map((v) => this.fromWire(v));
    if (tag === "Dict") {
      const out = new Map();
      for (const [k, v] of Object.entries(value || {})) out.set(k, this.fromWire(v));
      return out;
    }
    if (tag === "Python_Function") {
      if (typeof value !== "string") throw new AddinError(`A Python function is named by a string id, not ${pyRepr(value)}`);
      return new PythonCallback(value);
    }
    if (wire.isSpec) return this.lookup(value);
    throw new AddinError(`Unsupported wire value type ${pyRepr(tag === undefined ? null : tag)}`);
  }
}

export function typeName(value) {
  if (value instanceof JsObject) return value.jsType;
  if (Array.isArray(value)) return "Array";
  if (value instanceof Map) return "Dict";
  return pyTypeName(value);
}
