#include "webpage.h"

const std::string& WebPage::html() {
    static const std::string page = R"PAGE(<!doctype html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Test bench</title>
<link rel="stylesheet" href="/page.css">
<script src="/page.js" defer></script>
</head>
<body>
<header>
  <h1>Bench <span id="bench">-</span> <small>live, read-only</small></h1>
  <dl id="summary">
    <div><dt>benchd</dt><dd id="version">-</dd></div>
    <div><dt>up</dt><dd id="uptime">-</dd></div>
    <div><dt>control client</dt><dd id="client">-</dd></div>
    <div><dt>observers</dt><dd id="observers">-</dd></div>
    <div><dt>page viewers</dt><dd id="viewers">-</dd></div>
  </dl>
</header>
<div id="banner" role="alert" hidden></div>
<div id="notice" role="status" hidden></div>
<main>
<div class="column">
  <section id="speed-panel" aria-labelledby="speed-title">
    <h2 id="speed-title">Stand speed</h2>
    <p class="big"><output id="speed">-</output> <span class="unit" id="speed-unit"></span></p>
    <p>set-point <output id="setpoint">-</output> <span class="unit" id="setpoint-unit"></span></p>
    <svg id="speed-bar" viewBox="0 0 300 28" role="img" aria-label="speed against set-point"></svg>
  </section>
  <section id="boards" aria-labelledby="boards-title">
    <h2 id="boards-title">Latest values by board</h2>
    <div id="board-list"></div>
  </section>
</div>
<div class="column">
  <section id="charts" aria-labelledby="charts-title">
    <h2 id="charts-title">Oscillogram charts</h2>
    <div id="chart-list"></div>
  </section>
  <section id="ports" aria-labelledby="ports-title">
    <h2 id="ports-title">Ports</h2>
    <div class="scroll">
      <table id="port-table">
        <thead><tr><th scope="col">port</th><th scope="col">board</th>
          <th scope="col">identified</th><th scope="col">low latency</th>
          <th scope="col">commands</th><th scope="col">retries</th>
          <th scope="col">CRC errors</th><th scope="col">noise bytes</th>
          <th scope="col">drops</th><th scope="col">last heard</th></tr></thead>
        <tbody></tbody>
      </table>
    </div>
  </section>
</div>
</main>
<footer>
  <p>Served by <code>benchctl web</code> from benchd's monitor port: this page only watches
  and cannot change a setting. <span id="lost"></span></p>
</footer>
</body>
</html>
)PAGE";
    return page;
}

