'use strict';
// Drives the system-audio-recorder program: starts it, reads its JSON lines and steers it with
// signals. Written for Node 18 and later, without dependencies.

const { spawn } = require('node:child_process');
const { EventEmitter } = require('node:events');

const DEFAULT_BINARY = 'system-audio-recorder';
const PAUSED = 'Recording paused.';
const RESUMED = 'Recording resumed.';
// The client's own code, for a process that ended without saying how (killed, crashed).
const PROCESS_ENDED = 'PROCESS_ENDED';
const SIGNALS = { pause: 'SIGUSR1', resume: 'SIGUSR2', stop: 'SIGINT' };
const STDERR_KEPT = 4096;

class RecorderError extends Error {
  constructor(code, message, response = null) {
    super(message);
    this.name = 'RecorderError';
    this.code = code;
    this.response = response;
  }
}

function parseResponse(text) {
  if (!text.startsWith('{')) return null;
  try {
    const value = JSON.parse(text);
    return value !== null && typeof value === 'object' && typeof value.code === 'string' ? value : null;
  } catch {
    return null;
  }
}

// An error for a response that is not the one hoped for; `detail` is the plain line that came
// before it, which often says why (e.g. "Error writing audio buffer: ...").
function responseError(response, detail) {
  const why = response.error || detail;
  return new RecorderError(response.code, why ? `${response.code}: ${why}` : response.code, response);
}

function endedError(exitCode, signal, stderr) {
  const how = signal ? `killed by ${signal}` : `exit status ${exitCode}`;
  const said = stderr.trim() ? `: ${stderr.trim()}` : '';
  return new RecorderError(PROCESS_ENDED, `the recorder ended without a response (${how})${said}`);
}

// Starts the program and calls handlers.line(text, response) for each line of its standard output
// and handlers.close(exitCode, signal, stderrTail) once it has ended, or handlers.failed(error)
// when it could not be started.
function launch(binary, args, handlers) {
  let child;
  try {
    child = spawn(binary === undefined ? DEFAULT_BINARY : binary, args, { stdio: ['ignore', 'pipe', 'pipe'] });
  } catch (error) {
    process.nextTick(handlers.failed, error);
    return null;
  }
  let pending = '';
  let stderr = '';
  let done = false;
  child.stdout.setEncoding('utf8');
  child.stdout.on('data', (chunk) => {
    pending += chunk;
    let newline;
    while ((newline = pending.indexOf('\n')) !== -1) {
      const text = pending.slice(0, newline);
      pending = pending.slice(newline + 1);
      handlers.line(text, parseResponse(text));
    }
  });
  child.stderr.setEncoding('utf8');
  child.stderr.on('data', (chunk) => {
    stderr = (stderr + chunk).slice(-STDERR_KEPT);
  });
  child.on('error', (error) => {
    // A failed spawn; errors of kill() after the end are not reported this way.
    if (done || child.pid !== undefined) return;
    done = true;
    handlers.failed(error);
  });
  child.on('close', (exitCode, signal) => {
    if (done) return;
    done = true;
    if (pending) handlers.line(pending, parseResponse(pending));
    handlers.close(exitCode, signal, stderr);
  });
  return child;
}

class Recording extends EventEmitter {
  constructor(child, started) {
    super();
    this.path = started.path;
    this.timestamp = started.timestamp;
    this.pid = child.pid;
    this._child = child;
    this._paused = false;
    this._waiter = null; // the request sent and not yet answered
    this._queue = Promise.resolve();
    this._final = null; // the response that ends the run, once it came
    this._detail = '';
    this._end = null;
  }

  // Each request is sent only once the previous one was answered: the program merges a repeated
  // pending signal and takes different pending ones in signal-number order.
  pause() {
    return this._enqueue('pause');
  }

  resume() {
    return this._enqueue('resume');
  }

  stop() {
    return this._enqueue('stop');
  }

  _enqueue(kind) {
    const send = () => new Promise((resolve, reject) => this._send(kind, resolve, reject));
    const result = this._queue.then(send, send);
    this._queue = result.catch(() => {});
    return result;
  }

