// The one I/O service of the library. It lives as long as the library is
// loaded; every network object of the session is bound to it.
#pragma once

#include <boost/asio/io_context.hpp>

namespace quorvellan {

boost::asio::io_context& LibraryIoService();

// True once the library's static objects are being destroyed (the process
// exits, or the library unloads): from then on nothing may touch the service.
bool LibraryTornDown() noexcept;

}  // namespace quorvellan
