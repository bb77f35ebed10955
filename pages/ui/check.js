// The consistent check: compares a job's last backup with the disk, shows the differences
// folder by folder, and acts on the chosen ones (exclude, delete on the server, restore, back up).
import { call } from './agent.js';
import { h, fill, field, crumbs } from './dom.js';
import { WindowedList } from './list.js';
import { t } from './texts.js';

export class CheckView {
  constructor(app) {
    this.app = app;
    this.checkId = '';
    this.chosen = new Map();
    this.jobSelect = h('select', {});
    this.status = h('p', { class: 'status', role: 'status' });
    this.crumbs = h('nav', { class: 'crumbs', 'aria-label': t('check.path') });
    this.list = new WindowedList({
      label: t('check.path'),
      render: (entry) => this.entryRow(entry),
      onActivate: (entry) => { if (entry.folder) this.go(entry.path); },
    });
    const act = (key, word) => h('button', { type: 'button', text: t(key), onclick: () => this.act(word, t(key)) });
    this.result = h('div', { class: 'card', hidden: true },
      this.crumbs, this.list.node,
      h('div', { class: 'row' },
        act('check.exclude', 'exclude'), act('check.deleteOnServer', 'deletefiles'),
        act('check.restore', 'restore'), act('check.backup', 'backup'),
        h('button', { type: 'button', text: t('check.discard'), onclick: () => this.discard() })));
    this.node = h('section', { class: 'view', 'aria-labelledby': 'check-title' },
      h('div', { class: 'view-head' }, h('h2', { id: 'check-title', text: t('check.title') })),
      h('p', { class: 'muted', text: t('check.intro') }),
      h('form', { class: 'row end', onsubmit: (e) => { e.preventDefault(); this.submit(); } },
        field(t('runs.job'), this.jobSelect)[0],
        h('button', { type: 'submit', class: 'primary', text: t('check.run') })),
      this.status, this.result);
  }

  setJobs(jobs) {
    const chosen = this.jobSelect.value;
    fill(this.jobSelect, h('option', { value: '', text: t('runs.pick') }),
      jobs.filter((job) => job.type !== 'restore').map((job) => h('option', { value: job.id, text: job.name, selected: job.id === chosen ? 'selected' : false })));
  }

  async submit() {
    const jobId = this.jobSelect.value;
    if (!jobId) return;
    this.status.textContent = t('check.running');
    this.result.hidden = true;
    try {
      const runs = (await call('GET', `/jobs/${encodeURIComponent(jobId)}/instanceids`)) || [];
      const done = runs.filter((run) => run.state === 'completed');
      const last = (done.length ? done : runs)[(done.length ? done : runs).length - 1];
      if (!last) {
        this.status.textContent = t('check.needRun');
        return;
      }
      const made = await call('POST', '/consistentcheck/submit', { json: { jobInstanceId: last.id }, retry: false });
      this.checkId = made.id;
      this.chosen.clear();
      this.status.textContent = '';
      this.result.hidden = false;
      await this.go('');
    } catch (e) {
      this.status.textContent = e.message;
    }
  }

  async go(path) {
    this.path = path;
    crumbs(this.crumbs, path, t('runs.top'), (to) => this.go(to));
    try {
      const rows = (await call('POST', '/consistentcheck/query', { json: { consistentcheck_id: this.checkId, path }, retry: true })) || [];
      const entries = rows.map((row) => {
        const folder = row.path.endsWith('/');
        return { name: row.path.replace(/\/$/, ''), path: path + row.path, folder, state: row.state };
      });
      this.list.set(entries);
      if (!entries.length && !path) this.status.textContent = t('check.none');
    } catch (e) {
      this.status.textContent = e.message;
    }
  }

  entryRow(entry) {
    const box = h('input', { type: 'checkbox', 'aria-label': t('runs.select', { name: entry.name }), checked: this.chosen.has(entry.path),
      onchange: () => { if (box.checked) this.chosen.set(entry.path, entry); else this.chosen.delete(entry.path); } });
    return [box,
      entry.folder
        ? h('button', { type: 'button', class: 'link', 'aria-label': t('runs.open', { name: entry.name }), onclick: () => this.go(entry.path) },
          h('span', { class: 'icon folder', 'aria-hidden': 'true' }), entry.name)
        : h('span', {}, h('span', { class: 'icon file', 'aria-hidden': 'true' }), entry.name),
      entry.state ? h('span', { class: `badge ${entry.state}`, text: t(`check.${entry.state}`) }) : null];
  }

  async act(word, label) {
    const chosen = [...this.chosen.values()];
    if (!chosen.length) {
      this.status.textContent = t('check.needSelection');
      return;
    }
    const source = chosen.map((entry) => entry.path);
    try {
      const reply = await call('POST', `/consistentcheck/${word}`, { json: { consistentcheck_id: this.checkId, source }, retry: false });
      if (word === 'exclude') {
        // The check's own exclusion takes the files gone from the disk; the files that changed
        // or came are added to the exclusion list as they are.
        const files = chosen.filter((entry) => !entry.folder && entry.state !== 'deleted').map((entry) => entry.path);
        if (files.length) await call('POST', '/exclusion/add', { json: files, retry: false });
      }
      this.status.textContent = reply && reply.id ? t('check.jobStarted', { action: label }) : t('check.done', { action: label });
      this.chosen.clear();
      if (word === 'exclude' || word === 'deletefiles') {
        await call('POST', '/consistentcheck/submit', { json: { jobInstanceId: this.checkId }, retry: false });
        await this.go(this.path);
      }
    } catch (e) {
      this.status.textContent = e.message;
    }
  }

  async discard() {
    try {
      await call('POST', '/consistentcheck/deleteresult', { json: { consistentcheck_id: this.checkId }, retry: false });
      this.result.hidden = true;
      this.status.textContent = '';
    } catch (e) {
      this.status.textContent = e.message;
    }
  }
}
