// Loads a synthetic 350,000-entry main dictionary and reports the load time
// and the heap bytes per entry, next to a baseline measured in the same run:
// the same words in a trie with one hash map per node.
#include <malloc.h>

#include <chrono>
#include <ctime>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <unistd.h>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "tokenizer/segmenter/DictTrie.h"

namespace seg = korva::typing::text::segmenter;

namespace {

const size_t kEntries = 350000;

size_t HeapInUse() {
  struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
}

// Wall and CPU time: the CPU figure stays meaningful on a busy machine.
struct Stopwatch {
  std::chrono::steady_clock::time_point wall = std::chrono::steady_clock::now();
  std::clock_t cpu = std::clock();
  double WallMs() const {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - wall)
        .count();
  }
  double CpuMs() const { return 1000.0 * static_cast<double>(std::clock() - cpu) / CLOCKS_PER_SEC; }
};

void AppendUtf8(std::string& out, uint32_t r) {
  out += static_cast<char>(0xE0 | (r >> 12));
  out += static_cast<char>(0x80 | ((r >> 6) & 0x3F));
  out += static_cast<char>(0x80 | (r & 0x3F));
}

// Words of one to six CJK code points, short ones most common, with a skewed
// choice of code points so that prefixes are shared as in real vocabularies.
std::string WriteDictionary(const std::string& path) {
  std::mt19937 rng(20240309);
  std::discrete_distribution<int> length{4, 40, 25, 20, 7, 4};
  std::geometric_distribution<uint32_t> rank(0.002);
  std::uniform_int_distribution<int> freq(1, 5000);
  const char* tags[] = {"n", "v", "a", "ns", "nr", "d", "m"};
  std::unordered_set<std::string> seen;
  std::ofstream out(path, std::ios::binary);
  while (seen.size() < kEntries) {
    std::string word;
    int len = length(rng) + 1;
    for (int i = 0; i < len; ++i) {
      AppendUtf8(word, 0x4E00 + rank(rng) % 0x5200);
    }
    if (seen.insert(word).second) {
      out << word << ' ' << freq(rng) << ' ' << tags[seen.size() % 7] << '\n';
    }
  }
  return path;
}

struct HashNode {
  std::unordered_map<seg::Rune, HashNode*>* next = nullptr;
  const seg::DictUnit* ptValue = nullptr;
  ~HashNode() {
    if (next != nullptr) {
      for (auto& child : *next) {
        delete child.second;
      }
      delete next;
    }
  }
};

size_t BaselineTrie(const std::string& path, size_t* nodes) {
  std::ifstream in(path);
  std::vector<seg::Unicode> words;
  std::string line;
  while (std::getline(in, line)) {
    seg::Unicode word;
    seg::DecodeRunesInString(line.substr(0, line.find(' ')), word);
    words.push_back(word);
  }
  size_t before = HeapInUse();
  std::unique_ptr<HashNode> root(new HashNode);
  *nodes = 1;
  for (const seg::Unicode& word : words) {
    HashNode* node = root.get();
    for (seg::Rune r : word) {
      if (node->next == nullptr) {
        node->next = new std::unordered_map<seg::Rune, HashNode*>;
      }
      HashNode*& child = (*node->next)[r];
      if (child == nullptr) {
        child = new HashNode;
        ++*nodes;
      }
      node = child;
    }
    node->ptValue = reinterpret_cast<const seg::DictUnit*>(&word);
  }
  return HeapInUse() - before;
}

}  // namespace

int main() {
  std::string path = "/tmp/norvane_bench_dict_" + std::to_string(getpid()) + ".txt";
  WriteDictionary(path);

  size_t before = HeapInUse();
  Stopwatch load;
  std::unique_ptr<seg::DictTrie> dict(new seg::DictTrie(path));
  double load_wall = load.WallMs();
  double load_cpu = load.CpuMs();
  size_t dict_bytes = HeapInUse() - before;

  size_t baseline_nodes = 0;
  Stopwatch baseline;
  size_t baseline_bytes = BaselineTrie(path, &baseline_nodes);
  double baseline_cpu = baseline.CpuMs();
  std::remove(path.c_str());

  size_t trie_bytes = dict->MemoryBytes() - dict->Size() * sizeof(seg::DictUnit);
  std::printf("entries                      %zu\n", dict->Size());
  std::printf("DictTrie load                %.1f ms CPU, %.1f ms wall\n", load_cpu, load_wall);
  std::printf("DictTrie heap                %.1f bytes/entry (entries %zu B each)\n",
              static_cast<double>(dict_bytes) / dict->Size(), sizeof(seg::DictUnit));
  std::printf("trie nodes only              %.1f bytes/entry\n",
              static_cast<double>(trie_bytes) / dict->Size());
  std::printf("baseline hash-map trie       %.1f bytes/entry, read+build %.1f ms CPU (%zu nodes)\n",
              static_cast<double>(baseline_bytes) / dict->Size(), baseline_cpu, baseline_nodes);
  std::printf("load CPU vs baseline         %.2fx\n", load_cpu / baseline_cpu);
  std::printf("trie memory vs baseline      %.2fx\n",
              static_cast<double>(trie_bytes) / baseline_bytes);
  return 0;
}
