#!/usr/bin/env python3
"""The release's PE policy: fails unless reinstall.exe (or reinstall_handover.dll) is built as
released. Usage: check_pe.py FILE ARCH MANIFEST   (ARCH x86 or x64; MANIFEST res/reinstall.manifest)

Checks the machine type; the GUI subsystem (executable); ASLR with relocations, DEP, and
high-entropy ASLR on x64; Control Flow Guard (noted, not required: mingw-w64's GCC 12 has no
-mguard=cf); exactly the runtime's TLS callbacks; exactly the allowed imports; and, for the
executable, the manifest and the version block."""

import re
import sys

try:
    import pefile
except ImportError:  # Debian's python3-pefile, for a Python that is not Debian's own
    sys.path.append("/usr/lib/python3/dist-packages")
    import pefile

MACHINES = {"x86": 0x14C, "x64": 0x8664}
IMPORTS = {"exe": {"KERNEL32.dll", "USER32.dll", "SHELL32.dll", "msvcrt.dll"},
           "dll": {"KERNEL32.dll", "msvcrt.dll"}}
RUNTIME_TLS_CALLBACKS = 3  # mingw-w64's C runtime and winpthreads
VERSION = "1.0.0.23"
STRINGS = {"FileVersion": "1.0.0.23", "ProductVersion": "1.0.0.0"}

failures = []


def check(condition, what):
    print(("ok: " if condition else "FAILED: ") + what)
    if not condition:
        failures.append(what)


def tls_callbacks(pe, pointer):
    tls = getattr(pe, "DIRECTORY_ENTRY_TLS", None)
    if tls is None or not tls.struct.AddressOfCallBacks:
        return 0
    rva = tls.struct.AddressOfCallBacks - pe.OPTIONAL_HEADER.ImageBase
    count = 0
    while (pe.get_dword_at_rva(rva) if pointer == 4 else pe.get_qword_at_rva(rva)) != 0:
        count += 1
        rva += pointer
    return count


def manifest_text(pe):
    resources = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
    for entry in resources.entries if resources else []:
        if entry.id == pefile.RESOURCE_TYPE["RT_MANIFEST"]:
            data = entry.directory.entries[0].directory.entries[0].data.struct
            return pe.get_data(data.OffsetToData, data.Size).decode("utf-8")
    return ""


def version_strings(pe):
    strings = {}
    for info in getattr(pe, "FileInfo", []):
        for entry in info:
            for table in getattr(entry, "StringTable", []):
                strings.update({k.decode(): v.decode() for k, v in table.entries.items()})
    return strings


def fixed_version(pe, high, low):
    fixed = pe.VS_FIXEDFILEINFO[0]
    value = (getattr(fixed, high) << 32) | getattr(fixed, low)
    return ".".join(str((value >> shift) & 0xFFFF) for shift in (48, 32, 16, 0))


def main(path, arch, manifest_source):
    pe = pefile.PE(path)
    kind = "dll" if pe.FILE_HEADER.Characteristics & 0x2000 else "exe"
    flags = pe.OPTIONAL_HEADER.DllCharacteristics
    check(pe.FILE_HEADER.Machine == MACHINES[arch], f"machine type {arch}")
    if kind == "exe":
        check(pe.OPTIONAL_HEADER.Subsystem == 2, "GUI subsystem")
    check(flags & 0x40 != 0, "ASLR (DYNAMIC_BASE)")
    check(any(s.Name.rstrip(b"\0") == b".reloc" for s in pe.sections), "relocation section")
    check(flags & 0x100 != 0, "DEP (NX_COMPAT)")
    if arch == "x64":
        check(flags & 0x20 != 0, "high-entropy ASLR (HIGH_ENTROPY_VA)")
    print("note: Control Flow Guard " + ("on" if flags & 0x4000 else
                                         "off (mingw-w64's GCC 12 cannot build it)"))
    count = tls_callbacks(pe, 4 if arch == "x86" else 8)
    check(count == RUNTIME_TLS_CALLBACKS, f"TLS callbacks: {count}, the runtime's "
          f"{RUNTIME_TLS_CALLBACKS}")
    imports = {entry.dll.decode() for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])}
    check(imports == IMPORTS[kind], f"imports {sorted(imports)}")
    if kind == "exe":
        manifest = manifest_text(pe)
        check(re.search(r'requestedExecutionLevel level="asInvoker"', manifest) is not None,
              "manifest: asInvoker")
        check(re.search(r"<activeCodePage[^>]*>UTF-8</activeCodePage>", manifest) is not None,
              "manifest: UTF-8 code page")
        with open(manifest_source, encoding="utf-8") as f:
            expected = re.findall(r'supportedOS Id="([^"]+)"', f.read())
        check(expected and re.findall(r'supportedOS Id="([^"]+)"', manifest) == expected,
              f"manifest: supported OS list ({len(expected)} entries)")
        check(fixed_version(pe, "FileVersionMS", "FileVersionLS") == VERSION and
              fixed_version(pe, "ProductVersionMS", "ProductVersionLS") == VERSION,
              f"version block: fixed file and product version {VERSION}")
        strings = version_strings(pe)
        others = {k: v for k, v in strings.items() if k not in STRINGS}
        check(all(strings.get(k) == v for k, v in STRINGS.items()) and
              all(v == "" for v in others.values()),
              f"version block: strings {STRINGS}, the other {len(others)} empty")
    print(f"{path}: " + (f"{len(failures)} FAILED" if failures else "policy met"))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:4]))
