"""The language packages as their users install them. PACKAGES_DIR holds what
tools/make_packages.py made; NATIVE_BUILD, X86_BUILD and X64_BUILD are the builds they came from.
For each ecosystem a scratch project installs the package the way that ecosystem installs
things, and runs the README's example (examples/use), which passes no binary path, for a real
hand-over to a stub installer: natively for npm, Python and NuGet (Mono), under Wine for Go."""

import glob
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "tests"))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
sys.path.insert(0, os.path.join(ROOT, "tools"))
import records  # noqa: E402
from records import sha256_of  # noqa: E402
import source_info  # noqa: E402
import wineharness  # noqa: E402

PACKAGES = os.environ["PACKAGES_DIR"]
NATIVE = os.environ["NATIVE_BUILD"]
EXAMPLES = os.path.join(ROOT, "examples", "use")
VERSION, SEMVER = source_info.version(), source_info.semver()


def architecture(path):
    """x64 or x86 for an ELF file (its machine field) or a PE file."""
    with open(path, "rb") as f:
        head = f.read(20)
    if head[:4] == b"\x7fELF":
        return {62: "x64", 3: "x86"}[int.from_bytes(head[18:20], "little")]
    return wineharness.pe_arch(path)


def package(name):
    path = os.path.join(PACKAGES, name)
    if not os.path.exists(path):
        raise AssertionError(f"{name} was not made: build the packages preset")
    return path


class Consumer(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="reinstall-packages-", dir=PACKAGES)
        self.addCleanup(shutil.rmtree, self.work, ignore_errors=True)
        self.installer = os.path.join(self.work, "setup")
        shutil.copy(os.path.join(NATIVE, "tests", "integration", "stub_installer"),
                    self.installer)

    def run_ok(self, args, **kwargs):
        result = subprocess.run(args, capture_output=True, text=True, timeout=600, **kwargs)
        self.assertEqual(result.returncode, 0, f"{args}\n{result.stdout}{result.stderr}")
        return result

    def run_example(self, args, cwd=None, env=None):
        """Runs the example as the application; returns how it ended and where the installer
        records its start."""
        record = os.path.join(self.work, "installer.txt")
        if os.path.exists(record):
            os.remove(record)  # an earlier run's
        environment = {k: v for k, v in os.environ.items()
                       if k not in ("REINSTALL_HANDOVER_LIBRARY", "LD_LIBRARY_PATH")}
        environment.update(XDG_RUNTIME_DIR=self.work, STUB_INSTALLER_RECORD=record, **(env or {}))
        # Verify, then hand over: the installer's digest, as an update manifest would give it.
        return subprocess.run([*args, self.installer, "/S /D=x", sha256_of(self.installer)],
                              cwd=cwd, env=environment, capture_output=True, text=True,
                              timeout=600), record

    def assertHandsOver(self, args, cwd=None, env=None):
        """Runs the example as the application and checks that the installer got started."""
        result, record = self.run_example(args, cwd, env)
        self.assertEqual(result.returncode, 0, f"{args}\n{result.stdout}{result.stderr}")
        installed = records.read(record, wineharness.STARTED)
        self.assertIsNotNone(installed, "installer started")
        self.assertEqual(installed["args"], ["/S", "/D=x"])

    def assertRefusesAChangedLauncher(self, launcher, args, cwd=None, env=None):
        """With the package's launcher changed after it was installed, or its recorded digest
        emptied, the example is told launcher-changed and nothing is started; each is put back
        afterwards."""
        with open(launcher + ".sha256") as f:
            self.assertRegex(f.read(),
                             r"^[0-9a-f]{64}  " + re.escape(os.path.basename(launcher)) + "\n$")
        # Replaced, not written in place: the earlier hand-over's launcher may still be running.
        changed, genuine = launcher + ".changed", launcher + ".genuine"
        shutil.copy2(launcher, changed)
        with open(changed, "ab") as f:
            f.write(b"\0")
        os.rename(launcher, genuine)
        os.rename(changed, launcher)
        try:
            result, record = self.run_example(args, cwd, env)
        finally:
            os.replace(genuine, launcher)
        self.assertNotEqual(result.returncode, 0, result.stdout)
        self.assertIn("launcher-changed", result.stderr)
        self.assertFalse(os.path.exists(record), "nothing was started")
        os.replace(launcher + ".sha256", launcher + ".sha256.kept")
        try:
            open(launcher + ".sha256", "w").close()
            result, record = self.run_example(args, cwd, env)
        finally:
            os.replace(launcher + ".sha256.kept", launcher + ".sha256")
        self.assertIn("launcher-changed", result.stderr, "an empty digest file is not no check")
        self.assertFalse(os.path.exists(record), "nothing was started")


