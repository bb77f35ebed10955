// ?login=USER:PASSWORD logs in first by form POST.
// Console lines: "tovel:login STATUS", "tovel:created ID", "tovel:ended STATE",
// "tovel:runs COUNT", "tovel:source JSON" (the top of the run's tree), "tovel:files N" (of
// "#all"), "tovel:removed STATUS", "tovel:failed TEXT".
const params = new URLSearchParams(location.search);
const report = (line) => console.log('tovel:' + line);
const json = async (response) => {
  if (!response.ok) throw new Error(response.url + ' answered ' + response.status);
  return response.json();
};
const sleep = (ms) => new Promise((done) => setTimeout(done, ms));

(async () => {
  try {
    const [username, userpassword] = params.get('login').split(':');
    const login = await fetch('/login', {
      method: 'POST', body: new URLSearchParams({ username, userpassword }),
    });
    report('login ' + login.status);
    if (!login.ok) return;
    const created = await json(await fetch('/jobs', {
      method: 'POST', headers: { 'Content-Type': 'application/json' },
      body: JSON.stringify({ type: 'backup', name: 'From the page', source: ['C:/t'],
                             schedule: { type: 'manual' } }),
    }));
    report('created ' + created.id);
    const started = await fetch('/jobs/' + created.id + '/start');
    if (!started.ok) throw new Error('start answered ' + started.status);
    let last = {};
    for (let i = 0; i < 600 && last.state === undefined; ++i) {
      await sleep(100);
      last = await json(await fetch('/jobs/' + created.id + '/lastruntime'));
    }
    report('ended ' + last.state);
    const runs = await json(await fetch('/jobs/' + created.id + '/instanceids'));
    report('runs ' + runs.length);
    const top = await json(await fetch('/jobinstances/' + runs[0].id + '/source/'));
    report('source ' + JSON.stringify(top));
    const files = await json(await fetch('/jobinstances/' + runs[0].id + '/source/%23all'));
    report('files ' + files.length);
    const removed = await fetch('/jobs/' + created.id, { method: 'DELETE' });
    report('removed ' + removed.status);
  } catch (e) {
    report('failed ' + e);
  }
})();
