// The page in headless Chromium, opened from disk: for every file it must
// show what build/tolvek prints for that file and download what it writes,
// and it must make no request beyond itself.
import assert from 'node:assert/strict';
import {spawnSync} from 'node:child_process';
import fs from 'node:fs';
import http from 'node:http';
import os from 'node:os';
import path from 'node:path';
import {after, before, test} from 'node:test';
import axe from 'axe-core';
import {answer, drop, launch, openPage, pagePath, pageUrl, root, windowed} from './chromium.js';

const tool = path.resolve(process.env.TOLVEK_TOOL || path.join(root, 'build/tolvek'));
const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'tolvek-web-'));
let folders = 0;

// A file in a folder of its own, as the test hands it to the page.
function place(name, bytes) {
  const folder = path.join(scratch, `${++folders}`);
  fs.mkdirSync(folder);
  fs.writeFileSync(path.join(folder, name), bytes);
  return path.join(folder, name);
}

// What the native tool prints for `tolvek NAME` and, for an image that it
// accepts, what it prints and writes for `tolvek NAME NAME` on a copy.
function native(file) {
  const name = path.basename(file);
  const check = spawnSync(tool, [name], {cwd: path.dirname(file)});
  const expected = {file, status: check.status, output: check.stdout.toString()};
  if (check.status === 0) {
    const copy = place(name, fs.readFileSync(file));
    expected.fixOutput = spawnSync(tool, [name, name], {cwd: path.dirname(copy)}).stdout.toString();
    expected.fixed = fs.readFileSync(copy);
  }
  return expected;
}

// Bytes that no checksum table fits, the same for the same seed.
function noise(length, seed) {
  const bytes = Buffer.alloc(length);
  let state = seed;
  for (let i = 0; i < length; ++i) {
    state = (Math.imul(state, 1103515245) + 12345) >>> 0;
    bytes[i] = state >>> 24;
  }
  return bytes;
}

// An image file of the given length whose last 16 KiB are the ROM, with
// its version byte.
function image(length, version, seed = length) {
  const bytes = noise(length, seed);
  bytes[length - 16384 + 0x3ffb] = version;
  return bytes;
}

// The same image with the table that the native tool writes.
function corrected(bytes) {
  return native(place('x.rom', bytes)).fixed;
}

const blank = Buffer.alloc(16384);
blank[0x3ffb] = 0x21;

const parity = [
  ['16 KiB, stale table', 'image.rom', image(16384, 0x21)],
  ['16 KiB, correct table', 'image.rom', corrected(image(16384, 0x21))],
  ['8 KiB, stale table', 'upper.rom', image(8192, 0x21)],
  ['8 KiB, correct table', 'upper.rom', corrected(image(8192, 0x21))],
  ['32 KiB, stale table', 'double.bin', image(32768, 0x21)],
  ['32 KiB, correct table', 'double.bin', corrected(image(32768, 0x21))],
  ['blank, one entry wrong', 'blank.rom', blank],
  ['version 1.5, the oldest accepted', 'v15.rom', image(16384, 0x15)],
  ['version 9.9', 'v99.rom', image(16384, 0x99)],
  ['8 KiB, version 9.9', 'v99-upper.rom', image(8192, 0x99)],
  ['version 1.4, unsupported', 'v14.rom', image(16384, 0x14)],
  ['version 0.0, unsupported', 'v00.rom', image(16384, 0x00)],
  ['invalid minor digit', 'v1a.rom', image(16384, 0x1a)],
  ['invalid major digit', 'va1.rom', image(16384, 0xa1)],
  ['32 KiB, invalid version', 'vff.rom', image(32768, 0xff)],
  ['empty', 'empty.rom', Buffer.alloc(0)],
  ['8 KiB less a byte', 'short.rom', noise(8191, 1)],
  ['16 KiB and a byte', 'long.rom', noise(16385, 2)],
  ['32 KiB less a byte', 'odd.rom', noise(32767, 3)],
  ['32 KiB and a byte', 'over.rom', noise(32769, 4)],
  // Read whole, this file would not fit in the page's memory.
  ['4 GiB, sparse', 'huge.rom', noise(32769, 5), 4 * 2 ** 30],
  ['a name that is markup', '<img src=x onerror=alert(1)>.rom', noise(100, 6)],
  ['the name of a system folder', 'tmp', image(16384, 0x42)],
  ['a name beyond ASCII', 'Ĳsselmeer 漢字.rom', image(8192, 0x42)],
].map(([what, name, bytes, length = bytes.length]) => {
  const file = place(name, bytes);
  fs.truncateSync(file, length);
  return {what, ...native(file)};
});

