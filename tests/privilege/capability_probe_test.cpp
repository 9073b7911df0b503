// Copies of the window and of its engine with CAP_NET_RAW and
// CAP_NET_ADMIN (as an administrator might set them), started by an
// unprivileged user who offers them a probe plugin through the environment,
// the command line and the program's own folder: the probe never runs while
// the process holds a capability, and a launcher with them runs no engine
// but the installed one. A copy without
// capabilities, offered the same, still loads it (the toolkit's variables
// keep working). And the window, from a copy without capabilities, serving
// a simulated device for such a user through a copy of the engine with
// them, the user a member of the group the claim folder and the settings
// belong to, the files written as that user.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "integration/e2e_support.h"
#include "settings/test_util.h"
#include "support/netns.h"
#include "support/test_user.h"

namespace {

namespace fs = std::filesystem;

// Where and how long Run runs a program.
struct RunIn {
  /// The named network namespace of the test to run in; empty: one of its
  /// own, with only a loopback (the server never sees a real interface).
  std::string netns;
  /// A window runs until it ends by itself, not only until it has read its
  /// settings.
  bool toTheEnd = false;
  int limitSeconds = 60;
  /// A folder seen as the claim folder (/run/skav-server) by the program
  /// and its engine, in a mount namespace of their own; empty: the real one.
  std::string claimDir;
};

struct Outcome {
  /// The window opened its settings file: the toolkit had loaded its
  /// platform, theme and generic plugins by then.
  bool readSettings = false;
  /// The font library read the font settings in the user's home.
  bool readUserFonts = false;
  /// Exit status; -1 when it was killed.
  int status = -1;
  std::string out, err;
  /// What the probe wrote: a line per load, empty when it never ran.
  std::string probe;
};

class CapabilityProbe : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) {
      GTEST_SKIP() << "needs root: makes a user and gives a copy of skav-server file "
                      "capabilities";
    }
    ASSERT_FALSE(dir_.path().empty());
    if (!user_.ok()) GTEST_SKIP() << "useradd could not make a test user";
    // The user reaches the copies through these folders; only root writes
    // them, as in an installed system.
    fs::permissions(dir_.path(), fs::perms(0755));
    user_dir_ = dir_.File("user");
    for (const char* sub : {"", "/plugins/generic", "/platform", "/run", "/work", "/app"}) {
      fs::create_directories(user_dir_ + sub);
    }
    settings_ = user_dir_ + "/SKAVD.conf";
    // A link that is there but no Ethernet port: the start fails at once,
    // before anything is opened.
    WriteFile(settings_, "[General]\nInterface Name=lo\n");
    // The user's own font settings, which the font library reads unless
    // told to leave the home folder alone.
    fs::create_directories(user_dir_ + "/.config/fontconfig");
    fonts_ = user_dir_ + "/.config/fontconfig/fonts.conf";
    WriteFile(fonts_, "<?xml version=\"1.0\"?>\n<fontconfig></fontconfig>\n");
    PlaceProbe(SKAV_PROBE_GENERIC, user_dir_ + "/plugins/generic");
    PlaceProbe(SKAV_PROBE_THEME, user_dir_ + "/platform");

    plain_ = Install(dir_.File("plain"), SKAV_WINDOW_BIN);
    capped_ = Install(dir_.File("capped"), SKAV_WINDOW_BIN);
    // The headless server runs in the engine, the program that keeps its
    // capabilities once the window no longer has any.
    plainEngine_ = Install(dir_.File("plain-engine"), SKAV_ENGINE_BIN);
    cappedEngine_ = Install(dir_.File("capped-engine"), SKAV_ENGINE_BIN);
    if (RunTool({"setcap", "cap_net_raw,cap_net_admin+eip", capped_}) != 0 ||
        RunTool({"setcap", "cap_net_raw,cap_net_admin+eip", cappedEngine_}) != 0) {
      GTEST_SKIP() << "setcap failed (no extended attributes on " << dir_.path() << "?)";
    }
    for (const auto& e : fs::recursive_directory_iterator(user_dir_)) {
      ASSERT_EQ(lchown(e.path().c_str(), user_.uid(), user_.gid()), 0);
    }
    ASSERT_EQ(chown(user_dir_.c_str(), user_.uid(), user_.gid()), 0);
    fs::permissions(user_dir_, fs::perms(0700));
    fs::permissions(user_dir_ + "/run", fs::perms(0700));
  }

  // A copy of the program `program` in `folder`.
  static std::string Install(const std::string& folder,
                             const std::string& program = SKAV_SERVER_BIN) {
    fs::create_directories(folder);
    fs::permissions(folder, fs::perms(0755));
    const std::string bin = folder + "/" + fs::path(program).filename().string();
    fs::copy_file(program, bin, fs::copy_options::overwrite_existing);
    fs::permissions(bin, fs::perms(0755));
    return bin;
  }

  // The probe as a platform theme in the folder beside the program `bin`,
  // where the toolkit also looks for plugins. Returns where it lies.
  static std::string PlaceBeside(const std::string& bin) {
    return PlaceProbe(SKAV_PROBE_THEME, fs::path(bin).parent_path().string() + "/platformthemes");
  }

  static std::string PlaceProbe(const std::string& probe, const std::string& folder) {
    fs::create_directories(folder);
    const std::string to = folder + "/" + fs::path(probe).filename().string();
    fs::copy_file(probe, to, fs::copy_options::overwrite_existing);
    fs::permissions(to, fs::perms(0755));
    return to;
  }

  // The environment every run gets, and `extra`. Of these, PATH and
  // QT_DEBUG_PLUGINS are not on the trusted list.
  std::vector<std::string> Environment(const std::vector<std::string>& extra) const {
    std::vector<std::string> env = {"HOME=" + user_dir_, "XDG_RUNTIME_DIR=" + user_dir_ + "/run",
                                    "PATH=/usr/bin:/bin", "QT_QPA_PLATFORM=offscreen",
                                    "QT_DEBUG_PLUGINS=1"};
    env.insert(env.end(), extra.begin(), extra.end());
    return env;
  }

  // Runs `bin` as the test user in a network namespace (see RunIn). A
  // window is killed once it has opened its settings file, unless it is
  // to run to the end, or after the limit; headless
  // runs end by themselves, the interface being absent.
  Outcome Run(const std::string& bin, std::vector<std::string> args,
              const std::vector<std::string>& env, bool window, const RunIn& in = {}) {
    Outcome o;
    const std::string work = user_dir_ + "/work";
    const std::string probeFile = work + "/skav-probe.txt";
    const std::string outFile = dir_.File("stdout"), errFile = dir_.File("stderr");
    fs::remove(probeFile);
    args.insert(args.begin(), bin);
    if (!window) args.push_back("--headless");
    args.push_back("--settings");
    args.push_back(settings_);

    const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    const int settingsWatch = inotify_add_watch(watch, settings_.c_str(), IN_OPEN);
    const int fontsWatch = inotify_add_watch(watch, fonts_.c_str(), IN_OPEN);
    if (watch < 0 || settingsWatch < 0 || fontsWatch < 0) {
      ADD_FAILURE() << "inotify on the settings and font files failed";
      if (watch >= 0) close(watch);
      return o;
    }
    const auto take = [&] {
      alignas(inotify_event) char events[4096];
      ssize_t n;
      while ((n = read(watch, events, sizeof events)) > 0) {
        for (ssize_t at = 0; at < n;) {
          const auto* e = reinterpret_cast<const inotify_event*>(events + at);
          if (e->wd == settingsWatch) o.readSettings = true;
          if (e->wd == fontsWatch) o.readUserFonts = true;
          at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
        }
      }
    };
    const pid_t pid = fork();
    if (pid == 0) {
      const int out = open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      const int err = open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (out < 0 || err < 0 || dup2(out, STDOUT_FILENO) < 0 || dup2(err, STDERR_FILENO) < 0) {
        _exit(124);
      }
      const int ns = in.netns.empty() ? -1 : open(("/run/netns/" + in.netns).c_str(), O_RDONLY);
      if (in.netns.empty() ? unshare(CLONE_NEWNET) != 0 : ns < 0 || setns(ns, CLONE_NEWNET) != 0) {
        _exit(125);
      }
      if (!in.claimDir.empty() &&
          (unshare(CLONE_NEWNS) != 0 ||
           mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
           (mkdir("/run/skav-server", 0700) != 0 && errno != EEXIST) ||
           mount(in.claimDir.c_str(), "/run/skav-server", nullptr, MS_BIND, nullptr) != 0)) {
        _exit(123);
      }
      if (setgroups(0, nullptr) != 0 || setgid(user_.gid()) != 0 || setuid(user_.uid()) != 0 ||
          chdir(work.c_str()) != 0) {
        _exit(126);
      }
      std::vector<char*> argv, envp;
      for (std::string& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      std::vector<std::string> envCopy = env;
      for (std::string& e : envCopy) envp.push_back(e.data());
      envp.push_back(nullptr);
      execve(bin.c_str(), argv.data(), envp.data());
      _exit(127);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(in.limitSeconds);
    bool reaped = false;
    while (std::chrono::steady_clock::now() < deadline) {
      int status = 0;
      if (waitpid(pid, &status, WNOHANG) == pid) {
        reaped = true;
        if (WIFEXITED(status)) o.status = WEXITSTATUS(status);
        break;
      }
      take();
      if (window && o.readSettings && !in.toTheEnd) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (!reaped) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    take();
    close(watch);
    o.out = ReadFile(outFile);
    o.err = ReadFile(errFile);
    o.probe = ReadFile(probeFile);
    return o;
  }

  TempDir dir_;
  TestUser user_;
  std::string user_dir_, settings_, fonts_, plain_, capped_, plainEngine_, cappedEngine_;
};

// A way a user offers the probe: environment entries naming the probe
// that lies at `probe`, or (no `probe`) a probe beside the program. The
// folder offer comes last: once placed, the probe stays there.
struct Offer {
  const char* what;
  std::vector<std::string> env;
  std::string probe;
};

std::vector<Offer> Offers(const std::string& userDir) {
  return {
      {"QT_PLUGIN_PATH with QT_QPA_GENERIC_PLUGINS",
       {"QT_PLUGIN_PATH=" + userDir + "/plugins", "QT_QPA_GENERIC_PLUGINS=skavprobe"},
       userDir + "/plugins/generic/libskav_probe_generic.so"},
      {"QT_QPA_PLATFORM_PLUGIN_PATH",
       {"QT_QPA_PLATFORM_PLUGIN_PATH=" + userDir + "/platform"},
       userDir + "/platform/libskav_probe_theme.so"},
      {"the program's own folder", {}, ""},
  };
}

// The probe ran once, from `where`, without a capability.
std::string LoadedOnceWithoutCapability(const std::string& report, const std::string& where) {
  const std::string expected = where + " CapEff:\t0000000000000000\n";
  return report == expected ? "" : "expected \"" + expected + "\", got \"" + report + "\"";
}

TEST_F(CapabilityProbe, TheWindowLoadsNoPluginTheUserOffers) {
  for (const Offer& offer : Offers(user_dir_)) {
    SCOPED_TRACE(offer.what);
    std::string plainProbe = offer.probe;
    if (plainProbe.empty()) {
      plainProbe = PlaceBeside(plain_);
      PlaceBeside(capped_);
    }
    const Outcome plain = Run(plain_, {}, Environment(offer.env), true);
    EXPECT_TRUE(plain.readSettings) << plain.err;
    EXPECT_EQ(LoadedOnceWithoutCapability(plain.probe, plainProbe), "")
        << "without capabilities the offer reaches the toolkit";
    EXPECT_NE(plain.err.find("qt.core.plugin.factoryloader"), std::string::npos)
        << "QT_DEBUG_PLUGINS is honoured without capabilities";

    const Outcome capped = Run(capped_, {}, Environment(offer.env), true);
    EXPECT_TRUE(capped.readSettings) << "the window got past the toolkit's start: "
                                     << capped.status << " " << capped.err;
    EXPECT_EQ(capped.probe, "") << "the probe ran inside the privileged program";
    EXPECT_EQ(capped.err.find("qt.core.plugin.factoryloader"), std::string::npos) << capped.err;
  }
}

TEST_F(CapabilityProbe, TheWindowReadsNoFontSettingsFromTheUsersHome) {
  const Outcome plain = Run(plain_, {}, Environment({}), true);
  EXPECT_TRUE(plain.readSettings) << plain.err;
  EXPECT_TRUE(plain.readUserFonts);
  const Outcome capped = Run(capped_, {}, Environment({}), true);
  EXPECT_TRUE(capped.readSettings) << capped.err;
  EXPECT_FALSE(capped.readUserFonts);
}

TEST_F(CapabilityProbe, TheWindowRefusesToolkitOptionsWithCapabilities) {
  const std::vector<std::string> args = {"-platformpluginpath", user_dir_ + "/platform"};
  const Outcome plain = Run(plain_, args, Environment({}), true);
  EXPECT_TRUE(plain.readSettings) << plain.err;
  EXPECT_EQ(LoadedOnceWithoutCapability(plain.probe, user_dir_ + "/platform/libskav_probe_theme.so"),
            "");

  const Outcome capped = Run(capped_, args, Environment({}), true);
  EXPECT_EQ(capped.status, 2);
  EXPECT_FALSE(capped.readSettings);
  EXPECT_NE(capped.err.find("takes no toolkit option ('-platformpluginpath')"), std::string::npos)
      << capped.err;
  EXPECT_EQ(capped.probe, "");
}

TEST_F(CapabilityProbe, HeadlessLoadsNoPluginAndSaysTheEnvironmentWasReduced) {
  // The count: PATH, QT_DEBUG_PLUGINS and the offer's own entries.
  const char* const reduced[] = {
      "Running with network privileges: the environment was reduced to a trusted set "
      "(4 variables dropped).\r\n",
      "Running with network privileges: the environment was reduced to a trusted set "
      "(3 variables dropped).\r\n",
      "Running with network privileges: the environment was reduced to a trusted set "
      "(2 variables dropped).\r\n",
  };
  const std::vector<Offer> offers = Offers(user_dir_);
  for (size_t i = 0; i < offers.size(); ++i) {
    SCOPED_TRACE(offers[i].what);
    if (offers[i].probe.empty()) {
      PlaceBeside(plainEngine_);
      PlaceBeside(cappedEngine_);
    }
    // Refused before any run: lo is no port to capture on.
    const Outcome plain = Run(plainEngine_, {}, Environment(offers[i].env), false);
    EXPECT_EQ(plain.status, 1) << plain.err;
    EXPECT_EQ(plain.out, "");
    EXPECT_EQ(plain.probe, "");

    const Outcome capped = Run(cappedEngine_, {}, Environment(offers[i].env), false);
    EXPECT_EQ(capped.status, 1) << capped.err;
    EXPECT_EQ(capped.out, reduced[i]);
    EXPECT_EQ(capped.probe, "") << "the probe ran inside the privileged program";
  }
}

TEST_F(CapabilityProbe, AFolderTheUserMayWriteIsNoPlaceForThePrivilegedProgram) {
  for (const bool window : {true, false}) {
    SCOPED_TRACE(window ? "window" : "headless");
    // The user owns the folder: a qt.conf or plugin there would be theirs.
    const std::string bin = user_dir_ + (window ? "/app/skav-window" : "/app/skav-engine");
    fs::copy_file(window ? capped_ : cappedEngine_, bin);
    PlaceBeside(bin);
    ASSERT_EQ(chown(bin.c_str(), user_.uid(), user_.gid()), 0);
    ASSERT_EQ(RunTool({"setcap", "cap_net_raw,cap_net_admin+eip", bin}), 0);
    const Outcome o = Run(bin, {}, Environment({}), window);
    EXPECT_EQ(o.status, 1);
    EXPECT_FALSE(o.readSettings);
    EXPECT_NE(o.err.find("'" + user_dir_ + "/app' is not one"), std::string::npos) << o.err;
    EXPECT_EQ(o.probe, "");
  }
}

// An engine beside a launcher with capabilities is no engine of the
// package: whoever could put it there would run code with them. The
// launcher without capabilities runs it (a build's layout).
TEST_F(CapabilityProbe, ALauncherWithCapabilitiesRunsNoEngineBesideItself) {
  const std::string marker = user_dir_ + "/work/engine-ran";
  const std::string beside = dir_.File("libexec/skav-server");
  fs::create_directories(beside);
  fs::permissions(dir_.File("libexec"), fs::perms(0755));
  fs::permissions(beside, fs::perms(0755));
  WriteFile(beside + "/skav-engine", "#!/bin/sh\necho ran > '" + marker + "'\n");
  fs::permissions(beside + "/skav-engine", fs::perms(0755));

  const std::string plainLauncher = Install(dir_.File("bin"));
  const std::string cappedLauncher = Install(dir_.File("capped-bin"));
  ASSERT_EQ(RunTool({"setcap", "cap_net_raw,cap_net_admin+eip", cappedLauncher}), 0);
  const Outcome capped = Run(cappedLauncher, {}, Environment({}), false);
  EXPECT_FALSE(fs::exists(marker)) << "the launcher with capabilities ran " << beside;
  EXPECT_NE(capped.status, 0);
  const Outcome plain = Run(plainLauncher, {}, Environment({}), false);
  EXPECT_TRUE(fs::exists(marker)) << plain.err;
}

// An operator (here the test user, a member of the group that stands for
// 'skav') runs the window from a copy without capabilities: its engine, a
// copy with them beside it, claims the interface in the group's folder and
// serves a device while the window holds no capability (the window checks
// both), and what is written, the settings saved at close and the log
// file, belongs to the operator, the settings staying the group's to write
// for the next operator.
TEST_F(CapabilityProbe, TheWindowServesADeviceForAnOperatorAndWritesAsTheOperator) {
  SKAV_REQUIRE_NETNS();
  NetnsPair pair("skavcap");
  ASSERT_TRUE(pair.ok()) << "cannot create the namespaces";
  const gid_t group = user_.gid();
  const auto shared = [group](const std::string& path, mode_t mode) {
    if (!fs::exists(path)) fs::create_directories(path);
    return chown(path.c_str(), 0, group) == 0 && chmod(path.c_str(), mode) == 0;
  };
  // As the package makes them: the claim folder, the settings' folder and
  // file; and the engine for the group alone, where the window finds it.
  const std::string claims = dir_.File("claims"), etc = dir_.File("etc");
  const std::string window = dir_.File("window");
  const std::string engineDir = dir_.File("libexec/skav-server");
  ASSERT_TRUE(shared(claims, 03770) && shared(etc, 02775));
  const std::string firmware = dir_.File("fw.bin");
  WriteFile(firmware, std::string(5000, 'f'));
  const std::string log = user_dir_ + "/work/bench.log";
  settings_ = etc + "/SKAVD.conf";
  WriteFile(settings_, "[General]\nInterface Name=" + pair.serverIf() + "\nFirmware Path=" +
                           firmware + "\nLog Enable=1\nLog Path=" + log + "\n");
  ASSERT_TRUE(shared(settings_, 0664));
  const std::string bin = Install(window, SKAV_WINDOW_DRIVER);
  const std::string engine = Install(engineDir, SKAV_ENGINE_BIN);
  fs::permissions(dir_.File("libexec"), fs::perms(0755));
  ASSERT_TRUE(shared(engineDir, 0750) && shared(engine, 0750));
  ASSERT_EQ(RunTool({"setcap", "cap_net_raw,cap_net_admin+eip", engine}), 0);

  e2e::Child sim(pair.deviceNs(), {SKAV_DEVSIM_PATH, "--if", pair.deviceIf(), "--expect",
                                   "firmware=" + firmware, "--timeout", "120"});
  ASSERT_TRUE(sim.started());
  const Outcome o = Run(bin, {}, Environment({}), true,
                        {.netns = pair.serverNs(), .toTheEnd = true, .limitSeconds = 150,
                         .claimDir = claims});
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(sim.Wait(std::chrono::seconds(10)), 0) << sim.output();

  const auto owner = [](const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return path + " missing";
    char text[64];
    std::snprintf(text, sizeof text, "%u:%u %o", st.st_uid, st.st_gid, st.st_mode & 07777);
    return std::string(text);
  };
  const std::string operatorIds = std::to_string(user_.uid()) + ":" + std::to_string(group);
  EXPECT_EQ(owner(settings_), operatorIds + " 664");
  EXPECT_NE(ReadFile(settings_).find("Path=" + log), std::string::npos) << ReadFile(settings_);
  EXPECT_EQ(owner(log).substr(0, operatorIds.size()), operatorIds);
  EXPECT_NE(ReadFile(log).find(": Done"), std::string::npos) << ReadFile(log);
}

}  // namespace
