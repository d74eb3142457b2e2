// The kine serve page: the DAQ list, and live traces of every open DAQ.
// Samples arrive in batches as server-sent events and are kept in full; only
// drawing is decimated (min and max per pixel column), so nothing short of a
// step of one sample is hidden.
'use strict';

const token = new URLSearchParams(location.search).get('token') || '';
const daqs = new Map();  // id -> view of one DAQ
let paused = false;
let spanSeconds = 10;
let windowSeconds = 30;
let lostForView = 0;
let connected = false;

const $ = (sel, root = document) => root.querySelector(sel);
const el = (tag, props = {}, ...children) => {
  const e = Object.assign(document.createElement(tag), props);
  for (const c of children) e.append(c);
  return e;
};
const colours = ['#d62728', '#2ca02c', '#1f77b4', '#9467bd'];

// Samples of one DAQ: times and one column per channel, in growable rings.
class History {
  constructor(width) {
    this.capacity = 4096;
    this.size = 0;
    this.head = 0;  // index of the oldest
    this.t = new Float64Array(this.capacity);
    this.v = Array.from({length: width}, () => new Float64Array(this.capacity));
  }
  push(t, cols) {
    const keep = windowSeconds * 1100;
    for (let i = 0; i < t.length; ++i) {
      if (this.size === this.capacity) {
        if (this.capacity < keep) this.grow(); else { this.head = (this.head + 1) % this.capacity; --this.size; }
      }
      const at = (this.head + this.size) % this.capacity;
      this.t[at] = t[i];
      for (let c = 0; c < cols.length; ++c) this.v[c][at] = cols[c][i];
      ++this.size;
    }
  }
  grow() {
    const n = this.capacity * 2;
    const copy = (a) => {
      const b = new Float64Array(n);
      for (let i = 0; i < this.size; ++i) b[i] = a[(this.head + i) % this.capacity];
      return b;
    };
    this.t = copy(this.t);
    this.v = this.v.map(copy);
    this.head = 0;
    this.capacity = n;
  }
  at(i) { return (this.head + i) % this.capacity; }
  latest() { return this.size ? this.t[this.at(this.size - 1)] : 0; }
  // Columns `cols` over [from, to], at most two points (min, max) per bucket.
  decimated(cols, from, to, buckets) {
    const xs = [], ys = cols.map(() => []);
    let i = 0;
    // The first sample at or after `from`, by bisection over the ring.
    let lo = 0, hi = this.size;
    while (lo < hi) { const m = (lo + hi) >> 1; if (this.t[this.at(m)] < from) lo = m + 1; else hi = m; }
    i = lo;
    const count = this.size - i;
    if (count <= buckets * 2) {
      for (; i < this.size; ++i) {
        const k = this.at(i);
        xs.push(this.t[k]);
        cols.forEach((c, j) => ys[j].push(this.v[c][k]));
      }
      return [xs, ...ys];
    }
    const width = (to - from) / buckets;
    while (i < this.size) {
      const end = this.t[this.at(i)] + width;
      const first = i;
      const mins = cols.map(() => Infinity), maxs = cols.map(() => -Infinity);
      for (; i < this.size && this.t[this.at(i)] < end; ++i) {
        const k = this.at(i);
        cols.forEach((c, j) => { const v = this.v[c][k]; if (v < mins[j]) mins[j] = v; if (v > maxs[j]) maxs[j] = v; });
      }
      const t0 = this.t[this.at(first)], t1 = this.t[this.at(i - 1)];
      xs.push(t0, t1 > t0 ? t1 : t0 + width / 2);
      cols.forEach((c, j) => ys[j].push(mins[j], maxs[j]));
    }
    return [xs, ...ys];
  }
}

// The charts of a DAQ: one per sensor (x, y, z, aux), or force and torque.
function chartGroups(status) {
  const cols = status.columns;
  if (status.kind === 'six-axis') return [{title: 'force', cols: [0, 1, 2]}, {title: 'torque', cols: [3, 4, 5]}];
  const groups = [];
  for (let s = 0; s < status.sensors; ++s)
    groups.push({title: status.sensors > 1 ? `sensor ${s}` : 'sensor', cols: [4 * s, 4 * s + 1, 4 * s + 2, 4 * s + 3]});
  return groups.map((g) => ({...g, names: g.cols.map((c) => cols[c])}));
}

