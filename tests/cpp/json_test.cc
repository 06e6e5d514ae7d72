#include "search/bm25/_json.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace korva::typing::text::json {

using Class = JSON::Class;

template <class T>
JSON Value(T v) {
  JSON value;
  value = v;
  return value;
}

// Parses text; what the parser writes to standard error goes to *errors, or
// must be nothing.
JSON Parse(const std::string& text, std::string* errors = nullptr) {
  std::ostringstream captured;
  std::streambuf* saved = std::cerr.rdbuf(captured.rdbuf());
  JSON value;
  try {
    value = JSON::Load(text);
  } catch (...) {
    std::cerr.rdbuf(saved);
    throw;
  }
  std::cerr.rdbuf(saved);
  if (errors != nullptr) {
    *errors = captured.str();
  } else {
    EXPECT_EQ(captured.str(), "") << text;
  }
  return value;
}

std::vector<const JSON*> Elements(const JSON& array) {
  std::vector<const JSON*> elements;
  for (const JSON& element : array.ArrayRange()) elements.push_back(&element);
  return elements;
}

std::string RawString(const JSON& value) {
  bool ok = false;
  std::string escaped = value.ToString(ok);
  EXPECT_TRUE(ok);
  return json_unescape(escaped);
}

TEST(JsonSerializer, ScalarsAndStrings) {
  const std::vector<std::pair<JSON, std::string>> cases = {
      {JSON(), "null"},
      {Value(-0.0000001), "-0.000000"},
      {Value(1e20), "100000000000000000000.000000"},
      {Value(true), "true"},
      {Value("a\n\"\\\t\b\f\r/"), "\"a\\n\\\"\\\\\\t\\b\\f\\r/\""},
      // Other control bytes are written as \u escapes, so the text stays valid JSON.
      {Value("\x01\xe4\xb8\xad"), "\"\\u0001\xe4\xb8\xad\""},
      {Array(), "[]"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.first.dump(), c.second);
}

TEST(JsonSerializer, Layout) {
  JSON value;
  value["c"]["d"] = "x";
  value["b"][1u] = JSON();
  value["b"][0u] = true;
  value["a"] = 1;
  value["B"] = 2;
  value["q\"\\"] = 4;  // keys are written as held, not escaped
  std::ostringstream out;
  out << value;
  EXPECT_EQ(out.str(),
            "{\n  \"B\" : 2,\n  \"a\" : 1,\n  \"b\" : [true, null],\n"
            "  \"c\" : {\n    \"d\" : \"x\"\n  },\n  \"q\"\\\" : 4\n}");
  EXPECT_EQ(Object().dump(1, "  "), "{\n\n}");
  EXPECT_EQ(Object().dump(2, "  "), "{\n\n  }");
}

TEST(JsonValue, CopyIsDeepAndMoveLeavesNull) {
  bool ok = false;
  JSON source;
  source["a"]["b"] = 1;
  JSON copy = source;
  copy["a"]["b"] = 2;
  EXPECT_EQ(source["a"]["b"].ToInt(ok), 1);
  copy = copy;
  JSON moved = std::move(copy);
  EXPECT_EQ(copy.dump(), "null");
  EXPECT_EQ(moved["a"]["b"].ToInt(ok), 2);
}

TEST(JsonParser, Values) {
  const JSON parsed = Parse("[1.5, -2, 3e2, 4E+1, 5e-1, 1.000000, 007, true, false, null, \"s\"]");
  auto elements = Elements(parsed);
  ASSERT_EQ(elements.size(), 11u);
  const Class kinds[] = {Class::Floating, Class::Integral, Class::Floating, Class::Floating,
                         Class::Floating, Class::Floating, Class::Integral, Class::Boolean,
                         Class::Boolean,  Class::Null,     Class::String};
  for (size_t i = 0; i < elements.size(); ++i) EXPECT_EQ(elements[i]->JSONType(), kinds[i]) << i;
  bool ok = false;
  EXPECT_EQ(elements[1]->ToInt(ok), -2);
  EXPECT_EQ(elements[2]->ToFloat(ok), 300.0);
  EXPECT_EQ(elements[3]->ToFloat(ok), 40.0);
  EXPECT_EQ(elements[4]->ToFloat(ok), 0.5);
  EXPECT_EQ(elements[6]->ToInt(ok), 7);
  EXPECT_FALSE(elements[8]->ToBool(ok));

  // The last of duplicate keys wins; text after the value is ignored.
  JSON object = Parse(" {\"a\" : 1, \"a\":2,\"b\":{}}  x");
  EXPECT_EQ(object.dump(), "{\n  \"a\" : 2,\n  \"b\" : {\n\n  }\n}");
  EXPECT_EQ(Parse("  {}  x").JSONType(), Class::Object);
}

TEST(JsonParser, StringEscapes) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {R"("a\"b\\c\/d\b\f\n\r\t")", "a\"b\\c/d\b\f\n\r\t"},
      {R"("\x")", "\\"},
      {R"("\u0041\u00e9\u4e2D")", "A\xc3\xa9\xe4\xb8\xad"},
      // Lone surrogates become the replacement character.
      {R"("\ud83dx")", "\xef\xbf\xbdx"},
      {R"("\ude00")", "\xef\xbf\xbd"},
      {R"("\ud83d\u0041")", "\xef\xbf\xbd" "A"},
      {"\"\x01\xe4\xb8\xad\"", "\x01\xe4\xb8\xad"},
  };
  for (const auto& c : cases) {
    const JSON parsed = Parse("[" + c.first + "]");
    auto elements = Elements(parsed);
    ASSERT_EQ(elements.size(), 1u) << c.first;
    EXPECT_EQ(RawString(*elements[0]), c.second) << c.first;
  }
  // Keys are held escaped; a key that is no string becomes "".
  const JSON object = Parse(R"({"q\"t" : 1, "\u00e9\t" : 2, true : 3})");
  std::vector<std::string> keys;
  for (const auto& member : object.ObjectRange()) keys.push_back(member.first);
  EXPECT_EQ(keys, (std::vector<std::string>{"", "q\\\"t", "\xc3\xa9\\t"}));
}

