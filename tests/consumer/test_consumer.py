"""Installs the build (CONSUMER_BUILD_DIR) under a fresh prefix, then configures and builds
tests/consumer against it with the same toolchain (CONSUMER_TOOLCHAIN, empty natively): the
application finds the package with find_package(reinstall CONFIG REQUIRED), links
reinstall::handover and reinstall::handover_c, and copies reinstall::launcher beside itself."""

import os
import shutil
import subprocess
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
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
            self.assertEqual(out, "interface 2.1\n")


if __name__ == "__main__":
    unittest.main()