class Npm(Consumer):
    def npm(self):
        """npm, or a newer one from the registry where this one lacks --os and --cpu (9.6)."""
        version = subprocess.run(["npm", "--version"], capture_output=True, text=True).stdout
        major, minor = (int(x) for x in version.split(".")[:2])
        return ["npm"] if (major, minor) >= (9, 6) else ["npx", "--yes", "npm@10"]

    def project(self, name):
        folder = os.path.join(self.work, name)
        os.makedirs(folder)
        tarball = lambda n: "file:" + package(f"{n}-{SEMVER}.tgz")
        platforms = ("win32-x64", "win32-ia32", "linux-x64")
        with open(os.path.join(folder, "package.json"), "w") as f:
            json.dump({"name": name, "version": "1.0.0", "private": True,
                       "dependencies": {"reinstall-handover": tarball("reinstall-handover")},
                       # The platform packages come from here, not from the registry.
                       "overrides": {f"reinstall-handover-{p}": tarball(f"reinstall-handover-{p}")
                                     for p in platforms}}, f)
        return folder

    def installed(self, folder):
        return sorted(n for n in os.listdir(os.path.join(folder, "node_modules"))
                      if n.startswith("reinstall-handover"))

    def test_each_platform_gets_its_own_package(self):
        quiet = ["--no-audit", "--no-fund", "--no-package-lock"]
        # Here: only linux-x64, and the example hands over with no path given.
        app = self.project("app")
        self.run_ok([*self.npm(), "install", *quiet], cwd=app)
        self.assertEqual(self.installed(app), ["reinstall-handover", "reinstall-handover-linux-x64"])
        shutil.copy(os.path.join(EXAMPLES, "app.js"), app)
        self.assertHandsOver(["node", "app.js"], cwd=app)
        self.assertRefusesAChangedLauncher(
            os.path.join(app, "node_modules", "reinstall-handover-linux-x64", "reinstall"),
            ["node", "app.js"], cwd=app)

        # For Windows x64: only win32-x64, with x64 binaries.
        win = self.project("win")
        self.run_ok([*self.npm(), "install", "--os=win32", "--cpu=x64", *quiet], cwd=win)
        self.assertEqual(self.installed(win), ["reinstall-handover", "reinstall-handover-win32-x64"])
        files = os.path.join(win, "node_modules", "reinstall-handover-win32-x64")
        for name in ("reinstall.exe", "reinstall_handover.dll"):
            self.assertEqual(architecture(os.path.join(files, name)), "x64", name)

        # Packed into app.asar with the platform package left out as the README says: the
        # binding's path inside the archive leads to the file left out of it, on Windows and on
        # Linux (whose launcher has no extension to match).
        tools = os.path.join(self.work, "tools")
        os.makedirs(tools)
        self.run_ok(["npm", "install", "--prefix", tools, *quiet, "@electron/asar@3"])
        asar = os.path.join(tools, "node_modules", ".bin", "asar")
        for project, platform, launcher in ((win, "win32-x64", "reinstall.exe"),
                                            (app, "linux-x64", "reinstall")):
            archive = os.path.join(self.work, platform, "app.asar")
            self.run_ok([asar, "pack", project, archive,
                         "--unpack-dir", "node_modules/reinstall-handover-*"])
            folder = os.path.join("node_modules", f"reinstall-handover-{platform}")
            listed = self.run_ok([asar, "list", archive]).stdout.splitlines()
            self.assertIn(f"/{folder}/{launcher}", listed)
            unpacked = self.run_ok(["node", "-e", "process.stdout.write(require("
                                    "'reinstall-handover').unpackedPath(process.argv[1]))",
                                    os.path.join(archive, folder, launcher)], cwd=app).stdout
            self.assertEqual(unpacked, os.path.join(archive + ".unpacked", folder, launcher))
            with open(unpacked, "rb") as a, open(os.path.join(project, folder, launcher), "rb") as b:
                self.assertEqual(a.read(), b.read())


