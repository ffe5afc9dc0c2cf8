/* dap32: the client side of FTP in a small, caller-driven library.
 *
 * Every function takes 32-bit arguments and returns a signed 32-bit result:
 * negative values are error codes (dapErrorText gives their texts), zero and
 * positive values are results. On 32-bit Windows every export is __stdcall.
 * docs/reference.md describes every function and code at length.
 *
 * Written by bindings/generate.py from bindings/dap32.toml; edit those, not this file. */
#ifndef DAP32_H
#define DAP32_H

#include <stdint.h>

#if defined(_WIN32) && !defined(_WIN64)
#define DAP_CALL __stdcall
#else
#define DAP_CALL
#endif

#if defined(DAP32_BUILD) && defined(_WIN32)
#define DAP_EXPORT
#elif defined(DAP32_BUILD)
#define DAP_EXPORT __attribute__((visibility("default")))
#else
#define DAP_EXPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Error codes; Windows Sockets errors come through negated (-10004 to -11004). */
enum {
  /* "Socket has been closed." The server closed the connection. */
  DAP_ERR_SOCKET_CLOSED = -1,
  /* "Already attached." dapAttach while attached. */
  DAP_ERR_ALREADY_ATTACHED = -3,
  /* "Bad status flag passed to rokStatus." Internal: a readiness poll of an unknown kind. */
  DAP_ERR_BAD_STATUS_FLAG = -4,
  /* "Cannot allocate memory." dapAttach could not allocate a channel. */
  DAP_ERR_NO_MEMORY = -5,
  /* "Cannot comply" A null name or buffer, a negative size, or an address that cannot be used. */
  DAP_ERR_CANNOT_COMPLY = -6,
  /* "Cannot create socket." A socket could not be created. */
  DAP_ERR_CANNOT_CREATE_SOCKET = -7,
  /* "Channel out of range." The channel number is not below the attached count, or dapAttach
   * asked for more than 32. */
  DAP_ERR_CHANNEL_RANGE = -8,
  /* "Error attempting to connect." Not raised by the library; its text carries the last reply. */
  DAP_ERR_CONNECT = -9,
  /* "Invalid socket." A socket could not be created, or its handle does not fit in 32 bits
   * (64-bit Windows). */
  DAP_ERR_INVALID_SOCKET = -10,
  /* "WINSOCK is currently blocking." Not raised by the library. */
  DAP_ERR_WINSOCK_BLOCKING = -11,
  /* "No host name." The local host name or address could not be read. */
  DAP_ERR_NO_HOST_NAME = -12,
  /* "Cannot find FTP server." Not raised by the library. */
  DAP_ERR_NO_SERVER = -13,
  /* "No available sockaddr structures." Not raised by the library. */
  DAP_ERR_NO_SOCKADDR = -14,
  /* "Must call dapAttach first." A channel function before dapAttach. */
  DAP_ERR_NOT_ATTACHED = -15,
  /* "Illegal chars in server name." Not raised by the library. */
  DAP_ERR_ILLEGAL_SERVER_NAME = -16,
  /* "PASSWORD not specified." dapConnect with a null password. */
  DAP_ERR_NO_PASSWORD = -17,
  /* "FTP server returned error." The server answered with a reply code of 500 or more. */
  DAP_ERR_SERVER_REFUSED = -18,
  /* "SERVER not specified." dapConnect with a null server. */
  DAP_ERR_NO_SERVER_NAME = -19,
  /* "Socket read error." Reading the data connection failed. */
  DAP_ERR_SOCKET_READ = -20,
  /* No text. A command or a data block could not be sent (no text). */
  DAP_ERR_SEND_FAILED = -21,
  /* "Socket timed out." A reply or a connection did not come in time. */
  DAP_ERR_TIMED_OUT = -22,
  /* "USER name not specified." dapConnect with a null user. */
  DAP_ERR_NO_USER = -23,
  /* "Must specify 'A' or 'B' for mode." dapSetMode with another character. */
  DAP_ERR_BAD_MODE = -24,
  /* "Listen error." The local address or the active-mode listener could not be set up. */
  DAP_ERR_LISTEN = -25,
  /* "No response on listener socket." Not raised by the library. */
  DAP_ERR_NO_LISTENER_RESPONSE = -26,
  /* "Timed out waiting for accept." Not raised by the library. */
  DAP_ERR_ACCEPT_TIMED_OUT = -27,
  /* "Cannot open file." The local file of a transfer could not be created or opened. */
  DAP_ERR_CANNOT_OPEN_FILE = -28,
  /* No text. Writing the local file failed (no text). */
  DAP_ERR_FILE_WRITE = -29,
  /* "Cannot find PASV port." The PASV reply carried no port. */
  DAP_ERR_NO_PASV_PORT = -30,
  /* "LIST/GET/PUT not completed." A transfer did not end with reply 226. */
  DAP_ERR_NOT_COMPLETED = -31,
  /* "TLS handshake failed." A TLS handshake failed: an alert, a protocol error, or the peer
   * closed during it. */
  DAP_ERR_TLS_HANDSHAKE = -32,
  /* "Server certificate rejected." The server's certificate did not chain to a trusted root, did
   * not name the server, was not valid now, or did not match the pin; the debug log says which
   * and gives its fingerprint. */
  DAP_ERR_TLS_CERTIFICATE = -33,
  /* "Server refused TLS." AUTH TLS, PBSZ or PROT was answered with anything but success; the
   * connection is closed. */
  DAP_ERR_TLS_REFUSED = -34,
  /* "TLS is not available." The TLS library could not be loaded. */
  DAP_ERR_TLS_UNAVAILABLE = -35,
  /* "Proxy refused the connection." The proxy refused: a SOCKS5 reply code, an HTTP status other
   * than 2xx, no acceptable authentication, or wrong credentials; the debug log gives the
   * proxy's reason. */
  DAP_ERR_PROXY_REFUSED = -36
};

