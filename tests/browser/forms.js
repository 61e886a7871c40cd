// Submits Quorvel forms with a real browser: the order page of ChromiumFormTest, once written
// with METHOD=POST and once with METHOD=GET, and the check-box cart. Chromium fills the
// fields, presses the button, follows the redirect of the post-process request and reads the
// page it leads to. The pages declare UTF-8, so the browser sends a UTF-8 note as its bytes.
//
// Usage: node tests/browser/forms.js BASE_URL   (BASE_URL as printed by scripts/lighttpd-serve)
// Prints one line per step; exits 1 at the first step that does not go as expected.
'use strict';

const { withBrowser } = require('./browser');

const base = process.argv[2];

function expect(what, actual, wanted) {
  if (actual !== wanted) throw new Error(`${what}: got ${JSON.stringify(actual)}, want ${JSON.stringify(wanted)}`);
  console.log(`ok ${what}`);
}

async function submit(page, method, fields) {
  const response = await page.goto(`${base}/order.htmx?METHOD=${method}`);
  expect(`${method} page status`, response.status(), 200);
  for (const [name, value] of Object.entries(fields)) {
    await page.fill(`[name=${name}]`, value);
  }
  await Promise.all([page.waitForNavigation(), page.click('input[type=submit]')]);
  return (await page.textContent('body')).trim();
}

withBrowser(async (page) => {
  // A value the constraint refuses in the second row: the browser lands on its page.
  let text = await submit(page, 'POST', { QTY___2: 'seven' });
  expect('constraint page', new URL(page.url()).pathname.endsWith('/number.htmx'), true);
  expect('constraint text', text, 'Not a number');

  text = await submit(page, 'POST', { QTY: '6', QTY___2: '7', NOTE___3: "O'Brien <&>" });
  expect('POST lands on thanks', new URL(page.url()).pathname.endsWith('/thanks.htmx'), true);
  expect('POST rows', text, "[1:6:green][2:7:blue][3:1:O'Brien <&>]");

  text = await submit(page, 'GET', { QTY: '8', NOTE: 'Zoé 漢字' });
  expect('GET lands on thanks', new URL(page.url()).pathname.endsWith('/thanks.htmx'), true);
  expect('GET rows', text, "[1:8:Zoé 漢字][2:7:blue][3:1:O'Brien <&>]");

  // The check-box cart: only the ticked line goes, nothing when nothing is ticked, and saving
  // the quantities of the other form removes nothing.
  async function cart(check, fill, button) {
    await page.goto(`${base}/cart.htmx`);
    for (const name of check) await page.check(`[name=${name}]`);
    for (const [name, value] of Object.entries(fill)) await page.fill(`[name=${name}]`, value);
    await Promise.all([page.waitForNavigation(), page.click(`input[value=${button}]`)]);
    return (await page.textContent('body')).trim();
  }
  expect('cart: cups ticked', await cart(['REMOVE___2'], {}, 'Remove'), '[1:1][3:1][4:5]');
  expect('cart: nothing ticked', await cart([], {}, 'Remove'), '[1:1][3:1][4:5]');
  expect('cart: quantities saved', await cart([], { QTY: '3' }, 'Save'), '[1:3][3:1][4:5]');
}).catch((err) => {
  console.error(`FAIL ${err.message}`);
  process.exit(1);
});
