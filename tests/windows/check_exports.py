#!/usr/bin/env python3
"""Checks that the header, the module-definition files and the built DLLs agree.

Usage: check_exports.py VARIANT=DLL... [--no-implib]
  VARIANT is plain, decorated (the 32-bit DLLs) or x64 (the 64-bit DLL). Every .def file is
  checked against the header, whichever DLLs are given.

Callers bind to names and ordinals, so a drift in any of them breaks existing programs
silently; this fails loudly instead. The import library beside each DLL is checked by linking a
C program against it, because ld's own import libraries cannot serve stdcall callers.
"""

import os
import re
import struct
import subprocess
import sys
import tempfile

TOP = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', '..'))
HEADER = os.path.join(TOP, 'include', 'dap32.h')
VARIANTS = ('plain', 'decorated', 'x64')
DEFS = {v: os.path.join(TOP, 'api', f'dap32_{v}.def') for v in VARIANTS}
# The cross tools of each variant's machine, and the file format objdump names for it.
TOOL_PREFIX = {'plain': 'i686-w64-mingw32', 'decorated': 'i686-w64-mingw32',
               'x64': 'x86_64-w64-mingw32'}
FILE_FORMAT = {'plain': 'pei-i386', 'decorated': 'pei-i386', 'x64': 'pei-x86-64'}

# Fixed forever: programs import the decorated variant by these ordinals.
FIRST_EXPORTS = [
    'dapAttach', 'dapRelease', 'dapDriver', 'dapConnect', 'dapClose', 'dapErrorText', 'dapDebug',
    'dapGetString', 'dapGetInteger', 'dapSetInteger', 'dapSetString', 'dapGetFile', 'dapGetList',
    'dapSetMode', 'dapPutFile', 'dapSetServerDir', 'dapGetServerDir', 'dapGetLocalDir',
    'dapSetLocalDir', 'dapDelFile', 'dapExtract', 'dapAbort', 'dapMakeServerDir',
    'dapDelServerDir'
]
# Exports added later take the next ordinal in every variant.
LATER_EXPORTS = ['dapCommand']
DECORATED_ORDER = FIRST_EXPORTS + LATER_EXPORTS
# Plain ordinals of the first 24 follow the byte order of the names.
PLAIN_ORDER = sorted(FIRST_EXPORTS, key=lambda name: name.encode()) + LATER_EXPORTS

ALLOWED_IMPORTS = {'wsock32.dll', 'kernel32.dll', 'user32.dll', 'msvcrt.dll'}
UCRT_IMPORT = re.compile(r'^api-ms-win-crt-[a-z0-9-]+\.dll$')

failures = []


def fail(message):
  failures.append(message)
  print(f'FAIL {message}')


def ok(message):
  print(f'ok {message}')


def parse_header():
  """Returns {name: argument bytes} from the DAP_EXPORT prototypes."""
  text = open(HEADER, encoding='ascii').read()
  text = re.sub(r'/\*.*?\*/', ' ', text, flags=re.S)
  text = re.sub(r'//[^\n]*', ' ', text)
  result = {}
  proto = re.compile(r'DAP_EXPORT\s+int32_t\s+DAP_CALL\s+(\w+)\s*\(([^)]*)\)\s*;')
  for name, params in proto.findall(text):
    params = ' '.join(params.split())
    args = [] if params in ('', 'void') else [p.strip() for p in params.split(',')]
    for arg in args:
      # Every argument must be one 32-bit stack slot: a 32-bit integer or a pointer.
      if '*' not in arg and not re.match(r'^(const\s+)?u?int32_t\b', arg):
        fail(f'{HEADER}: {name}: argument "{arg}" is not 32 bits wide')
    if name in result:
      fail(f'{HEADER}: {name} declared twice')
    result[name] = 4 * len(args)
  declared = len(re.findall(r'^\s*DAP_EXPORT\b', text, flags=re.M))
  if declared != len(result):
    fail(f'{HEADER}: {declared} DAP_EXPORT declarations, but {len(result)} parsed')
  return result


