'use strict';
const assert = require('node:assert/strict');
const { test } = require('node:test');
const {
  addon, addonPath, httpsUrl, indexPath, onlyError, recordingCallback, runChild, simulation,
} = require('./helpers');

const startArityMessage =
  'start requires four arguments: authUrl, callbackScheme, nativeWindowHandle, callback.';
const startTypeMessage =
  'start expects two strings, a native-window-handle Buffer, and a callback function.';

test('the production addon exports exactly start and cancel', () => {
  const production = require(addonPath);
  assert.deepEqual(Object.keys(production).sort(), ['cancel', 'start']);
  assert.equal(production.start.name, 'start');
  assert.equal(production.cancel.name, 'cancel');
  assert.deepEqual(Object.keys(require(indexPath)).sort(), ['cancel', 'start']);
});

test('the production addon knows no view, so any pointer has no window', () => {
  const production = require(indexPath);
  const callback = recordingCallback();
  production.start(httpsUrl, 'myapp', Buffer.from([8, 0, 0, 0, 0, 0, 0, 0]), callback);
  assert.deepEqual(onlyError(callback), {
    code: 'windowUnavailable',
    message: 'The native Electron view is not attached to a window.',
  });
});

test('loading fails with the simulation\'s message when NORVI_SIMULATION is unusable', () => {
  const cases = [
    ['/nonexistent/scenario.json', 'Cannot read the simulation scenario ' +
      '"/nonexistent/scenario.json": No such file or directory'],
    ['', 'NORVI_SIMULATION is empty: set it to "default" or to the path of a scenario file.'],
  ];
  for (const [selection, message] of cases) {
    const child = runChild('', { env: { NORVI_SIMULATION: selection } });
    assert.equal(child.status, 1);
    assert.ok(child.stderr.includes(`Error: ${message}\n`), child.stderr);
  }
});

test('start raises a TypeError for the wrong number of arguments, calling nothing', () => {
  const callback = recordingCallback();
  const view = simulation.makeView();
  for (const args of [
    [],
    [httpsUrl, 'myapp', view],
    [httpsUrl, 'myapp', view, callback, undefined],
  ]) {
    assert.throws(() => addon.start(...args), { name: 'TypeError', message: startArityMessage });
  }
  assert.equal(callback.calls.length, 0);
  assert.equal(simulation.sessions().length, 0);
});

test('start raises a TypeError when an argument has the wrong type, calling nothing', () => {
  const callback = recordingCallback();
  const view = simulation.makeView();
  const cases = [
    [new URL(httpsUrl), 'myapp', view, callback],
    [httpsUrl, Symbol('myapp'), view, callback],
    [httpsUrl, 'myapp', [0, 0, 0, 0, 0, 0, 0, 8], callback],
    [httpsUrl, 'myapp', view.buffer, callback],
    [httpsUrl, 'myapp', view, 'callback'],
    // Even an invalid URL loses to the type check of a later argument.
    ['ftp://x', 'myapp', view, null],
  ];
  for (const args of cases) {
    assert.throws(() => addon.start(...args), { name: 'TypeError', message: startTypeMessage });
  }
  assert.equal(callback.calls.length, 0);
});

test('cancel takes no arguments, not even undefined', () => {
  for (const args of [[undefined], [() => {}], [1, 2]]) {
    assert.throws(() => addon.cancel(...args), {
      name: 'TypeError',
      message: 'cancel does not accept arguments.',
    });
  }
});

test('cancel while idle returns undefined and calls nothing', () => {
  assert.equal(addon.cancel(), undefined);
  assert.equal(simulation.calls().length, 0);
});

test('error objects are plain objects with exactly code and message', () => {
  const callback = recordingCallback();
  assert.equal(addon.start('ftp://example.com/', 'myapp', simulation.makeView(), callback),
    undefined);
  const error = onlyError(callback);
  assert.equal(Object.getPrototypeOf(error), Object.prototype);
  assert.equal(error instanceof Error, false);
  assert.deepEqual(Object.keys(error), ['code', 'message']);
  assert.equal('stack' in error, false);
});
