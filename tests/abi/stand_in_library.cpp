// The seventeen entry points with empty bodies, built against a copy of the
// public header that the ABI test edits (the same edit applies to this file,
// so a changed signature still matches): only the ABI matters here.
#include "QuorvellanAPI.h"

extern "C" {
int InitInternal(int*, bool) { return -1; }
int DeInitInternal(void) { return 1; }
int CheckConnection(void) { return 0; }
FloorSpeeds GetFloorSpeeds(void) { return {}; }
FloorSpeeds GetFloorSpeedsNormalized(void) { return {}; }
double GetFloorSpeedMagnitude(void) { return 0; }
Ring GetRing(void) { return {}; }
bool GetTreadmillRunState(bool) { return false; }
const char* GetTreadmillSerialNumber(void) { return ""; }
TreadmillInfo GetTreadmillInfo(void) { return {}; }
bool GetAPILock(void) { return false; }
void SetBrake(bool) {}
void SetTreadmillRunState(bool) {}
void SetManualSpeeds(double xSpeed, double ySpeed) { (void)xSpeed, (void)ySpeed; }
void SetUserPosition(double, double) {}
void SetUserRotation(double, double, double, double) {}
void SetAPILock(bool) {}
}
