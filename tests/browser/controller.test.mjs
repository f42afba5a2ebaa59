// The controller page in a real browser (Debian's Chromium, driven through
// playwright-core) at phone size with touch, against a running server.
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { mkdtempSync } from 'node:fs';
import http from 'node:http';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { chromium } from 'playwright-core';

let server;
let output = '';
let port;
let secret;
let browser;

// Resolves with the first match of `pattern` in what the server printed
// after `from`; fails after `timeoutMs`.
function printed(pattern, from = 0, timeoutMs = 10000) {
  return new Promise((resolve, reject) => {
    const started = Date.now();
    const poll = () => {
      const match = output.slice(from).match(pattern);
      if (match) resolve(match);
      else if (Date.now() - started > timeoutMs) reject(new Error(`no ${pattern} in:\n${output.slice(from)}`));
      else setTimeout(poll, 20);
    };
    poll();
  });
}

before(async () => {
  // Paired devices go to settings of this run's own.
  const env = { ...process.env, XDG_CONFIG_HOME: mkdtempSync(join(tmpdir(), 'kestrelio-')) };
  server = spawn(process.env.KESTRELIO_TEST_SERVER, [], { stdio: ['ignore', 'pipe', 'inherit'], env });
  server.stdout.on('data', (chunk) => { output += chunk; });
  port = Number((await printed(/Server ready on port (\d+)/))[1]);
  secret = (await printed(/Pairing secret: ([-_0-9A-Za-z]{22})/))[1];
  browser = await chromium.launch({
    executablePath: '/usr/bin/chromium',
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  });
});

after(async () => {
  await browser?.close();
  server?.kill();
});

async function openPhone() {
  const context = await browser.newContext({
    viewport: { width: 844, height: 390 }, deviceScaleFactor: 3, isMobile: true, hasTouch: true,
  });
  const page = await context.newPage();
  await page.goto(`http://127.0.0.1:${port}/`);
  await page.locator('#status', { hasText: /^Connected$/ }).waitFor({ timeout: 10000 });
  const cdp = await context.newCDPSession(page);
  const touch = (type, touchPoints) => cdp.send('Input.dispatchTouchEvent', { type, touchPoints });
  const centre = async (selector) => {
    const box = await page.locator(selector).boundingBox();
    return { x: box.x + box.width / 2, y: box.y + box.height / 2 };
  };
  return { context, page, touch, centre };
}

test('a finger on up presses it, lifting it releases it', async () => {
  const { context, page, touch, centre } = await openPhone();
  await page.screenshot({ path: 'controller-page.png' });
  const mark = output.length;
  const up = await centre('[data-key=up]');
  await touch('touchStart', [{ x: up.x, y: up.y, id: 1 }]);
  await printed(/key pressed : 126\n/, mark);
  await touch('touchEnd', []);
  await printed(/key pressed : 126\nkey released : 126\n/, mark);
  await context.close();
});

test('two fingers on two buttons press both', async () => {
  const { context, touch, centre } = await openPhone();
  const mark = output.length;
  const a = await centre('[data-key=a]');
  const l1 = await centre('[data-key=l1]');
  await touch('touchStart', [{ x: a.x, y: a.y, id: 1 }]);
  await touch('touchStart', [{ x: a.x, y: a.y, id: 1 }, { x: l1.x, y: l1.y, id: 2 }]);
  await printed(/key pressed : 0\n[^]*key pressed : 12\n/, mark);
  // The points of a touchEnd are the fingers that lift.
  await touch('touchEnd', [{ x: a.x, y: a.y, id: 1 }]);
  await printed(/key released : 0\n/, mark);
  assert.doesNotMatch(output.slice(mark), /key released : 12/); // the other finger still holds L1
  await touch('touchEnd', [{ x: l1.x, y: l1.y, id: 2 }]);
  await printed(/key released : 12\n/, mark);
  await context.close();
});

