// The pages when the agent goes away and when a session ends, in headless Chromium against a
// scripted agent (browser_road_test.cpp): the login goes through, the job list's request finds
// no agent, the page says so and tries again until the agent answers, and a later 401 brings
// the login form back.
//
//   node pages_lost.js URL
//
// Writes "step NAME" as it goes and ends with "done" or "failed TEXT" (exit status 0 or 1).
'use strict';

const path = require('path');
const { chromium } = require(path.join(__dirname, '..', '..', 'tools', 'browser', 'node_modules', 'playwright-core'));

const say = (line) => process.stdout.write(String(line).replace(/[\r\n]+/g, ' ') + '\n');

async function main() {
  const browser = await chromium.launch({
    executablePath: process.env.TOVEL_CHROMIUM || '/usr/bin/chromium',
    headless: true,
    args: ['--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-dev-shm-usage'],
  });
  try {
    const page = await browser.newPage({ viewport: { width: 1280, height: 800 } });
    page.setDefaultTimeout(30000);
    page.on('pageerror', (error) => say('pageerror ' + error.message));
    await page.goto(process.argv[2]);
    say('step login');
    await page.getByLabel('User name').fill('alice');
    await page.getByLabel('Password').fill('secret');
    await page.getByRole('button', { name: 'Log in', exact: true }).click();
    say('step lost');
    await page.getByText('The agent does not answer. Trying again…').waitFor();
    say('step back');
    await page.getByRole('row', { name: /^Trial/ }).waitFor();
    await page.getByText('The agent does not answer. Trying again…').waitFor({ state: 'hidden' });
    say('step refused');
    await page.getByRole('button', { name: 'Start Trial', exact: true }).click();
    await page.getByRole('alert').filter({ hasText: 'Start Trial: 403 Forbidden' }).waitFor();
    say('step unauthorized');
    await page.getByRole('button', { name: 'Refresh', exact: true }).click();
    await page.getByRole('heading', { name: 'Log in' }).waitFor();
    say('done');
  } finally {
    await browser.close();
  }
}

main().then(() => process.exit(0), (e) => {
  say('failed ' + (e && e.message ? e.message.split('\n')[0] : String(e)));
  process.exit(1);
});
