// The runs view: a job's runs with their state, history and errors; a run's tree browsed
// folder by folder, items chosen and restored to their place or into another folder, with the
// rule for files that exist, and the restore followed to its end.
import { call, onJobEvent, pathForUri } from './agent.js';
import { h, fill, field, crumbs, bytes } from './dom.js';
import { chooseFolder } from './folders.js';
import { WindowedList } from './list.js';
import { t } from './texts.js';

const ENDED = new Set(['completed', 'cancelled', 'error']);

export class RunsView {
  constructor(app) {
    this.app = app;
    this.jobId = '';
    this.run = null;
    this.path = '';
    this.chosen = new Set();
    this.restores = new Map();
    this.seen = new Map();
    this.jobSelect = h('select', { onchange: () => this.pick(this.jobSelect.value) });
    this.runsBody = h('tbody');
    this.runsTable = h('table', { class: 'runs' },
      h('thead', {}, h('tr', {}, ['runs.started', 'runs.ended', 'runs.state', 'runs.files', 'runs.size', 'jobs.actions']
        .map((key) => h('th', { scope: 'col', text: t(key) })))), this.runsBody);
    this.runsNote = h('p', { class: 'muted' });
    this.details = h('div', { class: 'details' });
    this.browse = h('section', { class: 'card', hidden: true, 'aria-labelledby': 'browse-title' });
    this.node = h('section', { class: 'view', 'aria-labelledby': 'runs-title' },
      h('div', { class: 'view-head' }, h('h2', { id: 'runs-title', text: t('runs.title') }),
        h('div', { class: 'row' }, field(t('runs.job'), this.jobSelect)[0])),
      this.runsNote, this.runsTable, this.details, this.browse);
    onJobEvent((event) => this.event(event));
  }

  setJobs(jobs) {
    const backups = jobs.filter((job) => job.type !== 'restore');
    fill(this.jobSelect, h('option', { value: '', text: t('runs.pick') }),
      backups.map((job) => h('option', { value: job.id, text: job.name, selected: job.id === this.jobId ? 'selected' : false })));
  }

  async pick(jobId) {
    this.jobId = jobId;
    this.jobSelect.value = jobId;
    this.browse.hidden = true;
    fill(this.details);
    fill(this.runsBody);
    this.runsNote.textContent = '';
    if (!jobId) return;
    try {
      const runs = (await call('GET', `/jobs/${encodeURIComponent(jobId)}/instanceids`)) || [];
      this.runsNote.textContent = runs.length ? '' : t('runs.none');
      fill(this.runsBody, runs.slice().reverse().map((run) => this.runRow(run)));
    } catch (e) {
      this.app.notify(e.message, true);
    }
  }

  runRow(run) {
    const label = run.starttime || run.id;
    const action = (key, fn) => h('button', { type: 'button', class: 'small', 'aria-label': `${t(key)} ${label}`, text: t(key), onclick: fn });
    return h('tr', {},
      h('th', { scope: 'row', text: run.starttime || '' }),
      h('td', { text: run.endtime || '' }),
      h('td', {}, h('span', { class: `badge ${run.state}`, text: t(`state.${run.state}`) })),
      h('td', { text: run.totalfiles !== undefined ? String(run.totalfiles) : '' }),
      h('td', { text: bytes(run.totalsize) }),
      h('td', {}, h('div', { class: 'row tight' },
        action('runs.browse', () => this.open(run)),
        action('runs.history', () => this.show(run, 'history')),
        action('runs.errors', () => this.show(run, 'errors')),
        action('runs.delete', () => this.remove(run)))));
  }

  async show(run, kind) {
    try {
      const value = await call('GET', `/jobinstances/${encodeURIComponent(run.id)}/${kind}`);
      const items = Array.isArray(value) ? value : value && typeof value === 'object' ? Object.entries(value).map(([k, v]) => ({ [k]: v })) : [];
      fill(this.details, h('h3', { text: `${t(`runs.${kind}`)} — ${run.starttime || run.id}` }),
        items.length
          ? h('ul', { class: 'plain' }, items.map((item) => h('li', { text: Object.entries(item).map(([k, v]) => `${k}: ${typeof v === 'object' ? JSON.stringify(v) : v}`).join(', ') })))
          : h('p', { class: 'muted', text: t('runs.noDetails') }));
    } catch (e) {
      this.app.notify(e.message, true);
    }
  }

  async remove(run) {
    if (!window.confirm(t('runs.deleteConfirm'))) return;
    try {
      await call('DELETE', `/jobinstances/${encodeURIComponent(run.id)}`);
      await this.pick(this.jobId);
    } catch (e) {
      this.app.notify(e.message, true);
    }
  }

