// tarn-audio-tap for Node and Electron apps: starts the recorder as a child process, tells when
// its capture runs, mutes, unmutes and stops it, and turns its exit statuses and its lines on
// standard error into errors and events. No dependencies: only Node's own modules (Node 18 on).
import { spawn } from 'node:child_process';
import { EventEmitter } from 'node:events';
import { stat } from 'node:fs/promises';

/** Every failure of the tool, or of starting it; `code` tells them apart without the class. */
export class TapError extends Error {
  constructor(message, { code = 'ETAP', status = null, signal = null, line = null, cause } = {}) {
    super(message, cause ? { cause } : undefined);
    this.name = new.target.name;
    this.code = code;
    this.status = status; // the tool's exit status, null when it did not exit by itself
    this.signal = signal; // the signal that ended it, if one did
    this.line = line; // the tool's last line on standard error, which says why
  }
}
export class UsageError extends TapError {}
export class StartError extends TapError {}
export class PermissionError extends TapError {}
export class StreamError extends TapError {}

// The tool's failing exit statuses, each with what it means to an app.
const FAILURES = new Map([
  [64, [UsageError, 'EUSAGE']], // a command line it does not take: a bug of this client
  [3, [StartError, 'ESTART']], // no sound server, or one with no output device
  [4, [PermissionError, 'EPERMISSION']], // the server refused this client
  [2, [StreamError, 'ESTREAM']], // the server ended a running capture
]);

function failure(status, signal, line) {
  const known = FAILURES.get(status);
  const [Kind, code] = known ?? [TapError, 'EEXIT'];
  const how = signal ? `was killed by ${signal}` : `exited with status ${status}`;
  // A failing status comes with its line; after any other end the last line may be unrelated.
  return new Kind(known && line ? line : `tarn-audio-tap ${how}`, { code, status, signal, line });
}

// The tools this process started and that still run: a Node program that ends, normally or on an
// exception, stops them rather than leave a recorder behind. (A program killed outright closes
// their standard error, which stops them too.)
const running = new Set();
process.on('exit', () => {
  for (const child of running) child.kill('SIGTERM');
});

// What tells a file apart from the one that stood at the path before: the tool replaces an
// existing file in place, so its inode may stay; its size or modification time does not.
async function fingerprint(path) {
  try {
    const { ino, size, mtimeNs } = await stat(path, { bigint: true });
    return `${ino}:${size}:${mtimeNs}`;
  } catch {
    return null;
  }
}

const WRITE_ERROR = 'write error: ';

export class AudioTap extends EventEmitter {
  #child;
  #started; // settles the start's promise; null once it is settled
  #held = []; // events that come before the app holds this object, given to it just after
  #lastLine = null;
  #exited; // resolves with the exit status

  /**
   * Starts the tool and resolves once its capture runs: once the output file appears (or changes,
   * if one stood there) or the tool says it cannot write it. Rejects if the tool ends first.
   */
  static async start({ output, tool = 'tarn-audio-tap', env, startTimeout = 10_000 } = {}) {
    if (typeof output !== 'string') throw new TypeError('start: output (a path) is required');
    const before = await fingerprint(output);
    return new Promise((resolve, reject) => {
      // Its standard output stays empty; standard error carries its lines, and keeping it open is
      // what keeps the tool alive: it stops as on SIGPIPE once its reader is gone.
      const child = spawn(tool, ['--output', output], { env, stdio: ['ignore', 'ignore', 'pipe'] });
      const tap = new AudioTap(child);
      let timedOut = false;
      const poll = setInterval(async () => {
        const now = await fingerprint(output);
        if (now !== null && now !== before) tap.#started?.();
      }, 25);
      const timer = setTimeout(() => {
        timedOut = true;
        tap.stop(); // a stop while it starts ends it at once
        setTimeout(() => { // one that hangs is killed, and no longer read: whoever else holds
          child.kill('SIGKILL'); // its standard error (a child of its own) cannot hold us up
          child.stderr.destroy();
        }, 2000).unref();
      }, startTimeout);
      tap.#started = (error) => {
        if (timedOut && !error) return; // too late: the stop under way decides
        tap.#started = null;
        clearInterval(poll);
        clearTimeout(timer);
        if (timedOut) {
          error = new TapError(`tarn-audio-tap did not start within ${startTimeout} ms`,
            { code: 'ETIMEDOUT', status: error.status, signal: error.signal, line: error.line });
        }
        if (error) return reject(error);
        resolve(tap);
        // After the app's `await` has run: listeners it adds at once get the first events.
        setImmediate(() => {
          const held = tap.#held;
          tap.#held = null;
          for (const event of held) tap.emit(...event);
        });
      };
      child.on('error', (cause) => tap.#started?.(new TapError(
        `cannot run ${tool}: ${cause.message}`, { code: cause.code ?? 'ETAP', cause })));
    });
  }

  /** @private Use AudioTap.start(). */
  constructor(child) {
    super();
    this.#child = child;
    running.add(child);
    let rest = '';
    child.stderr.setEncoding('utf8');
    child.stderr.on('data', (chunk) => {
      const lines = (rest + chunk).split('\n');
      rest = lines.pop();
      for (const line of lines) this.#line(line);
    });
    // 'close' rather than 'exit': by then every line on standard error has been read.
    this.#exited = new Promise((resolve) => child.on('close', (code, signal) => {
      running.delete(child);
      if (rest) this.#line(rest);
      const error = code === 0 ? undefined : failure(code, signal, this.#lastLine);
      this.#started?.(error ?? new TapError('tarn-audio-tap ended before its capture started',
        { code: 'EEXIT', status: code }));
      this.#emit('exit', code, error);
      resolve(code);
    }));
  }

  get pid() {
    return this.#child.pid;
  }

  /** From now on the file gets silence of the same length; returns at once. */
  mute() {
    return this.#child.kill('SIGUSR1');
  }

  unmute() {
    return this.#child.kill('SIGUSR2');
  }

  /** Resolves with the exit status once the tool has ended, its file complete. */
  stop() {
    this.#child.kill('SIGTERM'); // nothing is sent to a tool that already ended
    return this.#exited;
  }

  #line(line) {
    this.#lastLine = line;
    this.#emit('line', line);
    if (line.startsWith(WRITE_ERROR)) {
      this.#started?.(); // the capture runs, only its file cannot be written
      this.#emit('writeError', line.slice(WRITE_ERROR.length));
    }
  }

  #emit(...event) {
    if (this.#held) this.#held.push(event);
    else this.emit(...event);
  }
}

export const start = (options) => AudioTap.start(options);
