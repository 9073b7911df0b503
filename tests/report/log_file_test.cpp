// Log file: banners and outcome lines byte for byte with CR LF, outcomes
// written once, the open messages, and writers racing a replacement.
#include "report/log_file.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "report/debug_print.h"
#include "report/device_record_file.h"
#include "panel_devices.h"
#include "support/recording_error_sink.h"

namespace {

// A server cycle's two steps on one thread: the lines held, then written.
int Outcomes(LogFile& file, DeviceRecord* list) {
  const int kept = LogFileOutcomes(file, list);
  LineFileWriteHeld(file, nullptr);
  return kept;
}
int RecordOutcomes(RecordFile& file, DeviceRecord* list, const ImageFacts* images,
                   const RecordServer& server) {
  const int kept = RecordFileOutcomes(file, list, 3, images, server);
  LineFileWriteHeld(file, nullptr);
  return kept;
}

class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/skav-log-test-XXXXXX";
    const char* made = mkdtemp(pattern);
    if (made != nullptr) path_ = made;
  }
  ~TempDir() {
    if (!path_.empty()) {
      std::string cmd = "rm -rf '" + path_ + "'";
      if (std::system(cmd.c_str()) != 0) {
        // Nothing more to do: a leftover directory in /tmp harms no test.
      }
    }
  }
  std::string File(const std::string& name) const { return path_ + "/" + name; }
  bool ok() const { return !path_.empty(); }

 private:
  std::string path_;
};

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// The C library's own asctime text of `t`, without its line feed.
std::string AscTime(time_t t) {
  struct tm tm {};
  localtime_r(&t, &tm);
  char buf[64];
  asctime_r(&tm, buf);
  std::string s(buf);
  if (!s.empty() && s.back() == '\n') s.pop_back();
  return s;
}

// The stamp is one of the local times between `before` and `after`, in the
// 24-character asctime form or (short) without the weekday and its blank.
void ExpectStamp(const std::string& stamp, time_t before, time_t after,
                 bool shortForm) {
  static const std::regex kLong(
      "(Sun|Mon|Tue|Wed|Thu|Fri|Sat) "
      "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
      "[ 123][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4}");
  static const std::regex kShort(
      "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
      "[ 123][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4}");
  ASSERT_EQ(stamp.size(), shortForm ? 20u : 24u) << stamp;
  EXPECT_TRUE(std::regex_match(stamp, shortForm ? kShort : kLong)) << stamp;
  bool near = false;
  for (time_t t = before; t <= after; ++t) {
    std::string want = AscTime(t);
    if (shortForm) want = want.substr(4);
    near = near || want == stamp;
  }
  EXPECT_TRUE(near) << stamp;
}

std::vector<std::string> Captures(const std::string& text, const std::regex& re) {
  std::smatch m;
  std::vector<std::string> out;
  if (!std::regex_match(text, m, re)) return out;
  for (size_t i = 1; i < m.size(); ++i) out.push_back(m[i].str());
  return out;
}

TEST(LogFileBanner, ThreeBannersByteExact) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  LogFile file;
  ASSERT_TRUE(OpenLogFile(file, dir.File("log.txt")));
  time_t before = time(nullptr);
  EXPECT_EQ(LogFileBanner(file, BANNER_REWORK_START), 1);
  EXPECT_EQ(LogFileBanner(file, BANNER_SUPERVISOR_LOGIN), 1);
  EXPECT_EQ(LogFileBanner(file, BANNER_SUPERVISOR_LOGOUT), 1);
  EXPECT_EQ(LogFileBanner(file, BANNER_REWORK_START), 1);
  time_t after = time(nullptr);
  // Flushed at once: the bytes are in the file while it is still open.
  std::string text = ReadAll(dir.File("log.txt"));
  CloseLogFile(file);

  static const std::regex kAll(
      "\r\n########## \\[(.{24})\\] Firmware Reworking starts ##########\r\n"
      "########## \\[(.{24})\\] Supervisor Logs in        ##########\r\n"
      "########## \\[(.{24})\\] Supervisor Logs out       ##########\r\n"
      "\r\n########## \\[(.{24})\\] Firmware Reworking starts ##########\r\n");
  std::vector<std::string> stamps = Captures(text, kAll);
  ASSERT_EQ(stamps.size(), 4u) << text;
  for (const std::string& s : stamps) ExpectStamp(s, before, after, false);
  // With the stamps put back, the whole file, byte for byte.
  EXPECT_EQ(text,
            "\r\n########## [" + stamps[0] +
                "] Firmware Reworking starts ##########\r\n"
                "########## [" + stamps[1] +
                "] Supervisor Logs in        ##########\r\n"
                "########## [" + stamps[2] +
                "] Supervisor Logs out       ##########\r\n"
                "\r\n########## [" + stamps[3] +
                "] Firmware Reworking starts ##########\r\n");
}

