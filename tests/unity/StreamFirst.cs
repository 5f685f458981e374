// A game's first use of the binding is TreadmillStream.Start, with the native
// libraries in its own folder only (as Unity's Plugins/x86_64). Reads samples
// from the simulator whose serial number is given; "--missing" expects the
// stream library to be absent and prints the error.
using System;
using System.IO;
using System.Threading;
using Quorvellan;

static class StreamFirst
{
    static int Main(string[] args)
    {
        if (args[0] == "--missing")
        {
            try
            {
                TreadmillStream.Start().Dispose();
                Console.Error.WriteLine("the stream started without its library");
                return 1;
            }
            catch (DllNotFoundException error)
            {
                Console.WriteLine(error.Message);
                return 0;
            }
        }
        using (var stream = TreadmillStream.Start(local: true))
        {
            StreamSample sample;
            stream.Latest(out sample);
            double ageSeconds = (TreadmillStream.ClockNs() - sample.TimeNs) / 1e9;
            Console.WriteLine("first sample: {0}, age {1:F3} s", sample.State, ageSeconds);
            if (ageSeconds < 0 || ageSeconds > 10) return Fail("the first sample's age is " + ageSeconds + " s");

            int fresh = 0;
            ulong seen = 0;
            DateTime until = DateTime.UtcNow.AddSeconds(20);
            while (fresh < 5 && DateTime.UtcNow < until)
            {
                stream.Latest(out sample);
                if (sample.Connected && sample.Sequence != seen && sample.SerialNumber.ToString() == args[0])
                {
                    ++fresh;
                    seen = sample.Sequence;
                }
                Thread.Sleep(10);
            }
            if (fresh < 5) return Fail("no samples from the simulator; last state " + sample.State);
            // One core in the process, the game's own: another found elsewhere
            // (the build tree's, through the stream's run path) would be a second
            // library with a session of its own.
            string game = AppDomain.CurrentDomain.BaseDirectory;
            foreach (string line in File.ReadAllLines("/proc/self/maps"))
            {
                if (line.Contains("libQuorvellanAPI") && !line.Contains(game)) return Fail("a core from elsewhere: " + line);
            }
            Console.WriteLine("read {0} samples of {1}", fresh, sample.SerialNumber);
            return 0;
        }
    }

    static int Fail(string why)
    {
        Console.Error.WriteLine(why);
        return 1;
    }
}
