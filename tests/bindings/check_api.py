#!/usr/bin/python3
"""Checks bindings/dap32.toml against everything that must agree with it.

    check_api.py generated LIBRARY  every written file is what the generator writes now; the
                                    description agrees with the header, the .def files, the
                                    engine's states, the sources' log lines and, through
                                    ctypes, with what LIBRARY (libdap32.so) answers; a broken
                                    description or a failed write replaces no written file
    check_api.py vb                 each Declare of bindings/vb/dap32.bas against the
                                    description and the decorated .def's argument bytes

Ends with "N passed, M failed".
"""

import ctypes
import difflib
import glob
import os
import re
import subprocess
import sys
import tempfile

TOP = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', '..'))
sys.path[:0] = [os.path.join(TOP, 'bindings'), os.path.join(TOP, 'tests', 'windows')]
import check_exports  # noqa: E402  (its .def and header parsers)
import generate  # noqa: E402

DEF_FILES = {v: os.path.join(TOP, 'api', f'dap32_{v}.def') for v in ('plain', 'decorated', 'x64')}
# Codes scanned for texts, results or effects the description does not list.
UNLISTED_ERRORS = list(range(-40, 1)) + list(range(-11010, -10000)) + [999]
UNLISTED_CODES = range(0, 41)

passed = 0
failed = 0


def check(condition, what):
  global passed, failed
  print(('ok ' if condition else 'FAIL ') + what)
  if condition:
    passed += 1
  else:
    failed += 1
  return condition


def check_generated(api):
  for path, text in generate.render_all(api).items():
    try:
      with open(os.path.join(TOP, path), encoding='ascii', newline='') as committed:
        current = committed.read()
    except OSError as error:
      check(False, f'{path}: {error}')
      continue
    if not check(current == text, f'{path} is what the generator writes'):
      diff = difflib.unified_diff(current.splitlines(), text.splitlines(), 'committed',
                                  'generated', lineterm='', n=1)
      print('\n'.join(list(diff)[:40]))
      print(f'  run: python3 bindings/generate.py (and edit bindings/dap32.toml, not {path})')


# A broken description, the entry and field its message must name: (committed text, broken
# text, entry, field).
BROKEN_DESCRIPTIONS = [
    ('text = "LIST/GET/PUT not completed."', 'text = "LIST/GET/PUT not completed\u2026"',
     'error -31', '"text"'),
    ('ordinals = { plain = 2, decorated = 1 }', 'ordinals = { plain = "2", decorated = 1 }',
     'function dapAttach', '"ordinals.plain"'),
    ('doc = "Reply code of the last FTP reply."\nafter_attach = 0\n',
     'doc = "Reply code of the last FTP reply."\n', 'get_integer 3', '"after_attach"'),
    ('{ name = "user", type = "text", doc = "user name" }',
     '{ name = "user", type = "text", doc = "user\u00a0name" }', 'function dapConnect',
     '"args[2].doc"'),
]


def run_generator(out, description=generate.DESCRIPTION):
  return subprocess.run([sys.executable, os.path.join(TOP, 'bindings', 'generate.py'), '--out',
                         out, '--description', description], capture_output=True, text=True,
                        timeout=60)


