// The programme guide page: the channels from /status.json, the chosen channel's programmes of
// the last 7 days and the day ahead from /guide.json (both with the root token, from ?token=
// or the admin pages' log-in). A programme that has ended, on a channel with an archive, links
// to its catch-up playlist. Values go in as text only.
"use strict";

async function fetchJson(path) {
  const separator = path.includes("?") ? "&" : "?";
  const answer = await fetch(path + separator + "token=" + encodeURIComponent(pageToken()), { cache: "no-store" });
  if (answer.status === 401 || answer.status === 403) throw new Error("Log in as root on the admin pages, or open this page with ?token=");
  if (!answer.ok) throw new Error("The server answered " + answer.status);
  return answer.json();
}

function fillProgrammes(guide) {
  const body = document.querySelector("#guide-programmes tbody");
  body.replaceChildren();
  const now = Date.now() / 1000;
  for (const programme of guide.programmes || []) {
    const start = new Date(programme.start * 1000);
    const row = document.createElement("tr");
    if (programme.start <= now && now < programme.stop) row.className = "on-now";
    cell(row, start.toLocaleDateString([], { weekday: "short", day: "numeric", month: "short" }));
    const stop = new Date(programme.stop * 1000);
    cell(row, start.toLocaleTimeString([], { hour: "2-digit", minute: "2-digit" }) + "–" +
              stop.toLocaleTimeString([], { hour: "2-digit", minute: "2-digit" }), "time");
    cell(row, programme.title);
    cell(row, programme.description);
    const td = cell(row, "");
    if (guide.archive && programme.stop <= now) {
      const link = document.createElement("a");
      link.href = "/" + guide.channel + "/archive-" + programme.start + "-" + (programme.stop - programme.start) + ".m3u8";
      link.textContent = "play";
      td.appendChild(link);
    }
    body.appendChild(row);
  }
}

async function showChannel() {
  const message = document.getElementById("guide-message");
  try {
    const channel = document.getElementById("guide-channel").value;
    const guide = await fetchJson("/guide.json?channel=" + encodeURIComponent(channel));
    fillProgrammes(guide);
    message.textContent = (guide.programmes || []).length === 0 ? "No programmes known for this channel" : "";
  } catch (error) {
    message.textContent = error.message;
  }
}

async function start() {
  const message = document.getElementById("guide-message");
  try {
    const status = await fetchJson("/status.json");
    const select = document.getElementById("guide-channel");
    for (const channel of status.channels || []) {
      const option = document.createElement("option");
      option.value = channel.channel;
      option.textContent = channel.channel + " - " + channel.name;
      select.appendChild(option);
    }
    select.addEventListener("change", showChannel);
    await showChannel();
  } catch (error) {
    message.textContent = error.message;
  }
}

start();
