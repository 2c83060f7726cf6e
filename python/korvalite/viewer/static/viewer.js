// The korvalite view page: frames and counters over a WebSocket, everything else over fetch.
// Every request carries the run's token from the page's URL.
"use strict";

const token = new URLSearchParams(location.search).get("token") || "";
const $ = (id) => document.getElementById(id);
const VISIBILITY_RANK = { Beginner: 0, Expert: 1, Guru: 2, Invisible: 3 };
const WRITABLE = new Set(["RW", "WO"]);
let shown = 0;
let pendingHeader = null;
let socket = null;
let currentUrl = null;
let reconnects = 0;
const MAX_RECONNECTS = 60;
let cameraReconnecting = false; // the Reconnect button's request is under way

async function api(path, options = {}) {
  const headers = Object.assign({ "X-Korvalite-Token": token }, options.headers || {});
  const response = await fetch(path, Object.assign({}, options, { headers }));
  return response;
}

async function postJson(path, body) {
  const response = await api(path, {
    method: "POST", body: JSON.stringify(body), headers: { "Content-Type": "application/json" },
  });
  let data;
  try { data = await response.json(); } catch (e) { data = { ok: false, error: `HTTP ${response.status}` }; }
  return data;
}

// --- live image -------------------------------------------------------------------------------

function connect() {
  const scheme = location.protocol === "https:" ? "wss" : "ws";
  socket = new WebSocket(`${scheme}://${location.host}/ws?token=${encodeURIComponent(token)}`);
  socket.binaryType = "blob";
  socket.onopen = () => {
    reconnects = 0;
    setLinkState("connected", "");
  };
  socket.onclose = () => {
    // Try again for a while (a restarting server, a sleeping laptop), then leave it to a reload.
    if (reconnects >= MAX_RECONNECTS) {
      setLinkState("server gone: reload the page (a new run prints a new URL)", "bad");
      return;
    }
    reconnects += 1;
    setLinkState("server gone, reconnecting…", "bad");
    setTimeout(connect, Math.min(10000, 500 * 2 ** Math.min(reconnects, 5)));
  };
  socket.onmessage = (message) => {
    if (typeof message.data !== "string") {
      showFrame(message.data);
      return;
    }
    const data = JSON.parse(message.data);
    if (data.type === "frame") pendingHeader = data;
    else if (data.type === "counters") showCounters(data);
    else if (data.type === "events") addEvents(data);
    else if (data.type === "features") showFeatures(data.features);
    else if (data.type === "hello") hello(data);
  };
}

// The badge follows the camera as the counters report it: "live" only while the stream runs
// and the camera is there, the same "camera gone" the banner shows otherwise.
function showCameraState(c) {
  if (!socket || socket.readyState !== WebSocket.OPEN) return;
  if (c.lost) setLinkState(cameraReconnecting ? "reconnecting…" : "camera gone", "bad");
  else if (c.running) setLinkState("live", "ok");
  else setLinkState("stopped", "");
}

function setLinkState(text, kind) {
  const state = $("link-state");
  state.textContent = text;
  state.className = "state " + kind;
}

function showFrame(blob) {
  const header = pendingHeader;
  pendingHeader = null;
  const img = $("live");
  const url = URL.createObjectURL(blob);
  img.onload = () => {
    fitImage();
    if (currentUrl) URL.revokeObjectURL(currentUrl);
    currentUrl = url;
    shown += 1;
    $("shown").textContent = shown;
    if (header) {
      $("frame-id").textContent = header.frame_id;
      $("image-size").textContent = `${header.width} × ${header.height}`;
      $("pixel-format").textContent = header.pixel_format;
      drawHistogram(header.histogram);
    }
    ack();
  };
  img.onerror = () => { URL.revokeObjectURL(url); ack(); };
  img.src = url;
}

function ack() {
  if (socket && socket.readyState === WebSocket.OPEN) socket.send("ack");
}

