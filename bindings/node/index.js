'use strict';
// Hand over to the reinstall launcher from Node.js or Electron, through its C interface (koffi).
//
//   const rh = require('reinstall-handover');
//   const mutex = new rh.ApplicationMutex('MyCompany.MyApp');   // at start-up; keep it
//   const request = { mutexName: 'MyCompany.MyApp', installPath, parameters: '/S',
//                     installSha256: manifest.sha256,                    // verify, then hand over
//                     installSigner: [rh.signerOfThisProgram()] };
//   if ((await rh.preflightAsync(request)).length === 0 && (await rh.handOverAsync(request)).ok) {
//     app.quit();
//   }
//
// The launcher and the library come from this platform's package (reinstall-handover-win32-x64
// and so on, installed by npm as an optional dependency); a launcher given in the request, a file
// given to load() or REINSTALL_HANDOVER_LIBRARY wins.

const fs = require('fs');
const path = require('path');
const koffi = require('koffi');

// The C interface this module speaks: the same major, a minor at least this new.
const INTERFACE_MAJOR = 2;
const INTERFACE_MINOR = 4;
const FIELDS = ['', 'launcher', 'mutexName', 'installPath', 'parameters', 'confirm',
                'installSha256', 'installSigner', 'launcherSha256', 'outcomePath'];
const OUTCOME_STATES = ['absent', 'unreadable', 'read'];
const INVALID_VALUE = 1;
const LAUNCHER_CHANGED = 19;
const MUTEX_UNAVAILABLE = 15;

let c = null;
let types = null;

// koffi knows a type name once per process: declared on the first load, kept for the next.
function declareTypes() {
  if (!types) {
    types = {
      request: koffi.struct('reinstall_request', {
        size: 'uint32_t',
        launcher: 'const char *',
        mutex_name: 'const char *',
        install_path: 'const char *',
        parameters: 'const char *',
        install_sha256: 'const char *',
        install_signer: 'const char *',
        launcher_sha256: 'const char *',
        outcome_path: 'const char *',
      }),
      outcome: koffi.opaque('reinstall_outcome'),
      mutex: koffi.opaque('reinstall_mutex'),
      problems: koffi.opaque('reinstall_problems'),
      handover: koffi.opaque('reinstall_handover'),
    };
  }
  return types;
}

const WINDOWS = process.platform === 'win32';
const LAUNCHER_FILE = WINDOWS ? 'reinstall.exe' : 'reinstall';
const LIBRARY_FILE = WINDOWS ? 'reinstall_handover.dll' : 'libreinstall_handover.so';
// The machine field of a PE (Windows) or ELF file for each process architecture.
const MACHINES = { x64: { pe: 0x8664, elf: 62 }, ia32: { pe: 0x14c, elf: 3 } };

// A path inside an Electron app.asar as the file system sees it: a program cannot be started nor
// a library loaded from the archive, so the packer leaves them in app.asar.unpacked (with
// --unpack-dir "node_modules/reinstall-handover-*": the Linux launcher has no extension that an
// --unpack pattern of extensions would match).
function unpackedPath(file) {
  return file.replace(/([\\/])app\.asar(?=[\\/])/, '$1app.asar.unpacked');
}

// The architecture a PE or ELF file was built for ('x64', 'ia32' or its machine number), or null
// when it is neither.
function architectureOf(file) {
  const header = Buffer.alloc(64);
  const fd = fs.openSync(file, 'r');
  try {
    fs.readSync(fd, header, 0, 64, 0);
    let machine = null;
    let kind = null;
    if (header.toString('latin1', 0, 4) === '\x7fELF') {
      [machine, kind] = [header.readUInt16LE(18), 'elf'];
    } else if (header.toString('latin1', 0, 2) === 'MZ') {
      const pe = Buffer.alloc(6);
      fs.readSync(fd, pe, 0, 6, header.readUInt32LE(0x3c));
      if (pe.toString('latin1', 0, 4) === 'PE\0\0') [machine, kind] = [pe.readUInt16LE(4), 'pe'];
    }
    if (kind === null) return null;
    const arch = Object.keys(MACHINES).find((a) => MACHINES[a][kind] === machine);
    return arch || String(machine);
  } finally {
    fs.closeSync(fd);
  }
}

