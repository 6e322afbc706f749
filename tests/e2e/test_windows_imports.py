"""The Windows .exe imports only system DLLs: it loads wpcap.dll itself, with
the DLL search narrowed first; it carries version information and a manifest;
the ZIP holds it stripped."""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import zipfile

BUILD = sys.argv[1] if len(sys.argv) > 1 else "build/windows"
EXE = os.path.join(BUILD, "tarvex-finder.exe")
OBJDUMP = shutil.which("x86_64-w64-mingw32-objdump")
SYSTEM_DLLS = {"kernel32.dll", "ws2_32.dll", "msvcrt.dll", "ucrtbase.dll", "advapi32.dll",
               "user32.dll"}

if not os.path.exists(EXE) or OBJDUMP is None:
    print("SKIPPED: needs the Windows build and x86_64-w64-mingw32-objdump")
    sys.exit(77)

dump = subprocess.run([OBJDUMP, "-p", EXE], capture_output=True, text=True, check=True).stdout
if "file format pei-x86-64" not in dump or "Subsystem\t\t00000003" not in dump:
    print("FAILED: not a 64-bit Windows console program")
    sys.exit(1)
imported = {name.lower() for name in re.findall(r"DLL Name: (\S+)", dump)}
unexpected = imported - SYSTEM_DLLS
symbols = subprocess.run([OBJDUMP, "-x", EXE], capture_output=True, text=True, check=True).stdout
delay_loaded = "__DLL_HANDLE_" in symbols
loads_itself = all(f"{call}\n" in dump for call in
                   ("SetDefaultDllDirectories", "AddDllDirectory", "LoadLibraryExA", "GetProcAddress"))
print("imports:", ", ".join(sorted(imported)))
if unexpected or delay_loaded or not loads_itself:
    print(f"FAILED: unexpected imports {sorted(unexpected)}, delay-loads: {delay_loaded}, "
          f"loads wpcap itself: {loads_itself}")
    sys.exit(1)

# Version information from the project's version, and the manifest.
with open(EXE, "rb") as exe:
    image = exe.read()
with open(os.path.join(BUILD, "CMakeCache.txt")) as cache:
    version = re.search(r"^CMAKE_PROJECT_VERSION:STATIC=(.+)$", cache.read(), re.M).group(1)
wanted = [text.encode("utf-16-le") for text in
          ("FileDescription", "ProductName", "tarvex-finder.exe", f"{version}\0")]
wanted += [b'level="asInvoker"', b"{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",
           b"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"]
missing = [text for text in wanted if text not in image]
if missing:
    print(f"FAILED: the .exe lacks {missing}")
    sys.exit(1)

# The ZIP holds the stripped .exe and the README, nothing else.
with tempfile.TemporaryDirectory(prefix="tarvex-zip-") as scratch:
    subprocess.run(["cpack", "-G", "ZIP", "-B", scratch], cwd=BUILD, check=True,
                   capture_output=True, timeout=240)
    (archive,) = [os.path.join(scratch, n) for n in os.listdir(scratch) if n.endswith(".zip")]
    with zipfile.ZipFile(archive) as package:
        names = sorted(n.split("/", 1)[1] for n in package.namelist() if not n.endswith("/"))
        package.extractall(scratch)
    packed_exe = os.path.join(scratch, os.path.basename(archive)[:-4], "tarvex-finder.exe")
    table = subprocess.run([OBJDUMP, "-t", packed_exe], capture_output=True, text=True,
                           check=True).stdout
if names != ["README.md", "tarvex-finder.exe"] or "no symbols" not in table:
    print(f"FAILED: the ZIP holds {names}; its .exe symbol table: {table[-300:]}")
    sys.exit(1)
print("3 passed, 0 failed")