function drawHistogram(counts) {
  const canvas = $("histogram");
  const ctx = canvas.getContext("2d");
  ctx.clearRect(0, 0, canvas.width, canvas.height);
  const top = Math.max(1, ...counts);
  const barWidth = canvas.width / counts.length;
  ctx.fillStyle = "#9ecbff";
  counts.forEach((count, i) => {
    const h = Math.round((count / top) * (canvas.height - 2));
    ctx.fillRect(i * barWidth, canvas.height - h, Math.max(1, barWidth - 1), h);
  });
}

function showCounters(c) {
  $("fps").textContent = (c.fps ?? 0).toFixed(1);
  $("mbps").textContent = (c.mbps ?? 0).toFixed(1);
  $("completed").textContent = c.completed_frames ?? 0;
  $("failed").textContent = c.failed_frames ?? 0;
  $("resends").textContent = c.resent_packets ?? 0;
  $("dropped").textContent = c.frames_dropped ?? 0;
  $("underruns").textContent = c.underruns ?? 0;
  $("events-dropped").textContent = c.events_dropped ?? 0;
  $("start").disabled = !!c.running || !!c.lost;
  $("stop").disabled = !c.running;
  $("lost").hidden = !c.lost;
  if (c.lost && !cameraReconnecting) $("lost-reason").textContent = `the camera is gone: ${c.lost}`;
  showCameraState(c);
  const r = c.recording;
  if (r && r.folder) {
    const what = r.error ? `failed: ${r.error}` : (r.active ? "recording" : "recorded");
    const skipped = r.skipped ? ` (${r.skipped} skipped: writing fell behind)` : "";
    $("record-state").textContent = `${what} ${r.written}/${r.wanted} to ${r.folder}${skipped}`;
  }
}

// Pixel value under the cursor, as the camera sent it; one request at a time.
let pixelBusy = false;
$("live").addEventListener("mousemove", async (e) => {
  const img = e.target;
  if (pixelBusy || !img.naturalWidth) return;
  const x = Math.floor((e.offsetX * img.naturalWidth) / img.clientWidth);
  const y = Math.floor((e.offsetY * img.naturalHeight) / img.clientHeight);
  pixelBusy = true;
  try {
    const data = await (await api(`/api/pixel?x=${x}&y=${y}`)).json();
    $("cursor").textContent = data.value ? `(${x}, ${y}) = ${data.value.join(", ")}` : `(${x}, ${y})`;
  } finally {
    pixelBusy = false;
  }
});

// Fit mode scales the image to fill the box, up as well as down, keeping its aspect ratio;
// 1:1 shows it at its own size. The size is set on the element itself, so the cursor readout
// maps the element's pixels to the image's.
function fitImage() {
  const img = $("live");
  const box = $("image-box");
  if (!box.classList.contains("fit") || !img.naturalWidth) {
    img.style.width = img.style.height = "";
    return;
  }
  const scale = Math.min(box.clientWidth / img.naturalWidth, box.clientHeight / img.naturalHeight);
  img.style.width = `${Math.max(1, Math.floor(img.naturalWidth * scale))}px`;
  img.style.height = `${Math.max(1, Math.floor(img.naturalHeight * scale))}px`;
}

new ResizeObserver(fitImage).observe($("image-box"));

$("zoom").onclick = () => {
  const box = $("image-box");
  const fit = box.classList.toggle("fit");
  $("zoom").textContent = fit ? "1:1" : "Fit";
  fitImage();
};

$("start").onclick = () => postJson("/api/acquisition", { action: "start" });
$("stop").onclick = () => postJson("/api/acquisition", { action: "stop" });

$("snap").onclick = async () => {
  $("snap-state").textContent = "";
  const response = await api("/api/snap.png");
  if (!response.ok) {
    const data = await response.json().catch(() => ({ error: `HTTP ${response.status}` }));
    $("snap-state").textContent = data.error;
    return;
  }
  const disposition = response.headers.get("Content-Disposition") || "";
  const match = /filename="([^"]+)"/.exec(disposition);
  download(await response.blob(), match ? match[1] : "korvalite-snap.png");
};

