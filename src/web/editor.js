// The layout editor: controls are dragged to move, resized by their corner
// handle, and tapped to set their label and what they send. "Save as…" stores
// the layout on the computer under a name made from its title.
import { DPAD_DIRECTIONS, dpadKeys, element, place } from './controls.js';

const range = (count, name) => Array.from({ length: count }, (_, i) => name(i));
const KEY_GROUPS = [
  ['Letters', range(26, (i) => String.fromCharCode(97 + i))],
  ['Digits', range(10, String)],
  ['Arrows', ['up', 'down', 'left', 'right']],
  ['Common', ['space', 'enter', 'esc', 'tab', 'backspace']],
  ['Modifiers', ['leftshift', 'rightshift', 'leftctrl', 'rightctrl', 'leftalt', 'rightalt', 'leftmeta', 'capslock']],
  ['Function keys', range(12, (i) => `f${i + 1}`)],
  ['Editing', ['insert', 'delete', 'home', 'end', 'pageup', 'pagedown']],
  ['Symbols', ['minus', 'equal', 'leftbrace', 'rightbrace', 'semicolon', 'apostrophe', 'grave', 'backslash',
    'comma', 'dot', 'slash']],
  ['Keypad', [...range(10, (i) => `kp${i}`), 'kpenter']],
];
const MOUSE_GROUP = ['Mouse', ['btn_left', 'btn_right', 'btn_middle']];
const PAD_GROUP = ['Pad', ['a', 'b', 'x', 'y', 'l1', 'r1', 'l3', 'r3', 'start', 'select', 'home',
  'up', 'down', 'left', 'right']];

// What each type may send in each mode, as groups for a <select>; null: nothing to choose.
const BINDS = {
  keys: {
    button: [...KEY_GROUPS, MOUSE_GROUP],
    dpad: KEY_GROUPS,
    stick: [['Keys', ['wasd', 'arrows']], ['Mouse', ['mouse']]],
    touchpad: null,
    scroll: null,
    motion: [['Mouse', ['mouse']], ['Keys', ['wasd', 'arrows']]],
  },
  pad: {
    button: [PAD_GROUP],
    dpad: null,
    stick: [['Pad', ['ls', 'rs']]],
    trigger: [['Pad', ['l2', 'r2']]],
  },
};

// A new control's size and its first bind in each mode (none where it takes none).
const NEW_CONTROLS = {
  button: { w: 0.12, h: 0.2, keys: 'space', pad: 'a' },
  dpad: { w: 0.26, h: 0.5, keys: DPAD_DIRECTIONS },
  stick: { w: 0.26, h: 0.5, keys: 'wasd', pad: 'ls' },
  touchpad: { w: 0.4, h: 0.5 },
  scroll: { w: 0.2, h: 0.5 },
  trigger: { w: 0.12, h: 0.2, pad: 'l2' },
  motion: { w: 0.2, h: 0.4, keys: 'mouse' },
};
const TYPE_NAMES = { button: 'Button', dpad: 'D-pad', stick: 'Stick', touchpad: 'Touchpad', scroll: 'Scroll area',
  trigger: 'Trigger', motion: 'Motion' };

const MAX_CONTROLS = 64;
const MIN_SIZE = 0.05;
const TAP_SLOP_PX = 6;

const clamp = (value, low, high) => Math.min(high, Math.max(low, value));
const tidy = (value) => Math.round(value * 1000) / 1000;

// A layout's name is made from its title: lower case letters, digits and dashes.
export function nameFor(title) {
  return title.normalize('NFKD').replace(/[\u0300-\u036f]/g, '').toLowerCase()
    .replace(/[^a-z0-9]+/g, '-').replace(/^-+/, '').slice(0, 40).replace(/-+$/, '');
}

function bindSelect(groups, value, changed) {
  const select = element('select');
  for (const [label, names] of groups) {
    const group = element('optgroup');
    group.label = label;
    for (const name of names) group.append(new Option(name, name));
    select.append(group);
  }
  select.value = value;
  select.addEventListener('change', () => changed(select.value));
  return select;
}

