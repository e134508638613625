// The application's side of the interoperability test: an MCP endpoint built
// from the official TypeScript SDK, as the Torvela application serves it.
//
//   node application.mjs SETTINGS_DIR
//
// Listens on 127.0.0.1 at a port the system picks, writes SETTINGS_DIR/mcp.json
// for the bridge, and reports what happens as one JSON object per line on
// standard output, for the test that started it:
//
//   {"event":"listening","port":P}
//   {"event":"exchange", ...}      one per HTTP exchange, when its connection is done;
//                                  an answer of HTTP 400 or more carries its
//                                  body, and errors of the SDK come along
//   {"event":"slow-started","id":I}
//   {"event":"slow-ended","id":I,"reason":"closed"|"timer"}
//
// It stops when its standard input reaches end of stream (so it never outlives
// the test that started it), on SIGTERM, and in any case after two minutes.

import './webcrypto.mjs';

import { randomBytes } from 'node:crypto';
import { renameSync, writeFileSync } from 'node:fs';
import http from 'node:http';
import path from 'node:path';

import { McpServer } from '@modelcontextprotocol/sdk/server/mcp.js';
import { StreamableHTTPServerTransport } from '@modelcontextprotocol/sdk/server/streamableHttp.js';
import { z } from 'zod';

import { RESOURCE_TEXT, RESOURCE_URI, SERVER_NAME, SLOW_MS } from './constants.mjs';

const LIFETIME_MS = 120_000;

function report(event) {
  process.stdout.write(JSON.stringify(event) + '\n');
}

// One McpServer per exchange. `closed` settles when the exchange's HTTP
// connection closes, whether or not a response was written.
function buildServer(closed) {
  const server = new McpServer({ name: SERVER_NAME, version: '1.0.0' });

  server.registerTool(
    'echo',
    { description: 'Returns its text unchanged', inputSchema: { text: z.string() } },
    async ({ text }) => ({ content: [{ type: 'text', text }] }),
  );

  // Gives its argument back twice: as the application received it, written
  // out as JSON text, and as structured content.
  server.registerTool(
    'mirror',
    { description: 'Returns its JSON value unchanged', inputSchema: { value: z.unknown() } },
    async ({ value }) => ({
      content: [{ type: 'text', text: JSON.stringify(value) }],
      structuredContent: { value },
    }),
  );

  server.registerTool(
    'slow',
    { description: 'Runs for a long time; ends early when its connection closes', inputSchema: {} },
    async (_args, extra) => {
      report({ event: 'slow-started', id: extra.requestId });
      let timer;
      const reason = await Promise.race([
        closed.then(() => 'closed'),
        new Promise((resolve) => {
          timer = setTimeout(() => resolve('timer'), SLOW_MS);
        }),
      ]);
      clearTimeout(timer);
      report({ event: 'slow-ended', id: extra.requestId, reason });
      return { content: [{ type: 'text', text: `slow ended: ${reason}` }] };
    },
  );

  server.registerResource(
    'notes',
    RESOURCE_URI,
    { description: "Today's note", mimeType: 'text/plain' },
    async (uri) => ({ contents: [{ uri: uri.href, mimeType: 'text/plain', text: RESOURCE_TEXT }] }),
  );

  return server;
}

function readBody(req) {
  return new Promise((resolve, reject) => {
    const chunks = [];
    req.on('data', (chunk) => chunks.push(chunk));
    req.on('end', () => resolve(Buffer.concat(chunks)));
    req.on('error', reject);
  });
}

// Keeps the first BODY_KEPT bytes that the response writes, so that an error
// answer can be shown to whoever reads the event.
const BODY_KEPT = 4096;
function keepBody(res) {
  const kept = [];
  let size = 0;
  const keep = (chunk, encoding) => {
    if (size >= BODY_KEPT || chunk == null || typeof chunk === 'function') return;
    const bytes = typeof chunk === 'string' ? Buffer.from(chunk.slice(0, BODY_KEPT), encoding) : chunk;
    const part = Buffer.from(bytes.subarray(0, BODY_KEPT - size));
    kept.push(part);
    size += part.length;
  };
  for (const name of ['write', 'end']) {
    const original = res[name].bind(res);
    res[name] = (chunk, encoding, ...rest) => {
      keep(chunk, typeof encoding === 'string' ? encoding : 'utf8');
      return original(chunk, encoding, ...rest);
    };
  }
  return () => Buffer.concat(kept).toString('utf8');
}

