// The status page served at /: one self-contained document (HTML, CSS and a
// little script, nothing fetched from elsewhere) that draws the lines, their
// stations and points from /api/status and /api/points and refreshes itself
// every second.
#pragma once

namespace westnet::gateway::http {

inline constexpr const char* kStatusPage = R"PAGE(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>westnet-gateway</title>
<style>
:root {
  --bg: #f3f5f8; --card: #fff; --ink: #1c2430; --muted: #6b7686; --line: #e1e6ed;
  --ok: #1e8e4e; --ok-bg: #e3f4ea; --warn: #a86400; --warn-bg: #fdf0d9;
  --bad: #c0362c; --bad-bg: #fbe4e2; --accent: #2b5fab;
}
* { box-sizing: border-box; }
body { margin: 0; font: 14px/1.4 system-ui, -apple-system, "Segoe UI", Roboto, sans-serif;
  background: var(--bg); color: var(--ink); }
header { background: #18212e; color: #fff; padding: 12px 24px; display: flex;
  align-items: center; gap: 16px; flex-wrap: wrap; }
header h1 { font-size: 18px; margin: 0; font-weight: 600; letter-spacing: .2px; }
header .plant { color: #9fb0c6; font-size: 13px; }
header .right { margin-left: auto; display: flex; align-items: center; gap: 10px;
  font-size: 13px; color: #c9d4e3; }
.dot { width: 10px; height: 10px; border-radius: 50%; display: inline-block;
  background: var(--ok); box-shadow: 0 0 0 3px rgba(30,142,78,.25); }
.dot.lost { background: var(--bad); box-shadow: 0 0 0 3px rgba(192,54,44,.3); }
main { padding: 20px 24px 40px; max-width: 1400px; margin: 0 auto; }
.tiles { display: grid; grid-template-columns: repeat(auto-fit, minmax(170px, 1fr)); gap: 12px;
  margin-bottom: 20px; }
.tile { background: var(--card); border: 1px solid var(--line); border-radius: 10px;
  padding: 12px 16px; }
.tile .k { color: var(--muted); font-size: 12px; text-transform: uppercase; letter-spacing: .5px; }
.tile .v { font-size: 24px; font-weight: 600; margin-top: 2px; }
.tile .v small { font-size: 14px; color: var(--muted); font-weight: 400; }
section.line { background: var(--card); border: 1px solid var(--line); border-radius: 12px;
  margin-bottom: 20px; overflow: hidden; }
.line-head { display: flex; align-items: center; gap: 12px; padding: 14px 18px;
  border-bottom: 1px solid var(--line); flex-wrap: wrap; }
.line-head h2 { font-size: 17px; margin: 0; }
.line-head .dev { color: var(--muted); font-family: ui-monospace, Menlo, Consolas, monospace;
  font-size: 13px; }
.pill { display: inline-block; padding: 1px 9px; border-radius: 999px; font-size: 12px;
  font-weight: 600; text-transform: uppercase; letter-spacing: .4px; }
.pill.ok, .pill.good { background: var(--ok-bg); color: var(--ok); }
.pill.demoted, .pill.stale { background: var(--warn-bg); color: var(--warn); }
.pill.down, .pill.bad { background: var(--bad-bg); color: var(--bad); }
.facts { display: flex; gap: 22px; padding: 10px 18px; flex-wrap: wrap; color: var(--muted);
  font-size: 13px; border-bottom: 1px solid var(--line); }
.facts b { color: var(--ink); font-weight: 600; }
.load { display: inline-block; width: 80px; height: 8px; background: var(--line);
  border-radius: 4px; vertical-align: middle; overflow: hidden; margin-left: 4px; }
.load i { display: block; height: 100%; background: var(--accent); }
.error { padding: 8px 18px; background: var(--bad-bg); color: var(--bad); font-size: 13px;
  border-bottom: 1px solid var(--line); }
.error.past { background: transparent; color: var(--muted); }
.stations { display: grid; grid-template-columns: repeat(auto-fill, minmax(240px, 1fr));
  gap: 10px; padding: 14px 18px; border-bottom: 1px solid var(--line); }
.station { border: 1px solid var(--line); border-radius: 8px; padding: 10px 12px;
  border-left: 4px solid var(--ok); }
.station.demoted { border-left-color: var(--warn); }
.station.down { border-left-color: var(--bad); }
.station .top { display: flex; justify-content: space-between; align-items: center;
  margin-bottom: 6px; font-weight: 600; }
.station .nums { display: grid; grid-template-columns: 1fr 1fr; gap: 2px 12px; font-size: 12px;
  color: var(--muted); }
.station .nums b { color: var(--ink); font-weight: 600; float: right; }
.station .err { margin-top: 6px; font-size: 12px; color: var(--bad); }
.tools { margin: -6px 0 14px; }
.tools input { width: 260px; max-width: 100%; padding: 6px 10px; border: 1px solid var(--line);
  border-radius: 6px; font: inherit; }
table { width: 100%; border-collapse: collapse; }
th { text-align: left; font-size: 12px; color: var(--muted); font-weight: 600;
  text-transform: uppercase; letter-spacing: .4px; padding: 8px 18px;
  border-bottom: 1px solid var(--line); }
td { padding: 7px 18px; border-bottom: 1px solid var(--line); vertical-align: top; }
tr:last-child td { border-bottom: 0; }
td.name { font-weight: 600; }
td.addr, td.value { font-family: ui-monospace, Menlo, Consolas, monospace; }
td.value { font-size: 15px; }
td.value.block { font-size: 12px; max-width: 520px; word-break: break-word; }
td.age { color: var(--muted); white-space: nowrap; }
.w { color: var(--accent); font-size: 11px; font-weight: 600; margin-left: 6px; }
.empty { padding: 30px; text-align: center; color: var(--muted); }
footer { color: var(--muted); font-size: 12px; text-align: center; margin-top: 10px; }
footer a { color: var(--accent); }
</style>
</head>
<body>
<header>
  <h1>westnet-gateway</h1>
  <span class="plant" id="plant"></span>
  <span class="right"><span class="dot" id="dot"></span><span id="clock">connecting&hellip;</span></span>
</header>
<main>
  <noscript><p class="empty">This page draws itself with a little script; without it, the same
  data is at <a href="/api/status">/api/status</a> and <a href="/api/points">/api/points</a>.</p></noscript>
  <div class="tiles" id="tiles"></div>
  <div id="lines"><p class="empty">Waiting for the gateway&hellip;</p></div>
  <footer>JSON: <a href="/api/status">/api/status</a> &middot; <a href="/api/points">/api/points</a>
    &middot; Prometheus: <a href="/metrics">/metrics</a></footer>
</main>
<script>
"use strict";
var filterText = "";
function h(tag, attrs, kids) {
  var e = document.createElement(tag);
  for (var k in (attrs || {})) {
    if (k === "text") e.textContent = attrs[k]; else e.setAttribute(k, attrs[k]);
  }
  (kids || []).forEach(function (c) {
    if (c !== null && c !== undefined) e.appendChild(c instanceof Node ? c : document.createTextNode(String(c)));
  });
  return e;
}
function num(n) { return n === null || n === undefined ? "\u2013" : Number(n).toLocaleString("en-US"); }
function ms(v) { return v === null || v === undefined ? "\u2013" : (v < 10 ? v.toFixed(1) : Math.round(v)) + " ms"; }
function secs(v) { return v ? (v < 10 ? v.toFixed(2) : v.toFixed(1)) + " s" : "\u2013"; }
function age(v) {
  if (v === null || v === undefined) return "never read";
  if (v < 1000) return (v / 1000).toFixed(1) + " s ago";
  if (v < 60000) return Math.round(v / 1000) + " s ago";
  if (v < 3600000) return Math.round(v / 60000) + " min ago";
  return Math.round(v / 3600000) + " h ago";
}
function fact(label, value) { return h("span", {}, [label + " ", h("b", {text: value})]); }
function tile(label, value, small) {
  return h("div", {class: "tile"}, [h("div", {class: "k", text: label}),
    h("div", {class: "v"}, [value, small ? h("small", {text: " " + small}) : null])]);
}
function stationCard(s) {
  var c = s.counts;
  var name = "Station " + (s.station < 10 ? "0" : "") + s.station;
  return h("div", {class: "station " + s.state}, [
    h("div", {class: "top"}, [h("span", {text: name}), h("span", {class: "pill " + s.state, text: s.state})]),
    h("div", {class: "nums"}, [
      h("span", {}, ["commands", h("b", {text: num(c.commands)})]),
      h("span", {}, ["good", h("b", {text: num(c.good)})]),
      h("span", {}, ["refused", h("b", {text: num(c.refused)})]),
      h("span", {}, ["line failures", h("b", {text: num(c.line_failures)})]),
      h("span", {}, ["demotions", h("b", {text: num(s.demotions)})]),
      h("span", {}, ["median", h("b", {text: s.latency_ms ? ms(s.latency_ms.median) : "\u2013"})])
    ]),
    s.late_replies ? h("div", {class: "err", text: s.late_replies.text + " (slowest " + s.late_replies.slowest_ms + " ms)"}) : null,
    s.last_error ? h("div", {class: "err", text: s.last_error.text + " (" + s.last_error.time.substr(11, 8) + " UTC)"}) : null
  ]);
}
function pointRow(p) {
  var block = Array.isArray(p.values);
  var value = block ? (p.values ? p.values.join(", ") : "\u2013") : (p.value === null ? "\u2013" : String(p.value));
  var addr = p.address;
  if (block) addr += " \u00d7" + p.count;
  return h("tr", {"data-q": p.quality}, [
    h("td", {class: "name"}, [p.name, p.writable ? h("span", {class: "w", text: "WRITABLE"}) : null]),
    h("td", {class: "addr", text: addr}),
    h("td", {class: "value" + (block ? " block" : ""), text: value}),
    h("td", {}, [h("span", {class: "pill " + p.quality, text: p.quality})]),
    h("td", {class: "age", text: age(p.age_ms)})
  ]);
}
function draw(status, points) {
  document.getElementById("plant").textContent = status.plant + (status.read_only ? "  \u00b7  read only" : "");
  var lines = status.lines, upCount = 0, st = {ok: 0, demoted: 0, down: 0}, good = 0, total = 0, cmds = 0;
  lines.forEach(function (l) {
    if (l.up) upCount++;
    l.stations.forEach(function (s) { st[s.state]++; });
    good += l.points_good; total += l.points; cmds += l.counts.commands;
  });
  var tiles = document.getElementById("tiles");
  tiles.replaceChildren(
    tile("Lines up", upCount, "of " + lines.length),
    tile("Stations ok", st.ok, "of " + (st.ok + st.demoted + st.down) + (st.demoted ? " \u00b7 " + st.demoted + " demoted" : "") +
      (st.down ? " \u00b7 " + st.down + " down" : "")),
    tile("Points good", good, "of " + total),
    tile("Commands", num(cmds)));
  var byLine = {};
  points.points.forEach(function (p) { (byLine[p.line] = byLine[p.line] || []).push(p); });
  var box = document.getElementById("lines");
  var sections = lines.map(function (l) {
    var c = l.counts;
    var load = Math.min(1, l.bus_load || 0);
    var rows = (byLine[l.name] || []).filter(function (p) {
      return !filterText || (p.name + " " + p.address).toLowerCase().indexOf(filterText) >= 0;
    }).map(pointRow);
    return h("section", {class: "line"}, [
      h("div", {class: "line-head"}, [
        h("h2", {text: l.name}), h("span", {class: "pill " + (l.up ? "ok" : "down"), text: l.up ? "up" : "down"}),
        h("span", {class: "dev", text: l.device + (l.opened_as && l.opened_as !== l.device ? " \u2192 " + l.opened_as : "") +
          "  \u00b7  " + l.baud + " " + l.format + "  \u00b7  time-out " + l.timeout_ms + " ms"})
      ]),
      h("div", {class: "facts"}, [
        fact("cycle", secs(l.cycle_seconds || l.pass_seconds)),
        h("span", {}, ["bus load ", h("b", {text: Math.round(load * 100) + "%"}),
          h("span", {class: "load"}, [h("i", {style: "width:" + (load * 100).toFixed(1) + "%"})])]),
        fact("commands", num(c.commands)), fact("good", num(c.good)),
        fact("refused", num(c.refused)), fact("line failures", num(c.line_failures)),
        fact("demotions", num(l.demotions)), fact("reopens", num(l.reopens)),
        fact("latency", l.latency_ms ? ms(l.latency_ms.median) + " / p99 " + ms(l.latency_ms.p99) : "\u2013")
      ]),
      l.last_error ? h("div", {class: "error" + (l.up && l.stations.every(function (s) { return s.state === "ok"; }) ? " past" : ""),
        text: "Last error " + l.last_error.time.substr(11, 8) + " UTC: " + l.last_error.text}) : null,
      h("div", {class: "stations"}, l.stations.map(stationCard)),
      h("table", {}, [h("thead", {}, [h("tr", {}, [h("th", {text: "Point"}), h("th", {text: "Address"}),
        h("th", {text: "Value"}), h("th", {text: "Quality"}), h("th", {text: "Last good read"})])]),
        h("tbody", {}, rows.length ? rows : [h("tr", {}, [h("td", {colspan: "5", class: "empty", text: "no point matches"})])])])
    ]);
  });
  box.replaceChildren.apply(box, sections);
  document.getElementById("clock").textContent = "updated " + status.time.substr(11, 8) + " UTC";
  document.getElementById("dot").className = "dot";
}
function refresh() {
  Promise.all([fetch("/api/status"), fetch("/api/points")]).then(function (r) {
    if (!r[0].ok || !r[1].ok) throw new Error("HTTP " + r[0].status + "/" + r[1].status);
    return Promise.all([r[0].json(), r[1].json()]);
  }).then(function (d) { draw(d[0], d[1]); }, function (e) {
    document.getElementById("dot").className = "dot lost";
    document.getElementById("clock").textContent = "no answer from the gateway (" + e.message + "), retrying";
  });
}
var search = h("input", {type: "search", placeholder: "Filter points by name or address", id: "filter"});
search.addEventListener("input", function () { filterText = search.value.toLowerCase(); refresh(); });
document.querySelector("main").insertBefore(h("div", {class: "tools"}, [search]),
  document.getElementById("tiles").nextSibling);
refresh();
setInterval(function () { if (!document.hidden) refresh(); }, 1000);
</script>
</body>
</html>
)PAGE";

}  // namespace westnet::gateway::http