/* dapGetInteger codes. */
enum {
  /* Driver calls that ran a state. */
  DAP_GET_STEP_COUNT = 2,
  /* Reply code of the last FTP reply. */
  DAP_GET_SERVER_CODE = 3,
  /* Socket code of the last failure (0 when the failure was not a socket's). */
  DAP_GET_SOCKET_CODE = 4,
  /* Bytes of the current or last download. */
  DAP_GET_BYTES_RECEIVED = 10,
  /* Bytes downloaded on this channel since dapAttach. */
  DAP_GET_TOTAL_BYTES_RECEIVED = 11,
  /* Bytes of the current or last upload. */
  DAP_GET_BYTES_SENT = 12,
  /* Bytes uploaded on this channel since dapAttach. */
  DAP_GET_TOTAL_BYTES_SENT = 13,
  /* Handle of the control connection; 0 when there is none. */
  DAP_GET_CONTROL_SOCKET = 14,
  /* 1 when the control connection can be written, 0 when not or when it reports an error. */
  DAP_GET_CONNECTED = 15,
  /* 1 while the control connection is in TLS, else 0. */
  DAP_GET_TLS_ACTIVE = 16,
  /* For the last data connection in TLS: 1 it resumed the control connection's TLS session, 0 it
   * made a full handshake; -1 when there was none since dapConnect. */
  DAP_GET_TLS_DATA_RESUMED = 17,
  /* Library version: major in bits 8-15, minor in bits 4-7, patch in bits 0-3 (278 is 1.1.6). */
  DAP_GET_VERSION = 20,
  /* Library build number. */
  DAP_GET_BUILD = 21
};

