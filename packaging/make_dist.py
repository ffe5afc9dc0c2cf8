#!/usr/bin/env python3
"""Writes the Windows distribution archive, dap32-VERSION-windows.zip.

Usage: make_dist.py WIN32_BUILD WIN64_BUILD OUT_DIR
  WIN32_BUILD  the 32-bit cross build (plain/ and decorated/), WIN64_BUILD the 64-bit one (x64/);
  a 64-bit build without a DLL is left out. Prints the archive's path.
"""

import hashlib
import os
import re
import sys
import zipfile

TOP = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), '..'))
# Where each DLL goes in the archive, and which build folder it comes from.
DLL_FOLDERS = [('x86/plain', 'win32', 'plain'), ('x86/decorated', 'win32', 'decorated'),
               ('x64', 'win64', 'x64')]
DLL_FILES = ['dap32.dll', 'libdap32.dll.a', 'dap32.lib']
# What of the bindings is for callers: not their tests, build leftovers or the generator that
# writes them from dap32.toml.
SKIPPED = re.compile(r'(^|/)(test[^/]*|__pycache__|[^/]*\.egg-info|build|bin|obj)(/|$)|\.pyc$'
                     r'|^bindings/generate\.py$')


def version():
  """VERSION.BUILD from the library's version marker, "$VER 0116 BLD 000C$" -> 1.1.6.12."""
  text = open(os.path.join(TOP, 'frame', 'settings.cpp'), encoding='ascii').read()
  m = re.search(r'\$VER ([0-9A-Fa-f]{2})([0-9A-Fa-f])([0-9A-Fa-f]) BLD ([0-9A-Fa-f]{4})\$', text)
  return '.'.join(str(int(part, 16)) for part in m.groups())


def archive_files(builds):
  """Returns [(name in the archive, path on disk)]; fails on a missing 32-bit file."""
  files = []
  for folder, build, variant in DLL_FOLDERS:
    source = os.path.join(builds[build], variant)
    if build == 'win64' and not os.path.isfile(os.path.join(source, 'dap32.dll')):
      continue
    for name in DLL_FILES:
      path = os.path.join(source, name)
      if not os.path.isfile(path):
        sys.exit(f'make_dist.py: {path} is missing: build it first')
      files.append((f'{folder}/{name}', path))
    files.append((f'{folder}/dap32.def', os.path.join(TOP, 'api', f'dap32_{variant}.def')))
  files.append(('include/dap32.h', os.path.join(TOP, 'include', 'dap32.h')))
  for tree in ('bindings', 'docs'):
    for root, dirs, names in os.walk(os.path.join(TOP, tree)):
      dirs.sort()
      for name in sorted(names):
        path = os.path.join(root, name)
        relative = os.path.relpath(path, TOP).replace(os.sep, '/')
        if not SKIPPED.search(relative):
          files.append((relative, path))
  return files


def main(argv):
  if len(argv) != 3:
    print(__doc__.strip().splitlines()[2], file=sys.stderr)
    return 2
  builds = {'win32': argv[0], 'win64': argv[1]}
  release = version()
  stem = f'dap32-{release}-windows'
  os.makedirs(argv[2], exist_ok=True)
  archive = os.path.join(argv[2], f'{stem}.zip')
  readme = open(os.path.join(TOP, 'packaging', 'README.txt'), encoding='ascii').read()
  contents = [(name, open(path, 'rb').read()) for name, path in archive_files(builds)]
  contents.append(('README.txt', readme.replace('@VERSION@', release).replace('\n', '\r\n')
                   .encode('ascii')))
  sums = ''.join(f'{hashlib.sha256(data).hexdigest()}  {name}\n' for name, data in contents)
  contents.append(('SHA256SUMS', sums.encode('ascii')))
  with zipfile.ZipFile(archive, 'w', zipfile.ZIP_DEFLATED) as out:
    for name, data in contents:
      out.writestr(f'{stem}/{name}', data)
  print(archive)
  return 0


if __name__ == '__main__':
  sys.exit(main(sys.argv[1:]))
