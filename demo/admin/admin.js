// The admin pages: every action is one call of cgi_quorvane; its answers are shown as text.
"use strict";

const $ = (id) => document.getElementById(id);
const token = () => sessionStorage.getItem("quorvane_token") || "";

async function cgi(query) {
  const answer = await fetch("/cgi-bin/cgi_quorvane?" + query, { cache: "no-store" });
  return answer.text();
}
const enc = encodeURIComponent;
const withToken = (query) => "token=" + enc(token()) + "&" + query;
function say(id, text) { $(id).textContent = text; }

function showPage(name) {
  for (const page of document.querySelectorAll(".page")) page.hidden = page.id !== name;
}
function loggedIn(on) {
  $("menu").hidden = !on;
  $("login").hidden = on;
  if (!on) showPage("");
}

// "key=value\r\n" lines, a new record at each first key.
function records(text, firstKey) {
  const list = [];
  for (const line of text.split(/\r?\n/)) {
    const at = line.indexOf("=");
    if (at < 0) continue;
    const key = line.slice(0, at), value = line.slice(at + 1);
    if (key === firstKey || list.length === 0) list.push({});
    list[list.length - 1][key] = value;
  }
  return list;
}
function fillTable(id, rows, keys) {
  const body = $(id).querySelector("tbody");
  body.replaceChildren();
  for (const row of rows) {
    const tr = document.createElement("tr");
    for (const key of keys) {
      const td = document.createElement("td");
      td.textContent = row[key] || "";
      tr.appendChild(td);
    }
    body.appendChild(tr);
  }
}

$("login-button").addEventListener("click", async (event) => {
  event.preventDefault();
  const text = await cgi("user_id=" + enc($("login-user").value) + "&password=" + enc($("login-password").value));
  if (/^\d{6,}$/.test(text.trim())) {
    sessionStorage.setItem("quorvane_token", text.trim());
    say("login-status", "");
    loggedIn(true);
    showPage("users");
  } else {
    say("login-status", "Log in failed");
  }
});
$("logout").addEventListener("click", async () => {
  await cgi(withToken("user_id=" + enc($("login-user").value) + "&password=" + enc($("login-password").value)));
  sessionStorage.removeItem("quorvane_token");
  loggedIn(false);
});
for (const button of document.querySelectorAll("nav button[data-page]"))
  button.addEventListener("click", () => showPage(button.dataset.page));

// Users.
async function listUsers() {
  const text = await cgi(withToken("query_all_user"));
  const users = records(text, "username");
  fillTable("users-table", users, ["username", "password", "expired_time", "paymodel", "user_point"]);
  say("users-status", users.length + " users");
}
$("users-refresh").addEventListener("click", listUsers);
const userFields = () => "&username=" + enc($("user-name").value) + "&password=" + enc($("user-password").value) +
  "&expired_time=" + enc($("user-expires").value) + "&paymodel=" + enc($("user-paymodel").value) +
  "&user_point=" + enc($("user-points").value);
for (const [id, command] of [["user-add", "add_user"], ["user-update", "update_user"]])
  $(id).addEventListener("click", async () => {
    say("users-status", "Answer: " + (await cgi(withToken(command + userFields()))).trim());
    listUsers();
  });
$("user-delete").addEventListener("click", async () => {
  say("users-status", "Answer: " + (await cgi(withToken("del_user&username=" + enc($("user-name").value)))).trim());
  listUsers();
});

// Channels.
async function listChannels() { say("channels-list", await cgi(withToken("channel_inquery=1"))); }
$("channels-refresh").addEventListener("click", listChannels);
$("channels-reload").addEventListener("click", async () => {
  await cgi(withToken("refresh_channel=1"));
  say("channels-status", "Reload requested");
  setTimeout(listChannels, 1500);
});
const channelFields = () => "&ch_name=" + enc($("channel-name").value) + "&ch_source=" + enc($("channel-source").value) +
  "&ch_rec_folder=" + enc($("channel-folder").value);
for (const [id, command, fields] of [["channel-add", "add_channel", true], ["channel-update", "update_channel", true],
                                     ["channel-delete", "del_channel", false]])
  $(id).addEventListener("click", async () => {
    const query = command + "=" + enc($("channel-no").value) + (fields ? channelFields() : "");
    say("channels-status", "Answer: " + (await cgi(withToken(query))).trim());
    listChannels();
  });

// A check_source answer as one line: "Transport stream, 3.9 Mbit/s: H.264 640×360 (PID 256), AAC eng (PID 257)".
function describeSource(text) {
  let result = "", error = "", bitrate = 0;
  const streams = [];
  for (const line of text.split(/\r?\n/)) {
    const at = line.indexOf("=");
    if (at < 0) continue;
    const key = line.slice(0, at), value = line.slice(at + 1);
    if (key === "result") result = value;
    else if (key === "error") error = value;
    else if (key === "bitrate") bitrate = Number(value);
    else if (key === "pid") streams.push({ pid: value });
    else if (streams.length > 0) streams[streams.length - 1][key] = value;
  }
  if (result !== "0") return "Check failed: " + (error || text.trim() || "no answer");
  const parts = streams.map((s) => [s.codec, s.width ? s.width + "×" + s.height : "", s.language || ""].filter((x) => x).join(" ") +
    " (PID " + s.pid + ")");
  return "Transport stream, " + (bitrate / 1e6).toFixed(1) + " Mbit/s: " + parts.join(", ");
}
$("channel-check").addEventListener("click", async () => {
  say("channel-check-result", "Checking " + $("channel-source").value + " ...");
  const text = await cgi(withToken("check_source&source=" + enc($("channel-source").value)));
  say("channel-check-result", text.startsWith("result=") ? describeSource(text) : text.trim());
});

