// The phone side of Kestrelio: buttons send key names, the pad sends scrolls,
// and the page answers the server's heartbeat. Every button that is down is
// let go whenever the page may stop hearing about the finger.
'use strict';

const statusText = document.getElementById('status');
const pressed = new Map(); // key name -> the pointers holding it
let socket = null;
let retryDelay = 500;
let retryTimer = 0;

// Pairing: the window's code opens this page with #pair=SECRET. The secret
// buys a device token, kept here and shown on every later connection, so
// reconnecting needs nothing. The secret leaves the address bar at once.
const TOKEN_KEY = 'kestrelio-device';
let pairingSecret = new URLSearchParams(location.hash.slice(1)).get('pair');
if (location.hash) history.replaceState(null, '', location.pathname + location.search);

function storedToken() {
  try {
    return localStorage.getItem(TOKEN_KEY);
  } catch {
    return null; // storage may be off; the secret still pairs this visit
  }
}

function storeToken(token) {
  try {
    if (token) localStorage.setItem(TOKEN_KEY, token);
    else localStorage.removeItem(TOKEN_KEY);
  } catch {
    // As above.
  }
}

function socketUrl(token) {
  if (token) return `ws://${location.host}/?device=${encodeURIComponent(token)}`;
  if (pairingSecret) return `ws://${location.host}/?pair=${encodeURIComponent(pairingSecret)}`;
  return `ws://${location.host}/`;
}

function showState(text, state) {
  statusText.textContent = text;
  document.body.dataset.state = state;
}

function send(text) {
  if (socket && socket.readyState === WebSocket.OPEN) socket.send(text);
}

function connect() {
  clearTimeout(retryTimer);
  showState('Connecting…', 'connecting');
  const token = storedToken();
  const ws = new WebSocket(socketUrl(token));
  socket = ws;
  let opened = false;
  ws.onopen = () => {
    opened = true;
    ws.send('hsk');
    // A device the computer does not know yet waits there for Allow.
    setTimeout(() => {
      if (socket === ws && document.body.dataset.state === 'connecting') {
        showState('Waiting for Allow on the computer…', 'connecting');
      }
    }, 1500);
  };
  ws.onmessage = (event) => {
    if (typeof event.data === 'string' && event.data.startsWith('DEVICE ')) {
      storeToken(event.data.slice('DEVICE '.length));
      pairingSecret = null;
    } else if (event.data === 'HSK_DONE') {
      // The server's liveness check reads the newest pong of any connection;
      // after a long pause an old one would fail this link at its first check.
      ws.send('pong');
      retryDelay = 500;
      showState('Connected', 'connected');
      keepScreenAwake();
    } else if (event.data === 'PING') {
      ws.send('pong');
    }
  };
  ws.onclose = () => {
    if (socket !== ws) return;
    socket = null;
    // A forgotten token is refused; a fresh scan's secret pairs anew.
    if (!opened && token && pairingSecret) storeToken(null);
    forgetPressed(); // the server lets go of them itself
    const seconds = Math.ceil(retryDelay / 1000);
    showState(`Not connected. Trying again in ${seconds} s…`, 'disconnected');
    retryTimer = setTimeout(connect, retryDelay);
    retryDelay = Math.min(retryDelay * 2, 8000);
  };
}

// Buttons: a press on the first finger down, a release when the last lifts.

function buttonFor(key) {
  return document.querySelector(`[data-key="${key}"]`);
}

function press(key, pointer) {
  let pointers = pressed.get(key);
  if (!pointers) {
    pointers = new Set();
    pressed.set(key, pointers);
    send(key);
    buttonFor(key).classList.add('down-now');
    if (navigator.vibrate) navigator.vibrate(12);
  }
  pointers.add(pointer);
}

function release(key, pointer) {
  const pointers = pressed.get(key);
  if (!pointers || !pointers.delete(pointer) || pointers.size > 0) return;
  pressed.delete(key);
  send(`-${key}`);
  buttonFor(key).classList.remove('down-now');
}

