// ListAndGet: lists a server directory and downloads one file from it, printing the bytes
// moved as they come.
//
//   ListAndGet HOST PORT USER PASSWORD REMOTE_DIR FILE LOCAL_DIR
using System;
using System.IO;
using Dap32;

static class ListAndGet
{
    // Reports on the transfer's own thread; Progress<T> would post to the thread pool.
    sealed class Printer : IProgress<long>
    {
        readonly string name;
        public Printer(string name) { this.name = name; }
        public void Report(long bytes) { Console.Error.Write("\r{0}: {1} bytes", name, bytes); }
    }

    static int Main(string[] args)
    {
        if (args.Length != 7)
        {
            Console.Error.WriteLine(
                "usage: ListAndGet HOST PORT USER PASSWORD REMOTE_DIR FILE LOCAL_DIR");
            return 2;
        }
        string file = args[5];
        string local = Path.Combine(args[6], file);
        try
        {
            using (var ftp = new FtpSession())
            {
                ftp.Connect(args[0], args[2], args[3], int.Parse(args[1]));
                ftp.ChangeDirectory(args[4]);
                foreach (string line in ftp.GetListing()) Console.WriteLine(line);
                ftp.DownloadFile(file, local, new Printer(file));
            }
        }
        catch (Dap32Exception error)
        {
            Console.Error.WriteLine("ListAndGet: {0} ({1})", error.Message, error.Code);
            return 1;
        }
        Console.Error.WriteLine();
        Console.WriteLine("{0}: {1} bytes received", file, new FileInfo(local).Length);
        return 0;
    }
}
