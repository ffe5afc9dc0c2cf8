"""The Pythonic layer: a Session in the manner of ftplib, and exceptions for the result codes.

Names sent to the server must be at most 128 bytes without control characters: host, user and
password printable ASCII, file and directory names UTF-8 (printable ASCII with utf8=False).
The library would cut anything else, so it is refused here with ValueError. So is a name for
get or put that would lead out of the local folder (a ".." segment, a leading "/" or "\\", a
drive letter, on Windows any "\\"). Listings and replies are decoded as UTF-8, with
undecodable bytes replaced.
"""

import collections
import contextlib
import ctypes
import datetime
import errno
import os
import re
import shutil
import tempfile
import threading
import weakref

from . import _api, native

ENCODING = "ascii"
NAME_ENCODING = "utf-8"
LISTING_ENCODING = "utf-8"
REPLY_SIZE = 8192
COMMAND_LIMIT = 2000
FIRST_LISTING_SIZE = 64 * 1024
LAST_LISTING_SIZE = 256 * 1024 * 1024
ERROR_TEXT_SIZE = 4096


class Error(Exception):
    """A failure of the library: code is its result code, text what dapErrorText says.
    peer_fingerprint is set when a TLS connect fails after the server showed its certificate
    (-33 "Server certificate rejected." among others): its SHA-256, to show and to pin."""

    peer_fingerprint = ""

    def __init__(self, code, text):
        super().__init__(code, text)
        self.code = code
        self.text = text

    def __str__(self):
        return f"{self.text} ({self.code})"


class ConnectError(Error, ConnectionError):
    """The server cannot be reached (the connection was refused, or the host is unknown or
    unreachable), or the connection to it was lost."""


class ServerError(Error):
    """The server refused a command, or ended a transfer with another reply than 226; reply is
    its reply line, reply_code the number."""

    reply = ""
    reply_code = 0


class Timeout(Error, TimeoutError):
    """A reply or a connection did not come in time."""


_ERROR_CLASSES = {"connect": ConnectError, "server": ServerError, "timeout": Timeout}

# One entry of a LIST reply. name, size (None when the line does not show one), is_dir,
# permissions and modified are read from a Unix-style line; line is the line itself.
Entry = collections.namedtuple("Entry", "name size is_dir permissions modified line")


# The sessions' pace: README.md's fast settings, or the library's defaults when the caller asks
# for the original pace. Library-wide, so set once, when the first session attaches.
FAST_SETTINGS = {
    _api.DAP_SET_CLOSE_PAUSE: 0,
    _api.DAP_SET_TRANSFER_CHUNK: 4 << 20,
    _api.DAP_SET_POLL_SLEEP: 1,
    _api.DAP_SET_FINAL_BLOCK_DELAY: 0,
    _api.DAP_SET_UPLOAD_BLOCK_SIZE: 8192,
}
# DAP_SET_ADDRESS_FAMILY by name: "ipv4" resolves names to IPv4 (and takes IPv6 literals).
FAMILIES = {"ipv4": 0, "any": 1, "ipv6": 2}
# DAP_SET_TLS by name.
TLS_MODES = {None: 0, "explicit": 1, "implicit": 2}
TLS_TEXT_SIZE = 256
PACES = {"fast": FAST_SETTINGS,
         "original": {code: _api.SET_DEFAULTS[code] for code in FAST_SETTINGS}}


def _error_text(chan, code):
    buffer = ctypes.create_string_buffer(ERROR_TEXT_SIZE)
    if native.dapErrorText(chan, code, buffer, len(buffer)) <= 0:
        return ""
    return buffer.value.decode("latin-1").strip()


