"""The release of one Windows build (RELEASE_BUILD_DIR, RELEASE_ARCH): its package with the SPDX
bill of materials, signed with a throwaway certificate by tools/sign-release, verified, the
unsigned bytes recovered by removing the signatures, and the signed launcher handing over under
Wine."""

import hashlib
import json
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
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
sys.path.insert(0, os.path.join(ROOT, "tools"))
import source_info  # noqa: E402
import wineharness  # noqa: E402
from wineharness import win_path  # noqa: E402

BUILD = os.environ["RELEASE_BUILD_DIR"]
ARCH = os.environ["RELEASE_ARCH"]
VERSION = source_info.version()
PACKAGE = os.path.join(BUILD, f"reinstall-{VERSION}-windows-{ARCH}.zip")
SIGNED = PACKAGE[:-4] + "-signed.zip"
BINARIES = ("reinstall.exe", "reinstall_handover.dll")
WORK = tempfile.mkdtemp(prefix="reinstall-release-", dir=BUILD)
# What the build was given: REINSTALL_SOURCE_COMMIT, the checkout's HEAD, or nothing at all (a
# source archive), in which case the bill of materials says "unknown".
SOURCE_COMMIT = (os.environ.get("REINSTALL_SOURCE_COMMIT")
                 or (subprocess.run(["git", "-C", ROOT, "rev-parse", "HEAD"], capture_output=True,
                                    text=True).stdout.strip()
                     if os.path.exists(os.path.join(ROOT, ".git")) else "")
                 or "unknown")


def setUpModule():
    subprocess.run(["cmake", "--build", BUILD, "--target", "package"], check=True,
                   stdout=subprocess.DEVNULL)
    key, cert = os.path.join(WORK, "key.pem"), os.path.join(WORK, "cert.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key,
                    "-out", cert, "-days", "2", "-subj", "/CN=reinstall throwaway signing",
                    "-addext", "extendedKeyUsage=codeSigning",
                    "-addext", "keyUsage=digitalSignature"], check=True, capture_output=True)


def tearDownModule():
    shutil.rmtree(WORK, ignore_errors=True)


def entries(path):
    with zipfile.ZipFile(path) as archive:
        return {name: archive.read(name) for name in archive.namelist()}


def sign(*credentials):
    return subprocess.run([os.path.join(ROOT, "tools", "sign-release"), *credentials, PACKAGE],
                          capture_output=True, text=True, check=True).stdout


