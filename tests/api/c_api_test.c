/*
 * A caller written in plain C: includes the public header and calls every
 * entry point, checking that results come back by value as C sees them.
 *
 *   c_api_test            no controller may listen on port 6158
 *   c_api_test controller the runner's controller answers every message with
 *                         the reply it scripts (see c_api_runner_test.cpp)
 *
 * Exits 0 when every check holds; prints each failed check on stderr.
 */
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "QuorvellanAPI.h"

static int failures = 0;

#define CHECK(condition)                                                          \
    do {                                                                          \
        if (!(condition)) {                                                       \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            ++failures;                                                           \
        }                                                                         \
    } while (0)

static int IsAllZero(const TreadmillInfo* info) {
    static const TreadmillInfo zero;
    return memcmp(info, &zero, sizeof zero) == 0;
}

/* Every query gives its fallback; commands return normally. */
static void CheckFallbacks(void) {
    FloorSpeeds speeds = GetFloorSpeeds();
    CHECK(speeds.x == 0.0 && speeds.y == 0.0);
    speeds = GetFloorSpeedsNormalized();
    CHECK(speeds.x == 0.0 && speeds.y == 0.0);
    CHECK(GetFloorSpeedMagnitude() == 0.0);

    Ring ring = GetRing();
    CHECK(ring.x == 0.0 && ring.y == 0.0 && ring.z == 0.0 && ring.w == 0.0);

    CHECK(GetTreadmillRunState(false) == false);
    CHECK(GetTreadmillRunState(true) == false);
    const char* serial = GetTreadmillSerialNumber();
    CHECK(serial != NULL && serial[0] == '\0');

    TreadmillInfo info;
    memset(&info, 0xAB, sizeof info);
    info = GetTreadmillInfo();
    CHECK(sizeof info == 96);
    CHECK(IsAllZero(&info));
    CHECK(GetAPILock() == false);

    SetBrake(true);
    SetTreadmillRunState(true);
    SetManualSpeeds(1.0, 2.0);
    SetUserPosition(3.0, 4.0);
    SetUserRotation(1.0, 0.0, 0.0, 0.0);
    SetAPILock(true);
    CHECK(GetAPILock() == false);
}

static void WithoutController(void) {
    CHECK(CheckConnection() == 0);
    CHECK(DeInitInternal() == 1);
    CheckFallbacks();

    int status = -1;
    CHECK(InitInternal(&status, true) == -1);
    CHECK(status == QUORVELLAN_STATUS_FAILURE);
    CHECK(InitInternal(NULL, true) == -1);
    CHECK(CheckConnection() == 0);
    CheckFallbacks();
    CHECK(DeInitInternal() == 1);
}

/* The runner's controller answers the handshake, then every message with
 * floor speeds (0.75, -1.5), ring (1, 2, 3), enabled and unlocked, and the
 * serial number "ABC-123". */
static void WithController(void) {
    int status = -1;
    CHECK(InitInternal(&status, true) == 1);
    CHECK(status == QUORVELLAN_STATUS_CONNECTED);
    CHECK(CheckConnection() == 1);

    SetManualSpeeds(0.5, -0.25);
    FloorSpeeds speeds = GetFloorSpeeds();
    CHECK(speeds.x == 0.75 && speeds.y == -1.5);
    speeds = GetFloorSpeedsNormalized();
    CHECK(speeds.x == 0.5 && speeds.y == -1.0);
    CHECK(GetFloorSpeedMagnitude() == sqrt(0.75 * 0.75 + 1.5 * 1.5));

    Ring ring = GetRing();
    CHECK(ring.x == 1.0 && ring.y == 2.0 && ring.z == 3.0 && ring.w == 0.45);

    CHECK(GetTreadmillRunState(false) == true);
    CHECK(GetTreadmillRunState(true) == true);

    char* serial = (char*)GetTreadmillSerialNumber();
    CHECK(serial != NULL && strcmp(serial, "ABC-123") == 0);
    free(serial);

    TreadmillInfo info = GetTreadmillInfo();
    CHECK(IsAllZero(&info));

    SetUserPosition(1.5, -2.0);
    SetUserRotation(1.0, 0.0, 0.0, 0.0);
    SetBrake(true);
    SetTreadmillRunState(false);
    SetAPILock(true);
    CHECK(GetAPILock() == false);
    CHECK(CheckConnection() == 1);
    CHECK(DeInitInternal() == 1);
}

int main(int argc, char** argv) {
    if (argc > 1 && strcmp(argv[1], "controller") == 0) {
        WithController();
    } else {
        WithoutController();
    }
    if (failures) fprintf(stderr, "c_api_test: %d checks failed\n", failures);
    return failures ? EXIT_FAILURE : EXIT_SUCCESS;
}
