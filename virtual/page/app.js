// The virtual-controller page: polls the program's JSON API and keeps the
// tiles, the detail panel and the charts up to date in place.  Every text
// that comes from the API goes into the page through textContent or an
// attribute, never as markup.

const CONTROLLERS_EVERY = 1000;  // ms between two /api/controllers polls
const DETAIL_EVERY = 1000;       // ms between two polls of the selected controller
const FLEET_EVERY = 5000;        // ms between two /api/fleet polls
const HISTORY = 200;             // exchange times kept per selected controller
const SVG = "http://www.w3.org/2000/svg";
const HEX12 = /^[0-9A-Fa-f]{12}$/;

const $ = (id) => document.getElementById(id);

// ---- small helpers ----

function el(tag, attrs, ...children) {
  const node = document.createElement(tag);
  for (const [name, value] of Object.entries(attrs || {})) {
    if (value === null || value === undefined) continue;
    if (name === "class") node.className = value;
    else node.setAttribute(name, String(value));
  }
  for (const child of children) {
    if (child === null || child === undefined) continue;
    node.append(child instanceof Node ? child : String(child));
  }
  return node;
}

function svgEl(tag, attrs) {
  const node = document.createElementNS(SVG, tag);
  for (const [name, value] of Object.entries(attrs || {})) node.setAttribute(name, String(value));
  return node;
}

// Sets a text only when it changed, so unchanged tiles cost no layout.
function setText(node, text) {
  const value = text === null || text === undefined ? "" : String(text);
  if (node.textContent !== value) node.textContent = value;
}

function setData(node, name, value) {
  const text = value === null || value === undefined ? null : String(value);
  if (text === null) {
    if (node.hasAttribute("data-" + name)) node.removeAttribute("data-" + name);
  } else if (node.getAttribute("data-" + name) !== text) {
    node.setAttribute("data-" + name, text);
  }
}

const pad = (n) => String(n).padStart(2, "0");

function clock(epoch) {
  if (typeof epoch !== "number" || !isFinite(epoch)) return "–";
  const d = new Date(epoch * 1000);
  return `${pad(d.getHours())}:${pad(d.getMinutes())}:${pad(d.getSeconds())}`;
}

function dateTime(epoch) {
  if (typeof epoch !== "number" || !isFinite(epoch)) return "–";
  const d = new Date(epoch * 1000);
  return `${d.getFullYear()}-${pad(d.getMonth() + 1)}-${pad(d.getDate())} ${clock(epoch)}`;
}

function millis(ms) {
  if (typeof ms !== "number" || !isFinite(ms)) return "–";
  return ms >= 100 ? `${Math.round(ms)} ms` : `${ms.toFixed(1).replace(/\.0$/, "")} ms`;
}

// A body as readable text: JSON indented, anything else as it came.
function bodyText(text) {
  if (text === null || text === undefined || text === "") return "(empty)";
  const raw = String(text);
  try {
    return JSON.stringify(JSON.parse(raw), null, 2);
  } catch (_) {
    return raw;
  }
}

// One API call.  Resolves to the parsed reply; rejects with an Error whose
// message is the server's {"error"} text, or says what else went wrong.
async function api(method, path, body) {
  const options = { method, headers: {} };
  if (body !== undefined) {
    options.headers["Content-Type"] = "application/json";
    options.body = JSON.stringify(body);
  }
  let response;
  try {
    response = await fetch(path, options);
  } catch (_) {
    throw new Error("no answer from the program");
  }
  let value = null;
  const text = await response.text();
  try {
    value = text ? JSON.parse(text) : null;
  } catch (_) {
    if (response.ok) throw new Error("reply is not JSON");
  }
  if (!response.ok) {
    const message = value && typeof value.error === "string" ? value.error : `HTTP ${response.status}`;
    throw new Error(message);
  }
  return value;
}

// Runs `fn` now and then again `every` ms after each run has finished, so
// a slow answer never piles up requests.
function repeat(fn, every) {
  const run = async () => {
    try {
      await fn();
    } catch (error) {
      console.error(error);
    }
    setTimeout(run, every);
  };
  run();
}

