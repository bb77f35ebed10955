// The form that defines a backup job or edits one: its name, the folders chosen in the folder
// browser with their size, the offline location, the schedule and the other options.
import { call } from './agent.js';
import { h, fill, field, bytes } from './dom.js';
import { chooseFolder } from './folders.js';
import { t } from './texts.js';

function option(value, label, selected) {
  return h('option', { value, text: label, selected: selected ? 'selected' : false });
}

// Opens the form for the job id (null: a new job); resolves with the saved definition or null.
export async function editJob(id) {
  let definition = { type: 'backup', name: '', source: [], schedule: { type: 'manual' }, compression: true, retention: 0 };
  if (id) {
    try {
      definition = await call('GET', `/jobs/${encodeURIComponent(id)}`);
    } catch (e) {
      window.alert(e.message);
      return null;
    }
  }
  return new Promise((resolve) => {
    const sources = [...(definition.source || [])];
    const error = h('p', { class: 'error', role: 'alert' });
    const size = h('p', { class: 'muted', role: 'status' });
    const list = h('ul', { class: 'sources', 'aria-label': t('form.sources') });
    const name = h('input', { type: 'text', required: true, value: definition.name || '', autocomplete: 'off' });
    const offline = h('input', { type: 'text', value: definition.offline || '', spellcheck: 'false' });
    const schedule = definition.schedule || { type: 'manual' };
    const kind = h('select', {},
      ['manual', 'daily', 'weekly', 'monthly'].map((k) => option(k, t(`schedule.${k}`), schedule.type === k || (k === 'manual' && schedule.type === 'once'))));
    const time = h('input', { type: 'time', value: schedule.startTime || '21:00' });
    const weekday = h('select', {}, t('days').split(',').map((day, i) => option(String(i), day, schedule.day === i)));
    const monthday = h('input', { type: 'number', min: '1', max: '31', value: String(schedule.day || 1) });
    const compression = h('input', { type: 'checkbox', id: 'job-compression', checked: definition.compression !== false });
    const retention = h('input', { type: 'number', min: '0', value: String(definition.retention || 0) });
    const filterKind = definition.inclusion ? 'include' : definition.exclusion ? 'exclude' : 'none';
    const filter = h('select', {}, ['none', 'include', 'exclude'].map((k) => option(k, t(`filter.${k}`), k === filterKind)));
    const extensions = h('input', { type: 'text', value: (definition.inclusion || definition.exclusion || []).join(', ') });

    const [timeField] = field(t('form.time'), time);
    const [weekdayField] = field(t('form.weekday'), weekday);
    const [monthdayField] = field(t('form.monthday'), monthday);
    const [extensionsField] = field(t('form.extensions'), extensions);
    const showSchedule = () => {
      timeField.hidden = kind.value === 'manual';
      weekdayField.hidden = kind.value !== 'weekly';
      monthdayField.hidden = kind.value !== 'monthly';
      extensionsField.hidden = filter.value === 'none';
    };
    kind.addEventListener('change', showSchedule);
    filter.addEventListener('change', showSchedule);

    let sizing = 0;
    async function measure() {
      const ticket = ++sizing;
      if (!sources.length) {
        fill(size);
        return;
      }
      size.textContent = t('form.sizing');
      try {
        const body = { source: sources };
        const exts = extensions.value.split(',').map((x) => x.trim()).filter(Boolean);
        if (filter.value === 'include') body.inclusion = exts;
        if (filter.value === 'exclude') body.exclusion = exts;
        const counted = await call('POST', '/source', { json: body, retry: true });
        if (ticket === sizing) size.textContent = t('form.size', { files: counted.files, dirs: counted.dirs, size: bytes(counted.size) });
      } catch (e) {
        if (ticket === sizing) size.textContent = e.message;
      }
    }
    function drawSources() {
      fill(list, sources.length ? sources.map((path, i) => h('li', {},
        h('span', { class: 'path', text: path }),
        h('button', { type: 'button', class: 'small', 'aria-label': t('form.removeSource', { path }), text: '✕',
          onclick: () => { sources.splice(i, 1); drawSources(); } })))
        : h('li', { class: 'muted', text: t('form.noSources') }));
      measure();
    }

    const form = h('form', { class: 'job-form', novalidate: true, onsubmit: (e) => { e.preventDefault(); save(); } },
      field(t('form.name'), name)[0],
      h('fieldset', {}, h('legend', { text: t('form.sources') }), list, size,
        h('button', { type: 'button', text: t('form.addSource'), onclick: async () => {
          const chosen = await chooseFolder(t('form.addSource'), sources.length ? sources[sources.length - 1].replace(/\/[^/]*$/, '') : '');
          if (chosen && !sources.includes(chosen)) {
            sources.push(chosen);
            drawSources();
          }
        } })),
      h('div', { class: 'row end' },
        field(t('form.offline'), offline)[0],
        h('button', { type: 'button', text: t('form.chooseOffline'), onclick: async () => {
          const chosen = await chooseFolder(t('form.chooseOffline'), offline.value);
          if (chosen) offline.value = chosen;
        } })),
      h('fieldset', {}, h('legend', { text: t('form.schedule') }),
        h('div', { class: 'row' }, field(t('form.repeat'), kind)[0], timeField, weekdayField, monthdayField)),
      h('div', { class: 'row' },
        h('div', { class: 'field check' }, compression, h('label', { for: 'job-compression', text: t('form.compression') })),
        field(t('form.retention'), retention)[0]),
      h('div', { class: 'row' }, field(t('form.filter'), filter)[0], extensionsField),
      error,
      h('div', { class: 'actions' },
        h('button', { type: 'button', text: t('form.cancel'), onclick: () => finish(null) }),
        h('button', { type: 'submit', class: 'primary', text: t('form.save') })));
    filter.addEventListener('change', measure);
    extensions.addEventListener('change', measure);

    const dialog = h('dialog', { class: 'form', 'aria-labelledby': 'job-form-title' },
      h('h2', { id: 'job-form-title', text: id ? t('form.editTitle', { name: definition.name }) : t('form.newTitle') }), form);

    async function save() {
      fill(error);
      if (!name.value.trim()) {
        fill(error, t('form.needName'));
        name.focus();
        return;
      }
      if (!sources.length) {
        fill(error, t('form.needSource'));
        return;
      }
      const out = { ...definition, type: 'backup', name: name.value.trim(), source: sources };
      delete out.inclusion;
      delete out.exclusion;
      delete out.offline;
      if (offline.value.trim()) out.offline = offline.value.trim().replace(/\\/g, '/');
      out.compression = compression.checked;
      out.retention = Number(retention.value) || 0;
      const exts = extensions.value.split(',').map((x) => x.trim()).filter(Boolean);
      if (filter.value === 'include') out.inclusion = exts;
      if (filter.value === 'exclude') out.exclusion = exts;
      out.schedule = { type: kind.value };
      if (kind.value !== 'manual') out.schedule.startTime = time.value || '00:00';
      if (kind.value === 'weekly') out.schedule.day = Number(weekday.value);
      if (kind.value === 'monthly') out.schedule.day = Math.min(31, Math.max(1, Number(monthday.value) || 1));
      try {
        await call('POST', id ? `/jobs/${encodeURIComponent(id)}` : '/jobs', { json: out, retry: false });
        finish(out);
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
    showSchedule();
    drawSources();
    document.body.append(dialog);
    dialog.showModal();
    name.focus();
  });
}
