// The protocol's bytes, reply parsing, field access by key path and the
// handshake check: all text in, value out, no sockets.
#include <array>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "messages/handshake.hpp"
#include "messages/protocol.hpp"
#include "messages/reply_fields.hpp"

namespace {

using nlohmann::json;
using namespace quorvellan;
using namespace std::string_literals;

const std::string kFullHeader =
    R"({"sender":{"name":"QUORVELLAN CONTROLLER API","version":{"build":0,"major":1,"minor":3}}})";
const std::string kShortHeader =
    R"({"sender":{"name":"QUORVELLAN CONTROLLER API","version":{"major":1,"minor":3}}})";

json ShortHeader() {
    return protocol::ShortSenderHeader(protocol::kApiSenderName, protocol::kApiVersionMajor,
                                       protocol::kApiVersionMinor);
}

// ---- Message bytes --------------------------------------------------------

TEST(MessageBytes, FullHeaderCarriesTheBuildNumber) {
    json header = protocol::FullSenderHeader(protocol::kApiSenderName, protocol::kApiVersionMajor,
                                             protocol::kApiVersionMinor, protocol::kApiVersionBuild);
    EXPECT_EQ(header.dump(), kFullHeader);
}

TEST(MessageBytes, ShortHeaderHasNoBuildNumber) { EXPECT_EQ(ShortHeader().dump(), kShortHeader); }

TEST(MessageBytes, BrakeWithShortHeader) {
    json message = ShortHeader();
    message.emplace(protocol::key::kBrake, true);
    EXPECT_EQ(message.dump(),
              R"({"brake":true,"sender":{"name":"QUORVELLAN CONTROLLER API","version":{"major":1,"minor":3}}})");
}

TEST(MessageBytes, KeysSortedByBytesWhateverTheInsertionOrder) {
    json message = ShortHeader();
    message.emplace(protocol::key::kUserRotationZ, 0.0);
    message.emplace(protocol::key::kUserPositionX, 1.0);
    message.emplace(protocol::key::kManualYSpeed, -0.5);
    message.emplace(protocol::key::kManualXSpeed, 2.0);
    message.emplace(protocol::key::kEnabled, false);
    EXPECT_EQ(message.dump(),
              R"({"enabled":false,"manualXSpeed":2.0,"manualYSpeed":-0.5,)"
              R"("sender":{"name":"QUORVELLAN CONTROLLER API","version":{"major":1,"minor":3}},)"
              R"("user position x":1.0,"user rotation z":0.0})");
}

TEST(MessageBytes, ProtocolConstants) {
    EXPECT_STREQ(protocol::kPort, "6158");
    EXPECT_STREQ(protocol::kLocalHost, "localhost");
    EXPECT_EQ(protocol::kReplyBufferSize, 2048u);
    EXPECT_EQ(std::string(protocol::kApiSenderName).size(), 25u);
    EXPECT_EQ(std::string(protocol::kLocalControllerName), "QUORVELLAN CONTROLLER INTERFACE");
    EXPECT_EQ(std::string(protocol::kRemoteControllerName), "QUORVELLAN CONTROLLER");
    const std::vector<std::string> sentKeys = {
        protocol::key::kBrake,         protocol::key::kEnabled,       protocol::key::kManualXSpeed,
        protocol::key::kManualYSpeed,  protocol::key::kUserPositionX, protocol::key::kUserPositionY,
        protocol::key::kUserRotationW, protocol::key::kUserRotationX, protocol::key::kUserRotationY,
        protocol::key::kUserRotationZ};
    EXPECT_EQ(sentKeys, (std::vector<std::string>{"brake", "enabled", "manualXSpeed", "manualYSpeed",
                                                  "user position x", "user position y", "user rotation w",
                                                  "user rotation x", "user rotation y", "user rotation z"}));
    const std::vector<std::string> readKeys = {protocol::key::kFloorSpeed, protocol::key::kRingPosition,
                                               protocol::key::kLocked, protocol::key::kTreadmill,
                                               protocol::key::kSerialNumber};
    EXPECT_EQ(readKeys,
              (std::vector<std::string>{"floorSpeed", "ringPosition", "locked", "treadmill", "serial number"}));
}

// ---- Reply parsing ----------------------------------------------------------

int ParseErrorId(const std::string& text) {
    try {
        ParseReply(text);
    } catch (const json::parse_error& error) {
        return error.id;
    }
    return 0;
}

TEST(ParseReply, ZeroBytesAfterTheReplyEndTheInput) {
    std::string padded = R"({"enabled":true})";
    padded.resize(protocol::kReplyBufferSize, '\0');
    EXPECT_EQ(ParseReply(padded), json::parse(R"({"enabled":true})"));
}

TEST(ParseReply, AnythingAfterTheFirstZeroByteIsIgnored) {
    EXPECT_EQ(ParseReply("{\"a\":1}\0 garbage"s), json::parse(R"({"a":1})"));
    EXPECT_EQ(ParseReply("{\"a\":1} \0{"s), json::parse(R"({"a":1})"));
}

TEST(ParseReply, Failures) {
    EXPECT_EQ(ParseErrorId(R"({"a":1} x)"), 101) << "trailing blank and letter";
    EXPECT_EQ(ParseErrorId(""), 101) << "empty text";
    EXPECT_EQ(ParseErrorId(" \t\r\n"), 101) << "whitespace only";
    EXPECT_EQ(ParseErrorId(std::string(protocol::kReplyBufferSize, '\0')), 101) << "zero bytes only";
    EXPECT_EQ(ParseErrorId("{\"a\":\"b\0c\"}"s), 101) << "zero byte inside a string";
    EXPECT_EQ(ParseErrorId(R"({"a":)"), 101) << "cut short";
}

TEST(ParseReply, ExactlyFullBufferWithoutZeroByte) {
    const std::string prefix = R"({"serial":")";
    const std::string suffix = R"("})";
    const std::string filler(protocol::kReplyBufferSize - prefix.size() - suffix.size(), 'A');
    const std::string reply = prefix + filler + suffix;
    ASSERT_EQ(reply.size(), protocol::kReplyBufferSize);
    EXPECT_EQ(ParseReply(reply).at("serial").get<std::string>(), filler);
}

