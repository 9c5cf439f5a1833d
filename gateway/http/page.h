// The status page served at /: a document, its style sheet (/app.css) and
// its script (/app.js), nothing fetched from elsewhere and nothing inline (the
// page's Content-Security-Policy allows no inline script or style). It draws
// the lines and their stations from /api/status, the points from the event
// stream /api/events (live; /api/points now and then when the stream cannot
// be opened); a point's name opens its trend from /api/history, drawn with the
// chart library the gateway serves at /chart.js. It logs in through
// /api/login and, for an operator, offers writes on writable points; an admin
// also sees the latest audit records.
#pragma once

namespace westnet::gateway::http {

inline constexpr const char* kStatusPage = R"PAGE(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>westnet-gateway</title>
<link rel="stylesheet" href="/app.css">
</head>
<body>
<header>
  <h1>westnet-gateway</h1>
  <span class="plant" id="plant"></span>
  <span class="right"><span class="dot" id="dot"></span><span id="clock">connecting&hellip;</span>
    <span id="who"></span></span>
</header>
<main>
  <noscript><p class="empty">This page draws itself with a little script; without it, the same
  data is at <a href="/api/status">/api/status</a> and <a href="/api/points">/api/points</a>.</p></noscript>
  <form id="login" class="login" hidden>
    <b>Log in</b>
    <input name="user" autocomplete="username" placeholder="user" required>
    <input name="password" type="password" autocomplete="current-password" placeholder="password" required>
    <button type="submit">Log in</button> <span class="msg" id="login-msg"></span>
  </form>
  <div class="tiles" id="tiles"></div>
  <section class="line" id="trend" hidden>
    <div class="line-head"><h2>Trend</h2>
      <span class="ranges"><button type="button" class="range" data-s="3600">1 hour</button>
      <button type="button" class="range" data-s="86400">1 day</button>
      <button type="button" class="range" data-s="604800">1 week</button>
      <button type="button" id="trend-reset" disabled>Reset zoom</button>
      <button type="button" id="trend-clear">Clear</button></span>
      <span class="msg" id="trend-msg"></span></div>
    <ul class="series" id="trend-series"></ul>
    <div class="plot" id="trend-plot"><canvas id="trend-canvas"></canvas><div class="zoombox" id="zoombox" hidden></div></div>
    <p class="hint">Drag across the chart to zoom into a span; a point's name adds it to the chart or takes it off.</p>
  </section>
  <div id="lines"><p class="empty">Waiting for the gateway&hellip;</p></div>
  <section class="line" id="audit" hidden><div class="line-head"><h2>Latest writes (audit)</h2></div>
    <table><thead><tr><th>Time</th><th>Who</th><th>From</th><th>Target</th><th>Before</th>
    <th>Value</th><th>Result</th></tr></thead><tbody id="audit-rows"></tbody></table></section>
  <footer>JSON: <a href="/api/status">/api/status</a> &middot; <a href="/api/points">/api/points</a>
    &middot; Prometheus: <a href="/metrics">/metrics</a></footer>
</main>
<script src="/chart.js"></script>
<script src="/app.js"></script>
</body>
</html>
)PAGE";

inline constexpr const char* kPageStyle = R"CSS(:root {
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
.login { background: var(--card); border: 1px solid var(--line); border-radius: 10px;
  padding: 12px 16px; margin-bottom: 16px; display: flex; gap: 8px; align-items: center;
  flex-wrap: wrap; }
.login input, .wr input { padding: 5px 8px; border: 1px solid var(--line); border-radius: 6px;
  font: inherit; }