function download(blob, name) {
  const a = document.createElement("a");
  a.href = URL.createObjectURL(blob);
  a.download = name;
  document.body.appendChild(a);
  a.click();
  a.remove();
  setTimeout(() => URL.revokeObjectURL(a.href), 10000);
}

$("record").onclick = async () => {
  const data = await postJson("/api/record", { count: Number($("record-count").value) });
  $("record-state").textContent = data.ok ? `recording to ${data.recording.folder}` : data.error;
};

$("reconnect").onclick = async () => {
  $("reconnect").disabled = true;
  cameraReconnecting = true;
  setLinkState("reconnecting…", "bad");
  $("lost-reason").textContent = "reconnecting…";
  const data = await postJson("/api/reconnect", {});
  cameraReconnecting = false;
  $("reconnect").disabled = false;
  if (!data.ok) {
    $("lost-reason").textContent = `reconnecting failed: ${data.error}`;
    setLinkState("camera gone", "bad");
  } else loadFeatures();
};

// --- events -------------------------------------------------------------------------------------

function hello(data) {
  $("camera").textContent = data.camera;
  const list = $("events");
  list.replaceChildren();
  if (!data.events_supported) {
    list.innerHTML = '<li class="muted">no device events</li>';
    return;
  }
  if (data.events.length === 0) {
    list.innerHTML = '<li class="muted">no device events yet (turn them on with EventSelector and EventNotification)</li>';
  }
  data.events.forEach(addEvent);
}

// A batch of events; `dropped` came before them but were not sent (the page fell behind).
function addEvents(data) {
  if (data.dropped > 0) {
    const muted = $("events").querySelector(".muted");
    if (muted) muted.remove();
    const gap = document.createElement("li");
    gap.className = "gap";
    gap.textContent = `… ${data.dropped} events not shown (this page fell behind)`;
    $("events").appendChild(gap);
  }
  data.events.forEach(addEvent);
}

function addEvent(e) {
  const list = $("events");
  const muted = list.querySelector(".muted");
  if (muted) muted.remove();
  const item = document.createElement("li");
  item.textContent = `${e.timestamp ?? ""} ${e.name || "event"} (0x${Number(e.id).toString(16)})` +
    (e.block_id != null ? ` block ${e.block_id}` : "") + (e.data ? ` ${e.data}` : "");
  list.appendChild(item);
  while (list.children.length > 200) list.firstChild.remove();
  list.scrollTop = list.scrollHeight;
}

// --- features -----------------------------------------------------------------------------------

const rows = new Map();

async function loadFeatures() {
  const data = await (await api("/api/features")).json();
  if (!data.ok) {
    $("settings-state").textContent = data.error;
    return;
  }
  const names = data.features.map((f) => `${f.depth}:${f.name}`).join(",");
  const box = $("features");
  if (box.dataset.names !== names) {
    box.replaceChildren();
    rows.clear();
    data.features.forEach((f) => box.appendChild(makeRow(f)));
    box.dataset.names = names;
  }
  data.features.forEach((f) => { if (rows.has(f.name)) updateRow(rows.get(f.name), f); });
  applyVisibility();
}

function makeRow(f) {
  const row = document.createElement("div");
  row.dataset.visibility = f.visibility || "Beginner";
  row.style.paddingLeft = `${Math.max(0, f.depth) * 10}px`;
  if (f.kind === "category") {
    row.className = "category";
    row.textContent = f.display_name || f.name;
    return row;
  }
  row.className = "feature";
  row.id = `row-${f.name}`;
  const name = document.createElement("span");
  name.className = "name";
  name.textContent = f.display_name || f.name;
  name.title = `${f.name}${f.tooltip ? ": " + f.tooltip : ""}`;
  const control = document.createElement("span");
  control.className = "control";
  const error = document.createElement("span");
  error.className = "error";
  error.id = `err-${f.name}`;
  row.append(name, control, error);
  const r = { row, control, error, kind: f.kind, inputs: [] };
  buildControl(r, f);
  rows.set(f.name, r);
  return row;
}

