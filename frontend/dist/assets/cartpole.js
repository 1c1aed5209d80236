// Vectorised cart-pole: N independent copies of the classic control task,
// stepped together, and the task handlers that answer an environment with
// them. No DOM: the page (main.js) and the Node host (node-main.js) run this
// file unchanged. A classic script (see vesk-client.js for why); defines
// globalThis.VeskCartPole.
(function (global) {
  "use strict";

  const GRAVITY = 9.8;
  const MASS_CART = 1.0;
  const MASS_POLE = 0.1;
  const TOTAL_MASS = MASS_CART + MASS_POLE;
  const HALF_LENGTH = 0.5;
  const POLE_MASS_LENGTH = MASS_POLE * HALF_LENGTH;
  const FORCE = 10.0;
  const TAU = 0.02;
  const X_LIMIT = 2.4;
  const THETA_LIMIT = (12 * 2 * Math.PI) / 360;
  const INIT_SPREAD = 0.05;

  // One reply row per environment.
  const COLUMNS = ["x", "x_dot", "theta", "theta_dot", "reward", "terminated", "truncated"];
  const ROW = COLUMNS.length;

  // Reset and step data come from Python lists; say which env is wrong.
  function finite(v, what) {
    if (typeof v !== "number" || !Number.isFinite(v)) throw new TypeError(`${what} must be a finite number, got ${JSON.stringify(v)}`);
    return v;
  }

  class CartPoleBatch {
    constructor(numEnvs, { maxSteps = 500, random = Math.random } = {}) {
      if (!Number.isInteger(numEnvs) || numEnvs < 1) throw new RangeError(`num_envs must be a positive integer, got ${JSON.stringify(numEnvs)}`);
      if (!Number.isInteger(maxSteps) || maxSteps < 1) throw new RangeError(`max_steps must be a positive integer, got ${JSON.stringify(maxSteps)}`);
      this.numEnvs = numEnvs;
      this.maxSteps = maxSteps;
      this.random = random;
      // Physics in doubles; only the reply is float32.
      this.x = new Float64Array(numEnvs);
      this.xDot = new Float64Array(numEnvs);
      this.theta = new Float64Array(numEnvs);
      this.thetaDot = new Float64Array(numEnvs);
      this.reward = new Float64Array(numEnvs);
      this.terminated = new Uint8Array(numEnvs);
      this.truncated = new Uint8Array(numEnvs);
      this.steps = new Int32Array(numEnvs);
      this.returns = new Float64Array(numEnvs); // of the running episode
      this.episodes = new Int32Array(numEnvs); // resets so far
      // Start in a valid state so a step before the first reset still works.
      this.reset(new Array(numEnvs).fill(true), null, null);
      this.episodes.fill(0);
    }

    // flags: one truthy value per env to reset. pos[i]: x or [x, x_dot];
    // joint[i]: theta or [theta, theta_dot]; pos, joint or an entry null ->
    // uniform in [-0.05, 0.05] as in the classic task.
    reset(flags, pos, joint) {
      const n = this.numEnvs;
      this._checkList(flags, "list");
      if (pos != null) this._checkList(pos, "pos");
      if (joint != null) this._checkList(joint, "joint");
      for (let i = 0; i < n; i++) {
        if (!flags[i]) continue;
        [this.x[i], this.xDot[i]] = this._pair(pos && pos[i], `pos[${i}]`);
        [this.theta[i], this.thetaDot[i]] = this._pair(joint && joint[i], `joint[${i}]`);
        this.reward[i] = 0;
        this.terminated[i] = 0;
        this.truncated[i] = 0;
        this.steps[i] = 0;
        this.returns[i] = 0;
        this.episodes[i] += 1;
      }
    }

    // actions[i] > 0 pushes env i right with force 10, anything else left
    // (so discrete 1/0 work); [a] counts as a. An env whose episode ended
    // stays frozen with reward 0 until it is reset.
    step(actions) {
      const n = this.numEnvs;
      if (typeof actions === "number" && n === 1) actions = [actions];
      this._checkList(actions, "action");
      for (let i = 0; i < n; i++) {
        const a = Array.isArray(actions[i]) ? actions[i][0] : actions[i];
        finite(a, `action[${i}]`);
        if (this.terminated[i] || this.truncated[i]) {
          this.reward[i] = 0;
          continue;
        }
        const force = a > 0 ? FORCE : -FORCE;
        const cos = Math.cos(this.theta[i]);
        const sin = Math.sin(this.theta[i]);
        const temp = (force + POLE_MASS_LENGTH * this.thetaDot[i] * this.thetaDot[i] * sin) / TOTAL_MASS;
        const thetaAcc = (GRAVITY * sin - cos * temp) / (HALF_LENGTH * (4.0 / 3.0 - (MASS_POLE * cos * cos) / TOTAL_MASS));
        const xAcc = temp - (POLE_MASS_LENGTH * thetaAcc * cos) / TOTAL_MASS;
        // Explicit Euler, positions from the old velocities, as the classic task does.
        this.x[i] += TAU * this.xDot[i];
        this.xDot[i] += TAU * xAcc;
        this.theta[i] += TAU * this.thetaDot[i];
        this.thetaDot[i] += TAU * thetaAcc;
        this.steps[i] += 1;
        this.reward[i] = 1;
        this.returns[i] += 1;
        const out = Math.abs(this.x[i]) > X_LIMIT || Math.abs(this.theta[i]) > THETA_LIMIT;
        this.terminated[i] = out ? 1 : 0;
        this.truncated[i] = !out && this.steps[i] >= this.maxSteps ? 1 : 0;
      }
    }

    // A fresh array of the reply rows.
    rows() {
      return this.rowsInto(new Float32Array(this.numEnvs * ROW));
    }

    // The reply rows written into `out` (numEnvs * ROW floats), which is
    // returned. A page that sends each reply before the next step starts can
    // pass the same array every time: WebSocket.send copies what it sends.
    rowsInto(out) {
      for (let i = 0, o = 0; i < this.numEnvs; i++, o += ROW) {
        out[o] = this.x[i];
        out[o + 1] = this.xDot[i];
        out[o + 2] = this.theta[i];
        out[o + 3] = this.thetaDot[i];
        out[o + 4] = this.reward[i];
        out[o + 5] = this.terminated[i];
        out[o + 6] = this.truncated[i];
      }
      return out;
    }

    _checkList(list, what) {
      if (!Array.isArray(list) || list.length !== this.numEnvs) {
        const got = Array.isArray(list) ? `a list of ${list.length}` : JSON.stringify(list);
        throw new TypeError(`${what} must be a list with one entry per environment (${this.numEnvs}), got ${got}`);
      }
    }

    _pair(v, what) {
      if (v == null) return [(this.random() * 2 - 1) * INIT_SPREAD, (this.random() * 2 - 1) * INIT_SPREAD];
      if (typeof v === "number") return [finite(v, what), 0];
      if (Array.isArray(v) && v.length === 2) return [finite(v[0], what + "[0]"), finite(v[1], what + "[1]")];
      throw new TypeError(`${what} must be null, a number or a pair of numbers, got ${JSON.stringify(v)}`);
    }
  }

  // The init task is remembered for the tab, so that a page reloaded while
  // the environment trains (with VESK_ON_FAILURE=raise) resumes at its reset.
  const INIT_KEY = "vesk-init";
  function rememberedInit() {
    try {
      const text = global.sessionStorage && global.sessionStorage.getItem(INIT_KEY);
      return text ? JSON.parse(text) : null;
    } catch (_) {
      return null;
    }
  }

  // init's "object" may be a JSON object of options; only max_steps is read.
  function maxSteps(object) {
    const isDict = object !== null && typeof object === "object" && !Array.isArray(object);
    return isDict && object.max_steps !== undefined ? object.max_steps : 500;
  }

  // The task handlers of whatever runs this simulation (the page, the Node
  // host): give each to client.on(name, ...). `stepped()` is called after
  // reset and step (a page redraws at its next frame), `shown()` after init,
  // render and close (a page redraws at once). `state` holds the batch (null
  // before init) and whether the environment closed.
  function cartPoleTasks({ stepped = () => {}, shown = () => {} } = {}) {
    const state = { sim: null, closed: false };
    let replyRows = null; // reused: each reply is sent before the next step

    function startSim(msg) {
      state.sim = new CartPoleBatch(msg.num_envs, { maxSteps: maxSteps(msg.object) });
      replyRows = new Float32Array(state.sim.numEnvs * ROW);
    }
    function needSim() {
      if (!state.sim) {
        const msg = rememberedInit();
        if (!msg) throw new Error("no init task received yet on this page");
        startSim(msg);
      }
      return state.sim;
    }
    // Named functions, so an error reply's stack says "at step (...)".
    function init(msg) {
      startSim(msg);
      try {
        if (global.sessionStorage) global.sessionStorage.setItem(INIT_KEY, JSON.stringify(msg));
      } catch (_) {
        // storage refused (file:// in some browsers): a reload then needs a new init
      }
      state.closed = false;
      shown();
      return "None";
    }
    function reset(msg) {
      needSim().reset(msg.list, msg.pos, msg.joint);
      stepped();
      return state.sim.rowsInto(replyRows);
    }
    function step(msg) {
      needSim().step(msg.action);
      stepped();
      return state.sim.rowsInto(replyRows);
    }
    function render() {
      shown();
      return "None";
    }
    function close() {
      state.closed = true;
      shown();
      return "None";
    }
    return { state, handlers: { init, reset, step, render, close } };
  }

  // Answers every task of the cart-pole with `client` (a Vesk.VeskClient).
  function serveCartPole(client, callbacks) {
    const tasks = cartPoleTasks(callbacks);
    for (const [name, handler] of Object.entries(tasks.handlers)) client.on(name, handler);
    return tasks;
  }

  global.VeskCartPole = { CartPoleBatch, cartPoleTasks, serveCartPole, COLUMNS, ROW, X_LIMIT, THETA_LIMIT, HALF_LENGTH };
})(globalThis);
