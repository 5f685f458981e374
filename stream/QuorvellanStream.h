/*
 * QuorvellanStream: the treadmill's state for a game loop that must never wait.
 *
 * A stream owns one thread of its own that drives the treadmill through the
 * entry points of QuorvellanAPI: it connects (and reconnects with back-off),
 * polls the controller at a fixed rate, and sends the commands the game gives.
 * The game reads the newest sample with QuorvellanStreamLatest, which copies a
 * record and never waits on the network or on the poll thread's exchanges.
 *
 * While a stream runs it is the only caller of QuorvellanAPI: do not call the
 * core's entry points yourself meanwhile. One stream per process at a time.
 *
 * Threads: Latest and every command may be called from any thread, at the
 * same time. Start and Stop are called by one thread; Stop frees the handle,
 * so no other thread may use it once Stop has begun.
 *
 * Commands:
 *  - Position, rotation and manual speeds are coalesced: the newest value goes
 *    out with the next poll, older ones not yet sent are dropped (a game sends
 *    its position every frame; the controller wants the latest).
 *  - Brake and run state are queued and sent in the order given, each in its
 *    own exchange, never merged. They are accepted only while the stream is
 *    connected: given at any other time, or still queued when the connection
 *    is lost, they are dropped and counted (droppedCommands), so a stale
 *    "enable" can never start the belts after a reconnect. The Set functions
 *    return 1 when the command was queued and 0 when it was dropped.
 *
 * Loading: the stream uses the core library, QuorvellanAPI, which goes in the
 * same folder. On Linux libQuorvellanStream.so needs the core under its
 * soname, libQuorvellanAPI.so.1, found beside it (RUNPATH $ORIGIN) or already
 * loaded under any file name (the bindings load the core first, so a folder
 * holding libQuorvellanAPI.so alone, as Unity's, serves both). On Windows
 * QuorvellanStream.dll loads QuorvellanAPI.dll at Start, not when it is
 * loaded itself: the one already in the process, else the one beside
 * QuorvellanStream.dll, else one on the DLL search path; none of them:
 * Start returns QUORVELLAN_STREAM_ERROR_NO_CORE. So a host that loads the
 * stream by full path from a folder off the search path (Unity's
 * Assets/Plugins/x86_64) needs nothing else. A core that the stream loaded
 * itself stays loaded until the process ends.
 *
 * Recording: a stream can write every sample, every command it sends and every
 * change of its connection to a JSON Lines file (docs/recording-format.md).
 * The poll thread only queues the lines; a writer thread of the recording's
 * own opens the file and writes them, so neither polling, Latest, Start nor
 * Stop ever waits for the file (a FIFO nobody reads, a stalled network file
 * system). Recording is switched on by QuorvellanStreamStartRecording, or for
 * any application without code changes by the environment variable
 * QUORVELLAN_RECORD=<file>, read at Start. Either way an existing file is
 * appended to, never overwritten: every Start adds a segment that begins with
 * its own header line. A file that cannot be written never stops the stream:
 * see QuorvellanStreamRecording.
 *
 * fork: a child process gets a copy of the stream whose thread runs only in
 * the parent. In the child, Stop releases that copy at once without waiting
 * for the thread or touching the parent's connection, and the child may then
 * Start a stream of its own; the parent's stream goes on unaffected.
 */
#ifndef QUORVELLAN_STREAM_H
#define QUORVELLAN_STREAM_H

#include <stdint.h>

#include "QuorvellanAPI.h"

#if defined(_WIN32)
#  if defined(QUORVELLAN_BUILDING_STREAM)
#    define QUORVELLAN_STREAM_API __declspec(dllexport)
#  else
#    define QUORVELLAN_STREAM_API __declspec(dllimport)
#  endif
#else
#  define QUORVELLAN_STREAM_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Connection state of a sample. */
#define QUORVELLAN_STREAM_STOPPED 0              /* no stream (Latest on NULL) */
#define QUORVELLAN_STREAM_CONNECTING 1           /* not connected yet since Start */
#define QUORVELLAN_STREAM_CONNECTED 2            /* handshake passed and polled */
#define QUORVELLAN_STREAM_LOST 3                 /* was connected; reconnecting */
#define QUORVELLAN_STREAM_CONTROLLER_TOO_OLD 4   /* last attempt: status 3; retrying */
#define QUORVELLAN_STREAM_WRONG_CONTROLLER 5     /* last attempt: status 4 or 5; retrying */

