// Motion controls (tilt to steer, gyro to aim) and keeping the screen on:
// phones' browsers offer both only to a secure page, which is this page when
// it is served over https. Over http the motion screen explains how to get
// there and opens the https page with a one-time pairing code.
import { MIN_INTERVAL_MS } from './pad.js';

const DEAD_ZONE_DEGREES = 2;
// Tilt as keys: pressed past half of full lock, let go a little before it, so
// that a phone held at the edge does not chatter.
const KEY_PRESS_AT = 0.5;
const KEY_RELEASE_AT = 0.4;
// Gyro aim at sensitivity 1: a full stick at this rate, the pointer this far a degree.
const STICK_DEGREES_PER_SECOND = 180;
const POINTER_PIXELS_PER_DEGREE = 15;
// A gap in the readings (a stalled page) does not turn into a jump.
const LONGEST_STEP_S = 0.1;
export const PAIR_CODE_WAIT_MS = 5000;

const SETTINGS_KEY = 'kestrelio-motion';
const DEFAULTS = { tilt: false, gyro: false, fullLock: 30, sensitivity: 1, neutral: [0, 0] };

// What storage holds is used only where it has the default's shape.
function loadSettings() {
  try {
    const saved = JSON.parse(localStorage.getItem(SETTINGS_KEY)) ?? {};
    const fits = (name) =>
      typeof saved[name] === typeof DEFAULTS[name] && Array.isArray(saved[name]) === Array.isArray(DEFAULTS[name]);
    return Object.fromEntries(Object.keys(DEFAULTS).map((name) => [name, fits(name) ? saved[name] : DEFAULTS[name]]));
  } catch {
    return { ...DEFAULTS }; // storage may be off or hold junk
  }
}

const settings = loadSettings();

function saveSettings() {
  try {
    localStorage.setItem(SETTINGS_KEY, JSON.stringify(settings));
  } catch {
    // Storage may be off; the settings last for this visit.
  }
}

const clamp = (value) => Math.max(-1, Math.min(1, value));
const rounded = (value) => Math.round(clamp(value) * 100) / 100;
const degrees = (radians) => (radians * 180) / Math.PI;
const wrapped = (angle) => ((((angle + 180) % 360) + 360) % 360) - 180;

// Degrees of tilt as a stick's deflection: nothing in the dead zone, full at full lock.
function deflection(angle) {
  const beyond = Math.abs(angle) - DEAD_ZONE_DEGREES;
  if (beyond <= 0) return 0;
  return rounded((Math.sign(angle) * beyond) / Math.max(1, settings.fullLock - DEAD_ZONE_DEGREES));
}

function screenAngle() {
  return ((screen.orientation?.angle ?? window.orientation ?? 0) * Math.PI) / 180;
}

// A device-axes vector (x right, y up the portrait screen, z out of it) in
// the axes of the screen as it is turned now.
function onScreen([x, y, z]) {
  const turn = screenAngle();
  return [x * Math.cos(turn) - y * Math.sin(turn), x * Math.sin(turn) + y * Math.cos(turn), z];
}

// The sensors, read while anything listens and the page is shown. Tilt is
// reported as degrees from the calibrated position (right and forward
// positive), turning as degrees a second (right and down positive).
class MotionSensors {
  constructor() {
    this.listeners = new Set();
    this.up = null; // the world's up, in screen axes
    this.lastTurn = 0;
    this.orientationSeen = false;
    this.listening = false;
    this.allowed = typeof window.DeviceOrientationEvent?.requestPermission !== 'function';
    this.asking = null;
    this.onOrientation = (event) => this.orientation(event);
    this.onMotion = (event) => this.motion(event);
    document.addEventListener('visibilitychange', () => this.update());
    // After a reload iOS asks again, from a tap: any tap, once motion is on.
    this.askOnTap = () => {
      if (this.listeners.size > 0) this.allow();
    };
    if (!this.allowed) document.addEventListener('touchend', this.askOnTap);
  }

  get offered() {
    return window.isSecureContext && 'DeviceOrientationEvent' in window;
  }