// The message next to a control: an error text, or a short "done" that fades.
function report(node, error) {
  clearTimeout(node._timer);
  if (error) {
    node.dataset.kind = "error";
    setText(node, error.message || String(error));
  } else {
    node.dataset.kind = "ok";
    setText(node, "done");
    node._timer = setTimeout(() => {
      if (node.dataset.kind === "ok") setText(node, "");
    }, 2500);
  }
}

// Replaces a table body's rows when the data behind them changed.
function fillRows(tbody, items, cells, empty) {
  const signature = JSON.stringify(items);
  if (tbody._signature === signature) return;
  tbody._signature = signature;
  const rows = items.map((item) => {
    const row = el("tr");
    for (const cell of cells(item)) row.append(cell instanceof Node ? cell : el("td", null, cell));
    return row;
  });
  if (!rows.length) {
    const columns = tbody.parentNode.tHead ? tbody.parentNode.tHead.rows[0].cells.length : 1;
    rows.push(el("tr", { class: "empty" }, el("td", { colspan: columns, class: "muted" }, empty)));
  }
  tbody.replaceChildren(...rows);
}

// ---- charts ----

function niceCeiling(value) {
  if (!(value > 0)) return 1;
  const power = Math.pow(10, Math.floor(Math.log10(value)));
  for (const step of [1, 2, 5, 10]) {
    if (value <= step * power) return step * power;
  }
  return 10 * power;
}

// Draws points [[epoch, ms, failed?], ...] as a line with dots, the ms
// scale on the left and the time span below.
function drawChart(svg, points, empty) {
  const width = Math.max(200, Math.round(svg.clientWidth || 600));
  const height = Number(svg.dataset.height || svg.viewBox.baseVal.height || 120);
  svg.dataset.height = height;
  svg.setAttribute("viewBox", `0 0 ${width} ${height}`);
  const left = 54, right = 10, top = 8, bottom = 20;
  const plotW = width - left - right, plotH = height - top - bottom;
  const parts = [];
  parts.push(svgEl("rect", { x: left, y: top, width: plotW, height: plotH, class: "plot" }));
  if (!points.length) {
    const note = svgEl("text", { x: left + plotW / 2, y: top + plotH / 2 + 4, class: "note",
                                 "text-anchor": "middle" });
    note.textContent = empty;
    parts.push(note);
    svg.replaceChildren(...parts);
    svg.dataset.points = "0";
    return;
  }
  const max = niceCeiling(Math.max(...points.map((p) => p[1])));
  const first = points[0][0], last = points[points.length - 1][0];
  const span = last - first;
  const x = (i, t) => left + (span > 0 ? ((t - first) / span) * plotW
                                       : points.length > 1 ? (i / (points.length - 1)) * plotW : plotW / 2);
  const y = (ms) => top + plotH - (Math.min(ms, max) / max) * plotH;
  for (const fraction of [0, 0.5, 1]) {
    const gy = top + plotH - fraction * plotH;
    parts.push(svgEl("line", { x1: left, x2: left + plotW, y1: gy, y2: gy, class: "grid" }));
    const label = svgEl("text", { x: left - 6, y: gy + 4, class: "axis", "text-anchor": "end" });
    label.textContent = millis(max * fraction);
    parts.push(label);
  }
  const from = svgEl("text", { x: left, y: height - 5, class: "axis", "text-anchor": "start" });
  from.textContent = clock(first);
  const to = svgEl("text", { x: left + plotW, y: height - 5, class: "axis", "text-anchor": "end" });
  to.textContent = clock(last);
  parts.push(from, to);
  const coords = points.map((p, i) => `${x(i, p[0]).toFixed(1)},${y(p[1]).toFixed(1)}`);
  parts.push(svgEl("polyline", { points: coords.join(" "), class: "line" }));
  const radius = points.length > 80 ? 1.6 : 2.6;
  points.forEach((p, i) => {
    const dot = svgEl("circle", { cx: x(i, p[0]).toFixed(1), cy: y(p[1]).toFixed(1), r: radius,
                                  class: p[2] ? "dot failed" : "dot" });
    const tip = svgEl("title");
    tip.textContent = `${clock(p[0])}  ${millis(p[1])}${p[2] ? "  failed" : ""}`;
    dot.append(tip);
    parts.push(dot);
  });
  svg.replaceChildren(...parts);
  svg.dataset.points = String(points.length);
}

// ---- fleet ----

const fleet = { info: null, controllers: [] };

