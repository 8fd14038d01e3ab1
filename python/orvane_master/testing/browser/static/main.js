// The page: connects out to the relay that served it, executes each request it
// relays from the kernel, and shows the workbook: sheet tabs, a grid in which the cells
// of the last request that touched cells are outlined (in a colour that no cell format
// of the demo uses: solid written, dashed read), and the requests and responses. Each
// request is numbered, as the count in the header counts it, and its response carries
// the same number; an object is labelled by its type, `Worksheet#…`, as the Python
// transcripts label it.
//
// Messages from the relay itself are {"type": "relay", "event": ...}: "kernel_connected"
// when a kernel's connection began and "kernel_closed" when it ended (either way the
// add-in forgets what it handed out, as after any connection of the kernel), and
// "state", a question about what the page holds, answered with {"type": "relay_state", ...}.
// The relay lets in one page: when another one connects (a reload, the page opened
// twice), it closes this one with the code REPLACED, and this one stays closed.
//
// `window.orv` is the page's surface for a driving browser: the add-in, the workbook,
// and `renderNow()`, which draws at once what is otherwise drawn at the next frame.

import { Addin, FIXED_IDS, pyRepr, readJson, typeName, writeJson } from "./protocol.js";
import { columnLetters, makeRoot, Rect, Workbook } from "./workbook.js";

const MAX_ROWS = 100;
const MAX_COLUMNS = 30;
const LOG_LINES = 400;
const REPLACED = 4000;

const workbook = new Workbook();
const addin = new Addin(makeRoot(workbook));
const $ = (id) => document.getElementById(id);

let touched = []; // [sheet, rect, how] of the request being executed
let highlighted = []; // ... of the last request that touched cells
let highlightedBy = 0; // that request's number
let shownSheet = null;
let logEntries = []; // [kind, text, request number or 0]
let drawPending = false;
let gridDirty = true; // the grid is drawn again only after a request touched cells or sheets
const stats = { requests: 0, kernels: 0 };

workbook.onTouch = (sheet, rect, how) => touched.push([sheet, rect, how]);

// ---- the connection ------------------------------------------------------------------

let socket = null;

function connect() {
  setStatus("waiting", "waiting for the relay");
  const ws = new WebSocket(`ws://${location.host}/addin`);
  socket = ws;
  ws.onopen = () => {
    addin.reconnect(); // a new connection: nothing handed out before is valid
    setStatus("connected", "connected");
  };
  ws.onmessage = (event) => receive(ws, event.data);
  ws.onclose = (event) => {
    if (socket !== ws) return;
    socket = null;
    if (event.code === REPLACED) {
      setStatus("replaced", "another page took over: reload to take it back");
    } else {
      setTimeout(connect, 500);
    }
  };
}

function receive(ws, text) {
  let head;
  try {
    head = JSON.parse(text.length < 400 ? text : "null");
  } catch (e) {
    head = null;
  }
  if (head && head.type === "relay") {
    if (head.event === "kernel_closed" || head.event === "kernel_connected") addin.reconnect();
    if (head.event === "kernel_connected") stats.kernels++;
    if (head.event === "state") {
      ws.send(writeJson({ type: "relay_state", queryId: head.queryId, ...state(head.sheets) }));
      return;
    }
    log("notice", `relay: ${head.event}`);
    schedule();
    return;
  }
  touched = [];
  const request = describe(text); // before it runs: a release takes its object away
  let out;
  try {
    out = addin.handleText(text);
  } catch (e) {
    // Not a request (no requestId to answer): nobody to send an answer to.
    log("refused", `dropped a message that is not a request: ${e.name}: ${e.message}`);
    schedule();
    return;
  }
  if (out.length === 0) {  // a notice from the kernel, not a request
    log("notice", `=> ${clip(text)}`);
    schedule();
    return;
  }
  for (const message of out) ws.send(message);
  const number = ++stats.requests;
  logExchange(number, request, out);
  if (touched.length) {
    gridDirty = true;
    const cells = touched.filter(([, rect]) => rect !== null);
    if (cells.length) [highlighted, highlightedBy] = [cells, number];
    const last = touched[touched.length - 1][0];
    if (last) shownSheet = last;
  }
  schedule();
}

function setStatus(state, text) {
  const status = $("status");
  status.dataset.state = state;
  status.textContent = text;
}

// ---- the log -------------------------------------------------------------------------

function clip(text, n = 160) { return text.length > n ? text.slice(0, n) + ` … (${text.length} chars)` : text; }

// Messages longer than this are summed up, not parsed a second time for the log.
const PARSED = 4000;
const ROOTS = ["Context", "Excel", "GetSetting", "Union", "Intersect", "Transaction", "GetSystemInfo"];

