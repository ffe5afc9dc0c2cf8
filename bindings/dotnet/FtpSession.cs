// FtpSession: an FTP session over dap32 for .NET, with exceptions instead of result codes.
// Builds with Mono's mcs and with the .NET SDK (netstandard2.0 and later).
using System;
using System.Collections.Generic;
using System.Globalization;
using System.IO;
using System.Text;

namespace Dap32
{
    /// <summary>A failure reported by dap32. Code is the library's result code; Message is
    /// the text dapErrorText gives for it.</summary>
    public class Dap32Exception : Exception
    {
        public int Code { get; private set; }

        public Dap32Exception(int code, string message) : base(message)
        {
            Code = code;
        }
    }

    /// <summary>The server cannot be reached (the connection was refused, or the host is
    /// unknown or unreachable), or the connection to it was lost.</summary>
    public class Dap32ConnectException : Dap32Exception
    {
        public Dap32ConnectException(int code, string message) : base(code, message) { }
    }

    /// <summary>The server refused a command, or ended a transfer with another reply than 226:
    /// Reply is its reply line, ReplyCode the number.</summary>
    public class Dap32ServerException : Dap32Exception
    {
        public string Reply { get; private set; }
        public int ReplyCode { get; private set; }

        public Dap32ServerException(int code, string message, string reply, int replyCode)
            : base(code, message)
        {
            Reply = reply;
            ReplyCode = replyCode;
        }
    }

    /// <summary>A reply or a connection did not come in time.</summary>
    public class Dap32TimeoutException : Dap32Exception
    {
        public Dap32TimeoutException(int code, string message) : base(code, message) { }
    }

    /// <summary>The library's pace: the fast settings of README.md's "Speed" section, or the
    /// library's own defaults.</summary>
    public enum FtpPace { Fast, Original }

    /// <summary>What DownloadFile does with a local file that is there already: replace it, or
    /// continue it from its size (REST).</summary>
    public enum FtpLocalExists { Overwrite, Resume }

    /// <summary>What UploadFile does with a server file that is there already: replace it, or
    /// continue it from its size (SIZE, then REST).</summary>
    public enum FtpRemoteExists { Overwrite, Resume }

    /// <summary>How GetListing(path, options) lists: Machine is MLSD, one item per
    /// entry.</summary>
    public enum FtpListOption { Machine }

    public enum FtpObjectType { File, Directory, Link, Other }

    /// <summary>An entry of an MLSD listing: its name, the facts type, size, modify, perm and
    /// unique read out, and every fact as the server wrote it (names in lower case).</summary>
    public class FtpListItem
    {
        public string Name { get; internal set; }
        public string FullName { get; internal set; }
        public FtpObjectType Type { get; internal set; }
        /// <summary>Bytes; -1 when the server gave no size.</summary>
        public long Size { get; internal set; }
        /// <summary>UTC; DateTime.MinValue when the server gave no time.</summary>
        public DateTime Modified { get; internal set; }
        public string Permissions { get; internal set; }
        public string Unique { get; internal set; }
        public Dictionary<string, string> Facts { get; internal set; }
    }

    /// <summary>The addresses a host name resolves to (DAP_SET_ADDRESS_FAMILY).</summary>
    public enum FtpIpVersion { IPv4 = 0, Any = 1, IPv6 = 2 }

    /// <summary>FTPS (DAP_SET_TLS): None, Explicit (AUTH TLS after the greeting) or Implicit
    /// (TLS from the connect on, port 990).</summary>
    public enum FtpEncryptionMode { None = 0, Explicit = 1, Implicit = 2 }

    /// <summary>One FTP session on a dap32 channel of its own. Names sent to the server must be
    /// at most 128 bytes without control characters: the host, user and password printable
    /// ASCII, file and directory names UTF-8 (printable ASCII when Utf8 is false); others raise
    /// ArgumentException, since the library would cut them. So do names for a transfer that
    /// would lead out of the local folder. A session collected without Dispose is closed by its
    /// finalizer.</summary>
    public sealed class FtpSession : IDisposable
    {
        // The library is attached once for all sessions; the last session to close releases it.
        private static readonly object PoolLock = new object();
        private static readonly Stack<int> FreeChannels = new Stack<int>();
        private static int openSessions;
        private static FtpPace libraryPace;

