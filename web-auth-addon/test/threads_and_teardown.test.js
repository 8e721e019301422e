'use strict';
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { test } = require('node:test');
const { Worker } = require('node:worker_threads');
const { addon, httpsUrl, runChild, simulation, startSession, testAddonPath } =
  require('./helpers');

const startOffMainThread =
  "The authentication session must be started from Electron's main thread.";
const cancelOffMainThread =
  "The authentication session must be cancelled from Electron's main thread.";

// Runs `body` in a worker that has loaded the test addon as `addon`; resolves with what the
// worker posted and once it has exited.
function inWorker(body, handle) {
  const source = `
    const { parentPort, workerData } = require('node:worker_threads');
    const addon = require(workerData.addonPath);
    const post = (value) => parentPort.postMessage(value);
    ${body}`;
  const workerData = { addonPath: testAddonPath, handle };
  const worker = new Worker(source, { eval: true, workerData });
  const messages = [];
  worker.on('message', (message) => messages.push(message));
  return new Promise((resolve, reject) => {
    worker.on('error', reject);
    worker.on('exit', (code) => resolve({ code, messages }));
  });
}

function scenarioRecordingCalls() {
  const directory = fs.mkdtempSync(path.join(os.tmpdir(), 'web-auth-'));
  const record = path.join(directory, 'calls.jsonl');
  const scenario = path.join(directory, 'scenario.json');
  fs.writeFileSync(scenario, JSON.stringify({ recordCalls: record }));
  return {
    env: { NORVI_SIMULATION: scenario },
    calls: () => fs.readFileSync(record, 'utf8').trim().split('\n')
      .map((line) => JSON.parse(line).call),
    remove: () => fs.rmSync(directory, { recursive: true }),
  };
}

test('start and cancel refuse to act on a worker thread; its exit leaves the main session alone',
  async () => {
    const running = startSession();
    const { code, messages } = await inWorker(`
      let cancelError;
      try {
        addon.cancel();
      } catch (error) {
        cancelError = { name: error.name, message: error.message };
      }
      addon.start(${JSON.stringify(httpsUrl)}, 'myapp', Buffer.from(workerData.handle),
        (...args) => post({ args }));
      post({ cancelError });
    `, running.view);
    assert.equal(code, 0);
    assert.deepEqual(messages, [
      { args: [{ code: 'mainThreadRequired', message: startOffMainThread }, null] },
      { cancelError: { name: 'Error', message: cancelOffMainThread } },
    ]);
    // The worker's environment is gone; the main session is still running.
    assert.equal(running.callback.calls.length, 0);
    assert.equal(simulation.sessions().at(-1).cancelled, false);
    simulation.complete({ url: 'myapp://after-worker' });
    assert.deepEqual(await running.outcome, { error: null, callbackUrl: 'myapp://after-worker' });
  });

test('cancel on a worker raises its Error even when no session runs', async () => {
  const { messages } = await inWorker(`
    try {
      addon.cancel();
    } catch (error) {
      post({ name: error.name, message: error.message });
    }
  `);
  assert.deepEqual(messages, [{ name: 'Error', message: cancelOffMainThread }]);
});

test('tearing down the main environment with a running session cancels it and calls nothing',
  () => {
    const recording = scenarioRecordingCalls();
    try {
      const child = runChild(`
        addon.start(${JSON.stringify(httpsUrl)}, 'myapp', simulation.makeView(),
          () => console.log('callback called'));
        // Let the loop end although the session runs, so the environment is torn down.
        simulation.releaseEventLoop();
      `, { env: recording.env });
      assert.deepEqual([child.status, child.stdout, child.stderr], [0, '', '']);
      assert.deepEqual(recording.calls().slice(-2),
        ['ASWebAuthenticationSession.start', 'ASWebAuthenticationSession.cancel']);
    } finally {
      recording.remove();
    }
  });

test('the event loop stays alive for a running session and not once it has ended', () => {
  const child = runChild(`
    addon.start(${JSON.stringify(httpsUrl)}, 'myapp', simulation.makeView(),
      (error, url) => console.log(JSON.stringify([error, url])));
    simulation.complete({ url: 'myapp://done' });
    process.on('exit', () => console.log('exit'));
  `);
  assert.deepEqual([child.status, child.stdout, child.stderr],
    [0, '[null,"myapp://done"]\nexit\n', '']);
  const idle = runChild(`
    addon.start(${JSON.stringify(httpsUrl)}, 'myapp', simulation.makeView(), () => {});
    addon.cancel();
  `);
  assert.deepEqual([idle.status, idle.signal, idle.stderr], [0, null, '']);
});

test('a callback that throws during the delivery is raised there; the session ends all the same',
  () => {
    const child = runChild(`
      process.on('uncaughtException', (error) => {
        console.log('uncaught: ' + error.message);
        setImmediate(() => {
          addon.start(${JSON.stringify(httpsUrl)}, 'myapp', simulation.makeView(),
            (error) => console.log('second: ' + JSON.stringify(error)));
          console.log('second started: ' + simulation.sessions()[1].started);
          addon.cancel();
        });
      });
      addon.start(${JSON.stringify(httpsUrl)}, 'myapp', simulation.makeView(), () => {
        throw new Error('callback failed');
      });
      simulation.complete({ url: 'myapp://done' });
    `, { nodeOptions: ['--force-node-api-uncaught-exceptions-policy=true'] });
    assert.deepEqual([child.status, child.stdout, child.stderr], [0,
      'uncaught: callback failed\nsecond started: true\nsecond: null\n', '']);
  });