/* dapSetInteger codes. */
enum {
  /* Time allowed for connecting to the server. Default 60000 ms; library-wide. */
  DAP_SET_CONNECT_TIMEOUT = 1,
  /* Pause after each command before its reply is polled (four times as long after QUIT). Default
   * 0 ms; library-wide. */
  DAP_SET_COMMAND_DELAY = 2,
  /* Time allowed for each reply and each data-connection step, renewed by every data block.
   * Default 20000 ms; library-wide. */
  DAP_SET_REPLY_TIMEOUT = 3,
  /* Pause after each upload block. Default 0 ms; library-wide. */
  DAP_SET_BLOCK_DELAY = 4,
  /* Stored; nothing reads it. Default 2000; library-wide. */
  DAP_SET_SPARE = 5,
  /* 1: operations drive the engine to their end; 0: they only arm it and the caller calls
   * dapDriver. Only bit 0 counts. Default 1; this channel. */
  DAP_SET_AUTO_CALL = 6,
  /* Sleep of a driver call held back by a delay or a pending write, and of the library's short
   * waits. Default 20 ms; library-wide. */
  DAP_SET_POLL_SLEEP = 8,
  /* Server port for the next dapConnect (the low 16 bits are kept). Default 21; this channel. */
  DAP_SET_SERVER_PORT = 9,
  /* Pause after the last upload block, before the upload's data connection is closed. Default
   * 50 ms; library-wide. */
  DAP_SET_FINAL_BLOCK_DELAY = 10,
  /* Bytes sent per upload step, clamped to 128..8192 (the value taken as unsigned). Default
   * 1024 bytes; library-wide. */
  DAP_SET_UPLOAD_BLOCK_SIZE = 11,
  /* Nonzero: data connections use PASV; 0: PORT and a listener (active mode). Default 0; this
   * channel. */
  DAP_SET_PASSIVE = 12,
  /* 1: a pause after each socket close, slept holding the library's lock (62 ms after a download
   * or listing, 250 ms after an upload, dapAbort and dapClose); 0: none. Only bit 0 counts.
   * Default 1; library-wide. */
  DAP_SET_CLOSE_PAUSE = 13,
  /* Bytes one download or upload step may move while the data socket stays ready, clamped to
   * 8192..16777216 (the value taken as unsigned); 8192 is one block per step. Default
   * 8192 bytes; library-wide. */
  DAP_SET_TRANSFER_CHUNK = 14,
  /* 0: no TLS; 1: explicit TLS (AUTH TLS after the greeting, then USER and PASS inside TLS, then
   * PBSZ 0 and PROT P or C); 2: implicit TLS (the handshake right after the connect, before the
   * greeting; the port is usually 990). Any other value: -6, nothing changed. Set before
   * dapConnect. Default 0; this channel. */
  DAP_SET_TLS = 15,
  /* 1: the server's certificate must chain to a trusted root and name the server given to
   * dapConnect (its DNS name, or its IP address for a dotted quad); 0: any certificate is
   * accepted, and the log says so at every handshake. Only bit 0 counts. Default 1; this
   * channel. */
  DAP_SET_TLS_VERIFY = 16,
  /* 1: data connections in TLS (PROT P); 0: PROT C, data in clear while the control connection
   * stays protected. Only bit 0 counts. Default 1; this channel. */
  DAP_SET_TLS_DATA = 17,
  /* 1: dapGetFile continues a local file that holds bytes, dapPutFile the server's file (asked
   * with SIZE), each with REST before the transfer command; an offset needs TYPE I (dapSetMode
   * 'B'). Only bit 0 counts. Default 0; this channel. */
  DAP_SET_RESUME = 18,
  /* 1: names, directories, listing arguments and dapCommand's text may hold UTF-8 (an invalid
   * sequence is -6), the local paths are UTF-8, and the next login ends with OPTS UTF8 ON (a
   * refusal is logged and ignored); 0: names are cut at the first byte outside printable ASCII.
   * Only bit 0 counts. Default 0; this channel. */
  DAP_SET_UTF8 = 19,
  /* 1: data connections use EPSV and EPRT (RFC 2428); a server that answers either with 500, 501
   * or 502 gets PASV and PORT for the rest of the session, logged once. 0: PASV and PORT, except
   * on a control connection over IPv6, which always uses EPSV and EPRT. Only bit 0 counts.
   * Default 0; this channel. */
  DAP_SET_EXTENDED = 20,
  /* 0: server and proxy names resolve to IPv4, and literal IPv6 addresses (::1, [::1],
   * fe80::1%2) are taken too; 1: names resolve to both families and each address is tried in the
   * resolver's order until one connects, all within the connect time-out (each failure logged,
   * the last one's code returned); 2: IPv6 only. Any other value: -6, nothing changed. Set
   * before dapConnect. Default 0; this channel. */
  DAP_SET_ADDRESS_FAMILY = 21
};