// ---- Field access by key path -----------------------------------------------

struct PathCase {
    const char* name;
    const char* reply;
    KeyPath path;
    double number;
    bool boolean;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const PathCase& c, std::ostream* out) { *out << c.name; }


class KeyPathGetters : public ::testing::TestWithParam<PathCase> {};

TEST_P(KeyPathGetters, ReadOrFallBack) {
    const PathCase& c = GetParam();
    const json reply = json::parse(c.reply);
    EXPECT_EQ(GetNumberAtPath(c.path, reply), c.number);
    EXPECT_EQ(GetBoolAtPath(c.path, reply), c.boolean);
}

// The one-pass reader finds what the getters find in the document.
TEST_P(KeyPathGetters, OnePassReadFindsTheSame) {
    const PathCase& c = GetParam();
    const std::array<KeyPath, 1> paths = {c.path};
    const auto fields = ReadReplyFields(c.reply, paths);
    ASSERT_TRUE(fields.has_value());
    EXPECT_EQ((*fields)[0].NumberOrZero(), c.number);
    EXPECT_EQ((*fields)[0].IsTrue(), c.boolean);
}

const KeyPath kFloorX = {"floorSpeed", "x"};

INSTANTIATE_TEST_SUITE_P(
    Table, KeyPathGetters,
    ::testing::Values(
        PathCase{"FloatUnchanged", R"({"floorSpeed":{"x":0.25,"y":-1}})", kFloorX, 0.25, false},
        PathCase{"SignedIntegerConverted", R"({"floorSpeed":{"x":0.25,"y":-1}})", {"floorSpeed", "y"}, -1.0, false},
        PathCase{"LargestUnsignedStaysPositive", R"({"floorSpeed":{"x":18446744073709551615}})", kFloorX,
                 18446744073709551616.0, false},
        PathCase{"LargestSigned", R"({"floorSpeed":{"x":-9223372036854775808}})", kFloorX,
                 -9223372036854775808.0, false},
        PathCase{"TopLevelBoolean", R"({"enabled":true})", {"enabled"}, 0.0, true},
        PathCase{"FalseIsFalse", R"({"enabled":false})", {"enabled"}, 0.0, false},
        PathCase{"NumberOneIsNotTrue", R"({"enabled":1})", {"enabled"}, 1.0, false},
        PathCase{"StringTrueIsNotTrue", R"({"enabled":"true"})", {"enabled"}, 0.0, false},
        PathCase{"NullMember", R"({"floorSpeed":{"x":null}})", kFloorX, 0.0, false},
        PathCase{"TrueReadAsNumber", R"({"floorSpeed":{"x":true}})", kFloorX, 0.0, true},
        PathCase{"StringMember", R"({"floorSpeed":{"x":"1.5"}})", kFloorX, 0.0, false},
        PathCase{"ObjectMember", R"({"floorSpeed":{"x":{"v":1}}})", kFloorX, 0.0, false},
        PathCase{"EmptyObject", R"({})", kFloorX, 0.0, false},
        PathCase{"OuterIsNumber", R"({"floorSpeed":1.5})", kFloorX, 0.0, false},
        PathCase{"OuterIsTrue", R"({"floorSpeed":true})", kFloorX, 0.0, false},
        PathCase{"OuterIsNull", R"({"floorSpeed":null})", kFloorX, 0.0, false},
        PathCase{"OnlyY", R"({"floorSpeed":{"y":2}})", kFloorX, 0.0, false},
        PathCase{"TopLevelNull", R"(null)", kFloorX, 0.0, false},
        PathCase{"TopLevelArray", R"([{"floorSpeed":{"x":1}}])", kFloorX, 0.0, false},
        PathCase{"TopLevelNumber", R"(7)", {"enabled"}, 0.0, false},
        PathCase{"TopLevelNullOneName", R"(null)", {"enabled"}, 0.0, false},
        PathCase{"ThreeNames", R"({"sender":{"treadmill":{"speed":4}}})", {"sender", "treadmill", "speed"}, 4.0,
                 false},
        PathCase{"DuplicateMemberLastWins", R"({"floorSpeed":{"x":1,"x":2}})", kFloorX, 2.0, false},
        PathCase{"DuplicateMemberOfOtherTypeWins", R"({"enabled":true,"enabled":"yes"})", {"enabled"}, 0.0, false},
        PathCase{"DuplicateObjectReplacesWhole", R"({"floorSpeed":{"x":1,"y":2},"floorSpeed":{"y":3}})", kFloorX,
                 0.0, false},
        PathCase{"DuplicateObjectThenNumber", R"({"floorSpeed":{"x":1},"floorSpeed":5})", kFloorX, 0.0, false},
        PathCase{"EscapedNamesMatch", R"({"floor\u0053peed":{"\u0078":0.5}})", kFloorX, 0.5, false},
        PathCase{"UnsignedAboveSignedRange", R"({"floorSpeed":{"x":9223372036854775808}})", kFloorX,
                 9223372036854775808.0, false},
        PathCase{"NestedNamesDoNotMatch", R"({"a":{"floorSpeed":{"x":1}},"b":[{"floorSpeed":{"x":2}}]})", kFloorX,
                 0.0, false},
        PathCase{"DeepNestingBeside", R"({"a":[[[[{"b":[[{}]]}]]]],"floorSpeed":{"q":[[1]],"x":-4}})", kFloorX,
                 -4.0, false}),
    [](const ::testing::TestParamInfo<PathCase>& info) { return std::string(info.param.name); });

