// The host's side of the interoperability test: the official TypeScript SDK's
// MCP client starts the bridge as a stdio server and talks through it to the
// SDK's HTTP server (application.mjs), as an assistant host talks through it
// to Torvela.
//
//   node host_test.mjs PATH_TO_MCP_BRIDGE
//
// Prints one line per check and ends with "N passed, M failed"; exits 0 only
// when every check passed. A failed check is followed by what the processes
// said meanwhile: the application's error answers and failures, and the
// standard error of the application and of the bridge. Whatever happens, it ends within OVERALL_MS and
// takes down the processes it started.

import './webcrypto.mjs';

import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { mkdtempSync, rmSync, writeFileSync } from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { createInterface } from 'node:readline';
import { fileURLToPath } from 'node:url';

import { Client } from '@modelcontextprotocol/sdk/client/index.js';
import { StdioClientTransport } from '@modelcontextprotocol/sdk/client/stdio.js';
import { CallToolResultSchema, ErrorCode, McpError, SUPPORTED_PROTOCOL_VERSIONS } from '@modelcontextprotocol/sdk/types.js';
import { z } from 'zod';

import { RESOURCE_TEXT, RESOURCE_URI, SERVER_NAME, SLOW_MS } from './constants.mjs';

const OVERALL_MS = 60_000;
// Limit for a single request of the client, well below OVERALL_MS.
const REQUEST_MS = 10_000;
// How soon the application must see the connection of a cancelled call close.
const CANCEL_SEEN_MS = 3_000;
// How long to watch for a reply to the cancelled call before going on.
const LATE_REPLY_WATCH_MS = 1_500;
const CONCURRENT_CALLS = 50;

const here = path.dirname(fileURLToPath(import.meta.url));
const bridgePath = process.argv[2];
if (!bridgePath) {
  process.stderr.write('usage: node host_test.mjs PATH_TO_MCP_BRIDGE\n');
  process.exit(2);
}

// Everything started here, so that the overall limit can take it down.
const children = new Set();
const tempDirs = [];

function cleanUp() {
  for (const child of children) {
    if (child.exitCode === null && child.signalCode === null) child.kill('SIGKILL');
  }
  for (const dir of tempDirs) rmSync(dir, { recursive: true, force: true });
}

let passed = 0;
let failed = 0;

// What the processes under test said that may explain a failure, one text
// per item, in the order it came.
const witness = [];
// How long a failed check waits for the application's report of the exchange
// that failed it, which may come just after the reply.
const WITNESS_WAIT_MS = 300;
const WITNESS_SHOWN = 2000;

function testify(source, text) {
  witness.push(`${source}: ${text.length > WITNESS_SHOWN ? `${text.slice(0, WITNESS_SHOWN)}…` : text}`);
}

function showWitness(from) {
  for (const item of witness.slice(from)) {
    for (const line of item.trimEnd().split('\n')) console.log(`    # ${line}`);
  }
}

function finish(extraFailure) {
  if (extraFailure) {
    console.log(`not ok - ${extraFailure}`);
    failed += 1;
  }
  cleanUp();
  console.log(`${passed} passed, ${failed} failed`);
  process.exit(failed === 0 ? 0 : 1);
}

const overall = setTimeout(() => finish(`the whole run took longer than ${OVERALL_MS} ms`), OVERALL_MS);

async function check(name, body) {
  const from = witness.length;
  try {
    await body();
    passed += 1;
    console.log(`ok - ${name}`);
  } catch (error) {
    failed += 1;
    console.log(`not ok - ${name}`);
    for (const line of String(error?.stack ?? error).split('\n')) console.log(`    ${line}`);
    await sleep(WITNESS_WAIT_MS);
    showWitness(from);
  }
}

function sleep(ms) {
  return new Promise((resolve) => setTimeout(resolve, ms));
}

function withLimit(promise, ms, what) {
  let timer;
  const limit = new Promise((_, reject) => {
    timer = setTimeout(() => reject(new Error(`${what}: nothing within ${ms} ms`)), ms);
  });
  return Promise.race([promise, limit]).finally(() => clearTimeout(timer));
}