TEST(LogFileBanner, NothingWithoutFileOrWithUnknownKind) {
  LogFile none;
  EXPECT_EQ(LogFileBanner(none, BANNER_REWORK_START), 0);

  TempDir dir;
  ASSERT_TRUE(dir.ok());
  LogFile file;
  ASSERT_TRUE(OpenLogFile(file, dir.File("log.txt")));
  EXPECT_EQ(LogFileBanner(file, 3), 0);
  EXPECT_EQ(LogFileBanner(file, -1), 0);
  CloseLogFile(file);
  EXPECT_EQ(ReadAll(dir.File("log.txt")), "");
  EXPECT_EQ(LogFileBanner(file, BANNER_SUPERVISOR_LOGIN), 0);
}

TEST(LogFileOpen, AppendsToAnExistingFile) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  {
    std::ofstream(dir.File("log.txt"), std::ios::binary) << "earlier\r\n";
  }
  LogFile file;
  ASSERT_TRUE(OpenLogFile(file, dir.File("log.txt")));
  EXPECT_EQ(LogFileBanner(file, BANNER_SUPERVISOR_LOGIN), 1);
  CloseLogFile(file);
  std::string text = ReadAll(dir.File("log.txt"));
  EXPECT_EQ(text.rfind("earlier\r\n########## [", 0), 0u) << text;
}

TEST(LogFileOpen, MessagesAndTheOldFileClosed) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  RecordingErrorSink errors;
  LogFile file;
  ASSERT_TRUE(OpenLogFile(file, dir.File("first.txt")));
  ASSERT_EQ(LogFileBanner(file, BANNER_SUPERVISOR_LOGIN), 1);

  EXPECT_FALSE(OpenLogFile(file, ""));
  EXPECT_FALSE(LineFileIsKept(file));
  EXPECT_EQ(LogFileBanner(file, BANNER_SUPERVISOR_LOGOUT), 0);

  const std::string missing = dir.File("no-such-dir/log.txt");
  EXPECT_FALSE(OpenLogFile(file, missing));
  EXPECT_EQ(file.fd, -1);
  const std::string directory = dir.File("");
  EXPECT_FALSE(OpenLogFile(file, directory));

  EXPECT_EQ(errors.Messages(),
            (std::vector<std::string>{
                "No log file specified, click the \"Open...\" button to select "
                "a log file.",
                "Fail to open the log file '" + missing +
                    "': 'No such file or directory'",
                "Fail to open the log file '" + directory +
                    "': 'Is a directory'"}));

  // Replacing an open file closes it first: the second file gets the next
  // banner, the first keeps only its own.
  ASSERT_TRUE(OpenLogFile(file, dir.File("first.txt")));
  ASSERT_TRUE(OpenLogFile(file, dir.File("second.txt")));
  EXPECT_EQ(LogFileBanner(file, BANNER_SUPERVISOR_LOGOUT), 1);
  CloseLogFile(file);
  EXPECT_FALSE(LineFileIsKept(file));
  CloseLogFile(file);  // closing twice is harmless
  const std::string first = ReadAll(dir.File("first.txt"));
  EXPECT_EQ(std::count(first.begin(), first.end(), '#'), 20) << first;
  EXPECT_NE(ReadAll(dir.File("second.txt")).find("Logs out"), std::string::npos);
  EXPECT_EQ(errors.Messages().size(), 3u);
}

