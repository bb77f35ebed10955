// The key view: the state of the user's encryption key, its export to a file and its import.
import { call } from './agent.js';
import { h, fill, field } from './dom.js';
import { t } from './texts.js';

export class KeysView {
  constructor(app) {
    this.app = app;
    this.state = h('p', { class: 'key-state', role: 'status' });
    this.exportPath = h('input', { type: 'text', spellcheck: 'false', placeholder: 'C:/Users/me/tovel.key' });
    this.overwrite = h('input', { type: 'checkbox', id: 'key-overwrite' });
    this.importPath = h('input', { type: 'text', spellcheck: 'false' });
    this.note = h('p', { class: 'status', role: 'status' });
    this.node = h('section', { class: 'view', 'aria-labelledby': 'keys-title' },
      h('div', { class: 'view-head' }, h('h2', { id: 'keys-title', text: t('keys.title') })),
      h('div', { class: 'card' }, h('h3', { text: t('keys.state') }), this.state),
      h('form', { class: 'card', onsubmit: (e) => { e.preventDefault(); this.send('export'); } },
        field(t('keys.exportPath'), this.exportPath)[0],
        h('div', { class: 'field check' }, this.overwrite, h('label', { for: 'key-overwrite', text: t('keys.overwrite') })),
        h('div', { class: 'actions' }, h('button', { type: 'submit', class: 'primary', text: t('keys.export') }))),
      h('form', { class: 'card', onsubmit: (e) => { e.preventDefault(); this.send('import'); } },
        field(t('keys.importPath'), this.importPath)[0],
        h('div', { class: 'actions' }, h('button', { type: 'submit', text: t('keys.import') }))),
      this.note);
  }

  async load() {
    try {
      const reply = await call('GET', '/key/state');
      this.state.textContent = t(`key.${reply.state}`);
      this.state.className = `key-state ${reply.state}`;
    } catch (e) {
      this.state.textContent = e.message;
    }
  }

  async send(word) {
    const input = word === 'export' ? this.exportPath : this.importPath;
    const path = input.value.trim().replace(/\\/g, '/');
    fill(this.note);
    if (!path) {
      this.note.textContent = t('keys.needPath');
      return;
    }
    const body = word === 'export' ? { path, overwriteexit: this.overwrite.checked } : { path };
    try {
      await call('POST', `/key/${word}`, { json: body, retry: false });
      this.note.textContent = word === 'export' ? t('keys.exported', { path }) : t('keys.imported');
      await this.load();
    } catch (e) {
      this.note.textContent = e.status === 409 ? t('keys.exists') : e.message;
    }
  }
}
