{ The dap32 API for Delphi and Free Pascal: one declaration per export, and the constants. Written
  by bindings/generate.py from bindings/dap32.toml; edit those, not this file. The 32-bit Windows
  DLLs are stdcall; elsewhere the C convention applies. }
unit dap32;

{$IFDEF FPC}{$MODE DELPHI}{$ENDIF}

interface

const
{$IFDEF MSWINDOWS}
  Dap32Library = 'dap32.dll';
{$ELSE}
{$IFDEF FPC}
  Dap32Library = 'dap32';  { linked as -ldap32: libdap32.so }
{$ELSE}
  Dap32Library = 'libdap32.so';
{$ENDIF}
{$ENDIF}

  DAP32_VERSION = 278;
  DAP32_BUILD = 12;
  DAP32_MAX_CHANNELS = 32;
  DAP32_NAME_LIMIT = 128;
  DAP32_LOCAL_DIR_LIMIT = 127;
  DAP32_LISTING_PIECE = 2047;

  { Error codes; Windows Sockets errors come through negated (-10004 to -11004) }
  DAP_ERR_SOCKET_CLOSED = -1;
  DAP_ERR_ALREADY_ATTACHED = -3;
  DAP_ERR_BAD_STATUS_FLAG = -4;
  DAP_ERR_NO_MEMORY = -5;
  DAP_ERR_CANNOT_COMPLY = -6;
  DAP_ERR_CANNOT_CREATE_SOCKET = -7;
  DAP_ERR_CHANNEL_RANGE = -8;
  DAP_ERR_CONNECT = -9;
  DAP_ERR_INVALID_SOCKET = -10;
  DAP_ERR_WINSOCK_BLOCKING = -11;
  DAP_ERR_NO_HOST_NAME = -12;
  DAP_ERR_NO_SERVER = -13;
  DAP_ERR_NO_SOCKADDR = -14;
  DAP_ERR_NOT_ATTACHED = -15;
  DAP_ERR_ILLEGAL_SERVER_NAME = -16;
  DAP_ERR_NO_PASSWORD = -17;
  DAP_ERR_SERVER_REFUSED = -18;
  DAP_ERR_NO_SERVER_NAME = -19;
  DAP_ERR_SOCKET_READ = -20;
  DAP_ERR_SEND_FAILED = -21;
  DAP_ERR_TIMED_OUT = -22;
  DAP_ERR_NO_USER = -23;
  DAP_ERR_BAD_MODE = -24;
  DAP_ERR_LISTEN = -25;
  DAP_ERR_NO_LISTENER_RESPONSE = -26;
  DAP_ERR_ACCEPT_TIMED_OUT = -27;
  DAP_ERR_CANNOT_OPEN_FILE = -28;
  DAP_ERR_FILE_WRITE = -29;
  DAP_ERR_NO_PASV_PORT = -30;
  DAP_ERR_NOT_COMPLETED = -31;
  DAP_ERR_TLS_HANDSHAKE = -32;
  DAP_ERR_TLS_CERTIFICATE = -33;
  DAP_ERR_TLS_REFUSED = -34;
  DAP_ERR_TLS_UNAVAILABLE = -35;
  DAP_ERR_PROXY_REFUSED = -36;

  { dapGetInteger codes }
  DAP_GET_STEP_COUNT = 2;
  DAP_GET_SERVER_CODE = 3;
  DAP_GET_SOCKET_CODE = 4;
  DAP_GET_BYTES_RECEIVED = 10;
  DAP_GET_TOTAL_BYTES_RECEIVED = 11;
  DAP_GET_BYTES_SENT = 12;
  DAP_GET_TOTAL_BYTES_SENT = 13;
  DAP_GET_CONTROL_SOCKET = 14;
  DAP_GET_CONNECTED = 15;
  DAP_GET_TLS_ACTIVE = 16;
  DAP_GET_TLS_DATA_RESUMED = 17;
  DAP_GET_VERSION = 20;
  DAP_GET_BUILD = 21;

  { dapSetInteger codes }
  DAP_SET_CONNECT_TIMEOUT = 1;
  DAP_SET_COMMAND_DELAY = 2;
  DAP_SET_REPLY_TIMEOUT = 3;
  DAP_SET_BLOCK_DELAY = 4;
  DAP_SET_SPARE = 5;
  DAP_SET_AUTO_CALL = 6;
  DAP_SET_POLL_SLEEP = 8;
  DAP_SET_SERVER_PORT = 9;
  DAP_SET_FINAL_BLOCK_DELAY = 10;
  DAP_SET_UPLOAD_BLOCK_SIZE = 11;
  DAP_SET_PASSIVE = 12;
  DAP_SET_CLOSE_PAUSE = 13;
  DAP_SET_TRANSFER_CHUNK = 14;
  DAP_SET_TLS = 15;
  DAP_SET_TLS_VERIFY = 16;
  DAP_SET_TLS_DATA = 17;
  DAP_SET_RESUME = 18;
  DAP_SET_UTF8 = 19;
  DAP_SET_EXTENDED = 20;
  DAP_SET_ADDRESS_FAMILY = 21;

  { dapGetString and dapSetString codes }
  DAP_STR_SERVER_IP = 19;
  DAP_STR_LOG_OPEN = 20;
  DAP_STR_LOG_WRITE = 21;
  DAP_STR_TLS_PIN = 22;
  DAP_STR_TLS_CA_FILE = 23;
  DAP_STR_TLS_PEER_FINGERPRINT = 24;
  DAP_STR_TLS_SESSION = 25;
  DAP_STR_PROXY = 26;

  { dapGetList types }
  DAP_LIST_FULL = 0;
  DAP_LIST_NAMES = 1;
  DAP_LIST_FULL_PATTERN = 2;
  DAP_LIST_NAMES_PATTERN = 3;
  DAP_LIST_MACHINE = 4;
  DAP_LIST_MACHINE_PATH = 5;

  { dapDriver result }
  DAP_DRIVER_WAITING = 9999;