export class Editor {
  // `parts`: the canvas, the control panel and the save panel from the page;
  // `saved(name)` is called once a layout is stored; `closed()` when editing ends.
  constructor(parts, token, saved, closed) {
    Object.assign(this, parts);
    this.token = token;
    this.saved = saved;
    this.closed = closed;
    this.layout = null;
    this.name = null;
    this.selected = null;
    this.panel.querySelector('.delete').addEventListener('click', () => this.deleteSelected());
    this.panel.querySelector('.done').addEventListener('click', () => this.closePanel());
    this.panel.querySelector('input').addEventListener('input', (event) => {
      this.selected.label = event.target.value;
      this.redraw();
    });
    this.adder.addEventListener('change', () => {
      if (this.adder.value) this.add(this.adder.value);
      this.adder.value = '';
    });
    this.saveButton.addEventListener('click', () => this.store(this.name, this.layout.title));
    this.saveAsButton.addEventListener('click', () => this.openSaveAs(''));
    this.closeButton.addEventListener('click', () => this.close());
    const title = this.savePanel.querySelector('input');
    title.addEventListener('input', () => this.showDerivedName());
    this.savePanel.querySelector('form').addEventListener('submit', (event) => {
      event.preventDefault();
      this.store(nameFor(title.value), title.value.trim());
    });
    this.savePanel.querySelector('.cancel').addEventListener('click', () => {
      this.savePanel.hidden = true;
    });
  }

  open(name, layout) {
    this.name = name;
    this.layout = structuredClone(layout);
    this.layout.controls ??= [];
    this.adder.replaceChildren(new Option('Add…', ''));
    for (const type of Object.keys(BINDS[this.layout.mode])) this.adder.append(new Option(TYPE_NAMES[type], type));
    this.closePanel();
    this.savePanel.hidden = true;
    document.body.toggleAttribute('data-editing', true);
    this.redraw();
  }

  close() {
    this.closePanel();
    this.savePanel.hidden = true;
    document.body.toggleAttribute('data-editing', false);
    this.canvas.replaceChildren();
    this.closed();
  }

  redraw() {
    this.canvas.replaceChildren(...this.layout.controls.map((control) => this.drawn(control)));
    this.adder.disabled = this.layout.controls.length >= MAX_CONTROLS;
  }

  drawn(control) {
    const box = element('div', 'edit-control');
    if (control === this.selected) box.classList.add('selected');
    place(box, control);
    box.append(element('span', 'label', control.label), element('small', null, TYPE_NAMES[control.type] ?? control.type));
    const handle = element('span', 'handle');
    handle.setAttribute('aria-label', 'Resize');
    box.append(handle);
    box.addEventListener('pointerdown', (event) => this.grab(event, box, control, event.target === handle));
    return box;
  }

  // One finger moves or resizes a control; a tap without moving opens its settings.
  grab(event, box, control, resizing) {
    event.preventDefault();
    box.setPointerCapture(event.pointerId);
    const area = this.canvas.getBoundingClientRect();
    const start = { ...control, px: event.clientX, py: event.clientY };
    let travelled = 0;
    const move = (moved) => {
      const dx = (moved.clientX - start.px) / area.width;
      const dy = (moved.clientY - start.py) / area.height;
      travelled = Math.max(travelled, Math.hypot(moved.clientX - start.px, moved.clientY - start.py));
      if (resizing) {
        control.w = tidy(clamp(start.w + dx, MIN_SIZE, 1 - control.x));
        control.h = tidy(clamp(start.h + dy, MIN_SIZE, 1 - control.y));
      } else {
        control.x = tidy(clamp(start.x + dx, 0, 1 - control.w));
        control.y = tidy(clamp(start.y + dy, 0, 1 - control.h));
      }
      place(box, control);
    };
    const end = () => {
      box.removeEventListener('pointermove', move);
      box.removeEventListener('pointerup', end);
      box.removeEventListener('pointercancel', end);
      if (!resizing && travelled < TAP_SLOP_PX) this.openPanel(control);
    };
    box.addEventListener('pointermove', move);
    box.addEventListener('pointerup', end);
    box.addEventListener('pointercancel', end);
  }

