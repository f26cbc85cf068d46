// The xz path on arbitrary bytes, checked against liblzma's stream
// decoder.
//
// What the module documents, modelled by the reference below: data that
// starts with the xz magic is xz, anything else is "Not XZ data"; streams
// that follow one another, with stream padding (zero bytes in groups of
// four) between them, are all decoded, and after a stream and its padding
// the file ends or another stream starts; a stream whose check type
// liblzma lacks is refused. The reference decodes stream by stream with
// liblzma's stream decoder, told to report an unsupported check (which it
// treats as refused) and given all the input at once: a stream it cannot
// finish is refused, one that fills the output buffer is too big to
// compare. (lzma_stream_buffer_decode reports a stream cut short and a
// full output buffer alike, so it cannot be the reference.) Then the
// whole-content roads (opening the member with two decoder threads,
// unpacking with one, decoding into a file that is not in memory) and a
// view pass from the start must all succeed with the reference's bytes,
// or all fail with exception_io_data (truncation included). A size read
// from the index, when there is one, is the content's. A view pass from
// each checkpoint gives the rest of the content.
#include <lzma.h>

#include <cstring>
#include <memory>
#include <string>
#include <typeinfo>
#include <vector>

#include "formats/xz/xz_archive.h"
#include "formats/xz/xz_view.h"
#include "fuzz/fuzz_host.h"

using namespace sonovale_io;
using fuzz::verdict;

namespace {

// Inputs that expand beyond this are only checked for crashes and leaks.
constexpr size_t output_limit = 1u << 20;
constexpr char input_path[] = "fuzz://input.xz";
constexpr uint8_t magic[6] = {0xFD, '7', 'z', 'X', 'Z', 0x00};

verdict reference(const uint8_t* data, size_t size, std::string& content) {
  if (size < sizeof magic || std::memcmp(data, magic, sizeof magic) != 0) return verdict::refused;
  std::vector<uint8_t> out(output_limit + 1);
  size_t in_pos = 0;
  for (;;) {
    lzma_stream stream = LZMA_STREAM_INIT;
    FUZZ_REQUIRE(lzma_stream_decoder(&stream, UINT64_MAX, LZMA_TELL_UNSUPPORTED_CHECK) == LZMA_OK);
    stream.next_in = data + in_pos;
    stream.avail_in = size - in_pos;
    stream.next_out = out.data();
    stream.avail_out = out.size();
    lzma_ret r;
    do {
      r = lzma_code(&stream, LZMA_FINISH);
    } while (r == LZMA_OK && stream.avail_out != 0);
    in_pos += stream.total_in;
    size_t produced = out.size() - stream.avail_out;
    lzma_end(&stream);
    if (produced == out.size()) return verdict::too_big;
    if (r != LZMA_STREAM_END) return verdict::refused;
    content.append(reinterpret_cast<const char*>(out.data()), produced);
    if (content.size() > output_limit) return verdict::too_big;
    size_t zeros = 0;
    for (; in_pos < size && data[in_pos] == 0; ++in_pos) ++zeros;
    if (zeros % 4 != 0) return verdict::refused;
    if (in_pos == size) return verdict::ok;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string expected;
  verdict v = reference(data, size, expected);
  abort_callback_dummy abort;

  static service_impl_single_t<archive_xz> archive;
  static service_impl_single_t<unpacker_xz> unpacker;
  fuzz::host host({&archive}, data, size);

  auto check = [&](const std::unique_ptr<std::string>& got) {
    fuzz::check_verdict(v, expected, got);
  };

  xz_set_decoder_threads(2);
  check(fuzz::attempt([&] { return host.open_member(archive, input_path); }));
  xz_set_decoder_threads(1);
  check(fuzz::attempt([&] { return fuzz::unpack_from_middle(unpacker, data, size); }));
  xz_set_decoder_threads(0);
  if (v != verdict::too_big) {
    check(fuzz::attempt([&] { return fuzz::decode_into_sink(xz_decode_into, data, size); }));
  }

  // The index's size, when the file ends in one, is the content's.
  try {
    uint64_t announced = archive.get_member_stats(input_path, "", abort).size;
    if (v == verdict::ok && announced != unknown_size) FUZZ_REQUIRE(announced == expected.size());
  } catch (const exception_io_data&) {
    FUZZ_REQUIRE(v == verdict::refused);
  }

  file_ptr source = fuzz::memory_file(data, size);
  fuzz::collecting_sink sink;
  check(fuzz::run_view_pass(xz_view_format(), source, nullptr, sink));
  // Decoded on two workers between the checkpoints: the same verdict and
  // bytes.
  bool ran = false;
  std::unique_ptr<std::string> segments =
      fuzz::run_segment_pass(xz_view_format(), source, sink.checkpoints, ran);
  if (ran) check(segments);
  if (v == verdict::ok) {
    fuzz::check_resumed_passes(xz_view_format(), source, sink.checkpoints, expected);
  }
  return 0;
}
