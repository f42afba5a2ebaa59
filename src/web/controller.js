// The phone side of Kestrelio. In key mode buttons send key names and the
// pad sends scrolls; in game pad mode the page drives a virtual game pad of
// its own. Either way the page answers the server's heartbeat, and everything
// held is let go whenever the page may stop hearing about the finger. Other
// layouts, kept on the computer, are drawn by controls.js and made in editor.js.
import { Editor } from './editor.js';
import { LayoutMenu, LayoutView, PAGE_SCREENS, builtInFor, fetchLayout } from './controls.js';
import { MotionScreen, PAIR_CODE_WAIT_MS, PadMotion, ScreenWakeLock } from './motion.js';
import { Stick, buzz, rumble } from './pad.js';
import { ScrollPad } from './touch.js';

const statusText = document.getElementById('status');
const playerText = document.getElementById('player');
const pressed = new Map(); // button -> the pointers holding it
let socket = null;
let retryDelay = 500;
let retryTimer = 0;
// Why the computer cannot type what this page sends; null while it can.
let inputOff = null;

function setting(name) {
  try {
    return localStorage.getItem(name);
  } catch {
    return null; // storage may be off; the page still works for this visit
  }
}

function storeSetting(name, value) {
  try {
    if (value) localStorage.setItem(name, value);
    else localStorage.removeItem(name);
  } catch {
    // As above.
  }
}

// Pairing: the window's code opens this page with #pair=SECRET. The secret
// buys a device token, kept here and shown on every later connection, so
// reconnecting needs nothing. The secret leaves the address bar at once.
const TOKEN_KEY = 'kestrelio-device';
let pairingSecret = new URLSearchParams(location.hash.slice(1)).get('pair');
if (location.hash) history.replaceState(null, '', location.pathname + location.search);

const MODE_KEY = 'kestrelio-mode';
const LAYOUT_KEY = 'kestrelio-layout';
let mode = setting(MODE_KEY) === 'pad' ? 'pad' : 'keys';
let layoutName = setting(LAYOUT_KEY) ?? builtInFor(mode);
let layout = null; // the chosen layout's document, once the computer sent it

function socketUrl(token, path = mode === 'pad' ? '/pad' : '/') {
  const scheme = location.protocol === 'https:' ? 'wss' : 'ws';
  const base = `${scheme}://${location.host}${path}`;
  // A page that scans again sends both, so the computer keeps one entry for it.
  const query = new URLSearchParams();
  if (token) query.set('device', token);
  if (pairingSecret) query.set('pair', pairingSecret);
  const text = query.toString();
  return text ? `${base}?${text}` : base;
}

function showState(text, state) {
  statusText.textContent = text;
  document.body.dataset.state = state;
}

function showConnected() {
  if (inputOff) showState(`Connected, but this computer cannot type: ${inputOff}`, 'cannot-type');
  else showState('Connected', 'connected');
}

function send(text) {
  if (socket && socket.readyState === WebSocket.OPEN) socket.send(text);
}

