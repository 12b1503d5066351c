#!/usr/bin/env python3
"""Builds the language packages from the release binaries, byte for byte the same for every build
of the same commit, and a SHA256SUMS over them and the release ZIPs.

Usage: make_packages.py OUTPUT_DIR NATIVE_BUILD WINDOWS_X86_BUILD WINDOWS_X64_BUILD

  npm     reinstall-handover-V.tgz and its platform packages -win32-x64, -win32-ia32, -linux-x64
  Python  reinstall_handover-V-py3-none-{win32,win_amd64,manylinux_2_34_x86_64}.whl
  NuGet   Reinstall.Handover.V.nupkg (dotnet pack: lib/netstandard2.0 and net8.0, runtimes/RID/native,
          build targets)
  Go      reinstall-handover-go-vV.zip: a module proxy folder (GOPROXY=file://...) whose module
          embeds each Windows architecture's binaries

Every archive has its entries in a fixed order, the commit's time, fixed owners and permissions.
The native binaries are stripped of their symbols and build id first.
"""

import base64
import gzip
import hashlib
import io
import json
import os
import shutil
import subprocess
import sys
import tarfile
import tempfile
import time

import make_package
import source_info

ROOT = source_info.ROOT
LICENSE = os.path.join(ROOT, "LICENSE")
SUMMARY = "Hand over to the reinstall launcher, which starts an installer once the application quits"
GO_MODULE = "reinstall.example/handover"
CS_ID = "Reinstall.Handover"


def read(path):
    with open(path, "rb") as f:
        return f.read()


def binaries(native, x86, x64, work):
    """The launcher and library of each platform, by platform, under the names the packages
    use; the native ones stripped into `work` first."""
    stripped = {}
    for name in ("reinstall", "libreinstall_handover.so"):
        out = os.path.join(work, name)
        subprocess.run(["strip", "--strip-all", "--remove-section=.note.gnu.build-id",
                        "-o", out, os.path.join(native, name)], check=True)
        stripped[name] = read(out)
    windows = lambda build: {n: read(os.path.join(build, n))
                             for n in ("reinstall.exe", "reinstall_handover.dll")}
    return {"win32-ia32": windows(x86), "win32-x64": windows(x64), "linux-x64": stripped}


def signed_image_parts(image):
    """The parts of a Windows program (a PE file) that its Authenticode signature covers, as
    (offset, length) pairs: all but the checksum field, the certificate table's entry among the
    data directories and the certificate table, which signing writes. None for any other file.
    (The helper's SignedImageParts, include/reinstall/handover.h, reads them the same way.)"""
    number = lambda at, n: int.from_bytes(image[at:at + n], "little") if at + n <= len(image) else 0
    header = number(0x3C, 4)
    if len(image) < 0x40 or image[:2] != b"MZ" or header > len(image) - 24 \
            or image[header:header + 4] != b"PE\0\0":
        return None
    optional = header + 24
    magic = number(optional, 2)
    checksum = optional + 64
    directories = optional + (112 if magic == 0x20B else 96)
    entry = directories + 4 * 8
    if magic not in (0x10B, 0x20B) or number(directories - 4, 4) <= 4 \
            or entry + 8 > optional + number(header + 20, 2) or entry + 8 > len(image):
        return None
    table, length = number(entry, 4), number(entry + 4, 4)
    if length and (table < entry + 8 or table > len(image) or length > len(image) - table):
        return None
    parts = [(0, checksum), (checksum + 4, entry - checksum - 4)]
    if not length:
        return parts + [(entry + 8, len(image) - entry - 8)]
    return parts + [(entry + 8, table - entry - 8), (table + length, len(image) - table - length)]


def launcher_sha256(data):
    """The SHA-256 that names a launcher: of a Windows one's signed image, which stays the same
    when its publisher signs it (or signs it again); of a native one, the whole file."""
    parts = signed_image_parts(data)
    if parts is None:
        return hashlib.sha256(data).hexdigest()
    digest = hashlib.sha256()
    for start, length in parts:
        digest.update(data[start:start + length])
    return digest.hexdigest()