        // The library-wide settings a pace sets when the first session attaches, with their fast
        // values; the original pace sets each to its default.
        private static readonly int[] PaceCodes = {
            Native.DAP_SET_CLOSE_PAUSE, Native.DAP_SET_TRANSFER_CHUNK, Native.DAP_SET_POLL_SLEEP,
            Native.DAP_SET_FINAL_BLOCK_DELAY, Native.DAP_SET_UPLOAD_BLOCK_SIZE };
        private static readonly int[] FastValues = { 0, 4 << 20, 1, 0, 8192 };

        private const int FirstListingSize = 64 * 1024;
        private const int LastListingSize = 256 * 1024 * 1024;
        private const int ReplySize = 8192;
        private const int CommandLimit = 2000;
        private static readonly Encoding StrictUtf8 = new UTF8Encoding(false, true);

        private int channel = -1;

        /// <summary>PASV data connections (the default); false for PORT (active mode).</summary>
        public bool Passive = true;
        /// <summary>Send TYPE I after the login (the default); false keeps the server's.</summary>
        public bool Binary = true;
        /// <summary>A file for the channel's debug log, opened by Connect.</summary>
        public string LogFile;
        /// <summary>Fast (the default) or the library's Original pace, set when the first
        /// session connects. It applies to every channel: sessions open at the same time must
        /// agree on it, or Connect throws InvalidOperationException.</summary>
        public FtpPace Pace = FtpPace.Fast;
        /// <summary>File and directory names may be UTF-8 (the default); Connect tells the
        /// library (DAP_SET_UTF8), which sends OPTS UTF8 ON after the login. False keeps them
        /// printable ASCII.</summary>
        public bool Utf8 = true;
        /// <summary>EPSV and EPRT (the default), with PASV and PORT for a server that refuses
        /// them.</summary>
        public bool ExtendedPassive = true;
        /// <summary>IPv4 (the default; IPv6 literals are taken too), Any or IPv6.</summary>
        public FtpIpVersion IpVersion = FtpIpVersion.IPv4;
        /// <summary>"socks5://[user:password@]host:port" or "http://..."; null: direct. Active
        /// mode cannot go through a proxy.</summary>
        public string Proxy;
        /// <summary>None (the default), Explicit or Implicit TLS.</summary>
        public FtpEncryptionMode EncryptionMode = FtpEncryptionMode.None;
        /// <summary>Data connections in TLS too (PROT P, the default); false: PROT C.</summary>
        public bool DataConnectionEncryption = true;
        /// <summary>The certificate must chain to a trusted root (the system's, or CaFile's) and
        /// name the host (the default); false accepts any. The library decides, so there is no
        /// validation callback: to accept a self-signed certificate, pin it.</summary>
        public bool ValidateCertificate = true;
        /// <summary>The SHA-256 fingerprint of the one certificate to accept (64 hex digits,
        /// colons and blanks allowed), checked instead of everything else; null: none. A
        /// rejected certificate throws Dap32ConnectException with Code -33, and PeerFingerprint
        /// then tells what to pin.</summary>
        public string CertificatePin;
        /// <summary>A PEM file of trusted roots, used instead of the system's store.</summary>
        public string CaFile;

        // What the last connection showed, kept when the channel goes back to the pool.
        private string lastTlsSession = "", lastPeerFingerprint = "";

        public bool IsConnected { get { return channel >= 0; } }

        /// <summary>Protocol and cipher of the control connection, as "TLSv1.3
        /// TLS_AES_256_GCM_SHA384"; "" without TLS. After Dispose, the last
        /// connection's.</summary>
        public string TlsSession
        {
            get { return channel < 0 ? lastTlsSession : StringOf(Native.DAP_STR_TLS_SESSION); }
        }

