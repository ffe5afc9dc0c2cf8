// The dap32 API for .NET: one P/Invoke declaration per export, and the constants.
// Written by bindings/generate.py from bindings/dap32.toml; edit those, not this file.
//
// StdCall is the convention of the 32-bit DLLs; the 64-bit DLL and Linux have only
// one and ignore it. Output buffers are byte arrays: pass the size the export
// documents. A buffer the library keeps past the call (dapGetList with AUTO_CALL
// off) must be pinned.

using System.Runtime.InteropServices;

namespace Dap32
{
    /// <summary>How the bindings group error codes into exceptions.</summary>
    public enum ErrorKind { Other, Connect, Server, Timeout }

    public static class Native
    {
        public const string Library = "dap32";
        public const int Version = 278;
        public const int Build = 12;
        public const int MaxChannels = 32;
        public const int NameLimit = 128;
        public const int LocalDirLimit = 127;
        public const int ListingPiece = 2047;

        // Error codes; Windows Sockets errors come through negated (-10004 to -11004)
        /// <summary>"Socket has been closed." The server closed the connection.</summary>
        public const int DAP_ERR_SOCKET_CLOSED = -1;
        /// <summary>"Already attached." dapAttach while attached.</summary>
        public const int DAP_ERR_ALREADY_ATTACHED = -3;
        /// <summary>
        /// "Bad status flag passed to rokStatus." Internal: a readiness poll of an unknown kind.
        /// </summary>
        public const int DAP_ERR_BAD_STATUS_FLAG = -4;
        /// <summary>"Cannot allocate memory." dapAttach could not allocate a channel.</summary>
        public const int DAP_ERR_NO_MEMORY = -5;
        /// <summary>
        /// "Cannot comply" A null name or buffer, a negative size, or an address that cannot be
        /// used.
        /// </summary>
        public const int DAP_ERR_CANNOT_COMPLY = -6;
        /// <summary>"Cannot create socket." A socket could not be created.</summary>
        public const int DAP_ERR_CANNOT_CREATE_SOCKET = -7;
        /// <summary>
        /// "Channel out of range." The channel number is not below the attached count, or dapAttach
        /// asked for more than 32.
        /// </summary>
        public const int DAP_ERR_CHANNEL_RANGE = -8;
        /// <summary>
        /// "Error attempting to connect." Not raised by the library; its text carries the last
        /// reply.
        /// </summary>
        public const int DAP_ERR_CONNECT = -9;
        /// <summary>
        /// "Invalid socket." A socket could not be created, or its handle does not fit in 32 bits
        /// (64-bit Windows).
        /// </summary>
        public const int DAP_ERR_INVALID_SOCKET = -10;
        /// <summary>"WINSOCK is currently blocking." Not raised by the library.</summary>
        public const int DAP_ERR_WINSOCK_BLOCKING = -11;
        /// <summary>"No host name." The local host name or address could not be read.</summary>
        public const int DAP_ERR_NO_HOST_NAME = -12;
        /// <summary>"Cannot find FTP server." Not raised by the library.</summary>
        public const int DAP_ERR_NO_SERVER = -13;
        /// <summary>"No available sockaddr structures." Not raised by the library.</summary>
        public const int DAP_ERR_NO_SOCKADDR = -14;
        /// <summary>"Must call dapAttach first." A channel function before dapAttach.</summary>
        public const int DAP_ERR_NOT_ATTACHED = -15;
        /// <summary>"Illegal chars in server name." Not raised by the library.</summary>
        public const int DAP_ERR_ILLEGAL_SERVER_NAME = -16;
        /// <summary>"PASSWORD not specified." dapConnect with a null password.</summary>
        public const int DAP_ERR_NO_PASSWORD = -17;
        /// <summary>
        /// "FTP server returned error." The server answered with a reply code of 500 or more.
        /// </summary>
        public const int DAP_ERR_SERVER_REFUSED = -18;
        /// <summary>"SERVER not specified." dapConnect with a null server.</summary>
        public const int DAP_ERR_NO_SERVER_NAME = -19;
        /// <summary>"Socket read error." Reading the data connection failed.</summary>
        public const int DAP_ERR_SOCKET_READ = -20;
        /// <summary>No text. A command or a data block could not be sent (no text).</summary>
        public const int DAP_ERR_SEND_FAILED = -21;
        /// <summary>"Socket timed out." A reply or a connection did not come in time.</summary>
        public const int DAP_ERR_TIMED_OUT = -22;
        /// <summary>"USER name not specified." dapConnect with a null user.</summary>
        public const int DAP_ERR_NO_USER = -23;
        /// <summary>
        /// "Must specify 'A' or 'B' for mode." dapSetMode with another character.
        /// </summary>
        public const int DAP_ERR_BAD_MODE = -24;
        /// <summary>
        /// "Listen error." The local address or the active-mode listener could not be set up.
        /// </summary>
        public const int DAP_ERR_LISTEN = -25;
        /// <summary>"No response on listener socket." Not raised by the library.</summary>
        public const int DAP_ERR_NO_LISTENER_RESPONSE = -26;
        /// <summary>"Timed out waiting for accept." Not raised by the library.</summary>
        public const int DAP_ERR_ACCEPT_TIMED_OUT = -27;
        /// <summary>
        /// "Cannot open file." The local file of a transfer could not be created or opened.
        /// </summary>
        public const int DAP_ERR_CANNOT_OPEN_FILE = -28;
        /// <summary>No text. Writing the local file failed (no text).</summary>
        public const int DAP_ERR_FILE_WRITE = -29;
        /// <summary>"Cannot find PASV port." The PASV reply carried no port.</summary>
        public const int DAP_ERR_NO_PASV_PORT = -30;
        /// <summary>
        /// "LIST/GET/PUT not completed." A transfer did not end with reply 226.
        /// </summary>
        public const int DAP_ERR_NOT_COMPLETED = -31;
        /// <summary>
        /// "TLS handshake failed." A TLS handshake failed: an alert, a protocol error, or the peer
        /// closed during it.
        /// </summary>
        public const int DAP_ERR_TLS_HANDSHAKE = -32;
        /// <summary>
        /// "Server certificate rejected." The server's certificate did not chain to a trusted root,
        /// did not name the server, was not valid now, or did not match the pin; the debug log says
        /// which and gives its fingerprint.
        /// </summary>
        public const int DAP_ERR_TLS_CERTIFICATE = -33;
        /// <summary>
        /// "Server refused TLS." AUTH TLS, PBSZ or PROT was answered with anything but success; the
        /// connection is closed.
        /// </summary>
        public const int DAP_ERR_TLS_REFUSED = -34;
        /// <summary>"TLS is not available." The TLS library could not be loaded.</summary>
        public const int DAP_ERR_TLS_UNAVAILABLE = -35;
        /// <summary>
        /// "Proxy refused the connection." The proxy refused: a SOCKS5 reply code, an HTTP status
        /// other than 2xx, no acceptable authentication, or wrong credentials; the debug log gives
        /// the proxy's reason.
        /// </summary>
        public const int DAP_ERR_PROXY_REFUSED = -36;

