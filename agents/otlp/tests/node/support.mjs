// Shared by the OTLP module's Node tests: a receiver on 127.0.0.1 that
// records each request, decoding of bodies with OpenTelemetry's own message
// definitions, and running the C programs of the build.
import { createRequire } from 'node:module';
import { createServer } from 'node:http';
import { gunzipSync } from 'node:zlib';
import { spawn } from 'node:child_process';

const require = createRequire(import.meta.url);
export const root = require('@opentelemetry/otlp-transformer/build/src/generated/root');
const proto = root.opentelemetry.proto;
const requests = {
  '/v1/traces': proto.collector.trace.v1.ExportTraceServiceRequest,
  '/v1/metrics': proto.collector.metrics.v1.ExportMetricsServiceRequest,
};
const responses = {
  '/v1/traces': proto.collector.trace.v1.ExportTraceServiceResponse,
  '/v1/metrics': proto.collector.metrics.v1.ExportMetricsServiceResponse,
};

export const env = (name) => {
  const v = process.env[name];
  if (!v) throw new Error(`${name} is not set (ctest sets it)`);
  return v;
};

const toObjectOptions = { longs: String, enums: Number, bytes: String, defaults: false, arrays: true };
const hexOf = (b64) => Buffer.from(b64, 'base64').toString('hex');

// A decoded request as a plain object: ids as hex, 64-bit numbers as strings.
function normalize(message, type) {
  const o = type.toObject(message, toObjectOptions);
  for (const rs of o.resourceSpans ?? [])
    for (const ss of rs.scopeSpans ?? [])
      for (const s of ss.spans ?? [])
        for (const k of ['traceId', 'spanId', 'parentSpanId']) if (s[k] !== undefined) s[k] = hexOf(s[k]);
  return o;
}

// Span.flags (field 16, fixed32) is newer than these definitions: read it
// from the wire, in span order, so the tests can check it too.
const { Reader } = require('protobufjs/minimal');
function spanFlags(body) {
  const out = [];
  const walk = (r, end, path) => {
    while (r.pos < end) {
      const tag = r.uint32(), field = tag >>> 3, wire = tag & 7;
      if (path.length === 3 && field === 16 && wire === 5) { out[out.length - 1] = r.fixed32(); continue; }
      if (wire !== 2) { r.skipType(wire); continue; }
      const len = r.uint32(), stop = r.pos + len;
      const next = [...path, field];
      if (['1', '1,2', '1,2,2'].includes(next.join(','))) {
        if (next.length === 3) out.push(0);
        walk(r, stop, next);
      }
      r.pos = stop;
    }
  };
  const r = Reader.create(body);
  walk(r, r.len, []);
  return out;
}

function withFlags(o, flags) {
  let i = 0;
  for (const rs of o.resourceSpans ?? [])
    for (const ss of rs.scopeSpans ?? []) for (const s of ss.spans ?? []) s.flags = flags[i++];
  return o;
}

// Protobuf bodies are decoded; JSON bodies are read by the same definitions
// after turning their hex ids into bytes, and must survive the round trip.
export function decode(req) {
  const type = requests[req.path];
  if (!type) throw new Error(`unexpected path ${req.path}`);
  const traces = req.path === '/v1/traces';
  if (req.headers['content-type'] === 'application/x-protobuf') {
    const o = normalize(type.decode(req.body), type);
    return traces ? withFlags(o, spanFlags(req.body)) : o;
  }
  if (req.headers['content-type'] !== 'application/json') throw new Error(`content-type ${req.headers['content-type']}`);
  const json = JSON.parse(req.body.toString('utf8'));
  const flags = [];
  for (const rs of json.resourceSpans ?? [])
    for (const ss of rs.scopeSpans ?? [])
      for (const s of ss.spans ?? []) {
        flags.push(s.flags ?? 0);
        delete s.flags;
        for (const k of ['traceId', 'spanId', 'parentSpanId'])
          if (s[k] !== undefined) {
            if (!/^[0-9a-f]+$/.test(s[k])) throw new Error(`${k} ${s[k]} is not lower-case hex`);
            s[k] = Buffer.from(s[k], 'hex').toString('base64');
          }
      }
  const message = type.fromObject(json);
  const back = type.toObject(message, toObjectOptions);
  // Keys sorted, empty lists dropped: the defaults toObject writes out.
  const canonical = (x) =>
    Array.isArray(x) ? x.map(canonical)
      : x && typeof x === 'object'
        ? Object.fromEntries(Object.keys(x).sort().filter((k) => !(Array.isArray(x[k]) && x[k].length === 0)).map((k) => [k, canonical(x[k])]))
        : x;
  if (JSON.stringify(canonical(back)) !== JSON.stringify(canonical(json)))
    throw new Error(`JSON body holds what the definitions do not know:\n${JSON.stringify(json)}`);
  return withFlags(normalize(message, type), flags);
}