function renderFleet(info) {
  fleet.info = info;
  setText($("fleet-mode"), info.mode);
  setText($("fleet-server"), info.server);
  setText($("fleet-count"), info.count);
  setText($("fleet-started"), dateTime(info.started));
  fillSelect($("fault-kind"), (info.faults || []).map((kind) => [kind, kind]));
  const codes = (info.event_codes || []).map((e) => [String(e.code), `${e.name} (${e.code})`]);
  fillSelect($("event-preset"), [["", "other code…"], ...codes]);
  if ($("event-code").value === "" && codes.length) {
    $("event-code").value = codes[0][0];
  }
  syncPreset();
  const times = Array.isArray(info.exchange_times) ? info.exchange_times : [];
  fleet.times = times.filter((p) => Array.isArray(p) && typeof p[1] === "number");
  drawChart($("fleet-chart"), fleet.times, "no exchanges yet");
}

// Fills a select with [value, label] pairs, keeping what was chosen.
function fillSelect(select, options) {
  const signature = JSON.stringify(options);
  if (select._signature === signature) return;
  select._signature = signature;
  const chosen = select.value;
  select.replaceChildren(...options.map(([value, label]) => el("option", { value }, label)));
  if (options.some(([value]) => value === chosen)) select.value = chosen;
}

function syncPreset() {
  const select = $("event-preset");
  const code = $("event-code").value;
  const match = [...select.options].find((o) => o.value !== "" && o.value === code);
  select.value = match ? match.value : "";
}

// ---- tiles ----

const tiles = new Map();  // serial -> {node, parts}

function makeTile(serial) {
  const parts = {
    serial: el("span", { class: "t-serial" }, serial),
    state: el("span", { class: "t-state badge" }),
    mode: el("span", { class: "t-mode" }),
    door: el("span", { class: "t-door" }),
    waiting: el("span", { class: "t-waiting" }),
    decision: el("span", { class: "t-decision" }),
  };
  const node = el("button", { type: "button", class: "tile", "data-serial": serial },
    el("div", { class: "t-top" }, parts.serial, parts.state),
    el("div", { class: "t-row" }, parts.mode, parts.door, parts.waiting),
    el("div", { class: "t-row" }, parts.decision));
  return { node, parts };
}

function updateTile(tile, c) {
  const { node, parts } = tile;
  const running = c.daemon === "running";
  setData(node, "state", c.state);
  setData(node, "daemon", running ? "running" : "down");
  setText(parts.state, running ? c.state : `${c.state} · ${c.daemon}`);
  setData(parts.state, "state", running ? c.state : "down");
  setText(parts.mode, c.mode);
  setText(parts.door, `door ${c.door_mode}`);
  setText(parts.waiting, `${c.events_waiting} waiting`);
  setData(parts.waiting, "some", c.events_waiting > 0 ? "yes" : null);
  const decisions = Array.isArray(c.decisions) ? c.decisions : [];
  const last = decisions[decisions.length - 1];
  if (last) {
    setText(parts.decision, `${last.card} ${last.granted ? "granted" : "refused"} ${millis(last.ms)}`);
    setData(parts.decision, "granted", last.granted ? "yes" : "no");
  } else {
    setText(parts.decision, "no decision yet");
    setData(parts.decision, "granted", null);
  }
  node.title = `controller ${c.serial}: ${c.state}, daemon ${c.daemon}, ` +
               `${c.exchanges} exchanges (${c.failed_exchanges} failed), last ${millis(c.last_exchange_ms)}`;
}