.wr input { width: 90px; }
button { font: inherit; padding: 5px 12px; border-radius: 6px; border: 1px solid var(--accent);
  background: var(--accent); color: #fff; cursor: pointer; }
button:disabled { opacity: .45; cursor: default; }
button.link { background: transparent; color: #c9d4e3; border-color: #56657a; }
.msg { color: var(--bad); font-size: 13px; }
.msg.ok { color: var(--ok); }
tr[data-q="stale"] td.value, tr[data-q="bad"] td.value { color: var(--muted);
  text-decoration: line-through; }
td.name.trendable { cursor: pointer; color: var(--accent); }
td.name.trendable:hover { text-decoration: underline; }
td.name.trended::before { content: "\25cf  "; }
.ranges button.on { background: #18212e; border-color: #18212e; }
.series { list-style: none; margin: 0; padding: 8px 18px 0; display: flex; gap: 18px; flex-wrap: wrap;
  font-size: 13px; }
.series .swatch { display: inline-block; width: 14px; height: 4px; margin-right: 6px;
  vertical-align: middle; }
.plot { position: relative; height: 340px; padding: 8px 18px; user-select: none; }
.zoombox { position: absolute; top: 8px; bottom: 8px; background: rgba(43,95,171,.15);
  border: 1px solid var(--accent); pointer-events: none; }
.hint { color: var(--muted); font-size: 12px; margin: 0; padding: 0 18px 10px; }
.more { color: var(--muted); font-size: 13px; padding: 8px 18px; }
footer { color: var(--muted); font-size: 12px; text-align: center; margin-top: 10px; }
footer a { color: var(--accent); }
)CSS";

inline constexpr const char* kPageScript = R"JS("use strict";
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
function bar(load) { var i = h("i"); i.style.width = (load * 100).toFixed(1) + "%"; return i; }
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
var me = {user: null, role: null, public_read: false};
function canWrite() { return me.role === "operator" || me.role === "admin"; }
function writeCell(p) {
  if (!p.writable || !canWrite() || Array.isArray(p.values)) return null;
  // Plain words take 0 to 65535; a typed point takes engineering values, and
  // the gateway names its limits when one is out of range.
  var plain = p.type === "uint16" && p.decimals === undefined && p.unit === undefined;
  var attrs = {type: "number", "aria-label": "new value of " + p.name};
  if (p.bit) { attrs.min = "0"; attrs.max = "1"; }
  else if (plain) { attrs.min = "0"; attrs.max = "65535"; }
  else attrs.step = "any";
  var input = h("input", attrs);
  var msg = h("span", {class: "msg"});
  var form = h("form", {class: "wr"}, [input, " ", h("button", {type: "submit", text: "Write"}), " ", msg]);
  form.addEventListener("submit", function (ev) {
    ev.preventDefault();
    msg.className = "msg"; msg.textContent = "writing…";
    fetch("/api/points/" + encodeURIComponent(p.line) + "/" + p.name.split("/").map(encodeURIComponent).join("/"),
          {method: "PUT", headers: {"Content-Type": "application/json"},
           body: JSON.stringify(Number(input.value))})
      .then(function (r) { return r.json().then(function (b) { return [r.ok, b]; }); })
      .then(function (rb) {
        msg.className = "msg" + (rb[0] ? " ok" : "");
        msg.textContent = rb[0] ? "written" : (rb[1].message || rb[1].error);
        pause = false;
      }, function (e) { msg.textContent = e.message; pause = false; });
  });
  input.addEventListener("focus", function () { pause = true; });
  input.addEventListener("blur", function () { if (!input.value) pause = false; });
  return form;
}
// A value as the point asks: rounded to its decimals, with its unit.
function shown(p, v) {
  if (v === null || v === undefined) return "\u2013";
  return (p.decimals !== undefined ? v.toFixed(p.decimals) : String(v));
}
function pointRow(p) {
  var block = Array.isArray(p.values);
  var value = block ? (p.values ? p.values.map(function (v) { return shown(p, v); }).join(", ") : "\u2013")
                    : shown(p, p.value);
  if (p.unit && value !== "\u2013") value += " " + p.unit;
  // A value that is not good is marked as such beside it, not only greyed.
  if (p.quality !== "good" && value !== "\u2013") value += " (" + p.quality + ")";
  if (p.out_of_range) value += " (out of range)";
  var addr = p.address;
  if (block) addr += " \u00d7" + p.count;
  if (p.type && p.type !== "uint16" && p.type !== "bool") addr += " " + p.type;
  var name = h("td", {class: "name"}, [p.name, p.writable ? h("span", {class: "w", text: "WRITABLE"}) : null]);
  if (!block) {
    name.className = "name trendable" + (trendIndex(p) >= 0 ? " trended" : "");
    name.title = "trend of " + p.name;
    name.addEventListener("click", function () { toggleTrend(p); });
  }
  return h("tr", {"data-q": p.quality}, [
    name,
    h("td", {class: "addr", text: addr}),
    h("td", {class: "value" + (block ? " block" : ""), text: value}),
    h("td", {}, [h("span", {class: "pill " + p.quality, text: p.quality})]),
    h("td", {class: "age", text: age(p.age_ms)}),
    canWrite() ? h("td", {}, [writeCell(p)]) : null
  ]);
}
// At most this many rows a line: a plant of thousands of points is searched
// with the filter, not scrolled.
var kRowsShown = 500;
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
  points.forEach(function (p) { (byLine[p.line] = byLine[p.line] || []).push(p); });
  var box = document.getElementById("lines");
  var sections = lines.map(function (l) {
    var c = l.counts;
    var load = Math.min(1, l.bus_load || 0);
    var matching = (byLine[l.name] || []).filter(function (p) {
      return !filterText || (p.name + " " + p.address).toLowerCase().indexOf(filterText) >= 0;
    });
    var rows = matching.slice(0, kRowsShown).map(pointRow);
    return h("section", {class: "line"}, [
      h("div", {class: "line-head"}, [
        h("h2", {text: l.name}), h("span", {class: "pill " + (l.up ? "ok" : "down"), text: l.up ? "up" : "down"}),
        h("span", {class: "dev", text: l.device + (l.opened_as && l.opened_as !== l.device ? " \u2192 " + l.opened_as : "") +
          "  \u00b7  " + l.baud + " " + l.format + "  \u00b7  time-out " + l.timeout_ms + " ms"})
      ]),
      h("div", {class: "facts"}, [
        fact("cycle", secs(l.cycle_seconds || l.pass_seconds)),
        h("span", {}, ["bus load ", h("b", {text: Math.round(load * 100) + "%"}),
          h("span", {class: "load"}, [bar(load)])]),
        fact("commands", num(c.commands)), fact("good", num(c.good)),
        fact("refused", num(c.refused)), fact("line failures", num(c.line_failures)),
        fact("demotions", num(l.demotions)), fact("reopens", num(l.reopens)),
        fact("latency", l.latency_ms ? ms(l.latency_ms.median) + " / p99 " + ms(l.latency_ms.p99) : "\u2013")
      ]),
      l.last_error ? h("div", {class: "error" + (l.up && l.stations.every(function (s) { return s.state === "ok"; }) ? " past" : ""),
        text: "Last error " + l.last_error.time.substr(11, 8) + " UTC: " + l.last_error.text}) : null,
      h("div", {class: "stations"}, l.stations.map(stationCard)),
      h("table", {}, [h("thead", {}, [h("tr", {}, [h("th", {text: "Point"}), h("th", {text: "Address"}),
        h("th", {text: "Value"}), h("th", {text: "Quality"}), h("th", {text: "Last good read"}),
        canWrite() ? h("th", {text: "Write"}) : null])]),
        h("tbody", {}, rows.length ? rows : [h("tr", {}, [h("td", {colspan: "5", class: "empty", text: "no point matches"})])])]),
      matching.length > rows.length ? h("div", {class: "more", text: num(matching.length - rows.length) +
        " more points: type in the filter to find them"}) : null
    ]);
  });
  box.replaceChildren.apply(box, sections);
  document.getElementById("clock").textContent = (live ? "live \u00b7 " : "updated ") +
    new Date().toISOString().substr(11, 8) + " UTC";
  document.getElementById("dot").className = "dot";
}
var pause = false;
// The points by line and name, in the plant's order, and the latest status.
var points = new Map(), lastStatus = null, dirty = false;
var live = false, stream = null, streamFailures = 0, lastPointsAt = 0;
function pointKey(p) { return p.line + "\n" + p.name; }
function pointList() { return Array.from(points.values()); }
function redraw() {
  if (pause || !lastStatus) return;
  dirty = false;
  draw(lastStatus, pointList());
}
function showWho() {
  var who = document.getElementById("who");
  var login = document.getElementById("login");
  if (me.user) {
    var out = h("button", {class: "link", type: "button", text: "Log out"});
    out.addEventListener("click", function () {
      fetch("/api/logout", {method: "POST"}).then(whoami);
    });
    who.replaceChildren(me.user + " (" + me.role + ") ", out);
    login.hidden = true;
  } else {
    who.replaceChildren();
    login.hidden = false;
  }
  document.getElementById("audit").hidden = me.role !== "admin";
}
function whoami() {
  return fetch("/api/whoami").then(function (r) { return r.json(); }).then(function (d) {
    me = d; showWho(); openStream(); refresh();
  });
}
document.getElementById("login").addEventListener("submit", function (ev) {
  ev.preventDefault();
  var f = ev.target;
  fetch("/api/login", {method: "POST", headers: {"Content-Type": "application/json"},
        body: JSON.stringify({user: f.user.value, password: f.password.value})})
    .then(function (r) { return r.json().then(function (b) { return [r.ok, b]; }); })
    .then(function (rb) {
      f.password.value = "";
      document.getElementById("login-msg").textContent = rb[0] ? "" : (rb[1].message || rb[1].error);
      if (rb[0]) whoami();
    });
});
function drawAudit(records) {
  document.getElementById("audit-rows").replaceChildren.apply(document.getElementById("audit-rows"),
    records.slice().reverse().slice(0, 50).map(function (a) {
      var target = a.point ? a.line + " / " + a.point : a.line + " station " + a.station + " register " + a.register + (a.bit ? " bit " + a.bit : "");
      return h("tr", {}, [h("td", {class: "age", text: a.time.substr(11, 12)}), h("td", {text: a.who || "–"}),
        h("td", {text: a.front_end + " " + a.client}), h("td", {text: target}),
        h("td", {class: "value", text: a.before === null ? "–" : JSON.stringify(a.before)}),
        h("td", {class: "value", text: JSON.stringify(a.value)}),
        h("td", {}, [h("span", {class: "pill " + (a.result === "ok" ? "good" : "bad"), text: a.result})])]);
    }));
}
// The live stream: a snapshot of every point, then each change as it
// happens; station and line states too. It ends on a reload of the plant
// (or when this page could not keep up): opened again, with a snapshot.
function openStream() {
  if (stream) { stream.close(); stream = null; }
  live = false;
  if (!me.user && !me.public_read) return;
  if (typeof EventSource === "undefined") return;
  var es = new EventSource("/api/events"), snapshot = null;
  stream = es;
  es.addEventListener("hello", function () { snapshot = new Map(); });
  es.addEventListener("point", function (ev) {
    var p = JSON.parse(ev.data);
    if (snapshot) { snapshot.set(pointKey(p), p); return; }
    points.set(pointKey(p), p);
    trendLive(p);
    dirty = true;
  });
  es.addEventListener("ready", function () {
    points = snapshot || points; snapshot = null;
    live = true; streamFailures = 0; dirty = true;
    refresh();
    trendFromAddress();
  });
  es.addEventListener("station", function (ev) {
    var d = JSON.parse(ev.data);
    (lastStatus ? lastStatus.lines : []).forEach(function (l) {
      if (l.name !== d.line) return;
      l.stations.forEach(function (s) { if (s.station === d.station) s.state = d.state; });
    });
    dirty = true;
  });
  es.addEventListener("line", function (ev) {
    var d = JSON.parse(ev.data);
    (lastStatus ? lastStatus.lines : []).forEach(function (l) { if (l.name === d.line) l.up = d.up; });
    dirty = true;
  });
  function again(ms) {
    es.close(); if (stream === es) stream = null;
    live = false;
    setTimeout(function () { if (!stream) openStream(); }, ms);
  }
  // The plant changed: what the page knows of it is fetched again.
  es.addEventListener("reload", function () { again(0); points = new Map(); refresh(); });
  es.addEventListener("overflow", function () { again(1000); });
  es.onerror = function () {
    live = false;
    // The browser retries a stream that broke by itself; one refused (a
    // login that ended, every place taken) is tried again later, and the
    // points meanwhile come from /api/points.
    if (es.readyState === EventSource.CLOSED) again(Math.min(60000, 5000 * ++streamFailures));
  };
}
function refresh() {
  if (pause) return;
  if (!me.user && !me.public_read) {
    document.getElementById("lines").replaceChildren(h("p", {class: "empty", text: "Log in to see the plant."}));
    return;
  }
  // Without the stream the points are fetched, a large plant's less often.
  var now = Date.now();
  var wantPoints = !live && now - lastPointsAt >= Math.min(30000, Math.max(5000, points.size));
  if (me.role === "admin") {
    fetch("/api/audit?limit=50").then(function (r) { return r.ok ? r.json() : {records: []}; })
      .then(function (d) { drawAudit(d.records); });
  }
  Promise.all([fetch("/api/status"), wantPoints ? fetch("/api/points") : null]).then(function (r) {
    if (!r[0].ok || (r[1] && !r[1].ok)) throw new Error("HTTP " + r[0].status + (r[1] ? "/" + r[1].status : ""));
    return Promise.all([r[0].json(), r[1] ? r[1].json() : null]);
  }).then(function (d) {
    lastStatus = d[0];
    if (d[1] && !live) {
      lastPointsAt = now;
      points = new Map(d[1].points.map(function (p) { return [pointKey(p), p]; }));
      trendFromAddress();
    }
    redraw();
  }, function (e) {
    document.getElementById("dot").className = "dot lost";
    document.getElementById("clock").textContent = "no answer from the gateway (" + e.message + "), retrying";
  });
}
// --- Trends: several points on one chart over the last hour, day or week,
// from /api/history; a drag across the chart zooms into a span (fetched
// again at a finer step), "Reset zoom" goes back. Rows whose quality is not
// good, and spans with no row at all, are gaps in the line. While the chart
// ends at now, live changes from the stream are appended.
var kTrendColours = ["#2b5fab", "#c0362c", "#1e8e4e", "#a86400", "#7b3fa8", "#0f8a94"];
var kBuckets = 600;  // rows asked for a span: about one per two pixels
var trend = {series: [], range: 3600, from: 0, to: 0, step: 0, zoomed: false, chart: null, gen: 0, dirty: false};
function trendIndex(p) {
  for (var i = 0; i < trend.series.length; i++) if (trend.series[i].key === pointKey(p)) return i;
  return -1;
}
function trendMsg(text) { document.getElementById("trend-msg").textContent = text || ""; }
function iso(ms) { return new Date(ms).toISOString().replace(/\.\d{3}Z$/, "Z"); }
function toggleTrend(p) {
  var box = document.getElementById("trend");
  box.hidden = false;
  if (typeof Chart === "undefined") {
    trendMsg("No trends: the chart library is not installed on the gateway (Debian package libjs-chart.js).");
    return;
  }
  var i = trendIndex(p);
  if (i >= 0) trend.series.splice(i, 1);
  else trend.series.push({key: pointKey(p), line: p.line, name: p.name, unit: p.unit, data: [],
    colour: kTrendColours[trend.series.length % kTrendColours.length]});
  box.hidden = trend.series.length === 0;
  dirty = true;
  loadTrend();
}
function trendWindow() {
  if (!trend.zoomed) { trend.to = Date.now(); trend.from = trend.to - trend.range * 1000; }
  var step = Math.floor((trend.to - trend.from) / 1000 / kBuckets);
  trend.step = step < 1 ? 0 : step;
}
// Rows to chart points: the average of a bucket (the value itself for raw
// rows); null, a gap, for a row that is not good and where rows are missing.
function trendData(rows, step) {
  var out = [], prev = null;
  rows.forEach(function (r) {
    var t = Date.parse(r.time);
    if (step > 0 && prev !== null && t - prev > 2.5 * step * 1000) out.push({x: prev + step * 1000, y: null});
    var v = r.quality === "good" ? (step > 0 ? r.avg : r.last) : null;
    out.push({x: t, y: v === undefined ? null : v});
    prev = t;
  });
  return out;
}
function loadTrend() {
  if (!trend.series.length) { drawTrend(); return; }
  trendWindow();
  var gen = ++trend.gen, step = trend.step, errors = [];
  trendMsg("loading\u2026");
  Promise.all(trend.series.map(function (s) {
    var url = "/api/history?line=" + encodeURIComponent(s.line) + "&point=" + encodeURIComponent(s.name) +
      "&from=" + iso(trend.from) + "&to=" + iso(trend.to) + "&step=" + step;
    return fetch(url).then(function (r) {
      return r.json().then(function (b) {
        if (!r.ok) throw new Error(b.message || b.error || "HTTP " + r.status);
        return b;
      }, function () { throw new Error("HTTP " + r.status); });
    }).then(function (b) {
      if (b.unit) s.unit = b.unit;
      // Live changes that came while the history was fetched stay after it.
      var rows = trendData(b.rows || [], step), end = rows.length ? rows[rows.length - 1].x : trend.from;
      s.data = rows.concat(s.data.filter(function (d) { return d.x > end && d.x >= trend.from; }));
    }, function (e) { s.data = []; errors.push(s.name + ": " + e.message); });
  })).then(function () {
    if (gen !== trend.gen) return;
    trendMsg(errors.length ? "no history: " + errors.join("; ") : "");
    drawTrend();
  });
}
function tickLabel(v) {
  var d = new Date(v).toISOString();
  return trend.to - trend.from > 86400000 ? d.substr(5, 5) + " " + d.substr(11, 5) : d.substr(11, 8);
}
function drawTrend() {
  var list = document.getElementById("trend-series");
  list.replaceChildren.apply(list, trend.series.map(function (s) {
    var sw = h("span", {class: "swatch"});
    sw.style.background = s.colour;
    return h("li", {}, [sw, s.line + " / " + s.name + (s.unit ? " (" + s.unit + ")" : "")]);
  }));
  document.getElementById("trend-reset").disabled = !trend.zoomed;
  document.querySelectorAll(".ranges .range").forEach(function (b) {
    b.className = "range" + (!trend.zoomed && Number(b.dataset.s) === trend.range ? " on" : "");
  });
  if (typeof Chart === "undefined") return;
  var datasets = trend.series.map(function (s) {
    return {label: s.name + (s.unit ? " (" + s.unit + ")" : ""), data: s.data, borderColor: s.colour,
      backgroundColor: s.colour, borderWidth: 3, pointRadius: 0, spanGaps: false,
      stepped: trend.step === 0 ? "after" : false, parsing: false};
  });
  if (!trend.chart) {
    trend.chart = new Chart(document.getElementById("trend-canvas"), {
      type: "line", data: {datasets: datasets},
      options: {animation: false, maintainAspectRatio: false, normalized: true,
        interaction: {mode: "nearest", axis: "x", intersect: false},
        scales: {x: {type: "linear", min: trend.from, max: trend.to,
          ticks: {callback: tickLabel, maxTicksLimit: 8}}},
        plugins: {legend: {display: false},
          tooltip: {callbacks: {title: function (items) { return items.length ? iso(items[0].parsed.x) : ""; }}}}}});
  } else {
    trend.chart.data.datasets = datasets;
  }
  trend.chart.options.scales.x.min = trend.from;
  trend.chart.options.scales.x.max = trend.to;
  trend.chart.update("none");
}
// A change from the stream, on a chart that ends at now.
function trendLive(p) {
  if (trend.zoomed || Array.isArray(p.values)) return;
  var i = trendIndex(p);
  if (i < 0) return;
  var s = trend.series[i], last = s.data.length ? s.data[s.data.length - 1].x : 0;
  var good = p.quality === "good" && p.time;
  var t = good ? Date.parse(p.time) : Date.now();
  if (t <= last) return;
  s.data.push({x: t, y: good ? p.value : null});
  trend.dirty = true;
}
function trendTick() {
  if (!trend.chart || trend.zoomed || !trend.series.length) return;
  trendWindow();
  trend.series.forEach(function (s) {
    while (s.data.length && s.data[0].x < trend.from) s.data.shift();
  });
  trend.chart.options.scales.x.min = trend.from;
  trend.chart.options.scales.x.max = trend.to;
  trend.chart.update("none");
  trend.dirty = false;
}
// A link may name points to chart: /#trend=LINE/NAME,LINE/NAME (and
// &range=SECONDS), taken once the points are known.
var trendAsked = false;
function trendFromAddress() {
  if (trendAsked) return;
  trendAsked = true;
  var m = /^#trend=([^&]*)(?:&range=(\d+))?/.exec(location.hash);
  if (!m) return;
  if (m[2]) trend.range = Number(m[2]);
  decodeURIComponent(m[1]).split(",").forEach(function (ln) {
    var cut = ln.indexOf("/"), p = points.get(ln.substr(0, cut) + "\n" + ln.substr(cut + 1));
    if (p && trendIndex(p) < 0) toggleTrend(p);
  });
}
(function () {
  document.querySelectorAll(".ranges .range").forEach(function (b) {
    b.addEventListener("click", function () { trend.range = Number(b.dataset.s); trend.zoomed = false; loadTrend(); });
  });
  document.getElementById("trend-reset").addEventListener("click", function () { trend.zoomed = false; loadTrend(); });
  document.getElementById("trend-clear").addEventListener("click", function () {
    trend.series = []; trend.zoomed = false; document.getElementById("trend").hidden = true; dirty = true; drawTrend();
  });
  var plot = document.getElementById("trend-plot"), box = document.getElementById("zoombox"), x0 = null;
  function xIn(ev) { return ev.clientX - plot.getBoundingClientRect().left; }
  plot.addEventListener("mousedown", function (ev) {
    if (!trend.chart) return;
    x0 = xIn(ev);
    box.style.left = x0 + "px"; box.style.width = "0px"; box.hidden = false;
  });
  plot.addEventListener("mousemove", function (ev) {
    if (x0 === null) return;
    var x = xIn(ev);
    box.style.left = Math.min(x, x0) + "px"; box.style.width = Math.abs(x - x0) + "px";
  });
  window.addEventListener("mouseup", function (ev) {
    if (x0 === null) return;
    var x = xIn(ev), a = Math.min(x, x0), b = Math.max(x, x0);
    x0 = null; box.hidden = true;
    if (b - a < 5) return;
    // The canvas sits inside the plot's padding: its own pixels for the scale.
    var off = trend.chart.canvas.getBoundingClientRect().left - plot.getBoundingClientRect().left;
    var sx = trend.chart.scales.x;
    var from = sx.getValueForPixel(a - off), to = sx.getValueForPixel(b - off);
    from = Math.max(from, trend.from); to = Math.min(to, trend.to);
    if (to - from < 1000) return;
    trend.from = from; trend.to = to; trend.zoomed = true;
    loadTrend();
  });
})();
var search = h("input", {type: "search", placeholder: "Filter points by name or address", id: "filter"});
search.addEventListener("input", function () { filterText = search.value.toLowerCase(); refresh(); });
document.querySelector("main").insertBefore(h("div", {class: "tools"}, [search]),
  document.getElementById("tiles").nextSibling);
whoami();
// The status (counters, bus load) every 5 s, every second without the
// stream; the table and the trend at most once a second, when they changed.
var ticks = 0;
setInterval(function () {
  if (document.hidden) return;
  if (!live || ++ticks % 5 === 0) refresh();
  else if (dirty) redraw();
  trendTick();
}, 1000);
)JS";

}  // namespace westnet::gateway::http
