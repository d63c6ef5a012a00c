// Runs one test file with node's test runner; exits 77 (skipped, for ctest)
// when node_modules is missing, unless CI=true, where that is a failure.
import { spawnSync } from 'node:child_process';
import { existsSync } from 'node:fs';
import { dirname, join } from 'node:path';
import { fileURLToPath } from 'node:url';

const here = dirname(fileURLToPath(import.meta.url));
if (!existsSync(join(here, 'node_modules', '@opentelemetry', 'otlp-transformer'))) {
  if (process.env.CI === 'true') {
    console.error(`node_modules missing in ${here}: run npm ci there (scripts/install-deps does)`);
    process.exit(1);
  }
  console.log(`skipped: node_modules missing in ${here} (npm ci)`);
  process.exit(77);
}
const result = spawnSync(process.execPath, ['--test', join(here, process.argv[2])], { stdio: 'inherit' });
process.exit(result.status ?? 1);
