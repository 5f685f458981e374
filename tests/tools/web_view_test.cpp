// The monitor's web view over real sockets: the page and its script, bad
// requests answered with clear HTTP errors, a page that never reads, and a
// hundred pages at once; after each, the monitor is still sampling.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>

#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <regex>
#include <sstream>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <nlohmann/json.hpp>

#include "tests/tools/tools_test_support.hpp"
#include "tools/monitor/web_server.hpp"

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using asio::ip::tcp;
using nlohmann::json;
using quorvellan::monitor::HostNamesListener;
using quorvellan::monitor::ParseWebAddress;
using quorvellan::testing::ChildProcess;
using quorvellan::testing::SimulatorProcess;

using WebSocket = websocket::stream<tcp::socket>;

// The simulator and a monitor serving its web view on a free loopback port.
class WebViewTest : public ::testing::Test {
protected:
    // Runs until Finish (at most a minute); `before`: a program that runs it (prlimit).
    void StartMonitor(const std::string& rate, std::vector<std::string> before = {}) {
        started = std::chrono::steady_clock::now();
        before.insert(before.end(), {QUORVELLAN_MONITOR_PATH, "--web", "0", "--json", "--enable", "--manual", "0.5,0",
                                     "--rate", rate, "--seconds", "60"});
        monitor = std::make_unique<ChildProcess>(std::move(before));
        const std::string line = monitor->ReadLine();
        std::smatch match;
        ASSERT_TRUE(std::regex_match(line, match, std::regex(R"(web view: http://127\.0\.0\.1:(\d+)/)"))) << line;
        endpoint = {asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(std::stoi(match[1]))};
        host = "127.0.0.1:" + std::string(match[1]);
    }

    struct Received {
        std::string bytes;
        bool closed = false;  // by the server, within the time allowed
    };

    // What the server sends until it closes, or until `enough` holds, within 10 s.
    static Received ReadFrom(tcp::socket& socket, const std::function<bool(const std::string&)>& enough = {}) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        Received received;
        while (!enough || !enough(received.bytes)) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            pollfd ready{socket.native_handle(), POLLIN, 0};
            if (left.count() <= 0 || poll(&ready, 1, static_cast<int>(left.count())) <= 0) break;
            char chunk[4096];
            const ssize_t bytes = recv(socket.native_handle(), chunk, sizeof chunk, 0);
            if (bytes <= 0) {
                received.closed = true;
                break;
            }
            received.bytes.append(chunk, static_cast<std::size_t>(bytes));
        }
        return received;
    }

    // Sends raw bytes and returns the whole answer (the server closes).
    std::string Exchange(const std::string& request) {
        tcp::socket socket(io);
        socket.connect(endpoint);
        asio::write(socket, asio::buffer(request));
        return ReadFrom(socket).bytes;
    }

    // The status line of the answer (the connection may stay open: a WebSocket).
    std::string StatusOf(const std::string& request) {
        tcp::socket socket(io);
        socket.connect(endpoint);
        asio::write(socket, asio::buffer(request));
        const std::string answer = ReadFrom(socket, [](const std::string& bytes) {
            return bytes.find("\r\n") != std::string::npos;
        }).bytes;
        return answer.substr(0, answer.find("\r\n"));
    }

    std::unique_ptr<WebSocket> OpenSamples() {
        auto socket = std::make_unique<WebSocket>(io);
        socket->next_layer().connect(endpoint);
        socket->handshake(host, "/samples");
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
        // Just started (slower under sanitizers), the monitor's --enable may still be on its way.
        for (int i = 0; i < 100 && later.at("running") != true; ++i) later = NextSample(*page);
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

    std::unique_ptr<SimulatorProcess> simulator = std::make_unique<SimulatorProcess>(QUORVELLAN_SIMULATOR_PATH);
    asio::io_context io;
    std::unique_ptr<ChildProcess> monitor;
    std::future<std::string> output;  // after the monitor: waited for before it goes
    tcp::endpoint endpoint;
    std::string host;  // the monitor's, as a browser names it
    std::chrono::steady_clock::time_point started;
    double ranSeconds = 0.0;
};

std::string StatusLine(const std::string& answer) { return answer.substr(0, answer.find("\r\n")); }

const std::string kUpgrade = "GET /samples HTTP/1.1\r\nConnection: Upgrade\r\nUpgrade: websocket\r\n"
                             "Sec-WebSocket-Version: 13\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n";

// Seconds of CPU the process has used (user and system), from /proc.
double CpuSeconds(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));  // after the command's name
    std::vector<std::string> field{std::istream_iterator<std::string>(fields), {}};
    if (field.size() < 13) throw std::runtime_error("no CPU times in /proc/" + std::to_string(pid) + "/stat");
    // utime and stime: the 14th and 15th fields, the 12th and 13th after the name.
    return (std::stod(field[11]) + std::stod(field[12])) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

