"""The Python binding, installed with pip, against pyftpdlib (run by run_binding_test.py)."""

import ctypes
import datetime
import gc
import os
import socket
import subprocess
import threading
import unittest

import dap32
from dap32 import native

PORT = int(os.environ['DAP32_TEST_PORT'])
USER = os.environ['DAP32_TEST_USER']
PASSWORD = os.environ['DAP32_TEST_PASSWORD']
WORK = os.environ['DAP32_TEST_WORK']


def session(**options):
  return dap32.Session('127.0.0.1', USER, PASSWORD, port=PORT, **options)


def scripted_server(end_of_retr):
  """A one-session server whose RETR sends five bytes and then the reply end_of_retr, or drops
  the control connection when it is None; every other command is accepted. Returns its port."""
  control, data = socket.create_server(('127.0.0.1', 0)), socket.create_server(('127.0.0.1', 0))
  control.settimeout(10)
  data.settimeout(10)

  def serve():
    with control, data:
      connection, _ = control.accept()
      connection.settimeout(10)
      with connection, connection.makefile('rb') as commands:
        connection.sendall(b'220 ready\r\n')
        for line in commands:
          verb = line.split()[0].upper()
          port = data.getsockname()[1]
          reply = {b'USER': b'331 password', b'PASS': b'230 in', b'RETR': b'150 data',
                   b'PASV': b'227 Entering Passive Mode (127,0,0,1,%d,%d)' % divmod(port, 256),
                   b'EPSV': b'229 Entering Extended Passive Mode (|||%d|)' % port}
          connection.sendall(reply.get(verb, b'200 ok') + b'\r\n')
          if verb == b'RETR':
            with data.accept()[0] as stream:
              stream.sendall(b'bytes')
            if end_of_retr is None:
              return
            connection.sendall(end_of_retr + b'\r\n')

  threading.Thread(target=serve, daemon=True).start()
  return control.getsockname()[1]