TEST(JsonParser, ErrorLines) {
  const std::string nul(1, '\0');
  const std::string unterminated =
      "ERROR: String: Expected closing quote before end of text, found '" + nul + "'\n";
  const struct {
    std::string text, errors, dump;
  } cases[] = {
      {"", "ERROR: Parse: Unknown starting character '" + nul + "'\n", "null"},
      {"5", "ERROR: Number: unexpected character '" + nul + "'\n", "null"},
      {"[1,2,x]",
       "ERROR: Parse: Unknown starting character 'x'\n"
       "ERROR: Array: Expected ',' or ']', found 'x'\n",
       "[]"},
      {"{\"a\":1 \"b\":2}", "ERROR: Object: Expected comma, found '\"'\n", "{\n  \"a\" : 1\n}"},
      {"{\"a\":1,}",
       "ERROR: Parse: Unknown starting character '}'\nError: Object: Expected colon, found '}'\n",
       "{\n  \"a\" : 1\n}"},
      {"{1:2}",
       "ERROR: Number: unexpected character ':'\nError: Object: Expected colon, found '2'\n",
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
  for (const auto& c : cases) {
    std::string errors;
    EXPECT_EQ(Parse(c.text, &errors).dump(), c.dump) << c.text;
    EXPECT_EQ(errors, c.errors) << c.text;
  }
}

TEST(JsonParser, ErrorLinesOfOneParseAreCapped) {
  std::string lines;
  for (int i = 0; i < 99; ++i) lines += "ERROR: Parse: Unknown starting character ','\n";
  lines += "ERROR: Parse: Unknown starting character ']'\n";
  std::string errors;
  Parse("[" + std::string(99, ',') + "]", &errors);
  EXPECT_EQ(errors, lines);
  Parse("[" + std::string(1000000, ',') + "]", &errors);
  EXPECT_EQ(errors, lines.substr(0, lines.size() - 45) +
                        "ERROR: Parse: Unknown starting character ','\n"
                        "ERROR: Parse: 999901 more errors not shown\n");
}

TEST(JsonParser, NestingLimit) {
  EXPECT_EQ(Parse(std::string(512, '[') + std::string(512, ']')).JSONType(), Class::Array);
  // Far deeper than the stack could take without the limit.
  std::string errors;
  EXPECT_EQ(Parse(std::string(1000000, '['), &errors).JSONType(), Class::Null);
  EXPECT_EQ(errors, "ERROR: Parse: Nesting too deep, found '['\n");
  Parse(std::string(600, '{') + "\"a\":1", &errors);
  EXPECT_EQ(errors, "ERROR: Parse: Nesting too deep, found '{'\n");
}

}  // namespace korva::typing::text::json
