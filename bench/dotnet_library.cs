// bench-library's child: four channels through Dravik.Net.dll, one run per line read on stdin
// (new Meter(port), four Set, Dispose), each answered on stdout with the run's time in ms or
// "failed" and why. Runs on demand, so that bench-library interleaves them with its own, and
// mono's start and the first run's JIT stay out of the figures.
using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.Globalization;
using Dravik;

internal static class DotNetLibraryBench
{
    private static int Main(string[] args)
    {
        var levels = new Dictionary<string, double> {
            { "1310CW", 0.35 }, { "1310Burst", -1.5 }, { "1490CW", 0.5 }, { "1550CW", 2.25 }
        };
        while (Console.ReadLine() != null)
        {
            Stopwatch clock = Stopwatch.StartNew();
            string outcome = null;
            try
            {
                using (var meter = new Meter(
                           args[0])) foreach (KeyValuePair<string, double> level in
                                                  levels) if (!meter.Set(level.Key, level.Value)
                                                                   .Answered) outcome =
                    "failed: " + level.Key + " not answered";
            }
            catch (DravikException error)
            {
                outcome = "failed: " + error.Message;
            }
            Console.WriteLine(outcome ?? clock.Elapsed.TotalMilliseconds.ToString(
                                             "F3", CultureInfo.InvariantCulture));
        }
        return 0;
    }
}
