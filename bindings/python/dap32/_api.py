"""The dap32 API for ctypes: signatures, constants and error texts.

Written by bindings/generate.py from bindings/dap32.toml; edit those, not this file.
"""

from ctypes import POINTER, c_char, c_char_p, c_int32, c_uint32

VERSION = 278
BUILD = 12
MAX_CHANNELS = 32
NAME_LIMIT = 128
LOCAL_DIR_LIMIT = 127
LISTING_PIECE = 2047

# Error codes; Windows Sockets errors come through negated (-10004 to -11004)
DAP_ERR_SOCKET_CLOSED = -1
DAP_ERR_ALREADY_ATTACHED = -3
DAP_ERR_BAD_STATUS_FLAG = -4
DAP_ERR_NO_MEMORY = -5
DAP_ERR_CANNOT_COMPLY = -6
DAP_ERR_CANNOT_CREATE_SOCKET = -7
DAP_ERR_CHANNEL_RANGE = -8
DAP_ERR_CONNECT = -9
DAP_ERR_INVALID_SOCKET = -10
DAP_ERR_WINSOCK_BLOCKING = -11
DAP_ERR_NO_HOST_NAME = -12
DAP_ERR_NO_SERVER = -13
DAP_ERR_NO_SOCKADDR = -14
DAP_ERR_NOT_ATTACHED = -15
DAP_ERR_ILLEGAL_SERVER_NAME = -16
DAP_ERR_NO_PASSWORD = -17
DAP_ERR_SERVER_REFUSED = -18
DAP_ERR_NO_SERVER_NAME = -19
DAP_ERR_SOCKET_READ = -20
DAP_ERR_SEND_FAILED = -21
DAP_ERR_TIMED_OUT = -22
DAP_ERR_NO_USER = -23
DAP_ERR_BAD_MODE = -24
DAP_ERR_LISTEN = -25
DAP_ERR_NO_LISTENER_RESPONSE = -26
DAP_ERR_ACCEPT_TIMED_OUT = -27
DAP_ERR_CANNOT_OPEN_FILE = -28
DAP_ERR_FILE_WRITE = -29
DAP_ERR_NO_PASV_PORT = -30
DAP_ERR_NOT_COMPLETED = -31
DAP_ERR_TLS_HANDSHAKE = -32
DAP_ERR_TLS_CERTIFICATE = -33
DAP_ERR_TLS_REFUSED = -34
DAP_ERR_TLS_UNAVAILABLE = -35

# dapGetInteger codes
DAP_GET_STEP_COUNT = 2
DAP_GET_SERVER_CODE = 3
DAP_GET_SOCKET_CODE = 4
DAP_GET_BYTES_RECEIVED = 10
DAP_GET_TOTAL_BYTES_RECEIVED = 11
DAP_GET_BYTES_SENT = 12
DAP_GET_TOTAL_BYTES_SENT = 13
DAP_GET_CONTROL_SOCKET = 14
DAP_GET_CONNECTED = 15
DAP_GET_TLS_ACTIVE = 16
DAP_GET_TLS_DATA_RESUMED = 17
DAP_GET_VERSION = 20
DAP_GET_BUILD = 21

# dapSetInteger codes
DAP_SET_CONNECT_TIMEOUT = 1
DAP_SET_COMMAND_DELAY = 2
DAP_SET_REPLY_TIMEOUT = 3
DAP_SET_BLOCK_DELAY = 4
DAP_SET_SPARE = 5
DAP_SET_AUTO_CALL = 6
DAP_SET_POLL_SLEEP = 8
DAP_SET_SERVER_PORT = 9
DAP_SET_FINAL_BLOCK_DELAY = 10
DAP_SET_UPLOAD_BLOCK_SIZE = 11
DAP_SET_PASSIVE = 12
DAP_SET_CLOSE_PAUSE = 13
DAP_SET_TRANSFER_CHUNK = 14
DAP_SET_TLS = 15
DAP_SET_TLS_VERIFY = 16
DAP_SET_TLS_DATA = 17
DAP_SET_RESUME = 18
DAP_SET_UTF8 = 19