        /// <summary>The SHA-256 fingerprint (64 uppercase hex digits) of the certificate the
        /// server showed at the last TLS connect, also when Connect rejected it: what
        /// CertificatePin takes. After Dispose, the last connection's.</summary>
        public string PeerFingerprint
        {
            get
            {
                return channel < 0 ? lastPeerFingerprint
                                   : StringOf(Native.DAP_STR_TLS_PEER_FINGERPRINT);
            }
        }

        /// <summary>Connects and logs in; port 0 (the default) is 21, or 990 for Implicit
        /// TLS.</summary>
        public void Connect(string host, string user, string password, int port = 0)
        {
            if (port == 0)
                port = EncryptionMode == FtpEncryptionMode.Implicit ? 990 : 21;
            string server = Name(host, "host"), login = Name(user, "user");
            string secret = Name(password, "password");
            if (channel < 0)
                channel = AcquireChannel(Pace);
            if (LogFile != null &&
                Native.dapSetString(channel, Native.DAP_STR_LOG_OPEN, LogFile) <= 0)
                throw new IOException("cannot create the log file " + LogFile);
            Native.dapSetInteger(channel, Native.DAP_SET_SERVER_PORT, port);
            Native.dapSetInteger(channel, Native.DAP_SET_PASSIVE, Passive ? 1 : 0);
            Native.dapSetInteger(channel, Native.DAP_SET_UTF8, Utf8 ? 1 : 0);
            Native.dapSetInteger(channel, Native.DAP_SET_EXTENDED, ExtendedPassive ? 1 : 0);
            Native.dapSetInteger(channel, Native.DAP_SET_ADDRESS_FAMILY, (int)IpVersion);
            if (Native.dapSetString(channel, Native.DAP_STR_PROXY, Proxy ?? "") < 0)
                throw new ArgumentException("the proxy cannot be read: " + Proxy);
            SetTls();
            Check(Native.dapConnect(channel, server, login, secret));
            if (Binary)
                Check(Native.dapSetMode(channel, 'B'));
        }

        // Every connect sets all of them: a channel from the pool keeps its last session's.
        private void SetTls()
        {
            Native.dapSetInteger(channel, Native.DAP_SET_TLS, (int)EncryptionMode);
            Native.dapSetInteger(channel, Native.DAP_SET_TLS_VERIFY, ValidateCertificate ? 1 : 0);
            Native.dapSetInteger(channel, Native.DAP_SET_TLS_DATA,
                                 DataConnectionEncryption ? 1 : 0);
            if (Native.dapSetString(channel, Native.DAP_STR_TLS_PIN, CertificatePin ?? "") < 0)
                throw new ArgumentException("not a SHA-256 fingerprint: " + CertificatePin);
            if (!string.IsNullOrEmpty(CaFile) && !File.Exists(CaFile))
                throw new FileNotFoundException("no such CA file", CaFile);
            if (Native.dapSetString(channel, Native.DAP_STR_TLS_CA_FILE, CaFile ?? "") < 0)
                throw new ArgumentException("the CA file's path is too long: " + CaFile);
        }

        private string StringOf(int code)
        {
            byte[] buffer = new byte[256];
            Native.dapGetString(channel, code, buffer, buffer.Length);
            return Text(buffer, Encoding.ASCII);
        }

        /// <summary>Sends QUIT, closes the connection and frees the channel. The server's
        /// answer to QUIT is not checked.</summary>
        public void Dispose()
        {
            Close();
            GC.SuppressFinalize(this);
        }

        // The finalizer thread may take the pool's lock: no thread holding it waits for
        // finalizers, and the channel still counts as taken, so the library is attached.
        ~FtpSession()
        {
            Close();
        }