function connect() {
  clearTimeout(retryTimer);
  showState('Connecting…', 'connecting');
  const token = setting(TOKEN_KEY);
  const ws = new WebSocket(socketUrl(token));
  socket = ws;
  let opened = false;
  let handshakeDone = false;
  inputOff = null;
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
    if (motionScreen.heard(event.data)) return;
    if (typeof event.data === 'string' && event.data.startsWith('DEVICE ')) {
      storeSetting(TOKEN_KEY, event.data.slice('DEVICE '.length));
      pairingSecret = null;
    } else if (event.data === 'HSK_DONE') {
      // The server's liveness check reads the newest pong of any connection;
      // after a long pause an old one would fail this link at its first check.
      ws.send('pong');
      retryDelay = 500;
      handshakeDone = true;
      showConnected();
      wakeLock.hold();
    } else if (event.data === 'INPUT ON') {
      inputOff = null;
      if (handshakeDone) showConnected();
    } else if (typeof event.data === 'string' && event.data.startsWith('INPUT OFF ')) {
      inputOff = event.data.slice('INPUT OFF '.length);
      if (handshakeDone) showConnected();
    } else if (event.data === 'PING') {
      ws.send('pong');
    } else if (typeof event.data === 'string' && event.data.startsWith('PLAYER ')) {
      playerText.textContent = `Player ${event.data.slice('PLAYER '.length)}`;
      playerText.hidden = false;
    } else if (typeof event.data === 'string' && event.data.startsWith('RUMBLE ')) {
      rumble(event.data);
    }
  };
  ws.onclose = (event) => {
    if (socket !== ws) return;
    socket = null;
    wakeLock.release();
    // Refused with a secret: the code was an old one; the token may still serve.
    if (!opened && pairingSecret) pairingSecret = null;
    forgetPressed(); // the server lets go of them itself
    playerText.hidden = true;
    // A pad the computer ended with a reason (all pads in use, no uinput, a
    // Deny) will not come back by retrying: say why and offer the keys.
    if (mode === 'pad' && event.reason) {
      document.getElementById('refusal').textContent = event.reason;
      document.getElementById('refused').hidden = false;
      showState('No game pad', 'disconnected');
      return;
    }
    const seconds = Math.ceil(retryDelay / 1000);
    showState(`Not connected. Trying again in ${seconds} s…`, 'disconnected');
    retryTimer = setTimeout(connect, retryDelay);
    retryDelay = Math.min(retryDelay * 2, 8000);
  };
}

// Buttons: a press on the first finger down, a release when the last lifts.
// A trigger is all or nothing: fully down while a finger is on it.

function messagesOf(button) {
  const { key, pad } = button.dataset;
  if (key) return [key, `-${key}`];
  if ('trigger' in button.dataset) return [`${pad} 1`, `${pad} 0`];
  return [pad, `-${pad}`];
}

function press(button, pointer) {
  let hold = pressed.get(button);
  if (!hold) {
    const [down, up] = messagesOf(button);
    hold = { pointers: new Set(), up };
    pressed.set(button, hold);
    send(down);
    button.classList.add('down-now');
    buzz();
  }
  hold.pointers.add(pointer);
}

function release(button, pointer) {
  const hold = pressed.get(button);
  if (!hold || !hold.pointers.delete(pointer) || hold.pointers.size > 0) return;
  pressed.delete(button);
  send(hold.up);
  button.classList.remove('down-now');
}

function wireButton(button) {
  button.addEventListener('pointerdown', (event) => {
    event.preventDefault();
    // A touch is captured by the button it starts on; without the capture a
    // finger sliding off is noticed and lets go.
    if (button.hasPointerCapture(event.pointerId)) button.releasePointerCapture(event.pointerId);
    press(button, event.pointerId);
  });
  for (const type of ['pointerup', 'pointercancel', 'pointerleave']) {
    button.addEventListener(type, (event) => release(button, event.pointerId));
  }
  button.addEventListener('contextmenu', (event) => event.preventDefault());
}

for (const button of document.querySelectorAll('[data-key], [data-pad]')) wireButton(button);
const sticks = [...document.querySelectorAll('[data-stick]')].map((zone) => new Stick(zone, send));
const scrollPad = new ScrollPad(document.getElementById('scrollpad'), send);
const view = new LayoutView(document.getElementById('layout'), send, wireButton);

function forgetPressed() {
  for (const button of pressed.keys()) button.classList.remove('down-now');
  pressed.clear();
  for (const stick of sticks) stick.forget();
  scrollPad.forget();
  view.forget();
}

function releaseAll() {
  for (const { up } of pressed.values()) send(up);
  for (const stick of sticks) stick.releaseNow();
  view.releaseNow();
  forgetPressed();
}

// The mode: each has its own connection (the game pad exists while its
// connection is open), so switching lets go of everything and reconnects.

