// Shared by the OTLP module's Node tests: the receiver of ../../tools, whose
// decoding is judged here too, and running the C programs of the build.
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { existsSync } from 'node:fs';
export { assert };
export { test } from 'node:test';

// Without the judges the tests are skipped (77, for ctest), except under CI=true.
const modules = new URL('node_modules/@opentelemetry/otlp-transformer', import.meta.url).pathname;
if (!existsSync(modules)) {
  console.error(`${modules} missing: run npm ci in ${new URL('.', import.meta.url).pathname} (scripts/install-deps does)`);
  process.exit(process.env.CI === 'true' ? 1 : 77);
}
const receiver = await import('../../tools/receiver.mjs');
export const { require, startReceiver, attrs, proto } = receiver;
const { Reader } = require('protobufjs/minimal');

export const env = (name) => process.env[name] ?? assert.fail(`${name} is not set (ctest sets it)`);

// Span.flags (field 16, fixed32) is newer than these definitions: read from the wire as each span is decoded.
let wireFlags = [];
const { Span } = receiver.proto.trace.v1, decodeSpan = Span.decode;
Span.decode = (reader, length) => {
  const r = Reader.create(reader.buf.subarray(reader.pos, reader.pos + length));
  let flags = 0;
  for (let tag; r.pos < r.len;) (tag = r.uint32()) === ((16 << 3) | 5) ? (flags = r.fixed32()) : r.skipType(tag & 7);
  wireFlags.push(flags);
  return decodeSpan(reader, length);
};

const withoutEmptyLists = (x) => Array.isArray(x) ? x.map(withoutEmptyLists) : x && typeof x === 'object'
  ? Object.fromEntries(Object.entries(x).filter(([, v]) => !(Array.isArray(v) && v.length === 0))
    .map(([k, v]) => [k, withoutEmptyLists(v)])) : x;

// Decoded with each span's flags; a JSON body must come back unchanged (nothing in it unknown to the definitions).
function judged(req) {
  const json = { 'application/json': true, 'application/x-protobuf': false }[req.headers['content-type']];
  assert.notEqual(json, undefined, req.headers['content-type']);
  wireFlags = [];
  const o = receiver.decode(req), body = json && JSON.parse(req.body);
  receiver.spansIn(o).forEach((s, i) => (s.flags = json ? receiver.spansIn(body)[i].flags : wireFlags[i]));
  if (json) assert.deepEqual(withoutEmptyLists(o), withoutEmptyLists(body));
  return o;
}
export const decoded = judged;
export const spansOf = (received) => receiver.spansOf(received, judged);
export const metricsOf = (received) => receiver.metricsOf(received, judged);

// Runs a build's program with the OTLP module, under the build's emulator (valgrind too); `onStdout` gets stdout so far.
export function run(program, args, extraEnv = {}, onStdout = () => {}) {
  const [command, ...rest] = [...(process.env.OTLP_EMULATOR ?? '').split(' ').filter(Boolean), program, ...args];
  return new Promise((resolve, reject) => {
    const started = Date.now();
    // A program that hangs is killed: the test fails on its own, and soon.
    const child = spawn(command, rest, { env: { ...process.env, KX_AGENTLIBRARY: env('OTLP_AGENT_PATH'), ...extraEnv },
      timeout: 60000 * (process.env.VEXLIN_TEST_SLOW ? 10 : 1) });
    let stdout = '', stderr = '';
    child.stdout.on('data', (d) => onStdout((stdout += d)));
    child.stderr.on('data', (d) => (stderr += d));
    child.on('error', reject).on('close', (code) => resolve({ code, stdout, stderr, ms: Date.now() - started, pid: child.pid }));
  });
}