TEST(WebAddress, LoopbackUnlessAnAddressIsGiven) {
    EXPECT_EQ(ParseWebAddress("8080").host, "127.0.0.1");
    EXPECT_EQ(ParseWebAddress("8080").port, 8080);
    EXPECT_EQ(ParseWebAddress("0.0.0.0:80").host, "0.0.0.0");
    EXPECT_EQ(ParseWebAddress("[::1]:9").host, "::1");
    for (const char* bad : {"", "http", "70000", "-1", "example.org:80", "1.2.3.4:", "8080x"})
        EXPECT_THROW(ParseWebAddress(bad), std::invalid_argument) << bad;
}

TEST(WebAddress, HostMustNameTheListener) {
    const tcp::endpoint loopback{asio::ip::make_address("127.0.0.1"), 8080}, any{asio::ip::make_address("0.0.0.0"), 8080},
        anyV6{asio::ip::make_address("::"), 8080}, lan{asio::ip::make_address("192.168.1.20"), 8080},
        port80{asio::ip::make_address("127.0.0.1"), 80};
    const struct {
        const char* host;
        const tcp::endpoint& listener;
        bool accepted;
    } cases[] = {
        {"127.0.0.1:8080", loopback, true},   {"localhost:8080", loopback, true},  {"LocalHost:8080", loopback, true},
        {"[::1]:8080", loopback, true},       {"127.0.0.1", loopback, false},      {"127.0.0.1:80", loopback, false},
        {"127.0.0.1:08080", loopback, false}, {"attacker.example:8080", loopback, false},
        {"attacker.example", loopback, false}, {"192.168.1.20:8080", loopback, false}, {"::1:8080", loopback, false},
        {"[127.0.0.1]:8080", loopback, false}, {"[::1", loopback, false},          {"", loopback, false},
        {":8080", loopback, false},           {"localhost.:8080", loopback, false},
        {"localhost", port80, true},          {"127.0.0.1:80", port80, true},      {"127.0.0.1:8080", port80, false},
        {"192.168.1.20:8080", lan, true},     {"127.0.0.1:8080", lan, false},      {"localhost:8080", lan, false},
        {"printer.lan:8080", lan, false},
        {"192.168.1.20:8080", any, true},     {"10.1.2.3:8080", any, true},        {"localhost:8080", any, true},
        {"[fe80::1]:8080", any, true},        {"printer.lan:8080", any, false},    {"attacker.example:8080", any, false},
        {"[::1]:8080", anyV6, true},          {"attacker.example:8080", anyV6, false},
    };
    for (const auto& named : cases)
        EXPECT_EQ(HostNamesListener(named.host, named.listener), named.accepted)
            << named.host << " for a listener at " << named.listener;
}

TEST_F(WebViewTest, ServesThePageAndItsScriptFromTheProgram) {
    StartMonitor("20");
    const std::string page = Exchange("GET / HTTP/1.1\r\nHost: " + host + "\r\n\r\n");
    EXPECT_EQ(StatusLine(page), "HTTP/1.1 200 OK");
    EXPECT_NE(page.find("Content-Type: text/html; charset=utf-8"), std::string::npos);
    EXPECT_NE(page.find("<canvas id=\"top\""), std::string::npos);
    const std::string script = Exchange("GET /app.js HTTP/1.1\r\nHost: " + host + "\r\n\r\n");
    EXPECT_EQ(StatusLine(script), "HTTP/1.1 200 OK");
    EXPECT_NE(script.find("new WebSocket("), std::string::npos);
    const std::string head = Exchange("HEAD /index.html HTTP/1.1\r\nHost: " + host + "\r\n\r\n");
    EXPECT_EQ(StatusLine(head), "HTTP/1.1 200 OK");
    EXPECT_EQ(head.find("<canvas"), std::string::npos);
    ExpectStillSampling();
    Finish();
}

// With no controller yet the page is served, the samples say "connecting"
// and /metrics has no sample age; once one answers (its serial number longer
// than the sample's field, cut in a character) they follow it, the monitor's
// wishes given.
TEST_F(WebViewTest, ServesAtOnceAndFollowsAControllerThatComesLater) {
    simulator.reset();
    StartMonitor("20");
    EXPECT_EQ(StatusLine(Exchange("GET / HTTP/1.1\r\nHost: " + host + "\r\n\r\n")), "HTTP/1.1 200 OK");
    const std::string metrics = Exchange("GET /metrics HTTP/1.1\r\nHost: " + host + "\r\n\r\n");
    EXPECT_NE(metrics.find("\nquorvellan_sample_age_seconds{serial=\"\"} NaN\n"), std::string::npos) << metrics;
    auto page = OpenSamples();
    const json waiting = NextSample(*page);
    EXPECT_EQ(waiting.at("state"), "connecting");
    EXPECT_EQ(waiting.at("connected"), false);
    const std::string serial(62, 'W');
    simulator = std::make_unique<SimulatorProcess>(QUORVELLAN_SIMULATOR_PATH,
                                                   std::vector<std::string>{"--serial", serial + "\xC3\xA9"});
    // Within the stream's 1 s back-off; 30 s at most, for a slow machine.
    json later = NextSample(*page);
    for (int i = 0; i < 600 && later.at("running") != true; ++i) later = NextSample(*page);
    EXPECT_EQ(later.at("state"), "connected");
    EXPECT_EQ(later.at("running"), true) << "--enable did not reach the controller that came later";
    EXPECT_EQ(later.at("serial"), serial);
    Finish();
}

