// C# binding of QuorvellanStream: the treadmill's newest state for a game loop
// that must never wait. Drop it next to Quorvellan.cs; the native library
// (QuorvellanStream.dll / libQuorvellanStream.so) goes next to QuorvellanAPI.
//
//   using (var stream = Quorvellan.TreadmillStream.Start(local: true)) {
//       stream.SetUserPosition(x, y);              // every frame (metres: right, forward); the newest is sent
//       Quorvellan.StreamSample sample;
//       stream.Latest(out sample);                 // never waits, allocates nothing
//       if (sample.Connected) Move(sample.FloorSpeeds);
//   }
//
// While a stream runs it is the only user of the core: do not use a Treadmill
// meanwhile. One stream per process. Latest and the commands may be called from
// any thread; Dispose (Stop) from one, after the others are done with it.
using System;
using System.Runtime.CompilerServices;
using System.Runtime.InteropServices;

namespace Quorvellan
{
    public enum StreamState
    {
        Stopped = 0,
        Connecting = 1,
        Connected = 2,
        Lost = 3,
        ControllerTooOld = 4,
        WrongController = 5,
    }

    /// <summary>The serial number's 64 bytes inside the sample (blittable, so reading a sample allocates nothing).</summary>
    [StructLayout(LayoutKind.Sequential)]
    public struct SerialNumberBytes
    {
        private ulong b0, b1, b2, b3, b4, b5, b6, b7;

        /// <summary>The text up to the first NUL (allocates a string: read it once per connection).</summary>
        public override string ToString()
        {
            var bytes = new byte[64];
            ulong[] words = { b0, b1, b2, b3, b4, b5, b6, b7 };
            Buffer.BlockCopy(words, 0, bytes, 0, 64);
            int length = Array.IndexOf(bytes, (byte)0);
            return System.Text.Encoding.UTF8.GetString(bytes, 0, length < 0 ? 64 : length);
        }
    }

    /// <summary>One poll. Speeds, ring and run state are zero unless State is Connected.</summary>
    [StructLayout(LayoutKind.Sequential)]
    public struct StreamSample
    {
        public ulong Sequence;
        public long TimeNs;                 // TreadmillStream.ClockNs() when the values were read (before the first, when Start was called)
        public int StateCode;
        public int LastStatus;              // status of the last connect attempt, -1 before the first
        public FloorSpeeds FloorSpeeds;     // the three speed values come from one reply
        public FloorSpeeds FloorSpeedsNormalized;
        public double FloorSpeedMagnitude;
        public Ring Ring;
        public int RunningFlag;
        public int RunningUnlockedFlag;
        public SerialNumberBytes SerialNumber;
        public ulong Exchanges;
        public ulong FailedReads;
        public ulong Reconnects;
        public ulong DroppedCommands;

        public StreamState State { get { return (StreamState)StateCode; } }
        public bool Connected { get { return StateCode == (int)StreamState.Connected; } }
        public bool Running { get { return RunningFlag != 0; } }
        public bool RunningAndUnlocked { get { return RunningUnlockedFlag != 0; } }

        /// <summary>The sample's values in one line (allocates: for logs, not for every frame).</summary>
        public override string ToString()
        {
            return string.Format(System.Globalization.CultureInfo.InvariantCulture,
                "StreamSample(Sequence={0}, State={1}, LastStatus={2}, FloorSpeeds=({3:+0.000;-0.000}, {4:+0.000;-0.000}), " +
                "Magnitude={5:0.000}, Ring=({6:+0.000;-0.000}, {7:+0.000;-0.000}, {8:+0.000;-0.000}), Running={9}, " +
                "RunningAndUnlocked={10}, SerialNumber='{11}', Exchanges={12}, FailedReads={13}, Reconnects={14}, " +
                "DroppedCommands={15})",
                Sequence, State, LastStatus, FloorSpeeds.X, FloorSpeeds.Y, FloorSpeedMagnitude, Ring.X, Ring.Y, Ring.Z,
                Running, RunningAndUnlocked, SerialNumber, Exchanges, FailedReads, Reconnects, DroppedCommands);
        }
    }

