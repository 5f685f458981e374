// Calls into the library after its static objects are gone, as a host's late
// exit handler or static destructor may: every export must return its
// fallback and the process must exit cleanly. The library is loaded after our
// exit handler is registered, so its static objects are destroyed first.
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "api/QuorvellanAPI.h"

namespace {

void* library = nullptr;

template <typename Function>
Function* Resolve(const char* name) {
    void* symbol = dlsym(library, name);
    if (!symbol) {
        std::printf("missing export %s\n", name);
        std::_Exit(2);
    }
    return reinterpret_cast<Function*>(symbol);
}

void Expect(bool good, const char* what) {
    if (good) return;
    std::printf("after teardown: %s\n", what);
    std::_Exit(1);
}

void CallAfterTeardown() {
    Expect(Resolve<decltype(DeInitInternal)>("DeInitInternal")() == 1, "DeInitInternal did not return 1");
    Expect(Resolve<decltype(CheckConnection)>("CheckConnection")() == 0, "CheckConnection said connected");
    Expect(Resolve<decltype(GetFloorSpeeds)>("GetFloorSpeeds")().x == 0.0, "GetFloorSpeeds read something");
    Expect(std::strcmp(Resolve<decltype(GetTreadmillSerialNumber)>("GetTreadmillSerialNumber")(), "") == 0,
           "GetTreadmillSerialNumber read something");
    Resolve<decltype(SetBrake)>("SetBrake")(true);
    Resolve<decltype(SetUserPosition)>("SetUserPosition")(1.0, 2.0);
    int status = -1;
    Expect(Resolve<decltype(InitInternal)>("InitInternal")(&status, true) == -1 && status == 8,
           "InitInternal did not fail with status 8");
    std::printf("every export fell back after teardown\n");
    std::fflush(stdout);
    std::_Exit(0);  // the only way out with status 0: main returns 3
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::printf("usage: %s LIBRARY\n", argv[0]);
        return 2;
    }
    std::atexit(CallAfterTeardown);
    library = dlopen(argv[1], RTLD_NOW);
    if (!library) {
        std::printf("cannot load %s: %s\n", argv[1], dlerror());
        return 2;
    }
    // A session exists (connected or not) when the process exits.
    int status = -1;
    Resolve<decltype(InitInternal)>("InitInternal")(&status, true);
    Resolve<decltype(GetFloorSpeeds)>("GetFloorSpeeds")();
    return 3;
}
