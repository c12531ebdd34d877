// Dravik.Net.dll against meter-sim, under mono: the frames of dravik-cli set under de-DE, the
// typed record, refusals that send nothing, a silent meter, Cancel and Dispose from another
// thread. usage: mono dravik-net-test.exe BIN_DIR WORK_DIR (run-dotnet-test.sh), with
// DRAVIK_EXTRA_PORTS naming the one port discovery may find.
using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.Globalization;
using System.Threading;
using System.Threading.Tasks;
using Dravik;

internal static class MeterTest
{
    private static int passed, failed;

    private static void Check(bool ok, string what)
    {
        if (ok)
        {
            ++passed;
            return;
        }
        ++failed;
        Console.WriteLine("FAIL  " + what);
    }

    private static Exception Caught(Action call)
    {
        try
        {
            call();
            return null;
        }
        catch (Exception error)
        {
            return error;
        }
    }

    private static void Throws<T>(Action call, string what)
        where T : Exception
    {
        Exception error = Caught(call);
        Check(error != null && error.GetType() == typeof(T) && error.Message.Length > 0,
              what + ": " + (error == null ? "nothing thrown" : error.ToString()));
    }

    // meter-sim as a child, the lines it logs collected as they come.
    private sealed class Sim : IDisposable
    {
        private readonly Process process;
        private readonly List<string> lines = new List<string>();

        public Sim(string bin, string link, string options)
        {
            var start = new ProcessStartInfo(bin + "/meter-sim", "--link " + link + " " + options) {
                UseShellExecute = false, RedirectStandardOutput = true
            };
            process = Process.Start(start);
            process.OutputDataReceived += (sender, line) =>
            {
                lock (lines)
                {
                    if (line.Data != null) lines.Add(line.Data);
                    Monitor.PulseAll(lines);
                }
            };
            process.BeginOutputReadLine();
            Check(WaitFor("PORT ", 1), "meter-sim announces its device");
        }

        public List<string> Lines(string prefix)
        {
            lock (lines) return lines.FindAll(
                line => line.StartsWith(prefix, StringComparison.Ordinal));
        }

        public bool WaitFor(string prefix, int count)
        {
            DateTime limit = DateTime.UtcNow.AddSeconds(10);
            lock (lines)
            {
                while (Lines(prefix).Count < count)
                {
                    TimeSpan left = limit - DateTime.UtcNow;
                    if (left <= TimeSpan.Zero) return false;
                    Monitor.Wait(lines, left);
                }
            }
            return true;
        }

        public void Dispose()
        {
            process.Kill();
            process.WaitForExit();
        }
    }

    private static string SimHex(byte[] bytes)
    {
        return BitConverter.ToString(bytes).Replace('-', ' ');
    }

