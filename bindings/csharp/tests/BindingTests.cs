// Tests of the C# binding under mono, against the library and the controller
// simulator. One group per process, because the library's session lives for
// the process:
//
//   mono QuorvellanBindingTests.exe <group> <simulator program> <public header>
//
// groups: no-session, failures, local, remote (the last one with the library
// variant whose network host is this machine), stream and threads (StreamTests.cs).
// Exit code 0 when every case passed.
using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.IO;
using System.Linq;
using System.Reflection;
using System.Runtime.InteropServices;
using System.Text;
using System.Text.RegularExpressions;
using System.Threading;
using Quorvellan;

namespace Quorvellan.Tests
{
    class CheckFailed : Exception
    {
        public CheckFailed(string message) : base(message) { }
    }

    static class Check
    {
        public static void That(bool condition, string what)
        {
            if (!condition) throw new CheckFailed(what);
        }

        public static void Equal<T>(T expected, T actual, string what)
        {
            if (!EqualityComparer<T>.Default.Equals(expected, actual))
                throw new CheckFailed(string.Format("{0}: expected {1}, got {2}", what, expected, actual));
        }

        public static void Near(double expected, double actual, double tolerance, string what)
        {
            if (!(Math.Abs(expected - actual) <= tolerance))
                throw new CheckFailed(string.Format("{0}: expected {1} +- {2}, got {3}", what, expected, tolerance, actual));
        }

        public static TreadmillException ConnectFails(bool local)
        {
            try
            {
                Treadmill.Connect(local);
            }
            catch (TreadmillException error)
            {
                return error;
            }
            throw new CheckFailed("Connect succeeded, a TreadmillException was expected");
        }

        // This machine stalls now and then for about 100 ms; a reply caught by
        // such a stall misses the read deadline and the library closes the
        // connection. Long loops reconnect and count such events.
        public const int MaxFailedReads = 20;

        public static bool KeepConnected(Treadmill treadmill, bool local = true)
        {
            if (treadmill.Connected) return false;
            treadmill.Reconnect(local);
            return true;
        }

        // Polls condition until it holds or the time is up; with a treadmill, a
        // connection lost meanwhile is restored before each poll.
        public static bool Eventually(Func<bool> condition, Treadmill treadmill = null, bool local = true, int timeoutMs = 5000)
        {
            var clock = Stopwatch.StartNew();
            while (true)
            {
                if (treadmill != null) KeepConnected(treadmill, local);
                if (condition()) return true;
                if (clock.ElapsedMilliseconds > timeoutMs) return false;
                Thread.Sleep(20);
            }
        }
    }

    // quorvellan-controller-sim as a child process on port 6158.
    sealed class Simulator : IDisposable
    {
        private readonly Process process;
        private readonly StringBuilder output = new StringBuilder();
        private readonly ManualResetEvent ready = new ManualResetEvent(false);

        public Simulator(string program, string arguments)
        {
            var start = new ProcessStartInfo(program, "--port 6158 " + arguments)
            {
                UseShellExecute = false,
                RedirectStandardOutput = true,
                RedirectStandardError = true,
            };
            process = new Process { StartInfo = start };
            process.OutputDataReceived += (sender, line) => Collect(line.Data);
            process.ErrorDataReceived += (sender, line) => Collect(line.Data);
            process.Start();
            process.BeginOutputReadLine();
            process.BeginErrorReadLine();
            if (!ready.WaitOne(10000) || process.HasExited)
            {
                Dispose();
                throw new CheckFailed("simulator did not start: " + Output);
            }
        }

        public string Output { get { lock (output) return output.ToString(); } }

        private void Collect(string line)
        {
            if (line == null)
            {
                ready.Set();  // it exited
                return;
            }
            lock (output) output.AppendLine(line);
            if (line.StartsWith("listening on")) ready.Set();
        }

        public void Dispose()
        {
            if (!process.HasExited)
            {
                process.Kill();
                process.WaitForExit(5000);
            }
            process.Dispose();
        }
    }

