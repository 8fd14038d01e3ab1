// A small spreadsheet, the same one the Python stand-in offers: a workbook of
// worksheets of cells, ranges, number formats, a few style flags, change events, and
// formulas (text starting with "=", computed on read: arithmetic, cell references,
// SUM, AVERAGE, MIN, MAX and COUNT over ranges).
//
// Every change of cells is reported to `workbook.onTouch(sheet, rect, how)` as well,
// for the view: "read" or "write".

import { AddinError, JsFunction, JsObject, PythonCallback, pyRepr, pyTypeName, sequenceItem, Slice } from "./protocol.js";

const CELL = /^\$?([A-Za-z]{1,3})\$?([0-9]+)$/;

export function columnLetters(column) {
  let letters = "";
  for (column += 1; column; column = Math.floor((column - 1) / 26)) {
    letters = String.fromCharCode(65 + ((column - 1) % 26)) + letters;
  }
  return letters;
}

function parseCell(text) {
  const match = CELL.exec(text.trim());
  if (!match) throw new AddinError(`Invalid cell address '${text}'`);
  let column = 0;
  for (const ch of match[1].toUpperCase()) column = column * 26 + ch.charCodeAt(0) - 64;
  const row = Number(match[2]);
  if (row < 1) throw new AddinError(`Invalid cell address '${text}'`);
  return [row - 1, column - 1];
}

// A rectangle of cells, corners included.
export class Rect {
  constructor(top, left, bottom, right) { Object.assign(this, { top, left, bottom, right }); }

  static parse(text) {
    const colon = text.indexOf(":");
    const [first, last] = colon < 0 ? [text, ""] : [text.slice(0, colon), text.slice(colon + 1)];
    const [top, left] = parseCell(first);
    const [bottom, right] = parseCell(last || first);
    return new Rect(Math.min(top, bottom), Math.min(left, right), Math.max(top, bottom), Math.max(left, right));
  }

  get rows() { return this.bottom - this.top + 1; }
  get columns() { return this.right - this.left + 1; }

  address() {
    const first = `${columnLetters(this.left)}${this.top + 1}`;
    const last = `${columnLetters(this.right)}${this.bottom + 1}`;
    return first === last ? first : `${first}:${last}`;
  }

  *cells() {
    for (let row = this.top; row <= this.bottom; row++) {
      for (let column = this.left; column <= this.right; column++) yield [row, column];
    }
  }

  intersect(other) {
    const r = new Rect(Math.max(this.top, other.top), Math.max(this.left, other.left),
      Math.min(this.bottom, other.bottom), Math.min(this.right, other.right));
    return r.top <= r.bottom && r.left <= r.right ? r : null;
  }

  equals(other) {
    return other !== null && this.top === other.top && this.left === other.left &&
      this.bottom === other.bottom && this.right === other.right;
  }

  contains(other) { return other.equals(this.intersect(other)); }
}

const key = (row, column) => `${row},${column}`;
const unkey = (k) => k.split(",").map(Number);

function splitAddress(text) {
  if (typeof text !== "string") throw new AddinError(`An address must be a string, got ${pyTypeName(text)}`);
  const bang = text.lastIndexOf("!");
  const sheet = bang < 0 ? "" : text.slice(0, bang).replace(/^'+|'+$/g, "");
  return [sheet || null, Rect.parse(text.slice(bang + 1))];
}

// ---- formulas ------------------------------------------------------------------------------
//
// The formula is upper-cased and its references are bound to names first (a single
// cell to its value, an empty one counting as 0; a range to the list of its values);
// what remains must be arithmetic (+ - * / ** and signs), numbers, texts and calls of
// the five functions. A name of anything else gives #NAME?, a division by zero
// #DIV/0!, any other failure #VALUE!, and a chain of references deeper than 50 #REF!.

