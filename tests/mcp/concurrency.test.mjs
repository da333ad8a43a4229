// Tool calls on several devices behind one adb server: calls naming different
// devices run at once, a cancellation stops only its own call, and calls naming the
// same device wait for each other.
import assert from 'node:assert/strict';
import { test } from 'node:test';

import { connect, eventually, makeDevice, startModel, textReply } from './harness.mjs';

const automate = (session, device_id, options = {}) => session.client.callTool(
  { name: 'automate', arguments: { prompt: 'go back', max_steps: 3, device_id } }, undefined, options);

test('a call on one device runs while another device\'s call waits for the model; cancelling that one stops only it', async () => {
  const device = makeDevice(undefined, ['emu-1', 'emu-2']);
  // The first request (emu-1's) is answered only after a minute; the second at once.
  const model = await startModel([
    { ...textReply('do(action="Back")'), delay_ms: 60000 },
    textReply('finish(message="done")'),
    textReply('finish(message="again")'),
  ]);
  const session = await connect({ device, model });
  try {
    const abort = new AbortController();
    const slow = automate(session, 'emu-1', { signal: abort.signal });
    assert.ok(await eventually(() => model.requests().length === 1), 'the model was never asked');
    const quick = await automate(session, 'emu-2');
    assert.deepEqual(quick.structuredContent, { mode: 'automate', status: 'finished', message: 'done', steps: 1 });

    abort.abort();
    await assert.rejects(slow);
    assert.deepEqual(device.log('input', 'emu-1'), []);  // the slow call's step never ran
    // The cancellation did not outlive its call: the device is free and served again.
    const again = await automate(session, 'emu-1');
    assert.equal(again.structuredContent?.message, 'again', JSON.stringify(again).slice(0, 300));
  } finally {
    await session.close();
    await model.stop();
  }
});

test('two automations on two devices take about the time of one; two on one device take turns', async () => {
  const delay = 3000;
  const device = makeDevice(undefined, ['emu-1', 'emu-2']);
  const answers = Array.from({ length: 4 }, () => ({ ...textReply('finish(message="done")'), delay_ms: delay }));
  const model = await startModel(answers);
  const session = await connect({ device, model });
  try {
    let started = Date.now();
    const both = await Promise.all([automate(session, 'emu-1'), automate(session, 'emu-2')]);
    const apart = Date.now() - started;
    for (const r of both) assert.equal(r.structuredContent?.status, 'finished', JSON.stringify(r).slice(0, 300));
    // One run is one delayed answer; run one after the other they would take two.
    assert.ok(apart < 1.8 * delay, `two devices took ${apart} ms for answers of ${delay} ms`);

    started = Date.now();
    const same = await Promise.all([automate(session, 'emu-1'), automate(session, 'emu-1')]);
    const together = Date.now() - started;
    for (const r of same) assert.equal(r.structuredContent?.status, 'finished', JSON.stringify(r).slice(0, 300));
    assert.ok(together >= 2 * delay, `two calls on one device overlapped (${together} ms)`);
  } finally {
    await session.close();
    await model.stop();
  }
});
