// Reference front-end: answers a Vesk environment with a vectorised
// cart-pole and draws environment 0. Row layout and conventions: frontend/README.md.
(function () {
  "use strict";
  const { VeskClient, errorReply } = globalThis.Vesk;
  const { CartPoleBatch, drawCartPole, ROW } = globalThis.VeskCartPole;

  const ctx = document.getElementById("scene").getContext("2d");
  const statusLine = document.getElementById("status");
  let sim = null;
  let replyRows = null; // reused: each reply is sent before the next step
  let closed = false;
  let frameAsked = false;
  let lastStatus = null;

  // Steps come far faster than frames: the canvas and the status line are
  // brought up to date once per animation frame, not once per task.
  function atNextFrame() {
    if (frameAsked) return;
    frameAsked = true;
    requestAnimationFrame(() => {
      frameAsked = false;
      draw();
      if (lastStatus) showStatusNow(lastStatus);
    });
  }

  function showStatus(s) {
    lastStatus = s;
    atNextFrame();
  }

  function showStatusNow(s) {
    const state = s.connected ? "connected" : s.closed ? `disconnected (code ${s.closed.code}${s.closed.reason ? ", " + s.closed.reason : ""})` : "connecting";
    const last = s.errors.length ? ` · last error: ${s.errors[s.errors.length - 1]}` : "";
    // s.url shows the token as <redacted>: the status line may end up in a screenshot.
    statusLine.textContent = `${s.url}: ${state} · tasks answered ${s.tasks}${last}`;
  }

  function draw() {
    drawCartPole(ctx, sim, 0, closed ? "closed by the environment" : "");
  }

  // The init task is remembered for the tab, so that a page reloaded while
  // the environment trains (with VESK_ON_FAILURE=raise) resumes at its reset.
  const INIT_KEY = "vesk-init";
  function rememberedInit() {
    try {
      const text = globalThis.sessionStorage && sessionStorage.getItem(INIT_KEY);
      return text ? JSON.parse(text) : null;
    } catch (_) {
      return null;
    }
  }

  function startSim(msg) {
    sim = new CartPoleBatch(msg.num_envs, { maxSteps: maxSteps(msg.object) });
    replyRows = new Float32Array(sim.numEnvs * ROW);
  }

  function needSim() {
    if (!sim) {
      const msg = rememberedInit();
      if (!msg) throw new Error("no init task received yet on this page");
      startSim(msg);
    }
    return sim;
  }

  // init's "object" may be a JSON object of options; only max_steps is read.
  function maxSteps(object) {
    const isDict = object !== null && typeof object === "object" && !Array.isArray(object);
    return isDict && object.max_steps !== undefined ? object.max_steps : 500;
  }

  let client;
  try {
    // Port and token from the page's address, else from the run file.
    client = new VeskClient({ onStatus: showStatus });
  } catch (err) {
    // Bad ?port=: nothing to connect to; still give tests a status to read.
    const reply = errorReply(err);
    globalThis.veskStatus = { url: null, connected: false, tasks: 0, errors: [reply], numEnvs: null, lastTask: null, closed: null };
    console.error(reply);
    statusLine.textContent = reply;
    draw();
    return;
  }
  globalThis.veskStatus = client.status;
  globalThis.veskTimings = client.timings; // read by bench/browser.py
  showStatusNow(client.status);
  draw();

  // Named functions, so an error reply's stack says "at step (...)".
  function init(msg) {
    startSim(msg);
    try {
      if (globalThis.sessionStorage) sessionStorage.setItem(INIT_KEY, JSON.stringify(msg));
    } catch (_) {
      // storage refused (file:// in some browsers): a reload then needs a new init
    }
    closed = false;
    draw();
    return "None";
  }
  function reset(msg) {
    needSim().reset(msg.list, msg.pos, msg.joint);
    atNextFrame();
    return sim.rowsInto(replyRows);
  }
  function step(msg) {
    needSim().step(msg.action);
    atNextFrame();
    return sim.rowsInto(replyRows);
  }
  function render() {
    draw();
    return "None";
  }
  function close() {
    closed = true;
    draw();
    return "None";
  }
  client.on("init", init).on("reset", reset).on("step", step).on("render", render).on("close", close).start();
})();
