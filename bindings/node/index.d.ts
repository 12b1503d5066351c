// Types of reinstall-handover, the Node.js/Electron binding of the reinstall hand-over helper.

export const INTERFACE_MAJOR: 2;
export const INTERFACE_MINOR: number;

export interface HandoverRequest {
  /** Path of the launcher; by default this platform package's reinstall.exe (or reinstall). */
  launcher?: string;
  /** The mutex the application holds while it runs. */
  mutexName: string;
  /** The install file, an absolute path. */
  installPath: string;
  /** Its parameter string, passed on unchanged; "" by default. */
  parameters?: string;
  /** The install file's SHA-256 from the update manifest, 64 hexadecimal digits. */
  installSha256?: string;
  /** SHA-256 thumbprints of the certificates that may sign the install file (Windows). */
  installSigner?: string[];
  /** The launcher's own SHA-256, where it is known; for the platform package's launcher, the
   *  digest the package records beside it. */
  launcherSha256?: string;
  /** Where the hand-over's outcome is recorded (an absolute path; defaultOutcomePath gives one). */
  outcomePath?: string;
}

/** How the last hand-over ended, as readOutcome finds it. */
export interface OutcomeRecord {
  state: 'absent' | 'unreadable' | 'read';
  /** "installer-started", "timed-out", "cant-execute", "handed-over", ... ("" unless read). */
  outcome: string;
  systemError: number;
  launcherVersion: string;
  /** UTC, ISO 8601. */
  started: string;
  ended: string;
  mutexName: string;
  installPath: string;
  /** For the user: what happened and its likely cause. */
  sentence: string;
}

/** The stable name of each problem code, in code order (0 "none" to 20). */
export type ProblemName =
  | 'none'
  | 'invalid-value'
  | 'mutex-name-invalid'
  | 'install-path-relative'
  | 'launcher-missing'
  | 'launcher-not-executable'
  | 'install-file-rejected'
  | 'no-open-program'
  | 'mutex-not-held'
  | 'mutex-unusable'
  | 'job-kills-launcher'
  | 'start-failed'
  | 'breakaway-refused'
  | 'launcher-ended-early'
  | 'path-too-long'
  | 'mutex-unavailable'
  | 'install-file-marked'
  | 'install-file-changed'
  | 'install-file-signer'
  | 'launcher-changed'
  | 'outcome-path-unusable';

export type Field = '' | 'launcher' | 'mutexName' | 'installPath' | 'parameters' | 'confirm'
  | 'installSha256' | 'installSigner' | 'launcherSha256' | 'outcomePath';

export interface Problem {
  /** 0 to 20, in the order of ProblemName. */
  code: number;
  name: ProblemName;
  field: Field;
  /** The Win32 error on Windows, errno natively; 0 when none. */
  systemError: number;
  message: string;
}

export interface HandoverResult {
  ok: boolean;
  /** The step that failed: 0 none, 1 check request, 2 start process, 3 breakaway, 4 confirm,
   * 5 verify. */
  step: 0 | 1 | 2 | 3 | 4 | 5;
  problem: Problem;
  brokeAway: boolean;
  remainsInJob: boolean;
  jobKillsOnClose: boolean;
  /** The launcher, and so the installer it starts, may take the foreground (Windows). */
  foregroundAllowed: boolean;
  launcherId: number;
}

export class HandoverError extends Error {
  constructor(field: Field, message: string);
  field: Field;
}

/** Thrown by ApplicationMutex and removeDownloadMark, with the system's error. */
export interface SystemError extends Error {
  systemError: number;
}

export class ApplicationMutex {
  /** Throws a SystemError when another process holds the mutex, a HandoverError for a bad name. */
  constructor(name: string);
  readonly name: string;
  close(): void;
}

/** This platform package's launcher and library; throws when the package is missing. */
export function locate(): { launcher: string; library: string };
/** A path inside an Electron app.asar, rewritten into app.asar.unpacked. */
export function unpackedPath(file: string): string;
/** Loads the C interface: the given file, REINSTALL_HANDOVER_LIBRARY, or the package's. */
export function load(file?: string): unknown;
export function codeName(code: number): ProblemName | 'unknown';
export function buildCommandLine(request: HandoverRequest): string;
export function preflight(request: HandoverRequest): Problem[];
export function preflightAsync(request: HandoverRequest): Promise<Problem[]>;
export function handOver(request: HandoverRequest, confirmMs?: number): HandoverResult;
export function handOverAsync(request: HandoverRequest, confirmMs?: number): Promise<HandoverResult>;
export function removeDownloadMark(installPath: string): boolean;
/** The SHA-256 thumbprint of the certificate that signed this process's program; "" when it is
 * unsigned or natively. */
export function signerOfThisProgram(): string;
/** The outcome record at `path`, read at the application's next start. */
export function readOutcome(path: string): OutcomeRecord;
/** A path for `application`'s outcome record in the user's local application data. */
export function defaultOutcomePath(application: string): string;