def _error(chan, code):
    text, kind = _api.ERRORS.get(code, ("", None))
    if chan is not None:
        text = _error_text(chan, code) or text
    cls = _ERROR_CLASSES.get(kind, Error)
    if cls is not ServerError or chan is None:
        return cls(code, text or f"dap32 error {code}")
    # Only the refusals carry the reply in their own text; -18's always does.
    refused = _api.ERRORS[_api.DAP_ERR_SERVER_REFUSED][0]
    reply = _error_text(chan, _api.DAP_ERR_SERVER_REFUSED)[len(refused):].strip()
    if code not in _api.REPLY_CODES and reply:
        text = f"{text} {reply}"
    error = ServerError(code, text)
    error.reply = reply
    error.reply_code = native.dapGetInteger(chan, _api.DAP_GET_SERVER_CODE)
    return error


def _get_string(chan, code):
    buffer = ctypes.create_string_buffer(TLS_TEXT_SIZE)
    native.dapGetString(chan, code, buffer, len(buffer))
    return buffer.value.decode("latin-1")


def _name(text, what="name", limit=_api.NAME_LIMIT, utf8=False):
    """The bytes the library is given for text, which it must not cut: printable ASCII, and with
    utf8 also UTF-8 characters beyond it."""
    data = os.fsencode(text) if isinstance(text, os.PathLike) else text
    if isinstance(data, str):
        try:
            data = data.encode(NAME_ENCODING if utf8 else ENCODING)
        except UnicodeEncodeError:
            raise ValueError(f"{what} {text!r} is not {'UTF-8' if utf8 else 'ASCII'}") from None
    if utf8:
        try:
            data.decode(NAME_ENCODING)
        except UnicodeDecodeError:
            raise ValueError(f"{what} {text!r} is not UTF-8") from None
    if any(byte < 0x20 or byte == 0x7F or (byte > 0x7F and not utf8) for byte in data):
        raise ValueError(f"{what} {text!r} holds a character the library would cut")
    if len(data) > limit:
        raise ValueError(f"{what} {text!r} is longer than {limit} bytes")
    return data


_DRIVE = re.compile(r"[A-Za-z]:")


def _local_parts(name):
    """The folders and file name below the local folder where the library puts the file of the
    remote name (validated bytes). A server-supplied name must not choose a file outside it."""
    text = name.decode(NAME_ENCODING)
    parts = text.split("/")
    if (text.startswith(("/", "\\")) or ".." in parts or any(_DRIVE.match(p) for p in parts)
            or (os.sep == "\\" and "\\" in text)):
        raise ValueError(f"name {text!r} would lead out of the local folder")
    return parts


def _usable_dir(path, utf8):
    try:
        _name(os.fsencode(path), "local directory", _api.LOCAL_DIR_LIMIT, utf8)
        return True
    except ValueError:
        return False


def _scratch_near(folder, utf8):
    """A temporary directory in folder, so that the result can be renamed into place; the
    system's when folder's path is too long, or holds what the library would cut."""
    if _usable_dir(os.path.join(folder, ".dap32-xxxxxxxx"), utf8):
        return tempfile.TemporaryDirectory(prefix=".dap32-", dir=folder)
    return tempfile.TemporaryDirectory(prefix="dap32-")


def _parse_entry(line):
    parts = line.split(None, 8)
    if len(parts) == 9 and parts[0][:1] in "-dlbcps":
        name = parts[8]
        if parts[0].startswith("l") and " -> " in name:
            name = name.split(" -> ", 1)[0]
        size = int(parts[4]) if parts[4].isdigit() else None
        return Entry(name, size, parts[0].startswith("d"), parts[0], " ".join(parts[5:8]), line)
    return Entry(line, None, False, "", "", line)


def _parse_facts(line):
    """(name, facts) of an MLSD line "type=file;size=10;modify=20240102030405; name", the
    facts' names in lower case and their values as the server wrote them, as ftplib's mlsd."""
    facts_text, _, name = line.partition(" ")
    facts = {}
    for fact in facts_text.rstrip(";").split(";"):
        key, _, value = fact.partition("=")
        if key:
            facts[key.lower()] = value
    return name, facts