  // iOS asks the user, and only from a tap: call this from one.
  async allow() {
    if (this.allowed || !this.offered) return this.allowed;
    try {
      const answers = await Promise.all([
        window.DeviceMotionEvent?.requestPermission?.() ?? 'granted',
        DeviceOrientationEvent.requestPermission(),
      ]);
      this.allowed = answers.every((answer) => answer === 'granted');
      document.removeEventListener('touchend', this.askOnTap);
    } catch {
      this.allowed = false; // asked outside a tap; the next tap asks again
    }
    this.update();
    return this.allowed;
  }

  listen(listener) {
    this.listeners.add(listener);
    // Chrome answers without a tap; iOS refuses until one, and asks then.
    if (!this.allowed && !this.asking) this.asking = this.allow();
    this.update();
  }

  unlisten(listener) {
    this.listeners.delete(listener);
    this.update();
  }

  update() {
    const wanted = this.offered && this.allowed && this.listeners.size > 0 && !document.hidden;
    if (wanted === this.listening) return;
    this.listening = wanted;
    const method = wanted ? 'addEventListener' : 'removeEventListener';
    window[method]('deviceorientation', this.onOrientation);
    window[method]('devicemotion', this.onMotion);
    this.lastTurn = 0; // a pause is no turn
  }

  orientation({ beta, gamma }) {
    if (beta === null || gamma === null) return;
    this.orientationSeen = true;
    const [b, g] = [beta, gamma].map((angle) => (angle * Math.PI) / 180);
    this.setUp([-Math.cos(b) * Math.sin(g), Math.sin(b), Math.cos(b) * Math.cos(g)]);
  }

  motion({ accelerationIncludingGravity: gravity, rotationRate: rate }) {
    // Orientation is filtered; gravity from the accelerometer shakes with the hand.
    if (!this.orientationSeen && gravity?.x != null) this.setUp([gravity.x, gravity.y, gravity.z]);
    if (rate?.alpha == null) return;
    const now = performance.now();
    const seconds = this.lastTurn ? Math.min((now - this.lastTurn) / 1000, LONGEST_STEP_S) : 0;
    this.lastTurn = now;
    // Browsers give the rates about the device's x, y and z axes as alpha, beta, gamma.
    const [x, y, z] = onScreen([rate.alpha, rate.beta, rate.gamma]);
    // Turning about the world's vertical aims sideways however the phone is
    // held; turning about the screen's horizontal axis aims up and down.
    const yaw = this.up ? (x * this.up[0] + y * this.up[1] + z * this.up[2]) / this.length() : y;
    for (const listener of this.listeners) listener.turn?.(-yaw, -x, seconds);
  }

  setUp(vector) {
    this.up = onScreen(vector);
    this.tell();
  }

  length() {
    return Math.hypot(...this.up) || 1;
  }

  // Roll: how far the screen's horizontal axis is turned from level, as a
  // steering wheel. Pitch: how far the top edge leans away.
  raw() {
    const [x, y, z] = this.up;
    return [degrees(Math.asin(clamp(-x / this.length()))), -degrees(Math.atan2(y, z))];
  }

  tell() {
    if (!this.up) return;
    const [roll, pitch] = this.raw();
    const [neutralRoll, neutralPitch] = settings.neutral;
    for (const listener of this.listeners) {
      listener.tilt?.(wrapped(roll - neutralRoll), wrapped(pitch - neutralPitch));
    }
  }

  calibrate() {
    if (!this.up) return false;
    settings.neutral = this.raw();
    saveSettings();
    this.tell();
    return true;
  }
}

export const sensors = new MotionSensors();

// Pad mode: tilt steers the left stick's X, gyro aim adds to the right stick.
// `sticks()` names the game pad's sticks now on screen (none in keys mode).
export class PadMotion {
  constructor(sticks) {
    this.sticks = sticks;
    this.update();
  }