// Values changed elsewhere (another page, another program), as the server pushes them.
function showFeatures(features) {
  if (features.some((f) => !rows.has(f.name) && f.kind !== "category")) {
    loadFeatures(); // the tree itself changed
    return;
  }
  features.forEach((f) => { if (rows.has(f.name)) updateRow(rows.get(f.name), f); });
}

// --- slider scales ----------------------------------------------------------------------------
// A narrow range maps linearly: the slider's positions are the values. A wide one maps
// logarithmically over positions 0..SLIDER_STEPS, so every decade gets room and the position
// shows where the value lies (exposure times from 0.1 µs to seconds; a read-only value whose
// bounds are those of its type). Ranges above zero spanning WIDE_RATIO or more use log(value);
// other ranges of more than WIDE_STEPS units use log(1 + |value| / unit) with the value's sign.
const SLIDER_STEPS = 1000;
const WIDE_RATIO = 1000;
const WIDE_STEPS = 1e6;

function sliderScale(f) {
  const { min, max } = f;
  if (min == null || max == null || !(max > min)) return null;
  const unit = f.inc != null && f.inc > 0 ? f.inc : 1;
  let forward = null;
  let back = null;
  if (min > 0 && max / min >= WIDE_RATIO) {
    forward = Math.log;
    back = Math.exp;
  } else if ((max - min) / unit > WIDE_STEPS) {
    forward = (v) => Math.sign(v) * Math.log1p(Math.abs(v) / unit);
    back = (t) => Math.sign(t) * unit * Math.expm1(Math.abs(t));
  }
  const clamp = (v) => Math.min(max, Math.max(min, v));
  if (forward === null) {
    const step = f.inc != null ? f.inc : (f.kind === "integer" ? 1 : (max - min) / SLIDER_STEPS);
    return { log: false, min, max, step, position: clamp, value: clamp };
  }
  const low = forward(min);
  const span = forward(max) - low;
  return {
    log: true, min: 0, max: SLIDER_STEPS, step: 1,
    position: (value) => Math.round((SLIDER_STEPS * (forward(clamp(value)) - low)) / span),
    value: (position) => {
      const v = back(low + (span * position) / SLIDER_STEPS);
      return clamp(f.kind === "integer" ? min + Math.round((v - min) / unit) * unit : Number(v.toPrecision(6)));
    },
  };
}

function buildControl(r, f) {
  const write = (value) => writeFeature(f.name, value);
  if (["integer", "float", "number"].includes(f.kind)) {
    const slider = document.createElement("input");
    slider.type = "range";
    slider.id = `s-${f.name}`;
    const box = document.createElement("input");
    box.type = "number";
    box.id = `f-${f.name}`;
    slider.oninput = () => { if (r.scale) box.value = r.scale.value(Number(slider.value)); };
    slider.onchange = () => { if (r.scale) write(r.scale.value(Number(slider.value))); };
    // While the slider is held, values pushed by the server do not move it from under the pointer.
    slider.onpointerdown = () => { r.dragging = true; };
    slider.onpointerup = slider.onpointercancel = () => { r.dragging = false; };
    box.onchange = () => write(box.value);
    const unit = document.createElement("span");
    unit.className = "muted";
    unit.textContent = f.unit || "";
    r.control.append(slider, box, unit);
    r.inputs = [slider, box];
  } else if (f.kind === "enumeration") {
    const select = document.createElement("select");
    select.id = `f-${f.name}`;
    select.onchange = () => write(select.value);
    r.control.append(select);
    r.inputs = [select];
  } else if (f.kind === "boolean") {
    const box = document.createElement("input");
    box.type = "checkbox";
    box.id = `f-${f.name}`;
    box.onchange = () => write(box.checked);
    r.control.append(box);
    r.inputs = [box];
  } else if (f.kind === "command") {
    const button = document.createElement("button");
    button.id = `f-${f.name}`;
    button.textContent = "Execute";
    button.onclick = () => executeFeature(f.name);
    r.control.append(button);
    r.inputs = [button];
  } else if (f.kind === "string") {
    const text = document.createElement("input");
    text.type = "text";
    text.id = `f-${f.name}`;
    text.onchange = () => write(text.value);
    r.control.append(text);
    r.inputs = [text];
  } else {
    const span = document.createElement("span");
    span.className = "muted";
    span.textContent = f.kind;
    r.control.append(span);
  }
}