def check_generator_refusals():
  """The generator replaces no file when the description is broken or a file cannot be
  written, and its message names the entry and the field at fault."""
  with open(generate.DESCRIPTION, encoding='ascii') as source:
    good = source.read()
  with tempfile.TemporaryDirectory(prefix='dap32-generate-') as scratch:
    out = os.path.join(scratch, 'out')
    for path in generate.OUTPUTS:
      os.makedirs(os.path.dirname(os.path.join(out, path)), exist_ok=True)
      with open(os.path.join(out, path), 'w') as old:
        old.write('old\n')

    def unchanged():
      found = []
      for folder, _, names in os.walk(out):
        for name in names:
          with open(os.path.join(folder, name)) as text:
            found.append((os.path.relpath(os.path.join(folder, name), out), text.read()))
      return sorted(found) == sorted((path, 'old\n') for path in generate.OUTPUTS)

    for committed, broken, entry, field in BROKEN_DESCRIPTIONS:
      description = os.path.join(scratch, 'broken.toml')
      with open(description, 'w', encoding='utf-8') as copy:
        copy.write(good.replace(committed, broken, 1))
      result = run_generator(out, description)
      check(committed in good and result.returncode == 1 and entry in result.stderr and
            field in result.stderr and unchanged(),
            f'the generator refuses {entry} {field} and replaces nothing: {result.stderr.strip()}')
    # The last file cannot be written: its folder is a file.
    last = os.path.join(out, list(generate.OUTPUTS)[-1])
    os.remove(last)
    os.rmdir(os.path.dirname(last))
    with open(os.path.dirname(last), 'w') as blocker:
      blocker.write('old\n')
    result = run_generator(out)
    os.remove(os.path.dirname(last))
    os.makedirs(os.path.dirname(last))
    with open(last, 'w') as old:
      old.write('old\n')
    check(result.returncode == 1 and unchanged(),
          f'a file that cannot be written leaves every other one as it was: '
          f'{result.stderr.strip()}')


def check_declarations(api):
  header = check_exports.parse_header()
  described = {f['name']: generate.signature_bytes(f) for f in api['function']}
  check(header == described, 'the header declares the described functions and argument bytes')
  for variant, path in DEF_FILES.items():
    _, entries = check_exports.parse_def(path)
    expected = {}
    for f in api['function']:
      internal = f'{f["name"]}@{generate.signature_bytes(f)}'
      if variant == 'plain':
        expected[f['name']] = (f['ordinals']['plain'], internal)
      elif variant == 'decorated':
        expected[generate.decorated_name(f)] = (f['ordinals']['decorated'], internal)
      else:  # one calling convention, no argument bytes; the plain variant's ordinals
        expected[f['name']] = (f['ordinals']['plain'], f['name'])
    check(entries == expected, f'{os.path.basename(path)} exports the described names and ordinals')
  check(not check_exports.failures, 'the .def files parse')


def source_text():
  texts = []
  for pattern in ('frame/*.cpp', 'net/*.cpp', 'engine/*.cpp', 'api/*.cpp'):
    for path in sorted(glob.glob(os.path.join(TOP, pattern))):
      with open(path, encoding='utf-8') as source:
        texts.append(source.read())
  return '\n'.join(texts)


def check_sources(api):
  sources = source_text()
  with open(os.path.join(TOP, 'engine', 'driver.cpp'), encoding='utf-8') as driver:
    table = driver.read().split('kStates[] = {', 1)[1].split('};', 1)[0]
  engine_states = {int(n) for n in re.findall(r'\{(\d+),\s*state\w+\}', table)}
  described = {s['number'] for s in api['state']}
  check(described == engine_states | {0},
        f'the described states are the engine\'s (only described: '
        f'{sorted(described - engine_states - {0})}, only in the engine: '
        f'{sorted(engine_states - described)})')
  missing = [line['format'] for line in api['log_line'] if f'"{line["format"]}"' not in sources]
  missing += [f['entry_line'] for f in api['function']
              if 'entry_line' in f and f'"{f["entry_line"]}\\r\\n"' not in sources]
  check(not missing, f'every described log line is in the sources (missing: {missing})')
  lib = api['library']
  version = f'{lib["version"] >> 8}.{(lib["version"] >> 4) & 15}.{lib["version"] & 15}'
  for path in ('bindings/python/pyproject.toml', 'bindings/dotnet/Dap32.csproj'):
    with open(os.path.join(TOP, path), encoding='utf-8') as package:
      check(version in package.read(), f'{path} carries version {version}')


