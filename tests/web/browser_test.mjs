// The viewer page in a real browser (Debian's chromium, headless, driven by puppeteer-core): it logs
// in (login version 2, as the host's log says) through `vo_relay --ws-port` to the native host core over the synthetic screen, the canvas
// (a screenshot of it, and its pixels) equals the host's picture at 1:1, a click and a key pressed
// in the page arrive at the host, and a wrong password and an absent host show their plain words.
//   node tests/web/browser_test.mjs [BUILD_DIR]       (prints "N passed, N failed")
import { spawn } from 'node:child_process';
import { createRequire } from 'node:module';
import { mkdtempSync, readFileSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { fileURLToPath } from 'node:url';
import { createInterface } from 'node:readline';

const root = fileURLToPath(new URL('../..', import.meta.url));
const build = process.argv[2] || root + 'build/debug';
const require = createRequire(root + 'build/webnode/package.json');
const puppeteer = require('puppeteer-core');
const W = 800, H = 600, ROOM = '987654321', PASSWORD = 'Kx7mP2qa';
const children = [];
const scratch = mkdtempSync(tmpdir() + '/vo-browser-test-');   // host data folder and picture, removed at the end
let passed = 0, failed = 0;

function check(name, ok, detail = '') {
  if (ok) passed++;
  else failed++;
  console.log(`${ok ? 'ok' : 'FAILED'}: ${name}${detail ? ' (' + detail + ')' : ''}`);
}

// Starts a program and returns its line reader; `until` resolves with the lines read up to and
// including the first one matching re.
function start(cmd, args, env = process.env) {
  const p = spawn(cmd, args, { stdio: ['pipe', 'pipe', 'inherit'], env });
  children.push(p);
  const lines = [], waiters = [];
  createInterface({ input: p.stdout }).on('line', (l) => {
    lines.push(l);
    for (const w of waiters.splice(0)) w();
  });
  const until = (re, ms = 15000) => new Promise((resolve, reject) => {
    const t0 = Date.now();
    const look = () => {
      const i = lines.findIndex((l) => re.test(l));
      if (i >= 0) return resolve(lines.splice(0, i + 1));
      if (Date.now() - t0 > ms) return reject(new Error(`no line ${re} from ${cmd}`));
      waiters.push(look);
      setTimeout(() => { const k = waiters.indexOf(look); if (k >= 0) waiters.splice(k, 1), look(); }, 200);
    };
    look();
  });
  return { p, lines, until, say: (l) => p.stdin.write(l + '\n') };
}

function readPpm(path) {
  const b = readFileSync(path);
  const head = b.subarray(0, 32).toString('latin1').match(/^P6\s+(\d+)\s+(\d+)\s+255\s/);
  return { w: Number(head[1]), h: Number(head[2]), rgb: b.subarray(head[0].length) };
}

async function login(page, url, id, password) {
  await page.goto(url, { waitUntil: 'load' });
  await page.type('#peer', id);
  await page.type('#password', password);
  await page.click('#connect');
}

// Compares canvas pixels and a real screenshot of the canvas with the host's RGB picture, in the page.
async function mismatches(page, rgbB64, screenshot) {
  return page.evaluate(async (rgbB64, shotB64) => {
    const rgb = Uint8Array.from(atob(rgbB64), (c) => c.charCodeAt(0));
    const diff = (d, w, h) => {
      let n = 0;
      for (let i = 0, j = 0; i < w * h; i++, j += 3) if (d[i * 4] !== rgb[j] || d[i * 4 + 1] !== rgb[j + 1] || d[i * 4 + 2] !== rgb[j + 2]) n++;
      return n;
    };
    const c = document.getElementById('picture');
    const pixels = diff(c.getContext('2d').getImageData(0, 0, c.width, c.height).data, c.width, c.height);
    if (!shotB64) return { pixels };
    const img = new Image();
    img.src = 'data:image/png;base64,' + shotB64;
    await img.decode();
    const o = new OffscreenCanvas(img.width, img.height), g = o.getContext('2d');
    g.drawImage(img, 0, 0);
    return { pixels, shot: img.width === c.width && img.height === c.height ? diff(g.getImageData(0, 0, img.width, img.height).data, img.width, img.height) : -1 };
  }, rgbB64, screenshot || null);
}

async function main() {
  const relay = start(build + '/vo_relay', ['--bind', '127.0.0.1', '--port', '0', '--ws-port', '0', '--viewer-wait', '3']);
  const wsPort = Number((await relay.until(/websocket front on/)).at(-1).match(/:(\d+) /)[1]);
  const tcpPort = Number((await relay.until(/listening on/)).at(-1).match(/:(\d+) /)[1]);
  const host = start(build + '/vo_webhost', [String(tcpPort), ROOM, PASSWORD, String(W), String(H)],
    { ...process.env, VO_DATA_DIR: scratch + '/host' });
  await host.until(/^ready$/);
  const profile = mkdtempSync(tmpdir() + '/vo-chromium-');
  const browser = await puppeteer.launch({
    executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
    headless: true,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync',
      '--force-color-profile=srgb', `--user-data-dir=${profile}`],
    defaultViewport: { width: 1024, height: 768, deviceScaleFactor: 1 },
  });
  try {
    const url = `http://127.0.0.1:${wsPort}/`;
    const page = await browser.newPage();
    page.on('pageerror', (e) => console.log('page error:', e.message));
    await page.setBypassCSP(true);   // only so the check can decode its screenshot from a data: URL

    // Wrong password first (the host then waits for the next viewer), then an ID nobody hosts.
    await login(page, url, ROOM, 'wrong');
    await page.waitForFunction(() => document.getElementById('error').textContent !== '', { timeout: 15000 });
    const wrong = await page.$eval('#error', (e) => e.textContent);
    check('a wrong password shows its error', wrong === 'Wrong password.', wrong);
    await login(page, url, '111222333', PASSWORD);
    await page.waitForFunction(() => document.getElementById('error').textContent !== '', { timeout: 15000 });
    const offline = await page.$eval('#error', (e) => e.textContent);
    check('an ID with no host shows "not online"', /not online/.test(offline), offline);

    // The real login: the picture arrives and matches the host's pixel for pixel.
    await new Promise((r) => setTimeout(r, 500));   // the host is back in its room after the refusal
    await login(page, url, ROOM, PASSWORD);
    await page.waitForFunction(() => !document.getElementById('view').hidden, { timeout: 15000 });
    const shotPath = scratch + '/host.ppm';
    host.say('picture ' + shotPath);
    await host.until(/^ok$/);
    const pic = readPpm(shotPath);
    const rgbB64 = Buffer.from(pic.rgb).toString('base64');
    let m = { pixels: -1 };
    for (let t0 = Date.now(); Date.now() - t0 < 20000; await new Promise((r) => setTimeout(r, 300))) {
      m = await mismatches(page, rgbB64);
      if (m.pixels === 0) break;
    }
    const el = await page.$('#picture');
    const shot = await el.screenshot({ encoding: 'base64', type: 'png' });
    m = await mismatches(page, rgbB64, shot);
    const hostLog = readFileSync(scratch + '/host/webhost.log', 'utf8');
    check('the host logs login version 2', /login version 2/.test(hostLog), hostLog.split('\n').filter((l) => /login/.test(l)).join('; '));
    check('canvas pixels equal the host picture', pic.w === W && m.pixels === 0, `${m.pixels} differ`);
    check('a screenshot of the canvas equals the host picture at 1:1', m.shot === 0, `${m.shot} differ`);
    // (document.title collapses runs of spaces when read; the title element keeps the text as set)
    const titleText = () => document.querySelector('title').textContent;
    await page.waitForFunction((re) => new RegExp(re).test(document.querySelector('title').textContent),
      { timeout: 5000 }, '^vo - .* {2}800x600 {2}\\d+ fps {2}\\d+ KB/s {2}cache hits \\d+ {2}misses \\d+$')
      .then(() => check('statistics in the page title', true),
        async () => check('statistics in the page title', false, await page.evaluate(titleText)));

    // A click at host pixel (100, 50) and the key A.
    const box = await el.boundingBox();
    await page.mouse.click(box.x + 100.5, box.y + 50.5);
    await page.keyboard.press('KeyA');
    let events = [];
    for (let t0 = Date.now(); Date.now() - t0 < 5000; await new Promise((r) => setTimeout(r, 200))) {
      host.say('input');
      events = await host.until(/^end$/).catch(() => []);
      if (events.some((l) => /^key vk=65 .*flags=2 /.test(l))) break;
    }
    const ax = Math.floor((100 * 65535) / (W - 1)), ay = Math.floor((50 * 65535) / (H - 1));
    const down = events.find((l) => /^mouse/.test(l) && (Number(l.match(/flags=(\d+)/)[1]) & 2));
    check('a click arrives at the host at the right pixel', !!down && down.includes(`x=${ax} y=${ay}`), down || 'none');
    check('a key press arrives at the host', events.some((l) => /^key vk=65 .*flags=0 /.test(l)) &&
      events.some((l) => /^key vk=65 .*flags=2 /.test(l)));

    // Scaled down to a smaller window (half size): a click maps back through the scaling.
    await page.setViewport({ width: 400, height: 300, deviceScaleFactor: 1 });
    await page.waitForFunction(() => document.getElementById('picture').getBoundingClientRect().width === 400, { timeout: 5000 })
      .catch(() => {});
    const half = await el.boundingBox();
    await page.mouse.click(half.x + 200.25, half.y + 100.25);   // host pixel (400, 200)
    const bx = Math.floor((400 * 65535) / (W - 1)), by = Math.floor((200 * 65535) / (H - 1));
    let scaled = null;
    for (let t0 = Date.now(); !scaled && Date.now() - t0 < 5000; await new Promise((r) => setTimeout(r, 200))) {
      host.say('input');
      scaled = (await host.until(/^end$/).catch(() => [])).find((l) => /^mouse/.test(l) && l.includes(`x=${bx} y=${by}`));
    }
    check('a click in the scaled-down picture maps back to host pixels', half.width === 400 && !!scaled, JSON.stringify(half));

    // The host going away: the page says the connection was lost.
    host.say('quit');
    await page.waitForFunction(() => document.getElementById('error').textContent !== '', { timeout: 15000 })
      .catch(() => {});
    const lost = await page.$eval('#error', (e) => e.textContent);
    check('the host going away shows "Connection lost."', lost === 'Connection lost.', lost);
  } finally {
    await browser.close();
    rmSync(profile, { recursive: true, force: true });
  }
}

try {
  await main();
} catch (e) {
  failed++;
  console.log('FAILED:', e.message);
}
for (const c of children) if (c.exitCode === null) c.kill('SIGTERM');
rmSync(scratch, { recursive: true, force: true });
console.log(`${passed} passed, ${failed} failed`);
process.exit(failed ? 1 : 0);
