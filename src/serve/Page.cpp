// The page serve shows: one HTML file, its style and its script, nothing from outside the
// machine. The script builds every element itself and puts the record's text in with
// textContent only, so a unit or device named like markup is shown as the text it is.
#include "LineServer.h"

const char* const kPageHtml = R"html(<!doctype html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Tarvisel: the line</title>
<link rel="stylesheet" href="/page.css">
</head>
<body>
<header>
  <h1>The line</h1>
  <div id="totals" class="totals"></div>
  <div id="status" class="status" role="status"></div>
  <div id="clock" class="clock"></div>
</header>
<main>
  <section id="stations" class="stations" aria-label="Stations and their ports"></section>
  <div class="columns">
    <section class="panel">
      <h2>Downloads per hour</h2>
      <div id="chart" class="chart"></div>
      <div id="legend" class="legend"></div>
    </section>
    <section class="panel">
      <h2>Today</h2>
      <div id="today"></div>
    </section>
  </div>
  <div class="columns">
    <section class="panel">
      <h2>Failures in the last hour</h2>
      <table id="failures"><thead><tr><th>Time</th><th>Station</th><th>Port</th><th>Unit</th><th>Image</th><th>Why</th></tr></thead><tbody></tbody></table>
    </section>
    <section class="panel">
      <h2>Latest downloads</h2>
      <table id="latest"><thead><tr><th>Time</th><th>Station</th><th>Port</th><th>Unit</th><th>Image</th><th>Outcome</th></tr></thead><tbody></tbody></table>
    </section>
  </div>
</main>
<script src="/page.js"></script>
</body>
</html>
)html";