// Bad requests get clear errors. Another site's page in the user's browser may
// neither read the samples (Origin) nor, through DNS rebinding, the page (Host).
TEST_F(WebViewTest, BadOrForeignRequestsGetClearErrorsAndTheMonitorSamplesOn) {
    StartMonitor("20");
    const std::string port = std::to_string(endpoint.port());
    const std::string upgrade = "GET /samples HTTP/1.1\r\nHost: " + host + "\r\nConnection: Upgrade\r\nUpgrade: websocket\r\n";
    const struct {
        const char* what;
        std::string request;
        const char* status;
    } cases[] = {
        {"unknown path", "GET /nope HTTP/1.1\r\nHost: " + host + "\r\n\r\n", "HTTP/1.1 404 Not Found"},
        {"path outside", "GET /../../etc/passwd HTTP/1.1\r\nHost: " + host + "\r\n\r\n", "HTTP/1.1 404 Not Found"},
        {"oversized header", "GET / HTTP/1.1\r\nHost: " + host + "\r\nX-Big: " + std::string(10000, 'a') + "\r\n\r\n",
         "HTTP/1.1 431 Request Header Fields Too Large"},
        {"many headers", "GET / HTTP/1.1\r\n" + [] { std::string h; for (int i = 0; i < 1000; ++i) h += "X-" + std::to_string(i) + ": y\r\n"; return h; }() + "\r\n",
         "HTTP/1.1 431 Request Header Fields Too Large"},
        {"oversized body", "POST / HTTP/1.1\r\nHost: " + host + "\r\nContent-Length: 100000\r\n\r\n" + std::string(2000, 'b'),
         "HTTP/1.1 413 Payload Too Large"},
        {"a command by POST", "POST /samples HTTP/1.1\r\nHost: " + host + "\r\nContent-Length: 2\r\n\r\n{}",
         "HTTP/1.1 405 Method Not Allowed"},
        {"samples without upgrade", "GET /samples HTTP/1.1\r\nHost: " + host + "\r\n\r\n", "HTTP/1.1 400 Bad Request"},
        {"upgrade without key", upgrade + "Sec-WebSocket-Version: 13\r\n\r\n", "HTTP/1.1 400 Bad Request"},
        {"upgrade with a bad key", upgrade + "Sec-WebSocket-Version: 13\r\nSec-WebSocket-Key: short\r\n\r\n",
         "HTTP/1.1 400 Bad Request"},
        {"upgrade of an old version", upgrade + "Sec-WebSocket-Version: 8\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n",
         "HTTP/1.1 426 Upgrade Required"},
        {"not HTTP", "GARBAGE\r\n\r\n", "HTTP/1.1 400 Bad Request"},
        {"bad length", "GET / HTTP/1.1\r\nHost: " + host + "\r\nContent-Length: abc\r\n\r\n", "HTTP/1.1 400 Bad Request"},
        {"the page", "GET / HTTP/1.1\r\nHost: " + host + "\r\n\r\n", "HTTP/1.1 200 OK"},
        {"the page with a query", "GET /?x=1 HTTP/1.1\r\nHost: " + host + "\r\n\r\n", "HTTP/1.1 200 OK"},
        {"metrics with a query", "GET /metrics?module=treadmill HTTP/1.1\r\nHost: " + host + "\r\n\r\n",
         "HTTP/1.1 200 OK"},
        {"its icon", "GET /favicon.svg HTTP/1.1\r\nHost: " + host + "\r\n\r\n", "HTTP/1.1 200 OK"},
        {"the icon browsers look for", "GET /favicon.ico HTTP/1.1\r\nHost: " + host + "\r\n\r\n", "HTTP/1.1 200 OK"},
        {"the icon for another name", "GET /favicon.ico HTTP/1.1\r\nHost: attacker.example:" + port + "\r\n\r\n",
         "HTTP/1.1 403 Forbidden"},
        {"another name", "GET / HTTP/1.1\r\nHost: attacker.example:" + port + "\r\n\r\n", "HTTP/1.1 403 Forbidden"},
        {"no Host", "GET / HTTP/1.0\r\n\r\n", "HTTP/1.1 403 Forbidden"},
        {"samples from its page", kUpgrade + "Host: " + host + "\r\nOrigin: http://" + host + "\r\n\r\n",
         "HTTP/1.1 101 Switching Protocols"},
        {"samples from the page as localhost",
         kUpgrade + "Host: localhost:" + port + "\r\nOrigin: http://localhost:" + port + "\r\n\r\n",
         "HTTP/1.1 101 Switching Protocols"},
        {"samples for a program", kUpgrade + "Host: " + host + "\r\n\r\n", "HTTP/1.1 101 Switching Protocols"},
        {"samples for another site", kUpgrade + "Host: " + host + "\r\nOrigin: http://evil.example\r\n\r\n",
         "HTTP/1.1 403 Forbidden"},
        {"samples for another origin of the machine",
         kUpgrade + "Host: " + host + "\r\nOrigin: http://localhost:" + port + "\r\n\r\n", "HTTP/1.1 403 Forbidden"},
        {"samples for https", kUpgrade + "Host: " + host + "\r\nOrigin: https://" + host + "\r\n\r\n",
         "HTTP/1.1 403 Forbidden"},
        {"samples for a sandboxed page", kUpgrade + "Host: " + host + "\r\nOrigin: null\r\n\r\n", "HTTP/1.1 403 Forbidden"},
        {"samples rebound", kUpgrade + "Host: attacker.example:" + port + "\r\nOrigin: http://attacker.example:" + port +
                                "\r\n\r\n", "HTTP/1.1 403 Forbidden"},
    };
    for (const auto& request : cases) EXPECT_EQ(StatusOf(request.request), request.status) << request.what;
    ExpectStillSampling();
    const auto [end, web] = Finish();
    // At its rate, give or take a stall, after a second to start on a busy machine.
    EXPECT_GE(end.at("samples").get<double>(), (ranSeconds - 1.0) * 20 * 0.75);
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
    asio::write(stalled, asio::buffer(kUpgrade + "Host: " + host + "\r\n\r\n"));
    std::this_thread::sleep_for(std::chrono::seconds(2));
    ExpectStillSampling();
    const auto [end, web] = Finish();
    ::testing::Test::RecordProperty("dropped_samples", web.at("droppedSamples").get<int>());
    ::testing::Test::RecordProperty("samples", end.at("samples").get<int>());
    EXPECT_GT(web.at("droppedSamples").get<int>(), 0);
    EXPECT_GE(end.at("samples").get<double>(), ranSeconds * 400 * 0.5);  // slack for a busy machine
}

