/*
 * QuorvellanAPI: client library for two-dimensional treadmills.
 *
 * The library talks to the treadmill's controller process over one TCP
 * connection (port 6158, on this machine or on the local network; another
 * address may be given at run time, see InitInternal). Every call
 * is synchronous and bounded: 3 s to connect, 100 ms for each write and read.
 *
 * Threading: call the library from one thread at a time (usually the game or
 * render loop). DeInitInternal alone may also come from another thread while a
 * call is in progress: it ends that call's wait. Waits run on the calling
 * thread; the network library underneath keeps threads of its own: one for
 * name look-ups (from the first InitInternal on) and, on Windows, one for
 * timers. None of them ever calls into the application.
 *
 * Failures never raise and never crash the caller: a query that fails returns
 * the fallback documented below, a command that fails returns normally.
 * When a reply cannot be read the library prints one line "Error: <reason>"
 * on standard output; it prints nothing else, apart from the same kind of line
 * for a malformed QUORVELLAN_CONTROLLER or a controller host that cannot be
 * looked up (see InitInternal). A reply longer than 2048 bytes,
 * or bytes that are not one JSON value, end the connection (CheckConnection
 * then says 0): where such a reply ends is unknown, so a later reply could
 * otherwise be misread as the answer to a later call.
 */
#ifndef QUORVELLAN_API_H
#define QUORVELLAN_API_H

#ifndef __cplusplus
#include <stdbool.h>
#endif

#if defined(_WIN32)
#  if defined(QUORVELLAN_BUILDING_LIBRARY)
#    define QUORVELLAN_API __declspec(dllexport)
#  else
#    define QUORVELLAN_API __declspec(dllimport)
#  endif
#  define QUORVELLAN_CALL __cdecl
#else
#  define QUORVELLAN_API __attribute__((visibility("default")))
#  define QUORVELLAN_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Status codes written by InitInternal. */
#define QUORVELLAN_STATUS_CONNECTED 0            /* connected, handshake passed */
#define QUORVELLAN_STATUS_VERSION_TOO_OLD 3      /* controller older than required */
#define QUORVELLAN_STATUS_NOT_LOCAL_CONTROLLER 4 /* local: no reply, bad JSON or wrong name */
#define QUORVELLAN_STATUS_NOT_REMOTE_CONTROLLER 5 /* remote: no reply, bad JSON or wrong name */
#define QUORVELLAN_STATUS_FAILURE 8              /* no connection, or a malformed reply */

/* Floor belt speeds along x and y. */
typedef struct FloorSpeeds {
    double x;
    double y;
} FloorSpeeds;

/* Ring position as the controller reports it; w is 0.45 after a good read. */
typedef struct Ring {
    double x;
    double y;
    double z;
    double w;
} Ring;

/* Reserved treadmill information: always returned all zero. */
typedef struct TreadmillInfo {
    unsigned char reserved[96];
} TreadmillInfo;

#if defined(__cplusplus)
static_assert(sizeof(FloorSpeeds) == 16, "FloorSpeeds is two doubles");
static_assert(sizeof(Ring) == 32, "Ring is four doubles");
static_assert(sizeof(TreadmillInfo) == 96, "TreadmillInfo is 96 bytes");
static_assert(sizeof(bool) == 1, "bool is one byte");
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
_Static_assert(sizeof(FloorSpeeds) == 16, "FloorSpeeds is two doubles");
_Static_assert(sizeof(Ring) == 32, "Ring is four doubles");
_Static_assert(sizeof(TreadmillInfo) == 96, "TreadmillInfo is 96 bytes");
_Static_assert(sizeof(bool) == 1, "bool is one byte");
#endif

/* ---- Lifecycle ---------------------------------------------------------- */

/* Connects to the controller and checks it by a handshake: on this machine
 * ("localhost") when local is true, else on the local network. Call it first;
 * calling it again reconnects. Returns 1 on success, -1 on failure, and writes
 * a QUORVELLAN_STATUS_* code through statusCode (when it is not NULL).
 *
 * Controller address: port 6158 on "localhost" (local) or on the network host
 * the library was built for, unless the environment variable
 * QUORVELLAN_CONTROLLER holds another one, read by every InitInternal:
 *     QUORVELLAN_CONTROLLER=host[:port]    e.g. 192.168.1.20, sim-pc:7000,
 *                                          [::1]:7000
 * It applies to both kinds of connection (local still chooses the handshake);
 * the port defaults to 6158; white space around the value is ignored. Unset or
 * empty: the default. A malformed value (empty host, a port outside 1..65535,
 * characters no host name has, an IPv6 address without brackets, a scheme such
 * as "http://") connects to nothing: the call prints one line "Error: ..."
 * naming it, closes any connection it had and fails with
 * QUORVELLAN_STATUS_FAILURE, so that a mistyped address never drives the
 * treadmill on the default one. A host name that cannot be looked up also
 * gets one line naming it. Each line is printed again only for another value.
 * On Windows the variable is read from the process's environment block, so a
 * value set at run time (SetEnvironmentVariable, .NET's
 * Environment.SetEnvironmentVariable, Python's os.environ) counts. */
