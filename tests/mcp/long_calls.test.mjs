// Stopping long calls: the SDK client cancels an automation while adb hangs or the
// model thinks, or closes the connection in the middle of one. The run stops at
// once, no adb child is left, the call is not answered and the server goes on.
import assert from 'node:assert/strict';
import path from 'node:path';
import { test } from 'node:test';

import { EXAMPLES, connect, eventually, makeDevice, startModel, textReply, toolReply } from './harness.mjs';

test('cancelling automate while adb hangs kills the child, and the server goes on', async () => {
  const device = makeDevice();
  const model = await startModel([textReply('do(action="Tap", element=[500, 500])')]);
  device.setKnob('HANG', '47.75');
  device.setKnob('ONLY', 'input');
  const session = await connect({ device, model });
  try {
    const abort = new AbortController();
    const running = session.client.callTool({ name: 'automate', arguments: { prompt: 'go', max_steps: 3 } },
      undefined, { signal: abort.signal, onprogress: () => {} });
    assert.ok(await eventually(() => device.clientsRunning() > 0), 'adb never started to hang');
    const started = Date.now();
    abort.abort('the user stopped it');
    await assert.rejects(running);
    assert.ok(await eventually(() => device.clientsRunning() === 0, 5000), 'the hanging adb child was left behind');
    assert.ok(Date.now() - started < 5000);

    await session.client.ping();
    const diff = await session.client.callTool({
      name: 'diff',
      arguments: { image_paths: [path.join(EXAMPLES, 'login_before.png'), path.join(EXAMPLES, 'login_after.png')] },
    });
    assert.equal(diff.isError, false, diff.content[0].text);  // the cancel request was not left standing
    const answers = session.received.filter((m) => m.result && (m.result.structuredContent?.mode === 'automate'
      || /Cancelled/.test(m.result.content?.[0]?.text ?? '')));
    assert.deepEqual(answers, []);  // the cancelled call got no response
  } finally {
    await session.close();
    await model.stop();
  }
});

test('cancelling automate while the model thinks aborts the request; the next call is served', async () => {
  const device = makeDevice();
  const model = await startModel([
    { ...textReply('do(action="Back")'), delay_ms: 60000 },
    toolReply('return_target', { label: 'x', bounding_box: [0, 0, 10, 10], confidence: 1, page: 1 }),
  ]);
  const session = await connect({ device, model });
  try {
    const progress = [];
    const abort = new AbortController();
    const running = session.client.callTool({ name: 'automate', arguments: { prompt: 'go back' } }, undefined,
      { signal: abort.signal, onprogress: (p) => progress.push(p) });
    assert.ok(await eventually(() => model.requests().length === 1), 'the model was never asked');
    abort.abort();
    await assert.rejects(running);
    const started = Date.now();
    const located = await session.client.callTool({
      name: 'locate', arguments: { prompt: 'x', image_paths: [path.join(EXAMPLES, 'login_before.png')] },
    });
    assert.equal(located.isError, false, located.content[0].text);
    assert.ok(Date.now() - started < 5000);
    assert.deepEqual(progress, []);  // no step ended
    assert.deepEqual(device.log('input'), []);
  } finally {
    await session.close();
    await model.stop();
  }
});

test('closing the connection during a run ends the server at once, without adb children', async () => {
  const device = makeDevice();
  const model = await startModel([textReply('do(action="Home")')]);
  device.setKnob('HANG', '47.75');
  device.setKnob('ONLY', 'input');
  const session = await connect({ device, model });
  try {
    const running = session.client.callTool({ name: 'automate', arguments: { prompt: 'go home' } }).catch((e) => e);
    assert.ok(await eventually(() => device.clientsRunning() > 0), 'adb never started to hang');
    const child = session.transport._process;
    await session.close();  // ends the server's standard input; SIGTERM would follow after 2 s
    // Exit status 0: the server ended on the end of its input, before any signal.
    assert.deepEqual([child.exitCode, child.signalCode], [0, null]);
    assert.ok(await eventually(() => device.clientsRunning() === 0, 5000), 'the hanging adb child was left behind');
    assert.ok((await running) instanceof Error);
  } finally {
    await model.stop();
  }
});

test('SIGTERM during a run stops it like the command: status 143, no adb child left', async () => {
  const device = makeDevice();
  const model = await startModel([textReply('do(action="Back")')]);
  device.setKnob('HANG', '47.75');
  device.setKnob('ONLY', 'input');
  const session = await connect({ device, model });
  try {
    const running = session.client.callTool({ name: 'automate', arguments: { prompt: 'go back' } }).catch((e) => e);
    assert.ok(await eventually(() => device.clientsRunning() > 0), 'adb never started to hang');
    const child = session.transport._process;
    const exited = new Promise((resolve) => child.once('exit', (code, signal) => resolve([code, signal])));
    child.kill('SIGTERM');
    assert.deepEqual(await exited, [143, null]);
    assert.ok(await eventually(() => device.clientsRunning() === 0, 5000), 'the hanging adb child was left behind');
    // The call either fails with the connection, or was answered as stopped just
    // before the server exited: never with a result of a finished run.
    const outcome = await running;
    assert.ok(outcome instanceof Error || outcome.isError === true, JSON.stringify(outcome).slice(0, 300));
  } finally {
    await session.close();
    await model.stop();
  }
});