/* dapGetString and dapSetString codes. */
enum {
  /* The address the control connection is connected to (the proxy's when one is used): an IPv4
   * address as dotted text (0.0.0.0 before the first connection), needing a buffer of 17 bytes
   * or more; an IPv6 one as RFC 5952 writes it, needing a buffer longer than the text. */
  DAP_STR_SERVER_IP = 19,
  /* Creates (or empties) the named file as the channel's debug log; a log open before is closed. */
  DAP_STR_LOG_OPEN = 20,
  /* Writes the text and CR LF to the channel's open log; nothing when none is open. */
  DAP_STR_LOG_WRITE = 21,
  /* The SHA-256 fingerprint of the one certificate to accept, as 64 hexadecimal digits (colons
   * and blanks allowed, any case); then nothing else is checked: the way to trust a self-signed
   * server. Empty or NULL clears it. 0 when stored, -6 for a malformed value (nothing changed).
   * dapGetString reads it back as 64 uppercase digits, or empty. */
  DAP_STR_TLS_PIN = 22,
  /* A PEM file of trusted roots, used instead of the system's store; empty or NULL: the system's
   * store. 0 when stored; -6 for a path longer than 259 characters. dapGetString reads it back. */
  DAP_STR_TLS_CA_FILE = 23,
  /* The SHA-256 fingerprint (64 uppercase hexadecimal digits) of the certificate the server
   * showed at the last control handshake, also when it was rejected, so that a caller can show
   * it and pin it; empty when none. */
  DAP_STR_TLS_PEER_FINGERPRINT = 24,
  /* Protocol and cipher of the control connection, as "TLSv1.3 TLS_AES_256_GCM_SHA384"; empty
   * when it is not in TLS. */
  DAP_STR_TLS_SESSION = 25,
  /* The proxy for the control connection and every passive data connection:
   * socks5://[user:password@]host:port (SOCKS5, the server's name sent for the proxy to resolve;
   * user and password by RFC 1929) or http://[user:password@]host:port (HTTP CONNECT, Basic
   * authentication); %XX escapes in user and password. Empty or NULL: direct. 0 when stored, -6
   * for a text that cannot be read (nothing changed). dapGetString reads it back with the
   * password as ****. An active transfer through a proxy fails with -6 before anything is sent. */
  DAP_STR_PROXY = 26
};

/* dapGetList types. */
enum {
  /* LIST: Full listing of the current directory (any negative type too). */
  DAP_LIST_FULL = 0,
  /* NLST: Names in the current directory. */
  DAP_LIST_NAMES = 1,
  /* LIST %s: Full listing of the path or pattern the buffer holds on entry (any type above 5
   * too). */
  DAP_LIST_FULL_PATTERN = 2,
  /* NLST %s: Names for the path or pattern the buffer holds on entry. */
  DAP_LIST_NAMES_PATTERN = 3,
  /* MLSD: Machine listing of the current directory: per entry its facts (type=file;size=...;), a
   * blank and the name. */
  DAP_LIST_MACHINE = 4,
  /* MLSD %s: Machine listing of the directory the buffer holds on entry. */
  DAP_LIST_MACHINE_PATH = 5
};

/* dapDriver result. */
enum {
  /* The call was held back by a delay or a pending write. */
  DAP_DRIVER_WAITING = 9999
};

/* ---- Attach and release ---------------------------------------------------------------------- */

/* dapAttach: starts the library with count channels, numbered from 0.
 *   count        number of channels, 1 to 32; 0 attaches none and still returns 1
 *   attachValue  recorded, otherwise unused
 * Returns 1 on success. Errors: -3, -8, -5, negated Windows Sockets codes.
 * Returns at once; AUTO_CALL does not apply.
 * Each channel starts with server port 21, AUTO_CALL on, active mode and the process's current
 * directory as local directory.
 * Settings changed with dapSetInteger survive dapRelease and a new dapAttach. */
DAP_EXPORT int32_t DAP_CALL dapAttach(uint32_t count, int32_t attachValue);

/* dapRelease: stops the library and frees every channel.
 * Returns 1 in every case. Errors: none.
 * Returns at once; AUTO_CALL does not apply.
 * It closes no socket, local file or log: close every channel with dapClose first. */
DAP_EXPORT int32_t DAP_CALL dapRelease(void);

/* ---- The driver ------------------------------------------------------------------------------ */

/* dapDriver: runs at most one step of the channel's state machine and returns at once.
 *   chan  channel number
 * Returns 0 when the channel is idle or this step completed the operation; the state number that
 * runs next while work remains; 9999 (DAP_DRIVER_WAITING) when a delay or a pending write held
 * the call back (it slept pollSleep ms); 1 when a time-out ended an operation after an
 * active-mode data connection had been accepted; a negative code when the operation failed.
 * Errors: -15, -8, -1, -7, -10, -18, -20, -21, -22, -25, -29, -30, -31, negated Windows Sockets
 * codes.
 * The step function itself: AUTO_CALL decides only who calls it.
 * After a failure the channel is idle again; the failed step's codes are in dapGetInteger 3 and
 * 4. */
