#pragma once

// A small dynamic JSON value with a text serializer and a lenient parser.
//
// Usage:
//   json::JSON doc = json::JSON::Load(text);
//   bool ok = false;
//   long count = doc["_doc_count"].ToInt(ok);  // check the kinds you get
//   doc["_k1"] = 1.2;
//   std::string out = doc.dump(1, "  ");
//
// Thread safety: values are plain values: distinct ones may be used on
// different threads, one value not while another thread writes it. The
// parser keeps no state between calls.
// Throws: the parser never throws for bad syntax: it writes one line per
// error (at most 100 per parse, then a count) to standard error and returns
// what it could read. A malformed or out-of-range number throws
// std::invalid_argument or std::out_of_range ("stol", "stod"), which the model
// file passes on to its caller. LoadStrict instead throws std::runtime_error
// at the first fault (a bad number names its member), also for text after
// the value. Anything may throw std::bad_alloc.

#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <deque>
#include <iostream>
#include <map>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>

#include "tokenizer/segmenter/Unicode.h"

namespace korva {
namespace typing {
namespace text {
namespace json {

class JSON;

namespace {

std::string json_escape(const std::string& str);
struct ParseLog;
JSON parse_next(const std::string& str, size_t& offset, int depth, ParseLog& log);

}  // namespace

class JSON {
 public:
  enum class Class { Null = 0, Object, Array, String, Floating, Integral, Boolean };

  template <typename Container>
  class JSONWrapper {
   public:
    explicit JSONWrapper(Container* val) : object(val) {}
    typename Container::iterator begin() {
      return object ? object->begin() : typename Container::iterator();
    }
    typename Container::iterator end() {
      return object ? object->end() : typename Container::iterator();
    }

   private:
    Container* object;
  };

  template <typename Container>
  class JSONConstWrapper {
   public:
    explicit JSONConstWrapper(const Container* val) : object(val) {}
    typename Container::const_iterator begin() const {
      return object ? object->begin() : typename Container::const_iterator();
    }
    typename Container::const_iterator end() const {
      return object ? object->end() : typename Container::const_iterator();
    }

   private:
    const Container* object;
  };

  using ObjectMap = std::map<std::string, JSON>;
  using ArrayList = std::deque<JSON>;

  JSON() : Internal(), Type(Class::Null) {}

  JSON(const JSON& other) : Internal(), Type(Class::Null) { CopyFrom(other); }

  JSON(JSON&& other) noexcept : Internal(other.Internal), Type(other.Type) {
    other.Internal = BackingData();
    other.Type = Class::Null;
  }

  JSON& operator=(const JSON& other) {
    if (this == &other) return *this;
    ClearInternal();
    Internal = BackingData();
    Type = Class::Null;
    CopyFrom(other);
    return *this;
  }

  JSON& operator=(JSON&& other) noexcept {
    if (this == &other) return *this;
    ClearInternal();
    Internal = other.Internal;
    Type = other.Type;
    other.Internal = BackingData();
    other.Type = Class::Null;
    return *this;
  }

  ~JSON() { ClearInternal(); }

  static JSON Make(Class type) {
    JSON value;
    value.SetType(type);
    return value;
  }

  static JSON Load(const std::string& str);
  // The whole text must be one valid value; a UTF-8 byte-order mark ahead of
  // it is skipped.
  static JSON LoadStrict(const std::string& str);

  template <typename T>
  typename std::enable_if<std::is_same<T, bool>::value, JSON&>::type operator=(T b) {
    SetType(Class::Boolean);
    Internal.Bool = b;
    return *this;
  }

  template <typename T>
  typename std::enable_if<std::is_integral<T>::value && !std::is_same<T, bool>::value,
                          JSON&>::type
  operator=(T i) {
    SetType(Class::Integral);
    Internal.Int = static_cast<long>(i);
    return *this;
  }

  template <typename T>
  typename std::enable_if<std::is_floating_point<T>::value, JSON&>::type operator=(T f) {
    SetType(Class::Floating);
    Internal.Float = static_cast<double>(f);
    return *this;
  }

