// The station's page, whole: no file is read and nothing is fetched from elsewhere, so that it
// works on a line PC without internet. Every state is said in words; the colours only repeat it.

#include "web/web_server.h"

namespace kestrune::web {

const char* const DASHBOARD_PAGE = R"page(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Kestrune station</title>
<style>
:root { color-scheme: dark; font-family: system-ui, sans-serif; background: #111; color: #eee;
  font-size: clamp(16px, 1.5vw, 30px); }
body { margin: 0; padding: 0.8rem; }
header { display: flex; flex-wrap: wrap; gap: 0.4rem 1.6rem; align-items: baseline; }
h1 { font-size: 1.5rem; margin: 0; }
.total b { font-size: 1.4rem; }
#link { margin-left: auto; font-weight: bold; }
#link.lost { color: #ffb347; }
#tiles { display: grid; gap: 0.8rem; margin: 0.8rem 0;
  grid-template-columns: repeat(auto-fill, minmax(min(100%, 19rem), 1fr)); }
.tile { border: 0.25rem solid #555; border-radius: 0.6rem; padding: 0.6rem 0.8rem; background: #1c1c1c; }
.tile .port { font-size: 1.3rem; font-weight: bold; overflow-wrap: anywhere; }
.tile .state { font-size: 1.6rem; font-weight: bold; text-transform: uppercase; margin: 0.2rem 0; }
.tile.waiting { border-color: #5a7fa8; } .tile.downloading { border-color: #3fa9ff; }
.tile.settling { border-color: #c9a13a; } .tile.port-failure { border-color: #ff5050; border-style: dashed; }
.tile.stopped { border-color: #555; border-style: dotted; }
.tile.suspect { border-color: #ff5050; border-width: 0.4rem; }
.downloading .state { color: #7cc4ff; } .settling .state { color: #f0c96a; }
.port-failure .state, .suspect-note { color: #ff7070; }
.suspect-note { font-weight: bold; }
.tile.degrading { border-color: #ffb040; }
.degrading-note { color: #ffb040; font-weight: bold; }
.bar { height: 1.1rem; background: #333; border-radius: 0.3rem; overflow: hidden; }
.bar div { height: 100%; background: #3fa9ff; }
.figures { font-size: 1.2rem; font-variant-numeric: tabular-nums; }
.last.complete .outcome { color: #6fdc8c; } .last.failed .outcome { color: #ff7070; }
.outcome { font-weight: bold; }
.small { font-size: 0.85rem; color: #bbb; overflow-wrap: anywhere; }
.counts { font-variant-numeric: tabular-nums; margin-top: 0.3rem; }
#events, #causes { list-style: none; padding: 0; margin: 0; font-size: 0.9rem; }
#causes { font-size: 1.1rem; } #causes .cause { font-weight: bold; color: #ffb040; }
#events li, #causes li { padding: 0.15rem 0; border-top: 1px solid #333; overflow-wrap: anywhere; }
</style>
</head>
<body>
<header>
  <h1>Kestrune station</h1>
  <span class="total">boxes <b id="boxes">0</b></span>
  <span class="total">yield <b id="yield">-</b></span>
  <span class="total">per hour <b id="rate">0</b></span>
  <span class="total">up <b id="uptime">0:00:00</b></span>
  <span id="link" class="lost">connecting</span>
</header>
<div class="small" id="image"></div>
<div class="small" id="who"></div>
<div class="small" id="forward" hidden></div>
<div class="degrading-note" id="line" hidden>THE LINE AS A WHOLE WORSENED: resends rose on most ports at once; look at what they share (the image, the mains, a hub), not at one port</div>
<main id="tiles"></main>
<h2>Failures by cause</h2>
<ul id="causes"></ul>
<h2>Latest events</h2>
<ul id="events"></ul>
<script>
"use strict";
const $ = (id) => document.getElementById(id);
const esc = (s) => String(s).replace(/[&<>"]/g, (c) => ({"&": "&amp;", "<": "&lt;", ">": "&gt;", '"': "&quot;"})[c]);
const clock = (iso) => iso ? new Date(iso).toLocaleTimeString() : "";
function duration(s) {
  s = Math.floor(s);
  const h = Math.floor(s / 3600), m = Math.floor(s / 60) % 60, r = s % 60;
  return h + ":" + String(m).padStart(2, "0") + ":" + String(r).padStart(2, "0");
}
function tile(p) {
  const failedOutcome = p.last && p.last.outcome !== "complete";
  let html = '<section class="tile ' + p.state.replace(" ", "-") + (p.suspect ? " suspect" : "") + (p.degrading ? " degrading" : "") + '" data-port="' + esc(p.port) + '">' +
    '<div class="port">' + esc(p.port) + '</div><div class="state">' + esc(p.state) + '</div>';
  if (p.suspect) {
    html += '<div class="suspect-note">SUSPECT: ' + p.failuresInRow + ' failures in a row; check its cable and adapter</div>';
  }
  if (p.degrading) {
    html += '<div class="degrading-note">DEGRADING: ' + p.linkQuality.toFixed(3) + ' resends per KiB, far above the other ports; check its cable and adapter</div>';
  } else if (p.linkQuality !== null && p.linkQuality !== undefined) {
    html += '<div class="link">link ' + p.linkQuality.toFixed(3) + ' resends per KiB</div>';
  }
  if (p.progress) {
    const pr = p.progress;
    html += '<div class="bar" role="progressbar" aria-valuenow="' + pr.percent.toFixed(1) +
      '"><div style="width:' + pr.percent.toFixed(1) + '%"></div></div><div class="figures">' +
      '<span class="percent">' + pr.percent.toFixed(1) + ' %</span> &middot; ' +
      (pr.bytesPerSecond / 1000).toFixed(1) + ' kB/s</div>';
  }
  if (p.last) {
    html += '<div class="last ' + (failedOutcome ? "failed" : "complete") + '">last: <span class="outcome">' +
      esc(p.last.outcome) + '</span> at ' + esc(clock(p.last.end)) + ' (' + p.last.durationSeconds.toFixed(1) + ' s' +
      (p.last.attempt > 1 ? ', attempt ' + p.last.attempt : '') + ')' +
      (p.last.reason ? '<div class="small reason">' + esc(p.last.reason) + '</div>' : '') +
      (p.last.box ? '<div class="small">box: ' + esc(p.last.box) + '</div>' : '') +
      (p.image ? '<div class="small">image: ' + esc(p.image) + '</div>' : '') + '</div>';
  }
  html += '<div class="counts">done <b class="done">' + p.done + '</b> &middot; failed <b class="failed">' +
    p.failed + '</b>' + (p.retries ? ' &middot; retries ' + p.retries : '') +
    (p.portFailures ? ' &middot; port failures ' + p.portFailures : '') +
    (p.wrongBoxes ? ' &middot; wrong boxes ' + p.wrongBoxes : '') +
    (p.aborted ? ' &middot; aborted ' + p.aborted : '') + '</div></section>';
  return html;
}
function show(s) {
  $("boxes").textContent = s.totals.boxes;
  $("yield").textContent = s.totals.yieldPercent === null ? "-" : s.totals.yieldPercent.toFixed(1) + " %";
  $("rate").textContent = s.totals.boxesPerHour.toFixed(0);
  $("uptime").textContent = duration(s.uptimeSeconds);
  $("image").textContent = (s.release ? "release " + s.release.name + " (SHA-256 " +
    s.release.sha256.slice(0, 16) + "..., " + (s.release.keyId ? "signed by key " + s.release.keyId : "unsigned") +
    "; " + s.release.images.join(", ") + ")" : s.image.path + " (" + s.image.size.toLocaleString() +
    " bytes, SHA-256 " + s.image.sha256.slice(0, 16) + "...)") + ", version " + s.version;
  $("line").hidden = !s.lineWorsened;
  $("who").textContent = "station " + s.station + (s.lot ? ", lot " + s.lot : "") +
    (s.workOrder ? ", work order " + s.workOrder : "") + (s.operator ? ", operator " + s.operator : "");
  $("forward").hidden = !s.forward;
  $("forward").textContent = s.forward ? s.forward.text : "";
  $("tiles").innerHTML = s.ports.map(tile).join("");
  // The report's groups for this shift, in its words: what to check first.
  $("causes").innerHTML = s.causes.length ? s.causes.map((c) => '<li><span class="cause">' +
    esc(c.cause) + "</span>: " + esc(c.evidence) + "</li>").join("") : "<li>no failed downloads</li>";
  $("events").innerHTML = s.events.slice().reverse().slice(0, 12).map((e) =>
    "<li>" + esc(clock(e.time)) + " " + esc(e.port || "station") + ": " + esc(e.text) + "</li>").join("");
}
function connect() {
  const source = new EventSource("/events");
  source.onopen = () => { $("link").textContent = "live"; $("link").className = ""; };
  source.onmessage = (m) => show(JSON.parse(m.data));
  source.onerror = () => {
    $("link").textContent = "reconnecting"; $("link").className = "lost";
    // A station that went away and came back: a fresh connection rather than a closed one.
    if (source.readyState === EventSource.CLOSED) { setTimeout(connect, 1000); }
  };
}
connect();
</script>
</body>
</html>
)page";

} // namespace kestrune::web
