// Shared by the stream's tests: starting a stream, waiting for a sample, and
// a port-6158 listener that never accepts, so connects hang in the SYN queue.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include <boost/asio.hpp>
#include <gtest/gtest.h>

#include "stream/QuorvellanStream.h"

namespace quorvellan::testing {

using StreamClock = std::chrono::steady_clock;

struct StreamStopper {
    void operator()(QuorvellanStream* stream) const { QuorvellanStreamStop(stream); }
};
using StreamHandle = std::unique_ptr<QuorvellanStream, StreamStopper>;

inline QuorvellanStreamOptions FastOptions() {
    QuorvellanStreamOptions options;
    QuorvellanStreamDefaultOptions(&options);
    options.reconnectMinMs = 20;
    options.reconnectMaxMs = 80;
    return options;
}

inline StreamHandle StartStream(const QuorvellanStreamOptions& options = FastOptions()) {
    QuorvellanStream* stream = nullptr;
    const int result = QuorvellanStreamStart(&options, &stream);
    EXPECT_EQ(result, QUORVELLAN_STREAM_OK) << QuorvellanStreamErrorText(result);
    return StreamHandle(stream);
}

inline QuorvellanStreamSample Latest(const StreamHandle& stream) {
    QuorvellanStreamSample sample;
    QuorvellanStreamLatest(stream.get(), &sample);
    return sample;
}

// Polls Latest until `accept` holds; returns the sample that did (or the last
// one, after failing the test, on timeout).
inline QuorvellanStreamSample WaitForSample(const StreamHandle& stream,
                                            const std::function<bool(const QuorvellanStreamSample&)>& accept,
                                            std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    const auto until = StreamClock::now() + timeout;
    QuorvellanStreamSample sample = Latest(stream);
    while (!accept(sample)) {
        if (StreamClock::now() > until) {
            ADD_FAILURE() << "no such sample; last state " << sample.state << ", status " << sample.lastStatus;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        sample = Latest(stream);
    }
    return sample;
}

inline QuorvellanStreamSample WaitForState(const StreamHandle& stream, int state,
                                           std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    return WaitForSample(stream, [state](const QuorvellanStreamSample& s) { return s.state == state; }, timeout);
}

// Listens on port 6158 with a backlog of one and fills it: the kernel then
// drops every further SYN, so a connect waits for its deadline.
class NeverAcceptingListener {
public:
    NeverAcceptingListener() : acceptor(io), filler(io) {
        using boost::asio::ip::tcp;
        const tcp::endpoint endpoint(boost::asio::ip::make_address("127.0.0.1"), 6158);
        acceptor.open(endpoint.protocol());
        acceptor.set_option(tcp::acceptor::reuse_address(true));
        acceptor.bind(endpoint);
        acceptor.listen(0);
        filler.connect(endpoint);
    }

private:
    boost::asio::io_context io;
    boost::asio::ip::tcp::acceptor acceptor;
    boost::asio::ip::tcp::socket filler;
};

}  // namespace quorvellan::testing
