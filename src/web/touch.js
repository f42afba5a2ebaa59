// Areas a finger drags on: the scroll pad and the touchpad. What a finger
// moves piles up and goes out at most 60 times a second, only when there is
// something to send, so a fast drag never floods the connection.

const MIN_INTERVAL_MS = 1000 / 60;
// A finger that lifts this soon, having moved less than this, tapped.
const TAP_MS = 250;
const TAP_SLOP_PX = 8;

class RateLimited {
  constructor(emit) {
    this.emit = emit; // sends what is pending; false when there was nothing
    this.last = -Infinity;
    this.timer = 0;
  }

  schedule() {
    if (this.timer) return;
    const wait = this.last + MIN_INTERVAL_MS - performance.now();
    if (wait <= 0) this.fire();
    else this.timer = setTimeout(() => this.fire(), wait);
  }

  fire() {
    this.timer = 0;
    if (this.emit()) this.last = performance.now();
  }

  cancel() {
    clearTimeout(this.timer);
    this.timer = 0;
  }
}

const hundredths = (value) => Math.round(value * 100) / 100;

// Follows one finger at a time and hands its motion, in phone pixels, to `moved`.
class FingerTracker {
  constructor(zone, moved) {
    this.fingers = new Map(); // pointer -> its last position
    this.leader = null;
    zone.addEventListener('pointerdown', (event) => {
      event.preventDefault();
      zone.setPointerCapture(event.pointerId);
      this.fingers.set(event.pointerId, [event.clientX, event.clientY]);
      this.leader ??= event.pointerId;
      this.down?.(event);
    });
    zone.addEventListener('pointermove', (event) => {
      const last = this.fingers.get(event.pointerId);
      if (!last) return;
      const dx = event.clientX - last[0];
      const dy = event.clientY - last[1];
      this.fingers.set(event.pointerId, [event.clientX, event.clientY]);
      if (event.pointerId === this.leader) moved(dx, dy);
      this.travel?.(Math.hypot(dx, dy));
    });
    for (const type of ['pointerup', 'pointercancel']) {
      zone.addEventListener(type, (event) => {
        if (!this.fingers.delete(event.pointerId)) return;
        // The next finger still down takes over, from where it is now.
        if (event.pointerId === this.leader) this.leader = this.fingers.keys().next().value ?? null;
        if (this.fingers.size === 0) this.allUp?.(event.type === 'pointerup');
      });
    }
    zone.addEventListener('contextmenu', (event) => event.preventDefault());
  }

  forget() {
    this.fingers.clear();
    this.leader = null;
  }
}

// Scrolls like a touch screen: the content follows the finger. A finger
// moving up sends a negative vertical amount (the view scrolls down); moving
// left sends a negative horizontal amount (the view scrolls right). One unit
// is 50 pixels on the computer, and a pixel on the phone scrolls two there.
const PIXELS_PER_UNIT = 50;
const SCROLL_PIXELS_PER_PHONE_PIXEL = 2;

export class ScrollPad {
  constructor(zone, send) {
    this.pending = [0, 0];
    this.limiter = new RateLimited(() => this.emit(send));
    this.tracker = new FingerTracker(zone, (dx, dy) => {
      this.pending[0] += dx;
      this.pending[1] += dy;
      this.limiter.schedule();
    });
  }

  emit(send) {
    const units = (pixels) => hundredths((pixels * SCROLL_PIXELS_PER_PHONE_PIXEL) / PIXELS_PER_UNIT);
    const [x, y] = this.pending.map(units);
    if (x === 0 && y === 0) return false;
    this.pending[0] -= (x * PIXELS_PER_UNIT) / SCROLL_PIXELS_PER_PHONE_PIXEL;
    this.pending[1] -= (y * PIXELS_PER_UNIT) / SCROLL_PIXELS_PER_PHONE_PIXEL;
    send(`mouse ${x} ${y}`);
    return true;
  }

  forget() {
    this.tracker.forget();
    this.limiter.cancel();
    this.pending = [0, 0];
  }
}

// Moves the pointer by what the finger moves, as a laptop's touchpad does. A
// tap clicks the left button, a tap with two fingers the right one.
const POINTER_PIXELS_PER_PHONE_PIXEL = 2.5;

export class TouchPad {
  constructor(zone, send) {
    this.send = send;
    this.pending = [0, 0];
    this.limiter = new RateLimited(() => this.emit());
    this.tracker = new FingerTracker(zone, (dx, dy) => {
      this.pending[0] += dx * POINTER_PIXELS_PER_PHONE_PIXEL;
      this.pending[1] += dy * POINTER_PIXELS_PER_PHONE_PIXEL;
      this.limiter.schedule();
    });
    this.tracker.down = () => {
      if (this.tracker.fingers.size === 1) this.gesture = { start: performance.now(), fingers: 0, travel: 0 };
      this.gesture.fingers = Math.max(this.gesture.fingers, this.tracker.fingers.size);
    };
    this.tracker.travel = (distance) => {
      this.gesture.travel += distance;
    };
    this.tracker.allUp = (lifted) => {
      const { start, fingers, travel } = this.gesture;
      if (!lifted || travel >= TAP_SLOP_PX || performance.now() - start >= TAP_MS) return;
      const button = fingers >= 2 ? 'btn_right' : 'btn_left';
      send(button);
      send(`-${button}`);
    };
  }

  emit() {
    const [x, y] = this.pending.map(hundredths);
    if (x === 0 && y === 0) return false;
    this.pending[0] -= x;
    this.pending[1] -= y;
    this.send(`move ${x} ${y}`);
    return true;
  }

  forget() {
    this.tracker.forget();
    this.limiter.cancel();
    this.pending = [0, 0];
  }
}