function label(id) {
  if (typeof id !== "number") return pyRepr(id);
  if (id < FIXED_IDS) return ROOTS[id] || `#${id}`;
  return addin.objects.has(id) ? `${typeName(addin.objects.get(id))}#${id}` : `#${id}`;
}

// A wire value in short, as the Python transcripts show it.
function show(wire, width = 72) {
  const text = wireText(wire);
  return text.length <= width ? text : text.slice(0, width - 3) + "...";
}

function wireText(wire) {
  if (wire === null || typeof wire !== "object" || Array.isArray(wire)) return pyRepr(wire);
  const { type, value } = wire;
  if (type === "Array") return `[${(value || []).map(wireText).join(", ")}]`;
  if (type === "Dict") return `{${Object.entries(value || {}).map(([k, v]) => `${pyRepr(k)}: ${wireText(v)}`).join(", ")}}`;
  if (type === "Python_Function") return `<python ${value}>`;
  if (wire.isSpec) return typeof value === "number" && value < FIXED_IDS ? ROOTS[value] : `${type}#${value}`;
  return pyRepr(value);
}

// A request as the log shows it: `GET     Worksheet#12.name`, labelled before it runs.
function describe(text) {
  if (text.length >= PARSED) {
    const method = /"method":\s*"(\w+)"/.exec(text)?.[1] || "?";
    const caller = /"caller":\s*(\d+)/.exec(text.slice(text.lastIndexOf('"caller"')))?.[1];
    return { method, line: `${method.padEnd(7)} ${caller === undefined ? "?" : label(Number(caller))} … (${text.length} chars)` };
  }
  try {
    const r = readJson(text);
    const target = label(r.caller);
    const detail = {
      GET: () => `.${r.name}`,
      GETITEM: () => `[${r.name}]`,
      SET: () => `.${r.name} = ${show(r.value)}`,
      CALL: () => `(${(r.args || []).map((a) => (a.arg_type === "NAMED" ? `${a.name}=` : "") + show(a.value)).join(", ")})`,
    }[r.method];
    return { method: r.method, line: `${String(r.method).padEnd(7)} ${target}${detail ? detail() : ""}` };
  } catch (e) {
    return { method: "?", line: clip(text) };
  }
}

function logExchange(number, request, out) {
  log("request", `-> ${request.line}`, number);
  for (const message of out) {
    let m = null;
    try { m = message.length < PARSED ? readJson(message) : null; } catch (e) { /* summed up below */ }
    if (m && m.type === "invoke_callable") {
      log("event", `<= invoke  ${m.callableId}(${(m.args || []).map((a) => show(a)).join(", ")})`);
    } else if (message.startsWith('{"type":"invoke_callable"')) {
      log("event", `<= invoke  … (${message.length} chars)`);
    } else if (m && m.ok === false) {
      log("refused", `<- error   ${m.error && m.error.message}`, number);
    } else if (m) {
      // A write and a release answer nothing; a read shows what it got, None too.
      log("response", ["SET", "DEL"].includes(request.method) ? "<- ok" : `<- ok      ${show(m.result)}`, number);
    } else {
      log("response", `<- ok      … (${message.length} chars)`, number);
    }
  }
}

function log(kind, text, number = 0) {
  logEntries.push([kind, text, number]);
  if (logEntries.length > 4 * LOG_LINES) {
    const cut = logEntries.length - LOG_LINES;
    logEntries = logEntries.slice(cut);
    logged = Math.max(0, logged - cut);
  }
}

// ---- drawing -------------------------------------------------------------------------

// Drawing waits while requests come in a burst, at most DRAW_EVERY ms: the page's one
// thread executes the requests too, and a request waits while the grid is drawn.
const DRAW_EVERY = 300;
let lastDraw = 0;

function schedule() {
  if (drawPending) return;
  drawPending = true;
  setTimeout(renderNow, Math.max(20, lastDraw + DRAW_EVERY - performance.now()));
}

function renderNow(force) {
  drawPending = false;
  lastDraw = performance.now();
  const sheets = workbook.worksheets.sheets;
  if (!sheets.includes(shownSheet)) shownSheet = workbook.worksheets.active;
  if (gridDirty || force === true) {
    gridDirty = false;
    drawTabs(sheets);
    drawGrid(shownSheet);
  }
  drawLog();
  $("incarnation").textContent = `${stats.requests} requests · ids from ${addin.base}`;
  $("legend").hidden = highlightedBy === 0;
  $("legend-request").textContent = `#${highlightedBy}`;
}

function drawTabs(sheets) {
  const tabs = $("tabs");
  tabs.replaceChildren(...sheets.map((sheet) => {
    const button = document.createElement("button");
    button.textContent = sheet.name;
    button.className = sheet === shownSheet ? "shown" : "";
    button.onclick = () => { shownSheet = sheet; renderNow(true); };
    return button;
  }));
}

