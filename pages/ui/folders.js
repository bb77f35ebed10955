// The folder browser: a dialog over "/filesystem" that walks this computer's drives and folders
// and gives back the folder chosen (a path such as "C:/Data/Docs"), or null.
import { call, pathForUri } from './agent.js';
import { h, fill } from './dom.js';
import { WindowedList } from './list.js';
import { t } from './texts.js';

const collator = new Intl.Collator(undefined, { numeric: true, sensitivity: 'base' });

function parentOf(path) {
  const cut = path.lastIndexOf('/');
  if (cut <= 2) return path.length > 3 ? path.slice(0, 3) : '';
  return path.slice(0, cut);
}

function join(folder, name) {
  return folder.endsWith('/') ? folder + name : `${folder}/${name}`;
}

// Opens the dialog at start (a folder path, or '' for the drives); resolves with the choice.
export function chooseFolder(title, start = '') {
  return new Promise((resolve) => {
    let current = '';
    const status = h('p', { class: 'status', role: 'status' });
    const error = h('p', { class: 'error', role: 'alert' });
    const location = h('input', { type: 'text', 'aria-label': t('browser.location'), spellcheck: 'false' });
    const list = new WindowedList({
      label: t('browser.entries'),
      render: (entry) => h('button', {
        type: 'button', class: 'link', 'aria-label': entry.drive ? entry.name : `Open ${entry.name}`,
        onclick: () => open(entry.path),
      }, h('span', { class: entry.drive ? 'icon drive' : 'icon folder', 'aria-hidden': 'true' }), entry.name,
      entry.note ? h('span', { class: 'muted', text: ` ${entry.note}` }) : null),
      onActivate: (entry) => open(entry.path),
    });
    const newName = h('input', { type: 'text', 'aria-label': t('browser.newFolder') });
    const choose = h('button', { type: 'button', class: 'primary', text: t('browser.choose') });
    const up = h('button', { type: 'button', text: t('browser.up') });
    const dialog = h('dialog', { class: 'browser', 'aria-label': title },
      h('h2', { text: title }),
      h('div', { class: 'row' },
        up,
        h('form', { class: 'grow', onsubmit: (e) => { e.preventDefault(); open(location.value.trim().replace(/\\/g, '/')); } },
          location)),
      list.node, status, error,
      h('form', { class: 'row', onsubmit: (e) => { e.preventDefault(); create(); } },
        newName, h('button', { type: 'submit', text: t('browser.create') })),
      h('div', { class: 'actions' },
        h('button', { type: 'button', text: t('browser.cancel'), onclick: () => finish(null) }),
        choose));
    up.addEventListener('click', () => open(parentOf(current)));
    choose.addEventListener('click', () => { if (current) finish(current); });

    async function open(path) {
      fill(error);
      status.textContent = t('browser.loading');
      try {
        let entries;
        if (!path) {
          const drives = await call('GET', '/filesystem/');
          entries = (drives || []).map((d) => {
            const name = d.vol.toUpperCase();
            return { name, path: `${name}/`, drive: true, note: d.label || '' };
          });
        } else {
          const listing = await call('GET', `/filesystem/${pathForUri(path)}`);
          entries = (listing || []).filter((e) => e.dir !== undefined)
            .map((e) => ({ name: e.dir, path: join(path, e.dir) }))
            .sort((a, b) => collator.compare(a.name, b.name));
        }
        current = path.replace(/\/+$/, '');
        location.value = current;
        list.set(entries);
        status.textContent = entries.length ? t('browser.count', { count: entries.length }) : t('browser.empty');
        choose.disabled = !current;
        up.disabled = !current;
      } catch (e) {
        status.textContent = '';
        fill(error, e.message);
      }
    }

    async function create() {
      const name = newName.value.trim();
      if (!name || !current) return;
      try {
        await call('POST', '/filesystem', { json: { path: join(current, name) } });
        newName.value = '';
        await open(join(current, name));
      } catch (e) {
        fill(error, e.message);
      }
    }

    function finish(value) {
      dialog.close();
      dialog.remove();
      resolve(value);
    }
    dialog.addEventListener('cancel', (e) => { e.preventDefault(); finish(null); });
    document.body.append(dialog);
    dialog.showModal();
    open(start);
    list.node.focus();
  });
}