test('hiding the page releases what is held', async () => {
  const { context, page, touch, centre } = await openPhone();
  const mark = output.length;
  const right = await centre('[data-key=right]');
  await touch('touchStart', [{ x: right.x, y: right.y, id: 1 }]);
  await printed(/key pressed : 124\n/, mark);
  // Headless Chromium never hides a page by itself; tell the page it is hidden.
  await page.evaluate(() => {
    Object.defineProperty(document, 'hidden', { value: true, configurable: true });
    Object.defineProperty(document, 'visibilityState', { value: 'hidden', configurable: true });
    document.dispatchEvent(new Event('visibilitychange'));
  });
  await printed(/key released : 124\n/, mark);
  assert.doesNotMatch(output.slice(mark), /Error receiving message/); // released by the page itself
  await touch('touchEnd', []);
  await context.close();
});

test('the page answers the heartbeat and stays connected', async () => {
  const mark = output.length;
  const { context } = await openPhone();
  // Ten pings at 300 ms, twice the 1.5 s the server waits for a pong.
  await new Promise((resolve) => setTimeout(resolve, 3000));
  const seen = output.slice(mark);
  assert.match(seen, /Connection status: Connected\n/);
  assert.doesNotMatch(seen, /Connection Failed|Heartbeat stopped/);
  await context.close();
});

test('dragging up on the pad scrolls the view down', async () => {
  const { context, touch, centre } = await openPhone();
  const mark = output.length;
  const pad = await centre('#scrollpad');
  await touch('touchStart', [{ x: pad.x, y: pad.y, id: 1 }]);
  for (let step = 1; step <= 10; ++step) {
    await touch('touchMove', [{ x: pad.x, y: pad.y - step * 8, id: 1 }]);
    await new Promise((resolve) => setTimeout(resolve, 20));
  }
  await touch('touchEnd', []);
  const [line, x, y] = await printed(/Simulated scroll with x: (\S+), y: (\S+)\n/, mark);
  assert.equal(Number(x), 0, line);
  assert.ok(Number(y) < 0, line);
  assert.doesNotMatch(output.slice(mark), /Invalid message format/);
  await context.close();
});

test('the link in the code pairs the page, and its token reconnects it', async () => {
  const context = await browser.newContext();
  const page = await context.newPage();
  const sockets = [];
  page.on('websocket', (ws) => sockets.push(ws.url()));
  await page.goto(`http://127.0.0.1:${port}/#pair=${secret}`);
  await page.locator('#status', { hasText: /^Connected$/ }).waitFor({ timeout: 10000 });
  assert.deepEqual(sockets, [`ws://127.0.0.1:${port}/?pair=${secret}`]);
  assert.equal(await page.evaluate(() => location.hash), ''); // the secret leaves the address bar
  const token = await page.evaluate(() => localStorage.getItem('kestrelio-device'));
  assert.match(token, /^[-_0-9A-Za-z]{22}$/);

  await page.reload();
  await page.locator('#status', { hasText: /^Connected$/ }).waitFor({ timeout: 10000 });
  assert.equal(sockets.at(-1), `ws://127.0.0.1:${port}/?device=${token}`);

  // A token the computer no longer knows is refused, and the page says so.
  const mark = output.length;
  await page.evaluate(() => localStorage.setItem('kestrelio-device', 'A'.repeat(22)));
  await page.reload();
  await printed(/Rejected connection from 127\.0\.0\.1: unknown device token\n/, mark);
  await page.locator('#status', { hasText: /^Not connected/ }).waitFor({ timeout: 10000 });
  await context.close();
});

test('a page from another port of this computer cannot open the WebSocket', async () => {
  const foreign = http.createServer((request, response) => {
    response.setHeader('Content-Type', 'text/html');
    response.end(`<script>
      const ws = new WebSocket('ws://127.0.0.1:${port}/');
      ws.onopen = () => { document.title = 'open'; };
      ws.onerror = () => { document.title = 'refused'; };
    </script>`);
  });
  await new Promise((resolve) => foreign.listen(0, '127.0.0.1', resolve));
  const context = await browser.newContext();
  const page = await context.newPage();
  const mark = output.length;
  await page.goto(`http://127.0.0.1:${foreign.address().port}/`);
  await page.waitForFunction(() => document.title !== '', null, { timeout: 10000 });
  assert.equal(await page.title(), 'refused');
  await printed(/Rejected connection from 127\.0\.0\.1: Origin http:\/\/127\.0\.0\.1:\d+ does not match Host 127\.0\.0\.1:\d+\n/, mark);
  await context.close();
  foreign.close();
});
