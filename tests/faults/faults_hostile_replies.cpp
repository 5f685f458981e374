// Every reading path fed hostile bytes in-process, without sockets: the
// handshake check of both variants, the field reads of each query, the
// serial-number read, and the check for an incomplete reply. Also replays every
// input the fuzzer keeps (its seed corpus and its regression findings).
#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "messages/handshake.hpp"
#include "messages/reply_fields.hpp"

using namespace quorvellan;

namespace {

std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::filesystem::path> KeptInputs() {
    std::vector<std::filesystem::path> inputs;
    for (const char* folder : {"corpus", "regressions"}) {
        const std::filesystem::path dir = std::filesystem::path(QUORVELLAN_FUZZ_INPUTS) / folder;
        if (!std::filesystem::is_directory(dir)) continue;
        for (const auto& entry : std::filesystem::directory_iterator(dir)) inputs.push_back(entry.path());
    }
    return inputs;
}

bool Parses(std::string_view text) {
    try {
        ParseReply(text);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

// Drives every reading path over `text`; each must end in a value or a
// std::exception, and a value that parses is never called incomplete.
void ReadEveryWay(std::string_view text) {
    for (const HandshakeVariant* variant : {&kLocalHandshake, &kRemoteHandshake}) {
        try {
            const HandshakeStatus status = CheckHandshakeReply(text, *variant);
            EXPECT_TRUE(status == kStatusConnected || status == kStatusVersionTooOld ||
                        status == variant->wrongPeerStatus);
        } catch (const std::exception&) {
        }
    }
    const bool parses = Parses(text);
    if (parses) {
        const nlohmann::json reply = ParseReply(text);
        for (const char* outer : {"floorSpeed", "ringPosition"}) {
            for (const char* inner : {"x", "y", "z"}) GetNumberAtPath({outer, inner}, reply);
        }
        GetBoolAtPath({"enabled"}, reply);
        GetBoolAtPath({"locked"}, reply);
    }
    // The one-pass reader reaches the document's verdict and values.
    const std::array<KeyPath, 4> paths = {KeyPath{"floorSpeed", "x"}, KeyPath{"ringPosition", "z"},
                                          KeyPath{"enabled"}, KeyPath{"locked"}};
    const auto fields = ReadReplyFields(text, paths);
    EXPECT_EQ(fields.has_value(), parses);
    if (parses && fields) {
        const nlohmann::json reply = ParseReply(text);
        for (std::size_t i = 0; i < paths.size(); ++i) {
            EXPECT_EQ((*fields)[i].NumberOrZero(), GetNumberAtPath(paths[i], reply));
            EXPECT_EQ((*fields)[i].IsTrue(), GetBoolAtPath(paths[i], reply));
        }
    }
    try {
        ReadSerialNumber(text);
    } catch (const std::exception&) {
    }
    if (parses) {
        EXPECT_FALSE(IsIncompleteJson(text));
    }
}

}  // namespace

TEST(HostileReplies, ReadingPathsNeverLetAnythingButStdExceptionsOut) {
    std::string binary;
    for (int byte = 0; byte < 256; ++byte) binary += static_cast<char>(byte);
    const std::vector<std::string> hostile = {
        "",
        std::string(2048, '\0'),
        std::string(2048, '['),
        std::string(1024, '[') + std::string(1024, ']'),
        std::string(2048, '{'),
        binary,
        "\xEF\xBB\xBF{}",  // byte order mark
        "{\"sender\":{\"name\":\"\xC3\x28\"}}",
        R"({"sender":{"name":"QUORVELLAN CONTROLLER","version":{"major":1e308,"minor":-1e308,"build":1e400}}})",
        R"({"sender":{"name":"QUORVELLAN CONTROLLER","version":{"major":-9223372036854775808,"minor":18446744073709551615,"build":2}}})",
        R"({"sender":{"name":"QUORVELLAN CONTROLLER INTERFACE","version":{"major":"2147483648","minor":"-","build":"+1"}}})",
        R"({"sender":{"treadmill":{"serial number":"\u0000\ud800"}}})",
        R"({"sender":{"treadmill":[]},"floorSpeed":{"x":{},"y":[]}})",
        R"({"floorSpeed":null,"ringPosition":"x","enabled":"true","locked":0})",
    };
    for (const std::string& text : hostile) ReadEveryWay(text);
}

TEST(HostileReplies, SerialNumberReadsOnlyAStringAtItsPath) {
    EXPECT_EQ(ReadSerialNumber(R"({"sender":{"treadmill":{"serial number":"ABC-123"}}})"), "ABC-123");
    EXPECT_EQ(ReadSerialNumber(std::string(R"({"sender":{"treadmill":{"serial number":"A\u0000B"}}})")),
              std::string("A\0B", 3));
    EXPECT_THROW(ReadSerialNumber(R"({"sender":{"treadmill":{"serial number":7}}})"), std::exception);
    EXPECT_THROW(ReadSerialNumber(R"({"sender":{"treadmill":{}}})"), std::exception);
    EXPECT_THROW(ReadSerialNumber(R"({"sender":[]})"), std::exception);
    EXPECT_THROW(ReadSerialNumber(R"([])"), std::exception);
    EXPECT_THROW(ReadSerialNumber(""), std::exception);
}

TEST(HostileReplies, IncompleteReplyCheckSeesOnlyProperPrefixes) {
    const std::string reply = R"({"floorSpeed":{"x":0.75,"y":-1.5},"note":"a\"b"})";
    for (std::size_t size = 1; size < reply.size(); ++size) {
        EXPECT_TRUE(IsIncompleteJson(std::string_view(reply).substr(0, size))) << size;
    }
    EXPECT_FALSE(IsIncompleteJson(reply));
    EXPECT_FALSE(IsIncompleteJson(reply + "x"));
    EXPECT_FALSE(IsIncompleteJson(std::string(R"({"a":)") + '\0'));
    EXPECT_FALSE(IsIncompleteJson("hello"));
}

TEST(HostileReplies, EveryKeptFuzzInputReadsSafely) {
    const std::vector<std::filesystem::path> inputs = KeptInputs();
    ASSERT_FALSE(inputs.empty()) << "no fuzz inputs under " << QUORVELLAN_FUZZ_INPUTS;
    for (const auto& path : inputs) {
        SCOPED_TRACE(path.filename().string());
        ReadEveryWay(ReadFile(path));
    }
}
