#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <string>

// A small, fixed set of segmenter data files written once per test or fuzzer
// process into its own temporary folder: enough words and HMM emissions that the
// dictionary cut, the HMM, the search-mode sub-words and the user dictionary
// all take part.
struct SegmenterFiles {
  std::string dir;
  std::string dict;
  std::string hmm;
  std::string user;
  std::string idf;
  std::string stop;

  SegmenterFiles() {
    char pattern[] = "/tmp/norvane_fuzz_XXXXXX";
    const char* made = mkdtemp(pattern);
    if (made == nullptr) std::abort();
    dir = made;
    dict = Write("dict.txt",
                 "中 30 zg\n中国 10 ns\n中国人 5 n\n国人 3 n\n人民 20 n\n北京 25 ns\n"
                 "北京大学 8 nt\n大学 30 n\n大学生 6 n\n学生 25 n\n天气 12 n\n今天 18 t\n"
                 "我 50 r\n爱 20 v\n的 90 uj\n了 60 ul\nab 2 eng\n3.14 1 m\n");
    hmm = Write("hmm.txt",
                "# B E M S\n-0.6 -3.14e100 -3.14e100 -0.8\n"
                "-3.14e100 -0.5 -0.9 -3.14e100\n-0.7 -3.14e100 -3.14e100 -0.7\n"
                "-3.14e100 -0.6 -0.8 -3.14e100\n-0.7 -3.14e100 -3.14e100 -0.7\n"
                "小:-1.0,王:-1.0,北:-2.0,今:-2.0\n明:-1.0,京:-2.0,天:-2.0\n晓:-1.0,大:-3.0\n"
                "的:-0.5,了:-0.5,小:-5,我:-1.0\n");
    user = Write("user.txt", "小明 nr\n云计算 100 n\n一\n晓 x\n");
    idf = Write("idf.txt", "中国 5.0\n北京 6.5\n天气 7.25\n");
    stop = Write("stop.txt", "的\n了\n");
  }

  ~SegmenterFiles() {
    for (const std::string& path : written_) std::remove(path.c_str());
    rmdir(dir.c_str());
  }

  SegmenterFiles(const SegmenterFiles&) = delete;
  SegmenterFiles& operator=(const SegmenterFiles&) = delete;

  std::string Write(const std::string& name, const std::string& content) {
    const std::string path = dir + "/" + name;
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
    written_.insert(path);
    return path;
  }

 private:
  std::set<std::string> written_;
};
