// The manual page against the program's own --help: every option, signal
// and settings key the program prints is in the page, and the page names
// no option the program does not take.
#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <set>
#include <string>

#include "test_util.h"

#if defined(SKAV_SERVER_BIN) && defined(SKAV_MANUAL_PAGE)

namespace {

std::string HelpText() {
  std::string text;
  FILE* p = popen(SKAV_SERVER_BIN " --help", "r");
  if (p == nullptr) return text;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) text.append(buf, n);
  pclose(p);
  return text;
}

// The page as a reader sees its words: troff's escaped minus as '-', font
// changes and the no-space escape gone.
std::string PageText() {
  std::string page = ReadFile(SKAV_MANUAL_PAGE);
  page = std::regex_replace(page, std::regex(R"(\\-)"), "-");
  page = std::regex_replace(page, std::regex(R"(\\f[BIRP]|\\c)"), "");
  return page;
}

std::set<std::string> All(const std::string& text, const std::regex& pattern, int group = 0) {
  std::set<std::string> found;
  for (auto it = std::sregex_iterator(text.begin(), text.end(), pattern);
       it != std::sregex_iterator(); ++it) {
    found.insert((*it)[group].str());
  }
  return found;
}

const std::regex kOption(R"(--[a-z][a-z-]*[a-z])");

// The program's own options: those of its usage lines and of its option
// list (other commands' options, quoted in the set-up advice, are not).
std::set<std::string> HelpOptions(const std::string& help) {
  std::set<std::string> options;
  size_t start = 0;
  while (start < help.size()) {
    size_t end = help.find('\n', start);
    if (end == std::string::npos) end = help.size();
    const std::string line = help.substr(start, end - start);
    start = end + 1;
    const bool usage = line.rfind("Usage: skav-server", 0) == 0 ||
                       line.rfind("       skav-server", 0) == 0;
    if (usage) {
      const auto found = All(line, kOption);
      options.insert(found.begin(), found.end());
    } else if (line.rfind("  --", 0) == 0) {
      const auto found = All(line.substr(0, line.find(' ', 2)), kOption);
      options.insert(found.begin(), found.end());
    }
  }
  return options;
}

TEST(ManualPage, NamesEveryOptionSignalAndSettingsKeyOfHelp) {
  const std::string help = HelpText();
  const std::string page = PageText();
  ASSERT_NE(help.find("--headless"), std::string::npos) << help;

  const auto options = HelpOptions(help);
  for (const auto& option : options) {
    EXPECT_NE(page.find(option), std::string::npos) << option << " is not in the manual page";
  }
  for (const auto& signal : All(help, std::regex(R"(\bSIG[A-Z0-9]+)"))) {
    EXPECT_NE(page.find(signal), std::string::npos) << signal << " is not in the manual page";
  }
  // The settings keys --help quotes: "Interface Name", "Log Path", ...
  const auto keys = All(help, std::regex(R"lit("([A-Z][A-Za-z0-9 ]+)")lit"), 1);
  ASSERT_FALSE(keys.empty()) << help;
  for (const auto& key : keys) {
    EXPECT_NE(page.find(key), std::string::npos) << "\"" << key << "\" is not in the manual page";
  }
  // An option the program dropped or renamed stays out of the page's
  // synopsis and option list.
  const size_t from = page.find("\n.SH SYNOPSIS");
  const size_t to = page.find("\n.SH SIGNALS");
  ASSERT_TRUE(from != std::string::npos && to != std::string::npos && from < to);
  for (const auto& option : All(page.substr(from, to - from), kOption)) {
    EXPECT_TRUE(options.count(option)) << option << " is in the page but not in --help";
  }
}

}  // namespace

#endif
