// The controller page in a real browser (Debian's Chromium, driven through
// playwright-core) at phone size with touch, against a running server.
import { after, afterEach, before, describe, test } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { mkdtempSync } from 'node:fs';
import { hostname, tmpdir } from 'node:os';
import { join } from 'node:path';
import { chromium } from 'playwright-core';

let server, port, secret, browser;
let output = '';
const contexts = []; // closed after each test, passed or not, so that none outlives it
const localName = `${hostname()}.local`;
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
const shows = (page, selector, text) => page.locator(selector, { hasText: text }).waitFor({ timeout: 10000 });

// Resolves with the first match of `pattern` in what the server printed after `from`.
async function printed(pattern, from = 0) {
  for (const started = Date.now(); Date.now() - started < 10000; await sleep(20)) {
    const match = output.slice(from).match(pattern);
    if (match) return match;
  }
  throw new Error(`no ${pattern} in:\n${output.slice(from)}`);
}

// A test server of its own, with settings of its own; `extra` adds to its environment.
function startServer(extra = {}) {
  const env = { ...process.env, XDG_CONFIG_HOME: mkdtempSync(join(tmpdir(), 'kestrelio-')), ...extra };
  const started = spawn(process.env.KESTRELIO_TEST_SERVER, [], { stdio: ['ignore', 'pipe', 'inherit'], env });
  started.stdout.on('data', (chunk) => { output += chunk; });
  return started;
}

before(async () => {
  server = startServer({ KESTRELIO_TEST_XVFB: '1' }); // types into an Xvfb of its own
  port = Number((await printed(/Server ready on port (\d+)/))[1]);
  secret = (await printed(/Pairing secret: ([-_0-9A-Za-z]{22})/))[1];
  browser = await chromium.launch({
    executablePath: '/usr/bin/chromium',
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync',
      // Loopback pages are secure contexts; this computer's name is not one.
      `--host-resolver-rules=MAP ${localName} 127.0.0.1`],
  });
});

afterEach(() => Promise.all(contexts.splice(0).map(async (context) => (await context).close())));
after(async () => { await browser?.close(); server?.kill(); });

const phone = { viewport: { width: 844, height: 390 }, deviceScaleFactor: 3, isMobile: true, hasTouch: true };

async function openPhone(address = '/', options = phone, status = /^Connected$/, at = port,
  origin = `http://127.0.0.1:${at}`) {
  const context = browser.newContext(options);
  contexts.push(context);
  const page = await (await context).newPage();
  const sockets = [];
  page.on('websocket', (ws) => sockets.push(ws.url()));
  await page.goto(`${origin}${address}`);
  await shows(page, '#status', status);
  const cdp = await (await context).newCDPSession(page);
  const touch = (type, touchPoints) => cdp.send('Input.dispatchTouchEvent', { type, touchPoints });
  const centre = async (selector) => {
    const box = await page.locator(selector).boundingBox();
    return { x: box.x + box.width / 2, y: box.y + box.height / 2 };
  };
  // Finger 1 goes down at `from` and moves in `steps` steps of (dx, dy).
  const drag = async (from, dx, dy, steps) => {
    await touch('touchStart', [{ ...from, id: 1 }]);
    for (let step = 1; step <= steps; ++step) {
      await touch('touchMove', [{ x: from.x + step * dx, y: from.y + step * dy, id: 1 }]);
      await sleep(15);
    }
  };
  return { page, sockets, touch, centre, drag };
}

test('keys: lifting a finger releases its own key, dragging up scrolls down, pings are answered', async () => {
  const mark = output.length;
  const opened = Date.now();
  const { touch, centre, drag } = await openPhone();
  const a = await centre('[data-key=a]');
  const l1 = await centre('[data-key=l1]');
  await touch('touchStart', [{ ...a, id: 1 }]);
  await touch('touchStart', [{ ...a, id: 1 }, { ...l1, id: 2 }]);
  await printed(/key pressed : 0\n[^]*key pressed : 12\n/, mark);
  // The points of a touchEnd are the fingers that lift.
  await touch('touchEnd', [{ ...a, id: 1 }]);
  await printed(/key released : 0\n/, mark);
  assert.doesNotMatch(output.slice(mark), /key released : 12/); // the other finger still holds L1
  await touch('touchEnd', [{ ...l1, id: 2 }]);
  await printed(/key released : 12\n/, mark);

  const pad = await centre('#scrollpad');
  await drag(pad, 0, -8, 10);
  await touch('touchEnd', []);
  const [line, x, y] = await printed(/Simulated scroll with x: (\S+), y: (\S+)\n/, mark);
  assert.ok(Number(x) === 0 && Number(y) < 0, line);

  // Ten pings at 300 ms, twice the 1.5 s the server waits for a pong.
  await sleep(3000 - (Date.now() - opened));
  assert.match(output.slice(mark), /Connection status: Connected\n/);
  assert.doesNotMatch(output.slice(mark), /Connection Failed|Heartbeat stopped|Invalid message format/);
});

