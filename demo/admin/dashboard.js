// The dashboard of the admin pages: every channel's health as a tile, refreshed from
// /status.json every 5 s while the section shows (tiles and charts updated in place), and a
// player panel that plays a clicked channel's live HLS playlist beside its technical facts from
// /channel.json. Server values go in as text only.
"use strict";

const dashboard = {
  tiles: new Map(),          // channel number -> { tile, parts, chart }
  status: null,              // the last /status.json
  player: null,              // { channel, hls } while the panel plays
  hlsEvents: [],             // what hls.js reported for the open player, for tests
  timer: 0,
};
window.dashboard = dashboard;

const REFRESH_MS = 5000;
const byId = (id) => document.getElementById(id);

function element(tag, className, text) {
  const node = document.createElement(tag);
  if (className) node.className = className;
  if (text !== undefined) node.textContent = String(text);
  return node;
}

function rateText(bits) {
  const value = Number(bits) || 0;
  if (value >= 1e6) return (value / 1e6).toFixed(2) + " Mbit/s";
  return (value / 1e3).toFixed(0) + " kbit/s";
}

function clockText(seconds) {
  return new Date(seconds * 1000).toLocaleTimeString([], { hour: "2-digit", minute: "2-digit" });
}

function programmeText(programme) {
  return clockText(programme.start) + "-" + clockText(programme.stop) + " " + programme.title;
}

// A folder channel plays by the clock ("playing" or "no file"); the others receive a signal.
function signalOf(channel) {
  if (channel.playing !== undefined)
    return channel.playing === 1 ? { text: "playing", state: "up" } : { text: "no file", state: "idle" };
  return channel.signal === 1 ? { text: "signal", state: "up" } : { text: "no signal", state: "down" };
}

// ---- Tiles --------------------------------------------------------------------------------

function tickText(bits) {
  return bits >= 1e6 ? (bits / 1e6).toFixed(1) + "M" : (bits / 1e3).toFixed(0) + "k";
}

// A small chart of the bitrate history (a folder channel's: the bitrate of the files it played).
function makeChart(place) {
  if (typeof uPlot === "undefined") {
    place.textContent = "chart library missing: run scripts/setup.sh";
    place.classList.add("missing");
    return null;
  }
  const options = {
    width: 250, height: 70, legend: { show: false }, cursor: { show: false },
    scales: { x: { time: true }, y: { range: (u, min, max) => [0, Math.max(max * 1.1, 1e5)] } },
    axes: [{ show: false }, { size: 46, font: "10px sans-serif", values: (u, ticks) => ticks.map(tickText) }],
    series: [{}, { stroke: "#05508a", fill: "rgba(5, 80, 138, 0.12)", width: 1.5, points: { show: false } }],
  };
  return new uPlot(options, [[], []], place);
}

function makeTile(number) {
  const tile = element("div", "tile");
  tile.dataset.channel = String(number);
  tile.tabIndex = 0;
  tile.title = "Play this channel";
  const head = tile.appendChild(element("div", "tile-head"));
  const parts = {
    dot: head.appendChild(element("span", "dot")),
    number: head.appendChild(element("span", "tile-number")),
    name: head.appendChild(element("span", "tile-name")),
    kind: head.appendChild(element("span", "tile-kind")),
  };
  const state = tile.appendChild(element("div", "tile-line"));
  parts.signal = state.appendChild(element("span", "tile-signal"));
  parts.file = state.appendChild(element("span", "tile-file"));
  parts.rate = tile.appendChild(element("div", "tile-rate"));
  parts.chart = tile.appendChild(element("div", "tile-chart"));
  parts.viewers = tile.appendChild(element("div", "tile-viewers"));
  parts.errors = tile.appendChild(element("div", "tile-errors"));
  parts.now = tile.appendChild(element("div", "tile-now"));
  parts.next = tile.appendChild(element("div", "tile-next"));
  const entry = { tile, parts, chart: makeChart(parts.chart) };
  tile.addEventListener("click", () => openPlayer(number));
  tile.addEventListener("keydown", (event) => { if (event.key === "Enter") openPlayer(number); });
  return entry;
}

// The bitrate samples against their times: the newest is the status's time, one step apart.
function chartData(channel, time, step) {
  const values = (channel.history && channel.history.bitrate) || [];
  const times = values.map((_, i) => time - (values.length - 1 - i) * step);
  return [times, values.map((value) => Number(value) || 0)];
}