// No step waits for ever: a test fails after a minute.
const limit = {timeout: 60000};

let chromium;
let page;  // the page that the tests use now
const pages = [];
const urls = [pageUrl];  // where pages were opened from
let banner;
const requests = [];
const problems = [];
const downloads = [];
const downloadFolder = path.join(scratch, 'downloads');

before(async () => {
  chromium = await launch();
  // Every download is kept under a name of its own; the name that the page
  // gave it is reported.
  const session = await chromium.browser.target().createCDPSession();
  session.on('Browser.downloadWillBegin', (event) => {
    downloads.push({guid: event.guid, name: event.suggestedFilename, done: false});
  });
  session.on('Browser.downloadProgress', (event) => {
    const download = downloads.find((each) => each.guid === event.guid);
    if (download && event.state === 'completed')
      download.done = true;
    else if (download && event.state === 'canceled')
      problems.push(`download of ${download.name} canceled`);
  });
  await session.send('Browser.setDownloadBehavior',
                     {behavior: 'allowAndName', downloadPath: downloadFolder, eventsEnabled: true});
  page = await open();
  banner = await page.$eval('#banner', (view) => view.textContent);
}, limit);

// Opens the page in a new tab, recording what it does; without writing, as
// in a browser that does not let a page write the files that it is given.
async function open(url = pageUrl, writing = true) {
  urls.push(url);
  const opened = await openPage(chromium.browser, async (page) => {
    if (!writing)
      await page.evaluateOnNewDocument(() => delete window.showOpenFilePicker && delete window.showDirectoryPicker &&
                                              delete DataTransferItem.prototype.getAsFileSystemHandle);
    page.on('request', (request) => requests.push(request.url()));
    page.on('pageerror', (error) => problems.push(`error: ${error.message}`));
    page.on('console', (message) => problems.push(`console: ${message.text()}`));
    // What the page's policy refused, and when each file was handed to the
    // input and its report came on screen (the next frame after it settled).
    await page.evaluateOnNewDocument(() => {
      window.recorded = {refused: [], handed: [], shown: []};
      document.addEventListener('securitypolicyviolation', (event) => {
        window.recorded.refused.push(`${event.violatedDirective} ${event.blockedURI}`);
      });
      addEventListener('change', () => window.recorded.handed.push(performance.now()), true);
      addEventListener('DOMContentLoaded', () => {
        new MutationObserver((records) => {
          for (const record of records)
            if (!record.target.hasAttribute('aria-busy'))
              requestAnimationFrame(() => window.recorded.shown.push(performance.now()));
        }).observe(document.getElementById('results'), {subtree: true, attributeFilter: ['aria-busy']});
      });
    });
  }, url);
  pages.push(opened);
  return opened;
}

after(async () => {
  await chromium?.close();
  fs.rmSync(scratch, {recursive: true, force: true});
}, limit);

// Does what hands count files to the page, and gives their entries once
// they have settled and come on screen.
async function entries(handing, count) {
  const from = await shown();
  await page.evaluate(() => {
    window.recorded.handed = [];
    window.recorded.shown = [];
  });
  await handing();
  await page.waitForFunction((from, count) => window.recorded.shown.length >= count &&
                                 document.querySelectorAll('#results > li:not([aria-busy])').length === from + count,
                             {}, from, count);
  const all = await page.$$eval('#results > li', (items) => items.map((item) => ({
    name: item.querySelector('h2').textContent,
    kind: item.className.replace('file ', ''),
    status: item.querySelector('.status').textContent,
    report: item.querySelector('.report')?.textContent,
    fold: item.querySelector('summary')?.textContent,
    map: item.querySelector('.map')?.getAttribute('aria-label'),
    reason: item.querySelector('.reason')?.textContent,
  })));
  return all.slice(from);
}

async function shown() {
  return page.$$eval('#results > li', (items) => items.length);
}