const escape = (text) => text.replace(/&/g, "&amp;").replace(/</g, "&lt;").replace(/>/g, "&gt;").replace(/"/g, "&quot;");

// The grid is written as one HTML text: far cheaper than a DOM call per cell.
function drawGrid(sheet) {
  const used = sheet.used() || new Rect(0, 0, 0, 0);
  const rows = Math.min(Math.max(used.bottom + 1, 20), MAX_ROWS);
  const columns = Math.min(Math.max(used.right + 1, 8), MAX_COLUMNS);
  const marks = new Map();
  for (const [s, rect, how] of highlighted) {
    if (s !== sheet) continue;
    for (let r = rect.top; r <= Math.min(rect.bottom, rows - 1); r++) {
      for (let c = rect.left; c <= Math.min(rect.right, columns - 1); c++) {
        if (marks.get(`${r},${c}`) !== "write") marks.set(`${r},${c}`, how);
      }
    }
  }
  const letters = Array.from({ length: columns }, (_, c) => columnLetters(c));
  const html = ["<tr><th></th>", ...letters.map((l) => `<th>${l}</th>`), "</tr>"];
  for (let r = 0; r < rows; r++) {
    html.push(`<tr><th>${r + 1}</th>`);
    for (let c = 0; c < columns; c++) {
      const value = sheet.computed(r, c);
      const style = sheet.styles.get(`${r},${c}`) || {};
      const classes = [];
      if (typeof value === "number" || typeof value === "bigint") classes.push("number");
      if (style["font.bold"]) classes.push("bold");
      if (style["font.italic"]) classes.push("italic");
      if (marks.has(`${r},${c}`)) classes.push(marks.get(`${r},${c}`));
      const colours = [style["fill.color"] && `background:${style["fill.color"]}`,
        style["font.color"] && `color:${style["font.color"]}`].filter(Boolean).join(";");
      html.push(`<td data-cell="${letters[c]}${r + 1}" class="${classes.join(" ")}"` +
        `${colours ? ` style="${escape(colours)}"` : ""}>${escape(value === "" ? "" : sheet.shown(r, c))}</td>`);
    }
    html.push("</tr>");
  }
  $("grid").innerHTML = html.join("");
  const hidden = [];
  if (used.bottom + 1 > rows) hidden.push(`${used.bottom + 1 - rows} more rows`);
  if (used.right + 1 > columns) hidden.push(`${used.right + 1 - columns} more columns`);
  $("more").textContent = hidden.length ? `… ${hidden.join(" and ")} not shown` : "";
}

// The log grows by the entries logged since the last drawing.
let logged = 0;

function drawLog() {
  const box = $("log");
  const fresh = logEntries.slice(logged);
  logged = logEntries.length;
  box.append(...fresh.slice(-LOG_LINES).map(([kind, text, number]) => {
    const li = document.createElement("li");
    li.className = kind;
    li.dataset.request = number;
    const n = document.createElement("span");
    n.className = "number";
    n.textContent = number ? `#${number}` : "";
    li.append(n, text);
    return li;
  }));
  while (box.childElementCount > LOG_LINES) box.firstElementChild.remove();
  for (const li of box.querySelectorAll("li.marked")) li.classList.remove("marked");
  for (const li of box.querySelectorAll(`li[data-request="${highlightedBy}"]`)) li.classList.add("marked");
  box.scrollTop = box.scrollHeight;
}

// What the page holds, for the relay's `page_state`: the computed values of the
// sheets' used cells as Python reprs (exact for every value, BigInts and NaN too).
function state(names) {
  const tables = {};
  for (const sheet of workbook.worksheets.sheets) {
    if (!names || names.includes(sheet.name)) tables[sheet.name] = sheet.table().map((row) => row.map(pyRepr));
  }
  return { liveIds: addin.liveIds(), commits: addin.transaction.commits, base: addin.base, tables };
}

// ---- the surface for tests -----------------------------------------------------------

window.orv = {
  addin,
  workbook,
  stats,
  renderNow: () => renderNow(true),
  connected: () => socket !== null && socket.readyState === WebSocket.OPEN,
  liveIds: () => addin.liveIds(),
  state,
  // One cell's value as the page holds it: [its JavaScript type, its Python repr,
  // its UTF-16 code units when it is a string].
  cell: (address, sheet = "Sheet1") => {
    const v = workbook.worksheets.getItem(sheet).getRange(address).values[0][0];
    const kind = v === null ? "null" : v instanceof Uint8Array ? "Uint8Array" : typeof v;
    const units = typeof v === "string" ? [...Array(v.length).keys()].map((i) => v.charCodeAt(i)) : null;
    return [kind, units ? null : pyRepr(v), units]; // a lone surrogate cannot leave as text
  },
  show: (name) => { shownSheet = workbook.worksheets.getItem(name); renderNow(true); },
};

connect();