DAP_EXPORT int32_t DAP_CALL dapDriver(int32_t chan);

/* ---- Sessions -------------------------------------------------------------------------------- */

/* dapConnect: connects to an FTP server and logs in with USER and PASS.
 *   chan      channel number
 *   server    host name or dotted IPv4 address; the port is DAP_SET_SERVER_PORT
 *   user      user name
 *   password  password (the log shows PASS ****)
 * Returns 0 when logged in. Errors: -15, -8, -19, -23, -17, -7, -10, -22, -18, -21, -1, -25,
 * -32, -33, -34, -35, negated Windows Sockets codes.
 * AUTO_CALL on: runs the exchange to its end and returns its result. AUTO_CALL off: arms the
 * channel and returns 0; call dapDriver until it returns 0 or a negative code.
 * Each text is cut at its first byte outside printable ASCII and at 128 characters.
 * A control connection left open by an earlier session of the channel is closed first. */
DAP_EXPORT int32_t DAP_CALL dapConnect(int32_t chan, const char* server, const char* user,
                                       const char* password);

/* dapClose: sends QUIT, then closes the control connection and the channel's debug log.
 *   chan  channel number
 * Returns 0, or the code of a failed QUIT exchange; the connection is closed either way. Errors:
 * -15, -8, -22, -18, -21, -1, negated Windows Sockets codes.
 * AUTO_CALL on: runs the exchange to its end and returns its result. AUTO_CALL off: arms the
 * channel and returns 0; call dapDriver until it returns 0 or a negative code.
 * With AUTO_CALL off it only arms QUIT: the control connection and the log stay open, so turn
 * AUTO_CALL on before the last dapClose.
 * A channel without a control connection just closes its log and returns 0.
 * A data connection or local file that a failed transfer left open is closed too. */
DAP_EXPORT int32_t DAP_CALL dapClose(int32_t chan);

/* dapAbort: stops the channel's operation at once: closes the local file and the data connection
 * without a word to the server.
 *   chan  channel number
 * Returns 1 in every case. Errors: -15, -8.
 * Returns at once; AUTO_CALL does not apply.
 * The control connection stays open and logged in; the server's reply to an interrupted transfer
 * is read before the next command's. */
DAP_EXPORT int32_t DAP_CALL dapAbort(int32_t chan);

/* ---- Server files and directories ------------------------------------------------------------ */

/* dapGetFile: downloads a server file (RETR) into the channel's local directory, under the same
 * name.
 *   chan  channel number
 *   name  file name, sent with RETR and joined to the local directory
 * Returns 0 when the server confirmed the transfer with 226. Errors: -15, -8, -6, -28, -7, -10,
 * -18, -20, -21, -22, -25, -29, -30, -31, -1, -32, negated Windows Sockets codes.
 * AUTO_CALL on: runs the exchange to its end and returns its result. AUTO_CALL off: arms the
 * channel and returns 0; call dapDriver until it returns 0 or a negative code.
 * The local file is opened, or created, before anything is sent, and emptied only once the
 * server accepts the transfer: a refused download leaves an existing file as it was.
 * A data connection that is reset instead of closed fails with its socket code (-10054).
 * dapGetInteger 10 counts the bytes received so far.
 * With DAP_SET_RESUME a local file of N > 0 bytes is continued: REST N goes out right before
 * RETR and must be answered with 350 (else -18, both files as they were), and the bytes are
 * appended. An offset under TYPE A is -6, before anything is sent. */
DAP_EXPORT int32_t DAP_CALL dapGetFile(int32_t chan, const char* name);

