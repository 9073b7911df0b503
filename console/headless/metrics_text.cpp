// The metrics file's text: one family per counter, each with its help and
// type, the interface as a label on every sample.
#include "console/headless/metrics_text.h"

#include <cinttypes>
#include <cstdio>

MetricsValues ReadMetrics(const RunCounters& counters, bool running) {
  MetricsValues v;
  v.done = counters.done.load(std::memory_order_relaxed);
  v.failed = counters.failed.load(std::memory_order_relaxed);
  v.inFlight = counters.inFlight.load(std::memory_order_relaxed);
  v.bytes = counters.bytes.load(std::memory_order_relaxed);
  v.resent = counters.resent.load(std::memory_order_relaxed);
  v.createFailures = counters.createFailures.load(std::memory_order_relaxed);
  v.turnedAway = counters.turnedAway.load(std::memory_order_relaxed);
  v.cycles = counters.cycles.load(std::memory_order_relaxed);
  v.running = running;
  return v;
}

MetricsValues MetricsSince(const MetricsValues& now, const MetricsValues& base) {
  // Never below 0: a counter that went down would read as a restart.
  auto since = [](uint64_t a, uint64_t b) { return a > b ? a - b : 0; };
  MetricsValues v = now;
  v.done = since(now.done, base.done);
  v.failed = since(now.failed, base.failed);
  v.bytes = since(now.bytes, base.bytes);
  v.resent = since(now.resent, base.resent);
  v.createFailures = since(now.createFailures, base.createFailures);
  v.turnedAway = since(now.turnedAway, base.turnedAway);
  v.cycles = since(now.cycles, base.cycles);
  return v;
}

std::string EscapeLabelValue(const std::string& value) {
  std::string out;
  out.reserve(value.size());
  for (char c : value) {
    if (c == '\\') out += "\\\\";
    else if (c == '"') out += "\\\"";
    else if (c == '\n') out += "\\n";
    else out += c;
  }
  return out;
}

namespace {

void Family(std::string& out, const char* name, const char* type, const char* help) {
  out += "# HELP ";
  out += name;
  out += ' ';
  out += help;
  out += "\n# TYPE ";
  out += name;
  out += ' ';
  out += type;
  out += '\n';
}

// `labels` is the text between the braces, already escaped.
void Sample(std::string& out, const char* name, const std::string& labels, uint64_t value) {
  char number[24];
  std::snprintf(number, sizeof number, "%" PRIu64, value);
  out += name;
  out += '{';
  out += labels;
  out += "} ";
  out += number;
  out += '\n';
}

}  // namespace

std::string MetricsText(const MetricsValues& v, const std::string& interface) {
  const std::string label = "interface=\"" + EscapeLabelValue(interface) + "\"";
  std::string out;
  out.reserve(2048);
  Family(out, "skav_devices_done_total", "counter",
         "Devices whose outcome was Done (as the log file writes it).");
  Sample(out, "skav_devices_done_total", label, v.done);
  Family(out, "skav_devices_failed_total", "counter",
         "Devices whose outcome was Error (as the log file writes it), also those a stop "
         "cut off.");
  Sample(out, "skav_devices_failed_total", label, v.failed);
  Family(out, "skav_devices_in_flight", "gauge",
         "Devices being served: come and not yet finished.");
  Sample(out, "skav_devices_in_flight", label, v.inFlight);
  Family(out, "skav_pushed_bytes_total", "counter",
         "Bytes of images the devices acknowledged.");
  Sample(out, "skav_pushed_bytes_total", label, v.bytes);
  Family(out, "skav_tftp_resent_packets_total", "counter",
         "TFTP packets (WRQ and DATA blocks) sent again after a device did not answer.");
  Sample(out, "skav_tftp_resent_packets_total", label, v.resent);
  Family(out, "skav_client_creation_failures_total", "counter",
         "CONF-REQ of new devices that got no client: reason max_clients when the ceiling "
         "on devices served at once was reached, system when the system refused memory or "
         "a thread.");
  Sample(out, "skav_client_creation_failures_total", label + ",reason=\"max_clients\"",
         v.turnedAway);
  Sample(out, "skav_client_creation_failures_total", label + ",reason=\"system\"",
         v.createFailures);
  Family(out, "skav_server_cycles_total", "counter",
         "Rounds of the server loop: an advertisement, then up to 500 ms of frames.");
  Sample(out, "skav_server_cycles_total", label, v.cycles);
  Family(out, "skav_server_running", "gauge",
         "1 while the server runs; 0 while it waits for its interface or has stopped.");
  Sample(out, "skav_server_running", label, v.running ? 1 : 0);
  return out;
}