def expected_exports(variant, arg_bytes):
  """Returns {export name: (ordinal, internal symbol)} for a variant. On x64 there is one
  calling convention and no decoration: the plain names and ordinals, symbol = name."""
  order = DECORATED_ORDER if variant == 'decorated' else PLAIN_ORDER
  table = {}
  for ordinal, name in enumerate(order, 1):
    internal = name if variant == 'x64' else f'{name}@{arg_bytes[name]}'
    exported = f'_{internal}' if variant == 'decorated' else name
    table[exported] = (ordinal, internal)
  return table


def parse_def(path):
  """Returns (library name, {export name: (ordinal, internal symbol)}); an entry without
  "= symbol" exports the symbol of its own name."""
  library = None
  entries = {}
  in_exports = False
  entry = re.compile(r'^(\S+)(?:\s*=\s*(\S+))?\s+@(\d+)$')
  for number, raw in enumerate(open(path, encoding='ascii'), 1):
    line = raw.split(';', 1)[0].strip()
    if not line:
      continue
    if line.startswith('LIBRARY'):
      library = line.split()[1] if len(line.split()) > 1 else ''
      continue
    if line == 'EXPORTS':
      in_exports = True
      continue
    m = entry.match(line)
    if not in_exports or not m:
      fail(f'{path}:{number}: unexpected line "{line}"')
      continue
    if m.group(1) in entries:
      fail(f'{path}:{number}: {m.group(1)} listed twice')
    entries[m.group(1)] = (int(m.group(3)), m.group(2) or m.group(1))
  return library, entries


def compare(what, actual, expected):
  """Reports every difference between two {name: value} tables."""
  good = True
  for name in sorted(set(expected) - set(actual)):
    fail(f'{what}: {name} missing (expected {expected[name]})')
    good = False
  for name in sorted(set(actual) - set(expected)):
    fail(f'{what}: unexpected {name} {actual[name]}')
    good = False
  for name in sorted(set(actual) & set(expected)):
    if actual[name] != expected[name]:
      fail(f'{what}: {name} is {actual[name]}, expected {expected[name]}')
      good = False
  return good


def objdump(variant, path):
  try:
    return subprocess.run([f'{TOOL_PREFIX[variant]}-objdump', '-p', path], check=True,
                          capture_output=True, text=True, timeout=60).stdout
  except (OSError, subprocess.SubprocessError) as error:
    fail(f'{path}: objdump failed: {error}')
    return ''


def parse_pe(text):
  """Returns (dll name, ordinal base, address table size, {name: ordinal}, [imported dlls],
  {imported dll: [imported names]})."""
  dll_name = None
  base = None
  table_size = None
  exports = {}
  imports = []
  imported_names = {}
  section = None
  current_import = None
  for line in text.splitlines():
    if line.startswith('The Import Tables'):
      section = 'imports'
    elif line.startswith('The Export Tables'):
      section = 'exports'
    elif line.startswith('[Ordinal/Name Pointer] Table'):
      section = 'names'
      continue
    elif line.startswith('The Function Table') or line.startswith('PE File Base Relocations'):
      section = None
    if section == 'imports':
      m = re.match(r'^\s*DLL Name:\s*(\S+)', line)
      if m:
        current_import = m.group(1)
        imports.append(current_import)
        imported_names[current_import] = []
        continue
      m = re.match(r'^\s*[0-9a-f]+\s+(\d+)\s+(\S+)\s*$', line)
      if m and current_import:
        # An import by ordinal has no name: "80000001	    1  <none>".
        name = f'#{m.group(1)}' if m.group(2) == '<none>' else m.group(2)
        imported_names[current_import].append(name)
    elif section == 'exports':
      m = re.match(r'^Name\s+[0-9a-f]+\s+(\S+)', line)
      if m:
        dll_name = m.group(1)
      m = re.match(r'^Ordinal Base\s+(\d+)', line)
      if m:
        base = int(m.group(1))
      m = re.match(r'^\s*Export Address Table\s+([0-9a-f]+)\s*$', line)
      if m and table_size is None:
        table_size = int(m.group(1), 16)
      if 'Forwarder RVA' in line:
        fail(f'forwarded export: {line.strip()}')
    elif section == 'names':
      m = re.match(r'^\s*\[\s*(\d+)\]\s+(\S+)\s*$', line)
      if m:
        if m.group(2) in exports:
          fail(f'export {m.group(2)} appears twice')
        exports[m.group(2)] = int(m.group(1))
      elif line.strip():
        section = None
  if base is not None:
    exports = {name: index + base for name, index in exports.items()}
  return dll_name, base, table_size, exports, imports, imported_names