function forgetPressed() {
  for (const key of pressed.keys()) buttonFor(key).classList.remove('down-now');
  pressed.clear();
}

function releaseAll() {
  for (const key of pressed.keys()) send(`-${key}`);
  forgetPressed();
}

for (const button of document.querySelectorAll('[data-key]')) {
  const key = button.dataset.key;
  button.addEventListener('pointerdown', (event) => {
    event.preventDefault();
    // A touch is captured by the button it starts on; without the capture a
    // finger sliding off is noticed and lets go.
    if (button.hasPointerCapture(event.pointerId)) button.releasePointerCapture(event.pointerId);
    press(key, event.pointerId);
  });
  for (const type of ['pointerup', 'pointercancel', 'pointerleave']) {
    button.addEventListener(type, (event) => release(key, event.pointerId));
  }
  button.addEventListener('contextmenu', (event) => event.preventDefault());
}

document.addEventListener('visibilitychange', () => {
  if (document.hidden) releaseAll();
  else keepScreenAwake();
});
window.addEventListener('blur', releaseAll);
window.addEventListener('pagehide', releaseAll);

// The scroll pad scrolls like a touch screen: the content follows the finger.
// A finger moving up sends a negative vertical amount (the view scrolls
// down); moving left sends a negative horizontal amount (the view scrolls
// right). One unit is 50 pixels on the computer, and a pixel on the phone
// scrolls two there.

const PIXELS_PER_UNIT = 50;
const COMPUTER_PIXELS_PER_PHONE_PIXEL = 2;
const MIN_INTERVAL_MS = 1000 / 60;
const pad = document.getElementById('scrollpad');
let padPointer = null;
let lastX = 0;
let lastY = 0;
let pendingX = 0;
let pendingY = 0;
let lastScroll = -Infinity;
let scrollTimer = 0;

function units(phonePixels) {
  return Math.round((phonePixels * COMPUTER_PIXELS_PER_PHONE_PIXEL * 100) / PIXELS_PER_UNIT) / 100;
}

function sendScroll() {
  scrollTimer = 0;
  const x = units(pendingX);
  const y = units(pendingY);
  if (x === 0 && y === 0) return;
  pendingX -= (x * PIXELS_PER_UNIT) / COMPUTER_PIXELS_PER_PHONE_PIXEL;
  pendingY -= (y * PIXELS_PER_UNIT) / COMPUTER_PIXELS_PER_PHONE_PIXEL;
  lastScroll = performance.now();
  send(`mouse ${x} ${y}`);
}

function scheduleScroll() {
  if (scrollTimer) return;
  const wait = lastScroll + MIN_INTERVAL_MS - performance.now();
  if (wait <= 0) sendScroll();
  else scrollTimer = setTimeout(sendScroll, wait);
}

pad.addEventListener('pointerdown', (event) => {
  event.preventDefault();
  padPointer = event.pointerId;
  lastX = event.clientX;
  lastY = event.clientY;
});
pad.addEventListener('pointermove', (event) => {
  if (event.pointerId !== padPointer) return;
  pendingX += event.clientX - lastX;
  pendingY += event.clientY - lastY;
  lastX = event.clientX;
  lastY = event.clientY;
  scheduleScroll();
});
for (const type of ['pointerup', 'pointercancel']) {
  pad.addEventListener(type, (event) => {
    if (event.pointerId === padPointer) padPointer = null;
  });
}

// Comforts, where the browser offers them.

async function keepScreenAwake() {
  try {
    if (navigator.wakeLock && !document.hidden) await navigator.wakeLock.request('screen');
  } catch {
    // Not offered on plain HTTP by most browsers; playing works without it.
  }
}

document.getElementById('fullscreen').addEventListener('click', async () => {
  try {
    await document.documentElement.requestFullscreen();
    await screen.orientation.lock('landscape');
  } catch {
    // Either may be refused; the page works as it is.
  }
});

connect();
