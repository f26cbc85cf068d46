// The host's shared utility library: case-insensitive text comparison and
// the call-stack marker.
#include <vector>

#include "abi/host_api.h"
#include "host/call_stack.h"

int _stricmp_utf8(const char* a, const char* b) {
  // ASCII letters are folded; other bytes, UTF-8 sequences included, compare
  // as they are.
  for (;; ++a, ++b) {
    unsigned char x = static_cast<unsigned char>(*a);
    unsigned char y = static_cast<unsigned char>(*b);
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x + 32);
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y + 32);
    if (x != y) return x < y ? -1 : 1;
    if (x == 0) return 0;
  }
}

namespace {
thread_local std::vector<const char*> t_call_stack;
}

uCallStackTracker::uCallStackTracker(const char* label) { t_call_stack.push_back(label); }

uCallStackTracker::~uCallStackTracker() { t_call_stack.pop_back(); }

const std::vector<const char*>& call_stack_labels() { return t_call_stack; }