/* Results of QuorvellanStreamStart. */
#define QUORVELLAN_STREAM_OK 0
#define QUORVELLAN_STREAM_ERROR_ALREADY_RUNNING -1 /* a stream runs in this process */
#define QUORVELLAN_STREAM_ERROR_BAD_OPTIONS -2     /* see QuorvellanStreamOptions */
#define QUORVELLAN_STREAM_ERROR_NO_RESOURCES -3    /* no memory or no thread */
#define QUORVELLAN_STREAM_ERROR_NO_CORE -4         /* Windows: QuorvellanAPI.dll not found (see below) */

#define QUORVELLAN_STREAM_SERIAL_SIZE 64

typedef struct QuorvellanStream QuorvellanStream; /* opaque */

typedef struct QuorvellanStreamOptions {
    int32_t local;              /* nonzero: controller on this machine, else on the network */
    int32_t reconnectMinMs;     /* wait after the first failed connect, 1..60000 */
    int32_t reconnectMaxMs;     /* the wait doubles up to this, reconnectMinMs..60000 */
    int32_t reserved;           /* 0 */
    double pollRateHz;          /* polls per second, 1..1000 */
} QuorvellanStreamOptions;

/* One poll's view of the treadmill. Speeds, ring and run state are all zero
 * unless state is CONNECTED. */
typedef struct QuorvellanStreamSample {
    uint64_t sequence;              /* grows by one with every sample the poll thread publishes */
    int64_t timeNs;                 /* when the values were read: QuorvellanStreamClockNs();
                                       before the first good poll, when Start was called, so
                                       ClockNs() - timeNs is the time without readings */
    int32_t state;                  /* QUORVELLAN_STREAM_CONNECTING ... */
    int32_t lastStatus;             /* status of the last InitInternal (QUORVELLAN_STATUS_*), -1 before */
    FloorSpeeds floorSpeeds;        /* raw; the three speed values come from one reply */
    FloorSpeeds floorSpeedsNormalized; /* raw / 1.5, each limited to [-1.5, 1.5] */
    double floorSpeedMagnitude;     /* length of the raw vector */
    Ring ring;
    int32_t running;                /* enabled */
    int32_t runningUnlocked;        /* enabled and not locked */
    char serialNumber[QUORVELLAN_STREAM_SERIAL_SIZE]; /* read once per connection, NUL-terminated */
    uint64_t exchanges;             /* exchanges attempted with the controller */
    uint64_t failedReads;           /* polls whose reply could not be read */
    uint64_t reconnects;            /* connections made after a connection was lost */
    uint64_t droppedCommands;       /* brake / run-state commands dropped (see above) */
} QuorvellanStreamSample;

#if defined(__cplusplus)
static_assert(sizeof(QuorvellanStreamSample) == 200, "the sample's layout is fixed for the bindings");
static_assert(sizeof(QuorvellanStreamOptions) == 24, "the options' layout is fixed for the bindings");
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
_Static_assert(sizeof(QuorvellanStreamSample) == 200, "the sample's layout is fixed for the bindings");
_Static_assert(sizeof(QuorvellanStreamOptions) == 24, "the options' layout is fixed for the bindings");
#endif

/* Local controller, 250 polls per second, reconnect after 100 ms doubling up to 1 s. */
QUORVELLAN_STREAM_API void QuorvellanStreamDefaultOptions(QuorvellanStreamOptions* options);

/* Starts the poll thread and returns at once (the connect happens in the
 * background). options may be NULL for the defaults. On success writes the
 * handle and returns QUORVELLAN_STREAM_OK; otherwise a negative error. */
QUORVELLAN_STREAM_API int QuorvellanStreamStart(const QuorvellanStreamOptions* options,
                                                QuorvellanStream** stream);

/* Start, recording to the file at recordPath (created, or appended to with a
 * segment of its own), a UTF-8 name (on Windows a name that is not valid UTF-8
 * is read in the ANSI code page). NULL or "" records to $QUORVELLAN_RECORD when set, as
 * Start does. Returns at once: the file is opened by the recording's thread,
 * and one that cannot be opened does not fail the start
 * (QuorvellanStreamRecording tells). */
