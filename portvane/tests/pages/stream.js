// ?target=URL: the stream to follow (default "/jobnotify" of this page's own origin);
// ?login=USER:PASSWORD: the page first logs in by form POST ("tovel:login STATUS").
// Console lines: "tovel:status N" when the reply's head arrives, "tovel:event {...}" for each JSON
// object of the body, "tovel:bad TEXT" for bytes that are no object, "tovel:end" when the body
// ends, "tovel:failed TEXT" when the fetch or a read fails.
const params = new URLSearchParams(location.search);
const target = params.get('target') || '/jobnotify';
const report = (line) => console.log('tovel:' + line);

// Cuts the text into the JSON objects that follow each other in it; returns what is left over.
function cut(text, emit) {
  let depth = 0, inString = false, escaped = false, start = -1;
  for (let i = 0; i < text.length; ++i) {
    const c = text[i];
    if (inString) {
      if (escaped) escaped = false;
      else if (c === '\\') escaped = true;
      else if (c === '"') inString = false;
      continue;
    }
    if (c === '"') { inString = true; continue; }
    if (c === '{') { if (depth++ === 0) start = i; continue; }
    if (c === '}' && depth > 0 && --depth === 0) {
      emit(text.slice(start, i + 1));
      text = text.slice(i + 1);
      i = -1;
      continue;
    }
    if (depth === 0 && !/\s/.test(c)) { report('bad ' + text.slice(i, i + 40)); text = text.slice(i + 1); i = -1; }
  }
  return text;
}

(async () => {
  let response;
  try {
    if (params.get('login')) {
      const [username, userpassword] = params.get('login').split(':');
      const login = await fetch('/login', {
        method: 'POST',
        body: new URLSearchParams({ username, userpassword }),
      });
      report('login ' + login.status);
      if (!login.ok) return;
    }
    response = await fetch(target, { credentials: 'include' });
  } catch (e) {
    report('failed ' + e);
    return;
  }
  report('status ' + response.status);
  const reader = response.body.getReader();
  const decoder = new TextDecoder();
  let text = '';
  try {
    for (;;) {
      const { value, done } = await reader.read();
      if (done) break;
      text = cut(text + decoder.decode(value, { stream: true }), (object) => {
        try {
          report('event ' + JSON.stringify(JSON.parse(object)));
        } catch (e) {
          report('bad ' + object);
        }
      });
    }
  } catch (e) {
    report('failed ' + e);
    return;
  }
  if (text.trim()) report('bad ' + text);
  report('end');
})();