def with_launcher_digest(files):
    """`files` with the launcher's SHA-256 (launcher_sha256) beside it, as sha256sum writes it
    (NAME.sha256): the npm, Python and .NET bindings pass it as the request's launcherSha256 when
    they start the package's own launcher, so that the helper checks the file it holds before
    starting it. (The Go module compiles the digests into its code.)"""
    launcher = "reinstall.exe" if "reinstall.exe" in files else "reinstall"
    digest = launcher_sha256(files[launcher])
    return {**files, f"{launcher}.sha256": f"{digest}  {launcher}\n".encode()}


def write_tgz(path, entries, stamp):
    raw = io.BytesIO()
    with tarfile.open(fileobj=raw, mode="w", format=tarfile.USTAR_FORMAT) as tar:
        for name, data in entries:
            info = tarfile.TarInfo(name)
            info.size, info.mtime, info.mode = len(data), stamp, make_package.mode_of(name)
            info.uid = info.gid = 0
            info.uname = info.gname = ""
            tar.addfile(info, io.BytesIO(data))
    with open(path, "wb") as f, gzip.GzipFile(filename="", mode="wb", fileobj=f, mtime=0,
                                              compresslevel=9) as gz:
        gz.write(raw.getvalue())


def json_bytes(value):
    return (json.dumps(value, indent=2) + "\n").encode()


# npm: a main package that names one package per platform as optional dependencies; npm installs
# the one whose "os" and "cpu" match (or those given with --os and --cpu).
NPM_PLATFORMS = {"win32-x64": ("win32", "x64"), "win32-ia32": ("win32", "ia32"),
                 "linux-x64": ("linux", "x64")}


def npm_packages(out, binaries, version, stamp):
    node = os.path.join(ROOT, "bindings", "node")
    base = json.loads(read(os.path.join(node, "package.json")))
    names = []
    for platform, (os_name, cpu) in NPM_PLATFORMS.items():
        name = f"reinstall-handover-{platform}"
        files = binaries[platform]
        manifest = {"name": name, "version": version,
                    "description": f"The reinstall launcher and its C interface for {platform}",
                    "license": "MIT", "os": [os_name], "cpu": [cpu], "files": sorted(files),
                    "preferUnplugged": True}
        entries = [("package/package.json", json_bytes(manifest)),
                   ("package/LICENSE", read(LICENSE))]
        entries += [(f"package/{n}", files[n]) for n in sorted(files)]
        names.append(f"{name}-{version}.tgz")
        write_tgz(os.path.join(out, names[-1]), entries, stamp)
    manifest = {"name": base["name"], "version": version, "description": base["description"],
                "main": "index.js", "types": "index.d.ts", "license": "MIT",
                "files": ["index.js", "index.d.ts"], "dependencies": base["dependencies"],
                "optionalDependencies": {f"reinstall-handover-{p}": version
                                         for p in NPM_PLATFORMS}}
    entries = [("package/package.json", json_bytes(manifest)), ("package/LICENSE", read(LICENSE)),
               ("package/index.js", read(os.path.join(node, "index.js"))),
               ("package/index.d.ts", read(os.path.join(node, "index.d.ts")))]
    names.append(f"reinstall-handover-{version}.tgz")
    write_tgz(os.path.join(out, names[-1]), entries, stamp)
    return names


# Python: one wheel per platform, tagged py3-none-PLATFORM (ctypes needs no CPython ABI), the
# binaries in reinstall_handover/bin/FOLDER/ (the binding's platform_tag()) and a PyInstaller hook
# registered as an entry point. The native binaries need glibc 2.34 (posix_spawn's closefrom):
# their wheel says so in its manylinux tag.
WHEEL_PLATFORMS = {"win32": ("win32", "win32-ia32"), "win_amd64": ("win_amd64", "win32-x64"),
                   "manylinux_2_34_x86_64": ("linux_x86_64", "linux-x64")}