function renderControllers(list) {
  const box = $("tiles");
  const seen = new Set();
  let previous = null;
  let online = 0;
  for (const c of list) {
    seen.add(c.serial);
    if (c.state === "online") online += 1;
    let tile = tiles.get(c.serial);
    if (!tile) {
      tile = makeTile(c.serial);
      tiles.set(c.serial, tile);
      if (c.serial === selected) tile.node.classList.add("selected");
    }
    // Keep the tiles in serial order; only misplaced ones move.
    const wanted = previous ? previous.nextSibling : box.firstChild;
    if (tile.node !== wanted) box.insertBefore(tile.node, wanted);
    updateTile(tile, c);
    previous = tile.node;
  }
  for (const [serial, tile] of tiles) {
    if (!seen.has(serial)) {
      tile.node.remove();
      tiles.delete(serial);
    }
  }
  $("tiles-empty").hidden = list.length > 0;
  setText($("fleet-online"), `${online} of ${list.length}`);
  const counts = { online: 0, active: 0, inactive: 0 };
  let down = 0, exchanges = 0, failed = 0;
  for (const c of list) {
    if (c.state in counts) counts[c.state] += 1;
    if (c.daemon !== "running") down += 1;
    exchanges += c.exchanges || 0;
    failed += c.failed_exchanges || 0;
  }
  setText($("fleet-states"), `${counts.online} online · ${counts.active} active · ` +
          `${counts.inactive} inactive · ${down} daemon${down === 1 ? "" : "s"} not running · ` +
          `${exchanges} exchanges, ${failed} failed`);
  fleet.controllers = list;
}

function connection(error) {
  const node = $("connection");
  setData(node, "ok", error ? "false" : "true");
  setText(node, error ? `program unreachable: ${error.message}` : "");
}

async function pollControllers() {
  try {
    const list = await api("GET", "/api/controllers");
    connection(null);
    renderControllers(Array.isArray(list) ? list : []);
  } catch (error) {
    connection(error);
  }
}

async function pollFleet() {
  try {
    renderFleet(await api("GET", "/api/fleet"));
  } catch (error) {
    connection(error);
  }
}

// ---- detail panel ----

let selected = null;        // serial shown in the panel
let detailSequence = 0;     // newest detail request sent
let detailShown = 0;        // newest detail request drawn
let exchangeHistory = new Map();    // exchange time -> [epoch, ms, failed] of the selected controller

function select(serial) {
  if (selected === serial) return;
  if (selected !== null && tiles.has(selected)) tiles.get(selected).node.classList.remove("selected");
  selected = serial;
  exchangeHistory = new Map();
  const panel = $("detail");
  for (const node of panel.querySelectorAll(".error")) setText(node, "");
  for (const body of panel.querySelectorAll("tbody")) {
    body._signature = undefined;
    body.replaceChildren();
  }
  for (const id of ["cards", "exchange-log", "kmsg"]) {
    $(id)._signature = undefined;
    $(id).replaceChildren();
  }
  $("exchange-log")._entries = new Map();
  if (serial === null) {
    panel.hidden = true;
    if (location.hash) setHash("");
    return;
  }
  if (tiles.has(serial)) tiles.get(serial).node.classList.add("selected");
  setText($("detail-serial"), serial);
  panel.hidden = false;
  setHash(`#${serial}`);
  drawChart($("detail-chart"), [], "no exchanges yet");
  refreshDetail();
}

function setHash(hash) {
  window.history.replaceState(null, "", hash || location.pathname + location.search);
}

async function refreshDetail() {
  if (selected === null) return;
  const serial = selected;
  const sequence = ++detailSequence;
  try {
    const detail = await api("GET", `/api/controllers/${serial}`);
    if (serial !== selected || sequence < detailShown) return;
    detailShown = sequence;
    setText($("detail-error"), "");
    renderDetail(detail);
  } catch (error) {
    if (serial === selected) setText($("detail-error"), error.message);
  }
}

