'use strict';
// The Node.js binding against the native shared library: the golden vectors and a real
// hand-over. REINSTALL_HANDOVER_LIBRARY names the library, REINSTALL_BUILD_DIR the native build.
const assert = require('node:assert');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const test = require('node:test');

const rh = require('./index.js');

const root = path.join(__dirname, '..', '..');
const build = process.env.REINSTALL_BUILD_DIR;

// tests/records.py's format: key=value lines, backslash, LF and CR escaped.
function readRecord(file) {
  const record = { args: [] };
  for (const line of fs.readFileSync(file, 'utf8').split('\n')) {
    const eq = line.indexOf('=');
    if (eq < 0) continue;
    const value = line.slice(eq + 1).replace(/\\([\\nr])/g,
      (_, c) => ({ '\\': '\\', n: '\n', r: '\r' })[c]);
    if (line.slice(0, eq) === 'arg') record.args.push(value);
    else record[line.slice(0, eq)] = value;
  }
  return record;
}

async function waitFor(file, ms) {
  for (let waited = 0; waited < ms && !fs.existsSync(file); waited += 20) {
    await new Promise((resolve) => setTimeout(resolve, 20));
  }
  return fs.existsSync(file);
}

test('golden vectors', () => {
  const file = path.join(root, 'tests', 'vectors', 'handover.json');
  const { vectors } = JSON.parse(fs.readFileSync(file, 'utf8'));
  assert.ok(vectors.length > 0);
  for (const v of vectors) {
    if ('commandLine' in v) {
      assert.strictEqual(rh.buildCommandLine(v), v.commandLine);
    } else {
      assert.throws(() => rh.buildCommandLine(v),
        (e) => e instanceof rh.HandoverError && e.field === v.refusedField &&
               e.message === v.refusal);
    }
  }
});

test('golden refusals', () => {
  const file = path.join(root, 'tests', 'vectors', 'handover.json');
  const { refusals } = JSON.parse(fs.readFileSync(file, 'utf8'));
  const held = refusals.filter((r) => r.kind === 'nul' || r.kind === 'surrogate');
  assert.strictEqual(held.length, 5);
  for (const r of held) {
    const request = { launcher: '/r', mutexName: 'm', installPath: '/x', parameters: '',
                      [r.field]: r.value };
    assert.ok(rh.preflight(request).some((p) => p.name === 'invalid-value' && p.field === r.field),
      JSON.stringify(r));
    assert.throws(() => rh.buildCommandLine(request),
      (e) => e instanceof rh.HandoverError && e.field === r.field);
    const result = rh.handOver(request);
    assert.deepStrictEqual([result.ok, result.step, result.problem.field], [false, 1, r.field]);
    if (r.field === 'installPath') {
      assert.throws(() => rh.removeDownloadMark(r.value),
        (e) => e instanceof rh.HandoverError && e.field === 'installPath');
    }
  }
});

test('golden outcome records', () => {
  const file = path.join(root, 'tests', 'vectors', 'outcomes.json');
  const { records } = JSON.parse(fs.readFileSync(file, 'utf8'));
  const folder = fs.mkdtempSync(path.join(os.tmpdir(), 'reinstall-node-'));
  try {
    records.forEach((r, i) => {
      const at = path.join(folder, `${i}.json`);
      if (r.text !== null) fs.writeFileSync(at, r.text);
      const read = rh.readOutcome(at);
      const expected = { ...r };
      delete expected.about;
      delete expected.text;
      assert.deepStrictEqual(read, expected, r.about);
    });
  } finally {
    fs.rmSync(folder, { recursive: true, force: true });
  }
});

test('load can be called again', () => {
  assert.throws(() => rh.load('/nonexistent/libreinstall_handover.so'), /cannot open/);
  // Here no platform package is installed: the binding says which one to install.
  assert.throws(() => rh.locate(), /reinstall-handover-linux-x64 is not installed/);
  rh.load();
  rh.load();
});

test('a platform package built for another architecture is refused', () => {
  const folder = path.join(__dirname, 'node_modules', 'reinstall-handover-linux-x64');
  fs.mkdirSync(folder, { recursive: true });
  try {
    fs.writeFileSync(path.join(folder, 'package.json'), '{"name":"reinstall-handover-linux-x64"}');
    const elf = Buffer.alloc(64);
    elf.write('\x7fELF', 'latin1');
    elf.writeUInt16LE(3, 18);  // i386
    fs.writeFileSync(path.join(folder, 'reinstall'), elf);
    assert.throws(() => rh.locate(), /reinstall is built for ia32, this process is x64/);
  } finally {
    fs.rmSync(folder, { recursive: true, force: true });
  }
});