        // dapGetInteger codes
        /// <summary>Driver calls that ran a state.</summary>
        public const int DAP_GET_STEP_COUNT = 2;
        /// <summary>Reply code of the last FTP reply.</summary>
        public const int DAP_GET_SERVER_CODE = 3;
        /// <summary>
        /// Socket code of the last failure (0 when the failure was not a socket's).
        /// </summary>
        public const int DAP_GET_SOCKET_CODE = 4;
        /// <summary>Bytes of the current or last download.</summary>
        public const int DAP_GET_BYTES_RECEIVED = 10;
        /// <summary>Bytes downloaded on this channel since dapAttach.</summary>
        public const int DAP_GET_TOTAL_BYTES_RECEIVED = 11;
        /// <summary>Bytes of the current or last upload.</summary>
        public const int DAP_GET_BYTES_SENT = 12;
        /// <summary>Bytes uploaded on this channel since dapAttach.</summary>
        public const int DAP_GET_TOTAL_BYTES_SENT = 13;
        /// <summary>Handle of the control connection; 0 when there is none.</summary>
        public const int DAP_GET_CONTROL_SOCKET = 14;
        /// <summary>
        /// 1 when the control connection can be written, 0 when not or when it reports an error.
        /// </summary>
        public const int DAP_GET_CONNECTED = 15;
        /// <summary>1 while the control connection is in TLS, else 0.</summary>
        public const int DAP_GET_TLS_ACTIVE = 16;
        /// <summary>
        /// For the last data connection in TLS: 1 it resumed the control connection's TLS session,
        /// 0 it made a full handshake; -1 when there was none since dapConnect.
        /// </summary>
        public const int DAP_GET_TLS_DATA_RESUMED = 17;
        /// <summary>
        /// Library version: major in bits 8-15, minor in bits 4-7, patch in bits 0-3 (278 is
        /// 1.1.6).
        /// </summary>
        public const int DAP_GET_VERSION = 20;
        /// <summary>Library build number.</summary>
        public const int DAP_GET_BUILD = 21;