function renderDetail(d) {
  const running = d.daemon === "running";
  const badge = $("detail-state");
  setText(badge, d.state);
  setData(badge, "state", running ? d.state : "down");
  setText($("detail-mode"), d.mode);
  setText($("detail-daemon"), d.daemon);
  setData($("detail-daemon"), "down", running ? null : "yes");
  setText($("detail-pid"), d.pid === null || d.pid === undefined ? "–" : d.pid);
  setText($("detail-door-mode"), d.door_mode);
  const clockInfo = d.clock || {};
  setText($("detail-clock"), clockInfo.mcu || "–");
  setText($("detail-clock-offset"), typeof clockInfo.offset === "number" ? `${clockInfo.offset} s` : "–");
  setText($("detail-exchanges"), d.exchanges);
  setText($("detail-failed"), d.failed_exchanges);
  setText($("detail-last-ms"), millis(d.last_exchange_ms));
  setText($("detail-door-openings"), d.door_openings);
  const ring = d.ring || {};
  setText($("ring-head"), ring.head);
  setText($("ring-tail"), ring.tail);
  setText($("ring-waiting"), ring.waiting);

  const decisions = (Array.isArray(d.decisions) ? d.decisions : []).slice().reverse();
  fillRows($("decisions").tBodies[0], decisions, (x) => [
    el("td", { class: "time" }, clock(x.time)),
    el("td", { class: "card mono" }, x.card),
    el("td", { class: "reader" }, x.reader),
    el("td", { class: x.granted ? "decision granted" : "decision refused" },
       x.granted ? "granted" : "refused"),
    el("td", { class: "ms num" }, x.ms === null || x.ms === undefined ? "–" : x.ms),
  ], "no decisions yet");

  const doors = (Array.isArray(d.doors) ? d.doors : []).slice().reverse();
  fillRows($("doors").tBodies[0], doors, (x) => [clock(x.time), x.direction], "no openings yet");

  renderCards(d.cards || { count: 0, codes: [] });
  const log = Array.isArray(d.exchange_log) ? d.exchange_log : [];
  renderExchanges(log);
  renderKmsg(Array.isArray(d.kmsg) ? d.kmsg : []);

  for (const x of log) {
    if (typeof x.ms === "number") exchangeHistory.set(x.time, [x.time, x.ms, !!x.error || x.status !== 200]);
  }
  const points = [...exchangeHistory.values()].sort((a, b) => a[0] - b[0]).slice(-HISTORY);
  exchangeHistory = new Map(points.map((p) => [p[0], p]));
  drawChart($("detail-chart"), points, "no exchanges yet");
}

function renderCards(cards) {
  const list = $("cards");
  const codes = Array.isArray(cards.codes) ? cards.codes : [];
  const shown = codes.length < cards.count ? `(${cards.count}, first ${codes.length} shown)`
                                           : `(${cards.count})`;
  setText($("cards-count"), shown);
  const signature = JSON.stringify(codes);
  if (list._signature === signature) return;
  list._signature = signature;
  list.replaceChildren(...(codes.length ? codes.map((code) => el("li", { class: "mono" }, code))
                                        : [el("li", { class: "muted" }, "no cards")]));
}

function exchangeKey(x) {
  return `${x.time}|${x.method}|${x.path}|${x.ms}`;
}

// The exchange log keeps an entry's element for as long as the entry is
// listed, so an entry opened for reading stays open while new ones arrive.
function renderExchanges(log) {
  const box = $("exchange-log");
  const entries = box._entries || (box._entries = new Map());
  const wanted = log.slice().reverse();
  const keys = new Set();
  let previous = null;
  for (const x of wanted) {
    const key = exchangeKey(x);
    keys.add(key);
    let node = entries.get(key);
    if (!node) {
      node = makeExchange(x);
      entries.set(key, node);
    }
    const place = previous ? previous.nextSibling : box.firstChild;
    if (node !== place) box.insertBefore(node, place);
    previous = node;
  }
  for (const [key, node] of entries) {
    if (!keys.has(key)) {
      node.remove();
      entries.delete(key);
    }
  }
  if (!wanted.length && !box.firstChild) box.append(el("p", { class: "muted" }, "no exchanges yet"));
  else if (wanted.length) for (const stale of box.querySelectorAll(":scope > p")) stale.remove();
}

function makeExchange(x) {
  const failed = !!x.error || x.status !== 200;
  const status = x.status === null || x.status === undefined ? "no reply" : `HTTP ${x.status}`;
  const summary = el("summary", null,
    el("span", { class: "x-time" }, clock(x.time)),
    el("span", { class: "x-call mono" }, `${x.method} ${x.path}`),
    el("span", { class: failed ? "x-status failed" : "x-status" }, status),
    el("span", { class: "x-ms num" }, millis(x.ms)),
    x.error ? el("span", { class: "x-error" }, x.error) : null);
  return el("details", { class: "exchange", "data-failed": failed ? "yes" : "no" }, summary,
    el("div", { class: "bodies" },
      el("div", null, el("h4", null, "Request"), el("pre", { class: "body" }, bodyText(x.request))),
      el("div", null, el("h4", null, "Reply"), el("pre", { class: "body" }, bodyText(x.reply)))));
}

