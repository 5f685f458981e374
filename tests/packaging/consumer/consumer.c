/* Uses the installed library through its installed header only.
 * usage: consumer <expected serial number>
 * A controller answering the local handshake must listen on port 6158. */
#include <QuorvellanAPI.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int failures = 0;

static void check(int condition, const char* what) {
    if (!condition) {
        fprintf(stderr, "consumer: FAILED %s\n", what);
        ++failures;
    }
}

static void check_fallbacks_before_connect(void) {
    FloorSpeeds speeds = GetFloorSpeeds();
    TreadmillInfo info = GetTreadmillInfo();
    static const TreadmillInfo zero;
    check(CheckConnection() == 0, "CheckConnection before InitInternal is 0");
    check(speeds.x == 0.0 && speeds.y == 0.0, "GetFloorSpeeds before InitInternal is {0, 0}");
    check(!GetTreadmillRunState(false), "GetTreadmillRunState before InitInternal is false");
    check(GetTreadmillSerialNumber()[0] == '\0', "GetTreadmillSerialNumber before InitInternal is empty");
    check(memcmp(&info, &zero, sizeof info) == 0, "GetTreadmillInfo is all zero");
    check(!GetAPILock(), "GetAPILock is false");
}

static void check_against_controller(const char* expected_serial) {
    int status = -1;
    check(InitInternal(&status, true) == 1 && status == QUORVELLAN_STATUS_CONNECTED, "InitInternal connects");
    const char* serial = GetTreadmillSerialNumber();
    check(strcmp(serial, expected_serial) == 0, "the controller's serial number");
    if (serial[0] != '\0') free((void*)serial);
    SetTreadmillRunState(true);
    check(GetTreadmillRunState(false), "the treadmill runs after SetTreadmillRunState(true)");
    check(GetRing().w == 0.45, "GetRing after a good read has w 0.45");
    check(DeInitInternal() == 1, "DeInitInternal returns 1");
}

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: consumer <expected serial number>\n");
        return 2;
    }
    check_fallbacks_before_connect();
    check_against_controller(argv[1]);
    if (failures == 0) printf("consumer: ok\n");
    return failures == 0 ? 0 : 1;
}
