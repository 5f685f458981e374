/* A game loop at 90 Hz, as an application writes it, timing what the game
 * thread spends on the treadmill each frame: either direct calls into
 * QuorvellanAPI (send the position, read speeds, ring and run state, and
 * reconnect whenever CheckConnection says 0), or the same through
 * QuorvellanStream (send the position, copy the latest sample).
 *
 * usage: quorvellan-bench-frames direct|stream SECONDS LABEL [--remote]
 * Prints one Markdown table row: game-thread time per frame (median, p99,
 * max), frames over the 11.1 ms budget, and for the stream the sample's age
 * (median, p99) and Latest alone (median, max). */
#define _POSIX_C_SOURCE 200809L
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "QuorvellanAPI.h"
#include "QuorvellanStream.h"

#define FRAME_NS 11111111LL

static long long NowNs(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000000000LL + now.tv_nsec;
}

static int CompareLongLong(const void* a, const void* b) {
    const long long x = *(const long long*)a, y = *(const long long*)b;
    return (x > y) - (x < y);
}

/* The q-th quantile of `count` values, sorting them in place. */
static long long Quantile(long long* values, size_t count, double q) {
    if (count == 0) return 0;
    qsort(values, count, sizeof *values, CompareLongLong);
    size_t index = (size_t)(q * (double)(count - 1) + 0.5);
    return values[index];
}

static void SleepUntil(long long deadlineNs) {
    struct timespec until = {(time_t)(deadlineNs / 1000000000LL), (long)(deadlineNs % 1000000000LL)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, NULL) != 0) {
    }
}

typedef struct Results {
    long long* frameNs;
    long long* ageNs;
    long long* latestNs;
    size_t frames, ages;
    unsigned long long reconnects;
} Results;

static long long DirectFrame(int local, unsigned long long* reconnects) {
    const long long start = NowNs();
    if (CheckConnection() == 0) {
        int status;
        InitInternal(&status, local != 0);
        ++*reconnects;
    }
    SetUserPosition(0.0, 0.1);
    FloorSpeeds speeds = GetFloorSpeeds();
    Ring ring = GetRing();
    bool running = GetTreadmillRunState(true);
    (void)speeds, (void)ring, (void)running;
    return NowNs() - start;
}

static void RunFrames(int stream_mode, int local, double seconds, Results* out) {
    const size_t frames = (size_t)(seconds * 90.0);
    QuorvellanStream* stream = NULL;
    if (stream_mode) {
        QuorvellanStreamOptions options;
        QuorvellanStreamDefaultOptions(&options);
        options.local = local;
        int result = QuorvellanStreamStart(&options, &stream);
        if (result != QUORVELLAN_STREAM_OK) {
            fprintf(stderr, "stream: %s\n", QuorvellanStreamErrorText(result));
            exit(1);
        }
    }
    long long next = NowNs();
    const long long end = next + (long long)(seconds * 1e9);
    QuorvellanStreamSample sample;
    /* Ends by frame count or by time, whichever comes first: a direct loop
     * against an unreachable host gets a frame every 3 s. */
    for (size_t frame = 0; frame < frames && NowNs() < end; ++frame) {
        if (stream_mode) {
            const long long start = NowNs();
            QuorvellanStreamSetUserPosition(stream, 0.0, 0.1);
            const long long latestStart = NowNs();
            QuorvellanStreamLatest(stream, &sample);
            const long long done = NowNs();
            out->frameNs[out->frames++] = done - start;
            out->latestNs[frame] = done - latestStart;
            if (sample.state == QUORVELLAN_STREAM_CONNECTED && sample.timeNs != 0)
                out->ageNs[out->ages++] = QuorvellanStreamClockNs() - sample.timeNs;
        } else {
            out->frameNs[out->frames++] = DirectFrame(local, &out->reconnects);
        }
        next += FRAME_NS;
        const long long now = NowNs();
        if (next < now) next = now;  /* a late frame starts the next at once */
        SleepUntil(next);
    }
    if (stream_mode) {
        out->reconnects = sample.reconnects;
        const long long stopStart = NowNs();
        QuorvellanStreamStop(stream);
        fprintf(stderr, "stream stop: %.1f ms\n", (NowNs() - stopStart) / 1e6);
    } else {
        DeInitInternal();
    }
}

int main(int argc, char** argv) {
    if (argc < 4 || (strcmp(argv[1], "direct") != 0 && strcmp(argv[1], "stream") != 0)) {
        fprintf(stderr, "usage: %s direct|stream SECONDS LABEL [--remote]\n", argv[0]);
        return 2;
    }
    const int stream_mode = strcmp(argv[1], "stream") == 0;
    const double seconds = atof(argv[2]);
    const int local = !(argc > 4 && strcmp(argv[4], "--remote") == 0);
    if (seconds <= 0 || seconds > 600) {
        fprintf(stderr, "SECONDS must be in (0, 600]\n");
        return 2;
    }
    const size_t capacity = (size_t)(seconds * 90.0) + 1;
    Results results = {calloc(capacity, sizeof(long long)), calloc(capacity, sizeof(long long)),
                       calloc(capacity, sizeof(long long)), 0, 0, 0};
    if (!results.frameNs || !results.ageNs || !results.latestNs) return 1;
    RunFrames(stream_mode, local, seconds, &results);

    size_t over = 0;
    for (size_t i = 0; i < results.frames; ++i) over += results.frameNs[i] > FRAME_NS;
    const size_t frames = results.frames;
    const double median = Quantile(results.frameNs, frames, 0.5) / 1e3;
    const double p99 = Quantile(results.frameNs, frames, 0.99) / 1e3;
    const double max = Quantile(results.frameNs, frames, 1.0) / 1e3;
    printf("| %s | %s | %.1f | %.1f | %.1f | %zu of %zu | ", argv[3], argv[1], median, p99, max, over, frames);
    if (stream_mode) {
        if (results.ages > 0)
            printf("%.2f / %.2f | ", Quantile(results.ageNs, results.ages, 0.5) / 1e6,
                   Quantile(results.ageNs, results.ages, 0.99) / 1e6);
        else
            printf("no good poll | ");
        printf("%lld / %lld | %llu |\n", Quantile(results.latestNs, frames, 0.5), Quantile(results.latestNs, frames, 1.0),
               results.reconnects);
    } else {
        printf("- | - | %llu |\n", results.reconnects);
    }
    free(results.frameNs);
    free(results.ageNs);
    free(results.latestNs);
    return 0;
}
