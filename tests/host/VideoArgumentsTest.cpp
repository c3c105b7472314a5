#include "host/VideoArguments.hpp"

#include <gtest/gtest.h>

using namespace qb;

namespace {

VideoSettings startOk(const std::optional<std::string>& arg) {
  auto r = parseStartVideoArguments(arg);
  if (auto* e = std::get_if<VideoArgumentError>(&r)) ADD_FAILURE() << "refused: " << e->text;
  return std::get_if<VideoSettings>(&r) ? std::get<VideoSettings>(r) : VideoSettings{};
}

VideoArgumentError startError(const std::optional<std::string>& arg) {
  auto r = parseStartVideoArguments(arg);
  EXPECT_TRUE(std::holds_alternative<VideoArgumentError>(r)) << arg.value_or("<none>");
  return std::get_if<VideoArgumentError>(&r) ? std::get<VideoArgumentError>(r) : VideoArgumentError{};
}

// Every setting at its default.
void expectDefaults(const VideoSettings& s) {
  EXPECT_EQ(s.target.type, "display");
  EXPECT_EQ(s.target.id, 0u);
  EXPECT_EQ(s.format.width, 1920);
  EXPECT_EQ(s.format.height, 1080);
  EXPECT_EQ(s.format.fps, 10);
  EXPECT_EQ(s.format.bitrate, 2000000);
}

std::string switchAnswer(const std::string& arg) {
  auto r = parseSwitchVideoArguments(arg);
  if (auto* e = std::get_if<VideoArgumentError>(&r)) return e->text;
  auto t = std::get<VideoTarget>(r);
  return t.type + "/" + std::to_string(t.id);
}

}  // namespace

TEST(StartVideoArguments, DefaultsForMissingArgumentAndKeys) {
  for (std::optional<std::string> arg : {std::optional<std::string>{}, std::optional<std::string>{"{}"}}) {
    SCOPED_TRACE(arg.value_or("<none>"));
    expectDefaults(startOk(arg));
  }
  auto s = startOk(R"({"type":"window","id":42,"width":1280,"height":720.0,"fps":30,"bitrate":500000})");
  EXPECT_EQ(s.target.type, "window");
  EXPECT_EQ(s.target.id, 42u);
  EXPECT_EQ(s.format.width, 1280);
  EXPECT_EQ(s.format.height, 720);  // an integral float converts exactly
  EXPECT_EQ(s.format.fps, 30);
  EXPECT_EQ(s.format.bitrate, 500000);
}

TEST(StartVideoArguments, InexactValuesTakeDefaults) {
  expectDefaults(startOk(R"({"type":7,"id":-1,"width":1280.5,"height":"720","fps":"30","bitrate":true})"));
  EXPECT_EQ(startOk(R"({"id":4294967296})").target.id, 0u);
  EXPECT_EQ(startOk(R"({"id":4294967295})").target.id, 4294967295u);
  EXPECT_EQ(startOk(R"({"id":3.0})").target.id, 3u);
  EXPECT_EQ(startOk(R"({"width":1e300})").format.width, 1920);
  EXPECT_EQ(startOk(R"({"width":-5})").format.width, -5);  // passed on; the source decides
  EXPECT_EQ(startOk(R"({"width":18446744073709551615})").format.width, 1920);
}

TEST(StartVideoArguments, ParserErrorsAndNonObjects) {
  auto empty = startError(std::string(""));
  EXPECT_EQ(empty.kind, VideoArgumentError::Kind::unparsable);
  EXPECT_FALSE(empty.text.empty());
  EXPECT_EQ(empty.text.find('\n'), std::string::npos);
  EXPECT_EQ(startError(std::string("not json")).kind, VideoArgumentError::Kind::unparsable);
  EXPECT_EQ(startError(std::string("{\"a\":1} trailing")).kind, VideoArgumentError::Kind::unparsable);
  // Like a strict reader, a bare scalar at the top is a parser error, not invalid_json.
  EXPECT_EQ(startError(std::string("5")).kind, VideoArgumentError::Kind::unparsable);
  auto array = startError(std::string("[1,2]"));
  EXPECT_EQ(array.kind, VideoArgumentError::Kind::invalidJson);
  EXPECT_EQ(array.text, "invalid_json");
  // Control characters inside the text never reach the description unescaped.
  auto ctl = startError(std::string("{\"a\":\"\r\"}"));
  EXPECT_EQ(ctl.text.find('\r'), std::string::npos);
}