    static partial class Program
    {
        const string Serial = "CS-SERIAL-0007";

        static string simulatorProgram;
        static string headerPath;
        static readonly List<Simulator> running = new List<Simulator>();

        static Simulator StartSimulator(string arguments)
        {
            var simulator = new Simulator(simulatorProgram, arguments);
            running.Add(simulator);
            return simulator;
        }

        static int Main(string[] args)
        {
            if (args.Length != 3)
            {
                Console.Error.WriteLine("usage: QuorvellanBindingTests.exe <group> <simulator> <header>");
                return 2;
            }
            simulatorProgram = args[1];
            headerPath = args[2];
            var groups = new Dictionary<string, Dictionary<string, Action>>
            {
                { "no-session", NoSessionCases() },
                { "failures", FailureCases() },
                { "local", LocalCases() },
                { "remote", RemoteCases() },
                { "stream", StreamCases() },
                { "threads", ThreadCases() },
            };
            Dictionary<string, Action> cases;
            if (!groups.TryGetValue(args[0], out cases))
            {
                Console.Error.WriteLine("unknown group " + args[0]);
                return 2;
            }
            return Run(cases);
        }

        static int Run(Dictionary<string, Action> cases)
        {
            int failed = 0;
            foreach (var testCase in cases)
            {
                try
                {
                    testCase.Value();
                    Console.WriteLine("PASS " + testCase.Key);
                }
                catch (Exception error)
                {
                    ++failed;
                    Console.WriteLine("FAIL " + testCase.Key + ": " + error);
                }
                finally
                {
                    foreach (var simulator in running) simulator.Dispose();
                    running.Clear();
                }
            }
            Console.WriteLine("{0} of {1} passed", cases.Count - failed, cases.Count);
            return failed == 0 ? 0 : 1;
        }

        // ---- Before any connect: declarations, records, fallbacks ------------

        static Dictionary<string, Action> NoSessionCases()
        {
            return new Dictionary<string, Action>
            {
                { "declarations match the header", DeclarationsMatchHeader },
                { "records have the C sizes, TreadmillInfo is blittable", RecordsHaveCSizes },
                { "serial numbers decode as UTF-8", SerialNumberIsUtf8 },
                { "queries return their fallbacks", QueriesReturnFallbacks },
                { "serial number failure is the library constant, read 10000 times", SerialFailureIsConstant },
                { "info is 96 zero bytes, lock stays false", InfoAndLock },
                { "commands do nothing, DeInitInternal returns 1", CommandsBeforeConnect },
                { "status codes are described", StatusCodesDescribed },
                { "a Unity pose in the treadmill's frame", UnityPoseToTreadmill },
            };
        }

        // Unity's +90 degree turns about y, x and z must stay the same physical turns.
        static void UnityPoseToTreadmill()
        {
            double h = Math.Sqrt(0.5);
            var rows = new[]
            {   // Unity position x, y, z, rotation x, y, z, w -> treadmill position x, y, z, rotation w, x, y, z
                new { Name = "forward, facing forward", Unity = new[] { 0, 0, 1.0, 0, 0, 0, 1 }, Treadmill = new[] { 0, 1.0, 0, 1, 0, 0, 0 } },
                new { Name = "up, turned right", Unity = new[] { 0, 1.0, 0, 0, h, 0, h }, Treadmill = new[] { 0, 0, 1.0, h, 0, 0, -h } },
                new { Name = "right, looking down", Unity = new[] { 1.0, 0, 0, h, 0, 0, h }, Treadmill = new[] { 1.0, 0, 0, h, -h, 0, 0 } },
                new { Name = "head tilted left", Unity = new[] { 0, 0, 0, 0, 0, h, h }, Treadmill = new[] { 0, 0, 0, h, 0, -h, 0 } },
            };
            foreach (var row in rows)
            {
                double[] u = row.Unity;
                TreadmillPose p = TreadmillPose.FromUnity(u[0], u[1], u[2], u[3], u[4], u[5], u[6]);
                double[] got = { p.X, p.Y, p.Z, p.RotationW, p.RotationX, p.RotationY, p.RotationZ };
                for (int i = 0; i < 7; ++i) Check.Near(row.Treadmill[i], got[i], 1e-12, row.Name + ", value " + i);
            }
        }

