// The channel status page: polls /status.json every 2 s with the root token (from ?token= or
// the admin pages' log-in) and fills the tables. Values go in as text or SVG attributes only.
"use strict";

const SVG = "http://www.w3.org/2000/svg";
const HISTORY = 30;                                  // samples in a sparkline: one minute
const history = new Map();                           // channel number -> bitrates (bit/s)

function svgElement(name, attributes) {
  const element = document.createElementNS(SVG, name);
  for (const [key, value] of Object.entries(attributes)) element.setAttribute(key, String(value));
  return element;
}

// A folder channel plays by the clock: "playing" rather than a signal received.
function signalDot(up, label) {
  const svg = svgElement("svg", { width: 14, height: 14, role: "img", "aria-label": label || (up ? "signal" : "no signal") });
  svg.appendChild(svgElement("circle", { cx: 7, cy: 7, r: 6, fill: up ? "#1a9c3a" : "#c62828", class: up ? "dot-up" : "dot-down" }));
  return svg;
}

function sparkline(values) {
  const width = 120, height = 24;
  const svg = svgElement("svg", { width, height, role: "img", "aria-label": "bitrate of the last minute" });
  const top = Math.max(1, ...values);
  const points = values.map((value, i) => {
    const x = values.length > 1 ? (i * (width - 2)) / (HISTORY - 1) + 1 : 1;
    const y = height - 1 - (value / top) * (height - 2);
    return x.toFixed(1) + "," + y.toFixed(1);
  });
  svg.appendChild(svgElement("polyline", { points: points.join(" "), fill: "none", stroke: "#05508a", "stroke-width": 1.5 }));
  return svg;
}

function clock(seconds) {
  return new Date(seconds * 1000).toLocaleTimeString([], { hour: "2-digit", minute: "2-digit" });
}

// What the programme guide says is on now, and next (as a second line).
function fillProgramme(td, channel) {
  const lines = [];
  if (channel.now) lines.push(clock(channel.now.start) + " " + channel.now.title);
  if (channel.next) lines.push(clock(channel.next.start) + " " + channel.next.title);
  td.className = "programme";
  for (const [i, line] of lines.entries()) {
    const div = document.createElement("div");
    div.textContent = line;
    if (i > 0) div.className = "next";
    td.appendChild(div);
  }
}

function fillChannels(channels) {
  const body = document.querySelector("#status-channels tbody");
  body.replaceChildren();
  for (const channel of channels) {
    const folder = channel.playing !== undefined;
    const bitrate = Number(folder ? channel.file_bitrate : channel.bitrate) || 0;
    const values = history.get(channel.channel) || [];
    values.push(bitrate);
    while (values.length > HISTORY) values.shift();
    history.set(channel.channel, values);

    const row = document.createElement("tr");
    const up = folder ? channel.playing === 1 : channel.signal === 1;
    row.appendChild(document.createElement("td")).appendChild(signalDot(up, folder ? (up ? "playing" : "no file") : ""));
    cell(row, channel.channel, "number");
    cell(row, folder && channel.file ? channel.name + " (playing " + channel.file + ")" : channel.name);
    fillProgramme(cell(row, ""), channel);
    cell(row, (bitrate / 1000).toFixed(0), "number");
    row.appendChild(document.createElement("td")).appendChild(sparkline(values));
    cell(row, channel.cc_errors, "number");
    cell(row, channel.rtp_gaps, "number");
    cell(row, channel.pcr_jumps, "number");
    const v = channel.viewers || {};
    const total = (v.http || 0) + (v.rtsp || 0) + (v.hls || 0) + (v.multicast || 0);
    const td = cell(row, total, "number");
    td.title = "HTTP " + (v.http || 0) + ", RTSP " + (v.rtsp || 0) + ", HLS " + (v.hls || 0) + ", multicast " + (v.multicast || 0);
    body.appendChild(row);
  }
}

function fillViewers(viewers) {
  const body = document.querySelector("#status-viewers tbody");
  body.replaceChildren();
  for (const viewer of viewers) {
    const row = document.createElement("tr");
    cell(row, viewer.client);
    cell(row, viewer.user);
    cell(row, viewer.channel !== undefined ? "CH " + viewer.channel : viewer.film);
    cell(row, viewer.protocol);
    cell(row, viewer.seconds, "number");
    body.appendChild(row);
  }
}

async function poll() {
  const message = document.getElementById("status-message");
  try {
    const answer = await fetch("/status.json?token=" + encodeURIComponent(pageToken()), { cache: "no-store" });
    if (answer.status === 401 || answer.status === 403) {
      message.textContent = "Log in as root on the admin pages, or open this page with ?token=";
      return;
    }
    const status = await answer.json();
    fillChannels(status.channels || []);
    fillViewers(status.viewers || []);
    message.textContent = "";
    document.getElementById("status-updated").textContent = "updated " + new Date().toLocaleTimeString();
  } catch (error) {
    message.textContent = "No answer from the server";
  }
}

poll();
setInterval(poll, 2000);