// This platform's package: its name and folder (unpacked from app.asar), or an Error saying what
// to install.
function platformPackage() {
  const name = `reinstall-handover-${process.platform}-${process.arch}`;
  let folder;
  try {
    folder = path.dirname(require.resolve(`${name}/package.json`));
  } catch (e) {
    throw new Error(`reinstall-handover: ${name} is not installed, so there is no launcher for ` +
                    `this ${process.platform}-${process.arch} process. npm installs it with ` +
                    'reinstall-handover on that platform; when packaging for another one, install ' +
                    `with --os and --cpu for it (or add ${name} to the dependencies).`);
  }
  return { name, folder: unpackedPath(folder) };
}

// One of this platform package's files, checked to exist and to fit this process.
function packagedFile(file) {
  const { name, folder } = platformPackage();
  const full = path.join(folder, file);
  if (!fs.existsSync(full)) {
    throw new Error(`reinstall-handover: ${full} is missing from ${name}` +
                    (/app\.asar\.unpacked/.test(full) ?
                      '; pack the app with --unpack-dir "node_modules/reinstall-handover-*"' : ''));
  }
  const arch = architectureOf(full);
  if (arch !== process.arch) {
    throw new Error(`reinstall-handover: ${full} is built for ${arch}, this process is ` +
                    `${process.arch}; install ${name}`);
  }
  return full;
}

// Where the launcher and the library are: those of this platform's package, unless given.
function locate() {
  return { launcher: packagedFile(LAUNCHER_FILE), library: packagedFile(LIBRARY_FILE) };
}

// Loads the C interface (the given file, REINSTALL_HANDOVER_LIBRARY, or this platform package's)
// and checks its version. It can be called again, with another file after a failure.
function load(file) {
  declareTypes();
  const lib = koffi.load(file || process.env.REINSTALL_HANDOVER_LIBRARY || packagedFile(LIBRARY_FILE));
  const api = {
    version: lib.func('uint32_t reinstall_interface_version(void)'),
    codeName: lib.func('const char *reinstall_code_name(int code)'),
    build: lib.func('int reinstall_build_command_line(const reinstall_request *request, ' +
                    '_Out_ uint8_t *buffer, size_t size, _Out_ size_t *length, _Out_ int *field)'),
    mutexCreate: lib.func('int reinstall_mutex_create(const char *name, ' +
                          '_Out_ reinstall_mutex **mutex, _Out_ uint32_t *error)'),
    mutexRelease: lib.func('void reinstall_mutex_release(reinstall_mutex *mutex)'),
    preflight: lib.func('int reinstall_preflight(const reinstall_request *request, ' +
                        '_Out_ reinstall_problems **problems)'),
    problemsCount: lib.func('size_t reinstall_problems_count(const reinstall_problems *p)'),
    problemsGet: lib.func('int reinstall_problems_get(const reinstall_problems *p, size_t index, ' +
                          '_Out_ int *field, _Out_ uint32_t *error, _Out_ uint8_t *buffer, ' +
                          'size_t size, _Out_ size_t *length)'),
    problemsRelease: lib.func('void reinstall_problems_release(reinstall_problems *p)'),
    handOver: lib.func('int reinstall_hand_over(const reinstall_request *request, ' +
                       'uint32_t confirm_ms, _Out_ reinstall_handover **handover)'),
    step: lib.func('int reinstall_handover_step(const reinstall_handover *h)'),
    problem: lib.func('int reinstall_handover_problem(const reinstall_handover *h, ' +
                      '_Out_ int *field, _Out_ uint32_t *error, _Out_ uint8_t *buffer, ' +
                      'size_t size, _Out_ size_t *length)'),
    flags: lib.func('uint32_t reinstall_handover_flags(const reinstall_handover *h)'),
    launcherId: lib.func('uint32_t reinstall_handover_launcher_id(const reinstall_handover *h)'),
    handoverRelease: lib.func('void reinstall_handover_release(reinstall_handover *h)'),
    removeMark: lib.func('int reinstall_remove_download_mark(const char *path, ' +
                         '_Out_ int *removed, _Out_ uint32_t *error)'),
    signer: lib.func('int reinstall_signer_of_this_program(_Out_ uint8_t *buffer, size_t size, ' +
                     '_Out_ size_t *length)'),
    readOutcome: lib.func('int reinstall_read_outcome(const char *path, ' +
                          '_Out_ reinstall_outcome **outcome)'),
    outcomeState: lib.func('int reinstall_outcome_state(const reinstall_outcome *o)'),
    outcomeError: lib.func('uint32_t reinstall_outcome_system_error(const reinstall_outcome *o)'),
    outcomeText: lib.func('int reinstall_outcome_text(const reinstall_outcome *o, int which, ' +
                          '_Out_ uint8_t *buffer, size_t size, _Out_ size_t *length)'),
    outcomeRelease: lib.func('void reinstall_outcome_release(reinstall_outcome *o)'),
    defaultOutcomePath: lib.func('int reinstall_default_outcome_path(const char *application, ' +
                                 '_Out_ uint8_t *buffer, size_t size, _Out_ size_t *length)'),
  };
  const version = api.version();
  if (version >>> 16 !== INTERFACE_MAJOR || (version & 0xFFFF) < INTERFACE_MINOR) {
    throw new Error(`reinstall_handover interface ${version >>> 16}.${version & 0xFFFF}, ` +
                    `this module speaks ${INTERFACE_MAJOR}.${INTERFACE_MINOR}`);
  }
  c = api;
  return api;
}