const char* const kPageCss = R"css(
:root {
  --bg: #101418; --panel: #1a2027; --line: #2c343d; --text: #e8edf2; --dim: #9aa7b4;
  --busy: #2f7dd3; --done: #238a4a; --failed: #c9362c; --waiting: #b58a12; --empty: #3a434d; --offline: #5b4a66;
}
* { box-sizing: border-box; }
html { font-size: clamp(14px, 1.05vw, 26px); }
body { margin: 0; background: var(--bg); color: var(--text); font-family: "DejaVu Sans", "Noto Sans", "NanumGothic", sans-serif; }
header { display: flex; align-items: baseline; gap: 2rem; padding: .8rem 1.4rem; border-bottom: 1px solid var(--line); flex-wrap: wrap; }
h1 { margin: 0; font-size: 1.9rem; }
h2 { margin: 0 0 .6rem; font-size: 1.25rem; color: var(--dim); font-weight: 600; }
.totals { font-size: 1.5rem; }
.totals b { font-size: 1.9rem; }
.status { color: #ffb4a8; font-weight: 600; }
.clock { margin-left: auto; font-size: 1.5rem; font-variant-numeric: tabular-nums; color: var(--dim); }
main { padding: 1rem 1.4rem; display: grid; gap: 1.2rem; }
.stations { display: grid; grid-template-columns: repeat(auto-fill, minmax(34rem, 1fr)); gap: 1.2rem; }
.station { background: var(--panel); border: 1px solid var(--line); border-radius: .5rem; padding: .8rem; }
.station.offline { border-color: var(--offline); }
.station-head { display: flex; align-items: baseline; gap: 1rem; margin-bottom: .6rem; flex-wrap: wrap; }
.station-name { font-size: 1.45rem; font-weight: 700; }
.station-online { font-weight: 600; padding: .05rem .5rem; border-radius: .3rem; background: var(--done); }
.station.offline .station-online { background: var(--offline); }
.station-today { margin-left: auto; color: var(--dim); font-variant-numeric: tabular-nums; }
.tiles { display: grid; grid-template-columns: repeat(auto-fill, minmax(10rem, 1fr)); gap: .5rem; }
.tile { border-radius: .4rem; padding: .4rem .55rem; min-height: 4.9rem; display: flex; flex-direction: column; gap: .12rem; background: var(--empty); border-left: .45rem solid rgba(255,255,255,.35); overflow: hidden; }
.tile-line { display: flex; align-items: baseline; justify-content: space-between; gap: .4rem; }
.tile.busy { background: var(--busy); }
.tile.done { background: var(--done); }
.tile.failed { background: var(--failed); border-left-color: #ffd2cc; }
.tile.waiting { background: var(--waiting); }
.tile.offline { background: var(--offline); opacity: .8; }
.tile-port { font-size: .85rem; color: rgba(255,255,255,.85); white-space: nowrap; overflow: hidden; text-overflow: ellipsis; }
.tile-state { font-size: 1.1rem; font-weight: 700; overflow-wrap: break-word; hyphens: manual; }
.tile-state::first-letter { text-transform: uppercase; }
.tile-percent { font-size: 1.3rem; font-weight: 700; font-variant-numeric: tabular-nums; white-space: nowrap; }
.bar { height: .45rem; background: rgba(0,0,0,.35); border-radius: .2rem; overflow: hidden; }
.bar > div { height: 100%; background: #fff; }
.tile-unit, .tile-time { font-size: .85rem; color: rgba(255,255,255,.9); white-space: nowrap; overflow: hidden; text-overflow: ellipsis; }
.columns { display: grid; grid-template-columns: 1fr 1fr; gap: 1.2rem; }
@media (max-width: 900px) { .columns { grid-template-columns: 1fr; } .stations { grid-template-columns: 1fr; } }
.panel { background: var(--panel); border: 1px solid var(--line); border-radius: .5rem; padding: .8rem; min-width: 0; }
table { width: 100%; border-collapse: collapse; font-size: .95rem; }
th { text-align: left; color: var(--dim); font-weight: 600; border-bottom: 1px solid var(--line); padding: .25rem .4rem; }
td { padding: .25rem .4rem; border-bottom: 1px solid var(--line); overflow-wrap: anywhere; }
td.num { text-align: right; font-variant-numeric: tabular-nums; }
.outcome-ok { color: #7fe0a0; font-weight: 600; }
td.time { white-space: nowrap; font-variant-numeric: tabular-nums; }
.outcome-bad { color: #ff9d94; font-weight: 600; }
.none { color: var(--dim); font-style: italic; }
.chart svg { width: 100%; height: auto; display: block; }
.chart text { fill: var(--dim); font-size: 11px; }
.legend { display: flex; flex-wrap: wrap; gap: .4rem 1rem; margin-top: .4rem; font-size: .9rem; }
.legend span::before { content: ""; display: inline-block; width: .8rem; height: .8rem; margin-right: .3rem; background: var(--c); vertical-align: -.1rem; }
.today-grid { display: grid; grid-template-columns: 1fr 1fr; gap: 1rem; }
.today-grid h3 { margin: .3rem 0; font-size: 1rem; color: var(--dim); }
)css";

const char* const kPageJs = R"js('use strict';
(function () {
  const POLL_MS = 1000;
  const PALETTE = { 'completed': '#2fbf64', 'stopped': '#8895a3', 'no-reply': '#e0483e', 'line-broke': '#f08a24',
    'handset-refused': '#d94f9a', 'refused': '#9b59d0', 'port-failed': '#c9a227', 'timeout': '#e06e3e' };
  const SPARE = ['#5dade2', '#a3e048', '#f5b7b1', '#48c9b0', '#f7dc6f'];
  const $ = (id) => document.getElementById(id);

  // Every piece of the record's text goes in through textContent: never as markup.
  function el(tag, cls, text) {
    const e = document.createElement(tag);
    if (cls) e.className = cls;
    if (text !== undefined && text !== null) e.textContent = String(text);
    return e;
  }
  function colour(outcome, known) {
    if (PALETTE[outcome]) return PALETTE[outcome];
    const i = known.indexOf(outcome);
    return SPARE[(i < 0 ? 0 : i) % SPARE.length];
  }
  function clock(iso) {
    if (!iso) return '';
    const d = new Date(iso);
    return isNaN(d) ? String(iso) : d.toLocaleTimeString([], { hour: '2-digit', minute: '2-digit', second: '2-digit', hour12: false });
  }
  // A port as the line knows it: a USB adapter's serial from its by-id name, else the name of
  // its device.
  function portName(port) {
    const parts = String(port).split('/');
    const name = parts[parts.length - 1] || String(port);
    const byId = name.match(/^usb-.*_([^_]+?)(-if\d+)?(-port\d+)?$/);
    return byId ? byId[1] : name;
  }
  function counted(c) {
    if (!c || !c.total) return 'none yet';
    return c.completed + ' / ' + c.total + ' (' + c.yield + ' %)';
  }

  function tile(station, p) {
    const t = el('div', 'tile ' + p.state);
    t.dataset.station = station.station;
    t.dataset.port = p.port;
    t.dataset.state = p.state;
    t.title = p.port;
    const line = el('div', 'tile-line');
    line.appendChild(el('div', 'tile-port', portName(p.port)));
    t.appendChild(line);
    t.appendChild(el('div', 'tile-state', p.state_words));
    if (p.state === 'busy' && p.percent !== null) {
      line.appendChild(el('div', 'tile-percent', Math.floor(p.percent) + ' %'));
      const bar = el('div', 'bar');
      const fill = el('div');
      fill.style.width = Math.max(0, Math.min(100, p.percent)) + '%';
      bar.appendChild(fill);
      t.appendChild(bar);
    }
    if (p.state === 'offline' && p.last_outcome) t.appendChild(el('div', 'tile-unit', 'last: ' + p.last_outcome_words));
    t.appendChild(el('div', 'tile-unit', (p.unit ? p.unit + ' · ' : '') + clock(p.updated)));
    return t;
  }

  function drawStations(stations) {
    const box = $('stations');
    const parts = [];
    for (const s of stations) {
      const card = el('article', 'station' + (s.online ? '' : ' offline'));
      card.dataset.station = s.station;
      const head = el('div', 'station-head');
      head.appendChild(el('span', 'station-name', s.station));
      head.appendChild(el('span', 'station-online', s.online ? 'online' : (s.ended ? 'offline (ended)' : 'offline')));
      head.appendChild(el('span', 'station-today', 'today ' + counted(s.today)));
      card.appendChild(head);
      const tiles = el('div', 'tiles');
      for (const p of s.ports) tiles.appendChild(tile(s, p));
      if (!s.ports.length) tiles.appendChild(el('div', 'none', 'no ports published'));
      card.appendChild(tiles);
      parts.push(card);
    }
    if (!parts.length) parts.push(el('p', 'none', 'No station has published yet.'));
    box.replaceChildren(...parts);
  }

  function drawRows(id, rows, why) {
    const body = $(id).tBodies[0];
    const lines = rows.map((r) => {
      const tr = el('tr');
      tr.appendChild(el('td', 'time', clock(r.end)));
      tr.appendChild(el('td', null, r.station));
      tr.appendChild(el('td', null, portName(r.port)));
      tr.appendChild(el('td', r.unit ? null : 'none', r.unit || 'none'));
      tr.appendChild(el('td', null, r.image));
      const ok = r.outcome === 'completed';
      tr.appendChild(el('td', ok ? 'outcome-ok' : 'outcome-bad', why ? r.outcome_words : (ok ? 'completed' : r.outcome_words)));
      return tr;
    });
    if (!lines.length) {
      const tr = el('tr');
      const td = el('td', 'none', why ? 'No failure in the last hour.' : 'No download yet.');
      td.colSpan = 6;
      tr.appendChild(td);
      lines.push(tr);
    }
    body.replaceChildren(...lines);
  }

  function drawChart(hours) {
    const NS = 'http://www.w3.org/2000/svg';
    const W = 720, H = 220, L = 34, B = 22, T = 8;
    const known = [];
    for (const h of hours) for (const o of Object.keys(h.outcomes)) if (!known.includes(o)) known.push(o);
    known.sort((a, b) => (a === 'completed' ? -1 : b === 'completed' ? 1 : a.localeCompare(b)));
    const most = Math.max(1, ...hours.map((h) => Object.values(h.outcomes).reduce((a, b) => a + b, 0)));
    const svg = document.createElementNS(NS, 'svg');
    svg.setAttribute('viewBox', '0 0 ' + W + ' ' + H);
    svg.setAttribute('role', 'img');
    svg.setAttribute('aria-label', 'Downloads per hour by outcome, last 24 hours');
    const slot = (W - L) / hours.length;
    const y = (n) => H - B - (H - B - T) * n / most;
    for (const n of [0, Math.round(most / 2), most]) {
      const line = document.createElementNS(NS, 'line');
      line.setAttribute('x1', L); line.setAttribute('x2', W);
      line.setAttribute('y1', y(n)); line.setAttribute('y2', y(n));
      line.setAttribute('stroke', '#2c343d');
      svg.appendChild(line);
      const label = document.createElementNS(NS, 'text');
      label.setAttribute('x', L - 4); label.setAttribute('y', y(n) + 4); label.setAttribute('text-anchor', 'end');
      label.textContent = String(n);
      svg.appendChild(label);
    }
    hours.forEach((h, i) => {
      let base = 0;
      const x = L + i * slot + slot * 0.12;
      for (const o of known) {
        const n = h.outcomes[o] || 0;
        if (!n) continue;
        const r = document.createElementNS(NS, 'rect');
        r.setAttribute('x', x); r.setAttribute('width', slot * 0.76);
        r.setAttribute('y', y(base + n)); r.setAttribute('height', y(base) - y(base + n));
        r.setAttribute('fill', colour(o, known));
        const tip = document.createElementNS(NS, 'title');
        tip.textContent = clock(h.hour).slice(0, 5) + ' ' + o + ': ' + n;
        r.appendChild(tip);
        svg.appendChild(r);
        base += n;
      }
      const d = new Date(h.hour);
      if (d.getHours() % 3 === 0) {
        const label = document.createElementNS(NS, 'text');
        label.setAttribute('x', x + slot * 0.38); label.setAttribute('y', H - 6); label.setAttribute('text-anchor', 'middle');
        label.textContent = String(d.getHours()).padStart(2, '0') + 'h';
        svg.appendChild(label);
      }
    });
    $('chart').replaceChildren(svg);
    $('legend').replaceChildren(...known.map((o) => {
      const s = el('span', null, o);
      s.style.setProperty('--c', colour(o, known));
      return s;
    }));
  }

  function countTable(title, rows, name) {
    const box = el('div');
    box.appendChild(el('h3', null, title));
    const table = el('table');
    const head = el('tr');
    for (const h of ['', 'Done', 'Failed', 'Yield']) head.appendChild(el('th', null, h));
    table.appendChild(head);
    for (const r of rows) {
      const tr = el('tr');
      tr.appendChild(el('td', null, name(r)));
      tr.appendChild(el('td', 'num', r.completed));
      tr.appendChild(el('td', 'num', r.failed));
      tr.appendChild(el('td', 'num', r.yield === null ? '' : r.yield + ' %'));
      table.appendChild(tr);
    }
    if (!rows.length) table.appendChild(el('tr')).appendChild(el('td', 'none', 'none yet'));
    box.appendChild(table);
    return box;
  }

  function drawToday(today) {
    // The ports that fail most first: a worn cable shows before it costs a shift.
    const ports = today.by_port.filter((p) => p.failed > 0)
      .sort((a, b) => b.failed - a.failed || a.yield - b.yield).slice(0, 12);
    const grid = el('div', 'today-grid');
    grid.appendChild(countTable('By station', today.by_station, (r) => r.station));
    grid.appendChild(countTable('By image', today.by_image, (r) => r.image));
    grid.appendChild(countTable('Ports that failed most', ports, (r) => r.station + ' ' + portName(r.port)));
    $('today').replaceChildren(grid);
    const totals = $('totals');
    totals.replaceChildren(el('span', null, 'Today: '), el('b', null, String(today.completed)), el('span', null, ' done, '),
      el('b', null, String(today.failed)), el('span', null, ' failed'),
      el('span', null, today.total ? ', yield ' + today.yield + ' %' : ''));
  }

  let last = null;
  function draw(line) {
    drawStations(line.stations);
    drawRows('failures', line.failures, true);
    drawRows('latest', line.latest, false);
    drawChart(line.hours);
    drawToday(line.today);
    $('status').textContent = line.record_error ? 'The record does not answer: ' + line.record_error : '';
    document.body.dataset.now = line.now;
  }

  async function poll() {
    try {
      const res = await fetch('/api/line', { cache: 'no-store' });
      if (!res.ok) throw new Error('HTTP ' + res.status);
      const text = await res.text();
      if (text !== last) {
        last = text;
        draw(JSON.parse(text));
      }
      document.body.dataset.polled = String(Date.now());
    } catch (e) {
      $('status').textContent = 'serve does not answer (' + e.message + ')';
    }
    $('clock').textContent = clock(new Date().toISOString());
    setTimeout(poll, POLL_MS);
  }
  poll();
})();
)js";
