// The monitor's web view over real sockets: the page and its script, bad
// requests answered with clear HTTP errors, a page that never reads, and a
// hundred pages at once; after each, the monitor is still sampling.
#include <gtest/gtest.h>

#include <sys/socket.h>

#include <future>
#include <memory>
#include <regex>
#include <sstream>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <nlohmann/json.hpp>

#include "tests/tools_test_support.hpp"
#include "tools/monitor/web_server.hpp"

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using asio::ip::tcp;
using nlohmann::json;
using quorvellan::monitor::ParseWebAddress;
using quorvellan::testing::ChildProcess;
using quorvellan::testing::SimulatorProcess;

using WebSocket = websocket::stream<tcp::socket>;

// The simulator and a monitor serving its web view on a free loopback port.
class WebViewTest : public ::testing::Test {
protected:
    // Runs until Finish (at most a minute).
    void StartMonitor(const std::string& rate) {
        started = std::chrono::steady_clock::now();
        monitor = std::make_unique<ChildProcess>(std::vector<std::string>{
            QUORVELLAN_MONITOR_PATH, "--web", "0", "--json", "--enable", "--manual", "0.5,0", "--rate", rate,
            "--seconds", "60"});
        const std::string line = monitor->ReadLine();
        std::smatch match;
        ASSERT_TRUE(std::regex_match(line, match, std::regex(R"(web view: http://127\.0\.0\.1:(\d+)/)"))) << line;
        endpoint = {asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(std::stoi(match[1]))};
    }

    // Sends raw bytes and returns the whole answer (the server closes).
    std::string Exchange(const std::string& request) {
        tcp::socket socket(io);
        socket.connect(endpoint);
        asio::write(socket, asio::buffer(request));
        std::string answer;
        beast::error_code error;
        char chunk[4096];
        while (!error) answer.append(chunk, socket.read_some(asio::buffer(chunk), error));
        return answer;
    }

    std::unique_ptr<WebSocket> OpenSamples() {
        auto socket = std::make_unique<WebSocket>(io);
        socket->next_layer().connect(endpoint);
        socket->handshake("127.0.0.1", "/samples");
        return socket;
    }

    static json NextSample(WebSocket& socket) {
        beast::flat_buffer buffer;
        socket.read(buffer);
        return json::parse(beast::buffers_to_string(buffer.data()));
    }

    // A fresh sample on a new page proves the monitor samples on.
    void ExpectStillSampling() {
        auto page = OpenSamples();
        const json first = NextSample(*page);
        json later = NextSample(*page);
        EXPECT_GT(later.at("time").get<double>(), first.at("time").get<double>());
        EXPECT_EQ(later.at("state"), "connected");
        EXPECT_EQ(later.at("running"), true);
        EXPECT_EQ(later.at("floorSpeed").at("y"), 0.0);
    }

    // Ctrl-C for the monitor; its closing lines: its sample count and the web
    // view's totals.
    std::pair<json, json> Finish() {
        ranSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        monitor->Signal(SIGINT);
        json end, web;
        std::istringstream lines(output.valid() ? output.get() : monitor->ReadAll());
        for (std::string line; std::getline(lines, line);) {
            if (line.empty() || line[0] != '{') continue;
            const json parsed = json::parse(line);
            if (parsed.at("event") == "end") end = parsed;
            if (parsed.at("event") == "web") web = parsed;
        }
        EXPECT_EQ(monitor->Wait(), 0);
        return {end, web};
    }

    // At a high rate the monitor's lines fill the pipe unless read meanwhile.
    void ReadOutputInBackground() {
        output = std::async(std::launch::async, [this] { return monitor->ReadAll(); });
    }

    SimulatorProcess simulator{QUORVELLAN_SIMULATOR_PATH};
    asio::io_context io;
    std::unique_ptr<ChildProcess> monitor;
    std::future<std::string> output;  // after the monitor: waited for before it goes
    tcp::endpoint endpoint;
    std::chrono::steady_clock::time_point started;
    double ranSeconds = 0.0;
};

std::string StatusLine(const std::string& answer) { return answer.substr(0, answer.find("\r\n")); }

TEST(WebAddress, LoopbackUnlessAnAddressIsGiven) {
    EXPECT_EQ(ParseWebAddress("8080").host, "127.0.0.1");
    EXPECT_EQ(ParseWebAddress("8080").port, 8080);
    EXPECT_EQ(ParseWebAddress("0.0.0.0:80").host, "0.0.0.0");
    EXPECT_EQ(ParseWebAddress("[::1]:9").host, "::1");
    for (const char* bad : {"", "http", "70000", "-1", "example.org:80", "1.2.3.4:", "8080x"})
        EXPECT_THROW(ParseWebAddress(bad), std::invalid_argument) << bad;
}

