// The stream and threads groups of the C# binding tests: TreadmillStream
// against the simulator (a controller killed and restarted, commands dropped
// while disconnected, reading a sample allocates nothing), and a Treadmill
// shared by several threads.
using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.Threading;

namespace Quorvellan.Tests
{
    static partial class Program
    {
        const string StreamSerial = "CS-STREAM-0011";

        static StreamSample WaitForSample(TreadmillStream stream, Func<StreamSample, bool> accept)
        {
            StreamSample sample = default(StreamSample);
            bool seen = Check.Eventually(() => { stream.Latest(out sample); return accept(sample); });
            Check.That(seen, "no such sample; last state " + sample.State + ", status " + sample.LastStatus);
            return sample;
        }

        static TreadmillStream FastStream() { return TreadmillStream.Start(true, 250.0, 20, 100); }

        static Dictionary<string, Action> StreamCases()
        {
            return new Dictionary<string, Action>
            {
                { "sample, commands, and no allocation per read", () =>
                    {
                        StartSimulator("--identity local --serial " + StreamSerial);
                        using (var stream = FastStream())
                        {
                            var sample = WaitForSample(stream, s => s.Connected && s.TimeNs != 0);
                            Check.Equal(StreamSerial, sample.SerialNumber.ToString(), "serial number");
                            Check.Equal(0.45, sample.Ring.W, "ring w");
                            Check.That(TreadmillStream.ClockNs() >= sample.TimeNs, "time from the stream's clock");
                            Check.That(stream.SetRunState(true), "run state queued while connected");
                            WaitForSample(stream, s => s.Running && s.RunningAndUnlocked);

                            StreamSample read;
                            stream.Latest(out read);  // the marshalling stubs are made on the first call
                            long before = GC.GetAllocatedBytesForCurrentThread();
                            for (int frame = 0; frame < 10000; ++frame)
                            {
                                stream.Latest(out read);
                                stream.SetUserPosition(0.0, 0.1);
                            }
                            long allocated = GC.GetAllocatedBytesForCurrentThread() - before;
                            var control = new byte[1024];
                            Check.That(GC.GetAllocatedBytesForCurrentThread() - before - allocated >= control.Length,
                                       "the allocation counter counts");
                            Check.Equal(0L, allocated, "bytes allocated by 10000 reads and commands");
                        }
                    }
                },
                { "controller killed and restarted", () =>
                    {
                        var first = StartSimulator("--identity local --serial " + StreamSerial);
                        using (var stream = FastStream())
                        {
                            WaitForSample(stream, s => s.Connected);
                            first.Dispose();  // killed
                            running.Remove(first);
                            var lost = WaitForSample(stream, s => s.State == StreamState.Lost);
                            Check.Equal(0.0, lost.FloorSpeedMagnitude, "speeds while lost");
                            Check.That(!stream.SetRunState(true), "run state dropped while lost");
                            StartSimulator("--identity local --serial " + StreamSerial);
                            var back = WaitForSample(stream, s => s.Connected && s.TimeNs > lost.TimeNs);
                            Check.That(back.Reconnects >= 1, "reconnect counted");
                            Check.Equal(1UL, back.DroppedCommands, "dropped commands");
                            Thread.Sleep(200);
                            stream.Latest(out back);
                            Check.That(!back.Running, "the dropped enable never started the belts");
                        }
                    }
                },
                { "recording started from C#, sample shown as text", () =>
                    {
                        StartSimulator("--identity local --serial " + StreamSerial);
                        string path = System.IO.Path.GetTempFileName();
                        try
                        {
                            using (var stream = TreadmillStream.StartRecording(path, true, 250.0, 20, 100))
                            {
                                var sample = WaitForSample(stream, s => s.Connected && s.Sequence > 20);
                                string text = sample.ToString();
                                Check.That(text.Contains("State=Connected") && text.Contains("SerialNumber='" + StreamSerial + "'")
                                           && text.Contains("Sequence=" + sample.Sequence), text);
                                var status = stream.Recording();
                                Check.That(status.Recording && status.LinesWritten > 0 && status.LastError == 0,
                                           "recording: " + status.LinesWritten + " lines, errno " + status.LastError);
                            }
                            string[] lines = System.IO.File.ReadAllLines(path);
                            Check.That(lines[0].Contains("\"format\":\"quorvellan-recording\""), lines[0]);
                            Check.That(lines[lines.Length - 1].Contains("\"state\":\"stopped\""), lines[lines.Length - 1]);
                        }
                        finally
                        {
                            System.IO.File.Delete(path);
                        }
                        using (var stream = TreadmillStream.StartRecording("/nonexistent-folder/x.jsonl", true, 250.0, 20, 100))
                        {
                            // The recorder's own thread opens the file: its error comes soon after Start.
                            var waited = System.Diagnostics.Stopwatch.StartNew();
                            while (stream.Recording().LastError == 0 && waited.ElapsedMilliseconds < 10000)
                                System.Threading.Thread.Sleep(10);
                            Check.Equal(2, stream.Recording().LastError, "errno of the failed open (ENOENT)");
                        }
                    }
                },
                { "second start fails, dispose is bounded", () =>
                    {
                        var stream = FastStream();
                        try
                        {
                            TreadmillStream.Start().Dispose();
                            throw new CheckFailed("a second Start succeeded");
                        }
                        catch (StreamException error)
                        {
                            Check.Equal(-1, error.Result, "result");
                        }
                        var clock = Stopwatch.StartNew();
                        stream.Dispose();
                        Check.That(clock.ElapsedMilliseconds < 1000, "Dispose took " + clock.ElapsedMilliseconds + " ms");
                        FastStream().Dispose();
                    }
                },
            };
        }

        static Dictionary<string, Action> ThreadCases()
        {
            return new Dictionary<string, Action>
            {
                { "four threads share one Treadmill", () =>
                    {
                        StartSimulator("--identity local --serial " + Serial);
                        using (var treadmill = Treadmill.Connect(true))
                        {
                            var errors = new List<Exception>();
                            int goodSerials = 0, failedSerials = 0;
                            var until = DateTime.UtcNow.AddSeconds(2);
                            Action<Action> loop = work =>
                            {
                                try { while (DateTime.UtcNow < until) work(); }
                                catch (Exception error) { lock (errors) errors.Add(error); }
                            };
                            var workers = new Action[]
                            {
                                () => { var speeds = treadmill.FloorSpeeds; },
                                () => treadmill.SetUserPosition(0.1, 0.2),
                                () =>
                                {
                                    string serial = treadmill.SerialNumber;
                                    if (serial == Serial) Interlocked.Increment(ref goodSerials);
                                    else if (serial == "") Interlocked.Increment(ref failedSerials);
                                    else throw new CheckFailed("serial number " + serial);
                                    Check.KeepConnected(treadmill);
                                },
                                () => { bool state = treadmill.RunningAndUnlocked; var ring = treadmill.Ring; },
                            };
                            var threads = new List<Thread>();
                            foreach (var work in workers) threads.Add(new Thread(() => loop(work)));
                            threads.ForEach(t => t.Start());
                            foreach (var thread in threads) Check.That(thread.Join(15000), "a thread hung");
                            Check.Equal(0, errors.Count, "errors: " + string.Join("; ", errors));
                            Check.That(goodSerials > 0, "serial numbers read");
                            Check.That(failedSerials <= Check.MaxFailedReads, failedSerials + " failed reads");
                        }
                    }
                },
            };
        }
    }
}
