// Debian's Chromium, headless, for the page's tests and screenshots: a
// profile of its own each time, and nothing of the browser's own that would
// reach the network. puppeteer-core drives it; it brings no browser. With
// TOLVEK_WINDOW=1 it opens a window instead, on the display that DISPLAY
// names: only there does the browser ask before a page may change a file.
import {execFileSync} from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import {fileURLToPath, pathToFileURL} from 'node:url';
import puppeteer from 'puppeteer-core';

export const root = fileURLToPath(new URL('../../', import.meta.url));
export const pagePath = path.resolve(process.env.TOLVEK_PAGE || path.join(root, 'build-web/tolvek.html'));
export const pageUrl = pathToFileURL(pagePath).href;
export const windowed = Boolean(process.env.TOLVEK_WINDOW);

export async function launch() {
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'tolvek-chromium-'));
  const args = ['--disable-gpu', '--disable-background-networking', '--disable-component-update',
    '--disable-sync', '--no-first-run', '--disable-quic'];
  // Chromium's sandbox will not start as root.
  if (process.getuid() === 0)
    args.push('--no-sandbox');
  const browser = await puppeteer.launch({
    executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
    headless: !windowed,
    userDataDir: profile,
    args,
  });
  return {
    browser,
    async close() {
      await browser.close();
      fs.rmSync(profile, {recursive: true, force: true});
    },
  };
}

// Opens the page, from disk unless from url, after prepare(page), and waits
// for the tool's first run, which shows the banner.
export async function openPage(browser, prepare = async () => {}, url = pageUrl) {
  const page = await browser.newPage();
  await prepare(page);
  await page.goto(url);
  await page.waitForFunction(() => document.getElementById('banner').textContent !== '');
  return page;
}

// Drops files on the page as a file manager does, with their paths.
export async function drop(page, ...files) {
  const session = await page.createCDPSession();
  const data = {items: [], files, dragOperationsMask: 1};
  for (const type of ['dragEnter', 'dragOver', 'drop'])
    await session.send('Input.dispatchDragEvent', {type, x: 20, y: 20, data});
}

// Clicks the button and answers each prompt of the browser's that follows
// with keys, as a person would, until the button's work is done; gives how
// many came. A prompt takes the focus from the page and stops its frames;
// keys pressed as it appears are ignored, lest it be answered unawares.
export async function answer(page, button, keys) {
  await page.evaluate(() => {
    window.prompts = 0;
    window.onblur = () => ++window.prompts;
  });
  await button.click();
  for (let answered = 0; ; ++answered) {
    const next = await page.waitForFunction((answered, button) => (window.prompts > answered ? 'prompt'
        : button.isConnected && button.getAttribute('aria-disabled') === 'true' ? '' : 'done'),
                                            {polling: 50}, answered, button);
    if (await next.jsonValue() === 'done')
      return answered;
    await new Promise((resolve) => setTimeout(resolve, 1000));
    execFileSync('xdotool', ['key', '--delay', '100', ...keys]);
  }
}