function showMode() {
  document.body.dataset.mode = mode;
  document.body.toggleAttribute('data-custom', !PAGE_SCREENS[layoutName]);
  for (const button of document.querySelectorAll('.modes [data-mode]')) {
    button.setAttribute('aria-pressed', String(layoutName === builtInFor(button.dataset.mode)));
  }
  document.getElementById('refused').hidden = true;
}

function reconnect() {
  releaseAll();
  const old = socket;
  socket = null;
  old?.close(1000);
  retryDelay = 500;
  showMode();
  connect();
}

// A layout brings its mode; the page's own two screens are the built-ins
// of the two modes. The choice is remembered; one that has gone from the
// computer falls back to the built-in of its mode.
const menu = new LayoutMenu(document.getElementById('layouts'), document.getElementById('layout-menu'), chooseLayout);

async function chooseLayout(name) {
  const chosen = await fetchLayout(name);
  if (!chosen && !PAGE_SCREENS[name]) {
    if (!layout && name === layoutName) chooseLayout(builtInFor(mode));
    return;
  }
  releaseAll();
  layoutName = name;
  layout = chosen;
  storeSetting(LAYOUT_KEY, name);
  menu.showChosen(name, chosen?.title);
  if (PAGE_SCREENS[name]) view.clear();
  else view.show(chosen);
  const wanted = PAGE_SCREENS[name] ?? chosen.mode;
  if (wanted === mode && socket) {
    showMode();
    return;
  }
  mode = wanted;
  storeSetting(MODE_KEY, mode);
  reconnect();
}

for (const button of document.querySelectorAll('button[data-mode]')) {
  button.addEventListener('click', () => chooseLayout(builtInFor(button.dataset.mode)));
}
document.getElementById('retry').addEventListener('click', reconnect);

const editor = new Editor(
  {
    canvas: document.getElementById('editor'),
    panel: document.getElementById('control-panel'),
    savePanel: document.getElementById('save-panel'),
    adder: document.getElementById('add-control'),
    saveButton: document.getElementById('save'),
    saveAsButton: document.getElementById('save-as'),
    closeButton: document.getElementById('close-editor'),
  },
  () => setting(TOKEN_KEY),
  chooseLayout,
  showMode,
);
document.getElementById('edit').addEventListener('click', async () => {
  releaseAll();
  menu.close();
  // Before the chosen layout has arrived, the editor waits for it.
  const current = layout ?? (await fetchLayout(layoutName));
  editor.open(layoutName, current ?? { version: 1, title: '', mode, controls: [] });
});

document.addEventListener('visibilitychange', () => {
  if (document.hidden) releaseAll();
});
window.addEventListener('blur', releaseAll);
window.addEventListener('pagehide', releaseAll);

// Comforts, where the browser offers them.

// The code for the https page comes over a key connection; a pad's carries
// pad messages only, so in pad mode a short key connection asks for it.
function askPairCode() {
  if (mode === 'keys') {
    send('pair-code');
    return;
  }
  const asking = new WebSocket(socketUrl(setting(TOKEN_KEY), '/'));
  asking.onopen = () => asking.send('pair-code');
  asking.onmessage = (event) => motionScreen.heard(event.data) && asking.close(1000);
  setTimeout(() => asking.close(1000), PAIR_CODE_WAIT_MS);
}

const wakeLock = new ScreenWakeLock();
const padMotion = new PadMotion(() => {
  if (mode !== 'pad') return [];
  return PAGE_SCREENS[layoutName] ? sticks : view.parts;
});
const motionScreen = new MotionScreen(document.getElementById('motion-panel'), padMotion, askPairCode);
document.getElementById('motion').addEventListener('click', () => {
  menu.close();
  motionScreen.open();
});

document.getElementById('fullscreen').addEventListener('click', async () => {
  try {
    await document.documentElement.requestFullscreen();
    await screen.orientation.lock('landscape');
  } catch {
    // Either may be refused; the page works as it is.
  }
});

showMode();
connect();
chooseLayout(layoutName);
