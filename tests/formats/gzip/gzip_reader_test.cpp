#include "formats/gzip/gzip_reader.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <string>

#include "io/file_buffer.h"
#include "tests/support/gzip_data.h"

using namespace sonovale_io;

namespace {

abort_callback_dummy no_abort;

// Text that compresses, different at every offset.
std::string sample_text(size_t n) {
  std::string s;
  for (uint32_t i = 0; s.size() < n; ++i) s += "line " + std::to_string(i * 7919u % 10007u) + "\n";
  s.resize(n);
  return s;
}

file_ptr file_with(const std::string& content, uint64_t position = 0) {
  file_ptr f = make_file_buffer(0, 0);
  f->write(content.data(), static_cast<uint32_t>(content.size()), no_abort);
  f->seek(position, no_abort);
  return f;
}

// A decoder opened on a file, owning everything it needs.
struct opened {
  explicit opened(const std::string& content, uint64_t position = 0)
      : file(file_with(content, position)), reader(file, no_abort) {
    result = decoder.open(reader);
  }
  file_ptr file;
  sonovale_File_Reader reader;
  Gzip_Reader decoder;
  error_text result;
};

// Inflates until the end in pieces of `piece` bytes; stores the first error.
std::string inflate_all(Gzip_Reader& decoder, error_text& error, uint32_t piece = 65536) {
  std::string out, buffer(piece, '\0');
  error = nullptr;
  for (;;) {
    uint32_t got = 0;
    error = decoder.inflate_some(buffer.data(), piece, got);
    out.append(buffer.data(), got);
    if (error != nullptr || got < piece) return out;
  }
}

}  // namespace