        private void Close()
        {
            if (channel < 0)
                return;
            lastTlsSession = TlsSession;
            lastPeerFingerprint = PeerFingerprint;
            int closing = channel;
            channel = -1;
            try
            {
                // With AUTO_CALL off dapClose would leave the connection open.
                Native.dapSetInteger(closing, Native.DAP_SET_AUTO_CALL, 1);
                Native.dapClose(closing);
            }
            finally
            {
                ReleaseChannel(closing);
            }
        }

        public void ChangeDirectory(string path)
        {
            Check(Native.dapSetServerDir(Channel(), Bytes(path, "directory")));
        }

        public string GetWorkingDirectory()
        {
            byte[] buffer = new byte[Native.NameLimit + 1];
            Check(Native.dapGetServerDir(Channel(), buffer, Native.NameLimit));
            return Text(buffer, Encoding.UTF8);
        }

        public void CreateDirectory(string name)
        {
            Check(Native.dapMakeServerDir(Channel(), Bytes(name, "directory")));
        }

        public void DeleteDirectory(string name)
        {
            Check(Native.dapDelServerDir(Channel(), Bytes(name, "directory")));
        }

        public void DeleteFile(string name)
        {
            Check(Native.dapDelFile(Channel(), Bytes(name, "name")));
        }

        /// <summary>Sends command and returns the final reply's text, every line of it; a reply
        /// from 400 up throws Dap32ServerException with it.</summary>
        public string Execute(string command)
        {
            byte[] reply = new byte[ReplySize];
            int code = Check(Native.dapCommand(Channel(), Bytes(command, "command", CommandLimit),
                                               reply, reply.Length));
            string text = Text(reply, Encoding.UTF8);
            if (code >= 400)
                throw new Dap32ServerException(Native.DAP_ERR_SERVER_REFUSED,
                                               Native.TextOf(Native.DAP_ERR_SERVER_REFUSED) +
                                                   " " + text, text, code);
            return text;
        }

        /// <summary>RNFR, then RNTO.</summary>
        public void Rename(string path, string dest)
        {
            string reply = Execute("RNFR " + path);
            if (!reply.StartsWith("3"))
                throw new Dap32Exception(Native.DAP_ERR_NOT_COMPLETED, "RNFR answered " + reply);
            Execute("RNTO " + dest);
        }

        /// <summary>The file's size (SIZE, under the session's TYPE I); defaultValue when the
        /// server answers 550.</summary>
        public long GetFileSize(string path, long defaultValue = -1)
        {
            try
            {
                return long.Parse(Execute("SIZE " + path).Substring(3).Trim(),
                                  CultureInfo.InvariantCulture);
            }
            catch (Dap32ServerException missing)
            {
                if (missing.ReplyCode != 550)
                    throw;
                return defaultValue;
            }
        }

        /// <summary>The file's modification time (MDTM), in UTC.</summary>
        public DateTime GetModifiedTime(string path)
        {
            return Timestamp(Execute("MDTM " + path).Substring(3).Trim());
        }

        /// <summary>SITE CHMOD, permissions as the server takes them (644).</summary>
        public void Chmod(string path, int permissions)
        {
            string mode = permissions.ToString(CultureInfo.InvariantCulture);
            Execute("SITE CHMOD " + mode + " " + path);
        }

        /// <summary>The entries MLSD gives for path (the current directory when null), without
        /// the directory itself and its parent.</summary>
        public FtpListItem[] GetListing(string path, FtpListOption options)
        {
            var items = new List<FtpListItem>();
            foreach (string line in List(Native.DAP_LIST_MACHINE, Native.DAP_LIST_MACHINE_PATH,
                                         path))
            {
                FtpListItem item = MachineItem(line, path);
                if (item != null)
                    items.Add(item);
            }
            return items.ToArray();
        }

        /// <summary>The names NLST gives for the current directory, or for path.</summary>
        public string[] GetNameListing(string path = null)
        {
            return List(Native.DAP_LIST_NAMES, Native.DAP_LIST_NAMES_PATTERN, path);
        }

