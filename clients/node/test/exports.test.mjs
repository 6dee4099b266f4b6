// The package is usable with import and with require, and both give the same functions.
import assert from 'node:assert/strict';
import { createRequire } from 'node:module';
import { test } from 'node:test';

import client, { record, checkPermissions, RecorderError, PROCESS_ENDED } from 'system-audio-recorder';

test('import and require give the same client', () => {
  const required = createRequire(import.meta.url)('system-audio-recorder');
  assert.equal(record, required.record);
  assert.equal(checkPermissions, required.checkPermissions);
  assert.equal(RecorderError, required.RecorderError);
  assert.equal(PROCESS_ENDED, 'PROCESS_ENDED');
  assert.equal(client, required);
});
