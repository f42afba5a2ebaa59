// Layouts: where the controls sit and what each sends, kept on the computer
// and shared by every phone. A layout is drawn into a surface in fractions of
// its size. The two built-in screens of the page (gamepad-keys, game-pad) are
// drawn by controller.html itself.
import { MotionControl } from './motion.js';
import { MIN_INTERVAL_MS, Stick } from './pad.js';
import { ScrollPad, TouchPad } from './touch.js';

export const PAGE_SCREENS = { 'gamepad-keys': 'keys', 'game-pad': 'pad' };
export const builtInFor = (mode) => (mode === 'pad' ? 'game-pad' : 'gamepad-keys');

export async function fetchLayout(name) {
  try {
    const response = await fetch(`/layouts/${encodeURIComponent(name)}`, { cache: 'no-store' });
    return response.ok ? await response.json() : null;
  } catch {
    return null;
  }
}

export async function fetchLayoutList() {
  try {
    const response = await fetch('/layouts', { cache: 'no-store' });
    const list = response.ok ? await response.json() : null;
    return Array.isArray(list) ? list : null;
  } catch {
    return null;
  }
}

export function element(tag, className, text) {
  const made = document.createElement(tag);
  if (className) made.className = className;
  if (text !== undefined) made.textContent = text; // labels are never markup
  return made;
}

export function place(box, { x, y, w, h }) {
  box.style.left = `${x * 100}%`;
  box.style.top = `${y * 100}%`;
  box.style.width = `${w * 100}%`;
  box.style.height = `${h * 100}%`;
}

// A d-pad's four keys, in the order up, left, down, right.
export const DPAD_DIRECTIONS = ['up', 'left', 'down', 'right'];
export function dpadKeys(bind) {
  return Array.isArray(bind) && bind.length === 4 ? bind : [...DPAD_DIRECTIONS];
}

// A stick on keys holds one of eight directions once pushed past half way.
const DIRECTION_THRESHOLD = 0.5;
const STICK_KEYS = {
  wasd: { up: 'w', left: 'a', down: 's', right: 'd' },
  arrows: { up: 'up', left: 'left', down: 'down', right: 'right' },
};

function directions(x, y) {
  if (Math.hypot(x, y) < DIRECTION_THRESHOLD) return [];
  const sector = Math.round(Math.atan2(y, x) / (Math.PI / 4)); // 0 right, 2 down, ±4 left
  const held = [];
  if (Math.abs(sector) <= 1) held.push('right');
  if (Math.abs(sector) >= 3) held.push('left');
  if (sector >= 1 && sector <= 3) held.push('down');
  if (sector <= -1 && sector >= -3) held.push('up');
  return held;
}

class KeyStick extends Stick {
  constructor(zone, send, keys) {
    super(zone, send);
    this.keys = keys;
    this.held = new Set();
  }

  flush() {
    this.timer = 0;
    const now = new Set(directions(...this.value).map((direction) => this.keys[direction]));
    const changes = [
      ...[...this.held].filter((key) => !now.has(key)).map((key) => `-${key}`),
      ...[...now].filter((key) => !this.held.has(key)),
    ];
    this.held = now;
    if (changes.length === 0) return;
    this.lastSend = performance.now();
    for (const change of changes) this.send(change);
  }

  forget() {
    super.forget();
    this.held = new Set();
  }
}

// A stick on the mouse moves the pointer while pushed, faster the further.
const POINTER_PIXELS_PER_SECOND = 1500;
const LONGEST_STEP_MS = 100; // a stalled page does not jump the pointer

class MouseStick extends Stick {
  schedule() {
    if (this.timer || this.centred()) return;
    this.lastStep = performance.now();
    this.timer = setTimeout(() => this.step(), MIN_INTERVAL_MS);
  }

  centred() {
    return this.value[0] === 0 && this.value[1] === 0;
  }

  step() {
    this.timer = 0;
    if (this.centred()) return;
    const now = performance.now();
    const seconds = Math.min(now - this.lastStep, LONGEST_STEP_MS) / 1000;
    this.lastStep = now;
    this.carry ??= [0, 0];
    const moved = this.value.map((value, axis) => {
      const wanted = this.carry[axis] + value * POINTER_PIXELS_PER_SECOND * seconds;
      const sent = Math.round(wanted * 100) / 100;
      this.carry[axis] = wanted - sent;
      return sent;
    });
    if (moved[0] !== 0 || moved[1] !== 0) this.send(`move ${moved[0]} ${moved[1]}`);
    this.timer = setTimeout(() => this.step(), MIN_INTERVAL_MS);
  }

  flush() {
    this.carry = [0, 0];
  }
}

function stickZone(label, name, click) {
  const zone = element('div', 'stick');
  if (name) zone.dataset.stick = name;
  if (click) zone.dataset.click = click;
  zone.append(element('span', 'knob', label));
  return zone;
}