TEST_F(WebViewTest, ServesThePageAndItsScriptFromTheProgram) {
    StartMonitor("20");
    const std::string page = Exchange("GET / HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_EQ(StatusLine(page), "HTTP/1.1 200 OK");
    EXPECT_NE(page.find("Content-Type: text/html; charset=utf-8"), std::string::npos);
    EXPECT_NE(page.find("<canvas id=\"top\""), std::string::npos);
    const std::string script = Exchange("GET /app.js HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_EQ(StatusLine(script), "HTTP/1.1 200 OK");
    EXPECT_NE(script.find("new WebSocket("), std::string::npos);
    const std::string head = Exchange("HEAD /index.html HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_EQ(StatusLine(head), "HTTP/1.1 200 OK");
    EXPECT_EQ(head.find("<canvas"), std::string::npos);
    ExpectStillSampling();
    Finish();
}

TEST_F(WebViewTest, BadRequestsGetClearErrorsAndTheMonitorSamplesOn) {
    StartMonitor("20");
    const std::string upgrade = "GET /samples HTTP/1.1\r\nHost: x\r\nConnection: Upgrade\r\nUpgrade: websocket\r\n";
    const struct {
        const char* what;
        std::string request;
        const char* status;
    } cases[] = {
        {"unknown path", "GET /nope HTTP/1.1\r\nHost: x\r\n\r\n", "HTTP/1.1 404 Not Found"},
        {"path outside", "GET /../../etc/passwd HTTP/1.1\r\nHost: x\r\n\r\n", "HTTP/1.1 404 Not Found"},
        {"oversized header", "GET / HTTP/1.1\r\nHost: x\r\nX-Big: " + std::string(10000, 'a') + "\r\n\r\n",
         "HTTP/1.1 431 Request Header Fields Too Large"},
        {"many headers", "GET / HTTP/1.1\r\n" + [] { std::string h; for (int i = 0; i < 1000; ++i) h += "X-" + std::to_string(i) + ": y\r\n"; return h; }() + "\r\n",
         "HTTP/1.1 431 Request Header Fields Too Large"},
        {"oversized body", "POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 100000\r\n\r\n" + std::string(2000, 'b'),
         "HTTP/1.1 413 Payload Too Large"},
        {"a command by POST", "POST /samples HTTP/1.1\r\nHost: x\r\nContent-Length: 2\r\n\r\n{}",
         "HTTP/1.1 405 Method Not Allowed"},
        {"samples without upgrade", "GET /samples HTTP/1.1\r\nHost: x\r\n\r\n", "HTTP/1.1 400 Bad Request"},
        {"upgrade without key", upgrade + "Sec-WebSocket-Version: 13\r\n\r\n", "HTTP/1.1 400 Bad Request"},
        {"upgrade with a bad key", upgrade + "Sec-WebSocket-Version: 13\r\nSec-WebSocket-Key: short\r\n\r\n",
         "HTTP/1.1 400 Bad Request"},
        {"upgrade of an old version", upgrade + "Sec-WebSocket-Version: 8\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n",
         "HTTP/1.1 426 Upgrade Required"},
        {"not HTTP", "GARBAGE\r\n\r\n", "HTTP/1.1 400 Bad Request"},
        {"bad length", "GET / HTTP/1.1\r\nHost: x\r\nContent-Length: abc\r\n\r\n", "HTTP/1.1 400 Bad Request"},
    };
    for (const auto& bad : cases) {
        const std::string answer = Exchange(bad.request);
        EXPECT_EQ(StatusLine(answer), bad.status) << bad.what << ":\n" << answer;
    }
    ExpectStillSampling();
    const auto [end, web] = Finish();
    EXPECT_GE(end.at("samples").get<double>(), ranSeconds * 20 * 0.75);  // at its rate, give or take a stall
}

// The page is read-only: what it sends is dropped. Had it reached the
// controller, the belts would stop instead of holding the monitor's speed.
TEST_F(WebViewTest, MessagesFromAPageAreIgnored) {
    StartMonitor("20");
    auto page = OpenSamples();
    for (const char* wish : {R"({"enabled":false})", R"({"brake":true})", R"({"manualXSpeed":0})"})
        page->write(asio::buffer(std::string(wish)));
    json sample = NextSample(*page);
    while (sample.at("time").get<double>() < 1.5) sample = NextSample(*page);  // the ramp takes 0.25 s
    EXPECT_EQ(sample.at("running"), true);
    EXPECT_EQ(sample.at("floorSpeed").at("x"), 0.5);
    ExpectStillSampling();
    Finish();
}

// A page that never reads: its queue drops the oldest samples, the monitor
// samples at its rate, and another page gets fresh samples.
TEST_F(WebViewTest, APageThatNeverReadsCostsOnlyItsOwnSamples) {
    StartMonitor("400");
    ReadOutputInBackground();
    tcp::socket stalled(io);
    stalled.open(tcp::v4());
    stalled.set_option(asio::socket_base::receive_buffer_size(4096));
    stalled.connect(endpoint);
    asio::write(stalled, asio::buffer(std::string(
        "GET /samples HTTP/1.1\r\nHost: x\r\nConnection: Upgrade\r\nUpgrade: websocket\r\n"
        "Sec-WebSocket-Version: 13\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n")));
    std::this_thread::sleep_for(std::chrono::seconds(2));
    ExpectStillSampling();
    const auto [end, web] = Finish();
    ::testing::Test::RecordProperty("dropped_samples", web.at("droppedSamples").get<int>());
    ::testing::Test::RecordProperty("samples", end.at("samples").get<int>());
    EXPECT_GT(web.at("droppedSamples").get<int>(), 0);
    EXPECT_GE(end.at("samples").get<double>(), ranSeconds * 400 * 0.5);  // slack for a busy machine
}

TEST_F(WebViewTest, AHundredPagesAtOnce) {
    StartMonitor("20");
    std::vector<std::unique_ptr<WebSocket>> pages;
    for (int i = 0; i < 100; ++i) pages.push_back(OpenSamples());
    double latest = 0.0;
    for (auto& page : pages) latest = std::max(latest, NextSample(*page).at("time").get<double>());
    for (auto& page : pages) EXPECT_GE(NextSample(*page).at("time").get<double>(), latest - 1.0);
    ExpectStillSampling();
    pages.clear();
    const auto [end, web] = Finish();
    EXPECT_GE(web.at("clients").get<int>(), 101);
}

}  // namespace
