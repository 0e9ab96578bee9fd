#include "OverlayViewPage.h"

namespace {
// Kept as one literal so the daemon serves it without reading any file.
const char* const PAGE = R"HTML(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>kivd: live view</title>
<style>
  body { margin: 0; padding: 12px; background: #15171a; color: #e6e6e6;
         font: 14px/1.4 system-ui, sans-serif; }
  h1 { font-size: 18px; margin: 0 0 4px 0; }
  #status { color: #9aa0a6; margin-bottom: 12px; min-height: 1.4em; }
  #models { display: flex; flex-wrap: wrap; gap: 12px; align-items: flex-start; }
  .model { background: #202328; border: 1px solid #33373d; border-radius: 6px; padding: 10px; }
  .model h2 { font-size: 15px; margin: 0; }
  .facts { color: #9aa0a6; font-size: 12px; margin-bottom: 6px; }
  .picture { display: block; background: #000; image-rendering: pixelated; margin: 6px 0; }
  .controls { display: flex; flex-wrap: wrap; gap: 4px; align-items: center; }
  button { background: #2d3139; color: #e6e6e6; border: 1px solid #454a53; border-radius: 4px;
           padding: 3px 8px; font: inherit; cursor: pointer; }
  button.on { background: #2f6fd6; border-color: #2f6fd6; color: #fff; }
  input[type=color] { width: 34px; height: 26px; padding: 0; border: 1px solid #454a53;
                      background: none; }
  .gap { width: 8px; }
</style>
</head>
<body>
<h1>kivd: overlay models, live</h1>
<div id="status">Loading the models...</div>
<div id="models"></div>
<script>
"use strict";
const STATES = ["Off", "Opaque", "Transparent", "Transparent RGB"];
const FRAME_MS = 100;
const cards = new Map(); // model name -> {element, model}

function modelUrl(name, what) {
  return "/overlays/model/" + encodeURIComponent(name) + (what ? "/" + what : "");
}
let note = "", noteUntil = 0; // the outcome of the last button, shown for a few seconds
function setStatus(text) { document.getElementById("status").textContent = text; }
function tell(text) { note = text; noteUntil = performance.now() + 5000; showSummary(); }
function showSummary() {
  setStatus(cards.size + " models, pictures refreshed about ten times a second" +
            (performance.now() < noteUntil ? "  |  " + note : ""));
}

// Whole-number scales that fit the picture in about 640 x 400 and keep thin models visible.
function pictureSize(width, height) {
  const scale = Math.max(1, Math.min(16, Math.floor(640 / width), Math.floor(400 / height)));
  return { width: width * Math.max(scale, Math.ceil(24 / width)),
           height: height * Math.max(scale, Math.ceil(24 / height)) };
}

async function put(name, what, body) {
  const answer = await fetch(modelUrl(name, what), {
    method: "PUT", headers: { "Content-Type": "application/json" },
    body: body === undefined ? "" : JSON.stringify(body) });
  const result = await answer.json().catch(() => ({ Message: answer.statusText }));
  tell(answer.ok ? name + ": " + what + " done" : name + ": " + (result.Message || answer.status));
  return answer.ok;
}

function button(text, onClick) {
  const b = document.createElement("button");
  b.type = "button";
  b.textContent = text;
  b.addEventListener("click", onClick);
  return b;
}

function showState(card, state) {
  card.element.querySelectorAll("button.state").forEach(b => {
    b.classList.toggle("on", Number(b.dataset.state) === state);
  });
  card.element.dataset.modelState = String(state);
}

function showFacts(card) {
  const m = card.model;
  card.facts.textContent = m.Width + " x " + m.Height + ", " + (m.Type || "model") +
    (m.Type === "Channel" ? ", channels " + m.StartChannel + "-" + (m.StartChannel + m.ChannelCount - 1) : "") +
    (m.effectRunning ? ", effect " + m.effectName : "");
}

function makeCard(model) {
  const element = document.createElement("div");
  element.className = "model";
  element.dataset.name = model.Name;
  const title = document.createElement("h2");
  title.textContent = model.Name;
  const facts = document.createElement("div");
  facts.className = "facts";
  const picture = document.createElement("img");
  picture.className = "picture";
  picture.alt = "picture of " + model.Name;
  const controls = document.createElement("div");
  controls.className = "controls";
  const card = { element, model, facts, picture, shownUrl: null };
  STATES.forEach((label, state) => {
    const b = button(label, async () => { if (await put(card.model.Name, "state", { State: state })) showState(card, state); });
    b.classList.add("state");
    b.dataset.state = String(state);
    controls.appendChild(b);
  });
  const gap = document.createElement("span");
  gap.className = "gap";
  const colour = document.createElement("input");
  colour.type = "color";
  colour.value = "#ff8000";
  colour.title = "fill colour (shows while the model is not off)";
  controls.append(gap, colour,
    button("Fill", () => {
      const v = parseInt(colour.value.slice(1), 16);
      put(card.model.Name, "fill", { RGB: [(v >> 16) & 255, (v >> 8) & 255, v & 255] });
    }),
    button("Clear", () => put(card.model.Name, "clear")));
  element.append(title, facts, picture, controls);
  return card;
}

function resize(card) {
  const size = pictureSize(card.model.Width, card.model.Height);
  card.picture.style.width = size.width + "px";
  card.picture.style.height = size.height + "px";
}

// One picture at a time per model, about ten a second, until its card is gone.
async function refreshPicture(card) {
  let count = 0;
  while (card.element.isConnected) {
    const started = performance.now();
    try {
      const answer = await fetch(modelUrl(card.model.Name, "image") + "?live=true&n=" + count++,
                                 { cache: "no-store" });
      if (answer.ok) {
        const url = URL.createObjectURL(await answer.blob());
        await new Promise(done => { card.picture.onload = card.picture.onerror = done; card.picture.src = url; });
        if (card.shownUrl) URL.revokeObjectURL(card.shownUrl);
        card.shownUrl = url;
        card.element.dataset.pictures = String(count);
      }
    } catch (e) { /* the daemon may be restarting; try again next time */ }
    await new Promise(r => setTimeout(r, Math.max(10, FRAME_MS - (performance.now() - started))));
  }
  if (card.shownUrl) URL.revokeObjectURL(card.shownUrl);
}

async function refreshModels() {
  try {
    const answer = await fetch("/overlays/models", { cache: "no-store" });
    const models = await answer.json();
    const seen = new Set();
    const list = document.getElementById("models");
    for (const model of models) {
      seen.add(model.Name);
      let card = cards.get(model.Name);
      if (!card) {
        card = makeCard(model);
        cards.set(model.Name, card);
        list.appendChild(card.element);
        refreshPicture(card);
      }
      card.model = model;
      resize(card);
      showFacts(card);
      showState(card, model.State);
    }
    for (const [name, card] of cards) {
      if (!seen.has(name)) {
        card.element.remove();
        cards.delete(name);
      }
    }
    document.body.dataset.models = String(cards.size);
    showSummary();
  } catch (e) {
    setStatus("The daemon does not answer (" + e + "); trying again");
  }
}

refreshModels();
setInterval(refreshModels, 1000);
</script>
</body>
</html>
)HTML";
} // namespace

const std::string& OverlayViewPage() {
    static const std::string page = PAGE;
    return page;
}
