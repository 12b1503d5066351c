"""Installs the build (CONSUMER_BUILD_DIR) under a fresh prefix, then configures and builds
tests/consumer against it with the same toolchain (CONSUMER_TOOLCHAIN, empty natively): the
application finds the package with find_package(reinstall CONFIG REQUIRED), links
reinstall::handover and reinstall::handover_c, and copies reinstall::launcher beside itself.
Then the README's C, C++ and CMake example (examples/use) is built the same way, natively against
the installed build and run for a real hand-over, for Windows against the unpacked release ZIP."""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "tests"))
import records  # noqa: E402
BUILD = os.environ["CONSUMER_BUILD_DIR"]
TOOLCHAIN = os.environ.get("CONSUMER_TOOLCHAIN", "")
WINDOWS = bool(TOOLCHAIN)


class Consumer(unittest.TestCase):
    def test_builds_against_the_installed_package(self):
        work = tempfile.mkdtemp(prefix="reinstall-consumer-", dir=BUILD)
        self.addCleanup(shutil.rmtree, work, ignore_errors=True)
        prefix, build = os.path.join(work, "prefix"), os.path.join(work, "build")
        subprocess.run(["cmake", "--install", BUILD, "--prefix", prefix], check=True,
                       stdout=subprocess.DEVNULL)
        configure = ["cmake", "-S", HERE, "-B", build, "-G", "Ninja",
                     f"-DCMAKE_PREFIX_PATH={prefix}"]
        if TOOLCHAIN:
            # A cross toolchain looks for packages only under its own root: name the folder.
            configure += [f"-DCMAKE_TOOLCHAIN_FILE={TOOLCHAIN}",
                          f"-Dreinstall_DIR={os.path.join(prefix, 'lib', 'cmake', 'reinstall')}"]
        subprocess.run(configure, check=True, stdout=subprocess.DEVNULL)
        subprocess.run(["cmake", "--build", build], check=True, stdout=subprocess.DEVNULL)
        suffix = ".exe" if WINDOWS else ""
        launcher = os.path.join(build, "reinstall" + suffix)
        installed = os.path.join(prefix, "bin", "reinstall" + suffix)
        with open(launcher, "rb") as a, open(installed, "rb") as b:
            self.assertEqual(a.read(), b.read(), "the launcher was copied beside the application")
        for program in ("consumer", "consumer_c"):
            self.assertTrue(os.path.exists(os.path.join(build, program + suffix)), program)
        if not WINDOWS:
            out = subprocess.run([os.path.join(build, "consumer")], capture_output=True,
                                 text=True, check=True).stdout
            self.assertEqual(out, '"C:\\Apps\\reinstall.exe" -saferun=kqz -appmutex=Consumer.Mutex'
                                  ' "-appinstall=C:\\Temp\\setup 2.exe" -installparam=/S\n')
            out = subprocess.run([os.path.join(build, "consumer_c")], capture_output=True,
                                 text=True, check=True).stdout
            self.assertEqual(out, "interface 2.5\n")

    def build_example(self, work, *options):
        build = os.path.join(work, "example")
        configure = ["cmake", "-S", os.path.join(ROOT, "examples", "use"), "-B", build, "-G",
                     "Ninja", *options]
        if TOOLCHAIN:
            configure.append(f"-DCMAKE_TOOLCHAIN_FILE={TOOLCHAIN}")
        subprocess.run(configure, check=True, stdout=subprocess.DEVNULL)
        subprocess.run(["cmake", "--build", build], check=True, stdout=subprocess.DEVNULL)
        return build

    def test_the_readme_example(self):
        if WINDOWS:
            self.builds_against_the_release_zip()
        else:
            self.hands_over_natively()

    def hands_over_natively(self):
        work = tempfile.mkdtemp(prefix="reinstall-example-", dir=BUILD)
        self.addCleanup(shutil.rmtree, work, ignore_errors=True)
        prefix = os.path.join(work, "prefix")
        subprocess.run(["cmake", "--install", BUILD, "--prefix", prefix], check=True,
                       stdout=subprocess.DEVNULL)
        build = self.build_example(work, f"-DCMAKE_PREFIX_PATH={prefix}")
        installer = os.path.join(work, "setup")
        shutil.copy(os.path.join(BUILD, "tests", "integration", "stub_installer"), installer)
        for program in ("myapp", "myapp_c"):
            with self.subTest(program):
                record = os.path.join(work, program + ".txt")
                env = dict(os.environ, XDG_RUNTIME_DIR=work, STUB_INSTALLER_RECORD=record)
                result = subprocess.run([os.path.join(build, program), installer, "/S /D=x",
                                         records.sha256_of(installer)], env=env, capture_output=True, text=True,
                                        timeout=60)
                self.assertEqual(result.returncode, 0, result.stderr)
                installed = records.read(record, 10.0)
                self.assertIsNotNone(installed, "installer started")
                self.assertEqual(installed["args"], ["/S", "/D=x"])

    def builds_against_the_release_zip(self):
        work = tempfile.mkdtemp(prefix="reinstall-example-", dir=BUILD)
        self.addCleanup(shutil.rmtree, work, ignore_errors=True)
        subprocess.run(["cmake", "--build", BUILD, "--target", "package"], check=True,
                       stdout=subprocess.DEVNULL)
        [package] = [n for n in os.listdir(BUILD) if n.endswith(".zip") and "signed" not in n]
        unpacked = os.path.join(work, "zip")
        with zipfile.ZipFile(os.path.join(BUILD, package)) as archive:
            archive.extractall(unpacked)
        build = self.build_example(
            work, f"-Dreinstall_DIR={os.path.join(unpacked, 'lib', 'cmake', 'reinstall')}")
        for name in ("myapp.exe", "myapp_c.exe", "reinstall.exe", "reinstall_handover.dll"):
            self.assertTrue(os.path.exists(os.path.join(build, name)), name)
        with open(os.path.join(build, "reinstall.exe"), "rb") as a, \
                open(os.path.join(unpacked, "reinstall.exe"), "rb") as b:
            self.assertEqual(a.read(), b.read(), "the ZIP's launcher was copied beside the app")


if __name__ == "__main__":
    unittest.main()