const REF = /\$?\b([A-Z]{1,3})\$?([0-9]+)(?::\$?([A-Z]{1,3})\$?([0-9]+))?\b(?!\()/g;

class DivisionByZero extends Error {}
class NotAllowed extends Error {}

const numbers = (args) => args.flat().filter((v) => typeof v === "number" || typeof v === "bigint").map(Number);
const FUNCTIONS = {
  SUM: (...a) => numbers(a).reduce((s, v) => s + v, 0),
  AVERAGE: (...a) => {
    const n = numbers(a);
    if (!n.length) throw new DivisionByZero();
    return n.reduce((s, v) => s + v, 0) / n.length;
  },
  MIN: (...a) => (numbers(a).length ? Math.min(...numbers(a)) : 0),
  MAX: (...a) => (numbers(a).length ? Math.max(...numbers(a)) : 0),
  COUNT: (...a) => numbers(a).length,
};

function tokenize(text) {
  const tokens = [];
  const pattern = /\s*(?:(\d+\.?\d*(?:E[+-]?\d+)?|\.\d+(?:E[+-]?\d+)?)|("(?:[^"\\]|\\.)*"|'(?:[^'\\]|\\.)*')|([A-Z_][A-Z0-9_]*)|(\*\*|\/\/|==|!=|<=|>=|<<|>>|[-+*\/(),%<>&|^~\[\]{}.:@=]))/y;
  let at = 0;
  while (at < text.length) {
    if (/^\s*$/.test(text.slice(at))) break;
    pattern.lastIndex = at;
    const m = pattern.exec(text);
    if (!m) throw new SyntaxError("bad formula");
    at = pattern.lastIndex;
    if (m[1] !== undefined) tokens.push({ kind: "number", value: Number(m[1]) });
    else if (m[2] !== undefined) tokens.push({ kind: "text", value: m[2].slice(1, -1) });
    else if (m[3] !== undefined) tokens.push({ kind: "name", value: m[3] });
    else tokens.push({ kind: "op", value: m[4] });
  }
  return tokens;
}

function parseFormula(tokens) {
  let at = 0;
  const peek = () => tokens[at];
  const isOp = (...ops) => peek() && peek().kind === "op" && ops.includes(peek().value);
  const expect = (op) => {
    if (!isOp(op)) throw new SyntaxError("bad formula");
    at++;
  };
  const sum = () => {
    let left = product();
    while (isOp("+", "-")) left = { op: tokens[at++].value, left, right: product() };
    return left;
  };
  const product = () => {
    let left = unary();
    while (isOp("*", "/")) left = { op: tokens[at++].value, left, right: unary() };
    return left;
  };
  const unary = () => (isOp("+", "-") ? { op: "u" + tokens[at++].value, operand: unary() } : power());
  const power = () => {
    const base = atom();
    return isOp("**") ? (at++, { op: "**", left: base, right: unary() }) : base;
  };
  const atom = () => {
    const token = tokens[at++];
    if (!token) throw new SyntaxError("bad formula");
    if (token.kind === "number" || token.kind === "text") return { constant: token.value };
    if (token.kind === "name") {
      if (!isOp("(")) return { name: token.value };
      at++;
      const args = [];
      while (!isOp(")")) {
        args.push(sum());
        if (!isOp(")")) expect(",");
      }
      at++;
      return { call: token.value, args };
    }
    if (token.value === "(") {
      const inner = sum();
      expect(")");
      return inner;
    }
    // Valid in the language the formulas borrow, but none of their business.
    throw new (["[", "{", "~", "."].includes(token.value) ? NotAllowed : SyntaxError)("bad formula");
  };
  const tree = sum();
  if (at < tokens.length) {
    const rest = tokens[at];
    throw new (rest.kind === "op" && rest.value !== "(" && rest.value !== ")" ? NotAllowed : SyntaxError)("bad formula");
  }
  return tree;
}

function names(tree, out = []) {
  if (tree.name) out.push(tree.name);
  if (tree.call) out.push(tree.call);
  for (const part of [tree.left, tree.right, tree.operand, ...(tree.args || [])]) if (part) names(part, out);
  return out;
}

const isNumber = (v) => typeof v === "number" || typeof v === "boolean" || typeof v === "bigint";

function arithmetic(op, a, b) {
  if (isNumber(a) && isNumber(b)) {
    const [x, y] = [Number(a), Number(b)];
    if (op === "+") return x + y;
    if (op === "-") return x - y;
    if (op === "*") return x * y;
    if (op === "/") {
      if (y === 0) throw new DivisionByZero();
      return x / y;
    }
    if (x === 0 && y < 0) throw new DivisionByZero();
    return x ** y;
  }
  if (op === "+" && typeof a === "string" && typeof b === "string") return a + b;
  if (op === "*" && typeof a === "string" && Number.isInteger(b)) return a.repeat(Math.max(b, 0));
  if (op === "*" && typeof b === "string" && Number.isInteger(a)) return b.repeat(Math.max(a, 0));
  throw new TypeError("unsupported operand types");
}

function run(tree, bound) {
  if ("constant" in tree) return tree.constant;
  if (tree.name) return bound[tree.name];
  if (tree.call) {
    const fn = FUNCTIONS[tree.call];
    if (!fn) throw new TypeError("not callable");
    return fn(...tree.args.map((a) => run(a, bound)));
  }
  if (tree.op === "u-" || tree.op === "u+") {
    const v = run(tree.operand, bound);
    if (!isNumber(v)) throw new TypeError("bad operand type");
    return tree.op === "u-" ? -Number(v) : Number(v);
  }
  return arithmetic(tree.op, run(tree.left, bound), run(tree.right, bound));
}

export function evaluate(sheet, formula, depth = 0) {
  if (depth > 50) return "#REF!";
  const bound = {};
  let count = 0;
  const reference = (match, _a, _b, end) => {
    const name = `_R${count++}`;
    const values = [...Rect.parse(match).cells()].map(([r, c]) => sheet.computed(r, c, depth + 1));
    bound[name] = end ? values : values[0] === "" ? 0 : values[0];
    return name;
  };
  try {
    const expression = formula.slice(1).trim().toUpperCase().replace(REF, reference);
    const tree = parseFormula(tokenize(expression));
    if (names(tree).some((n) => !(n in bound) && !(n in FUNCTIONS))) return "#NAME?";
    return run(tree, bound);
  } catch (e) {
    if (e instanceof DivisionByZero) return "#DIV/0!";
    if (e instanceof NotAllowed) return "#NAME?";
    return "#VALUE!";
  }
}

// ---- the model ----------------------------------------------------------------------------

export class Workbook extends JsObject {
  static jsType = "Workbook";
  static jsProperties = ["name", "worksheets"];

  constructor(name = "Book1") {
    super();
    this.name = name;
    this.worksheets = new WorksheetCollection(this);
    this.registrations = [];
    this.pendingEvents = [];
    this.onTouch = () => {};
    this.worksheets.add("Sheet1");
  }

  cellsChanged(sheet, rect) {
    this.onTouch(sheet, rect, "write");
    for (const reg of this.registrations) {
      const changed = reg.rect === null ? rect : rect.intersect(reg.rect);
      if (reg.sheet === sheet && changed !== null) {
        const event = new Map([["type", "WorksheetChanged"], ["worksheet", sheet.name],
          ["address", changed.address()], ["changeType", "RangeEdited"]]);
        this.pendingEvents.push([reg.handler, event]);
      }
    }
  }

  takeEvents() {
    const events = this.pendingEvents;
    this.pendingEvents = [];
    return events;
  }
}

export class WorksheetCollection extends JsObject {
  static jsType = "WorksheetCollection";
  static jsProperties = ["count", "items"];
  static jsMethods = { getItem: ["key"], add: ["name=None"], getActiveWorksheet: [] };

  constructor(workbook) {
    super();
    this.workbook = workbook;
    this.sheets = [];
    this.active = null;
  }

  get count() { return this.sheets.length; }
  get items() { return [...this.sheets]; }

  getItem(name) {
    const found = this.sheets.find((s) => s.name === name);
    if (!found) throw new AddinError(`The worksheet '${name}' does not exist`);
    return found;
  }

  add(name = null) {
    if (name === null) name = `Sheet${this.sheets.length + 1}`;
    if (typeof name !== "string" || !name) throw new AddinError("A worksheet name must be a non-empty string");
    if (this.sheets.some((s) => s.name === name)) throw new AddinError(`A worksheet named '${name}' already exists`);
    const sheet = new Worksheet(this.workbook, name);
    this.sheets.push(sheet);
    this.active = this.active || sheet;
    this.workbook.onTouch(sheet, null, "sheet");
    return sheet;
  }

  getActiveWorksheet() {
    if (this.active === null) throw new AddinError("The workbook has no worksheet");
    return this.active;
  }

  jsGetItem(index) { return sequenceItem(this.sheets, index, "a collection"); }
}

export class Worksheet extends JsObject {
  static jsType = "Worksheet";
  static jsProperties = ["onChanged"];
  static jsWritable = ["name"];
  static jsMethods = { getRange: ['address="A1"'], activate: [] };

  constructor(workbook, name) {
    super();
    this.workbook = workbook;
    this._name = name;
    this.values = new Map(); // constants and formula texts, by "row,column"
    this.formats = new Map();
    this.styles = new Map();
  }

  get name() { return this._name; }
  set name(value) {
    if (typeof value !== "string" || !value) throw new AddinError("A worksheet name must be a non-empty string");
    this._name = value;
    this.workbook.onTouch(this, null, "sheet");
  }

  get onChanged() { return new EventSource(this, null); }

  getRange(address) {
    const [sheet, rect] = splitAddress(address);
    return new Range(sheet === null ? this : this.workbook.worksheets.getItem(sheet), rect);
  }

  activate() {
    this.workbook.worksheets.active = this;
    this.workbook.onTouch(this, null, "sheet");
  }

  // The smallest rectangle from A1 that holds every non-empty cell.
  used() {
    if (!this.values.size) return null;
    let bottom = 0, right = 0;
    for (const k of this.values.keys()) {
      const [r, c] = unkey(k);
      bottom = Math.max(bottom, r);
      right = Math.max(right, c);
    }
    return new Rect(0, 0, bottom, right);
  }

  // The computed values of the used cells, as rows.
  table() {
    const rect = this.used();
    return rect ? new Range(this, rect).values : [];
  }

  computed(row, column, depth = 0) {
    const value = this.values.has(key(row, column)) ? this.values.get(key(row, column)) : "";
    return typeof value === "string" && value.startsWith("=") ? evaluate(this, value, depth) : value;
  }

  // The text a cell shows: its number format applied ("0.00", "#,##0.0").
  shown(row, column) {
    const value = this.computed(row, column);
    const format = this.formats.get(key(row, column)) || "General";
    const decimals = /^[#,0]*0\.(0+)$/.exec(format);
    if (decimals && typeof value === "number") {
      const digits = decimals[1].length;
      return format.includes(",")
        ? value.toLocaleString("en-US", { minimumFractionDigits: digits, maximumFractionDigits: digits })
        : value.toFixed(digits);
    }
    if (value === null) return "None";
    if (value instanceof Uint8Array) return `b'${[...value].map((b) => String.fromCharCode(b)).join("")}'`;
    if (typeof value === "boolean") return value ? "True" : "False";
    return typeof value === "number" ? pyRepr(value) : String(value);
  }

  write(rect, grid, store) {
    let i = 0;
    const flat = grid.flat();
    for (const [row, column] of rect.cells()) {
      const value = flat[i++];
      if (value === null || value === "") store.delete(key(row, column));
      else store.set(key(row, column), value);
    }
    if (store === this.values) this.workbook.cellsChanged(this, rect);
    else this.workbook.onTouch(this, rect, "write");
  }
}

// A write's value as rows: a single value fills the range; an array must fit it.
function toGrid(rect, value, what) {
  if (!Array.isArray(value)) return Array.from({ length: rect.rows }, () => Array(rect.columns).fill(value));
  if (value.length !== rect.rows || value.some((r) => !Array.isArray(r) || r.length !== rect.columns)) {
    throw new AddinError(`The ${what} given do not match the size of the range (${rect.rows} rows, ` +
      `${rect.columns} columns)`);
  }
  for (const row of value) {
    for (const cell of row) {
      if (Array.isArray(cell) || cell instanceof Map) {
        throw new AddinError(`A cell cannot hold a ${Array.isArray(cell) ? "list" : "dict"}`);
      }
    }
  }
  return value;
}

export class Range extends JsObject {
  static jsType = "Range";
  static jsProperties = ["address", "rowCount", "columnCount", "format", "worksheet", "onChanged"];
  static jsWritable = ["values", "formulas", "numberFormat"];
  static jsMethods = { getCell: ["row", "column"], clear: ['applyTo="All"'] };

  constructor(sheet, rect) {
    super();
    this.sheet = sheet;
    this.rect = rect;
  }

  rows(read) {
    const r = this.rect;
    const out = [];
    for (let row = r.top; row <= r.bottom; row++) {
      const line = [];
      for (let column = r.left; column <= r.right; column++) line.push(read(row, column));
      out.push(line);
    }
    this.sheet.workbook.onTouch(this.sheet, r, "read");
    return out;
  }

  get address() { return `${this.sheet.name}!${this.rect.address()}`; }
  get rowCount() { return this.rect.rows; }
  get columnCount() { return this.rect.columns; }
  get worksheet() { return this.sheet; }
  get format() { return new RangeFormat(this); }
  get onChanged() { return new EventSource(this.sheet, this.rect); }

  get values() { return this.rows((r, c) => this.sheet.computed(r, c)); }
  set values(value) { this.sheet.write(this.rect, toGrid(this.rect, value, "values"), this.sheet.values); }

  get formulas() {
    return this.rows((r, c) => (this.sheet.values.has(key(r, c)) ? this.sheet.values.get(key(r, c)) : ""));
  }
  set formulas(value) { this.sheet.write(this.rect, toGrid(this.rect, value, "formulas"), this.sheet.values); }

  get numberFormat() { return this.rows((r, c) => this.sheet.formats.get(key(r, c)) || "General"); }
  set numberFormat(value) {
    this.sheet.write(this.rect, toGrid(this.rect, value, "number formats"), this.sheet.formats);
  }

  getCell(row, column) {
    for (const [name, n, size] of [["row", row, this.rect.rows], ["column", column, this.rect.columns]]) {
      if (typeof n !== "number" || !Number.isInteger(n) || n < 0 || n >= size) {
        throw new AddinError(`getCell: ${name} ${pyRepr(n)} is outside the range (${size} ${name}s)`);
      }
    }
    const top = this.rect.top + row, left = this.rect.left + column;
    return new Range(this.sheet, new Rect(top, left, top, left));
  }

  clear(applyTo) {
    if (!["All", "Contents", "Formats"].includes(applyTo)) {
      throw new AddinError(`clear: applyTo must be 'All', 'Contents' or 'Formats', not ${pyRepr(applyTo)}`);
    }
    for (const [row, column] of this.rect.cells()) {
      if (applyTo !== "Formats") this.sheet.values.delete(key(row, column));
      if (applyTo !== "Contents") {
        this.sheet.formats.delete(key(row, column));
        this.sheet.styles.delete(key(row, column));
      }
    }
    if (applyTo !== "Formats") this.sheet.workbook.cellsChanged(this.sheet, this.rect);
    else this.sheet.workbook.onTouch(this.sheet, this.rect, "write");
  }

  // Rows of the range: an int gives one row, a slice a range of rows.
  jsGetItem(index) {
    const rows = Array.from({ length: this.rect.rows }, (_, i) => this.rect.top + i);
    const picked = sequenceItem(rows, index, "a range");
    if (index instanceof Slice) {
      if (!picked.length || ![null, 1].includes(index.step)) {
        throw new AddinError(`The rows ${pyRepr(index.start)}:${pyRepr(index.stop)}:${pyRepr(index.step)} ` +
          "do not form a range");
      }
      return new Range(this.sheet, new Rect(picked[0], this.rect.left, picked[picked.length - 1], this.rect.right));
    }
    return new Range(this.sheet, new Rect(picked, this.rect.left, picked, this.rect.right));
  }
}

// Several rectangles of one worksheet (what a union may give).
export class RangeAreas extends JsObject {
  static jsType = "RangeAreas";
  static jsProperties = ["address", "areaCount", "areas"];

  constructor(sheet, rects) {
    super();
    this.sheet = sheet;
    this.rects = rects;
  }

  get address() { return this.rects.map((r) => `${this.sheet.name}!${r.address()}`).join(","); }
  get areaCount() { return this.rects.length; }
  get areas() { return this.rects.map((r) => new Range(this.sheet, r)); }
}

export class RangeFormat extends JsObject {
  static jsType = "RangeFormat";
  static jsProperties = ["font", "fill"];

  constructor(target) {
    super();
    this.font = new StyleGroup(target, "RangeFont", ["bold", "italic", "color"]);
    this.fill = new StyleGroup(target, "RangeFill", ["color"]);
  }
}

// Font or fill of a range: a read gives the common value, or null when cells differ.
class StyleGroup extends JsObject {
  constructor(target, jsType, keys) {
    super();
    this.target = target;
    this.type = jsType;
    this.keys = keys;
    this.prefix = jsType.slice(5).toLowerCase() + ".";
  }

  get jsType() { return this.type; }
  get jsWritable() { return this.keys; }

  jsGet(name) {
    if (!this.keys.includes(name)) return super.jsGet(name);
    const { sheet, rect } = this.target;
    const found = new Set([...rect.cells()].map(([r, c]) => {
      const style = sheet.styles.get(key(r, c));
      return style && Object.hasOwn(style, this.prefix + name) ? style[this.prefix + name] : null;
    }));
    return found.size === 1 ? [...found][0] : null;
  }

  jsSet(name, value) {
    this.jsCheckWritable(name);
    const { sheet, rect } = this.target;
    for (const [r, c] of rect.cells()) {
      if (!sheet.styles.has(key(r, c))) sheet.styles.set(key(r, c), {});
      sheet.styles.get(key(r, c))[this.prefix + name] = value;
    }
    sheet.workbook.onTouch(sheet, rect, "write");
  }
}

class EventSource extends JsObject {
  static jsType = "EventHandlers";
  static jsMethods = { add: ["handler"] };

  constructor(sheet, rect) {
    super();
    this.sheet = sheet;
    this.rect = rect;
  }

  add(handler) {
    if (!(handler instanceof PythonCallback)) throw new AddinError("add: the handler must be a Python function");
    const registration = new EventRegistration(this.sheet, this.rect, handler);
    this.sheet.workbook.registrations.push(registration);
    return registration;
  }
}

class EventRegistration extends JsObject {
  static jsType = "EventHandlerResult";
  static jsMethods = { remove: [] };

  constructor(sheet, rect, handler) {
    super();
    Object.assign(this, { sheet, rect, handler });
  }

  remove() {
    const all = this.sheet.workbook.registrations;
    if (all.includes(this)) all.splice(all.indexOf(this), 1);
  }
}

// One Range when the pieces make one rectangle, else RangeAreas.
export function union(...ranges) {
  const [sheet, rects] = sameSheet(ranges, "Union", 2);
  let kept = [];
  for (const r of rects) {
    if (!kept.some((k) => k.contains(r))) kept = kept.filter((k) => !r.contains(k)).concat([r]);
  }
  return kept.length === 1 ? new Range(sheet, kept[0]) : new RangeAreas(sheet, kept);
}

// The common rectangle, or null when the ranges do not meet.
export function intersect(...ranges) {
  const [sheet, rects] = sameSheet(ranges, "Intersect", 2);
  let common = rects[0];
  for (const r of rects.slice(1)) common = common ? common.intersect(r) : null;
  return common ? new Range(sheet, common) : null;
}

function sameSheet(ranges, what, least) {
  if (ranges.length < least || !ranges.every((r) => r instanceof Range || r instanceof RangeAreas)) {
    throw new AddinError(`${what} takes at least ${least} ranges`);
  }
  if (new Set(ranges.map((r) => r.sheet)).size !== 1) {
    throw new AddinError(`${what}: the ranges must be on the same worksheet`);
  }
  return [ranges[0].sheet, ranges.flatMap((r) => (r instanceof RangeAreas ? r.rects : [r.rect]))];
}

// ---- the fixed objects -----------------------------------------------------------------------

class RequestContext extends JsObject {
  static jsType = "RequestContext";
  static jsProperties = ["workbook"];
  constructor(workbook) { super(); this.workbook = workbook; }
}

class ExcelRoot extends JsObject {
  static jsType = "Excel";
  static jsProperties = ["workbook"];
  constructor(workbook) { super(); this.workbook = workbook; }
}

// The transaction (id 5): start(context, block_gets) opens a batch of property
// writes, commit() applies it. A batch never committed (a rollback) is dropped by the
// next start or a new connection, never by a release: every transaction of the bridge
// shares id 5, so the release of an earlier one can arrive while a later one is open.
class Transaction extends JsObject {
  static jsType = "Transaction";
  static jsMethods = { start: ["context", "block_gets=false"], commit: [] };

  constructor() {
    super();
    this.batch = null;
    this.blockGets = false;
    this.commits = [];
    this.discarded = [];
  }

  start(context, blockGets) {
    if (!(context instanceof RequestContext)) throw new AddinError("start: the first argument must be the request context");
    this.dropBatch();
    this.batch = [];
    this.blockGets = Boolean(blockGets);
  }

  commit() {
    if (this.batch === null) throw new AddinError("commit: no transaction is open");
    const batch = this.batch;
    this.batch = null;
    this.blockGets = false;
    this.commits.push(batch.length);
    for (const [target, name, value] of batch) target.jsSet(name, value);
  }

  dropBatch() {
    if (this.batch !== null) this.discarded.push(this.batch.length);
    this.batch = null;
    this.blockGets = false;
  }
}

export const DEFAULT_SETTINGS = { theme: "light", locale: "en-US", calculationMode: "automatic" };
export const DEFAULT_SYSTEM_INFO = { host: "Excel", platform: "Simulated", version: "16.0", addinVersion: "1.0.0" };

// The members of the object table that exist before the first request.
export function makeRoot(workbook = new Workbook(), settings = DEFAULT_SETTINGS, systemInfo = DEFAULT_SYSTEM_INFO) {
  const getSetting = (name, fallback) => {
    if (typeof name !== "string") throw new AddinError(`GetSetting: the name must be a string, got ${pyTypeName(name)}`);
    return Object.hasOwn(settings, name) ? settings[name] : fallback;
  };
  return {
    workbook,
    context: new RequestContext(workbook),
    excel: new ExcelRoot(workbook),
    getSetting: new JsFunction(getSetting, "GetSetting", ["name", "default=None"]),
    union: new JsFunction(union, "Union", ["*ranges"]),
    intersect: new JsFunction(intersect, "Intersect", ["*ranges"]),
    transaction: new Transaction(),
    getSystemInfo: new JsFunction(() => new Map(Object.entries(systemInfo)), "GetSystemInfo", []),
    takeEvents: () => workbook.takeEvents(),
    forgetCallable: (callableId) => {
      const kept = (handler) => handler.callableId !== callableId;
      workbook.registrations = workbook.registrations.filter((r) => kept(r.handler));
      workbook.pendingEvents = workbook.pendingEvents.filter(([handler]) => kept(handler));
    },
    forgetCallbacks: () => {
      workbook.registrations.length = 0;
      workbook.pendingEvents.length = 0;
    },
  };
}
