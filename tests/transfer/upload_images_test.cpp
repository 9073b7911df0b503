// Upload images: loading files and their messages, string-table loading,
// the choice of image for a requested name, WRQ names, completion records.
#include "transfer/upload_images.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "protocol/skav_msg.h"
#include "support/client_harness.h"

using namespace harness;

namespace {

using Bytes = std::vector<uint8_t>;

class RecordingErrors : public ErrorSink {
 public:
  void Show(const char* text) override { shown.emplace_back(text); }
  std::vector<std::string> shown;
};

// A scratch directory with files, removed afterwards; error boxes recorded.
class ImageFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/skav-images-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    SetErrorSink(&errors_);
  }
  void TearDown() override {
    SetErrorSink(nullptr);
    for (const auto& f : files_) std::remove(f.c_str());
    rmdir(dir_.c_str());
  }
  std::string Write(const std::string& name, const Bytes& content) {
    std::string path = dir_ + "/" + name;
    FILE* f = std::fopen(path.c_str(), "wb");
    EXPECT_NE(f, nullptr);
    if (!content.empty()) std::fwrite(content.data(), 1, content.size(), f);
    std::fclose(f);
    files_.push_back(path);
    return path;
  }

  std::string dir_;
  std::vector<std::string> files_;
  RecordingErrors errors_;
};

}  // namespace

TEST(BlankPath, EmptyOrSpacesOnly) {
  EXPECT_TRUE(IsBlankPath(""));
  EXPECT_TRUE(IsBlankPath("    "));
  EXPECT_TRUE(IsBlankPath(nullptr));
  EXPECT_FALSE(IsBlankPath(" a "));
  EXPECT_FALSE(IsBlankPath("\t"));
}

TEST_F(ImageFiles, LoadsTheWholeFile) {
  const Bytes content = Pattern(70000, 1);
  uint8_t* block = nullptr;
  uint32_t len = 1;
  ASSERT_TRUE(LoadFileToMemory(Write("fw.bin", content).c_str(), &block, &len));
  ASSERT_EQ(len, content.size());
  EXPECT_EQ(Bytes(block, block + len), content);
  EXPECT_TRUE(errors_.shown.empty());
  std::free(block);
}

TEST_F(ImageFiles, EmptyFileLoadsWithABlock) {
  uint8_t* block = nullptr;
  uint32_t len = 1;
  ASSERT_TRUE(LoadFileToMemory(Write("empty.bin", {}).c_str(), &block, &len));
  EXPECT_EQ(len, 0u);
  EXPECT_NE(block, nullptr);  // loaded means a block, even for no bytes
  EXPECT_TRUE(errors_.shown.empty());
  std::free(block);
}

TEST_F(ImageFiles, FailuresShowTheirMessages) {
  uint8_t* block = reinterpret_cast<uint8_t*>(&block);
  uint32_t len = 5;
  EXPECT_FALSE(LoadFileToMemory("", &block, &len));
  EXPECT_EQ(block, nullptr);
  EXPECT_FALSE(LoadFileToMemory((dir_ + "/missing.bin").c_str(), &block, &len));
  EXPECT_FALSE(LoadFileToMemory(dir_.c_str(), &block, &len));
  EXPECT_EQ(block, nullptr);
  EXPECT_EQ(errors_.shown,
            (std::vector<std::string>{
                "No file specified",
                "Fail to open the file: No such file or directory",
                "Fail to open the file: Is a directory"}));
}

