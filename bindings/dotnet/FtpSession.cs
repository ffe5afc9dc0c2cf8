// FtpSession: an FTP session over dap32 for .NET, with exceptions instead of result codes.
// Builds with Mono's mcs and with the .NET SDK (netstandard2.0 and later).
using System;
using System.Collections.Generic;
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

    /// <summary>The addresses a host name resolves to (DAP_SET_ADDRESS_FAMILY).</summary>
    public enum FtpIpVersion { IPv4 = 0, Any = 1, IPv6 = 2 }

    /// <summary>One FTP session on a dap32 channel of its own. Names sent to the server
    /// must be printable ASCII of at most 128 characters; others raise ArgumentException,
    /// since the library would cut them. So do names for a transfer that would lead out of
    /// the local folder. A session collected without Dispose is closed by its
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
        /// <summary>EPSV and EPRT (the default), with PASV and PORT for a server that refuses
        /// them.</summary>
        public bool ExtendedPassive = true;
        /// <summary>IPv4 (the default; IPv6 literals are taken too), Any or IPv6.</summary>
        public FtpIpVersion IpVersion = FtpIpVersion.IPv4;
        /// <summary>"socks5://[user:password@]host:port" or "http://..."; null: direct. Active
        /// mode cannot go through a proxy.</summary>
        public string Proxy;

        public bool IsConnected { get { return channel >= 0; } }

        public void Connect(string host, string user, string password, int port = 21)
        {
            string server = Name(host, "host"), login = Name(user, "user");
            string secret = Name(password, "password");
            if (channel < 0)
                channel = AcquireChannel(Pace);
            if (LogFile != null &&
                Native.dapSetString(channel, Native.DAP_STR_LOG_OPEN, LogFile) <= 0)
                throw new IOException("cannot create the log file " + LogFile);
            Native.dapSetInteger(channel, Native.DAP_SET_SERVER_PORT, port);
            Native.dapSetInteger(channel, Native.DAP_SET_PASSIVE, Passive ? 1 : 0);
            Native.dapSetInteger(channel, Native.DAP_SET_EXTENDED, ExtendedPassive ? 1 : 0);
            Native.dapSetInteger(channel, Native.DAP_SET_ADDRESS_FAMILY, (int)IpVersion);
            if (Native.dapSetString(channel, Native.DAP_STR_PROXY, Proxy ?? "") < 0)
                throw new ArgumentException("the proxy cannot be read: " + Proxy);
            Check(Native.dapConnect(channel, server, login, secret));
            if (Binary)
                Check(Native.dapSetMode(channel, 'B'));
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
            Check(Native.dapSetServerDir(Channel(), Name(path, "directory")));
        }

        public string GetWorkingDirectory()
        {
            byte[] buffer = new byte[Native.NameLimit + 1];
            Check(Native.dapGetServerDir(Channel(), buffer, Native.NameLimit));
            return Text(buffer, Encoding.ASCII);
        }

        public void CreateDirectory(string name)
        {
            Check(Native.dapMakeServerDir(Channel(), Name(name, "directory")));
        }

        public void DeleteDirectory(string name)
        {
            Check(Native.dapDelServerDir(Channel(), Name(name, "directory")));
        }

        public void DeleteFile(string name)
        {
            Check(Native.dapDelFile(Channel(), Name(name, "name")));
        }

        /// <summary>The names NLST gives for the current directory, or for path.</summary>
        public string[] GetNameListing(string path = null)
        {
            return List(false, path);
        }

        /// <summary>The lines LIST gives for the current directory, or for path.</summary>
        public string[] GetListing(string path = null)
        {
            return List(true, path);
        }

        /// <summary>Downloads remote to localPath; a failure leaves localPath as it was.
        /// progress receives the bytes received so far.</summary>
        public void DownloadFile(string remote, string localPath, IProgress<long> progress = null)
        {
            string name = Name(remote, "name");
            string below = LocalPathOf(remote);
            string target = Path.GetFullPath(localPath);
            string scratch = ScratchNear(Path.GetDirectoryName(target));
            try
            {
                // The library names the local file as the remote one, below its local directory.
                string received = Path.Combine(scratch, below);
                Directory.CreateDirectory(Path.GetDirectoryName(received));
                SetLocalDirectory(scratch);
                Transfer(delegate { return Native.dapGetFile(channel, name); },
                         Native.DAP_GET_BYTES_RECEIVED, progress);
                ReplaceFile(received, scratch, target);
            }
            finally
            {
                RemoveScratch(scratch);
            }
        }

        /// <summary>Uploads localPath as remote (by default its own name). progress receives
        /// the bytes sent so far.</summary>
        public void UploadFile(string localPath, string remote = null,
                               IProgress<long> progress = null)
        {
            string source = Path.GetFullPath(localPath);
            if (!File.Exists(source))
                throw new FileNotFoundException("no such file", source);
            if (remote == null)
                remote = Path.GetFileName(source);
            string name = Name(remote, "name");
            string below = LocalPathOf(remote);
            Func<int> start = delegate { return Native.dapPutFile(channel, name); };
            string folder = Path.GetDirectoryName(source);
            if (remote == Path.GetFileName(source) && UsableDirectory(folder))
            {
                SetLocalDirectory(folder);
                Transfer(start, Native.DAP_GET_BYTES_SENT, progress);
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
                Transfer(start, Native.DAP_GET_BYTES_SENT, progress);
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

        private static bool UsableDirectory(string path)
        {
            try
            {
                Name(path, "local directory", Native.LocalDirLimit);
                return true;
            }
            catch (ArgumentException)
            {
                return false;
            }
        }

        // A new folder inside folder, so that a download can be moved into place; in the system's
        // temporary folder when folder's path does not suit the library.
        private static string ScratchNear(string folder)
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
            string directory = Name(folder, "local directory", Native.LocalDirLimit);
            Check(Native.dapSetLocalDir(Channel(), directory));
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

        private string[] List(bool full, string path)
        {
            int chan = Channel();
            int type = full ? Native.DAP_LIST_FULL : Native.DAP_LIST_NAMES;
            byte[] argument = new byte[0];
            if (path != null)
            {
                type = full ? Native.DAP_LIST_FULL_PATTERN : Native.DAP_LIST_NAMES_PATTERN;
                argument = Encoding.ASCII.GetBytes(Name(path, "path"));
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
        private void Transfer(Func<int> start, int counter, IProgress<long> progress)
        {
            int chan = Channel();
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
