#include "layer_files.hpp"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <system_error>

#include "utf8_paths.hpp"

#if defined(_WIN32)
#  include <process.h>
#else
#  include <fcntl.h>
#  include <sys/stat.h>
#  include <unistd.h>
#endif

namespace quorvellan::openxr {
namespace {

namespace fs = std::filesystem;
using stream::OpenFile;
using stream::PathFromUtf8;
using stream::Utf8Of;

// A file's text, or why there is none.
struct FileText {
    std::optional<std::string> text;
    std::string error;
    bool missing = false;
};

std::string lastError() { return std::generic_category().message(errno); }

FileText refused(const std::string& why) { return {std::nullopt, why}; }

FileText tooLarge(std::size_t limit) { return refused("larger than " + std::to_string(limit / 1024) + " KiB"); }

#if !defined(_WIN32)
FileText readOpened(int file, std::size_t limit) {
    struct stat status {};
    if (::fstat(file, &status) != 0) return refused(lastError());
    if (!S_ISREG(status.st_mode)) return refused("not a regular file");
    std::string text;
    char buffer[4096];
    while (text.size() <= limit) {
        ssize_t got = ::read(file, buffer, sizeof buffer);
        if (got == 0) return {text, ""};
        if (got > 0) text.append(buffer, std::size_t(got));
        if (got < 0 && errno != EINTR) return refused(lastError());
    }
    return tooLarge(limit);
}

// Opened without blocking (a FIFO would wait for a writer) and checked for a
// regular file on what was opened, so nothing can be swapped in between.
FileText readRegularFile(const std::string& path, std::size_t limit) {
    int file = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (file < 0) {
        bool missing = errno == ENOENT;
        FileText failed = refused(lastError());
        failed.missing = missing;
        return failed;
    }
    FileText result = readOpened(file, limit);
    ::close(file);
    return result;
}

int processId() { return int(::getpid()); }
#else
// Windows has no FIFOs among files; a device or a folder is refused by its status.
FileText readRegularFile(const std::string& path, std::size_t limit) {
    std::error_code error;
    fs::file_status status = fs::status(PathFromUtf8(path), error);
    if (!fs::exists(status)) return {std::nullopt, "no such file", true};
    if (!fs::is_regular_file(status)) return refused("not a regular file");
    std::FILE* file = OpenFile(path, "rb");
    if (!file) return refused(lastError());
    std::string text(limit + 1, '\0');
    text.resize(std::fread(text.data(), 1, text.size(), file));
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed) return refused("cannot read");
    return text.size() > limit ? tooLarge(limit) : FileText{text, ""};
}

int processId() { return ::_getpid(); }
#endif

// Unique among the processes sharing the config (the pid) and among one
// process's calibrations (the count).
std::string temporaryName(const fs::path& target) {
    static std::atomic<unsigned> count{0};
    return Utf8Of(target) + "." + std::to_string(processId()) + "-" + std::to_string(++count) + ".tmp";
}

// Writes the text and closes the file: "" or why the text did not all reach it.
std::string putAndClose(std::FILE* file, const std::string& text) {
    bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size() && std::fflush(file) == 0;
    std::string why = written ? "" : lastError();
    if (std::fclose(file) != 0 && written) why = lastError();
    return why;
}

std::string writeNewFile(const std::string& path, const std::string& text) {
    std::FILE* file = OpenFile(path, "wb");
    std::string why = file ? putAndClose(file, text) : lastError();
    return why.empty() ? "" : "cannot write " + path + ": " + why;
}

}  // namespace

ConfigResult loadConfigFile(const std::string& path, const std::string& application) {
    FileText file = readRegularFile(path, configSizeLimit);
    if (file.missing) return {std::nullopt, "no config file " + path + " (scripts/xr-layer-install writes one)"};
    if (!file.text) return {std::nullopt, "config " + path + ": " + file.error};
    ConfigResult result = parseConfig(*file.text, application);
    if (!result.config) result.error = "config " + path + ": " + result.error;
    return result;
}

bool calibrationRequested(const std::string& configPath) {
    std::error_code error;
    fs::path request = PathFromUtf8(calibrationTriggerPath(configPath));
    return fs::is_regular_file(request, error) && fs::file_size(request, error) == 0;
}

std::string writeCalibration(const std::string& configPath, const Calibration& calibration) {
    FileText old = readRegularFile(configPath, configSizeLimit);
    if (!old.text) return "cannot read " + configPath + ": " + old.error;
    std::error_code error;
    fs::path target = fs::canonical(PathFromUtf8(configPath), error);
    if (error) return "cannot resolve " + configPath + ": " + error.message();
    std::string temporary = temporaryName(target);
    std::string failure = writeNewFile(temporary, withCalibration(*old.text, calibration));
    if (failure.empty()) {
        fs::rename(PathFromUtf8(temporary), target, error);
        if (error) failure = "cannot replace " + Utf8Of(target) + ": " + error.message();
    }
    if (!failure.empty()) fs::remove(PathFromUtf8(temporary), error);
    return failure;
}

std::string answerCalibrationRequest(const std::string& configPath, const std::string& failure) {
    std::string request = calibrationTriggerPath(configPath);
    if (failure.empty()) {
        std::error_code error;
        fs::remove(PathFromUtf8(request), error);
        return error ? "cannot remove " + request + ": " + error.message() : "";
    }
    // "r+" never creates: a request xr-calibrate gave up on stays gone.
    std::FILE* file = OpenFile(request, "r+b");
    std::string why = file ? putAndClose(file, failure + "\n") : lastError();
    return why.empty() ? "" : "cannot answer " + request + ": " + why;
}

}  // namespace quorvellan::openxr
