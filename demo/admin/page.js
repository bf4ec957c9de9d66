// What the status and guide pages share: the root token (from ?token= or the admin pages'
// log-in) and a table cell filled as text.
"use strict";

function pageToken() {
  const fromAddress = new URLSearchParams(location.search).get("token");
  return fromAddress || sessionStorage.getItem("quorvane_token") || "";
}

function cell(row, text, className) {
  const td = document.createElement("td");
  td.textContent = String(text);
  if (className) td.className = className;
  row.appendChild(td);
  return td;
}
