// ES-module face of the Vesk browser client. The code lives in the bundle's
// assets as a classic script (so a bundle opened from file:// can load it);
// importing it here runs it once and hands out what it defined.
import "./dist/assets/vesk-client.js";

export const {
  VeskClient, pyLiteral, errorReply, decodeTask, portFromLocation, tokenFromLocation, chooseAddress, redactToken,
  DEFAULT_PORT,
} = globalThis.Vesk;