function plain(res, status, text, headers = {}) {
  res.writeHead(status, { 'Content-Type': 'text/plain; charset=utf-8', ...headers });
  res.end(text);
}

function startServer(settingsDir) {
  const token = randomBytes(24).toString('hex');
  let exchanges = 0;

  const httpServer = http.createServer(async (req, res) => {
    const started = Date.now();
    const record = {
      event: 'exchange',
      seq: ++exchanges,
      httpMethod: req.method,
      path: req.url,
      headers: {
        protocolVersion: req.headers['mcp-protocol-version'] ?? null,
        mcpMethod: req.headers['mcp-method'] ?? null,
        mcpName: req.headers['mcp-name'] ?? null,
        accept: req.headers['accept'] ?? null,
        contentType: req.headers['content-type'] ?? null,
      },
      method: null,
      id: null,
      toolName: null,
      bodyBytes: 0,
    };
    const answer = keepBody(res);
    // Registered before anything else runs, so that a connection that the
    // bridge shuts down while a tool is working is seen at once.
    let markClosed;
    const closed = new Promise((resolve) => {
      markClosed = resolve;
    });
    res.on('close', () => {
      record.status = res.headersSent ? res.statusCode : null;
      record.closedEarly = !res.writableFinished;
      record.ms = Date.now() - started;
      if (record.status >= 400) record.body = answer();
      markClosed();
      report(record);
    });

    try {
      if (req.url !== '/mcp') {
        plain(res, 404, 'not found');
        return;
      }
      if (req.headers.authorization !== `Bearer ${token}`) {
        plain(res, 401, 'unauthorized', { 'WWW-Authenticate': 'Bearer' });
        return;
      }
      if (req.method !== 'POST') {
        plain(res, 405, 'method not allowed', { Allow: 'POST' });
        return;
      }

      const body = await readBody(req);
      record.bodyBytes = body.length;
      let message;
      try {
        message = JSON.parse(body.toString('utf8'));
      } catch {
        res.writeHead(400, { 'Content-Type': 'application/json' });
        res.end(JSON.stringify({ jsonrpc: '2.0', id: null, error: { code: -32700, message: 'Parse error' } }));
        return;
      }
      if (message && typeof message === 'object' && !Array.isArray(message)) {
        record.method = message.method ?? null;
        record.id = message.id ?? null;
        record.toolName = message.params?.name ?? null;
      }

      const server = buildServer(closed);
      const transport = new StreamableHTTPServerTransport({
        sessionIdGenerator: undefined,
        enableJsonResponse: true,
      });
      // The SDK answers what it cannot handle with a JSON-RPC error and tells
      // the reason only here.
      transport.onerror = (error) => {
        (record.errors ??= []).push(String(error?.stack ?? error));
      };
      closed.then(() => {
        transport.close().catch(() => {});
        server.close().catch(() => {});
      });
      await server.connect(transport);
      await transport.handleRequest(req, res, message);
    } catch (error) {
      record.failure = String(error?.stack ?? error);
      if (!res.headersSent) {
        plain(res, 500, 'internal error');
      } else {
        res.destroy();
      }
    }
  });

  httpServer.listen(0, '127.0.0.1', () => {
    const { port } = httpServer.address();
    const settings = { port, token, settings: { enabled: true } };
    const file = path.join(settingsDir, 'mcp.json');
    // Written aside and renamed, since the bridge may read the file at any time.
    writeFileSync(`${file}.tmp`, JSON.stringify(settings));
    renameSync(`${file}.tmp`, file);
    report({ event: 'listening', port });
  });
  return httpServer;
}

const settingsDir = process.argv[2];
if (!settingsDir) {
  process.stderr.write('usage: node application.mjs SETTINGS_DIR\n');
  process.exit(2);
}
const httpServer = startServer(settingsDir);
const stop = () => {
  httpServer.close();
  httpServer.closeAllConnections();
  process.exit(0);
};
process.stdin.on('end', stop);
process.stdin.resume();
process.on('SIGTERM', stop);
setTimeout(stop, LIFETIME_MS).unref();
