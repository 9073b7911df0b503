// Helpers of the window tests: a recording error sink, a temporary folder,
// an in-memory link behind LinkOps, interface lists, the window's engine
// in the test's process, and a hand that answers the modal dialogs the
// window opens.
#pragma once

#include <unistd.h>

#include <QAbstractButton>
#include <QApplication>
#include <QFileDialog>
#include <QMessageBox>
#include <QObject>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "report/debug_print.h"
#include "console/gui/server_dlg.h"
#include "console/server_control.h"
#include "link/if_list.h"
#include "support/in_process_engine.h"
#include "support/recording_error_sink.h"
#include "link/memory_port.h"

namespace gui_test {

using ::RecordingErrorSink;

/// A fresh folder, removed with everything in it afterwards.
class TempDir {
 public:
  TempDir() {
    std::string pattern = std::filesystem::temp_directory_path().string() + "/skavgui.XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) != nullptr) path_ = buf.data();
  }
  ~TempDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  std::string File(const std::string& name) const { return path_ + "/" + name; }
  /// Writes `content` to `name` and returns its path.
  std::string Write(const std::string& name, const std::string& content) const {
    std::ofstream out(File(name), std::ios::binary);
    out << content;
    return File(name);
  }

 private:
  std::string path_;
};

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

/// A port that tells when the link that owns it has been closed.
class ProbePort : public MemoryPort {
 public:
  explicit ProbePort(std::atomic<bool>* closed) : closed_(closed) {}
  ~ProbePort() override { closed_->store(true); }

 private:
  std::atomic<bool>* closed_;
};

/// Records what Start asked of the link; the link is an in-memory port.
struct FakeLink {
  static constexpr uint8_t kServerMac[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
  std::vector<std::string> opened;  // "name|description"
  std::vector<std::string> addressed;  // "description|addr|mask"
  std::atomic<bool> closed{false};
  ProbePort* port = nullptr;

  LinkOps Ops() {
    LinkOps ops;
    ops.open = [this](const char* name, const char* description, char*) -> L2_If* {
      opened.push_back(std::string(name) + "|" + description);
      auto* iface = new L2_If;
      std::memcpy(iface->mac, kServerMac, 6);
      closed = false;
      auto owned = std::make_unique<ProbePort>(&closed);
      port = owned.get();
      iface->port = std::move(owned);
      return iface;
    };
    ops.setIfAddr = [this](const char* description, const char* addr, const char* mask) {
      addressed.push_back(std::string(description) + "|" + addr + "|" + mask);
      return 0;
    };
    // A made-up port is always up, keeps its address and never leaves.
    ops.takeUp = [](const char*) { return 0; };
    ops.keepIfAddr = [](const char*, const char*, const char*) { return 0; };
    ops.ifGone = [](const L2_If*, const char*) { return false; };
    return ops;
  }
};

/// An interface lister that returns `count` made-up devices.
inline std::function<int(L2_IfList*)> Interfaces(int count) {
  return [count](L2_IfList* list) {
    list->count = count;
    for (int i = 0; i < count; ++i) {
      std::snprintf(list->name[i], sizeof list->name[i], "veth%d", i);
      std::snprintf(list->description[i], sizeof list->description[i], "veth%d", i);
    }
    return 0;
  };
}

/// The window's engine in this process, finding `interfaces` and opening
/// them through `ops`.
inline std::function<EngineConnection(std::string*)> EngineWith(
    std::function<int(L2_IfList*)> interfaces, LinkOps ops = {}) {
  return [interfaces, ops](std::string*) {
    auto engine = std::make_shared<InProcessEngine>(OwnRunOptions{interfaces, ops});
    auto client = engine->TakeClient();
    return EngineConnection{std::move(client), [engine] { return engine->Ended(); }};
  };
}

/// The options of a window with `count` made-up interfaces behind `link`.
inline ServerDlgOptions FakeOptions(int count, FakeLink& link, const std::string& settings) {
  ServerDlgOptions options;
  options.listInterfaces = Interfaces(count);
  options.connectEngine = EngineWith(options.listInterfaces, link.Ops());
  options.settingsFile = settings;
  return options;
}

/// The window, opened, with one made-up interface, the in-memory link of
/// `link` and the settings file `settings`.
inline std::unique_ptr<CServerDlg> OpenWindow(FakeLink& link, const std::string& settings) {
  ServerDlgOptions options = FakeOptions(1, link, settings);
  auto dlg = std::make_unique<CServerDlg>(std::move(options));
  dlg->OnInitDialog();
  return dlg;
}

/// Waits for `done` while the event loop runs; false after `ms`.
inline bool WaitUntil(const std::function<bool()>& done, int ms = 5000) {
  return QTest::qWaitFor(done, ms);
}

/// Answers modal windows from inside whatever event loop runs: every few
/// milliseconds the active modal window is handed to `handler`, which
/// answers it and returns true, or returns false to leave it alone.
class ModalHand : public QObject {
 public:
  explicit ModalHand(std::function<bool(QWidget*)> handler) : handler_(std::move(handler)) {
    connect(&timer_, &QTimer::timeout, this, [this] {
      QWidget* modal = QApplication::activeModalWidget();
      if (modal != nullptr && modal->isVisible() && handler_(modal)) ++answered_;
    });
    timer_.start(5);
  }
  int Answered() const { return answered_; }

