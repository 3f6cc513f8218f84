#!/usr/bin/env python3
"""Checks the downloads that scripts/package.sh wrote into DIST.

Each ZIP holds exactly quillan.exe and README.txt (CRLF); SHA256SUMS matches. Each program is a
GUI PE of its architecture that imports only system DLLs, carries no link time, no debug directory
and no build path, and holds the version resource and the manifest of its architecture.

    check_package.py DIST
"""
import hashlib
import io
import os
import re
import subprocess
import sys
import tempfile
import zipfile

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
# The project's version, written once, in CMakeLists.txt; the resource shows its numbers without
# leading zeros and its first three parts as text.
with open(os.path.join(REPO, "CMakeLists.txt"), encoding="utf-8") as cmake_lists:
    VERSION = re.search(r"^project\(quillan VERSION ([0-9.]+)", cmake_lists.read(), re.M).group(1)
VERSION_NUMBERS = ", ".join(str(int(part)) for part in VERSION.split("."))
VERSION_TEXT = ".".join(VERSION.split(".")[:3])
SYSTEM_DLLS = {"kernel32", "user32", "gdi32", "advapi32", "shell32", "comctl32", "ole32", "ws2_32", "msvcrt"}
ARCHES = {
    "win32": ("i686-w64-mingw32", "pei-i386", "010b", "build/package-x86/resources/quillan-x86.manifest"),
    "win64": ("x86_64-w64-mingw32", "pei-x86-64", "020b", "build/package-x64/resources/quillan-x64.manifest"),
}
VERSION_LINES = [
    f" FILEVERSION {VERSION_NUMBERS}",
    f" PRODUCTVERSION {VERSION_NUMBERS}",
    " FILEOS 0x4",
    " FILETYPE 0x1",
    '    BLOCK "040904b0"',
    '      VALUE "CompanyName", "Varnholt Software"',
    '      VALUE "FileDescription", "Quillan"',
    f'      VALUE "FileVersion", "{VERSION_TEXT}"',
    '      VALUE "LegalTrademarks", "Varnholt Software"',
    '      VALUE "ProductName", "Quillan"',
    f'      VALUE "ProductVersion", "{VERSION_TEXT}"',
    '    VALUE "Translation", 0x409, 1200',
]

failures = []


def check(condition, message):
    if not condition:
        failures.append(message)


def embedded_manifest(rc_text):
    """The RT_MANIFEST text from windres' decompiled resources."""
    block = re.search(r"^1 24 /\* RT_MANIFEST \*/\nBEGIN\n(.*?)^END", rc_text, re.S | re.M)
    if not block:
        return None
    parts = re.findall(r'^\s*"((?:[^"]|"")*)"', block.group(1), re.M)
    return "".join(part.replace('""', '"').replace("\\n", "\n") for part in parts)


def check_program(name, platform, data):
    prefix, file_format, magic, manifest_name = ARCHES[platform]
    with tempfile.NamedTemporaryFile(suffix=".exe") as exe:
        exe.write(data)
        exe.flush()
        headers = subprocess.run([prefix + "-objdump", "-p", exe.name], capture_output=True, text=True).stdout
        resources = subprocess.run([prefix + "-windres", "-i", exe.name, "-O", "rc"], capture_output=True,
                                   text=True).stdout
    check("file format " + file_format in headers, f"{name}: not {file_format}")
    check(re.search(r"^Magic\s+" + magic, headers, re.M), f"{name}: optional header magic is not {magic}")
    check(re.search(r"^Subsystem\s+00000002", headers, re.M), f"{name}: not a GUI program")
    check(re.search(r"^Time/Date\s+Thu Jan  1 00:00:00 1970", headers, re.M), f"{name}: link time in the header")
    check(re.search(r"^Entry 6 0+ 0+ Debug Directory", headers, re.M), f"{name}: has a debug directory")
    dlls = {dll.lower().removesuffix(".dll") for dll in re.findall(r"DLL Name: (\S+)", headers)}
    check(dlls and dlls <= SYSTEM_DLLS, f"{name}: imports beyond the system DLLs: {sorted(dlls - SYSTEM_DLLS)}")
    for line in VERSION_LINES:
        check(line + "\n" in resources, f"{name}: version resource lacks '{line.strip()}'")
    # The manifest that the build generated from resources/quillan.manifest.in for this architecture.
    with open(os.path.join(REPO, manifest_name), encoding="utf-8") as source:
        check(embedded_manifest(resources) == source.read(), f"{name}: manifest differs from {manifest_name}")
    for path in {REPO, os.path.realpath(REPO), "/build/package-"}:
        check(path.encode() not in data, f"{name}: contains the build path {path}")


def main(dist):
    with open(os.path.join(dist, "SHA256SUMS")) as sums:
        listed = dict(reversed(line.split()) for line in sums if line.strip())
    for platform in ARCHES:
        name = f"quillan-proxy-{VERSION}-{platform}.zip"
        with open(os.path.join(dist, name), "rb") as archive_file:
            archive_bytes = archive_file.read()
        check(listed.get(name) == hashlib.sha256(archive_bytes).hexdigest(), f"{name}: SHA256SUMS does not match")
        with zipfile.ZipFile(io.BytesIO(archive_bytes)) as archive:
            check(archive.namelist() == ["README.txt", "quillan.exe"], f"{name}: holds {archive.namelist()}")
            readme = archive.read("README.txt")
            check(readme.count(b"\n") > 10 and readme.count(b"\n") == readme.count(b"\r\n"),
                  f"{name}: README.txt lines do not all end in CRLF")
            for needed in (rb"HKEY_CURRENT_USER\Software\Varnholt Software\Quillan", b"clear text"):
                check(needed in readme, f"{name}: README.txt does not mention {needed.decode()}")
            check_program(f"{name}:quillan.exe", platform, archive.read("quillan.exe"))
    for failure in failures:
        print("package: " + failure)
    print(f"package: {'FAILED' if failures else 'checked'} the win32 and win64 ZIPs in {dist}")
    return 1 if failures else 0


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    sys.exit(main(sys.argv[1]))
