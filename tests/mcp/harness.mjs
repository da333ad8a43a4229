// What the SDK-client tests share: a simulated device (the simulated adb server of
// tests/fakes, reached by the real adb client),
// the scripted chat-completions server as a child process, and `droidlens mcp`
// started and connected by the official MCP TypeScript SDK client.
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import readline from 'node:readline';

import Ajv from 'ajv';
import { Client } from '@modelcontextprotocol/sdk/client/index.js';
import { StdioClientTransport } from '@modelcontextprotocol/sdk/client/stdio.js';

export const CLI = required('DROIDLENS_CLI');
export const CHAT_SERVER = required('DROIDLENS_FAKE_CHAT_SERVER');
export const FAKES_DIR = required('DROIDLENS_FAKES_DIR');
export const EXAMPLES = required('DROIDLENS_EXAMPLES_DIR');
export const SERIAL = 'emu-1';
export const API_KEY = 'sk-MCPTEST-9f3c2e71';

function required(name) {
  const value = process.env[name];
  if (!value) throw new Error(`${name} is not set (the tests run under ctest)`);
  return value;
}

export function tempDir(prefix = 'droidlens-mcp-') {
  return fs.mkdtempSync(path.join(os.tmpdir(), prefix));
}

// Simulated adb servers of this test file, checked when the process ends.
const servers = [];
process.on('exit', () => {
  for (const s of servers) {
    if (s.stopped) continue;
    if (s.proc.exitCode !== null || s.proc.signalCode !== null) {
      // Every adb answer after its end was not the device's: the run fails.
      console.error(`the simulated adb server of ${s.root} died during the tests ` +
        `(${s.proc.exitCode ?? s.proc.signalCode}); see its standard error above`);
      process.exitCode = 1;
    }
  }
});

function sleepSync(ms) {
  Atomics.wait(new Int32Array(new SharedArrayBuffer(4)), 0, 0, ms);
}

// A fixture directory served by a simulated adb server (tests/fakes/adb_server.py):
// one phone (or one per serial of `serials`) showing `screen` (a PNG file). The server's stdin is a pipe of this
// process, so it ends with it; `stop()` ends it earlier. Knobs are files the server
// reads on every request (`setKnob('HANG', '30')`, see tests/fakes/README.md).
export function makeDevice(screen = path.join(EXAMPLES, 'login_before.png'), serials = [SERIAL]) {
  const root = tempDir('droidlens-adb-');
  fs.mkdirSync(path.join(root, 'knobs'));
  fs.writeFileSync(path.join(root, 'devices.txt'), 'List of devices attached\n' + serials.map((s, i) =>
    `${s.padEnd(22)} device product:fake model:Pixel_7 device:fake transport_id:${i + 1}\n`).join('') + '\n');
  const portFile = path.join(root, 'server.port');
  const proc = spawn(process.env.DROIDLENS_PYTHON || 'python3', [path.join(FAKES_DIR, 'adb_server.py'), '--root', root, '--port-file', portFile],
    { stdio: ['pipe', 'ignore', 'inherit'], detached: true });
  // Neither keeps this process alive: its end closes the pipe, and the server ends.
  proc.unref();
  proc.stdin.unref?.();
  // Read synchronously, so that callers can build an environment in one expression.
  let port;
  for (const until = Date.now() + 30000; !port && Date.now() < until; sleepSync(10)) {
    try {
      port = Number(fs.readFileSync(portFile, 'utf8').trim()) || undefined;
    } catch {
      // not written yet
    }
  }
  if (!port) throw new Error(`the simulated adb server for ${root} did not report its port`);
  const server = { root, proc, stopped: false };
  servers.push(server);
  const socket = `tcp:127.0.0.1:${port}`;
  for (const serial of serials) fillDevice(path.join(root, serial), screen);
  return {
    root,
    port,
    // The socket wins over the port; both name the same server.
    env: { ADB_SERVER_SOCKET: socket, ANDROID_ADB_SERVER_PORT: String(port) },
    log: (name, serial = SERIAL) => readLines(path.join(root, serial, `${name}.log`)),
    adbLog: () => readLines(path.join(root, 'adb.log')),
    // FAKE_ADB_<name> (or a full FAKE_ name) until changed.
    setKnob: (name, value) => fs.writeFileSync(
      path.join(root, 'knobs', name.startsWith('FAKE_') ? name : `FAKE_ADB_${name}`), String(value)),
    // How many adb client processes talking to this server are alive.
    clientsRunning: () => adbClients(socket),
    stop: () => {
      server.stopped = true;
      proc.stdin.end();
    },
  };
}

