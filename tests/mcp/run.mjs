// Runs the SDK-client tests with node's test runner, or reports them skipped (exit
// status 77) when the npm packages are not installed (scripts/install-deps puts
// them in tests/mcp/node_modules with `npm ci`).
import { spawnSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const here = path.dirname(fileURLToPath(import.meta.url));
if (!fs.existsSync(path.join(here, 'node_modules', '@modelcontextprotocol', 'sdk', 'package.json'))) {
  console.log('SKIPPED: the MCP SDK is not installed in tests/mcp/node_modules (run scripts/install-deps)');
  process.exit(77);
}
const files = fs.readdirSync(here).filter((f) => f.endsWith('.test.mjs')).sort().map((f) => path.join(here, f));
const r = spawnSync(process.execPath, ['--test', ...files], { stdio: 'inherit', cwd: here });
process.exit(r.status ?? 1);
