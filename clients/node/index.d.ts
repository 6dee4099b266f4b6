/// <reference types="node" />
import { EventEmitter } from 'node:events';

/** One JSON line of the program: always a `code`, and the keys that code carries. */
export interface Response {
  code: string;
  path?: string;
  timestamp?: string;
  error?: string;
  [key: string]: string | undefined;
}

/** How a run ended: the code of the response that ended it, or PROCESS_ENDED without one. */
export interface End {
  code: string;
  response: Response | null;
  exitCode: number | null;
  signal: NodeJS.Signals | null;
}

/** A failure: `code` is the program's code (or PROCESS_ENDED, or a spawn error's code such as ENOENT). */
export declare class RecorderError extends Error {
  code: string;
  /** The program's line that reported the failure, when there was one. */
  response: Response | null;
}

/** The client's code for a program that ended without a response (killed, crashed). */
export declare const PROCESS_ENDED: 'PROCESS_ENDED';

export interface RecordOptions {
  /** The directory of the recording. */
  directory: string;
  /** The base name of the file, without ".m4a"; by default the local date and time of the start. */
  filename?: string;
  /** The program to run; by default `system-audio-recorder` on PATH. */
  binary?: string;
}

export interface Recording extends EventEmitter {
  /** The file being written. */
  readonly path: string;
  /** When the recording started, UTC, e.g. "2025-01-31T09:05:07Z". */
  readonly timestamp: string;
  /** The program's process id. */
  readonly pid: number;
  /** Resolves once the program has paused (at once if already paused). */
  pause(): Promise<void>;
  /** Resolves once the capture runs again (at once if not paused). */
  resume(): Promise<void>;
  /** Resolves with the RECORDING_STOPPED response once the file is finished. */
  stop(): Promise<Response>;
  on(event: 'end', listener: (end: End) => void): this;
  once(event: 'end', listener: (end: End) => void): this;
  off(event: 'end', listener: (end: End) => void): this;
  addListener(event: 'end', listener: (end: End) => void): this;
  removeListener(event: 'end', listener: (end: End) => void): this;
}

/** Starts a recording; resolves once it runs, rejects with a RecorderError otherwise. */
export declare function record(options: RecordOptions): Promise<Recording>;

/** Asks whether what the machine plays can be recorded. */
export declare function checkPermissions(options?: { binary?: string }): Promise<{ granted: boolean }>;
