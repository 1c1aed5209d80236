// The floor's page: a bare WebSocket that parses each task and answers a
// ready Float32Array of num_envs x 7, with no client kit. A classic script,
// run by a browser page (floor.html) or by the Node host unchanged.
(function () {
  "use strict";
  const host = globalThis.VeskHost;
  const query = host ? null : new URLSearchParams(location.search);
  const port = host ? host.port : Number(query.get("port"));
  const token = host ? host.token : query.get("token");
  const Socket = host ? host.WebSocket : WebSocket;
  // Summed like the kit's client.timings, so the two read alike.
  const timings = { tasks: 0, decode: 0, handle: 0, reply: 0 };
  let rows = null;

  function open() {
    const ws = new Socket(`ws://localhost:${port}/?token=${encodeURIComponent(token)}`);
    ws.binaryType = "arraybuffer";
    ws.onmessage = (event) => {
      const start = performance.now();
      const task = JSON.parse(event.data);
      const decoded = performance.now();
      if (task.env === "timings") {
        ws.send(JSON.stringify(timings));
        return;
      }
      const n = task.action.length;
      if (rows === null || rows.length !== n * 7) rows = new Float32Array(n * 7);
      const handled = performance.now();
      ws.send(rows);
      timings.tasks += 1;
      timings.decode += decoded - start;
      timings.handle += handled - decoded;
      timings.reply += performance.now() - handled;
    };
    ws.onerror = () => {};
    ws.onclose = () => setTimeout(open, 50);  // the page may open before the server listens
  }
  open();
})();
