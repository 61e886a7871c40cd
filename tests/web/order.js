// Browser round trip through the demo shop's order form, in headless Chromium.
//
// Usage: node tests/web/order.js GATEWAY_URL DATABASE
//   GATEWAY_URL  e.g. http://127.0.0.1:PORT/cgi-bin/quorvel
//   DATABASE     the shop's SQLite file, read with sqlite3 to see what the form stored
//
// 1. Opens the order page, fills in name, address and quantities in two rows, submits, and
//    follows the redirect to the thank-you page; the two order lines must be in the database.
// 2. Submits quantities with one invalid row (a word, then a number above the limit): the
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

async function placeOrder(page) {
  await openOrderForm(page, 'Grace Hopper');
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
  assert.strictEqual(redirect.headers().location, 'thanks.htmx');
  assert.match(page.url(), /\/cgi-bin\/quorvel\/thanks\.htmx$/);
  assert.strictEqual(response.status(), 200);
  assert.match(await page.textContent('h1'), /Thank you/);
  assert.strictEqual(await page.locator('tr', { hasText: 'Grace Hopper' }).count(), 2,
    'the thank-you page lists both lines');

  assert.strictEqual(
    query(`SELECT p.name || '=' || o.qty FROM order_lines o JOIN products p ON p.id = o.product_id
           WHERE o.customer = 'Grace Hopper' ORDER BY p.name`),
    'Genmaicha=3\nKyusu teapot 250 ml=1',
    'stored order lines');
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
  await placeOrder(page);
  console.log('ok - order with two rows stored and thank-you page shown');
  await refuseOrder(page, 'abc', 'not-a-number.html', /not a number/);
  console.log('ok - a quantity that is not a number stores nothing');
  await refuseOrder(page, '100', 'quantity-range.html', /out of range/);
  console.log('ok - a quantity above the limit stores nothing');
}, { timeoutMs: 15000 }).catch((err) => {
  console.error(err);
  process.exit(1);
});
