// serverSettings.html: the bound backup service and its status, and the form that binds one.
import { call, onConnection } from './agent.js';
import { h, fill, field } from './dom.js';
import { t, withLocale } from './texts.js';

const main = document.getElementById('main');
const lost = h('div', { class: 'notice warn', role: 'status', hidden: true, text: t('agent.lost') });
document.getElementById('notices').append(lost);
onConnection((isLost) => { lost.hidden = !isLost; });
document.title = `${t('settings.title')} — ${t('app.title')}`;

const current = h('div', {});
const status = h('p', { role: 'status', class: 'status' });
const note = h('p', { role: 'status', class: 'status' });
const name = h('input', { type: 'text', autocomplete: 'off' });
const host = h('input', { type: 'text', required: true, autocomplete: 'off', spellcheck: 'false' });
const port = h('input', { type: 'number', min: '1', max: '65535', required: true, value: '80' });
const onward = h('a', { class: 'button primary', href: withLocale('tovel.html'), text: t('settings.continue'), hidden: true });

async function showCurrent() {
  try {
    const server = await call('GET', '/server');
    if (!server) {
      fill(current, h('p', { class: 'muted', text: t('settings.noServer') }));
      onward.hidden = true;
      return;
    }
    fill(current, h('dl', { class: 'pairs' },
      h('dt', { text: t('settings.name') }), h('dd', { text: server.name || '' }),
      h('dt', { text: t('settings.host') }), h('dd', { text: server.host }),
      h('dt', { text: t('settings.port') }), h('dd', { text: String(server.port) })));
    name.value = server.name || '';
    host.value = server.host;
    port.value = String(server.port);
    onward.hidden = false;
    checkStatus();
  } catch (e) {
    fill(current, h('p', { class: 'error', text: e.message }));
  }
}

async function checkStatus() {
  status.textContent = '…';
  try {
    await call('GET', '/serverstatus', { retry: false });
    status.textContent = t('settings.statusOk', { status: 200, reason: 'OK' });
    status.className = 'status completed';
  } catch (e) {
    status.textContent = e.message;
    status.className = 'status error';
  }
}

async function bind(event) {
  event.preventDefault();
  fill(note);
  try {
    await call('POST', '/server', { json: { name: name.value.trim(), host: host.value.trim(), port: Number(port.value) }, retry: false });
    note.textContent = t('settings.bound');
    await showCurrent();
    setTimeout(() => location.assign(withLocale('tovel.html')), 1200);
  } catch (e) {
    note.textContent = e.status === 503 ? t('settings.unreachable') : e.message;
  }
}

fill(main,
  h('section', { class: 'card', 'aria-labelledby': 'current-title' },
    h('h2', { id: 'current-title', text: t('settings.current') }),
    h('p', { class: 'muted', text: t('settings.intro') }), current,
    h('div', { class: 'row' }, h('button', { type: 'button', text: t('settings.checkStatus'), onclick: checkStatus }), onward),
    status),
  h('form', { class: 'card', 'aria-labelledby': 'bind-title', onsubmit: bind },
    h('h2', { id: 'bind-title', text: t('settings.bind') }),
    field(t('settings.name'), name)[0],
    h('div', { class: 'row' }, field(t('settings.host'), host)[0], field(t('settings.port'), port)[0]),
    h('div', { class: 'actions' }, h('button', { type: 'submit', class: 'primary', text: t('settings.bind') })),
    note));
showCurrent();
