// Reference Node entry: the cart-pole of cartpole.js answering a Vesk
// environment from Node (veskit.NodeHost), with the same task handlers as
// the page and no drawing. A classic script, run by veskit/hosts/node_host.mjs
// after the client kit.
(function () {
  "use strict";
  VeskHost.load("cartpole.js");
  const client = VeskHost.client();
  globalThis.veskStatus = client.status;
  globalThis.VeskCartPole.serveCartPole(client);
  client.start();
})();