# The library is attached once for all sessions, with every channel; each session takes one
# and the last to close releases the library.
_pool_lock = threading.Lock()
_free_channels = []
_sessions = 0
_attached = False
_pace = None
# Channels of sessions collected without close, closed already, waiting for the pool's lock.
_dropped = collections.deque()


def _acquire_channel(pace):
    global _sessions, _attached, _pace
    try:
        with _pool_lock:
            _take_back_dropped()
            if _sessions == 0:
                if not _attached:
                    result = native.dapAttach(_api.MAX_CHANNELS, 0)
                    if result < 0:
                        raise _error(None, result)
                    _attached = True
                    _free_channels[:] = range(_api.MAX_CHANNELS - 1, -1, -1)
                # The settings outlast dapRelease: the original pace must be set again too.
                for code, value in PACES[pace].items():
                    native.dapSetInteger(0, code, value)
                _pace = pace
            elif pace != _pace:
                raise ValueError(f"pace {pace!r} asked while open sessions keep the {_pace!r} "
                                 "pace; it applies to the whole library")
            if not _free_channels:
                raise Error(_api.DAP_ERR_CHANNEL_RANGE,
                            f"all {_api.MAX_CHANNELS} channels are in use")
            _sessions += 1
            return _free_channels.pop()
    finally:
        _reap_dropped()


def _release_channel(chan):
    global _sessions
    with _pool_lock:
        _free_channels.append(chan)
        _sessions -= 1
        _take_back_dropped()
        _release_if_unused()
    _reap_dropped()


def _take_back_dropped():
    # A finalizer that runs meanwhile (the garbage collector may start inside this loop) only
    # appends, and this loop takes its channel too.
    global _sessions
    while _dropped:
        _free_channels.append(_dropped.popleft())
        _sessions -= 1


def _release_if_unused():
    global _attached
    if _sessions == 0 and _attached:
        native.dapRelease()
        _attached = False


def _reap_dropped():
    # Whoever held the lock while a finalizer queued its channel looks again after releasing it.
    while _dropped and _pool_lock.acquire(blocking=False):
        try:
            _take_back_dropped()
            _release_if_unused()
        finally:
            _pool_lock.release()


def _close_channel(chan):
    # With AUTO_CALL off dapClose would leave the connection open.
    native.dapSetInteger(chan, _api.DAP_SET_AUTO_CALL, 1)
    return native.dapClose(chan)


def _drop_channel(chan):
    """The finalizer of a session collected without close. It may run in any thread, even in
    one that holds the pool's lock, so it closes the connection at once (the channel still
    counts as taken, so the library is attached) but hands the channel back only when the
    lock is free."""
    _close_channel(chan)
    _dropped.append(chan)
    _reap_dropped()


