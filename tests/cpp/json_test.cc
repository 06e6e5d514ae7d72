#include "search/bm25/_json.h"

#include <gtest/gtest.h>

#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace korva {
namespace typing {
namespace text {
namespace json {
namespace {

using Class = JSON::Class;

// Parses text and captures what the parser writes to standard error.
struct Parsed {
  JSON value;
  std::string errors;
};

Parsed Parse(const std::string& text) {
  std::ostringstream captured;
  std::streambuf* saved = std::cerr.rdbuf(captured.rdbuf());
  Parsed parsed;
  try {
    parsed.value = JSON::Load(text);
  } catch (...) {
    std::cerr.rdbuf(saved);
    throw;
  }
  std::cerr.rdbuf(saved);
  parsed.errors = captured.str();
  return parsed;
}

std::vector<const JSON*> Elements(const JSON& array) {
  std::vector<const JSON*> elements;
  for (const JSON& element : array.ArrayRange()) elements.push_back(&element);
  return elements;
}

size_t MemberCount(const JSON& object) {
  size_t count = 0;
  for (const auto& member : object.ObjectRange()) {
    (void)member;
    ++count;
  }
  return count;
}

std::string RawString(const JSON& value) {
  bool ok = false;
  std::string escaped = value.ToString(ok);
  EXPECT_TRUE(ok);
  return json_unescape(escaped);
}

TEST(JsonSerializer, ScalarsAndStrings) {
  struct Case {
    JSON value;
    std::string text;
  };
  std::vector<Case> cases(9);
  cases[1].value = -5;
  cases[1].text = "-5";
  cases[2].value = 0.1;
  cases[2].text = "0.100000";
  cases[3].value = -0.0000001;
  cases[3].text = "-0.000000";
  cases[4].value = 1e20;
  cases[4].text = "100000000000000000000.000000";
  cases[5].value = true;
  cases[5].text = "true";
  cases[6].value = std::string("a\n\"\\\t\b\f\r/");
  cases[6].text = "\"a\\n\\\"\\\\\\t\\b\\f\\r/\"";
  cases[7].value = std::string("\x01\xe4\xb8\xad");
  // Other control bytes are written as \u escapes, so the text stays valid JSON.
  cases[7].text = "\"\\u0001\xe4\xb8\xad\"";
  cases[8].value = Array();
  cases[8].text = "[]";
  cases[0].text = "null";
  for (const Case& c : cases) EXPECT_EQ(c.value.dump(), c.text);
}

TEST(JsonSerializer, StreamLayout) {
  JSON value;
  value["c"]["d"] = "x";
  value["b"][1u] = JSON();
  value["b"][0u] = true;
  value["a"] = 1;
  std::ostringstream out;
  out << value;
  EXPECT_EQ(out.str(),
            "{\n  \"a\" : 1,\n  \"b\" : [true, null],\n  \"c\" : {\n    \"d\" : \"x\"\n  }\n}");
}

TEST(JsonSerializer, EmptyObjectAndKeyOrder) {
  EXPECT_EQ(Object().dump(1, "  "), "{\n\n}");
  EXPECT_EQ(Object().dump(2, "  "), "{\n\n  }");
  JSON value;
  value["b"] = 1;
  value["B"] = 2;
  value["a"] = 3;
  // Keys are written as held, not escaped.
  value["q\"\\"] = 4;
  EXPECT_EQ(value.dump(), "{\n  \"B\" : 2,\n  \"a\" : 3,\n  \"b\" : 1,\n  \"q\"\\\" : 4\n}");
}

TEST(JsonValue, TypeChangesAndTypedReads) {
  JSON value = Array();
  value["k"];
  EXPECT_EQ(value.JSONType(), Class::Object);
  EXPECT_EQ(MemberCount(value), 1u);

  JSON array = Array();
  JSON& last = array[3u];
  EXPECT_EQ(&last, &array[3u]);
  EXPECT_EQ(Elements(array).size(), 4u);

  bool ok = true;
  JSON number;
  number = 3;
  EXPECT_EQ(number.ToFloat(ok), 0.0);
  EXPECT_FALSE(ok);
  EXPECT_EQ(number.ToInt(ok), 3);
  EXPECT_TRUE(ok);
  number = 3.0;
  EXPECT_EQ(number.ToInt(ok), 0);
  EXPECT_FALSE(ok);
  JSON tab;
  tab = "\t";
  EXPECT_EQ(tab.ToString(ok), "\\t");
  EXPECT_TRUE(ok);
}

TEST(JsonValue, CopyIsDeepAndMoveLeavesNull) {
  JSON source;
  source["a"]["b"] = 1;
  JSON copy = source;
  copy["a"]["b"] = 2;
  bool ok = false;
  EXPECT_EQ(source["a"]["b"].ToInt(ok), 1);
  copy = copy;
  EXPECT_EQ(copy["a"]["b"].ToInt(ok), 2);
  JSON moved = std::move(copy);
  EXPECT_EQ(copy.dump(), "null");
  EXPECT_EQ(moved["a"]["b"].ToInt(ok), 2);
}

TEST(JsonParser, Values) {
  Parsed parsed = Parse("[1.5, -2, 3e2, 4E+1, 5e-1, 1.000000, 007, true, false, null, \"s\"]");
  EXPECT_EQ(parsed.errors, "");
  auto elements = Elements(parsed.value);
  ASSERT_EQ(elements.size(), 11u);
  const Class kinds[] = {Class::Floating, Class::Integral, Class::Floating, Class::Floating,
                         Class::Floating, Class::Floating, Class::Integral, Class::Boolean,
                         Class::Boolean,  Class::Null,     Class::String};
  for (size_t i = 0; i < elements.size(); ++i) EXPECT_EQ(elements[i]->JSONType(), kinds[i]) << i;
  bool ok = false;
  EXPECT_EQ(elements[0]->ToFloat(ok), 1.5);
  EXPECT_EQ(elements[1]->ToInt(ok), -2);
  EXPECT_EQ(elements[2]->ToFloat(ok), 300.0);
  EXPECT_EQ(elements[3]->ToFloat(ok), 40.0);
  EXPECT_EQ(elements[4]->ToFloat(ok), 0.5);
  EXPECT_EQ(elements[6]->ToInt(ok), 7);
  EXPECT_TRUE(elements[7]->ToBool(ok));
  EXPECT_FALSE(elements[8]->ToBool(ok));
}

TEST(JsonParser, ObjectsKeepLastDuplicateAndIgnoreTrailingText) {
  Parsed parsed = Parse(" {\"a\" : 1, \"a\":2,\"b\":{}}  x");
  EXPECT_EQ(parsed.errors, "");
  EXPECT_EQ(MemberCount(parsed.value), 2u);
  bool ok = false;
  EXPECT_EQ(parsed.value["a"].ToInt(ok), 2);
  Parsed empty = Parse("  {}  x");
  EXPECT_EQ(empty.errors, "");
  EXPECT_EQ(empty.value.JSONType(), Class::Object);
}

TEST(JsonParser, StringEscapes) {
  struct Case {
    std::string text;
    std::string raw;
  };
  const std::vector<Case> cases = {
      {R"("a\"b\\c\/d\b\f\n\r\t")", "a\"b\\c/d\b\f\n\r\t"},
      {R"("\x")", "\\"},
      {R"("\u0041\u00e9\u4e2D")", "A\xc3\xa9\xe4\xb8\xad"},
      {R"("\u0000z")", std::string("\0z", 2)},
      {R"("\ud83d\ude00")", "\xf0\x9f\x98\x80"},
      // Lone surrogates become the replacement character.
      {R"("\ud83dx")", "\xef\xbf\xbdx"},
      {R"("\ude00")", "\xef\xbf\xbd"},
      {R"("\ud83d\u0041")", "\xef\xbf\xbd" "A"},
      {"\"\x01\xe4\xb8\xad\"", "\x01\xe4\xb8\xad"},
  };
  for (const Case& c : cases) {
    Parsed parsed = Parse("[" + c.text + "]");
    EXPECT_EQ(parsed.errors, "") << c.text;
    auto elements = Elements(parsed.value);
    ASSERT_EQ(elements.size(), 1u) << c.text;
    EXPECT_EQ(RawString(*elements[0]), c.raw) << c.text;
  }
}

TEST(JsonParser, KeysAreHeldEscapedAndDecoded) {
  Parsed parsed = Parse(R"({"q\"t" : 1, "\u00e9\t" : 2, true : 3})");
  EXPECT_EQ(parsed.errors, "");
  std::vector<std::string> keys;
  for (const auto& member : parsed.value.ObjectRange()) keys.push_back(member.first);
  EXPECT_EQ(keys, (std::vector<std::string>{"", "q\\\"t", "\xc3\xa9\\t"}));
}

TEST(JsonParser, EscapeRoundTrip) {
  const std::string raw("\"\\\b\f\n\r\t/\x01\x7f\xe4\xb8\xad plain");
  EXPECT_EQ(json_unescape(json_escape(raw)), raw);
  JSON value;
  value = raw;
  Parsed parsed = Parse("[" + value.dump() + "]");
  EXPECT_EQ(RawString(*Elements(parsed.value).at(0)), raw);
}

TEST(JsonParser, ErrorLines) {
  struct Case {
    std::string text;
    std::string errors;
    std::string dump;
  };
  const std::string nul(1, '\0');
  const std::string unterminated =
      "ERROR: String: Expected closing quote before end of text, found '" + nul + "'\n";
  const std::vector<Case> cases = {
      {"", "ERROR: Parse: Unknown starting character '" + nul + "'\n", "null"},
      {"5", "ERROR: Number: unexpected character '" + nul + "'\n", "null"},
      {"[5]", "", "[5]"},
      {"[1,2,x]",
       "ERROR: Parse: Unknown starting character 'x'\n"
       "ERROR: Array: Expected ',' or ']', found 'x'\n",
       "[]"},
      {"{\"a\":1 \"b\":2}", "ERROR: Object: Expected comma, found '\"'\n", "{\n  \"a\" : 1\n}"},
      {"{\"a\":1,}",
       "ERROR: Parse: Unknown starting character '}'\n"
       "Error: Object: Expected colon, found '}'\n",
       "{\n  \"a\" : 1\n}"},
      {"{1:2}",
       "ERROR: Number: unexpected character ':'\n"
       "Error: Object: Expected colon, found '2'\n",
       "{\n\n}"},
      // The position is left just past the bad byte, here on the bracket.
      {"[1e2x]", "ERROR: Number: Expected a number for exponent, found 'x'\n", "[null]"},
      {"[\"\\u12G4\"]",
       "ERROR: String: Expected hex character in unicode escape, found 'G'\n"
       "ERROR: Array: Expected ',' or ']', found 'u'\n",
       "[]"},
      {"tru", "ERROR: Bool: Expected 'true' or 'false', found 'tru'\n", "null"},
      {"nul", "ERROR: Null: Expected 'null', found 'nul'\n", "null"},
      {"\"open", unterminated, "\"\""},
      {"\"open\\", unterminated, "\"\""},
  };
  for (const Case& c : cases) {
    Parsed parsed = Parse(c.text);
    EXPECT_EQ(parsed.errors, c.errors) << c.text;
    EXPECT_EQ(parsed.value.dump(), c.dump) << c.text;
  }
}

TEST(JsonParser, NestingLimit) {
  const std::string fine = std::string(512, '[') + std::string(512, ']');
  Parsed parsed = Parse(fine);
  EXPECT_EQ(parsed.errors, "");
  EXPECT_EQ(parsed.value.JSONType(), Class::Array);

  // Far deeper than the stack could take without the limit.
  const std::string deep = std::string(1000000, '[');
  parsed = Parse(deep);
  EXPECT_EQ(parsed.errors, "ERROR: Parse: Nesting too deep, found '['\n");
  EXPECT_EQ(parsed.value.JSONType(), Class::Null);
  parsed = Parse(std::string(600, '{') + "\"a\":1");
  EXPECT_EQ(parsed.errors, "ERROR: Parse: Nesting too deep, found '{'\n");
}

TEST(JsonParser, NumberConversionsThrow) {
  struct Case {
    std::string text;
    bool invalid;
    std::string what;
  };
  const std::vector<Case> cases = {
      {"[-]", true, "stol"},
      {"[1e,]", true, "stol"},
      {"[1e-,]", true, "stol"},
      {"[-.]", true, "stod"},
      {"[99999999999999999999]", false, "stol"},
      {"[1e99999999999999999999]", false, "stol"},
      {"[1" + std::string(400, '0') + ".0]", false, "stod"},
  };
  for (const Case& c : cases) {
    try {
      Parse(c.text);
      ADD_FAILURE() << c.text;
    } catch (const std::invalid_argument& error) {
      EXPECT_TRUE(c.invalid) << c.text;
      EXPECT_EQ(std::string(error.what()), c.what);
    } catch (const std::out_of_range& error) {
      EXPECT_FALSE(c.invalid) << c.text;
      EXPECT_EQ(std::string(error.what()), c.what);
    }
  }
}

}  // namespace
}  // namespace json
}  // namespace text
}  // namespace typing
}  // namespace korva