  template <typename T>
  typename std::enable_if<std::is_convertible<T, std::string>::value, JSON&>::type operator=(
      T s) {
    SetType(Class::String);
    *Internal.String = std::string(std::move(s));
    return *this;
  }

  JSON& operator[](const std::string& key) { return Member(key); }
  JSON& operator[](std::string&& key) { return Member(std::move(key)); }

  JSON& operator[](unsigned int index) {
    SetType(Class::Array);
    if (index >= Internal.List->size()) Internal.List->resize(static_cast<size_t>(index) + 1);
    return (*Internal.List)[index];
  }

  Class JSONType() const { return Type; }

  // The escaped form of the text, as the serializer writes it.
  std::string ToString(bool& ok) const {
    ok = Type == Class::String;
    return ok ? json_escape(*Internal.String) : std::string();
  }

  double ToFloat(bool& ok) const {
    ok = Type == Class::Floating;
    return ok ? Internal.Float : 0.0;
  }

  long ToInt(bool& ok) const {
    ok = Type == Class::Integral;
    return ok ? Internal.Int : 0;
  }

  bool ToBool(bool& ok) const {
    ok = Type == Class::Boolean;
    return ok ? Internal.Bool : false;
  }

  JSONWrapper<ObjectMap> ObjectRange() {
    return JSONWrapper<ObjectMap>(Type == Class::Object ? Internal.Map : nullptr);
  }

  JSONConstWrapper<ObjectMap> ObjectRange() const {
    return JSONConstWrapper<ObjectMap>(Type == Class::Object ? Internal.Map : nullptr);
  }

  JSONConstWrapper<ArrayList> ArrayRange() const {
    return JSONConstWrapper<ArrayList>(Type == Class::Array ? Internal.List : nullptr);
  }

  std::string dump(int depth = 1, const std::string& tab = "  ") const {
    std::string out;
    DumpTo(out, depth, tab);
    return out;
  }

  friend std::ostream& operator<<(std::ostream& os, const JSON& json) {
    return os << json.dump(1, "  ");
  }

 private:
  union BackingData {
    BackingData() : Int(0) {}
    ArrayList* List;
    ObjectMap* Map;
    std::string* String;
    double Float;
    long Int;
    bool Bool;
  };

  // Members mostly arrive in key order (a parsed model file, a sorted dump),
  // so a key past the last one is appended without a search.
  template <typename Key>
  JSON& Member(Key&& key) {
    SetType(Class::Object);
    ObjectMap& map = *Internal.Map;
    if (map.empty() || map.rbegin()->first < key) {
      return map.emplace_hint(map.end(), std::forward<Key>(key), JSON())->second;
    }
    return map[std::forward<Key>(key)];
  }

  void SetType(Class type) {
    if (type == Type) return;
    ClearInternal();
    Internal = BackingData();
    switch (type) {
      case Class::Object:
        Internal.Map = new ObjectMap();
        break;
      case Class::Array:
        Internal.List = new ArrayList();
        break;
      case Class::String:
        Internal.String = new std::string();
        break;
      default:
        break;
    }
    Type = type;
  }

  void ClearInternal() {
    switch (Type) {
      case Class::Object:
        delete Internal.Map;
        break;
      case Class::Array:
        delete Internal.List;
        break;
      case Class::String:
        delete Internal.String;
        break;
      default:
        break;
    }
  }

  // Expects *this to be a Null with a zero slot.
  void CopyFrom(const JSON& other) {
    switch (other.Type) {
      case Class::Object:
        Internal.Map = new ObjectMap(*other.Internal.Map);
        break;
      case Class::Array:
        Internal.List = new ArrayList(*other.Internal.List);
        break;
      case Class::String:
        Internal.String = new std::string(*other.Internal.String);
        break;
      default:
        Internal = other.Internal;
        break;
    }
    Type = other.Type;
  }