class Python(Consumer):
    def test_wheels_install_and_the_native_one_hands_over(self):
        venv = os.path.join(self.work, "venv")
        self.run_ok([sys.executable, "-m", "venv", venv])
        pip = [os.path.join(venv, "bin", "python"), "-m", "pip", "--disable-pip-version-check",
               "--no-input", "-q"]
        self.run_ok([*pip, "install", "--no-index",
                     package(f"reinstall_handover-{VERSION}-py3-none-manylinux_2_34_x86_64.whl")])
        # The tag promises glibc 2.34 at most: no binary may ask for a newer symbol.
        native = os.path.join(venv, "lib", f"python{sys.version_info[0]}.{sys.version_info[1]}",
                              "site-packages", "reinstall_handover", "bin", "linux_x86_64")
        for name in (n for n in os.listdir(native) if not n.endswith(".sha256")):
            symbols = subprocess.run(["objdump", "-T", os.path.join(native, name)], check=True,
                                     capture_output=True, text=True).stdout
            versions = [tuple(map(int, v.split(".")))
                        for v in re.findall(r"GLIBC_([\d.]+)", symbols)]
            self.assertEqual(max(versions), (2, 34), name)
        example = [os.path.join(venv, "bin", "python"), os.path.join(EXAMPLES, "app.py")]
        self.assertHandsOver(example, cwd=self.work)
        self.assertRefusesAChangedLauncher(os.path.join(native, "reinstall"), example,
                                           cwd=self.work)

        # A Windows wheel installed for another platform holds that architecture's binaries.
        for tag, arch in (("win_amd64", "x64"), ("win32", "x86")):
            target = os.path.join(self.work, tag)
            self.run_ok([*pip, "install", "--platform", tag, "--only-binary=:all:", "--no-index",
                         "--find-links", PACKAGES, "--target", target, "reinstall_handover"])
            bin_folder = os.path.join(target, "reinstall_handover", "bin")
            self.assertEqual(os.listdir(bin_folder), [tag])
            for name in ("reinstall.exe", "reinstall_handover.dll"):
                self.assertEqual(architecture(os.path.join(bin_folder, tag, name)), arch, name)
            hook = os.path.join(target, "reinstall_handover", "__pyinstaller",
                                "hook-reinstall_handover.py")
            self.assertTrue(os.path.exists(hook), "the PyInstaller hook")