        // Every export of the header is declared, with its parameter count,
        // Cdecl, and every bool marshalled as one byte.
        static void DeclarationsMatchHeader()
        {
            var exports = new Dictionary<string, int>();
            var pattern = new Regex(@"QUORVELLAN_API\s+.+?\s*QUORVELLAN_CALL\s+(\w+)\s*\(([^)]*)\)");
            foreach (Match match in pattern.Matches(File.ReadAllText(headerPath)))
            {
                string parameters = match.Groups[2].Value.Trim();
                exports[match.Groups[1].Value] = parameters == "void" || parameters == "" ? 0 : parameters.Split(',').Length;
            }
            Check.Equal(17, exports.Count, "exports in the header");

            var declared = typeof(NativeMethods).GetMethods(BindingFlags.Public | BindingFlags.Static)
                .Where(method => Attribute.IsDefined(method, typeof(DllImportAttribute))).ToList();
            Check.Equal(string.Join(",", exports.Keys.OrderBy(name => name, StringComparer.Ordinal)),
                        string.Join(",", declared.Select(method => method.Name).OrderBy(name => name, StringComparer.Ordinal)),
                        "declared entry points");
            foreach (var method in declared)
            {
                var import = (DllImportAttribute)Attribute.GetCustomAttribute(method, typeof(DllImportAttribute));
                Check.Equal("QuorvellanAPI", import.Value, method.Name + " library");
                Check.Equal(CallingConvention.Cdecl, import.CallingConvention, method.Name + " calling convention");
                Check.Equal(exports[method.Name], method.GetParameters().Length, method.Name + " parameter count");
                Check.That(method.ReturnType != typeof(string), method.Name + " must not return string");
                var returned = new[] { method.ReturnParameter };
                foreach (var parameter in returned.Concat(method.GetParameters()))
                {
                    if (parameter.ParameterType != typeof(bool)) continue;
                    var marshalAs = (MarshalAsAttribute)Attribute.GetCustomAttribute(parameter, typeof(MarshalAsAttribute));
                    Check.That(marshalAs != null && marshalAs.Value == UnmanagedType.I1,
                               method.Name + ": bool " + (parameter.Name ?? "result") + " must be one byte (I1)");
                }
            }
        }

        static void RecordsHaveCSizes()
        {
            Check.Equal(16, Marshal.SizeOf(typeof(FloorSpeeds)), "FloorSpeeds size");
            Check.Equal(32, Marshal.SizeOf(typeof(Ring)), "Ring size");
            Check.Equal(24, (int)Marshal.OffsetOf(typeof(Ring), "W"), "Ring.W offset");
            Check.Equal(96, Marshal.SizeOf(typeof(TreadmillInfo)), "TreadmillInfo size");
            // Pinning succeeds only for blittable types, the only records every
            // runtime can return by value.
            GCHandle pinned = GCHandle.Alloc(new TreadmillInfo(), GCHandleType.Pinned);
            pinned.Free();
        }

        static void SerialNumberIsUtf8()
        {
            byte[] utf8 = Encoding.UTF8.GetBytes("SN-\u00c9\u00df-\u20ac\0");
            IntPtr text = Marshal.AllocHGlobal(utf8.Length);
            try
            {
                Marshal.Copy(utf8, 0, text, utf8.Length);
                Check.Equal("SN-\u00c9\u00df-\u20ac", NativeMethods.ReadUtf8(text), "UTF-8 serial number");
            }
            finally
            {
                Marshal.FreeHGlobal(text);
            }
        }

