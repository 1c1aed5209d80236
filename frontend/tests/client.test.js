// The client against a scripted socket, and its Python literals against Python itself.
import { test } from "node:test";
import assert from "node:assert/strict";
import { execFileSync } from "node:child_process";
import {
  VeskClient, pyLiteral, errorReply, decodeTask, portFromLocation, tokenFromLocation, chooseAddress, redactToken,
} from "../vesk-client.js";

// What Python's ast.literal_eval makes of each text, as JSON (inf as a string); null = not a literal.
function literalEval(texts) {
  const script = `
import ast, json, math, sys
out = []
for t in json.load(sys.stdin):
    try:
        v = ast.literal_eval(t)
        out.append(["inf" if isinstance(v, float) and math.isinf(v) and v > 0 else "-inf" if isinstance(v, float) and math.isinf(v) else v])
    except (ValueError, SyntaxError):
        out.append(None)
print(json.dumps(out))`;
  const python = process.env.PYTHON || "python3";
  return JSON.parse(execFileSync(python, ["-c", script], { input: JSON.stringify(texts) })).map((r) => r && r[0]);
}

test("pyLiteral texts read back in Python as the same values", () => {
  const cases = [
    [null, null], [undefined, null], [true, true], [false, false], [0, 0], [-2.5, -2.5], [1e21, 1e21],
    [0.1, 0.1], [Infinity, "inf"], [-Infinity, "-inf"], ["", ""],
    ["quote \" apostrophe ' backslash \\ newline \n tab \t é \u0001", "quote \" apostrophe ' backslash \\ newline \n tab \t é \u0001"],
    [[1, [true, null], "x"], [1, [true, null], "x"]], [{ a: 1, "b c": [false] }, { a: 1, "b c": [false] }],
    [new Float32Array([0.5, -1]), [0.5, -1]], [[], []], [{}, {}],
  ];
  assert.deepEqual(literalEval(cases.map(([v]) => pyLiteral(v))), cases.map(([, want]) => want));
});

test("pyLiteral refuses values Python has no literal for", () => {
  for (const v of [NaN, [1, NaN], new Map(), new Date(0), () => 1, Symbol("s")]) assert.throws(() => pyLiteral(v));
});

test("error replies are one line, carry message and stack, and are no Python literal", () => {
  function step() {
    throw new TypeError("bad action");
  }
  let thrown;
  try {
    step();
  } catch (e) {
    thrown = e;
  }
  const replies = [errorReply(thrown), errorReply("plain string"), errorReply(42), errorReply(Object.create(null))];
  assert.match(replies[0], /^front-end error: TypeError: bad action at step \(.*client\.test\.js:\d+:\d+\)/);
  assert.equal(replies[1], "front-end error: plain string");
  for (const r of replies) assert.ok(!r.includes("\n"));
  assert.deepEqual(literalEval(replies), [null, null, null, null]);
});

test("decodeTask reads objects, doubly encoded render/close and binary frames", () => {
  const render = JSON.stringify('{"env":"render"}');
  assert.equal(render.length, 22);
  assert.deepEqual(decodeTask(render), { env: "render" });
  assert.deepEqual(decodeTask('{"env": "step", "action": [[0.5, -1.0]]}'), { env: "step", action: [[0.5, -1]] });
  const buf = new ArrayBuffer(8);
  assert.deepEqual(decodeTask(buf), { env: "binary", data: buf });
  for (const bad of ["NaN", "[1]", '"5"', "null", '{"env": 3}', '{"x": 1}']) assert.throws(() => decodeTask(bad), Error, bad);
});

test("port comes from ?port=, default 70, and must be 1..65535", () => {
  assert.equal(portFromLocation(""), 70);
  assert.equal(portFromLocation("?port="), 70);
  assert.equal(portFromLocation("?x=1&port=8765"), 8765);
  assert.equal(portFromLocation("?port=65535"), 65535);
  for (const bad of ["0", "65536", "abc", "12.5", "-1", " 80"]) assert.throws(() => portFromLocation("?port=" + encodeURIComponent(bad)), RangeError);
});

