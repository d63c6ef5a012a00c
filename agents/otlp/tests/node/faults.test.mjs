// A collector that is absent, refuses, fails for a while, or is slow; a
// full queue; and a fork. Spans are counted by id at the receiver and in the
// module's shutdown line, which must add up exactly. Durations are made
// short through the OTEL_* variables; the only timings asserted are
// generous bounds.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { createServer } from 'node:net';
import { setTimeout as sleep } from 'node:timers/promises';
import { startReceiver, run, spansOf, env } from './support.mjs';

// Bounds and waits grow where every program runs tens of times slower.
const slow = process.env.VEXLIN_TEST_SLOW ? 20 : 1;
const fast = { OTEL_BSP_SCHEDULE_DELAY: '50', OTEL_BSP_EXPORT_TIMEOUT: '3000', OTEL_EXPORTER_OTLP_TIMEOUT: '1000' };

async function load(receiver, count, extraEnv = {}, args = [], onStdout = undefined) {
  const result = await run(env('OTLP_LOAD_PATH'), [String(count), ...args], {
    ...fast, OTEL_EXPORTER_OTLP_ENDPOINT: receiver.endpoint ?? receiver, ...extraEnv,
  }, onStdout);
  assert.equal(result.code, 0, result.stdout + result.stderr);
  const m = /log: otlp: shutdown: (\d+) spans exported, (\d+) dropped \(queue full: (\d+), not sent: (\d+)\)/
    .exec(result.stdout);
  assert.ok(m, result.stdout);
  const [exported, , full, notSent] = m.slice(1).map(Number);
  const [, shutdownMs, slowestSpanUs] = /shutdown_ms=(\d+) slowest_span_us=(\d+)/.exec(result.stdout).map(Number);
  // A span that waited for the network would take at least the request timeout.
  assert.ok(slowestSpanUs < 100000 * slow, `a span took ${slowestSpanUs} µs to record`);
  return { ...result, exported, full, notSent, shutdownMs };
}

const uniqueSpans = (receiver) => new Set(spansOf(receiver.received).map((s) => s.spanId)).size;

async function freePort() {
  const s = createServer();
  await new Promise((resolve) => s.listen(0, '127.0.0.1', resolve));
  const { port } = s.address();
  await new Promise((resolve) => s.close(resolve));
  return port;
}

test('a collector absent at start gets the spans once it is up', async () => {
  const port = await freePort();
  // The collector comes up once the module has failed to reach it.
  let failed;
  const firstFailure = new Promise((resolve) => (failed = resolve));
  const pending = load(`http://127.0.0.1:${port}`, 20, { OTEL_BSP_EXPORT_TIMEOUT: String(3000 * slow) }, [],
    (stdout) => /retrying in/.test(stdout) && failed());
  await Promise.race([firstFailure, pending]);
  const receiver = await startReceiver(() => ({ status: 200 }), port);
  const result = await pending;
  await receiver.close();
  assert.match(result.stdout, /traces export failed: .*retrying in \d+ ms/);
  assert.deepEqual([result.exported, uniqueSpans(receiver)], [20, 20]);
  assert.equal(spansOf(receiver.received).length, 20);  // nothing sent twice
});

test('503 with Retry-After is retried once after the wait, then 200', async () => {
  const receiver = await startReceiver((req, n) => (n === 1 ? { status: 503, headers: { 'retry-after': '1' } } : { status: 200 }));
  const result = await load(receiver, 10);
  await receiver.close();
  const traces = receiver.received.filter((r) => r.path === '/v1/traces');
  assert.equal(traces.length, 2);
  assert.ok(traces[1].at - traces[0].at >= 900, `retried after ${traces[1].at - traces[0].at} ms`);
  assert.match(result.stdout, /HTTP 503; retrying in 1000 ms/);
  assert.deepEqual([result.exported, result.notSent, uniqueSpans(receiver)], [10, 0, 10]);
});

test('400 is not retried and the batch is counted as not sent', async () => {
  const receiver = await startReceiver(() => ({ status: 400, body: Buffer.from('bad request') }));
  const result = await load(receiver, 10);
  await receiver.close();
  assert.equal(receiver.received.filter((r) => r.path === '/v1/traces').length, 1);
  assert.match(result.stdout, /traces export failed: HTTP 400 bad request; not retried/);
  assert.deepEqual([result.exported, result.notSent], [0, 10]);
});

test('a collector slower than the timeout: retries end within the export timeout', async () => {
  const receiver = await startReceiver(() => sleep(5000).then(() => ({ status: 200 })));
  const result = await load(receiver, 10, { OTEL_EXPORTER_OTLP_TIMEOUT: '200', OTEL_BSP_EXPORT_TIMEOUT: '1000' });
  await receiver.close();
  assert.match(result.stdout, /Timeout was reached/);
  assert.deepEqual([result.exported, result.notSent], [0, 10]);
  assert.ok(result.ms < 4000 * slow, `ran ${result.ms} ms`);
});

test('a full queue drops new spans and counts each one', async () => {
  const receiver = await startReceiver(() => sleep(200).then(() => ({ status: 200 })));
  const result = await load(receiver, 500, { OTEL_BSP_MAX_QUEUE_SIZE: '8', OTEL_BSP_MAX_EXPORT_BATCH_SIZE: '8' });
  await receiver.close();
  assert.ok(result.full > 0);
  assert.equal(result.exported + result.full + result.notSent, 500);
  assert.equal(uniqueSpans(receiver), result.exported);
  assert.match(result.stdout, /the span queue is full \(8 spans\); dropping new spans/);
});

test('shutdown with a full queue returns within the export timeout', async () => {
  const receiver = await startReceiver(() => sleep(400).then(() => ({ status: 200 })));
  const result = await load(receiver, 64, {
    OTEL_BSP_MAX_QUEUE_SIZE: '64', OTEL_BSP_MAX_EXPORT_BATCH_SIZE: '4', OTEL_BSP_SCHEDULE_DELAY: '60000',
    OTEL_BSP_EXPORT_TIMEOUT: '1000',
  });
  await receiver.close();
  assert.ok(result.shutdownMs < 1000 + 500 * slow, `shutdown took ${result.shutdownMs} ms`);
  assert.ok(result.notSent > 0);
  assert.equal(result.exported + result.full + result.notSent, 64);
});

test('a forked child sends only its own spans, with its own pid', async () => {
  const receiver = await startReceiver();
  const result = await load(receiver, 5, { OTEL_BSP_SCHEDULE_DELAY: '60000' }, ['--fork']);
  await receiver.close();
  const spans = spansOf(receiver.received);
  assert.equal(uniqueSpans(receiver), 8);
  assert.equal(spans.length, 8);
  const pidOf = (s) => s.resource.attributes.find((a) => a.key === 'process.pid').value.intValue;
  const child = spans.filter((s) => s.name === 'child/work');
  assert.equal(child.length, 3);
  assert.ok(child.every((s) => pidOf(s) !== String(result.pid)));
  assert.ok(spans.filter((s) => s.name === 'parent/work').every((s) => pidOf(s) === String(result.pid)));
});
