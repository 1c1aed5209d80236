// The Node host's own side: gives a page's classic scripts what a browser
// gives them (the client kit on globalThis.Vesk, a WebSocket), then runs
// them. Started by veskit/hosts/node.py as
//     node node_host.mjs <client kit> [<the ws package, without a global WebSocket>]
// and told what to open as one line on standard input: the script's file
// URL with the bridge's port and token in its query, as a browser page gets
// them (so neither shows in the process list).
import fs from "node:fs";
import path from "node:path";
import vm from "node:vm";
import { createRequire } from "node:module";
import { fileURLToPath } from "node:url";

// Runs a classic script in the global scope, as a <script> tag does.
function runClassic(file) {
  vm.runInThisContext(fs.readFileSync(file, "utf8"), { filename: file });
}

// The global WebSocket, else the ws package at `wsPath` (found by node.py).
function findWebSocket(wsPath) {
  if (typeof globalThis.WebSocket === "function") return globalThis.WebSocket;
  if (wsPath) return createRequire(import.meta.url)(wsPath);
  throw new Error(`Node ${process.version} has no WebSocket: use Node 22 or newer (or 20 with ` +
    "--experimental-websocket), or install the ws package (Debian: apt-get install -y node-ws)");
}

function readLine(stream) {
  return new Promise((resolve, reject) => {
    let text = "";
    const onData = (chunk) => {
      text += chunk;
      const end = text.indexOf("\n");
      if (end < 0) return;
      stream.off("data", onData);
      stream.off("end", onEnd);
      stream.pause();
      resolve(text.slice(0, end));
    };
    const onEnd = () => reject(new Error("the launcher went away before it gave an address"));
    stream.setEncoding("utf8");
    stream.on("data", onData);
    stream.on("end", onEnd);
  });
}

const [kit, wsPath] = process.argv.slice(2);
runClassic(kit);
const address = new URL(await readLine(process.stdin));
const script = fileURLToPath(address);
const port = Number(address.searchParams.get("port"));
const token = address.searchParams.get("token");
const WebSocket = findWebSocket(wsPath);

globalThis.VeskHost = {
  port,
  token,
  WebSocket,
  // A client of the kit dialling this host's bridge; `options` as for VeskClient.
  client(options = {}) {
    return new globalThis.Vesk.VeskClient({ port, token, WebSocket, ...options });
  },
  // Runs another classic script, relative to the entry script's folder.
  load(file) {
    runClassic(path.resolve(path.dirname(script), file));
  },
  require: createRequire(script),
};
runClassic(script);