// One phone's files: its screen, window and display reports and hierarchy dump.
function fillDevice(dev, screen) {
  fs.mkdirSync(dev, { recursive: true });
  fs.copyFileSync(screen, path.join(dev, 'screencap.png'));
  fs.writeFileSync(path.join(dev, 'dumpsys_window.txt'),
    'WINDOW MANAGER DISPLAY CONTENTS (dumpsys window displays)\n  Display: mDisplayId=0 rootTasks=3\n' +
    '    mCurrentFocus=Window{1651cd4 u0 com.android.settings/.Main}\n');
  fs.writeFileSync(path.join(dev, 'dumpsys_display.txt'),
    '  Display 0:\n    mBaseDisplayInfo=DisplayInfo{"Built-in Screen", type INTERNAL, uniqueId ' +
    '"local:4619827259835644672", real 1080 x 2400}\n');
  fs.writeFileSync(path.join(dev, 'dumpsys_sf_display_id.txt'),
    'Display 4619827259835644672 (HWC display 0): port=0 pnpId=GGL displayName="EMU_display_0"\n');
  fs.writeFileSync(path.join(dev, 'window_dump.xml'),
    '<?xml version=\'1.0\' encoding=\'UTF-8\' standalone=\'yes\' ?><hierarchy rotation="0">' +
    '<node index="0" text="" resource-id="" class="android.widget.FrameLayout" package="com.example" ' +
    'content-desc="" clickable="false" bounds="[0,0][1080,2400]" display-id="0">' +
    '<node index="0" text="Sign in" resource-id="com.example:id/sign_in" class="android.widget.Button" ' +
    'package="com.example" content-desc="" clickable="true" bounds="[80,1040][1000,1190]" display-id="0" />' +
    '</node></hierarchy>');
}

function adbClients(socket) {
  const want = `ADB_SERVER_SOCKET=${socket}`;
  let n = 0;
  for (const entry of fs.readdirSync('/proc')) {
    if (!/^\d+$/.test(entry)) continue;
    try {
      const argv0 = fs.readFileSync(`/proc/${entry}/cmdline`, 'utf8').split('\0')[0];
      if (path.basename(argv0) !== 'adb') continue;
      if (fs.readFileSync(`/proc/${entry}/environ`, 'utf8').split('\0').includes(want)) n += 1;
    } catch {
      // the process ended meanwhile
    }
  }
  return n;
}

function readLines(file) {
  try {
    return fs.readFileSync(file, 'utf8').split('\n').filter(Boolean);
  } catch {
    return [];
  }
}

// Chat-completions answers as the scripted server takes them.
export function completion(message, finishReason) {
  return {
    body: {
      id: 'chatcmpl-fake', object: 'chat.completion', created: 0, model: 'fake-model',
      choices: [{ index: 0, message, finish_reason: finishReason }],
      usage: { prompt_tokens: 10, completion_tokens: 5, total_tokens: 15 },
    },
  };
}
export const toolReply = (name, args) => completion({
  role: 'assistant', content: null,
  tool_calls: [{ id: 'call_1', type: 'function', function: { name, arguments: JSON.stringify(args) } }],
}, 'tool_calls');
export const textReply = (content) => completion({ role: 'assistant', content }, 'stop');

