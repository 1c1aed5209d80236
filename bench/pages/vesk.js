// Vesk's page for the benchmark: the client kit with handlers that answer a
// ready Float32Array of num_envs x 7, and a "timings" task that returns the
// kit's own stage sums. A classic script, run after the kit by a browser
// page (vesk.html) or by the Node host unchanged.
(function () {
  "use strict";
  const host = globalThis.VeskHost;
  const options = { retryMs: 50 };
  const client = host
    ? host.client(options)
    : new Vesk.VeskClient({ ...options, port: Vesk.portFromLocation(location.search),
      token: Vesk.tokenFromLocation(location.search) });
  let rows = null;
  const ready = () => {
    const n = client.status.numEnvs;
    if (rows === null || rows.length !== n * 7) rows = new Float32Array(n * 7);
    return rows;
  };
  client.on("reset", ready).on("step", ready).on("timings", () => ({ ...client.timings }));
  client.start();
})();