/* dapPutFile: uploads a file (STOR) from the channel's local directory to the server, under the
 * same name.
 *   chan  channel number
 *   name  file name, sent with STOR and joined to the local directory
 * Returns 0 when the server confirmed the transfer with 226. Errors: -15, -8, -6, -28, -7, -10,
 * -18, -21, -22, -25, -30, -31, -1, -32, negated Windows Sockets codes.
 * AUTO_CALL on: runs the exchange to its end and returns its result. AUTO_CALL off: arms the
 * channel and returns 0; call dapDriver until it returns 0 or a negative code.
 * dapGetInteger 12 counts the bytes sent so far; DAP_SET_UPLOAD_BLOCK_SIZE sets the bytes sent
 * per step.
 * With DAP_SET_RESUME, SIZE goes out first: 213 M (550: M = 0) continues the server's file with
 * REST M right before STOR (answered with 350, else -18) and sends the local file from byte M; M
 * = 0 is a plain STOR. Another SIZE reply is -18, M above the local file's size, or an offset
 * under TYPE A, is -6; each leaves both files as they were. */
DAP_EXPORT int32_t DAP_CALL dapPutFile(int32_t chan, const char* name);

/* dapGetList: fetches a directory listing (LIST or NLST, by type) into the caller's buffer.
 *   chan    channel number
 *   type    listing type (DAP_LIST_...)
 *   buffer  receives the listing, lines ending in CR LF, and a NUL; with types 2 and 3 it holds
 *           the path or pattern on entry
 *   size    size of buffer in bytes
 * Returns the number of bytes placed in buffer. Errors: -15, -8, -6, -7, -10, -18, -20, -21,
 * -22, -25, -30, -31, -1, -32, negated Windows Sockets codes.
 * AUTO_CALL on: runs the exchange to its end and returns its result. AUTO_CALL off: arms the
 * channel and returns 0; call dapDriver until it returns 0 or a negative code.
 * Pieces of the listing arrive up to 2047 bytes at a time; one that does not fit with its NUL is
 * dropped, so a result more than 2047 bytes below size means nothing was lost.
 * With AUTO_CALL off the buffer must stay valid until dapDriver has returned 0 or a negative
 * code; the listing then ends at its NUL.
 * An empty listing leaves the buffer as it was.
 * With DAP_SET_UTF8 the argument of types 2, 3 and 5 may hold UTF-8; an invalid sequence is -6
 * before anything is sent. */
DAP_EXPORT int32_t DAP_CALL dapGetList(int32_t chan, int32_t type, char* buffer, int32_t size);

/* dapSetMode: sets the transfer type for every later transfer: 'A' sends TYPE A, 'B' sends TYPE
 * I.
 *   chan  channel number
 *   mode  the character 'A' or 'B' (only the low 8 bits count)
 * Returns 0. Errors: -15, -8, -24, -18, -21, -22, -1, negated Windows Sockets codes.
 * AUTO_CALL on: runs the exchange to its end and returns its result. AUTO_CALL off: arms the
 * channel and returns 0; call dapDriver until it returns 0 or a negative code. */
DAP_EXPORT int32_t DAP_CALL dapSetMode(int32_t chan, int32_t mode);

/* dapSetServerDir: changes the server's current directory (CWD).
 *   chan       channel number
 *   directory  directory, absolute or relative to the current one
 * Returns 0. Errors: -15, -8, -6, -18, -21, -22, -1, negated Windows Sockets codes.
 * AUTO_CALL on: runs the exchange to its end and returns its result. AUTO_CALL off: arms the
 * channel and returns 0; call dapDriver until it returns 0 or a negative code. */
DAP_EXPORT int32_t DAP_CALL dapSetServerDir(int32_t chan, const char* directory);

/* dapGetServerDir: reads the server's current directory (PWD) into the caller's buffer.
 *   chan    channel number
 *   buffer  receives the directory and a NUL
 *   size    most characters to place in buffer
 * Returns the directory's full length, which may exceed what buffer received. Errors: -15, -8,
 * -18, -21, -22, -1, negated Windows Sockets codes.
 * AUTO_CALL on: runs the exchange to its end and returns its result. AUTO_CALL off: arms the
 * channel and returns 0; call dapDriver until it returns 0 or a negative code.
 * With AUTO_CALL off the buffer is not written: call dapGetServerDir again with AUTO_CALL on, or
 * keep AUTO_CALL on for it. */
DAP_EXPORT int32_t DAP_CALL dapGetServerDir(int32_t chan, char* buffer, int32_t size);

/* dapDelFile: deletes a server file (DELE).
 *   chan  channel number
 *   name  file name
 * Returns 0. Errors: -15, -8, -6, -18, -21, -22, -1, negated Windows Sockets codes.
 * AUTO_CALL on: runs the exchange to its end and returns its result. AUTO_CALL off: arms the
 * channel and returns 0; call dapDriver until it returns 0 or a negative code. */