function renderKmsg(lines) {
  const pre = $("kmsg");
  const text = lines.length ? lines.join("\n") : "(empty)";
  if (pre._signature === text) return;
  pre._signature = text;
  const atEnd = pre.scrollTop + pre.clientHeight >= pre.scrollHeight - 4;
  pre.textContent = text;
  if (atEnd) pre.scrollTop = pre.scrollHeight;
}

// ---- controls ----

function readCard(input) {
  const card = input.value.trim();
  if (!HEX12.test(card)) throw new Error("a card is 12 hex digits");
  return card.toUpperCase();
}

function readInteger(input, what, min, max) {
  const text = input.value.trim();
  if (!/^-?\d+$/.test(text)) throw new Error(`${what}: a whole number, please`);
  const value = Number(text);
  if ((min !== undefined && value < min) || (max !== undefined && value > max)) {
    const range = max === undefined ? `at least ${min}` : `${min} to ${max}`;
    throw new Error(`${what}: ${range}`);
  }
  return value;
}

// Wires a form: `body` builds the request (may throw a validation error),
// `path` says where it goes; the outcome appears in `message`.
function control(form, message, path, body) {
  const node = $(form);
  node.addEventListener("submit", async (event) => {
    event.preventDefault();
    const out = $(message);
    const button = node.querySelector("button");
    let request;
    try {
      request = body();
    } catch (error) {
      report(out, error);
      return;
    }
    const target = path();
    if (target === null) return;
    button.disabled = true;
    try {
      await api("POST", target, request);
      report(out, null);
      pollControllers();
      refreshDetail();
    } catch (error) {
      report(out, error);
    } finally {
      button.disabled = false;
    }
  });
}

const forSelected = (what) => () => (selected === null ? null : `/api/controllers/${selected}/${what}`);

function wire() {
  control("fleet-card-form", "fleet-card-error", () => "/api/cards", () => ({
    card: readCard($("fleet-card-input")),
    reader: Number($("fleet-card-reader").value),
  }));
  control("card-form", "card-error", forSelected("card"), () => ({
    card: readCard($("card-input")),
    reader: Number($("card-reader").value),
  }));
  control("event-form", "event-error", forSelected("event"), () => ({
    code: readInteger($("event-code"), "code", 0, 255),
  }));
  control("clock-form", "clock-error", forSelected("clock"), () => ({
    offset: readInteger($("clock-offset"), "offset"),
  }));
  control("fault-form", "fault-error", forSelected("fault"), () => {
    if (!$("fault-kind").value) throw new Error("no fault kinds known yet");
    return { kind: $("fault-kind").value, count: readInteger($("fault-count"), "count", 1) };
  });
  $("restart").addEventListener("click", async () => {
    if (selected === null) return;
    const button = $("restart");
    button.disabled = true;
    try {
      await api("POST", `/api/controllers/${selected}/restart`, {});
      report($("restart-error"), null);
      pollControllers();
      refreshDetail();
    } catch (error) {
      report($("restart-error"), error);
    } finally {
      button.disabled = false;
    }
  });
  $("event-preset").addEventListener("change", () => {
    if ($("event-preset").value !== "") $("event-code").value = $("event-preset").value;
  });
  $("event-code").addEventListener("input", syncPreset);

  // One listener for all tiles, however many there are.
  $("tiles").addEventListener("click", (event) => {
    const tile = event.target.closest(".tile");
    if (tile) select(Number(tile.dataset.serial));
  });
  $("detail-close").addEventListener("click", () => select(null));
  document.addEventListener("keydown", (event) => {
    const typing = event.target.closest && event.target.closest("input, select");
    if (event.key === "Escape" && selected !== null && !typing) select(null);
  });
  window.addEventListener("resize", () => {
    if (fleet.times) drawChart($("fleet-chart"), fleet.times, "no exchanges yet");
    if (selected !== null) {
      const points = [...exchangeHistory.values()].sort((a, b) => a[0] - b[0]);
      drawChart($("detail-chart"), points, "no exchanges yet");
    }
  });
}

function start() {
  wire();
  drawChart($("fleet-chart"), [], "no exchanges yet");
  repeat(pollFleet, FLEET_EVERY);
  repeat(pollControllers, CONTROLLERS_EVERY);
  repeat(refreshDetail, DETAIL_EVERY);
  const hash = /^#(\d+)$/.exec(location.hash);
  if (hash) select(Number(hash[1]));
}

start();
