// The stand-in host used from eight threads at once: the registry's
// enumeration, and the dispatch of filesystem::g_open and its kin to the
// native and "tempmem://" filesystems. Labelled "threads", so it runs under
// ThreadSanitizer too.
#include "host/service_registry.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "host/host.h"
#include "tests/support/test_host.h"

using namespace sonovale_io;

namespace {

constexpr unsigned thread_count = 8;
constexpr unsigned rounds = 200;

// Runs `work(thread)` on eight threads and returns how many of its checks
// failed; gtest's own assertions are not made from these threads.
template <typename F>
unsigned on_eight_threads(F work) {
  std::atomic<unsigned> failures{0};
  std::vector<std::thread> threads;
  for (unsigned t = 0; t < thread_count; ++t) {
    threads.emplace_back([&, t] { failures += work(t); });
  }
  for (std::thread& thread : threads) thread.join();
  return failures.load();
}

TEST(ServiceRegistryThreads, EnumerationWhileClassesAreAdded) {
  service_registry registry;
  service_impl_single_t<tempmem_filesystem> first, second;
  registry.add(filesystem::class_guid, &first);
  registry.add(filesystem::class_guid, &second);
  unsigned failures = on_eight_threads([&](unsigned t) {
    unsigned failed = 0;
    for (unsigned round = 0; round < rounds; ++round) {
      // A class no one registered grows the class list as others read it.
      GUID fresh = {t, static_cast<uint16_t>(round), 0x51, {1, 2, 3, 4, 5, 6, 7, 8}};
      service_ptr_t<service_base> found;
      failed += registry.instantiate_service(found, registry.lookup_service_class(fresh), 0);
      void* handle = registry.lookup_service_class(filesystem::class_guid);
      failed += !registry.instantiate_service(found, handle, 0) || found.get_ptr() != &first;
      failed += !registry.instantiate_service(found, handle, 1) || found.get_ptr() != &second;
      failed += registry.instantiate_service(found, handle, 2);
      failed += registry.instances(filesystem::class_guid).size() != 2;
    }
    return failed;
  });
  EXPECT_EQ(failures, 0u);
  EXPECT_EQ(registry.instantiate_calls(), thread_count * rounds * 4);
}

TEST(ServiceRegistryThreads, FilesystemDispatchFromEightThreads) {
  char name[] = "/tmp/brenmoor-threads-XXXXXX";
  std::string folder = ::mkdtemp(name);
  std::string path = folder + "/a.txt";
  std::ofstream(path) << "content";
  char real[PATH_MAX];
  ASSERT_NE(::realpath(path.c_str(), real), nullptr);

  sonovale_host host;
  unsigned failures = on_eight_threads([&](unsigned) {
    unsigned failed = 0;
    for (unsigned round = 0; round < rounds; ++round) {
      file_ptr f;
      filesystem::g_open(f, path.c_str(), open_mode_read, host.abort());
      failed += read_all(*f) != "content";
      file_ptr temp;
      filesystem::g_open(temp, "tempmem://t", open_mode_write_new, host.abort());
      temp->write("abc", 3, host.abort());
      failed += temp->get_size(host.abort()) != 3;
      plix::string8 canonical;
      filesystem::g_get_canonical_path(path.c_str(), canonical);
      failed += std::string(canonical.get_ptr()) != real;
      try {
        filesystem::g_open(f, folder.c_str(), open_mode_read, host.abort());
        ++failed;
      } catch (const exception_io& e) {
        failed += std::string(e.what()) != "Is a directory";
      }
    }
    return failed;
  });
  EXPECT_EQ(failures, 0u);
  std::filesystem::remove_all(folder);
}

}  // namespace