        // dapSetInteger codes
        /// <summary>
        /// Time allowed for connecting to the server. Default 60000 ms; library-wide.
        /// </summary>
        public const int DAP_SET_CONNECT_TIMEOUT = 1;
        /// <summary>
        /// Pause after each command before its reply is polled (four times as long after QUIT).
        /// Default 0 ms; library-wide.
        /// </summary>
        public const int DAP_SET_COMMAND_DELAY = 2;
        /// <summary>
        /// Time allowed for each reply and each data-connection step, renewed by every data block.
        /// Default 20000 ms; library-wide.
        /// </summary>
        public const int DAP_SET_REPLY_TIMEOUT = 3;
        /// <summary>Pause after each upload block. Default 0 ms; library-wide.</summary>
        public const int DAP_SET_BLOCK_DELAY = 4;
        /// <summary>Stored; nothing reads it. Default 2000; library-wide.</summary>
        public const int DAP_SET_SPARE = 5;
        /// <summary>
        /// 1: operations drive the engine to their end; 0: they only arm it and the caller calls
        /// dapDriver. Only bit 0 counts. Default 1; this channel.
        /// </summary>
        public const int DAP_SET_AUTO_CALL = 6;
        /// <summary>
        /// Sleep of a driver call held back by a delay or a pending write, and of the library's
        /// short waits. Default 20 ms; library-wide.
        /// </summary>
        public const int DAP_SET_POLL_SLEEP = 8;
        /// <summary>
        /// Server port for the next dapConnect (the low 16 bits are kept). Default 21; this
        /// channel.
        /// </summary>
        public const int DAP_SET_SERVER_PORT = 9;
        /// <summary>
        /// Pause after the last upload block, before the upload's data connection is closed.
        /// Default 50 ms; library-wide.
        /// </summary>
        public const int DAP_SET_FINAL_BLOCK_DELAY = 10;
        /// <summary>
        /// Bytes sent per upload step, clamped to 128..8192 (the value taken as unsigned). Default
        /// 1024 bytes; library-wide.
        /// </summary>
        public const int DAP_SET_UPLOAD_BLOCK_SIZE = 11;
        /// <summary>
        /// Nonzero: data connections use PASV; 0: PORT and a listener (active mode). Default 0;
        /// this channel.
        /// </summary>
        public const int DAP_SET_PASSIVE = 12;
        /// <summary>
        /// 1: a pause after each socket close, slept holding the library's lock (62 ms after a
        /// download or listing, 250 ms after an upload, dapAbort and dapClose); 0: none. Only bit 0
        /// counts. Default 1; library-wide.
        /// </summary>
        public const int DAP_SET_CLOSE_PAUSE = 13;
        /// <summary>
        /// Bytes one download or upload step may move while the data socket stays ready, clamped to
        /// 8192..16777216 (the value taken as unsigned); 8192 is one block per step. Default
        /// 8192 bytes; library-wide.
        /// </summary>
        public const int DAP_SET_TRANSFER_CHUNK = 14;
        /// <summary>
        /// 0: no TLS; 1: explicit TLS (AUTH TLS after the greeting, then USER and PASS inside TLS,
        /// then PBSZ 0 and PROT P or C); 2: implicit TLS (the handshake right after the connect,
        /// before the greeting; the port is usually 990). Any other value: -6, nothing changed. Set
        /// before dapConnect. Default 0; this channel.
        /// </summary>
        public const int DAP_SET_TLS = 15;
        /// <summary>
        /// 1: the server's certificate must chain to a trusted root and name the server given to
        /// dapConnect (its DNS name, or its IP address for a dotted quad); 0: any certificate is
        /// accepted, and the log says so at every handshake. Only bit 0 counts. Default 1; this
        /// channel.
        /// </summary>
        public const int DAP_SET_TLS_VERIFY = 16;
        /// <summary>
        /// 1: data connections in TLS (PROT P); 0: PROT C, data in clear while the control
        /// connection stays protected. Only bit 0 counts. Default 1; this channel.
        /// </summary>
        public const int DAP_SET_TLS_DATA = 17;
        /// <summary>
        /// 1: dapGetFile continues a local file that holds bytes, dapPutFile the server's file
        /// (asked with SIZE), each with REST before the transfer command; an offset needs TYPE I
        /// (dapSetMode 'B'). Only bit 0 counts. Default 0; this channel.
        /// </summary>
        public const int DAP_SET_RESUME = 18;
        /// <summary>
        /// 1: names, directories, listing arguments and dapCommand's text may hold UTF-8 (an
        /// invalid sequence is -6), the local paths are UTF-8, and the next login ends with OPTS
        /// UTF8 ON (a refusal is logged and ignored); 0: names are cut at the first byte outside
        /// printable ASCII. Only bit 0 counts. Default 0; this channel.
        /// </summary>
        public const int DAP_SET_UTF8 = 19;
        /// <summary>
        /// 1: data connections use EPSV and EPRT (RFC 2428); a server that answers either with 500,
        /// 501 or 502 gets PASV and PORT for the rest of the session, logged once. 0: PASV and
        /// PORT, except on a control connection over IPv6, which always uses EPSV and EPRT. Only
        /// bit 0 counts. Default 0; this channel.
        /// </summary>
        public const int DAP_SET_EXTENDED = 20;
        /// <summary>
        /// 0: server and proxy names resolve to IPv4, and literal IPv6 addresses (::1, [::1],
        /// fe80::1%2) are taken too; 1: names resolve to both families and each address is tried in
        /// the resolver's order until one connects, all within the connect time-out (each failure
        /// logged, the last one's code returned); 2: IPv6 only. Any other value: -6, nothing
        /// changed. Set before dapConnect. Default 0; this channel.
        /// </summary>
        public const int DAP_SET_ADDRESS_FAMILY = 21;

