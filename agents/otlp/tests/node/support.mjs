// Shared by the OTLP module's Node tests and tools/show-trace.mjs: a receiver
// on 127.0.0.1 that keeps each request, bodies decoded with OpenTelemetry's
// own message definitions, and running the C programs of the build.
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { existsSync } from 'node:fs';
import { createServer } from 'node:http';
import { createRequire } from 'node:module';
import { gunzipSync } from 'node:zlib';

// Without the judges the tests are skipped (77, for ctest), except under CI=true.
const modules = new URL('node_modules/@opentelemetry/otlp-transformer', import.meta.url).pathname;
if (!existsSync(modules)) {
  console.error(`${modules} missing: run npm ci in ${new URL('.', import.meta.url).pathname} (scripts/install-deps does)`);
  process.exit(process.env.CI === 'true' ? 1 : 77);
}
export const require = createRequire(import.meta.url);
const { proto } = require('@opentelemetry/otlp-transformer/build/src/generated/root').opentelemetry;
const { Reader } = require('protobufjs/minimal');
const types = {
  '/v1/traces': proto.collector.trace.v1.ExportTraceServiceRequest,
  '/v1/metrics': proto.collector.metrics.v1.ExportMetricsServiceRequest,
};
const asObject = { longs: String, enums: Number, bytes: String, arrays: true };

export const env = (name) => process.env[name] ?? assert.fail(`${name} is not set (ctest sets it)`);

// Span.flags (field 16, fixed32) is newer than these definitions: read from
// the wire as each span is decoded.
let wireFlags = [];
const { Span } = proto.trace.v1, decodeSpan = Span.decode;
Span.decode = (reader, length) => {
  const r = Reader.create(reader.buf.subarray(reader.pos, reader.pos + length));
  let flags = 0;
  for (let tag; r.pos < r.len;) (tag = r.uint32()) === ((16 << 3) | 5) ? (flags = r.fixed32()) : r.skipType(tag & 7);
  wireFlags.push(flags);
  return decodeSpan(reader, length);
};

const spansIn = (o) => (o.resourceSpans ?? []).flatMap((rs) => rs.scopeSpans.flatMap((ss) => ss.spans));
const recode = (o, from, to) => spansIn(o).forEach((s) => ['traceId', 'spanId', 'parentSpanId']
  .forEach((k) => k in s && (s[k] = Buffer.from(s[k], from).toString(to))));
const withoutEmptyLists = (x) => Array.isArray(x) ? x.map(withoutEmptyLists) : x && typeof x === 'object'
  ? Object.fromEntries(Object.entries(x).filter(([, v]) => !(Array.isArray(v) && v.length === 0)).map(([k, v]) => [k, withoutEmptyLists(v)])) : x;

// A request as a plain object, ids in hex. JSON bodies are read by the same
// definitions (hex ids made bytes) and must come back unchanged: nothing in
// them may be unknown to the definitions.
export function decode(req) {
  const type = types[req.path] ?? assert.fail(`unexpected path ${req.path}`);
  const contentType = req.headers['content-type'];
  assert.ok(contentType === 'application/json' || contentType === 'application/x-protobuf', contentType);
  const json = contentType === 'application/json' && JSON.parse(req.body);
  if (json) recode(json, 'hex', 'base64');
  wireFlags = [];
  const o = type.toObject(json ? type.fromObject(json) : type.decode(req.body), asObject);
  const flags = json ? spansIn(json).map((s) => s.flags) : wireFlags;
  spansIn(o).forEach((s, i) => (s.flags = flags[i]));
  recode(o, 'base64', 'hex');
  if (json) assert.deepEqual(withoutEmptyLists(o), withoutEmptyLists(JSON.parse(req.body)));
  return o;
}

// Answers each request with respond(req, number) -> {status, headers, body}.
export async function startReceiver(respond = () => ({ status: 200 }), port = 0) {
  const received = [];
  const server = createServer((request, response) => {
    const chunks = [];
    request.on('data', (c) => chunks.push(c)).on('end', async () => {
      const req = { path: request.url, headers: request.headers, at: Date.now(), body: Buffer.concat(chunks) };
      if (req.headers['content-encoding'] === 'gzip') req.body = gunzipSync(req.body);
      received.push(req);
      const answer = await respond(req, received.length);
      req.status = answer.status;
      response.writeHead(answer.status, { 'content-type': 'application/x-protobuf', ...answer.headers }).end(answer.body);
    });
  });
  await new Promise((resolve) => server.listen(port, '127.0.0.1', resolve));
  server.unref();  // a failed test must not wait for it
  const { port: bound } = server.address();
  const close = () => new Promise((resolve) => server.close(resolve).closeAllConnections());
  return { port: bound, endpoint: `http://127.0.0.1:${bound}`, received, close };
}

// Runs a program of the build with the OTLP module, under the build's
// emulator or valgrind if it has one; `onStdout` sees the output so far.
export function run(program, args, extraEnv = {}, onStdout = () => {}) {
  const [command, ...rest] = [...(process.env.OTLP_EMULATOR ?? '').split(' ').filter(Boolean), program, ...args];
  return new Promise((resolve, reject) => {
    const started = Date.now();
    const child = spawn(command, rest, { env: { ...process.env, KX_AGENTLIBRARY: env('OTLP_AGENT_PATH'), ...extraEnv } });
    let stdout = '', stderr = '';
    child.stdout.on('data', (d) => onStdout((stdout += d)));
    child.stderr.on('data', (d) => (stderr += d));
    child.on('error', reject).on('close', (code) => resolve({ code, stdout, stderr, ms: Date.now() - started, pid: child.pid }));
  });
}

// Every span (with its resource) or metric of the decoded requests.
const of = (received, path) => received.filter((r) => r.path === path).map(decode);
export const spansOf = (received) => of(received, '/v1/traces').flatMap((o) => o.resourceSpans
  .flatMap((rs) => rs.scopeSpans.flatMap((ss) => ss.spans.map((s) => ({ ...s, resource: rs.resource })))));
export const metricsOf = (received) =>
  of(received, '/v1/metrics').flatMap((o) => o.resourceMetrics.flatMap((rm) => rm.scopeMetrics.flatMap((sm) => sm.metrics)));

// Attributes as a plain object: key -> string, number (ints as strings), boolean or array.
export const attrs = (list = []) => Object.fromEntries(list.map(({ key, value }) =>
  [key, value.arrayValue?.values.map((v) => v.stringValue) ?? value.stringValue ?? value.intValue ?? value.doubleValue ?? value.boolValue]));
