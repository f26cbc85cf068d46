// The zstd path on arbitrary bytes, checked against libzstd's one-shot
// decoder.
//
// What the module documents, modelled by the reference below: data that
// starts with a zstd or skippable frame's magic is zstd, anything else is
// "Not ZSTD data"; frames that follow one another are all decoded, and
// after a frame the file ends or another frame starts; windows over
// 128 MiB are refused. The reference splits the frames with
// ZSTD_findFrameCompressedSize and decodes each with ZSTD_decompressDCtx.
// One documented difference: the one-shot decoder accepts a block larger
// than the frame's largest block (the window, at most 128 KiB), which the
// streaming decoder, like the zstd tool, refuses; the reference refuses it
// too. Another: a compressed block of size 0, which no compressor writes,
// is corrupt to the one-shot decoder, while the streaming decoder skips it
// as an empty block or refuses it depending on its buffers. For content
// with such a block either verdict is allowed; success must give the
// content decoded with each such block read as an empty raw block.
// Then the whole-content roads (opening the member, unpacking, decoding
// into a file that is not in memory) and a view pass from the start must
// all succeed with the reference's bytes, or all fail with
// exception_io_data (truncation included). A declared size, when every
// frame has one, is the content's. A view pass from each checkpoint gives
// the rest of the content.
#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_getFrameHeader
#include <zstd.h>
#include <zstd_errors.h>

#include <memory>
#include <string>
#include <vector>

#include "formats/zstd/zstd_archive.h"
#include "formats/zstd/zstd_decoder.h"
#include "formats/zstd/zstd_view.h"
#include "fuzz/fuzz_host.h"

using namespace sonovale_io;
using fuzz::verdict;

namespace {

constexpr size_t output_limit = 1u << 20;
constexpr char input_path[] = "fuzz://input.zst";
constexpr uint64_t window_limit = uint64_t{1} << 27;

// Turns each empty compressed block of the zstd frame `frame` (its header
// `header`) into an empty raw block, setting `changed` if there was one.
// False when a block declares more than the frame's largest block.
bool normalise_blocks(std::vector<uint8_t>& frame, const ZSTD_frameHeader& header, bool& changed) {
  const uint8_t* p = frame.data();
  for (size_t pos = header.headerSize; pos + 3 <= frame.size();) {
    uint32_t block = uint32_t{p[pos]} | uint32_t{p[pos + 1]} << 8 | uint32_t{p[pos + 2]} << 16;
    uint32_t type = (block >> 1) & 3, block_size = block >> 3;
    if (block_size > header.blockSizeMax) return false;
    if (type == 2 && block_size == 0) {
      frame[pos] &= ~uint8_t{6};
      changed = true;
    }
    pos += 3 + (type == 1 ? 1 : block_size);
    if (block & 1) break;
  }
  return true;
}

bool starts_frame(const uint8_t* p, size_t left) {
  if (left < 4) return false;
  uint32_t m = uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
  return m == ZSTD_MAGICNUMBER || (m & ZSTD_MAGIC_SKIPPABLE_MASK) == ZSTD_MAGIC_SKIPPABLE_START;
}

verdict reference(const uint8_t* data, size_t size, std::string& content) {
  if (!starts_frame(data, size)) return verdict::refused;
  std::unique_ptr<ZSTD_DCtx, size_t (*)(ZSTD_DCtx*)> context(ZSTD_createDCtx(), ZSTD_freeDCtx);
  std::vector<uint8_t> out(output_limit + 1);
  size_t pos = 0;
  std::vector<uint8_t> normalised;
  bool changed = false;
  while (starts_frame(data + pos, size - pos)) {
    size_t frame = ZSTD_findFrameCompressedSize(data + pos, size - pos);
    if (ZSTD_isError(frame)) return verdict::refused;
    ZSTD_frameHeader header;
    if (ZSTD_getFrameHeader(&header, data + pos, frame) != 0) return verdict::refused;
    normalised.assign(data + pos, data + pos + frame);
    if (header.frameType == ZSTD_frame &&
        (header.windowSize > window_limit || !normalise_blocks(normalised, header, changed))) {
      return verdict::refused;
    }
    size_t got = ZSTD_decompressDCtx(context.get(), out.data(), out.size(), normalised.data(),
                                     normalised.size());
    if (ZSTD_isError(got)) {
      return ZSTD_getErrorCode(got) == ZSTD_error_dstSize_tooSmall ? verdict::too_big
                                                                   : verdict::refused;
    }
    content.append(reinterpret_cast<const char*>(out.data()), got);
    if (content.size() > output_limit) return verdict::too_big;
    pos += frame;
  }
  if (pos != size) return verdict::refused;
  return changed ? verdict::either : verdict::ok;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string expected;
  verdict v = reference(data, size, expected);
  abort_callback_dummy abort;

  static service_impl_single_t<archive_zst> archive;
  static service_impl_single_t<unpacker_zst> unpacker;
  fuzz::host host({&archive}, data, size);

  auto check = [&](const std::unique_ptr<std::string>& got) {
    fuzz::check_verdict(v, expected, got);
  };

  check(fuzz::attempt([&] { return host.open_member(archive, input_path); }));
  check(fuzz::attempt([&] { return fuzz::unpack_from_middle(unpacker, data, size); }));
  if (v != verdict::too_big) {
    check(fuzz::attempt([&] { return fuzz::decode_into_sink(zstd_decode_into, data, size); }));
  }

  try {
    uint64_t declared = zstd_declared_size(fuzz::memory_file(data, size), abort);
    if ((v == verdict::ok || v == verdict::either) && declared != unknown_size)
      FUZZ_REQUIRE(declared == expected.size());
  } catch (const exception_io_data&) {
    FUZZ_REQUIRE(v == verdict::refused);
  }

  file_ptr source = fuzz::memory_file(data, size);
  fuzz::collecting_sink sink;
  check(fuzz::run_view_pass(zstd_view_format(), source, nullptr, sink));
  // Decoded on two workers between the checkpoints: the same verdict and
  // bytes.
  bool ran = false;
  std::unique_ptr<std::string> segments =
      fuzz::run_segment_pass(zstd_view_format(), source, sink.checkpoints, ran);
  if (ran) check(segments);
  if (v == verdict::ok) {
    fuzz::check_resumed_passes(zstd_view_format(), source, sink.checkpoints, expected);
  }
  return 0;
}
