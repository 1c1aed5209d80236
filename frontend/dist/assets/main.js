// Reference front-end: answers a Vesk environment with the vectorised
// cart-pole of cartpole.js and draws environment 0. Row layout and
// conventions: frontend/README.md.
(function () {
  "use strict";
  const { VeskClient, portFromLocation, tokenFromLocation, errorReply } = globalThis.Vesk;
  const { serveCartPole, X_LIMIT, HALF_LENGTH } = globalThis.VeskCartPole;

  const ctx = document.getElementById("scene").getContext("2d");
  const statusLine = document.getElementById("status");
  let tasks = null;
  let frameAsked = false;
  let lastStatus = null;

  // Draws one environment of the batch, filling the canvas.
  function drawCartPole(ctx, sim, env = 0, caption = "") {
    const { width, height } = ctx.canvas;
    const scale = width / (2 * X_LIMIT + 1.2); // track plus a margin, in pixels per metre
    const groundY = height * 0.72;
    const toX = (m) => width / 2 + m * scale;
    ctx.fillStyle = "#f7f7f2";
    ctx.fillRect(0, 0, width, height);
    ctx.strokeStyle = "#444";
    ctx.lineWidth = 2;
    ctx.beginPath();
    ctx.moveTo(toX(-X_LIMIT), groundY);
    ctx.lineTo(toX(X_LIMIT), groundY);
    ctx.stroke();
    ctx.fillStyle = "#c33";
    for (const edge of [-X_LIMIT, X_LIMIT]) ctx.fillRect(toX(edge) - 2, groundY - 12, 4, 24);
    if (!sim) return;

    const x = toX(sim.x[env]);
    const cartW = 0.5 * scale;
    const cartH = 0.3 * scale;
    const done = sim.terminated[env] || sim.truncated[env];
    ctx.fillStyle = "#2b3a55";
    ctx.fillRect(x - cartW / 2, groundY - cartH, cartW, cartH);
    const pivotY = groundY - cartH;
    const len = 2 * HALF_LENGTH * scale;
    ctx.strokeStyle = done ? "#c33" : "#d08a2a";
    ctx.lineWidth = Math.max(4, 0.08 * scale);
    ctx.lineCap = "round";
    ctx.beginPath();
    ctx.moveTo(x, pivotY);
    // theta > 0 leans the pole towards +x.
    ctx.lineTo(x + len * Math.sin(sim.theta[env]), pivotY - len * Math.cos(sim.theta[env]));
    ctx.stroke();
    ctx.fillStyle = "#888";
    ctx.beginPath();
    ctx.arc(x, pivotY, 5, 0, 2 * Math.PI);
    ctx.fill();

    ctx.fillStyle = "#222";
    ctx.font = "14px sans-serif";
    ctx.fillText(`env ${env} of ${sim.numEnvs} · episode ${sim.episodes[env]} · step ${sim.steps[env]} · return ${sim.returns[env]}`, 10, 20);
    if (caption) ctx.fillText(caption, 10, 40);
  }

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
    statusLine.textContent = `${s.url}: ${state} · tasks answered ${s.tasks}${last}`;
  }

  function draw() {
    const state = tasks ? tasks.state : { sim: null, closed: false };
    drawCartPole(ctx, state.sim, 0, state.closed ? "closed by the environment" : "");
  }

  let client;
  try {
    client = new VeskClient({
      port: portFromLocation(location.search),
      token: tokenFromLocation(location.search),
      onStatus: showStatus,
    });
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
  tasks = serveCartPole(client, { stepped: atNextFrame, shown: draw });
  showStatusNow(client.status);
  draw();
  client.start();
})();