async function act(id, action, params = {}) {
  const q = new URLSearchParams(params);
  const reply = await fetch(`/api/daqs/${id}/${action}?${q}`, {method: 'POST', headers: token ? {'X-Kine-Token': token} : {}});
  const text = (await reply.text()).trim();
  const view = daqs.get(id);
  if (view) { view.reply.textContent = text; view.reply.className = reply.ok ? 'good' : 'bad'; }
  return reply.ok;
}

function makeView(status) {
  const id = status.id;
  const speed = el('select', {}, ...[1000, 333, 100, 30].map((v) => el('option', {value: v, textContent: `${v} Hz`})));
  const filter = el('select', {}, ...[0, 150, 50, 15].map((v) => el('option', {value: v, textContent: v ? `${v} Hz` : 'no filter'})));
  const mode = el('select', {}, el('option', {value: 'raw', textContent: 'raw'}), el('option', {value: 'compensated', textContent: 'compensated'}));
  const csvSeconds = el('input', {type: 'number', min: 1, max: windowSeconds, value: 10, style: 'width:4em'});
  const pause = el('button', {type: 'button', textContent: 'pause'});
  const button = (text, action, onclick) => {
    const b = el('button', {type: 'button', textContent: text, onclick});
    b.dataset.action = action;
    b.dataset.id = id;
    return b;
  };
  const fields = {};
  const dl = el('dl');
  for (const [key, label] of [['state', 'state'], ['rate', 'rate'], ['samples', 'samples'], ['checksum', 'checksum errors'],
    ['lost', 'lost samples'], ['sensorState', 'sensor state'], ['config', 'configuration'], ['zeroed', 'offsets']]) {
    fields[key] = el('dd');
    dl.append(el('dt', {textContent: label}), fields[key]);
  }
  const view = {
    id, status, history: null, charts: [], groups: [], paused: false, fields, pause,
    reply: el('div'), message: el('div', {className: 'message'}), plots: el('div', {className: 'plots'}),
    title: el('h3'), description: el('div'), draws: 0, received: 0, configShown: '',
  };
  pause.onclick = () => { view.paused = !view.paused; pause.textContent = view.paused ? 'resume' : 'pause'; };
  const side = el('div', {className: 'side'}, view.title, view.description, dl,
    el('div', {className: 'row'}, button('zero', 'zero', () => act(id, 'zero')), button('unzero', 'unzero', () => act(id, 'unzero')), pause),
    el('div', {className: 'row'}, speed, filter, mode,
      button('apply', 'config', () => act(id, 'config', {speed: speed.value, filter: filter.value, mode: mode.value}))),
    el('div', {className: 'row'}, 'CSV of the last', csvSeconds, 's',
      button('save', 'csv', () => { location.href = `/api/daqs/${id}/csv?seconds=${csvSeconds.value}`; })),
    view.reply, view.message);
  view.selects = {speed, filter, mode};
  view.root = el('div', {className: 'daq'}, side, view.plots);
  view.root.dataset.id = id;
  $('#daqs').append(view.root);
  daqs.set(id, view);
  return view;
}

function buildCharts(view) {
  view.plots.textContent = '';
  view.groups = chartGroups(view.status);
  view.history = new History(view.status.columns.length);
  const width = Math.max(300, view.plots.clientWidth - 10);
  view.charts = view.groups.map((g) => new uPlot({
    title: g.title, width, height: view.groups.length > 2 ? 200 : 240,
    scales: {x: {time: false}},
    axes: [{label: 's'}, {size: 70}],
    series: [{label: 't'}, ...g.names.map((n, j) => ({label: n, stroke: colours[j], width: 1, show: !/aux$/.test(n)}))],
    legend: {live: false},
  }, [[], ...g.cols.map(() => [])], view.plots));
}

function showStatus(view, s) {
  view.status = s;
  view.title.textContent = s.port;
  view.description.textContent = s.description || '';
  view.root.classList.toggle('gone', s.state !== 'streaming');
  const f = view.fields;
  f.state.textContent = s.plugged ? s.state : `${s.state} (unplugged)`;
  f.state.className = s.state === 'streaming' ? 'good' : 'bad';
  f.rate.textContent = s.rate !== undefined ? `${s.rate.toFixed(0)} samples/s` : '';
  f.samples.textContent = s.samples ?? '';
  f.checksum.textContent = s.checksumErrors ? `${s.checksumErrors} reads` : '0';
  f.lost.textContent = s.overflows ? `yes, in ${s.overflows} reads` : 'none';
  f.lost.className = s.overflows ? 'bad' : '';
  f.zeroed.textContent = s.zeroed ? 'zeroed' : 'none';
  view.message.textContent = s.message || '';
  if (s.config) {
    f.sensorState.textContent = s.config.sensorState === 5 ? '5 (ok)' : `${s.config.sensorState}`;
    f.config.textContent = `${s.config.speed} Hz, ${s.config.filter ? s.config.filter + ' Hz' : 'no'} filter, ${s.config.mode}`;
    const shown = JSON.stringify(s.config);
    if (shown !== view.configShown) {  // the selects follow the DAQ, not every status
      view.configShown = shown;
      view.selects.speed.value = s.config.speed;
      view.selects.filter.value = s.config.filter;
      view.selects.mode.value = s.config.mode;
    }
  }
  const layout = JSON.stringify(s.columns || []);
  if (s.columns && layout !== view.layout) { view.layout = layout; buildCharts(view); }
}

