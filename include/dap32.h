/* dap32: the client side of FTP in a small, caller-driven library.
 *
 * Every function takes 32-bit arguments and returns a signed 32-bit result:
 * negative values are error codes (dapErrorText gives their texts), zero and
 * positive values are results. On 32-bit Windows every export is __stdcall. */
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

/* Library codes; Windows Sockets errors come through negated (-10004 to -11004). */
enum {
  DAP_ERR_SOCKET_CLOSED = -1,
  DAP_ERR_ALREADY_ATTACHED = -3,
  DAP_ERR_BAD_STATUS_FLAG = -4,
  DAP_ERR_NO_MEMORY = -5,
  DAP_ERR_CANNOT_COMPLY = -6,
  DAP_ERR_CANNOT_CREATE_SOCKET = -7,
  DAP_ERR_CHANNEL_RANGE = -8,
  DAP_ERR_CONNECT = -9,
  DAP_ERR_INVALID_SOCKET = -10,
  DAP_ERR_WINSOCK_BLOCKING = -11,
  DAP_ERR_NO_HOST_NAME = -12,
  DAP_ERR_NO_SERVER = -13,
  DAP_ERR_NO_SOCKADDR = -14,
  DAP_ERR_NOT_ATTACHED = -15,
  DAP_ERR_ILLEGAL_SERVER_NAME = -16,
  DAP_ERR_NO_PASSWORD = -17,
  DAP_ERR_SERVER_REFUSED = -18,
  DAP_ERR_NO_SERVER_NAME = -19,
  DAP_ERR_SOCKET_READ = -20,
  DAP_ERR_SEND_FAILED = -21,
  DAP_ERR_TIMED_OUT = -22,
  DAP_ERR_NO_USER = -23,
  DAP_ERR_BAD_MODE = -24,
  DAP_ERR_LISTEN = -25,
  DAP_ERR_NO_LISTENER_RESPONSE = -26,
  DAP_ERR_ACCEPT_TIMED_OUT = -27,
  DAP_ERR_CANNOT_OPEN_FILE = -28,
  DAP_ERR_FILE_WRITE = -29,
  DAP_ERR_NO_PASV_PORT = -30,
  DAP_ERR_NOT_COMPLETED = -31
};

/* dapGetInteger codes. */
enum {
  DAP_GET_STEP_COUNT = 2,
  DAP_GET_SERVER_CODE = 3,
  DAP_GET_SOCKET_CODE = 4,
  DAP_GET_BYTES_RECEIVED = 10,
  DAP_GET_TOTAL_BYTES_RECEIVED = 11,
  DAP_GET_BYTES_SENT = 12,
  DAP_GET_TOTAL_BYTES_SENT = 13,
  DAP_GET_CONTROL_SOCKET = 14,
  DAP_GET_CONNECTED = 15,
  DAP_GET_VERSION = 20,
  DAP_GET_BUILD = 21
};

/* dapSetInteger codes. Codes 1-5, 8, 10, 11, 13 and 14 are library-wide. */
enum {
  DAP_SET_CONNECT_TIMEOUT = 1,
  DAP_SET_COMMAND_DELAY = 2,
  DAP_SET_REPLY_TIMEOUT = 3,
  DAP_SET_BLOCK_DELAY = 4,
  DAP_SET_SPARE = 5,
  DAP_SET_AUTO_CALL = 6,
  DAP_SET_POLL_SLEEP = 8,
  DAP_SET_SERVER_PORT = 9,
  DAP_SET_FINAL_BLOCK_DELAY = 10,
  DAP_SET_UPLOAD_BLOCK_SIZE = 11,
  DAP_SET_PASSIVE = 12,
  DAP_SET_CLOSE_PAUSE = 13,   /* 1 (default): pause after each socket close; 0: none */
  DAP_SET_TRANSFER_CHUNK = 14 /* bytes per transfer step, 8192 (default) to 16 MiB */
};

/* dapGetString and dapSetString codes. */
enum { DAP_STR_SERVER_IP = 19, DAP_STR_LOG_OPEN = 20, DAP_STR_LOG_WRITE = 21 };

/* dapGetList types. With the pattern types the caller's buffer holds the argument. */
enum {
  DAP_LIST_FULL = 0,
  DAP_LIST_NAMES = 1,
  DAP_LIST_FULL_PATTERN = 2,
  DAP_LIST_NAMES_PATTERN = 3
};

/* dapDriver's result while a call was held back by a delay or a pending write. */
enum { DAP_DRIVER_WAITING = 9999 };

DAP_EXPORT int32_t DAP_CALL dapAttach(uint32_t count, int32_t attachValue);
DAP_EXPORT int32_t DAP_CALL dapRelease(void);
DAP_EXPORT int32_t DAP_CALL dapDriver(int32_t chan);

DAP_EXPORT int32_t DAP_CALL dapConnect(int32_t chan, const char* server, const char* user,
                                       const char* password);
DAP_EXPORT int32_t DAP_CALL dapClose(int32_t chan);
DAP_EXPORT int32_t DAP_CALL dapAbort(int32_t chan);

DAP_EXPORT int32_t DAP_CALL dapGetFile(int32_t chan, const char* name);
DAP_EXPORT int32_t DAP_CALL dapPutFile(int32_t chan, const char* name);
DAP_EXPORT int32_t DAP_CALL dapGetList(int32_t chan, int32_t type, char* buffer, int32_t size);
DAP_EXPORT int32_t DAP_CALL dapSetMode(int32_t chan, int32_t mode);
DAP_EXPORT int32_t DAP_CALL dapSetServerDir(int32_t chan, const char* directory);
DAP_EXPORT int32_t DAP_CALL dapGetServerDir(int32_t chan, char* buffer, int32_t size);
DAP_EXPORT int32_t DAP_CALL dapDelFile(int32_t chan, const char* name);
DAP_EXPORT int32_t DAP_CALL dapMakeServerDir(int32_t chan, const char* name);
DAP_EXPORT int32_t DAP_CALL dapDelServerDir(int32_t chan, const char* name);

DAP_EXPORT int32_t DAP_CALL dapGetLocalDir(int32_t chan, char* buffer, int32_t size);
DAP_EXPORT int32_t DAP_CALL dapSetLocalDir(int32_t chan, const char* directory);

DAP_EXPORT int32_t DAP_CALL dapGetInteger(int32_t chan, uint32_t code);
DAP_EXPORT int32_t DAP_CALL dapSetInteger(int32_t chan, uint32_t code, int32_t value);
DAP_EXPORT int32_t DAP_CALL dapGetString(int32_t chan, int32_t code, char* buffer, int32_t size);
DAP_EXPORT int32_t DAP_CALL dapSetString(int32_t chan, int32_t code, const char* text);

DAP_EXPORT int32_t DAP_CALL dapErrorText(int32_t chan, int32_t code, char* buffer, int32_t size);
DAP_EXPORT int32_t DAP_CALL dapDebug(int32_t chan, int32_t unused1, int32_t unused2,
                                     int32_t unused3);

DAP_EXPORT int32_t DAP_CALL dapExtract(const char* text, int32_t line, int32_t field, char* buffer,
                                       int32_t size);

#ifdef __cplusplus
}
#endif

#endif /* DAP32_H */
