'use strict';
// Hand over to the reinstall launcher from Node.js or Electron, through its C interface (koffi).
//
//   const rh = require('reinstall-handover');
//   const mutex = new rh.ApplicationMutex('MyCompany.MyApp');   // at start-up; keep it
//   const request = { launcher, mutexName: 'MyCompany.MyApp', installPath, parameters: '/S' };
//   if (rh.preflight(request).length === 0 && rh.handOver(request).ok) app.quit();

const koffi = require('koffi');

const INTERFACE_VERSION = 1;
const FIELDS = ['', 'launcher', 'mutexName', 'installPath', 'parameters'];

let c = null;

// Loads the C interface (REINSTALL_HANDOVER_LIBRARY, or the platform's file name) and checks its
// version.
function load(file) {
  const name = process.platform === 'win32' ? 'reinstall_handover.dll' : 'libreinstall_handover.so';
  const lib = koffi.load(file || process.env.REINSTALL_HANDOVER_LIBRARY || name);
  koffi.struct('reinstall_request', {
    launcher: 'const char *',
    mutex_name: 'const char *',
    install_path: 'const char *',
    parameters: 'const char *',
  });
  koffi.opaque('reinstall_mutex');
  koffi.opaque('reinstall_problems');
  koffi.opaque('reinstall_handover');
  const api = {
    version: lib.func('uint32_t reinstall_interface_version(void)'),
    codeName: lib.func('const char *reinstall_code_name(int code)'),
    build: lib.func('int reinstall_build_command_line(const reinstall_request *request, ' +
                    '_Out_ uint8_t *buffer, size_t size, _Out_ size_t *length, _Out_ int *field)'),
    mutexCreate: lib.func('uint32_t reinstall_mutex_create(const char *name, ' +
                          '_Out_ reinstall_mutex **mutex)'),
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
  };
  if (api.version() !== INTERFACE_VERSION) {
    throw new Error(`reinstall_handover interface ${api.version()}, this module speaks ` +
                    `${INTERFACE_VERSION}`);
  }
  c = api;
  return api;
}

function api() {
  return c || load();
}

function cRequest(request) {
  return {
    launcher: request.launcher,
    mutex_name: request.mutexName,
    install_path: request.installPath,
    parameters: request.parameters || '',
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
  const field = [0];
  const { code, text } = readText((b, n, l) => api().build(cRequest(request), b, n, l, field));
  if (code !== 0) {
    throw new HandoverError(FIELDS[field[0]] || '', text);
  }
  return text;
}

// Every problem that would make the hand-over fail; [] when none.
function preflight(request) {
  const out = [null];
  const code = api().preflight(cRequest(request), out);
  if (code !== 0) {
    throw new Error(api().codeName(code));
  }
  try {
    const problems = [];
    const count = Number(api().problemsCount(out[0]));
    for (let i = 0; i < count; ++i) {
      problems.push(problemOf((f, e, b, n, l) => api().problemsGet(out[0], i, f, e, b, n, l)));
    }
    return problems;
  } finally {
    api().problemsRelease(out[0]);
  }
}

// Starts the launcher and confirms for `confirmMs` that it runs.
function handOver(request, confirmMs = 250) {
  const out = [null];
  const code = api().handOver(cRequest(request), confirmMs, out);
  if (!out[0]) {
    throw new Error(api().codeName(code));
  }
  try {
    const flags = api().flags(out[0]);
    return {
      ok: code === 0,
      step: api().step(out[0]),
      problem: problemOf((f, e, b, n, l) => api().problem(out[0], f, e, b, n, l)),
      brokeAway: (flags & 1) !== 0,
      remainsInJob: (flags & 2) !== 0,
      jobKillsOnClose: (flags & 4) !== 0,
      launcherId: api().launcherId(out[0]),
    };
  } finally {
    api().handoverRelease(out[0]);
  }
}

// The application's mutex, held until close() or the end of the process.
class ApplicationMutex {
  constructor(name) {
    const out = [null];
    const error = api().mutexCreate(name, out);
    if (error !== 0) {
      const e = new Error(`cannot hold the mutex ${name} (system error ${error})`);
      e.systemError = error;
      throw e;
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

module.exports = {
  INTERFACE_VERSION,
  load,
  buildCommandLine,
  preflight,
  handOver,
  ApplicationMutex,
  HandoverError,
};