TEST_F(ImageFiles, StringTablesLoadInOrderAndGiveTheMask) {
  const std::string paths[6] = {
      Write("t1", Pattern(10)), "", Write("t3", {}), "   ", "", ""};
  UploadImages images;
  EXPECT_EQ(LoadStringTables(paths, images), 0);
  EXPECT_EQ(images.stMask, 0x5u);
  EXPECT_EQ(Bytes(images.buf[1], images.buf[1] + images.len[1]), Pattern(10));
  EXPECT_TRUE(images.Loaded(3));  // an empty table is offered too
  EXPECT_EQ(images.len[3], 0u);
  for (int k : {0, 2, 4, 5, 6}) EXPECT_FALSE(images.Loaded(k)) << k;
  EXPECT_TRUE(errors_.shown.empty());  // a path of spaces is no error

  FreeUploadImages(images);
  for (int k = 0; k < kImageCount; ++k) EXPECT_FALSE(images.Loaded(k));
  EXPECT_EQ(images.stMask, 0u);
}

TEST_F(ImageFiles, StringTableFailureStopsAtThatTable) {
  const std::string paths[6] = {Write("t1", Pattern(10)),
                                dir_ + "/nope",
                                Write("t3", Pattern(3)),
                                "",
                                "",
                                ""};
  UploadImages images;
  EXPECT_EQ(LoadStringTables(paths, images), 2);
  EXPECT_TRUE(images.Loaded(1));   // kept for the clean-up to release
  EXPECT_FALSE(images.Loaded(3));  // never reached
  EXPECT_EQ(errors_.shown,
            (std::vector<std::string>{
                "Fail to open the file: No such file or directory"}));
  FreeUploadImages(images);
}

TEST_F(ImageFiles, OnlyRegularFilesAfterTheirLinksAreImages) {
  const std::string fifo = dir_ + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  files_.push_back(fifo);
  const std::string real = Write("real.bin", Pattern(600, 2));
  struct Case {
    std::string name;    // a link of that name in the folder points to...
    std::string target;  // ...this
    const char* message;  // nullptr: loads
  };
  const Case cases[] = {
      {"to-real", real, nullptr},
      {"to-fifo", fifo, "Fail to open the file: not a regular file but a named pipe (FIFO)"},
      {"to-null", "/dev/null", "Fail to open the file: not a regular file but a character device"},
      {"to-folder", dir_, "Fail to open the file: Is a directory"},
      // Size 0, yet text when read: it would go out as an empty image.
      {"to-proc", "/proc/self/status",
       "Fail to open the file: not a regular file of fixed length: it holds more than the 0 "
       "bytes its size gives (a file of /proc, or one still being written)"},
  };
  for (const Case& k : cases) {
    const std::string link = dir_ + "/" + k.name;
    ASSERT_EQ(symlink(k.target.c_str(), link.c_str()), 0);
    files_.push_back(link);
    errors_.shown.clear();
    // A FIFO must be refused without waiting for a writer; should the load
    // wait all the same, a writer comes after a while and frees it.
    auto load = std::async(std::launch::async, [&link] {
      uint8_t* block = nullptr;
      uint32_t len = 0;
      const bool ok = LoadFileToMemory(link.c_str(), &block, &len);
      const Bytes got = ok ? Bytes(block, block + len) : Bytes{};
      std::free(block);
      return std::make_pair(ok, got);
    });
    if (load.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
      ADD_FAILURE() << k.name << ": the load waits";
      const int w = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
      if (w >= 0) close(w);
    }
    const auto [ok, got] = load.get();
    if (k.message == nullptr) {
      EXPECT_TRUE(ok) << k.name;
      EXPECT_EQ(got, Pattern(600, 2)) << k.name;
      EXPECT_TRUE(errors_.shown.empty()) << k.name;
    } else {
      EXPECT_FALSE(ok) << k.name;
      EXPECT_EQ(errors_.shown, std::vector<std::string>{k.message}) << k.name;
    }
  }
}