const std::regex kOutcomeLine(
    "\\[(.{20})\\] ([0-9A-F]{2}(?:-[0-9A-F]{2}){5}): (Done    |Error   )\r\n");

struct OutcomeLine {
  std::string stamp, mac, word;
};

std::vector<OutcomeLine> OutcomeLines(const std::string& text) {
  std::vector<OutcomeLine> lines;
  std::string rest = text;
  std::smatch m;
  while (!rest.empty()) {
    if (!std::regex_search(rest, m, kOutcomeLine,
                           std::regex_constants::match_continuous)) {
      ADD_FAILURE() << "not an outcome line: " << rest;
      break;
    }
    lines.push_back({m[1].str(), m[2].str(), m[3].str()});
    rest = m.suffix().str();
  }
  return lines;
}

TEST(LogFileOutcomes, OneLinePerClosedClientInListOrder) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  Devices d;
  DeviceRecord* nothing = d.Add(Mac{0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}, true);
  DeviceRecord* failed = d.Add(Mac{0xAB, 0xCD, 0xEF, 0x01, 0x02, 0x03});
  DeviceRecord* active = d.Add(Mac{0x10, 0, 0, 0, 0, 0x01});
  DeviceRecord* done = d.Add(Mac{0xFE, 0xDC, 0xBA, 0x98, 0x76, 0x54});
  DeviceRecord* logged = d.Add(Mac{0x20, 0, 0, 0, 0, 0x02});
  nothing->SetState(Closed);  // nothing offered: Done without fwUpgradeDone
  Devices::FinishError(failed);
  Devices::FinishDone(done);
  Devices::FinishDone(logged);
  logged->SetFlag(outcomeLogged);

  LogFile file;
  ASSERT_TRUE(OpenLogFile(file, dir.File("log.txt")));
  time_t before = time(nullptr);
  EXPECT_EQ(Outcomes(file, d.head()), 1);
  time_t after = time(nullptr);
  std::string text = ReadAll(dir.File("log.txt"));

  std::vector<OutcomeLine> lines = OutcomeLines(text);
  ASSERT_EQ(lines.size(), 3u) << text;
  for (const auto& l : lines) ExpectStamp(l.stamp, before, after, true);
  EXPECT_EQ(text, "[" + lines[0].stamp + "] 00-1A-2B-3C-4D-5E: Done    \r\n" +
                      "[" + lines[1].stamp + "] AB-CD-EF-01-02-03: Error   \r\n" +
                      "[" + lines[2].stamp + "] FE-DC-BA-98-76-54: Done    \r\n");
  EXPECT_TRUE(nothing->HasFlag(outcomeLogged));
  EXPECT_TRUE(failed->HasFlag(outcomeLogged));
  EXPECT_TRUE(done->HasFlag(outcomeLogged));
  EXPECT_FALSE(active->HasFlag(outcomeLogged));

  // Logged once: the next cycle writes nothing; the active device, once
  // Closed, gets its line in the cycle after.
  EXPECT_EQ(Outcomes(file, d.head()), 1);
  EXPECT_EQ(ReadAll(dir.File("log.txt")), text);
  Devices::FinishError(active);
  EXPECT_EQ(Outcomes(file, d.head()), 1);
  std::vector<OutcomeLine> more =
      OutcomeLines(ReadAll(dir.File("log.txt")).substr(text.size()));
  ASSERT_EQ(more.size(), 1u);
  EXPECT_EQ(more[0].mac, "10-00-00-00-00-01");
  EXPECT_EQ(more[0].word, "Error   ");
  CloseLogFile(file);
}

