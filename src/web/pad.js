// The game pad's own parts: analog sticks and rumble. A stick reports where
// its knob sits as "ls X Y" / "rs X Y", X and Y in [-1, 1] with up negative
// as on real pads, at most 60 times a second and only when the value changes.
// Other sticks reuse the knob and say what its value means in flush().

export const MIN_INTERVAL_MS = 1000 / 60;
// Real sticks click when pushed in; here a tap followed by a touch within
// this time clicks the stick for as long as that second finger stays down.
const TAP_MS = 250;
const DOUBLE_TAP_MS = 300;

function rounded(value) {
  return Math.round(Math.max(-1, Math.min(1, value)) * 100) / 100;
}

export class Stick {
  constructor(zone, send) {
    this.zone = zone;
    this.knob = zone.querySelector('.knob');
    this.name = zone.dataset.stick;
    this.click = zone.dataset.click;
    this.send = send;
    this.pointer = null;
    this.clicking = false;
    this.value = [0, 0];
    this.motion = [0, 0]; // added by tilt steering and gyro aim
    this.sent = [0, 0];
    this.lastSend = -Infinity;
    this.timer = 0;
    this.touchStart = 0;
    this.lastTap = -Infinity;
    zone.addEventListener('pointerdown', (event) => this.down(event));
    zone.addEventListener('pointermove', (event) => {
      if (event.pointerId === this.pointer) this.follow(event);
    });
    for (const type of ['pointerup', 'pointercancel', 'lostpointercapture']) {
      zone.addEventListener(type, (event) => {
        if (event.pointerId === this.pointer) this.up();
      });
    }
    zone.addEventListener('contextmenu', (event) => event.preventDefault());
  }

  down(event) {
    event.preventDefault();
    if (this.pointer !== null) return; // one finger steers a stick
    this.pointer = event.pointerId;
    // The knob keeps following a finger that leaves the ring.
    this.zone.setPointerCapture(event.pointerId);
    this.touchStart = performance.now();
    if (this.click && this.touchStart - this.lastTap < DOUBLE_TAP_MS) {
      this.clicking = true;
      this.zone.classList.add('down-now');
      this.send(this.click);
    }
    this.follow(event);
  }

  follow(event) {
    const box = this.zone.getBoundingClientRect();
    const reach = Math.max(1, (box.width - this.knob.offsetWidth) / 2);
    let dx = event.clientX - (box.left + box.width / 2);
    let dy = event.clientY - (box.top + box.height / 2);
    const distance = Math.hypot(dx, dy);
    if (distance > reach) {
      dx *= reach / distance;
      dy *= reach / distance;
    }
    this.knob.style.transform = `translate(${dx}px, ${dy}px)`;
    this.value = [rounded(dx / reach), rounded(dy / reach)];
    this.schedule();
  }

  up() {
    const now = performance.now();
    this.lastTap = !this.clicking && now - this.touchStart < TAP_MS ? now : -Infinity;
    this.letGo();
    this.schedule(); // the centred value goes out within the rate limit
  }

  setMotion(x, y) {
    this.motion = [x, y];
    this.schedule();
  }

  // The page may stop hearing about the finger: centre now, without waiting.
  releaseNow() {
    if (this.pointer !== null) this.letGo();
    this.motion = [0, 0];
    clearTimeout(this.timer);
    this.flush();
  }

  // The connection ended; the server already let go of everything.
  forget() {
    this.letGo();
    clearTimeout(this.timer);
    this.timer = 0;
    this.motion = [0, 0];
    this.sent = [0, 0];
    this.lastTap = -Infinity;
  }

  letGo() {
    const pointer = this.pointer;
    this.pointer = null;
    if (pointer !== null && this.zone.hasPointerCapture(pointer)) this.zone.releasePointerCapture(pointer);
    if (this.clicking) this.send(`-${this.click}`);
    this.clicking = false;
    this.zone.classList.remove('down-now');
    this.knob.style.transform = '';
    this.value = [0, 0];
  }

  schedule() {
    if (this.timer) return;
    const wait = this.lastSend + MIN_INTERVAL_MS - performance.now();
    if (wait <= 0) this.flush();
    else this.timer = setTimeout(() => this.flush(), wait);
  }

  flush() {
    this.timer = 0;
    const [x, y] = this.value.map((value, axis) => rounded(value + this.motion[axis]));
    if (x === this.sent[0] && y === this.sent[1]) return;
    this.sent = [x, y];
    this.lastSend = performance.now();
    this.send(`${this.name} ${x} ${y}`);
  }
}

// "RUMBLE STRONG WEAK MS" from a game, MS 0 meaning until stopped; browsers
// end a vibration after about 10 s anyway. A button's short buzz must not cut
// a rumble off, since a new vibration replaces the one playing.
const LONGEST_RUMBLE_MS = 10000;
let rumbleUntil = 0;

export function rumble(message) {
  const [, strong, weak, ms] = message.split(' ').map(Number);
  if (![strong, weak, ms].every(Number.isFinite) || !navigator.vibrate) return;
  const moving = strong > 0 || weak > 0;
  const length = moving ? Math.min(ms > 0 ? ms : LONGEST_RUMBLE_MS, LONGEST_RUMBLE_MS) : 0;
  rumbleUntil = performance.now() + length;
  navigator.vibrate(length);
}

export function buzz() {
  if (navigator.vibrate && performance.now() >= rumbleUntil) navigator.vibrate(12);
}