 private:
  std::function<bool(QWidget*)> handler_;
  QTimer timer_;
  int answered_ = 0;
};

/// Puts `path` in the file dialog's name field. The dialog leaves that field
/// as it is while it has the keyboard focus, which a loaded machine may give
/// it before a hand runs: the focus is taken away first.
inline void SelectInPicker(QFileDialog* picker, const std::string& path) {
  if (QWidget* focus = picker->focusWidget()) focus->clearFocus();
  picker->selectFile(QString::fromStdString(path));
}

/// Text and title of each message box seen, each answered with OK.
struct BoxLog {
  std::vector<QString> titles;
  std::vector<QString> texts;
  std::vector<QMessageBox::Icon> icons;
  bool Take(QWidget* w) {
    auto* box = qobject_cast<QMessageBox*>(w);
    if (box == nullptr) return false;
    titles.push_back(box->windowTitle());
    texts.push_back(box->text());
    icons.push_back(box->icon());
    if (QAbstractButton* ok = box->button(QMessageBox::Ok)) {
      ok->click();
    } else {
      box->accept();
    }
    return true;
  }
};

/// Stop with devices in mid-exchange: the question it asks answered Yes.
inline void ClickStopServing(const CServerDlg& dlg) {
  ModalHand yes([](QWidget* w) {
    auto* box = qobject_cast<QMessageBox*>(w);
    if (box == nullptr || !box->text().contains(QStringLiteral("being served"))) return false;
    box->button(QMessageBox::Yes)->click();
    return true;
  });
  qobject_cast<QPushButton*>(dlg.Control(IDC_START_STOP))->click();
}

/// A CONF-REQ or CLOSE-REQ frame from `device` to the server.
inline MemoryPort::Frame Request(const uint8_t device[6], uint8_t code) {
  MemoryPort::Frame f(FakeLink::kServerMac, FakeLink::kServerMac + 6);
  f.insert(f.end(), device, device + 6);
  f.push_back(0x09);
  f.push_back(0x12);
  const uint8_t message[6] = {0x00, 0x00, code, 0x00, 0x00, 0x06};
  f.insert(f.end(), message, message + 6);
  return f;
}

/// True while the process `pid` (0: this one, and an engine in it) holds a
/// file open whose path begins with `prefix`.
inline bool HeldOpen(const std::string& prefix, pid_t pid = 0) {
  std::error_code ec;
  const std::string fds = pid > 0 ? "/proc/" + std::to_string(pid) + "/fd" : "/proc/self/fd";
  for (const auto& fd : std::filesystem::directory_iterator(fds, ec)) {
    const std::filesystem::path target = std::filesystem::read_symlink(fd.path(), ec);
    if (!ec && target.string().rfind(prefix, 0) == 0) return true;
  }
  return false;
}

/// The Debug Window's text as the operator sees it.
inline std::string DebugText(CServerDlg& dlg) {
  dlg.DebugWindow().Drain();
  return dlg.DebugWindow().LogCtl()->toPlainText().toStdString();
}

}  // namespace gui_test