def record_hash(data):
    return "sha256=" + base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()


def wheels(out, binaries, version, stamp):
    source = os.path.join(ROOT, "bindings", "python", "reinstall_handover")
    package = []
    for folder, _, files in sorted(os.walk(source)):
        for name in sorted(files):
            if name.endswith(".py"):
                path = os.path.join(folder, name)
                package.append(("reinstall_handover/" + os.path.relpath(path, source)
                                .replace(os.sep, "/"), read(path)))
    info = f"reinstall_handover-{version}.dist-info"
    names = []
    for tag, (folder, platform) in WHEEL_PLATFORMS.items():
        files = binaries[platform]
        entries = package + [(f"reinstall_handover/bin/{folder}/{n}", files[n])
                             for n in sorted(files)]
        entries += [
            (f"{info}/METADATA", (f"Metadata-Version: 2.1\nName: reinstall_handover\n"
                                  f"Version: {version}\nSummary: {SUMMARY}\nLicense: MIT\n"
                                  "Requires-Python: >=3.7\n").encode()),
            (f"{info}/WHEEL", (f"Wheel-Version: 1.0\nGenerator: reinstall make_packages\n"
                               f"Root-Is-Purelib: false\nTag: py3-none-{tag}\n").encode()),
            (f"{info}/entry_points.txt",
             b"[pyinstaller40]\nhook-dirs = reinstall_handover.__pyinstaller:get_hook_dirs\n"),
            (f"{info}/top_level.txt", b"reinstall_handover\n"),
            (f"{info}/LICENSE", read(LICENSE)),
        ]
        record = "".join(f"{n},{record_hash(d)},{len(d)}\n" for n, d in entries)
        entries.append((f"{info}/RECORD", (record + f"{info}/RECORD,,\n").encode()))
        names.append(f"reinstall_handover-{version}-py3-none-{tag}.whl")
        make_package.write_zip(os.path.join(out, names[-1]), entries, stamp)
    return names


# NuGet: `dotnet pack` of the binding's project (bindings/csharp), with each runtime's binaries
# laid out for it under FOLDER/RID/ and the commit's time as every entry's time, so that the same
# sources give the same package. Without the .NET SDK there is no NuGet package.
NUGET_RUNTIMES = {"win-x86": "win32-ia32", "win-x64": "win32-x64", "linux-x64": "linux-x64"}


def nuget(out, binaries, version, stamp, work):
    dotnet = shutil.which("dotnet")
    if dotnet is None:
        print("make_packages: the .NET SDK (dotnet) is not installed: no NuGet package",
              file=sys.stderr)
        return []
    native = os.path.join(work, "nuget-native")
    for rid, platform in NUGET_RUNTIMES.items():
        os.makedirs(os.path.join(native, rid))
        for name, data in binaries[platform].items():
            path = os.path.join(native, rid, name)
            with open(path, "wb") as f:
                f.write(data)
            os.chmod(path, make_package.mode_of(name))
    packed = os.path.join(work, "nuget")
    env = dict(os.environ, DOTNET_CLI_TELEMETRY_OPTOUT="1", DOTNET_NOLOGO="1")
    subprocess.run([dotnet, "pack", os.path.join(ROOT, "bindings", "csharp", CS_ID + ".csproj"),
                    "-c", "Release", "--nologo", "-o", packed,
                    "--artifacts-path", os.path.join(work, "dotnet"), f"-p:Version={version}",
                    f"-p:ReinstallNative={native}", f"-p:DeterministicTimestamp={stamp}"],
                   check=True, env=env, stdout=subprocess.DEVNULL)
    name = f"{CS_ID}.{version}.nupkg"
    shutil.copyfile(os.path.join(packed, name), os.path.join(out, name))
    return [name]


