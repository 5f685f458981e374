#include "session/io_service.hpp"

namespace quorvellan {

namespace {
// A static object, built when the library loads (which also starts Windows
// Sockets) and destroyed when it unloads.
boost::asio::io_context ioService;

// Constant-initialised and trivially destructible: still readable by a call
// that comes after every static object of the library is gone, such as one
// from the application's own exit handler.
bool tornDown = false;

// Built after the service, so destroyed before it.
struct TeardownMark {
    ~TeardownMark() { tornDown = true; }
} teardownMark;
}  // namespace

boost::asio::io_context& LibraryIoService() { return ioService; }

bool LibraryTornDown() noexcept { return tornDown; }

}  // namespace quorvellan