DAP_EXPORT int32_t DAP_CALL dapDelFile(int32_t chan, const char* name);

/* dapMakeServerDir: makes a server directory (MKD).
 *   chan  channel number
 *   name  directory name
 * Returns 0. Errors: -15, -8, -6, -18, -21, -22, -1, negated Windows Sockets codes.
 * AUTO_CALL on: runs the exchange to its end and returns its result. AUTO_CALL off: arms the
 * channel and returns 0; call dapDriver until it returns 0 or a negative code. */
DAP_EXPORT int32_t DAP_CALL dapMakeServerDir(int32_t chan, const char* name);

/* dapDelServerDir: removes a server directory (RMD).
 *   chan  channel number
 *   name  directory name
 * Returns 0. Errors: -15, -8, -6, -18, -21, -22, -1, negated Windows Sockets codes.
 * AUTO_CALL on: runs the exchange to its end and returns its result. AUTO_CALL off: arms the
 * channel and returns 0; call dapDriver until it returns 0 or a negative code. */
DAP_EXPORT int32_t DAP_CALL dapDelServerDir(int32_t chan, const char* name);

/* dapCommand: sends a command of the caller's on the control connection and reads its final
 * reply.
 *   chan     channel number
 *   command  the command line without CR LF: printable ASCII, or UTF-8 with DAP_SET_UTF8; at
 *            most 2000 bytes
 *   buffer   receives the final reply's lines, CR LF between them, cut to fit with its NUL; may
 *            be null
 *   size     size of buffer in bytes
 * Returns the final reply's code, from 100 to 599, whatever it is: the caller judges it. Errors:
 * -15, -8, -6, -18, -21, -22, -1, negated Windows Sockets codes.
 * AUTO_CALL on: runs the exchange to its end and returns its result. AUTO_CALL off: arms the
 * channel and returns 0; call dapDriver until it returns 0 or a negative code.
 * -6, with nothing sent, for a null or empty command, a control byte in it (CR and LF too), a
 * byte from 0x80 up without DAP_SET_UTF8 or an invalid UTF-8 sequence with it, more than
 * 2000 bytes, or a negative size with a buffer.
 * Preliminary replies (1xx) are logged and read past. -18 only for a final reply whose code is
 * not from 100 to 599.
 * It opens no data connection: a command that needs one (LIST, RETR) waits in vain for its reply
 * until the time-out.
 * With AUTO_CALL off the buffer must stay valid until dapDriver has returned 0 or a negative
 * code; the reply's code is then dapGetInteger 3.
 * The log shows a PASS command as PASS ****. */
DAP_EXPORT int32_t DAP_CALL dapCommand(int32_t chan, const char* command, char* buffer,
                                       int32_t size);

/* ---- The local directory --------------------------------------------------------------------- */

/* dapGetLocalDir: copies the channel's local directory into the caller's buffer.
 *   chan    channel number
 *   buffer  receives the directory and a NUL
 *   size    most characters to place in buffer
 * Returns the number of characters placed in buffer; 0 for a null buffer. Errors: -15, -8.
 * Returns at once; AUTO_CALL does not apply. */
DAP_EXPORT int32_t DAP_CALL dapGetLocalDir(int32_t chan, char* buffer, int32_t size);

/* dapSetLocalDir: sets the channel's local directory, where downloads are written and uploads
 * are read.
 *   chan       channel number
 *   directory  directory; empty text empties it
 * Returns 0. Errors: -15, -8, -6.
 * Returns at once; AUTO_CALL does not apply.
 * Kept up to 127 characters with a path separator appended; not checked: a wrong directory shows
 * as -28 from the next transfer.
 * With DAP_SET_UTF8 it may hold UTF-8 (an invalid sequence is -6 and keeps the old one), and the
 * local files' paths are UTF-8 (on Windows opened through the wide-character calls). */
DAP_EXPORT int32_t DAP_CALL dapSetLocalDir(int32_t chan, const char* directory);

/* ---- Parameters ------------------------------------------------------------------------------ */

/* dapGetInteger: reads a counter, a reply or socket code, or a version number (DAP_GET_...).
 *   chan  channel number
 *   code  what to read (DAP_GET_...)
 * Returns the value; -1 for an unknown code. Errors: -15, -8.
 * Returns at once; AUTO_CALL does not apply. */