  _send(kind, resolve, reject) {
    if (this._final || this._end) {
      if (kind === 'stop' && this._final && this._final.code === 'RECORDING_STOPPED') resolve(this._final);
      else reject(this._endError());
      return;
    }
    // The program answers nothing to a repeated pause or to a resume without a pause.
    if ((kind === 'pause' && this._paused) || (kind === 'resume' && !this._paused)) {
      resolve();
      return;
    }
    this._waiter = { kind, resolve, reject };
    this._child.kill(SIGNALS[kind]);
  }

  _endError() {
    if (this._final) return responseError(this._final, this._detail);
    return endedError(this._end.exitCode, this._end.signal, this._stderr || '');
  }

  _settle(kind, value) {
    const waiter = this._waiter;
    if (!waiter) return;
    if (kind === 'error') {
      this._waiter = null;
      waiter.reject(value);
    } else if (waiter.kind === kind) {
      this._waiter = null;
      waiter.resolve(value);
    }
  }

  _line(text, response) {
    if (!response) {
      if (text === PAUSED) {
        this._paused = true;
        this._settle('pause');
      } else if (text === RESUMED) {
        this._paused = false;
        this._settle('resume');
      } else {
        this._detail = text;
      }
      return;
    }
    // Every response after the start ends the run.
    this._final = response;
    if (response.code === 'RECORDING_STOPPED' && this._waiter && this._waiter.kind === 'stop') {
      this._settle('stop', response);
    } else {
      this._settle('error', responseError(response, this._detail));
    }
  }

  _close(exitCode, signal, stderr) {
    this._stderr = stderr;
    this._end = {
      code: this._final ? this._final.code : PROCESS_ENDED,
      response: this._final,
      exitCode,
      signal,
    };
    this._settle('error', this._endError());
    this.emit('end', this._end);
  }
}

/**
 * Starts a recording into `directory`; resolves once it runs (RECORDING_STARTED), rejects with a
 * RecorderError whose `code` is the program's code otherwise.
 */
function record({ directory, filename, binary } = {}) {
  for (const [name, value] of Object.entries({ directory, filename, binary })) {
    if (value !== undefined && typeof value !== 'string') {
      return Promise.reject(new TypeError(`${name} must be a string`));
    }
  }
  const args = ['--record'];
  if (directory !== undefined) args.push(directory);
  if (filename !== undefined) args.push('--filename', filename);
  return new Promise((resolve, reject) => {
    let recording = null;
    let detail = '';
    const child = launch(binary, args, {
      line(text, response) {
        if (recording) {
          recording._line(text, response);
        } else if (!response) {
          detail = text;
        } else if (response.code === 'RECORDING_STARTED') {
          recording = new Recording(child, response);
          resolve(recording);
        } else {
          // A line that failed to serialise may stand for the start: end that run cleanly.
          if (response.code === 'JSON_SERIALIZATION_FAILED') child.kill('SIGINT');
          reject(responseError(response, detail));
        }
      },
      close(exitCode, signal, stderr) {
        if (recording) recording._close(exitCode, signal, stderr);
        else reject(endedError(exitCode, signal, stderr));
      },
      failed: reject,
    });
  });
}

/** Asks whether what the machine plays can be recorded. */
function checkPermissions({ binary } = {}) {
  if (binary !== undefined && typeof binary !== 'string') {
    return Promise.reject(new TypeError('binary must be a string'));
  }
  return new Promise((resolve, reject) => {
    let detail = '';
    launch(binary, ['--check-permissions'], {
      line(text, response) {
        if (!response) detail = text;
        else if (response.code === 'PERMISSION_GRANTED') resolve({ granted: true });
        else if (response.code === 'PERMISSION_DENIED') resolve({ granted: false });
        else reject(responseError(response, detail));
      },
      close(exitCode, signal, stderr) {
        reject(endedError(exitCode, signal, stderr));
      },
      failed: reject,
    });
  });
}

module.exports = { record, checkPermissions, RecorderError, PROCESS_ENDED };