class SessionTest(unittest.TestCase):

  def test_files_directories_and_listings(self):
    original = os.path.join(WORK, 'original.bin')
    with open(original, 'wb') as out:
      out.write(os.urandom(300_000))
    copy = os.path.join(WORK, 'copy.bin')
    with session(log=os.path.join(WORK, 'python.log')) as ftp:
      self.assertEqual(ftp.mkd('py'), 'py')
      ftp.cwd('py')
      self.assertEqual(ftp.pwd(), '/py')
      ftp.put(original, 'up.bin')
      self.assertEqual(ftp.get('up.bin', copy), copy)
      with open(original, 'rb') as sent, open(copy, 'rb') as received:
        self.assertEqual(sent.read(), received.read())
      self.assertEqual(ftp.nlst(), ['up.bin'])
      entry, = ftp.listing()
      self.assertEqual((entry.name, entry.size, entry.is_dir), ('up.bin', 300_000, False))
      ftp.delete('up.bin')
      self.assertEqual(ftp.dir(), [])
      ftp.cwd('..')
      ftp.rmd('py')
    with open(os.path.join(WORK, 'python.log')) as log:
      self.assertIn('*** dapPutFile', log.read())

  def test_progress_callback_drives_the_transfer(self):
    original = os.path.join(WORK, 'progress.bin')
    with open(original, 'wb') as out:
      out.write(os.urandom(9 << 20))  # more than two fast steps of 4 MiB
    sent, received = [], []
    folder = os.path.join(WORK, 'down')
    os.mkdir(folder)
    with session() as ftp:
      ftp.put(original, callback=sent.append)
      copy = ftp.get('progress.bin', folder, callback=received.append)
      ftp.delete('progress.bin')
    self.assertEqual(copy, os.path.join(folder, 'progress.bin'))
    self.assertEqual(os.listdir(folder), ['progress.bin'])  # no scratch folder left behind
    for reports in (sent, received):
      self.assertGreater(len(reports), 2)
      self.assertEqual(reports, sorted(reports))
      self.assertEqual(reports[-1], 9 << 20)

  def test_failures_raise_their_exceptions(self):
    with self.assertRaises(dap32.ConnectError) as refused:
      dap32.Session('127.0.0.1', USER, PASSWORD, port=int(os.environ['DAP32_TEST_CLOSED_PORT']))
    self.assertEqual(refused.exception.code, -10061)
    self.assertIsInstance(refused.exception, ConnectionError)
    self.assertEqual(refused.exception.text, 'Connection refused by remote host.')
    target = os.path.join(WORK, 'kept.txt')
    with open(target, 'w') as out:
      out.write('kept')
    with session() as ftp:
      with self.assertRaises(dap32.ServerError) as refusal:
        ftp.get('missing.bin', target)
      self.assertEqual(refusal.exception.code, -18)
      self.assertEqual(refusal.exception.reply_code, 550)
      self.assertTrue(refusal.exception.reply.startswith('550 '), refusal.exception.reply)
      with self.assertRaises(ValueError):
        ftp.cwd('tab\there')
    with session(utf8=False) as ftp, self.assertRaises(ValueError):
      ftp.cwd('caf\u00e9')
    with open(target) as kept:
      self.assertEqual(kept.read(), 'kept')

  def test_commands_resume_listings_and_utf8_names(self):
    data = os.urandom(200_000)
    paths = [os.path.join(WORK, name) for name in ('whole.bin', 'half.bin', 'resumed.bin')]
    for path, content in zip(paths, (data, data[:70_000], data[:70_000])):
      with open(path, 'wb') as out:
        out.write(content)
    name, moved = 'caf\u00e9 \u00fc \u65e5\u672c.bin', []
    with session() as ftp:
      ftp.put(paths[1], 'r.bin')
      ftp.put(paths[0], 'r.bin', callback=moved.append, resume=True)
      ftp.get('r.bin', paths[2], callback=moved.append, resume=True)
      with open(paths[2], 'rb') as resumed:
        self.assertEqual((resumed.read(), ftp.size('r.bin'), moved[-1]), (data, 200_000, 130_000))
      self.assertIn(130_000, moved[:-1])
      self.assertTrue(ftp.rename('r.bin', name).startswith('250'))
      self.assertTrue(ftp.chmod(name, 0o640).startswith('200'))
      age = datetime.datetime.now(datetime.timezone.utc) - ftp.mdtm(name)
      (listed, facts), = ftp.mlsd()
      self.assertEqual((listed, facts['type'], facts['size']), (name, 'file', '200000'))
      self.assertTrue({'modify', 'perm', 'unique'} <= set(facts), facts)
      self.assertLess(abs(age.total_seconds()), 3600)
      self.assertTrue(ftp.sendcmd('NOOP').startswith('200'))
      with self.assertRaises(dap32.ServerError) as refused:
        ftp.sendcmd('SIZE missing.bin')
      self.assertEqual((refused.exception.reply_code, refused.exception.code), (550, -18))
      with open(ftp.get(name, WORK), 'rb') as named:
        self.assertEqual(named.read(), data)
      ftp.delete(name)

  def test_networks(self):
    for options in ({'proxy': 'ftp://nowhere:21'}, {'family': 'ipx'}):
      with self.assertRaises(ValueError):
        session(**options)
    script = os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'support',
                          'serve_networks.py')
    with subprocess.Popen(['/usr/bin/python3', script, 'socks5', WORK], stdin=subprocess.PIPE,
                          stdout=subprocess.PIPE) as proxy:
      port = int(proxy.stdout.readline().split()[1])
      log = os.path.join(WORK, 'networks.log')
      with dap32.Session('localhost', USER, PASSWORD, port=PORT, family='any', log=log,
                         proxy='socks5://127.0.0.1:%d' % port) as ftp:
        self.assertIn('/', ftp.pwd())
        ftp.nlst()
      proxy.stdin.close()
    with open(log, encoding='latin-1') as text:
      logged = text.read()
    self.assertIn('Proxy connected', logged)
    self.assertIn('S: EPSV', logged)

  def test_tls(self):
    tls = dict(port=int(os.environ['DAP32_TEST_TLS_PORT']), tls='explicit')
    cert, fingerprint = os.environ['DAP32_TEST_TLS_CERT'], os.environ['DAP32_TEST_TLS_FINGERPRINT']
    original, copy = os.path.join(WORK, 'tls.bin'), os.path.join(WORK, 'tls-copy.bin')
    with open(original, 'wb') as out:
      out.write(os.urandom(100_000))
    # An open session keeps the library attached: each of the others gets the channel back as
    # the one before left it, so no setting may linger.
    with session(), dap32.Session('127.0.0.1', USER, PASSWORD, ca_file=cert, **tls) as first:
      first.put(original)
      first.get('tls.bin', copy)
      self.assertTrue(first.tls_session.startswith('TLSv1.'), first.tls_session)
      self.assertEqual(native.dapGetInteger(first.channel, native.DAP_GET_TLS_DATA_RESUMED), 1)
      first.close()
      with dap32.Session('127.0.0.1', USER, PASSWORD, pin=fingerprint, **tls) as pinned:
        self.assertEqual(pinned.nlst(), ['tls.bin'])
      ftp = dap32.Session(**tls)
      with ftp, self.assertRaises(dap32.ConnectError) as rejected:
        ftp.connect('127.0.0.1', USER, PASSWORD, port=tls['port'])
      with dap32.Session('127.0.0.1', USER, PASSWORD, ca_file=cert, protect_data=False,
                         **tls) as clear, self.assertRaises(dap32.ServerError):
        clear.nlst()  # the server wants PROT P
    self.assertEqual((rejected.exception.code, rejected.exception.peer_fingerprint,
                      ftp.peer_fingerprint), (-33, fingerprint, fingerprint))
    with open(original, 'rb') as sent, open(copy, 'rb') as received:
      self.assertEqual(sent.read(), received.read())

  def test_failures_of_a_transfer_and_of_the_connection(self):
    for code, kind in ((-31, dap32.ServerError), (-1, ConnectionError),
                       (-10054, dap32.ConnectError), (-10060, TimeoutError)):
      self.assertIsInstance(dap32.session._error(None, code), kind)
    target = os.path.join(WORK, 'aborted.bin')
    with dap32.Session('127.0.0.1', 'u', 'p', port=scripted_server(b'426 Aborted.')) as ftp:
      with self.assertRaises(dap32.ServerError) as aborted:
        ftp.get('file.bin', target)
    self.assertEqual((aborted.exception.code, aborted.exception.reply_code), (-31, 426))
    self.assertEqual(aborted.exception.reply, '426 Aborted.')
    self.assertEqual(aborted.exception.text, 'LIST/GET/PUT not completed. 426 Aborted.')
    with dap32.Session('127.0.0.1', 'u', 'p', port=scripted_server(None)) as ftp:
      with self.assertRaises(dap32.ConnectError) as dropped:
        ftp.get('file.bin', target)
    self.assertEqual(dropped.exception.code, -1)
    self.assertFalse(os.path.exists(target))

  def test_names_never_leave_the_local_folder(self):
    folder = os.path.join(WORK, 'names')
    os.mkdir(folder)
    sibling = os.path.join(folder, 'notes.txt')
    with open(sibling, 'w') as out:
      out.write('mine')
    with session() as ftp:
      for name in ('../notes.txt', '/notes.txt', '\\notes.txt', 'C:notes.txt'):
        with self.assertRaises(ValueError, msg=name):
          ftp.get(name, os.path.join(folder, 'copy.txt'))
        with self.assertRaises(ValueError, msg=name):
          ftp.put(sibling, name)
    with open(sibling) as kept:
      self.assertEqual(kept.read(), 'mine')
    self.assertEqual(os.listdir(folder), ['notes.txt'])

  def test_pace(self):
    source = os.path.join(WORK, 'pace.bin')
    with open(source, 'wb') as out:
      out.write(os.urandom(1 << 20))
    largest = {}
    for pace in ('original', 'fast'):
      with session(pace=pace) as ftp:
        if pace == 'original':
          with self.assertRaises(ValueError):  # the pace is the whole library's
            session()
        reports = [0]
        ftp.put(source, callback=reports.append)
        ftp.delete('pace.bin')
      largest[pace] = max(after - before for before, after in zip(reports, reports[1:]))
    # A step of the original pace sends one uploadBlockSize (1024 bytes); one of the fast pace
    # what the socket takes, up to 4 MiB: a fresh connection takes 16 KiB at least.
    self.assertLessEqual(largest['original'], 1024)
    self.assertGreater(largest['fast'], 8192)

  def test_sessions_dropped_unclosed_give_their_channels_back(self):
    descriptors = len(os.listdir('/proc/self/fd'))
    for _ in range(40):  # more than the 32 channels
      ftp = session()
    del ftp
    gc.collect()
    self.assertEqual(len(os.listdir('/proc/self/fd')), descriptors)
    with session() as ftp:
      self.assertEqual(ftp.pwd(), '/')

  def test_one_to_one_layer(self):
    text = ctypes.create_string_buffer(64)
    self.assertEqual(native.dapExtract(b'a b\r\nc  d\r\n', 1, 2, text, 63), 1)
    self.assertEqual(text.value, b'd')
    self.assertEqual(native.dapAttach(1, 0), 1)
    try:
      self.assertEqual(native.dapGetInteger(0, native.DAP_GET_VERSION), dap32.VERSION)
      self.assertEqual(native.dapErrorText(0, native.DAP_ERR_TIMED_OUT, text, len(text)), 17)
      self.assertEqual(text.value, b'Socket timed out.')
    finally:
      self.assertEqual(native.dapRelease(), 1)


if __name__ == '__main__':
  unittest.main(verbosity=2)