QUORVELLAN_API int QUORVELLAN_CALL InitInternal(int* statusCode, bool local);

/* Closes the connection and stops the library's network service. Always
 * returns 1. May be called from any thread: a call in progress on another
 * thread returns its failure result within milliseconds, and DeInitInternal
 * returns once it has. Afterwards every call returns its fallback at once,
 * printing nothing, until InitInternal connects again. */
QUORVELLAN_API int QUORVELLAN_CALL DeInitInternal(void);

/* 1 while connected; 0 before InitInternal, after a failed InitInternal, a
 * failed send, a reply that could not be framed, or DeInitInternal. No I/O. */
QUORVELLAN_API int QUORVELLAN_CALL CheckConnection(void);

/* ---- Floor speed and ring queries (one exchange each) ------------------- */

/* Raw belt speeds. On failure (no connection, no or bad reply): {0, 0}; a
 * member missing from the reply reads 0. */
QUORVELLAN_API FloorSpeeds QUORVELLAN_CALL GetFloorSpeeds(void);

/* Belt speeds divided by 1.5, each limited to [-1.5, 1.5]. On failure {0, 0}. */
QUORVELLAN_API FloorSpeeds QUORVELLAN_CALL GetFloorSpeedsNormalized(void);

/* Length of the raw belt speed vector. On failure 0. */
QUORVELLAN_API double QUORVELLAN_CALL GetFloorSpeedMagnitude(void);

/* Ring position; w is 0.45 after a good read. On failure all four are 0. */
QUORVELLAN_API Ring QUORVELLAN_CALL GetRing(void);

/* ---- Run state and identity --------------------------------------------- */

/* True when the treadmill is enabled; with checkLock, only when it is also not
 * locked. On failure false. One exchange. */
QUORVELLAN_API bool QUORVELLAN_CALL GetTreadmillRunState(bool checkLock);

/* The treadmill's serial number as a NUL-terminated string. On success it is a
 * new buffer on every call, allocated with malloc: the caller owns it and
 * releases it with free() of the same C runtime (or leaks it). On failure it
 * is a constant empty string owned by the library: never free that one (it is
 * the only result whose first byte is NUL and that is not a fresh buffer). */
QUORVELLAN_API const char* QUORVELLAN_CALL GetTreadmillSerialNumber(void);

/* Always 96 zero bytes. No I/O. */
QUORVELLAN_API TreadmillInfo QUORVELLAN_CALL GetTreadmillInfo(void);

/* Always false. No I/O. */
QUORVELLAN_API bool QUORVELLAN_CALL GetAPILock(void);

/* ---- Commands ------------------------------------------------------------ */
/* Before InitInternal the commands do nothing. A key set twice before it is
 * sent keeps its first value. */

/* Apply (true) or release the brake. Sends at once (one exchange). */
QUORVELLAN_API void QUORVELLAN_CALL SetBrake(bool brake);

/* Enable (true) or stop the treadmill. Sends at once (one exchange). */
QUORVELLAN_API void QUORVELLAN_CALL SetTreadmillRunState(bool enabled);

/* Manual belt speeds. Queued: sent with the next exchange of any call. */
QUORVELLAN_API void QUORVELLAN_CALL SetManualSpeeds(double xSpeed, double ySpeed);

/* The user's position and rotation are in the treadmill's frame: x to the
 * right, y forward (the treadmill's forward direction), z up; right-handed,
 * in metres, the origin on the floor at the treadmill's centre. A caller with
 * other axes converts its pose, taken relative to the treadmill's centre and
 * forward, first:
 *   Unity (x right, y up, z forward; left-handed): a position (x, y, z) is
 *   the treadmill's (x, z, y); a rotation (x, y, z, w) is w, -x, -z, -y here
 *   (the C# binding's TreadmillPose.FromUnity does both);
 *   OpenXR (x right, y up, -z forward; right-handed): a position (x, y, z) is
 *   (x, -z, y); a rotation (w, x, y, z) is w, x, -z, y (as the OpenXR layer
 *   sends it). */

/* Where the user stands: x (right) and y (forward) in metres from the
 * treadmill's centre. Queued: sent with the next exchange of any call. */
QUORVELLAN_API void QUORVELLAN_CALL SetUserPosition(double x, double y);

/* Which way the user faces: a unit quaternion in the frame above, its scalar
 * part w first, then x, y, z. It turns the treadmill's axes into the user's:
 * the user faces the rotated +y, with the rotated +z up. 1, 0, 0, 0: upright,
 * facing the treadmill's forward. Turned by an angle a about z, counter-
 * clockwise seen from above (to the left) for a > 0, to the right for a < 0:
 * cos(a/2), 0, 0, sin(a/2). Queued: sent with the next exchange. */
QUORVELLAN_API void QUORVELLAN_CALL SetUserRotation(double w, double x, double y, double z);

/* Accepted and ignored; GetAPILock stays false. */
QUORVELLAN_API void QUORVELLAN_CALL SetAPILock(bool locked);

#ifdef __cplusplus
}
#endif

#endif /* QUORVELLAN_API_H */
