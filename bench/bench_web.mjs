// bench_web: the viewer page's apply rate in headless chromium on the same streams as bench_viewer
// (its workloads at 1920x1080; the full-screen one's 300 MB stream is too large to hand over), in tiles (MSG_TILE and MSG_CACHE_REF) per second, against the
// native viewer core's rate on the same streams in the same run. Two figures per workload: the
// protocol work alone (as bench_viewer times it), and with the page's per-frame canvas update.
//   node bench/bench_web.mjs [BUILD_DIR]     (BUILD_DIR default build/release; run `make web` first)
import { execFileSync, spawn } from 'node:child_process';
import { createRequire } from 'node:module';
import { mkdtempSync, readFileSync, rmSync, statSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { fileURLToPath } from 'node:url';

const root = fileURLToPath(new URL('..', import.meta.url));
const build = process.argv[2] || root + 'build/release';
const require = createRequire(root + 'build/webnode/package.json');
const puppeteer = require('puppeteer-core');

const dir = mkdtempSync(tmpdir() + '/vo-bench-web-');
const native = {};
for (const line of execFileSync(build + '/bench_viewer', [dir], { encoding: 'utf8' }).split('\n')) {
  const m = line.match(/^\s+(\S+)\s+native apply (\d+) tiles, (\d+) tiles\/s/);
  if (m) native[m[1]] = { tiles: Number(m[2]), rate: Number(m[3]) };
}

// The page's own files come from the relay's WebSocket port; the streams are handed to the page by
// request interception (they are far larger than a static file the relay would serve).
const relay = spawn(build + '/vo_relay', ['--bind', '127.0.0.1', '--port', '0', '--ws-port', '0', '--ws-root', root + 'web'],
  { stdio: ['ignore', 'pipe', 'inherit'] });
const wsPort = await new Promise((resolve) => {
  let text = '';
  relay.stdout.on('data', (d) => {
    text += d;
    const m = text.match(/websocket front on [\d.]+:(\d+)/);
    if (m) resolve(Number(m[1]));
  });
});
const profile = mkdtempSync(tmpdir() + '/vo-chromium-');
const browser = await puppeteer.launch({
  executablePath: process.env.CHROMIUM || '/usr/bin/chromium', headless: true,
  args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
    '--disable-component-update', '--disable-sync', `--user-data-dir=${profile}`],
});
try {
  const page = await browser.newPage();
  await page.setRequestInterception(true);
  page.on('request', (r) => {
    const m = r.url().match(/\/bench-streams\/(\w+)\.bin$/);
    if (m) r.respond({ status: 200, contentType: 'application/octet-stream', body: readFileSync(`${dir}/${m[1]}.bin`) });
    else r.continue();
  });
  await page.goto(`http://127.0.0.1:${wsPort}/`);
  console.log('viewer page apply rate in chromium vs the native viewer core, same streams (1920x1080, 120 passes)');
  let sumWeb = 0, sumNative = 0;
  for (const wl of Object.keys(native)) {
    if (statSync(`${dir}/${wl}.bin`).size > (64 << 20)) {   // the driver cannot hand the page 300 MB
      console.log(`  ${wl.padEnd(7)} skipped: its stream is ${(statSync(`${dir}/${wl}.bin`).size >> 20)} MiB`);
      continue;
    }
    const r = await page.evaluate(async (wl) => {
      const { ViewerSession, MSG_HOST_HELLO } = await import('/js/session.js');
      const { toRgba } = await import('/js/app.js');
      const stream = new Uint8Array(await (await fetch(`/bench-streams/${wl}.bin`)).arrayBuffer());
      const msgs = [];
      for (let pos = 0; pos + 8 <= stream.length;) {
        const len = new DataView(stream.buffer).getUint32(pos + 4, true);
        msgs.push([stream[pos], stream.subarray(pos + 8, pos + 8 + len)]);
        pos += 8 + len;
      }
      const tiles = msgs.filter(([t]) => t === 3 || t === 8).length;
      const canvas = new OffscreenCanvas(1920, 1080), ctx = canvas.getContext('2d'), img = ctx.createImageData(1920, 1080);
      let cache = null;
      const run = (draw) => {
        const s = new ViewerSession({ sodium: {}, clientSecret: new Uint8Array(32), send() {} });
        if (cache) s.cache = cache;   // one 128 MiB cache for every run, as the native bench keeps one
        cache = s.cache;
        const hello = new Uint8Array(44);
        new DataView(hello.buffer).setInt32(0, 1920, true);
        new DataView(hello.buffer).setInt32(4, 1080, true);
        hello[10] = 3;
        s.hostHello(MSG_HOST_HELLO, hello);
        s.sendMessage = () => {};   // replies are made but go nowhere, as in bench_viewer
        s.onEvent = draw ? (k, d) => {
          if (k !== 'frame' || !d) return;
          toRgba(s, img, d);   // the page's own per-frame canvas update
          ctx.putImageData(img, 0, 0, d.l, d.t, d.r - d.l, d.b - d.t);
        } : () => {};
        const t0 = performance.now();
        for (const [t, p] of msgs) s.apply(t, p);
        return performance.now() - t0;
      };
      run(false);   // warm-up: the JIT and the memory in use, as the native bench does
      const best = (draw) => Math.min(run(draw), run(draw), run(draw));   // wall time: best of three
      const ms = best(false), msDraw = best(true);
      return { tiles, rate: tiles / (ms / 1000), rateDraw: tiles / (msDraw / 1000) };
    }, wl);
    const n = native[wl];
    sumWeb += n.tiles / r.rate;
    sumNative += n.tiles / n.rate;
    console.log(`  ${wl.padEnd(7)} ${String(r.tiles).padStart(6)} tiles  page ${r.rate.toFixed(0).padStart(8)} tiles/s ` +
      `(with canvas ${r.rateDraw.toFixed(0).padStart(8)})  native ${String(n.rate).padStart(8)} tiles/s  ratio page/native = ${(r.rate / n.rate).toFixed(2)}`);
  }
  console.log(`ratio page_apply_rate/native_apply_rate = ${(sumNative / sumWeb).toFixed(2)} (all workloads, by total time)`);
} finally {
  await browser.close();
  relay.kill('SIGTERM');
  rmSync(profile, { recursive: true, force: true });
  rmSync(dir, { recursive: true, force: true });
}