class NuGet(Consumer):
    """The package as .NET developers take it: `dotnet add package` into a new console project
    with the README's App.cs, run natively and published for Windows; and into a .NET Framework
    project, whose program Mono runs."""

    # Wine 8 cannot start a single-file .NET program: it lacks the "placeholder" memory
    # reservations CoreCLR asks for there (HRESULT 0x80070057), and the runtime fails to start.
    WINE_CANNOT_RUN_SINGLE_FILE = "Failed to create CoreCLR"

    def setUp(self):
        super().setUp()
        if shutil.which("dotnet") is None:
            self.skipTest("the .NET SDK (dotnet) is not installed")
        # NuGet keeps a package by id and version once restored: this build's, never an older
        # one of the same version.
        cache = os.path.join(PACKAGES, "nuget-cache")
        shutil.rmtree(os.path.join(cache, "reinstall.handover"), ignore_errors=True)
        self.env = {"DOTNET_CLI_TELEMETRY_OPTOUT": "1", "DOTNET_NOLOGO": "1",
                    "NUGET_PACKAGES": cache}
        # The build's package folder as a local feed, as the README says.
        self.dotnet("new", "nugetconfig", cwd=self.work)
        self.dotnet("nuget", "add", "source", PACKAGES, "--name", "reinstall", "--configfile",
                    "nuget.config", cwd=self.work)

    def dotnet(self, *args, cwd):
        return self.run_ok(["dotnet", *args], cwd=cwd, env=dict(os.environ, **self.env))

    def test_the_package_layout_and_a_framework_program_on_mono(self):
        name = f"Reinstall.Handover.{VERSION}.nupkg"
        with zipfile.ZipFile(package(name)) as nupkg:
            files = set(nupkg.namelist())
            nuspec = nupkg.read("Reinstall.Handover.nuspec").decode()
            targets = nupkg.read("buildTransitive/Reinstall.Handover.targets").decode()
            nupkg.extractall(os.path.join(self.work, "package"))
        native = {f"runtimes/{rid}/native/{n}" for rid in ("win-x86", "win-x64")
                  for n in ("reinstall.exe", "reinstall.exe.sha256", "reinstall_handover.dll")}
        native |= {f"runtimes/linux-x64/native/{n}"
                   for n in ("reinstall", "reinstall.sha256", "libreinstall_handover.so")}
        managed = {f"lib/{tfm}/Reinstall.Handover.{ext}" for tfm in ("netstandard2.0", "net8.0")
                   for ext in ("dll", "xml")}
        self.assertEqual(files, native | managed | {
            "Reinstall.Handover.nuspec", "README.md", "build/Reinstall.Handover.targets",
            "buildTransitive/Reinstall.Handover.targets", "[Content_Types].xml", "_rels/.rels",
            "package/services/metadata/core-properties/nuget.psmdcp"})
        for element in ("<id>Reinstall.Handover</id>", f"<version>{VERSION}</version>",
                        '<license type="expression">MIT</license>', "<readme>README.md</readme>",
                        '<group targetFramework=".NETStandard2.0" />',
                        '<group targetFramework="net8.0" />'):
            self.assertIn(element, nuspec)
        self.assertIn(r"$(MSBuildThisFileDirectory)..\runtimes\**\native\*", targets)
        for rid, arch in (("win-x86", "x86"), ("win-x64", "x64"), ("linux-x64", "x64")):
            folder = os.path.join(self.work, "package", "runtimes", rid, "native")
            self.assertEqual({architecture(os.path.join(folder, n)) for n in os.listdir(folder)
                              if not n.endswith(".sha256")}, {arch}, rid)

        # A .NET Framework program (net462) built by the SDK: the package's targets lay out
        # runtimes/RID/native/ beside it, and Mono runs it as .NET Framework would.
        app = os.path.join(self.work, "framework")
        os.makedirs(app)
        with open(os.path.join(app, "App.csproj"), "w") as f:
            f.write('<Project Sdk="Microsoft.NET.Sdk"><PropertyGroup><OutputType>Exe</OutputType>'
                    '<TargetFramework>net462</TargetFramework></PropertyGroup></Project>\n')
        shutil.copy(os.path.join(EXAMPLES, "App.cs"), app)
        self.dotnet("add", "package", "Reinstall.Handover", "--version", VERSION, cwd=app)
        self.dotnet("build", "-o", os.path.join(app, "out"), cwd=app)
        for rid in ("win-x86", "win-x64", "linux-x64"):
            self.assertEqual(sorted(os.listdir(os.path.join(app, "out", "runtimes", rid, "native"))),
                             sorted(os.listdir(os.path.join(self.work, "package", "runtimes", rid,
                                                            "native"))), rid)
        self.assertHandsOver(["mono", os.path.join(app, "out", "App.exe")], cwd=self.work)

    def test_a_new_project_adds_runs_and_publishes_it(self):
        app = os.path.join(self.work, "app")
        self.dotnet("new", "console", "-o", app, "--framework", "net10.0", cwd=self.work)
        self.dotnet("add", "package", "Reinstall.Handover", "--version", VERSION, cwd=app)
        os.remove(os.path.join(app, "Program.cs"))
        shutil.copy(os.path.join(EXAMPLES, "App.cs"), app)
        self.assertHandsOver(["dotnet", "run", "--"], cwd=app, env=self.env)

        # Published as one file natively: the assembly has no file of its own there, and the
        # program, started from another folder, still finds the launcher beside it.
        single = os.path.join(self.work, "linux-single-file")
        self.dotnet("publish", "-r", "linux-x64", "--self-contained", "-o", single,
                    "-p:PublishSingleFile=true", cwd=app)
        self.assertFalse(os.path.exists(os.path.join(single, "Reinstall.Handover.dll")))
        self.assertHandsOver([os.path.join(single, "app")], cwd=self.work)
        self.assertRefusesAChangedLauncher(os.path.join(single, "reinstall"),
                                           [os.path.join(single, "app")], cwd=self.work)

        # Published for Windows, in a folder and as one file: the launcher and the library
        # land beside the program.
        published = {}
        for kind, options in (("folder", []), ("single-file", ["-p:PublishSingleFile=true"])):
            out = published[kind] = os.path.join(self.work, kind)
            self.dotnet("publish", "-r", "win-x64", "--self-contained", "-o", out, *options,
                        cwd=app)
            self.assertTrue(os.path.exists(os.path.join(out, "app.exe")), kind)
            for name in ("reinstall.exe", "reinstall_handover.dll"):
                self.assertEqual(architecture(os.path.join(out, name)), "x64", f"{kind} {name}")

        # Under Wine x64 the folder-published program hands over to a Windows installer (.NET
        # programs need Wine's mscoree, which the harness turns off for the others): as
        # published, with its launcher signed by the publisher, and, as the control, with one
        # code byte of the launcher changed, which is launcher-changed and starts nothing.
        wine = wineharness.Wine(os.environ["X64_BUILD"])
        installer = os.path.join(self.work, "setup.exe")
        shutil.copy(wine.stub, installer)
        record = os.path.join(self.work, "installer.txt")
        launcher = os.path.join(published["folder"], "reinstall.exe")
        env = dict(wine.env, WINEDLLOVERRIDES="mshtml=",
                   STUB_INSTALLER_RECORD=wineharness.win_path(record))

        def hand_over(kind):
            if os.path.exists(record):
                os.remove(record)
            return wine.run(os.path.join(published[kind], "app.exe"),
                            wineharness.win_path(installer), "/S /D=x", sha256_of(installer),
                            env=env, capture_output=True, text=True, timeout=300)

        with wine:
            for what in ("as published", "signed by the publisher", "one code byte changed"):
                with self.subTest(what):
                    if what == "signed by the publisher":
                        self.sign(launcher)
                    elif what == "one code byte changed":
                        changed = wineharness.code_byte_changed(launcher)
                        with open(launcher, "wb") as f:
                            f.write(changed)
                    result = hand_over("folder")
                    installed = records.read(record, 0.5 if what == "one code byte changed"
                                             else wineharness.STARTED)
                    if what == "one code byte changed":
                        self.assertNotEqual(result.returncode, 0, result.stdout)
                        self.assertIn("launcher-changed", result.stderr)
                        self.assertIsNone(installed, "nothing was started")
                        continue
                    self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
                    self.assertIsNotNone(installed, "installer started")
                    self.assertTrue(installed["cmdline"].endswith(" /S /D=x"),
                                    installed["cmdline"])
            # One file: where this Wine can start such a program at all.
            with self.subTest("single-file"):
                result = hand_over("single-file")
                if result.returncode != 0 and self.WINE_CANNOT_RUN_SINGLE_FILE in result.stderr:
                    self.skipTest("this Wine cannot start a single-file .NET program: " +
                                  result.stderr.strip().splitlines()[-1])
                self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
                self.assertIsNotNone(records.read(record, wineharness.STARTED), "installer started")

    def sign(self, program):
        """Signs `program` in place as its publisher would, with a certificate of this test's
        own."""
        keys = os.path.join(self.work, "keys")
        os.makedirs(keys, exist_ok=True)
        self.run_ok(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout",
                     "key.pem", "-out", "cert.pem", "-days", "30", "-subj",
                     "/CN=reinstall test publisher", "-addext", "extendedKeyUsage=codeSigning"],
                    cwd=keys)
        self.run_ok(["osslsigncode", "sign", "-certs", os.path.join(keys, "cert.pem"), "-key",
                     os.path.join(keys, "key.pem"), "-h", "sha256", "-in", program, "-out",
                     program + ".signed"])
        os.replace(program + ".signed", program)


