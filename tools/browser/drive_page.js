// Opens one page in headless Chromium (Debian's, /usr/bin/chromium unless TOVEL_CHROMIUM names
// another) for a test and relays what the page reports.
//
//   node drive_page.js URL [--map HOST] ...
//
// --map HOST resolves HOST to 127.0.0.1 in the browser, so that a page can come from a made-up
// name. Writes one line per event to standard output:
//   "ready"                  the browser runs
//   "navigated STATUS"       the page's own response arrived
//   "tovel:..."              a console message of the page that begins with "tovel:"
//   "pageerror TEXT"         an uncaught error of the page
//   "failed TEXT"            the browser could not be started or the page not opened
// and ends, closing the browser, when its standard input ends or a line "exit" comes.
'use strict';

const path = require('path');
const readline = require('readline');
const { chromium } = require(path.join(__dirname, 'node_modules', 'playwright-core'));

function say(line) {
  process.stdout.write(line.replace(/[\r\n]+/g, ' ') + '\n');
}

async function main() {
  const args = process.argv.slice(2);
  const url = args.shift();
  const maps = [];
  while (args.length) {
    const flag = args.shift();
    if (flag === '--map' && args.length) maps.push(args.shift());
  }
  const chromiumArgs = ['--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-dev-shm-usage'];
  if (maps.length) {
    chromiumArgs.push('--host-resolver-rules=' + maps.map((h) => `MAP ${h} 127.0.0.1`).join(','));
  }
  let browser;
  let closing = false;
  const finish = async (code) => {
    if (closing) return;
    closing = true;
    try {
      if (browser) await browser.close();
    } catch (e) {
      // already gone
    }
    process.exit(code);
  };
  readline.createInterface({ input: process.stdin }).on('line', (line) => {
    if (line.trim() === 'exit') finish(0);
  }).on('close', () => finish(0));

  try {
    browser = await chromium.launch({
      executablePath: process.env.TOVEL_CHROMIUM || '/usr/bin/chromium',
      headless: true,
      args: chromiumArgs,
    });
  } catch (e) {
    say('failed ' + e.message);
    return finish(2);
  }
  say('ready');
  const page = await browser.newPage();
  page.on('console', (message) => {
    const text = message.text();
    if (text.startsWith('tovel:')) say(text);
  });
  page.on('pageerror', (error) => say('pageerror ' + error.message));
  // The page's own response, also when the browser shows an error page for it instead.
  let navigated = false;
  page.on('response', (response) => {
    const request = response.request();
    if (navigated || !request.isNavigationRequest() || response.frame() !== page.mainFrame()) return;
    navigated = true;
    say('navigated ' + response.status());
  });
  try {
    await page.goto(url, { waitUntil: 'domcontentloaded', timeout: 60000 });
  } catch (e) {
    if (!navigated) say('failed ' + e.message);
  }
}

main().catch((e) => {
  say('failed ' + (e && e.message ? e.message : String(e)));
  process.exit(2);
});
