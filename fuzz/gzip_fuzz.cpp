// The gzip path on arbitrary bytes, checked against zlib driven directly.
//
// What the module documents, modelled by the reference below: data of at
// least 18 bytes that starts 0x1F 0x8B is gzip, anything else is "Not GZIP
// data"; the size announced is the file's last four bytes (little-endian),
// refused from 2^31 on; members that follow one another are all inflated,
// and bytes after a member that do not start another one end the data.
// Every whole-content road (opening the member, unpacking, listing with
// readers, inflating into a file that is not in memory) must give the
// reference's bytes or its exception; a listing without readers gives the
// announced size; and Gzip_Reader, read in odd pieces up to the announced
// size, delivers a prefix of the reference's bytes, failing exactly when
// the data cannot supply that many. The module inflates through ISA-L,
// judged by zlib, so every comparison with the reference is also one
// between ISA-L and zlib. A decoded-view pass from the start
// gives the reference's bytes or exception too, without refusing large
// announcements, and a pass resumed at any block boundary gives the same
// bytes from there on.
#include <zlib.h>

#include <memory>
#include <string>
#include <typeinfo>
#include <vector>

#include "archive/data_reader.h"
#include "formats/gzip/gzip_archive.h"
#include "formats/gzip/gzip_reader.h"
#include "formats/gzip/gzip_view.h"
#include "fuzz/fuzz_host.h"

using namespace sonovale_io;

