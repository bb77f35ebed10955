// Small helpers to build the pages' elements without markup strings.

// An element: h('button', {class: 'x', onclick: fn, 'aria-label': 'Start'}, 'Start', child...).
// Keys that begin with "on" add listeners, "text" sets the text, "class" the class list, and
// every other key is set as an attribute (false and null leave it out, true sets it empty).
export function h(tag, props, ...children) {
  const node = document.createElement(tag);
  for (const [key, value] of Object.entries(props || {})) {
    if (value === false || value === null || value === undefined) continue;
    if (key.startsWith('on') && typeof value === 'function') {
      node.addEventListener(key.slice(2), value);
    } else if (key === 'text') {
      node.textContent = value;
    } else if (key === 'class') {
      node.className = value;
    } else if (key === 'value' || key === 'checked' || key === 'disabled' || key === 'hidden') {
      node[key] = value;
    } else {
      node.setAttribute(key, value === true ? '' : String(value));
    }
  }
  append(node, children);
  return node;
}

function append(node, children) {
  for (const child of children) {
    if (child === null || child === undefined || child === false) continue;
    if (Array.isArray(child)) append(node, child);
    else node.append(child instanceof Node ? child : document.createTextNode(String(child)));
  }
}

// Replaces every child of node.
export function fill(node, ...children) {
  node.replaceChildren();
  append(node, children);
  return node;
}

let counter = 0;
// A fresh id for label and control pairs.
export function uid(prefix) {
  counter += 1;
  return `${prefix}-${counter}`;
}

// A labelled control: returns [wrapper, control].
export function field(label, control, hint) {
  if (!control.id) control.id = uid('f');
  const wrap = h('div', { class: 'field' }, h('label', { for: control.id, text: label }), control);
  if (hint) {
    const note = h('p', { class: 'hint', id: uid('hint'), text: hint });
    control.setAttribute('aria-describedby', note.id);
    wrap.append(note);
  }
  return [wrap, control];
}

// Sizes and times as a person reads them.
export function bytes(count) {
  if (count === undefined || count === null || Number.isNaN(Number(count))) return '';
  let n = Number(count);
  const units = ['B', 'KB', 'MB', 'GB', 'TB'];
  let i = 0;
  while (n >= 1024 && i < units.length - 1) {
    n /= 1024;
    i += 1;
  }
  return (i === 0 ? String(n) : n.toFixed(n < 10 ? 1 : 0)) + ' ' + units[i];
}

export function duration(seconds) {
  const s = Math.max(0, Math.round(Number(seconds) || 0));
  const hours = Math.floor(s / 3600);
  const minutes = Math.floor((s % 3600) / 60);
  const rest = s % 60;
  if (hours) return `${hours} h ${minutes} min`;
  if (minutes) return `${minutes} min ${rest} s`;
  return `${rest} s`;
}

// Fills nav with the way to path ("C:/a/b/"): a button for the top and one for each folder on
// the way; go(path) opens the one chosen.
export function crumbs(nav, path, topLabel, go) {
  const parts = path ? path.replace(/\/$/, '').split('/') : [];
  fill(nav, h('button', { type: 'button', class: 'link', text: topLabel, onclick: () => go('') }),
    parts.map((part, i) => [' / ', h('button', { type: 'button', class: 'link', text: part,
      onclick: () => go(`${parts.slice(0, i + 1).join('/')}/`) })]));
}
