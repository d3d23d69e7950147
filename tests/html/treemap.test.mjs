// The treemap page in a real headless browser: areas follow sizes, hover
// and zoom work, hostile names stay text, directories left unread or not
// entered are marked.
//   QVDISK=path/to/qvdisk WORK=scratch-dir node --test treemap.test.mjs
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import { chromium } from 'playwright-core';

const qvdisk = process.env.QVDISK;
const work = process.env.WORK;
const browserPath = process.env.CHROMIUM || '/usr/bin/chromium';
let browser;

function mkfile(p, size) {
  fs.mkdirSync(path.dirname(p), { recursive: true });
  fs.writeFileSync(p, '');
  fs.truncateSync(p, size);
}

// Scans dir with qvdisk --html (and more arguments) and returns the page's
// file name. runner, when given, is a command that runs qvdisk. The files
// made by mkfile are sparse, so pages show their lengths (--apparent-size)
// unless size_args says otherwise.
function page_of(dir, name, args = [], runner = [], size_args = ['--apparent-size']) {
  const out = path.join(work, name + '.html');
  const argv = [...runner, qvdisk, dir, '--html', out, '--top', '20', ...size_args, ...args];
  execFileSync(argv[0], argv.slice(1), { env: { ...process.env, NO_COLOR: '1' }, stdio: ['ignore', 'ignore', 'pipe'] });
  return out;
}

async function open(file, size = { width: 1000, height: 700 }) {
  const page = await browser.newPage({ viewport: size });
  const events = { dialogs: 0, errors: [] };
  page.on('dialog', async d => { events.dialogs++; await d.dismiss(); });
  page.on('pageerror', e => events.errors.push(e.message));
  await page.goto('file://' + file);
  await page.waitForFunction(() => window.qvTreemap && window.qvTreemap.frames > 0);
  return { page, events };
}

// Laid-out rectangles as plain data: name, level, box, size.
function rects(page) {
  return page.evaluate(() => window.qvTreemap.rects().map(r => ({
    name: r.node.name, level: r.level, x: r.x, y: r.y, w: r.w, h: r.h, size: r.node.size,
    is_dir: !!r.node.is_dir, inner: r.inner || null, small: !!r.small,
    parent: r.parent ? r.parent.node.name : null, problem: r.node.problem ? r.node.problem.problem : null })));
}

// The hover tip's lines over the middle of a laid-out rectangle.
async function tip_at(page, r) {
  const box = await page.locator('#canvas').boundingBox();
  await page.mouse.move(box.x + r.x + r.w / 2, box.y + r.y + r.h / 2);
  return (await page.locator('#tip').innerText()).split('\n').filter(l => l);
}

// Canvas pixels inside a rectangle (CSS pixels) near an rgb colour.
function pixels_near(page, r, rgb) {
  return page.evaluate(([r, rgb]) => {
    const c = document.getElementById('canvas'), k = window.devicePixelRatio || 1;
    const x = Math.ceil(r.x * k), y = Math.ceil(r.y * k);
    const w = Math.floor((r.x + r.w) * k) - x, h = Math.floor((r.y + r.h) * k) - y;
    const d = c.getContext('2d').getImageData(x, y, w, h).data;
    let n = 0;
    for (let i = 0; i < d.length; i += 4)
      if (Math.abs(d[i] - rgb[0]) + Math.abs(d[i + 1] - rgb[1]) + Math.abs(d[i + 2] - rgb[2]) < 40) n++;
    return n;
  }, [r, rgb]);
}

before(async () => {
  assert.ok(qvdisk && work, 'QVDISK and WORK must be set');
  fs.rmSync(work, { recursive: true, force: true });
  fs.mkdirSync(work, { recursive: true });
  browser = await chromium.launch({
    executablePath: browserPath,
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
           '--disable-component-update', '--disable-sync'],
  });
});

after(async () => { if (browser) await browser.close(); });