    private static void FourChannels(string bin)
    {
        CultureInfo.DefaultThreadCurrentCulture = Thread.CurrentThread.CurrentCulture =
            new CultureInfo("de-DE");
        var levels = new Dictionary<string, double> {
            { "1310CW", 0.35 }, { "1310Burst", -1.5 }, { "1490CW", 0.5 }, { "1550CW", 2.25 }
        };
        string port = Environment.GetEnvironmentVariable("DRAVIK_EXTRA_PORTS");
        using (var sim = new Sim(bin, port, ""))
        {
            Check(string.Join(",", Station.Find(false)) == port, "Station.Find finds the meter");
            Check(Station.Ports()[0].Port == port, "Station.Ports lists its port");
            IList<Record> records;
            using (var meter = new Meter())
            {
                var refusals = new Dictionary<string, Action> {
                    { "level 2.5x", () => meter.Set("1310CW", "2.5x") },
                    { "level NaN", () => meter.Set("1310CW", double.NaN) },
                    { "level MaxValue", () => meter.Set("1310CW", double.MaxValue) },
                    { "channel 1625CW", () => meter.Set("1625CW", 1.0) },
                    { "tag key a b",
                      () => meter.Tags = new Dictionary<string, string> { { "a b", "1" } } },
                };
                foreach (KeyValuePair<string, Action> refusal in refusals)
                    Throws<InvalidArgumentException>(refusal.Value, refusal.Key);
                Throws<ArgumentNullException>(() => meter.Set(null, 1.0), "channel null");
                Check(sim.Lines("FRAME set ").Count == 0, "nothing refused was sent");
                meter.Tags =
                    new Dictionary<string, string> { { "meter", "SN4711" }, { "op", "李 \"q\"" } };
                records = meter.SetMany(levels);
            }
            var cli = Process.Start(new ProcessStartInfo(
                bin + "/dravik-cli",
                "set --port " + port + " 1310CW=0.35 1310Burst=-1.5 1490CW=0.5 1550CW=2.25") {
                UseShellExecute = false, RedirectStandardOutput = true
            });
            cli.StandardOutput.ReadToEnd();
            cli.WaitForExit();
            Check(cli.ExitCode == 0 && sim.WaitFor("FRAME set ", 8),
                  "dravik-cli set the same four");
            List<string> frames = sim.Lines("FRAME set ");
            for (int k = 0; k < 4 && frames.Count == 8; ++k)
            {
                string logged =
                    frames[k].Substring(frames[k].IndexOf("hex=", StringComparison.Ordinal) + 4);
                Check(frames[k] == frames[k + 4] && logged == SimHex(records[k].Frame),
                      "channel " + k + " byte for byte: " + frames[k] + " / " + frames[k + 4]);
            }
            Record r = records[0];
            Check(r.Port == port && r.Channel == 0 && r.Label == "1310CW" && r.Text == "0.35" &&
                      r.Db == 0.35 && Math.Abs(r.Factor - 1.0839269) < 1e-7 && r.Frame.Length == 40,
                  "the record's level: " + string.Join(",", r.Fields));
            Check(r.Answered && r.Sent && !r.Late && r.Reply.Length > 0 &&
                      r.Tags["op"] == "李 \"q\"" && r.Tags.Count == 2 &&
                      r.Time.Offset == TimeSpan.Zero &&
                      Math.Abs((DateTimeOffset.UtcNow - r.Time).TotalMinutes) < 1,
                  "the record's outcome: " + string.Join(",", r.Fields));
            Check(records[1].Text == "-1.5" && records[1].Db == -1.5,
                  "-1.5 under de-DE: " + records[1].Text);
        }
    }

    // A set on another thread, ended by `stop` once the meter has its frame.
    private static void Stopped(Sim sim, Meter meter, Action stop, string what)
    {
        var clock = Stopwatch.StartNew();
        int before = sim.Lines("FRAME set ").Count;
        Task<Exception> set = Task.Run(() => Caught(() => meter.Set("1490CW", 0.5)));
        Task<TimeSpan> ended = set.ContinueWith(done => clock.Elapsed);
        Check(sim.WaitFor("FRAME set ", before + 1), what + ": the frame reached the meter");
        TimeSpan at = clock.Elapsed;
        stop();
        Check(ended.Wait(10000), what + ": the set ended");
        double ms = (ended.Result - at).TotalMilliseconds;
        Console.WriteLine(
            what + " to the set's end: " + ms.ToString("F1", CultureInfo.InvariantCulture) + " ms");
        Exception caught = set.Result;
        var cancelled = caught as CancelledException;
        Check(cancelled != null && ms < 200, what + ": " + caught);
        Check(cancelled == null || cancelled.Record == null ||
                  cancelled.Record.Sent && !cancelled.Record.Answered,
              what + ": the record says sent, not answered");
    }

    private static void SilentMeter(string bin, string work)
    {
        using (var sim = new Sim(bin, work + "/silent", "--no-ack"))
        {
            string port = work + "/silent";
            using (var meter = new Meter(port))
            {
                Record r = meter.Set("1310CW", 1.0);
                Check(!r.Answered && r.Sent && !r.Late && r.Text == "1.0",
                      "a silent meter: sent, not answered: " + r.Text);
            }
            using (var meter = new Meter(port))
            {
                Stopped(sim, meter, meter.Cancel, "Cancel");
                Throws<CancelledException>(() => meter.Set("1550CW", 1.0), "a set after Cancel");
            }
            var disposed = new Meter(port);
            Stopped(sim, disposed, disposed.Dispose, "Dispose");
            Throws<ObjectDisposedException>(() => disposed.Set("1550CW", 1.0),
                                            "a set after Dispose");
            disposed.Cancel();
            Check(sim.Lines("FRAME set ").Count == 3, "nothing sent after a cancel");
        }
    }

    private static int Main(string[] args)
    {
        FourChannels(args[0]);
        SilentMeter(args[0], args[1]);
        Console.WriteLine(passed + " passed, " + failed + " failed");
        return failed == 0 ? 0 : 1;
    }
}