TEST_F(ImageFiles, ImagesBeyondOneTransferAreRefusedNamingTheSize) {
  // 65535 blocks of 512 would need a final empty block 65536, whose number
  // does not exist: one byte less is the most a transfer carries. Sparse
  // files cost no disk.
  auto sized = [this](const std::string& name, off_t size) {
    const std::string path = Write(name, {});
    EXPECT_EQ(truncate(path.c_str(), size), 0);
    return path;
  };
  const std::string largest = sized("largest.bin", 33553919);
  const std::string over = sized("over.bin", 33553920);
  const std::string huge = sized("huge.bin", 5000000000LL);

  uint8_t* block = nullptr;
  uint32_t len = 0;
  ASSERT_TRUE(LoadFileToMemory(largest.c_str(), &block, &len));
  EXPECT_EQ(len, 33553919u);
  std::free(block);
  EXPECT_FALSE(LoadFileToMemory(over.c_str(), &block, &len));
  EXPECT_EQ(block, nullptr);
  EXPECT_FALSE(LoadFileToMemory(huge.c_str(), &block, &len));
  EXPECT_EQ(errors_.shown,
            (std::vector<std::string>{
                "The file '" + over +
                    "' is 33553920 bytes long; one TFTP transfer carries at most 33553919 bytes",
                "The file '" + huge +
                    "' is 5000000000 bytes long; one TFTP transfer carries at most 33553919 "
                    "bytes"}));
}

// --- choosing the image ---------------------------------------------------

namespace {

// A FILE-NAME option whose value sits in an exact-size heap block, as it
// would inside a received message: no terminating zero.
struct FileName {
  explicit FileName(const std::string& text) : value(new uint8_t[text.size()]) {
    std::memcpy(value.get(), text.data(), text.size());
    opt.type = SKAV_OPT_FILE_NAME;
    opt.length = static_cast<uint16_t>(text.size() + 4);
    opt.bytes = value.get();
  }
  std::unique_ptr<uint8_t[]> value;
  SKAV_Opt opt;
};

std::string NotAvailable(const std::string& name) {
  return "[00-11-22-33-44-55]: requested file \"" + name +
         "\" is not available\r\n";
}

}  // namespace

TEST(SelectFile, NoNameMeansFirmware) {
  Rig rig;
  rig.SetImage(0, Pattern(10));
  EXPECT_EQ(TFTPSelectFile(rig.MakeClient(), nullptr), 0);
  EXPECT_TRUE(rig.log.Lines().empty());

  Rig none;
  EXPECT_LT(TFTPSelectFile(none.MakeClient(), nullptr), 0);
  EXPECT_EQ(none.log.Lines(),
            (std::vector<std::string>{NotAvailable("firmware")}));
}

TEST(SelectFile, NamesThatSelectAnImage) {
  Rig rig;
  for (int k : {0, 2, 3, 6}) rig.SetImage(k, Pattern(10));
  TimedClient& c = rig.MakeClient();
  const struct {
    std::string name;
    int index;
  } cases[] = {
      {"firmware", 0},          {"FirmWare", 0},
      {"   firmware", 0},       {std::string("firmware\0junk", 13), 0},
      {"String Table 03", 3},   {"string table 3", 3},
      {"STRING TABLE 6", 6},    {"string table  +2", 2},
      {"string table 2abc", 2}, {"string table \t3", 3},
  };
  for (const auto& k : cases) {
    FileName f(k.name);
    EXPECT_EQ(TFTPSelectFile(c, &f.opt), k.index) << k.name;
  }
  EXPECT_TRUE(rig.log.Lines().empty());
}

TEST(SelectFile, NamesThatSelectNothing) {
  Rig rig;
  for (int k = 0; k <= 3; ++k) rig.SetImage(k, Pattern(10));
  TimedClient& c = rig.MakeClient();
  const struct {
    std::string name;
    std::string logged;
  } cases[] = {
      {"string table 7", "string table 7"},
      {"string table -1", "string table -1"},
      {"string table", "string table"},
      {"firmware ", "firmware "},
      {"stringtable 1", "stringtable 1"},
      {"string table 4", "string table 4"},  // not loaded
      {"   ", "firmware"},                   // spaces only: empty name
      // Table 0 and a missing number ask for no table: the firmware is not
      // handed out under a name that does not ask for it.
      {"string table 0", "string table 0"},
      {"string table x", "string table x"},
      {"string table 99999999999999999999",
       "string table 99999999999999999999"},
  };
  for (const auto& k : cases) {
    rig.log.Clear();
    FileName f(k.name);
    EXPECT_LT(TFTPSelectFile(c, &f.opt), 0) << k.name;
    EXPECT_EQ(rig.log.Lines(),
              (std::vector<std::string>{NotAvailable(k.logged)}))
        << k.name;
  }
}

