// Treemap page benchmark: time to the first frame and zoom redraws in
// headless Chromium, for a page written by qvdisk --html.
//   node bench/treemap_perf.mjs PAGE.html [runs]
// (playwright-core comes from tests/html: npm ci there first.)
import { createRequire } from 'node:module';
import fs from 'node:fs';

const require = createRequire(new URL('../tests/html/package.json', import.meta.url));
const { chromium } = require('playwright-core');
const file = process.argv[2];
const runs = Number(process.argv[3] || 3);
console.log(`page ${file}: ${(fs.statSync(file).size / 1048576).toFixed(1)} MiB`);
const browser = await chromium.launch({ executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
  args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
         '--disable-component-update', '--disable-sync'] });
for (let run = 0; run < runs; run++) {
  const page = await browser.newPage({ viewport: { width: 1280, height: 800 } });
  const t0 = Date.now();
  await page.goto('file://' + file, { timeout: 120000 });
  await page.waitForFunction(() => window.qvTreemap && window.qvTreemap.frames > 0, null, { timeout: 120000 });
  const first = Date.now() - t0;
  const tm = await page.evaluate(() => window.qvTreemap.timing);
  const info = await page.evaluate(() => ({ draw: window.qvTreemap.lastDrawMs, rects: window.qvTreemap.rects().length }));
  // Zoom into the largest directory and back, timed inside the page.
  const zoom = await page.evaluate(() => {
    const r = window.qvTreemap.rects().filter(x => x.level === 1 && x.node.is_dir)[0];
    const t = performance.now();
    window.qvTreemap.zoomAt(r.x + r.w / 2, r.y + r.h / 2);
    const zin = performance.now() - t;
    const t2 = performance.now();
    window.qvTreemap.zoomTo(1);
    return { in: zin, out: performance.now() - t2 };
  });
  console.log(`run ${run + 1}: first frame ${first} ms after navigation (page script starts at ` +
    `${tm.scriptStart.toFixed(0)} ms, data parsed at ${tm.parsed.toFixed(0)} ms, drawn at ` +
    `${tm.firstFrame.toFixed(0)} ms; ${info.rects} rectangles), zoom in ${zoom.in.toFixed(0)} ms, ` +
    `zoom out ${zoom.out.toFixed(0)} ms`);
  await page.close();
}
await browser.close();
