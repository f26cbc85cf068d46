#include "archive/view_format.h"

#include <cstring>

namespace sonovale_io {

namespace {

// Registration happens once, during static initialisation; afterwards the
// table is only read, from any thread.
constexpr int max_view_formats = 8;
view_format* g_view_formats[max_view_formats];
int g_view_format_count = 0;

}  // namespace

void register_view_format(view_format& format) {
  if (g_view_format_count < max_view_formats) g_view_formats[g_view_format_count++] = &format;
}

view_format* find_view_format(const char* type_name) {
  for (int i = 0; i < g_view_format_count; ++i) {
    if (std::strcmp(g_view_formats[i]->type_name(), type_name) == 0) return g_view_formats[i];
  }
  return nullptr;
}

}  // namespace sonovale_io