class Go(Consumer):
    def build(self, goarch):
        """examples/use/go built for windows/GOARCH against the module from its proxy folder."""
        proxy = os.path.join(self.work, "proxy")
        with zipfile.ZipFile(package(f"reinstall-handover-go-v{SEMVER}.zip")) as z:
            z.extractall(proxy)
        app = os.path.join(self.work, "app")
        shutil.copytree(os.path.join(EXAMPLES, "go"), app)
        env = dict(os.environ, GOPROXY="file://" + proxy, GONOSUMDB="reinstall.example",
                   GOFLAGS="-mod=mod", GOOS="windows", GOARCH=goarch, CGO_ENABLED="0",
                   GOMODCACHE=os.path.join(self.work, "modcache"),
                   GOCACHE=os.path.join(PACKAGES, "go-cache"))
        self.addCleanup(subprocess.run, ["go", "clean", "-modcache"], env=env,
                        capture_output=True)
        self.run_ok(["go", "build", "-o", "myapp.exe", "."], cwd=app, env=env)
        return os.path.join(app, "myapp.exe")

    def hand_over_under_wine(self, goarch, build):
        wine = wineharness.Wine(build)
        host = wine.host()
        if not host["runs"]:
            if host["arch"] == "x64":
                self.fail(f"this host runs no 64-bit Windows programs: {host['reason']}")
            self.skipTest(host["reason"])
        program = self.build(goarch)
        installer = os.path.join(self.work, "setup.exe")
        shutil.copy(wine.stub, installer)
        record = os.path.join(self.work, "installer.txt")
        with wine:
            cache = os.path.join(wine.prefix, "drive_c", "users", "*", "AppData", "Local",
                                 "reinstall-handover", VERSION, f"windows_{goarch}")
            for attempt in ("fresh", "replaced"):
                with self.subTest(attempt):
                    if attempt == "replaced":
                        [folder] = glob.glob(cache)
                        with open(os.path.join(folder, "reinstall.exe"), "wb") as f:
                            f.write(b"MZ not the launcher")
                        os.remove(record)
                    result = wine.run(program, wineharness.win_path(installer), "/S /D=x",
                                      sha256_of(installer),
                                      env=dict(wine.env, STUB_INSTALLER_RECORD=wineharness
                                               .win_path(record)),
                                      capture_output=True, text=True, timeout=300)
                    self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
                    installed = records.read(record, wineharness.STARTED)
                    self.assertIsNotNone(installed, "installer started")
                    self.assertTrue(installed["cmdline"].endswith(" /S /D=x"))
                    [folder] = glob.glob(cache)
                    with open(os.path.join(folder, "reinstall.exe"), "rb") as a, \
                            open(wine.launcher, "rb") as b:
                        self.assertEqual(a.read(), b.read(), "the launcher as carried")

    def test_amd64_hands_over_under_wine_and_rewrites_a_replaced_launcher(self):
        self.hand_over_under_wine("amd64", os.environ["X64_BUILD"])

    def test_386_hands_over_under_wine_and_rewrites_a_replaced_launcher(self):
        self.hand_over_under_wine("386", os.environ["X86_BUILD"])


if __name__ == "__main__":
    unittest.main()