        // dapGetString and dapSetString codes
        /// <summary>
        /// The address the control connection is connected to (the proxy's when one is used): an
        /// IPv4 address as dotted text (0.0.0.0 before the first connection), needing a buffer of
        /// 17 bytes or more; an IPv6 one as RFC 5952 writes it, needing a buffer longer than the
        /// text.
        /// </summary>
        public const int DAP_STR_SERVER_IP = 19;
        /// <summary>
        /// Creates (or empties) the named file as the channel's debug log; a log open before is
        /// closed.
        /// </summary>
        public const int DAP_STR_LOG_OPEN = 20;
        /// <summary>
        /// Writes the text and CR LF to the channel's open log; nothing when none is open.
        /// </summary>
        public const int DAP_STR_LOG_WRITE = 21;
        /// <summary>
        /// The SHA-256 fingerprint of the one certificate to accept, as 64 hexadecimal digits
        /// (colons and blanks allowed, any case); then nothing else is checked: the way to trust a
        /// self-signed server. Empty or NULL clears it. 0 when stored, -6 for a malformed value
        /// (nothing changed). dapGetString reads it back as 64 uppercase digits, or empty.
        /// </summary>
        public const int DAP_STR_TLS_PIN = 22;
        /// <summary>
        /// A PEM file of trusted roots, used instead of the system's store; empty or NULL: the
        /// system's store. 0 when stored; -6 for a path longer than 259 characters. dapGetString
        /// reads it back.
        /// </summary>
        public const int DAP_STR_TLS_CA_FILE = 23;
        /// <summary>
        /// The SHA-256 fingerprint (64 uppercase hexadecimal digits) of the certificate the server
        /// showed at the last control handshake, also when it was rejected, so that a caller can
        /// show it and pin it; empty when none.
        /// </summary>
        public const int DAP_STR_TLS_PEER_FINGERPRINT = 24;
        /// <summary>
        /// Protocol and cipher of the control connection, as "TLSv1.3 TLS_AES_256_GCM_SHA384";
        /// empty when it is not in TLS.
        /// </summary>
        public const int DAP_STR_TLS_SESSION = 25;
        /// <summary>
        /// The proxy for the control connection and every passive data connection:
        /// socks5://[user:password@]host:port (SOCKS5, the server's name sent for the proxy to
        /// resolve; user and password by RFC 1929) or http://[user:password@]host:port (HTTP
        /// CONNECT, Basic authentication); %XX escapes in user and password. Empty or NULL: direct.
        /// 0 when stored, -6 for a text that cannot be read (nothing changed). dapGetString reads
        /// it back with the password as ****. An active transfer through a proxy fails with -6
        /// before anything is sent.
        /// </summary>
        public const int DAP_STR_PROXY = 26;

