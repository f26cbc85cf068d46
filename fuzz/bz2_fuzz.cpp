// The bzip2 decoder on arbitrary bytes, checked against libbz2.
//
// The module decodes every stream of a file up to the first bytes that do
// not start another stream ("BZh1" to "BZh9" on a byte boundary). The
// reference below does the same with libbz2's stream interface, one stream
// at a time. Then either both succeed with the same bytes, or both refuse,
// apart from three documented differences:
//   - the module refuses randomised blocks ("Obsolete input"), which libbz2
//     still decodes: what the module wrote before must be a prefix of
//     libbz2's output;
//   - the module accepts an empty block and a block whose symbol map
//     declares no bytes, which libbz2 refuses: a walk over the blocks with
//     the decoder's own steps must find such a block.
// Decoding with worker threads must write the same bytes and end the same
// way as decoding in sequence; a pass of the view format must give the
// same content or the same exception. The same bytes listed as a "bz2"
// archive must give the same content, or the same exception, as decoding
// them directly.
#include <bzlib.h>

#include <algorithm>
#include <memory>
#include <string>
#include <typeinfo>

#include "formats/bzip2/bz2_archive.h"
#include "formats/bzip2/bz2_decoder.h"
#include "formats/bzip2/bz2_parallel.h"
#include "formats/bzip2/bz2_view.h"
#include "fuzz/fuzz_host.h"

using namespace sonovale_io;

