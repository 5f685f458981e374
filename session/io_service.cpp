#include "session/io_service.hpp"

namespace quorvellan {

namespace {
// A static object, built when the library loads (which also starts Windows
// Sockets) and destroyed when it unloads.
boost::asio::io_context ioService;
}  // namespace

boost::asio::io_context& LibraryIoService() { return ioService; }

}  // namespace quorvellan