namespace {

constexpr char not_gzip[] = "Not GZIP data";
constexpr char too_large[] = " unsupported file feature; gzip larger than 2GB";
constexpr char corrupt[] = " corrupt file";
constexpr char input_path[] = "fuzz://input.gz";

struct expected_result {
  bool ok = false;
  std::string content;  // up to the failure when !ok
  std::string message;  // when !ok: the exact text, or empty when any text will do
  bool recognised = false;
  uint32_t announced = 0;
  // The inflation's own result, whatever the announcement: what a view
  // gives. Equal to ok and message unless the announcement is refused.
  bool inflated_ok = false;
  std::string inflated_message;
};

bool starts_member(const uint8_t* p, size_t left) {
  return left >= 2 && p[0] == 0x1F && p[1] == 0x8B;
}

expected_result reference(const uint8_t* data, size_t size) {
  expected_result e;
  if (size < 18 || !starts_member(data, size)) {
    e.message = not_gzip;
    return e;
  }
  e.recognised = true;
  const uint8_t* t = data + size - 4;
  e.announced = uint32_t{t[0]} | uint32_t{t[1]} << 8 | uint32_t{t[2]} << 16 | uint32_t{t[3]} << 24;

  z_stream s{};
  if (inflateInit2(&s, 31) != Z_OK) std::abort();
  s.next_in = const_cast<Bytef*>(data);
  s.avail_in = static_cast<uInt>(size);
  for (;;) {
    unsigned char chunk[65536];
    s.next_out = chunk;
    s.avail_out = sizeof chunk;
    int r = inflate(&s, Z_NO_FLUSH);
    e.content.append(reinterpret_cast<char*>(chunk), sizeof chunk - s.avail_out);
    if (r == Z_STREAM_END) {
      if (!starts_member(s.next_in, s.avail_in)) {
        e.ok = true;
        break;
      }
      inflateReset(&s);
      continue;
    }
    if (r == Z_DATA_ERROR || (r == Z_BUF_ERROR && s.avail_in == 0) ||
        (r == Z_OK && s.avail_in == 0 && s.avail_out != 0)) {
      e.message = corrupt;  // bad data, or the file ended inside a member
      break;
    }
    if (r != Z_OK) break;  // some other zlib failure: its own text
  }
  inflateEnd(&s);
  e.inflated_ok = e.ok;
  e.inflated_message = e.message;
  if (e.announced > 0x7FFFFFFF) {
    e.ok = false;
    e.message = too_large;
  }
  return e;
}

// Checks that `statement` ends as `e` says: with content equal to `e`'s,
// or with exception_io_data carrying `e`'s message.
template <typename F>
void check_whole(const expected_result& e, F statement) {
  std::string content;
  try {
    content = statement();
  } catch (const exception_io_data& x) {
    FUZZ_REQUIRE(!e.ok);
    FUZZ_REQUIRE(typeid(x) == typeid(exception_io_data));
    FUZZ_REQUIRE(e.message.empty() || e.message == x.what());
    return;
  }
  FUZZ_REQUIRE(e.ok);
  FUZZ_REQUIRE(content == e.content);
}

// Reads the announced size through Gzip_Reader in pieces of varying size.
void check_reader(const expected_result& e, const uint8_t* data, size_t size) {
  abort_callback_dummy abort;
  file_ptr source = fuzz::memory_file(data, size);
  source->seek(size / 3, abort);  // the decoder starts from the first byte anyway
  sonovale_File_Reader reader(source, abort);
  Gzip_Reader decoder;
  error_text error = decoder.open(reader);
  if (!e.recognised || e.message == too_large) {
    if (e.recognised) {
      FUZZ_REQUIRE(error != nullptr && e.message == error);
    } else {
      FUZZ_REQUIRE(error == nullptr && !decoder.active());
    }
    return;
  }
  if (error != nullptr) {
    // Only a failure of zlib's own set-up could land here.
    std::abort();
  }
  FUZZ_REQUIRE(decoder.active());
  FUZZ_REQUIRE(decoder.remain() == e.announced);

  static const int32_t pieces[] = {1, 7, 512, 1023, 4096, 65536, 3};
  std::string content;
  std::string piece;
  for (size_t i = 0; decoder.remain() != 0; ++i) {
    int32_t n = static_cast<int32_t>(std::min<uint64_t>(pieces[i % 7], decoder.remain()));
    piece.resize(static_cast<size_t>(n));
    error = decoder.read(piece.data(), n);
    if (error != nullptr) break;
    content += piece;
  }
  FUZZ_REQUIRE(e.content.compare(0, content.size(), content) == 0);
  if (error == nullptr) {
    FUZZ_REQUIRE(content.size() == e.announced);
    FUZZ_REQUIRE(e.ok || e.content.size() >= e.announced);
    // Nothing remains to be read.
    char one;
    FUZZ_REQUIRE(decoder.read(&one, 1) != nullptr);
  } else {
    FUZZ_REQUIRE(!e.ok || e.content.size() < e.announced);
  }
}

// A view pass of `engine` from `from` (null: the start), read in pieces of
// varying size. Stores what it gave in `content` and returns the failure's
// message, or null at a good end.
std::unique_ptr<std::string> run_pass(gzip_view_engine& engine, const file_ptr& source,
                                      const view_checkpoint* from, fuzz::collecting_sink& sink,
                                      std::string& content) {
  abort_callback_dummy abort;
  static const size_t pieces[] = {65536, 1, 4096, 1 << 20, 7, 1023};
  try {
    std::unique_ptr<view_pass> pass = engine.start(source, from, sink, abort);
    std::string piece;
    for (size_t i = 0;; ++i) {
      piece.resize(pieces[i % 6]);
      size_t got = pass->decode(reinterpret_cast<uint8_t*>(piece.data()), piece.size(), abort);
      FUZZ_REQUIRE(got <= piece.size());
      content.append(piece, 0, got);
      if (got < piece.size()) break;
    }
    FUZZ_REQUIRE(pass->decode(reinterpret_cast<uint8_t*>(piece.data()), 1, abort) == 0);
  } catch (const exception_io_data& x) {
    FUZZ_REQUIRE(typeid(x) == typeid(exception_io_data));
    return std::make_unique<std::string>(x.what());
  }
  return nullptr;
}

// The view from the start against the reference, then, with a checkpoint
// at every block boundary, each resumed pass against the first.
void check_view(const expected_result& e, const uint8_t* data, size_t size) {
  file_ptr source = fuzz::memory_file(data, size);
  fuzz::collecting_sink sink;
  std::string content;
  std::unique_ptr<std::string> failure =
      run_pass(static_cast<gzip_view_engine&>(gzip_view_format()), source, nullptr, sink, content);
  if (!e.recognised) {
    FUZZ_REQUIRE(failure != nullptr && *failure == not_gzip);
    return;
  }
  FUZZ_REQUIRE((failure == nullptr) == e.inflated_ok);
  if (failure == nullptr) {
    FUZZ_REQUIRE(content == e.content);
  } else {
    FUZZ_REQUIRE(e.inflated_message.empty() || e.inflated_message == *failure);
    FUZZ_REQUIRE(e.content.compare(0, content.size(), content) == 0);
  }
  // Resuming everywhere is quadratic: only for small content.
  if (e.content.size() > (256 << 10)) return;
  static gzip_view_engine every_boundary(1);
  fuzz::collecting_sink marks;
  content.clear();
  failure = run_pass(every_boundary, source, nullptr, marks, content);
  FUZZ_REQUIRE((failure == nullptr) == e.inflated_ok);
  // Decoded on two workers, a segment at every block boundary: the same
  // verdict, and the same bytes.
  bool ran = false;
  std::unique_ptr<std::string> segments =
      fuzz::run_segment_pass(every_boundary, source, marks.checkpoints, ran);
  if (ran) {
    FUZZ_REQUIRE((segments != nullptr) == e.inflated_ok);
    if (segments != nullptr) FUZZ_REQUIRE(*segments == e.content);
  }
  for (size_t i = 0; i < marks.checkpoints.size() && i < 64; ++i) {
    const view_checkpoint& from = marks.checkpoints[i];
    FUZZ_REQUIRE(from.output_position <= e.content.size());
    fuzz::collecting_sink later;
    std::string resumed;
    std::unique_ptr<std::string> resumed_failure =
        run_pass(every_boundary, source, &from, later, resumed);
    FUZZ_REQUIRE((resumed_failure == nullptr) == e.inflated_ok);
    if (resumed_failure != nullptr) FUZZ_REQUIRE(*resumed_failure == *failure);
    FUZZ_REQUIRE(e.content.compare(from.output_position, resumed.size(), resumed) == 0);
    if (e.inflated_ok) FUZZ_REQUIRE(from.output_position + resumed.size() == e.content.size());
    FUZZ_REQUIRE(later.checkpoints.size() == marks.checkpoints.size() - i - 1);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  expected_result e = reference(data, size);
  abort_callback_dummy abort;

  static service_impl_single_t<archive_gz> archive;
  static service_impl_single_t<unpacker_gz> unpacker;
  fuzz::host host({&archive}, data, size);

  check_whole(e, [&] { return host.open_member(archive, input_path); });
  check_whole(e, [&] { return fuzz::unpack_from_middle(unpacker, data, size); });
  check_whole(e, [&] { return fuzz::decode_into_sink(gzip_inflate_into, data, size, 1024); });

  check_whole(e, [&] {
    fuzz::recording_callback listing;
    file_ptr none;
    archive.list_members(input_path, none, listing, true);
    FUZZ_REQUIRE(listing.members.size() == 1);
    FUZZ_REQUIRE(listing.members[0].has_reader);
    FUZZ_REQUIRE(listing.members[0].path == "unpack://gz|15|fuzz://input.gz|input");
    return listing.members[0].content;
  });

  // Without readers nothing is inflated: the announcement is the size.
  {
    fuzz::recording_callback listing;
    file_ptr none;
    try {
      archive.list_members(input_path, none, listing, false);
      FUZZ_REQUIRE(e.recognised && e.message != too_large);
      FUZZ_REQUIRE(listing.members.size() == 1);
      FUZZ_REQUIRE(!listing.members[0].has_reader);
      FUZZ_REQUIRE(listing.members[0].stats.size == e.announced);
      FUZZ_REQUIRE(archive.get_member_stats(input_path, "", abort).size == e.announced);
    } catch (const exception_io_data& x) {
      FUZZ_REQUIRE(!e.recognised || e.message == too_large);
      FUZZ_REQUIRE(e.message == x.what());
      FUZZ_REQUIRE(listing.members.empty());
    }
  }

  check_reader(e, data, size);
  check_view(e, data, size);
  return 0;
}
