'use strict';
const assert = require('node:assert/strict');
const { test } = require('node:test');
const { addon, flushMainQueue, httpsUrl, onlyError, recordingCallback, simulation, startSession } =
  require('./helpers');

const sessionAlreadyActive = {
  code: 'sessionAlreadyActive',
  message: 'Another authentication session is already active.',
};
const sessionStartFailed = {
  code: 'sessionStartFailed',
  message: 'The authentication session could not be started.',
};

function callsSince(count) {
  return simulation.calls().slice(count).map(({ call, ...details }) => [call, details]);
}

test('opening a session activates the app, fronts the window and anchors the sheet to it', () => {
  const before = simulation.calls().length;
  const { callback, view } = startSession({ url: 'https://example.com/sign-in', scheme: 'MyApp' });
  const window = simulation.windowOfView(view);
  const session = simulation.sessions().at(-1).number;
  assert.deepEqual(callsSince(before), [
    ['NSApplication.activate', {}],
    ['NSWindow.makeKeyAndOrderFront', { window }],
    ['ASWebAuthenticationSession.initWithURL',
      { session, url: 'https://example.com/sign-in', callbackURLScheme: 'myapp' }],
    ['ASWebAuthenticationSession.setPresentationContextProvider', { session }],
    ['ASWebAuthenticationSession.setPrefersEphemeralWebBrowserSession', { session, value: false }],
    ['ASWebAuthenticationSession.start', { session, result: true, anchorWindow: window }],
  ]);
  assert.equal(callback.calls.length, 0);
  addon.cancel();
});

test('refusals before the session opens leave no trace', () => {
  const before = simulation.calls().length;
  const callback = recordingCallback();
  addon.start(httpsUrl, 'myapp', simulation.makeView(false), callback);
  assert.equal(onlyError(callback).code, 'windowUnavailable');
  assert.deepEqual(callsSince(before), []);
  // The slot stayed empty: the next start opens.
  const next = startSession();
  assert.equal(next.session.started, true);
  addon.cancel();
});

test('cancel ends the running session with null, null before it returns', async () => {
  const { callback, session } = startSession();
  assert.equal(addon.cancel(), undefined);
  assert.equal(callback.calls.length, 1);
  assert.equal(callback.calls[0].receiver, undefined);
  assert.deepEqual(callback.calls[0].args, [null, null]);
  assert.equal(simulation.sessions()[session.number - 1].cancelled, true);
  // The platform's late completion finds the slot empty and calls nothing.
  simulation.complete({ url: 'myapp://late', session: session.number });
  await flushMainQueue();
  assert.equal(callback.calls.length, 1);
  assert.equal(addon.cancel(), undefined);
  assert.equal(callback.calls.length, 1);
});

test('a second start while a session runs is refused and leaves the running one alone',
  async () => {
    const running = startSession();
    const second = recordingCallback();
    addon.start(httpsUrl, 'other', simulation.makeView(), second);
    assert.deepEqual(onlyError(second), sessionAlreadyActive);
    assert.equal(running.callback.calls.length, 0);
    assert.equal(simulation.sessions().at(-1).number, running.session.number);
    assert.equal(running.session.cancelled, false);
    simulation.complete({ url: 'myapp://done' });
    assert.deepEqual(await running.outcome, { error: null, callbackUrl: 'myapp://done' });
  });

test('a refused system start reports sessionStartFailed and empties the slot', () => {
  simulation.refuseNextStart();
  const reopened = [];
  const callback = recordingCallback((error) => {
    // Called with the slot already empty: a new start from here opens.
    reopened.push(error, startSession());
  });
  addon.start(httpsUrl, 'myapp', simulation.makeView(), callback);
  const refused = simulation.sessions().at(-2);
  assert.deepEqual(onlyError(callback), sessionStartFailed);
  assert.equal(refused.started, false);
  assert.equal(refused.cancelled, false);
  assert.equal(reopened[1].session.started, true);
  addon.cancel();
  assert.equal(reopened[1].callback.calls.length, 1);
});

test('a callback may start a new session from inside cancel', () => {
  let inner;
  addon.start(httpsUrl, 'myapp', simulation.makeView(), recordingCallback(() => {
    inner = startSession();
  }));
  addon.cancel();
  assert.equal(inner.session.started, true);
  assert.equal(inner.callback.calls.length, 0);
  addon.cancel();
  assert.deepEqual(inner.callback.calls[0].args, [null, null]);
});

test('a throwing callback propagates out of cancel and start; the session ends all the same',
  () => {
    const failure = new Error('callback failed');
    const throwing = () => {
      throw failure;
    };

    addon.start(httpsUrl, 'myapp', simulation.makeView(), throwing);
    const opened = simulation.sessions().at(-1);
    assert.equal(opened.started, true);
    assert.throws(() => addon.cancel(), (thrown) => thrown === failure);
    assert.equal(simulation.sessions().at(-1).cancelled, true);
    // The slot is empty: cancelling again calls nothing and throws nothing.
    assert.equal(addon.cancel(), undefined);

    simulation.refuseNextStart();
    assert.throws(() => addon.start(httpsUrl, 'myapp', simulation.makeView(), throwing),
      (thrown) => thrown === failure);
    assert.throws(() => addon.start('ftp://x', 'myapp', simulation.makeView(), throwing),
      (thrown) => thrown === failure);
    // Both refusals left the slot empty.
    const next = startSession();
    assert.equal(next.session.started, true);
    addon.cancel();
  });