  // Appends to one buffer so that a large tree is not copied level by level.
  void DumpTo(std::string& out, int depth, const std::string& tab) const {
    switch (Type) {
      case Class::Null:
        out += "null";
        return;
      case Class::Boolean:
        out += Internal.Bool ? "true" : "false";
        return;
      case Class::Integral:
        out += std::to_string(Internal.Int);
        return;
      case Class::Floating: {
        // Six decimals as "%f" writes them, but always with a '.': printf
        // follows the decimal point of the locale the process has set.
        char text[400];
        out.append(text, std::to_chars(text, text + sizeof(text), Internal.Float,
                                       std::chars_format::fixed, 6).ptr);
        return;
      }
      case Class::String:
        out += '"';
        out += json_escape(*Internal.String);
        out += '"';
        return;
      case Class::Array: {
        out += '[';
        bool first = true;
        for (const JSON& element : *Internal.List) {
          if (!first) out += ", ";
          first = false;
          element.DumpTo(out, depth + 1, tab);
        }
        out += ']';
        return;
      }
      case Class::Object: {
        std::string pad;
        for (int i = 0; i < depth; ++i) pad += tab;
        out += "{\n";
        bool first = true;
        for (const auto& member : *Internal.Map) {
          if (!first) out += ",\n";
          first = false;
          out += pad;
          out += '"';
          out += member.first;
          out += "\" : ";
          member.second.DumpTo(out, depth + 1, tab);
        }
        out += '\n';
        if (pad.size() > 2) out.append(pad, 2, std::string::npos);
        out += '}';
        return;
      }
    }
  }