// A socket the test plays the server for: deliver() is a frame from Python.
class FakeSocket {
  static last = null;
  constructor(url) {
    this.url = url;
    this.readyState = 1;
    this.sent = [];
    FakeSocket.last = this;
  }
  send(data) {
    this.sent.push(data);
  }
  close() {
    this.readyState = 3;
    this.onclose({ code: 1000, reason: "" });
  }
  deliver(data) {
    this.onmessage({ data });
  }
}

const settle = () => new Promise((r) => setTimeout(r, 20));

function quietly(fn) {
  const saved = console.error;
  const logged = [];
  console.error = (...a) => logged.push(a.join(" "));
  return Promise.resolve(fn()).finally(() => (console.error = saved)).then(() => logged);
}

test("one reply per task, in task order, whatever each handler takes", async () => {
  const client = new VeskClient({ port: 8765, WebSocket: FakeSocket, retryMs: 0 });
  const rows = new Float32Array([1, 2, 3, 4]);
  client
    .on("reset", () => new Promise((r) => setTimeout(() => r(rows), 10)))
    .on("step", (t) => t.action)
    .on("info", () => ({ ok: true, n: null }))
    .on("render", () => undefined)
    .start();
  const ws = FakeSocket.last;
  assert.equal(ws.url, "ws://127.0.0.1:8765");
  assert.equal(ws.binaryType, "arraybuffer");
  const logged = await quietly(async () => {
    ws.deliver('{"env": "init", "render_mode": null, "render_fps": 20, "num_envs": 2, "target": [1], "object": ["a"]}');
    ws.deliver('{"env": "reset", "pos": null, "joint": null, "list": [true, true]}');
    ws.deliver('{"env": "step", "action": [[1, 2], [3]]}');
    ws.deliver('{"env": "info"}');
    ws.deliver(JSON.stringify('{"env":"render"}'));
    ws.deliver('{"env": "unknown"}');
    ws.deliver(JSON.stringify('{"env":"close"}'));
    await settle();
  });
  assert.equal(ws.sent.length, 7);
  assert.deepEqual(ws.sent.slice(0, 5), ["None", rows, "[[1, 2], [3]]", "{\"ok\": True, \"n\": None}", "None"]);
  assert.match(ws.sent[5], /^front-end error: Error: no handler for task "unknown"/);
  assert.equal(ws.sent[6], "None");
  assert.deepEqual(logged, [ws.sent[5]]);
  assert.deepEqual({ ...client.status, errors: client.status.errors.length },
    { url: "ws://127.0.0.1:8765", connected: false, tasks: 7, errors: 1, numEnvs: 2, lastTask: "close", closed: null });
});

test("bad replies become error replies, naming the problem", async () => {
  const client = new VeskClient({ WebSocket: FakeSocket, retryMs: 0 });
  let reply;
  client.on("step", () => reply).start();
  const ws = FakeSocket.last;
  assert.equal(ws.url, "ws://127.0.0.1:70");
  ws.deliver('{"env": "init", "num_envs": 3}');
  const bad = [
    [new Float32Array(4), /4 floats cannot be split into 3 equal rows/],
    [new Float32Array(0), /0 floats/],
    [new Float64Array(3), /must be a Float32Array, got \[object Float64Array\]/],
    [new ArrayBuffer(12), /must be a Float32Array/],
    [NaN, /NaN has no Python literal/],
  ];
  const logged = await quietly(async () => {
    for (const [value] of bad) {
      reply = value;
      ws.deliver('{"env": "step", "action": 0}');
      await settle();
    }
  });
  bad.forEach(([, pattern], i) => assert.match(ws.sent[i + 1], pattern));
  assert.equal(logged.length, bad.length);
  assert.equal(client.status.errors.length, bad.length);
});

test("nothing is sent on a closed socket; a closed connection is retried", async () => {
  const client = new VeskClient({ WebSocket: FakeSocket, retryMs: 5 });
  client.on("step", () => new Float32Array(1)).start();
  const first = FakeSocket.last;
  first.onopen();
  assert.equal(client.status.connected, true);
  first.deliver('{"env": "step"}');
  first.readyState = 3; // closed before the handler's answer goes out
  first.onclose({ code: 1013, reason: "another front-end is connected" });
  await settle();
  assert.deepEqual(first.sent, []);
  assert.equal(client.status.tasks, 0);
  assert.deepEqual(client.status.closed, { code: 1013, reason: "another front-end is connected" });
  assert.notEqual(FakeSocket.last, first);
  client.stop();
  const second = FakeSocket.last;
  await settle();
  assert.equal(FakeSocket.last, second, "no retry after stop()");
});