TEST(SelectFile, LongestNameIsReadWithinItsValue) {
  Rig rig;
  rig.SetImage(0, Pattern(10));
  FileName f(std::string(63, 'z'));
  EXPECT_LT(TFTPSelectFile(rig.MakeClient(), &f.opt), 0);
  EXPECT_EQ(rig.log.Lines(),
            (std::vector<std::string>{NotAvailable(std::string(63, 'z'))}));
}

// --- WRQ names and completion ---------------------------------------------

TEST(BuildWrq, NamesComeFromTheIndex) {
  Rig rig;
  TimedClient& c = rig.MakeClient();
  uint8_t out[24];
  c.fileIndex = 0;
  ASSERT_EQ(TFTPBuildWRQ(c, out), 17);
  EXPECT_EQ(Bytes(out, out + 17),
            (Bytes{0, 2, 'f', 'i', 'r', 'm', 'w', 'a', 'r', 'e', 0, 'o', 'c',
                   't', 'e', 't', 0}));
  c.fileIndex = 6;
  ASSERT_EQ(TFTPBuildWRQ(c, out), 24);
  EXPECT_EQ(Bytes(out, out + 24),
            (Bytes{0,   2,   's', 't', 'r', 'i', 'n', 'g', ' ', 't', 'a', 'b',
                   'l', 'e', ' ', '0', '6', 0,   'o', 'c', 't', 'e', 't', 0}));
}

TEST(UploadDone, TablesOneAndThreeWithoutFirmware) {
  Rig rig;
  rig.SetImage(1, Pattern(10));
  rig.SetImage(3, Pattern(10));
  TimedClient& c = rig.MakeClient();
  ASSERT_EQ(c.stMask, 5u);

  c.fileIndex = 1;
  TFTPUploadDone(c);
  EXPECT_FALSE(c.HasFlag(tftpDone));
  c.fileIndex = 3;
  TFTPUploadDone(c);
  EXPECT_TRUE(c.HasFlag(tftpDone));
  EXPECT_EQ(c.fwDone, 0);
  EXPECT_EQ(rig.log.Lines(),
            (std::vector<std::string>{
                "[00-11-22-33-44-55] TFTP upload completion status: FW (No), "
                "ST (0x000001)\r\n",
                "[00-11-22-33-44-55] TFTP upload completion status: FW (No), "
                "ST (0x000005)\r\n"}));
}

TEST(UploadDone, FirmwareMustBeDoneWhenOffered) {
  Rig rig;
  rig.SetImage(0, Pattern(10));
  rig.SetImage(2, Pattern(10));
  TimedClient& c = rig.MakeClient();
  c.fileIndex = 2;
  TFTPUploadDone(c);
  EXPECT_FALSE(c.HasFlag(tftpDone));  // tables complete, firmware not yet
  c.fileIndex = 0;
  TFTPUploadDone(c);
  EXPECT_TRUE(c.HasFlag(tftpDone));
  EXPECT_EQ(rig.log.Lines().back(),
            "[00-11-22-33-44-55] TFTP upload completion status: FW (Yea), "
            "ST (0x000002)\r\n");
  // Sent again, nothing changes and the flag stays.
  TFTPUploadDone(c);
  EXPECT_TRUE(c.HasFlag(tftpDone));
  EXPECT_EQ(c.stDone, 2u);
}
