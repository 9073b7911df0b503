// The window on an interface of a network namespace pair: the server side
// of the pair as its one interface, served by the engine program itself,
// started in the namespace the window is made in.
#pragma once

#include <cstdio>
#include <memory>
#include <string>

#include "console/gui/server_dlg.h"
#include "gui_support.h"
#include "support/netns.h"

namespace gui_test {

/// The window, opened, offering the server side of `pair` as its one
/// interface, with its settings in `dir`.
inline std::unique_ptr<CServerDlg> OpenWindowOn(const NetnsPair& pair, const TempDir& dir) {
  ServerDlgOptions options;
  const std::string serverIf = pair.serverIf();
  options.listInterfaces = [serverIf](L2_IfList* list) {
    list->count = 1;
    std::snprintf(list->name[0], sizeof list->name[0], "%s", serverIf.c_str());
    std::snprintf(list->description[0], sizeof list->description[0], "%s", serverIf.c_str());
    return 0;
  };
  options.settingsFile = dir.File("settings.ini");
  options.connectEngine = [](std::string* why) {
    return EngineConnection{remote::EngineClient::StartOwn(why, SKAV_ENGINE_BIN), {}};
  };
  auto dlg = std::make_unique<CServerDlg>(std::move(options));
  dlg->OnInitDialog();
  return dlg;
}

}  // namespace gui_test