# dapGetString and dapSetString codes
DAP_STR_SERVER_IP = 19
DAP_STR_LOG_OPEN = 20
DAP_STR_LOG_WRITE = 21
DAP_STR_TLS_PIN = 22
DAP_STR_TLS_CA_FILE = 23
DAP_STR_TLS_PEER_FINGERPRINT = 24
DAP_STR_TLS_SESSION = 25

# dapGetList types
DAP_LIST_FULL = 0
DAP_LIST_NAMES = 1
DAP_LIST_FULL_PATTERN = 2
DAP_LIST_NAMES_PATTERN = 3
DAP_LIST_MACHINE = 4
DAP_LIST_MACHINE_PATH = 5

# dapDriver result
DAP_DRIVER_WAITING = 9999

# Every export: (argument types, argument names, whether it takes a channel).
FUNCTIONS = {
    "dapAttach": ((c_uint32, c_int32), ("count", "attachValue"), False),
    "dapRelease": ((), (), False),
    "dapDriver": ((c_int32,), ("chan",), True),
    "dapConnect": ((c_int32, c_char_p, c_char_p, c_char_p),
                   ("chan", "server", "user", "password"), True),
    "dapClose": ((c_int32,), ("chan",), True),
    "dapAbort": ((c_int32,), ("chan",), True),
    "dapGetFile": ((c_int32, c_char_p), ("chan", "name"), True),
    "dapPutFile": ((c_int32, c_char_p), ("chan", "name"), True),
    "dapGetList": ((c_int32, c_int32, POINTER(c_char), c_int32),
                   ("chan", "type", "buffer", "size"), True),
    "dapSetMode": ((c_int32, c_int32), ("chan", "mode"), True),
    "dapSetServerDir": ((c_int32, c_char_p), ("chan", "directory"), True),
    "dapGetServerDir": ((c_int32, POINTER(c_char), c_int32), ("chan", "buffer", "size"), True),
    "dapDelFile": ((c_int32, c_char_p), ("chan", "name"), True),
    "dapMakeServerDir": ((c_int32, c_char_p), ("chan", "name"), True),
    "dapDelServerDir": ((c_int32, c_char_p), ("chan", "name"), True),
    "dapCommand": ((c_int32, c_char_p, POINTER(c_char), c_int32),
                   ("chan", "command", "buffer", "size"), True),
    "dapGetLocalDir": ((c_int32, POINTER(c_char), c_int32), ("chan", "buffer", "size"), True),
    "dapSetLocalDir": ((c_int32, c_char_p), ("chan", "directory"), True),
    "dapGetInteger": ((c_int32, c_uint32), ("chan", "code"), True),
    "dapSetInteger": ((c_int32, c_uint32, c_int32), ("chan", "code", "value"), True),
    "dapGetString": ((c_int32, c_int32, POINTER(c_char), c_int32),
                     ("chan", "code", "buffer", "size"), True),
    "dapSetString": ((c_int32, c_int32, c_char_p), ("chan", "code", "text"), True),
    "dapErrorText": ((c_int32, c_int32, POINTER(c_char), c_int32),
                     ("chan", "code", "buffer", "size"), True),
    "dapDebug": ((c_int32, c_int32, c_int32, c_int32),
                 ("chan", "unused1", "unused2", "unused3"), True),
    "dapExtract": ((c_char_p, c_int32, c_int32, POINTER(c_char), c_int32),
                   ("text", "line", "field", "buffer", "size"), False),
}