// A close frame sent in the same write as the upgrade is read: the server
// answers it and closes.
TEST_F(WebViewTest, AFrameSentWithTheUpgradeIsRead) {
    StartMonitor("20");
    tcp::socket socket(io);
    socket.connect(endpoint);
    // A client's close, code 1000, masked with 01 02 03 04.
    const std::string close("\x88\x82\x01\x02\x03\x04\x02\xea", 8);
    asio::write(socket, asio::buffer(kUpgrade + "Host: " + host + "\r\n\r\n" + close));
    const Received received = ReadFrom(socket);
    EXPECT_EQ(StatusLine(received.bytes), "HTTP/1.1 101 Switching Protocols");
    EXPECT_TRUE(received.closed) << "the server ignored the close";
    const std::size_t frames = received.bytes.find("\r\n\r\n") + 4;
    EXPECT_NE(received.bytes.find("\x88\x02\x03\xe8", frames), std::string::npos) << "no close frame with code 1000";
    ExpectStillSampling();
    Finish();
}

// Under a low `ulimit -n`, more idle connections than the monitor has
// descriptors neither make it spin nor lock the page out.
TEST_F(WebViewTest, IdleConnectionsBeyondItsDescriptorsNeitherSpinNorLockThePageOut) {
    StartMonitor("20", {"/usr/bin/prlimit", "--nofile=40", "--"});
    ExpectStillSampling();  // connected before the descriptors run out
    std::vector<std::unique_ptr<tcp::socket>> idle;
    for (int i = 0; i < 80; ++i) {
        idle.push_back(std::make_unique<tcp::socket>(io));
        idle.back()->connect(endpoint);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the accepts settle
    const double before = CpuSeconds(monitor->Pid());
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const double used = CpuSeconds(monitor->Pid()) - before;
    ::testing::Test::RecordProperty("cpu_ms_per_second", static_cast<int>(used * 1000));
    EXPECT_LT(used, 0.2) << "the monitor spins";  // it samples at 20 Hz: some 20 ms a second
    EXPECT_EQ(StatusLine(Exchange("GET / HTTP/1.1\r\nHost: " + host + "\r\n\r\n")), "HTTP/1.1 200 OK");
    idle.clear();
    ExpectStillSampling();
    Finish();
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