        /// <summary>The lines LIST gives for the current directory, or for path.</summary>
        public string[] GetListing(string path = null)
        {
            return List(Native.DAP_LIST_FULL, Native.DAP_LIST_FULL_PATTERN, path);
        }

        /// <summary>Downloads remote to localPath; a failure leaves localPath as it was.
        /// progress receives the bytes received so far. FtpLocalExists.Resume continues a
        /// localPath that holds the start of remote (REST): progress then counts this
        /// transfer's bytes.</summary>
        public void DownloadFile(string remote, string localPath, IProgress<long> progress = null,
                                 FtpLocalExists existsMode = FtpLocalExists.Overwrite)
        {
            byte[] name = Bytes(remote, "name");
            string below = LocalPathOf(remote);
            string target = Path.GetFullPath(localPath);
            string scratch = ScratchNear(Path.GetDirectoryName(target));
            bool resume = existsMode == FtpLocalExists.Resume;
            try
            {
                // The library names the local file as the remote one, below its local directory.
                string received = Path.Combine(scratch, below);
                Directory.CreateDirectory(Path.GetDirectoryName(received));
                if (resume && File.Exists(target))
                    File.Copy(target, received);
                SetLocalDirectory(scratch);
                Transfer(delegate { return Native.dapGetFile(channel, name); },
                         Native.DAP_GET_BYTES_RECEIVED, progress, resume);
                ReplaceFile(received, scratch, target);
            }
            finally
            {
                RemoveScratch(scratch);
            }
        }

        /// <summary>Uploads localPath as remote (by default its own name). progress receives
        /// the bytes sent so far. FtpRemoteExists.Resume continues the server's file from its
        /// size.</summary>
        public void UploadFile(string localPath, string remote = null,
                               IProgress<long> progress = null,
                               FtpRemoteExists existsMode = FtpRemoteExists.Overwrite)
        {
            string source = Path.GetFullPath(localPath);
            if (!File.Exists(source))
                throw new FileNotFoundException("no such file", source);
            if (remote == null)
                remote = Path.GetFileName(source);
            byte[] name = Bytes(remote, "name");
            string below = LocalPathOf(remote);
            Func<int> start = delegate { return Native.dapPutFile(channel, name); };
            string folder = Path.GetDirectoryName(source);
            bool resume = existsMode == FtpRemoteExists.Resume;
            if (remote == Path.GetFileName(source) && UsableDirectory(folder))
            {
                SetLocalDirectory(folder);
                Transfer(start, Native.DAP_GET_BYTES_SENT, progress, resume);
                return;
            }
            // The library reads the file under the remote name: give it one in a scratch folder.
            string scratch = ScratchNear(Path.GetTempPath());
            try
            {
                string staged = Path.Combine(scratch, below);
                Directory.CreateDirectory(Path.GetDirectoryName(staged));
                File.Copy(source, staged);
                SetLocalDirectory(scratch);
                Transfer(start, Native.DAP_GET_BYTES_SENT, progress, resume);
            }
            finally
            {
                RemoveScratch(scratch);
            }
        }

        private int Channel()
        {
            if (channel < 0)
                throw new InvalidOperationException("the session is not connected");
            return channel;
        }

        private int Check(int result)
        {
            if (result < 0)
                throw ErrorFor(channel, result);
            return result;
        }