function showList(status) {
  windowSeconds = status.window;
  const body = $('#list tbody');
  body.textContent = '';
  const seen = new Set();
  for (const s of status.daqs) {
    seen.add(s.id);
    const open = s.state === 'opening' || s.state === 'streaming';
    const toggle = el('button', {type: 'button', textContent: open ? 'close' : 'open', onclick: () => act(s.id, open ? 'close' : 'open')});
    toggle.dataset.action = open ? 'close' : 'open';
    toggle.dataset.id = s.id;
    const row = el('tr', {}, el('td', {textContent: s.port}), el('td', {textContent: s.version}), el('td', {textContent: s.serial}),
      el('td', {textContent: s.plugged ? 'plugged' : 'unplugged', className: s.plugged ? 'good' : 'bad'}),
      el('td', {textContent: s.state}), el('td', {}, toggle));
    row.dataset.id = s.id;
    body.append(row);
    let view = daqs.get(s.id);
    if (!view && s.state !== 'closed') view = makeView(s);
    if (view) showStatus(view, s);
  }
  for (const [id, view] of daqs)
    if (!seen.has(id) || view.status.state === 'closed') { view.root.remove(); daqs.delete(id); }
}

function draw() {
  for (const view of daqs.values()) {
    if (!view.history || view.paused || paused || !view.dirty) continue;
    view.dirty = false;
    const to = view.history.latest(), from = to - spanSeconds;
    view.charts.forEach((chart, g) => {
      const data = view.history.decimated(view.groups[g].cols, from, to, Math.max(100, chart.width));
      chart.setData(data, false);
      chart.setScale('x', {min: from, max: to});
    });
    ++view.draws;
  }
  requestAnimationFrame(draw);
}

function connect() {
  const events = new EventSource('/api/events');
  events.addEventListener('open', () => { connected = true; $('#connection').textContent = 'live'; $('#connection').className = 'good'; });
  events.addEventListener('error', () => { connected = false; $('#connection').textContent = 'reconnecting…'; $('#connection').className = 'bad'; });
  events.addEventListener('status', (e) => showList(JSON.parse(e.data)));
  events.addEventListener('view', (e) => {
    lostForView = JSON.parse(e.data).lostSamples;
    $('#viewLost').textContent = `lost for view: ${lostForView} samples`;
  });
  events.addEventListener('samples', (e) => {
    const frame = JSON.parse(e.data);
    const view = daqs.get(frame.id);
    if (!view || !view.history || frame.v.length !== view.history.v.length) return;
    view.history.push(frame.t, frame.v);
    view.received += frame.t.length;
    view.dirty = true;
  });
}

$('#span').onchange = (e) => { spanSeconds = Number(e.target.value); for (const v of daqs.values()) v.dirty = true; };
$('#pause').onclick = (e) => { paused = !paused; e.target.textContent = paused ? 'resume' : 'pause'; };
window.addEventListener('resize', () => {
  for (const v of daqs.values()) for (const c of v.charts) c.setSize({width: Math.max(300, v.plots.clientWidth - 10), height: c.height});
});

// What the page shows, for checks from outside (the browser test).
window.kineView = {
  summary() {
    return {
      connected, lostForView,
      daqs: [...daqs.values()].map((v) => ({
        id: v.id, port: v.status.port, state: v.status.state, plugged: v.status.plugged, received: v.received, draws: v.draws,
        latest: v.history ? v.history.latest() : 0,
        // The newest point drawn of every trace, per chart.
        drawn: v.charts.map((c) => c.data.slice(1).map((ys) => ys.length ? ys[ys.length - 1] : null)),
        xMax: v.charts.length ? v.charts[0].scales.x.max : null,
      })),
    };
  },
};

connect();
requestAnimationFrame(draw);
