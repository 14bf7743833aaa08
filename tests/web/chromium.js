// Debian's Chromium, headless, for the page's tests and screenshots: a
// profile of its own each time, and nothing of the browser's own that would
// reach the network. puppeteer-core drives it; it brings no browser.
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import {fileURLToPath, pathToFileURL} from 'node:url';
import puppeteer from 'puppeteer-core';

export const root = fileURLToPath(new URL('../../', import.meta.url));
export const pagePath = path.resolve(process.env.TOLVEK_PAGE || path.join(root, 'build-web/tolvek.html'));
export const pageUrl = pathToFileURL(pagePath).href;

export async function launch() {
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'tolvek-chromium-'));
  const args = ['--disable-gpu', '--disable-background-networking', '--disable-component-update',
    '--disable-sync', '--no-first-run', '--disable-quic'];
  // Chromium's sandbox will not start as root.
  if (process.getuid() === 0)
    args.push('--no-sandbox');
  const browser = await puppeteer.launch({
    executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
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