// Hands files to the page's file input and gives their entries.
async function hand(...files) {
  const input = await page.$('#files');
  return entries(() => input.uploadFile(...files), files.length);
}

// Clicks a button, or calls start, and gives the count downloads that it
// starts, once done.
async function download(start, count) {
  const from = downloads.length;
  await (typeof start === 'function' ? start() : start.click());
  const deadline = Date.now() + 10000;
  while (downloads.length < from + count || downloads.slice(from).some((each) => !each.done)) {
    assert.ok(Date.now() < deadline, `${downloads.length - from} of ${count} downloads, ${downloads.slice(from).filter((each) => each.done).length} done`);
    await new Promise((resolve) => setTimeout(resolve, 20));
  }
  return downloads.slice(from).map((each) => ({
    name: each.name,
    bytes: fs.readFileSync(path.join(downloadFolder, each.guid)),
  }));
}

// The page's entry says at a glance what the tool's report says, maps the
// pages that the file holds and names the wrong ones, and shows the report
// as the native tool printed it, folded if long.
function assertSameAsNative(entry, expected) {
  const name = path.basename(expected.file);
  assert.equal(entry.name, name);
  assert.equal(banner + entry.report, expected.output);
  const lines = entry.report.trimEnd().split('\n');
  assert.equal(entry.fold, lines.length > 8 ? `The tool's report: ${lines.length} lines` : undefined);
  const wrong = lines.filter((line) => line.startsWith('checksum error in page'))
      .map((line) => Number(/page (\d+)/.exec(line)[1]));
  if (expected.status !== 0) {
    assert.deepEqual([entry.kind, entry.status, entry.map], ['refused', 'Not accepted', undefined]);
    return false;
  }
  const pages = wrong.length === 0 ? 'all correct' : `${wrong.length === 1 ? 'page' : 'pages'} ${wrong.join(', ')} wrong`;
  assert.equal(entry.map, `Pages ${fs.statSync(expected.file).size === 8192 ? 32 : 0} to 63: ${pages}`);
  if (wrong.length === 0)
    assert.deepEqual([entry.kind, entry.status], ['correct', 'All pages correct']);
  else
    assert.deepEqual([entry.kind, entry.status], ['wrong', `${wrong.length} ${wrong.length === 1 ? 'page' : 'pages'} wrong`]);
  return wrong.length > 0;
}

async function assertCorrection(index, expected) {
  const item = (await page.$$('#results > li'))[index];
  const [got] = await download(await item.$('button.fix'), 1);
  assert.equal(banner + await item.$eval('.correction', (view) => view.textContent), expected.fixOutput);
  assert.ok(got.bytes.equals(expected.fixed), 'the downloaded image is not what the tool writes');
  assert.equal(await item.$eval('.status', (view) => view.textContent), `Corrected: saved as ${got.name}`);
  assert.equal(await page.$eval('#announce', (view) => view.textContent), `${path.basename(expected.file)} corrected: saved as ${got.name}`);
  return got.name;
}

test('the page is one file of less than 150 KB', limit, () => {
  assert.ok(fs.statSync(pagePath).size < 150 * 1024);
});

test('each file gives the native tool\'s report and corrected image', limit, async (t) => {
  const times = [];
  for (const expected of parity) {
    await t.test(expected.what, async () => {
      const from = await shown();
      const [entry] = await hand(expected.file);
      times.push(await page.evaluate(() => window.recorded.shown[0] - window.recorded.handed[0]));
      if (assertSameAsNative(entry, expected)) {
        const name = await assertCorrection(from, expected);
        assert.equal(name, path.basename(expected.file));
      }
    });
  }
  times.sort((a, b) => a - b);
  t.diagnostic(`from a file handed to the input to its report on screen: median ${
      times[times.length >> 1].toFixed(1)} ms over ${times.length} files (${times[0].toFixed(1)} to ${
      times.at(-1).toFixed(1)} ms)`);
});

