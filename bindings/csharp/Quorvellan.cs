// C# binding of QuorvellanAPI, the client library for two-dimensional treadmills.
// Drop this one file into a Unity or .NET project.
//
// Where the native library goes:
//   Unity:  Assets/Plugins/x86_64/QuorvellanAPI.dll (Windows) or libQuorvellanAPI.so (Linux);
//           in the plugin's import settings tick the matching platform and CPU x86_64.
//   .NET:   next to the application's executable, or on the loader path
//           (PATH on Windows, LD_LIBRARY_PATH on Linux).
//
// Threading: the library takes one caller at a time; Treadmill serialises every
// call into it with one lock, so threads may share it (a call waits while another
// is in progress, up to 3 s for a connect). A game loop that must never wait
// uses TreadmillStream (QuorvellanStream.cs) instead.
//
// Marshalling rules kept below, because mistakes at this boundary are silent:
//   - every bool is one byte (UnmanagedType.I1) in both directions; the default
//     four-byte Win32 BOOL would read garbage above the low byte as true;
//   - records are sequential structs of doubles returned by value;
//   - the serial number comes back as an IntPtr and is copied: declaring the
//     result as string would make the marshaller free the pointer, and on
//     failure it is the library's constant empty string.
using System;
using System.Collections.Generic;
using System.IO;
using System.Runtime.InteropServices;
using System.Text;
using System.Text.RegularExpressions;

namespace Quorvellan
{
    /// <summary>Floor belt speeds along x and y.</summary>
    [StructLayout(LayoutKind.Sequential)]
    public struct FloorSpeeds
    {
        public double X;
        public double Y;

        public override string ToString() { return string.Format("({0}, {1})", X, Y); }
    }

    /// <summary>Ring position as the controller reports it; W is 0.45 after a good read.</summary>
    [StructLayout(LayoutKind.Sequential)]
    public struct Ring
    {
        public double X;
        public double Y;
        public double Z;
        public double W;

        public override string ToString() { return string.Format("({0}, {1}, {2}, {3})", X, Y, Z, W); }
    }

    /// <summary>
    /// The user's pose in the treadmill's frame, as SetUserPosition and SetUserRotation take it: x to the right,
    /// y forward, z up (right-handed), metres from the treadmill's centre; the rotation a unit quaternion that
    /// turns the treadmill's axes into the user's (W = 1: upright, facing forward; turned by an angle a to the
    /// left: W = cos(a/2), RotationZ = sin(a/2); to the right, a is negative).
    /// </summary>
    public struct TreadmillPose
    {
        public double X, Y, Z;
        public double RotationW, RotationX, RotationY, RotationZ;

        /// <summary>
        /// A pose in Unity's frame (x right, y up, z forward, left-handed), relative to the treadmill's centre and
        /// forward (for instance a Transform's localPosition and localRotation under an object placed there),
        /// with the rotation's components as Unity's Quaternion holds them.
        /// </summary>
        public static TreadmillPose FromUnity(double x, double y, double z,
                                              double rotationX, double rotationY, double rotationZ, double rotationW)
        {
            // y and z swap places. That is a mirror: a rotation keeps its angle
            // and turns the other way about its axis's image, so the vector
            // part is swapped and negated (Unity's yaw to the right, about +y,
            // becomes a negative turn about +z).
            return new TreadmillPose
            {
                X = x, Y = z, Z = y,
                RotationW = rotationW, RotationX = -rotationX, RotationY = -rotationZ, RotationZ = -rotationY,
            };
        }
    }

    /// <summary>
    /// Reserved record of 96 bytes; the library always returns it all zero.
    /// Blittable (twelve 8-byte words, no managed array), because only blittable
    /// records can be returned by value on every runtime (.NET Framework, Mono,
    /// .NET, IL2CPP). Read its bytes with the indexer or ToArray().
    /// </summary>
    [StructLayout(LayoutKind.Sequential, Size = Size)]
    public struct TreadmillInfo
    {
        public const int Size = 96;

        private ulong word0, word1, word2, word3, word4, word5, word6, word7, word8, word9, word10, word11;

        /// <summary>Byte <paramref name="index"/> (0 to 95), in memory order.</summary>
        public byte this[int index]
        {
            get
            {
                if (index < 0 || index >= Size) throw new ArgumentOutOfRangeException("index");
                int shift = 8 * (BitConverter.IsLittleEndian ? index % 8 : 7 - index % 8);
                return (byte)(Word(index / 8) >> shift);
            }
        }

