// W3C trace context with a real SDK: a span started by OpenTelemetry's JS
// SDK continues into the C program through its traceparent, and the C
// program's outgoing tag continues into the JS SDK. An invalid traceparent
// starts a new trace.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { createRequire } from 'node:module';
import { startReceiver, run, spansOf, attrs, env } from './support.mjs';

const require = createRequire(import.meta.url);
const api = require('@opentelemetry/api');
const { W3CTraceContextPropagator } = require('@opentelemetry/core');
const { BasicTracerProvider } = require('@opentelemetry/sdk-trace-base');

const propagator = new W3CTraceContextPropagator();
const tracer = new BasicTracerProvider().getTracer('w3c-test');

async function demo(args) {
  const receiver = await startReceiver();
  const result = await run(env('OTLP_DEMO_PATH'), args, { OTEL_EXPORTER_OTLP_ENDPOINT: receiver.endpoint });
  await receiver.close();
  assert.equal(result.code, 0, result.stderr);
  const spans = spansOf(receiver.received);
  const checkout = spans.find((s) => s.name === 'GET' && attrs(s.attributes)['url.path'] === '/shop/orders');
  return { result, spans, checkout };
}

test('a JS span continues into the C program, and the C program into a JS span', async () => {
  const jsSpan = tracer.startSpan('js-client');
  const carrier = {};
  propagator.inject(api.trace.setSpan(api.ROOT_CONTEXT, jsSpan), carrier, api.defaultTextMapSetter);
  const { result, spans, checkout } = await demo([`--incoming=${carrier.traceparent}`]);

  assert.equal(checkout.traceId, jsSpan.spanContext().traceId);
  assert.equal(checkout.parentSpanId, jsSpan.spanContext().spanId);
  assert.equal(checkout.flags, 0x301);  // sampled, parent known to be remote

  const tag = /^tag web (\S+)$/m.exec(result.stdout)[1];
  const clientSpan = spans.find((s) => s.name === 'POST');
  const extracted = propagator.extract(api.ROOT_CONTEXT, { traceparent: tag }, api.defaultTextMapGetter);
  const remote = api.trace.getSpanContext(extracted);
  assert.deepEqual([remote.traceId, remote.spanId, remote.isRemote, remote.traceFlags],
    [clientSpan.traceId, clientSpan.spanId, true, 1]);
  const jsServer = tracer.startSpan('js-server', {}, extracted);
  assert.equal(jsServer.spanContext().traceId, clientSpan.traceId);
  assert.equal(jsServer.parentSpanId, clientSpan.spanId);
});

test('an invalid traceparent starts a new trace', async () => {
  const { result, checkout } = await demo(['--incoming=00-00000000000000000000000000000000-00f067aa0ba902b7-01']);
  assert.equal(checkout.parentSpanId, undefined);
  assert.notEqual(checkout.traceId, '00000000000000000000000000000000');
  assert.match(result.stderr, /1 incoming tags were not valid traceparent texts/);
});
