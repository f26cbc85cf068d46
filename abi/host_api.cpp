#include "abi/host_api.h"

namespace {
host_api* g_host_api = nullptr;
}

host_api* module_host_api() { return g_host_api; }

void set_module_host_api(host_api* api) { g_host_api = api; }
