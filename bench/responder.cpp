// A controller that answers as fast as this machine allows: every message gets
// a reply of a chosen size, written at once, its serial number stamped with a
// count so that no two in a row are the same. It serves the raw socket
// side and the library side of the benchmark alike, each on its own
// connection, so both see the same reply bytes from the same process.
//
// usage: quorvellan-bench-responder <reply bytes>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>
#include <thread>

#include <boost/asio.hpp>

#include "bench/replies.hpp"
#include "messages/protocol.hpp"

namespace asio = boost::asio;
using asio::ip::tcp;

namespace {

// The library speaks in strict turns and its messages are a few hundred bytes
// of compact JSON, so a read ending in '}' holds one whole message; a read
// ending elsewhere waits for the rest.
void Serve(tcp::socket socket, const std::string& reply) {
    socket.set_option(tcp::no_delay(true));
    char buffer[4096];
    std::string stamped = reply;
    unsigned long replies = 0;
    boost::system::error_code error;
    while (!error) {
        std::size_t bytes = socket.read_some(asio::buffer(buffer), error);
        if (error || bytes == 0 || buffer[bytes - 1] != '}') continue;
        quorvellan::bench::StampReply(stamped, ++replies);
        asio::write(socket, asio::buffer(stamped), error);
    }
}

void Listen(tcp::acceptor& acceptor, const std::string& reply) {
    for (;;) {
        tcp::socket socket = acceptor.accept();
        std::thread(Serve, std::move(socket), std::cref(reply)).detach();
    }
}

// Binds the loopback address of one family; false when the family is absent.
bool Bind(tcp::acceptor& acceptor, const tcp::endpoint& endpoint) {
    boost::system::error_code error;
    acceptor.open(endpoint.protocol(), error);
    if (!error) acceptor.set_option(tcp::acceptor::reuse_address(true), error);
    if (!error && endpoint.address().is_v6()) acceptor.set_option(asio::ip::v6_only(true), error);
    if (!error) acceptor.bind(endpoint, error);
    if (!error) acceptor.listen(asio::socket_base::max_listen_connections, error);
    return !error;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: " << argv[0] << " <reply bytes>\n";
        return 2;
    }
    const std::string reply = quorvellan::bench::ReplyOfSize(std::strtoul(argv[1], nullptr, 10));
    const auto port = static_cast<unsigned short>(std::stoi(quorvellan::protocol::kPort));

    asio::io_context io;
    tcp::acceptor v4(io), v6(io);
    if (!Bind(v4, {asio::ip::address_v4::loopback(), port})) {
        std::cerr << "cannot listen on 127.0.0.1:" << port << "\n";
        return 1;
    }
    if (Bind(v6, {asio::ip::address_v6::loopback(), port})) std::thread(Listen, std::ref(v6), std::cref(reply)).detach();
    Listen(v4, reply);
}
