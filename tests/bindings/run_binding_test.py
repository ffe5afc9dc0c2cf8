#!/usr/bin/python3
"""Builds one language's binding test and runs it against pyftpdlib on 127.0.0.1.

    run_binding_test.py {python|dotnet|pascal} LIBRARY_DIR SCRATCH_DIR

LIBRARY_DIR holds a libdap32.so built without sanitizers, which other runtimes can load.
The test program finds the server through DAP32_TEST_PORT, DAP32_TEST_USER and
DAP32_TEST_PASSWORD, pyftpdlib with explicit TLS through DAP32_TEST_TLS_PORT,
DAP32_TEST_TLS_CERT (its self-signed certificate, a PEM file) and DAP32_TEST_TLS_FINGERPRINT,
a port where nothing listens through DAP32_TEST_CLOSED_PORT, and a folder of its own through
DAP32_TEST_WORK. It ends with "N passed, M failed".
"""

import os
import select
import shutil
import socket
import subprocess
import sys
import time

TOP = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', '..'))
HERE = os.path.join(TOP, 'tests', 'bindings')
PYTHON = '/usr/bin/python3'  # Debian's, with pyftpdlib, setuptools and pip
BUILD_TIMEOUT = 300
RUN_TIMEOUT = 300
SERVER_TIMEOUT = 30


def steps(language, library_dir, scratch):
  """The commands that build the test, then the one that runs it."""
  if language == 'python':
    # Installed with the commands its README gives, offline, from a copy so that the build
    # leaves nothing in the source tree.
    source = os.path.join(scratch, 'source')
    shutil.copytree(os.path.join(TOP, 'bindings', 'python'), source)
    venv = os.path.join(scratch, 'env')
    return [[PYTHON, '-m', 'venv', '--system-site-packages', venv],
            [os.path.join(venv, 'bin', 'pip'), 'install', '--quiet', '--no-build-isolation',
             source]], \
        [os.path.join(venv, 'bin', 'python'), os.path.join(HERE, 'python_binding_test.py')]
  if language == 'dotnet':
    library = os.path.join(scratch, 'Dap32.dll')
    program = os.path.join(scratch, 'FtpSessionTest.exe')
    return [['mcs', '-nologo', '-warnaserror', '-target:library', f'-out:{library}',
             os.path.join(TOP, 'bindings', 'dotnet', 'Dap32Native.cs'),
             os.path.join(TOP, 'bindings', 'dotnet', 'FtpSession.cs')],
            ['mcs', '-nologo', '-warnaserror', f'-r:{library}', f'-out:{program}',
             os.path.join(HERE, 'FtpSessionTest.cs')]], ['mono', program]
  if language == 'pascal':
    program = os.path.join(scratch, 'session_test')
    return [['fpc', '-Sew', '-vw', f'-Fu{TOP}/bindings/pascal', f'-Fl{library_dir}',
             f'-FU{scratch}', f'-o{program}', os.path.join(HERE, 'session_test.pas')]], \
        [program]
  raise SystemExit(f'unknown language {language}')


def closed_port():
  # Bound and closed again: nothing listens there for the moment the test needs.
  with socket.socket() as sock:
    sock.bind(('127.0.0.1', 0))
    return sock.getsockname()[1]


def start_server(kind, root):
  """The server and the words of its READY line: port, user, password, and for TLS kinds the
  certificate's file and fingerprint."""
  server = subprocess.Popen([PYTHON, os.path.join(TOP, 'tests', 'support', 'serve_ftp.py'),
                             kind, root], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            text=True)
  deadline = time.monotonic() + SERVER_TIMEOUT
  while time.monotonic() < deadline:
    if not select.select([server.stdout], [], [], deadline - time.monotonic())[0]:
      break
    line = server.stdout.readline()
    if not line:
      break
    if line.startswith('READY '):
      return server, line.split()[1:]
    if line.startswith('FAILED'):
      break
  stop_server(server)
  raise SystemExit(f'FAIL {kind} did not start')


def stop_server(server):
  # EOF on its input asks it to stop.
  server.stdin.close()
  try:
    server.wait(timeout=10)
  except subprocess.TimeoutExpired:
    server.kill()
    server.wait(timeout=10)


def main(argv):
  if len(argv) != 3:
    print(__doc__.strip().splitlines()[2], file=sys.stderr)
    return 2
  language, library_dir, scratch = argv[0], os.path.abspath(argv[1]), os.path.abspath(argv[2])
  if not os.path.isfile(os.path.join(library_dir, 'libdap32.so')):
    print(f'FAIL {library_dir}/libdap32.so does not exist: build the library first')
    return 1
  shutil.rmtree(scratch, ignore_errors=True)
  os.makedirs(os.path.join(scratch, 'root'))
  os.makedirs(os.path.join(scratch, 'work'))
  builds, run = steps(language, library_dir, scratch)
  for command in builds:
    print('$ ' + ' '.join(command), flush=True)
    if subprocess.run(command, timeout=BUILD_TIMEOUT).returncode != 0:
      print(f'FAIL {command[0]} failed')
      return 1
  server, (port, user, password) = start_server('pyftpdlib', os.path.join(scratch, 'root'))
  try:
    os.makedirs(os.path.join(scratch, 'root-tls'))
    tls_server, (tls_port, _, _, cert, fingerprint) = start_server(
        'pyftpdlib-tls', os.path.join(scratch, 'root-tls'))
  except BaseException:
    stop_server(server)
    raise
  env = dict(os.environ, DAP32_TEST_PORT=port, DAP32_TEST_USER=user,
             DAP32_TEST_PASSWORD=password, DAP32_TEST_TLS_PORT=tls_port,
             DAP32_TEST_TLS_CERT=cert, DAP32_TEST_TLS_FINGERPRINT=fingerprint,
             DAP32_TEST_CLOSED_PORT=str(closed_port()),
             DAP32_TEST_WORK=os.path.join(scratch, 'work'),
             DAP32_LIBRARY=os.path.join(library_dir, 'libdap32.so'),
             LD_LIBRARY_PATH=library_dir)
  try:
    print('$ ' + ' '.join(run), flush=True)
    return subprocess.run(run, env=env, timeout=RUN_TIMEOUT).returncode
  finally:
    stop_server(tls_server)
    stop_server(server)


if __name__ == '__main__':
  sys.exit(main(sys.argv[1:]))
