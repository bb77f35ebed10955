// The jobs view: the user's jobs with their live state, progress, speed and time left, the
// commands on each, and the form that defines or edits a backup job.
import { call, onJobEvent } from './agent.js';
import { h, fill, bytes, duration } from './dom.js';
import { t } from './texts.js';
import { editJob } from './jobform.js';

const PAGE = 50;
const ACTIVE = new Set(['starting', 'running', 'completing', 'pausing', 'paused', 'canceling']);

export class JobsView {
  // app: the page's shared services (notify, showRuns).
  constructor(app) {
    this.app = app;
    this.jobs = new Map();
    this.order = [];
    this.rows = new Map();
    this.polls = new Map();
    this.latest = new Map();
    this.page = 0;
    this.body = h('tbody');
    this.pager = h('div', { class: 'pager' });
    this.empty = h('p', { class: 'muted', text: t('jobs.none'), hidden: true });
    this.node = h('section', { class: 'view', 'aria-labelledby': 'jobs-title' },
      h('div', { class: 'view-head' },
        h('h2', { id: 'jobs-title', text: t('jobs.title') }),
        h('div', { class: 'row' },
          h('button', { type: 'button', text: t('jobs.refresh'), onclick: () => this.load() }),
          h('button', { type: 'button', class: 'primary', text: t('jobs.new'), onclick: () => this.edit(null) }))),
      this.empty,
      h('table', { class: 'jobs' },
        h('thead', {}, h('tr', {},
          ['jobs.name', 'jobs.type', 'jobs.state', 'jobs.progress', 'jobs.lastRun', 'jobs.nextRun', 'jobs.actions']
            .map((key) => h('th', { scope: 'col', text: t(key) })))),
        this.body),
      this.pager);
    onJobEvent((event) => this.event(event));
  }

  async load() {
    try {
      const list = await call('GET', '/jobsview');
      this.jobs.clear();
      this.order = [];
      for (const job of list || []) {
        this.jobs.set(job.id, job);
        this.order.push(job.id);
      }
      this.draw();
      for (const job of this.jobs.values()) if (ACTIVE.has(job.state)) this.follow(job.id);
    } catch (e) {
      this.app.notify(e.message, true);
    }
  }

  draw() {
    const pages = Math.max(1, Math.ceil(this.order.length / PAGE));
    this.page = Math.min(this.page, pages - 1);
    const ids = this.order.slice(this.page * PAGE, (this.page + 1) * PAGE);
    this.rows.clear();
    fill(this.body, ids.map((id) => this.row(id)));
    this.empty.hidden = this.order.length > 0;
    if (this.order.length > PAGE) {
      fill(this.pager,
        h('button', { type: 'button', text: t('jobs.previous'), disabled: this.page === 0, onclick: () => { this.page -= 1; this.draw(); } }),
        h('span', { text: t('jobs.page', { from: this.page * PAGE + 1, to: this.page * PAGE + ids.length, count: this.order.length }) }),
        h('button', { type: 'button', text: t('jobs.next'), disabled: this.page >= pages - 1, onclick: () => { this.page += 1; this.draw(); } }));
    } else {
      fill(this.pager);
    }
  }

  row(id) {
    const job = this.jobs.get(id);
    const name = job.name || id;
    const state = job.state || 'none';
    const running = ['starting', 'running', 'completing'].includes(state);
    const cell = (content, label) => h('td', { 'data-label': label }, content);
    let progress = '';
    if (ACTIVE.has(state) && job.progress !== undefined) {
      const bar = h('progress', { max: '100', value: String(job.progress || 0), 'aria-label': t('jobs.progressOf', { name }) });
      progress = h('div', { class: 'progress' }, bar,
        h('span', { text: `${job.progress || 0} %` }),
        job.speed ? h('span', { class: 'muted', text: t('jobs.speed', { speed: bytes(job.speed) }) }) : null,
        job.remainTime ? h('span', { class: 'muted', text: t('jobs.left', { time: duration(job.remainTime) }) }) : null,
        job.file ? h('span', { class: 'muted file', title: job.file, text: job.file }) : null);
    }
    const last = job.lastRunTime
      ? h('span', { class: `badge ${job.lastRunTime.state}`, text: `${t(`state.${job.lastRunTime.state}`)} ${job.lastRunTime.time}` })
      : '';
    const button = (key, enabled, action, primary) => h('button', {
      type: 'button', class: primary ? 'primary small' : 'small', disabled: !enabled,
      'aria-label': `${t(key)} ${name}`, text: t(key), onclick: action,
    });
    const command = (word) => async () => {
      try {
        await call('GET', `/jobs/${encodeURIComponent(id)}/${word}`, { retry: false });
      } catch (e) {
        this.app.notify(`${t(`jobs.${word}`)} ${name}: ${e.message}`, true);
      }
    };
    const tr = h('tr', { 'data-job': id },
      h('th', { scope: 'row', text: name }),
      cell(t(`type.${job.type || 'backup'}`), t('jobs.type')),
      cell(h('span', { class: `state ${state}`, text: t(`state.${state}`) }), t('jobs.state')),
      cell(progress, t('jobs.progress')),
      cell(last, t('jobs.lastRun')),
      cell(job.nextRunTime ? job.nextRunTime.time : '', t('jobs.nextRun')),
      cell(h('div', { class: 'row tight' },
        button('jobs.start', !ACTIVE.has(state), command('start'), true),
        state === 'paused'
          ? button('jobs.resume', true, command('resume'))
          : button('jobs.pause', running, command('pause')),
        button('jobs.stop', ACTIVE.has(state), command('stop')),
        button('jobs.runs', job.type !== 'restore', () => this.app.showRuns(id)),
        button('jobs.edit', job.type !== 'restore' && !ACTIVE.has(state), () => this.edit(id)),
        button('jobs.delete', !ACTIVE.has(state), () => this.remove(id, name))), t('jobs.actions')));
    this.rows.set(id, tr);
    return tr;
  }