class Session:
    """One FTP session on a channel of its own.

    Session(host, user, password) connects at once, as ftplib.FTP does; use it in a with
    statement to close it. passive chooses PASV data connections (the default; False uses
    PORT and a listener, active mode). binary sends TYPE I after the login. log names a file
    for the channel's debug log. pace "fast" (the default) sets the library's fast settings
    when the first session attaches it; "original" keeps the library's own, slower pace. The
    pace applies to every channel, so sessions open at the same time must agree on it. utf8
    (the default) lets file and directory names be UTF-8 and sends OPTS UTF8 ON after the
    login; False keeps them printable ASCII. epsv (the default, as in ftplib) sends EPSV and
    EPRT, with PASV and PORT for a server that refuses them; family "ipv4" (the default), "any"
    or "ipv6" chooses the addresses a host name resolves to; proxy is
    "socks5://[user:password@]host:port" or "http://..." (active mode cannot go through one).
    A session collected without close is closed by its finalizer.

    FTPS, where ftplib.FTP_TLS would be used: tls="explicit" is FTP_TLS with login() (AUTH TLS,
    then the login inside TLS), tls="implicit" TLS from the connect on (port 990 unless given;
    ftplib has none); protect_data True (the default) is prot_p(), False prot_c(). verify=True
    (the default) is a context with CERT_REQUIRED and check_hostname: the certificate must
    chain to a trusted root and name host; ca_file is the context's load_verify_locations
    (cafile), used instead of the system's store; verify=False is CERT_NONE. pin, the SHA-256
    fingerprint of the one certificate to accept (64 hex digits, colons and blanks allowed),
    replaces every other check: the way to trust a self-signed server. A rejected certificate
    raises ConnectError with code -33 and the fingerprint the server showed as
    peer_fingerprint; the session's tls_session and peer_fingerprint tell the connection's.
    """

    def __init__(self, host=None, user="anonymous", password="", *, port=None, passive=True,
                 binary=True, log=None, pace="fast", utf8=True, epsv=True, family="ipv4",
                 proxy=None, tls=None, verify=True, pin=None, ca_file=None, protect_data=True):
        if pace not in PACES:
            raise ValueError(f"pace must be one of {sorted(PACES)}, not {pace!r}")
        if family not in FAMILIES:
            raise ValueError(f"family must be one of {sorted(FAMILIES)}, not {family!r}")
        if tls not in TLS_MODES:
            raise ValueError(f"tls must be None, 'explicit' or 'implicit', not {tls!r}")
        self.tls = tls
        self.verify = verify
        self.pin = pin
        self.ca_file = ca_file
        self.protect_data = protect_data
        # What the last connection showed, kept when the channel goes back to the pool.
        self._tls_texts = ("", "")
        self.epsv = epsv
        self.family = family
        self.proxy = proxy
        self.channel = None
        self._finalizer = None
        self.passive = passive
        self.binary = binary
        self.log = log
        self.pace = pace
        self.utf8 = utf8
        if host is not None:
            try:
                self.connect(host, user, password, port=port)
            except BaseException:
                self.close()  # nobody else holds the session to close it
                raise

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.close()

    def _check(self, result):
        if result < 0:
            raise _error(self.channel, result)
        return result

    def _chan(self):
        if self.channel is None:
            raise Error(_api.DAP_ERR_NOT_ATTACHED, "the session is not connected")
        return self.channel

    def connect(self, host, user="anonymous", password="", *, port=None):
        """Connects and logs in; port None is 21, or 990 with tls="implicit"."""
        if port is None:
            port = 990 if self.tls == "implicit" else 21
        server, user, password = _name(host, "host"), _name(user, "user"), _name(password,
                                                                                  "password")
        if self.channel is None:
            self.channel = _acquire_channel(self.pace)
            self._finalizer = weakref.finalize(self, _drop_channel, self.channel)
        chan = self.channel
        # UTF-8 first: with it the log's path is UTF-8, as os.fsencode gives it on Windows too.
        native.dapSetInteger(chan, _api.DAP_SET_UTF8, 1 if self.utf8 else 0)
        if self.log is not None and native.dapSetString(chan, _api.DAP_STR_LOG_OPEN,
                                                        os.fsencode(self.log)) <= 0:
            raise OSError(f"cannot create the log file {self.log}")
        native.dapSetInteger(chan, _api.DAP_SET_SERVER_PORT, port)
        native.dapSetInteger(chan, _api.DAP_SET_PASSIVE, 1 if self.passive else 0)
        native.dapSetInteger(chan, _api.DAP_SET_EXTENDED, 1 if self.epsv else 0)
        native.dapSetInteger(chan, _api.DAP_SET_ADDRESS_FAMILY, FAMILIES[self.family])
        proxy = self.proxy.encode(ENCODING) if self.proxy else b""
        if native.dapSetString(chan, _api.DAP_STR_PROXY, proxy) < 0:
            raise ValueError(f"proxy cannot be read: {self.proxy!r}")
        self._set_tls(chan)
        result = native.dapConnect(chan, server, user, password)
        if result < 0:
            error = _error(chan, result)
            error.peer_fingerprint = self.peer_fingerprint
            raise error
        if self.binary:
            self.set_mode("B")

    def _set_tls(self, chan):
        # Every connect sets all of them: a channel from the pool keeps its last session's.
        native.dapSetInteger(chan, _api.DAP_SET_TLS, TLS_MODES[self.tls])
        native.dapSetInteger(chan, _api.DAP_SET_TLS_VERIFY, 1 if self.verify else 0)
        native.dapSetInteger(chan, _api.DAP_SET_TLS_DATA, 1 if self.protect_data else 0)
        pin = self.pin.encode(ENCODING, "replace") if self.pin else b""
        if native.dapSetString(chan, _api.DAP_STR_TLS_PIN, pin) < 0:
            raise ValueError(f"pin is not a SHA-256 fingerprint: {self.pin!r}")
        ca_file = os.fsencode(self.ca_file) if self.ca_file else b""
        if ca_file and not os.path.isfile(ca_file):
            raise FileNotFoundError(self.ca_file)
        if native.dapSetString(chan, _api.DAP_STR_TLS_CA_FILE, ca_file) < 0:
            raise ValueError(f"ca_file's path is too long: {self.ca_file!r}")

    @property
    def tls_session(self):
        """Protocol and cipher of the control connection, as "TLSv1.3 TLS_AES_256_GCM_SHA384";
        "" without TLS. After close, the last connection's."""
        if self.channel is None:
            return self._tls_texts[0]
        return _get_string(self.channel, _api.DAP_STR_TLS_SESSION)

    @property
    def peer_fingerprint(self):
        """The SHA-256 fingerprint (64 uppercase hex digits) of the certificate the server
        showed at the last TLS connect, also when it was rejected: what pin takes. After
        close, the last connection's."""
        if self.channel is None:
            return self._tls_texts[1]
        return _get_string(self.channel, _api.DAP_STR_TLS_PEER_FINGERPRINT)

    def quit(self):
        """Sends QUIT and closes the connection, raising if the server's answer was a failure."""
        self._close(check=True)

    def close(self):
        """Closes the connection and frees the channel; never raises for the server's answer."""
        self._close(check=False)

    def _close(self, check):
        if self.channel is None:
            return
        chan = self.channel
        self._tls_texts = (self.tls_session, self.peer_fingerprint)
        self.channel = None
        self._finalizer.detach()
        try:
            result = _close_channel(chan)
            if check and result < 0:
                raise _error(chan, result)
        finally:
            _release_channel(chan)

    def set_mode(self, mode):
        """'A' for TYPE A (text), 'B' for TYPE I (binary); applies to every later transfer."""
        self._check(native.dapSetMode(self._chan(), ord(mode)))

    def _server_name(self, text, what="name"):
        return _name(text, what, utf8=self.utf8)

    def cwd(self, path):
        self._check(native.dapSetServerDir(self._chan(), self._server_name(path, "directory")))

    def pwd(self):
        buffer = ctypes.create_string_buffer(_api.NAME_LIMIT + 1)
        self._check(native.dapGetServerDir(self._chan(), buffer, _api.NAME_LIMIT))
        return buffer.value.decode(NAME_ENCODING, "replace")

    def mkd(self, name):
        self._check(native.dapMakeServerDir(self._chan(), self._server_name(name, "directory")))
        return name

    def rmd(self, name):
        self._check(native.dapDelServerDir(self._chan(), self._server_name(name, "directory")))

    def delete(self, name):
        self._check(native.dapDelFile(self._chan(), self._server_name(name)))

    def sendcmd(self, cmd):
        """Sends cmd and returns the final reply's text (every line of it); a reply from 400 up
        raises ServerError with it, as ftplib's error_temp and error_perm do."""
        chan = self._chan()
        text = _name(cmd, "command", COMMAND_LIMIT, self.utf8)
        buffer = ctypes.create_string_buffer(REPLY_SIZE)
        code = self._check(native.dapCommand(chan, text, buffer, len(buffer)))
        reply = buffer.value.decode(LISTING_ENCODING, "replace")
        if code >= 400:
            refused = _api.ERRORS[_api.DAP_ERR_SERVER_REFUSED][0]
            error = ServerError(_api.DAP_ERR_SERVER_REFUSED, f"{refused} {reply}")
            error.reply, error.reply_code = reply, code
            raise error
        return reply

    def rename(self, fromname, toname):
        """RNFR, then RNTO; returns RNTO's reply."""
        reply = self.sendcmd("RNFR " + os.fsdecode(fromname))
        if not reply.startswith("3"):
            raise Error(_api.DAP_ERR_NOT_COMPLETED, f"RNFR answered {reply!r}")
        return self.sendcmd("RNTO " + os.fsdecode(toname))

    def size(self, name):
        """The file's size in bytes (SIZE; under TYPE A some servers refuse it, and sessions set
        TYPE I by default)."""
        return int(self.sendcmd("SIZE " + os.fsdecode(name))[3:].strip())

    def mdtm(self, name):
        """The file's modification time (MDTM), an aware datetime in UTC."""
        stamp = self.sendcmd("MDTM " + os.fsdecode(name))[3:].strip()
        whole, _, fraction = stamp.partition(".")
        moment = datetime.datetime.strptime(whole, "%Y%m%d%H%M%S")
        micro = int((fraction + "000000")[:6]) if fraction.isdigit() else 0
        return moment.replace(microsecond=micro, tzinfo=datetime.timezone.utc)

    def chmod(self, name, mode):
        """SITE CHMOD: mode as a number (0o640) or as the server takes it ("640")."""
        mode = format(mode, "o") if isinstance(mode, int) else mode
        return self.sendcmd(f"SITE CHMOD {mode} {os.fsdecode(name)}")

    def mlsd(self, path="", facts=()):
        """MLSD of the current directory, or of path: (name, facts) pairs as ftplib yields them,
        the facts a dict of lower-case names (type, size, modify, perm, unique ...) to the
        server's texts. facts, when given, asks for just those with OPTS MLST."""
        if facts:
            self.sendcmd("OPTS MLST " + "".join(fact + ";" for fact in facts))
        lines = self._list(_api.DAP_LIST_MACHINE, _api.DAP_LIST_MACHINE_PATH, path or None)
        return (_parse_facts(line) for line in lines)

    def _list(self, kind, kind_with_path, path):
        chan = self._chan()
        if path is None:
            argument = b""
        else:
            kind, argument = kind_with_path, self._server_name(path, "path")
        size = FIRST_LISTING_SIZE
        while True:
            buffer = ctypes.create_string_buffer(argument, size)
            length = self._check(native.dapGetList(chan, kind, buffer, size))
            # A piece that did not fit was dropped; only this much room proves none was.
            if size - length > _api.LISTING_PIECE:
                text = buffer.raw[:length].decode(LISTING_ENCODING, "replace")
                return [line for line in text.split("\r\n") if line]
            if size >= LAST_LISTING_SIZE:
                raise Error(_api.DAP_ERR_CANNOT_COMPLY,
                            f"the listing is longer than {LAST_LISTING_SIZE} bytes")
            size *= 4

    def nlst(self, path=None):
        """The names in the current directory, or those NLST gives for path."""
        return self._list(_api.DAP_LIST_NAMES, _api.DAP_LIST_NAMES_PATTERN, path)

    def dir(self, path=None):
        """The lines of LIST, for the current directory or path."""
        return self._list(_api.DAP_LIST_FULL, _api.DAP_LIST_FULL_PATTERN, path)

    def listing(self, path=None):
        """LIST read into Entry records."""
        return [_parse_entry(line) for line in self.dir(path)]

    def _set_local_dir(self, folder):
        self._check(native.dapSetLocalDir(self._chan(), _name(
            os.fsencode(folder), "local directory", _api.LOCAL_DIR_LIMIT, self.utf8)))

    def _transfer(self, start, counter, callback, resume=False):
        """Runs a transfer; with a callback, drives it here with AUTO_CALL off, reporting the
        bytes moved after every step. resume continues from what the other side holds."""
        chan = self._chan()
        native.dapSetInteger(chan, _api.DAP_SET_RESUME, 1 if resume else 0)
        if callback is None:
            self._check(start(chan))
            return
        native.dapSetInteger(chan, _api.DAP_SET_AUTO_CALL, 0)
        ended = False
        try:
            self._check(start(chan))
            reported = -1
            while True:
                result = native.dapDriver(chan)
                ended = result <= 0
                moved = native.dapGetInteger(chan, counter)
                if moved != reported:
                    reported = moved
                    callback(moved)
                if ended:
                    break
            self._check(result)
        except BaseException:
            # A callback that raised, or an interrupt, leaves no transfer half-open.
            if not ended:
                native.dapAbort(chan)
            raise
        finally:
            native.dapSetInteger(chan, _api.DAP_SET_AUTO_CALL, 1)

    def get(self, remote, local=None, callback=None, resume=False):
        """Downloads remote to local (a file, or a directory to put it in under its own name;
        by default the current directory) and returns the file's path. callback(bytes_so_far)
        follows the transfer. A failed download leaves local as it was. resume continues a
        local file that holds the start of remote (REST; needs binary): callback then counts
        the bytes this transfer moves, and a resumed download that fails keeps what it got."""
        name = self._server_name(remote)
        parts = _local_parts(name)
        local = os.path.abspath(local if local is not None else os.curdir)
        if os.path.isdir(local):
            local = os.path.join(local, parts[-1])
        with _scratch_near(os.path.dirname(local), self.utf8) as scratch:
            # The library names the local file as the remote one, below its local directory.
            os.makedirs(os.path.join(scratch, *parts[:-1]), exist_ok=True)
            received = os.path.join(scratch, *parts)
            if resume and os.path.isfile(local):
                try:
                    os.link(local, received)
                except OSError:
                    shutil.copyfile(local, received)
            self._set_local_dir(scratch)
            self._transfer(lambda chan: native.dapGetFile(chan, name),
                           _api.DAP_GET_BYTES_RECEIVED, callback, resume)
            try:
                os.replace(received, local)
            except OSError as error:
                if error.errno != errno.EXDEV:
                    raise
                # The scratch folder is on another file system: copy beside local first, so
                # that the replacement itself is still one step.
                with open(received, "rb") as source, tempfile.NamedTemporaryFile(
                        dir=os.path.dirname(local), prefix=".dap32-", delete=False) as staged:
                    shutil.copyfileobj(source, staged)
                try:
                    os.replace(staged.name, local)
                except BaseException:
                    with contextlib.suppress(OSError):  # the replace's own error matters
                        os.unlink(staged.name)
                    raise
        return local

    def put(self, local, remote=None, callback=None, resume=False):
        """Uploads the file local as remote (by default its own name). callback(bytes_so_far)
        follows the transfer. resume continues the server's file from its size (SIZE, then
        REST; needs binary)."""
        local = os.path.abspath(local)
        if not os.path.isfile(local):
            raise FileNotFoundError(local)
        remote = remote if remote is not None else os.path.basename(local)
        name = self._server_name(remote)
        parts = _local_parts(name)
        start = lambda chan: native.dapPutFile(chan, name)  # noqa: E731
        folder = os.path.dirname(local)
        if remote == os.path.basename(local) and _usable_dir(folder, self.utf8):
            self._set_local_dir(folder)
            self._transfer(start, _api.DAP_GET_BYTES_SENT, callback, resume)
            return
        # The library reads the file under the remote name: give it one in a scratch folder.
        with tempfile.TemporaryDirectory(prefix="dap32-") as scratch:
            staged = os.path.join(scratch, *parts)
            os.makedirs(os.path.dirname(staged), exist_ok=True)
            try:
                os.link(local, staged)
            except OSError:
                shutil.copyfile(local, staged)
            self._set_local_dir(scratch)
            self._transfer(start, _api.DAP_GET_BYTES_SENT, callback, resume)