    /// <summary>The recording's state: all zero when the stream does not record.</summary>
    [StructLayout(LayoutKind.Sequential)]
    public struct RecordingStatus
    {
        public int RecordingFlag;
        public int LastError;         // errno of the last failed open or write, 0 if none
        public ulong LinesWritten;
        public ulong LinesLost;

        public bool Recording { get { return RecordingFlag != 0; } }
    }

    [StructLayout(LayoutKind.Sequential)]
    public struct StreamOptions
    {
        public int Local;
        public int ReconnectMinMs;
        public int ReconnectMaxMs;
        public int Reserved;
        public double PollRateHz;
    }

    public static class StreamNativeMethods
    {
        public const string Library = "QuorvellanStream";

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int QuorvellanStreamStart(ref StreamOptions options, out IntPtr stream);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int QuorvellanStreamStartRecording(ref StreamOptions options,
            [MarshalAs(UnmanagedType.LPUTF8Str)] string recordPath, out IntPtr stream);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern void QuorvellanStreamRecording(IntPtr stream, out RecordingStatus status);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern IntPtr QuorvellanStreamErrorText(int result);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern void QuorvellanStreamStop(IntPtr stream);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern void QuorvellanStreamLatest(IntPtr stream, out StreamSample sample);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern long QuorvellanStreamClockNs();

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern void QuorvellanStreamSetUserPosition(IntPtr stream, double x, double y);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern void QuorvellanStreamSetUserRotation(IntPtr stream, double w, double x, double y, double z);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern void QuorvellanStreamSetManualSpeeds(IntPtr stream, double x, double y);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int QuorvellanStreamSetBrake(IntPtr stream, int applied);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int QuorvellanStreamSetRunState(IntPtr stream, int enabled);
    }

    /// <summary>Loads the stream's native library after the core's (see Load).</summary>
    public static class StreamLoading
    {
        // Only ever set to true: two threads racing here both load, harmlessly.
        private static bool loaded;

        /// <summary>
        /// The core first, then the stream. The stream links the core: on Linux as
        /// libQuorvellanAPI.so.1, its soname, which the loaded core answers to under
        /// any file name (Unity's plugin folder holds libQuorvellanAPI.so alone); on
        /// Windows the stream takes the QuorvellanAPI.dll already loaded.
        /// </summary>
        /// <exception cref="DllNotFoundException">Lists the paths looked at.</exception>
        public static void Load()
        {
            NativeLoading.LoadCore();
            if (!loaded) Probe();
        }

        // Mono binds the native functions a method calls when it compiles the
        // method, inlined callees included: every method that calls into the
        // stream stays out of line, so the stream is bound after the core loaded.
        [MethodImpl(MethodImplOptions.NoInlining)]
        private static void Probe()
        {
            try { StreamNativeMethods.QuorvellanStreamClockNs(); }
            catch (DllNotFoundException error) { throw NativeLoading.NotFound(StreamNativeMethods.Library, error); }
            loaded = true;
        }
    }

    /// <summary>Start failed: a stream already runs, the options are out of range, or (Windows) no QuorvellanAPI.dll.</summary>
    public class StreamException : Exception
    {
        public int Result { get; private set; }

        public StreamException(int result)
            : base("Cannot start the treadmill stream: " +
                   Marshal.PtrToStringAnsi(StreamNativeMethods.QuorvellanStreamErrorText(result)))
        {
            Result = result;
        }
    }

    /// <summary>The background stream. Brake and run state are sent in order while
    /// connected; given at any other time they are dropped (false) and counted.</summary>
    public sealed class TreadmillStream : IDisposable
    {
        private IntPtr handle;

        private TreadmillStream(IntPtr handle) { this.handle = handle; }

        public static TreadmillStream Start(bool local = true, double pollRateHz = 250.0,
                                            int reconnectMinMs = 100, int reconnectMaxMs = 1000)
        {
            return Begin(null, local, pollRateHz, reconnectMinMs, reconnectMaxMs);
        }

