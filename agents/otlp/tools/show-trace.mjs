// scripts/demo otlp: runs the OTLP demo against a receiver on 127.0.0.1 and
// prints what arrived as a tree of spans with durations, then the metrics.
//   node show-trace.mjs <otlp_demo> <module> [demo arguments...]
import { spawn } from 'node:child_process';
import { startReceiver, spansOf, metricsOf, attrs } from './receiver.mjs';

const [demo, module, ...args] = process.argv.slice(2);
const receiver = await startReceiver();
const env = { ...process.env, KX_AGENTLIBRARY: module, OTEL_EXPORTER_OTLP_ENDPOINT: receiver.endpoint };
const code = await new Promise((resolve) => spawn(demo, args, { stdio: 'inherit', env }).on('close', resolve));
await receiver.close();

const spans = spansOf(receiver.received);
const kinds = ['UNSPECIFIED', 'INTERNAL', 'SERVER', 'CLIENT', 'PRODUCER', 'CONSUMER'];
const ids = new Set(spans.map((s) => s.spanId));
const children = new Map();
for (const s of spans) {
  const key = s.parentSpanId && ids.has(s.parentSpanId) ? s.parentSpanId : 'root';
  children.set(key, [...(children.get(key) ?? []), s]);
}
const ms = (s) => (Number(BigInt(s.endTimeUnixNano) - BigInt(s.startTimeUnixNano)) / 1e6).toFixed(3);
function print(s, depth) {
  const status = s.status?.code === 2 ? `  ERROR ${s.status.message ?? ''}` : '';
  const remote = s.parentSpanId && !ids.has(s.parentSpanId) ? `  (parent ${s.parentSpanId} elsewhere)` : '';
  console.log(`${'  '.repeat(depth)}${s.name} [${kinds[s.kind]}] ${ms(s)} ms${status}${remote}`);
  const a = attrs(s.attributes);
  for (const key of Object.keys(a)) console.log(`${'  '.repeat(depth + 2)}${key} = ${typeof a[key] === 'bigint' ? a[key] : JSON.stringify(a[key])}`);
  for (const c of (children.get(s.spanId) ?? []).sort((x, y) => (x.startTimeUnixNano < y.startTimeUnixNano ? -1 : 1)))
    print(c, depth + 1);
}
const resource = spans.length ? attrs(spans[0].resource.attributes) : {};
console.log(`\n== ${spans.length} spans from ${resource['service.name']} (pid ${resource['process.pid']})`);
const roots = (children.get('root') ?? []).sort((x, y) => (x.traceId + x.startTimeUnixNano < y.traceId + y.startTimeUnixNano ? -1 : 1));
let trace = '';
for (const r of roots) {
  if (r.traceId !== trace) console.log(`\ntrace ${(trace = r.traceId)}`);
  print(r, 1);
}
console.log('\n== metrics');
for (const m of metricsOf(receiver.received)) {
  const data = m.sum ?? m.gauge ?? m.summary;
  for (const p of data.dataPoints) {
    const value = p.asInt ?? p.asDouble ?? `count ${p.count}, sum ${p.sum}, min ${p.quantileValues[0].value}, max ${p.quantileValues[1].value}`;
    console.log(`  ${m.name} ${JSON.stringify(attrs(p.attributes))} = ${value} ${m.unit ?? ''}`);
  }
}
process.exit(code);
