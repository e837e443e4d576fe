// What an operator sees on the station's page, in headless Chromium (the system's): a 4-port
// station serving simulated boxes, one of them always failing and one whose box fails and
// restarts. The tiles appear, progress moves, every outcome shows on its tile, the failures are
// grouped by their cause, and the page comes back by itself when the station is restarted.
// Takes the README's screenshot.
// Environment: CLI, BOXSIM, SAMPLE, WORK, and SCREENSHOT (the picture's path).
import { spawn } from "node:child_process";
import { copyFileSync, mkdirSync, rmSync } from "node:fs";
import puppeteer from "puppeteer-core";

const { CLI, BOXSIM, WORK, SCREENSHOT } = process.env;
const SAMPLE = "sample.dl"; // in WORK, as an operator would name it
const children = [];
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
const say = (text) => console.log("page: " + text);

async function until(what, check, seconds = 60) {
  for (const end = Date.now() + seconds * 1000; Date.now() < end; await sleep(200)) {
    const value = await check();
    if (value) return value;
  }
  throw new Error("not seen within " + seconds + " s: " + what);
}

function start(command, args, output) {
  const child = spawn(command, args, { cwd: WORK, stdio: ["ignore", "pipe", "pipe"] });
  child.text = "";
  child[output].on("data", (d) => (child.text += d));
  children.push(child);
  return child;
}

// A line of simulated boxes on a pty of its own: its device.
async function line(...faults) {
  const box = start(BOXSIM, ["--timeout", "5", "--stay", "300", "--baud", "115200",
                             "--hardware", "0x00A0B1:0x5601:0x0203", ...faults, SAMPLE], "stdout");
  return until("a box's device", () => box.text.split("\n")[0].startsWith("/dev/") && box.text.split("\n")[0]);
}

async function station(ports, http) {
  const args = ["station", "--http", http, "--settle", "1", "--retries", "1", "--suspect-after", "2"];
  const s = start(CLI, [...args, ...ports.flatMap((p) => ["--port", p]), SAMPLE], "stderr");
  s.url = await until("the dashboard line", () => (s.text.match(/dashboard: (http:\S+)/) || [])[1], 10);
  return s;
}

const tile = (page, port) => page.evaluate((port) => {
  const t = [...document.querySelectorAll(".tile")].find((e) => e.dataset.port === port);
  const text = (sel) => (t && t.querySelector(sel) ? t.querySelector(sel).innerText.replace(/\s+/g, " ") : "");
  return t && { state: text(".state"), percent: parseFloat(text(".percent")), outcome: text(".outcome"),
                last: text(".last"), suspect: text(".suspect-note"), counts: text(".counts") };
}, port);

rmSync(WORK, { recursive: true, force: true });
mkdirSync(WORK, { recursive: true });
copyFileSync(process.env.SAMPLE, WORK + "/" + SAMPLE);
let browser;
try {
  const good = await line("--boxes", "8", "--gap", "1.5");
  const failing = await line("--boxes", "3", "--gap", "1.5", "--nak", "1:10");
  const restarting = await line("--restart-after-failure", "--end-early", "1", "--buffer-size", "4096", "--max-block", "1024");
  const rebooting = await line("--boxes", "2", "--gap", "3", "--reboot", "2");
  const ports = [good, failing, restarting, rebooting];
  let st = await station(ports, "0");
  browser = await puppeteer.launch({ executablePath: "/usr/bin/chromium", headless: true,
                                     args: ["--no-sandbox", "--disable-gpu"] });
  const page = await browser.newPage();
  await page.setViewport({ width: 1280, height: 860 });
  await page.goto(st.url);
  await until("4 tiles", () => page.evaluate(() => document.querySelectorAll(".tile").length === 4));
  say("4 tiles: " + (await page.$$eval(".tile .port", (e) => e.map((x) => x.textContent).join(", "))));

  const downloading = async (below) => { const t = await tile(page, good); return t.percent < below && t.percent; };
  const first = await until("a download in progress on " + good, () => downloading(50));
  const later = await until("its progress moving", async () => { const p = await downloading(101); return p > first && p; });
  say(`${good} downloading: ${first.toFixed(1)} % then ${later.toFixed(1)} %`);

  const outcomes = [[good, "complete"], [failing, "download error"], [restarting, "complete"], [rebooting, "complete"]];
  for (const [port, outcome] of outcomes) {
    const t = await until(outcome + " on " + port, async () => { const t = await tile(page, port); return t.outcome === outcome && t; }, 90);
    say(`${port} ${t.state}, ${t.last} | ${t.counts}`);
  }
  const suspect = await until("the failing port marked suspect", async () => (await tile(page, failing)).suspect, 90);
  say(`${failing}: ${suspect}`);
  // The shift's failures by cause, in the report's words: the failing port's own.
  const causes = () => page.$eval("#causes", (e) => e.innerText.replace(/\s+/g, " "));
  const cause = await until("the failing port named as a cause", async () => {
    const text = await causes();
    return text.includes("port: " + failing + ": ") && text.includes("check its cable and adapter") && text;
  }, 30);
  say("causes: " + cause);
  const retried = await tile(page, restarting);
  if (!/attempt 2/.test(retried.last) || !/retries 1/.test(retried.counts)) throw new Error("no retry shown: " + retried.last);
  await until("the next box downloading", () => downloading(70), 30);
  await page.screenshot({ path: SCREENSHOT });
  say("screenshot " + SCREENSHOT);

  // The station restarts on the same address: the page says so and comes back by itself.
  const started = await page.$eval("#uptime", (e) => e.textContent);
  st.kill("SIGINT");
  await new Promise((r) => st.on("exit", r));
  const lost = await until("reconnecting shown", () => page.$eval("#link", (e) => e.textContent === "reconnecting" && e.textContent), 10);
  say(`station stopped (up ${started}): "${lost}"`);
  st = await station(ports, st.url.slice("http://".length, -1));
  await until("live again", () => page.$eval("#link", (e) => e.textContent === "live"), 20);
  const up = await until("the new station's state", async () => {
    const u = await page.$eval("#uptime", (e) => e.textContent);
    return u < started && u;
  }, 20);
  say(`station restarted: "live" again, up ${up}`);
  console.log("PASS");
} catch (error) {
  console.log("FAIL: " + error.message);
  for (const c of children) console.log("--- " + c.spawnargs.slice(0, 3).join(" ") + "\n" + c.text.slice(-1500));
  process.exitCode = 1;
} finally {
  if (browser) await browser.close();
  for (const c of children) c.kill("SIGKILL");
}
