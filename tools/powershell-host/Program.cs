using System;
using System.Diagnostics;
using System.IO;
using System.Threading;

namespace OrvelleTestHost
{
    // PowerShell's own console entry point, for tests under Wine. Without a display, a
    // console opened for this process by CREATE_NEW_CONSOLE cannot be used and PowerShell
    // would end at once with exit code 0 without running anything. So the first instance
    // starts itself again without a console window (CREATE_NO_WINDOW) and with redirected
    // output, copies that output to its own (where it can), waits and returns the second
    // instance's exit code; the second instance runs PowerShell.
    internal static class Program
    {
        private const string InnerMarker = "ORVELLE_TEST_HOST_INNER";

        private static int Main(string[] args)
        {
            if (Environment.GetEnvironmentVariable(InnerMarker) == "1")
            {
                // Programs the script starts (an elevated copy of itself) start afresh.
                Environment.SetEnvironmentVariable(InnerMarker, null);
                return Microsoft.PowerShell.UnmanagedPSEntry.Start(args, args.Length);
            }

            var start = new ProcessStartInfo(Environment.ProcessPath)
            {
                UseShellExecute = false,
                CreateNoWindow = true,
                RedirectStandardOutput = true,
                RedirectStandardError = true,
                WorkingDirectory = Environment.CurrentDirectory,
            };
            foreach (var argument in args)
            {
                start.ArgumentList.Add(argument);
            }
            start.Environment[InnerMarker] = "1";
            using (var inner = Process.Start(start))
            {
                var output = Forward(inner.StandardOutput.BaseStream, Console.OpenStandardOutput);
                var error = Forward(inner.StandardError.BaseStream, Console.OpenStandardError);
                inner.WaitForExit();
                output.Join();
                error.Join();
                return inner.ExitCode;
            }
        }

        // Copies a stream to the console until it ends; keeps draining it when the console
        // cannot be written, so that the inner process never blocks on a full pipe.
        private static Thread Forward(Stream source, Func<Stream> openTarget)
        {
            var thread = new Thread(() =>
            {
                Stream target = null;
                try
                {
                    target = openTarget();
                }
                catch (Exception)
                {
                    target = null;
                }
                var buffer = new byte[8192];
                int read;
                while ((read = source.Read(buffer, 0, buffer.Length)) > 0)
                {
                    if (target == null)
                    {
                        continue;
                    }
                    try
                    {
                        target.Write(buffer, 0, read);
                        target.Flush();
                    }
                    catch (Exception)
                    {
                        target = null;
                    }
                }
            });
            thread.IsBackground = true;
            thread.Start();
            return thread;
        }
    }
}
