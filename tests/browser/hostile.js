"use strict";
// A page on another origin aiming everything a page can send at the server on 127.0.0.1:
// WebSockets as an add-in and as an editor, images and a script pointed at the bulk entry,
// a no-cors fetch POST and a form POST of the same envelope. It records what the browser
// reports for each; the server must let none of them through.
//
// Query: ?server=PORT&envelope=BASE64URL&rebound=HOST NAME THAT RESOLVES TO 127.0.0.1

const params = new URLSearchParams(location.search);
const BASE = "http://127.0.0.1:" + params.get("server");
const ENVELOPE = params.get("envelope");
const outcomes = {};

function record(name, outcome) {
  if (name in outcomes) return;
  outcomes[name] = outcome;
  document.getElementById("outcomes").textContent = JSON.stringify(outcomes, null, 1);
}

for (const [name, path] of [["ws_addin", "/ws/addin/intruder-book?name=Intruder"],
                            ["ws_ide", "/ws/ide/intruder?name=Intruder"]]) {
  const ws = new WebSocket(BASE.replace("http:", "ws:") + path);
  ws.onopen = () => record(name, "open");
  ws.onclose = (event) => record(name, "closed " + event.code);
}

const img = new Image();
img.onload = () => record("img", "loaded");
img.onerror = () => record("img", "error");
img.src = BASE + "/bulk_message/" + ENVELOPE + "?via=img";

// The same through a name that resolves to 127.0.0.1 (as after DNS rebinding): the Host
// header gives it away.
const rebound = new Image();
rebound.onload = () => record("rebound_img", "loaded");
rebound.onerror = () => record("rebound_img", "error");
rebound.src = BASE.replace("127.0.0.1", params.get("rebound")) + "/bulk_message/" + ENVELOPE + "?via=rebound";

const script = document.createElement("script");
script.onload = () => record("script", "loaded");
script.onerror = () => record("script", "error");
script.src = BASE + "/bulk_message/" + ENVELOPE + "?via=script";
document.head.appendChild(script);

fetch(BASE + "/bulk_message?via=fetch", { method: "POST", mode: "no-cors", body: ENVELOPE })
  .then((response) => record("fetch", "answered (" + response.type + ")"),
        (error) => record("fetch", "failed: " + error));

// A text/plain form sends "name=value\r\n": the envelope as the name, an empty value.
const sink = document.createElement("iframe");
sink.name = "sink";
document.body.appendChild(sink);
const form = document.createElement("form");
form.method = "POST";
form.enctype = "text/plain";
form.action = BASE + "/bulk_message?via=form";
form.target = "sink";
const field = document.createElement("input");
field.type = "hidden";
field.name = ENVELOPE;
field.value = "";
form.appendChild(field);
document.body.appendChild(form);
sink.onload = () => record("form", "answered");
form.submit();