def check_library(api, path):
  """Every error text, and every code's result, as the library gives them."""
  lib = typed_library(path)
  text = ctypes.create_string_buffer(4096)

  def error_text(code):
    length = lib.dapErrorText(0, code, text, len(text))
    return length, text.value.decode('ascii')

  if not check(lib.dapAttach(2, 0) == 1, 'dapAttach(2, 0) returns 1'):
    return
  try:
    wrong = []
    for error in api['error']:
      # After attach no reply has been read, so a reply code appends only its blank.
      want = error['text'] + (' ' if error.get('reply') else '')
      if error_text(error['code']) != (len(want), want):
        wrong.append((error['code'], error_text(error['code'])))
    check(not wrong, f'dapErrorText gives every described text (wrong: {wrong})')
    listed = {e['code'] for e in api['error']}
    extra = [(c, error_text(c)) for c in UNLISTED_ERRORS if c not in listed and error_text(c)[0]]
    check(not extra, f'no undescribed code has a text (found: {extra})')

    wrong = [(c['code'], lib.dapGetInteger(0, c['code'])) for c in api['get_integer']
             if lib.dapGetInteger(0, c['code']) != c['after_attach']]
    listed = {c['code'] for c in api['get_integer']}
    wrong += [(c, lib.dapGetInteger(0, c)) for c in UNLISTED_CODES
              if c not in listed and lib.dapGetInteger(0, c) != -1]
    check(not wrong, f'dapGetInteger answers every code as described (wrong: {wrong})')

    wrong = [(c['code'], value, lib.dapSetInteger(1, c['code'], value))
             for c in api['set_integer'] for value, result in c['examples']
             if lib.dapSetInteger(1, c['code'], value) != result]
    listed = {c['code'] for c in api['set_integer']}
    wrong += [(c, lib.dapSetInteger(1, c, 5)) for c in UNLISTED_CODES
              if c not in listed and lib.dapSetInteger(1, c, 5) != -1]
    check(not wrong, f'dapSetInteger answers every code as described (wrong: {wrong})')
    for c in api['set_integer']:  # as found, for whatever runs after
      lib.dapSetInteger(1, c['code'], c['default'])

    check_string_codes(api, lib)
  finally:
    check(lib.dapRelease() == 1, 'dapRelease returns 1')


def check_string_codes(api, lib):
  wrong = []
  with tempfile.TemporaryDirectory(prefix='dap32-check-') as scratch:
    log = os.path.join(scratch, 'check.log')
    handle = None
    for code in api['string_code']:
      for example in code['examples']:
        if code['function'] == 'dapGetString':
          buffer = ctypes.create_string_buffer(b'\xff' * example['size'])
          result = lib.dapGetString(0, code['code'], buffer, example['size'])
          text = buffer.value.decode('latin-1') if 'text' in example else None
          if (result, text) != (example['result'], example.get('text')):
            wrong.append((code['code'], example, result, text))
          continue
        result = lib.dapSetString(0, code['code'], example['text'].replace('{log}', log).encode())
        if example['result'] == 'handle':
          handle = handle or result
          if result <= 0 or result != handle:
            wrong.append((code['code'], example, result))
        elif result != example['result']:
          wrong.append((code['code'], example, result))
    buffer = ctypes.create_string_buffer(8)
    unknown = (lib.dapGetString(0, 99, buffer, 8), buffer.value, lib.dapSetString(0, 99, b'x'))
    if unknown != (0, b'?', -1):
      wrong.append(('unknown code', unknown))
    lib.dapClose(0)  # closes the log
    with open(log, 'rb') as written:
      if written.read() != b'abc\r\n*** dapClose\r\n':
        wrong.append('the log holds other lines than abc and the close')
  check(not wrong, f'dapGetString and dapSetString answer every code as described ({wrong})')


def typed_library(path):
  library = ctypes.CDLL(path)
  for name, (argtypes, _, _) in load_python_api().FUNCTIONS.items():
    getattr(library, name).argtypes = argtypes
    getattr(library, name).restype = ctypes.c_int32
  return library


