// Vesk browser client: the one place that knows the wire protocol between a
// Vesk environment (the websocket server, in Python) and a page (the client).
//
// A classic script rather than an ES module: browsers refuse module scripts on
// pages opened from file://, and the bundle must work when opened directly.
// It defines globalThis.Vesk; frontend/vesk-client.js re-exports it as an ES module.
(function (global) {
  "use strict";

  const DEFAULT_PORT = 70;
  const ERROR_PREFIX = "front-end error: ";
  // The server prints an error reply as one line on stderr; keep it readable.
  const ERROR_MAX_CHARS = 2000;
  // The server discards these replies, so a page needs no handler for them.
  const DISCARDED_REPLY = new Set(["init", "render", "close"]);

  // The host the bridge listens on. Not "localhost": a browser may try [::1]
  // first, and whatever listens there would receive the token.
  const HOST = "127.0.0.1";
  const RUN_FILE_NAME = "vesk-run.js";
  const REDACTED = "<redacted>";

  // The page's ?token= goes on to the websocket URL: unless VESK_TOKEN=off,
  // the server lets in only requests that carry the run's token.
  function tokenFromLocation(search) {
    const token = new URLSearchParams(search).get("token");
    return token === null || token === "" ? null : token;
  }

  function withToken(url, token) {
    if (!token) return url;
    const query = new URLSearchParams({ token }).toString();
    const [base, hash = ""] = url.split("#");
    const path = /^wss?:\/\/[^/?]*$/.test(base) ? base + "/" : base;
    return path + (path.includes("?") ? "&" : "?") + query + (hash ? "#" + hash : "");
  }

  // The URL as it may be shown or logged: the token's value hidden.
  function redactToken(url) {
    return url.replace(/([?&]token=)[^&#]*/g, "$1" + REDACTED);
  }

  function portFromLocation(search) {
    const raw = new URLSearchParams(search).get("port");
    if (raw === null || raw === "") return DEFAULT_PORT;
    const port = /^[0-9]+$/.test(raw) ? Number(raw) : NaN;
    if (!(port >= 1 && port <= 65535)) {
      throw new RangeError(`port must be an integer from 1 to 65535, got ${JSON.stringify(raw)}`);
    }
    return port;
  }

  // Port and token of a page that names neither in options: its address
  // first; then the run file the bridge writes beside this kit (when
  // VESK_TOKEN is unset), whose token goes only to the run file's own port;
  // else port 70 and no token.
  function chooseAddress(page, run) {
    const usable = run !== null && typeof run === "object" && Number.isInteger(run.port) &&
      typeof run.token === "string" && run.token !== "";
    if (page.token !== null) return { port: page.port === null ? DEFAULT_PORT : page.port, token: page.token };
    if (usable && (page.port === null || page.port === run.port)) return { port: run.port, token: run.token };
    return { port: page.port === null ? DEFAULT_PORT : page.port, token: null };
  }

  // Where the run file would be: beside this script, as loaded.
  function runFileBesideKit() {
    const script = global.document && global.document.currentScript;
    return script && script.src ? new URL(RUN_FILE_NAME, script.src).href : null;
  }
  const RUN_FILE = runFileBesideKit();

  // Loads the run file anew (each run writes its own): a classic script,
  // because pages opened from file:// may load scripts but not fetch files.
  // Resolves to what it set, or null when there is none.
  function loadRunFile(url) {
    return new Promise((resolve) => {
      const document = global.document;
      const script = document.createElement("script");
      delete global.VeskRun;
      const done = (loaded) => () => {
        script.remove();
        resolve(loaded && global.VeskRun !== undefined ? global.VeskRun : null);
      };
      script.onload = done(true);
      script.onerror = done(false);
      script.src = url + (url.includes("?") ? "&" : "?") + "run=" + Date.now();
      (document.head || document.documentElement).appendChild(script);
    });
  }

  // Text replies are decoded with Python's ast.literal_eval, so JSON's
  // true/false/null would fail there: spell values the Python way.
  function pyLiteral(value) {
    if (value === null || value === undefined) return "None";
    switch (typeof value) {
      case "boolean":
        return value ? "True" : "False";
      case "number":
        if (Number.isNaN(value)) throw new RangeError("NaN has no Python literal");
        // literal_eval reads an overflowing float literal as inf.
        if (!Number.isFinite(value)) return value > 0 ? "1e999" : "-1e999";
        return String(value);
      case "bigint":
        return String(value);
      case "string":
        // Every escape JSON writes is also a valid Python string escape.
        return JSON.stringify(value);
    }
    if (Array.isArray(value) || (ArrayBuffer.isView(value) && !(value instanceof DataView))) {
      return "[" + Array.from(value, pyLiteral).join(", ") + "]";
    }
    const proto = Object.getPrototypeOf(value);
    if (typeof value === "object" && (proto === Object.prototype || proto === null)) {
      const items = Object.keys(value).map((k) => JSON.stringify(k) + ": " + pyLiteral(value[k]));
      return "{" + items.join(", ") + "}";
    }
    throw new TypeError(`no Python literal for ${Object.prototype.toString.call(value)}`);
  }

  function safeString(value) {
    try {
      return String(value);
    } catch (_) {
      return Object.prototype.toString.call(value);
    }
  }

  // The error reply: deliberately not a Python literal, so the Python task
  // fails at once and shows this text instead of waiting for its time limit.
  function errorReply(err) {
    let text = safeString(err);
    if (err instanceof Error && typeof err.stack === "string" && err.stack) {
      // V8 stacks start with "Name: message"; Firefox and Safari hold frames only.
      text = err.stack.startsWith(text) ? err.stack : text + "\n" + err.stack;
    }
    const oneLine = text.split("\n").map((s) => s.trim()).filter(Boolean).join(" ");
    return (ERROR_PREFIX + oneLine).slice(0, ERROR_MAX_CHARS);
  }

  function decodeTask(data) {
    // A bytes message from Python arrives as a binary frame and goes to the "binary" handler.
    if (data instanceof ArrayBuffer) return { env: "binary", data };
    let task = JSON.parse(data);
    // render and close are sent as JSON string literals whose content is JSON.
    if (typeof task === "string") task = JSON.parse(task);
    if (task === null || typeof task !== "object" || Array.isArray(task) || typeof task.env !== "string") {
      throw new TypeError(`task is not a JSON object with a string "env" key: ${String(data).slice(0, 200)}`);
    }
    return task;
  }

  function addressUrl(address) {
    return withToken(`ws://${HOST}:${address.port}`, address.token);
  }

  class VeskClient {
    // options: url, or port and token, each taken from the page's address
    // (then the run file) when not given: see chooseAddress. retryMs between
    // connection attempts (0 = no retry), also after the server closed the
    // connection; onStatus(status) after each change; runFile (URL of the run
    // file, null for none); search (the page's query) and WebSocket (for tests).
    constructor(options = {}) {
      const search = options.search !== undefined ? options.search : global.location ? global.location.search : "";
      const given = (name, fromPage) => (options[name] !== undefined ? options[name] : fromPage());
      const page = {
        port: given("port", () => (new URLSearchParams(search).get("port") ? portFromLocation(search) : null)),
        token: given("token", () => tokenFromLocation(search)) || null,
      };
      // A URL or token given, or a token in the address: no run file to read.
      const fixed = options.url || page.token !== null || options.token !== undefined;
      this.fixedUrl = !fixed ? null : options.url ? withToken(options.url, page.token) : addressUrl(chooseAddress(page, null));
      this.page = page;
      // What to dial while no run file says otherwise.
      this.plainUrl = this.fixedUrl || addressUrl(chooseAddress(page, null));
      this.runFile = options.runFile !== undefined ? options.runFile : RUN_FILE;
      this.retryMs = options.retryMs === undefined ? 1000 : options.retryMs;
      this.onStatus = options.onStatus || null;
      this.WebSocket = options.WebSocket || global.WebSocket;
      this.handlers = new Map();
      this.socket = null;
      this.stopped = false;
      // Plain data, so tests can read it from the page (window.veskStatus);
      // its url never shows the token.
      this.status = { url: redactToken(this.plainUrl), connected: false, tasks: 0, errors: [], numEnvs: null, lastTask: null, closed: null };
      // Milliseconds spent per stage of answering, summed over tasks (for benchmarks).
      this.timings = { tasks: 0, decode: 0, handle: 0, reply: 0 };
    }

    // handler(task) returns (or resolves to) a Float32Array -> binary frame of
    // float32 rows; a string -> sent as it is (must be a Python literal);
    // undefined -> None; anything else -> its Python literal.
    on(name, handler) {
      if (typeof handler !== "function") throw new TypeError(`handler for "${name}" is not a function`);
      this.handlers.set(name, handler);
      return this;
    }

    start() {
      this.stopped = false;
      this._open();
      return this;
    }

    stop() {
      this.stopped = true;
      if (this.socket) this.socket.close();
    }

    _changed() {
      if (this.onStatus) this.onStatus(this.status);
    }

    // Each attempt reads the run file again, so that a page opened before
    // the run, or left open from the last one, meets this run's token.
    _open() {
      if (this.fixedUrl !== null || !this.runFile || !global.document) {
        this._dial(this.plainUrl);
        return;
      }
      loadRunFile(this.runFile).then((run) => {
        if (!this.stopped) this._dial(addressUrl(chooseAddress(this.page, run)));
      });
    }

    _dial(url) {
      this.status.url = redactToken(url);
      const ws = new this.WebSocket(url);
      ws.binaryType = "arraybuffer";
      this.socket = ws;
      // Replies are paired with tasks by order alone, so answer strictly one
      // at a time even when a handler is async. One chain per connection.
      let pending = Promise.resolve();
      ws.onopen = () => {
        this.status.connected = true;
        this.status.closed = null;
        this._changed();
      };
      ws.onmessage = (event) => {
        pending = pending.then(() => this._answer(ws, event.data));
      };
      ws.onclose = (event) => {
        this.status.connected = false;
        this.status.closed = { code: event.code, reason: event.reason };
        this._changed();
        // The page may open before the server listens, or outlive one session.
        if (!this.stopped && this.retryMs > 0) setTimeout(() => this._open(), this.retryMs);
      };
    }

    async _answer(ws, data) {
      let reply;
      const start = performance.now();
      let decoded = start;
      let handled = start;
      try {
        const task = decodeTask(data);
        decoded = performance.now();
        this.status.lastTask = task.env;
        if (task.env === "init" && Number.isInteger(task.num_envs)) this.status.numEnvs = task.num_envs;
        const handler = this.handlers.get(task.env);
        if (!handler && !DISCARDED_REPLY.has(task.env)) throw new Error(`no handler for task "${task.env}"`);
        const result = handler ? await handler(task) : undefined;
        handled = performance.now();
        reply = this._encode(result);
      } catch (err) {
        reply = errorReply(err);
        this.status.errors.push(reply);
        console.error(reply);
      }
      // Sending on a closed socket is a silent no-op; do not count it.
      if (ws.readyState !== 1) return;
      ws.send(reply);
      const t = this.timings;
      t.tasks += 1;
      t.decode += decoded - start;
      t.handle += handled - decoded;
      t.reply += performance.now() - handled;
      this.status.tasks += 1;
      this._changed();
    }

    _encode(result) {
      if (result instanceof Float32Array) {
        // Catch a wrong shape here, where the page's stack still points at it.
        const n = this.status.numEnvs;
        if (n && (result.length === 0 || result.length % n !== 0)) {
          throw new RangeError(`reply of ${result.length} floats cannot be split into ${n} equal rows`);
        }
        return result;
      }
      if (result instanceof ArrayBuffer || ArrayBuffer.isView(result)) {
        throw new TypeError(`a binary reply must be a Float32Array, got ${Object.prototype.toString.call(result)}`);
      }
      return typeof result === "string" ? result : pyLiteral(result);
    }
  }

  global.Vesk = {
    VeskClient, pyLiteral, errorReply, decodeTask, portFromLocation, tokenFromLocation, chooseAddress, redactToken,
    DEFAULT_PORT,
  };
})(globalThis);
