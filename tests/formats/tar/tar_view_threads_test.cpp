// Members of a TAR inside a gzip and a bzip2 file opened from many threads
// at once: decoded views, the content index and its member tables shared.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/archive_services.h"
#include "tests/support/gzip_data.h"
#include "tests/support/tar_data.h"

using namespace sonovale_io;

namespace {

struct TarViewThreads : testing::Test, archive_services {};

}  // namespace

TEST_F(TarViewThreads, MembersOfATarGzAndATarBz2OpenFromManyThreads) {
  std::vector<std::pair<std::string, std::string>> members;
  for (int i = 0; i < 40; ++i) {
    // Appended, not "m" + ...: at -O3 GCC 12 warns falsely (-Wrestrict)
    // about the insert that prefixing a string makes.
    std::string name = "m";
    name += std::to_string(i);
    members.push_back({name, noise(100000 + i * 5000, 10 + i)});
  }
  std::string tar_bytes = make_tar(members);
  std::string files[] = {host.put("t.tar.gz", gzip_member(tar_bytes)),
                         host.put("t.tar.bz2", bzip2_compress(tar_bytes, 1))};
  std::string kinds[] = {"gz", "bz2"};
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (unsigned t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      abort_callback_dummy none;
      std::mt19937 random(t);
      for (int i = 0; i < 12; ++i) {
        size_t which = random() % members.size();
        size_t kind = random() % 2;
        file_ptr f;
        filesystem::g_open(f, nested(kinds[kind], files[kind], members[which].first).c_str(),
                           open_mode_read, none);
        if (read_all(*f) != members[which].second) ++wrong;
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(wrong.load(), 0);
}