        public byte[] ToArray()
        {
            var bytes = new byte[Size];
            for (int i = 0; i < Size; ++i) bytes[i] = this[i];
            return bytes;
        }

        private ulong Word(int n)
        {
            switch (n)
            {
                case 0: return word0;
                case 1: return word1;
                case 2: return word2;
                case 3: return word3;
                case 4: return word4;
                case 5: return word5;
                case 6: return word6;
                case 7: return word7;
                case 8: return word8;
                case 9: return word9;
                case 10: return word10;
                default: return word11;
            }
        }
    }

    /// <summary>The status code InitInternal writes.</summary>
    public enum ConnectStatus
    {
        Connected = 0,
        VersionTooOld = 3,
        NotLocalController = 4,
        NotRemoteController = 5,
        Failure = 8,
    }

    /// <summary>The C entry points, declared exactly as the library exports them.</summary>
    public static class NativeMethods
    {
        public const string Library = "QuorvellanAPI";

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int InitInternal(out int statusCode, [MarshalAs(UnmanagedType.I1)] bool local);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int DeInitInternal();

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int CheckConnection();

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern FloorSpeeds GetFloorSpeeds();

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern FloorSpeeds GetFloorSpeedsNormalized();

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern double GetFloorSpeedMagnitude();

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern Ring GetRing();

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        [return: MarshalAs(UnmanagedType.I1)]
        public static extern bool GetTreadmillRunState([MarshalAs(UnmanagedType.I1)] bool checkLock);

        // IntPtr, never string: see TakeSerialNumber.
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern IntPtr GetTreadmillSerialNumber();

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern TreadmillInfo GetTreadmillInfo();

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        [return: MarshalAs(UnmanagedType.I1)]
        public static extern bool GetAPILock();

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern void SetBrake([MarshalAs(UnmanagedType.I1)] bool brake);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern void SetTreadmillRunState([MarshalAs(UnmanagedType.I1)] bool enabled);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern void SetManualSpeeds(double xSpeed, double ySpeed);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern void SetUserPosition(double x, double y);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern void SetUserRotation(double w, double x, double y, double z);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern void SetAPILock([MarshalAs(UnmanagedType.I1)] bool locked);

        // The Windows DLL allocates with msvcrt (its import table names it):
        // its buffers go back to msvcrt's free, not to the runtime .NET uses.
        [DllImport("msvcrt", EntryPoint = "free", CallingConvention = CallingConvention.Cdecl)]
        private static extern void MsvcrtFree(IntPtr buffer);

        /// <summary>
        /// Copies the string GetTreadmillSerialNumber returned. A non-empty result
        /// is a malloc'd buffer the caller owns: on Windows it is released with
        /// msvcrt's free, the DLL's C runtime; on Linux and macOS with the C
        /// runtime's free (what FreeHGlobal calls there).
        /// An empty result may be the library's constant string and is never freed.
        /// </summary>
        public static string TakeSerialNumber(IntPtr result)
        {
            if (result == IntPtr.Zero) return string.Empty;
            string text = ReadUtf8(result);
            if (text.Length == 0) return text;
            if (IsWindows) MsvcrtFree(result);
            else Marshal.FreeHGlobal(result);
            return text;
        }

        /// <summary>
        /// The NUL-terminated string at <paramref name="text"/>, decoded as UTF-8
        /// on every platform (an ANSI read would use the Windows code page).
        /// </summary>
        public static string ReadUtf8(IntPtr text)
        {
            int length = 0;
            while (Marshal.ReadByte(text, length) != 0) ++length;
            var bytes = new byte[length];
            Marshal.Copy(text, bytes, 0, length);
            return Encoding.UTF8.GetString(bytes);
        }

        private static readonly bool IsWindows = Environment.OSVersion.Platform == PlatformID.Win32NT;
    }

    /// <summary>
    /// Loads the native libraries on the binding's first call, so that a library
    /// that cannot be loaded is reported with the places it was looked for.
    /// </summary>
    public static class NativeLoading
    {
        // Only ever set to true: two threads racing here both load, harmlessly.
        private static bool coreLoaded;

        /// <exception cref="DllNotFoundException">Lists the paths looked at.</exception>
        public static void LoadCore()
        {
            if (coreLoaded) return;
            try { NativeMethods.CheckConnection(); }
            catch (DllNotFoundException error) { throw NotFound(NativeMethods.Library, error); }
            coreLoaded = true;
        }

