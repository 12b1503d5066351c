#!/usr/bin/env python3
"""Writes the SPDX 2.3 (JSON) bill of materials of a Windows release package, from what the build
knows: the launcher's version and source commit, the compiler, the files shipped, and the
libraries linked statically into them with their Debian package versions and licences. The same
commit built on the same packages gives the same document, byte for byte.

Usage: make_sbom.py OUTPUT.spdx.json VERSION ARCH COMPILER FILE...   (run from the source tree)
"""

import hashlib
import json
import os
import subprocess
import sys
import time
import uuid

import make_package
import source_info

# What every Windows executable and DLL of the release links in statically. Debian packages by
# mingw-w64 architecture (i686 or x86-64).
STATIC = [
    ("libstdc++", "g++-mingw-w64-{arch}-posix",
     "GPL-3.0-or-later WITH GCC-exception-3.1", "the C++ standard library"),
    ("libgcc", "gcc-mingw-w64-{arch}-posix",
     "GPL-3.0-or-later WITH GCC-exception-3.1", "GCC's support library and unwinder"),
    ("mingw-w64-crt", "mingw-w64-{arch}-dev", "ZPL-2.1 AND LicenseRef-Public-Domain",
     "mingw-w64's C runtime: start-up code, libmingwex, the msvcrt import library"),
    ("winpthreads", "mingw-w64-{arch}-dev", "MIT AND BSD-3-Clause",
     "mingw-w64's POSIX threads library"),
]


def run(*args):
    try:
        return subprocess.run(args, capture_output=True, text=True, check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return ""


def deb_version(package):
    return run("dpkg-query", "-W", "-f=${Version}", package) or "NOASSERTION"


def main(output, version, arch, compiler, files):
    deb_arch = "i686" if arch == "x86" else "x86-64"
    commit = source_info.commit()
    name = f"reinstall-{version}-windows-{arch}"
    compiler_package = f"g++-mingw-w64-{deb_arch}-posix"
    compiler_version = deb_version(compiler_package).split("-")[0]  # GCC's own: 12.2.0
    created = time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(source_info.commit_time()))
    namespace = uuid.uuid5(uuid.NAMESPACE_URL, f"reinstall/{name}/{commit}")
    doc = {
        "spdxVersion": "SPDX-2.3",
        "dataLicense": "CC0-1.0",
        "SPDXID": "SPDXRef-DOCUMENT",
        "name": name,
        "documentNamespace": f"https://spdx.org/spdxdocs/{name}-{namespace}",
        "creationInfo": {
            "created": created,
            "creators": ["Tool: reinstall tools/make_sbom.py"],
            "comment": f"Built from commit {commit} with {os.path.basename(compiler)}, GCC "
                       f"{compiler_version} (Debian package {compiler_package} "
                       f"{deb_version(compiler_package)}), linked statically.",
        },
        "packages": [{
            "SPDXID": "SPDXRef-Package-reinstall",
            "name": "reinstall",
            "versionInfo": version,
            "downloadLocation": "NOASSERTION",
            "sourceInfo": f"source commit {commit}",
            "filesAnalyzed": False,
            "licenseConcluded": "MIT",
            "licenseDeclared": "MIT",
            "copyrightText": "NOASSERTION",
            "primaryPackagePurpose": "APPLICATION",
        }, {
            "SPDXID": "SPDXRef-Package-compiler",
            "name": compiler_package,
            "versionInfo": deb_version(compiler_package),
            "supplier": "Organization: Debian",
            "downloadLocation": "NOASSERTION",
            "filesAnalyzed": False,
            "licenseConcluded": "NOASSERTION",
            "licenseDeclared": "GPL-3.0-or-later",
            "copyrightText": "NOASSERTION",
            "comment": f"the compiler, GCC {compiler_version}",
            "primaryPackagePurpose": "APPLICATION",
        }],
        "files": [],
        "relationships": [{"spdxElementId": "SPDXRef-DOCUMENT",
                           "relationshipType": "DESCRIBES",
                           "relatedSpdxElement": "SPDXRef-Package-reinstall"},
                          {"spdxElementId": "SPDXRef-Package-compiler",
                           "relationshipType": "BUILD_TOOL_OF",
                           "relatedSpdxElement": "SPDXRef-Package-reinstall"}],
        "hasExtractedLicensingInfos": [{
            "licenseId": "LicenseRef-Public-Domain",
            "name": "public domain",
            "extractedText": "Parts of the mingw-w64 runtime (its start-up code) are placed in "
                             "the public domain by their authors.",
        }],
    }
    for library, package, licence, what in STATIC:
        debian = package.format(arch=deb_arch)
        doc["packages"].append({
            "SPDXID": f"SPDXRef-Package-{library.replace('+', 'p')}",
            "name": library,
            "versionInfo": deb_version(debian),
            "supplier": "Organization: Debian",
            "downloadLocation": "NOASSERTION",
            "filesAnalyzed": False,
            "licenseConcluded": "NOASSERTION",
            "licenseDeclared": licence,
            "copyrightText": "NOASSERTION",
            "comment": f"{what}; from the Debian package {debian}",
            "externalRefs": [{"referenceCategory": "PACKAGE-MANAGER", "referenceType": "purl",
                              "referenceLocator": f"pkg:deb/debian/{debian}@{deb_version(debian)}"}],
            "primaryPackagePurpose": "LIBRARY",
        })
    for base, path in map(make_package.entry, files):
        with open(path, "rb") as f:
            data = f.read()
        file_id = "SPDXRef-File-" + base.replace("_", "-").replace("/", "-")
        doc["files"].append({
            "SPDXID": file_id,
            "fileName": "./" + base,
            "checksums": [{"algorithm": "SHA1", "checksumValue": hashlib.sha1(data).hexdigest()},
                          {"algorithm": "SHA256",
                           "checksumValue": hashlib.sha256(data).hexdigest()}],
            "licenseConcluded": "MIT",
            "copyrightText": "NOASSERTION",
        })
        doc["relationships"].append({"spdxElementId": "SPDXRef-Package-reinstall",
                                     "relationshipType": "CONTAINS",
                                     "relatedSpdxElement": file_id})
        if base.endswith((".exe", ".dll")):
            for library, *_ in STATIC:
                doc["relationships"].append({
                    "spdxElementId": file_id, "relationshipType": "STATIC_LINK",
                    "relatedSpdxElement": f"SPDXRef-Package-{library.replace('+', 'p')}"})
    with open(output, "w", encoding="utf-8") as f:
        json.dump(doc, f, indent=2, sort_keys=True)
        f.write("\n")


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4], sys.argv[5:])