test('several files at once are shown in their order', limit, async (t) => {
  const files = parity.slice(0, 6);
  const got = await hand(...files.map((each) => each.file));
  assert.equal(got.length, files.length);
  got.forEach((entry, index) => assertSameAsNative(entry, files[index]));
  // A hundred at once, on a page of their own, as a benchmark.
  page = await open();
  const hundred = await hand(...Array.from({length: 100}, (_, index) => place('stale.rom', image(16384, 0x21, 100 + index))));
  assert.deepEqual(new Set(hundred.map((entry) => entry.kind)), new Set(['wrong']));
  t.diagnostic(`100 stale 16 KiB images handed to the input at once, until the last report is on screen: ${
      (await page.evaluate(() => window.recorded.shown.at(-1) - window.recorded.handed[0])).toFixed(0)} ms`);
});

test('"Download all" gives one zip archive of what the tool writes, under the names shown', limit, async () => {
  page = await open();
  const files = [['same.rom', 16384], ['same.rom', 8192], ['Ĳsselmeer 漢字.rom', 32768]].map(
      ([name, length], index) => native(place(name, image(length, 0x37, 11 + index))));
  const got = await hand(...files.map((each) => each.file));
  got.forEach((entry, index) => assertSameAsNative(entry, files[index]));
  const from = downloads.length;
  // Pressed twice, it still makes one archive.
  const [archive] = await download(() => page.$eval('#correct-all', (button) => button.click() || button.click()), 1);
  assert.equal(archive.name, 'corrected-images.zip');
  // Python's zipfile reads it, and checks every entry's CRC.
  const unzip = spawnSync('python3', ['-c', `import io, json, sys, zipfile
archive = zipfile.ZipFile(io.BytesIO(sys.stdin.buffer.read()))
assert archive.testzip() is None
print(json.dumps([[entry.filename, list(archive.read(entry))] for entry in archive.infolist()]))`], {input: archive.bytes});
  const unpacked = JSON.parse(unzip.stdout);
  const names = ['same.rom', 'same (2).rom', 'Ĳsselmeer 漢字.rom'];
  assert.deepEqual(unpacked.map(([name]) => name), names);
  unpacked.forEach(([, bytes], index) => assert.ok(Buffer.from(bytes).equals(files[index].fixed)));
  const items = await page.$$('#results > li');
  for (const [index, item] of items.entries()) {
    assert.equal(banner + await item.$eval('.correction', (view) => view.textContent), files[index].fixOutput);
    const status = await item.$eval('.status', (view) => view.textContent);
    assert.ok(status.startsWith(`Corrected: saved as ${names[index]} in corrected-images.zip`), status);
    assert.equal(status.includes('number added'), index === 1);
  }
  assert.equal(await page.$eval('#announce', (view) => view.textContent), 'All 3 images corrected and saved in ' +
      'corrected-images.zip; 1 of them with a number added to the name, as their entries show.');
  assert.equal(downloads.length, from + 1);
  await page.click('#clear');
  await page.waitForFunction(() => document.querySelector('#results').childElementCount === 0);
  assert.ok(await page.$eval('#actions', (actions) => actions.hidden));
});

test('a name is saved as the page shows it, and fits a 320-pixel screen', limit, async (t) => {
  await page.setViewport({width: 320, height: 640});
  const bytes = [...fs.readFileSync(parity[0].file)];
  for (const [what, name, saved] of [
    ['300 characters', `${'x'.repeat(296)}.rom`, `${'x'.repeat(196)}.rom`],
    ['a right-to-left override', 'invoice\u202Emor.exe', 'invoice_mor.exe'],
    ['a newline', 'first\nsecond.rom', 'first_second.rom'],
    ['only dots', '...', 'image'],
    ['characters that Windows does not allow', 'a:b?c*"d|e.rom', 'a_b_c__d_e.rom'],
  ]) {
    await t.test(what, async () => {
      // Handed as the browser makes a file, since no file system here takes
      // each of these names.
      const [entry] = await entries(() => page.$eval('#files', (input, name, bytes) => {
        const transfer = new DataTransfer();
        transfer.items.add(new File([new Uint8Array(bytes)], name));
        input.files = transfer.files;
        input.dispatchEvent(new Event('change'));
      }, name, bytes), 1);
      assert.equal(entry.name, name);
      // Files chosen on a narrow screen bring the summary into view.
      assert.ok(await page.$eval('#summary', (view) => Math.round(view.getBoundingClientRect().top) === 0));
      const item = (await page.$$('#results > li')).at(-1);
      const [got] = await download(await item.$('button.fix'), 1);
      assert.equal(got.name, saved);
      assert.equal(await item.$eval('.status', (view) => view.textContent), `Corrected: saved as ${saved}`);
      assert.ok(await page.evaluate(() => document.documentElement.scrollWidth <= 320));
    });
  }
});