TEST(KeyPathGetters, TwoParsesOfOneTextReadTheSame) {
    const std::string text = R"({"ringPosition":{"x":1.25,"y":2,"z":-3}})";
    for (const char* member : {"x", "y", "z"}) {
        EXPECT_EQ(GetNumberAtPath({"ringPosition", member}, ParseReply(text)),
                  GetNumberAtPath({"ringPosition", member}, ParseReply(text)));
    }
}

// The verdict on the text is the parser's, zero byte and all.
TEST(ReadReplyFields, AcceptsAndRejectsWhatParseReplyDoes) {
    const std::array<KeyPath, 1> paths = {KeyPath{"a"}};
    for (const std::string& text : {"{\"a\":1}\0 garbage"s, std::string(protocol::kReplyBufferSize, '\0'),
                                    R"({"a":1} x)"s, R"({"a":1e999})"s, R"({"a":"\ud800"})"s, "null"s, ""s}) {
        bool parses = true;
        try {
            ParseReply(text);
        } catch (const std::exception&) {
            parses = false;
        }
        EXPECT_EQ(ReadReplyFields(text, paths).has_value(), parses) << text;
    }
    EXPECT_EQ((*ReadReplyFields("{\"a\":1}\0{\"a\":2}"s, paths))[0].number, 1.0);
}