function makeTempDir() {
  const dir = mkdtempSync(path.join(os.tmpdir(), 'bridge-interop-'));
  tempDirs.push(dir);
  return dir;
}

// An exchange the application answered with an HTTP error, or in which it or
// the SDK failed.
function testifyExchange(event) {
  const what = `${event.method} ${JSON.stringify(event.id)}`;
  if (event.body !== undefined) testify('application', `HTTP ${event.status} for ${what}: ${event.body}`);
  if (event.failure) testify('application', `failed in ${what}: ${event.failure}`);
  for (const error of event.errors ?? []) testify('application', `SDK error in ${what}: ${error}`);
}

// The application: application.mjs in a child process, with its event lines.
class Application {
  constructor(settingsDir) {
    this.events = [];
    this.waiters = [];
    this.stderr = '';
    // Its standard input stays open while this process lives: the
    // application stops at its end, so it cannot outlive the test.
    this.child = spawn(process.execPath, [path.join(here, 'application.mjs'), settingsDir], {
      stdio: ['pipe', 'pipe', 'pipe'],
    });
    children.add(this.child);
    this.child.stderr.setEncoding('utf8');
    this.child.stderr.on('data', (text) => {
      this.stderr += text;
      testify('application stderr', text);
    });
    createInterface({ input: this.child.stdout }).on('line', (line) => {
      const event = JSON.parse(line);
      this.events.push(event);
      if (event.event === 'exchange') testifyExchange(event);
      this.waiters = this.waiters.filter((waiter) => !waiter(event));
    });
  }

  // The first event, past or future, for which `match` is true.
  waitFor(match, ms, what) {
    const seen = this.events.find(match);
    if (seen) return Promise.resolve(seen);
    return withLimit(
      new Promise((resolve) => {
        this.waiters.push((event) => {
          if (!match(event)) return false;
          resolve(event);
          return true;
        });
      }),
      ms,
      `application: ${what}`,
    );
  }

  exchanges() {
    return this.events.filter((event) => event.event === 'exchange');
  }

  // Ends the application's standard input; settles when it has exited.
  stop() {
    const exited = new Promise((resolve) => {
      if (this.child.exitCode !== null || this.child.signalCode !== null) resolve();
      else this.child.once('exit', resolve);
    });
    this.child.stdin.end();
    return exited;
  }
}

// One run of the bridge under the SDK's client, with everything that crossed
// the bridge's standard input and output recorded.
class Session {
  constructor(settingsDir) {
    this.sent = [];
    this.received = [];
    this.clientErrors = [];
    this.stderr = '';
    this.transport = new StdioClientTransport({
      command: bridgePath,
      args: [],
      env: { TORVELA_MCP_DIR: settingsDir },
      stderr: 'pipe',
    });
    this.transport.stderr.setEncoding('utf8');
    this.transport.stderr.on('data', (text) => {
      this.stderr += text;
      testify('bridge stderr', text);
    });

    // The client installs its handler as the transport's `onmessage`; this
    // records each message on its way to that handler.
    let handler;
    const recordAndPass = (message, extra) => {
      this.received.push(message);
      handler?.(message, extra);
    };
    Object.defineProperty(this.transport, 'onmessage', {
      configurable: true,
      get: () => (handler ? recordAndPass : undefined),
      set: (value) => {
        handler = value;
      },
    });
    const send = this.transport.send.bind(this.transport);
    this.transport.send = (message, options) => {
      this.sent.push(message);
      return send(message, options);
    };

    // Watch the process from its start: a client whose initialize fails
    // closes its transport at once.
    const start = this.transport.start.bind(this.transport);
    this.transport.start = async () => {
      await start();
      this.watchExit();
    };

    this.client = new Client({ name: 'interop-host', version: '1.0.0' });
    this.client.onerror = (error) => this.clientErrors.push(error);
  }

  async connect() {
    await this.client.connect(this.transport, { timeout: REQUEST_MS });
  }