// A frame of the first recording pad that holds `event` ("ABS_X 32767").
const onPad1 = (event) => new RegExp(`pad 1:[^\\n]* ${event}\\b`);
const padShows = (events, mark) => Promise.all(events.map((event) => printed(onPad1(event), mark)));

test('pad mode: sticks, a trigger and buttons drive the pad, hiding lets go, rumble vibrates', async () => {
  const { page, touch, centre, drag } = await openPhone();
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
  await shows(page, '#status', /^Connected$/);
  await page.locator('header [data-mode=pad]').tap();
  await shows(page, '#player', /^Player 1$/);

  // The knob is dragged right, past its ring, while R2 and A are held too.
  let mark = output.length;
  const stick = await centre('[data-stick=ls]');
  const r2 = { ...(await centre('[data-pad=r2]')), id: 2 };
  const a = { ...(await centre('[data-pad=a]')), id: 3 };
  await drag(stick, 15, 0, 12);
  const end = { x: stick.x + 180, y: stick.y, id: 1 };
  await touch('touchStart', [end, r2, a]);
  await padShows(['ABS_X 32767', 'ABS_RZ 255', 'BTN_SOUTH 1'], mark);
  await touch('touchEnd', [r2, a]);
  await padShows(['ABS_RZ 0', 'BTN_SOUTH 0'], mark);
  await touch('touchEnd', [end]);
  await padShows(['ABS_X 0'], mark);
  const moves = sent.filter((text) => text.startsWith('ls '));
  assert.equal(moves.at(-1), 'ls 0 0');
  assert.ok(moves.every((text, i) => text !== moves[i - 1]), moves.join(', ')); // only changes

  // Hiding the page lets go of what is held, before the connection ends.
  mark = output.length;
  const b = await centre('[data-pad=b]');
  await touch('touchStart', [{ x: stick.x, y: stick.y - 80, id: 4 }, { ...b, id: 5 }]);
  await padShows(['ABS_Y -32768', 'BTN_EAST 1'], mark);
  // Headless Chromium never hides a page by itself; tell the page it is hidden.
  await page.evaluate(() => {
    Object.defineProperty(document, 'hidden', { value: true, configurable: true });
    Object.defineProperty(document, 'visibilityState', { value: 'hidden', configurable: true });
    document.dispatchEvent(new Event('visibilitychange'));
  });
  await padShows(['BTN_EAST 0', 'ABS_Y 0'], mark);
  assert.doesNotMatch(output.slice(mark), /Client disconnected/); // let go by the page itself
  await touch('touchEnd', []);

  await page.evaluate(() => { window.vibrations = []; navigator.vibrate = (ms) => window.vibrations.push(ms); });
  for (const rumble of ['RUMBLE 9 9 x', 'RUMBLE 65535 0 250', 'RUMBLE 0 0 0']) toPage.send(rumble);
  await page.waitForFunction(() => window.vibrations.length >= 2, null, { timeout: 10000 });
  assert.deepEqual(await page.evaluate(() => window.vibrations), [250, 0]);

  await page.reload(); // the mode stays
  await shows(page, '#player', /^Player \d$/);
});

test('a pad the computer cannot make is explained, and the keys are offered', async () => {
  const { page } = await openPhone();
  // Eight other players take every pad there is.
  await page.evaluate(() => {
    window.players = Array.from({ length: 8 }, () => new WebSocket(`ws://${location.host}/pad`));
  });
  await page.locator('header [data-mode=pad]').tap();
  await shows(page, '#refused', /8/);
  assert.equal(await page.locator('#status').textContent(), 'No game pad');
  for (const stick of ['ls', 'rs']) { // the banner takes room, the rings stay round
    const box = await page.locator(`[data-stick=${stick}]`).boundingBox();
    assert.ok(box.width > 40 && Math.abs(box.width - box.height) < 1, JSON.stringify(box));
  }
  await page.locator('#refused [data-mode=keys]').tap();
  await shows(page, '#status', /^Connected$/);
  assert.equal(await page.evaluate(() => localStorage.getItem('kestrelio-mode')), 'keys');
  assert.ok(await page.locator('#refused').isHidden());
});