// Paths that share names, or end where another goes on, each get their own member.
TEST(ReadReplyFields, OverlappingPathsInOnePass) {
    const std::array<KeyPath, 4> paths = {KeyPath{"s"}, KeyPath{"s", "t", "n"}, KeyPath{"s", "t", "m"},
                                          KeyPath{"s", "v"}};
    const auto fields = ReadReplyFields(R"({"s":{"t":{"n":"N","m":false},"v":[1]},"t":{"n":1}})", paths);
    ASSERT_TRUE(fields.has_value());
    EXPECT_EQ((*fields)[0].kind, ReplyField::Kind::kOther);
    EXPECT_EQ((*fields)[1].kind, ReplyField::Kind::kString);
    EXPECT_EQ((*fields)[1].text, "N");
    EXPECT_EQ((*fields)[2].kind, ReplyField::Kind::kBoolean);
    EXPECT_FALSE((*fields)[2].boolean);
    EXPECT_EQ((*fields)[3].kind, ReplyField::Kind::kOther);
}

// ---- The fast reader ---------------------------------------------------------

// The fast reader answers a table case only with what the getters find.
TEST_P(KeyPathGetters, FastReaderFindsTheSameOrDeclines) {
    const PathCase& c = GetParam();
    ReplyField field;
    if (ReadReplyFieldsFast(c.reply, &c.path, &field, 1) != FastReadOutcome::kRead) return;
    EXPECT_EQ(field.NumberOrZero(), c.number);
    EXPECT_EQ(field.IsTrue(), c.boolean);
}

// A reply and what reading it gives, named in test listings instead of its
// bytes and as its test's name.
template <typename Expected>
struct NamedReply {
    const char* name;
    std::string reply;
    Expected expected;
};

template <typename Expected>
void PrintTo(const NamedReply<Expected>& c, std::ostream* out) { *out << c.name; }

auto CaseName = [](const auto& info) { return std::string(info.param.name); };

using FastCase = NamedReply<FastReadOutcome>;  // the fast reader's outcome
class FastReader : public ::testing::TestWithParam<FastCase> {};

// Each reason to leave a reply to the one-pass reader, and replies read fast;
// what the fast reader reads is what the one-pass reader reads, bit for bit.
TEST_P(FastReader, AnswersOnlyWhereItReadsAsTheDocumentDoes) {
    const FastCase& c = GetParam();
    const std::array<KeyPath, 4> paths = {KeyPath{"floorSpeed", "x"}, KeyPath{"floorSpeed", "y"},
                                          KeyPath{"enabled"}, KeyPath{"sender", "treadmill", "serial number"}};
    std::array<ReplyField, 4> fast, onePass;
    ASSERT_EQ(ReadReplyFieldsFast(c.reply, paths.data(), fast.data(), paths.size()), c.expected);
    const bool parses = ReadReplyFieldsOnePass(c.reply, paths.data(), onePass.data(), paths.size());
    EXPECT_EQ(ReadReplyFields(c.reply, paths).has_value(), parses);
    if (c.expected != FastReadOutcome::kRead) return;
    ASSERT_TRUE(parses);
    for (std::size_t i = 0; i < paths.size(); ++i) {
        EXPECT_EQ(fast[i].kind, onePass[i].kind) << i;
        EXPECT_EQ(std::signbit(fast[i].number), std::signbit(onePass[i].number)) << i;
        EXPECT_EQ(fast[i].number, onePass[i].number) << i;
        EXPECT_EQ(fast[i].boolean, onePass[i].boolean) << i;
        EXPECT_EQ(fast[i].text, onePass[i].text) << i;
    }
}

std::string Padded(std::string text, std::size_t size) {
    text.resize(size, '\0');
    return text;
}

// A reply whose end leaves fewer zero bytes in the buffer than the fast
// parser reads past it: read from a copy.
std::string ReplyNearTheBufferEnd() {
    const std::string head = R"({"floorSpeed":{"x":0.25,"y":-1},"note":")";
    return Padded(head + std::string(protocol::kReplyBufferSize - head.size() - 10, 'n') + "\"}",
                  protocol::kReplyBufferSize);
}

