// ?login=USER:PASSWORD&next=URL: logs in by form POST ("tovel:login STATUS"), then goes to URL.
// ?target=BASE: the page of the other origin; for each attempt a console line
// "tovel:<name> STATUS" (a reply it may read), "tovel:<name> opaque" (sent, reply unreadable)
// or "tovel:<name> failed TEXT", then "tovel:done".
const params = new URLSearchParams(location.search);
const report = (line) => console.log('tovel:' + line);

async function attempt(name, url, options) {
  try {
    const response = await fetch(url, Object.assign({ credentials: 'include' }, options));
    report(name + ' ' + (response.type === 'opaque' ? 'opaque' : response.status));
  } catch (e) {
    report(name + ' failed ' + e);
  }
}

(async () => {
  if (params.get('login')) {
    const [username, userpassword] = params.get('login').split(':');
    const login = await fetch('/login', {
      method: 'POST',
      body: new URLSearchParams({ username, userpassword }),
    });
    report('login ' + login.status);
    if (login.ok) location.href = params.get('next');
    return;
  }
  const base = params.get('target');
  const body = JSON.stringify({ path: 'C:/k/key.txt' });
  await attempt('delete', base + '/filesystem/C:/t', { method: 'DELETE' });
  await attempt('export', base + '/key/export', { method: 'POST', body });
  await attempt('export-nocors', base + '/key/export', { method: 'POST', body, mode: 'no-cors' });
  await attempt('delete-form', base + '/filesystem/C:/t', {
    method: 'POST', mode: 'no-cors', body: JSON.stringify({ path: 'C:/moved' }),
  });
  report('done');
})();
