// Headless Chromium for Quorvel's browser round-trip tests.
//
// launchBrowser() starts Debian's Chromium (/usr/bin/chromium, or QUORVEL_CHROMIUM) through
// playwright-core with a fresh profile directory, and returns { context, page, close }.
// close() ends the browser and deletes the profile, so every run starts from nothing: no
// cookies, no cache, no first-run dialogs. The browser never downloads components or talks
// to anything but the pages it is sent to. withBrowser(fn) wraps launch and close around fn.
'use strict';

const fs = require('fs');
const os = require('os');
const path = require('path');
const { chromium } = require('playwright-core');

const CHROMIUM_PATH = process.env.QUORVEL_CHROMIUM || '/usr/bin/chromium';

const CHROMIUM_ARGS = [
  '--headless',
  '--no-sandbox', // tests run as root, where Chromium's sandbox cannot start
  '--disable-gpu',
  '--disable-quic',
  '--no-first-run',
  '--disable-background-networking',
  '--disable-component-update',
  '--disable-sync',
];

async function launchBrowser({ timeoutMs = 30000 } = {}) {
  const userDataDir = fs.mkdtempSync(path.join(os.tmpdir(), 'quorvel-chromium-'));
  const removeProfile = () => fs.rmSync(userDataDir, { recursive: true, force: true });
  let context;
  try {
    // A persistent context is how playwright takes an explicit --user-data-dir.
    context = await chromium.launchPersistentContext(userDataDir, {
      executablePath: CHROMIUM_PATH,
      headless: true,
      args: CHROMIUM_ARGS,
      timeout: timeoutMs,
    });
  } catch (err) {
    removeProfile();
    throw err;
  }
  context.setDefaultTimeout(timeoutMs);
  const page = context.pages()[0] || (await context.newPage());
  return {
    context,
    page,
    async close() {
      try {
        await context.close();
      } finally {
        removeProfile();
      }
    },
  };
}

async function withBrowser(fn, options) {
  const browser = await launchBrowser(options);
  try {
    return await fn(browser.page, browser.context);
  } finally {
    await browser.close();
  }
}

module.exports = { launchBrowser, withBrowser, CHROMIUM_PATH, CHROMIUM_ARGS };
