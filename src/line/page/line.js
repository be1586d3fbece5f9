// The line page: draws /api/line's document, then every document /events pushes. Every text
// that comes from a station is set as textContent, never as markup.
'use strict';

const STATES = ['idle', 'running', 'passed', 'failed', 'interrupted', 'held'];
let chart = null;
let lastDoc = null;
let connected = true;

function el(tag, cls, text) {
  const e = document.createElement(tag);
  if (cls) e.className = cls;
  if (text !== undefined && text !== null) e.textContent = String(text);
  return e;
}

function fmt(value, digits, suffix) {
  return typeof value === 'number' && isFinite(value) ? value.toFixed(digits) + (suffix || '') : '\u2013';
}

function localTime(iso) {
  const d = new Date(iso);
  return isNaN(d) ? '' : d.toLocaleTimeString([], { hour: '2-digit', minute: '2-digit' });
}

function stationStatus(s) {
  if (s.stopped) return ['stopped', 'STOPPED ' + localTime(s.stopped)];
  if (s.silent) return ['silent', 'SILENT ' + Math.round(s.heartbeat_age_s || 0) + ' s'];
  return ['running', 'RUNNING'];
}

function figure(value, label) {
  const f = el('div', 'figure');
  f.append(el('b', null, value), el('span', null, label));
  return f;
}

function cell(f) {
  const state = STATES.includes(f.state) ? f.state : 'idle';
  const c = el('div', 'cell ' + state + (f.suspect ? ' suspect' : ''));
  c.dataset.fixture = f.fixture;
  c.dataset.state = state;
  c.append(el('span', 'no', f.fixture), el('span', 'state', f.suspect ? 'suspect' : state));
  c.append(el('div', 'stage', f.stage || ''));
  if (typeof f.progress === 'number') {
    const bar = el('div', 'bar');
    const fill = el('div');
    fill.style.width = Math.max(0, Math.min(100, f.progress)) + '%';
    bar.append(fill);
    c.append(bar);
    c.title = f.progress + '%';
  }
  c.append(el('div', 'text', f.status_text || ''));
  return c;
}

function tile(s, stale) {
  const [status, label] = stationStatus(s);
  const t = el('article', 'tile ' + status + (stale ? ' stale' : ''));
  t.dataset.station = s.station;
  t.dataset.status = status;
  const head = el('div', 'tile-head');
  head.append(el('span', 'id', s.station), el('span', 'host', s.host || ''), el('span', 'status', label));
  t.append(head);
  const job = s.job || {};
  t.append(el('div', 'job', job.description || (job.sha256 ? 'job ' + job.sha256.slice(0, 12) : 'no job')));
  const tally = s.tally || {};
  const figs = el('div', 'figures');
  figs.append(figure(fmt(tally.phones_per_hour, 0), 'phones/h'),
              figure(fmt(tally.first_pass_yield, 1, '%'), 'first-pass yield'),
              figure((tally.programmed ?? 0) + ' / ' + (tally.failed ?? 0), 'programmed / failed'),
              figure(String(tally.phones_today ?? 0), 'phones today'));
  t.append(figs);
  const grid = el('div', 'fixtures');
  for (const f of s.fixtures || []) grid.append(cell(f));
  t.append(grid);
  return t;
}

function drawChart(stations) {
  if (typeof window.Chart !== 'function') {
    document.getElementById('chart-missing').hidden = false;
    return;
  }
  const labels = [];
  for (let h = 0; h < 24; h++) labels.push(String(h).padStart(2, '0'));
  const palette = ['#4e9cf5', '#f5a623', '#7ed321', '#bd10e0', '#50e3c2', '#f8e71c', '#ff6f61', '#b8e986'];
  const datasets = stations.map((s, i) => {
    const data = new Array(24).fill(0);
    for (const h of s.today_by_hour || []) {
      const d = new Date(h.hour);
      if (!isNaN(d)) data[d.getHours()] += h.phones;
    }
    return { label: s.station, data, backgroundColor: palette[i % palette.length] };
  });
  if (!chart) {
    Chart.defaults.color = '#eef2f5';
    Chart.defaults.font.size = 16;
    chart = new Chart(document.getElementById('chart'), {
      type: 'bar',
      data: { labels, datasets },
      options: { animation: false, maintainAspectRatio: false,
                 scales: { y: { beginAtZero: true, ticks: { precision: 0 } } } },
    });
  } else {
    chart.data.datasets = datasets;
    chart.update('none');
  }
}

function showBanner() {
  const banner = document.getElementById('banner');
  const db = (lastDoc && lastDoc.database) || {};
  let text = '';
  if (!connected) text = 'No connection to bramblewick-line: retrying.';
  else if (db.ok === false) text = 'Factory database unreachable: ' + (db.error || '') +
    ((lastDoc.stations || []).length ? ' (the line as last seen)' : '');
  banner.textContent = text;
  banner.hidden = !text;
}

function draw(doc) {
  lastDoc = doc;
  const stations = doc.stations || [];
  const stale = !(doc.database && doc.database.ok);
  const box = document.getElementById('stations');
  box.replaceChildren(...stations.map(s => tile(s, stale)));

  const alarms = document.getElementById('alarms');
  const items = (doc.alarms || []).map(a => {
    const li = el('li', a.kind, a.text);
    li.dataset.kind = a.kind;
    return li;
  });
  if (!items.length) items.push(el('li', 'none', 'No alarms'));
  alarms.replaceChildren(...items);

  let running = 0, fixtures = 0, today = 0;
  for (const s of stations) {
    for (const f of s.fixtures || []) { fixtures++; if (f.state === 'running') running++; }
    today += (s.tally && s.tally.phones_today) || 0;
  }
  document.getElementById('summary').textContent =
    stations.length + ' stations \u00b7 ' + running + ' of ' + fixtures + ' fixtures running \u00b7 ' +
    today + ' phones today';
  showBanner();
  drawChart(stations);
  document.body.dataset.generation = String((Number(document.body.dataset.generation) || 0) + 1);
}

function tick() {
  document.getElementById('clock').textContent = new Date().toLocaleTimeString();
}

function start() {
  tick();
  setInterval(tick, 1000);
  // The stream sends the current line at once; the fetch only fills the page sooner, and must
  // not draw over a newer document that the stream brought first.
  let streamed = false;
  fetch('/api/line', { cache: 'no-store' }).then(r => r.json())
    .then(doc => { if (!streamed) draw(doc); }).catch(() => {});
  const events = new EventSource('/events');
  events.onmessage = e => { streamed = true; connected = true; draw(JSON.parse(e.data)); };
  events.onerror = () => { connected = false; showBanner(); };
  events.onopen = () => { connected = true; showBanner(); };
}

start();