DAP_EXPORT int32_t DAP_CALL dapGetInteger(int32_t chan, uint32_t code);

/* dapSetInteger: changes a time-out, delay, block size or channel option (DAP_SET_...).
 *   chan   channel number
 *   code   what to change (DAP_SET_...)
 *   value  new value
 * Returns the value as stored (after masking or clamping); -1 for an unknown code. Errors: -15,
 * -8.
 * Returns at once; AUTO_CALL does not apply.
 * Library-wide codes change every channel, whichever channel the call names. */
DAP_EXPORT int32_t DAP_CALL dapSetInteger(int32_t chan, uint32_t code, int32_t value);

/* dapGetString: reads a text value (DAP_STR_SERVER_IP, DAP_STR_TLS_..., DAP_STR_PROXY) into the
 * caller's buffer.
 *   chan    channel number
 *   code    what to read (DAP_STR_...)
 *   buffer  receives the text and a NUL
 *   size    size of buffer in bytes
 * Returns the length of the text; 0 when it does not fit or for an unknown code (then buffer
 * receives "?"). Errors: -15, -8.
 * Returns at once; AUTO_CALL does not apply. */
DAP_EXPORT int32_t DAP_CALL dapGetString(int32_t chan, int32_t code, char* buffer, int32_t size);

/* dapSetString: opens the channel's debug log or writes a line of the caller's into it
 * (DAP_STR_LOG_...), or sets a text of the channel (DAP_STR_TLS_PIN, DAP_STR_TLS_CA_FILE,
 * DAP_STR_PROXY).
 *   chan  channel number
 *   code  what to set (DAP_STR_...)
 *   text  the log file's path, the line to write, or the setting's text
 * Returns for the log codes the log file's handle (0 when none is open), -1 for a log that
 * cannot be created; for the settings 0 when stored, -6 for a text that cannot be read; -1 for
 * an unknown code. Errors: -15, -8.
 * Returns at once; AUTO_CALL does not apply. */
DAP_EXPORT int32_t DAP_CALL dapSetString(int32_t chan, int32_t code, const char* text);

/* ---- Diagnostics ----------------------------------------------------------------------------- */

/* dapErrorText: copies the text of an error code into the caller's buffer; for -18 and -9 the
 * server's last reply follows it.
 *   chan    channel whose last reply follows the text of -18 and -9
 *   code    error code
 *   buffer  receives the text and a NUL
 *   size    size of buffer in bytes, at least 1
 * Returns the number of characters placed in buffer; 0 for a code without text. Errors: -15, -8.
 * Returns at once; AUTO_CALL does not apply.
 * The reply is appended as read, with its CR LF; the next dapDriver call on the channel forgets
 * it. */
DAP_EXPORT int32_t DAP_CALL dapErrorText(int32_t chan, int32_t code, char* buffer, int32_t size);

/* dapDebug: writes the line "*** dapDebug" to the channel's debug log, if one is open.
 *   chan     channel number
 *   unused1  not used
 *   unused2  not used
 *   unused3  not used
 * Returns 1 in every case. Errors: -15, -8.
 * Returns at once; AUTO_CALL does not apply. */
DAP_EXPORT int32_t DAP_CALL dapDebug(int32_t chan, int32_t unused1, int32_t unused2,
                                     int32_t unused3);

/* ---- Listing text ---------------------------------------------------------------------------- */

/* dapExtract: picks one line, or one blank-separated field of a line, out of a text of CR LF
 * lines such as a listing.
 *   text    the text, lines ending in CR LF
 *   line    line number, counted from 0; line 0 cannot be selected, so 1 is the second line
 *   field   0 for the whole line, else the field counted from 1
 *   buffer  receives the line or field and a NUL
 *   size    most characters to place in buffer
 * Returns the number of characters placed in buffer; 0 when nothing was found. Errors: none.
 * Returns at once; AUTO_CALL does not apply.
 * Needs no channel and no dapAttach, keeps no state, and may be called from any thread.
 * A line counts only if CR LF ends it; when the line is missing the buffer is left untouched. */
DAP_EXPORT int32_t DAP_CALL dapExtract(const char* text, int32_t line, int32_t field, char* buffer,
                                       int32_t size);

#ifdef __cplusplus
}
#endif

#endif /* DAP32_H */