test('a real hand-over', async () => {
  const folder = fs.mkdtempSync(path.join(os.tmpdir(), 'reinstall-node-'));
  try {
    process.env.XDG_RUNTIME_DIR = folder;
    process.env.STUB_INSTALLER_RECORD = path.join(folder, 'installer.txt');
    const installer = path.join(folder, 'setup');
    fs.copyFileSync(path.join(build, 'tests', 'integration', 'stub_installer'), installer);
    fs.chmodSync(installer, 0o755);
    // Verified: the digest reaches the launcher, which checks it again before it waits.
    const digest = require('node:crypto').createHash('sha256').update(fs.readFileSync(installer))
      .digest('hex');
    process.env.XDG_STATE_HOME = folder;
    const outcomePath = rh.defaultOutcomePath('NodeApp');
    const request = { launcher: path.join(build, 'reinstall'), mutexName: 'node-app',
                      installPath: installer, parameters: '/S /D=x', installSha256: digest,
                      outcomePath };
    const mutex = new rh.ApplicationMutex('node-app');
    assert.throws(() => new rh.ApplicationMutex('node-app'), (e) => e.systemError === 11);
    assert.deepStrictEqual(await rh.preflightAsync(request), []);
    assert.strictEqual(rh.signerOfThisProgram(), '', 'natively nothing is signed');
    assert.strictEqual(rh.removeDownloadMark(installer), false, 'natively nothing is marked');
    // The confirmation runs off the main thread: timers keep firing while it waits.
    let ticks = 0;
    const timer = setInterval(() => { ticks += 1; }, 10);
    const result = await rh.handOverAsync(request, 400);
    clearInterval(timer);
    assert.ok(ticks >= 10, `${ticks} ticks during a 400 ms confirmation`);
    assert.ok(result.ok, result.problem.message);
    assert.ok(result.launcherId > 0);
    assert.ok(!(await waitFor(process.env.STUB_INSTALLER_RECORD, 500)), 'waits for the app');
    mutex.close();  // as app.quit() would
    assert.ok(await waitFor(process.env.STUB_INSTALLER_RECORD, 6000), 'installer started');
    assert.deepStrictEqual(readRecord(process.env.STUB_INSTALLER_RECORD).args, ['/S', '/D=x']);
    let outcome = rh.readOutcome(outcomePath);
    for (let i = 0; i < 50 && outcome.outcome === 'handed-over'; i += 1) {
      await new Promise((resolve) => { setTimeout(resolve, 100); });
      outcome = rh.readOutcome(outcomePath);
    }
    assert.deepStrictEqual([outcome.outcome, outcome.mutexName, outcome.installPath],
      ['installer-started', 'node-app', installer]);
  } finally {
    fs.rmSync(folder, { recursive: true, force: true });
  }
});

test('index.d.ts declares exactly what index.js exports', () => {
  const declared = fs.readFileSync(path.join(__dirname, 'index.d.ts'), 'utf8')
    .match(/^export (?:const|function|class) \w+/gm).map((d) => d.split(' ')[2]);
  assert.deepStrictEqual([...new Set(declared)].sort(), Object.keys(rh).sort());
  assert.deepStrictEqual([...Array(21).keys()].map(rh.codeName),
    fs.readFileSync(path.join(__dirname, 'index.d.ts'), 'utf8').match(/^ {2}\| '[a-z-]+'/gm)
      .map((line) => line.slice(5, -1)));
});

test('problems carry code, field and message', () => {
  const problems = rh.preflight({ launcher: '/nonexistent/reinstall', mutexName: 'a\\b',
                                  installPath: 'setup', parameters: '' });
  assert.deepStrictEqual(problems.map((p) => [p.name, p.field]),
    [['mutex-name-invalid', 'mutexName'], ['install-path-relative', 'installPath'],
     ['launcher-missing', 'launcher']]);
  // Codes only Windows gives come through by their names too.
  assert.deepStrictEqual([14, 16].map(rh.codeName), ['path-too-long', 'install-file-marked']);
  const result = rh.handOver({ launcher: '/nonexistent/reinstall', mutexName: 'm',
                               installPath: '/bin/true' });
  assert.strictEqual(result.ok, false);
  assert.deepStrictEqual([result.step, result.problem.name], [2, 'start-failed']);
});
