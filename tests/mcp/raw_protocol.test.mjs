// Requests written raw to `droidlens mcp`, as a faulty client would send them: each
// gets the protocol's error code on its own line, and the server keeps serving
// until its standard input closes.
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import readline from 'node:readline';
import { fileURLToPath } from 'node:url';
import { test } from 'node:test';

import { LATEST_PROTOCOL_VERSION } from '@modelcontextprotocol/sdk/types.js';

import {
  API_KEY, CLI, EXAMPLES, connect, makeDevice, serverEnv, startModel, tempDir, toolReply,
} from './harness.mjs';

function startRaw() {
  const proc = spawn(CLI, ['mcp'], { env: serverEnv({ device: makeDevice() }), stdio: ['pipe', 'pipe', 'pipe'] });
  const waiting = [];
  const lines = [];
  readline.createInterface({ input: proc.stdout }).on('line', (line) => {
    lines.push(line);
    waiting.shift()?.();
  });
  const exited = new Promise((resolve) => proc.once('exit', (code, signal) => resolve({ code, signal })));
  return {
    // Writes `text` as it is and returns the next line the server writes, parsed.
    async send(text) {
      const seen = lines.length;
      const next = new Promise((resolve) => waiting.push(resolve));
      proc.stdin.write(text);
      if (lines.length === seen) await next;
      return JSON.parse(lines[seen]);
    },
    write(text) {
      proc.stdin.write(text);
    },
    end() {
      proc.stdin.end();
      return exited;
    },
    lines,
  };
}

const init = (id, version) => JSON.stringify({
  jsonrpc: '2.0', id, method: 'initialize',
  params: { protocolVersion: version, capabilities: {}, clientInfo: { name: 'raw', version: '0' } },
}) + '\n';

test('malformed, invalid, unknown and badly parameterised requests get their error codes', async () => {
  const server = startRaw();
  const first = await server.send(init(1, LATEST_PROTOCOL_VERSION));
  assert.equal(first.result.protocolVersion, LATEST_PROTOCOL_VERSION);
  const cases = [
    ['{"jsonrpc": "2.0", "id": 2, "method": "tools/list"\n', -32700, null],
    ['not json at all\n', -32700, null],
    ['[{"jsonrpc": "2.0", "id": 3, "method": "ping"}]\n', -32600, null],
    ['{"jsonrpc": "2.0", "id": 4}\n', -32600, 4],
    ['{"id": 5, "method": "ping"}\n', -32600, 5],
    ['{"jsonrpc": "2.0", "id": 6, "method": "prompts/list"}\n', -32601, 6],
    ['{"jsonrpc": "2.0", "id": "seven", "method": "tools/call", "params": {"arguments": {}}}\n', -32602, 'seven'],
    ['{"jsonrpc": "2.0", "id": 8, "method": "tools/call", "params": {"name": "teleport"}}\n', -32602, 8],
    ['{"jsonrpc": "2.0", "id": 9, "method": "tools/call", "params": {"name": "diff", "arguments": [1]}}\n', -32602, 9],
    ['{"jsonrpc": "2.0", "id": 10, "method": "initialize", "params": {"protocolVersion": "2025-06-18"}}\n', -32600, 10],
  ];
  for (const [line, code, id] of cases) {
    const answer = await server.send(line);
    assert.equal(answer.error?.code, code, `${line} -> ${JSON.stringify(answer)}`);
    assert.equal(answer.id, id, line);
  }
  // A notification is never answered, even a broken one: the next line answers the ping.
  const pong = await server.send('{"jsonrpc": "2.0", "method": "notifications/nonsense", "params": 3}\n' +
    '{"jsonrpc": "2.0", "id": 11, "method": "ping"}\n');
  assert.deepEqual(pong, { jsonrpc: '2.0', id: 11, result: {} });
  // Messages split across writes are put back together.
  server.write('{"jsonrpc": "2.0", "id": 12, "met');
  const listed = server.send('hod": "tools/list"}\n');
  assert.equal((await listed).result.tools.length, 12);  // list_devices, screenshot and the ten modes

  const started = Date.now();
  assert.deepEqual(await server.end(), { code: 0, signal: null });
  assert.ok(Date.now() - started < 2000);
  for (const line of server.lines) JSON.parse(line);  // every line of stdout is a message
});

test('the earlier supported revision is kept; an unknown one is answered with the newest', async () => {
  for (const [asked, answered] of [['2025-06-18', '2025-06-18'], ['2025-11-25', '2025-11-25'],
    ['2024-11-05', '2025-11-25']]) {
    const server = startRaw();
    const answer = await server.send(init(1, asked));
    assert.equal(answer.result.protocolVersion, answered, asked);
    assert.deepEqual(await server.end(), { code: 0, signal: null });
  }
});

test('the README\'s registration snippet starts a server the SDK client can use', async () => {
  const { Client } = await import('@modelcontextprotocol/sdk/client/index.js');
  const { StdioClientTransport } = await import('@modelcontextprotocol/sdk/client/stdio.js');
  const readme = fs.readFileSync(path.join(path.dirname(fileURLToPath(import.meta.url)), '..', '..', 'README.md'), 'utf8');
  const section = readme.slice(readme.indexOf('## MCP server'));
  const snippet = JSON.parse(section.slice(section.indexOf('```json') + 7, section.indexOf('```', section.indexOf('```json') + 7)));
  const entry = snippet.mcpServers.droidlens;
  assert.equal(entry.args[0], 'mcp');
  // The snippet as a user fills it in: this build, a real output directory, the test's
  // device and model settings in place of the examples.
  const out = tempDir();
  const args = entry.args.map((a) => (a === '/home/me/droidlens-outputs' ? out : a));
  const env = { ...entry.env, ...serverEnv({ device: makeDevice() }), DROIDLENS_BASE_URL: 'http://127.0.0.1:9/v1' };
  const client = new Client({ name: 'readme', version: '1' });
  await client.connect(new StdioClientTransport({ command: CLI, args, env, stderr: 'ignore' }));
  const { tools } = await client.listTools();
  assert.equal(tools.find((t) => t.name === 'screenshot').inputSchema.properties.output_dir.default, out);
  const shot = await client.callTool({ name: 'screenshot', arguments: {} });
  assert.equal(shot.isError, false, shot.content[0].text);
  await client.close();
});

test('model settings from a --config file, as the command reads them; the key stays hidden', async () => {
  const model = await startModel([
    toolReply('return_target', { label: 'x', bounding_box: [0, 0, 10, 10], confidence: 1, page: 1 }),
  ]);
  const config = path.join(tempDir(), 'model.json');
  fs.writeFileSync(config, JSON.stringify({ base_url: model.baseUrl, api_key: API_KEY, model: 'from-file' }));
  const session = await connect({ device: makeDevice(), args: ['--config', config], modelEnv: false });
  try {
    const r = await session.client.callTool({
      name: 'locate', arguments: { prompt: 'x', image_paths: [path.join(EXAMPLES, 'login_before.png')] },
    });
    assert.equal(r.isError, false, r.content[0].text);
    const [request] = model.requests();
    assert.equal(request.body.model, 'from-file');
    assert.equal(request.headers.authorization, `Bearer ${API_KEY}`);
    assert.ok(!JSON.stringify(session.received).includes(API_KEY));
  } finally {
    await session.close();
    await model.stop();
  }
});