test('the link in the code pairs the page, and its token reconnects it', async () => {
  const { page, sockets } = await openPhone(`/#pair=${secret}`, {});
  assert.deepEqual(sockets, [`ws://127.0.0.1:${port}/?pair=${secret}`]);
  assert.equal(await page.evaluate(() => location.hash), ''); // the secret leaves the address bar
  const token = await page.evaluate(() => localStorage.getItem('kestrelio-device'));
  assert.match(token, /^[-_0-9A-Za-z]{22}$/);

  await page.reload();
  await shows(page, '#status', /^Connected$/);
  assert.equal(sockets.at(-1), `ws://127.0.0.1:${port}/?device=${token}`);

  // Scanned again: the page sends both, so the computer replaces its entry.
  await page.goto('about:blank');
  await page.goto(`http://127.0.0.1:${port}/#pair=${secret}`);
  await shows(page, '#status', /^Connected$/);
  assert.equal(sockets.at(-1), `ws://127.0.0.1:${port}/?device=${token}&pair=${secret}`);

  // A token the computer no longer knows is refused, and the page says so.
  await page.evaluate(() => localStorage.setItem('kestrelio-device', 'A'.repeat(22)));
  await page.reload();
  await shows(page, '#status', /^Not connected/);
});

test('a computer that cannot type says so on the phone, in place of the green dot', async () => {
  const reason = 'Kestrelio may not send input yet; its window or terminal says how to allow it';
  const mark = output.length;
  const silent = startServer({ KESTRELIO_TEST_INPUT_OFF: reason });
  try {
    const [, at] = await printed(/Server ready on port (\d+)/, mark);
    const { page } = await openPhone('/', phone, /^Connected, but/, Number(at));
    assert.equal(await page.locator('#status').textContent(),
      `Connected, but this computer cannot type: ${reason}`);
    assert.equal(await page.evaluate(() => document.body.dataset.state), 'cannot-type');
    if (process.env.KESTRELIO_SCREENSHOTS) {
      await page.screenshot({ path: join(process.env.KESTRELIO_SCREENSHOTS, 'phone-input-off.png') });
    }
  } finally {
    silent.kill();
  }
});

// Where the Xvfb pointer is, as the server last printed it, once it has stopped moving.
async function pointerRests() {
  const last = () => [...output.matchAll(/X: pointer (\d+) (\d+)\n/g)].at(-1)?.slice(1).map(Number);
  let seen = last();
  for (const started = Date.now(); Date.now() - started < 10000; ) {
    await sleep(200);
    if (String(last()) === String(seen)) return seen;
    seen = last();
  }
  throw new Error('the pointer never came to rest');
}

// Where KESTRELIO_SCREENSHOTS names a folder, pictures for the README go there.
async function screenshot(page, name) {
  if (process.env.KESTRELIO_SCREENSHOTS) {
    await page.screenshot({ path: join(process.env.KESTRELIO_SCREENSHOTS, name), scale: 'css' });
  }
}

async function chooseLayout(page, name) {
  await page.locator('#layouts').tap();
  await page.locator(`#layout-menu [data-layout="${name}"]`).tap();
  await page.locator('#layout .control').first().waitFor({ timeout: 10000 });
}

