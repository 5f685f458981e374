// A reply that arrives whole is recognised without a parse; that quick answer
// must agree with the parser's on every text: whole, cut short or mangled.
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "messages/reply_fields.hpp"

using namespace quorvellan;
using nlohmann::json;

namespace {

// The parser's answer: the parse fails because the input ran out.
struct EndOfInputProbe : json::json_sax_t {
    std::size_t inputSize = 0;
    bool ranOut = false;

    bool null() override { return true; }
    bool boolean(bool) override { return true; }
    bool number_integer(number_integer_t) override { return true; }
    bool number_unsigned(number_unsigned_t) override { return true; }
    bool number_float(number_float_t, const string_t&) override { return true; }
    bool string(string_t&) override { return true; }
    bool binary(binary_t&) override { return true; }
    bool start_object(std::size_t) override { return true; }
    bool key(string_t&) override { return true; }
    bool end_object() override { return true; }
    bool start_array(std::size_t) override { return true; }
    bool end_array() override { return true; }
    bool parse_error(std::size_t position, const std::string& lastToken, const nlohmann::detail::exception&) override {
        ranOut = lastToken.empty() || position > inputSize;
        return false;
    }
};

bool ParserSaysIncomplete(std::string_view text) {
    if (text.find('\0') != std::string_view::npos) return false;
    EndOfInputProbe probe;
    probe.inputSize = text.size();
    return !json::sax_parse(text.begin(), text.end(), &probe) && probe.ranOut;
}

const std::vector<std::string> kReplies = {
    R"({"floorSpeed":{"x":0.75,"y":-1.5},"enabled":true,"locked":false})",
    R"({"sender":{"name":"QUORVELLAN CONTROLLER INTERFACE","treadmill":{"serial number":"a}b\"c{d\\"}}})",
    R"({"ringPosition":{"x":1e-3,"y":-2,"z":[1,{"w":[]}]},"note":"\u00e9\ud83d\ude00 ]}"})",
    R"({"a":[[[{"b":[{}]}]]],"c":"\\\\\"}"})",
};

}  // namespace

TEST(ReplyReassembly, TextsEndingInABraceThatDoNotCloseTheReply) {
    EXPECT_TRUE(IsIncompleteJson(R"({"a":"})"));        // the brace is inside a string
    EXPECT_TRUE(IsIncompleteJson(R"({"a":"\"})"));      // an escaped quote keeps the string open
    EXPECT_TRUE(IsIncompleteJson(R"({"a":{"b":1})"));   // only the inner object closed
    EXPECT_FALSE(IsIncompleteJson(R"({"a":"\\"})"));    // an escaped backslash ends the string
    EXPECT_FALSE(IsIncompleteJson(R"({"a":[1}})"));     // mismatched brackets fail before the end
    EXPECT_FALSE(IsIncompleteJson(R"({"a":"\u00"})"));  // a bad escape fails inside the string
    EXPECT_FALSE(IsIncompleteJson(R"({"a":1.})"));
    EXPECT_FALSE(IsIncompleteJson(R"({"a":"b"}})"));
    EXPECT_FALSE(IsIncompleteJson(R"( {"a":"b"})"));
    EXPECT_FALSE(IsIncompleteJson("{\"a\":\"b\"} \n"));
}

TEST(ReplyReassembly, AgreesWithTheParserOnEveryPrefix) {
    for (const std::string& reply : kReplies) {
        for (std::size_t size = 0; size <= reply.size(); ++size) {
            std::string_view prefix = std::string_view(reply).substr(0, size);
            EXPECT_EQ(IsIncompleteJson(prefix), ParserSaysIncomplete(prefix)) << prefix;
        }
    }
}

TEST(ReplyReassembly, AgreesWithTheParserOnMangledReplies) {
    const std::string replacements = "\"{}[]\\:, 0xu";
    for (const std::string& reply : kReplies) {
        for (std::size_t at = 0; at < reply.size(); ++at) {
            std::string removed = reply;
            removed.erase(at, 1);
            EXPECT_EQ(IsIncompleteJson(removed), ParserSaysIncomplete(removed)) << removed;
            for (char replacement : replacements) {
                std::string mangled = reply;
                mangled[at] = replacement;
                EXPECT_EQ(IsIncompleteJson(mangled), ParserSaysIncomplete(mangled)) << mangled;
            }
        }
    }
}

// Where a reply ends decides whether a later reply can be misread: bytes after
// the value, or text that is not JSON, are never a whole reply.
TEST(ReplyFramingVerdict, Table) {
    using F = ReplyFraming;
    using namespace std::string_literals;
    const struct {
        std::string text;
        ReplyFraming verdict;
    } cases[] = {
        {R"({"a":1})", F::Complete},
        {"{\"a\":1}\n", F::Complete},               // white space after the value
        {"{\"a\":1}\0\0\0junk"s, F::Complete},      // zero-byte padding ends the reply
        {"{\"a\":\"x\0y\"}"s, F::Broken},           // a zero byte inside a string
        {"\0"s, F::Broken},                          // a stray zero byte
        {R"({"a":)", F::Incomplete},
        {"  ", F::Incomplete},                       // white space alone: the value may follow
        {R"({"a":1} x)", F::Broken},                 // bytes after the value
        {R"({"a":1}{"a":2})", F::Broken},           // two replies in one read
        {"x", F::Broken},
        {"x{\"a\":1}", F::Broken},                   // a stray byte before the reply
        {R"({"a":1e400})", F::Complete},             // framed; the parser rejects the number later
        {"[1,2]", F::Complete},
        {"null", F::Complete},
        {"12", F::Incomplete},                       // more digits may follow
        {"12 ", F::Complete},
    };
    for (const auto& c : cases) EXPECT_EQ(FrameReply(c.text), c.verdict) << ::testing::PrintToString(c.text);
}