test('a drop of a file and a folder', limit, async () => {
  const folder = path.join(scratch, 'a folder');
  fs.mkdirSync(path.join(folder, 'inner'), {recursive: true});
  fs.copyFileSync(parity[2].file, path.join(folder, path.basename(parity[2].file)));
  // Where the page may write them, the folder's files are checked, but not
  // those of a folder in it; elsewhere, the folder is refused.
  for (const [writing, buttons, inFolder] of [
    [true, ['Correct this file: image.rom', 'Download a corrected copy of image.rom'],
      (entry) => assertSameAsNative(entry, parity[2])],
    [false, ['Download the corrected image.rom'], (entry) => assert.match(entry.status, /^A folder/)],
  ]) {
    page = await open(pageUrl, writing);
    const [file, second] = await entries(() => drop(page, parity[0].file, folder), 2);
    assertSameAsNative(file, parity[0]);
    inFolder(second);
    assert.deepEqual(await page.$$eval('#results > li:first-child button', (all) => all.map((each) => each.textContent)),
                     buttons);
  }
});

test('a file that cannot be read', limit, async (t) => {
  for (const [what, file, meanwhile] of [
    ['a folder', fs.mkdtempSync(path.join(scratch, 'unreadable-')), () => {}],
    ['a file deleted after it was chosen', place('gone.rom', blank), fs.unlinkSync],
  ]) {
    await t.test(what, async () => {
      // The page hears of the choice only after the file was dealt with.
      const input = await page.$('#files');
      await input.evaluate((input) => input.addEventListener('change', (event) => event.stopImmediatePropagation(),
                                                             {capture: true, once: true}));
      await input.uploadFile(file);
      meanwhile(file);
      const [entry] = await entries(() => input.evaluate((input) => input.dispatchEvent(new Event('change'))), 1);
      assert.deepEqual([entry.kind, entry.report], ['unreadable', `cannot open input file ${path.basename(file)}\n`]);
      assert.ok(entry.reason !== '', 'no reason given');
    });
  }
});

test('the keyboard alone checks a file and downloads its corrected image', limit, async () => {
  const expected = parity[2];
  page = await open(pageUrl, false);
  let focused = '';
  for (let tabs = 0; focused !== 'choose' && tabs < 5; ++tabs) {
    await page.keyboard.press('Tab');
    focused = await page.evaluate(() => document.activeElement.id);
  }
  assert.equal(focused, 'choose');
  // The file chooser that Enter opens is answered here; it is caught only
  // once that has surely been asked for.
  const session = await page.createCDPSession();
  await session.send('Page.enable');
  await session.send('Page.setInterceptFileChooserDialog', {enabled: true});
  const [entry] = await entries(async () => {
    const opened = new Promise((resolve) => session.once('Page.fileChooserOpened', resolve));
    await page.keyboard.press('Enter');
    const {backendNodeId} = await opened;
    await session.send('DOM.setFileInputFiles', {files: [expected.file], backendNodeId});
  }, 1);
  assertSameAsNative(entry, expected);
  const fix = (await page.$$('#results button.fix')).at(-1);
  for (let tabs = 0; !await fix.evaluate((button) => button === document.activeElement) && tabs < 50; ++tabs)
    await page.keyboard.press('Tab');
  const [got] = await download(() => page.keyboard.press('Enter'), 1);
  assert.ok(got.bytes.equals(expected.fixed));
});

