// A new user's road through the web interface's pages in headless Chromium, as a person walks
// it: controls are found by role and label. Run by browser_road_test.cpp:
//
//   node pages_road.js SETTINGS.json
//
// SETTINGS: {"url": the address the agent prints, "service": {"host", "port"}, "user",
// "password", "pictures": folder for the screens' pictures, "changed": host path of the file
// the road changes before the consistent check, "changedName": its name, "keyPath": where the
// key is exported}. Writes "step NAME" as it goes, "picture FILE" for each screen, "error
// TEXT" for each console error or uncaught error of the pages, and ends with "done" or
// "failed TEXT" (exit status 0 or 1).
'use strict';

const fs = require('fs');
const path = require('path');
const { chromium } = require(path.join(__dirname, '..', '..', 'tools', 'browser', 'node_modules', 'playwright-core'));

const settings = JSON.parse(fs.readFileSync(process.argv[2], 'utf8'));
const say = (line) => process.stdout.write(String(line).replace(/[\r\n]+/g, ' ') + '\n');
const WAIT = 60000;

async function main() {
  const browser = await chromium.launch({
    executablePath: process.env.TOVEL_CHROMIUM || '/usr/bin/chromium',
    headless: true,
    args: ['--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-dev-shm-usage'],
  });
  const errors = [];
  try {
    const context = await browser.newContext({ viewport: { width: 1280, height: 800 } });
    const page = await context.newPage();
    page.setDefaultTimeout(WAIT);
    page.on('console', (message) => {
      if (message.type() === 'error') {
        errors.push(message.text());
        say('error ' + message.text());
      }
    });
    page.on('pageerror', (error) => {
      errors.push(error.message);
      say('error ' + error.message);
    });
    page.on('dialog', (dialog) => dialog.accept());
    fs.mkdirSync(settings.pictures, { recursive: true });
    const picture = async (name) => {
      await page.waitForTimeout(150);
      const file = path.join(settings.pictures, `pages-${name}.png`);
      await page.screenshot({ path: file });
      say('picture ' + file);
    };
    const step = (name) => say('step ' + name);
    const button = (name, where = page) => where.getByRole('button', { name, exact: true });

    step('open');
    await page.goto(settings.url);
    await page.waitForURL(/serverSettings\.html\?locale=/);
    await page.getByText('No server is bound yet.').waitFor();
    await page.getByLabel('Name').fill('Simulator');
    await page.getByLabel('Host').fill(settings.service.host);
    await page.getByLabel('Port').fill(String(settings.service.port));
    await picture('server-settings');
    step('bind');
    await button('Bind this server').click();
    await page.getByText('The server is bound.').waitFor();
    await page.waitForURL(/tovel\.html\?locale=/);

    step('login');
    await page.getByLabel('User name').fill(settings.user);
    await page.getByLabel('Password').fill(settings.password);
    await picture('login');
    await button('Log in').click();
    await page.getByRole('tab', { name: 'Jobs' }).waitFor();
    await page.getByText('No jobs yet.').waitFor();

    step('define');
    await button('New backup job').click();
    const form = page.getByRole('dialog', { name: 'New backup job' });
    await form.getByLabel('Job name').fill('Documents');
    await button('Add a folder…', form).click();
    const browse = page.getByRole('dialog', { name: 'Add a folder…' });
    await button('C:', browse).click();
    await button('Open data', browse).click();
    await page.waitForFunction(() => document.querySelector('dialog.browser input').value === 'C:/data');
    await picture('folder-browser');
    await button('Choose this folder', browse).click();
    await form.getByText('C:/data', { exact: true }).waitFor();
    await form.getByText(/files in \d+ folders/).waitFor();
    await form.getByLabel('How often').selectOption('daily');
    await form.getByLabel('Start time').fill('23:30');
    await picture('job-form');
    await button('Save the job', form).click();
    await form.waitFor({ state: 'detached' });
    const row = page.getByRole('row', { name: /^Documents/ });
    await row.waitFor();

    step('start');
    await button('Start Documents').click();
    await row.getByRole('progressbar', { name: 'Progress of Documents' }).waitFor();
    await page.waitForFunction(() => {
      const bar = document.querySelector('tr[data-job] progress');
      return !bar || bar.value > 0;
    }, null, { timeout: 20000 }).catch(() => {});
    await picture('job-running');
    await row.getByText(/^Completed \d{4}-/).waitFor({ timeout: 120000 });
    await picture('jobs');

    step('browse');
    await button('Runs Documents').click();
    await button(/^Browse /).first().click();
    await button('Open C:').click();
    await button('Open data').click();
    await page.getByRole('checkbox', { name: 'Select docs' }).check();
    await page.getByRole('radio', { name: 'Another folder' }).check();
    await page.getByLabel('Target folder').fill('C:/restored');
    await page.getByLabel('When a file exists').selectOption('rename');
    await picture('run-browse');
    step('restore');
    await button('Restore the chosen items').click();
    await page.getByText('Restore completed.').waitFor({ timeout: 120000 });
    await picture('restored');
    say('restored');

    step('check');
    fs.writeFileSync(settings.changed, 'changed after the backup\n');
    const later = new Date(Date.now() + 3600 * 1000);
    fs.utimesSync(settings.changed, later, later);
    await page.getByRole('tab', { name: 'Consistent check' }).click();
    await page.getByLabel('Job', { exact: true }).selectOption({ label: 'Documents' });
    await button('Run the check').click();
    await button('Open C:').click();
    await button('Open data').click();
    const changedFolder = path.basename(path.dirname(settings.changed));
    await button(`Open ${changedFolder}`).click();
    const changed = page.getByRole('option', { name: new RegExp(settings.changedName) });
    await changed.getByText('modified').waitFor();
    await picture('check');
    step('exclude');
    // From the keyboard: the list's first row is the change; Space ticks it.
    await page.getByRole('listbox', { name: 'Folder of the check' }).focus();
    await page.keyboard.press('Space');
    await page.getByRole('checkbox', { name: `Select ${settings.changedName}`, checked: true }).waitFor();
    await button('Exclude').click();
    await page.getByText('Exclude: done.').waitFor();
    await changed.waitFor({ state: 'detached' });

    step('key');
    await page.getByRole('tab', { name: 'Key' }).click();
    await page.getByText(/export it and keep the file safe/).waitFor();
    await page.getByLabel('Export to (a file path on this computer)').fill(settings.keyPath);
    await button('Export the key').click();
    await page.getByText(`The key is exported to ${settings.keyPath}.`).waitFor();
    await page.getByText('The key is exported.', { exact: true }).waitFor();
    await picture('key');

    step('more');
    await page.getByRole('tab', { name: 'Key' }).focus();
    await page.keyboard.press('ArrowRight');
    await page.getByRole('tab', { name: 'More', selected: true }).waitFor();
    await page.getByRole('listitem').filter({ hasText: settings.changedPath }).waitFor();
    await picture('more');

    step('measure');
    // A folder of many entries in the folder browser, from the click to its list shown; and the
    // job list drawn with 200 jobs. Figures only: the goal is a second for each.
    await page.getByRole('tab', { name: 'Jobs' }).click();
    await button('New backup job').click();
    const measureForm = page.getByRole('dialog', { name: 'New backup job' });
    await button('Add a folder…', measureForm).click();
    const picker = page.getByRole('dialog', { name: 'Add a folder…' });
    await button('C:', picker).click();
    await button(`Open ${settings.manyName}`, picker).waitFor();
    const begun = Date.now();
    await button(`Open ${settings.manyName}`, picker).click();
    await picker.getByText(`${settings.manyCount} entries`).waitFor();
    const folderMs = Date.now() - begun;
    await picture('many-entries');
    await button('Cancel', picker).click();
    await button('Cancel', measureForm).click();
    const jobsMs = await page.evaluate(async () => {
      const { JobsView } = await import('./ui/jobs.js');
      const view = new JobsView({ notify() {}, showRuns() {} });
      for (let i = 0; i < 200; i += 1) {
        const id = `job-${i}`;
        view.jobs.set(id, { id, name: `Job ${i}`, type: 'backup', state: i % 3 ? 'idle' : 'running', progress: i % 100, speed: 2048 * i, remainTime: i });
        view.order.push(id);
      }
      document.body.append(view.node);
      const start = performance.now();
      view.draw();
      view.node.getBoundingClientRect();
      const took = performance.now() - start;
      view.node.remove();
      return took;
    });
    const requestMs = await page.evaluate(async (name) => {
      const start = performance.now();
      await (await fetch(`/filesystem/C:/${name}`)).json();
      return performance.now() - start;
    }, settings.manyName);
    const drawMs = await page.evaluate(async (count) => {
      const { WindowedList } = await import('./ui/list.js');
      const { h } = await import('./ui/dom.js');
      const list = new WindowedList({ label: 'many', render: (entry) => h('button', { type: 'button', class: 'link', text: entry.name }) });
      const entries = [];
      for (let i = 0; i < count; i += 1) entries.push({ name: String(i), path: `C:/many/${i}` });
      document.body.append(list.node);
      const start = performance.now();
      list.set(entries);
      list.node.getBoundingClientRect();
      list.node.scrollTop = 34 * count / 2;
      list.draw();
      list.node.getBoundingClientRect();
      const took = performance.now() - start;
      list.node.remove();
      return took;
    }, settings.manyCount);
    say(`figure folder of ${settings.manyCount} entries opened in the folder browser ${folderMs} ms`);
    say(`figure the agent's answer for it ${Math.round(requestMs)} ms`);
    say(`figure the page's drawing of it, and a scroll to its middle ${Math.round(drawMs)} ms`);
    say(`figure job list of 200 jobs drawn ${Math.round(jobsMs)} ms`);

    step('logout');
    await button('Log out').click();
    await page.getByRole('heading', { name: 'Log in' }).waitFor();
    await picture('logged-out');
    if (errors.length) throw new Error(`${errors.length} console errors`);
    say('done');
  } finally {
    await browser.close();
  }
}

main().then(() => process.exit(0), (e) => {
  say('failed ' + (e && e.message ? e.message.split('\n')[0] : String(e)));
  process.exit(1);
});