# Error code: (text as dapErrorText gives it, kind or None).
ERRORS = {
    -1: ('Socket has been closed.', "connect"),
    -3: ('Already attached.', None),
    -4: ('Bad status flag passed to rokStatus.', None),
    -5: ('Cannot allocate memory.', None),
    -6: ('Cannot comply', None),
    -7: ('Cannot create socket.', None),
    -8: ('Channel out of range.', None),
    -9: ('Error attempting to connect.', "server"),
    -10: ('Invalid socket.', None),
    -11: ('WINSOCK is currently blocking.', None),
    -12: ('No host name.', None),
    -13: ('Cannot find FTP server.', "connect"),
    -14: ('No available sockaddr structures.', None),
    -15: ('Must call dapAttach first.', None),
    -16: ('Illegal chars in server name.', None),
    -17: ('PASSWORD not specified.', None),
    -18: ('FTP server returned error.', "server"),
    -19: ('SERVER not specified.', None),
    -20: ('Socket read error.', None),
    -21: ('', None),
    -22: ('Socket timed out.', "timeout"),
    -23: ('USER name not specified.', None),
    -24: ("Must specify 'A' or 'B' for mode.", None),
    -25: ('Listen error.', None),
    -26: ('No response on listener socket.', None),
    -27: ('Timed out waiting for accept.', "timeout"),
    -28: ('Cannot open file.', None),
    -29: ('', None),
    -30: ('Cannot find PASV port.', None),
    -31: ('LIST/GET/PUT not completed.', "server"),
    -32: ('TLS handshake failed.', "connect"),
    -33: ('Server certificate rejected.', "connect"),
    -34: ('Server refused TLS.', "server"),
    -35: ('TLS is not available.', "connect"),
    -10004: ('Interrupted system call.', None),
    -10009: ('Bad file number.', None),
    -10013: ('Access denied.', None),
    -10014: ('Bad address.', None),
    -10022: ('Invalid argument.', None),
    -10024: ('Too many open files.', None),
    -10035: ('Would block socket in non-blocking mode.', None),
    -10036: ('Blocking call already in progress.', None),
    -10037: ('Operation already completed.', None),
    -10038: ('Not a valid socket descriptor.', None),
    -10039: ('Destination address required.', None),
    -10040: ('Message too big for buffer.', None),
    -10041: ('Protocol mismatch.', None),
    -10042: ('Protocol option invalid.', None),
    -10043: ('Protocol not supported.', None),
    -10044: ('Socket type not supported.', None),
    -10045: ('Socket operation not supported.', None),
    -10047: ('Socket address family not supported.', None),
    -10048: ('Socket address already in use.', None),
    -10049: ('Socket address not available.', None),
    -10050: ('Network error.', "connect"),
    -10051: ('Cannot reach network.', "connect"),
    -10052: ('Connection dropped.', "connect"),
    -10053: ('Connection timed-out or aborted.', "connect"),
    -10054: ('Connection reset by remote host.', "connect"),
    -10055: ('Out of buffer space.', None),
    -10056: ('Socket already connected.', None),
    -10057: ('Socket not connected.', "connect"),
    -10058: ('Socket functionality shut down.', "connect"),
    -10060: ('Timed-out attempting to connect.', "timeout"),
    -10061: ('Connection refused by remote host.', "connect"),
    -10064: ('Host is down', "connect"),
    -10065: ('No route to host', "connect"),
    -10091: ('Network not yet ready.', None),
    -10092: ("WINSOCK doesn't support requested version.", None),
    -10093: ('Sockets not initialized. Call WSAStartup.', None),
    -11001: ('Host does not exist.', "connect"),
    -11002: ('Host not found. Try again.', "connect"),
    -11003: ('Non-recoverable error has occurred.', "connect"),
    -11004: ('No data is available.', "connect"),
}

# dapSetInteger code: the library's default, for the original pace.
SET_DEFAULTS = {
    DAP_SET_CONNECT_TIMEOUT: 60000,
    DAP_SET_COMMAND_DELAY: 0,
    DAP_SET_REPLY_TIMEOUT: 20000,
    DAP_SET_BLOCK_DELAY: 0,
    DAP_SET_SPARE: 2000,
    DAP_SET_AUTO_CALL: 1,
    DAP_SET_POLL_SLEEP: 20,
    DAP_SET_SERVER_PORT: 21,
    DAP_SET_FINAL_BLOCK_DELAY: 50,
    DAP_SET_UPLOAD_BLOCK_SIZE: 1024,
    DAP_SET_PASSIVE: 0,
    DAP_SET_CLOSE_PAUSE: 1,
    DAP_SET_TRANSFER_CHUNK: 8192,
    DAP_SET_TLS: 0,
    DAP_SET_TLS_VERIFY: 1,
    DAP_SET_TLS_DATA: 1,
    DAP_SET_RESUME: 0,
    DAP_SET_UTF8: 0,
}

# The codes whose text dapErrorText follows with the server's last reply.
REPLY_CODES = frozenset({-9, -18, -34})