test('rectangle areas follow the sizes', async () => {
  const dir = path.join(work, 'sizes');
  const sizes = { 'a.bin': 400000, 'b.txt': 250000, 'c.dat': 150000, 'd/e.log': 120000, 'd/f.log': 60000,
                  'g.c': 20000 };
  for (const [name, size] of Object.entries(sizes)) mkfile(path.join(dir, name), size);
  const { page, events } = await open(page_of(dir, 'sizes'));
  const all = await rects(page);
  const top = all.find(r => r.level === 0);
  const total = Object.values(sizes).reduce((a, b) => a + b, 0);
  assert.equal(top.size, total);
  const area = top.w * top.h;
  const level1 = all.filter(r => r.level === 1);
  assert.equal(level1.length, 5);
  for (const r of level1) {
    const want = area * r.size / total;
    assert.ok(Math.abs(r.w * r.h - want) < 1, `${r.name}: area ${r.w * r.h} vs ${want}`);
  }
  // Inside the directory, its files share its inner box the same way.
  const d = all.find(r => r.name === 'd' && r.level === 1);
  const inner = d.inner[2] * d.inner[3];
  for (const r of all.filter(r => r.parent === 'd')) {
    const want = inner * r.size / 180000;
    assert.ok(Math.abs(r.w * r.h - want) < 1, `${r.name}: area ${r.w * r.h} vs ${want}`);
  }
  // No two siblings overlap.
  for (const a of level1) for (const b of level1) {
    if (a === b) continue;
    const ox = Math.min(a.x + a.w, b.x + b.w) - Math.max(a.x, b.x);
    const oy = Math.min(a.y + a.h, b.y + b.h) - Math.max(a.y, b.y);
    assert.ok(ox <= 1e-6 || oy <= 1e-6, `${a.name} overlaps ${b.name}`);
  }
  assert.deepEqual(events.errors, []);
  await page.screenshot({ path: path.join(work, 'sizes.png') });
});

test('the map fills the window below the header, none of it cut off', async () => {
  const { page, events } = await open(page_of(path.join(work, 'sizes'), 'fit'));
  const box = await page.locator('#canvas').boundingBox();
  const top = (await rects(page)).find(r => r.level === 0);
  const header = await page.locator('header').boundingBox();
  assert.ok(Math.abs(box.y - (header.y + header.height)) < 2, 'the map starts below the header');
  assert.ok(Math.abs(box.y + top.h - 700) < 1, `the map ends at the window's bottom (${box.y + top.h})`);
  assert.deepEqual(events.errors, []);
});

test('the summary says which size the page shows', async () => {
  const dir = path.join(work, 'kinds');
  mkfile(path.join(dir, 'hole.img'), 4 * 1048576);
  fs.mkdirSync(path.join(dir, 'sub'));
  fs.writeFileSync(path.join(dir, 'sub/data.bin'), Buffer.alloc(100000, 7));
  const files = ['hole.img', 'sub/data.bin'].map(f => fs.statSync(path.join(dir, f)));
  const onDisk = files.reduce((a, st) => a + st.blocks * 512, 0);
  const length = files.reduce((a, st) => a + st.size, 0);
  assert.ok(onDisk < length, `the sparse file is sparse here (${onDisk} < ${length})`);
  const grouped = n => n.toLocaleString('en-US');
  for (const [args, total, words] of [[[], onDisk, 'on disk'], [['--apparent-size'], length, 'apparent size'],
                                      [['-b'], length, 'apparent size']]) {
    const { page, events } = await open(page_of(dir, 'kinds', [], [], args));
    const top = (await rects(page)).find(r => r.level === 0);
    assert.equal(top.size, total, `${args}: the map's total`);
    const summary = await page.locator('#summary').innerText();
    assert.match(summary, new RegExp(`^[0-9.]+ [KMG]?i?B ${words} \\(${grouped(total)} bytes\\) \u00b7 2 files`));
    assert.deepEqual(events.errors, []);
    await page.close();
  }
  // A page written before sizes were told apart says nothing of them.
  const html = fs.readFileSync(page_of(dir, 'kinds', [], [], []), 'utf8');
  const old = path.join(work, 'kinds-old.html');
  fs.writeFileSync(old, html.replace(/<script type="application\/json" class="qv-options">[^<]*<\/script>\n/, ''));
  const { page } = await open(old);
  assert.match(await page.locator('#summary').innerText(), new RegExp(`^[0-9.]+ KiB \\(${grouped(onDisk)} bytes\\)`));
});