function api() {
  return c || load();
}

const UNPAIRED = /[\uD800-\uDBFF](?![\uDC00-\uDFFF])|(?<![\uD800-\uDBFF])[\uDC00-\uDFFF]/;

// Why `value` cannot be passed at all, or null: a NUL would end it early, and an unpaired
// surrogate has no UTF-8 (koffi would pass U+FFFD in its place).
function refusalOf(field, value) {
  if (value.includes('\0')) return `${field} holds a NUL byte, which would end the command line`;
  if (UNPAIRED.test(value)) return `${field} holds an unpaired surrogate, which UTF-8 cannot carry`;
  return null;
}

// The request's values as the C interface takes them; the signer list is one text, the
// thumbprints between commas.
function fieldsOf(request) {
  return [['launcher', request.launcher], ['mutexName', request.mutexName],
          ['installPath', request.installPath], ['parameters', request.parameters || ''],
          ['installSha256', request.installSha256 || ''],
          ['installSigner', signerList(request.installSigner || [])],
          ['launcherSha256', request.launcherSha256 || ''],
          ['outcomePath', request.outcomePath || '']];
}

// The signer list as the C interface takes it: one text, the thumbprints between commas. A list
// of one empty thumbprint stays visible as an empty entry, which the helper refuses.
function signerList(signers) {
  return signers.join(',') || (signers.length > 0 ? ',' : '');
}

// A problem for each value that cannot be passed at all.
function refusals(request) {
  return fieldsOf(request)
    .map(([field, value]) => [field, refusalOf(field, String(value))])
    .filter(([, why]) => why !== null)
    .map(([field, why]) => ({ code: INVALID_VALUE, name: 'invalid-value', field, systemError: 0,
                              message: why }));
}

// The SHA-256 the platform package records beside its launcher (reinstall.exe.sha256, as
// sha256sum writes it): the file's first word, after any blanks, when it is 64 hexadecimal
// digits; null when the file is missing or holds no such word, and the launcher cannot be
// checked.
function recordedDigest(launcher) {
  let text;
  try {
    text = fs.readFileSync(`${launcher}.sha256`, 'latin1');
  } catch (e) {
    if (e.code === 'ENOENT') return null;
    throw e;
  }
  const word = text.trim().split(/\s+/)[0];
  return /^[0-9a-fA-F]{64}$/.test(word) ? word.toLowerCase() : null;
}

function uncheckedLauncher(launcher) {
  return { code: LAUNCHER_CHANGED, name: 'launcher-changed', field: 'launcher', systemError: 0,
           message: `launcher ${launcher} has no SHA-256 recorded beside it (${launcher}.sha256 ` +
                    'is missing or holds no 64-digit digest), so it cannot be checked: install ' +
                    'the package again' };
}

// The request with its launcher (this platform package's unless given, with the digest the
// package records for it), looked up once: the values that cannot be passed at all (`refused`),
// or else the request as the C interface takes it (`c`); `unchecked`, the launcher-changed
// problem of a package's launcher without its recorded digest.
function prepare(request) {
  const full = { ...request };
  let unchecked = null;
  if (request.launcher == null) {
    full.launcher = packagedFile(LAUNCHER_FILE);
    full.launcherSha256 = request.launcherSha256 || recordedDigest(full.launcher);
    if (full.launcherSha256 === null) unchecked = uncheckedLauncher(full.launcher);
  }
  const refused = refusals(full);
  if (refused.length > 0) return { refused, unchecked, c: null };
  return {
    refused,
    unchecked,
    c: {
      size: koffi.sizeof(declareTypes().request),
      launcher: full.launcher,
      mutex_name: full.mutexName,
      install_path: full.installPath,
      parameters: full.parameters || '',
      install_sha256: full.installSha256 || '',
      install_signer: signerList(full.installSigner || []),
      launcher_sha256: full.launcherSha256 || '',
      outcome_path: full.outcomePath || '',
    },
  };
}