TEST(LogFileOutcomes, FinishedBeforeAFileWasOpened) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  Devices d;
  DeviceRecord* early = d.Add(MacOf(0x01));
  Devices::FinishDone(early);

  LogFile file;
  EXPECT_EQ(Outcomes(file, d.head()), 0);
  EXPECT_FALSE(early->HasFlag(outcomeLogged));

  ASSERT_TRUE(OpenLogFile(file, dir.File("first.txt")));
  EXPECT_EQ(Outcomes(file, d.head()), 1);
  std::vector<OutcomeLine> lines = OutcomeLines(ReadAll(dir.File("first.txt")));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].mac, "00-00-00-00-00-01");
  EXPECT_EQ(lines[0].word, "Done    ");

  // A device already logged is not written again into a newly chosen file.
  ASSERT_TRUE(OpenLogFile(file, dir.File("second.txt")));
  EXPECT_EQ(Outcomes(file, d.head()), 1);
  CloseLogFile(file);
  EXPECT_EQ(ReadAll(dir.File("second.txt")), "");
}

// A log folder that is not there when the file is chosen: said once, and
// the banner and the outcome line held meanwhile go out, in order, once it
// is there.
TEST(LogFileOpen, APathThatCannotBeOpenedYetGetsItsHeldLinesLater) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  RecordingErrorSink errors;
  LogFile file;
  const std::string path = dir.File("later/log.txt");
  EXPECT_FALSE(OpenLogFile(file, path));
  EXPECT_EQ(LogFileBanner(file, BANNER_REWORK_START), 1);
  Devices d;
  Devices::FinishDone(d.Add(MacOf(0x01)));
  EXPECT_EQ(LogFileOutcomes(file, d.head()), 1);
  EXPECT_FALSE(LineFileWriteHeld(file, nullptr));
  ASSERT_EQ(mkdir(dir.File("later").c_str(), 0755), 0);
  EXPECT_TRUE(LineFileWriteHeld(file, nullptr));
  CloseLogFile(file);
  const std::string text = ReadAll(path);
  static const std::regex kBoth(
      "\r\n########## \\[.{24}\\] Firmware Reworking starts ##########\r\n"
      "\\[.{20}\\] 00-00-00-00-00-01: Done    \r\n");
  EXPECT_TRUE(std::regex_match(text, kBoth)) << text;
  EXPECT_EQ(errors.Messages(), std::vector<std::string>{"Fail to open the log file '" + path +
                                                        "': 'No such file or directory'"});
}

// A file left ending inside a line (a kill, or a cut that could not be
// undone): the next line begins on a line of its own, never glued on.
TEST(HeldLines, AFileEndingInsideALineGetsALineEndFirst) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  const std::string path = dir.File("devices.jsonl");
  std::ofstream(path, std::ios::binary) << "{\"mac\":\"00-00-00-00-00-01\",\"ip";
  RecordFile file;
  ASSERT_TRUE(OpenRecordFile(file, path));
  file.held.lines.push_back("{\"mac\":\"00-00-00-00-00-02\"}\n");
  EXPECT_TRUE(LineFileWriteHeld(file, nullptr));
  CloseRecordFile(file);
  EXPECT_EQ(ReadAll(path),
            "{\"mac\":\"00-00-00-00-00-01\",\"ip\n{\"mac\":\"00-00-00-00-00-02\"}\n");
}

// A rotation renames the file (or removes it) under the server: the next
// line goes to a file of that name again, not after the old one's lines.
TEST(HeldLines, ARenamedFileIsOpenedAnewByItsPath) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  const std::string path = dir.File("devices.jsonl");
  RecordFile file;
  ASSERT_TRUE(OpenRecordFile(file, path));
  file.held.lines.push_back("{\"n\":1}\n");
  EXPECT_TRUE(LineFileWriteHeld(file, nullptr));
  ASSERT_EQ(rename(path.c_str(), (path + ".1").c_str()), 0);
  file.held.lines.push_back("{\"n\":2}\n");
  EXPECT_TRUE(LineFileWriteHeld(file, nullptr));
  CloseRecordFile(file);
  EXPECT_EQ(ReadAll(path + ".1"), "{\"n\":1}\n");
  EXPECT_EQ(ReadAll(path), "{\"n\":2}\n");
}

