#!/usr/bin/env python3
"""Checks the shipped library's dynamic symbol table and the Windows
module-definition file against the published exports and their ordinals.

  check_exports.py symbols LIBRARY   the .so defines exactly the exports
  check_exports.py def DEF_FILE      the .def lists them with their ordinals
  check_exports.py pe DLL            the DLL's export table holds exactly them
                                     at their ordinals, under their plain names
                                     (also the __stdcall ones of 32-bit x86); it
                                     imports system DLLs only
  check_exports.py program EXE       the program imports system DLLs only

--nm and --readelf name the binutils to read the library with (the cross
toolchain's for a cross-built library); plain nm and readelf by default.
"""
import argparse
import re
import subprocess
import sys

# The published interface: hosts bind these names, or these ordinals on
# Windows, so neither may change.
EXPORTS = {
    1: "SoundRecordStart",
    2: "SoundRecordStop",
    3: "SoundRecordPlay",
    4: "SoundRecordSave",
    5: "SoundRecordLoad",
    6: "ToneCreate",
    7: "DLLStop",
}
ALLOCATOR = "libMirnAutomation.so"
SONAMES = {"libMirnDLL.so": "libMirnDLL.so.1", ALLOCATOR: ALLOCATOR + ".1"}


def run(*command):
    return subprocess.run(command, check=True, capture_output=True, text=True).stdout


def dynamic_symbols(nm, library, which):
    """(type, name) of each dynamic symbol that nm lists with `which`."""
    symbols = []
    for line in run(nm, "-D", which, library).splitlines():
        fields = line.split()
        if len(fields) >= 2:
            symbols.append((fields[-2], fields[-1]))
    return symbols


def check_symbols(library, nm, readelf):
    problems = []
    defined = dynamic_symbols(nm, library, "--defined-only")
    names = sorted(name for _, name in defined)
    expected = sorted(EXPORTS.values())
    if names != expected:
        extra = sorted(set(names) - set(expected))
        missing = sorted(set(expected) - set(names))
        problems.append(f"defined symbols differ: extra {extra}, missing {missing}")
    for kind, name in defined:
        # 'T' is a plain function in the text section: not data, not weak,
        # not an indirect function.
        if kind != "T" and name in EXPORTS.values():
            problems.append(f"{name} has symbol type {kind!r}, expected 'T'")
        if name.startswith("Sys"):
            problems.append(f"defines {name}: the allocator's functions belong to {ALLOCATOR}")

    undefined = [name for _, name in dynamic_symbols(nm, library, "--undefined-only")]
    if "SysFreeString" not in undefined:
        problems.append(f"does not import SysFreeString (imports: {undefined})")
    dynamic = run(readelf, "-d", library)
    needed = re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", dynamic)
    if SONAMES[ALLOCATOR] not in needed:
        problems.append(f"does not link {SONAMES[ALLOCATOR]} (needs: {needed})")
    # Hosts record the SONAME, so a later incompatible library can sit beside it.
    soname = re.findall(r"\(SONAME\)\s+Library soname: \[([^\]]+)\]", dynamic)
    if soname != [SONAMES["libMirnDLL.so"]]:
        problems.append(f"SONAME is {soname}, expected {SONAMES['libMirnDLL.so']}")
    return problems


# What MirnDLL.dll may import: the system's own DLLs, never a compiler
# runtime that a host would have to ship beside it.
SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll", "oleaut32.dll", "winmm.dll", "user32.dll", "shell32.dll",
               "advapi32.dll", "ole32.dll"}
PLATFORM_IMPORTS = {"OLEAUT32.dll": "SysFreeString", "KERNEL32.dll": "WideCharToMultiByte"}


def pe_imports(dump):
    """{DLL name: [imported function names]} from objdump -p output."""
    imports = {}
    for block in re.split(r"\n\s*DLL Name: ", dump)[1:]:
        name, _, rest = block.partition("\n")
        imports[name.strip()] = re.findall(r"^\s*[0-9a-f]+\s+\d+\s+(\w+)", rest, re.M)
    return imports


def foreign_imports(imports):
    foreign = sorted(name for name in imports if name.lower() not in SYSTEM_DLLS)
    return [f"imports non-system DLLs {foreign}"] if foreign else []


def check_pe(dll, objdump):
    problems = []
    dump = run(objdump, "-p", dll)
    table = dump.split("[Ordinal/Name Pointer] Table", 1)
    if len(table) != 2:
        return [f"no export name table in objdump -p output"]
    base = re.search(r"Ordinal Base\s+(\d+)", dump)
    base = int(base.group(1)) if base else 0
    listed = {}
    for line in table[1].splitlines()[1:]:
        match = re.match(r"\s*\[\s*(\d+)\]\s+(\S+)$", line)
        if not match:
            break
        listed[int(match.group(1)) + base] = match.group(2)
    # A decorated name (SoundRecordPlay@4) differs from the published one.
    if listed != EXPORTS:
        problems.append(f"export table differs: {listed}, published {EXPORTS}")
    imports = pe_imports(dump)
    problems += foreign_imports(imports)
    for library, function in PLATFORM_IMPORTS.items():
        if function not in imports.get(library, []):
            problems.append(f"does not import {function} from {library}")
    return problems


def check_program(program, objdump):
    return foreign_imports(pe_imports(run(objdump, "-p", program)))


def check_def(def_file):
    problems = []
    with open(def_file, encoding="ascii") as handle:
        lines = [line.strip() for line in handle if line.strip()]
    if lines[:2] != ["LIBRARY MirnDLL", "EXPORTS"]:
        problems.append(f"does not start with LIBRARY MirnDLL / EXPORTS: {lines[:2]}")
    listed = {}
    for line in lines[2:]:
        # On 32-bit x86 the __stdcall symbol (Name@bytes) stands for the name.
        match = re.fullmatch(r"(\w+)(?:@\d+)?\s+@(\d+)", line)
        if not match:
            problems.append(f"unexpected line {line!r}")
            continue
        listed[int(match.group(2))] = match.group(1)
    if listed != EXPORTS:
        problems.append(f"ordinals differ: listed {listed}, published {EXPORTS}")
    return problems


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("check", choices=("symbols", "def", "pe", "program"))
    parser.add_argument("file")
    parser.add_argument("--nm", default="nm")
    parser.add_argument("--readelf", default="readelf")
    parser.add_argument("--objdump", default="objdump")
    args = parser.parse_args(argv[1:])
    if args.check == "symbols":
        problems = check_symbols(args.file, args.nm, args.readelf)
    elif args.check == "pe":
        problems = check_pe(args.file, args.objdump)
    elif args.check == "program":
        problems = check_program(args.file, args.objdump)
    else:
        problems = check_def(args.file)
    for problem in problems:
        print(f"{args.file}: {problem}", file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
