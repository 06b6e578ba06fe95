// app: the viewer page. The login form, the WebSocket to the relay's /relay, the session's picture
// drawn into a canvas scaled to the window (never enlarged, centred on black, as the native viewer
// shows it), the statistics in the page title, the text layer, and mouse and keyboard to the host.
import sodiumModule from '../vendor/libsodium-wrappers-sumo.mjs';
import { ViewerSession } from './session.js';
import { virtualKey } from './keys.js';

const $ = (id) => document.getElementById(id);
const ERRORS = {
  offline: 'The host is not online: no computer with this ID answered.',
  password: 'Wrong password.',
  lost: 'Connection lost.',
  badhello: 'The host sent something this page does not understand.',
  relay: 'Cannot reach the relay server.',
};
// Text-layer palette (red, green, blue) by attribute nibble.
const PALETTE = ['#0c0c0c', '#0037da', '#13a10e', '#3a96dd', '#c50f1f', '#881798', '#c19c00', '#cccccc',
  '#767676', '#3b78ff', '#16c60c', '#61d6d6', '#e74856', '#b4009e', '#f9f1a5', '#f2f2f2'];

const view = { session: null, ws: null, ctx: null, img: null, layout: null, last: { frames: 0, bytes: 0 }, timer: 0 };
window.vo = view;   // for the browser test and for curious operators

function showError(kind) {
  $('error').textContent = ERRORS[kind] || ERRORS.lost;
  $('status').textContent = '';
  $('view').hidden = true;
  $('login').hidden = false;
  $('connect').disabled = false;
  document.title = 'vo';
  clearInterval(view.timer);
}

function finish(kind) {
  if (view.ws) view.ws.onclose = view.ws.onmessage = null, view.ws.close();
  view.ws = null;
  showError(kind);
}

// Scale to fit the window in device pixels, never enlarged, like the native viewer's window.
function layout() {
  const s = view.session;
  if (!s || !s.W) return;
  const dpr = window.devicePixelRatio || 1;
  const cw = Math.floor(window.innerWidth * dpr), ch = Math.floor(window.innerHeight * dpr);
  const scale = Math.min(1, cw / s.W, ch / s.H);
  const SW = Math.trunc(s.W * scale), SH = Math.trunc(s.H * scale);
  for (const c of [$('picture'), $('text')]) {
    c.style.width = SW / dpr + 'px';
    c.style.height = SH / dpr + 'px';
  }
  $('picture').style.imageRendering = scale < 1 ? 'auto' : 'pixelated';
  view.layout = { scale, SW, SH };
}

function connected(info) {
  const s = view.session;
  for (const c of [$('picture'), $('text')]) c.width = info.width, c.height = info.height;
  view.ctx = $('picture').getContext('2d', { alpha: false });
  view.img = view.ctx.createImageData(info.width, info.height);
  view.img.data.fill(255);
  view.ctx.fillStyle = 'black';
  view.ctx.fillRect(0, 0, info.width, info.height);
  $('login').hidden = true;
  $('view').hidden = false;
  $('error').textContent = '';
  document.title = s.hostName;
  layout();
  view.last = { frames: 0, bytes: 0 };
  view.timer = setInterval(title, 1000);
}

function title() {
  const s = view.session, st = s.stats;
  const fps = st.frames - view.last.frames, kbs = Math.trunc((st.bytes - view.last.bytes) / 1024);
  view.last = { frames: st.frames, bytes: st.bytes };
  document.title = `vo - ${s.hostName}  ${s.W}x${s.H}  ${fps} fps  ${kbs} KB/s  cache hits ${st.hits}  ` +
    `misses ${st.misses}${s.text.active ? '  [text layer]' : ''}`;
}

// BGRX framebuffer words to the canvas's RGBA words (both little-endian), opaque, for rectangle d.
export function toRgba(s, img, d) {
  const fb32 = s.fb32, px32 = new Uint32Array(img.data.buffer), words = s.stride >> 2, W = s.W;
  for (let y = d.t; y < d.b; y++) {
    for (let i = y * words + d.l, o = y * W + d.l, end = o + d.r - d.l; o < end; i++, o++) {
      const v = fb32[i];
      px32[o] = 0xff000000 | ((v >>> 16) & 0xff) | (v & 0xff00) | ((v & 0xff) << 16);
    }
  }
}

// A frame ended: the dirty area goes from the BGRX framebuffer into the canvas.
function frame(d) {
  const s = view.session;
  if (d) {
    toRgba(s, view.img, d);
    view.ctx.putImageData(view.img, 0, 0, d.l, d.t, d.r - d.l, d.b - d.t);
  }
  if (s.text.changed) drawText(s.text);
}