  // The run's tree, from its top.
  open(run) {
    this.run = run;
    this.chosen.clear();
    this.crumbs = h('nav', { class: 'crumbs', 'aria-label': t('runs.path') });
    this.count = h('p', { class: 'muted', role: 'status' });
    this.list = new WindowedList({
      label: t('runs.path'),
      render: (entry) => this.entryRow(entry),
      onActivate: (entry) => { if (entry.folder) this.go(entry.path); },
    });
    this.restoreNote = h('p', { role: 'status', class: 'status' });
    this.target = h('input', { type: 'text', spellcheck: 'false' });
    this.where = 'original';
    const radio = (value, label) => {
      const input = h('input', { type: 'radio', name: 'where', value, checked: value === 'original',
        onchange: () => { this.where = value; targetRow.hidden = value !== 'other'; } });
      return h('label', { class: 'check' }, input, label);
    };
    const targetRow = h('div', { class: 'row end', hidden: true },
      field(t('runs.target'), this.target)[0],
      h('button', { type: 'button', text: t('runs.chooseTarget'), onclick: async () => {
        const chosen = await chooseFolder(t('runs.chooseTarget'), this.target.value);
        if (chosen) this.target.value = chosen;
      } }));
    this.existing = h('select', {}, ['skip', 'overwrite', 'rename'].map((k) => h('option', { value: k, text: t(`existing.${k}`) })));
    fill(this.browse,
      h('h3', { id: 'browse-title', text: t('runs.browseTitle', { time: run.starttime || run.id }) }),
      this.crumbs, this.list.node, this.count,
      h('fieldset', { class: 'restore' }, h('legend', { text: t('runs.restoreTitle') }),
        h('div', { role: 'radiogroup', 'aria-label': t('runs.where'), class: 'row' }, radio('original', t('runs.original')), radio('other', t('runs.other'))),
        targetRow,
        field(t('runs.existing'), this.existing)[0],
        h('div', { class: 'actions' }, h('button', { type: 'button', class: 'primary', text: t('runs.restore'), onclick: () => this.restore() })),
        this.restoreNote));
    this.browse.hidden = false;
    this.go('');
  }

  entryRow(entry) {
    const box = h('input', { type: 'checkbox', 'aria-label': t('runs.select', { name: entry.name }), checked: this.chosen.has(entry.path),
      onchange: () => {
        if (box.checked) this.chosen.add(entry.path);
        else this.chosen.delete(entry.path);
        this.count.textContent = t('runs.selected', { count: this.chosen.size });
      } });
    return [box,
      entry.folder
        ? h('button', { type: 'button', class: 'link', 'aria-label': t('runs.open', { name: entry.name }), onclick: () => this.go(entry.path) },
          h('span', { class: 'icon folder', 'aria-hidden': 'true' }), entry.name)
        : h('span', {}, h('span', { class: 'icon file', 'aria-hidden': 'true' }), entry.name),
      entry.size !== undefined ? h('span', { class: 'muted right', text: bytes(entry.size) }) : null,
      entry.mtime ? h('span', { class: 'muted', text: entry.mtime }) : null];
  }

  async go(path) {
    this.path = path;
    crumbs(this.crumbs, path, t('runs.top'), (to) => this.go(to));
    try {
      const nodes = (await call('GET', `/jobinstances/${encodeURIComponent(this.run.id)}/source/${pathForUri(path)}`)) || [];
      const entries = nodes.map((node) => {
        if (node.vol !== undefined) {
          const name = node.vol.replace(/\/$/, '');
          return { name, path: `${name}/`, folder: true };
        }
        if (node.dir !== undefined) return { name: node.dir, path: `${path}${node.dir}/`, folder: true };
        return { name: node.file, path: `${path}${node.file}`, folder: false, size: node.size, mtime: node.mtime };
      });
      this.list.set(entries);
      this.count.textContent = t('runs.selected', { count: this.chosen.size });
    } catch (e) {
      this.app.notify(e.message, true);
    }
  }

  async restore() {
    const source = [...this.chosen];
    if (!source.length) {
      this.restoreNote.textContent = t('runs.needSelection');
      return;
    }
    const body = { type: 'restore', name: `Restore ${this.run.starttime || this.run.id}`, instanceId: this.run.id,
      source, existing: this.existing.value };
    if (this.where === 'other') {
      const target = this.target.value.trim().replace(/\\/g, '/');
      if (!target) {
        this.restoreNote.textContent = t('runs.needTarget');
        return;
      }
      body.location = target;
    }
    try {
      const made = await call('POST', '/jobs', { json: body, retry: false });
      this.restores.set(made.id, this.restoreNote);
      this.restoreNote.textContent = t('runs.restoring', { state: t(`state.${this.seen.get(made.id) || 'starting'}`) });
      if (ENDED.has(this.seen.get(made.id))) this.ended(made.id, this.seen.get(made.id));
      else if (this.seen.get(made.id) === 'idle') this.lastRun(made.id);
    } catch (e) {
      this.restoreNote.textContent = e.message;
    }
  }

  event(event) {
    if (!event.id || !event.state) return;
    this.seen.set(event.id, event.state);
    if (this.seen.size > 500) this.seen.delete(this.seen.keys().next().value);
    const note = this.restores.get(event.id);
    if (!note) return;
    if (ENDED.has(event.state)) this.ended(event.id, event.state, event.reason);
    else if (event.state === 'idle') this.lastRun(event.id);
    else note.textContent = t('runs.restoring', { state: t(`state.${event.state}`) });
  }

  // A restore that went back to idle before its end was seen: its last run tells how it ended.
  async lastRun(id) {
    try {
      const last = await call('GET', `/jobs/${encodeURIComponent(id)}/lastruntime`);
      if (last && last.state) this.ended(id, last.state);
    } catch (e) {
      // the job may be gone already
    }
  }

  ended(id, state, reason) {
    const note = this.restores.get(id);
    if (!note) return;
    this.restores.delete(id);
    note.textContent = t('runs.restored', { state: t(`state.${state}`).toLowerCase() }) + (reason ? ` ${reason}` : '');
    note.className = `status ${state}`;
  }
}
