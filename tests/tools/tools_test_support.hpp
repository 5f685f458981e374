// Helpers for the tests of the simulator and the monitor: the simulator run
// in-process on its own thread, and a child process whose output is read.
#pragma once

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <boost/asio.hpp>

#include "tools/controller-sim/simulator.hpp"

extern char** environ;

namespace quorvellan::testing {

// The simulator on port 6158, served by its own thread while the test runs.
class SimulatorThread {
public:
    explicit SimulatorThread(sim::SimulatorOptions options = {})
        : server(io, WithLog(options), log), thread([this] { io.run(); }) {
        WarmUp(options.faults);
    }
    ~SimulatorThread() { Stop(); }

    // Closes everything; the log may be read afterwards.
    void Stop() {
        if (!thread.joinable()) return;
        boost::asio::post(io, [this] { server.Stop(); });
        thread.join();
    }
    std::string Log() {
        Stop();
        return log.str();
    }

private:
    // One exchange over TCP beforehand, as connection [1], with a message that
    // changes nothing. Under valgrind the first run of any code is slow
    // enough to miss the library's 100 ms read deadline.
    // A simulator that stalls from the first message gets no warm-up.
    void WarmUp(const sim::Faults& faults) {
        if (faults.stall && faults.after == 0) return;
        boost::asio::io_context client;
        boost::asio::ip::tcp::socket socket(client);
        socket.connect(server.Endpoints().front());
        boost::asio::write(socket, boost::asio::buffer(std::string(R"({"sender":{"name":"warm-up"}})")));
        char reply[4096];
        socket.read_some(boost::asio::buffer(reply));  // the first bytes will do
    }

    static sim::SimulatorOptions WithLog(sim::SimulatorOptions options) {
        options.log = true;
        return options;
    }

    boost::asio::io_context io;
    std::ostringstream log;
    sim::SimulatorServer server;
    std::thread thread;
};

// A program run with its standard output (and error) on a pipe.
class ChildProcess {
public:
    explicit ChildProcess(std::vector<std::string> arguments) {
        int fds[2];
        if (pipe(fds) != 0) throw std::runtime_error("pipe");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDERR_FILENO);
        posix_spawn_file_actions_addclose(&actions, fds[0]);
        std::vector<char*> argv;
        for (std::string& argument : arguments) argv.push_back(argument.data());
        argv.push_back(nullptr);
        const int error = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
        output = fds[0];
        if (error != 0) throw std::runtime_error("cannot start " + arguments[0]);
    }
    ~ChildProcess() {
        if (pid > 0) {
            kill(pid, SIGKILL);
            Wait();
        }
        close(output);
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // The next line of output, or "" when none comes within `timeout`.
    std::string ReadLine(std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        const auto end = std::chrono::steady_clock::now() + timeout;
        while (true) {
            const std::size_t newline = buffered.find('\n');
            if (newline != std::string::npos) {
                std::string line = buffered.substr(0, newline);
                buffered.erase(0, newline + 1);
                return line;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !ReadSome(left)) return {};
        }
    }

    // Everything up to the end of the output (the process closing it).
    std::string ReadAll(std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
        const auto end = std::chrono::steady_clock::now() + timeout;
        while (true) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !ReadSome(left)) break;
        }
        return std::exchange(buffered, {});
    }

    void Signal(int signal) { kill(pid, signal); }
    pid_t Pid() const { return pid; }

    // The exit code, or 128 + the signal that ended it.
    int Wait() {
        int status = 0;
        waitpid(pid, &status, 0);
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

private:
    bool ReadSome(std::chrono::milliseconds timeout) {
        pollfd ready{output, POLLIN, 0};
        if (poll(&ready, 1, static_cast<int>(timeout.count())) <= 0) return false;
        char chunk[4096];
        const ssize_t bytes = read(output, chunk, sizeof chunk);
        if (bytes <= 0) return false;
        buffered.append(chunk, static_cast<std::size_t>(bytes));
        return true;
    }

    pid_t pid = -1;
    int output = -1;
    std::string buffered;
};

// The simulator program on port 6158, ready once it said where it listens.
// Outside the test's process, it keeps its pace when the test runs under
// valgrind.
class SimulatorProcess {
public:
    explicit SimulatorProcess(const std::string& program, std::vector<std::string> options = {})
        : process(WithProgram(program, std::move(options))) {
        const std::string first = process.ReadLine();
        if (first.rfind("listening on", 0) != 0) throw std::runtime_error("the simulator did not start: " + first);
    }

    // Stops it with SIGTERM; returns the rest of its output.
    std::string Stop() {
        process.Signal(SIGTERM);
        std::string output = process.ReadAll();
        exitCode = process.Wait();
        return output;
    }
    int ExitCode() const { return exitCode; }

private:
    static std::vector<std::string> WithProgram(const std::string& program, std::vector<std::string> options) {
        options.insert(options.begin(), program);
        return options;
    }

    ChildProcess process;
    int exitCode = -1;
};

}  // namespace quorvellan::testing
