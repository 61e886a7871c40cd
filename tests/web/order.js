// Browser round trip through the demo shop's order form, in headless Chromium.
//
// Usage: node tests/web/order.js GATEWAY_URL DATABASE
//   GATEWAY_URL  e.g. http://127.0.0.1:PORT/cgi-bin/quorvel
//   DATABASE     the shop's SQLite file, read with sqlite3 to see what the form stored
//
// 1. Opens the order page, fills in a UTF-8 name, the address and quantities in two rows,
//    submits, and follows the redirect to the thank-you page, which must show that order
//    alone; the two order lines must be in the database with the name's bytes unchanged.
// 2. At a phone's width (375 px) every page is in standards mode, UTF-8, and no wider than
//    the screen.
// 3. Submits quantities with one invalid row (a word, then a number above the limit): the
//    browser must land on that constraint's error page and the database must be unchanged.
'use strict';

const assert = require('assert');
const { execFileSync } = require('child_process');
const { withBrowser } = require('../browser/browser');

const [base, database] = process.argv.slice(2);
if (!base || !database) {
  console.error('usage: node order.js GATEWAY_URL DATABASE');
  process.exit(2);
}

function query(sql) {
  return execFileSync('sqlite3', [database, sql], { encoding: 'utf8' }).trim();
}

const lineCount = () => Number(query('SELECT COUNT(*) FROM order_lines'));

// The quantity field in the table row of the named product.
const quantityOf = (page, product) =>
  page.locator('tr', { hasText: product }).locator('input[name^="QTY"]');

async function openOrderForm(page, customer) {
  const response = await page.goto(`${base}/order.htmx`);
  assert.strictEqual(response.status(), 200, 'order page status');
  await page.fill('input[name="CUSTOMER"]', customer);
  await page.fill('input[name="EMAIL"]', 'grace@example.org');
}

// Submits the form and returns the response of the page the browser finally shows.
async function submit(page) {
  const [response] = await Promise.all([
    page.waitForNavigation({ waitUntil: 'load' }),
    page.click('input[type="submit"]'),
  ]);
  return response;
}

const customer = 'Zoé 漢字';

async function placeOrder(page) {
  await openOrderForm(page, customer);
  // Two rows, and the second name of each must be its own field: QTY and QTY___n.
  await quantityOf(page, 'Genmaicha').fill('3');
  await quantityOf(page, 'Kyusu teapot').fill('1');
  assert.notStrictEqual(
    await quantityOf(page, 'Genmaicha').getAttribute('name'),
    await quantityOf(page, 'Kyusu teapot').getAttribute('name'),
    'rows have distinct field names');

  const response = await submit(page);
  const post = response.request().redirectedFrom();
  assert.ok(post, 'the submission answered with a redirect');
  assert.strictEqual(post.method(), 'POST');
  const redirect = await post.response();
  assert.strictEqual(redirect.status(), 302, 'status of the submission');
  const [, number] = redirect.headers().location.match(/^thanks\.htmx\?ORDER=([0-9a-f]{12})$/) || [];
  assert.ok(number, `the order number travels to the thank-you page: ${redirect.headers().location}`);
  assert.ok(page.url().endsWith(`/cgi-bin/quorvel/thanks.htmx?ORDER=${number}`));
  assert.strictEqual(response.status(), 200);
  assert.match(await page.textContent('h1'), /Thank you/);
  assert.match(await page.textContent('body'), new RegExp(`Order ${number} for ${customer} `));
  assert.deepStrictEqual(await page.locator('table.list td:first-child').allTextContents(),
    ['Genmaicha', 'Kyusu teapot 250 ml'], 'the thank-you page lists this order only');

  assert.strictEqual(
    query(`SELECT p.name || '=' || o.qty FROM order_lines o JOIN products p ON p.id = o.product_id
           WHERE o.order_no = '${number}' AND o.customer = '${customer}' ORDER BY p.name`),
    'Genmaicha=3\nKyusu teapot 250 ml=1',
    'stored order lines');
  return `thanks.htmx?ORDER=${number}`;
}

async function fitsPhone(page, paths) {
  await page.setViewportSize({ width: 375, height: 740 });
  for (const path of paths) {
    await page.goto(`${base}/${path}`);
    const [mode, charset, width] = await page.evaluate(() =>
      [document.compatMode, document.characterSet, document.documentElement.scrollWidth]);
    assert.deepStrictEqual([mode, charset], ['CSS1Compat', 'UTF-8'], `${path}: standards mode, UTF-8`);
    assert.ok(width <= 375, `${path} is ${width} px wide on a 375 px screen`);
  }
}

async function refuseOrder(page, badQuantity, errorPage, heading) {
  const before = lineCount();
  await openOrderForm(page, 'Refused Customer');
  await quantityOf(page, 'Genmaicha').fill('2');
  await quantityOf(page, 'Hibiscus').fill(badQuantity);
  const response = await submit(page);
  assert.strictEqual(response.status(), 200, `${errorPage} status`);
  assert.strictEqual(new URL(page.url()).pathname, `/errors/${errorPage}`,
    `a quantity of ${badQuantity} leads to its error page`);
  assert.match(await page.textContent('h1'), heading);
  assert.strictEqual(lineCount(), before, `nothing stored for a quantity of ${badQuantity}`);
  assert.strictEqual(query("SELECT COUNT(*) FROM order_lines WHERE customer = 'Refused Customer'"), '0');
}

withBrowser(async (page) => {
  const thanks = await placeOrder(page);
  console.log('ok - order with two rows and a UTF-8 name stored, thank-you page shows it alone');
  await fitsPhone(page, ['index.htmx', 'list.htmx', 'search.htmx', 'product.htmx?ID=15',
    'order.htmx', thanks, '../../errors/empty-order.html']);
  console.log('ok - every page fits a 375 px screen');
  await refuseOrder(page, 'abc', 'not-a-number.html', /not a number/);
  console.log('ok - a quantity that is not a number stores nothing');
  await refuseOrder(page, '100', 'quantity-range.html', /out of range/);
  console.log('ok - a quantity above the limit stores nothing');
}, { timeoutMs: 15000 }).catch((err) => {
  console.error(err);
  process.exit(1);
});
