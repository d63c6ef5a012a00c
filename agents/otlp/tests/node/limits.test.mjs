// What the application (and the environment) hands over, however large, odd or out of range, arrives bounded, valid
// and exact: attribute and event limits with their dropped counts, metric cardinality, UTF-8, saturated numbers,
// duplicate keys and zero ids, and what a collector rejects.
import { copyFileSync, mkdtempSync, rmSync } from 'node:fs';
import { dirname, join } from 'node:path';
import { test, assert, startReceiver, run, spansOf, metricsOf, attrs, env, proto } from './support.mjs';

const slow = process.env.VEXLIN_TEST_SLOW ? 20 : 1;
const MAX = '9223372036854775807';
const one = ([span]) => span;
const points = (metrics) => metrics.find((m) => m.name === 'load.count').sum.dataPoints;

// A span's application attributes (those of the load program: a0, a1, ..., and --attr keys).
const own = (s) => Object.fromEntries(Object.entries(attrs(s.attributes)).filter(([k]) => !k.startsWith('vexlin.')));

// A program copied under a name that is not UTF-8, run by the shell with a service name that is not either.
function oddlyNamed() {
  const dir = mkdtempSync(join(dirname(env('OTLP_LOAD_PATH')), 'odd-'));
  copyFileSync(env('OTLP_LOAD_PATH'), Buffer.concat([Buffer.from(`${dir}/load-`), Buffer.from([0xff])]));
  return { dir, program: '/bin/sh', args: ['-c', 'OTEL_SERVICE_NAME="$(printf "svc\\377")" exec "$(printf "%s/load-\\377" "$0")" 1', dir] };
}