INSTANTIATE_TEST_SUITE_P(
    Table, FastReader,
    ::testing::Values(
        FastCase{"Plain", R"({"floorSpeed":{"x":0.2513,"y":-1.0478},"enabled":true})", FastReadOutcome::kRead},
        FastCase{"ZeroPadded", Padded(R"({"floorSpeed":{"x":1e-3,"y":7}})", protocol::kReplyBufferSize),
                 FastReadOutcome::kRead},
        FastCase{"NearTheBufferEnd", ReplyNearTheBufferEnd(), FastReadOutcome::kRead},
        FastCase{"TextAfterTheZeroByte", "{\"enabled\":true}\0{\"enabled\""s, FastReadOutcome::kRead},
        FastCase{"EscapedNames", R"({"floor\u0053peed":{"\u0078":0.5},"sender":{"treadmill":{"serial\u0020number":"S\u00e9\ud83d\ude00"}}})",
                 FastReadOutcome::kRead},
        FastCase{"IntegerEdges", R"({"floorSpeed":{"x":18446744073709551615,"y":-9223372036854775808}})",
                 FastReadOutcome::kRead},
        FastCase{"NegativeZeros", R"({"floorSpeed":{"x":-0,"y":-0.0}})", FastReadOutcome::kRead},
        FastCase{"Subnormal", R"({"floorSpeed":{"x":4.9406564584124654e-324,"y":1e-400}})", FastReadOutcome::kRead},
        FastCase{"DuplicateOffThePath", R"({"note":1,"note":2,"floorSpeed":{"x":1,"y":2,"z":3,"z":4}})",
                 FastReadOutcome::kRead},
        FastCase{"DuplicateOnThePath", R"({"floorSpeed":{"x":1,"y":2},"floorSpeed":{"y":3}})",
                 FastReadOutcome::kDuplicateKey},
        FastCase{"DuplicateMember", R"({"floorSpeed":{"x":1,"x":2}})", FastReadOutcome::kDuplicateKey},
        FastCase{"DuplicateDeepOnThePath", R"({"sender":{"treadmill":{"serial number":"A","serial number":"B"}}})",
                 FastReadOutcome::kDuplicateKey},
        FastCase{"IntegerPast64Bits", R"({"floorSpeed":{"x":18446744073709551616}})", FastReadOutcome::kNotAccepted},
        FastCase{"NumberBeyondDouble", R"({"floorSpeed":{"x":1e400}})", FastReadOutcome::kNotAccepted},
        FastCase{"NestingPastTheFastDepth", "{\"a\":" + std::string(1100, '[') + std::string(1100, ']') + "}",
                 FastReadOutcome::kNotAccepted},
        FastCase{"InvalidUtf8", "{\"enabled\":\"\xC3\x28\"}", FastReadOutcome::kNotAccepted},
        FastCase{"LoneSurrogate", R"({"enabled":"\udc00"})", FastReadOutcome::kNotAccepted},
        FastCase{"TrailingText", R"({"enabled":true} x)", FastReadOutcome::kNotAccepted},
        FastCase{"Truncated", R"({"enabled":tr)", FastReadOutcome::kNotAccepted},
        FastCase{"Empty", Padded("", protocol::kReplyBufferSize), FastReadOutcome::kNotAccepted}),
    CaseName);

TEST(ReadReplyFields, PathsBeyondTheLimitsRaise) {
    const std::array<KeyPath, 1> empty = {KeyPath{}};
    const std::array<KeyPath, 1> tooLong = {KeyPath(kMaxFieldPathNames + 1, "a")};
    EXPECT_THROW(ReadReplyFields("{}", empty), std::invalid_argument);
    EXPECT_THROW(ReadReplyFields("{}", tooLong), std::invalid_argument);
    std::vector<KeyPath> many(kMaxFieldPaths + 1, KeyPath{"a"});
    std::vector<ReplyField> fields(many.size());
    EXPECT_THROW(ReadReplyFields("{}", many.data(), fields.data(), many.size()), std::invalid_argument);
}

// ---- Reassembly of a reply that arrives in pieces ---------------------------

struct PrefixCase {
    std::string text;
    bool incomplete;
};

TEST(IsIncompleteJson, Table) {
    const std::vector<PrefixCase> cases = {
        {"", true},
        {"  ", true},
        {"{", true},
        {R"({"floorSpeed":{"x":0.7)", true},
        {R"({"floorSpeed":{"x":0.75,"y":-1.5}})", false},
        {R"({"enabled":tr)", true},
        {R"({"enabled":trx)", false},
        {R"({"serial number":"ABC)", true},
        {R"({"a":1.)", true},
        {R"({"a":-)", true},
        {R"([1,2)", true},
        {R"({} x)", false},
        {R"({}})", false},
        {R"({"a" 1)", false},
        {"x", false},
        {R"({"a":"}")", true},
        {R"({"a":"\"})", true},
        {R"({"a":"\\"})", false},
        {R"({"a":"\\\"}")", true},
        {R"({"a":{"b":[1,{}]}})", false},
        {R"({"a":{"b":[1,{}]})", true},
        {R"({"a":1}})", false},
        {"{\"a\":1}\0"s, false},
        {"{\"a\0"s, false},
    };
    for (const PrefixCase& c : cases) {
        EXPECT_EQ(IsIncompleteJson(c.text), c.incomplete) << '"' << c.text << '"';
    }
}