def check_dll(variant, path, expected):
  if not os.path.isfile(path):
    fail(f'{variant}: {path} does not exist')
    return
  text = objdump(variant, path)
  if f'file format {FILE_FORMAT[variant]}' not in text:
    fail(f'{variant}: {path} is not {FILE_FORMAT[variant]}')
  dll_name, base, table_size, exports, imports, _ = parse_pe(text)
  if dll_name is None or dll_name.lower() != 'dap32.dll':
    fail(f'{variant}: export directory names the module "{dll_name}", expected dap32.dll')
  if base is None:
    fail(f'{variant}: {path} has no export table')
    return
  want = {name: ordinal for name, (ordinal, _) in expected.items()}
  if compare(f'{variant} DLL exports', exports, want):
    ok(f'{variant}: {path} exports exactly the {len(want)} names with their ordinals')
  if table_size != len(want):
    # An address table longer than the name table means exports by ordinal only.
    fail(f'{variant}: export address table has {table_size} entries, expected {len(want)}')
  bad = [dll for dll in imports
         if dll.lower() not in ALLOWED_IMPORTS and not UCRT_IMPORT.match(dll.lower())]
  if bad:
    fail(f'{variant}: imports {", ".join(bad)} (allowed: WSOCK32, KERNEL32, USER32 and the C '
         f'runtime); all imports: {", ".join(imports)}')
  else:
    ok(f'{variant}: imports only {", ".join(imports)}')


# How each import library is linked: GNU's with the variant's cross gcc, Microsoft's (.lib)
# with lld-link and an object compiled by clang for the MSVC target, without any runtime.
MSVC_TARGET = {'plain': 'i686-pc-windows-msvc', 'decorated': 'i686-pc-windows-msvc',
               'x64': 'x86_64-pc-windows-msvc'}


def link_commands(variant, implib, source, obj, program):
  include = os.path.join(TOP, 'include')
  if implib.endswith('.lib'):
    return [['clang', f'--target={MSVC_TARGET[variant]}', '-Wall', '-Werror', '-I', include,
             '-c', source, '-o', obj],
            ['lld-link', '/entry:main', '/subsystem:console', '/nodefaultlib', obj, implib,
             f'/out:{program}']]
  return [[f'{TOOL_PREFIX[variant]}-gcc', '-std=c11', '-Wall', '-Werror', '-I', include, source,
           implib, '-o', program]]


def short_import_ordinals(implib):
  """Returns {symbol: ordinal} of the short import members of a Microsoft import library
  that import by ordinal (an ar archive; each member an IMPORT_OBJECT_HEADER, then the
  symbol and the DLL name)."""
  data = open(implib, 'rb').read()
  ordinals = {}
  at = 8  # past "!<arch>\n"
  while at + 60 <= len(data):
    size = int(data[at + 48:at + 58].decode().strip())
    member = data[at + 60:at + 60 + size]
    at += 60 + size + (size & 1)
    if member[:4] != b'\x00\x00\xff\xff':
      continue
    ordinal, kinds = struct.unpack_from('<HH', member, 16)
    if (kinds >> 2) & 7 == 0:  # name type 0: by ordinal
      ordinals[member[20:member.index(b'\0', 20)].decode()] = ordinal
  return ordinals