// Round or square things keep their shape in whatever box they are given.
function squareIn(box, inner) {
  box.classList.add('square-area');
  inner.classList.add('square');
  box.append(inner);
}

// Each type makes its element inside `box` and returns what must be let go
// of when the layout changes (or nothing: buttons are let go by the page).
const BUILDERS = {
  button(box, control, mode, view) {
    const button = element('button', 'control-button', control.label);
    button.dataset[mode === 'pad' ? 'pad' : 'key'] = control.bind;
    box.append(button);
    view.wireButton(button);
  },
  trigger(box, control, mode, view) {
    const button = element('button', 'control-button', control.label);
    button.dataset.pad = control.bind;
    button.dataset.trigger = '';
    box.append(button);
    view.wireButton(button);
  },
  dpad(box, control, mode, view) {
    const cross = element('div', 'cross');
    const names = mode === 'pad' ? DPAD_DIRECTIONS : dpadKeys(control.bind);
    const arrows = { up: '▲', left: '◀', down: '▼', right: '▶' };
    DPAD_DIRECTIONS.forEach((direction, i) => {
      const button = element('button', direction, arrows[direction]);
      button.dataset[mode === 'pad' ? 'pad' : 'key'] = names[i];
      button.setAttribute('aria-label', `${control.label} ${direction}`.trim());
      cross.append(button);
      view.wireButton(button);
    });
    squareIn(box, cross);
  },
  stick(box, control, mode, view) {
    const pad = mode === 'pad';
    const zone = stickZone(control.label, pad ? control.bind : null, pad ? `${control.bind[0]}3` : null);
    squareIn(box, zone);
    if (pad) return new Stick(zone, view.send);
    if (control.bind === 'mouse') return new MouseStick(zone, view.send);
    return new KeyStick(zone, view.send, STICK_KEYS[control.bind] ?? STICK_KEYS.wasd);
  },
  touchpad(box, control, mode, view) {
    const zone = element('div', 'drag-area', control.label);
    box.append(zone);
    return new TouchPad(zone, view.send);
  },
  scroll(box, control, mode, view) {
    const zone = element('div', 'drag-area', control.label);
    box.append(zone);
    return new ScrollPad(zone, view.send);
  },
  motion(box, control, mode, view) {
    return new MotionControl(box, control, view.send);
  },
};

export class LayoutView {
  constructor(surface, send, wireButton) {
    this.surface = surface;
    this.send = send;
    this.wireButton = wireButton;
    this.parts = [];
  }

  show(layout) {
    this.clear();
    for (const control of layout.controls ?? []) {
      const build = BUILDERS[control.type];
      if (!build) continue; // a type this page does not know yet
      const box = element('div', 'control');
      box.dataset.type = control.type;
      place(box, control);
      this.surface.append(box);
      const part = build(box, control, layout.mode, this);
      if (part) this.parts.push(part);
    }
  }

  clear() {
    this.forget();
    this.parts = [];
    this.surface.replaceChildren();
  }

  // Lets go of what is held, telling the computer.
  releaseNow() {
    for (const part of this.parts) part.releaseNow?.();
  }

  // The connection ended; the computer already let go of everything.
  forget() {
    for (const part of this.parts) part.forget();
  }
}

// The menu lists the computer's layouts afresh each time it opens, so a
// layout saved on another phone is there without reloading.
export class LayoutMenu {
  constructor(button, menu, choose) {
    this.button = button;
    this.menu = menu;
    this.list = menu.querySelector('ul');
    this.choose = choose;
    this.current = null;
    button.addEventListener('click', () => (menu.hidden ? this.open() : this.close()));
    document.addEventListener('pointerdown', (event) => {
      if (!menu.hidden && !menu.contains(event.target) && !button.contains(event.target)) this.close();
    });
  }

  async open() {
    this.menu.hidden = false;
    this.button.setAttribute('aria-expanded', 'true');
    this.list.replaceChildren(element('li', 'note', 'Loading…'));
    const layouts = await fetchLayoutList();
    if (this.menu.hidden) return;
    if (!layouts) {
      this.list.replaceChildren(element('li', 'note', 'The computer did not answer. Try again.'));
      return;
    }
    this.list.replaceChildren(...layouts.map((layout) => this.item(layout)));
  }

  item({ name, title, builtin }) {
    const entry = element('li');
    const button = element('button', null, title || name);
    button.setAttribute('role', 'menuitemradio');
    button.setAttribute('aria-checked', String(name === this.current));
    button.dataset.layout = name;
    if (builtin) button.append(element('small', null, 'built in'));
    button.addEventListener('click', () => {
      this.close();
      this.choose(name);
    });
    entry.append(button);
    return entry;
  }

  close() {
    this.menu.hidden = true;
    this.button.setAttribute('aria-expanded', 'false');
  }

  showChosen(name, title) {
    this.current = name;
    this.button.textContent = title || name;
  }
}
