// ?login=USER:PASSWORD&next=URL: logs in by form POST ("tovel:login STATUS"), reports what a
// script of the interface's origin sees of its cookies ("tovel:cookie TEXT"), then goes to URL.
// ?target=BASE&job=ID: the other page. For each attempt a console line "tovel:<name> <what the
// page saw>"; then it waits for its own server's "/next" before the next one; "tovel:done" at
// the end.
const params = new URLSearchParams(location.search);
const report = (line) => console.log('tovel:' + line);

const image = (url) => new Promise((done) => {
  const img = new Image();
  img.onload = () => done('load');
  img.onerror = () => done('error');
  img.src = url;
});
const frame = (setUp) => new Promise((done) => {
  const f = document.createElement('iframe');
  f.name = 'f' + Math.random().toString(36).slice(2);
  f.onload = () => done('load');
  document.body.appendChild(f);
  setUp(f);
});
const framed = (url) => frame((f) => { f.src = url; });
// A form POST of text/plain whose body is the JSON text (the name holds it but for its end).
const formPost = (url, json) => frame((f) => {
  const form = document.createElement('form');
  form.method = 'POST';
  form.enctype = 'text/plain';
  form.action = url;
  form.target = f.name;
  const input = document.createElement('input');
  input.type = 'hidden';
  input.name = json.slice(0, -2) + ',"x":"';
  input.value = '"}';
  form.appendChild(input);
  document.body.appendChild(form);
  form.submit();
});
const fetched = async (url, options) => {
  try {
    const response = await fetch(url, Object.assign({ credentials: 'include' }, options));
    return response.type === 'opaque' ? 'opaque' : String(response.status);
  } catch (e) {
    return 'failed ' + e;
  }
};

(async () => {
  if (params.get('login')) {
    const [username, userpassword] = params.get('login').split(':');
    const login = await fetch('/login', {
      method: 'POST', body: new URLSearchParams({ username, userpassword }),
    });
    report('login ' + login.status);
    report('cookie ' + document.cookie);
    if (login.ok) location.href = params.get('next');
    return;
  }
  const base = params.get('target');
  const job = base + '/jobs/' + params.get('job');
  const definition = JSON.stringify({
    type: 'backup', name: 'From a neighbour', source: ['C:/t'], schedule: { type: 'once' },
  });
  const attempts = [
    ['img-start', () => image(job + '/start')],
    ['nocors-start', () => fetched(job + '/start', { mode: 'no-cors' })],
    ['frame-start', () => framed(job + '/start')],
    ['form-define', () => formPost(base + '/jobs', definition)],
    ['nocors-define', () => fetched(base + '/jobs', {
      method: 'POST', mode: 'no-cors', body: definition })],
    ['nocors-replace', () => fetched(job, { method: 'POST', mode: 'no-cors', body: definition })],
    ['delete', () => fetched(job, { method: 'DELETE' })],
    ['nocors-delete', () => fetched(job, { method: 'DELETE', mode: 'no-cors' })],
    ['img-logout', () => image(base + '/logout')],
    ['nocors-logout', () => fetched(base + '/logout', { mode: 'no-cors' })],
    ['frame-logout', () => framed(base + '/logout')],
  ];
  for (const [name, attempt] of attempts) {
    report(name + ' ' + await attempt());
    await fetch('/next?after=' + name);
  }
  report('done');
})();