  BackingData Internal;
  Class Type;
};

inline JSON Object() { return JSON::Make(JSON::Class::Object); }

inline JSON Array() { return JSON::Make(JSON::Class::Array); }

namespace {

// Deeper text is refused so that hostile input cannot exhaust the stack.
const int kMaxNestingDepth = 512;

// Thrown when the depth limit is hit; Load turns it into a Null result.
struct NestingTooDeep {};

// The bytes written as a backslash and a letter, and their letters.
const char kEscapedBytes[] = "\"\\\b\f\n\r\t";
const char kEscapeLetters[] = "\"\\bfnrt";
const int kEscapeCount = 7;

inline int escape_index(const char* table, char c) {
  for (int i = 0; i < kEscapeCount; ++i) {
    if (table[i] == c) return i;
  }
  return -1;
}

// The byte a backslash escape other than \u stands for; an unknown escape
// gives a lone backslash.
inline char unescaped_byte(char e) {
  if (e == '/') return '/';
  const int i = escape_index(kEscapeLetters, e);
  return i < 0 ? '\\' : kEscapedBytes[i];
}

inline std::string json_escape(const std::string& str) {
  std::string out;
  out.reserve(str.size());
  for (char c : str) {
    const int i = escape_index(kEscapedBytes, c);
    if (i >= 0) {
      out += '\\';
      out += kEscapeLetters[i];
    } else if (static_cast<unsigned char>(c) < 0x20) {
      // Raw control bytes would make the text invalid JSON for other readers.
      static const char kHex[] = "0123456789abcdef";
      out += "\\u00";
      out += kHex[(c >> 4) & 0xF];
      out += kHex[c & 0xF];
    } else {
      out += c;
    }
  }
  return out;
}

// Reads past the end of the text yield the byte 0, which no rule accepts.
inline char byte_at(const std::string& str, size_t offset) {
  return offset < str.size() ? str[offset] : '\0';
}

inline bool is_ws(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

inline bool is_digit(char c) { return c >= '0' && c <= '9'; }

inline bool ends_number(char c) { return is_ws(c) || c == ',' || c == ']' || c == '}'; }

// One parse writes at most kMaxErrorLines error lines: one defect repeated
// (a text of ten million commas) would otherwise flood standard error.
const size_t kMaxErrorLines = 100;

struct ParseLog {
  size_t errors = 0;
  bool strict = false;  // the first error throws instead of being written

  // Closes the parse, also when a number conversion throws: one line for
  // the errors that were not written. Allocates nothing, so cannot throw.
  ~ParseLog() {
    if (errors <= kMaxErrorLines) return;
    char line[64];
    std::snprintf(line, sizeof(line), "ERROR: Parse: %zu more errors not shown\n",
                  errors - kMaxErrorLines);
    std::cerr << line;
  }
};

inline void parse_error(ParseLog& log, const char* message, const std::string& found) {
  if (log.strict) {
    // Bytes that are not printable ASCII as \xNN: the text goes into an
    // exception message, which must be valid UTF-8.
    std::string shown;
    for (const char c : found) {
      const auto byte = static_cast<unsigned char>(c);
      if (byte >= 0x20 && byte < 0x7F) {
        shown += c;
      } else {
        char hex[8];
        std::snprintf(hex, sizeof(hex), "\\x%02X", byte);
        shown += hex;
      }
    }
    const char* kind = std::strchr(message, ' ');  // past "ERROR:"
    throw std::runtime_error(std::string("not valid JSON: ") + (kind ? kind + 1 : message) + shown +
                             "'");
  }
  if (++log.errors <= kMaxErrorLines) std::cerr << (message + found + "'\n");
}

inline void consume_ws(const std::string& str, size_t& offset) {
  while (is_ws(byte_at(str, offset))) ++offset;
}

// Reads four hexadecimal digits at offset; on failure `bad` is the first
// byte that is not one.
inline bool read_hex4(const std::string& str, size_t offset, unsigned& unit, char& bad) {
  unit = 0;
  for (size_t i = 0; i < 4; ++i) {
    const char c = byte_at(str, offset + i);
    unsigned digit;
    if (c >= '0' && c <= '9') {
      digit = static_cast<unsigned>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      digit = static_cast<unsigned>(c - 'a' + 10);
    } else if (c >= 'A' && c <= 'F') {
      digit = static_cast<unsigned>(c - 'A' + 10);
    } else {
      bad = c;
      return false;
    }
    unit = unit * 16 + digit;
  }
  return true;
}

inline void append_utf8(std::string& out, unsigned code) { segmenter::AppendUtf8(code, out); }

// Appends what the escape whose letter is at `offset` (just past the
// backslash) stands for and leaves `offset` on its last byte. A \u escape is
// decoded to UTF-8, a surrogate pair to one character; false, with `offset`
// unmoved and `bad` the offending byte, when a \u lacks its four hex digits.
inline bool append_unescaped(const std::string& str, size_t& offset, std::string& text,
                             char& bad) {
  const char e = str[offset];
  if (e != 'u') {
    text += unescaped_byte(e);
    return true;
  }
  unsigned unit = 0;
  if (!read_hex4(str, offset + 1, unit, bad)) return false;
  offset += 4;
  unsigned code = unit;
  if (unit >= 0xD800 && unit <= 0xDBFF) {
    unsigned low = 0;
    if (byte_at(str, offset + 1) == '\\' && byte_at(str, offset + 2) == 'u' &&
        read_hex4(str, offset + 3, low, bad) && low >= 0xDC00 && low <= 0xDFFF) {
      code = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
      offset += 6;
    } else {
      code = 0xFFFD;
    }
  } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
    // A lone surrogate is no character: it becomes the replacement character.
    code = 0xFFFD;
  }
  append_utf8(text, code);
  return true;
}

// Turns the escaped form that json_escape gives back into the raw bytes.
inline std::string json_unescape(const std::string& str) {
  if (str.find('\\') == std::string::npos) return str;
  std::string out;
  out.reserve(str.size());
  char bad = '\0';
  for (size_t i = 0; i < str.size(); ++i) {
    size_t next = i + 1;
    if (str[i] == '\\' && next < str.size() && append_unescaped(str, next, out, bad)) {
      i = next;
    } else {
      out += str[i];
    }
  }
  return out;
}

// Steps past the opening bracket and whitespace; true, and past `close`, when
// the container is empty.
inline bool opens_empty(const std::string& str, size_t& offset, char close) {
  ++offset;
  consume_ws(str, offset);
  if (byte_at(str, offset) != close) return false;
  ++offset;
  return true;
}

enum class After { Comma, Close, Other };

// What follows a member or element: a comma or the closing bracket is
// stepped over, any other byte is left for the error line.
inline After after_member(const std::string& str, size_t& offset, char close) {
  consume_ws(str, offset);
  const char c = byte_at(str, offset);
  if (c != ',' && c != close) return After::Other;
  ++offset;
  return c == ',' ? After::Comma : After::Close;
}

inline JSON parse_object(const std::string& str, size_t& offset, int depth, ParseLog& log) {
  JSON object = JSON::Make(JSON::Class::Object);
  if (opens_empty(str, offset, '}')) return object;
  while (true) {
    JSON key = parse_next(str, offset, depth, log);
    consume_ws(str, offset);
    if (byte_at(str, offset) != ':') {
      parse_error(log, "Error: Object: Expected colon, found '", std::string(1, byte_at(str, offset)));
      break;
    }
    ++offset;
    consume_ws(str, offset);
    bool ok = false;
    std::string name = key.ToString(ok);
    JSON value;
    if (log.strict) {
      try {
        value = parse_next(str, offset, depth, log);
      } catch (const std::invalid_argument&) {
        throw std::runtime_error("the number of member '" + json_unescape(name) + "' is malformed");
      } catch (const std::out_of_range&) {
        throw std::runtime_error("the number of member '" + json_unescape(name) +
                                 "' is out of range");
      }
    } else {
      value = parse_next(str, offset, depth, log);
    }
    object[std::move(name)] = std::move(value);
    const After after = after_member(str, offset, '}');
    if (after == After::Comma) continue;
    if (after == After::Other) {
      parse_error(log, "ERROR: Object: Expected comma, found '", std::string(1, byte_at(str, offset)));
    }
    break;
  }
  return object;
}

inline JSON parse_array(const std::string& str, size_t& offset, int depth, ParseLog& log) {
  JSON array = JSON::Make(JSON::Class::Array);
  if (opens_empty(str, offset, ']')) return array;
  unsigned int index = 0;
  while (true) {
    array[index++] = parse_next(str, offset, depth, log);
    const After after = after_member(str, offset, ']');
    if (after == After::Comma) continue;
    if (after == After::Close) break;
    parse_error(log, "ERROR: Array: Expected ',' or ']', found '", std::string(1, byte_at(str, offset)));
    return JSON::Make(JSON::Class::Array);
  }
  return array;
}

inline JSON parse_string(const std::string& str, size_t& offset, ParseLog& log) {
  std::string text;
  while (true) {
    if (++offset >= str.size()) {
      // Still open at the end of the text (possibly after a lone backslash).
      offset = str.size();
      parse_error(log, "ERROR: String: Expected closing quote before end of text, found '",
                  std::string(1, '\0'));
      return JSON::Make(JSON::Class::String);
    }
    const char c = str[offset];
    if (c == '"') break;
    if (c != '\\') {
      text += c;
      continue;
    }
    if (offset + 1 >= str.size()) continue;
    ++offset;
    char bad = '\0';
    if (!append_unescaped(str, offset, text, bad)) {
      parse_error(log, "ERROR: String: Expected hex character in unicode escape, found '",
                  std::string(1, bad));
      return JSON::Make(JSON::Class::String);
    }
  }
  ++offset;
  JSON result;
  result = std::move(text);
  return result;
}

// std::stod, with its exceptions, but reading '.' as the decimal point in
// every locale.
inline double decimal_number(const std::string& text) {
  double value = 0.0;
  const std::from_chars_result read = std::from_chars(text.data(), text.data() + text.size(), value);
  if (read.ec == std::errc::invalid_argument) throw std::invalid_argument("stod");
  if (read.ec == std::errc::result_out_of_range) throw std::out_of_range("stod");
  return value;
}

inline JSON parse_number(const std::string& str, size_t& offset, ParseLog& log) {
  std::string mantissa;
  std::string exponent_text;
  bool has_point = false;
  long exponent = 0;
  char c;
  while (true) {
    c = byte_at(str, offset++);
    if (c == '-' || is_digit(c)) {
      mantissa += c;
    } else if (c == '.') {
      mantissa += c;
      has_point = true;
    } else {
      break;
    }
  }
  if (c == 'e' || c == 'E') {
    c = byte_at(str, offset);
    if (c == '+') {
      ++offset;
    } else if (c == '-') {
      exponent_text += '-';
      ++offset;
    }
    while (true) {
      c = byte_at(str, offset++);
      if (is_digit(c)) {
        exponent_text += c;
      } else if (ends_number(c)) {
        break;
      } else {
        parse_error(log, "ERROR: Number: Expected a number for exponent, found '", std::string(1, c));
        return JSON();
      }
    }
    exponent = std::stol(exponent_text);
  } else if (!ends_number(c)) {
    parse_error(log, "ERROR: Number: unexpected character '", std::string(1, c));
    return JSON();
  }
  --offset;
  JSON result;
  const double scale = std::pow(10.0, static_cast<double>(exponent));
  if (has_point) {
    result = decimal_number(mantissa) * scale;
  } else if (!exponent_text.empty()) {
    result = static_cast<double>(std::stol(mantissa)) * scale;
  } else {
    result = std::stol(mantissa);
  }
  return result;
}

inline JSON parse_bool(const std::string& str, size_t& offset, ParseLog& log) {
  JSON result;
  if (str.compare(offset, 4, "true") == 0) {
    result = true;
    offset += 4;
  } else if (str.compare(offset, 5, "false") == 0) {
    result = false;
    offset += 5;
  } else {
    parse_error(log, "ERROR: Bool: Expected 'true' or 'false', found '", str.substr(offset, 5));
  }
  return result;
}

inline JSON parse_null(const std::string& str, size_t& offset, ParseLog& log) {
  if (str.compare(offset, 4, "null") != 0) {
    parse_error(log, "ERROR: Null: Expected 'null', found '", str.substr(offset, 4));
    return JSON();
  }
  offset += 4;
  return JSON();
}

inline JSON parse_next(const std::string& str, size_t& offset, int depth, ParseLog& log) {
  consume_ws(str, offset);
  const char c = byte_at(str, offset);
  if (c == '[' || c == '{') {
    if (depth >= kMaxNestingDepth) {
      parse_error(log, "ERROR: Parse: Nesting too deep, found '", std::string(1, c));
      throw NestingTooDeep();
    }
    return c == '[' ? parse_array(str, offset, depth + 1, log)
                    : parse_object(str, offset, depth + 1, log);
  }
  if (c == '"') return parse_string(str, offset, log);
  if (c == 't' || c == 'f') return parse_bool(str, offset, log);
  if (c == 'n') return parse_null(str, offset, log);
  if (c == '-' || is_digit(c)) return parse_number(str, offset, log);
  parse_error(log, "ERROR: Parse: Unknown starting character '", std::string(1, c));
  return JSON();
}

}  // namespace

inline JSON JSON::Load(const std::string& str) {
  size_t offset = 0;
  ParseLog log;
  try {
    return parse_next(str, offset, 0, log);
  } catch (const NestingTooDeep&) {
    return JSON();
  }
}

inline JSON JSON::LoadStrict(const std::string& str) {
  size_t offset = str.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
  ParseLog log;
  log.strict = true;
  JSON value = parse_next(str, offset, 0, log);
  consume_ws(str, offset);
  if (offset < str.size()) {
    throw std::runtime_error("not valid JSON: text after the value at byte " +
                             std::to_string(offset));
  }
  return value;
}

}  // namespace json
}  // namespace text
}  // namespace typing
}  // namespace korva
