// The .NET binding against pyftpdlib, run by run_binding_test.py; ends with "N passed, M failed".
using System;
using System.Collections.Generic;
using System.IO;
using System.Linq;
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

    static FtpSession Connect(int port)
    {
        var ftp = new FtpSession();
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

    static int Main()
    {
        int port = int.Parse(Environment.GetEnvironmentVariable("DAP32_TEST_PORT"));
        string work = Environment.GetEnvironmentVariable("DAP32_TEST_WORK");
        string original = Path.Combine(work, "original.bin"), copy = Path.Combine(work, "copy.bin");
        var data = new byte[300000];
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
                  lines[0].Contains(" 300000 "), "LIST shows up.bin with its size");
            ftp.DeleteFile("up.bin");
            ftp.ChangeDirectory("..");
            ftp.DeleteDirectory("net");
            Check(!ftp.GetNameListing().Contains("net"), "the directory is gone");
        }

        var refused = Expect<Dap32ConnectException>(
            () => Connect(int.Parse(Environment.GetEnvironmentVariable("DAP32_TEST_CLOSED_PORT"))));
        Check(refused != null && refused.Code == -10061 &&
              refused.Message == "Connection refused by remote host.",
              "a refused connection is a Dap32ConnectException");
        var text = new byte[64];
        Check(Native.dapExtract("a b\r\nc  d\r\n", 1, 2, text, 63) == 1 && text[0] == 'd' &&
              text[1] == 0, "dapExtract picks field 2 of line 1");

        Console.WriteLine(passed + " passed, " + failed + " failed");
        return failed == 0 ? 0 : 1;
    }
}