TEST(GzipReaderOpen, RecognisesGzipByLengthAndMagic) {
  std::string valid = gzip_member("hello");
  struct recognition_case {
    const char* what;
    std::string data;
    bool active;
  };
  const recognition_case cases[] = {
      {"empty file", "", false},
      {"17 bytes with the magic", valid.substr(0, 17), false},
      {"18 bytes with the magic", valid.substr(0, 14) + std::string(4, '\0'), true},
      {"whole member", valid, true},
      {"wrong first byte", "\x1e" + valid.substr(1), false},
      {"wrong second byte", "\x1f\x8c" + valid.substr(2), false},
      {"plain text", std::string(100, 'a'), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    opened o(c.data);
    EXPECT_EQ(o.result, nullptr);
    EXPECT_EQ(o.decoder.active(), c.active);
  }
}

TEST(GzipReaderOpen, AnnouncedSizeComesFromTheTrailer) {
  struct trailer_case {
    const char* what;
    uint32_t isize;
    error_text result;
    uint64_t remain;
  };
  const trailer_case cases[] = {
      {"zero", 0, nullptr, 0},
      {"largest accepted", 0x7FFFFFFF, nullptr, 0x7FFFFFFF},
      {"top bit set", 0x80000000, err_gzip_too_large, 0},
      {"all ones", 0xFFFFFFFF, err_gzip_too_large, 0},
      {"real size", 5, nullptr, 5},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::string gz = gzip_member("hello");
    set_trailer_size(gz, c.isize);
    opened o(gz);
    EXPECT_EQ(o.result, c.result);
    if (c.result == nullptr) {
      EXPECT_EQ(o.decoder.remain(), c.remain);
    }
  }
}

TEST(GzipReaderOpen, RewindsASourcePositionedMidFile) {
  std::string text = sample_text(5000);
  opened o(gzip_member(text), 40);
  ASSERT_EQ(o.result, nullptr);
  ASSERT_TRUE(o.decoder.active());
  error_text error;
  EXPECT_EQ(inflate_all(o.decoder, error), text);
  EXPECT_EQ(error, nullptr);
}

TEST(GzipReaderRead, DeliversExactCountsWithinTheAnnouncedSize) {
  std::string text = sample_text(100000);
  opened o(gzip_member(text, 9));
  ASSERT_EQ(o.result, nullptr);
  ASSERT_EQ(o.decoder.remain(), text.size());
  std::string out;
  char buffer[777];
  while (o.decoder.remain() != 0) {
    int32_t n = sizeof buffer;
    ASSERT_EQ(o.decoder.read_avail(buffer, n), nullptr);
    out.append(buffer, n);
  }
  EXPECT_EQ(out, text);
  EXPECT_EQ(o.decoder.read(buffer, 1), err_truncated_file);
}

TEST(GzipReaderRead, ReadingPastTheDataIsCorrupt) {
  // The trailer claims more than the member holds: zlib's own length check
  // fails when the member ends.
  std::string gz = gzip_member("hello");
  set_trailer_size(gz, 10);
  opened o(gz);
  ASSERT_EQ(o.result, nullptr);
  char buffer[10];
  EXPECT_EQ(o.decoder.read(buffer, 10), err_corrupt_file);

  // Asking the reader for more than the data holds, with a true trailer.
  opened p(gzip_member("hello"));
  Gzip_Reader& d = p.decoder;
  uint32_t got = 0;
  ASSERT_EQ(d.inflate_some(buffer, 10, got), nullptr);
  EXPECT_EQ(got, 5u);
  EXPECT_TRUE(d.ended());
  EXPECT_EQ(d.inflate_some(buffer, 10, got), nullptr);
  EXPECT_EQ(got, 0u);
}

TEST(GzipReaderRead, OutputPieceSizeDoesNotMatter) {
  std::string text = sample_text(70000);
  std::string gz = gzip_member(text, 1) + gzip_member(text.substr(0, 3000), 9);
  for (uint32_t piece : {1u, 7u, 258u, 4096u, 1u << 20}) {
    SCOPED_TRACE(piece);
    opened o(gz);
    error_text error;
    EXPECT_EQ(inflate_all(o.decoder, error, piece), text + text.substr(0, 3000));
    EXPECT_EQ(error, nullptr);
  }
}

TEST(GzipReaderRead, UnrecognisedOrForeignDataIsCorrupt) {
  char buffer[4];
  uint32_t got = 0;
  opened text(std::string(100, 'a'));
  ASSERT_FALSE(text.decoder.active());
  EXPECT_EQ(text.decoder.inflate_some(buffer, 4, got), err_corrupt_file);

  Gzip_Reader never_opened;
  EXPECT_EQ(never_opened.inflate_some(buffer, 4, got), err_corrupt_file);

  // Compression method 7 instead of 8 (deflate).
  std::string gz = gzip_member("hello");
  gz[2] = 7;
  opened other(gz);
  ASSERT_EQ(other.result, nullptr);
  ASSERT_TRUE(other.decoder.active());
  EXPECT_EQ(other.decoder.read(buffer, 4), err_corrupt_file);
}

TEST(GzipReaderRead, DamageIsCaughtByZlibsChecks) {
  std::string text = sample_text(20000);
  std::string good = gzip_member(text);
  struct damage_case {
    const char* what;
    size_t offset;  // from the end when negative offsets are wanted
    bool from_end;
  };
  const damage_case cases[] = {
      {"first byte of the CRC-32", 8, true},
      {"first byte of ISIZE", 4, true},
      {"deflate data", 200, false},
      {"reserved flag bit", 3, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::string gz = good;
    size_t at = c.from_end ? gz.size() - c.offset : c.offset;
    gz[at] = static_cast<char>(gz[at] ^ (c.from_end ? 0x01 : 0xE0));
    opened o(gz);
    if (o.result != nullptr) continue;  // a changed ISIZE may be refused outright
    error_text error;
    inflate_all(o.decoder, error);
    EXPECT_EQ(error, err_corrupt_file);
  }
}

TEST(GzipReaderRead, FileCutAnywhereNeverSucceeds) {
  std::string gz = gzip_member(sample_text(3000));
  for (size_t cut = 0; cut < gz.size(); ++cut) {
    SCOPED_TRACE(cut);
    opened o(gz.substr(0, cut));
    if (o.result != nullptr || !o.decoder.active()) continue;
    error_text error;
    inflate_all(o.decoder, error, 1000);
    EXPECT_NE(error, nullptr);
  }
}

TEST(GzipReaderMembers, ConcatenatedMembersAreAllInflated) {
  std::string a = gzip_member("first member\n"), b = gzip_member(sample_text(40000), 1),
              empty = gzip_member("");
  opened o(a + empty + b + a);
  ASSERT_EQ(o.result, nullptr);
  // The cheap size is the last member's.
  EXPECT_EQ(o.decoder.remain(), 13u);
  error_text error;
  EXPECT_EQ(inflate_all(o.decoder, error),
            "first member\n" + sample_text(40000) + "first member\n");
  EXPECT_EQ(error, nullptr);
}

TEST(GzipReaderMembers, TrailingBytesAfterAMember) {
  std::string a = gzip_member("payload");
  struct trailing_case {
    const char* what;
    std::string tail;
    error_text result;
  };
  const trailing_case cases[] = {
      {"zero padding of a tape block", std::string(10240 - a.size(), '\0'), nullptr},
      {"padding then another member", std::string(100, '\0') + a, nullptr},
      {"text garbage", "garbage", nullptr},
      {"a lone magic byte", "\x1f", nullptr},
      {"magic with a wrong method", "\x1f\x8b\x07\x00garbage and more garbage", err_corrupt_file},
      {"member header cut short", std::string("\x1f\x8b\x08\x00\x00\x00", 6), err_corrupt_file},
      {"member cut short", a.substr(0, a.size() - 3), err_corrupt_file},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    opened o(a + c.tail);
    ASSERT_EQ(o.result, nullptr);
    error_text error;
    std::string out = inflate_all(o.decoder, error);
    EXPECT_EQ(error, c.result);
    if (c.result == nullptr) {
      EXPECT_EQ(out, "payload");
    }
  }
}

TEST(GzipReaderMembers, NextMemberAcrossTheInputBufferEdge) {
  // The input arrives as 4096 bytes, then 16384 at a time. Stored (level 0)
  // first members of these lengths end within a few bytes of the second
  // refill's end, so the next member's magic is met whole, split, or not
  // yet read.
  std::string text = sample_text(20500);
  for (size_t length = 20440; length <= 20470; ++length) {
    SCOPED_TRACE(length);
    std::string gz = gzip_member(text.substr(0, length), 0) + gzip_member("tail");
    opened o(gz);
    error_text error;
    EXPECT_EQ(inflate_all(o.decoder, error), text.substr(0, length) + "tail");
    EXPECT_EQ(error, nullptr);
  }
}

namespace {

// An in-memory file whose reads fail from the `fail_at`-th on.
class failing_file : public file_buffer {
 public:
  failing_file() : file_buffer(0, 0) {}
  int fail_at = 0;
  bool abort = false;
  int reads = 0;
  uint32_t read(void* buffer, uint32_t count, abort_callback& a) override {
    if (++reads >= fail_at && fail_at != 0) {
      if (abort) throw exception_aborted();
      throw exception_io_data_truncation();
    }
    return file_buffer::read(buffer, count, a);
  }
};

}  // namespace

TEST(GzipReaderSource, SourceFailuresComeBackUnchanged) {
  std::string gz = gzip_member(sample_text(200000), 1);
  ASSERT_GT(gz.size(), 3u * 16384);
  for (bool abort : {false, true}) {
    SCOPED_TRACE(abort);
    auto* f = new service_impl_t<failing_file>();
    file_ptr ref(f);
    f->write(gz.data(), static_cast<uint32_t>(gz.size()), no_abort);
    f->reopen(no_abort);
    f->fail_at = 4;  // first 4096 bytes, trailer, one refill, then fail
    f->abort = abort;
    sonovale_File_Reader reader(ref, no_abort);
    Gzip_Reader decoder;
    ASSERT_EQ(decoder.open(reader), nullptr);
    if (abort) {
      error_text error;
      EXPECT_THROW(inflate_all(decoder, error), exception_aborted);
    } else {
      error_text error;
      inflate_all(decoder, error);
      EXPECT_EQ(error, err_couldnt_open_file);
    }
  }
}