        private static Dap32Exception ErrorFor(int chan, int code)
        {
            string text = Native.TextOf(code);
            if (chan >= 0)
            {
                byte[] buffer = new byte[4096];
                if (Native.dapErrorText(chan, code, buffer, buffer.Length) > 0)
                    text = Text(buffer, Encoding.GetEncoding("iso-8859-1")).Trim();
            }
            if (text.Length == 0)
                text = "dap32 error " + code;
            switch (Native.KindOf(code))
            {
                case ErrorKind.Connect:
                    return new Dap32ConnectException(code, text);
                case ErrorKind.Timeout:
                    return new Dap32TimeoutException(code, text);
                case ErrorKind.Server:
                    if (chan < 0)
                        return new Dap32ServerException(code, text, "", 0);
                    // Only the refusals carry the reply in their own text; -18's always does.
                    int refused = Native.DAP_ERR_SERVER_REFUSED;
                    byte[] replyText = new byte[4096];
                    Native.dapErrorText(chan, refused, replyText, replyText.Length);
                    string line = Text(replyText, Encoding.GetEncoding("iso-8859-1"));
                    string reply = line.Substring(
                        Math.Min(line.Length, Native.TextOf(refused).Length)).Trim();
                    if (!Native.CarriesReply(code) && reply.Length > 0)
                        text += " " + reply;
                    int replyCode = Native.dapGetInteger(chan, Native.DAP_GET_SERVER_CODE);
                    return new Dap32ServerException(code, text, reply, replyCode);
                default:
                    return new Dap32Exception(code, text);
            }
        }

        private static string Name(string text, string what, int limit = Native.NameLimit)
        {
            if (text == null)
                throw new ArgumentNullException(what);
            foreach (char c in text)
            {
                if (c < ' ' || c > '~')
                    throw new ArgumentException(
                        what + " '" + text + "' holds a character outside printable ASCII");
            }
            if (text.Length > limit)
                throw new ArgumentException(
                    what + " '" + text + "' is longer than " + limit + " characters");
            return text;
        }

        // The bytes the library is given for a file or directory name, and a NUL: UTF-8, or
        // printable ASCII without Utf8.
        private byte[] Bytes(string text, string what, int limit = Native.NameLimit)
        {
            if (text == null)
                throw new ArgumentNullException(what);
            foreach (char c in text)
            {
                if (c < ' ' || c == '\x7F' || (c > '~' && !Utf8))
                    throw new ArgumentException(
                        what + " '" + text + "' holds a character the library would cut");
            }
            byte[] bytes;
            try
            {
                bytes = StrictUtf8.GetBytes(text);
            }
            catch (EncoderFallbackException)
            {
                throw new ArgumentException(what + " '" + text + "' is not UTF-8");
            }
            if (bytes.Length > limit)
                throw new ArgumentException(
                    what + " '" + text + "' is longer than " + limit + " bytes");
            Array.Resize(ref bytes, bytes.Length + 1);
            return bytes;
        }

        private bool UsableDirectory(string path)
        {
            try
            {
                Bytes(path, "local directory", Native.LocalDirLimit);
                return true;
            }
            catch (ArgumentException)
            {
                return false;
            }
        }

        // A new folder inside folder, so that a download can be moved into place; in the system's
        // temporary folder when folder's path does not suit the library.
        private string ScratchNear(string folder)
        {
            string name = ".dap32-" + Guid.NewGuid().ToString("N").Substring(0, 12);
            string scratch = Path.Combine(folder, name);
            if (!UsableDirectory(scratch))
                scratch = Path.Combine(Path.GetTempPath(), name);
            Directory.CreateDirectory(scratch);
            return scratch;
        }

        private void SetLocalDirectory(string folder)
        {
            Check(Native.dapSetLocalDir(Channel(),
                                        Bytes(folder, "local directory", Native.LocalDirLimit)));
        }

        // "yyyyMMddHHmmss", perhaps with a fraction of a second, in UTC.
        private static DateTime Timestamp(string text)
        {
            string whole = text.Split('.')[0];
            DateTime moment = DateTime.ParseExact(whole, "yyyyMMddHHmmss",
                                                  CultureInfo.InvariantCulture,
                                                  DateTimeStyles.AdjustToUniversal |
                                                      DateTimeStyles.AssumeUniversal);
            double fraction;
            if (text.Length > whole.Length &&
                double.TryParse("0" + text.Substring(whole.Length), NumberStyles.Float,
                                CultureInfo.InvariantCulture, out fraction))
                moment = moment.AddTicks((long)(fraction * TimeSpan.TicksPerSecond));
            return moment;
        }

