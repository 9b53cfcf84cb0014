#include "gateway/http/status_page.h"

namespace vpisd::gateway {

const char kStatusPage[] = R"html(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>vpisd-gateway</title>
<style>
body { font: 14px/1.4 system-ui, sans-serif; margin: 1.5em; color: #222; background: #fafafa; }
h1 { font-size: 1.4em; margin: 0 0 .2em; }
h2 { font-size: 1.1em; margin: 1.4em 0 .4em; }
#summary { color: #555; }
#stale { color: #b00; font-weight: bold; }
table { border-collapse: collapse; background: #fff; }
th, td { border: 1px solid #ddd; padding: .25em .6em; text-align: right; }
th { background: #eee; }
td.text, th.text { text-align: left; }
.state { display: inline-block; min-width: 6em; text-align: center; border-radius: 3px;
         color: #fff; font-weight: bold; padding: 0 .4em; }
.up, .answering { background: #2a7d2e; } .down, .demoted { background: #c62828; }
.reopening { background: #e68a00; } .silent { background: #d99a00; } .unknown { background: #888; }
.backup { color: #c62828; font-weight: bold; }
.none { color: #888; }
</style>
</head>
<body>
<h1>vpisd-gateway</h1>
<div id="summary">loading /status.json ...</div>
<div id="stale"></div>
<h2>Lines</h2>
<table id="lines"><thead><tr><th class="text">line</th><th class="text">state</th>
<th class="text">port</th><th>queue</th><th>transactions</th><th>requests</th><th>ok</th>
<th>refused</th><th>no answer</th><th>busy</th><th>rejected</th><th>median ms</th>
<th>requests/s</th><th>busy %</th><th class="text">last error</th></tr></thead>
<tbody></tbody></table>
<h2>PLCs</h2>
<table id="plcs"><thead><tr><th class="text">line</th><th class="text">PLC</th>
<th class="text">state</th><th class="text">since</th><th class="text">route</th>
<th class="text">last success</th><th class="text">last error</th><th>demotions</th></tr></thead>
<tbody></tbody></table>
<h2>Units</h2>
<table id="units"><thead><tr><th>unit</th><th class="text">line</th><th class="text">PLC</th>
<th class="text">route</th><th>requests</th><th>ok</th><th>refused</th><th>no answer</th>
<th>busy</th><th>rejected</th><th>median ms</th><th class="text">last failure</th></tr></thead>
<tbody></tbody></table>
<h2>Modbus clients</h2>
<table id="clients"><thead><tr><th class="text">address</th><th class="text">since</th>
<th>requests</th></tr></thead><tbody></tbody></table>
<h2>MQTT</h2>
<div id="mqtt"></div>
<h2>Sparkplug B</h2>
<div id="sparkplug"></div>
<script>
"use strict";
function cell(row, text, cls) {
  const td = row.insertCell();
  td.textContent = text === null || text === undefined ? "" : String(text);
  if (cls) td.className = cls;
  return td;
}
function badge(row, state) {
  const span = document.createElement("span");
  span.className = "state " + state;
  span.textContent = state;
  row.insertCell().appendChild(span);
  row.cells[row.cells.length - 1].className = "text";
}
function counts(row, o) {
  for (const key of ["requests", "ok", "refused", "no_answer", "busy", "rejected"]) cell(row, o[key]);
  cell(row, o.median_ms.toFixed(1));
}
function fill(id, items, render) {
  const body = document.querySelector("#" + id + " tbody");
  body.replaceChildren();
  for (const item of items) render(body.insertRow(), item);
}
// "2 d 3 h 4 min", "3 h 0 min", "4 min", or "12 s" in the first minute.
function duration(seconds) {
  const s = Math.floor(seconds);
  if (s < 60) return s + " s";
  const d = Math.floor(s / 86400), h = Math.floor(s % 86400 / 3600), m = Math.floor(s % 3600 / 60);
  if (d > 0) return d + " d " + h + " h " + m + " min";
  if (h > 0) return h + " h " + m + " min";
  return m + " min";
}
function render(s) {
  const up = s.lines.filter(l => l.state === "up").length;
  document.getElementById("summary").textContent =
    "version " + s.version + ", up " + duration(s.uptime_s) + ": " + (s.lines.length === 0
      ? "no [[line]] configured: nothing is served; add a [[line]] and its [[unit]]s to " +
        s.config + ", then reload"
      : up + " of " + s.lines.length + " lines up, " + s.modbus_clients.length +
        " Modbus clients");
  fill("lines", s.lines, (r, l) => {
    r.id = "line-" + l.name;
    cell(r, l.name, "text"); badge(r, l.state); cell(r, l.port, "text");
    cell(r, l.queue_depth); cell(r, l.transactions); counts(r, l);
    cell(r, l.requests_per_s.toFixed(2)); cell(r, (100 * l.busy_share).toFixed(0) + " %");
    cell(r, l.last_error === null ? "none" : l.last_error + " at " + l.last_error_at,
         l.last_error === null ? "text none" : "text");
  });
  fill("plcs", s.lines.flatMap(l => l.plcs.map(p => [l.name, p])), (r, [line, p]) => {
    r.id = "plc-" + line + "-" + p.plc;
    cell(r, line, "text"); cell(r, p.plc, "text"); badge(r, p.state); cell(r, p.since, "text");
    cell(r, p.route, p.route === "backup" ? "text backup" : "text");
    cell(r, p.last_success === null ? "never" : p.last_success,
         p.last_success === null ? "text none" : "text");
    cell(r, p.last_error === null ? "none" : p.last_error.what + " at " + p.last_error.at,
         p.last_error === null ? "text none" : "text");
    cell(r, p.demotions);
  });
  fill("units", s.units, (r, u) => {
    r.id = "unit-" + u.id;
    cell(r, u.id); cell(r, u.line, "text"); cell(r, u.plc, "text");
    cell(r, u.route, u.route === "backup" ? "text backup" : "text"); counts(r, u);
    cell(r, u.last_failure ? u.last_failure.outcome + " at " + u.last_failure.at : "none",
         u.last_failure ? "text" : "text none");
  });
  fill("clients", s.modbus_clients, (r, c) => {
    cell(r, c.address, "text"); cell(r, c.since, "text"); cell(r, c.requests);
  });
  const sp = document.getElementById("sparkplug");
  sp.replaceChildren();
  if (s.sparkplug === null) {
    sp.textContent = "not configured";
    sp.className = "none";
  } else {
    sp.className = "";
    const t = document.createElement("table");
    const r = t.createTBody().insertRow();
    cell(r, "broker " + s.sparkplug.broker, "text");
    badge(r, s.sparkplug.connected ? "up" : "down");
    cell(r, "bdSeq " + (s.sparkplug.bdSeq === null ? "none" : s.sparkplug.bdSeq), "text");
    cell(r, Object.entries(s.sparkplug.messages).map(([k, v]) => k + " " + v).join(", "), "text");
    cell(r, s.sparkplug.last_error ? "last error: " + s.sparkplug.last_error : "", "text");
    sp.appendChild(t);
  }
  const mqtt = document.getElementById("mqtt");
  mqtt.replaceChildren();
  if (s.mqtt === null) {
    mqtt.textContent = "not configured";
    mqtt.className = "none";
    return;
  }
  mqtt.className = "";
  const head = document.createElement("div");
  head.textContent = "broker " + s.mqtt.broker + (s.mqtt.last_error ? "; last error: " + s.mqtt.last_error : "");
  mqtt.appendChild(head);
  const table = document.createElement("table");
  const hr = table.createTHead().insertRow();
  for (const h of ["line", "connection", "publishes"]) {
    const th = document.createElement("th"); th.textContent = h; hr.appendChild(th);
  }
  const body = table.createTBody();
  for (const l of s.mqtt.lines) {
    const r = body.insertRow();
    cell(r, l.line, "text"); badge(r, l.connected ? "up" : "down"); cell(r, l.publishes);
  }
  mqtt.appendChild(table);
}
async function refresh() {
  try {
    const answer = await fetch("/status.json", {cache: "no-store"});
    if (!answer.ok) throw new Error("HTTP " + answer.status);
    render(await answer.json());
    document.getElementById("stale").textContent = "";
  } catch (e) {
    document.getElementById("stale").textContent =
      "gateway not reached (" + e.message + "); showing the last state";
  }
}
refresh();
setInterval(refresh, 2000);
</script>
</body>
</html>
)html";

} // namespace vpisd::gateway