def check_import_library(variant, implib, expected, arg_bytes, workdir):
  """Links a C program that takes every function through the header and the import library,
  then reads what the program imports from dap32.dll: the export names, or, for the decorated
  variant's .lib, which imports by ordinal, the ordinals."""
  base = os.path.join(workdir, f'use_{variant}_{os.path.basename(implib).replace(".", "_")}')
  source = base + '.c'
  with open(source, 'w', encoding='ascii') as out:
    out.write('#include "dap32.h"\nconst void* volatile entries[] = {\n')
    for name in sorted(arg_bytes):
      out.write(f'    (const void*){name},\n')
    out.write('};\nint main(void) { return entries[0] != 0 ? 0 : 1; }\n')
  for command in link_commands(variant, implib, source, base + '.obj', base + '.exe'):
    try:
      result = subprocess.run(command, capture_output=True, text=True, timeout=120)
    except (OSError, subprocess.SubprocessError) as error:
      fail(f'{variant}: cannot run {command[0]}: {error}')
      return
    if result.returncode != 0:
      first = ((result.stderr or result.stdout).strip().splitlines() or ['?'])[0]
      fail(f'{variant}: a C program using dap32.h does not link against {implib}: {first}')
      return
  _, _, _, _, _, imported = parse_pe(objdump(variant, base + '.exe'))
  names = next((v for k, v in imported.items() if k.lower() == 'dap32.dll'), None)
  if names is None:
    fail(f'{variant}: a program linked with {implib} does not import dap32.dll')
    return
  by_ordinal = all(n.startswith('#') for n in names)
  want = {f'#{ordinal}' if by_ordinal else name: True
          for name, (ordinal, _) in expected.items()}
  kind = 'ordinals' if by_ordinal else 'exported names'
  if by_ordinal:
    # Which symbol imports which ordinal is only in the library itself.
    mapped = {f'_{internal}': ordinal for ordinal, internal in expected.values()}
    compare(f'{variant} {implib} ordinals', short_import_ordinals(implib), mapped)
  if compare(f'{variant} import library {implib}', {n: True for n in names}, want):
    ok(f'{variant}: {implib} links C callers to the {len(want)} {kind}')


def check_import_libraries(variant, dll_path, expected, arg_bytes, workdir):
  folder = os.path.dirname(os.path.abspath(dll_path))
  gnu = os.path.join(folder, 'libdap32.dll.a')
  msvc = os.path.join(folder, 'dap32.lib')
  if not os.path.isfile(gnu):
    fail(f'{variant}: no import library libdap32.dll.a beside {dll_path}')
  else:
    check_import_library(variant, gnu, expected, arg_bytes, workdir)
  if os.path.isfile(msvc):
    check_import_library(variant, msvc, expected, arg_bytes, workdir)


def main(argv):
  dlls = [a.split('=', 1) for a in argv if not a.startswith('--')]
  options = [a for a in argv if a.startswith('--')]
  if (not dlls or any(len(d) != 2 or d[0] not in VARIANTS for d in dlls) or
      any(o != '--no-implib' for o in options)):
    print('\n'.join(__doc__.strip().splitlines()[2:5]), file=sys.stderr)
    return 2
  arg_bytes = parse_header()
  if compare('header prototypes', {n: True for n in arg_bytes},
             {n: True for n in DECORATED_ORDER}):
    ok(f'{HEADER} declares the {len(arg_bytes)} functions')
  if set(arg_bytes) != set(DECORATED_ORDER):
    print('1 failed: the header must be fixed before the exports can be checked')
    return 1
  expected = {v: expected_exports(v, arg_bytes) for v in VARIANTS}
  for variant, path in DEFS.items():
    library, entries = parse_def(path)
    if library != 'dap32':
      fail(f'{path}: LIBRARY is "{library}", expected dap32')
    if compare(f'{os.path.basename(path)}', entries, expected[variant]):
      ok(f'{path} agrees with the header and the ordinal table')
  with tempfile.TemporaryDirectory(prefix='dap32-exports-') as workdir:
    for variant, path in dlls:
      check_dll(variant, path, expected[variant])
      if '--no-implib' not in options:
        check_import_libraries(variant, path, expected[variant], arg_bytes, workdir)
  if failures:
    print(f'{len(failures)} failed: exports, ordinals or imports disagree (see FAIL lines)')
    return 1
  print('all export checks passed')
  return 0


if __name__ == '__main__':
  sys.exit(main(sys.argv[1:]))