        /// <summary>The error for a library that did not load, with the paths looked at.</summary>
        public static DllNotFoundException NotFound(string library, DllNotFoundException error)
        {
            string file = FileName(library);
            var text = new StringBuilder();
            text.AppendFormat("The native library {0} ({1}) could not be loaded: {2}\nLooked in:", library, file,
                              error.Message);
            foreach (string folder in Folders())
            {
                string path = Path.Combine(folder, file);
                text.AppendFormat("\n  {0} ({1})", path, File.Exists(path)
                    ? "present but not loadable: another CPU or platform, or a library it needs is missing"
                    : "absent");
            }
            text.AppendFormat("\nPut it beside the application (Unity: Assets/Plugins/x86_64) or on {0}.", LoaderVariable);
            return new DllNotFoundException(text.ToString(), error);
        }

        private static string FileName(string library)
        {
            if (IsWindows) return library + ".dll";
            return Environment.OSVersion.Platform == PlatformID.MacOSX ? "lib" + library + ".dylib" : "lib" + library + ".so";
        }

        // The folders the runtime searches: the binding's, the application's,
        // then the loader path.
        private static IEnumerable<string> Folders()
        {
            var folders = new List<string>();
            string location = typeof(NativeLoading).Assembly.Location;
            if (!string.IsNullOrEmpty(location)) folders.Add(Path.GetDirectoryName(location));
            folders.Add(AppDomain.CurrentDomain.BaseDirectory);
            string loaderPath = Environment.GetEnvironmentVariable(LoaderVariable) ?? "";
            foreach (string folder in loaderPath.Split(Path.PathSeparator))
            {
                if (folder.Length > 0) folders.Add(folder);
            }
            var distinct = new List<string>();
            foreach (string folder in folders)
            {
                string full = Path.GetFullPath(folder);
                if (full.Length > 1) full = full.TrimEnd(Path.DirectorySeparatorChar, Path.AltDirectorySeparatorChar);
                if (!distinct.Contains(full)) distinct.Add(full);
            }
            return distinct;
        }

        private static string LoaderVariable { get { return IsWindows ? "PATH" : "LD_LIBRARY_PATH"; } }

        private static readonly bool IsWindows = Environment.OSVersion.Platform == PlatformID.Win32NT;
    }

    /// <summary>A failed connect: the library's status code, the address tried and what it means.</summary>
    public class TreadmillException : Exception
    {
        public int StatusCode { get; private set; }

        public TreadmillException(int statusCode, bool local = true)
            : base(string.Format("Cannot connect to the treadmill controller at {0}: status {1} ({2})",
                                 Treadmill.ControllerAddress(local), statusCode, Treadmill.DescribeStatus(statusCode)))
        {
            StatusCode = statusCode;
        }
    }

    /// <summary>
    /// The treadmill behind the controller process. One per application; its
    /// calls are serialised, so several threads may use it. Speed, position and
    /// rotation commands are queued and leave
    /// with the next query or on/off command; a value set twice before that keeps
    /// its first value.
    /// </summary>
    public sealed class Treadmill : IDisposable
    {
        // The core takes one caller at a time; every Treadmill shares this lock.
        private static readonly object CoreLock = new object();
        private bool disposed;

        private Treadmill() { }

        /// <summary>Connects (this machine when local, else the local network) and checks the controller.</summary>
        /// <exception cref="TreadmillException">The connect or the handshake failed.</exception>
        public static Treadmill Connect(bool local = true)
        {
            var treadmill = new Treadmill();
            treadmill.Reconnect(local);
            return treadmill;
        }

        /// <summary>Connects again, for instance after Connected turned false.</summary>
        public void Reconnect(bool local = true)
        {
            NativeLoading.LoadCore();
            int statusCode;
            int result;
            lock (CoreLock) result = NativeMethods.InitInternal(out statusCode, local);
            if (result != 1) throw new TreadmillException(statusCode, local);
        }

        /// <summary>The environment variable the library reads a controller's host[:port] from.</summary>
        public const string AddressVariable = "QUORVELLAN_CONTROLLER";

        // host[:port] or [IPv6]:port as the library reads it; it connects
        // nowhere for anything else (and prints why).
        private static readonly Regex HostPort =
            new Regex(@"^(\[[0-9A-Fa-f.]*:[0-9A-Fa-f:.]*\]|[A-Za-z0-9._-]{1,253})(?::([0-9]{1,5}))?$");

