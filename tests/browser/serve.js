// Looks at the development server (quorvel --serve) with a real browser: the guestbook's
// entries page, then a template that does not exist, whose error page shows the error's
// number, message and detail.
//
// Usage: node tests/browser/serve.js BASE_URL   (e.g. http://127.0.0.1:PORT)
// Prints one line per step; exits 1 at the first step that does not go as expected.
'use strict';

const { withBrowser } = require('./browser');

const base = process.argv[2];

function expect(what, ok, seen) {
  if (!ok) throw new Error(`${what}: got ${JSON.stringify(seen)}`);
  console.log(`ok ${what}`);
}

withBrowser(async (page) => {
  let response = await page.goto(`${base}/index.htmx`);
  expect('page status', response.status() === 200, response.status());
  const entries = await page.locator('dt').allTextContents();
  expect('entries listed', entries.some((t) => t.startsWith('Linus')), entries);
  const color = await page.$eval('body', (b) => getComputedStyle(b).fontFamily);
  expect('style sheet applied', /sans-serif/.test(color), color);

  response = await page.goto(`${base}/no-such-page.htmx`);
  expect('error status', response.status() === 500, response.status());
  const heading = await page.textContent('h1');
  expect('error heading', heading === 'Error 37: Input file specified in URL not found', heading);
  const detail = await page.textContent('pre');
  expect('error detail', detail.includes('/no-such-page.htmx'), detail);
}).catch((err) => {
  console.error(`FAIL ${err.message}`);
  process.exit(1);
});
