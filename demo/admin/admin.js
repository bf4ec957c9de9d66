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
    showPage("dashboard");
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

// Runs fn each time the page becomes visible.
function onPageShown(id, fn) {
  const page = $(id);
  new MutationObserver(() => { if (!page.hidden) fn(); }).observe(page, { attributes: true, attributeFilter: ["hidden"] });
}

// Users. The whole list is held in memory and filtered there; only one page of rows is in the
// table, so a hundred thousand users cost no more to show than a hundred.
const usersPageSize = 100;
const usersView = { all: [], names: [], shown: [], page: 0 };

function expiryPassed(text) {
  const [month, day, year] = text.split("/").map((part) => parseInt(part, 10));
  if (!year || !month || !day) return false;
  const now = new Date();
  const today = now.getFullYear() * 10000 + (now.getMonth() + 1) * 100 + now.getDate();
  return year * 10000 + month * 100 + day < today;       // the last day itself is still valid
}
function fillUserForm(user) {
  $("user-name").value = user.username || "";
  $("user-password").value = user.password || "";
  $("user-expires").value = user.expired_time || "";
  if ([...$("user-paymodel").options].some((option) => option.text === user.paymodel)) $("user-paymodel").value = user.paymodel;
  $("user-points").value = user.user_point || "0";
}
function userRow(user) {
  const tr = document.createElement("tr");
  const cell = (text) => {
    const td = document.createElement("td");
    td.textContent = text;
    tr.appendChild(td);
    return td;
  };
  cell(user.username || "");
  const password = cell("");
  password.className = "password";
  const secret = document.createElement("span");
  secret.textContent = "\u2022\u2022\u2022\u2022";
  const toggle = document.createElement("button");
  toggle.type = "button";
  toggle.textContent = "show";
  toggle.addEventListener("click", (event) => {
    event.stopPropagation();
    const hidden = toggle.textContent === "show";
    secret.textContent = hidden ? user.password || "" : "\u2022\u2022\u2022\u2022";
    toggle.textContent = hidden ? "hide" : "show";
  });
  password.append(secret, toggle);
  const expires = cell(user.expired_time || "");
  if (expiryPassed(user.expired_time || "")) {
    expires.classList.add("expired");
    const mark = document.createElement("span");
    mark.className = "mark";
    mark.textContent = "expired";
    expires.appendChild(mark);
  }
  cell(user.paymodel || "");
  cell(user.user_point || "");
  tr.addEventListener("click", () => fillUserForm(user));
  return tr;
}
function renderUsers() {
  const { shown } = usersView;
  const pages = Math.max(1, Math.ceil(shown.length / usersPageSize));
  usersView.page = Math.min(Math.max(0, usersView.page), pages - 1);
  const first = usersView.page * usersPageSize;
  const rows = shown.slice(first, first + usersPageSize);
  $("users-table").querySelector("tbody").replaceChildren(...rows.map(userRow));
  say("users-range", (rows.length ? first + 1 + "\u2013" + (first + rows.length) : "0") + " of " + shown.length);
  $("users-first").disabled = $("users-prev").disabled = usersView.page === 0;
  $("users-next").disabled = $("users-last").disabled = usersView.page >= pages - 1;
}
function filterUsers(keepPage) {
  const started = performance.now();
  const part = $("users-search").value.trim().toLowerCase();
  const { all, names } = usersView;
  usersView.shown = part ? all.filter((_, at) => names[at].includes(part)) : all;
  if (!keepPage) usersView.page = 0;
  renderUsers();
  window.usersFilterMs = Math.round(performance.now() - started);
}
// A list asked for later wins over one still on its way.
let usersAsked = 0;
async function listUsers() {
  const started = performance.now(), asked = ++usersAsked;
  const users = records(await cgi(withToken("query_all_user")), "username");
  if (asked !== usersAsked) return;
  usersView.all = users;
  usersView.names = users.map((user) => (user.username || "").toLowerCase());
  filterUsers(true);
  say("users-count", users.length + " users");
  window.usersLoadMs = Math.round(performance.now() - started);
}
onPageShown("users", listUsers);
$("users-refresh").addEventListener("click", listUsers);
$("users-search").addEventListener("input", () => filterUsers(false));
for (const [id, move] of [["users-first", () => 0], ["users-prev", (page) => page - 1], ["users-next", (page) => page + 1],
                          ["users-last", () => Infinity]])
  $(id).addEventListener("click", () => {
    usersView.page = move(usersView.page);
    renderUsers();
  });
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
let listedChannels = [];
async function listChannels() {
  const text = await cgi(withToken("channel_inquery=1"));
  say("channels-list", text);
  listedChannels = records(text, "CH");
}
onPageShown("channels", listChannels);
$("channels-refresh").addEventListener("click", listChannels);
// A number typed in fills the form from the list, so that an update keeps what it does not change.
$("channel-no").addEventListener("input", () => {
  const channel = listedChannels.find((entry) => entry.CH === $("channel-no").value.trim());
  if (!channel) return;
  for (const [id, key] of [["channel-name", "name"], ["channel-source", "src"], ["channel-folder", "rec_folder"],
                           ["channel-backup", "backup"], ["channel-merge", "merge"]])
    $(id).value = channel[key] || "";
  $("channel-ondemand").checked = channel.ondemand === "1";
});
$("channels-reload").addEventListener("click", async () => {
  await cgi(withToken("refresh_channel=1"));
  say("channels-status", "Reload requested");
  setTimeout(listChannels, 1500);
});
const channelFields = () => "&ch_name=" + enc($("channel-name").value) + "&ch_source=" + enc($("channel-source").value) +
  "&ch_rec_folder=" + enc($("channel-folder").value) + "&ch_backup=" + enc($("channel-backup").value) +
  "&ch_merge=" + enc($("channel-merge").value) + "&ch_ondemand=" + ($("channel-ondemand").checked ? "1" : "0");
