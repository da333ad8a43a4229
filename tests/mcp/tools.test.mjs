// Every tool of `droidlens mcp`, called by the official MCP TypeScript SDK client
// against the simulated device and the scripted model; every result checked against
// the tool's own output schema.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { after, before, describe, test } from 'node:test';

import { LATEST_PROTOCOL_VERSION } from '@modelcontextprotocol/sdk/types.js';

import {
  API_KEY, EXAMPLES, connect, makeDevice, outputValidators, startModel, textReply, toolReply,
} from './harness.mjs';

const PNG_SIGNATURE = Buffer.from([0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a]);
const before_png = path.join(EXAMPLES, 'login_before.png');
const after_png = path.join(EXAMPLES, 'login_after.png');

describe('droidlens mcp through the SDK client', () => {
  let device;
  let model;
  let session;
  let tools;
  let validators;

  before(async () => {
    device = makeDevice();
    // The model's answers, in the order the tests below ask for them.
    model = await startModel([
      toolReply('return_target', { label: 'Sign in', bounding_box: [74, 433, 926, 496], confidence: 0.93, page: 1 }),
      toolReply('return_texts', { items: [{ text: 'Sign in', confidence: 0.9, page: 1 }] }),
      toolReply('return_text_bboxes', {
        items: [{ text: 'Sign in', bounding_box: [74, 433, 926, 496], confidence: 0.9, page: 1 }],
      }),
      toolReply('perform_action', { action: 'Tap', element: [500, 465] }),
      textReply('The form is on screen.\ndo(action="Tap", element=[500, 465])'),
      textReply('finish(message="Signed in")'),
      toolReply('return_target', { label: 'Sign in', bounding_box: [74, 433, 926, 496], confidence: 0.9, page: 1 }),
      toolReply('return_verdict', { passed: false, reason: 'No error message is shown.', confidence: 0.8 }),
      toolReply('return_verdict', {
        passed: true, reason: 'The Sign in button is shown.', evidence_box: [74, 433, 926, 496], confidence: 0.9,
      }),
    ]);
    session = await connect({ device, model });
    tools = (await session.client.listTools()).tools;
    validators = outputValidators(tools);
  });

  after(async () => {
    await session?.close();
    await model?.stop();
  });

  // A successful call: the record as structured content and as JSON text, images
  // as PNG content, the whole result well under a megabyte.
  async function call(name, args, options) {
    const result = await session.client.callTool({ name, arguments: args }, undefined, options);
    assert.equal(result.isError, false, result.content?.[0]?.text);
    const validate = validators.get(name);
    assert.ok(validate(result.structuredContent), JSON.stringify(validate.errors));
    assert.equal(result.content[0].type, 'text');
    assert.deepEqual(JSON.parse(result.content[0].text), result.structuredContent);
    for (const image of result.content.slice(1)) {
      assert.equal(image.type, 'image');
      assert.equal(image.mimeType, 'image/png');
      const png = Buffer.from(image.data, 'base64');
      assert.deepEqual(png.subarray(0, 8), PNG_SIGNATURE);
      assert.ok(Math.max(png.readUInt32BE(16), png.readUInt32BE(20)) <= 1024);
    }
    assert.ok(JSON.stringify(result).length < 800 * 1024, `${JSON.stringify(result).length} bytes`);
    return result;
  }

  test('initialize: the revision the SDK asks for, the tools capability, instructions', () => {
    const answer = session.received.find((m) => m.result?.protocolVersion);
    assert.equal(answer.result.protocolVersion, LATEST_PROTOCOL_VERSION);
    assert.equal(session.client.getServerVersion().name, 'droidlens');
    assert.deepEqual(session.client.getServerCapabilities(), { tools: { listChanged: false } });
    assert.match(session.client.getInstructions(), /list_devices/);
  });

  test('tools/list: every mode as a tool, with valid input and output schemas', () => {
    assert.deepEqual(tools.map((t) => t.name), [
      'list_devices', 'list_displays', 'screenshot', 'diff', 'nodepin', 'locate', 'ocr', 'glyphpin', 'action',
      'automate', 'assert', 'wait',
    ]);
    for (const tool of tools) {
      assert.ok(tool.description.length > 80, tool.name);
      assert.equal(tool.inputSchema.additionalProperties, false);
    }
    const automate = tools.find((t) => t.name === 'automate');
    assert.deepEqual(automate.inputSchema.required, ['prompt']);
    assert.equal(automate.inputSchema.properties.max_steps.default, 10);
    assert.equal(automate.inputSchema.properties.lang.default, 'en');  // the server's --lang
    assert.equal(automate.inputSchema.properties.output_dir.default, session.outDir);
    assert.equal(automate.annotations.readOnlyHint, false);
  });

  test('list_devices and list_displays', async () => {
    const devices = await call('list_devices', {});
    assert.deepEqual(devices.structuredContent.devices, [
      { device_id: 'emu-1', status: 'device', connection_type: 'usb', model: 'Pixel_7', android_version: '13' },
    ]);
    const displays = await call('list_displays', {});
    assert.equal(displays.structuredContent.device_id, 'emu-1');
    assert.deepEqual(displays.structuredContent.displays.map((d) => [d.display_id, d.real_size]), [[0, [1080, 2400]]]);
  });

  test('screenshot: the screen as an image, the full-size file for the other tools', async () => {
    const r = await call('screenshot', {});
    assert.equal(r.structuredContent.device_id, 'emu-1');
    assert.deepEqual(r.structuredContent.image_dimensions, [1080, 2400]);
    assert.equal(path.dirname(r.structuredContent.image_path), session.outDir);
    // The pixels the device showed (the file is encoded on the host from the raw capture).
    const same = await call('diff', { image_paths: [r.structuredContent.image_path, before_png] });
    assert.equal(same.structuredContent.diff_score, 0);
    assert.equal(r.content.length, 2);
  });

  test('diff: the record and the outlined image', async () => {
    const r = await call('diff', { image_paths: [before_png, after_png] });
    assert.ok(r.structuredContent.diff_score > 0 && r.structuredContent.diff_score < 0.1);
    assert.deepEqual(r.structuredContent.diff_boxes[0], [80, 1040, 1000, 1190]);
    assert.equal(r.structuredContent.diff_image_path, path.join(session.outDir, 'login_before_diff.png'));
    assert.equal(r.content.length, 2);
    // As an assertion: the status bar masked, a text line merged, a verdict on the score.
    const judged = await call('diff', { image_paths: [before_png, after_png], mask: ['status-bar'], merge_gap: 10, fail_above: 0.001 });
    assert.deepEqual([judged.structuredContent.passed, judged.structuredContent.resized, judged.structuredContent.regions.length > 0],
      [false, false, true]);
  });

  test('locate, ocr and glyphpin against the scripted model', async () => {
    const located = await call('locate', { prompt: 'the Sign in button', image_paths: [before_png] });
    assert.deepEqual(located.structuredContent.bounding_box, [74, 433, 926, 496]);
    assert.deepEqual(located.structuredContent.image_dimensions, [[1080, 2400]]);
    assert.equal(located.content.length, 2);

    const read = await call('ocr', { prompt: 'the button text' });  // no image: a screenshot of the device
    assert.equal(read.structuredContent.text, 'Sign in');
    assert.equal(path.dirname(read.structuredContent.pages[0].image_path), session.outDir);

    const pinned = await call('glyphpin', { prompt: 'the button text', image_paths: [before_png] });
    assert.deepEqual(pinned.structuredContent.items[0].bounding_box, [74, 433, 926, 496]);
    assert.equal(pinned.structuredContent.annotated_images.length, 1);
    assert.equal(pinned.content.length, 2);

    const requests = model.requests();
    assert.equal(requests[0].body.tool_choice.function.name, 'return_target');
    assert.equal(requests[0].headers.authorization, `Bearer ${API_KEY}`);  // settings from the environment
    assert.equal(requests[0].body.model, 'vision-model');
  });

  test('action performs the model\'s tap on the device', async () => {
    const r = await call('action', { prompt: 'tap Sign in' });
    assert.deepEqual(r.structuredContent, { mode: 'action', action: 'Tap', success: true, message: 'Tapped (540, 1116)' });
    assert.deepEqual(device.log('input'), ['input tap 540 1116']);
  });

  test('automate reports every step as progress', async () => {
    const progress = [];
    const r = await call('automate', { prompt: 'sign in', max_steps: 5 }, { onprogress: (p) => progress.push(p) });
    assert.deepEqual(r.structuredContent, { mode: 'automate', status: 'finished', message: 'Signed in', steps: 2 });
    assert.deepEqual(progress.map((p) => [p.progress, p.total]), [[1, 5], [2, 5]]);
    assert.equal(progress[0].message, 'Step 1/5: do(action="Tap", element=[500, 465]) -> Tapped (540, 1116)');
    assert.match(progress[1].message, /^Step 2\/5: finish\(message="Signed in"\).* \[finished\]$/);
    assert.deepEqual(device.log('input'), ['input tap 540 1116', 'input tap 540 1116']);
    // The library's console lines went to standard error, not into the protocol.
    assert.match(session.stderr(), /\[DEBUG\] Step 1 - Sending request/);
  });

  test('a mode error is a tool result with the library\'s message', async () => {
    const r = await session.client.callTool({ name: 'diff', arguments: { image_paths: [before_png] } });
    assert.equal(r.isError, true);
    assert.deepEqual(r.content, [{ type: 'text', text: 'diff mode requires two images' }]);
    const wrong = await session.client.callTool({ name: 'screenshot', arguments: { device_id: 'nope' } });
    assert.equal(wrong.isError, true);
    assert.equal(wrong.content[0].text, 'Device not found: nope (connected: emu-1)');
    // The kind of failure, for clients that act on it.
    assert.equal(wrong._meta['droidlens/failure'], 'device');
    assert.equal(r._meta['droidlens/failure'], 'usage');
  });

  test('nodepin snaps the located element to its UI node', async () => {
    const r = await session.client.callTool({ name: 'nodepin', arguments: { prompt: 'the Sign in button' } });
    assert.ok(!r.isError, JSON.stringify(r.content).slice(0, 500));
    assert.equal(r.structuredContent.mode, 'nodepin');
    assert.ok(validators.get('nodepin')(r.structuredContent), JSON.stringify(validators.get('nodepin').errors));
    assert.equal(r.structuredContent['resource-id'], 'com.example:id/sign_in');
  });

  test('assert answers a statement that does not hold with a result, and wait passes on the device', async () => {
    const no = await call('assert', { prompt: 'an error message is shown', image_paths: [before_png] });
    assert.equal(no.structuredContent.passed, false);  // a verdict, not a tool error
    assert.equal(no.structuredContent.reason, 'No error message is shown.');
    assert.equal(no.content.length, 2);  // and the screenshot framed in red

    const waited = await call('wait', { prompt: 'the Sign in button is shown', timeout: 5, interval: 0.1 });
    assert.equal(waited.structuredContent.passed, true);
    assert.equal(waited.structuredContent.polls, 1);
    assert.equal(waited.structuredContent.model_calls, 1);
    assert.deepEqual(waited.structuredContent.evidence_box, [74, 433, 926, 496]);
    const asked = model.requests().slice(-2).map((r) => r.body.tool_choice.function.name);
    assert.deepEqual(asked, ['return_verdict', 'return_verdict']);
  });

  test('list_devices without adb is an error that says why, not an empty list', async () => {
    const bare = await connect({ device, model, extra: { PATH: '/nonexistent' } });
    try {
      const r = await bare.client.callTool({ name: 'list_devices', arguments: {} });
      assert.equal(r.isError, true);
      assert.match(r.content[0].text, /adb was not found on PATH; install the Android platform tools/);
      assert.equal(r._meta['droidlens/failure'], 'device');
    } finally {
      await bare.close();
    }
  });

  test('nothing but protocol on stdout, and the API key in no message', () => {
    assert.deepEqual(session.errors, []);
    assert.ok(session.received.length > 10);
    assert.ok(!JSON.stringify(session.received).includes(API_KEY));
    assert.ok(!session.stderr().includes(API_KEY));
  });
});
