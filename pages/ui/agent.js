// The one module that talks to the agent. It sends the session cookie that the browser keeps,
// turns a failed reply into an AgentError with the handler's status and reason text, reports a
// 401 to the page (which shows the login form), and, when the agent cannot be reached, shows a
// notice and tries a reading request again until the agent answers. The job event stream has
// one reader here that feeds every view.
import { t } from './texts.js';

export class AgentError extends Error {
  constructor(status, reason, body) {
    super(status ? t('error', { status, reason }) : reason);
    this.status = status;
    this.reason = reason;
    this.body = body;
  }
}

const handlers = { unauthorized: new Set(), connection: new Set(), busy: new Set() };

// fn() when a request answers 401.
export function onUnauthorized(fn) {
  handlers.unauthorized.add(fn);
}
// fn(lost) when the agent stops or starts answering again.
export function onConnection(fn) {
  handlers.connection.add(fn);
}
// fn(count) when the number of requests under way changes.
export function onBusy(fn) {
  handlers.busy.add(fn);
}

let lost = false;
let running = 0;
function setLost(value) {
  if (lost === value) return;
  lost = value;
  for (const fn of handlers.connection) fn(lost);
}
function setRunning(delta) {
  running += delta;
  for (const fn of handlers.busy) fn(running);
}

const sleep = (ms) => new Promise((done) => setTimeout(done, ms));

// The reason of a failed reply: the body's own "reason" when it is JSON, else the status text.
async function reasonOf(response) {
  let text = '';
  try {
    text = await response.text();
  } catch (e) {
    text = '';
  }
  let reason = response.statusText || '';
  if (text) {
    try {
      const value = JSON.parse(text);
      if (value && typeof value.reason === 'string') reason = value.reason;
    } catch (e) {
      if (text.length < 200 && !/[<>]/.test(text)) reason = `${reason} (${text.trim()})`;
    }
  }
  return [reason, text];
}

// Sends one request. options: json (a value sent as JSON), form (an object sent as a form),
// text (a body as it stands), retry (try again while the agent is lost; the default for GET).
// Resolves with the parsed JSON body, the text when it is not JSON, or null when empty.
export async function call(method, path, options = {}) {
  const init = { method, credentials: 'same-origin', headers: {} };
  if (options.json !== undefined) {
    init.headers['Content-Type'] = 'application/json';
    init.body = JSON.stringify(options.json);
  } else if (options.form) {
    init.body = new URLSearchParams(options.form);
  } else if (options.text !== undefined) {
    init.body = options.text;
  }
  const retry = options.retry !== undefined ? options.retry : method === 'GET';
  setRunning(1);
  try {
    let wait = 500;
    for (;;) {
      let response;
      try {
        response = await fetch(path, init);
      } catch (e) {
        setLost(true);
        if (!retry) throw new AgentError(0, t('agent.unreachable'));
        await sleep(wait);
        wait = Math.min(wait * 2, 5000);
        continue;
      }
      setLost(false);
      if (response.status === 401) {
        for (const fn of handlers.unauthorized) fn();
      }
      if (!response.ok) {
        const [reason, body] = await reasonOf(response);
        throw new AgentError(response.status, reason, body);
      }
      const text = await response.text();
      if (!text) return null;
      try {
        return JSON.parse(text);
      } catch (e) {
        return text;
      }
    }
  } finally {
    setRunning(-1);
  }
}

// A path segment of a Windows path for a URI ("C:/a b/c" -> "C:/a%20b/c").
export function pathForUri(path) {
  return path.split('/').map(encodeURIComponent).join('/').replace(/%3A/gi, ':');
}

// The job event stream: one reader for the page. fn(event) gets every job event as it comes,
// and {reconnected: true} each time the stream (re)opens, since events in between are lost.
const eventHandlers = new Set();
let stream = null;

export function onJobEvent(fn) {
  eventHandlers.add(fn);
  return () => eventHandlers.delete(fn);
}

// Opens the stream anew, with the session that the browser holds now (after a login).
export function startEvents() {
  if (stream) stream.abort();
  stream = new AbortController();
  readEvents(stream.signal);
}

// Closes the stream (after a logout).
export function stopEvents() {
  if (stream) stream.abort();
  stream = null;
}

// Cuts the JSON objects that follow each other in text; returns what is left over.
function cutObjects(text, emit) {
  let depth = 0;
  let inString = false;
  let escaped = false;
  let start = -1;
  let consumed = 0;
  for (let i = 0; i < text.length; i += 1) {
    const c = text[i];
    if (inString) {
      if (escaped) escaped = false;
      else if (c === '\\') escaped = true;
      else if (c === '"') inString = false;
    } else if (c === '"') {
      inString = true;
    } else if (c === '{') {
      if (depth === 0) start = i;
      depth += 1;
    } else if (c === '}' && depth > 0) {
      depth -= 1;
      if (depth === 0) {
        try {
          emit(JSON.parse(text.slice(start, i + 1)));
        } catch (e) {
          // not an event: passed by
        }
        consumed = i + 1;
      }
    } else if (depth === 0) {
      consumed = i + 1;
    }
  }
  return text.slice(consumed);
}

async function readEvents(signal) {
  let wait = 500;
  while (!signal.aborted) {
    try {
      const response = await fetch('/jobnotify', { credentials: 'same-origin', signal });
      setLost(false);
      if (!response.ok || !response.body) throw new Error(String(response.status));
      wait = 500;
      for (const fn of eventHandlers) fn({ reconnected: true });
      const reader = response.body.getReader();
      const decoder = new TextDecoder();
      let text = '';
      for (;;) {
        const { value, done } = await reader.read();
        if (done) break;
        text = cutObjects(text + decoder.decode(value, { stream: true }), (event) => {
          for (const fn of eventHandlers) fn(event);
        });
      }
    } catch (e) {
      if (signal.aborted) return;
      setLost(true);
    }
    await sleep(wait);
    wait = Math.min(wait * 2, 5000);
  }
}