// The browser asks before the page may change a file, in a prompt of its
// own that only a window shows (TOLVEK_WINDOW=1 on a display: `.ci/run`'s
// window stage); it is answered with keys: Tab then Return saves changes,
// Escape dismisses it. The folder's picker cannot be driven: it is dropped.
test('in a window, files are corrected where they lie, once allowed', {...limit, skip: !windowed && 'needs a window'},
     async () => {
  page = await open();
  const stale = (name, seed) => place(name, image(16384, 0x21, seed));
  const folder = path.dirname(stale('one.rom', 81));
  fs.writeFileSync(path.join(folder, 'two.rom'), image(8192, 0x21, 82));
  fs.writeFileSync(path.join(folder, 'three.rom'), image(32768, 0x21, 83));
  fs.writeFileSync(path.join(folder, 'good.rom'), corrected(image(16384, 0x21, 84)));
  for (const [dropped, click, keys, status, meanwhile = () => {}] of [
    [folder, '#write-all', ['Tab', 'Return'], 'Corrected in place'],
    [stale('fixed.rom', 85), '.write', ['Tab', 'Return'], 'Corrected in place'],
    [stale('kept.rom', 86), '.write', ['Escape'], 'Not changed: the browser was not allowed to change kept.rom'],
    [stale('changed.rom', 87), '.write', ['Tab', 'Return'], 'Changed since it was checked: check it again. ' +
      'Nothing was written.', (file) => fs.writeFileSync(file, blank)],
  ]) {
    const files = dropped === folder ? fs.readdirSync(folder).sort().map((name) => path.join(folder, name)) : [dropped];
    const checked = await entries(() => drop(page, dropped), files.length);
    files.forEach(meanwhile);
    const expected = files.map((file) => (status === 'Corrected in place' ? native(file).fixed : fs.readFileSync(file)));
    const button = await page.$(`#results > li:last-child ${click}, #actions ${click}`);
    assert.equal(await button.evaluate((button) => button.textContent), click === '#write-all' ? 'Correct all 3 files' :
                 `Correct this file: ${path.basename(dropped)}`);
    assert.equal(await answer(page, button, keys), 1, 'one prompt');
    files.forEach((file, index) => assert.ok(fs.readFileSync(file).equals(expected[index]), `${file} holds other bytes`));
    const statuses = await page.$$eval('#results > li .status', (all) => all.map((each) => each.textContent));
    assert.deepEqual(statuses.slice(-files.length), checked.map((entry) => (entry.kind === 'wrong' ? status : entry.status)));
    assert.equal(await page.$eval('#announce', (view) => view.textContent),
                 files.length > 1 ? 'All 3 files corrected in place.' : `${path.basename(dropped)}: ${status}`);
    if (keys[0] === 'Escape') {
      const [copy] = await download(await page.$('#results > li:last-child .fix'), 1);
      assert.ok(copy.bytes.equals(native(dropped).fixed));
    }
  }
});

test('a 320-pixel-wide screen needs no sideways scrolling', limit, async () => {
  const full = pages[0];  // with every kind of entry and the longest names
  await full.setViewport({width: 320, height: 640});
  assert.ok(await full.evaluate(() => document.documentElement.scrollWidth <= 320));
});

test('the page works whatever charset its host declares', limit, async (t) => {
  const server = http.createServer((request, response) => {
    const charset = request.url.slice(1);
    response.setHeader('Content-Type', charset === '' ? 'text/html' : `text/html; charset=${charset}`);
    response.end(fs.readFileSync(pagePath));
  });
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  for (const charset of ['iso-8859-1', 'windows-1252', '']) {
    await t.test(charset || 'no charset', async () => {
      page = await open(`http://127.0.0.1:${server.address().port}/${charset}`);
      assert.equal(await page.$eval('#choose', (button) => button.textContent), 'Choose images\u2026');
      assertSameAsNative((await hand(parity[0].file))[0], parity[0]);
    });
  }
  server.close();
});

test('axe-core finds nothing to fix or review, before files and after', limit, async () => {
  await open();
  for (const each of pages) {
    await each.evaluate(axe.source);
    const found = await each.evaluate(() => axe.run({resultTypes: ['violations', 'incomplete']}));
    assert.deepEqual([...found.violations, ...found.incomplete].map((rule) => `${rule.id}: ${rule.help}`), []);
  }
});

test('the page makes no request beyond itself and runs only its own scripts', limit, async () => {
  assert.deepEqual(requests.filter((url) => !urls.includes(url) && !/^(data|blob):/.test(url)), []);
  assert.deepEqual(problems, []);
  for (const each of pages) {
    assert.deepEqual(await each.evaluate(() => window.recorded.refused), []);
    // The name that is markup stayed text.
    assert.equal(await each.$$eval('#results img', (images) => images.length), 0);
  }
});
