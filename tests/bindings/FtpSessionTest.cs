// The .NET binding against pyftpdlib, run by run_binding_test.py; ends with "N passed, M failed".
using System;
using System.Collections.Generic;
using System.IO;
using System.Linq;
using System.Runtime.CompilerServices;
using Dap32;

class RecordedProgress : IProgress<long>
{
    public readonly List<long> Reports = new List<long>();
    public void Report(long value) { Reports.Add(value); }
}

static class FtpSessionTest
{
    static int passed, failed;

    static void Check(bool condition, string what)
    {
        Console.WriteLine((condition ? "ok " : "FAIL ") + what);
        if (condition) passed++; else failed++;
    }

    static T Expect<T>(Action action) where T : Exception
    {
        try { action(); }
        catch (T error) { return error; }
        catch (Exception other) { Console.WriteLine("unexpected " + other); }
        return null;
    }

    static FtpSession Connect(int port, FtpPace pace = FtpPace.Fast)
    {
        return Connect(port, new FtpSession { Pace = pace });
    }

    static FtpSession Connect(int port, FtpSession ftp)
    {
        try
        {
            ftp.Connect("127.0.0.1", Environment.GetEnvironmentVariable("DAP32_TEST_USER"),
                        Environment.GetEnvironmentVariable("DAP32_TEST_PASSWORD"), port);
            return ftp;
        }
        catch
        {
            ftp.Dispose();
            throw;
        }
    }

    // Not inlined, so that no live frame keeps the session.
    [MethodImpl(MethodImplOptions.NoInlining)]
    static void ConnectAndDrop(int port)
    {
        Connect(port);
    }

