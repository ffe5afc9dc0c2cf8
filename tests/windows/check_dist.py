#!/usr/bin/env python3
"""Checks the Windows distribution archive that packaging/make_dist.py writes.

Usage: check_dist.py ARCHIVE

Unpacks it; checks its listing and every checksum in SHA256SUMS; reads each DLL's version
resource back; then runs check_exports.py on the unpacked DLLs, which links C programs
against every import library, GNU's and Microsoft's.
"""

import hashlib
import os
import re
import sys
import tempfile
import zipfile

import pefile

import check_exports

TOP = check_exports.TOP
DLLS = {'plain': 'x86/plain', 'decorated': 'x86/decorated', 'x64': 'x64'}
DESCRIPTIONS = {'plain': '32-bit, plain export names',
                'decorated': '32-bit, stdcall-decorated export names', 'x64': '64-bit'}
fail, ok = check_exports.fail, check_exports.ok


def expected_names():
  names = {'README.txt', 'SHA256SUMS', 'include/dap32.h'}
  for folder in DLLS.values():
    names |= {f'{folder}/{n}' for n in ('dap32.dll', 'libdap32.dll.a', 'dap32.lib', 'dap32.def')}
  return names


def check_listing(names, stem):
  outside = [n for n in names if not n.startswith(stem + '/')]
  if outside:
    fail(f'entries outside the folder {stem}/: {outside[:3]}')
  inside = {n[len(stem) + 1:] for n in names if n.startswith(stem + '/')}
  missing = sorted(expected_names() - inside)
  for name in missing:
    fail(f'the archive has no {name}')
  if not missing:
    ok('the archive holds the DLLs, import libraries, .def files, header and README.txt')
  for tree in ('bindings', 'docs'):
    if os.path.isdir(os.path.join(TOP, tree)) and not any(n.startswith(tree + '/') for n in inside):
      fail(f'the archive has no {tree}/')
  return inside


def check_sums(root, inside):
  listed = {}
  for line in open(os.path.join(root, 'SHA256SUMS'), encoding='ascii'):
    digest, name = line.rstrip('\n').split('  ', 1)
    listed[name] = digest
  actual = {n: hashlib.sha256(open(os.path.join(root, n), 'rb').read()).hexdigest()
            for n in inside - {'SHA256SUMS'}}
  if check_exports.compare('SHA256SUMS', listed, actual):
    ok(f'SHA256SUMS matches all {len(actual)} other files')


def check_version_resource(variant, path, release):
  pe = pefile.PE(path)
  strings = {}
  for info in getattr(pe, 'FileInfo', [[]])[0]:
    for table in getattr(info, 'StringTable', []):
      strings.update({k.decode(): v.decode() for k, v in table.entries.items()})
  fixed = pe.VS_FIXEDFILEINFO[0] if hasattr(pe, 'VS_FIXEDFILEINFO') else None
  parts = [int(p) for p in release.split('.')]
  numbers = ([fixed.FileVersionMS >> 16, fixed.FileVersionMS & 0xFFFF,
              fixed.FileVersionLS >> 16, fixed.FileVersionLS & 0xFFFF] if fixed else None)
  want = {'FileVersion': release, 'ProductVersion': release, 'ProductName': 'dap32',
          'OriginalFilename': 'dap32.dll',
          'FileDescription': f'dap32 FTP client library, {DESCRIPTIONS[variant]}'}
  good = check_exports.compare(f'{variant} version resource',
                               {k: strings.get(k) for k in want}, want)
  if numbers != parts:
    fail(f'{variant}: fixed file version {numbers}, expected {parts}')
  elif good:
    ok(f'{variant}: version resource {release}, "{want["FileDescription"]}"')


def main(argv):
  if len(argv) != 1:
    print(__doc__.strip().splitlines()[2], file=sys.stderr)
    return 2
  archive = argv[0]
  m = re.match(r'^(dap32-(\d+\.\d+\.\d+\.\d+)-windows)\.zip$', os.path.basename(archive))
  if not m:
    print(f'FAIL {archive}: not named dap32-VERSION-windows.zip')
    return 1
  stem, release = m.groups()
  with tempfile.TemporaryDirectory(prefix='dap32-dist-') as workdir, \
       zipfile.ZipFile(archive) as unpacked:
    unpacked.extractall(workdir)
    inside = check_listing(unpacked.namelist(), stem)
    root = os.path.join(workdir, stem)
    check_sums(root, inside)
    dlls = {v: os.path.join(root, folder, 'dap32.dll') for v, folder in DLLS.items()}
    for variant, path in dlls.items():
      check_version_resource(variant, path, release)
    check_exports.main([f'{v}={p}' for v, p in dlls.items()])
  if check_exports.failures:
    print(f'{len(check_exports.failures)} failed')
    return 1
  print('the archive is complete')
  return 0


if __name__ == '__main__':
  sys.exit(main(sys.argv[1:]))
