'use strict';
// Shared by the addon's suites: the two built flavours, sessions as promises, child processes.
const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
const path = require('node:path');

const addonPath = process.env.NORVI_WEB_AUTH_ADDON;
const testAddonPath = process.env.NORVI_WEB_AUTH_TEST_ADDON;
if (!addonPath || !testAddonPath) {
  throw new Error('Set NORVI_WEB_AUTH_ADDON and NORVI_WEB_AUTH_TEST_ADDON to the built addons.');
}

const addon = require(testAddonPath);
const simulation = addon.simulation;

const httpsUrl = 'https://sign-in.example.com/authorize?client=norvi';

// Records every call of a callback with its receiver and arguments.
function recordingCallback(onCall = () => {}) {
  const calls = [];
  const callback = function (...args) {
    calls.push({ receiver: this, args });
    return onCall(...args);
  };
  callback.calls = calls;
  return callback;
}

// Starts a session over a new attached view; `outcome` settles with the callback's arguments.
function startSession({ url = httpsUrl, scheme = 'myapp', view = simulation.makeView() } = {}) {
  let settle;
  const outcome = new Promise((resolve) => (settle = resolve));
  const callback = recordingCallback((error, callbackUrl) => settle({ error, callbackUrl }));
  addon.start(url, scheme, view, callback);
  return { callback, outcome, view, session: simulation.sessions().at(-1) };
}

// Resolves once every delivery posted so far has run; a timer keeps the loop alive meanwhile.
function flushMainQueue() {
  return new Promise((resolve) => {
    const keepAlive = setTimeout(() => {}, 10000);
    simulation.flushMainQueue(() => {
      clearTimeout(keepAlive);
      resolve();
    });
  });
}

// The one error-callback call `start` made before returning, checked for its exact shape.
function onlyError(callback) {
  assert.equal(callback.calls.length, 1);
  const [{ receiver, args }] = callback.calls;
  assert.equal(receiver, undefined);
  assert.equal(args.length, 2);
  assert.equal(args[1], null);
  return args[0];
}

// Runs `script` in a child node with the test addon as `addon`; returns status and output.
function runChild(script, { nodeOptions = [], env = {} } = {}) {
  const prologue = `const addon = require(${JSON.stringify(testAddonPath)});\n` +
    'const simulation = addon.simulation;\n';
  const result = spawnSync(process.execPath, [...nodeOptions, '-e', prologue + script], {
    env: { ...process.env, ...env },
    encoding: 'utf8',
    timeout: 30000,
  });
  const { status, signal, stdout, stderr } = result;
  return { status, signal, stdout, stderr };
}

module.exports = {
  addon,
  addonPath,
  flushMainQueue,
  httpsUrl,
  onlyError,
  recordingCallback,
  runChild,
  simulation,
  startSession,
  testAddonPath,
  indexPath: path.join(__dirname, '..', 'index.js'),
};