// Calls `call(buffer, size, length)` once for the length, then with room for the text.
function readText(call) {
  const length = [0];
  call(null, 0, length);
  const buffer = Buffer.alloc(Number(length[0]) + 1);
  const code = call(buffer, buffer.length, length);
  return { code, text: buffer.subarray(0, Number(length[0])).toString('utf8') };
}

function problemOf(getter) {
  const field = [0];
  const error = [0];
  const { code, text } = readText((b, n, l) => getter(field, error, b, n, l));
  return {
    code,
    name: api().codeName(code),
    field: FIELDS[field[0]] || '',
    systemError: error[0],
    message: text,
  };
}

class HandoverError extends Error {
  constructor(field, message) {
    super(message);
    this.field = field;
  }
}

// The launcher's exact command line; throws HandoverError for a value it cannot pass.
function buildCommandLine(request) {
  const { refused: [refusal], c } = prepare(request);
  if (refusal) throw new HandoverError(refusal.field, `reinstall hand-over: ${refusal.message}`);
  const field = [0];
  const { code, text } = readText((b, n, l) => api().build(c, b, n, l, field));
  if (code !== 0) {
    throw new HandoverError(FIELDS[field[0]] || '', text);
  }
  return text;
}

// The problems of a finished reinstall_preflight call, its list released.
function problemsOf(code, list) {
  if (code !== 0) throw new Error(api().codeName(code));
  try {
    const problems = [];
    const count = Number(api().problemsCount(list));
    for (let i = 0; i < count; ++i) {
      problems.push(problemOf((f, e, b, n, l) => api().problemsGet(list, i, f, e, b, n, l)));
    }
    return problems;
  } finally {
    api().problemsRelease(list);
  }
}

// The result of a finished reinstall_hand_over call, its record released.
function resultOf(code, handover) {
  if (!handover) throw new Error(api().codeName(code));
  try {
    const flags = api().flags(handover);
    return {
      ok: code === 0,
      step: api().step(handover),
      problem: problemOf((f, e, b, n, l) => api().problem(handover, f, e, b, n, l)),
      brokeAway: (flags & 1) !== 0,
      remainsInJob: (flags & 2) !== 0,
      jobKillsOnClose: (flags & 4) !== 0,
      foregroundAllowed: (flags & 8) !== 0,
      launcherId: api().launcherId(handover),
    };
  } finally {
    api().handoverRelease(handover);
  }
}

function refusedResult(refusal) {
  return { ok: false, step: refusal.code === LAUNCHER_CHANGED ? 5 : 1, problem: refusal,
           brokeAway: false, remainsInJob: false, jobKillsOnClose: false, foregroundAllowed: false,
           launcherId: 0 };
}

// Runs a C call on koffi's worker thread, so that an Electron main process stays responsive.
function callAsync(fn, ...args) {
  return new Promise((resolve, reject) => {
    fn.async(...args, (error, code) => (error ? reject(error) : resolve(code)));
  });
}

// Every problem that would make the hand-over fail; [] when none.
function preflight(request) {
  const { refused, unchecked, c } = prepare(request);
  if (refused.length > 0) return refused;
  if (unchecked) return [unchecked];
  const out = [null];
  const code = api().preflight(c, out);
  return problemsOf(code, out[0]);
}

// preflight() off the calling thread: a Promise of the problems.
async function preflightAsync(request) {
  const { refused, unchecked, c } = prepare(request);
  if (refused.length > 0) return refused;
  if (unchecked) return [unchecked];
  const out = [null];
  const code = await callAsync(api().preflight, c, out);
  return problemsOf(code, out[0]);
}

// Starts the launcher and confirms for `confirmMs` (at most 2000) that it runs.
function handOver(request, confirmMs = 250) {
  const { refused: [refusal], unchecked, c } = prepare(request);
  if (refusal || unchecked) return refusedResult(refusal || unchecked);
  const out = [null];
  const code = api().handOver(c, confirmMs, out);
  return resultOf(code, out[0]);
}