for (const [id, command, fields] of [["channel-add", "add_channel", true], ["channel-update", "update_channel", true],
                                     ["channel-delete", "del_channel", false]])
  $(id).addEventListener("click", async () => {
    // A source the list does not show (a DVB multiplex, say) is not written over with nothing.
    if (fields && $("channel-source").value.trim() === "") return say("channels-status", "A channel needs a source");
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

// Channel packages and the packages of each user; a row clicked fills its form.
async function listPackages() {
  const packages = records(await cgi(withToken("package_list_query")), "package");
  fillTable("packages-table", packages, ["package", "channels"]);
  const users = records(await cgi(withToken("user_package_query")), "username");
  fillTable("user-packages-table", users, ["username", "packages"]);
  $("packages-table").querySelectorAll("tbody tr").forEach((tr, at) => tr.addEventListener("click", () => {
    $("package-name").value = packages[at].package || "";
    $("package-channels").value = packages[at].channels || "";
  }));
  $("user-packages-table").querySelectorAll("tbody tr").forEach((tr, at) => tr.addEventListener("click", () => {
    $("user-packages-name").value = users[at].username || "";
    $("user-packages-list").value = users[at].packages || "";
  }));
}
async function packageCommand(query) {
  say("packages-status", "Answer: " + (await cgi(withToken(query))).trim());
  await listPackages();
}
onPageShown("packages", listPackages);
$("packages-refresh").addEventListener("click", listPackages);
$("package-save").addEventListener("click", () => packageCommand("package_list_update&package=" + enc($("package-name").value) +
                                                                  "&channels=" + enc($("package-channels").value)));
$("package-delete").addEventListener("click", () => packageCommand("package_list_del&package=" + enc($("package-name").value)));
$("user-packages-save").addEventListener("click", () =>
  packageCommand("user_package_update&username=" + enc($("user-packages-name").value) +
                 "&packages=" + enc($("user-packages-list").value)));

// Audience: the mean count of one channel in each hour of the day, drawn with uPlot (from
// vendor/, which scripts/setup.sh fills). The plotted chart is window.audienceChart.
const localDay = (date) => date.getFullYear() + "-" + String(date.getMonth() + 1).padStart(2, "0") + "-" +
  String(date.getDate()).padStart(2, "0");
$("audience-day").value = localDay(new Date());
const hours = Array.from({ length: 24 }, (_, hour) => hour);
function drawChart(values) {
  const frame = $("audience-chart");
  if (window.audienceChart) window.audienceChart.destroy();
  window.audienceChart = new uPlot({
    width: 760, height: 260,
    scales: { x: { time: false, range: [-0.5, 23.5] }, y: { range: (u, min, max) => [0, Math.max(1, max) * 1.1] } },
    axes: [{ label: "hour", space: 10, splits: () => hours, values: (u, ticks) => ticks.map(String) }, { label: "viewers" }],
    series: [{ label: "hour" },
             { label: "mean viewers", stroke: "#2b7bb9", fill: "#2b7bb9", points: { show: false },
               paths: uPlot.paths.bars({ size: [0.7, 40] }), value: (u, v) => (v == null ? "" : v.toFixed(1)) }],
  }, [hours, values], frame);
}
// A day asked for later wins over one still on its way.
let audienceAsked = 0;
async function showAudience() {
  if (typeof uPlot === "undefined") return say("audience-status", "chart library missing: run scripts/setup.sh");
  const day = $("audience-day").value || localDay(new Date());
  const [year, month, date] = day.split("-");
  const channel = Math.max(1, parseInt($("audience-channel").value, 10) || 1);
  const asked = ++audienceAsked;
  say("audience-status", "Reading channel " + channel + ", " + day + " ...");
  const values = [];
  for (let hour = 0; hour < 24; ++hour) {
    const text = await cgi(withToken("channel_player_log_query&year=" + year + "&month=" + month + "&day=" + date +
                                     "&hour=" + String(hour).padStart(2, "0")));
    if (asked !== audienceAsked) return;
    const counts = text.split("\n").map((line) => line.split(",")).filter((f) => f.length > channel)
      .map((f) => parseInt(f[channel], 10) || 0);
    values.push(counts.length ? counts.reduce((a, b) => a + b, 0) / counts.length : 0);
  }
  drawChart(values);
  say("audience-status", "Channel " + channel + ", " + day);
}
$("audience-show").addEventListener("click", showAudience);
onPageShown("audience", () => { if (!window.audienceChart) showAudience(); });

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
if (token() !== "") showPage("dashboard");