        static void QueriesReturnFallbacks()
        {
            Check.Equal(0, NativeMethods.CheckConnection(), "CheckConnection");
            Check.Equal(new FloorSpeeds(), NativeMethods.GetFloorSpeeds(), "GetFloorSpeeds");
            Check.Equal(new FloorSpeeds(), NativeMethods.GetFloorSpeedsNormalized(), "GetFloorSpeedsNormalized");
            Check.Equal(0.0, NativeMethods.GetFloorSpeedMagnitude(), "GetFloorSpeedMagnitude");
            Check.Equal(new Ring(), NativeMethods.GetRing(), "GetRing (no 0.45: nothing was read)");
            Check.Equal(false, NativeMethods.GetTreadmillRunState(false), "GetTreadmillRunState(false)");
            Check.Equal(false, NativeMethods.GetTreadmillRunState(true), "GetTreadmillRunState(true)");
        }

        static void SerialFailureIsConstant()
        {
            IntPtr first = NativeMethods.GetTreadmillSerialNumber();
            Check.That(first != IntPtr.Zero, "the failure result is a string, not NULL");
            Check.Equal(first, NativeMethods.GetTreadmillSerialNumber(), "the same constant each time");
            Check.Equal((byte)0, Marshal.ReadByte(first), "the constant is empty");
            for (int i = 0; i < 10000; ++i) Check.Equal("", ReadSerialWithoutSession(), "serial number");
            Check.Equal(first, NativeMethods.GetTreadmillSerialNumber(), "the constant is untouched");
        }

        static string ReadSerialWithoutSession()
        {
            return NativeMethods.TakeSerialNumber(NativeMethods.GetTreadmillSerialNumber());
        }

        static void InfoAndLock()
        {
            for (int i = 0; i < 3; ++i)
            {
                TreadmillInfo info = NativeMethods.GetTreadmillInfo();
                Check.Equal(96, info.ToArray().Length, "info length");
                Check.That(info.ToArray().All(b => b == 0), "info is all zero");
            }
            NativeMethods.SetAPILock(true);
            Check.Equal(false, NativeMethods.GetAPILock(), "GetAPILock after SetAPILock(true)");
        }

        static void CommandsBeforeConnect()
        {
            NativeMethods.SetBrake(true);
            NativeMethods.SetTreadmillRunState(true);
            NativeMethods.SetManualSpeeds(1.0, 2.0);
            NativeMethods.SetUserPosition(0.5, -0.5);
            NativeMethods.SetUserRotation(1.0, 0.0, 0.0, 0.0);
            Check.Equal(0, NativeMethods.CheckConnection(), "still no connection");
            Check.Equal(1, NativeMethods.DeInitInternal(), "DeInitInternal");
        }

        static void StatusCodesDescribed()
        {
            foreach (int code in new[] { 3, 4, 5, 8 })
            {
                var error = new TreadmillException(code);
                Check.Equal(code, error.StatusCode, "status code");
                Check.That(error.Message.Contains("status " + code), "message names the code: " + error.Message);
                Check.That(error.Message.Contains(Treadmill.DescribeStatus(code)), "message explains it: " + error.Message);
            }
            Check.Equal("unknown status code", Treadmill.DescribeStatus(42), "unknown code");
        }

        // ---- Failed connects --------------------------------------------------

        static Dictionary<string, Action> FailureCases()
        {
            return new Dictionary<string, Action>
            {
                { "no controller listening: status 8", NoController },
                { "QUORVELLAN_CONTROLLER set in the process: used, and named when nothing answers", AddressFromTheProcess },
                { "after a failed connect the failure results hold", FailureResultsHold },
                { "network identity answering the local handshake: status 4", () => RefusedBy("--identity remote", true, 4) },
                { "wrong sender name: status 4", () => RefusedBy("--identity local --wrong-name", true, 4) },
                { "version too old: status 3, connection stays up", VersionTooOldLocal },
            };
        }