function updateRow(r, f) {
  const writable = f.available !== false && (f.kind === "command" ? f.access === "WO" || f.access === "RW"
    : WRITABLE.has(f.access));
  r.row.classList.toggle("off", f.available === false);
  r.row.title = `${f.access || ""}${f.error ? " — " + f.error : ""}`;
  r.inputs.forEach((input) => { input.disabled = !writable; });
  if (["integer", "float", "number"].includes(f.kind)) {
    const [slider, box] = r.inputs;
    box.step = f.inc != null ? f.inc : (f.kind === "integer" ? 1 : "any");
    if (f.min != null) box.min = f.min;
    if (f.max != null) box.max = f.max;
    r.scale = sliderScale(f);
    slider.hidden = r.scale === null;
    if (r.scale) {
      slider.min = r.scale.min;
      slider.max = r.scale.max;
      slider.step = r.scale.step;
      slider.dataset.scale = r.scale.log ? "log" : "linear";
    }
    const editing = document.activeElement === box || r.dragging;
    if (f.value !== undefined && f.value !== null && !editing) {
      box.value = f.value;
      if (r.scale) slider.value = r.scale.position(f.value);
    }
  } else if (f.kind === "enumeration") {
    const select = r.inputs[0];
    const entries = (f.entries || []).map((e) => e.name).join(",");
    if (select.dataset.entries !== entries) {
      select.replaceChildren(...(f.entries || []).map((e) => new Option(e.display_name, e.name)));
      select.dataset.entries = entries;
    }
    if (f.value !== undefined) select.value = f.value;
  } else if (f.kind === "boolean") {
    if (f.value !== undefined) r.inputs[0].checked = !!f.value;
  } else if (f.kind === "string") {
    if (f.value !== undefined && document.activeElement !== r.inputs[0]) r.inputs[0].value = f.value;
  }
}

async function writeFeature(name, value) {
  const r = rows.get(name);
  r.error.textContent = "";
  const data = await postJson("/api/feature", { name, value: String(value) });
  if (!data.ok) {
    if (data.feature) updateRow(r, data.feature);
    r.error.textContent = data.error;
    return;
  }
  await loadFeatures();
}

async function executeFeature(name) {
  const r = rows.get(name);
  r.error.textContent = "";
  const data = await postJson("/api/execute", { name });
  if (!data.ok) r.error.textContent = data.error;
  else await loadFeatures();
}

function applyVisibility() {
  const limit = VISIBILITY_RANK[$("visibility").value];
  for (const row of $("features").children) {
    row.hidden = (VISIBILITY_RANK[row.dataset.visibility] ?? 0) > limit;
  }
}

$("visibility").onchange = applyVisibility;
$("refresh").onclick = loadFeatures;

$("save-settings").onclick = async () => {
  const response = await api("/api/settings");
  if (!response.ok) {
    $("settings-state").textContent = (await response.json()).error;
    return;
  }
  download(await response.blob(), "korvalite-settings.txt");
};

$("load-settings").onchange = async (e) => {
  const file = e.target.files[0];
  if (!file) return;
  const response = await api("/api/settings", { method: "POST", body: await file.text() });
  const data = await response.json();
  $("settings-state").textContent = data.ok ? `loaded ${file.name}`
    : (data.failures ? `not applied:\n${data.failures.join("\n")}` : data.error);
  e.target.value = "";
  await loadFeatures();
};

connect();
loadFeatures();
