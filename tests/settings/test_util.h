// Helpers of the settings and start/stop tests: a temporary folder, a
// recording error sink and Debug Window, and interface lists.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "report/debug_print.h"
#include "link/if_list.h"
#include "support/recording_error_sink.h"

/// A fresh folder, removed with everything in it afterwards.
class TempDir {
 public:
  TempDir() {
    std::string pattern = std::filesystem::temp_directory_path().string() + "/skavset.XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) != nullptr) path_ = buf.data();
  }
  ~TempDir() {
    if (path_.empty()) return;
    std::error_code ec;
    // Give back write access first: some tests take it away.
    for (auto& e : std::filesystem::recursive_directory_iterator(path_, ec)) {
      if (e.is_directory(ec)) {
        std::filesystem::permissions(e.path(), std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ec);
      }
    }
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

/// A Debug Window that keeps its text.
class RecordingLogSink : public LogSink {
 public:
  void Append(const char* text, size_t len) override {
    std::lock_guard<std::mutex> lock(mu_);
    text_.append(text, len);
  }
  std::string Text() const {
    std::lock_guard<std::mutex> lock(mu_);
    return text_;
  }

 private:
  mutable std::mutex mu_;
  std::string text_;
};

/// An interface list with these descriptions; names are "dev0", "dev1"...
inline L2_IfList MakeIfList(const std::vector<std::string>& descriptions) {
  L2_IfList list;
  list.count = static_cast<int32_t>(descriptions.size());
  for (size_t i = 0; i < descriptions.size(); ++i) {
    std::snprintf(list.name[i], sizeof list.name[i], "dev%zu", i);
    std::snprintf(list.description[i], sizeof list.description[i], "%s",
                  descriptions[i].c_str());
  }
  return list;
}

inline void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}