type
  { How the bindings group error codes into exceptions. }
  TDap32ErrorKind = (dekOther, dekConnect, dekServer, dekTimeout);

{ Starts the library with count channels, numbered from 0. }
function dapAttach(ACount: Cardinal; AAttachValue: Integer): Integer;
  {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Dap32Library;

{ Stops the library and frees every channel. }
function dapRelease: Integer;
  {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Dap32Library;

{ Runs at most one step of the channel's state machine and returns at once. }
function dapDriver(AChan: Integer): Integer;
  {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Dap32Library;

{ Connects to an FTP server and logs in with USER and PASS. }
function dapConnect(AChan: Integer; AServer: PAnsiChar; AUser: PAnsiChar;
  APassword: PAnsiChar): Integer;
  {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Dap32Library;

{ Sends QUIT, then closes the control connection and the channel's debug log. }
function dapClose(AChan: Integer): Integer;
  {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Dap32Library;

{ Stops the channel's operation at once: closes the local file and the data connection without a
  word to the server. }
function dapAbort(AChan: Integer): Integer;
  {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Dap32Library;

{ Downloads a server file (RETR) into the channel's local directory, under the same name. }
function dapGetFile(AChan: Integer; AName: PAnsiChar): Integer;
  {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Dap32Library;

{ Uploads a file (STOR) from the channel's local directory to the server, under the same name. }
function dapPutFile(AChan: Integer; AName: PAnsiChar): Integer;
  {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Dap32Library;

{ Fetches a directory listing (LIST or NLST, by type) into the caller's buffer. }
function dapGetList(AChan: Integer; AType: Integer; ABuffer: PAnsiChar; ASize: Integer): Integer;
  {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Dap32Library;

{ Sets the transfer type for every later transfer: 'A' sends TYPE A, 'B' sends TYPE I. }
function dapSetMode(AChan: Integer; AMode: Integer): Integer;
  {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Dap32Library;

{ Changes the server's current directory (CWD). }
function dapSetServerDir(AChan: Integer; ADirectory: PAnsiChar): Integer;
  {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Dap32Library;

{ Reads the server's current directory (PWD) into the caller's buffer. }
function dapGetServerDir(AChan: Integer; ABuffer: PAnsiChar; ASize: Integer): Integer;
  {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Dap32Library;

{ Deletes a server file (DELE). }
function dapDelFile(AChan: Integer; AName: PAnsiChar): Integer;
  {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Dap32Library;

{ Makes a server directory (MKD). }
function dapMakeServerDir(AChan: Integer; AName: PAnsiChar): Integer;
  {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Dap32Library;

{ Removes a server directory (RMD). }
function dapDelServerDir(AChan: Integer; AName: PAnsiChar): Integer;
  {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Dap32Library;

{ Sends a command of the caller's on the control connection and reads its final reply. }
function dapCommand(AChan: Integer; ACommand: PAnsiChar; ABuffer: PAnsiChar;
  ASize: Integer): Integer;
  {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Dap32Library;

{ Copies the channel's local directory into the caller's buffer. }
function dapGetLocalDir(AChan: Integer; ABuffer: PAnsiChar; ASize: Integer): Integer;
  {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Dap32Library;

{ Sets the channel's local directory, where downloads are written and uploads are read. }
function dapSetLocalDir(AChan: Integer; ADirectory: PAnsiChar): Integer;
  {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Dap32Library;

{ Reads a counter, a reply or socket code, or a version number (DAP_GET_...). }
function dapGetInteger(AChan: Integer; ACode: Cardinal): Integer;
  {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Dap32Library;

{ Changes a time-out, delay, block size or channel option (DAP_SET_...). }
function dapSetInteger(AChan: Integer; ACode: Cardinal; AValue: Integer): Integer;
  {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Dap32Library;

{ Reads a text value (DAP_STR_SERVER_IP, DAP_STR_TLS_..., DAP_STR_PROXY) into the caller's buffer. }
function dapGetString(AChan: Integer; ACode: Integer; ABuffer: PAnsiChar; ASize: Integer): Integer;
  {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Dap32Library;

{ Opens the channel's debug log or writes a line of the caller's into it (DAP_STR_LOG_...), or
  sets a text of the channel (DAP_STR_TLS_PIN, DAP_STR_TLS_CA_FILE, DAP_STR_PROXY). }
function dapSetString(AChan: Integer; ACode: Integer; AText: PAnsiChar): Integer;
  {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Dap32Library;

{ Copies the text of an error code into the caller's buffer; for -18 and -9 the server's last
  reply follows it. }
function dapErrorText(AChan: Integer; ACode: Integer; ABuffer: PAnsiChar; ASize: Integer): Integer;
  {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Dap32Library;

{ Writes the line "*** dapDebug" to the channel's debug log, if one is open. }
function dapDebug(AChan: Integer; AUnused1: Integer; AUnused2: Integer; AUnused3: Integer): Integer;
  {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Dap32Library;

{ Picks one line, or one blank-separated field of a line, out of a text of CR LF lines such as a
  listing. }
function dapExtract(AText: PAnsiChar; ALine: Integer; AField: Integer; ABuffer: PAnsiChar;
  ASize: Integer): Integer;
  {$IFDEF MSWINDOWS}stdcall{$ELSE}cdecl{$ENDIF}; external Dap32Library;

{ The exception group of an error code. }
function Dap32ErrorKind(Code: Integer): TDap32ErrorKind;

{ The library's default for a dapSetInteger code; -1 for an unknown code. }
function Dap32SetDefault(Code: Integer): Integer;

{ Whether dapErrorText follows the text of Code with the server's reply. }
function Dap32CarriesReply(Code: Integer): Boolean;

{ The text of Code as dapErrorText gives it, without a reply; '' for a code without text. }
function Dap32ErrorMessage(Code: Integer): AnsiString;

implementation

function Dap32ErrorKind(Code: Integer): TDap32ErrorKind;
begin
  case Code of
    -1, -13, -32, -33, -35, -36, -10050, -10051, -10052, -10053, -10054, -10057, -10058, -10061,
    -10064, -10065, -11001, -11002, -11003, -11004:
      Result := dekConnect;
    -9, -18, -31, -34:
      Result := dekServer;
    -22, -27, -10060:
      Result := dekTimeout;
  else
    Result := dekOther;
  end;
end;

function Dap32SetDefault(Code: Integer): Integer;
begin
  case Code of
    DAP_SET_CONNECT_TIMEOUT: Result := 60000;
    DAP_SET_COMMAND_DELAY: Result := 0;
    DAP_SET_REPLY_TIMEOUT: Result := 20000;
    DAP_SET_BLOCK_DELAY: Result := 0;
    DAP_SET_SPARE: Result := 2000;
    DAP_SET_AUTO_CALL: Result := 1;
    DAP_SET_POLL_SLEEP: Result := 20;
    DAP_SET_SERVER_PORT: Result := 21;
    DAP_SET_FINAL_BLOCK_DELAY: Result := 50;
    DAP_SET_UPLOAD_BLOCK_SIZE: Result := 1024;
    DAP_SET_PASSIVE: Result := 0;
    DAP_SET_CLOSE_PAUSE: Result := 1;
    DAP_SET_TRANSFER_CHUNK: Result := 8192;
    DAP_SET_TLS: Result := 0;
    DAP_SET_TLS_VERIFY: Result := 1;
    DAP_SET_TLS_DATA: Result := 1;
    DAP_SET_RESUME: Result := 0;
    DAP_SET_UTF8: Result := 0;
    DAP_SET_EXTENDED: Result := 0;
    DAP_SET_ADDRESS_FAMILY: Result := 0;
  else
    Result := -1;
  end;
end;

function Dap32CarriesReply(Code: Integer): Boolean;
begin
  Result := (Code = -9) or (Code = -18) or (Code = -34);
end;

function Dap32ErrorMessage(Code: Integer): AnsiString;
begin
  case Code of
    -1: Result := 'Socket has been closed.';
    -3: Result := 'Already attached.';
    -4: Result := 'Bad status flag passed to rokStatus.';
    -5: Result := 'Cannot allocate memory.';
    -6: Result := 'Cannot comply';
    -7: Result := 'Cannot create socket.';
    -8: Result := 'Channel out of range.';
    -9: Result := 'Error attempting to connect.';
    -10: Result := 'Invalid socket.';
    -11: Result := 'WINSOCK is currently blocking.';
    -12: Result := 'No host name.';
    -13: Result := 'Cannot find FTP server.';
    -14: Result := 'No available sockaddr structures.';
    -15: Result := 'Must call dapAttach first.';
    -16: Result := 'Illegal chars in server name.';
    -17: Result := 'PASSWORD not specified.';
    -18: Result := 'FTP server returned error.';
    -19: Result := 'SERVER not specified.';
    -20: Result := 'Socket read error.';
    -22: Result := 'Socket timed out.';
    -23: Result := 'USER name not specified.';
    -24: Result := 'Must specify ''A'' or ''B'' for mode.';
    -25: Result := 'Listen error.';
    -26: Result := 'No response on listener socket.';
    -27: Result := 'Timed out waiting for accept.';
    -28: Result := 'Cannot open file.';
    -30: Result := 'Cannot find PASV port.';
    -31: Result := 'LIST/GET/PUT not completed.';
    -32: Result := 'TLS handshake failed.';
    -33: Result := 'Server certificate rejected.';
    -34: Result := 'Server refused TLS.';
    -35: Result := 'TLS is not available.';
    -36: Result := 'Proxy refused the connection.';
    -10004: Result := 'Interrupted system call.';
    -10009: Result := 'Bad file number.';
    -10013: Result := 'Access denied.';
    -10014: Result := 'Bad address.';
    -10022: Result := 'Invalid argument.';
    -10024: Result := 'Too many open files.';
    -10035: Result := 'Would block socket in non-blocking mode.';
    -10036: Result := 'Blocking call already in progress.';
    -10037: Result := 'Operation already completed.';
    -10038: Result := 'Not a valid socket descriptor.';
    -10039: Result := 'Destination address required.';
    -10040: Result := 'Message too big for buffer.';
    -10041: Result := 'Protocol mismatch.';
    -10042: Result := 'Protocol option invalid.';
    -10043: Result := 'Protocol not supported.';
    -10044: Result := 'Socket type not supported.';
    -10045: Result := 'Socket operation not supported.';
    -10047: Result := 'Socket address family not supported.';
    -10048: Result := 'Socket address already in use.';
    -10049: Result := 'Socket address not available.';
    -10050: Result := 'Network error.';
    -10051: Result := 'Cannot reach network.';
    -10052: Result := 'Connection dropped.';
    -10053: Result := 'Connection timed-out or aborted.';
    -10054: Result := 'Connection reset by remote host.';
    -10055: Result := 'Out of buffer space.';
    -10056: Result := 'Socket already connected.';
    -10057: Result := 'Socket not connected.';
    -10058: Result := 'Socket functionality shut down.';
    -10060: Result := 'Timed-out attempting to connect.';
    -10061: Result := 'Connection refused by remote host.';
    -10064: Result := 'Host is down';
    -10065: Result := 'No route to host';
    -10091: Result := 'Network not yet ready.';
    -10092: Result := 'WINSOCK doesn''t support requested version.';
    -10093: Result := 'Sockets not initialized. Call WSAStartup.';
    -11001: Result := 'Host does not exist.';
    -11002: Result := 'Host not found. Try again.';
    -11003: Result := 'Non-recoverable error has occurred.';
    -11004: Result := 'No data is available.';
  else
    Result := '';
  end;
end;

end.