        /// <summary>What the library tried, for messages: QUORVELLAN_CONTROLLER when set, else the default.</summary>
        public static string ControllerAddress(bool local)
        {
            string chosen = (Environment.GetEnvironmentVariable(AddressVariable) ?? "").Trim();
            if (chosen.Length == 0) return local ? "localhost:6158" : "the network host built into the library, port 6158";
            Match match = HostPort.Match(chosen);
            int port = match.Success && match.Groups[2].Success ? int.Parse(match.Groups[2].Value) : 6158;
            if (!match.Success || port < 1 || port > 65535)
                return "nothing: " + AddressVariable + "=\"" + chosen + "\" is not host[:port], see the library's Error: line";
            return match.Groups[1].Value + ":" + port + " (from " + AddressVariable + ")";
        }

        public static string DescribeStatus(int statusCode)
        {
            switch ((ConnectStatus)statusCode)
            {
                case ConnectStatus.Connected: return "connected, handshake passed";
                case ConnectStatus.VersionTooOld:
                    return "the controller's version is below the required minimum: update the controller";
                case ConnectStatus.NotLocalController:
                    return "no reply, or the peer is not the local controller interface: another program on that " +
                           "port, or a network controller (connect with local: false)";
                case ConnectStatus.NotRemoteController:
                    return "no reply, or the peer is not the network controller: another program on that port, " +
                           "or the local controller interface (connect with local: true)";
                case ConnectStatus.Failure:
                    return "nothing accepted the connection, or the handshake reply was malformed: is the " +
                           "controller (or quorvellan-controller-sim) running at that host and port?";
                default: return "unknown status code";
            }
        }

        // Queries: one exchange each, except Info and ApiLock; fallbacks on failure.

        public bool Connected { get { lock (CoreLock) return NativeMethods.CheckConnection() == 1; } }
        public FloorSpeeds FloorSpeeds { get { lock (CoreLock) return NativeMethods.GetFloorSpeeds(); } }
        public FloorSpeeds FloorSpeedsNormalized { get { lock (CoreLock) return NativeMethods.GetFloorSpeedsNormalized(); } }
        public double FloorSpeedMagnitude { get { lock (CoreLock) return NativeMethods.GetFloorSpeedMagnitude(); } }
        public Ring Ring { get { lock (CoreLock) return NativeMethods.GetRing(); } }

        /// <summary>True when the treadmill runs.</summary>
        public bool Running { get { lock (CoreLock) return NativeMethods.GetTreadmillRunState(false); } }

        /// <summary>True when the treadmill runs and the controller has not locked it.</summary>
        public bool RunningAndUnlocked { get { lock (CoreLock) return NativeMethods.GetTreadmillRunState(true); } }

        /// <summary>The serial number, or "" when it cannot be read.</summary>
        public string SerialNumber { get { lock (CoreLock) return NativeMethods.TakeSerialNumber(NativeMethods.GetTreadmillSerialNumber()); } }

        public TreadmillInfo Info { get { lock (CoreLock) return NativeMethods.GetTreadmillInfo(); } }
        public bool ApiLock { get { lock (CoreLock) return NativeMethods.GetAPILock(); } }

        // Commands. SetBrake and SetRunState send at once; the others are queued.

        public void SetBrake(bool applied) { lock (CoreLock) NativeMethods.SetBrake(applied); }
        public void SetRunState(bool enabled) { lock (CoreLock) NativeMethods.SetTreadmillRunState(enabled); }
        public void SetManualSpeeds(double x, double y) { lock (CoreLock) NativeMethods.SetManualSpeeds(x, y); }
        /// <summary>The user's floor point in the treadmill's frame: x right, y forward, metres (see TreadmillPose).</summary>
        public void SetUserPosition(double x, double y) { lock (CoreLock) NativeMethods.SetUserPosition(x, y); }
        /// <summary>Where the user faces: a unit quaternion, w first, in the treadmill's frame (see TreadmillPose).</summary>
        public void SetUserRotation(double w, double x, double y, double z) { lock (CoreLock) NativeMethods.SetUserRotation(w, x, y, z); }

        /// <summary>Accepted and ignored by the library.</summary>
        public void SetApiLock(bool locked) { lock (CoreLock) NativeMethods.SetAPILock(locked); }

        /// <summary>Stops the library's network service (DeInitInternal).</summary>
        public void Dispose()
        {
            if (disposed) return;
            disposed = true;
            lock (CoreLock) NativeMethods.DeInitInternal();
        }
    }
}
