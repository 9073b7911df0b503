// A toolkit plugin that only reports: loading it appends its own path and
// the loading process's effective capabilities (the CapEff line of
// /proc/self/status) to skav-probe.txt in the current folder. Built once as
// a generic plugin and once as a platform theme, both under the keys
// "skavprobe" and "offscreen".
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <QObject>
#include <QtPlugin>
#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

__attribute__((constructor)) void ReportLoad() {
  char status[16384];
  const int in = open("/proc/self/status", O_RDONLY | O_CLOEXEC);
  const ssize_t n = in >= 0 ? read(in, status, sizeof status - 1) : -1;
  if (in >= 0) close(in);
  status[n > 0 ? n : 0] = '\0';
  const char* cap = std::strstr(status, "CapEff:");
  const char* end = cap != nullptr ? std::strchr(cap, '\n') : nullptr;
  Dl_info self{};
  dladdr(reinterpret_cast<void*>(&ReportLoad), &self);
  char line[1024];
  const int len = std::snprintf(line, sizeof line, "%s %.*s\n",
                                self.dli_fname != nullptr ? self.dli_fname : "?",
                                end != nullptr ? static_cast<int>(end - cap) : 0,
                                cap != nullptr ? cap : "");
  const int out = open("skav-probe.txt", O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (out < 0 || len <= 0) return;
  const ssize_t written = write(out, line, std::min(static_cast<size_t>(len), sizeof line - 1));
  (void)written;
  close(out);
}

}  // namespace

// The toolkit takes the interface from the metadata and loads the file
// when a key it looks for matches; the object itself offers nothing.
class SkavProbe : public QObject {
  Q_OBJECT
#if defined(SKAV_PROBE_GENERIC)
  Q_PLUGIN_METADATA(IID "org.qt-project.Qt.QGenericPluginFactoryInterface" FILE "probe_plugin.json")
#else
  Q_PLUGIN_METADATA(IID "org.qt-project.Qt.QPA.QPlatformThemeFactoryInterface.5.1" FILE
                        "probe_plugin.json")
#endif
};

#include "probe_plugin.moc"