// Answers each request with respond(req, count) -> {status, headers, body}, or 200.
export async function startReceiver(respond = () => ({ status: 200 }), port = 0) {
  const received = [];
  const server = createServer((request, response) => {
    const chunks = [];
    request.on('data', (c) => chunks.push(c));
    request.on('end', async () => {
      let body = Buffer.concat(chunks);
      if (request.headers['content-encoding'] === 'gzip') body = gunzipSync(body);
      const req = { path: request.url, headers: request.headers, body, at: Date.now() };
      received.push(req);
      const answer = (await respond(req, received.length)) ?? { status: 200 };
      if (answer.destroy) return request.socket.destroy();
      const type = responses[req.path];
      const payload = answer.body ?? (type ? Buffer.from(type.encode(type.create({})).finish()) : Buffer.alloc(0));
      response.writeHead(answer.status, { 'content-type': 'application/x-protobuf', ...(answer.headers ?? {}) });
      response.end(payload);
    });
  });
  await new Promise((resolve) => server.listen(port, '127.0.0.1', resolve));
  const bound = server.address().port;
  return {
    port: bound,
    endpoint: `http://127.0.0.1:${bound}`,
    received,
    close: () => new Promise((resolve) => { server.closeAllConnections(); server.close(resolve); }),
  };
}

// Runs a program of the build, under the build's emulator or valgrind when
// it has one (OTLP_EMULATOR); resolves with its exit code and output.
// `onStdout` sees the output so far each time more arrives.
export function run(program, args, extraEnv = {}, onStdout = () => {}) {
  const emulator = (process.env.OTLP_EMULATOR ?? '').split(' ').filter(Boolean);
  if (emulator.length > 0) [program, args] = [emulator[0], [...emulator.slice(1), program, ...args]];
  return new Promise((resolve, reject) => {
    const child = spawn(program, args, {
      env: { ...process.env, KX_AGENTLIBRARY: env('OTLP_AGENT_PATH'), ...extraEnv },
      stdio: ['ignore', 'pipe', 'pipe'],
    });
    let stdout = '', stderr = '';
    child.stdout.on('data', (d) => onStdout((stdout += d)));
    child.stderr.on('data', (d) => (stderr += d));
    const started = Date.now();
    child.on('error', reject);
    child.on('close', (code) => resolve({ code, stdout, stderr, ms: Date.now() - started, pid: child.pid }));
  });
}

// Every span of the decoded trace requests, each with its resource attributes.
export function spansOf(received) {
  const out = [];
  for (const req of received.filter((r) => r.path === '/v1/traces'))
    for (const rs of decode(req).resourceSpans ?? [])
      for (const ss of rs.scopeSpans ?? []) for (const s of ss.spans ?? []) out.push({ ...s, resource: rs.resource, scope: ss.scope });
  return out;
}

export function metricsOf(received) {
  const out = [];
  for (const req of received.filter((r) => r.path === '/v1/metrics'))
    for (const rm of decode(req).resourceMetrics ?? [])
      for (const sm of rm.scopeMetrics ?? []) for (const m of sm.metrics ?? []) out.push({ ...m, resource: rm.resource });
  return out;
}

// Attributes as a plain object: key -> string, number (ints as strings), boolean or array.
export function attrs(list = []) {
  const out = {};
  for (const { key, value } of list) {
    if ('arrayValue' in value) out[key] = (value.arrayValue.values ?? []).map((v) => v.stringValue);
    else out[key] = value.stringValue ?? value.intValue ?? value.doubleValue ?? value.boolValue;
  }
  return out;
}
