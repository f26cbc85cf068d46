// write_all: every byte, or the abort, seen before each piece even when the
// reader has stalled.
#include "host/write_all.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "host/host_abort.h"
#include "tests/support/expect_throw.h"
#include "tests/support/tripping_abort.h"

namespace {

// Everything written to a pipe, read on a thread of its own.
class pipe_reader {
 public:
  pipe_reader() {
    EXPECT_EQ(::pipe2(fds_, O_CLOEXEC), 0);
    thread_ = std::thread([this] {
      char buffer[1 << 16];
      for (ssize_t got; (got = ::read(fds_[0], buffer, sizeof buffer)) > 0;) {
        bytes_.append(buffer, static_cast<size_t>(got));
      }
    });
  }
  ~pipe_reader() {
    if (thread_.joinable()) finish();
    ::close(fds_[0]);
  }
  int fd() const { return fds_[1]; }
  // Closes the writing end and returns what arrived.
  std::string finish() {
    ::close(fds_[1]);
    thread_.join();
    return bytes_;
  }

 private:
  int fds_[2] = {-1, -1};
  std::thread thread_;
  std::string bytes_;
};

TEST(WriteAll, WritesEverythingOrStopsAtTheAbortBeforeAPiece) {
  std::string bytes(5 << 20, 'x');
  pipe_reader whole;
  tripping_abort never;
  EXPECT_EQ(write_all(whole.fd(), bytes, &never), 0);
  EXPECT_EQ(whole.finish(), bytes);

  pipe_reader cut;
  tripping_abort third(3);
  EXPECT_THROW_EXACT((void)write_all(cut.fd(), bytes, &third), sonovale_io::exception_aborted,
                     "User abort");
  EXPECT_EQ(cut.finish().size(), 2u << 20);  // two pieces of 1 MiB
}

TEST(WriteAll, AnAbortEndsAWriteToAStalledReader) {
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC | O_NONBLOCK), 0);
  std::string block(1 << 16, 'x');
  while (::write(fds[1], block.data(), block.size()) > 0) {
  }
  ASSERT_EQ(::fcntl(fds[1], F_SETFL, 0), 0);  // full, and blocking again
  host_abort_callback abort;
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    abort.abort();
  });
  EXPECT_THROW_EXACT((void)write_all(fds[1], block, &abort, abort.wake_fd()),
                     sonovale_io::exception_aborted, "User abort");
  stopper.join();
  ::close(fds[0]);
  ::close(fds[1]);
}

}  // namespace