// The scripted chat-completions server, answering `script` in order.
export async function startModel(script) {
  const dir = tempDir('droidlens-model-');
  const scriptFile = path.join(dir, 'script.json');
  const logFile = path.join(dir, 'requests.jsonl');
  fs.writeFileSync(scriptFile, JSON.stringify(script));
  const proc = spawn(CHAT_SERVER, ['--script', scriptFile, '--log', logFile], { stdio: ['pipe', 'pipe', 'inherit'] });
  const port = await new Promise((resolve, reject) => {
    const lines = readline.createInterface({ input: proc.stdout });
    lines.once('line', (line) => resolve(Number(line.replace('PORT ', ''))));
    proc.once('exit', (code) => reject(new Error(`fake_chat_server exited with ${code}`)));
  });
  return {
    baseUrl: `http://127.0.0.1:${port}/v1`,
    requests: () => readLines(logFile).map((l) => JSON.parse(l)),
    stop: () => new Promise((resolve) => {
      if (proc.exitCode !== null || proc.signalCode !== null) return resolve();
      proc.once('exit', resolve);
      proc.stdin.end();
    }),
  };
}

// The environment `droidlens mcp` runs in: adb reaching the simulated device, the
// model settings from the environment as a user would give them.
// (`modelEnv` false: none, for settings from a --config file.)
export function serverEnv({ device, model, extra = {}, modelEnv = true }) {
  const env = {
    PATH: process.env.PATH,
    HOME: process.env.HOME ?? os.tmpdir(),
    ...device.env,
  };
  if (modelEnv) Object.assign(env, { DROIDLENS_API_KEY: API_KEY, DROIDLENS_MODEL: 'vision-model', DROIDLENS_TIMEOUT: '30' });
  if (modelEnv && model) env.DROIDLENS_BASE_URL = model.baseUrl;
  return { ...env, ...extra };
}

// `droidlens mcp` started and initialized by the SDK client. Every message the
// client receives is kept in `received`; the server's standard error in `stderr()`.
export async function connect({ device, model, outDir = tempDir('droidlens-out-'), args = [], extra = {}, modelEnv = true }) {
  const transport = new StdioClientTransport({
    command: CLI,
    args: ['mcp', '--output-dir', outDir, '--lang', 'en', ...args],
    env: serverEnv({ device, model, extra, modelEnv }),
    stderr: 'pipe',
  });
  let stderr = '';
  transport.stderr.on('data', (chunk) => { stderr += chunk; });
  // Every message on its way from the transport to the client is kept. (Until the
  // client installs its handler there is none to chain to: the getter says so.)
  const received = [];
  let deliver;
  const record = (message, ...rest) => {
    received.push(message);
    deliver(message, ...rest);
  };
  Object.defineProperty(transport, 'onmessage', {
    get: () => (deliver ? record : undefined),
    set: (fn) => { deliver = fn; },
  });
  const errors = [];
  const client = new Client({ name: 'droidlens-tests', version: '1.0.0' });
  client.onerror = (e) => errors.push(e);
  await client.connect(transport);
  return { client, transport, outDir, received, errors, stderr: () => stderr, close: () => client.close() };
}

// Every tool's output schema compiled once, strictly: a schema that JSON Schema
// itself rejects fails here before any result is checked against it.
export function outputValidators(tools) {
  const ajv = new Ajv({ allErrors: true, strict: true, allowUnionTypes: true });
  const validators = new Map();
  for (const tool of tools) {
    ajv.compile(tool.inputSchema);
    validators.set(tool.name, ajv.compile(tool.outputSchema));
  }
  return validators;
}

export async function eventually(condition, ms = 20000) {
  const until = Date.now() + ms;
  while (Date.now() < until) {
    if (await condition()) return true;
    await new Promise((r) => setTimeout(r, 20));
  }
  return false;
}
