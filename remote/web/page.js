// Tambrel's web page: the 28 slots kept live over a WebSocket. A tap
// presses a slot as a click does; a long press, or the corner square,
// switches its loop. Closed, the page says so and greys the slots, and
// tries again by itself, waiting longer each time.
"use strict";

const SLOTS = 28;
const LONG_PRESS_MS = 600;
const LINE_COLOURS = ["#29dc95", "#ff80c0", "#8080c0", "#ff8000", "#ffff80", "#80ffff", "#ff8080"];
const CODE_KEY = "tambrel-code";

const grid = document.getElementById("touches");
const picker = document.getElementById("palettes");
const notice = document.getElementById("message");
const codeForm = document.getElementById("code");
const slots = [];
let socket = null;
let retryMs = 500;
let noticeTimer = 0;
// The slot the studio's countdown follows (-1: none), red over its last warnMs.
let countdown = -1;
let warnMs = 0;

function twoDigits(n) { return (n < 10 ? "0" : "") + n; }
function shownTime(ms) {
  const seconds = Math.floor(ms / 1000);
  return seconds <= 0 ? "--:--" : twoDigits(Math.floor(seconds / 60)) + ":" + twoDigits(seconds % 60);
}

function send(message) {
  if (socket && socket.readyState === WebSocket.OPEN) socket.send(JSON.stringify(message));
}

function makeSlot(i) {
  const el = document.createElement("div");
  el.className = "touche vide";
  el.setAttribute("role", "button");
  el.dataset.i = i;
  el.innerHTML = '<span class="boucle" role="button" aria-label="Boucle">↻</span>' +
    '<span class="nom"></span><span class="lettre"></span><span class="temps"></span>' +
    '<span class="barre"><span></span></span>';
  el.querySelector(".lettre").textContent = String.fromCharCode(65 + i);
  el.style.setProperty("--ligne", LINE_COLOURS[Math.floor(i / 4)]);
  const slot = { el, state: "vide", remaining: 0, length: 0, at: 0, timer: 0, long: false };
  const loop = el.querySelector(".boucle");
  // The square's own gesture is not the slot's: no press, no long press.
  for (const type of ["pointerdown", "pointerup"]) loop.addEventListener(type, (e) => e.stopPropagation());
  loop.addEventListener("click", (e) => { e.stopPropagation(); send({ boucle: i }); });
  el.addEventListener("pointerdown", () => {
    slot.long = false;
    clearTimeout(slot.timer);
    slot.timer = setTimeout(() => {
      slot.long = true;
      if (navigator.vibrate) navigator.vibrate(30);
      send({ boucle: i });
    }, LONG_PRESS_MS);
  });
  const cancel = () => clearTimeout(slot.timer);
  el.addEventListener("pointerleave", cancel);
  el.addEventListener("pointercancel", cancel);
  el.addEventListener("contextmenu", (e) => e.preventDefault());
  el.addEventListener("pointerup", () => {
    cancel();
    // An empty slot does nothing from here: no file can be chosen on a page.
    if (!slot.long && slot.state !== "vide") send({ appui: i });
  });
  grid.appendChild(el);
  return slot;
}

function show(slot) {
  const el = slot.el;
  el.classList.remove("vide", "pret", "joue", "fondu", "ecoute", "absent");
  el.classList.add(slot.state);
  el.classList.toggle("boucle-on", slot.loop);
  el.querySelector(".nom").textContent = slot.name;
  tick(slot, performance.now());
}

function tick(slot, now) {
  // Fading out, or heard in the pre-listen, a slot still counts down.
  const playing = ["joue", "fondu", "ecoute"].includes(slot.state);
  const left = playing ? Math.max(0, slot.remaining - (now - slot.at)) : slot.remaining;
  const time = slot.state === "absent" ? "absent" : shownTime(left);
  slot.el.querySelector(".temps").textContent = slot.state === "vide" ? "" : time;
  const done = playing && slot.length > 0 ? 1 - left / slot.length : 0;
  slot.el.querySelector(".barre span").style.width = (100 * Math.min(1, done)).toFixed(1) + "%";
}

