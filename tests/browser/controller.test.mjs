// The controller page in a real browser (Debian's Chromium, driven through
// playwright-core) at phone size with touch, against a running server.
import { after, afterEach, before, test } from 'node:test';
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
const contexts = []; // closed after each test, passed or not, so that none outlives it

function newContext(options) {
  const context = browser.newContext(options);
  contexts.push(context);
  return context;
}

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

afterEach(async () => {
  await Promise.all(contexts.splice(0).map(async (context) => (await context).close()));
});

after(async () => {
  await browser?.close();
  server?.kill();
});

async function openPhone() {
  const context = await newContext({
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
  return { page, touch, centre };
}

test('fingers on buttons press them, lifting a finger releases its own', async () => {
  const { page, touch, centre } = await openPhone();
  await page.screenshot({ path: 'controller-page.png' });
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
});

// A frame of the first recording pad that holds `event` ("ABS_X 32767").
const onPad1 = (event) => new RegExp(`pad 1:[^\\n]* ${event}\\b`);

test('pad mode: the sticks, a trigger and a button drive the pad, and the mode stays', async () => {
  const { page, touch, centre } = await openPhone();
  // The pad's connection passes through here: what the page sends is seen
  // before the server gets it, and a game's rumble can be played to the page.
  const sent = [];
  let toPage;
  await page.routeWebSocket(/\/pad/, (ws) => {
    const server = ws.connectToServer();
    ws.onMessage((text) => { sent.push(text); server.send(text); });
    toPage = ws;
  });
  await page.reload(); // routes reach the page as it loads
  await page.locator('#status', { hasText: /^Connected$/ }).waitFor({ timeout: 10000 });
  await page.locator('header [data-mode=pad]').tap();
  await page.locator('#player', { hasText: /^Player 1$/ }).waitFor({ timeout: 10000 });

  // The knob is dragged right, past its ring, while R2 and A are held too.
  let mark = output.length;
  const stick = await centre('[data-stick=ls]');
  const r2 = await centre('[data-pad=r2]');
  const a = await centre('[data-pad=a]');
  await touch('touchStart', [{ x: stick.x, y: stick.y, id: 1 }]);
  for (let step = 1; step <= 12; ++step) {
    await touch('touchMove', [{ x: stick.x + step * 15, y: stick.y, id: 1 }]);
    await new Promise((resolve) => setTimeout(resolve, 10));
  }
  const end = { x: stick.x + 180, y: stick.y, id: 1 };
  await touch('touchStart', [end, { x: r2.x, y: r2.y, id: 2 }, { x: a.x, y: a.y, id: 3 }]);
  for (const held of ['ABS_X 32767', 'ABS_RZ 255', 'BTN_SOUTH 1']) await printed(onPad1(held), mark);
  await touch('touchEnd', [{ x: r2.x, y: r2.y, id: 2 }, { x: a.x, y: a.y, id: 3 }]);
  for (const lifted of ['ABS_RZ 0', 'BTN_SOUTH 0']) await printed(onPad1(lifted), mark);
  await touch('touchEnd', [end]);
  await printed(onPad1('ABS_X 0'), mark);
  const moves = sent.filter((text) => text.startsWith('ls '));
  assert.equal(moves.at(-1), 'ls 0 0');
  assert.ok(moves.every((text, i) => text !== moves[i - 1]), moves.join(', ')); // only changes

  // Hiding the page lets go of what is held, before the connection ends.
  mark = output.length;
  const b = await centre('[data-pad=b]');
  await touch('touchStart', [{ x: stick.x, y: stick.y - 80, id: 4 }, { x: b.x, y: b.y, id: 5 }]);
  for (const held of ['ABS_Y -32768', 'BTN_EAST 1']) await printed(onPad1(held), mark);
  // Headless Chromium never hides a page by itself; tell the page it is hidden.
  await page.evaluate(() => {
    Object.defineProperty(document, 'hidden', { value: true, configurable: true });
    Object.defineProperty(document, 'visibilityState', { value: 'hidden', configurable: true });
    document.dispatchEvent(new Event('visibilitychange'));
  });
  for (const lifted of ['BTN_EAST 0', 'ABS_Y 0']) await printed(onPad1(lifted), mark);
  assert.doesNotMatch(output.slice(mark), /Client disconnected/); // let go by the page itself
  await touch('touchEnd', []);

  await page.evaluate(() => { window.vibrations = []; navigator.vibrate = (ms) => window.vibrations.push(ms); });
  for (const rumble of ['RUMBLE 9 9 x', 'RUMBLE 65535 0 250', 'RUMBLE 0 0 0']) toPage.send(rumble);
  await page.waitForFunction(() => window.vibrations.length >= 2, null, { timeout: 10000 });
  assert.deepEqual(await page.evaluate(() => window.vibrations), [250, 0]);

  await page.reload();
  await page.locator('#player', { hasText: /^Player \d$/ }).waitFor({ timeout: 10000 });
});

test('a pad the computer cannot make is explained, and the keys are offered', async () => {
  const page = (await openPhone()).page;
  // Eight other players take every pad there is.
  await page.evaluate(() => {
    window.players = Array.from({ length: 8 }, () => new WebSocket(`ws://${location.host}/pad`));
  });
  await page.locator('header [data-mode=pad]').tap();
  await page.locator('#refused', { hasText: /8/ }).waitFor({ timeout: 10000 });
  assert.match(await page.locator('#status').textContent(), /^No game pad$/);
  await page.locator('#refused [data-mode=keys]').tap();
  await page.locator('#status', { hasText: /^Connected$/ }).waitFor({ timeout: 10000 });
  assert.equal(await page.evaluate(() => localStorage.getItem('kestrelio-mode')), 'keys');
  assert.ok(await page.locator('#refused').isHidden());
});

test('the page answers the heartbeat and stays connected', async () => {
  const mark = output.length;
  await openPhone();
  // Ten pings at 300 ms, twice the 1.5 s the server waits for a pong.
  await new Promise((resolve) => setTimeout(resolve, 3000));
  const seen = output.slice(mark);
  assert.match(seen, /Connection status: Connected\n/);
  assert.doesNotMatch(seen, /Connection Failed|Heartbeat stopped/);
});

test('dragging up on the pad scrolls the view down', async () => {
  const { touch, centre } = await openPhone();
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
});

test('the link in the code pairs the page, and its token reconnects it', async () => {
  const page = await (await newContext()).newPage();
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
  const page = await (await newContext()).newPage();
  const mark = output.length;
  await page.goto(`http://127.0.0.1:${foreign.address().port}/`);
  await page.waitForFunction(() => document.title !== '', null, { timeout: 10000 });
  assert.equal(await page.title(), 'refused');
  await printed(/Rejected connection from 127\.0\.0\.1: Origin http:\/\/127\.0\.0\.1:\d+ does not match Host 127\.0\.0\.1:\d+\n/, mark);
  foreign.close();
});