class Release(unittest.TestCase):
    def assertSbomDescribes(self, files):
        """The package's SPDX 2.3 document: its required fields, every reference resolving, the
        statically linked libraries with Debian versions and licences, and the checksums of
        the files beside it."""
        name = f"reinstall-{VERSION}-windows-{ARCH}.spdx.json"
        sbom = json.loads(files[name])
        for field in ("spdxVersion", "dataLicense", "SPDXID", "name", "documentNamespace",
                      "creationInfo", "packages", "files", "relationships"):
            self.assertIn(field, sbom)
        self.assertEqual(sbom["spdxVersion"], "SPDX-2.3")
        self.assertEqual(sbom["dataLicense"], "CC0-1.0")
        self.assertRegex(sbom["creationInfo"]["created"], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ$")
        self.assertIn(f"Built from commit {SOURCE_COMMIT} ", sbom["creationInfo"]["comment"])
        ids = {p["SPDXID"] for p in sbom["packages"]} | {f["SPDXID"] for f in sbom["files"]}
        ids.add("SPDXRef-DOCUMENT")
        for element in sbom["packages"] + sbom["files"]:
            self.assertRegex(element["SPDXID"], r"^SPDXRef-[A-Za-z0-9.-]+$")
        for relation in sbom["relationships"]:
            self.assertIn(relation["spdxElementId"], ids)
            self.assertIn(relation["relatedSpdxElement"], ids)
        packages = {p["name"]: p for p in sbom["packages"]}
        self.assertEqual(packages["reinstall"]["versionInfo"], VERSION)
        for library in ("libstdc++", "libgcc", "mingw-w64-crt", "winpthreads"):
            self.assertRegex(packages[library]["versionInfo"], r"^\d[\w.+~:-]*$", library)
            self.assertNotEqual(packages[library]["licenseDeclared"], "NOASSERTION")
        for binary in BINARIES:
            linked = [r["relatedSpdxElement"] for r in sbom["relationships"]
                      if r["spdxElementId"] == f"SPDXRef-File-{binary.replace('_', '-')}"
                      and r["relationshipType"] == "STATIC_LINK"]
            self.assertEqual(len(linked), 4, binary)
        for entry in sbom["files"]:
            data = files[entry["fileName"][2:]]
            sums = {c["algorithm"]: c["checksumValue"] for c in entry["checksums"]}
            self.assertEqual(sums["SHA1"], hashlib.sha1(data).hexdigest())
            self.assertEqual(sums["SHA256"], hashlib.sha256(data).hexdigest())

    def assertSumsMatch(self, files):
        sums = dict(reversed(line.split("  ", 1))
                    for line in files["SHA256SUMS"].decode().splitlines())
        self.assertEqual(set(sums), set(files) - {"SHA256SUMS"})
        for name, digest in sums.items():
            self.assertEqual(hashlib.sha256(files[name]).hexdigest(), digest, name)

    def test_the_package_holds_its_bill_of_materials(self):
        files = entries(PACKAGE)
        headers = {f"include/reinstall/{h}" for h in (
            "handover.h", "command_line.h", "handover_c.h", "outcome.h", "detail/handover_win32.h",
            "detail/handover_posix.h", "detail/spawn_posix.h", "detail/zone_identifier.h",
            "detail/cng_win32.h", "detail/libcrypto_posix.h")}
        lib = {"lib/reinstall_handover.dll.a", "lib/reinstall_handover.def",
               "lib/cmake/reinstall/reinstallConfig.cmake",
               "lib/cmake/reinstall/reinstallConfigVersion.cmake"}
        self.assertEqual(set(files), {*BINARIES, *headers, *lib, "README.md", "LICENSE",
                                      "SHA256SUMS", f"reinstall-{VERSION}-windows-{ARCH}.spdx.json"})
        self.assertSumsMatch(files)
        self.assertSbomDescribes(files)

    def test_signed_with_a_certificate_and_key(self):
        out = sign("--cert", os.path.join(WORK, "cert.pem"), "--key", os.path.join(WORK, "key.pem"))
        self.assertEqual(out.count("unsigned bytes recovered exactly"), 2, out)
        unsigned, signed = entries(PACKAGE), entries(SIGNED)
        self.assertEqual(set(signed), set(unsigned))
        self.assertSumsMatch(signed)
        self.assertSbomDescribes(signed)
        for binary in BINARIES:
            self.assertNotEqual(signed[binary], unsigned[binary])
            path = os.path.join(WORK, binary)
            with open(path, "wb") as f:
                f.write(signed[binary])
            verified = subprocess.run(["osslsigncode", "verify", "-CAfile",
                                       os.path.join(WORK, "cert.pem"), "-in", path],
                                      capture_output=True, text=True)
            self.assertEqual(verified.returncode, 0, verified.stdout + verified.stderr)
            self.assertIn("Signature verification: ok", verified.stdout)
            stripped = path + ".stripped"
            subprocess.run(["osslsigncode", "remove-signature", "-in", path, "-out", stripped],
                           check=True, capture_output=True)
            with open(stripped, "rb") as f:
                self.assertEqual(f.read(), unsigned[binary], "unsigned bytes recovered")
        for name in set(unsigned) - set(BINARIES) - {"SHA256SUMS"} - {
                f"reinstall-{VERSION}-windows-{ARCH}.spdx.json"}:
            self.assertEqual(signed[name], unsigned[name], name)

    def test_signed_with_a_pkcs12_file(self):
        p12, password = os.path.join(WORK, "signer.p12"), os.path.join(WORK, "password")
        with open(password, "w") as f:
            f.write("throwaway\n")
        subprocess.run(["openssl", "pkcs12", "-export", "-out", p12, "-inkey",
                        os.path.join(WORK, "key.pem"), "-in", os.path.join(WORK, "cert.pem"),
                        "-passout", f"file:{password}"], check=True, capture_output=True)
        out = sign("--pkcs12", p12, "--pass-file", password)
        self.assertEqual(out.count("unsigned bytes recovered exactly"), 2, out)
        self.assertSumsMatch(entries(SIGNED))


class SignedLauncher(unittest.TestCase):
    """The signed reinstall.exe, run under Wine, hands over like the unsigned one."""

    def test_the_signed_launcher_hands_over(self):
        sign("--cert", os.path.join(WORK, "cert.pem"), "--key", os.path.join(WORK, "key.pem"))
        folder = os.path.join(WORK, "signed")
        os.makedirs(folder, exist_ok=True)
        with zipfile.ZipFile(SIGNED) as archive:
            archive.extract("reinstall.exe", folder)
        launcher = os.path.join(folder, "reinstall.exe")
        installer = os.path.join(folder, "setup.exe")
        with wineharness.Wine(BUILD) as wine:
            shutil.copy(wine.stub, installer)
            run = wine.call(folder, installer_wait=wineharness.STARTED, image=launcher, name="SignedRelease",
                            hold_ms=1000, launcher=win_path(launcher), cwd=win_path(folder),
                            via="helper", install=win_path(installer), params="/S")
        self.assertEqual(run.code, 0, wineharness.caller_exit(run.code))
        self.assertEqual(run.record["code"], "none", run.record.get("message"))
        self.assertIsNotNone(run.installer, "the signed launcher started the installer")
        self.assertGreaterEqual(float(run.installer["time"]) - float(run.record["released"]), 2000)
        self.assertEqual(run.installer["args"], ["/S"])

if __name__ == "__main__":
    unittest.main()