        static void NoController()
        {
            TreadmillException error = Check.ConnectFails(true);
            Check.Equal(8, error.StatusCode, "status code");
            Check.That(error.Message.Contains("status 8"), "message: " + error.Message);
            Check.That(error.Message.Contains("controller at localhost:6158: ") &&
                       error.Message.Contains("running at that host and port"), "address and cause: " + error.Message);
        }

        // Set by the application at run time, as a game's settings would.
        static void AddressFromTheProcess()
        {
            StartSimulator("--identity local --port 16301");
            try
            {
                Environment.SetEnvironmentVariable(Treadmill.AddressVariable, "127.0.0.1:16301");
                using (var treadmill = Treadmill.Connect(true)) Check.Equal(true, treadmill.Connected, "on port 16301");
                Environment.SetEnvironmentVariable(Treadmill.AddressVariable, "127.0.0.1:16302");
                TreadmillException error = Check.ConnectFails(true);
                Check.That(error.Message.Contains("controller at 127.0.0.1:16302 (from QUORVELLAN_CONTROLLER): status 8"),
                           "message: " + error.Message);
                // A typo reaches nothing (not even the simulator on port 16301's host), and says so.
                Environment.SetEnvironmentVariable(Treadmill.AddressVariable, "127.0.0.1:x");
                error = Check.ConnectFails(true);
                Check.That(error.Message.Contains("controller at nothing: QUORVELLAN_CONTROLLER=\"127.0.0.1:x\" is not host[:port]"),
                           "message: " + error.Message);
            }
            finally
            {
                Environment.SetEnvironmentVariable(Treadmill.AddressVariable, null);
            }
        }

        static void FailureResultsHold()
        {
            Check.ConnectFails(true);
            Check.Equal(0, NativeMethods.CheckConnection(), "CheckConnection");
            Check.Equal(false, NativeMethods.GetTreadmillRunState(false), "run state");
            Check.Equal(false, NativeMethods.GetTreadmillRunState(true), "run state, lock checked");
            for (int i = 0; i < 10000; ++i) Check.Equal("", ReadSerialWithoutSession(), "serial number");
        }

        static void RefusedBy(string simulatorArguments, bool local, int expectedStatus)
        {
            StartSimulator(simulatorArguments);
            Check.Equal(expectedStatus, Check.ConnectFails(local).StatusCode, "status code");
        }

        static void VersionTooOldLocal()
        {
            RefusedBy("--identity local --version 1.1.0", true, 3);
            Check.Equal(1, NativeMethods.CheckConnection(), "the handshake failed on content; the connection is up");
        }

        // ---- The controller on this machine -----------------------------------

        static Dictionary<string, Action> LocalCases()
        {
            return new Dictionary<string, Action>
            {
                { "connected and idle: every query", ConnectedAndIdle },
                { "serial number read 10000 times", SerialNumberRepeated },
                { "run state follows the command", RunStateFollows },
                { "manual speeds reached, brake stops the belts", ManualSpeedsAndBrake },
                { "walking forward moves the belt back, the ring follows", WalkingMovesTheBelt },
                { "doubles and booleans arrive in argument order", WireBytes },
                { "locked treadmill runs but not unlocked", LockedTreadmill },
                { "Dispose stops the library, Connect restarts it", DisposeAndReconnect },
            };
        }

        static Treadmill ConnectLocal()
        {
            StartSimulator("--identity local --serial " + Serial);
            return Treadmill.Connect(true);
        }

        static void ConnectedAndIdle()
        {
            Treadmill treadmill = ConnectLocal();
            Check.Equal(true, treadmill.Connected, "Connected");
            Check.Equal(false, treadmill.Running, "Running");
            Check.Equal(false, treadmill.RunningAndUnlocked, "RunningAndUnlocked");
            Check.Equal(new FloorSpeeds(), treadmill.FloorSpeeds, "FloorSpeeds");
            Check.Equal(new FloorSpeeds(), treadmill.FloorSpeedsNormalized, "FloorSpeedsNormalized");
            Check.Equal(0.0, treadmill.FloorSpeedMagnitude, "FloorSpeedMagnitude");
            Check.Equal(new Ring { W = 0.45 }, treadmill.Ring, "Ring after a good read");
            Check.That(treadmill.Info.ToArray().All(b => b == 0), "Info all zero");
            treadmill.SetApiLock(true);
            Check.Equal(false, treadmill.ApiLock, "ApiLock");
        }

