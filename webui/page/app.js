// The console page: the state from /api/state, the chart from /api/history and the live event
// stream, and the controls once logged in. No framework: the page must stay light and offline.
'use strict';

const SPAN = 1800;  // seconds of history on the chart
const $ = (id) => document.getElementById(id);
const text = (v, unit) => (v === null || v === undefined ? '-' : v + (unit || ''));

const chart = new Chart($('chart'), {
  type: 'line',
  data: {
    datasets: [
      { label: 'Temperature °F', data: [], borderColor: '#c33', yAxisID: 'y', pointRadius: 0 },
      { label: 'Target °F', data: [], borderColor: '#36c', borderDash: [6, 4], yAxisID: 'y',
        pointRadius: 0 },
      { label: 'Heat %', data: [], borderColor: '#e90', yAxisID: 'heat', pointRadius: 0 },
    ],
  },
  options: {
    animation: false, parsing: false, normalized: true, maintainAspectRatio: false,
    scales: {
      x: { type: 'linear', ticks: { callback: (v) => Math.round((v - Date.now() / 1000) / 60) + ' min' } },
      y: { position: 'left' },
      heat: { position: 'right', min: 0, max: 100, grid: { drawOnChartArea: false } },
    },
  },
});

function addSample(at, s) {
  const sets = chart.data.datasets;
  sets[0].data.push({ x: at, y: s.temperature });
  sets[1].data.push({ x: at, y: s.target });
  sets[2].data.push({ x: at, y: s.heat_percent });
}

function trimAndDraw() {
  const now = Date.now() / 1000;
  for (const d of chart.data.datasets) {
    while (d.data.length && d.data[0].x < now - SPAN) d.data.shift();
  }
  chart.options.scales.x.min = now - SPAN;
  chart.options.scales.x.max = now;
  chart.update('none');
}

async function getJson(path) {
  const r = await fetch(path, { cache: 'no-store' });
  return r.json();
}

function showState(s) {
  const up = s.link === 'up' && streamUp;
  $('link').textContent = up ? 'live' : 'reconnecting';
  $('link').className = 'badge ' + (up ? 'up' : 'down');
  $('mode').textContent = text(s.mode);
  $('board_state').textContent = text(s.board_state);
  $('temperature').textContent = text(s.temperature, ' °F');
  $('target').textContent = text(s.target, ' °F');
  $('heat').textContent = text(s.heat_percent, ' %');
  $('belts').innerHTML = '<tr><th>Belt</th><th>Cook time</th><th>Target</th><th>RPM</th></tr>' +
    s.belts.map((b, i) => `<tr><td>${i + 1}</td><td>${text(b.cook_time, ' s')}</td>` +
      `<td>${text(b.target_cook_time, ' s')}</td><td>${text(b.speed)}</td></tr>`).join('');
  $('fans').innerHTML = '<tr><th>Fan</th><th>Speed</th><th>Target</th><th>RPM</th></tr>' +
    s.fans.map((f, i) => `<tr><td>${i + 1}</td><td>${text(f.speed, ' %')}</td>` +
      `<td>${text(f.target, ' %')}</td><td>${text(f.rpm)}</td></tr>`).join('');
  $('tcs').innerHTML = s.thermocouples.length
    ? s.thermocouples.map((t, i) => `<div><label>TC${i + 1}</label>${t} °F</div>`).join('')
    : '-';
  const faults = $('faults');
  faults.innerHTML = '';
  $('faults_card').classList.toggle('alarm', s.faults.length > 0);
  for (const f of s.faults.length ? s.faults : [{ code: null, text: 'none' }]) {
    const li = document.createElement('li');
    li.textContent = f.code === null ? f.text : `${f.code}: ${f.text}`;
    if (f.code !== null) {
      li.className = 'fault';
      li.title = 'raised ' + f.since;
    }
    faults.appendChild(li);
  }
  const v = s.versions;
  $('versions').textContent = `IO board ${text(v.io)}, drives ${text(v.bldc_1)} / ${text(v.bldc_2)}`;
  $('updated').textContent = s.updated ? 'Last notification ' + s.updated : 'No notification yet';
}

let refreshing = false;
async function refreshState() {
  if (refreshing) return;
  refreshing = true;
  try {
    showState(await getJson('/api/state'));
  } catch (e) {
    $('link').textContent = 'reconnecting';
    $('link').className = 'badge down';
  } finally {
    refreshing = false;
  }
}

let streamUp = false;
function openStream() {
  const es = new EventSource('/api/events');
  es.onopen = () => { streamUp = true; };
  es.onerror = () => { streamUp = false; };  // EventSource reconnects by itself
  es.onmessage = (m) => {
    const ev = JSON.parse(m.data);
    if (ev.name === 'zeb.varlo.temperature_notify') {
      addSample(Date.now() / 1000, ev.fields);
    }
  };
}

async function loadHistory() {
  const h = await getJson('/api/history?seconds=' + SPAN);
  const now = Date.now() / 1000;
  for (const s of h.samples) addSample(now + s.t, s);
  trimAndDraw();
}

async function post(path, body) {
  const r = await fetch(path, {
    method: 'POST', credentials: 'same-origin',
    headers: { 'Content-Type': 'application/json', 'X-Kor-Request': '1' },
    body: JSON.stringify(body || {}),
  });
  const answer = await r.json().catch(() => ({}));
  $('message').textContent = r.ok ? '' : (answer.error || ('error ' + r.status));
  return r.ok;
}

async function showAccess() {
  const s = await getJson('/api/session');
  $('readonly').hidden = !s.read_only;
  $('login').hidden = s.read_only || s.logged_in;
  $('controls').hidden = !s.logged_in;
}

function request(name, values) {
  post('/api/request', { name, values }).then((ok) => { if (!ok) showAccess(); });
}

$('login').addEventListener('submit', async (e) => {
  e.preventDefault();
  if (await post('/api/login', { password: $('password').value })) $('password').value = '';
  showAccess();
});
$('logout').addEventListener('click', async () => { await post('/api/logout'); showAccess(); });
for (const b of document.querySelectorAll('button[data-req]')) {
  b.addEventListener('click', () => request(b.dataset.req, b.dataset.values.split(',').map(Number)));
}
for (const f of document.querySelectorAll('form[data-req]')) {
  f.addEventListener('submit', (e) => {
    e.preventDefault();
    const values = [...f.querySelectorAll('[name^=v]')].map((i) => Number(i.value));
    request(f.dataset.req, values);
  });
}

loadHistory().catch(() => {});
showAccess().catch(() => {});
openStream();
refreshState();
setInterval(() => { refreshState(); trimAndDraw(); }, 1000);
