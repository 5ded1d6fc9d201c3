// The phone remote's page in Debian's Chromium (or Firefox ESR) against the running headless
// program: two pages open with the key, a press of +0.1 s on one changes the program's delay
// (its status line) and shows on the other; a page without the key is refused. Prints its
// timings.
// Usage: node remote_page.mjs PROGRAM [SCREENSHOT.png]
import { spawn } from "node:child_process";
import { mkdtempSync, rmSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";
import puppeteer from "puppeteer-core";

const [program, screenshot] = process.argv.slice(2);
const work = mkdtempSync(join(tmpdir(), "una-browser-"));
const port = 20000 + Math.floor(Math.random() * 20000);
const failures = [];
const check = (ok, what) => { if (!ok) failures.push(what); console.log((ok ? "ok   " : "FAIL ") + what); };

let output = "";
// When the program said the delay changed, on the clock the browser's Date.now() reads too.
let changedAt = 0;
const child = spawn(program, ["--headless", "--settings", join(work, "settings.ini"), "--delay", "2",
                              "--no-save", "--duration", "60", "--remote", String(port)],
                    { stdio: ["pipe", "pipe", "pipe"] });
child.stdout.on("data", (d) => {
  output += d;
  if (!changedAt && output.includes("Delay set to 2.1 s")) changedAt = Date.now();
});
child.stderr.on("data", (d) => { output += d; });

async function until(test, ms, what) {
  const end = Date.now() + ms;
  while (Date.now() < end) {
    if (await test()) return true;
    await new Promise((r) => setTimeout(r, 10));
  }
  check(false, what);
  return false;
}

let browser;
try {
  await until(() => /Phone remote: (\S+)/.test(output), 10000, "the program prints the address");
  const address = output.match(/Phone remote: (\S+)/)[1];
  check(address.startsWith(`http://127.0.0.1:${port}/?t=`), "it listens on 127.0.0.1 only");
  // UNA_BROWSER=firefox drives Debian's Firefox ESR instead (WebDriver BiDi).
  const firefox = process.env.UNA_BROWSER === "firefox";
  browser = await puppeteer.launch(firefox ? {
    browser: "firefox",
    protocolTimeout: 20000,
    executablePath: "/usr/bin/firefox-esr",
    userDataDir: join(work, "profile"),
    dumpio: !!process.env.UNA_BROWSER_LOG,
    // Nothing leaves the machine: every address but loopback goes to a proxy that is not
    // there (so no name is looked up either), and the browser's own services are off.
    extraPrefsFirefox: {
      "network.proxy.type": 1,
      "network.proxy.http": "127.0.0.1", "network.proxy.http_port": 9,
      "network.proxy.ssl": "127.0.0.1", "network.proxy.ssl_port": 9,
      "network.proxy.no_proxies_on": "127.0.0.1",
      "network.trr.mode": 5,
      "network.dns.forceResolve": "127.0.0.1",
      "network.dns.disablePrefetch": true,
      "network.connectivity-service.enabled": false,
      "network.captive-portal-service.enabled": false,
      "services.settings.server": "http://127.0.0.1:9/v1",
      "app.normandy.enabled": false,
      "datareporting.policy.dataSubmissionEnabled": false,
      "toolkit.telemetry.enabled": false,
      "browser.region.network.url": "",
    },
  } : {
    protocolTimeout: 20000,
    executablePath: "/usr/bin/chromium",
    userDataDir: join(work, "profile"),
    dumpio: !!process.env.UNA_BROWSER_LOG,
    args: ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
           "--disable-background-networking", "--disable-component-update", "--disable-sync",
           "--disable-dev-shm-usage",
           // Nothing leaves the machine: no name is looked up (the updaters asked for some).
           "--host-resolver-rules=MAP * ~NOTFOUND , EXCLUDE 127.0.0.1",
           // Two pages at once: the one behind must not be throttled or frozen.
           "--disable-background-timer-throttling", "--disable-renderer-backgrounding",
           "--disable-backgrounding-occluded-windows"],
  });
  const open = async () => {
    const page = await browser.newPage();
    await page.setViewport({ width: 390, height: 700, deviceScaleFactor: 1 });
    // Timed inside the page, from the start of its navigation, at the change that shows it
    // ready: the driver's own round trips to a browser on a loaded machine are no part of
    // what a user waits.
    await page.evaluateOnNewDocument(() => {
      new MutationObserver((_, observer) => {
        const delay = document.getElementById("delay"), state = document.getElementById("state");
        if (delay && state && delay.textContent === "2.0" && state.textContent !== "") {
          window.readyAt = performance.now();
          observer.disconnect();
        }
      }).observe(document, { childList: true, subtree: true, characterData: true });
    });
    await page.goto(address);
    await page.waitForFunction(() => window.readyAt > 0, { polling: 5, timeout: 5000 });
    return [page, await page.evaluate(() => [window.readyAt,
      performance.getEntriesByType("navigation")[0].responseEnd].map(Math.round))];
  };
  const [first, readyMs] = await open();
  const [second] = await open();
  console.log(`page ready: ${readyMs[0]} ms (its own bytes in ${readyMs[1]} ms)`);
  check(await first.evaluate(() => performance.getEntriesByType("resource")
                                     .filter((e) => e.name.includes("/api/texts")).length) === 1,
        "the page asks for its texts once");

  await first.bringToFront();
  // The press's moment as the page has it, the other page's change as that page sees it, and
  // the program's line as it arrives: all on the system's clock.
  await first.evaluate(() => document.addEventListener("click", () => { window.pressedAt = Date.now(); },
                                                       { capture: true, once: true }));
  await second.evaluate(() => new MutationObserver(() => {
    if (!window.shownAt && document.getElementById("delay").textContent === "2.1") window.shownAt = Date.now();
  }).observe(document.getElementById("delay"), { childList: true, characterData: true, subtree: true }));
  await first.click('button[data-command="step +0.1"]');
  let shown = false;
  await Promise.all([
    until(() => changedAt > 0, 2000, "the press changes the program's delay"),
    second.waitForFunction(() => document.getElementById("delay").textContent === "2.1",
                           { timeout: 2000, polling: 5 })
      .then(() => { shown = true; }, () => check(false, "the other page shows it")),
  ]);
  const pressedAt = await first.evaluate(() => window.pressedAt || 0);
  const shownAt = await second.evaluate(() => window.shownAt || 0);
  const changedMs = changedAt && pressedAt ? changedAt - pressedAt : -1;
  const shownMs = shownAt && pressedAt ? shownAt - pressedAt : -1;
  console.log(`press to delay changed: ${changedMs} ms; to the other page: ${shownMs} ms`);
  await until(() => /delay 2\.1 s, heard/.test(output), 3000, "the status line shows the new delay");
  check(changedMs >= 0 && shown && shownMs >= 0, "both pages follow the press");

  // The taps: TV first, radio a moment later, so the delay must get shorter than 2.1 s.
  await first.click("#tapTv");
  await new Promise((r) => setTimeout(r, 300));
  await first.click("#tapRadio");
  await until(() => /Delay changed by -0\.\d{3} s/.test(output), 3000, "two taps change the delay");
  await until(() => /delay 2\.0\d\d s, heard|delay 1\.\d{3} s, heard/.test(output), 3000,
              "the status line shows the tapped delay");
  await second.waitForFunction(() => document.getElementById("said").textContent.includes("-0.") &&
                               !document.getElementById("undo").disabled, { timeout: 2000 })
    .catch(() => check(false, "the other page says what the taps did"));

  const stranger = await browser.newPage();
  const refused = await stranger.goto(`http://127.0.0.1:${port}/`);
  check(refused.status() === 403, "a page without the key is refused with 403");
  const forged = await stranger.evaluate(async (p) => (await fetch(`http://127.0.0.1:${p}/api/command`,
    { method: "POST", body: '{"command":"step +1"}' })).status, port);
  check(forged === 403, "a command without the key is refused");
  check(!output.includes("Delay set to 3.1"), "and changes nothing");

  if (screenshot) {
    await first.waitForFunction(() => document.getElementById("heard").textContent !== "-",
                                { timeout: 5000 }).catch(() => {});
    await first.screenshot({ path: screenshot });
  }
} catch (error) {
  check(false, error.stack || String(error));
} finally {
  if (browser) await browser.close();
  child.kill("SIGTERM");
  await new Promise((r) => child.once("exit", r));
  rmSync(work, { recursive: true, force: true });
}
if (failures.length) {
  console.log(output);
  process.exit(1);
}
