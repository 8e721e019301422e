'use strict';
const assert = require('node:assert/strict');
const { test } = require('node:test');
const { addon, flushMainQueue, simulation, startSession } = require('./helpers');

const sessionDomain = simulation.errorDomain;
const failed = (domain, nativeCode) => ({
  code: 'authenticationSessionFailed',
  message: 'The authentication session failed.',
  domain,
  nativeCode,
});
const schemeMismatch = {
  code: 'callbackSchemeMismatch',
  message: 'The authentication callback used an unexpected URL scheme.',
};
const callbackMissing = {
  code: 'callbackMissing',
  message: 'The authentication session returned no callback URL.',
};

test('completions from another thread are classified on the main thread', async (t) => {
  const cases = [
    ['a URL with the expected scheme', 'myapp', { url: 'myapp://done?code=abc' },
      null, 'myapp://done?code=abc'],
    ['the scheme in another letter case, query and fragment kept', 'MyApp',
      { url: 'MYAPP://Done/Path?code=a%20b#state' }, null, 'MYAPP://Done/Path?code=a%20b#state'],
    ['a URL with another scheme', 'myapp', { url: 'otherapp://done' }, schemeMismatch, null],
    ['a scheme that only starts like the expected one', 'myapp', { url: 'myapp2://done' },
      schemeMismatch, null],
    ['a URL without a scheme', 'myapp', { url: '//done?code=abc' }, schemeMismatch, null],
    ['neither URL nor error', 'myapp', {}, callbackMissing, null],
    ['a cancelled login', 'myapp', { error: { domain: sessionDomain, code: 1 } }, null, null],
    ['a cancelled login with a URL', 'myapp',
      { url: 'myapp://done', error: { domain: sessionDomain, code: 1 } }, null, null],
    ['another error of the session domain, with a URL', 'myapp',
      { url: 'myapp://done', error: { domain: sessionDomain, code: 2 } },
      failed(sessionDomain, 2), null],
    ['code 1 of another domain', 'myapp', { error: { domain: 'NSURLErrorDomain', code: 1 } },
      failed('NSURLErrorDomain', 1), null],
    ['an error without a domain', 'myapp', { error: { domain: null, code: -1009 } },
      failed('', -1009), null],
    ['a large native code', 'myapp', { error: { domain: 'd', code: 2 ** 40 } },
      failed('d', 2 ** 40), null],
  ];
  for (const [name, scheme, completion, error, callbackUrl] of cases) {
    await t.test(name, async () => {
      const { callback, outcome } = startSession({ scheme });
      simulation.complete(completion);
      // The handler only posted: nothing is called before the main loop runs the delivery.
      assert.equal(callback.calls.length, 0);
      assert.deepEqual(await outcome, { error, callbackUrl });
      assert.equal(callback.calls.length, 1);
      assert.equal(callback.calls[0].receiver, undefined);
      assert.equal(callback.calls[0].args.length, 2);
      if (error) {
        assert.deepEqual(Object.keys(callback.calls[0].args[0]), Object.keys(error));
        assert.equal(Object.getPrototypeOf(callback.calls[0].args[0]), Object.prototype);
      }
      // The delivery emptied the slot.
      assert.equal(addon.cancel(), undefined);
      assert.equal(callback.calls.length, 1);
    });
  }
});

test('a completion handler racing the main thread hands over its result intact', async () => {
  const outcomes = [];
  for (let round = 0; round < 20; round += 1) {
    const { outcome } = startSession();
    simulation.complete({ url: `myapp://done?round=${round}`, concurrently: true });
    // The main thread keeps working on the addon while the handler runs.
    simulation.sessions();
    outcomes.push((await outcome).callbackUrl);
  }
  assert.deepEqual(outcomes, Array.from({ length: 20 }, (_, round) => `myapp://done?round=${round}`));
});

test('a completion reaching the main thread completes whatever session the slot holds',
  async () => {
    const first = startSession();
    addon.cancel();
    const second = startSession();
    simulation.complete({ url: 'myapp://first', session: first.session.number });
    assert.deepEqual(await second.outcome, { error: null, callbackUrl: 'myapp://first' });
    assert.equal(first.callback.calls.length, 1);
  });

test('a completion after cancel, or after the delivery, calls nothing', async () => {
  const { callback, session } = startSession();
  simulation.complete({ url: 'myapp://one' });
  await flushMainQueue();
  assert.equal(callback.calls.length, 1);
  const cancelled = startSession();
  addon.cancel();
  simulation.complete({ error: { domain: sessionDomain, code: 1 } });
  await flushMainQueue();
  assert.equal(cancelled.callback.calls.length, 1);
  assert.throws(() => simulation.complete({ session: session.number }),
    { message: `The simulated session ${session.number} has already completed.` });
});