  update() {
    if (settings.tilt || settings.gyro) sensors.listen(this);
    else sensors.unlisten(this);
    if (!settings.tilt) this.move('ls', 0, 0);
    if (!settings.gyro) this.move('rs', 0, 0);
  }

  move(name, x, y) {
    for (const stick of this.sticks()) if (stick.name === name) stick.setMotion(x, y);
  }

  tilt(roll) {
    if (settings.tilt) this.move('ls', deflection(roll), 0);
  }

  turn(right, down) {
    const scale = settings.sensitivity / STICK_DEGREES_PER_SECOND;
    if (settings.gyro) this.move('rs', rounded(right * scale), rounded(down * scale));
  }
}

const TILT_KEYS = {
  wasd: { up: 'w', left: 'a', down: 's', right: 'd' },
  arrows: { up: 'up', left: 'left', down: 'down', right: 'right' },
};

// A layout's `motion` control in keys mode: `mouse` aims the pointer with the
// gyro, `wasd` and `arrows` hold a key for each way the phone is tilted.
export class MotionControl {
  constructor(box, control, send) {
    this.box = box;
    this.send = send;
    this.keys = TILT_KEYS[control.bind] ?? null;
    this.held = new Set();
    this.pending = [0, 0];
    this.lastMove = -Infinity;
    this.timer = 0;
    const area = document.createElement('div');
    area.className = 'motion-area';
    area.textContent = control.label || (this.keys ? 'Tilt' : 'Gyro aim');
    const calibrate = document.createElement('button');
    calibrate.type = 'button';
    calibrate.textContent = 'Calibrate';
    this.note = document.createElement('small');
    area.append(this.note, calibrate);
    box.append(area);
    // The first tap on the control asks iOS for the sensors.
    area.addEventListener('click', async () => {
      await sensors.allow();
      this.showNote();
    });
    calibrate.addEventListener('click', () => sensors.calibrate());
    sensors.listen(this);
    this.showNote();
    sensors.asking?.then(() => this.showNote());
  }

  showNote() {
    if (!sensors.offered) this.note.textContent = 'Needs the secure page: see the menu';
    else if (!sensors.allowed) this.note.textContent = 'Tap to turn motion on';
    else this.note.textContent = '';
  }

  // The control left the screen with its layout.
  gone() {
    if (this.box.isConnected) return false;
    sensors.unlisten(this);
    clearTimeout(this.timer);
    return true;
  }

  tilt(roll, pitch) {
    if (this.gone() || !this.keys) return;
    const x = deflection(roll);
    const y = deflection(-pitch);
    const ways = { right: x, left: -x, down: y, up: -y };
    for (const [way, amount] of Object.entries(ways)) {
      const key = this.keys[way];
      if (!this.held.has(key) && amount > KEY_PRESS_AT) {
        this.held.add(key);
        this.send(key);
      } else if (this.held.has(key) && amount < KEY_RELEASE_AT) {
        this.held.delete(key);
        this.send(`-${key}`);
      }
    }
  }

  turn(right, down, seconds) {
    if (this.gone() || this.keys) return;
    const pixels = POINTER_PIXELS_PER_DEGREE * settings.sensitivity * seconds;
    this.pending[0] += right * pixels;
    this.pending[1] += down * pixels;
    if (this.timer) return;
    const wait = this.lastMove + MIN_INTERVAL_MS - performance.now();
    if (wait <= 0) this.flushMove();
    else this.timer = setTimeout(() => this.flushMove(), wait);
  }

  flushMove() {
    this.timer = 0;
    const [x, y] = this.pending.map((value) => Math.round(value * 100) / 100);
    if (x === 0 && y === 0) return;
    // What rounding kept back goes with the next move.
    this.pending = [this.pending[0] - x, this.pending[1] - y];
    this.lastMove = performance.now();
    this.send(`move ${x} ${y}`);
  }

  releaseNow() {
    for (const key of this.held) this.send(`-${key}`);
    this.forget();
  }

  forget() {
    this.held.clear();
    clearTimeout(this.timer);
    this.timer = 0;
    this.pending = [0, 0];
  }
}