// ---- Handshake check ----------------------------------------------------------

// What InitInternal makes of a reply: the check's status, or 8 when it raises.
int StatusOf(const std::string& reply, const HandshakeVariant& variant) {
    try {
        return CheckHandshakeReply(reply, variant);
    } catch (const std::exception&) {
        return kStatusFailure;
    }
}

std::string Reply(const std::string& name, const std::string& version) {
    return R"({"sender":{"name":")" + name + R"(","version":)" + version + "}}";
}

std::string LocalReply(const std::string& version, const std::string& name = "QUORVELLAN CONTROLLER INTERFACE") {
    return Reply(name, version);
}

std::string RemoteReply(const std::string& version, const std::string& name = "QUORVELLAN CONTROLLER") {
    return Reply(name, version);
}

using HandshakeCase = NamedReply<int>;  // the check's status

class LocalHandshake : public ::testing::TestWithParam<HandshakeCase> {};
class RemoteHandshake : public ::testing::TestWithParam<HandshakeCase> {};

TEST_P(LocalHandshake, Status) { EXPECT_EQ(StatusOf(GetParam().reply, kLocalHandshake), GetParam().expected); }
TEST_P(RemoteHandshake, Status) { EXPECT_EQ(StatusOf(GetParam().reply, kRemoteHandshake), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(
    Table, LocalHandshake,
    ::testing::Values(
        HandshakeCase{"Minimum", LocalReply(R"({"major":"1","minor":"1","build":"1"})"), 0},
        HandshakeCase{"Newer", LocalReply(R"({"major":"1","minor":"10","build":"3"})"), 0},
        HandshakeCase{"ZeroPadded", LocalReply(R"({"major":"1","minor":"1","build":"1"})") + "\0\0\0"s, 0},
        HandshakeCase{"BlankDigitLetterReadsDigit", LocalReply(R"({"major":" 2x","minor":"1","build":"1"})"), 0},
        HandshakeCase{"PlusSign", LocalReply(R"({"major":"+1","minor":"1","build":"1"})"), 0},
        HandshakeCase{"RemoteName", LocalReply(R"({"major":"1","minor":"1","build":"1"})", "QUORVELLAN CONTROLLER"),
                      4},
        HandshakeCase{"OtherCase",
                      LocalReply(R"({"major":"1","minor":"1","build":"1"})", "Quorvellan Controller Interface"), 4},
        HandshakeCase{"TrailingBlank",
                      LocalReply(R"({"major":"1","minor":"1","build":"1"})", "QUORVELLAN CONTROLLER INTERFACE "), 4},
        HandshakeCase{"NameWithNulAfterIt",
                      LocalReply(R"({"major":"1","minor":"1","build":"1"})", R"(QUORVELLAN CONTROLLER INTERFACE\u0000)"),
                      4},
        HandshakeCase{"EmptyReply", "", 4},
        HandshakeCase{"TrailingGarbage", LocalReply(R"({"major":"1","minor":"1","build":"1"})") + " x", 4},
        HandshakeCase{"NumberBeyondDouble", LocalReply(R"({"major":"1","minor":"1","build":"1","x":1e999})"), 4},
        HandshakeCase{"MajorBelowLaterKeysAbsent", LocalReply(R"({"major":"0"})"), 3},
        HandshakeCase{"MinorBelowBuildAbsent", LocalReply(R"({"major":"1","minor":"0"})"), 3},
        HandshakeCase{"BuildBelow", LocalReply(R"({"major":"1","minor":"1","build":"0"})"), 3},
        HandshakeCase{"NegativeMajor", LocalReply(R"({"major":"-1"})"), 3},
        HandshakeCase{"LettersOnly", LocalReply(R"({"major":"abc","minor":"1","build":"1"})"), 8},
        HandshakeCase{"EmptyString", LocalReply(R"({"major":"","minor":"1","build":"1"})"), 8},
        HandshakeCase{"BeyondInt", LocalReply(R"({"major":"2147483648","minor":"1","build":"1"})"), 8},
        HandshakeCase{"Numbers", LocalReply(R"({"major":1,"minor":1,"build":1})"), 8},
        HandshakeCase{"BuildMissing", LocalReply(R"({"major":"1","minor":"1"})"), 8},
        HandshakeCase{"NoVersion", R"({"sender":{"name":"QUORVELLAN CONTROLLER INTERFACE"}})", 8},
        HandshakeCase{"WrongNameBeforeVersion", R"({"sender":{"name":"QUORVELLAN CONTROLLER"}})", 4},
        HandshakeCase{"VersionAsText", LocalReply(R"("1.1.1")"), 8},
        HandshakeCase{"NoSender", R"({"enabled":true})", 8},
        HandshakeCase{"NoName", R"({"sender":{"version":{"major":"1","minor":"1","build":"1"}}})", 8},
        HandshakeCase{"NameNotText", R"({"sender":{"name":7}})", 8},
        HandshakeCase{"SenderNotObject", R"({"sender":"QUORVELLAN CONTROLLER INTERFACE"})", 8},
        HandshakeCase{"ReplyNull", "null", 8},
        HandshakeCase{"ReplyArray", "[]", 8}),
    CaseName);

INSTANTIATE_TEST_SUITE_P(
    Table, RemoteHandshake,
    ::testing::Values(
        HandshakeCase{"Minimum", RemoteReply(R"({"major":1,"minor":2,"build":2})"), 0},
        HandshakeCase{"MinorTen", RemoteReply(R"({"major":1,"minor":10,"build":3})"), 0},
        HandshakeCase{"MinorTwoPointNineTruncates", RemoteReply(R"({"major":1,"minor":2.9,"build":2})"), 0},
        HandshakeCase{"MajorTrueReadsOne", RemoteReply(R"({"major":true,"minor":2,"build":2})"), 0},
        HandshakeCase{"LowThirtyTwoBitsKept", RemoteReply(R"({"major":4294967297,"minor":2,"build":2})"), 0},
        HandshakeCase{"MinorOnePointNineTruncates", RemoteReply(R"({"major":1,"minor":1.9,"build":2})"), 3},
        HandshakeCase{"MinorBelow", RemoteReply(R"({"major":1,"minor":1,"build":9})"), 3},
        HandshakeCase{"MajorZeroLaterKeysAbsent", RemoteReply(R"({"major":0})"), 3},
        HandshakeCase{"MajorFalse", RemoteReply(R"({"major":false})"), 3},
        HandshakeCase{"NoWholeVersionOrdering", RemoteReply(R"({"major":2,"minor":0,"build":5})"), 3},
        HandshakeCase{"BuildBelow", RemoteReply(R"({"major":1,"minor":3,"build":1})"), 3},
        HandshakeCase{"LocalName", RemoteReply(R"({"major":1,"minor":2,"build":2})", "QUORVELLAN CONTROLLER INTERFACE"),
                      5},
        HandshakeCase{"OtherCase", RemoteReply(R"({"major":1,"minor":2,"build":2})", "quorvellan controller"), 5},
        HandshakeCase{"EmptyReply", "", 5},
        HandshakeCase{"NotJson", "QUORVELLAN CONTROLLER", 5},
        HandshakeCase{"NumberBeyondDouble", RemoteReply(R"({"major":1,"minor":2,"build":2,"x":-1e999})"), 5},
        HandshakeCase{"Strings", RemoteReply(R"({"major":"1","minor":"2","build":"2"})"), 8},
        HandshakeCase{"NullMajor", RemoteReply(R"({"major":null,"minor":2,"build":2})"), 8},
        HandshakeCase{"FloatBeyondInt", RemoteReply(R"({"major":1e10,"minor":2,"build":2})"), 8},
        HandshakeCase{"NoSender", R"({})", 8},
        HandshakeCase{"MinorMissing", RemoteReply(R"({"major":1})"), 8}),
    CaseName);

// ---- Behaviours of the JSON library the code relies on ------------------------

TEST(JsonLibrary, ZeroByteEndsTheInput) {
    const std::string text = "[1]\0[2]"s;
    EXPECT_EQ(json::parse(text.begin(), text.end()), json::array({1}));
}

TEST(JsonLibrary, NumberBeyondDoubleRaisesOutOfRange406) {
    try {
        const json value = json::parse(R"({"x":1e999})");
        FAIL() << "parsed as " << value.dump();
    } catch (const json::out_of_range& error) {
        EXPECT_EQ(error.id, 406) << "not a parse_error: the handshake must treat it as one";
    }
}

TEST(JsonLibrary, BooleanReadAsDoubleRaisesTypeError302) {
    try {
        json(true).get<double>();
        FAIL() << "no exception";
    } catch (const json::type_error& error) {
        EXPECT_EQ(error.id, 302);
        EXPECT_STREQ(error.what(), "[json.exception.type_error.302] type must be number, but is boolean");
    }
}

TEST(JsonLibrary, StringReadAsIntRaisesTypeError302) {
    try {
        json("1").get<int>();
        FAIL() << "no exception";
    } catch (const json::type_error& error) {
        EXPECT_EQ(error.id, 302);
        EXPECT_STREQ(error.what(), "[json.exception.type_error.302] type must be number, but is string");
    }
}

TEST(JsonLibrary, NumberReadAsBooleanRaisesTypeError302) {
    try {
        json(1).get<bool>();
        FAIL() << "no exception";
    } catch (const json::type_error& error) {
        EXPECT_EQ(error.id, 302);
    }
}

TEST(JsonLibrary, NumberConversions) {
    EXPECT_EQ(json(true).get<int>(), 1);
    EXPECT_EQ(json(false).get<int>(), 0);
    EXPECT_EQ(json(4294967297u).get<int>(), 1) << "an integer keeps its low 32 bits";
    EXPECT_EQ(json(std::numeric_limits<std::uint64_t>::max()).get<double>(), 18446744073709551616.0);
    EXPECT_EQ(json(-3).get<double>(), -3.0);
}

TEST(JsonLibrary, EmplaceInsertsOnlyWhenAbsent) {
    json message;  // null
    EXPECT_TRUE(message.emplace("brake", true).second);
    EXPECT_TRUE(message.is_object()) << "emplace turns null into an object";
    EXPECT_FALSE(message.emplace("brake", false).second);
    EXPECT_EQ(message, json::parse(R"({"brake":true})"));
}

TEST(JsonLibrary, EmplaceOnAnArrayRaisesTypeError311) {
    json message = json::array();
    try {
        message.emplace("brake", true);
        FAIL() << "no exception";
    } catch (const json::type_error& error) {
        EXPECT_EQ(error.id, 311);
        EXPECT_STREQ(error.what(), "[json.exception.type_error.311] cannot use emplace() with array");
    }
}

TEST(JsonLibrary, CompactDumpWithKeysInByteOrder) {
    json value;
    value["b"] = 1;
    value["a"] = {{"z", true}, {"Z", nullptr}};
    value["B"] = "x";
    EXPECT_EQ(value.dump(), R"({"B":"x","a":{"Z":null,"z":true},"b":1})");
}

TEST(JsonLibrary, DoublesInStandardFormat) {
    EXPECT_EQ(json(1.0).dump(), "1.0");
    EXPECT_EQ(json(0.0).dump(), "0.0");
    EXPECT_EQ(json(-0.0).dump(), "-0.0");
    EXPECT_EQ(json(0.1).dump(), "0.1");
    EXPECT_EQ(json(1.0 / 3.0).dump(), "0.3333333333333333");
    EXPECT_EQ(json(1e20).dump(), "1e+20");
    EXPECT_EQ(json(-2.5e-7).dump(), "-2.5e-07");
    EXPECT_EQ(json(std::numeric_limits<double>::max()).dump(), "1.7976931348623157e+308");
}

TEST(JsonLibrary, NanAndInfinitiesDumpAsNull) {
    EXPECT_EQ(json(std::nan("")).dump(), "null");
    EXPECT_EQ(json(std::numeric_limits<double>::infinity()).dump(), "null");
    EXPECT_EQ(json(-std::numeric_limits<double>::infinity()).dump(), "null");
}

TEST(JsonLibrary, MemberAccessErrors) {
    json null;
    null["sender"];
    EXPECT_TRUE(null.is_object()) << "operator[] turns null into an object";

    json array = json::array();
    EXPECT_THROW(array["sender"], json::type_error);
    try {
        json::object().at("name");
        FAIL() << "no exception";
    } catch (const json::out_of_range& error) {
        EXPECT_EQ(error.id, 403);
    }
    try {
        json(5).at("name");
        FAIL() << "no exception";
    } catch (const json::type_error& error) {
        EXPECT_EQ(error.id, 304);
    }
}

TEST(JsonLibrary, ErrorsDeriveFromStdException) {
    EXPECT_THROW(json::parse(""), std::exception);
    EXPECT_THROW(json(1).get<std::string>(), std::exception);
    EXPECT_THROW(json::object().at("x"), std::exception);
}

}  // namespace
