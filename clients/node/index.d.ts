import { EventEmitter } from 'node:events';

export interface StartOptions {
  /** Where the recording goes; the container follows the extension (.wav, .caf, .aif...). */
  output: string;
  /** The tool's binary: a path, or a name looked up on PATH. Default: 'tarn-audio-tap'. */
  tool?: string;
  /** The tool's environment (PULSE_SERVER picks the sound server). Default: this process's. */
  env?: Record<string, string | undefined>;
  /** Milliseconds to wait for the capture to run before stopping the tool. Default: 10000. */
  startTimeout?: number;
}

/** A failure of the tool, or of starting it. */
export class TapError extends Error {
  /** 'EUSAGE', 'ESTART', 'EPERMISSION', 'ESTREAM'; 'EEXIT' for another end, 'ETIMEDOUT' for a
   * start that took too long, or the system's code (such as 'ENOENT') for a binary that cannot run. */
  readonly code: string;
  /** The tool's exit status, null when it did not exit by itself (or never ran). */
  readonly status: number | null;
  /** The signal that ended the tool, if one did. */
  readonly signal: NodeJS.Signals | null;
  /** The tool's last line on standard error, such as 'start failed: Connection refused'. */
  readonly line: string | null;
}
/** Status 64: a command line the tool does not take. */
export class UsageError extends TapError { readonly code: 'EUSAGE'; readonly status: 64; }
/** Status 3: the capture could not start (no sound server, no output device). */
export class StartError extends TapError { readonly code: 'ESTART'; readonly status: 3; }
/** Status 4: the sound server refused access. */
export class PermissionError extends TapError { readonly code: 'EPERMISSION'; readonly status: 4; }
/** Status 2: the sound server ended the capture while it ran; the file is complete. */
export class StreamError extends TapError { readonly code: 'ESTREAM'; readonly status: 2; }

export interface AudioTapEvents {
  /** Each line the tool writes on standard error. */
  line: [line: string];
  /** The file could not be written (one per sound buffer); the recording goes on. */
  writeError: [description: string];
  /** The tool ended: status 0 after a stop, else the error that says why (a StreamError for 2). */
  exit: [status: number | null, error: TapError | undefined];
}

/** A running tool. Never emits 'error'. */
export class AudioTap extends EventEmitter {
  private constructor();
  /** Resolves once the capture runs; rejects with a TapError if the tool ends first. */
  static start(options: StartOptions): Promise<AudioTap>;
  /** The tool's process id. */
  readonly pid: number;
  /** Sends SIGUSR1: what sounds from now on is written as silence. False if the tool has ended. */
  mute(): boolean;
  /** Sends SIGUSR2: recording resumes. False if the tool has ended. */
  unmute(): boolean;
  /** Sends SIGTERM; resolves with the exit status once the tool has ended and its file is complete. */
  stop(): Promise<number | null>;

  on<E extends keyof AudioTapEvents>(event: E, listener: (...args: AudioTapEvents[E]) => void): this;
  once<E extends keyof AudioTapEvents>(event: E, listener: (...args: AudioTapEvents[E]) => void): this;
  off<E extends keyof AudioTapEvents>(event: E, listener: (...args: AudioTapEvents[E]) => void): this;
}

/** Starts the tool: the same as AudioTap.start. */
export function start(options: StartOptions): Promise<AudioTap>;