// The screen stays on while the page is connected: the lock is taken again
// whenever the page is shown, since browsers drop it while it is hidden.
export class ScreenWakeLock {
  constructor() {
    this.wanted = false;
    this.lock = null;
    this.taking = null;
    document.addEventListener('visibilitychange', () => (document.hidden ? this.drop() : this.take()));
  }

  hold() {
    this.wanted = true;
    this.take();
  }

  release() {
    this.wanted = false;
    this.drop();
  }

  async take() {
    if (!this.wanted || this.lock || this.taking || document.hidden || !navigator.wakeLock) return;
    try {
      this.taking = navigator.wakeLock.request('screen');
      const lock = await this.taking;
      lock.addEventListener('release', () => {
        if (this.lock === lock) this.lock = null;
      });
      this.lock = lock;
      // Hidden or disconnected while the browser was granting it.
      if (!this.wanted || document.hidden) this.drop();
    } catch {
      // Refused (battery saver, no secure context): playing works without it.
    } finally {
      this.taking = null;
    }
  }

  drop() {
    const lock = this.lock;
    this.lock = null;
    lock?.release().catch(() => {});
  }
}

// The menu's "Motion controls" screen. Over https it holds the pad mode's
// motion settings; over http it says why motion is missing and takes the
// phone to the https page, which pairs by itself with a one-time code that
// the computer gives to a page it trusts.
export class MotionScreen {
  constructor(panel, padMotion, askPairCode) {
    this.panel = panel;
    this.padMotion = padMotion;
    this.askPairCode = askPairCode;
    this.codeWanted = null;
    for (const part of panel.querySelectorAll('[data-when]')) {
      part.hidden = (part.dataset.when === 'secure') !== window.isSecureContext;
    }
    panel.querySelector('.close').addEventListener('click', () => (panel.hidden = true));
    panel.querySelector('.open-secure').addEventListener('click', () => this.openSecurePage());
    this.message = panel.querySelector('.message');
    this.wireSettings();
  }

  open() {
    this.message.textContent = sensors.offered || !window.isSecureContext ? '' : 'This browser gives no motion data.';
    this.panel.hidden = false;
  }

  wireSettings() {
    for (const input of this.panel.querySelectorAll('[data-setting]')) {
      const name = input.dataset.setting;
      const output = input.parentElement.querySelector('output');
      const show = () => {
        if (output) output.textContent = input.value + (output.dataset.unit ?? '');
      };
      if (input.type === 'checkbox') input.checked = settings[name];
      else input.value = settings[name];
      show();
      input.addEventListener('input', async () => {
        settings[name] = input.type === 'checkbox' ? input.checked : Number(input.value);
        show();
        saveSettings();
        if (input.type === 'checkbox' && input.checked && !(await sensors.allow())) {
          this.message.textContent = 'Motion was not allowed. Allow it in the browser’s settings for this site.';
        }
        this.padMotion.update();
      });
    }
    this.panel.querySelector('.calibrate').addEventListener('click', async () => {
      await sensors.allow();
      this.message.textContent = sensors.calibrate() ? '' : 'No motion data yet: turn tilt or gyro on first.';
    });
  }

  async openSecurePage() {
    const button = this.panel.querySelector('.open-secure');
    button.disabled = true;
    this.message.textContent = '';
    const code = await new Promise((resolve) => {
      this.codeWanted = resolve;
      this.askPairCode();
      setTimeout(() => resolve(null), PAIR_CODE_WAIT_MS);
    });
    this.codeWanted = null;
    button.disabled = false;
    if (!code) {
      this.message.textContent = 'The computer did not answer. Check that this page says "Connected", then try again.';
      return;
    }
    location.assign(`https://${location.host}/#pair=${encodeURIComponent(code)}`);
  }

  // True for the computer's answer to "pair-code", which is this screen's.
  heard(text) {
    if (typeof text !== 'string' || !text.startsWith('PAIR_CODE ')) return false;
    this.codeWanted?.(text.slice('PAIR_CODE '.length));
    return true;
  }
}