function drawText(t) {
  t.changed = false;
  const c = $('text'), g = c.getContext('2d');
  g.clearRect(0, 0, c.width, c.height);
  if (!t.active || !t.cols || !t.rows) return;
  const cw = Math.max(1, Math.trunc(t.width / t.cols)), chh = Math.max(1, Math.trunc(t.height / t.rows));
  g.font = `${chh}px Consolas, "DejaVu Sans Mono", monospace`;
  g.textBaseline = 'top';
  for (let r = 0; r < t.rows; r++) {
    for (let c0 = 0; c0 < t.cols;) {
      const at = (r * t.cols + c0) * 3, attr = t.grid[at + 2];
      let k = 1;
      while (c0 + k < t.cols && k < 512 && t.grid[(r * t.cols + c0 + k) * 3 + 2] === attr) k++;
      let text = '';
      for (let i = 0; i < k; i++) {
        const unit = t.grid[at + i * 3] | (t.grid[at + i * 3 + 1] << 8);
        text += unit ? String.fromCharCode(unit) : ' ';
      }
      const x = t.left + c0 * cw, y = t.top + r * chh;
      g.fillStyle = PALETTE[attr >> 4];
      g.fillRect(x, y, k * cw, chh);
      g.fillStyle = PALETTE[attr & 15];
      g.fillText(text, x, y, k * cw);
      c0 += k;
    }
  }
}

// Mouse: page position -> host pixel through the scaling, clamped to the picture (so the black
// margin maps to the nearest edge).
function hostPoint(e) {
  const s = view.session, r = $('picture').getBoundingClientRect();
  const clamp = (v, n) => Math.min(n - 1, Math.max(0, v));
  return [clamp(Math.floor((s.W * (e.clientX - r.left)) / r.width), s.W), clamp(Math.floor((s.H * (e.clientY - r.top)) / r.height), s.H)];
}
const BUTTON = [0, 2, 1];   // browser left, middle, right -> left 0, right 1, middle 2

function pointer(e) {
  const s = view.session;
  if (!s || s.phase !== 'open' || !view.layout || e.button > 2) return;
  e.preventDefault();
  const [x, y] = hostPoint(e);
  if (e.type === 'pointermove') return s.mouse(x, y, 0, 0, 0);
  if (e.type === 'pointerdown' && e.button === 0) $('view').setPointerCapture(e.pointerId);
  if (e.type === 'pointerup' && e.button === 0) $('view').releasePointerCapture(e.pointerId);
  s.mouse(x, y, e.type === 'pointerdown' ? 1 : 2, BUTTON[e.button], 0);
}

function wheel(e) {
  const s = view.session;
  if (!s || s.phase !== 'open' || !view.layout || !e.deltaY) return;
  e.preventDefault();
  const [x, y] = hostPoint(e);
  s.mouse(x, y, 3, 0, e.deltaY < 0 ? 120 : -120);   // one notch per event, up = positive
}

function key(e) {
  const s = view.session;
  if (!s || s.phase !== 'open' || $('view').hidden) return;
  e.preventDefault();
  const vk = virtualKey(e);
  if (vk) return s.key(vk, e.type === 'keydown');
  // No virtual key (on-screen keyboards, compositions): the text itself, one UTF-16 unit at a time.
  if (e.type === 'keydown' && e.key && [...e.key].length === 1) for (let i = 0; i < e.key.length; i++) s.char(e.key.charCodeAt(i));
}

async function connect(peer, password) {
  $('connect').disabled = true;
  $('error').textContent = '';
  $('status').textContent = 'Connecting...';
  try {
    await sodiumModule.ready;
  } catch {
    return showError('relay');
  }
  const ws = new WebSocket(`${location.protocol === 'https:' ? 'wss' : 'ws'}://${location.host}/relay`);
  ws.binaryType = 'arraybuffer';
  view.ws = ws;
  let opened = false;
  const s = new ViewerSession({
    sodium: sodiumModule, password, room: peer, name: 'browser',
    send: (b) => ws.readyState === WebSocket.OPEN && ws.send(b),
    onEvent: (kind, detail) => {
      if (kind === 'connected') connected(detail);
      else if (kind === 'frame') frame(detail);
      else if (kind === 'error') finish(detail);
    },
  });
  view.session = s;
  ws.onopen = () => {
    opened = true;
    $('status').textContent = `Waiting for ${peer}...`;
    s.start();
  };
  ws.onmessage = (e) => s.receive(new Uint8Array(e.data));
  ws.onclose = () => {
    if (s.phase !== 'closed') finish(opened ? s.closeReason() : 'relay');
    s.phase = 'closed';
  };
}

$('login').addEventListener('submit', (e) => {
  e.preventDefault();
  connect($('peer').value.trim(), $('password').value);
});
const v = $('view');
for (const t of ['pointermove', 'pointerdown', 'pointerup']) v.addEventListener(t, pointer);
v.addEventListener('wheel', wheel, { passive: false });
v.addEventListener('contextmenu', (e) => e.preventDefault());
window.addEventListener('keydown', key);
window.addEventListener('keyup', key);
window.addEventListener('resize', layout);
