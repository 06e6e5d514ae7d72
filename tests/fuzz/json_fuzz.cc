// JSON parser and model file invariants on arbitrary bytes: parsing never
// crashes and throws only the number conversion errors; a parsed tree written
// out reads back to the same text; every byte string survives escaping, both
// as a string and as an object key; and a BM25 load that fails leaves the
// model exactly as it was.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "search/bm25/_json.h"
#include "search/bm25/bm25.h"

using korva::typing::text::BM25;
using namespace korva::typing::text::json;

namespace {

const char kModel[] =
    "{\"_b\" : 0.5, \"_doc_count\" : 3, \"_doc_length_average\" : 2.0, "
    "\"_doc_token_frequency\" : {\"a\" : 2, \"b\" : 1}, \"_k1\" : 1.5}";

std::map<std::string, double> Probe(BM25& model) {
  const std::vector<std::string> tokens = {"a", "b", "c", "a"};
  std::map<std::string, double> weights = model.encode_query(tokens);
  for (const auto& entry : model.encode_document(tokens)) weights["doc " + entry.first] = entry.second;
  return weights;
}

// An untrained model refuses to encode; a model loaded with an infinity can
// give NaN weights.
std::map<std::string, double> ProbeOrEmpty(BM25& model) {
  try {
    return Probe(model);
  } catch (const std::runtime_error&) {
    return {};
  }
}

bool SameWeights(const std::map<std::string, double>& a, const std::map<std::string, double>& b) {
  if (a.size() != b.size()) return false;
  for (auto x = a.begin(), y = b.begin(); x != a.end(); ++x, ++y) {
    if (x->first != y->first) return false;
    if (!(x->second == y->second || (std::isnan(x->second) && std::isnan(y->second)))) return false;
  }
  return true;
}

void CheckTree(const std::string& text) {
  JSON value;
  try {
    value = JSON::Load(text);
  } catch (const std::invalid_argument&) {
    return;
  } catch (const std::out_of_range&) {
    return;
  }
  const std::string written = value.dump();
  // Infinities and NaN are written as words the parser does not read.
  if (written.find("inf") != std::string::npos || written.find("nan") != std::string::npos) return;
  // Wrapped, since a number alone at the end of the text is not read.
  const JSON reread = JSON::Load("[" + written + "]");
  size_t elements = 0;
  for (const JSON& element : reread.ArrayRange()) {
    FUZZ_CHECK(element.dump() == written);
    ++elements;
  }
  FUZZ_CHECK(elements == 1);
}

void CheckEscaping(const std::string& raw) {
  const std::string escaped = json_escape(raw);
  FUZZ_CHECK(json_unescape(escaped) == raw);
  JSON text;
  text = raw;
  JSON parsed = JSON::Load("[" + text.dump() + "]");
  bool ok = false;
  for (const JSON& element : parsed.ArrayRange()) FUZZ_CHECK(element.ToString(ok) == escaped && ok);
  JSON object = JSON::Load("{\"" + escaped + "\" : 1}");
  size_t members = 0;
  for (const auto& member : object.ObjectRange()) {
    FUZZ_CHECK(member.first == escaped);
    ++members;
  }
  FUZZ_CHECK(members == 1);
}

void CheckModelLoad(const std::string& text) {
  BM25 model(0.75, 1.2);
  model.load(kModel);
  const std::map<std::string, double> before = Probe(model);
  try {
    model.load(text);
  } catch (const std::exception&) {
    FUZZ_CHECK(Probe(model) == before);
    return;
  }
  // Loaded statistics may sit at the edge of their ranges: training on must
  // either work or be refused with the model unchanged.
  const std::vector<std::vector<std::string>> documents = {{"a", "b", "a"}, {"7", "7"}};
  for (const std::vector<std::string>& document : documents) {
    const std::map<std::string, double> before_training = ProbeOrEmpty(model);
    try {
      model.train(document);
    } catch (const std::overflow_error&) {
      FUZZ_CHECK(SameWeights(ProbeOrEmpty(model), before_training));
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool silenced = (SilenceLogsUnlessAsked(), true);
  (void)silenced;
  const std::string text(reinterpret_cast<const char*>(data), size);
  CheckTree(text);
  CheckEscaping(text);
  CheckModelLoad(text);
  return 0;
}
