#include "bin/scan_tree/html_page.h"

#include <cstdint>

#include <fmt/format.h>

namespace tessaly::scan_tree {
namespace {

constexpr std::string_view kHead = R"page(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
)page";

constexpr std::string_view kStyle = R"page(<title>scan_tree</title>
<style>
*{box-sizing:border-box}
html,body{height:100%;margin:0}
body{display:flex;flex-direction:column;font:13px/1.35 system-ui,-apple-system,"Segoe UI",sans-serif;color:#1d1d1f;background:#f4f4f2}
header{padding:6px 10px;border-bottom:1px solid #d0d0cc;background:#fff;min-height:34px}
#crumbs{display:flex;flex-wrap:wrap;gap:2px;align-items:center}
#crumbs button{font:inherit;border:0;background:none;padding:2px 4px;border-radius:3px;cursor:pointer;color:#0645ad;max-width:28em;overflow:hidden;text-overflow:ellipsis;white-space:nowrap}
#crumbs button:hover,#crumbs button:focus-visible{background:#e6ecf7}
#crumbs button[aria-current]{color:#1d1d1f;font-weight:600;cursor:default}
#crumbs .sep{color:#999}
main{flex:1;display:flex;min-height:0}
#map{flex:1;position:relative;overflow:hidden;margin:6px;background:#ddd;min-width:200px}
aside{width:390px;overflow:auto;border-left:1px solid #d0d0cc;background:#fff;padding:4px 10px 12px}
aside p{margin:0 0 4px;color:#444;overflow-wrap:anywhere}
aside h2{font-size:13px;margin:12px 0 4px;color:#555;text-transform:uppercase;letter-spacing:.04em}
dl{display:grid;grid-template-columns:auto 1fr;gap:1px 10px;margin:0}
dt{color:#666}dd{margin:0;overflow-wrap:anywhere}
table{width:100%;border-collapse:collapse;table-layout:fixed}
td,th{padding:2px 4px;text-align:left;white-space:nowrap;overflow:hidden;text-overflow:ellipsis}
th{font-weight:600;color:#666;border-bottom:1px solid #ddd}
td.num,th.num{text-align:right;width:6.2em}
td.share{width:4.2em;text-align:right;color:#666}
tbody tr{cursor:default}
tbody tr.dir{cursor:zoom-in;color:#0645ad}
tbody tr:hover,tbody tr:focus{background:#eef2fa;outline:none}
tbody tr:focus-visible{outline:2px solid #5b8def;outline-offset:-2px}
.cell{position:absolute;overflow:hidden;box-shadow:inset 0 0 0 1px rgba(0,0,0,.3);cursor:default}
.cell.dir{cursor:zoom-in}
.cell.rest{background:repeating-linear-gradient(135deg,#c9c9c6 0 4px,#bdbdba 4px 8px)}
.cell.unlisted{background-image:repeating-linear-gradient(135deg,rgba(255,255,255,.18) 0 3px,transparent 3px 7px)}
.cell.hl{box-shadow:inset 0 0 0 2px #111}
.cell>span{display:block;padding:1px 3px;font-size:11px;line-height:14px;white-space:nowrap;overflow:hidden;text-overflow:ellipsis;pointer-events:none}
.cell.dir>span{font-weight:600}
#tip{position:fixed;z-index:10;pointer-events:none;background:rgba(20,20,22,.92);color:#fff;padding:5px 8px;border-radius:4px;max-width:520px;font-size:12px;overflow-wrap:anywhere}
#tip .path{font-weight:600}
#empty{position:absolute;inset:0;display:flex;align-items:center;justify-content:center;color:#555}
</style>
</head>
<body>
<header><nav id="crumbs" aria-label="Location"></nav></header>
<main>
<div id="map" aria-label="Treemap"></div>
<aside>
<h2>Totals</h2>
<dl id="totals"></dl>
<h2>Contents</h2>
<p id="contents-path"></p>
<table id="contents"><thead><tr><th>Name</th><th class="num">Size</th><th class="num">Share</th></tr></thead><tbody></tbody></table>
<h2>Large files</h2>
<p id="large-note"></p>
<table id="large"><thead><tr><th>Path</th><th class="num">Size</th></tr></thead><tbody></tbody></table>
</aside>
</main>
<div id="tip" hidden></div>
<pre id="selftest" hidden></pre>
<script type="application/json" id="data">)page";

constexpr std::string_view kScript = R"page(
"use strict";
(function () {
const started = performance.now();
const data = JSON.parse(document.getElementById("data").textContent);
const raw = data.nodes;
const count = raw.length;
const parent = new Int32Array(count);
const kind = new Uint8Array(count);
const size = new Float64Array(count);
const depth = new Uint32Array(count);
const top = new Int32Array(count);
const label = new Array(count);
const kids = new Array(count);
const KIND_ITEM = 0, KIND_DIR = 1, KIND_UNLISTED = 2, KIND_SMALLER = 3, KIND_REMAINDER = 4;
for (let i = 0; i < count; i++) {
  const node = raw[i];
  parent[i] = node[0];
  kind[i] = node[1];
  size[i] = node[2];
  if (kind[i] === KIND_SMALLER) {
    label[i] = "(" + node[3] + " smaller items)";
  } else if (kind[i] === KIND_REMAINDER) {
    label[i] = "(not listed)";
  } else {
    label[i] = String(node[3]);
  }
  const p = parent[i];
  if (p >= 0) {
    (kids[p] || (kids[p] = [])).push(i);
    depth[i] = depth[p] + 1;
    top[i] = p === 0 ? i : top[p];
  } else {
    top[i] = i;
  }
}
for (const list of kids) if (list) list.sort((a, b) => size[b] - size[a]);
const hue = new Map();
(kids[0] || []).forEach((i, rank) => hue.set(i, (rank * 137.508 + 205) % 360));

const $ = (id) => document.getElementById(id);
const map = $("map"), tip = $("tip"), crumbs = $("crumbs");
const el = (tag, text, cls) => {
  const e = document.createElement(tag);
  if (text !== undefined) e.textContent = text;
  if (cls) e.className = cls;
  return e;
};

function human(bytes) {
  const units = ["B", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"];
  if (bytes < 1024) return bytes + " B";
  let u = 0, v = bytes;
  while (v >= 1023.95 && u < units.length - 1) { v /= 1024; u++; }
  return v.toFixed(1) + " " + units[u];
}
function share(part, whole) {
  return whole > 0 ? (100 * part / whole).toFixed(1) + "%" : "0.0%";
}
function names(i) {
  const out = [];
  for (let n = i; n > 0; n = parent[n]) out.push(label[n]);
  return out.reverse();
}
function fullPath(i) {
  const root = label[0];
  const rest = names(i).join("/");
  if (!rest) return root;
  return root.endsWith("/") ? root + rest : root + "/" + rest;
}
function fragment(i) {
  return "#/" + names(i).map(encodeURIComponent).join("/");
}
function fromFragment(hash) {
  let at = 0;
  if (!hash.startsWith("#/")) return at;
  for (const part of hash.slice(2).split("/")) {
    if (part === "") continue;
    let name;
    try { name = decodeURIComponent(part); } catch (e) { break; }
    const next = (kids[at] || []).find((k) => kind[k] === KIND_DIR && label[k] === name);
    if (next === undefined) break;
    at = next;
  }
  return at;
}
function colour(i, level) {
  if (kind[i] === KIND_SMALLER || kind[i] === KIND_REMAINDER) return "";
  const h = hue.has(top[i]) ? hue.get(top[i]) : 210;
  if (i === 0) return "hsl(210,10%,72%)";
  if (kind[i] === KIND_ITEM) return "hsl(" + h + ",45%," + Math.min(86, 74 + 3 * level) + "%)";
  return "hsl(" + h + ",50%," + Math.min(80, 52 + 8 * level) + "%)";
}

// Squarified layout: `items` are node indices largest first, all with size
// > 0; returns [node, x, y, w, h] per item, tiling the box exactly.
function squarify(items, x, y, w, h) {
  const out = [];
  let total = 0;
  for (const i of items) total += size[i];
  if (total <= 0 || w <= 0 || h <= 0) return out;
  const scale = (w * h) / total;
  let row = [], rowArea = 0, rowMin = Infinity, rowMax = 0;
  const worst = (area, min, max, side) => {
    const s2 = side * side, a2 = area * area;
    return Math.max((s2 * max) / a2, a2 / (s2 * min));
  };
  const place = (last) => {
    if (w >= h) {
      const cw = last ? w : rowArea / h;
      let cy = y;
      row.forEach((i, k) => {
        const ch = k === row.length - 1 ? y + h - cy : (size[i] * scale) / cw;
        out.push([i, x, cy, cw, ch]);
        cy += ch;
      });
      x += cw; w -= cw;
    } else {
      const rh = last ? h : rowArea / w;
      let cx = x;
      row.forEach((i, k) => {
        const cw = k === row.length - 1 ? x + w - cx : (size[i] * scale) / rh;
        out.push([i, cx, y, cw, rh]);
        cx += cw;
      });
      y += rh; h -= rh;
    }
    row = []; rowArea = 0; rowMin = Infinity; rowMax = 0;
  };
  for (let k = 0; k < items.length; k++) {
    const a = size[items[k]] * scale;
    const side = Math.min(w, h);
    if (row.length > 0 &&
        worst(rowArea, rowMin, rowMax, side) <
            worst(rowArea + a, Math.min(rowMin, a), Math.max(rowMax, a), side)) {
      place(false);
    }
    row.push(items[k]); rowArea += a; rowMin = Math.min(rowMin, a); rowMax = Math.max(rowMax, a);
  }
  if (row.length > 0) place(true);
  return out;
}

const MAX_CELLS = 4000, MAX_LEVELS = 4, HEADER = 16, PAD = 2;
let current = 0, cells = 0, sheet = null;

function drawCell(i, x, y, w, h, level) {
  const cell = el("div", undefined, "cell");
  if (kind[i] === KIND_DIR) cell.classList.add("dir");
  if (kind[i] === KIND_UNLISTED) cell.classList.add("unlisted");
  if (kind[i] === KIND_SMALLER || kind[i] === KIND_REMAINDER) cell.classList.add("rest");
  cell.dataset.i = i;
  const bg = colour(i, level);
  cell.style.cssText = "left:" + x + "px;top:" + y + "px;width:" + w + "px;height:" + h + "px" +
      (bg ? ";background-color:" + bg : "");
  if (w >= 36 && h >= 14) {
    cell.appendChild(el("span", (kind[i] === KIND_DIR || kind[i] === KIND_UNLISTED ? label[i] + "/" : label[i]) + "  " + human(size[i])));
  }
  sheet.appendChild(cell);
  cells++;
  if (kind[i] === KIND_DIR && level < MAX_LEVELS && w > 48 && h > 36 && cells < MAX_CELLS) {
    drawChildren(i, x + PAD, y + HEADER, w - 2 * PAD, h - HEADER - PAD, level + 1);
  }
}
function drawChildren(i, x, y, w, h, level) {
  const items = (kids[i] || []).filter((k) => size[k] > 0);
  for (const [k, cx, cy, cw, ch] of squarify(items, x, y, w, h)) {
    if (cells >= MAX_CELLS) return;
    if (level > 0 && (cw < 2 || ch < 2)) continue;
    drawCell(k, cx, cy, cw, ch, level);
  }
}
function draw() {
  map.replaceChildren();
  cells = 0;
  const w = map.clientWidth, h = map.clientHeight;
  const items = (kids[current] || []).filter((k) => size[k] > 0);
  if (items.length > 0) {
    sheet = document.createDocumentFragment();
    drawChildren(current, 0, 0, w, h, 0);
    map.appendChild(sheet);
    sheet = null;
  } else {
    map.appendChild(el("div", kind[current] === KIND_UNLISTED
        ? "Its contents lie below the scan's tree depth (" + data.tree_depth + ")."
        : "Nothing here takes space.", undefined)).id = "empty";
  }
}

function crumbsFor(i) {
  crumbs.replaceChildren();
  const chain = [];
  for (let n = i; n >= 0; n = parent[n]) chain.push(n);
  chain.reverse().forEach((n, k) => {
    if (k > 0) crumbs.appendChild(el("span", "/", "sep"));
    const b = el("button", label[n]);
    b.type = "button";
    if (n === i) b.setAttribute("aria-current", "location");
    else b.addEventListener("click", () => go(n));
    crumbs.appendChild(b);
  });
}
function table(i) {
  const body = $("contents").tBodies[0];
  body.replaceChildren();
  $("contents-path").textContent = fullPath(i);
  for (const k of kids[i] || []) {
    const row = el("tr");
    row.tabIndex = 0;
    row.dataset.i = k;
    if (kind[k] === KIND_DIR) row.className = "dir";
    const dirLike = kind[k] === KIND_DIR || kind[k] === KIND_UNLISTED;
    const name = el("td", dirLike ? label[k] + "/" : label[k]);
    name.title = label[k];
    row.append(name, el("td", human(size[k]), "num"), el("td", share(size[k], size[i]), "share"));
    body.appendChild(row);
  }
}
function show(i) {
  current = i;
  crumbsFor(i);
  table(i);
  draw();
  document.title = fullPath(i) + " \u2014 scan_tree";
}
function go(i) {
  if (i === current) return;
  show(i);
  const f = fragment(i);
  if (location.hash !== f) location.hash = f;
}
function zoomTarget(i) {
  if (kind[i] === KIND_DIR) return i;
  const p = parent[i];
  return p >= 0 && kind[p] === KIND_DIR ? p : -1;
}

map.addEventListener("click", (e) => {
  const cell = e.target.closest(".cell");
  if (!cell) return;
  const target = zoomTarget(Number(cell.dataset.i));
  if (target >= 0) go(target);
});
map.addEventListener("mousemove", (e) => {
  const cell = e.target.closest(".cell");
  if (!cell) { tip.hidden = true; return; }
  const i = Number(cell.dataset.i);
  const p = parent[i];
  tip.replaceChildren(
      el("div", kind[i] === KIND_SMALLER || kind[i] === KIND_REMAINDER
          ? fullPath(p) + "/" + label[i] : fullPath(i), "path"),
      el("div", human(size[i]) + " (" + size[i].toLocaleString("en-US") + " bytes)"),
      el("div", share(size[i], p >= 0 ? size[p] : size[i]) + " of " + (p >= 0 ? label[p] : "the scan")));
  tip.hidden = false;
  const x = Math.min(e.clientX + 14, window.innerWidth - tip.offsetWidth - 4);
  const y = Math.min(e.clientY + 14, window.innerHeight - tip.offsetHeight - 4);
  tip.style.left = Math.max(0, x) + "px";
  tip.style.top = Math.max(0, y) + "px";
});
map.addEventListener("mouseleave", () => { tip.hidden = true; });
const contents = $("contents").tBodies[0];
function highlight(i, on) {
  const cell = map.querySelector('.cell[data-i="' + i + '"]');
  if (cell) cell.classList.toggle("hl", on);
}
contents.addEventListener("click", (e) => {
  const row = e.target.closest("tr");
  if (row) { const t = zoomTarget(Number(row.dataset.i)); if (t >= 0 && t !== current) go(t); }
});
contents.addEventListener("keydown", (e) => {
  const row = e.target.closest("tr");
  if (!row || (e.key !== "Enter" && e.key !== " ")) return;
  const i = Number(row.dataset.i);
  if (kind[i] === KIND_DIR) { e.preventDefault(); go(i); contents.querySelector("tr")?.focus(); }
});
contents.addEventListener("focusin", (e) => highlight(e.target.closest("tr")?.dataset.i, true));
contents.addEventListener("focusout", (e) => highlight(e.target.closest("tr")?.dataset.i, false));
contents.addEventListener("mouseover", (e) => highlight(e.target.closest("tr")?.dataset.i, true));
contents.addEventListener("mouseout", (e) => highlight(e.target.closest("tr")?.dataset.i, false));
document.addEventListener("keydown", (e) => {
  if (e.key !== "Escape" && e.key !== "Backspace") return;
  if (e.target.closest && e.target.closest("input,textarea,[contenteditable]")) return;
  if (current > 0) { e.preventDefault(); go(parent[current]); }
});
window.addEventListener("hashchange", () => {
  const i = fromFragment(location.hash);
  if (i !== current) show(i);
});
let resizing = 0;
window.addEventListener("resize", () => {
  cancelAnimationFrame(resizing);
  resizing = requestAnimationFrame(draw);
});

const totals = $("totals");
const fact = (name, value) => totals.append(el("dt", name), el("dd", value));
fact("root", data.root);
fact("engine", data.engine);
fact("files", data.files.toLocaleString("en-US"));
fact("directories", data.dirs.toLocaleString("en-US"));
fact("size", human(data.size) + " (" + data.size.toLocaleString("en-US") + " bytes)");
fact("elapsed", data.elapsed_ms.toLocaleString("en-US") + " ms");
fact("tree depth", String(data.tree_depth));
if (data.note) fact("note", data.note);
const large = $("large").tBodies[0];
$("large-note").textContent = data.large.count === 0 ? "None of 500 MiB or more."
    : data.large.count + " of 500 MiB or more" +
      (data.large.count > data.large.shown.length ? ", the largest " + data.large.shown.length + " shown." : ".");
$("large").hidden = data.large.count === 0;
for (const [path, bytes] of data.large.shown) {
  const row = el("tr");
  const name = el("td", path);
  name.title = path;
  row.append(name, el("td", human(bytes), "num"));
  large.appendChild(row);
}

current = -1;
show(fromFragment(location.hash));
void map.offsetHeight;
const firstDraw = performance.now();

const params = new URLSearchParams(location.search);
if (params.has("selftest")) {
  const measure = () => {
    const box = map.getBoundingClientRect();
    const out = [];
    for (const cell of map.querySelectorAll(".cell")) {
      const i = Number(cell.dataset.i);
      if (parent[i] !== current) continue;
      const r = cell.getBoundingClientRect();
      out.push({name: label[i], kind: kind[i], size: size[i],
                x: r.left - box.left, y: r.top - box.top, w: r.width, h: r.height});
    }
    return {hash: location.hash, title: document.title,
            crumbs: Array.from(crumbs.querySelectorAll("button"), (b) => b.textContent),
            map: {w: box.width, h: box.height}, cells: out,
            rows: contents.rows.length, drawn: map.querySelectorAll(".cell").length};
  };
  const report = {nodes: count, parse_and_first_draw_ms: firstDraw - started,
                  first_draw_ms: firstDraw, before: measure()};
  const name = params.get("click");
  if (name !== null) {
    const cell = Array.from(map.querySelectorAll(".cell")).find(
        (c) => parent[Number(c.dataset.i)] === current && label[Number(c.dataset.i)] === name);
    if (cell) {
      const r = cell.getBoundingClientRect();
      const x = r.left + 3, y = r.top + 3;
      const hit = document.elementFromPoint(x, y);
      hit.dispatchEvent(new MouseEvent("click", {bubbles: true, cancelable: true, clientX: x, clientY: y, view: window}));
      report.after = measure();
      document.dispatchEvent(new KeyboardEvent("keydown", {key: "Escape", bubbles: true}));
      report.escaped = measure();
      const row = Array.from(contents.rows).find((r) => label[Number(r.dataset.i)] === name);
      if (row) {
        row.focus();
        row.dispatchEvent(new KeyboardEvent("keydown", {key: "Enter", bubbles: true}));
        report.entered = measure();
      }
    }
  }
  const out = $("selftest");
  out.textContent = JSON.stringify(report);
}
})();
)page";

}  // namespace

std::string html_page(std::string_view data_json, std::uint64_t nonce_seed) {
  const std::string nonce = fmt::format("{:016x}", nonce_seed);
  std::string page;
  page.reserve(kHead.size() + kStyle.size() + data_json.size() + kScript.size() + 512);
  page += kHead;
  // Only the page's own script runs, and nothing is fetched: a name that
  // somehow became markup could neither load nor execute anything.
  page += fmt::format(
      "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; "
      "style-src 'unsafe-inline'; img-src data:; script-src 'nonce-{}'\">\n",
      nonce);
  page += kStyle;
  page += data_json;
  page += "</script>\n";
  page += fmt::format("<script nonce=\"{}\">", nonce);
  page += kScript;
  page += "</script>\n</body>\n</html>\n";
  return page;
}

}  // namespace tessaly::scan_tree
