// Cuts a text file line by line in C++ alone, without Python, and prints the
// throughput of each mode: the figure to profile the cut itself with (perf,
// callgrind). Usage: bench_cut DATA_DIR TEXT_FILE [REPEAT]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "tokenizer/segmenter/Segmenter.h"

namespace seg = korva::typing::text::segmenter;

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s DATA_DIR TEXT_FILE [REPEAT]\n", argv[0]);
    return 2;
  }
  const std::string data = argv[1];
  const int repeat = argc > 3 ? std::atoi(argv[3]) : 3;
  std::ifstream in(argv[2]);
  std::vector<std::string> lines;
  size_t bytes = 0;
  for (std::string line; std::getline(in, line);) {
    bytes += line.size();
    lines.push_back(line);
  }
  seg::Segmenter segmenter(data + "/main_dict.txt", data + "/hmm_model.txt", "",
                           data + "/idf.txt", data + "/stop_words.txt");
  std::vector<seg::WordSpan> words;  // what the Python binding asks for
  for (int pass = 0; pass < 4; ++pass) {
    const int mode = pass % 2;
    double best = 1e300;
    size_t count = 0;
    for (int r = 0; r < repeat; ++r) {
      count = 0;
      const auto start = std::chrono::steady_clock::now();
      for (const std::string& line : lines) {
        if (mode == 0) {
          segmenter.Cut(line, words, true);
        } else {
          segmenter.CutForSearch(line, words, true);
        }
        count += words.size();
      }
      const double seconds =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      if (seconds < best) best = seconds;
    }
    std::printf("%-16s %8.1f MB/s  (%zu words)\n", mode == 0 ? "cut" : "cut_for_search",
                bytes / 1e6 / best, count);
  }
  return 0;
}