        // dapGetList types
        /// <summary>
        /// LIST: Full listing of the current directory (any negative type too).
        /// </summary>
        public const int DAP_LIST_FULL = 0;
        /// <summary>NLST: Names in the current directory.</summary>
        public const int DAP_LIST_NAMES = 1;
        /// <summary>
        /// LIST %s: Full listing of the path or pattern the buffer holds on entry (any type above 5
        /// too).
        /// </summary>
        public const int DAP_LIST_FULL_PATTERN = 2;
        /// <summary>NLST %s: Names for the path or pattern the buffer holds on entry.</summary>
        public const int DAP_LIST_NAMES_PATTERN = 3;
        /// <summary>
        /// MLSD: Machine listing of the current directory: per entry its facts
        /// (type=file;size=...;), a blank and the name.
        /// </summary>
        public const int DAP_LIST_MACHINE = 4;
        /// <summary>
        /// MLSD %s: Machine listing of the directory the buffer holds on entry.
        /// </summary>
        public const int DAP_LIST_MACHINE_PATH = 5;

        // dapDriver result
        /// <summary>The call was held back by a delay or a pending write.</summary>
        public const int DAP_DRIVER_WAITING = 9999;

        /// <summary>Starts the library with count channels, numbered from 0.</summary>
        [DllImport(Library, CallingConvention = CallingConvention.StdCall,
                   CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern int dapAttach(uint count, int attachValue);

        /// <summary>Stops the library and frees every channel.</summary>
        [DllImport(Library, CallingConvention = CallingConvention.StdCall,
                   CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern int dapRelease();

        /// <summary>
        /// Runs at most one step of the channel's state machine and returns at once.
        /// </summary>
        [DllImport(Library, CallingConvention = CallingConvention.StdCall,
                   CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern int dapDriver(int chan);

        /// <summary>Connects to an FTP server and logs in with USER and PASS.</summary>
        [DllImport(Library, CallingConvention = CallingConvention.StdCall,
                   CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern int dapConnect(int chan, string server, string user, string password);

        /// <summary>The same, each text given as its bytes and a NUL (UTF-8 names).</summary>
        [DllImport(Library, CallingConvention = CallingConvention.StdCall,
                   CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern int dapConnect(int chan, byte[] server, byte[] user, byte[] password);

        /// <summary>
        /// Sends QUIT, then closes the control connection and the channel's debug log.
        /// </summary>
        [DllImport(Library, CallingConvention = CallingConvention.StdCall,
                   CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern int dapClose(int chan);

        /// <summary>
        /// Stops the channel's operation at once: closes the local file and the data connection
        /// without a word to the server.
        /// </summary>
        [DllImport(Library, CallingConvention = CallingConvention.StdCall,
                   CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern int dapAbort(int chan);

        /// <summary>
        /// Downloads a server file (RETR) into the channel's local directory, under the same name.
        /// </summary>
        [DllImport(Library, CallingConvention = CallingConvention.StdCall,
                   CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern int dapGetFile(int chan, string name);

        /// <summary>The same, each text given as its bytes and a NUL (UTF-8 names).</summary>
        [DllImport(Library, CallingConvention = CallingConvention.StdCall,
                   CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern int dapGetFile(int chan, byte[] name);

        /// <summary>
        /// Uploads a file (STOR) from the channel's local directory to the server, under the same
        /// name.
        /// </summary>
        [DllImport(Library, CallingConvention = CallingConvention.StdCall,
                   CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern int dapPutFile(int chan, string name);

        /// <summary>The same, each text given as its bytes and a NUL (UTF-8 names).</summary>
        [DllImport(Library, CallingConvention = CallingConvention.StdCall,
                   CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern int dapPutFile(int chan, byte[] name);

        /// <summary>
        /// Fetches a directory listing (LIST or NLST, by type) into the caller's buffer.
        /// </summary>
        [DllImport(Library, CallingConvention = CallingConvention.StdCall,
                   CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern int dapGetList(int chan, int type, [In, Out] byte[] buffer, int size);

        /// <summary>
        /// Sets the transfer type for every later transfer: 'A' sends TYPE A, 'B' sends TYPE I.
        /// </summary>
        [DllImport(Library, CallingConvention = CallingConvention.StdCall,
                   CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern int dapSetMode(int chan, int mode);

        /// <summary>Changes the server's current directory (CWD).</summary>
        [DllImport(Library, CallingConvention = CallingConvention.StdCall,
                   CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern int dapSetServerDir(int chan, string directory);

        /// <summary>The same, each text given as its bytes and a NUL (UTF-8 names).</summary>
        [DllImport(Library, CallingConvention = CallingConvention.StdCall,
                   CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern int dapSetServerDir(int chan, byte[] directory);

        /// <summary>
        /// Reads the server's current directory (PWD) into the caller's buffer.
        /// </summary>
        [DllImport(Library, CallingConvention = CallingConvention.StdCall,
                   CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern int dapGetServerDir(int chan, [In, Out] byte[] buffer, int size);

        /// <summary>Deletes a server file (DELE).</summary>
        [DllImport(Library, CallingConvention = CallingConvention.StdCall,
                   CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern int dapDelFile(int chan, string name);

        /// <summary>The same, each text given as its bytes and a NUL (UTF-8 names).</summary>
        [DllImport(Library, CallingConvention = CallingConvention.StdCall,
                   CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern int dapDelFile(int chan, byte[] name);

        /// <summary>Makes a server directory (MKD).</summary>
        [DllImport(Library, CallingConvention = CallingConvention.StdCall,
                   CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern int dapMakeServerDir(int chan, string name);

        /// <summary>The same, each text given as its bytes and a NUL (UTF-8 names).</summary>
        [DllImport(Library, CallingConvention = CallingConvention.StdCall,
                   CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern int dapMakeServerDir(int chan, byte[] name);

        /// <summary>Removes a server directory (RMD).</summary>
        [DllImport(Library, CallingConvention = CallingConvention.StdCall,
                   CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern int dapDelServerDir(int chan, string name);

        /// <summary>The same, each text given as its bytes and a NUL (UTF-8 names).</summary>
        [DllImport(Library, CallingConvention = CallingConvention.StdCall,
                   CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern int dapDelServerDir(int chan, byte[] name);

        /// <summary>
        /// Sends a command of the caller's on the control connection and reads its final reply.
        /// </summary>
        [DllImport(Library, CallingConvention = CallingConvention.StdCall,
                   CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern int dapCommand(
            int chan, string command, [In, Out] byte[] buffer, int size);

        /// <summary>The same, each text given as its bytes and a NUL (UTF-8 names).</summary>
        [DllImport(Library, CallingConvention = CallingConvention.StdCall,
                   CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern int dapCommand(
            int chan, byte[] command, [In, Out] byte[] buffer, int size);

        /// <summary>Copies the channel's local directory into the caller's buffer.</summary>
        [DllImport(Library, CallingConvention = CallingConvention.StdCall,
                   CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern int dapGetLocalDir(int chan, [In, Out] byte[] buffer, int size);

        /// <summary>
        /// Sets the channel's local directory, where downloads are written and uploads are read.
        /// </summary>
        [DllImport(Library, CallingConvention = CallingConvention.StdCall,
                   CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern int dapSetLocalDir(int chan, string directory);

        /// <summary>The same, each text given as its bytes and a NUL (UTF-8 names).</summary>
        [DllImport(Library, CallingConvention = CallingConvention.StdCall,
                   CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern int dapSetLocalDir(int chan, byte[] directory);

        /// <summary>
        /// Reads a counter, a reply or socket code, or a version number (DAP_GET_...).
        /// </summary>
        [DllImport(Library, CallingConvention = CallingConvention.StdCall,
                   CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern int dapGetInteger(int chan, uint code);

        /// <summary>
        /// Changes a time-out, delay, block size or channel option (DAP_SET_...).
        /// </summary>
        [DllImport(Library, CallingConvention = CallingConvention.StdCall,
                   CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern int dapSetInteger(int chan, uint code, int value);

        /// <summary>
        /// Reads a text value (DAP_STR_SERVER_IP, DAP_STR_TLS_..., DAP_STR_PROXY) into the caller's
        /// buffer.
        /// </summary>
        [DllImport(Library, CallingConvention = CallingConvention.StdCall,
                   CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern int dapGetString(
            int chan, int code, [In, Out] byte[] buffer, int size);

        /// <summary>
        /// Opens the channel's debug log or writes a line of the caller's into it
        /// (DAP_STR_LOG_...), or sets a text of the channel (DAP_STR_TLS_PIN, DAP_STR_TLS_CA_FILE,
        /// DAP_STR_PROXY).
        /// </summary>
        [DllImport(Library, CallingConvention = CallingConvention.StdCall,
                   CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern int dapSetString(int chan, int code, string text);

        /// <summary>The same, each text given as its bytes and a NUL (UTF-8 names).</summary>
        [DllImport(Library, CallingConvention = CallingConvention.StdCall,
                   CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern int dapSetString(int chan, int code, byte[] text);

        /// <summary>
        /// Copies the text of an error code into the caller's buffer; for -18 and -9 the server's
        /// last reply follows it.
        /// </summary>
        [DllImport(Library, CallingConvention = CallingConvention.StdCall,
                   CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern int dapErrorText(
            int chan, int code, [In, Out] byte[] buffer, int size);

        /// <summary>
        /// Writes the line "*** dapDebug" to the channel's debug log, if one is open.
        /// </summary>
        [DllImport(Library, CallingConvention = CallingConvention.StdCall,
                   CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern int dapDebug(int chan, int unused1, int unused2, int unused3);

        /// <summary>
        /// Picks one line, or one blank-separated field of a line, out of a text of CR LF lines
        /// such as a listing.
        /// </summary>
        [DllImport(Library, CallingConvention = CallingConvention.StdCall,
                   CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern int dapExtract(
            string text, int line, int field, [In, Out] byte[] buffer, int size);

        /// <summary>The same, each text given as its bytes and a NUL (UTF-8 names).</summary>
        [DllImport(Library, CallingConvention = CallingConvention.StdCall,
                   CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern int dapExtract(
            byte[] text, int line, int field, [In, Out] byte[] buffer, int size);

        /// <summary>The exception group of an error code.</summary>
        public static ErrorKind KindOf(int code)
        {
            switch (code)
            {
                case -1: case -13: case -32: case -33: case -35: case -36:
                case -10050: case -10051: case -10052: case -10053: case -10054: case -10057:
                case -10058: case -10061: case -10064: case -10065: case -11001: case -11002:
                case -11003: case -11004:
                    return ErrorKind.Connect;
                case -9: case -18: case -31: case -34:
                    return ErrorKind.Server;
                case -22: case -27: case -10060:
                    return ErrorKind.Timeout;
                default:
                    return ErrorKind.Other;
            }
        }

        /// <summary>The library's default for a dapSetInteger code; -1 for an
        /// unknown code.</summary>
        public static int DefaultOf(int code)
        {
            switch (code)
            {
                case DAP_SET_CONNECT_TIMEOUT: return 60000;
                case DAP_SET_COMMAND_DELAY: return 0;
                case DAP_SET_REPLY_TIMEOUT: return 20000;
                case DAP_SET_BLOCK_DELAY: return 0;
                case DAP_SET_SPARE: return 2000;
                case DAP_SET_AUTO_CALL: return 1;
                case DAP_SET_POLL_SLEEP: return 20;
                case DAP_SET_SERVER_PORT: return 21;
                case DAP_SET_FINAL_BLOCK_DELAY: return 50;
                case DAP_SET_UPLOAD_BLOCK_SIZE: return 1024;
                case DAP_SET_PASSIVE: return 0;
                case DAP_SET_CLOSE_PAUSE: return 1;
                case DAP_SET_TRANSFER_CHUNK: return 8192;
                case DAP_SET_TLS: return 0;
                case DAP_SET_TLS_VERIFY: return 1;
                case DAP_SET_TLS_DATA: return 1;
                case DAP_SET_RESUME: return 0;
                case DAP_SET_UTF8: return 0;
                case DAP_SET_EXTENDED: return 0;
                case DAP_SET_ADDRESS_FAMILY: return 0;
                default: return -1;
            }
        }

        /// <summary>The text of code as dapErrorText gives it, without a reply; ""
        /// for a code without text.</summary>
        public static string TextOf(int code)
        {
            switch (code)
            {
                case -1: return "Socket has been closed.";
                case -3: return "Already attached.";
                case -4: return "Bad status flag passed to rokStatus.";
                case -5: return "Cannot allocate memory.";
                case -6: return "Cannot comply";
                case -7: return "Cannot create socket.";
                case -8: return "Channel out of range.";
                case -9: return "Error attempting to connect.";
                case -10: return "Invalid socket.";
                case -11: return "WINSOCK is currently blocking.";
                case -12: return "No host name.";
                case -13: return "Cannot find FTP server.";
                case -14: return "No available sockaddr structures.";
                case -15: return "Must call dapAttach first.";
                case -16: return "Illegal chars in server name.";
                case -17: return "PASSWORD not specified.";
                case -18: return "FTP server returned error.";
                case -19: return "SERVER not specified.";
                case -20: return "Socket read error.";
                case -22: return "Socket timed out.";
                case -23: return "USER name not specified.";
                case -24: return "Must specify 'A' or 'B' for mode.";
                case -25: return "Listen error.";
                case -26: return "No response on listener socket.";
                case -27: return "Timed out waiting for accept.";
                case -28: return "Cannot open file.";
                case -30: return "Cannot find PASV port.";
                case -31: return "LIST/GET/PUT not completed.";
                case -32: return "TLS handshake failed.";
                case -33: return "Server certificate rejected.";
                case -34: return "Server refused TLS.";
                case -35: return "TLS is not available.";
                case -36: return "Proxy refused the connection.";
                case -10004: return "Interrupted system call.";
                case -10009: return "Bad file number.";
                case -10013: return "Access denied.";
                case -10014: return "Bad address.";
                case -10022: return "Invalid argument.";
                case -10024: return "Too many open files.";
                case -10035: return "Would block socket in non-blocking mode.";
                case -10036: return "Blocking call already in progress.";
                case -10037: return "Operation already completed.";
                case -10038: return "Not a valid socket descriptor.";
                case -10039: return "Destination address required.";
                case -10040: return "Message too big for buffer.";
                case -10041: return "Protocol mismatch.";
                case -10042: return "Protocol option invalid.";
                case -10043: return "Protocol not supported.";
                case -10044: return "Socket type not supported.";
                case -10045: return "Socket operation not supported.";
                case -10047: return "Socket address family not supported.";
                case -10048: return "Socket address already in use.";
                case -10049: return "Socket address not available.";
                case -10050: return "Network error.";
                case -10051: return "Cannot reach network.";
                case -10052: return "Connection dropped.";
                case -10053: return "Connection timed-out or aborted.";
                case -10054: return "Connection reset by remote host.";
                case -10055: return "Out of buffer space.";
                case -10056: return "Socket already connected.";
                case -10057: return "Socket not connected.";
                case -10058: return "Socket functionality shut down.";
                case -10060: return "Timed-out attempting to connect.";
                case -10061: return "Connection refused by remote host.";
                case -10064: return "Host is down";
                case -10065: return "No route to host";
                case -10091: return "Network not yet ready.";
                case -10092: return "WINSOCK doesn't support requested version.";
                case -10093: return "Sockets not initialized. Call WSAStartup.";
                case -11001: return "Host does not exist.";
                case -11002: return "Host not found. Try again.";
                case -11003: return "Non-recoverable error has occurred.";
                case -11004: return "No data is available.";
                default: return "";
            }
        }

        /// <summary>Whether dapErrorText follows the text of code with the reply.</summary>
        public static bool CarriesReply(int code)
        {
            return code == -9 || code == -18 || code == -34;
        }
    }
}