// Points.
$("points-check").addEventListener("click", async () =>
  say("points-result", await cgi(withToken("check_user_point=1&movie_name=" + enc($("movie-name").value)))));
$("points-charge").addEventListener("click", async () =>
  say("points-result", "result=" + (await cgi(withToken("charge_user_point=1&movie_name=" + enc($("movie-name").value))))));

// Audience: the mean count of one channel in each hour of the day.
function drawChart(values) {
  const svg = $("audience-chart"), ns = "http://www.w3.org/2000/svg";
  svg.replaceChildren();
  const top = Math.max(1, ...values), width = 30, base = 210;
  values.forEach((value, hour) => {
    const bar = document.createElementNS(ns, "rect");
    const height = Math.round((value / top) * 180);
    bar.setAttribute("x", 10 + hour * width); bar.setAttribute("y", base - height);
    bar.setAttribute("width", width - 6); bar.setAttribute("height", height);
    bar.setAttribute("fill", "#2b7bb9"); bar.setAttribute("class", "bar");
    const title = document.createElementNS(ns, "title");
    title.textContent = hour + ":00 " + value.toFixed(1);
    bar.appendChild(title);
    svg.appendChild(bar);
    const label = document.createElementNS(ns, "text");
    label.setAttribute("x", 12 + hour * width); label.setAttribute("y", base + 18); label.setAttribute("font-size", "11");
    label.textContent = String(hour);
    svg.appendChild(label);
  });
}
$("audience-show").addEventListener("click", async () => {
  const day = $("audience-day").value || new Date().toISOString().slice(0, 10);
  const [year, month, date] = day.split("-");
  const channel = Math.max(1, parseInt($("audience-channel").value, 10) || 1);
  const values = [];
  for (let hour = 0; hour < 24; ++hour) {
    const text = await cgi(withToken("channel_player_log_query&year=" + year + "&month=" + month + "&day=" + date +
                                     "&hour=" + String(hour).padStart(2, "0")));
    const counts = text.split("\n").map((line) => line.split(",")).filter((f) => f.length > channel)
      .map((f) => parseInt(f[channel], 10) || 0);
    values.push(counts.length ? counts.reduce((a, b) => a + b, 0) / counts.length : 0);
  }
  drawChart(values);
  say("audience-status", "Channel " + channel + ", " + day);
});

// Players.
$("players-refresh").addEventListener("click", async () => {
  const players = records(await cgi(withToken("xanbox_inquery")), "player_mac_id");
  fillTable("players-table", players, ["player_mac_id", "player_time", "player_ip", "group"]);
  say("players-result", players.length + " players");
});
$("players-reboot-all").addEventListener("click", async () => say("players-result", await cgi(withToken("reboot_all_player"))));
$("player-reboot").addEventListener("click", async () =>
  say("players-result", await cgi(withToken("reboot_player=" + enc($("player-mac").value)))));
$("player-query").addEventListener("click", async () => {
  const text = await cgi(withToken("query_xanbox_setting=" + enc($("player-mac").value)));
  $("player-settings").value = text;
  say("players-result", text ? "Settings read" : "No answer");
});
$("player-save").addEventListener("click", async () =>
  say("players-result", await cgi(withToken("save_xanbox_setting=" + enc($("player-mac").value) +
                                            "&setup_setting=" + enc($("player-settings").value)))));

// Network settings.
const networkFields = [["net-httpport", "httpport", 4], ["net-rtsp", "rtsp_base_port", 1], ["net-vod", "vod_base_port", 2],
                       ["net-rtmp", "rtmpport", 5], ["net-igmpip", "igmpip", 6], ["net-igmpport", "igmpport", 7]];
$("network-load").addEventListener("click", async () => {
  const lines = (await cgi(withToken("value_creation"))).split("\n");
  for (const [id, , line] of networkFields) $(id).value = lines[line] || "";
  say("network-status", "Loaded");
});
$("network-save").addEventListener("click", async () => {
  let query = "vod_base_port=" + enc($("net-vod").value);
  for (const [id, name] of networkFields) if (name !== "vod_base_port" && $(id).value) query += "&" + name + "=" + enc($(id).value);
  say("network-status", await cgi(withToken(query)));
});

// Upload.
$("upload-send").addEventListener("click", async () => {
  const file = $("upload-file").files[0];
  if (!file) return say("upload-status", "Choose a file first");
  const form = new FormData();
  form.append("film", file, file.name);
  say("upload-status", "Uploading " + file.name + " ...");
  const answer = await fetch("/cgi-bin/cgi_quorvane?" + withToken("upload_film"), { method: "POST", body: form });
  say("upload-status", answer.ok ? "Stored " + file.name : "Upload failed (" + answer.status + ")");
});

// Shut down.
$("shutdown").addEventListener("click", async () => {
  if (!confirm("Shut the server down?")) return;
  const text = await cgi(withToken("quorvane_shutdown"));
  say("system-status", text.trim() === "1" ? "The server is shutting down" : "Shut down failed");
});

loggedIn(token() !== "");