# Go: a module whose bundle_windows_ARCH.go embeds that architecture's binaries, in the layout of
# a module proxy (GOPROXY=file:///FOLDER), zipped.
GO_ARCHES = {"amd64": "win32-x64", "386": "win32-ia32"}
GO_BUNDLE = """//go:build windows && {arch}

package reinstall

import _ "embed"

//go:embed bin/windows_{arch}/reinstall.exe
var launcher{arch} []byte

//go:embed bin/windows_{arch}/reinstall_handover.dll
var library{arch} []byte

func init() {{
	bundleVersion = "{version}"
	bundleLauncherSha256 = "{launcher_image_sum}"
	bundle = []bundledFile{{
		{{"reinstall.exe", launcher{arch}, "{launcher_sum}"}},
		{{"reinstall_handover.dll", library{arch}, "{library_sum}"}},
	}}
}}
"""


def go_module(out, binaries, version, stamp):
    semver = "v" + source_info.semver()
    source = os.path.join(ROOT, "bindings", "go")
    prefix = f"{GO_MODULE}@{semver}/"
    module = [(prefix + "LICENSE", read(LICENSE)),
              (prefix + "go.mod", read(os.path.join(source, "go.mod")))]
    for name in sorted(os.listdir(os.path.join(source, "reinstall"))):
        if name.endswith(".go"):
            module.append((prefix + "reinstall/" + name,
                           read(os.path.join(source, "reinstall", name))))
    for arch, platform in GO_ARCHES.items():
        files = binaries[platform]
        sums = {n: hashlib.sha256(d).hexdigest() for n, d in files.items()}
        module.append((f"{prefix}reinstall/bundle_windows_{arch}.go", GO_BUNDLE.format(
            arch=arch, version=version, launcher_sum=sums["reinstall.exe"],
            launcher_image_sum=launcher_sha256(files["reinstall.exe"]),
            library_sum=sums["reinstall_handover.dll"]).encode()))
        module += [(f"{prefix}reinstall/bin/windows_{arch}/{n}", files[n]) for n in sorted(files)]
    inner = io.BytesIO()
    make_package.write_zip(inner, module, stamp)
    at = f"{GO_MODULE}/@v/"
    info = {"Version": semver, "Time": time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(stamp))}
    name = f"reinstall-handover-go-{semver}.zip"
    make_package.write_zip(os.path.join(out, name), [(at + "list", f"{semver}\n".encode()),
                                        (at + f"{semver}.info", json_bytes(info)),
                                        (at + f"{semver}.mod", read(os.path.join(source, "go.mod"))),
                                        (at + f"{semver}.zip", inner.getvalue())], stamp)
    return [name]


def main(out, native, x86, x64):
    version, stamp = source_info.version(), source_info.commit_time()
    os.makedirs(out, exist_ok=True)
    with tempfile.TemporaryDirectory() as work:
        carried = binaries(native, x86, x64, work)
        names = []
        for arch, build in (("x86", x86), ("x64", x64)):
            release = f"reinstall-{version}-windows-{arch}.zip"
            shutil.copyfile(os.path.join(build, release), os.path.join(out, release))
            names.append(release)
        digested = {platform: with_launcher_digest(files) for platform, files in carried.items()}
        names += npm_packages(out, digested, source_info.semver(), stamp)  # three numbers
        names += wheels(out, digested, version, stamp)
        names += nuget(out, digested, version, stamp, work)
        names += go_module(out, carried, version, stamp)
    sums = "".join(f"{hashlib.sha256(read(os.path.join(out, n))).hexdigest()}  {n}\n"
                   for n in sorted(names))
    with open(os.path.join(out, "SHA256SUMS"), "w", encoding="utf-8") as f:
        f.write(sums)
    sys.stdout.write(sums)


if __name__ == "__main__":
    if len(sys.argv) != 5:
        sys.exit(__doc__)
    main(*sys.argv[1:])
