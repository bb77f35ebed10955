// The rest of what the agent offers: the account, the machines with backups, offline jobs,
// the exclusion list, the update launch and the links to the server settings and the service.
import { call, pathForUri } from './agent.js';
import { h, fill, field } from './dom.js';
import { t, withLocale } from './texts.js';

function pairs(value) {
  if (value && typeof value === 'object' && !Array.isArray(value)) {
    return h('dl', { class: 'pairs' }, Object.entries(value).map(([k, v]) => [h('dt', { text: k }), h('dd', { text: typeof v === 'object' ? JSON.stringify(v) : String(v) })]));
  }
  if (Array.isArray(value)) {
    return h('ul', { class: 'plain' }, value.map((item) => h('li', { text: typeof item === 'object' ? Object.values(item).join(' — ') : String(item) })));
  }
  return h('p', { text: value === null || value === undefined ? '' : String(value) });
}

export class MoreView {
  constructor(app) {
    this.app = app;
    const card = (title, ...content) => h('section', { class: 'card', 'aria-label': title }, h('h3', { text: title }), ...content);
    this.user = h('div', {});
    this.machines = h('div', {});
    this.offline = h('div', {});
    this.exclusions = h('div', {});
    this.note = h('p', { class: 'status', role: 'status' });
    const application = h('textarea', { rows: '3', spellcheck: 'false' });
    const offlineId = h('textarea', { rows: '2', spellcheck: 'false' });
    const installer = h('input', { type: 'text', spellcheck: 'false' });
    const run = (fn) => async () => {
      fill(this.note);
      try {
        await fn();
      } catch (e) {
        this.note.textContent = e.message;
      }
    };
    this.node = h('section', { class: 'view', 'aria-labelledby': 'more-title' },
      h('div', { class: 'view-head' }, h('h2', { id: 'more-title', text: t('nav.more') }),
        h('div', { class: 'row' },
          h('a', { class: 'button', href: withLocale('serverSettings.html'), text: t('more.settings') }),
          h('a', { class: 'button', href: '/webui', target: '_blank', rel: 'noopener', text: t('more.webui') }))),
      this.note,
      h('div', { class: 'grid' },
        card(t('more.user'), this.user),
        card(t('more.machines'), this.machines),
        card(t('more.exclusions'), this.exclusions),
        card(t('more.offline'), this.offline,
          field(t('more.offlineApply'), application)[0],
          h('div', { class: 'row' }, h('button', { type: 'button', text: t('more.apply'), onclick: run(async () => {
            this.note.textContent = JSON.stringify(await call('POST', '/offlinejobs', { text: application.value, retry: false }));
            await this.loadOffline();
          }) })),
          field(t('more.offlineId'), offlineId)[0],
          h('div', { class: 'row' },
            h('button', { type: 'button', text: t('more.info'), onclick: run(async () => {
              fill(this.note, pairs(await call('POST', '/offlinejobs/info', { text: offlineId.value, retry: false })));
            }) }),
            h('button', { type: 'button', text: t('more.cancelOffline'), onclick: run(async () => {
              await call('POST', '/offlinejobs/delete', { text: offlineId.value, retry: false });
              await this.loadOffline();
            }) }))),
        card(t('more.update'),
          field(t('more.updatePath'), installer)[0],
          h('div', { class: 'row' }, h('button', { type: 'button', text: t('more.startUpdate'), onclick: run(async () => {
            await call('GET', `/update/${pathForUri(installer.value.trim().replace(/\\/g, '/'))}`, { retry: false });
            this.note.textContent = t('more.started');
          }) })))));
  }

  async load() {
    const show = async (target, fn) => {
      try {
        fill(target, await fn());
      } catch (e) {
        fill(target, h('p', { class: 'error', text: e.message }));
      }
    };
    await Promise.all([
      show(this.user, async () => pairs(await call('GET', '/userinfo'))),
      show(this.machines, async () => {
        const local = await call('GET', '/machines/localmachine');
        const list = await call('GET', '/machines');
        return [h('p', { text: t('more.local', { name: local.localmachine }) }), pairs(list)];
      }),
      this.loadOffline(),
      this.loadExclusions(),
    ]);
  }

  async loadOffline() {
    try {
      fill(this.offline, pairs(await call('GET', '/offlinejobs')));
    } catch (e) {
      fill(this.offline, h('p', { class: 'error', text: e.message }));
    }
  }

  async loadExclusions() {
    try {
      const list = (await call('GET', '/exclusion')) || [];
      fill(this.exclusions, list.length
        ? h('ul', { class: 'plain' }, list.map((path) => h('li', {}, h('span', { class: 'path', text: path }),
          h('button', { type: 'button', class: 'small', 'aria-label': t('more.removeExclusion', { path }), text: '✕',
            onclick: async () => {
              try {
                await call('POST', '/exclusion/remove', { json: [path], retry: false });
                await this.loadExclusions();
              } catch (e) {
                this.note.textContent = e.message;
              }
            } }))))
        : h('p', { class: 'muted', text: t('more.noExclusions') }));
    } catch (e) {
      fill(this.exclusions, h('p', { class: 'error', text: e.message }));
    }
  }
}
