// Hands over to the launcher and quits: node app.js INSTALLER [PARAMETERS [SHA256]]
// In Electron, make the same calls in the main process and end with app.quit().
const rh = require('reinstall-handover');

const MUTEX = 'MyCompany.MyApp';

// 1. At start-up: hold the mutex for as long as the application runs.
const mutex = new rh.ApplicationMutex(MUTEX);
process.on('exit', () => mutex.close()); // in Electron: app.on('will-quit', ...)

// 5. At the next start: how did the last hand-over end? Tell the user when it failed (and
//    compare the running version with the one the update was to install).
const outcomePath = rh.defaultOutcomePath(MUTEX);
const last = rh.readOutcome(outcomePath);
if (last.state !== 'absent' && last.outcome !== 'installer-started') {
  console.error(`the last update: ${last.sentence}`);
}

// [handover]
// 3. Before quitting: check, then start the launcher (both off the main thread).
async function handOver(installPath, parameters, installSha256) {
  const request = { mutexName: MUTEX, installPath, parameters, installSha256, outcomePath };
  const problems = await rh.preflightAsync(request);
  for (const problem of problems) console.error(`${problem.name}: ${problem.message}`);
  if (problems.length > 0) return false;
  const result = await rh.handOverAsync(request);
  if (!result.ok) console.error(result.problem.message);
  return result.ok;
}

// 2. The application runs; it downloads the installer and names what it must be: the SHA-256
//    from its update manifest (signed: installSigner: [rh.signerOfThisProgram()]). Verify, then
//    hand over: the launcher starts exactly these bytes.
handOver(process.argv[2], process.argv[3] || '', process.argv[4] || '').then((ok) => {
  // 4. Quit: the launcher starts the installer once the mutex is gone.
  process.exitCode = ok ? 0 : 1;
});
// [/handover]