function fillTile(entry, channel, time, step) {
  const { tile, parts } = entry;
  const signal = signalOf(channel);
  tile.dataset.state = signal.state;
  parts.dot.className = "dot " + signal.state;
  parts.number.textContent = String(channel.channel);
  parts.name.textContent = channel.name || "";
  parts.kind.textContent = channel.kind || "";
  parts.signal.textContent = signal.text;
  parts.signal.className = "tile-signal " + signal.state;
  const folder = channel.playing !== undefined;
  parts.file.textContent = channel.playing === 1 && channel.file ? channel.file : "";
  if (folder) parts.rate.textContent = channel.playing === 1 ? "File " + rateText(channel.file_bitrate) : "";
  else parts.rate.textContent = channel.input === false ? "no input" : "Input " + rateText(channel.bitrate);
  if (entry.chart) entry.chart.setData(chartData(channel, time, step));
  const v = channel.viewers || {};
  parts.viewers.textContent = "Viewers: HTTP " + (v.http || 0) + ", RTSP " + (v.rtsp || 0) + ", HLS " + (v.hls || 0) +
    ", multicast " + (v.multicast || 0);
  const errors = Number(channel.cc_errors_minute) || 0;
  parts.errors.textContent = "CC errors last minute: " + errors;
  parts.errors.classList.toggle("bad", errors > 0);
  parts.now.textContent = channel.now ? "Now " + programmeText(channel.now) : "";
  parts.next.textContent = channel.next ? "Next " + programmeText(channel.next) : "";
}

function fillTiles(status) {
  const box = byId("dash-tiles");
  const time = Number(status.time) || Date.now() / 1000;
  const step = Number(status.history_step) || 5;
  const seen = new Set();
  for (const channel of status.channels || []) {
    let entry = dashboard.tiles.get(channel.channel);
    if (!entry) {
      entry = makeTile(channel.channel);
      dashboard.tiles.set(channel.channel, entry);
    }
    seen.add(channel.channel);
    fillTile(entry, channel, time, step);
    box.appendChild(entry.tile);     // moves a known tile into the status's order
  }
  for (const [number, entry] of dashboard.tiles) {
    if (seen.has(number)) continue;
    if (entry.chart) entry.chart.destroy();
    entry.tile.remove();
    dashboard.tiles.delete(number);
  }
}

function fillTotals(status) {
  const process = status.process || {};
  byId("dash-viewers").textContent = String(process.viewers ?? 0);
  byId("dash-out").textContent = rateText(process.out_bitrate);
  byId("dash-cpu").textContent = process.cpu_percent === undefined ? "-" : Number(process.cpu_percent).toFixed(1) + " %";
  byId("dash-memory").textContent = ((Number(process.resident_bytes) || 0) / 1048576).toFixed(1) + " MB";
}

async function refresh() {
  if (byId("dashboard").hidden) return;
  const message = byId("dash-message");
  try {
    const answer = await fetch("/status.json?token=" + encodeURIComponent(pageToken()), { cache: "no-store" });
    if (answer.status === 401 || answer.status === 403) {
      message.textContent = "The log-in has expired: log out and in again";
      return;
    }
    if (!answer.ok) {
      message.textContent = "The server answered " + answer.status;
      return;
    }
    const status = await answer.json();
    dashboard.status = status;
    fillTotals(status);
    fillTiles(status);
    if (dashboard.player) fillHealth(dashboard.player.channel);
    message.textContent = "";
    byId("dash-updated").textContent = "updated " + new Date().toLocaleTimeString();
  } catch (error) {
    message.textContent = "No answer from the server";
  }
}

// ---- Player -------------------------------------------------------------------------------

function playerSays(text) {
  byId("player-status").textContent = text;
}

function factRow(body, cells) {
  const row = document.createElement("tr");
  for (const text of cells) cell(row, text);
  body.appendChild(row);
}

// The input health of the channel, from the last status.
function fillHealth(number) {
  const body = byId("player-health").querySelector("tbody");
  body.replaceChildren();
  const channel = ((dashboard.status && dashboard.status.channels) || []).find((c) => c.channel === number);
  if (!channel) return;
  factRow(body, ["State", signalOf(channel).text]);
  factRow(body, ["Bitrate", rateText(channel.bitrate)]);
  if (channel.playing !== undefined) factRow(body, ["File", (channel.file || "none") + ", " + rateText(channel.file_bitrate)]);
  factRow(body, ["CC errors", (channel.cc_errors || 0) + " (" + (channel.cc_errors_minute || 0) + " last minute)"]);
  factRow(body, ["RTP gaps", channel.rtp_gaps || 0]);
  factRow(body, ["PCR", (channel.pcr ? "present" : "none") + ", " + (channel.pcr_jumps || 0) + " jumps"]);
  if (channel.silence_seconds !== undefined && channel.silence_seconds >= 0) factRow(body, ["Silence", channel.silence_seconds + " s"]);
}

function streamText(stream) {
  const parts = [stream.codec || "type " + stream.type];
  if (stream.width && stream.height) parts.push(stream.width + "x" + stream.height);
  if (stream.language) parts.push(stream.language);
  return parts.join(", ");
}

