"""The Python binding, installed with pip, against pyftpdlib (run by run_binding_test.py)."""

import ctypes
import os
import unittest

import dap32
from dap32 import native

PORT = int(os.environ['DAP32_TEST_PORT'])
USER = os.environ['DAP32_TEST_USER']
PASSWORD = os.environ['DAP32_TEST_PASSWORD']
WORK = os.environ['DAP32_TEST_WORK']


def session(**options):
  return dap32.Session('127.0.0.1', USER, PASSWORD, port=PORT, **options)


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
      out.write(os.urandom(200_000))
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
      self.assertEqual(reports[-1], 200_000)

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
        ftp.cwd('caf\u00e9')
    with open(target) as kept:
      self.assertEqual(kept.read(), 'kept')

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