const std::string& WebPage::css() {
    static const std::string style = R"CSS(
:root { --fg: #1b1f24; --muted: #5b6470; --line: #d0d7de; --bg: #ffffff; --panel: #f6f8fa;
        --accent: #0a58ca; --bad: #b42318; --good: #1a7f37; }
* { box-sizing: border-box; }
body { margin: 0; font: 15px/1.4 system-ui, sans-serif; color: var(--fg); background: var(--bg); }
header { padding: 10px 16px; background: var(--panel); border-bottom: 1px solid var(--line); }
h1 { margin: 0 0 6px; font-size: 1.35em; }
h1 small, h3 small { font-weight: normal; color: var(--muted); font-size: 0.7em; }
h2 { font-size: 1.1em; margin: 0 0 8px; }
h3 { font-size: 1em; margin: 10px 0 4px; text-transform: capitalize; }
dl { display: flex; flex-wrap: wrap; gap: 4px 22px; margin: 0; }
dl div { display: flex; gap: 6px; }
dt { color: var(--muted); }
dd { margin: 0; font-weight: 600; }
#banner { background: var(--bad); color: #fff; padding: 10px 16px; font-weight: 700; }
#notice { background: #fff4ce; padding: 8px 16px; }
main { display: grid; grid-template-columns: 1fr; gap: 14px; padding: 14px 16px; }
.column { display: flex; flex-direction: column; gap: 14px; min-width: 0; }
@media (min-width: 1000px) {
  main { grid-template-columns: minmax(360px, 1fr) 2fr; align-items: start; }
}
section { background: var(--panel); border: 1px solid var(--line); border-radius: 6px;
          padding: 10px 12px; min-width: 0; }
table { border-collapse: collapse; width: 100%; font-variant-numeric: tabular-nums; }
th, td { text-align: left; padding: 3px 8px 3px 0; border-bottom: 1px solid var(--line);
         vertical-align: top; }
thead th { color: var(--muted); font-weight: 600; font-size: 0.9em; }
tbody th { font-weight: normal; }
td.text { font-weight: 600; }
td.unit { color: var(--muted); }
.scroll { overflow-x: auto; }
#port-table { font-size: 0.9em; }
#port-table td, #port-table th { white-space: nowrap; padding-right: 6px; }
.big { font-size: 2em; margin: 0; font-weight: 700; }
.unit { color: var(--muted); font-weight: normal; }
.big .unit { font-size: 0.6em; }
.board.empty h3::after { content: " (no board identified)"; color: var(--muted);
                         font-weight: normal; text-transform: none; }
#chart-list { display: grid; grid-template-columns: repeat(auto-fill, minmax(280px, 1fr));
              gap: 10px; }
figure { margin: 0; background: var(--bg); border: 1px solid var(--line); border-radius: 4px;
         padding: 4px; }
figcaption { font-size: 0.9em; color: var(--muted); }
figcaption b { color: var(--fg); }
svg { display: block; width: 100%; height: auto; }
svg .axis { stroke: var(--muted); stroke-width: 1; }
svg .grid { stroke: var(--line); stroke-width: 1; }
svg text { font-size: 11px; fill: var(--muted); }
svg .trace { fill: none; stroke: var(--accent); stroke-width: 1.5; }
.yes { color: var(--good); } .no { color: var(--bad); }
footer { color: var(--muted); padding: 0 16px 16px; font-size: 0.9em; }
)CSS";
    return style;
}