// Two writers and a window replacing the file under them: every file holds
// whole lines only, and every banner written is found once.
TEST(LogFileLock, WritersAndReplacementNeverMixLines) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  LogFile file;
  ASSERT_TRUE(OpenLogFile(file, dir.File("a.txt")));
  constexpr int kEach = 300;
  int written[2] = {0, 0};
  // Until each has written its share: a banner meets no file while a
  // replacement is between its close and its open, and on a loaded machine
  // a writer can spend a whole short run there.
  auto writer = [&](int kind, int* count) {
    for (long i = 0; *count < kEach && i < 100000000; ++i) *count += LogFileBanner(file, kind);
  };
  std::thread login(writer, BANNER_SUPERVISOR_LOGIN, &written[0]);
  std::thread logout(writer, BANNER_SUPERVISOR_LOGOUT, &written[1]);
  for (int i = 0; i < 40; ++i) {
    OpenLogFile(file, dir.File(i % 2 ? "a.txt" : "b.txt"));
    std::this_thread::yield();
  }
  login.join();
  logout.join();
  CloseLogFile(file);

  static const std::regex kLine(
      "########## \\[.{24}\\] Supervisor Logs (in        |out       )"
      "##########\r\n");
  int found[2] = {0, 0};
  for (const char* name : {"a.txt", "b.txt"}) {
    std::string rest = ReadAll(dir.File(name));
    std::smatch m;
    while (!rest.empty()) {
      ASSERT_TRUE(std::regex_search(rest, m, kLine,
                                    std::regex_constants::match_continuous))
          << "broken line in " << name << ": " << rest.substr(0, 80);
      ++found[m[1].str() == "in        " ? 0 : 1];
      rest = m.suffix().str();
    }
  }
  EXPECT_EQ(found[0], kEach);
  EXPECT_EQ(found[1], kEach);
}

// --- The JSON Lines record beside it --------------------------------------