        // "type=file;size=10;modify=20240102030405;perm=r;unique=8g; name"; null for the
        // directory itself (cdir) and its parent (pdir).
        private static FtpListItem MachineItem(string line, string path)
        {
            int blank = line.IndexOf(' ');
            var facts = new Dictionary<string, string>();
            foreach (string fact in line.Substring(0, Math.Max(blank, 0)).Split(';'))
            {
                int equals = fact.IndexOf('=');
                if (equals > 0)
                    facts[fact.Substring(0, equals).ToLowerInvariant()] =
                        fact.Substring(equals + 1);
            }
            string type, value;
            facts.TryGetValue("type", out type);
            type = (type ?? "").ToLowerInvariant();
            if (type == "cdir" || type == "pdir")
                return null;
            var item = new FtpListItem { Name = line.Substring(blank + 1), Facts = facts };
            item.FullName = string.IsNullOrEmpty(path) ? item.Name
                                                       : path.TrimEnd('/') + "/" + item.Name;
            item.Type = type == "file"  ? FtpObjectType.File
                        : type == "dir" ? FtpObjectType.Directory
                        : type.StartsWith("os.unix=slink") ? FtpObjectType.Link
                                                           : FtpObjectType.Other;
            long size = -1;
            if (facts.TryGetValue("size", out value) &&
                !long.TryParse(value, NumberStyles.None, CultureInfo.InvariantCulture, out size))
                size = -1;
            item.Size = size;
            item.Modified =
                facts.TryGetValue("modify", out value) ? Timestamp(value) : DateTime.MinValue;
            facts.TryGetValue("perm", out value);
            item.Permissions = value;
            facts.TryGetValue("unique", out value);
            item.Unique = value;
            return item;
        }

        // Where the library puts the file remote (a name with '/' between folders) below its
        // local folder. A name from the server (a mirror over a listing) must not choose a file
        // outside it, so a ".." segment, a leading '/' or '\\', a drive letter, or on Windows any
        // '\\' is refused.
        private static string LocalPathOf(string remote)
        {
            char separator = Path.DirectorySeparatorChar;
            string[] parts = remote.Split('/');
            bool escapes = remote.StartsWith("/") || remote.StartsWith("\\") ||
                           Array.IndexOf(parts, "..") >= 0 ||
                           (separator == '\\' && remote.IndexOf('\\') >= 0);
            foreach (string part in parts)
            {
                if (part.Length >= 2 && part[1] == ':' && char.IsLetter(part[0]))
                    escapes = true;
            }
            if (escapes)
                throw new ArgumentException(
                    "name '" + remote + "' would lead out of the local folder", "remote");
            return string.Join(separator.ToString(), parts);
        }

        // Puts the finished download in place of target in one step, as rename does, so that
        // target is always either the old file or the new one.
        private static void ReplaceFile(string received, string scratch, string target)
        {
            string folder = Path.GetDirectoryName(target);
            string staged = received;
            // A scratch folder in the system's temporary folder may be on another volume, which
            // a replace cannot cross: copy beside target first.
            if (Path.GetDirectoryName(scratch) != folder)
            {
                staged = Path.Combine(folder, ".dap32-" + Guid.NewGuid().ToString("N"));
                File.Copy(received, staged);
            }
            try
            {
                if (File.Exists(target))
                    File.Replace(staged, target, null);
                else
                    File.Move(staged, target);
            }
            finally
            {
                if (staged != received)
                    Quietly(delegate { File.Delete(staged); });
            }
        }

        private static void RemoveScratch(string scratch)
        {
            Quietly(delegate { Directory.Delete(scratch, true); });
        }

        // Clean-up that fails leaves a file behind rather than hiding how the transfer ended.
        private static void Quietly(Action cleanUp)
        {
            try
            {
                cleanUp();
            }
            catch (IOException)
            {
            }
            catch (UnauthorizedAccessException)
            {
            }
        }