test('hover shows path, size and share; click zooms, breadcrumb returns', async () => {
  const dir = path.join(work, 'zoom');
  mkfile(path.join(dir, 'big/inner/deep.iso'), 3 * 1048576);
  mkfile(path.join(dir, 'big/other.txt'), 1048576);
  mkfile(path.join(dir, 'small.txt'), 1048576);
  const { page, events } = await open(page_of(dir, 'zoom'));
  const box = await page.locator('#canvas').boundingBox();
  let all = await rects(page);
  const deep = all.find(r => r.name === 'deep.iso');
  assert.ok(deep, 'deep.iso is laid out');
  await page.mouse.move(box.x + deep.x + deep.w / 2, box.y + deep.y + deep.h / 2);
  const tip = await page.locator('#tip').innerText();
  assert.match(tip, new RegExp(dir.replace(/[.*+?^${}()|[\]\\]/g, '\\$&') + '/big/inner/deep\\.iso'));
  assert.match(tip, /3\.0 MiB/);
  assert.match(tip, /1 file/);
  assert.match(tip, /60\.0% of view/);

  const big = all.find(r => r.name === 'big' && r.level === 1);
  const t0 = Date.now();
  await page.mouse.click(box.x + big.x + big.w / 2, box.y + big.y + big.h / 2);
  await page.waitForFunction(() => window.qvTreemap.chain().length === 2);
  assert.deepEqual(await page.evaluate(() => window.qvTreemap.chain()), [dir, 'big']);
  all = await rects(page);
  const zoomedTop = all.find(r => r.level === 0);
  assert.equal(zoomedTop.name, 'big');
  assert.ok(all.some(r => r.name === 'other.txt' && r.level === 1));
  const crumbs = await page.locator('#crumbs button').allInnerTexts();
  assert.deepEqual(crumbs, [dir, 'big/']);
  console.log(`zoom redraw: ${Date.now() - t0} ms end to end`);

  await page.locator('#crumbs button').first().click();
  assert.deepEqual(await page.evaluate(() => window.qvTreemap.chain()), [dir]);
  assert.deepEqual(events.errors, []);
});

test('hostile names are shown as text and run nothing', async () => {
  const dir = path.join(work, 'hostile');
  const names = ['<script>alert(1)</script>.txt', '</script><script>window.pwned=1</script>.js',
                 'quote"s.txt', "apos'.txt", 'back\\slash.txt', '<!--x.html', '<img src=x onerror=alert(2)>.png'];
  names.forEach((n, i) => mkfile(path.join(dir, n), 1000 * (i + 1)));
  // A name that is not valid UTF-8 (bytes FF FE) becomes U+FFFD in the documents.
  const raw = Buffer.concat([Buffer.from(path.join(dir, 'bad')), Buffer.from([0xff, 0xfe]), Buffer.from('.bin')]);
  fs.writeFileSync(raw, '');
  fs.truncateSync(raw, 500);
  const file = page_of(dir, 'hostile');
  assert.ok(!fs.readFileSync(file, 'latin1').slice(0, -20000).includes('<script>alert'),
            'no raw markup from names in the page source');
  const { page, events } = await open(file);
  await page.waitForTimeout(200);
  assert.equal(events.dialogs, 0);
  assert.deepEqual(events.errors, []);
  assert.equal(await page.evaluate(() => window.pwned), undefined);
  assert.equal(await page.locator('img').count(), 0);
  const listed = await page.locator('#files td.path').allInnerTexts();
  for (const n of names) assert.ok(listed.includes(path.join(dir, n)), `listed as text: ${n}`);
  assert.ok(listed.includes(path.join(dir, 'bad\uFFFD\uFFFD.bin')));
  await page.screenshot({ path: path.join(work, 'hostile.png') });
});

test('many small files fold into "(smaller items)"', async () => {
  const dir = path.join(work, 'many');
  mkfile(path.join(dir, 'huge.bin'), 50 * 1048576);
  for (let i = 0; i < 300; i++) mkfile(path.join(dir, 'tiny', `t${i}.txt`), 10);
  for (let i = 0; i < 300; i++) mkfile(path.join(dir, `z${i}.txt`), 10);
  const { page, events } = await open(page_of(dir, 'many'));
  const all = await rects(page);
  // The 300 loose files are each far below a pixel: one rectangle of their
  // total directly under the root. None of the 300 files of tiny/ gets a
  // rectangle of its own either.
  const small = all.filter(r => r.small && r.level === 1);
  assert.equal(small.length, 1);
  assert.equal(small[0].size, 300 * 10);
  assert.ok(all.some(r => r.name === 'tiny' && r.level === 1));
  assert.ok(!all.some(r => /^[tz]\d+\.txt$/.test(r.name)));
  assert.ok(all.length < 20, `only what is visible is laid out (${all.length})`);
  assert.deepEqual(events.errors, []);
});