  redraw(id) {
    const old = this.rows.get(id);
    if (old && old.isConnected) old.replaceWith(this.row(id));
  }

  event(event) {
    if (event.reconnected) {
      this.load();
      return;
    }
    if (!event.id || !event.state) return;
    this.latest.set(event.id, event.state);
    if (this.latest.size > 1000) this.latest.delete(this.latest.keys().next().value);
    const job = this.jobs.get(event.id);
    if (!job) {
      if (event.state !== 'deleted') this.fetchOne(event.id, true);
      return;
    }
    if (event.state === 'deleted') {
      this.jobs.delete(event.id);
      this.order = this.order.filter((id) => id !== event.id);
      this.draw();
      return;
    }
    job.state = event.state;
    if (event.state === 'error' && event.reason) this.app.notify(`${job.name}: ${event.reason}`, true);
    this.redraw(event.id);
    if (ACTIVE.has(event.state)) this.follow(event.id);
    else this.fetchOne(event.id, false);
  }

  // The summary of one job again (after a run ended, or a job that was not listed yet).
  async fetchOne(id, add) {
    try {
      const summary = await call('GET', `/jobsview/${encodeURIComponent(id)}`);
      if (!summary) return;
      if (add) {
        if (this.jobs.has(id)) return;
        if (!(await this.mine(id)) || this.jobs.has(id)) return;
        // Events that came while it was fetched are newer than the summary.
        if (this.latest.has(id)) summary.state = this.latest.get(id);
        this.order.push(id);
        this.jobs.set(id, summary);
        this.draw();
        if (ACTIVE.has(summary.state)) this.follow(id);
        else if (summary.state !== 'idle') this.fetchOne(id, false);
        return;
      }
      const job = this.jobs.get(id);
      if (!job) return;
      const state = job.state;
      Object.assign(job, summary);
      if (!summary.lastRunTime) delete job.lastRunTime;
      if (ACTIVE.has(summary.state) || !ACTIVE.has(state)) job.state = summary.state;
      this.redraw(id);
    } catch (e) {
      if (e.status !== 404) this.app.notify(e.message, true);
    }
  }

  // Whether a job that an event names is the user's: the user's list holds it.
  async mine(id) {
    const list = await call('GET', '/jobsview');
    return (list || []).some((job) => job.id === id);
  }

  // While a job runs, its progress, speed and time left come from its state request: the event
  // stream carries its state changes only.
  follow(id) {
    if (this.polls.has(id)) return;
    const tick = async () => {
      const job = this.jobs.get(id);
      if (!job || !ACTIVE.has(job.state)) {
        this.polls.delete(id);
        return;
      }
      try {
        const live = await call('GET', `/jobs/${encodeURIComponent(id)}/state`);
        if (live && this.jobs.has(id)) {
          Object.assign(job, live);
          this.redraw(id);
        }
      } catch (e) {
        // the next tick tries again; a lost agent shows its own notice
      }
      this.polls.set(id, setTimeout(tick, 1000));
    };
    this.polls.set(id, setTimeout(tick, 0));
  }

  async edit(id) {
    const saved = await editJob(id);
    if (saved) {
      this.app.notify(t('form.saved', { name: saved.name }));
      await this.load();
    }
  }

  async remove(id, name) {
    if (!window.confirm(t('jobs.deleteConfirm', { name }))) return;
    try {
      await call('DELETE', `/jobs/${encodeURIComponent(id)}`);
      this.jobs.delete(id);
      this.order = this.order.filter((other) => other !== id);
      this.draw();
    } catch (e) {
      this.app.notify(e.message, true);
    }
  }

  // Every job of the list, for the other views' choices.
  list() {
    return this.order.map((id) => this.jobs.get(id));
  }
}