std::vector<std::string> RecordLines(const std::string& path) {
  std::vector<std::string> lines;
  std::istringstream in(ReadAll(path));
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Same selection as the outcome lines: Closed, or cut off by a stop; each
// device once, however often the server cycles; a stopped device says so.
TEST(RecordFile, EachFinishedOrStoppedDeviceIsWrittenOnceWithItsCause) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  Devices devices;
  DeviceRecord* silent = devices.Add(MacOf(1));  // firmware on offer
  DeviceRecord* cut = devices.Add(MacOf(2));
  DeviceRecord* empty = devices.Add(MacOf(3), true);
  Devices::FinishError(silent);  // went quiet without asking for anything
  Devices::FinishDone(empty);
  ImageFacts images[7];
  images[0] = ImageFacts{true, "firmware", "/srv/fw \"a\".bin", 3, std::string(64, 'a')};
  const RecordServer server{"bench", "veth0", "0.1"};
  RecordFile file;
  const std::string path = dir.File("devices.jsonl");
  ASSERT_TRUE(OpenRecordFile(file, path));

  EXPECT_EQ(RecordOutcomes(file, devices.head(), images, server), 1);
  EXPECT_EQ(RecordOutcomes(file, devices.head(), images, server), 1);
  std::vector<std::string> lines = RecordLines(path);
  ASSERT_EQ(lines.size(), 2u) << ReadAll(path);
  EXPECT_EQ(lines[0].rfind("{\"mac\":\"00-00-00-00-00-01\",\"ip\":\"0.0.0.0\",\"region\":3,", 0), 0u)
      << lines[0];
  EXPECT_NE(lines[0].find(",\"outcome\":\"Error\",\"graceful\":false,\"images\":[{\"name\":"
                          "\"firmware\",\"file\":\"/srv/fw \\\"a\\\".bin\",\"size\":3,\"sha256\":\"" +
                          std::string(64, 'a') +
                          "\",\"sent\":false,\"seconds\":0.0,\"resent\":0}],\"failure\":{\"cause\":"
                          "\"no-request\"},\"server\":{\"host\":\"bench\",\"interface\":\"veth0\","
                          "\"version\":\"0.1\"}}"),
            std::string::npos)
      << lines[0];
  EXPECT_NE(lines[1].find("\"mac\":\"00-00-00-00-00-03\""), std::string::npos);
  EXPECT_NE(lines[1].find("\"outcome\":\"Done\",\"graceful\":false,\"images\":[],\"server\""),
            std::string::npos)
      << lines[1];

  cut->SetFlag(interruptedByStop);
  EXPECT_EQ(RecordOutcomes(file, devices.head(), images, server), 1);
  EXPECT_EQ(RecordOutcomes(file, devices.head(), images, server), 1);
  lines = RecordLines(path);
  ASSERT_EQ(lines.size(), 3u) << ReadAll(path);
  EXPECT_NE(lines[2].find("\"mac\":\"00-00-00-00-00-02\""), std::string::npos);
  EXPECT_NE(lines[2].find("\"outcome\":\"Error\""), std::string::npos);
  EXPECT_NE(lines[2].find("\"failure\":{\"cause\":\"stopped\"}"), std::string::npos) << lines[2];
  // Cut off before it closed, it ends at the stop: a time, not nothing.
  EXPECT_EQ(lines[2].find("\"ended\":\"1970-"), std::string::npos) << lines[2];
  for (DeviceRecord* c : {silent, cut, empty}) EXPECT_TRUE(c->HasFlag(recordWritten));
  CloseRecordFile(file);
  EXPECT_EQ(RecordOutcomes(file, devices.head(), images, server), 0);

  // A named pipe would block whoever opens it: refused at once, in words.
  const std::string fifo = dir.File("pipe.jsonl");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  RecordingErrorSink errors;
  EXPECT_FALSE(OpenRecordFile(file, fifo));
  EXPECT_EQ(errors.Messages(),
            std::vector<std::string>{"Fail to open the record file '" + fifo +
                                     "': 'not a regular file but a named pipe (FIFO)'"});
  CloseRecordFile(file);
}

// A device may go on with other images after one failed, and fail another:
// the failure names the firmware's, and every image that failed.
TEST(RecordFile, AFailureNamesTheFirstImageThatFailedAndListsEveryOne) {
  DeviceRecord device;
  device.firmwareOffered = true;
  device.stMask = 3;
  DeviceLive& live = *device.live;
  live.BeginTransfer(0, 3000);
  // Longer than any fixed buffer, with a character across byte 127.
  const std::string said = "Disk full" + std::string(117, '.') + "\xc3\xa9 (retry after power cycle)";
  live.TransferFailed(FailureCause::kTftpError, 2, 3, said.data(), said.size());
  live.BeginTransfer(1, 700);
  live.ImageSent(188);
  live.BeginTransfer(2, 700);
  live.TransferFailed(FailureCause::kTimeout, 1);
  device.SetFlag(gracefulClosing);
  device.SetState(Closed);
  ImageFacts images[7];
  images[0] = ImageFacts{true, "firmware", "/srv/fw.bin", 3000, std::string(64, 'a')};
  images[1] = ImageFacts{true, "string table 01", "/srv/st1.bin", 700, std::string(64, 'b')};
  images[2] = ImageFacts{true, "string table 02", "/srv/st2.bin", 700, std::string(64, 'c')};
  const std::string line =
      DeviceRecordJson(device, 3, images, RecordServer{"bench", "veth0", "0.1"}, 0);
  EXPECT_NE(line.find("\"failure\":{\"cause\":\"tftp-error\",\"image\":\"firmware\","
                      "\"block\":2,\"code\":3,\"text\":\"" + said + "\","
                      "\"failed\":[\"firmware\",\"string table 02\"]}"),
            std::string::npos)
      << line;
}

}  // namespace