// A loop and a pseudo file system, met through links that --follow-links
// follows; without it the same tree has nothing to mark. The loop's name is
// markup, which must stay text.
const LOOP = '<img src=x onerror=window.pwned=1>';
function marked_fixture() {
  const dir = path.join(work, 'marked');
  mkfile(path.join(dir, 'big.bin'), 400000);
  mkfile(path.join(dir, 'docs/a.txt'), 200000);
  fs.symlinkSync('..', path.join(dir, 'docs', LOOP));
  fs.symlinkSync('/proc', path.join(dir, 'kernel'));
  return dir;
}
const NOT_ENTERED_RGB = [0x8f, 0xa8, 0xd8];

test('directories not entered are hatched and say why on hover', async () => {
  const dir = marked_fixture();
  const { page, events } = await open(page_of(dir, 'marked', ['--follow-links']));
  const all = await rects(page);
  const loop = all.find(r => r.name === LOOP && r.parent === 'docs');
  const kernel = all.find(r => r.name === 'kernel' && r.level === 1);
  assert.ok(loop && kernel, 'the marked directories are laid out although empty');
  assert.equal(loop.problem, 'loop');
  assert.equal(kernel.problem, 'pseudo_fs');
  assert.deepEqual(all.filter(r => r.problem).map(r => r.name).sort(), ['kernel', LOOP].sort());

  assert.deepEqual(await tip_at(page, loop), [path.join(dir, 'docs', LOOP), '0 B \u00b7 0 files \u00b7 0.0% of view',
                                               'not entered: loop']);
  assert.equal((await tip_at(page, kernel))[2], 'not entered: pseudo file system');
  const big = all.find(r => r.name === 'big.bin');
  assert.equal((await tip_at(page, big)).length, 2, 'an unmarked entry has no third line');

  // Drawn apart: hatching in the marked box, none in a plain one.
  assert.ok(await pixels_near(page, kernel, NOT_ENTERED_RGB) > 0, 'kernel/ is hatched');
  assert.equal(await pixels_near(page, big, NOT_ENTERED_RGB), 0);
  // The boxes of marked directories leave the others in proportion.
  const docs = all.find(r => r.name === 'docs' && r.level === 1);
  assert.ok(Math.abs(big.w * big.h / (docs.w * docs.h) - 2) < 0.01, 'big.bin stays twice docs/');

  assert.equal(await page.locator('#problems').innerText(),
               'Warning: 1 directory loop and 1 pseudo file system not entered; hatched in the map');
  assert.equal(await page.evaluate(() => window.pwned), undefined);
  assert.equal(await page.locator('img').count(), 0);
  assert.deepEqual(events.errors, []);
  await page.screenshot({ path: path.join(work, 'marked.png') });
});

test('an unreadable directory gives its error on hover', async (t) => {
  // Permissions do not bind root; a user namespace of its own makes root's
  // files no longer root's to override.
  const runner = process.getuid() === 0 ? ['unshare', '-U'] : [];
  const dir = path.join(work, 'unreadable');
  mkfile(path.join(dir, 'data.bin'), 100000);
  fs.mkdirSync(path.join(dir, 'locked'));
  fs.chmodSync(path.join(dir, 'locked'), 0);
  // Whether the runner works, and then whether it can no longer list locked/.
  const fails = argv => {
    try { execFileSync(argv[0], argv.slice(1), { stdio: 'ignore' }); } catch { return true; }
    return false;
  };
  const denied = !fails([...runner, 'true']) && fails([...runner, 'ls', path.join(dir, 'locked')]);
  let file;
  try {
    if (denied) file = page_of(dir, 'unreadable', [], runner);
  } finally {
    fs.chmodSync(path.join(dir, 'locked'), 0o755);
  }
  if (!file) {
    t.skip('skipped: needs a user namespace (unshare -U) as root, so that permissions hold');
    return;
  }
  const { page, events } = await open(file);
  const locked = (await rects(page)).find(r => r.name === 'locked');
  assert.equal(locked.problem, 'unreadable');
  assert.equal((await tip_at(page, locked))[2], 'could not be read (error 13)');
  assert.ok(await pixels_near(page, locked, [0xf0, 0xa0, 0x30]) > 0, 'locked/ is hatched');
  assert.equal(await page.locator('#problems').innerText(),
               'Warning: 1 directory unreadable; hatched in the map');
  assert.deepEqual(events.errors, []);
});

