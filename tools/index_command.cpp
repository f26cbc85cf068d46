#include "tools/index_command.h"

#include <ctime>
#include <exception>

#include "archive/content_fingerprint.h"
#include "archive/index_settings.h"
#include "archive/index_store.h"
#include "tools/exit_status.h"
#include "tools/output.h"
#include "tools/report_failure.h"

using namespace sonovale_io;

namespace {

// "4.5 MiB" and the like.
std::string human_size(uint64_t bytes) {
  static const char* const units[] = {"bytes", "KiB", "MiB", "GiB", "TiB"};
  double value = static_cast<double>(bytes);
  int unit = 0;
  while (value >= 1024 && unit < 4) {
    value /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", value, units[unit]);
  return text;
}

std::string local_time(int64_t seconds) {
  std::time_t t = static_cast<std::time_t>(seconds);
  std::tm parts{};
  localtime_r(&t, &parts);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M", &parts);
  return text;
}

// The store the environment chooses, or null with a message on stderr.
std::unique_ptr<index_store> open_store(const index_settings& settings) {
  if (settings.mode != index_mode::disk) return nullptr;
  std::unique_ptr<index_store> store = index_store::open(settings.folder, settings.budget);
  if (!store) report_error(settings.folder, "the index cannot be opened there");
  return store;
}

}  // namespace

int show_index_status() {
  index_settings settings = index_settings_from_environment();
  if (settings.mode == index_mode::memory) {
    output_write("index: in each process's memory only (BRENMOOR_INDEX=memory)\n");
    return exit_ok;
  }
  if (settings.mode == index_mode::off) {
    output_write("index: off (BRENMOOR_INDEX=off)\n");
    return exit_ok;
  }
  std::unique_ptr<index_store> store = open_store(settings);
  if (!store) return exit_error;
  index_status s = store->status();
  std::string text = "index: " + human_text(s.file) + "\n";
  text += "size: " + human_size(s.bytes) + " (budget " + human_size(s.budget) + ")\n";
  text += "archives: " + std::to_string(s.archives) + "\n";
  text += "checkpoints: " + std::to_string(s.checkpoints) + "\n";
  for (const index_entry_summary& e : store->entries()) {
    text += "  " + local_time(e.used) + "  " + e.type + "  " + human_size(e.size) + "  " +
            human_size(e.bytes) + " indexed  " + human_text(e.path) + "\n";
  }
  output_write(text);
  return exit_ok;
}

int drop_from_index(sonovale_host& host, const std::vector<std::string>& paths) {
  index_settings settings = index_settings_from_environment();
  if (settings.mode != index_mode::disk) {
    report_error("index", "there is no index on disk (BRENMOOR_INDEX is memory or off)");
    return exit_error;
  }
  std::unique_ptr<index_store> store = open_store(settings);
  if (!store) return exit_error;
  int status = exit_ok;
  for (const std::string& path : paths) {
    try {
      file_ptr f;
      filesystem::g_open(f, path.c_str(), open_mode_read, host.abort());
      uint64_t size = f->get_size(host.abort());
      if (size == unknown_size) throw exception_io_data("its size is not known");
      uint64_t dropped = store->drop_content(size, content_fingerprint(*f, size, host.abort()));
      output_write(human_text(path) + (dropped != 0 ? ": dropped\n" : ": not in the index\n"));
    } catch (const std::exception&) {
      report_failure(path, host.abort());
      status = exit_error;
    }
  }
  return status;
}