        /// <summary>Start, also writing a recording to path (docs/recording-format.md). A file
        /// that cannot be written does not fail the start: Recording() tells.</summary>
        public static TreadmillStream StartRecording(string path, bool local = true, double pollRateHz = 250.0,
                                                     int reconnectMinMs = 100, int reconnectMaxMs = 1000)
        {
            if (string.IsNullOrEmpty(path)) throw new ArgumentException("a file name is needed", "path");
            return Begin(path, local, pollRateHz, reconnectMinMs, reconnectMaxMs);
        }

        private static TreadmillStream Begin(string recordPath, bool local, double pollRateHz,
                                             int reconnectMinMs, int reconnectMaxMs)
        {
            var options = new StreamOptions
            {
                Local = local ? 1 : 0, ReconnectMinMs = reconnectMinMs, ReconnectMaxMs = reconnectMaxMs,
                PollRateHz = pollRateHz,
            };
            StreamLoading.Load();
            return Begin(options, recordPath);
        }

        // Every method that calls into the stream is kept out of line: see
        // StreamLoading.Probe.
        [MethodImpl(MethodImplOptions.NoInlining)]
        private static TreadmillStream Begin(StreamOptions options, string recordPath)
        {
            IntPtr created;
            int result = StreamNativeMethods.QuorvellanStreamStartRecording(ref options, recordPath, out created);
            if (result != 0) throw new StreamException(result);
            return new TreadmillStream(created);
        }

        /// <summary>Lines written and lost, the last errno; all zero without a recording.</summary>
        [MethodImpl(MethodImplOptions.NoInlining)]
        public RecordingStatus Recording()
        {
            RecordingStatus status;
            StreamNativeMethods.QuorvellanStreamRecording(handle, out status);
            return status;
        }

        /// <summary>Copies the newest sample; never waits, allocates nothing.</summary>
        [MethodImpl(MethodImplOptions.NoInlining)]
        public void Latest(out StreamSample sample) { StreamNativeMethods.QuorvellanStreamLatest(handle, out sample); }

        /// <summary>The clock of StreamSample.TimeNs: a sample's age is ClockNs() - TimeNs.</summary>
        public static long ClockNs()
        {
            StreamLoading.Load();
            return StreamClockNs();
        }

        [MethodImpl(MethodImplOptions.NoInlining)]
        private static long StreamClockNs() { return StreamNativeMethods.QuorvellanStreamClockNs(); }

        /// <summary>The user's floor point in the treadmill's frame: x right, y forward, metres (see TreadmillPose).</summary>
        [MethodImpl(MethodImplOptions.NoInlining)]
        public void SetUserPosition(double x, double y) { StreamNativeMethods.QuorvellanStreamSetUserPosition(handle, x, y); }
        /// <summary>Where the user faces: a unit quaternion, w first, in the treadmill's frame (see TreadmillPose).</summary>
        [MethodImpl(MethodImplOptions.NoInlining)]
        public void SetUserRotation(double w, double x, double y, double z) { StreamNativeMethods.QuorvellanStreamSetUserRotation(handle, w, x, y, z); }
        [MethodImpl(MethodImplOptions.NoInlining)]
        public void SetManualSpeeds(double x, double y) { StreamNativeMethods.QuorvellanStreamSetManualSpeeds(handle, x, y); }
        [MethodImpl(MethodImplOptions.NoInlining)]
        public bool SetBrake(bool applied) { return StreamNativeMethods.QuorvellanStreamSetBrake(handle, applied ? 1 : 0) == 1; }
        [MethodImpl(MethodImplOptions.NoInlining)]
        public bool SetRunState(bool enabled) { return StreamNativeMethods.QuorvellanStreamSetRunState(handle, enabled ? 1 : 0) == 1; }

        /// <summary>Stops the stream (bounded, about 200 ms at most).</summary>
        [MethodImpl(MethodImplOptions.NoInlining)]
        public void Dispose()
        {
            if (handle == IntPtr.Zero) return;
            IntPtr stopping = handle;
            handle = IntPtr.Zero;
            StreamNativeMethods.QuorvellanStreamStop(stopping);
            GC.SuppressFinalize(this);
        }

        ~TreadmillStream() { Dispose(); }
    }
}
