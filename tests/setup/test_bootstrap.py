"""tools/bootstrap against a package manager that fails as real mirrors do: stand-ins for apt-get,
dpkg and dpkg-query on PATH keep the installed packages and architectures in a folder, and the
case says how the mirror behaves. Each case checks what the set-up installed, what it took back,
what it said and its exit code."""

import json
import os
import shutil
import subprocess
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
BOOTSTRAP = os.path.join(HERE, "..", "..", "tools", "bootstrap")

# One program for the three commands, told apart by the name it was started under.
STAND_IN = r'''#!/usr/bin/env python3
import json, os, sys
state = os.environ["FAKE_APT"]
with open(state) as f:
    s = json.load(f)
mirror = s["mirror"]
name, args = os.path.basename(sys.argv[0]), sys.argv[1:]
s["log"].append(" ".join([name] + args))
def done(code=0, error=None):
    if error:
        print("E: " + error, file=sys.stderr)
    with open(state, "w") as f:
        json.dump(s, f)
    sys.exit(code)
if name == "sudo":
    os.execvp(args[0], args)
if name == "ldconfig":
    done()
if name == "dpkg-deb":  # -e DEB DIR: the control files, a postinst that does nothing
    os.makedirs(args[2], exist_ok=True)
    with open(os.path.join(args[2], "postinst"), "w") as f:
        f.write("#!/bin/sh\nexit 0\n")
    done()
if name == "dpkg" and args[0] == "-x":  # DEB DIR: a loader for libwine, the emulator for qemu
    if mirror.get("extraction") == "broken":
        done(2, "dpkg-deb: error: '%s' is not a Debian format archive" % args[1])
    made = {"libwine": ("usr/lib/wine/wine", "#!/bin/sh\n"),
            "qemu-user": ("usr/bin/qemu-i386", "#!/bin/sh\necho qemu-i386 version 10.0\n")}
    for prefix, (path, text) in made.items():
        if os.path.basename(args[1]).startswith(prefix + "_"):
            os.makedirs(os.path.dirname(os.path.join(args[2], path)), exist_ok=True)
            with open(os.path.join(args[2], path), "w") as f:
                f.write(text)
            os.chmod(os.path.join(args[2], path), 0o755)
    done()
if name == "dpkg-query":
    if "-f=${Version}" in args:
        print("8.0~repack-4", end="")
        done()
    pattern = args[-1]
    if pattern == "*:i386":
        print("".join("install ok installed %s\n" % p for p in s["installed"] if p.endswith(":i386")), end="")
        done()
    if pattern in s["installed"]:
        print("install ok installed", end="")
        done()
    done(1)
if name == "dpkg":
    if args == ["--print-foreign-architectures"]:
        print("".join(a + "\n" for a in s["arches"]), end="")
    elif args[0] == "--add-architecture":
        s["arches"].append(args[1])
    elif args[0] == "--remove-architecture":
        if any(p.endswith(":" + args[1]) for p in s["installed"]):
            done(2, "cannot remove architecture in use")
        s["arches"].remove(args[1])
    done()
options, rest, given = {}, [], iter(args)
for a in given:
    if a == "-o":
        key, _, value = next(given).partition("=")
        options[key] = value
    elif not a.startswith("-"):
        rest.append(a)
args = rest
if args[0] == "indextargets":
    print("http://mirror/debian/ bookworm main")
    done()
if "Dir::Cache" in options:  # the emulated Wine's own apt: nothing of the host's changes
    archives = os.path.join(options["Dir::Cache"], "archives")
    if args[0] == "install":
        for deb in ("libwine_8.0_i386.deb", "wine32_8.0_i386.deb"):
            open(os.path.join(archives, deb), "w").close()
    if args[0] == "download":
        if mirror.get("emulator") == "missing":
            done(100, "Failed to fetch http://mirror/debian/pool/main/q/qemu/qemu-user_10.0_amd64.deb"
                      "  404  Not Found [IP: 192.0.2.1 80]")
        open("qemu-user_10.0_amd64.deb", "w").close()
    done()
if args[0] == "update":
    if "i386" in s["arches"] and mirror.get("i386_timeouts", 0) > 0:
        mirror["i386_timeouts"] -= 1
        done(100, "Failed to fetch http://mirror/dists/bookworm/main/binary-i386/Packages.xz"
                  "  Connection timed out")
    if "i386" in s["arches"] and mirror.get("i386_index") == "broken":
        done(100, "Failed to fetch http://mirror/dists/bookworm-security/main/binary-i386/Packages.xz"
                  "  File has unexpected size (374820 != 376004). Mirror sync in progress?")
    done()
if args[0] == "install":
    for p in args[1:]:
        if p.endswith(":i386"):
            if mirror.get("wine32") == "broken":
                s["installed"] += ["libc6:i386", "zlib1g:i386"]
                done(100, "Unable to correct problems, you have held broken packages.")
        elif mirror.get("required") == "missing":
            done(100, "Unable to locate package " + p)
        s["installed"].append(p)
    done()
if args[0] in ("purge", "remove"):
    s["installed"] = [p for p in s["installed"] if p not in args[1:]]
    done()
done(1, "unknown call " + " ".join(args))
'''