// name, otlp_load's arguments, environment, what must hold given (the run, spans, metrics, requests); options:
// respond (the receiver's answer), dead (no collector), program (instead of otlp_load).
const rows = [
  ['values are cut to the length limit on a character boundary; the span limit wins', ['1', '--attrs=1,20', '--attr=k=abcdefgh', '--counter=12,1,0'],
    { OTEL_ATTRIBUTE_VALUE_LENGTH_LIMIT: '2', OTEL_SPAN_ATTRIBUTE_VALUE_LENGTH_LIMIT: '5' }, (r, spans, metrics) => {
      assert.deepEqual(own(one(spans)), { a0: 'ééééé', k: 'abcde' });
      assert.equal(attrs(one(spans).attributes)['vexlin.service.name'], 'paren');
      // Dimension values too, by the general limit: d10 and d11 become d1.
      assert.deepEqual(points(metrics).map((p) => [attrs(p.attributes).value, p.asInt]).sort().slice(0, 2), [['d0', '1'], ['d1', '3']]);
    }],
  ['attributes past the count limit are dropped and counted', ['1', '--attrs=30,2'], { OTEL_ATTRIBUTE_COUNT_LIMIT: '10' },
    (r, spans) => assert.deepEqual([one(spans).attributes.length, one(spans).droppedAttributesCount], [10, 22])],
  ['a span with a million attributes keeps 128 of them', ['1', '--attrs=1000000,2'], {}, (r, spans, metrics, requests) => {
    assert.deepEqual([one(spans).attributes.length, one(spans).droppedAttributesCount], [128, 1000000 - 126]);
    assert.ok(requests[0].body.length < 10000, `${requests[0].body.length} bytes`);
  }],
  ['events past the event limit are dropped and counted', ['1', '--error'], { OTEL_SPAN_EVENT_COUNT_LIMIT: '0' },
    (r, spans) => assert.deepEqual([one(spans).events, one(spans).droppedEventsCount, one(spans).status.code], [[], 1, 2])],
  ['event attributes past their limit are dropped and counted, in JSON too', ['1', '--error'],
    { OTEL_EVENT_ATTRIBUTE_COUNT_LIMIT: '1', OTEL_EXPORTER_OTLP_PROTOCOL: 'http/json' },
    (r, spans) => assert.deepEqual(one(spans).events.map((e) => [e.attributes.length, e.droppedAttributesCount]), [[1, 1]])],
  ['a key set twice keeps its last value; an empty key is never sent', ['1', '--attr=k=first', '--attr=k=last', '--attr==v'], {},
    (r, spans) => assert.deepEqual([one(spans).attributes.map((a) => a.key).filter((k) => !k.startsWith('vexlin.')), own(one(spans)).k,
      one(spans).droppedAttributesCount], [['k'], 'last', 1])],
  ['headers past the limit are dropped before mapping: 160,000 of them take no time', ['0', '--headers=160000'],
    { OTEL_BSP_EXPORT_TIMEOUT: '1000', OTEL_INSTRUMENTATION_HTTP_CLIENT_CAPTURE_REQUEST_HEADERS: Array.from({ length: 300 }, (_, i) => `x-h${i}`).join() }, (r, spans) => {
      assert.deepEqual([one(spans).attributes.length, one(spans).droppedAttributesCount], [128, 160000 + 4 - 128]);
      assert.ok(r.shutdownMs < 5000 * slow, `shutdown took ${r.shutdownMs} ms`);
    }],
  ['a text as long as the record keeps is read to its end and not a byte past it', ['1', '--long-name=4096'],
    { OTEL_ATTRIBUTE_VALUE_LENGTH_LIMIT: '1024' },
    (r, spans) => assert.deepEqual([one(spans).name.length, one(spans).name.replace(/a+$/, '')], [4103, 'parent/'])],
  ['an incoming tag is read to its length and not a byte past it', ['0', `--tracer=web-in|/|GET||~01-${'a'.repeat(32)}-${'b'.repeat(16)}-01`],
    {}, (r, spans) => assert.deepEqual([one(spans).parentSpanId, /1 incoming tags were not valid/.test(r.stdout)], [undefined, true], r.stdout)],
  ['an empty header list is never read, on a span that is not sent either', ['0', '--headers=2'], { OTEL_TRACES_SAMPLER: 'always_off' },
    (r, spans) => assert.deepEqual(spans, [])],
  ['1 MiB values cost the limit, not 1 MiB, while the collector is down', ['3000', '--attrs=1,1048576'],
    { OTEL_ATTRIBUTE_VALUE_LENGTH_LIMIT: '1024', OTEL_BSP_EXPORT_TIMEOUT: '500' }, (r) => assert.ok(r.maxrssKb < 1000000, `${r.maxrssKb} kB`),
    { dead: true }],
  ['a metric keeps 2,000 dimension values; the rest go to one overflow point', ['0', '--counter=2500,1,0'], {}, (r, spans, metrics) => {
    const all = points(metrics), overflow = all.filter((p) => attrs(p.attributes)['otel.metric.overflow'] === true);
    assert.deepEqual([all.length, overflow.map((p) => [p.attributes.length, p.asInt])], [2001, [[1, '500']]]);
  }],
  ['a counter past INT64_MAX stays there', ['0', `--counter=0,${MAX},2`], {}, (r, spans, metrics) =>
    assert.deepEqual(points(metrics).map((p) => p.asInt), [MAX])],
  ['a counter only grows: a negative increase is left out', ['0', '--float-counter=2.5,-1'], {}, (r, spans, metrics) =>
    assert.deepEqual(points(metrics).map((p) => p.asDouble), [2.5])],
  ['timed times past the range of nanoseconds saturate', ['0', `--timed=9223372036854775,${MAX}`], {}, (r, spans) =>
    assert.deepEqual([one(spans).startTimeUnixNano, one(spans).endTimeUnixNano], ['9223372036854775000', MAX])],
  ['untimed spans carry nanoseconds', ['20'], {}, (r, spans) =>
    assert.ok(spans.some((s) => BigInt(s.startTimeUnixNano) % 1000n !== 0n), spans.map((s) => s.startTimeUnixNano).join())],
  ['all-zero ids from the application are never sent', ['0', '--zero-ids'], {}, (r, spans) => {
    assert.deepEqual([/^0+$/.test(one(spans).traceId), /^0+$/.test(one(spans).spanId), one(spans).parentSpanId], [false, false, undefined]);
  }],
  ['text from the environment and the executable name becomes valid UTF-8', null, { OTEL_RESOURCE_ATTRIBUTES: 'odd=%FF%C3,k=1,k=2' },
    (r, spans, metrics, [request]) => {
      const resource = one(spans).resource.attributes;
      assert.deepEqual([attrs(resource).k, resource.filter((a) => a.key === 'k').length], ['2', 1]);
      // The body itself holds the replacement characters (a decoder would make them of the bytes too).
      for (const text of ['svc\uFFFD', '\uFFFD\uFFFD', 'load-\uFFFD']) assert.ok(request.body.includes(Buffer.from(text)), text);
    }, { program: oddlyNamed }],
  ...['http/protobuf', 'http/json'].map((protocol) => [`spans a collector rejects count as rejected; its text is logged escaped, ${
    protocol}`, ['10'], { OTEL_EXPORTER_OTLP_PROTOCOL: protocol }, (r) => {
    assert.match(r.stdout, /shutdown: 9 spans exported, 1 rejected, 0 dropped/);
    assert.ok(r.stdout.includes('no\\x1b[2J\\r\\n\\u0085way') && !/[\x00-\x09\x0b-\x1f\x85]/.test(r.stdout), r.stdout);
  }, { respond: () => ({ status: 200, body: protocol === 'http/json'
    ? JSON.stringify({ partialSuccess: { rejectedSpans: '1', errorMessage: 'no\x1b[2J\r\n\x85way' } })
    : proto.collector.trace.v1.ExportTraceServiceResponse.encode({ partialSuccess: { rejectedSpans: 1, errorMessage: 'no\x1b[2J\r\n\x85way' } })
      .finish() }) }]),
];

for (const [name, args, extraEnv, check, options = {}] of rows) {
  test(name, async () => {
    const receiver = await startReceiver(options.respond);
    if (options.dead) await receiver.close();
    const odd = options.program?.();
    try {
      const r = await run(odd?.program ?? env('OTLP_LOAD_PATH'), odd?.args ?? args, { OTEL_BSP_SCHEDULE_DELAY: '50',
        OTEL_EXPORTER_OTLP_ENDPOINT: receiver.endpoint, ...extraEnv });
      await receiver.close();
      assert.equal(r.code, 0, r.stdout + r.stderr);
      [, r.shutdownMs, r.maxrssKb] = /shutdown_ms=(\d+) slowest_span_us=\d+ max_rss_kb=(\d+)/.exec(r.stdout).map(Number);
      const traces = receiver.received.filter((req) => req.path === '/v1/traces');
      check(r, spansOf(receiver.received), metricsOf(receiver.received), traces);
    } finally {
      if (odd) rmSync(odd.dir, { recursive: true });
    }
  });
}