// The programs and streams of the channel from /channel.json; a server without it says so.
async function fillStreams(number) {
  const body = byId("player-streams").querySelector("tbody");
  body.replaceChildren();
  try {
    const answer = await fetch("/channel.json?channel=" + number + "&token=" + encodeURIComponent(pageToken()), { cache: "no-store" });
    if (!dashboard.player || dashboard.player.channel !== number) return;
    if (!answer.ok) {
      factRow(body, ["Streams unknown", answer.status === 404 ? "this server does not describe channels" : "answer " + answer.status]);
      return;
    }
    const facts = await answer.json();
    if (!dashboard.player || dashboard.player.channel !== number) return;
    factRow(body, ["Kind", (facts.kind || "") + (facts.ts ? ", transport stream" : "")]);
    factRow(body, ["Bitrate", rateText(facts.bitrate)]);
    for (const program of facts.programs || []) {
      factRow(body, ["Program " + program.number, "PMT PID " + program.pmt_pid]);
      for (const stream of program.streams || []) factRow(body, ["PID " + stream.pid, streamText(stream)]);
    }
  } catch (error) {
    factRow(body, ["Streams unknown", "no answer"]);
  }
}

// Root's Basic credentials of this log-in, for a playlist under the user check; "" when the
// password is not at hand (a reloaded page).
function basicCredentials() {
  const user = byId("login-user"), password = byId("login-password");
  if (!user || !password || password.value === "") return "";
  return "Basic " + btoa(unescape(encodeURIComponent(user.value + ":" + password.value)));
}

function recordHlsEvent(name) {
  dashboard.hlsEvents.push(name);
}

// The server's answers to a playlist request it refuses.
const REFUSALS = { 1001: "user name or password refused", 1002: "the account has expired", 404: "no such channel" };

function playWithHlsJs(video, address) {
  const hls = new Hls({
    liveDurationInfinity: true,
    // The first playlist waits for the channel's first segment, and may be refused a while.
    manifestLoadPolicy: { default: { maxTimeToFirstByteMs: Infinity, maxLoadTimeMs: 30000,
      timeoutRetry: { maxNumRetry: 2, retryDelayMs: 0, maxRetryDelayMs: 0 },
      errorRetry: { maxNumRetry: 4, retryDelayMs: 1000, maxRetryDelayMs: 4000 } } },
    xhrSetup: (xhr) => {
      const credentials = basicCredentials();
      if (credentials) xhr.setRequestHeader("Authorization", credentials);
    },
  });
  hls.on(Hls.Events.MANIFEST_PARSED, () => {
    recordHlsEvent("MANIFEST_PARSED");
    video.play().catch(() => {});
  });
  hls.on(Hls.Events.FRAG_LOADED, () => recordHlsEvent("FRAG_LOADED"));
  // A playlist refused or missing shows at once, even while hls.js still tries again.
  hls.on(Hls.Events.ERROR, (event, data) => {
    recordHlsEvent("ERROR " + data.details);
    if (!data.fatal && !String(data.details).startsWith("manifest")) return;
    const code = data.response && data.response.code;
    const reason = REFUSALS[code] || data.type + " " + data.details;
    playerSays("error: " + reason + (code ? " (HTTP " + code + ")" : ""));
  });
  hls.loadSource(address);
  hls.attachMedia(video);
  return hls;
}

function openPlayer(number) {
  closePlayer();
  const entry = dashboard.tiles.get(number);
  const name = entry ? entry.parts.name.textContent : "";
  dashboard.player = { channel: number, hls: null };
  dashboard.hlsEvents = [];
  byId("player-title").textContent = "CH " + number + " " + name;
  byId("dash-player").hidden = false;
  playerSays("loading");
  const video = byId("player-video");
  const address = "/" + number + "/index.m3u8";
  if (typeof Hls !== "undefined" && Hls.isSupported()) {
    dashboard.player.hls = playWithHlsJs(video, address);
  } else if (video.canPlayType("application/vnd.apple.mpegurl")) {
    video.src = address;
    video.play().catch(() => {});
  } else {
    playerSays("this browser cannot play HLS: hls.js missing (run scripts/setup.sh)");
  }
  fillHealth(number);
  fillStreams(number);
}

function closePlayer() {
  const player = dashboard.player;
  if (!player) return;
  dashboard.player = null;
  if (player.hls) player.hls.destroy();
  const video = byId("player-video");
  video.pause();
  video.removeAttribute("src");
  video.load();
  byId("dash-player").hidden = true;
  playerSays("closed");
}

function watchVideo(video) {
  video.addEventListener("playing", () => { if (dashboard.player) playerSays("playing"); });
  video.addEventListener("waiting", () => { if (dashboard.player) playerSays("buffering"); });
  video.addEventListener("error", () => {
    if (dashboard.player && video.error) playerSays("error: " + (video.error.message || "code " + video.error.code));
  });
}

// ---- Start --------------------------------------------------------------------------------

watchVideo(byId("player-video"));
byId("player-close").addEventListener("click", closePlayer);
// Showing the section refreshes it at once; leaving it stops the player.
new MutationObserver(() => {
  if (byId("dashboard").hidden) closePlayer();
  else refresh();
}).observe(byId("dashboard"), { attributes: true, attributeFilter: ["hidden"] });
dashboard.timer = setInterval(refresh, REFRESH_MS);
refresh();