class Bootstrap(unittest.TestCase):
    def run_bootstrap(self, mirror, kernel_32bit="1", installed=(), arches=()):
        work = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, work)
        os.makedirs(os.path.join(work, "tools"))
        shutil.copy(BOOTSTRAP, os.path.join(work, "tools", "bootstrap"))
        bin_dir = os.path.join(work, "bin")
        os.makedirs(bin_dir)
        shutil.copy(os.path.join(os.path.dirname(BOOTSTRAP), "wine32-emulated"),
                    os.path.join(work, "tools", "wine32-emulated"))
        for name in ("apt-get", "dpkg", "dpkg-query", "dpkg-deb", "ldconfig", "sudo"):
            with open(os.path.join(bin_dir, name), "w") as f:
                f.write(STAND_IN)
            os.chmod(os.path.join(bin_dir, name), 0o755)
        state = os.path.join(work, "state.json")
        with open(state, "w") as f:
            json.dump({"mirror": mirror, "installed": list(installed), "arches": list(arches),
                       "log": []}, f)
        env = dict(os.environ, PATH=bin_dir + os.pathsep + os.environ["PATH"], FAKE_APT=state,
                   REINSTALL_KERNEL_32BIT=kernel_32bit, REINSTALL_APT_RETRY_SECONDS="0")
        proc = subprocess.run([os.path.join(work, "tools", "bootstrap"), "--windows"], env=env,
                              capture_output=True, text=True, timeout=60)
        with open(state) as f:
            s = json.load(f)
        note = os.path.join(work, "build", "wine32-missing.txt")
        s["note"] = None
        if os.path.exists(note):
            with open(note) as f:
                s["note"] = f.read().strip()
        s["emulated"] = os.path.exists(os.path.join(work, "build", "wine32-emulated", "ready"))
        return proc, s

    def test_each_mirror_failure(self):
        # Where the host's own 32-bit Wine cannot be had, the emulated one is made, or its
        # failure noted: "emulated" is whether build/wine32-emulated/ready is there after.
        unlocated, not_deb = "pool/main/q/qemu/qemu-user_10.0_amd64.deb  404  Not Found", \
            "not a Debian format archive"
        cases = [
            # (what, mirror, kernel, installed, arches,
            #  exit, wine32 installed, emulated, arches after, words said and noted)
            ("the i386 index out of step", {"i386_index": "broken"}, "1", [], [],
             0, False, True, [], None),
            ("wine32 cannot be resolved, nor emulated", {"wine32": "broken", "emulator": "missing"},
             "1", [], [], 0, False, False, [], unlocated),
            ("i386 was there before", {"wine32": "broken"}, "1", [], ["i386"],
             0, False, True, ["i386"], None),
            ("a passing i386 index failure", {"i386_timeouts": 1}, "1", [], [],
             0, True, False, ["i386"], None),
            ("what is required cannot be had", {"required": "missing"}, "1", [], [],
             1, False, False, [], "Unable to locate package"),
            ("no 32-bit kernel", {}, "0", ["wine32:i386"], [],
             0, False, True, [], None),
            ("no 32-bit kernel, no emulator", {"emulator": "missing"}, "0", [], [],
             0, False, False, [], unlocated),
            ("no 32-bit kernel, the packages cannot be extracted", {"extraction": "broken"}, "0",
             [], [], 0, False, False, [], not_deb),
        ]
        for what, mirror, kernel, installed, arches, code, wine32, emulated, arches_after, said \
                in cases:
            with self.subTest(what):
                proc, s = self.run_bootstrap(mirror, kernel, installed, arches)
                self.assertEqual(proc.returncode, code, proc.stderr)
                self.assertEqual("wine32:i386" in s["installed"], wine32)
                self.assertEqual(s["emulated"], emulated, proc.stderr)
                self.assertEqual(s["arches"], arches_after, s["log"])
                if code == 0:
                    self.assertIn("g++-mingw-w64-x86-64-posix", s["installed"])
                    self.assertEqual([p for p in s["installed"] if p.endswith(":i386")],
                                     ["wine32:i386"] if wine32 else [], "half an i386 install")
                if said:
                    self.assertIn(said, proc.stderr)
                    self.assertEqual(len([l for l in proc.stderr.splitlines() if said in l]), 1)
                if code == 0:
                    self.assertEqual(s["note"] is not None and said in s["note"], said is not None)
                    self.assertNotIn("://", s["note"] or "", "no mirror's address is kept")
        # The required packages are installed before i386 is added: a broken i386 index cannot
        # stop them.
        _, s = self.run_bootstrap({"i386_index": "broken"})
        log = s["log"]
        first_install = next(i for i, c in enumerate(log) if " install " in f" {c} ")
        self.assertLess(first_install, log.index("dpkg --add-architecture i386"))


if __name__ == "__main__":
    unittest.main()