function showCountdown(now) {
  const el = document.getElementById("decompte");
  const slot = slots[countdown];
  const left = slot ? Math.max(0, slot.remaining - (now - slot.at)) : 0;
  el.textContent = slot ? shownTime(left) : "--:--";
  el.classList.toggle("fin", Boolean(slot) && left <= warnMs);
}

function showNotice(text) {
  notice.textContent = text;
  notice.hidden = false;
  clearTimeout(noticeTimer);
  noticeTimer = setTimeout(() => { notice.hidden = true; }, 4000);
}

function showPalettes(list, loaded) {
  if (list) {
    const keep = picker.value;
    picker.replaceChildren(new Option("(aucune palette)", ""));
    for (const name of list) picker.add(new Option(name.replace(/\.bnk$/i, ""), name));
    picker.value = keep;
  }
  if (loaded !== undefined) {
    if (loaded && ![...picker.options].some((o) => o.value === loaded)) picker.add(new Option(loaded, loaded));
    picker.value = loaded;
  }
}

function askCode(said) {
  document.getElementById("code-dit").textContent = said;
  codeForm.hidden = false;
  document.getElementById("code-saisi").focus();
}

function received(message) {
  if (message.touches) {
    document.body.classList.remove("hors-ligne");
    document.getElementById("etat-connexion").textContent = "connecté";
    const now = performance.now();
    for (const t of message.touches) {
      const slot = slots[t.i];
      if (!slot) continue;
      Object.assign(slot, { state: t.etat, name: t.nom, remaining: t.reste, length: t.duree, loop: t.boucle, at: now });
      // The loudness figures, as the window's tool tip gives them.
      slot.el.title = t.sonie || "";
      show(slot);
    }
  }
  if (message.couleurs) {
    message.couleurs.forEach((c, line) => {
      for (let k = 0; k < 4; ++k) slots[4 * line + k]?.el.style.setProperty("--ligne", c);
    });
  }
  if (message.decompte !== undefined) {
    countdown = message.decompte;
    warnMs = message.alerte_ms;
  }
  showCountdown(performance.now());
  if (message.palettes || message.palette !== undefined) showPalettes(message.palettes, message.palette);
  if (message.erreur) showNotice(message.erreur);
  if (message.code === "demande") askCode("");
  if (message.code === "accepte") codeForm.hidden = true;
  if (message.code === "refuse") {
    localStorage.removeItem(CODE_KEY);
    askCode("Code refusé.");
  }
  if (message.code === "attendre") {
    localStorage.removeItem(CODE_KEY);
    askCode("Trop d'essais : réessayez dans " + message.secondes + " s.");
  }
}

function offline() {
  document.body.classList.add("hors-ligne");
  document.getElementById("etat-connexion").textContent = "non connecté";
}

function connect() {
  socket = new WebSocket((location.protocol === "https:" ? "wss://" : "ws://") + location.host + "/ws");
  socket.addEventListener("open", () => {
    retryMs = 500;
    // The page speaks first: the code it keeps, or none (this machine needs none).
    send({ code: localStorage.getItem(CODE_KEY) || "" });
  });
  socket.addEventListener("message", (e) => {
    try { received(JSON.parse(e.data)); } catch (error) { /* not ours: ignored */ }
  });
  socket.addEventListener("close", () => {
    offline();
    setTimeout(connect, retryMs);
    retryMs = Math.min(2 * retryMs, 8000);
  });
}

codeForm.addEventListener("submit", (e) => {
  e.preventDefault();
  const code = document.getElementById("code-saisi").value;
  localStorage.setItem(CODE_KEY, code);
  codeForm.hidden = true;
  send({ code });
});
picker.addEventListener("change", () => { if (picker.value) send({ palette: picker.value }); });

for (let i = 0; i < SLOTS; ++i) slots.push(makeSlot(i));
setInterval(() => {
  const now = performance.now();
  for (const slot of slots) if (["joue", "fondu", "ecoute"].includes(slot.state)) tick(slot, now);
  showCountdown(now);
}, 100);
connect();
