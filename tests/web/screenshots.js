// Makes the pictures of the page in doc/, after it checked four files:
// web-check.png, the whole page on a desktop-sized screen, and
// web-phone.png, a phone-sized screen scrolled to the results; and in a
// window (TOLVEK_WINDOW=1, see chromium.js), web-in-place.png, an entry
// whose file was corrected in place. Usage: node screenshots.js [FOLDER]
// (doc/ by default). Needs build-web/tolvek.html and build/tolvek, which
// corrects one sample.
import {spawnSync} from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import {answer, drop, launch, openPage, root, windowed} from './chromium.js';

const folder = path.resolve(process.argv[2] || path.join(root, 'doc'));
const tool = path.resolve(process.env.TOLVEK_TOOL || path.join(root, 'build/tolvek'));
const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'tolvek-screenshots-'));

// A blank image of version 2.1 with a few bytes in the given pages, whose
// table entries are then wrong.
function image(length, pages) {
  const bytes = Buffer.alloc(length);
  bytes[length - 16384 + 0x3ffb] = 0x21;
  for (const page of pages)
    bytes[length - 16384 + page * 256 + 17] = 0x5a;
  return bytes;
}

const samples = {
  'bootrom-2.1.rom': image(16384, [5, 17, 18, 19, 20, 33, 40, 41, 42, 57]),
  'bootrom-2.0.rom': image(16384, [40]),
  'upper-half.rom': image(8192, [33]),
  'notes.txt': Buffer.from('not an image\n'),
};
for (const [name, bytes] of Object.entries(samples))
  fs.writeFileSync(path.join(scratch, name), bytes);
if (spawnSync(tool, ['upper-half.rom', 'upper-half.rom'], {cwd: scratch}).status !== 0)
  throw new Error(`${tool} did not correct the sample`);

const chromium = await launch();
try {
  for (const [file, viewport, fullPage] of [
    ['web-check.png', {width: 800, height: 600}, true],
    ['web-phone.png', {width: 360, height: 740, deviceScaleFactor: 2, isMobile: true, hasTouch: true}, false],
  ]) {
    const page = await openPage(chromium.browser, (page) => page.setViewport(viewport));
    await drop(page, ...Object.keys(samples).map((name) => path.join(scratch, name)));
    await page.waitForFunction((count) => document.querySelectorAll('#results > li:not([aria-busy])').length === count,
                               {}, Object.keys(samples).length);
    if (!fullPage)
      await page.$eval('#results', (results) => results.scrollIntoView());
    await page.screenshot({path: path.join(folder, file), fullPage});
    console.log(`wrote ${path.join(folder, file)}`);
  }
  // The browser's prompt, shown only in a window, is answered "Save changes".
  if (windowed) {
    const page = await openPage(chromium.browser, (page) => page.setViewport({width: 800, height: 600}));
    await drop(page, path.join(scratch, 'bootrom-2.1.rom'));
    await answer(page, await page.waitForSelector('#results > li:not([aria-busy]) .write'), ['Tab', 'Return']);
    await (await page.$('#results > li')).screenshot({path: path.join(folder, 'web-in-place.png')});
    console.log(`wrote ${path.join(folder, 'web-in-place.png')}`);
  }
} finally {
  await chromium.close();
  fs.rmSync(scratch, {recursive: true, force: true});
}