        static void SerialNumberRepeated()
        {
            Treadmill treadmill = ConnectLocal();
            IntPtr first = NativeMethods.GetTreadmillSerialNumber();
            IntPtr second = NativeMethods.GetTreadmillSerialNumber();
            Check.That(first != second, "each read is a fresh buffer");
            Check.Equal(Serial, NativeMethods.TakeSerialNumber(first), "first buffer");
            Check.Equal(Serial, NativeMethods.TakeSerialNumber(second), "second buffer");
            int good = 0, failed = 0;
            while (good < 10000 && failed <= Check.MaxFailedReads)
            {
                string serial = treadmill.SerialNumber;
                if (serial == Serial)
                {
                    ++good;
                    continue;
                }
                Check.Equal("", serial, "a failed read gives the empty string");
                ++failed;
                Check.KeepConnected(treadmill);
            }
            Check.Equal(10000, good, "good reads");
            Console.WriteLine("  10000 serial numbers read, {0} failed reads on a lost connection", failed);
        }

        static void RunStateFollows()
        {
            Treadmill treadmill = ConnectLocal();
            treadmill.SetRunState(true);
            Check.Equal(true, treadmill.Running, "Running after enabling");
            Check.Equal(true, treadmill.RunningAndUnlocked, "RunningAndUnlocked after enabling");
            treadmill.SetRunState(false);
            Check.Equal(false, treadmill.Running, "Running after stopping");
        }

        static bool SpeedsNear(FloorSpeeds speeds, double x, double y)
        {
            return Math.Abs(speeds.X - x) < 1e-6 && Math.Abs(speeds.Y - y) < 1e-6;
        }

        static void ManualSpeedsAndBrake()
        {
            Treadmill treadmill = ConnectLocal();
            treadmill.SetRunState(true);
            treadmill.SetManualSpeeds(0.6, -0.3);
            Check.That(Check.Eventually(() => SpeedsNear(treadmill.FloorSpeeds, 0.6, -0.3), treadmill),
                       "manual speeds reached: " + treadmill.FloorSpeeds);
            Check.That(SpeedsNear(treadmill.FloorSpeedsNormalized, 0.4, -0.2), "normalized: " + treadmill.FloorSpeedsNormalized);
            Check.Near(Math.Sqrt(0.6 * 0.6 + 0.3 * 0.3), treadmill.FloorSpeedMagnitude, 1e-6, "magnitude");
            treadmill.SetBrake(true);
            // 0.0 is also the failure result: the run state read next proves the connection held.
            Check.That(Check.Eventually(() => treadmill.FloorSpeedMagnitude == 0.0 && treadmill.Running, treadmill),
                       "braked to zero");
            treadmill.SetBrake(false);
            Check.That(Check.Eventually(() => SpeedsNear(treadmill.FloorSpeeds, 0.6, -0.3), treadmill), "driving again");
        }

        static void WalkingMovesTheBelt()
        {
            Treadmill treadmill = ConnectLocal();
            treadmill.SetRunState(true);
            treadmill.SetUserPosition(0.0, 0.2);
            Check.That(Check.Eventually(() => treadmill.FloorSpeeds.Y < -0.1, treadmill), "belt moves back: " + treadmill.FloorSpeeds);
            Check.That(Check.Eventually(() => Math.Abs(treadmill.Ring.Y - 0.2) < 1e-3, treadmill), "ring follows: " + treadmill.Ring);
            Ring ring = treadmill.Ring;
            Check.Near(0.0, ring.X, 1e-9, "ring x");
            Check.Equal(0.45, ring.W, "ring w");
        }