// handOver() off the calling thread, which the confirmation would otherwise block for up to
// `confirmMs`: a Promise of the result.
async function handOverAsync(request, confirmMs = 250) {
  const { refused: [refusal], unchecked, c } = prepare(request);
  if (refusal || unchecked) return refusedResult(refusal || unchecked);
  const out = [null];
  const code = await callAsync(api().handOver, c, confirmMs, out);
  return resultOf(code, out[0]);
}

// Removes the install file's mark of origin (Windows: its Zone.Identifier stream, which
// preflight reports as install-file-marked) once the application has verified the file: true
// when a mark was removed, false when there was none. Throws with `systemError` when it could
// not be removed.
function removeDownloadMark(installPath) {
  const why = refusalOf('installPath', String(installPath));
  if (why) throw new HandoverError('installPath', `reinstall hand-over: ${why}`);
  const removed = [0];
  const error = [0];
  const code = api().removeMark(installPath, removed, error);
  if (code !== 0) {
    const e = new Error(`cannot remove the mark of ${installPath}: ${api().codeName(code)}`);
    e.systemError = error[0];
    throw e;
  }
  return removed[0] === 1;
}

// The application's mutex, held until close() or the end of the process. Throws an Error with
// `systemError` when another process holds it or the system refuses it, a HandoverError for a
// name the hand-over would refuse.
class ApplicationMutex {
  constructor(name) {
    const why = refusalOf('mutexName', String(name));
    if (why) throw new HandoverError('mutexName', `reinstall hand-over: ${why}`);
    const out = [null];
    const error = [0];
    const code = api().mutexCreate(name, out, error);
    if (code === MUTEX_UNAVAILABLE) {
      const e = new Error(`cannot hold the mutex ${name} (system error ${error[0]})`);
      e.systemError = error[0];
      throw e;
    }
    if (code !== 0) {
      throw new HandoverError('mutexName', `cannot hold the mutex ${name}: ${api().codeName(code)}`);
    }
    this.name = name;
    this.handle = out[0];
  }

  close() {
    if (this.handle) {
      api().mutexRelease(this.handle);
      this.handle = null;
    }
  }
}

// The SHA-256 thumbprint of the certificate that signed this process's program (node.exe, or
// the Electron application), '' when it is unsigned or natively.
function signerOfThisProgram() {
  return readText((buffer, size, length) => api().signer(buffer, size, length)).text;
}

// How the last hand-over that recorded to `path` ended, read at the application's next start:
// { state: 'absent' | 'unreadable' | 'read', outcome, systemError, launcherVersion, started,
// ended, mutexName, installPath, sentence }.
function readOutcome(path) {
  const why = refusalOf('outcomePath', String(path));
  if (why) throw new HandoverError('outcomePath', `reinstall hand-over: ${why}`);
  const out = [null];
  const code = api().readOutcome(path, out);
  if (code !== 0) throw new Error(`cannot read the outcome record: ${api().codeName(code)}`);
  try {
    const [outcome, launcherVersion, started, ended, mutexName, installPath, sentence] =
      [0, 1, 2, 3, 4, 5, 6].map((which) =>
        readText((b, n, l) => api().outcomeText(out[0], which, b, n, l)).text);
    return { state: OUTCOME_STATES[api().outcomeState(out[0])], outcome,
             systemError: api().outcomeError(out[0]), launcherVersion, started, ended, mutexName,
             installPath, sentence };
  } finally {
    api().outcomeRelease(out[0]);
  }
}

// A path for `application`'s outcome record in the user's local application data (its folders
// created); throws when there is none.
function defaultOutcomePath(application) {
  const { code, text } = readText((b, n, l) => api().defaultOutcomePath(application, b, n, l));
  if (code !== 0) throw new Error(`no outcome path for ${application}: ${api().codeName(code)}`);
  return text;
}

// The stable name of a problem code: "mutex-not-held" and so on.
function codeName(code) {
  return api().codeName(code);
}

module.exports = {
  INTERFACE_MAJOR,
  INTERFACE_MINOR,
  codeName,
  load,
  buildCommandLine,
  locate,
  unpackedPath,
  preflight,
  preflightAsync,
  handOver,
  handOverAsync,
  removeDownloadMark,
  signerOfThisProgram,
  readOutcome,
  defaultOutcomePath,
  ApplicationMutex,
  HandoverError,
};