  // The SDK's transport does not report the exit status of the process it
  // started, and its close() ends with signals if the process lingers; the
  // status is taken from its child process object.
  watchExit() {
    const child = this.transport._process;
    assert.ok(child, 'the SDK transport holds no child process to watch');
    children.add(child);
    this.exited = new Promise((resolve) => {
      if (child.exitCode !== null || child.signalCode !== null) {
        resolve({ code: child.exitCode, signal: child.signalCode });
      } else {
        child.once('exit', (code, signal) => resolve({ code, signal }));
      }
    });
  }

  // Closes the client, which ends the bridge's standard input, and gives the
  // bridge's exit status.
  async close() {
    assert.ok(this.exited, 'the bridge was never started');
    await this.client.close();
    return withLimit(this.exited, 5_000, 'bridge exit');
  }

  echo(text, options = {}) {
    return this.client.callTool({ name: 'echo', arguments: { text } }, CallToolResultSchema, {
      timeout: REQUEST_MS,
      ...options,
    });
  }
}

function textOf(result) {
  assert.ok(!result.isError, `tool call failed: ${JSON.stringify(result)}`);
  assert.equal(result.content.length, 1);
  assert.equal(result.content[0].type, 'text');
  return result.content[0].text;
}

async function main() {
  const settingsDir = makeTempDir();
  const app = new Application(settingsDir);
  const { port } = await app.waitFor((event) => event.event === 'listening', 10_000, 'listening').catch((error) => {
    throw new Error(`${error.message}; its standard error: ${JSON.stringify(app.stderr)}`);
  });

  const session = new Session(settingsDir);
  let protocolVersion;

  await check('initialize through the bridge', async () => {
    await session.connect();
    assert.equal(session.client.getServerVersion()?.name, SERVER_NAME);
    const reply = session.received.find((message) => message.id === session.sent[0].id);
    assert.equal(session.sent[0].method, 'initialize');
    protocolVersion = reply?.result?.protocolVersion;
    assert.ok(SUPPORTED_PROTOCOL_VERSIONS.includes(protocolVersion), `protocol version ${protocolVersion}`);
  });

  await check('tools/list lists echo, mirror and slow', async () => {
    const { tools } = await session.client.listTools(undefined, { timeout: REQUEST_MS });
    const names = tools.map((tool) => tool.name).sort();
    assert.deepEqual(names, ['echo', 'mirror', 'slow']);
    const echo = tools.find((tool) => tool.name === 'echo');
    assert.equal(echo.inputSchema.properties.text.type, 'string');
  });

  await check('echo returns Turkish text and emoji unchanged', async () => {
    const text = 'Merhaba ğüşıöç İĞÜŞÖÇ ı i İ I — 🙂🚀👩🏽‍💻 “tırnak” ‘tek’ › €';
    assert.equal(textOf(await session.echo(text)), text);
  });

  await check('echo returns quotes, backslashes and control characters unchanged', async () => {
    const text = 'a "quoted" \\ back\\slash / slash\ttab\r\nCRLF\u0001\u001f\u007f\u2028\u2029 end';
    assert.equal(textOf(await session.echo(text)), text);
  });

  await check('echo returns a 2 MB text unchanged', async () => {
    const text = 'ğüşıöç İ 🙂 0123456789 '.repeat(70_000);
    assert.ok(Buffer.byteLength(text) > 2_000_000);
    assert.equal(textOf(await session.echo(text)), text);
  });

  await check('mirror returns JSON values unchanged, numbers at the edges of precision among them', async () => {
    // The bridge parses and writes out every message again, on the way in and
    // on the way back; each number must come back as the same double.
    const value = {
      integers: [0, 1, -1, 42, 2 ** 31, 2 ** 32, 2 ** 53 - 1, 2 ** 53, 2 ** 53 + 2, 2 ** 63, 2 ** 64, -(2 ** 63), -(2 ** 63) - 2048, 1e21],
      fractions: [0.1, 0.1 + 0.2, 1 / 3, -2.5e-10, 1e-7, 0.000001, 123.456, 4.35, 5e-324, 2.2250738585072014e-308, 1.7976931348623157e308, 1e300],
      others: [true, false, null, '', 'ş', [], {}, [[[]]], { 'a/b': { '': 1 } }],
      'ğüşıöç İ': 'anahtar',
    };
    const result = await session.client.callTool({ name: 'mirror', arguments: { value } }, CallToolResultSchema, {
      timeout: REQUEST_MS,
    });
    assert.deepEqual(JSON.parse(textOf(result)), value, 'what the application received');
    assert.deepEqual(result.structuredContent, { value }, 'what came back');
  });

  await check('resources/list and resources/read', async () => {
    const { resources } = await session.client.listResources(undefined, { timeout: REQUEST_MS });
    assert.deepEqual(
      resources.map((resource) => resource.uri),
      [RESOURCE_URI],
    );
    const { contents } = await session.client.readResource({ uri: RESOURCE_URI }, { timeout: REQUEST_MS });
    assert.equal(contents.length, 1);
    assert.equal(contents[0].uri, RESOURCE_URI);
    assert.equal(contents[0].text, RESOURCE_TEXT);
  });

  await check('an error reply from the application reaches the client', async () => {
    const error = await session.client
      .request({ method: 'torvela/no-such-method', params: {} }, z.object({}).passthrough(), { timeout: REQUEST_MS })
      .then(
        (result) => assert.fail(`expected an error, got ${JSON.stringify(result)}`),
        (reason) => reason,
      );
    assert.ok(error instanceof McpError, String(error));
    assert.equal(error.code, ErrorCode.MethodNotFound);
  });

  let slowId;
  await check('a cancelled call: the client gives up and the application sees its connection close', async () => {
    const controller = new AbortController();
    const call = session.client.callTool({ name: 'slow', arguments: {} }, CallToolResultSchema, {
      signal: controller.signal,
      timeout: SLOW_MS * 2,
    });
    const outcome = call.then(
      (result) => ({ result }),
      (error) => ({ error }),
    );
    const started = await app.waitFor((event) => event.event === 'slow-started', 5_000, 'slow started');
    slowId = started.id;
    const abortedAt = Date.now();
    controller.abort('the host stopped waiting');

    const { result, error } = await withLimit(outcome, 1_000, 'the cancelled call settling');
    assert.equal(result, undefined, `the cancelled call resolved: ${JSON.stringify(result)}`);
    assert.match(String(error?.message), /the host stopped waiting/);

    const notice = session.sent.find((message) => message.method === 'notifications/cancelled');
    assert.equal(notice?.params?.requestId, slowId, 'the client sent no cancellation notice for the call');

    const exchange = await app.waitFor(
      (event) => event.event === 'exchange' && event.id === slowId,
      CANCEL_SEEN_MS,
      'the cancelled call connection closing',
    );
    assert.equal(exchange.closedEarly, true, 'the connection closed only after a response');
    const ended = await app.waitFor(
      (event) => event.event === 'slow-ended' && event.id === slowId,
      1_000,
      'slow ended',
    );
    assert.equal(ended.reason, 'closed');
    console.log(`    # connection closed ${Date.now() - abortedAt} ms or less after the abort`);
  });

  await check('no reply for the cancelled call, and the bridge goes on', async () => {
    await sleep(LATE_REPLY_WATCH_MS);
    assert.equal(textOf(await session.echo('after the cancellation')), 'after the cancellation');
    assert.notEqual(slowId, undefined, 'the slow call never started');
    const late = session.received.filter((message) => message.id === slowId);
    assert.deepEqual(late, [], 'the bridge wrote a reply for the cancelled call');
    assert.deepEqual(session.clientErrors.map(String), []);
  });

  await check(`${CONCURRENT_CALLS} concurrent echo calls each get their own text`, async () => {
    const texts = Array.from({ length: CONCURRENT_CALLS }, (_, i) => `istek ${i} ${'ğ'.repeat(i)} 🙂`);
    const results = await Promise.all(texts.map((text) => session.echo(text)));
    results.forEach((result, i) => assert.equal(textOf(result), texts[i]));
  });

  await check('ping', async () => {
    assert.deepEqual(await session.client.ping({ timeout: REQUEST_MS }), {});
  });

  await check('the bridge exits with status 0 when the client closes, writing nothing on stderr', async () => {
    const { code, signal } = await session.close();
    assert.deepEqual({ code, signal }, { code: 0, signal: null });
    assert.equal(session.stderr, '');
    assert.deepEqual(session.clientErrors.map(String), []);
  });

  await check('what the application received over HTTP', async () => {
    const exchanges = app.exchanges();
    const initialize = exchanges.filter((event) => event.method === 'initialize');
    assert.equal(initialize.length, 1);
    assert.equal(initialize[0].headers.protocolVersion, null, 'initialize carried a protocol version header');
    for (const event of exchanges) {
      const where = `${event.method} ${JSON.stringify(event.id)}`;
      assert.equal(event.httpMethod, 'POST', where);
      assert.equal(event.path, '/mcp', where);
      assert.equal(event.headers.contentType, 'application/json', where);
      assert.match(event.headers.accept ?? '', /application\/json/, where);
      assert.match(event.headers.accept ?? '', /text\/event-stream/, where);
      if (event.method !== 'initialize') assert.equal(event.headers.protocolVersion, protocolVersion, where);
      // The SDK's client puts no protocol version into _meta, so the bridge
      // has no reason to name the method or the tool in headers.
      assert.equal(event.headers.mcpMethod, null, where);
      assert.equal(event.headers.mcpName, null, where);
      assert.equal(event.closedEarly, event.id === slowId, where);
    }
    assert.ok(!exchanges.some((event) => event.method === 'notifications/cancelled'), 'a cancellation notice was forwarded');
    const initialized = exchanges.filter((event) => event.method === 'notifications/initialized');
    assert.deepEqual(
      initialized.map((event) => event.status),
      [202],
    );
    // Every other call that the client sent reached the application once and was answered.
    const ids = (messages) => messages.map((message) => message.id).sort((a, b) => a - b);
    const sentCalls = session.sent.filter((message) => message.method === 'tools/call' && message.id !== slowId);
    const calls = exchanges.filter((event) => event.method === 'tools/call' && event.id !== slowId);
    assert.deepEqual(ids(calls), ids(sentCalls));
    assert.ok(calls.every((event) => event.status === 200));
    assert.equal(app.stderr, '');
  });

  await check('a wrong token gives the client the unexpected-answer error with HTTP 401', async () => {
    const wrongDir = makeTempDir();
    writeFileSync(
      path.join(wrongDir, 'mcp.json'),
      JSON.stringify({ port, token: 'not-the-token', settings: { enabled: true } }),
    );
    const wrong = new Session(wrongDir);
    const error = await wrong.connect().then(
      () => assert.fail('initialize succeeded with a wrong token'),
      (reason) => reason,
    );
    assert.ok(error instanceof McpError, String(error));
    assert.equal(error.code, ErrorCode.InternalError);
    assert.equal(error.message, 'MCP error -32603: Torvela beklenmeyen bir yanıt verdi (HTTP 401).');
    const { code, signal } = await wrong.close();
    assert.deepEqual({ code, signal }, { code: 0, signal: null });
    assert.equal(wrong.stderr, '');
    assert.ok(app.exchanges().some((event) => event.status === 401));
  });

  await check('with the application gone, the client gets the unreachable error', async () => {
    await withLimit(app.stop(), 5_000, 'application exit');
    // Outside an application bundle the bridge finds nothing to launch, so
    // it answers at once.
    const orphan = new Session(settingsDir);
    const error = await orphan.connect().then(
      () => assert.fail('initialize succeeded without the application'),
      (reason) => reason,
    );
    assert.ok(error instanceof McpError, String(error));
    assert.equal(error.code, ErrorCode.InternalError);
    assert.equal(
      error.message,
      'MCP error -32603: Torvela’ya bağlanılamadı. Torvela’yı aç ve MCP bölümünde MCP sunucusunu aç.',
    );
    const { code, signal } = await orphan.close();
    assert.deepEqual({ code, signal }, { code: 0, signal: null });
    assert.equal(orphan.stderr, '');
  });
}

main().then(
  () => {
    clearTimeout(overall);
    finish();
  },
  (error) => {
    clearTimeout(overall);
    finish(`the run stopped: ${error?.stack ?? error}`);
  },
);