namespace {

// Inputs that expand beyond this are only checked for crashes and leaks.
constexpr size_t output_limit = 1u << 20;
// The archive service decodes into an in-memory file that grows write by
// write; under the sanitizers that copies the content at every write, so
// only smaller outputs take that road.
constexpr size_t archive_limit = 256u << 10;

enum class outcome { ok, refused, too_big };

// Decodes like the module with libbz2: stream after stream while the next
// bytes are a stream header.
outcome reference_decode(const uint8_t* data, size_t size, std::string& out) {
  size_t pos = 0;
  for (bool first = true;; first = false) {
    if (!first) {
      const uint8_t* h = data + pos;
      if (size - pos < 4 || h[0] != 'B' || h[1] != 'Z' || h[2] != 'h' || h[3] < '1' || h[3] > '9')
        return outcome::ok;
    }
    bz_stream s{};
    if (BZ2_bzDecompressInit(&s, 0, 0) != BZ_OK) std::abort();
    s.next_in = const_cast<char*>(reinterpret_cast<const char*>(data + pos));
    s.avail_in = static_cast<unsigned>(size - pos);
    outcome result = outcome::ok;
    for (;;) {
      char chunk[65536];
      s.next_out = chunk;
      s.avail_out = sizeof chunk;
      int r = BZ2_bzDecompress(&s);
      out.append(chunk, sizeof chunk - s.avail_out);
      if (out.size() > output_limit) {
        result = outcome::too_big;
        break;
      }
      if (r == BZ_STREAM_END) break;
      // Out of input with room left over: the stream is cut short.
      if (r != BZ_OK || (s.avail_in == 0 && s.avail_out != 0)) {
        result = outcome::refused;
        break;
      }
    }
    pos = size - s.avail_in;
    BZ2_bzDecompressEnd(&s);
    if (result != outcome::ok) return result;
  }
}

// Walks the blocks with the decoder's own steps, as a pass does but
// without expanding them, and tells whether one decoded block is empty or
// declares no bytes.
bool has_block_libbz2_refuses(const uint8_t* data, size_t size) {
  bz2_memory_source source(data, static_cast<uint32_t>(size));
  bz2_stream_walk w;
  try {
    bz2_walk_create(w);
    bz2_bits_start(w.bits, source);
    if (bz2_walk_stream_header(w) != bz2_ok) return false;
    for (;;) {
      int32_t result = bz2_walk_record(w);
      if (result == bz2_end_of_stream) {
        if (!bz2_walk_next_stream(w)) return false;
        continue;
      }
      if (result != bz2_ok) return false;
      if (w.block->size == 0 || w.block->byte_count == 0) return true;
    }
  } catch (const exception_io_data&) {
    return false;
  }
}

struct module_result {
  outcome result = outcome::ok;
  std::string content;
  std::string error_class;
  std::string error_message;
};

// Decodes with `workers` worker threads (1: in sequence).
module_result module_decode(const uint8_t* data, size_t size, unsigned workers) {
  abort_callback_dummy abort;
  module_result m;
  bz2_set_decoder_threads(workers);
  service_ptr_t<fuzz::string_sink> sink = new service_impl_t<fuzz::string_sink>();
  sink->max_write = bz2_chunk_size;
  sink->limit = output_limit;
  try {
    file_ptr out(sink.get_ptr());
    bz2_decode_into(fuzz::memory_file(data, size), abort, out);
  } catch (const fuzz::output_limit_reached&) {
    m.result = outcome::too_big;
  } catch (const exception_io_data& e) {
    m.result = outcome::refused;
    m.error_class = typeid(e).name();
    m.error_message = e.what();
  }
  bz2_set_decoder_threads(0);
  m.content = std::move(sink->content);
  return m;
}

class ignoring_sink : public checkpoint_sink {
 public:
  void add_checkpoint(view_checkpoint&&) override {}
};

// A view pass from the start, read to its end, with `workers` workers.
module_result view_decode(const uint8_t* data, size_t size, unsigned workers) {
  abort_callback_dummy abort;
  module_result m;
  bz2_set_decoder_threads(workers);
  ignoring_sink sink;
  try {
    std::unique_ptr<view_pass> pass =
        bz2_view_format().start(fuzz::memory_file(data, size), nullptr, sink, abort);
    // One byte at a time near the start, so that a failure loses little.
    uint8_t chunk[65536];
    for (size_t step = 1;; step = std::min(step * 2, sizeof chunk)) {
      size_t got = pass->decode(chunk, step, abort);
      m.content.append(reinterpret_cast<const char*>(chunk), got);
      if (got < step) break;
    }
  } catch (const exception_io_data& e) {
    m.result = outcome::refused;
    m.error_class = typeid(e).name();
    m.error_message = e.what();
  }
  bz2_set_decoder_threads(0);
  return m;
}

bool starts_with(const std::string& whole, const std::string& prefix) {
  return whole.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  module_result m = module_decode(data, size, 1);
  module_result parallel = module_decode(data, size, 3);
  FUZZ_REQUIRE(parallel.result == m.result);
  FUZZ_REQUIRE(parallel.content == m.content);
  FUZZ_REQUIRE(parallel.error_class == m.error_class);
  FUZZ_REQUIRE(parallel.error_message == m.error_message);
  if (m.result != outcome::too_big) {
    module_result view = view_decode(data, size, 2);
    FUZZ_REQUIRE(view.result == m.result);
    FUZZ_REQUIRE(view.error_class == m.error_class);
    FUZZ_REQUIRE(view.error_message == m.error_message);
    size_t common = std::min(view.content.size(), m.content.size());
    FUZZ_REQUIRE(m.result == outcome::refused
                     ? view.content.compare(0, common, m.content, 0, common) == 0
                     : view.content == m.content);
  }
  std::string expected;
  outcome r = reference_decode(data, size, expected);

  if (m.result != outcome::too_big && r != outcome::too_big) {
    if (m.result == outcome::ok && r == outcome::ok) {
      FUZZ_REQUIRE(m.content == expected);
    } else if (m.result == outcome::refused && r == outcome::ok) {
      FUZZ_REQUIRE(m.error_message == "Obsolete input");
      FUZZ_REQUIRE(starts_with(expected, m.content));
    } else if (m.result == outcome::ok && r == outcome::refused) {
      FUZZ_REQUIRE(has_block_libbz2_refuses(data, size));
    }
  }
  if (m.result == outcome::too_big || m.content.size() > archive_limit) return 0;

  // The archive service decodes the same way and lets the same exception out.
  static service_impl_single_t<archive_bz2> archive;
  fuzz::host host({&archive}, data, size);
  fuzz::recording_callback listing;
  file_ptr none;
  try {
    archive.list_members("fuzz://input.bz2", none, listing, false);
    FUZZ_REQUIRE(m.result == outcome::ok);
    FUZZ_REQUIRE(listing.members.size() == 1);
    FUZZ_REQUIRE(listing.members[0].has_reader);
    FUZZ_REQUIRE(listing.members[0].content == m.content);
    FUZZ_REQUIRE(listing.members[0].path == "unpack://bz2|16|fuzz://input.bz2|input");
  } catch (const exception_io_data& e) {
    FUZZ_REQUIRE(m.result == outcome::refused);
    FUZZ_REQUIRE(listing.members.empty());
    FUZZ_REQUIRE(m.error_class == typeid(e).name());
    FUZZ_REQUIRE(m.error_message == e.what());
  }
  return 0;
}
