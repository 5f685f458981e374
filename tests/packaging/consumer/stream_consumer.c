/* Uses the installed stream library through its installed headers only.
 * usage: stream_consumer <expected serial number>
 * A controller answering the local handshake must listen on port 6158. */
#include <QuorvellanStream.h>

#include <stdio.h>
#include <string.h>

#if defined(_WIN32)
#include <windows.h>
static void pause_10ms(void) { Sleep(10); }
#else
#include <time.h>
static void pause_10ms(void) {
    const struct timespec wait = {0, 10 * 1000 * 1000};
    nanosleep(&wait, NULL);
}
#endif

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: stream_consumer <expected serial number>\n");
        return 2;
    }
    QuorvellanStreamOptions options;
    QuorvellanStreamDefaultOptions(&options);
    QuorvellanStream* stream = NULL;
    const int started = QuorvellanStreamStart(&options, &stream);
    if (started != QUORVELLAN_STREAM_OK) {
        fprintf(stderr, "stream_consumer: FAILED to start: %s\n", QuorvellanStreamErrorText(started));
        return 1;
    }
    /* Generous: the first connection may take seconds on a loaded machine or under Wine. */
    QuorvellanStreamSample sample;
    for (int waited = 0; waited < 3000; ++waited) {
        QuorvellanStreamLatest(stream, &sample);
        if (sample.state == QUORVELLAN_STREAM_CONNECTED) break;
        pause_10ms();
    }
    QuorvellanStreamStop(stream);
    if (sample.state != QUORVELLAN_STREAM_CONNECTED || strcmp(sample.serialNumber, argv[1]) != 0) {
        fprintf(stderr, "stream_consumer: FAILED: state %d, status %d, serial '%s'\n", (int)sample.state,
                (int)sample.lastStatus, sample.serialNumber);
        return 1;
    }
    printf("stream_consumer: ok, sample %llu from %s\n", (unsigned long long)sample.sequence, sample.serialNumber);
    return 0;
}
