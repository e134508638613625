// Node.js 18 has the Web Crypto API only as `webcrypto` of node:crypto; from
// Node.js 19 on it is also the global `crypto`, which the SDK's HTTP server
// (through @hono/node-server) takes for granted. Both sides of the test import
// this module before anything of the SDK, so that it runs on Node.js 18 as it
// runs on 20 and later.
import { webcrypto } from 'node:crypto';

globalThis.crypto ??= webcrypto;