def load_python_api():
  # The binding's own signatures, so that they are exercised here too.
  sys.path.insert(0, os.path.join(TOP, 'bindings', 'python'))
  from dap32 import _api
  return _api


VB_DECLARE = re.compile(r'^Public Declare (PtrSafe )?Function (\w+) Lib "dap32\.dll" '
                        r'\(([^)]*)\) As Long$')
VB_ARGUMENT = re.compile(r'^ByVal (\w+) As (Long|String)$')
VB_CONST = re.compile(r'^Public Const (\w+) As Long = (-?\d+)$')


def check_vb(api):
  path = os.path.join(TOP, 'bindings', 'vb', 'dap32.bas')
  with open(path, encoding='ascii', newline='') as module:
    text = module.read()
  check('\n' not in text.replace('\r\n', ''), 'dap32.bas has CR LF line ends, as VB reads them')
  lines = text.split('\r\n')
  _, decorated = check_exports.parse_def(DEF_FILES['decorated'])
  stack_bytes = {internal.split('@')[0]: int(internal.split('@')[1])
                 for _, internal in decorated.values()}
  described = {f['name']: f for f in api['function']}
  blocks = {'#If VBA7 Then': [], '#Else': [], None: []}
  block = None
  for line in lines:
    if line in blocks:
      block = line
    elif line == '#End If':
      block = None
    elif re.match(r'^\s*(Public |Private )?Declare\b', line):
      blocks[block].append(line)
  check(not blocks[None], f'every Declare is inside the #If VBA7 block {blocks[None]}')
  for block, ptr_safe in (('#If VBA7 Then', True), ('#Else', False)):
    problems = []
    seen = []
    for line in blocks[block]:
      match = VB_DECLARE.match(line)
      if not match or bool(match.group(1)) != ptr_safe:
        problems.append(f'not a {"PtrSafe " if ptr_safe else ""}Declare: {line}')
        continue
      name, arguments = match.group(2), match.group(3)
      seen.append(name)
      if name not in described:
        problems.append(f'{name} is not an export')
        continue
      parsed = [VB_ARGUMENT.match(a.strip()) for a in arguments.split(',')] if arguments else []
      if not all(parsed):
        problems.append(f'{name}: an argument is not ByVal Long or ByVal String')
        continue
      want = ['String' if a['type'] in ('text', 'buffer', 'inout') else 'Long'
              for a in described[name]['args']]
      if [p.group(2) for p in parsed] != want:
        problems.append(f'{name}: arguments {[p.group(2) for p in parsed]}, described {want}')
      # Each ByVal Long and each ByVal String (a pointer) is 4 bytes on the 32-bit stack.
      if 4 * len(parsed) != stack_bytes.get(name):
        problems.append(f'{name}: {4 * len(parsed)} argument bytes, the .def has '
                        f'{stack_bytes.get(name)}')
    if sorted(seen) != sorted(described):
      problems.append(f'declared {sorted(seen)}')
    check(not problems, f'{block}: the {len(described)} Declares match the description {problems}')
  constants = dict(m.groups() for m in map(VB_CONST.match, lines) if m)
  expected = {name: str(value) for _, group in generate.all_constants(api)
              for name, value, _ in group}
  check(all(constants.get(k) == v for k, v in expected.items()),
        'dap32.bas defines every constant with its value')


def main(argv):
  try:
    api = generate.load()
  except generate.DescriptionError as error:
    check(False, f'bindings/dap32.toml: {error}')
    return 1
  if argv[:1] == ['generated'] and len(argv) == 2:
    check_generated(api)
    check_generator_refusals()
    check_declarations(api)
    check_sources(api)
    check_library(api, os.path.abspath(argv[1]))
  elif argv == ['vb']:
    check_vb(api)
  else:
    print(__doc__.strip().splitlines()[2], file=sys.stderr)
    return 2
  print(f'{passed} passed, {failed} failed')
  return 0 if failed == 0 else 1


if __name__ == '__main__':
  sys.exit(main(sys.argv[1:]))