test('a layout made in the editor reaches another phone unreloaded, and its stick and button type', async () => {
  const player = await openPhone(); // open before the layout exists
  const { page, centre, drag, touch } = await openPhone();
  await page.locator('#edit').tap();
  await page.locator('#add-control').selectOption('stick'); // on WASD unless changed
  await page.locator('#control-panel .done').tap();
  await page.locator('#add-control').selectOption('button'); // Space unless changed
  await page.locator('#control-panel .done').tap();
  // Both sit in the middle, the button on the stick: the button is dragged
  // right, the stick made larger by its corner, and the button tapped to name it.
  await drag(await centre('#editor .edit-control:last-child'), 25, 0, 10);
  await touch('touchEnd', []);
  const corner = await centre('#editor .edit-control:nth-last-child(2) .handle');
  await drag(corner, 4, 4, 10);
  await touch('touchEnd', []);
  await page.locator('#editor .edit-control:last-child').tap();
  await page.locator('#control-panel input').fill('Jump');
  await screenshot(page, 'phone-editor.png');
  await page.locator('#control-panel .done').tap();

  await page.locator('#save').tap(); // over the built-in it started from: refused
  await shows(page, '#save-panel .message', /built in/);
  await page.locator('#save-panel input').fill('Doom: Ünïty');
  await shows(page, '#save-panel .name', '“doom-unity”');
  await page.locator('#save-panel [type=submit]').tap();
  await shows(page, '#layout [data-key=space]', /^Jump$/);
  const saved = await page.evaluate(() => fetch('/layouts/doom-unity').then((response) => response.json()));
  const [stick, jump] = saved.controls.slice(-2);
  assert.deepEqual([stick.type, stick.bind, jump.type, jump.bind, saved.title], ['stick', 'wasd', 'button', 'space', 'Doom: Ünïty']);
  assert.ok(jump.x > 0.7 && stick.w > 0.3 && stick.h > 0.55, JSON.stringify(saved.controls.slice(-2)));

  await chooseLayout(player.page, 'doom-unity');
  await player.page.reload(); // the phone remembers its choice
  await shows(player.page, '#layout [data-key=space]', /^Jump$/);
  const mark = output.length;
  const knob = await player.centre('#layout .stick');
  await player.drag(knob, 0, -10, 8);
  await printed(/X: press w\n/, mark);
  const space = { ...(await player.centre('#layout [data-key=space]')), id: 2 };
  await player.touch('touchStart', [{ x: knob.x, y: knob.y - 80, id: 1 }, space]);
  await player.touch('touchEnd', [space]);
  await printed(/X: press space\n[^]*X: release space\n/, mark);
  // A switch of layout lets go of the key the stick holds, finger still down.
  await player.page.locator('header [data-mode=keys]').tap();
  await printed(/X: release w\n/, mark);
  await player.touch('touchEnd', []);
  assert.doesNotMatch(output.slice(mark), /X: press [asd]\n/);
});

test('on the touchpad a drag moves the pointer, a tap clicks and a two-finger tap right-clicks', async () => {
  const { page, touch, centre, drag } = await openPhone();
  await chooseLayout(page, 'wasd-mouse');
  await screenshot(page, 'phone-wasd-mouse.png');
  const [x, y] = await pointerRests();
  const mark = output.length;
  const pad = await centre('#layout [data-type=touchpad] .drag-area');
  await drag(pad, 8, 4, 10);
  await touch('touchEnd', []);
  // 80 by 40 phone pixels, two and a half pointer pixels each.
  assert.deepEqual(await pointerRests(), [x + 200, y + 100]);
  await touch('touchStart', [{ ...pad, id: 2 }]);
  await touch('touchEnd', [{ ...pad, id: 2 }]);
  await printed(/X: press button 1\n[^]*X: release button 1\n/, mark);
  const beside = { x: pad.x + 40, y: pad.y, id: 4 };
  await touch('touchStart', [{ ...pad, id: 3 }, beside]);
  await touch('touchEnd', [{ ...pad, id: 3 }, beside]);
  await printed(/X: press button 3\n[^]*X: release button 3\n/, mark);
});

