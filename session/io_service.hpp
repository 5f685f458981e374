// The one I/O service of the library. It lives as long as the library is
// loaded; every network object of the session is bound to it.
#pragma once

#include <boost/asio/io_context.hpp>

namespace quorvellan {

boost::asio::io_context& LibraryIoService();

}  // namespace quorvellan