        static void WireBytes()
        {
            Simulator simulator = StartSimulator("--identity local --log");
            Treadmill treadmill = Treadmill.Connect(true);
            treadmill.SetManualSpeeds(0.5, -0.25);
            treadmill.SetUserPosition(1.5, -2.0);
            treadmill.SetUserRotation(0.5, 0.25, -0.125, 1.0);
            FloorSpeeds ignored = treadmill.FloorSpeeds;
            treadmill.SetBrake(true);
            treadmill.SetRunState(false);
            string queued = "\"manualXSpeed\":0.5,\"manualYSpeed\":-0.25,"
                + "\"sender\":{\"name\":\"QUORVELLAN CONTROLLER API\",\"version\":{\"major\":1,\"minor\":3}},"
                + "\"user position x\":1.5,\"user position y\":-2.0,"
                + "\"user rotation w\":0.5,\"user rotation x\":0.25,\"user rotation y\":-0.125,\"user rotation z\":1.0}";
            Check.That(Check.Eventually(() => simulator.Output.Contains(queued)), "queued doubles on the wire:\n" + simulator.Output);
            Check.That(Check.Eventually(() => simulator.Output.Contains("{\"brake\":true,\"sender\"")), "brake true:\n" + simulator.Output);
            Check.That(Check.Eventually(() => simulator.Output.Contains("{\"enabled\":false,\"sender\"")), "enabled false:\n" + simulator.Output);
            Check.Equal(0.0, ignored.X, "speeds before enabling");
        }

        static void LockedTreadmill()
        {
            StartSimulator("--identity local --locked");
            Treadmill treadmill = Treadmill.Connect(true);
            treadmill.SetRunState(true);
            Check.Equal(true, treadmill.Running, "Running");
            Check.Equal(false, treadmill.RunningAndUnlocked, "RunningAndUnlocked");
        }

        static void DisposeAndReconnect()
        {
            StartSimulator("--identity local --serial " + Serial);
            using (Treadmill treadmill = Treadmill.Connect(true))
                Check.Equal(Serial, treadmill.SerialNumber, "serial number in the first block");
            using (Treadmill treadmill = Treadmill.Connect(true))
                Check.Equal(Serial, treadmill.SerialNumber, "serial number after reconnecting");
        }

        // ---- The controller on the network (this machine, remote variant) -------

        static Dictionary<string, Action> RemoteCases()
        {
            return new Dictionary<string, Action>
            {
                { "connect, query and command", RemoteConnectQueryCommand },
                { "local identity answering the network handshake: status 5", () => RefusedBy("--identity local", false, 5) },
                { "version too old: status 3", () => RefusedBy("--identity remote --version 1.2.1", false, 3) },
                { "oldest accepted version 1.2.2", RemoteOldestAccepted },
            };
        }

        static void RemoteConnectQueryCommand()
        {
            StartSimulator("--identity remote --serial NET-7");
            Treadmill treadmill = Treadmill.Connect(false);
            Check.Equal(true, treadmill.Connected, "Connected");
            Check.Equal("NET-7", treadmill.SerialNumber, "serial number");
            Check.Equal(false, treadmill.Running, "Running before enabling");
            treadmill.SetRunState(true);
            treadmill.SetManualSpeeds(-0.9, 0.0);
            Check.That(Check.Eventually(() => SpeedsNear(treadmill.FloorSpeeds, -0.9, 0.0), treadmill, false), "speeds: " + treadmill.FloorSpeeds);
            Check.Near(-0.6, treadmill.FloorSpeedsNormalized.X, 1e-6, "normalized x");
            Check.Equal(0.45, treadmill.Ring.W, "ring w");
        }

        static void RemoteOldestAccepted()
        {
            StartSimulator("--identity remote --version 1.2.2");
            Check.Equal(true, Treadmill.Connect(false).Connected, "Connected");
        }
    }
}