    static int Main()
    {
        int port = int.Parse(Environment.GetEnvironmentVariable("DAP32_TEST_PORT"));
        string work = Environment.GetEnvironmentVariable("DAP32_TEST_WORK");
        string original = Path.Combine(work, "original.bin"), copy = Path.Combine(work, "copy.bin");
        var data = new byte[9 << 20];  // more than two fast steps of 4 MiB
        new Random(12).NextBytes(data);
        File.WriteAllBytes(original, data);
        File.WriteAllText(copy, "kept");

        using (FtpSession ftp = Connect(port))
        {
            ftp.CreateDirectory("net");
            ftp.ChangeDirectory("net");
            Check(ftp.GetWorkingDirectory() == "/net", "the working directory is /net");
            var sent = new RecordedProgress();
            ftp.UploadFile(original, "up.bin", sent);
            Check(sent.Reports.Count > 2 && sent.Reports.Last() == data.Length,
                  "upload progress ends at " + data.Length);
            var missing = Expect<Dap32ServerException>(() => ftp.DownloadFile("missing.bin", copy));
            Check(missing != null && missing.Code == -18 && missing.ReplyCode == 550 &&
                  missing.Reply.StartsWith("550 "), "a refused RETR is a Dap32ServerException");
            Check(File.ReadAllText(copy) == "kept", "a failed download leaves the local file");
            ftp.DownloadFile("up.bin", copy);
            Check(File.ReadAllBytes(copy).SequenceEqual(data), "the download equals the upload");
            Check(ftp.GetNameListing().SequenceEqual(new[] { "up.bin" }), "NLST lists up.bin");
            string[] lines = ftp.GetListing();
            Check(lines.Length == 1 && lines[0].EndsWith(" up.bin") &&
                  lines[0].Contains(" " + data.Length + " "), "LIST shows up.bin with its size");
            ftp.DeleteFile("up.bin");
            ftp.ChangeDirectory("..");
            ftp.DeleteDirectory("net");
            Check(!ftp.GetNameListing().Contains("net"), "the directory is gone");
        }

        // The caller's commands, MLSD, transfers resumed both ways and a UTF-8 name.
        byte[] whole = data.Take(200000).ToArray();
        string wholePath = Path.Combine(work, "whole.bin"), half = Path.Combine(work, "half.bin");
        string resumed = Path.Combine(work, "resumed.bin"), named = Path.Combine(work, "named.bin");
        string utf8Name = "caf\u00e9 \u00fc \u65e5\u672c.bin";
        File.WriteAllBytes(wholePath, whole);
        File.WriteAllBytes(half, whole.Take(70000).ToArray());
        File.Copy(half, resumed);
        using (FtpSession ftp = Connect(port))
        {
            ftp.UploadFile(half, "r.bin");
            RecordedProgress up = new RecordedProgress(), down = new RecordedProgress();
            ftp.UploadFile(wholePath, "r.bin", up, FtpRemoteExists.Resume);
            ftp.DownloadFile("r.bin", resumed, down, FtpLocalExists.Resume);
            Check(ftp.GetFileSize("r.bin") == whole.Length && up.Reports.Last() == 130000 &&
                  down.Reports.Last() == 130000 && File.ReadAllBytes(resumed).SequenceEqual(whole),
                  "an upload and a download resumed after 70000 bytes");
            ftp.Rename("r.bin", utf8Name);
            ftp.Chmod(utf8Name, 640);
            FtpListItem file = ftp.GetListing(null, FtpListOption.Machine).Single();
            Check(file.Name == utf8Name && file.Type == FtpObjectType.File &&
                  file.Size == whole.Length && file.Modified == ftp.GetModifiedTime(utf8Name) &&
                  Math.Abs((DateTime.UtcNow - file.Modified).TotalHours) < 1 &&
                  file.Permissions != null && file.Unique != null, "MLSD's item and MDTM");
            var missing = Expect<Dap32ServerException>(() => ftp.Execute("SIZE missing.bin"));
            Check(ftp.Execute("NOOP").StartsWith("200") && missing.ReplyCode == 550 &&
                  ftp.GetFileSize("missing.bin") == -1, "Execute returns a reply or throws");
            ftp.DownloadFile(utf8Name, named);
            Check(File.ReadAllBytes(named).SequenceEqual(whole), "a UTF-8 name downloads");
            ftp.DeleteFile(utf8Name);
        }

        string names = Path.Combine(work, "names"), sibling = Path.Combine(names, "notes.txt");
        Directory.CreateDirectory(names);
        File.WriteAllText(sibling, "mine");
        using (FtpSession ftp = Connect(port))
        {
            foreach (string name in
                     new[] { "../notes.txt", "/notes.txt", "\\notes.txt", "C:notes.txt" })
            {
                string target = Path.Combine(names, "copy.txt");
                Check(Expect<ArgumentException>(() => ftp.DownloadFile(name, target)) != null &&
                      Expect<ArgumentException>(() => ftp.UploadFile(sibling, name)) != null,
                      "the name " + name + " is refused");
            }
        }
        Check(File.ReadAllText(sibling) == "mine" && Directory.GetFiles(names).Length == 1 &&
              Directory.GetDirectories(names).Length == 0, "a refused name touches no file");

        var largest = new Dictionary<FtpPace, long>();
        File.WriteAllBytes(original, new byte[1 << 20]);
        foreach (FtpPace pace in new[] { FtpPace.Original, FtpPace.Fast })
        {
            using (FtpSession ftp = Connect(port, pace))
            {
                if (pace == FtpPace.Original)
                    Check(Expect<InvalidOperationException>(() => Connect(port).Dispose()) != null,
                          "a session cannot ask for another pace than the open ones keep");
                var steps = new RecordedProgress();
                ftp.UploadFile(original, "pace.bin", steps);
                ftp.DeleteFile("pace.bin");
                var reports = new[] { 0L }.Concat(steps.Reports).ToList();
                largest[pace] = reports.Zip(reports.Skip(1), (a, b) => b - a).Max();
            }
        }
        // One step of the original pace sends uploadBlockSize (1024 bytes); one of the fast pace
        // what the socket takes, up to 4 MiB: a fresh connection takes 16 KiB at least.
        Check(largest[FtpPace.Original] <= 1024 && largest[FtpPace.Fast] > 8192,
              "largest upload steps: original " + largest[FtpPace.Original] + ", fast " +
              largest[FtpPace.Fast]);

        int descriptors = Directory.GetFileSystemEntries("/proc/self/fd").Length;
        for (int i = 0; i < 40; i++)  // more than the 32 channels
        {
            ConnectAndDrop(port);
            GC.Collect();
            GC.WaitForPendingFinalizers();
        }
        // Mono scans the stack conservatively: a stale copy of the last session's reference can
        // keep it for one more collection.
        GC.Collect();
        GC.WaitForPendingFinalizers();
        Check(Directory.GetFileSystemEntries("/proc/self/fd").Length == descriptors,
              "40 dropped sessions leave no descriptor open");
        using (FtpSession ftp = Connect(port))
            Check(ftp.GetWorkingDirectory() == "/", "a session connects after 40 dropped ones");
        Check(Native.KindOf(-31) == ErrorKind.Server && Native.KindOf(-1) == ErrorKind.Connect &&
              Native.KindOf(-10054) == ErrorKind.Connect,
              "-31 is a server error, -1 and -10054 lost connections");

        var refused = Expect<Dap32ConnectException>(
            () => Connect(int.Parse(Environment.GetEnvironmentVariable("DAP32_TEST_CLOSED_PORT"))));
        Check(refused != null && refused.Code == -10061 &&
              refused.Message == "Connection refused by remote host.",
              "a refused connection is a Dap32ConnectException");
        var text = new byte[64];
        Check(Native.dapExtract("a b\r\nc  d\r\n", 1, 2, text, 63) == 1 && text[0] == 'd' &&
              text[1] == 0, "dapExtract picks field 2 of line 1");

        // EPSV is the sessions' default (every session above used it); a proxy must be readable.
        using (var ftp = new FtpSession { Proxy = "ftp://nowhere:21" })
            Check(Expect<ArgumentException>(() => ftp.Connect("127.0.0.1", "u", "p", port)) != null,
                  "a proxy that cannot be read throws ArgumentException");
        using (var ftp = new FtpSession { IpVersion = FtpIpVersion.Any })
        {
            ftp.Connect("localhost", Environment.GetEnvironmentVariable("DAP32_TEST_USER"),
                        Environment.GetEnvironmentVariable("DAP32_TEST_PASSWORD"), port);
            Check(ftp.GetWorkingDirectory() == "/", "IpVersion Any connects to localhost");
        }

        // TLS. An open session keeps the library attached: each of the others gets channel 1
        // back as the one before left it, so no setting may linger.
        int tlsPort = int.Parse(Environment.GetEnvironmentVariable("DAP32_TEST_TLS_PORT"));
        string cert = Environment.GetEnvironmentVariable("DAP32_TEST_TLS_CERT");
        string fingerprint = Environment.GetEnvironmentVariable("DAP32_TEST_TLS_FINGERPRINT");
        const FtpEncryptionMode Explicit = FtpEncryptionMode.Explicit;
        using (Connect(port))
        {
            using (var ftp = Connect(tlsPort, new FtpSession { EncryptionMode = Explicit,
                                                               CaFile = cert }))
            {
                ftp.UploadFile(wholePath, "tls.bin");
                ftp.DownloadFile("tls.bin", copy);
                Check(File.ReadAllBytes(copy).SequenceEqual(whole) &&
                      ftp.TlsSession.StartsWith("TLSv1.") &&
                      Native.dapGetInteger(1, Native.DAP_GET_TLS_DATA_RESUMED) == 1,
                      "TLS with the CA file: " + ftp.TlsSession + ", the data session resumed");
            }
            using (var ftp = Connect(tlsPort, new FtpSession { EncryptionMode = Explicit,
                                                               CertificatePin = fingerprint }))
                Check(ftp.GetNameListing().SequenceEqual(new[] { "tls.bin" }), "TLS pinned");
            var rejected = new FtpSession { EncryptionMode = Explicit };
            var untrusted = Expect<Dap32ConnectException>(() => Connect(tlsPort, rejected));
            Check(untrusted != null && untrusted.Code == -33 &&
                  rejected.PeerFingerprint == fingerprint, "an untrusted certificate: -33");
            using (var ftp = Connect(tlsPort, new FtpSession { EncryptionMode = Explicit,
                                                               CaFile = cert,
                                                               DataConnectionEncryption = false }))
                Check(Expect<Dap32ServerException>(() => ftp.GetNameListing()) != null,
                      "the server refuses a data connection in clear");
        }

        Console.WriteLine(passed + " passed, " + failed + " failed");
        return failed == 0 ? 0 : 1;
    }
}