QUORVELLAN_STREAM_API int QuorvellanStreamStartRecording(const QuorvellanStreamOptions* options,
                                                         const char* recordPath, QuorvellanStream** stream);

typedef struct QuorvellanStreamRecordingStatus {
    int32_t recording;        /* 1 while a file is open (0 until the writer opened it, or when it could not) */
    int32_t lastError;        /* errno of the last failed open or write (EAGAIN: the file fell
                                 behind and the queue was full), 0 if none */
    uint64_t linesWritten;    /* lines the file took whole */
    uint64_t linesLost;       /* lines dropped: the open or the write failed, or the queue was full */
} QuorvellanStreamRecordingStatus;

/* The recording's state; all zero when the stream does not record. Any thread. */
QUORVELLAN_STREAM_API void QuorvellanStreamRecording(const QuorvellanStream* stream,
                                                     QuorvellanStreamRecordingStatus* status);

/* Exchange times: how long each exchange of a poll (ring, run state, floor
 * speeds; from the request's write to the reply's read, or to the read
 * deadline) took, counted in fixed buckets, for monitoring. */
#define QUORVELLAN_STREAM_EXCHANGE_BUCKETS 12

typedef struct QuorvellanStreamExchangeHistogram {
    uint64_t count;           /* exchanges timed since Start: the sum of bucketCounts */
    double sumSeconds;        /* their total time */
    double upperBoundSeconds[QUORVELLAN_STREAM_EXCHANGE_BUCKETS]; /* ascending; the last is +infinity */
    uint64_t bucketCounts[QUORVELLAN_STREAM_EXCHANGE_BUCKETS];    /* above the bound before, up to this one */
} QuorvellanStreamExchangeHistogram;

#if defined(__cplusplus)
static_assert(sizeof(QuorvellanStreamExchangeHistogram) == 208, "the histogram's layout is fixed for the bindings");
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
_Static_assert(sizeof(QuorvellanStreamExchangeHistogram) == 208, "the histogram's layout is fixed for the bindings");
#endif

/* The exchange times so far; all zero for a NULL stream. Any thread, never waits. */
QUORVELLAN_STREAM_API void QuorvellanStreamExchangeTimes(const QuorvellanStream* stream,
                                                         QuorvellanStreamExchangeHistogram* histogram);

/* Text for a result of Start. */
QUORVELLAN_STREAM_API const char* QuorvellanStreamErrorText(int result);

/* Ends the poll thread, disconnects (DeInitInternal) and frees the handle.
 * Returns within 200 ms in every state, the recording's included (a writer
 * still blocked on its file is left to end by itself). In a child of fork it
 * only releases the parent's stream (see above). NULL is ignored. */
QUORVELLAN_STREAM_API void QuorvellanStreamStop(QuorvellanStream* stream);

/* Copies the newest sample. Never waits on I/O nor on a sample being
 * published. NULL stream: a zero sample with state STOPPED. */
QUORVELLAN_STREAM_API void QuorvellanStreamLatest(const QuorvellanStream* stream, QuorvellanStreamSample* sample);

/* The steady clock of QuorvellanStreamSample.timeNs, in nanoseconds. */
QUORVELLAN_STREAM_API int64_t QuorvellanStreamClockNs(void);

/* Coalesced: the newest value goes out with the next poll. */
QUORVELLAN_STREAM_API void QuorvellanStreamSetUserPosition(QuorvellanStream* stream, double x, double y);
QUORVELLAN_STREAM_API void QuorvellanStreamSetUserRotation(QuorvellanStream* stream,
                                                           double w, double x, double y, double z);
QUORVELLAN_STREAM_API void QuorvellanStreamSetManualSpeeds(QuorvellanStream* stream, double x, double y);

/* Queued in order while connected (returns 1); dropped otherwise (returns 0). */
QUORVELLAN_STREAM_API int QuorvellanStreamSetBrake(QuorvellanStream* stream, int applied);
QUORVELLAN_STREAM_API int QuorvellanStreamSetRunState(QuorvellanStream* stream, int enabled);

#ifdef __cplusplus
}
#endif

#endif /* QUORVELLAN_STREAM_H */
