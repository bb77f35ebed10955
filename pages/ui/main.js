// tovel.html: the login form, and once logged in the sections of the agent (jobs, runs, the
// consistent check, the key and the rest), with the notices of failures and of a lost agent.
import { call, onUnauthorized, onConnection, onBusy, startEvents, stopEvents } from './agent.js';
import { h, fill, field } from './dom.js';
import { t, withLocale } from './texts.js';
import { JobsView } from './jobs.js';
import { RunsView } from './runs.js';
import { CheckView } from './check.js';
import { KeysView } from './keys.js';
import { MoreView } from './more.js';

let app = null;
let loggedIn = false;
const notices = document.getElementById('notices');
const main = document.getElementById('main');
const account = document.getElementById('account');
const lostNotice = h('div', { class: 'notice warn', role: 'status', hidden: true, text: t('agent.lost') });
const busy = h('div', { class: 'busy', role: 'progressbar', 'aria-label': t('agent.busy'), hidden: true });
notices.append(lostNotice);
document.body.append(busy);
document.title = t('app.title');

function notify(text, isError) {
  // Once the login form shows, the failures of the views' requests are no news.
  if (isError && !loggedIn) return;
  const item = h('div', { class: `notice ${isError ? 'error' : 'info'}`, role: isError ? 'alert' : 'status' },
    h('span', { text }),
    h('button', { type: 'button', class: 'small', 'aria-label': 'Dismiss', text: '✕', onclick: () => item.remove() }));
  notices.append(item);
  if (!isError) setTimeout(() => item.remove(), 6000);
  while (notices.children.length > 6) notices.children[1].remove();
}

let busyTimer = 0;
onBusy((count) => {
  clearTimeout(busyTimer);
  if (count > 0) busyTimer = setTimeout(() => { busy.hidden = false; }, 300);
  else busy.hidden = true;
});
onConnection((lost) => { lostNotice.hidden = !lost; });


function showLogin(message) {
  loggedIn = false;
  stopEvents();
  fill(account);
  const user = h('input', { type: 'text', name: 'username', autocomplete: 'username', required: true });
  const password = h('input', { type: 'password', name: 'userpassword', autocomplete: 'current-password', required: true });
  const error = h('p', { class: 'error', role: 'alert', text: message || '' });
  const form = h('form', { class: 'card login', method: 'post', action: '/login', 'aria-labelledby': 'login-title',
    onsubmit: async (e) => {
      e.preventDefault();
      fill(error);
      try {
        await call('POST', '/login', { form: { username: user.value, userpassword: password.value }, retry: false });
        localStorage.setItem('tovel-user', user.value);
        start();
      } catch (err) {
        error.textContent = err.status === 403 ? t('login.throttled') : t('login.failed', { reason: err.message });
      }
    } },
    h('h2', { id: 'login-title', text: t('login.title') }),
    h('p', { class: 'muted', text: t('login.intro') }),
    field(t('login.user'), user)[0], field(t('login.password'), password)[0], error,
    h('div', { class: 'actions' },
      h('a', { href: withLocale('serverSettings.html'), text: t('login.serverSettings') }),
      h('button', { type: 'submit', class: 'primary', text: t('login.submit') })));
  fill(main, form);
  user.focus();
}

onUnauthorized(() => {
  if (loggedIn) showLogin();
});

function buildApp() {
  const views = {};
  const tabs = {};
  const tablist = h('div', { class: 'tabs', role: 'tablist', 'aria-label': t('nav.label') });
  const panel = h('div', { class: 'panel', role: 'tabpanel' });
  const order = ['jobs', 'runs', 'check', 'keys', 'more'];
  const shared = {
    notify,
    showRuns: (jobId) => { select('runs'); views.runs.pick(jobId); },
  };
  views.jobs = new JobsView(shared);
  views.runs = new RunsView(shared);
  views.check = new CheckView(shared);
  views.keys = new KeysView(shared);
  views.more = new MoreView(shared);
  function select(name) {
    for (const key of order) {
      tabs[key].setAttribute('aria-selected', key === name ? 'true' : 'false');
      tabs[key].tabIndex = key === name ? 0 : -1;
    }
    panel.setAttribute('aria-labelledby', `tab-${name}`);
    fill(panel, views[name].node);
    const jobs = views.jobs.list();
    if (name === 'runs') views.runs.setJobs(jobs);
    if (name === 'check') views.check.setJobs(jobs);
    if (name === 'keys') views.keys.load();
    if (name === 'more') views.more.load();
    history.replaceState(null, '', `#${name}`);
  }
  for (const name of order) {
    tabs[name] = h('button', { type: 'button', role: 'tab', id: `tab-${name}`, text: t(`nav.${name}`), onclick: () => select(name),
      onkeydown: (e) => {
        const step = { ArrowRight: 1, ArrowLeft: -1 }[e.key];
        if (!step) return;
        const next = order[(order.indexOf(name) + step + order.length) % order.length];
        select(next);
        tabs[next].focus();
      } });
    tablist.append(tabs[name]);
  }
  return { node: [tablist, panel], select, views };
}

async function start() {
  let failure = null;
  try {
    await call('GET', '/jobsview');
  } catch (e) {
    if (e.status === 401) {
      showLogin();
      return;
    }
    failure = e;
  }
  loggedIn = true;
  if (failure) notify(failure.message, true);
  startEvents();
  const user = localStorage.getItem('tovel-user');
  fill(account,
    user ? h('span', { class: 'muted', text: t('signedIn', { user }) }) : null,
    h('button', { type: 'button', text: t('logout'), onclick: logout }));
  if (!app) app = buildApp();
  fill(main, app.node);
  const wanted = location.hash.slice(1);
  app.select(['jobs', 'runs', 'check', 'keys', 'more'].includes(wanted) ? wanted : 'jobs');
  await app.views.jobs.load();
}

async function logout() {
  try {
    await call('POST', '/logout', { retry: false });
  } catch (e) {
    notify(e.message, true);
  }
  localStorage.removeItem('tovel-user');
  showLogin();
}

async function showServer() {
  const where = document.getElementById('server');
  try {
    const server = await call('GET', '/server');
    if (!server) {
      location.replace(withLocale('serverSettings.html'));
      return;
    }
    where.textContent = t('server.label', { name: server.name || `${server.host}:${server.port}` });
  } catch (e) {
    where.textContent = e.message;
  }
}

showServer();
// A browser that never logged in here goes to the form at once; one that did tries its session.
if (localStorage.getItem('tovel-user')) start();
else showLogin();