  add(type) {
    const { w, h, [this.layout.mode]: bind } = NEW_CONTROLS[type];
    const control = { type, x: tidy((1 - w) / 2), y: tidy((1 - h) / 2), w, h };
    if (bind) control.bind = structuredClone(bind);
    control.label = this.defaultLabel(control);
    this.layout.controls.push(control);
    this.openPanel(control);
  }

  defaultLabel({ type, bind }) {
    return typeof bind === 'string' && bind && type !== 'stick' && type !== 'motion' ? bind : TYPE_NAMES[type];
  }

  openPanel(control) {
    this.selected = control;
    this.panel.querySelector('h2').textContent = TYPE_NAMES[control.type] ?? control.type;
    this.panel.querySelector('input').value = control.label ?? '';
    const binds = this.panel.querySelector('.binds');
    binds.replaceChildren();
    const groups = BINDS[this.layout.mode][control.type];
    if (groups && control.type === 'dpad') {
      const keys = dpadKeys(control.bind);
      control.bind = keys;
      DPAD_DIRECTIONS.forEach((direction, i) => {
        const row = element('label', null, direction);
        row.append(bindSelect(groups, keys[i], (value) => { keys[i] = value; }));
        binds.append(row);
      });
    } else if (groups) {
      const row = element('label', null, 'Sends');
      row.append(bindSelect(groups, control.bind, (value) => {
        // A label that only repeated the old binding follows the new one.
        if (control.label === this.defaultLabel(control)) control.label = '';
        control.bind = value;
        control.label ||= this.defaultLabel(control);
        this.panel.querySelector('input').value = control.label;
        this.redraw();
      }));
      binds.append(row);
    }
    // The panel keeps clear of the control it is about.
    this.panel.classList.toggle('left', control.x + control.w / 2 > 0.5);
    this.panel.hidden = false;
    this.redraw();
  }

  closePanel() {
    this.selected = null;
    this.panel.hidden = true;
    if (this.layout) this.redraw();
  }

  deleteSelected() {
    this.layout.controls = this.layout.controls.filter((control) => control !== this.selected);
    this.closePanel();
  }

  openSaveAs(message) {
    this.closePanel();
    const title = this.savePanel.querySelector('input');
    title.value = '';
    this.savePanel.querySelector('.message').textContent = message;
    this.savePanel.hidden = false;
    this.showDerivedName();
    title.focus();
  }

  showDerivedName() {
    const name = nameFor(this.savePanel.querySelector('input').value);
    this.savePanel.querySelector('.name').textContent = name ? `Saved as “${name}”` : 'Give it a title with letters or digits';
    this.savePanel.querySelector('button[type=submit]').disabled = !name;
  }

  async store(name, title) {
    const message = (text) => {
      if (this.savePanel.hidden) this.openSaveAs(text);
      else this.savePanel.querySelector('.message').textContent = text;
    };
    if (!name) return this.openSaveAs('');
    const layout = { ...this.layout, title };
    const headers = { 'Content-Type': 'application/json' };
    const token = this.token();
    if (token) headers.Authorization = `Bearer ${token}`;
    let response;
    try {
      response = await fetch(`/layouts/${name}`, { method: 'PUT', headers, body: JSON.stringify(layout) });
    } catch {
      return message('The computer did not answer. Try again.');
    }
    if (response.ok) {
      this.savePanel.hidden = true;
      this.close();
      this.saved(name);
      return;
    }
    if (response.status === 409) return message(`“${name}” is built in and cannot be changed. Save it under a new title.`);
    const reason = (await response.text().catch(() => '')).trim().split('\n')[0];
    message(reason || `The computer refused (${response.status}).`);
  }
}
