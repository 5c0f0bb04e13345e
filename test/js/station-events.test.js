'use strict';
// The station's progress events: about one a second per drive, each telling the share
// of the time since the last one that the job waited for image data and for the device.
const test = require('node:test');
const assert = require('node:assert');
const { progressEvents, PROGRESS_INTERVAL_MS } = require('../../api/station-events.js');

test('progress events come about once a second with the waits since the last one', (t) => {
  t.mock.timers.enable({ apis: ['Date'] });
  const sent = [];
  const progress = progressEvents((event, fields) => sent.push({ event, ...fields }));
  const report = (imageMs, deviceMs, eta = 10) =>
    progress({ phase: 'write', bytes: 1, total: 2, speed: 1, eta, waited: { imageMs, deviceMs }, queueDepth: 8 });
  const cases = [
    // [ms since the start, waited for image, waited for device, eta, expected waiting shares or null when not sent]
    [PROGRESS_INTERVAL_MS, 100, 300, 10, { image: 0.25, device: 0.75 }],
    [PROGRESS_INTERVAL_MS + 200, 500, 300, 10, null],
    [2 * PROGRESS_INTERVAL_MS, 700, 500, 10, { image: 0.75, device: 0.25 }],
    [2 * PROGRESS_INTERVAL_MS + 10, 700, 500, 0, { image: 0, device: 0 }],
  ];
  for (const [at, imageMs, deviceMs, eta, expected] of cases) {
    t.mock.timers.setTime(at);
    const before = sent.length;
    report(imageMs, deviceMs, eta);
    if (expected === null) {
      assert.strictEqual(sent.length, before, `nothing sent ${at} ms in`);
      continue;
    }
    assert.deepStrictEqual(sent.at(-1).waiting, expected, `${at} ms in`);
    const bottleneck = expected.image + expected.device === 0 ? null : expected.image > expected.device ? 'image' : 'device';
    assert.strictEqual(sent.at(-1).bottleneck, bottleneck);
  }
});