const std::string& WebPage::js() {
    static const std::string script = R"JS('use strict';
// Keeps the page in step with benchctl web's events: a whole picture ("state") first, then
// values, charts, boards, status and the monitor link as they change.
const BOARDS = ['stand', 'injector tester', 'flowmeter', 'delay meter', 'other'];
const SVG = 'http://www.w3.org/2000/svg';
const $ = (id) => document.getElementById(id);
let lastStatus = null;
let speedUnit = '';

function el(tag, attrs, text) {
  const node = tag.startsWith('svg:') ? document.createElementNS(SVG, tag.slice(4))
                                      : document.createElement(tag);
  for (const [name, value] of Object.entries(attrs || {})) node.setAttribute(name, value);
  if (text !== undefined) node.textContent = text;
  return node;
}

function boardSection(board) {
  let section = document.querySelector(`section.board[data-board="${board}"]`);
  if (section) return section;
  const list = $('board-list');
  section = el('section', {class: 'board empty', 'data-board': board,
                           'aria-label': board});
  const title = el('h3', {}, board);
  title.append(' ', el('small', {class: 'ids'}));
  const table = el('table');
  const head = el('thead');
  const row = el('tr');
  for (const name of ['value', 'reading', 'unit']) row.append(el('th', {scope: 'col'}, name));
  head.append(row);
  table.append(head, el('tbody'));
  section.append(title, table);
  const at = BOARDS.indexOf(board);
  const after = [...list.children].find((s) => BOARDS.indexOf(s.dataset.board) > at);
  list.insertBefore(section, after || null);
  return section;
}

function applyBoards(boards) {
  for (const b of boards) {
    const section = boardSection(b.board);
    section.querySelector('small.ids').textContent = b.ids.join(', ');
    section.classList.toggle('empty', b.ids.length === 0 && b.board !== 'other');
  }
}

function applyValue(v) {
  const body = boardSection(v.board).querySelector('tbody');
  let rows = [...body.querySelectorAll(`tr[data-key="${CSS.escape(v.key)}"]`)];
  if (rows.length !== v.cells.length) {
    rows.forEach((r) => r.remove());
    const after = [...body.children].find((r) => Number(r.dataset.order) > v.order);
    rows = v.cells.map((c) => {
      const row = el('tr', {'data-key': v.key, 'data-order': v.order});
      row.append(el('th', {scope: 'row'}), el('td', {class: 'text'}),
                 el('td', {class: 'unit'}));
      body.insertBefore(row, after || null);
      return row;
    });
  }
  v.cells.forEach((c, i) => {
    const [label, text, unit] = rows[i].children;
    label.textContent = v.cells.length > 1 ? `${v.label}: ${c.label}` : v.label;
    text.textContent = c.text;
    unit.textContent = c.unit;
  });
  if (v.key === 'device_rpm') {
    speedUnit = v.cells[0] ? v.cells[0].unit : '';
    $('speed').textContent = v.cells[0] ? v.cells[0].text : v.text;
    drawSpeed();
  }
}

function drawSpeed() {
  const speed = parseFloat($('speed').textContent);
  const setpoint = parseFloat($('setpoint').textContent);
  $('speed-unit').textContent = speedUnit;
  $('setpoint-unit').textContent = speedUnit;
  const bar = $('speed-bar');
  bar.replaceChildren();
  const top = Math.max(1, Number.isFinite(speed) ? speed : 0,
                       Number.isFinite(setpoint) ? setpoint : 0) * 1.1;
  bar.append(el('svg:rect', {x: 0, y: 6, width: 300, height: 16, fill: '#e6ebf1'}));
  if (Number.isFinite(speed)) {
    bar.append(el('svg:rect', {id: 'speed-fill', x: 0, y: 6, height: 16, fill: '#0a58ca',
                               width: Math.max(0, 300 * speed / top).toFixed(1)}));
  }
  if (Number.isFinite(setpoint)) {
    const x = (300 * setpoint / top).toFixed(1);
    bar.append(el('svg:line', {id: 'setpoint-mark', x1: x, x2: x, y1: 0, y2: 28,
                               stroke: '#b42318', 'stroke-width': 3}));
  }
}

// Round steps (1, 2 or 5 times a power of ten) covering [low, high].
function ticks(low, high, count) {
  if (!(high > low)) return [low];
  const raw = (high - low) / count;
  const power = Math.pow(10, Math.floor(Math.log10(raw)));
  const step = [1, 2, 5, 10].map((m) => m * power).find((s) => s >= raw);
  const out = [];
  for (let t = Math.ceil(low / step) * step; t <= high + step * 1e-9; t += step) {
    out.push(Number(t.toPrecision(12)));
  }
  return out;
}

function chartFigure(number, key) {
  let figure = $(`chart-${number}`);
  if (figure) return figure;
  figure = el('figure', {id: `chart-${number}`, 'data-key': key, 'data-points': 0});
  const caption = el('figcaption');
  caption.append(el('b', {}, `Chart ${number}`), el('span', {}, ' waiting for the first one'));
  figure.append(caption, el('svg:svg', {viewBox: '0 0 320 180', role: 'img',
                                        'aria-label': `chart ${number}`}));
  const list = $('chart-list');
  const after = [...list.children].find((f) => Number(f.id.slice(6)) > number);
  list.insertBefore(figure, after || null);
  return figure;
}

function drawChart(c) {
  const figure = chartFigure(c.chart, c.key);
  const svg = figure.querySelector('svg');
  const points = c.points;
  const W = 320, H = 180, L = 44, R = 8, T = 8, B = 22;
  svg.replaceChildren();
  let low = Math.min(...points), high = Math.max(...points);
  if (!(high > low)) { low -= 1; high += 1; }
  const x = (i) => L + (W - L - R) * (points.length > 1 ? i / (points.length - 1) : 0.5);
  const y = (v) => T + (H - T - B) * (1 - (v - low) / (high - low));
  for (const t of ticks(low, high, 4)) {
    svg.append(el('svg:line', {class: 'grid', x1: L, x2: W - R, y1: y(t), y2: y(t)}));
    svg.append(el('svg:text', {x: L - 4, y: y(t) + 4, 'text-anchor': 'end'}, String(t)));
  }
  for (const t of ticks(0, Math.max(1, c.count - 1), 4)) {
    const at = L + (W - L - R) * (c.count > 1 ? t / (c.count - 1) : 0.5);
    svg.append(el('svg:text', {x: at, y: H - 6, 'text-anchor': 'middle'}, String(t)));
  }
  svg.append(el('svg:line', {class: 'axis', x1: L, x2: L, y1: T, y2: H - B}));
  svg.append(el('svg:line', {class: 'axis', x1: L, x2: W - R, y1: H - B, y2: H - B}));
  svg.append(el('svg:polyline', {class: 'trace',
      points: points.map((v, i) => `${x(i).toFixed(1)},${y(v).toFixed(1)}`).join(' ')}));
  figure.dataset.points = points.length;
  figure.dataset.count = c.count;
  const caption = figure.querySelector('figcaption span');
  caption.textContent = ` ${c.key}: ${c.count} points, ${low} to ${high}` +
                        (c.unit ? ` ${c.unit}` : '') + `, at ${new Date().toLocaleTimeString()}`;
  svg.setAttribute('aria-label', `chart ${c.chart}, ${c.count} points`);
}

function age(ms) {
  if (ms === undefined) return '-';
  return ms < 1000 ? 'just now' : `${(ms / 1000).toFixed(0)} s ago`;
}

function applyStatus(s) {
  lastStatus = s;
  $('bench').textContent = s.bench;
  document.title = `Bench ${s.bench}`;
  const b = s.benchd;
  $('version').textContent = b ? b.version : '-';
  $('uptime').textContent = b ? b.uptimeText : '-';
  $('client').textContent = !b ? '-' : (b.client === 'none' ? 'none connected' : b.client);
  $('observers').textContent = b ? b.observers : '-';
  $('viewers').textContent = `${s.viewers.count} of ${s.viewers.max}`;
  if (b) {
    $('setpoint').textContent = b.setpoint || '-';
    drawSpeed();
  }
  const body = $('port-table').querySelector('tbody');
  body.replaceChildren(...s.ports.map((p) => {
    const row = el('tr', {'data-port': p.name});
    const c = p.counters;
    row.append(el('th', {scope: 'row'}, p.name), el('td', {}, p.board),
               el('td', {class: p.identified ? 'yes' : 'no'}, p.identified ? 'yes' : 'no'),
               el('td', {}, p.lowLatency));
    for (const name of ['commands sent', 'retries', 'crc failures', 'garbage bytes', 'dropped']) {
      row.append(el('td', {}, c[name] === undefined ? '-' : c[name]));
    }
    row.append(el('td', {}, age(p.lastHeardMs)));
    return row;
  }));
  applyLink(s.link);
}

function applyLink(link) {
  const banner = $('banner');
  banner.hidden = link.up;
  banner.textContent = link.up ? '' : link.banner;
}

function applyState(state) {
  applyLink(state.link);
  applyBoards(state.values.boards);
  for (const board of state.values.boards) board.values.forEach(applyValue);
  for (const chart of state.values.charts) drawChart(chart);
  applyStatus(state.status);
}

function notice(text) {
  $('notice').hidden = !text;
  $('notice').textContent = text || '';
}

let lostEvents = 0;
function connect() {
  const source = new EventSource('/events');
  const on = (name, apply) =>
    source.addEventListener(name, (e) => apply(JSON.parse(e.data)));
  on('state', (s) => { notice(''); applyState(s); });
  on('value', applyValue);
  on('chart', drawChart);
  on('boards', applyBoards);
  on('status', applyStatus);
  on('link', applyLink);
  on('lost', (l) => {
    lostEvents = l.total;
    $('lost').textContent = `This page fell behind and skipped ${lostEvents} updates.`;
  });
  source.onerror = () => {
    if (source.readyState === EventSource.CLOSED) {
      // Refused (too many viewers) or not an event stream: try again later ourselves.
      notice('The page server refused the live updates (too many viewers?); trying again in 10 s.');
      setTimeout(connect, 10000);
    } else {
      notice('The page server (benchctl web) is not reachable; reconnecting...');
    }
  };
}

for (let n = 1; n <= 6; ++n) chartFigure(n, n === 1 ? 'injector_chart' : `injector_chart${n}`);
for (const board of BOARDS.slice(0, 4)) boardSection(board);
connect();
)JS";
    return script;
}
