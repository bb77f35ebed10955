// A windowed list: only the rows in view (and a few around them) are in the page, so a folder
// of thousands of entries stays quick. Rows are of one height; the list is a listbox whose
// options are reached with the arrow keys, Home, End and Page keys; Enter opens the active row
// and Space ticks its box.
import { h } from './dom.js';

const ROW = 34;
const SPARE = 8;

export class WindowedList {
  // label: the list's accessible name; render(item, index) -> the content of a row;
  // onActivate(item) when a row is chosen by Enter or a double click.
  constructor({ label, render, onActivate, height = 340 }) {
    this.items = [];
    this.render = render;
    this.onActivate = onActivate;
    this.active = 0;
    this.inner = h('div', { class: 'wl-inner' });
    this.node = h('div', {
      class: 'wl', role: 'listbox', tabindex: '0', 'aria-label': label,
      onscroll: () => this.draw(), onkeydown: (e) => this.key(e),
    }, this.inner);
    this.height = height;
    this.node.style.height = `${height}px`;
  }

  set(items) {
    this.items = items;
    this.active = 0;
    this.node.scrollTop = 0;
    this.inner.style.height = `${items.length * ROW}px`;
    // As tall as its rows, between three rows and the height given.
    this.node.style.height = `${Math.min(this.height, Math.max(3, items.length) * ROW + 2)}px`;
    this.draw();
  }

  draw() {
    const top = this.node.scrollTop;
    const height = this.node.clientHeight || 340;
    const first = Math.max(0, Math.floor(top / ROW) - SPARE);
    const last = Math.min(this.items.length, Math.ceil((top + height) / ROW) + SPARE);
    const rows = [];
    for (let i = first; i < last; i += 1) {
      const row = h('div', {
        class: 'wl-row' + (i === this.active ? ' active' : ''), role: 'option',
        id: `${this.idBase()}-${i}`, 'aria-selected': i === this.active ? 'true' : 'false',
        'aria-posinset': i + 1, 'aria-setsize': this.items.length,
        ondblclick: () => this.onActivate && this.onActivate(this.items[i]),
        onclick: () => { this.active = i; this.mark(); },
      }, this.render(this.items[i], i));
      row.style.top = `${i * ROW}px`;
      rows.push(row);
    }
    this.inner.replaceChildren(...rows);
    this.mark();
  }

  idBase() {
    if (!this.base) this.base = `wl${Math.random().toString(36).slice(2, 8)}`;
    return this.base;
  }

  mark() {
    for (const row of this.inner.children) {
      const on = row.id === `${this.idBase()}-${this.active}`;
      row.classList.toggle('active', on);
      row.setAttribute('aria-selected', on ? 'true' : 'false');
    }
    if (this.items.length) this.node.setAttribute('aria-activedescendant', `${this.idBase()}-${this.active}`);
    else this.node.removeAttribute('aria-activedescendant');
  }

  key(e) {
    if (e.target !== this.node) return;
    const page = Math.max(1, Math.floor((this.node.clientHeight || 340) / ROW) - 1);
    const moves = { ArrowDown: 1, ArrowUp: -1, PageDown: page, PageUp: -page };
    if (e.key in moves || e.key === 'Home' || e.key === 'End') {
      e.preventDefault();
      if (e.key === 'Home') this.active = 0;
      else if (e.key === 'End') this.active = this.items.length - 1;
      else this.active = Math.min(this.items.length - 1, Math.max(0, this.active + moves[e.key]));
      const y = this.active * ROW;
      if (y < this.node.scrollTop) this.node.scrollTop = y;
      else if (y + ROW > this.node.scrollTop + this.node.clientHeight) {
        this.node.scrollTop = y + ROW - this.node.clientHeight;
      }
      this.draw();
    } else if (e.key === ' ' && this.items.length) {
      // Space ticks the active row's box, where it has one.
      const row = document.getElementById(`${this.idBase()}-${this.active}`);
      const box = row && row.querySelector('input[type=checkbox]');
      if (box) {
        e.preventDefault();
        box.click();
      }
    } else if (e.key === 'Enter' && this.items.length && this.onActivate) {
      e.preventDefault();
      this.onActivate(this.items[this.active]);
    }
  }
}