TEST(VideoArguments, SizeAndNestingAreBoundedBeforeParsing) {
  auto nested = [](size_t depth) {
    return "{\"id\":" + std::string(depth - 1, '[') + "1" + std::string(depth - 1, ']') + "}";
  };
  auto padded = [](size_t size) { return "{\"id\":1" + std::string(size - 8, ' ') + "}"; };
  const struct {
    std::string argument, error;  // error empty: accepted
  } cases[] = {
      {nested(kMaxJsonArgumentDepth), ""},
      {nested(kMaxJsonArgumentDepth + 1), "JSON argument nested too deeply (at most 32 levels)"},
      {nested(1000), "JSON argument nested too deeply (at most 32 levels)"},
      // Brackets inside strings are text, however many.
      {"{\"type\":\"" + std::string(1000, '[') + "\\\"{\"}", ""},
      {padded(kMaxJsonArgumentBytes), ""},
      {padded(kMaxJsonArgumentBytes + 1), "JSON argument too long: 65537 bytes (at most 65536)"},
  };
  for (const auto& c : cases) {
    auto start = parseStartVideoArguments(c.argument);
    auto* error = std::get_if<VideoArgumentError>(&start);
    EXPECT_EQ(error ? error->text : "", c.error) << c.argument.substr(0, 40);
    if (error) {
      EXPECT_EQ(error->kind, VideoArgumentError::Kind::unparsable);
      EXPECT_EQ(switchAnswer(c.argument), c.error);
    }
  }
}

TEST(SwitchVideoArguments, ChecksInOrder) {
  EXPECT_EQ(switchAnswer(R"({"type":"window","id":7})"), "window/7");
  EXPECT_EQ(switchAnswer(R"({"type":"display","id":7.9})"), "display/7");  // fraction dropped
  EXPECT_EQ(switchAnswer(R"({"type":"display","id":4294967295})"), "display/4294967295");
  EXPECT_EQ(switchAnswer(R"({"type":"window","id":0})"), "invalid_target_id");
  EXPECT_EQ(switchAnswer(R"({"type":"window","id":0.5})"), "invalid_target_id");
  EXPECT_EQ(switchAnswer(R"({"type":"window","id":-1})"), "invalid_target_id");
  EXPECT_EQ(switchAnswer(R"({"type":"window","id":4294967296})"), "invalid_target_id");
  EXPECT_EQ(switchAnswer(R"({"type":"window","id":"7"})"), "invalid_target_id");
  EXPECT_EQ(switchAnswer(R"({"type":"window","id":true})"), "invalid_target_id");
  EXPECT_EQ(switchAnswer(R"({"type":"window"})"), "invalid_target_id");
  EXPECT_EQ(switchAnswer(R"({"type":"screen","id":7})"), "invalid_target_type");
  EXPECT_EQ(switchAnswer(R"({"type":"Display","id":7})"), "invalid_target_type");
  EXPECT_EQ(switchAnswer(R"({"id":7})"), "invalid_target_type");
  EXPECT_EQ(switchAnswer(R"({"type":"screen","id":0})"), "invalid_target_id");  // id is checked first
  EXPECT_EQ(switchAnswer("[1,2]"), "invalid_json");
  auto none = parseSwitchVideoArguments(std::nullopt);  // "{}": no id
  ASSERT_TRUE(std::holds_alternative<VideoArgumentError>(none));
  EXPECT_EQ(std::get<VideoArgumentError>(none).text, "invalid_target_id");
}
