// An OTLP/HTTP receiver on 127.0.0.1 for show-trace.mjs and the module's
// tests: it keeps each request and decodes the bodies, protobuf or JSON, with
// OpenTelemetry's own message definitions, which npm installs in
// ../tests/node (scripts/install-deps runs `npm ci` there).
import { createServer } from 'node:http';
import { createRequire } from 'node:module';
import { gunzipSync } from 'node:zlib';

export const require = createRequire(new URL('../tests/node/', import.meta.url));
export const { proto } = require('@opentelemetry/otlp-transformer/build/src/generated/root').opentelemetry;
const types = {
  '/v1/traces': proto.collector.trace.v1.ExportTraceServiceRequest,
  '/v1/metrics': proto.collector.metrics.v1.ExportMetricsServiceRequest,
};
const asObject = { longs: String, enums: Number, bytes: String, arrays: true };

export const spansIn = (o) => (o.resourceSpans ?? []).flatMap((rs) => rs.scopeSpans.flatMap((ss) => ss.spans));
const recode = (o, from, to) => spansIn(o).forEach((s) => ['traceId', 'spanId', 'parentSpanId']
  .forEach((k) => k in s && (s[k] = Buffer.from(s[k], from).toString(to))));

// A request as a plain object, with ids in hex as JSON bodies carry them.
export function decode(req) {
  const type = types[req.path];
  const json = req.headers['content-type'] === 'application/json' && JSON.parse(req.body);
  if (json) recode(json, 'hex', 'base64');
  const o = type.toObject(json ? type.fromObject(json) : type.decode(req.body), asObject);
  recode(o, 'base64', 'hex');
  return o;
}

// Answers each request with respond(req, number) -> {status, headers, body}.
export async function startReceiver(respond = () => ({ status: 200 }), port = 0) {
  const received = [], connections = [];
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
  server.on('connection', (socket) => connections.push(socket.remoteAddress));
  await new Promise((resolve) => server.listen(port, '127.0.0.1', resolve));
  server.unref(); // the program it waits for keeps node running, not the receiver
  const { port: bound } = server.address();
  // Two statements: Node 18's close() returns nothing. Open keep-alive connections would hold it back.
  const close = () => new Promise((resolve) => {
    server.close(resolve);
    server.closeAllConnections();
  });
  return { port: bound, endpoint: `http://127.0.0.1:${bound}`, received, connections, close };
}

// Every span (with its resource) or metric of the requests, each read by `read`.
const of = (received, path, read) => received.filter((r) => r.path === path).map(read);
export const spansOf = (received, read = decode) => of(received, '/v1/traces', read).flatMap((o) => o.resourceSpans
  .flatMap((rs) => rs.scopeSpans.flatMap((ss) => ss.spans.map((s) => ({ ...s, resource: rs.resource })))));
export const metricsOf = (received, read = decode) =>
  of(received, '/v1/metrics', read).flatMap((o) => o.resourceMetrics.flatMap((rm) => rm.scopeMetrics.flatMap((sm) => sm.metrics)));

// Attributes as a plain object: key -> string, number, boolean or array. An integer is a number (a BigInt past 2^53),
// so that it never passes for the string of its digits.
const integer = (text) => (Number.isSafeInteger(Number(text)) ? Number(text) : BigInt(text));
export const attrs = (list = []) => Object.fromEntries(list.map(({ key, value }) => [key, value.arrayValue?.values
  .map((v) => v.stringValue) ?? value.stringValue ?? (value.intValue === undefined ? undefined : integer(value.intValue))
  ?? value.doubleValue ?? value.boolValue]));