// A scan that gave up on storage needs a file system that stops answering
// (tests/cli mounts one); here the page of a plain scan is given the
// problems such a scan reports.
test('a directory given up on is hatched apart and says why', async () => {
  const dir = path.join(work, 'gaveup');
  mkfile(path.join(dir, 'big.bin'), 400000);
  mkfile(path.join(dir, 'media/clip.bin'), 200000);
  const html = fs.readFileSync(page_of(dir, 'gaveup'), 'utf8');
  const problems = { unreadable_dirs: 0, skipped_entries: 0, loop_dirs: 0, pseudo_fs_dirs: 0, stalled_dirs: 1,
                     dirs: [{ path: path.join(dir, 'media'), problem: 'stalled' }] };
  const file = path.join(work, 'gaveup-stalled.html');
  fs.writeFileSync(file, html.replace(/(<script type="application\/json" class="qv-problems">)[^<]*/,
                                      (_, tag) => tag + JSON.stringify(problems)));
  const { page, events } = await open(file);
  const all = await rects(page);
  const media = all.find(r => r.name === 'media' && r.level === 1);
  assert.equal(media.problem, 'stalled');
  assert.deepEqual(all.filter(r => r.problem).map(r => r.name), ['media']);
  // It holds what was read of it: its own part is the header above that.
  const head = { x: media.x, y: media.y, w: media.w, h: media.inner[1] - media.y };
  assert.equal((await tip_at(page, head))[2], 'stalled: the storage did not answer');
  assert.ok(await pixels_near(page, media, [0xe0, 0x5a, 0xd0]) > 0, 'media/ is hatched');
  assert.equal(await pixels_near(page, media, [0xf0, 0xa0, 0x30]), 0, 'not as an unreadable one');
  assert.equal(await page.locator('#problems').innerText(),
               'Warning: 1 directory stalled (storage did not answer); hatched in the map');
  assert.deepEqual(events.errors, []);
});

test('a page with nothing left out is unchanged', async () => {
  const dir = path.join(work, 'marked');
  const file = page_of(dir, 'unmarked');
  const html = fs.readFileSync(file, 'utf8');
  assert.ok(html.includes('class="qv-problems">{"unreadable_dirs":0,"skipped_entries":0,"loop_dirs":0,' +
                          '"pseudo_fs_dirs":0,"stalled_dirs":0,"dirs":[]}'), 'the page holds the problems, none');
  // The same page without the problems, as pages were written before them.
  const bare = path.join(work, 'bare.html');
  fs.writeFileSync(bare, html.replace(/<script type="application\/json" class="qv-problems">[^<]*<\/script>\n/, ''));
  const shots = [];
  for (const f of [file, bare]) {
    const { page, events } = await open(f);
    const all = await rects(page);
    assert.ok(all.every(r => !r.problem));
    assert.equal(await page.locator('#problems').isVisible(), false);
    const txt = all.find(r => r.name === 'a.txt');
    assert.deepEqual(await tip_at(page, txt),
                     [path.join(dir, 'docs/a.txt'), '195.3 KiB \u00b7 1 file \u00b7 33.3% of view']);
    await page.mouse.move(0, 0);
    shots.push({ rects: all, pixels: await page.evaluate(() => document.getElementById('canvas').toDataURL()) });
    assert.deepEqual(events.errors, []);
  }
  assert.deepEqual(shots[0].rects, shots[1].rects);
  assert.ok(shots[0].pixels === shots[1].pixels, 'the same picture');
});