describe('motion', () => {
  const secure = { ...phone, ignoreHTTPSErrors: true };
  const openMotionScreen = async (page) => {
    await page.locator('#layouts').tap();
    await page.locator('#motion').tap();
  };

  test('the http page opens the https one paired; tilt steers, Calibrate centres, the screen stays on', async () => {
    const { page, sockets } = await openPhone('/', secure, /^Connected$/, port, `http://${localName}:${port}`);
    // The page keeps every lock it is given, to be looked at here.
    await page.addInitScript(() => {
      const request = navigator.wakeLock?.request.bind(navigator.wakeLock);
      window.locks = [];
      if (!request) return;
      navigator.wakeLock.request = async (type) => {
        const lock = await request(type);
        window.locks.push(lock);
        return lock;
      };
    });
    // From pad mode, whose connection carries pad messages only.
    await page.locator('header [data-mode=pad]').tap();
    await shows(page, '#player', /^Player \d$/);
    await openMotionScreen(page);
    await shows(page, '#motion-panel', /“Advanced”, then “Proceed”/);
    assert.ok(await page.locator('[data-setting=tilt]').isHidden());
    await page.locator('#motion-panel .open-secure').tap();
    await page.waitForURL(`https://${localName}:${port}/`);
    await shows(page, '#status', /^Connected$/);
    assert.match(sockets.at(-1), new RegExp(`^wss://${localName}:${port}/\\?pair=[-_0-9A-Za-z]+$`));
    assert.match(await page.evaluate(() => localStorage.getItem('kestrelio-device')), /^[-_0-9A-Za-z]{22}$/);
    assert.equal(await page.evaluate(() => isSecureContext), true);
    const cdp = await page.context().newCDPSession(page);
    const lean = (beta) => cdp.send('DeviceOrientation.setDeviceOrientationOverride', { alpha: 0, beta, gamma: 0 });

    await page.locator('header [data-mode=pad]').tap();
    await shows(page, '#player', /^Player \d$/);
    const player = (await page.locator('#player').textContent()).split(' ')[1];
    const padShows = (events, mark) =>
      Promise.all(events.map((event) => printed(new RegExp(`pad ${player}:[^\\n]* ${event}\\b`), mark)));
    await openMotionScreen(page);
    await page.locator('[data-setting=tilt]').tap();
    let mark = output.length;
    await lean(30);
    await padShows(['ABS_X 32767'], mark);
    await lean(-10);
    const [line] = await printed(new RegExp(`pad ${player}:[^\\n]* ABS_X -\\d+\\b`), mark);
    mark = output.length;
    await page.locator('#motion-panel .calibrate').tap();
    await padShows(['ABS_X 0'], mark);
    assert.match(line, /ABS_X -9\d\d\d\b/); // 8 of the 28 degrees beyond the dead zone

    const held = () => page.evaluate(() => window.locks.filter((lock) => !lock.released).length);
    assert.equal(await held(), 1);

    // Hidden, the page lets go of the lock and stops reading; shown again, it takes both up.
    const show = (hidden) => page.evaluate((hidden) => {
      Object.defineProperty(document, 'hidden', { value: hidden, configurable: true });
      Object.defineProperty(document, 'visibilityState', { value: hidden ? 'hidden' : 'visible', configurable: true });
      document.dispatchEvent(new Event('visibilitychange'));
    }, hidden);
    await lean(20);
    await padShows(['ABS_X 32767'], mark); // full lock is 30 degrees from the new centre
    mark = output.length;
    await show(true);
    await padShows(['ABS_X 0'], mark);
    await page.waitForFunction(() => window.locks.every((lock) => lock.released), null, { timeout: 10000 });
    mark = output.length;
    await lean(-40);
    await sleep(300);
    assert.doesNotMatch(output.slice(mark), /ABS_X/);
    await show(false);
    await padShows(['ABS_X -32768'], mark);
    await page.waitForFunction(() => !window.locks.at(-1).released, null, { timeout: 10000 });
    assert.equal(await held(), 1);
  });

  test('a motion control on the mouse aims the Xvfb pointer with the gyro', async () => {
    const gyro = { version: 1, title: 'Gyro', mode: 'keys',
      controls: [{ type: 'motion', x: 0.3, y: 0.2, w: 0.4, h: 0.6, label: 'Aim', bind: 'mouse' }] };
    const stored = await fetch(`http://127.0.0.1:${port}/layouts/gyro`,
      { method: 'PUT', headers: { 'Content-Type': 'application/json' }, body: JSON.stringify(gyro) });
    assert.equal(stored.status, 204);
    const { page } = await openPhone('/', secure, /^Connected$/, port, `https://127.0.0.1:${port}`);
    const cdp = await page.context().newCDPSession(page);
    await cdp.send('Emulation.setSensorOverrideEnabled', { enabled: true, type: 'gyroscope' });
    const turn = (x) =>
      cdp.send('Emulation.setSensorOverrideReadings', { type: 'gyroscope', reading: { xyz: { x, y: 0, z: 0 } } });
    await turn(0);
    await chooseLayout(page, 'gyro');
    const [x, y] = await pointerRests();
    // Held sideways, the phone turns right about the world's vertical: its own x axis.
    await turn(-1);
    await sleep(300);
    await turn(0);
    const [movedX, movedY] = await pointerRests();
    assert.ok(movedX - x > 100 && movedY === y, `from ${x} ${y} to ${movedX} ${movedY}`);
    if (process.env.KESTRELIO_SCREENSHOTS) {
      await openMotionScreen(page);
      await page.screenshot({ path: join(process.env.KESTRELIO_SCREENSHOTS, 'phone-motion.png') });
    }
  });
});