        private static string Text(byte[] buffer, Encoding encoding)
        {
            int end = Array.IndexOf(buffer, (byte)0);
            return encoding.GetString(buffer, 0, end < 0 ? buffer.Length : end);
        }

        private string[] List(int type, int typeWithPath, string path)
        {
            int chan = Channel();
            byte[] argument = new byte[0];
            if (path != null)
            {
                type = typeWithPath;
                argument = Bytes(path, "path");
            }
            for (int size = FirstListingSize; ; size *= 4)
            {
                byte[] buffer = new byte[size];
                Array.Copy(argument, buffer, argument.Length);
                int length = Check(Native.dapGetList(chan, type, buffer, size));
                // A piece that did not fit was dropped; only this much room proves none was.
                if (size - length > Native.ListingPiece)
                {
                    string text = Encoding.UTF8.GetString(buffer, 0, length);
                    return text.Split(new[] { "\r\n" }, StringSplitOptions.RemoveEmptyEntries);
                }
                if (size >= LastListingSize)
                {
                    string limit = "the listing is longer than " + LastListingSize + " bytes";
                    throw new Dap32Exception(Native.DAP_ERR_CANNOT_COMPLY, limit);
                }
            }
        }

        // Runs a transfer; with progress, drives it here with AUTO_CALL off and reports the bytes
        // moved after every step.
        private void Transfer(Func<int> start, int counter, IProgress<long> progress, bool resume)
        {
            int chan = Channel();
            Native.dapSetInteger(chan, Native.DAP_SET_RESUME, resume ? 1 : 0);
            if (progress == null)
            {
                Check(start());
                return;
            }
            Native.dapSetInteger(chan, Native.DAP_SET_AUTO_CALL, 0);
            bool ended = false;
            try
            {
                Check(start());
                long reported = -1;
                int result;
                do
                {
                    result = Native.dapDriver(chan);
                    ended = result <= 0;
                    long moved = Native.dapGetInteger(chan, (uint)counter);
                    if (moved != reported)
                    {
                        reported = moved;
                        progress.Report(moved);
                    }
                } while (!ended);
                Check(result);
            }
            finally
            {
                // A progress handler that threw leaves no transfer half-open.
                if (!ended)
                    Native.dapAbort(chan);
                Native.dapSetInteger(chan, Native.DAP_SET_AUTO_CALL, 1);
            }
        }

        private static int AcquireChannel(FtpPace pace)
        {
            lock (PoolLock)
            {
                if (openSessions == 0)
                {
                    int attached = Native.dapAttach(Native.MaxChannels, 0);
                    if (attached < 0)
                        throw ErrorFor(-1, attached);
                    FreeChannels.Clear();
                    for (int chan = Native.MaxChannels - 1; chan >= 0; chan--)
                        FreeChannels.Push(chan);
                    // The settings outlast dapRelease: the original pace must be set again too.
                    for (int i = 0; i < PaceCodes.Length; i++)
                    {
                        int value = pace == FtpPace.Fast ? FastValues[i]
                                                         : Native.DefaultOf(PaceCodes[i]);
                        Native.dapSetInteger(0, (uint)PaceCodes[i], value);
                    }
                    libraryPace = pace;
                }
                else if (pace != libraryPace)
                {
                    throw new InvalidOperationException(
                        "pace " + pace + " asked while open sessions keep the " + libraryPace +
                        " pace; it applies to the whole library");
                }
                if (FreeChannels.Count == 0)
                    throw new Dap32Exception(Native.DAP_ERR_CHANNEL_RANGE,
                                             "all " + Native.MaxChannels + " channels are in use");
                openSessions++;
                return FreeChannels.Pop();
            }
        }

        private static void ReleaseChannel(int chan)
        {
            lock (PoolLock)
            {
                FreeChannels.Push(chan);
                if (--openSessions == 0)
                    Native.dapRelease();
            }
        }
    }
}