// The colour most pixels of a rectangle have, as [r, g, b].
function main_rgb(page, r) {
  return page.evaluate((r) => {
    const c = document.getElementById('canvas'), k = window.devicePixelRatio || 1;
    const x = Math.ceil(r.x * k), y = Math.ceil(r.y * k);
    const d = c.getContext('2d').getImageData(x, y, Math.floor((r.x + r.w) * k) - x, Math.floor((r.y + r.h) * k) - y).data;
    const seen = new Map();
    let best = null, most = 0;
    for (let i = 0; i < d.length; i += 4) {
      const key = d[i] + ',' + d[i + 1] + ',' + d[i + 2], n = (seen.get(key) || 0) + 1;
      seen.set(key, n);
      if (n > most) { most = n; best = key; }
    }
    return best.split(',').map(Number);
  }, r);
}

test('with an older scan the map is coloured by growth, new entries hatched', async () => {
  const dir = path.join(work, 'growth');
  const old = path.join(work, 'growth-old.json'), now = path.join(work, 'growth-new.json');
  for (const name of ['a.bin', 'b.bin', 'c.bin']) mkfile(path.join(dir, name), 100000);
  mkfile(path.join(dir, 'd/e.log'), 150000);
  execFileSync(qvdisk, [dir, '--apparent-size', '--save', old], { stdio: 'ignore' });
  mkfile(path.join(dir, 'a.bin'), 300000);
  mkfile(path.join(dir, 'b.bin'), 20000);
  mkfile(path.join(dir, 'n.bin'), 80000);
  execFileSync(qvdisk, [dir, '--apparent-size', '--save', now], { stdio: 'ignore' });
  const since = page_of(dir, 'since', ['--since', old]);
  const compared = path.join(work, 'compared.html');
  execFileSync(qvdisk, ['--compare', old, now, '--html', compared], { stdio: 'ignore' });

  const layouts = [];
  for (const file of [since, compared]) {
    const { page, events } = await open(file);
    assert.equal(await page.evaluate(() => window.qvTreemap.growth), true);
    const all = await rects(page);
    const at = name => all.find(r => r.name === name);
    const [a, b, c, n] = ['a.bin', 'b.bin', 'c.bin', 'n.bin'].map(at);
    const grew = await main_rgb(page, a), shrank = await main_rgb(page, b), same = await main_rgb(page, c);
    assert.ok(grew[0] - grew[2] > 100, `a.bin grew: red, not ${grew}`);
    assert.ok(shrank[2] - shrank[0] > 50, `b.bin shrank: blue, not ${shrank}`);
    assert.ok(Math.max(...same) - Math.min(...same) < 20, `c.bin is the same: grey, not ${same}`);
    // New: red under white hatching, which nothing old has.
    const hatched = [239, 172, 169];
    assert.ok(await pixels_near(page, n, hatched) > 20, 'n.bin is hatched');
    assert.equal(await pixels_near(page, a, hatched), 0);
    assert.equal((await tip_at(page, a))[2], '+195.3 KiB since the older scan (was 97.7 KiB)');
    assert.equal((await tip_at(page, b))[2], '\u221278.1 KiB since the older scan (was 97.7 KiB)');
    assert.equal((await tip_at(page, c))[2], 'unchanged since the older scan');
    assert.equal((await tip_at(page, n))[2], 'new since the older scan');
    assert.match(await page.locator('#summary').innerText(), /\+195\.3 KiB since the older scan \(439\.5 KiB\)$/);
    assert.equal(await page.locator('#legend-title').innerText(), 'Growth');
    // Navigation as ever: into d/ and back.
    const d = at('d');
    assert.equal(await page.evaluate(d => window.qvTreemap.zoomAt(d.x + d.w / 2, d.y + d.h / 2), d), true);
    assert.deepEqual(await page.evaluate(() => window.qvTreemap.chain()), [dir, 'd']);
    assert.equal((await tip_at(page, (await rects(page)).find(r => r.name === 'e.log')))[2],
                 'unchanged since the older scan');
    await page.evaluate(() => window.qvTreemap.zoomTo(1));
    layouts.push(all.map(r => [r.name, r.x, r.y, r.w, r.h]));
    assert.deepEqual(events.errors, []);
    await page.screenshot({ path: file.replace(/\.html$/, '.png') });
  }
  assert.deepEqual(layouts[0], layouts[1], '--since and --compare draw the same map');
});
