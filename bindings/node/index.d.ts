// Types of reinstall-handover, the Node.js/Electron binding of the reinstall hand-over helper.

export const INTERFACE_MAJOR: number;
export const INTERFACE_MINOR: number;

export interface HandoverRequest {
  launcher: string; // path of reinstall.exe
  mutexName: string; // the mutex the application holds while it runs
  installPath: string; // the install file, an absolute path
  parameters?: string; // its parameter string, passed on unchanged
}

export interface Problem {
  code: number;
  name: string; // the stable name: "mutex-not-held" and so on
  field: '' | 'launcher' | 'mutexName' | 'installPath' | 'parameters' | 'confirm';
  systemError: number;
  message: string;
}

export interface HandoverResult {
  ok: boolean;
  step: 0 | 1 | 2 | 3 | 4; // none, check request, start process, breakaway, confirm
  problem: Problem;
  brokeAway: boolean;
  remainsInJob: boolean;
  jobKillsOnClose: boolean;
  launcherId: number;
}

export class HandoverError extends Error {
  field: string;
}

export class ApplicationMutex {
  constructor(name: string);
  readonly name: string;
  close(): void;
}

export function load(file?: string): unknown;
export function codeName(code: number): string;
export function buildCommandLine(request: HandoverRequest): string;
export function preflight(request: HandoverRequest): Problem[];
export function handOver(request: HandoverRequest, confirmMs?: number): HandoverResult;
export function removeDownloadMark(installPath: string): boolean;