test("the page's ?token= goes on to the websocket URL, encoded", () => {
  assert.equal(tokenFromLocation("?port=1&token=a%20b%26c"), "a b&c");
  assert.equal(tokenFromLocation("?token="), null);
  assert.equal(tokenFromLocation(""), null);
  const urls = [
    [{ port: 8765, token: "a b&c" }, "ws://127.0.0.1:8765/?token=a+b%26c"],
    [{ url: "ws://127.0.0.1:9/x?y=1", token: "t" }, "ws://127.0.0.1:9/x?y=1&token=t"],
    [{ port: 8765, token: null }, "ws://127.0.0.1:8765"],
  ];
  for (const [options, url] of urls) {
    new VeskClient({ ...options, WebSocket: FakeSocket, retryMs: 0 }).start();
    assert.equal(FakeSocket.last.url, url);
  }
});

test("after the server closes the connection, a new one carries on with the next task", async () => {
  const client = new VeskClient({ WebSocket: FakeSocket, retryMs: 5, token: "t" });
  client.on("reset", () => new Float32Array([1])).start();
  const first = FakeSocket.last;
  first.onopen();
  first.onclose({ code: 1000, reason: "" }); // the server dropped a failed exchange
  await settle();
  const second = FakeSocket.last;
  assert.notEqual(second, first);
  assert.equal(second.url, "ws://127.0.0.1:70/?token=t");
  second.onopen();
  second.deliver('{"env": "reset", "pos": null, "joint": null, "list": [true]}');
  await settle();
  assert.deepEqual(second.sent, [new Float32Array([1])]);
  client.stop();
});

test("with no options the address names port and token; else the run file, for its own port only", () => {
  const run = { port: 9001, token: "run" };
  const cases = [
    [{ port: null, token: null }, run, { port: 9001, token: "run" }],
    [{ port: 9001, token: null }, run, { port: 9001, token: "run" }],
    // Another port: the run file belongs to another run, its token stays here.
    [{ port: 9002, token: null }, run, { port: 9002, token: null }],
    [{ port: null, token: "page" }, run, { port: 70, token: "page" }],
    [{ port: 9002, token: "page" }, run, { port: 9002, token: "page" }],
    [{ port: null, token: null }, null, { port: 70, token: null }],
    [{ port: null, token: null }, { port: "9001", token: "run" }, { port: 70, token: null }],
    [{ port: null, token: null }, { port: 9001, token: "" }, { port: 70, token: null }],
  ];
  for (const [page, file, want] of cases) assert.deepEqual(chooseAddress(page, file), want, JSON.stringify([page, file]));

  const dialled = (options) => {
    new VeskClient({ WebSocket: FakeSocket, retryMs: 0, runFile: null, ...options }).start();
    return FakeSocket.last.url;
  };
  assert.equal(dialled({ search: "?port=8765&token=a%20b" }), "ws://127.0.0.1:8765/?token=a+b");
  assert.equal(dialled({ search: "?token=t" }), "ws://127.0.0.1:70/?token=t");
  assert.equal(dialled({ search: "?port=8765", token: "given" }), "ws://127.0.0.1:8765/?token=given");
  assert.throws(() => new VeskClient({ search: "?port=99999" }), RangeError);
});

test("the token never shows in the status", () => {
  assert.equal(redactToken("ws://127.0.0.1:1/?token=abc&x=1#f"), "ws://127.0.0.1:1/?token=<redacted>&x=1#f");
  assert.equal(redactToken("ws://h/?x=1&token=abc"), "ws://h/?x=1&token=<redacted>");
  assert.equal(redactToken("ws://h/?mytoken=abc"), "ws://h/?mytoken=abc");
  const client = new VeskClient({ search: "?port=5&token=secret", WebSocket: FakeSocket, retryMs: 0 }).start();
  assert.equal(FakeSocket.last.url, "ws://127.0.0.1:5/?token=secret");
  assert.ok(!JSON.stringify(client.status).includes("secret"), JSON.stringify(client.status));
});
