// A stand-in compressed format for view tests: its content is its file's
// bytes, each plus one, and its byte 0xFF is corrupt data. It records a
// checkpoint (the input offset, then a tag byte) every `spacing` bytes and
// counts what it decodes, so tests can see where passes start. A pass
// started at a checkpoint gives its later checkpoints that checkpoint's
// tag (0 from the start): a tag changed in an index makes a checkpoint that
// decoding disagrees with.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <string>

#include "archive/view_format.h"

class plus_one_format : public sonovale_io::view_format {
 public:
  static constexpr uint64_t spacing = 64 * 1024;
  std::atomic<uint64_t> decoded{0};
  std::atomic<unsigned> passes{0};
  std::atomic<unsigned> passes_from_start{0};

  const char* type_name() const override { return "plus1"; }

  std::unique_ptr<sonovale_io::view_pass> start(const sonovale_io::file_ptr& source,
                                                const sonovale_io::view_checkpoint* from,
                                                sonovale_io::checkpoint_sink& sink,
                                                abort_callback&) override {
    ++passes;
    if (from == nullptr) ++passes_from_start;
    uint64_t offset = 0;
    uint8_t tag = 0;
    if (from != nullptr) {
      EXPECT_EQ(from->state.size(), sizeof offset + 1);
      std::memcpy(&offset, from->state.data(), sizeof offset);
      tag = from->state.back();
      EXPECT_EQ(offset, from->output_position);
    }
    return std::make_unique<pass>(*this, source, offset, tag, sink);
  }

  // The state this format records at `position`.
  static std::vector<uint8_t> state_at(uint64_t position, uint8_t tag = 0) {
    std::vector<uint8_t> state(sizeof position + 1, tag);
    std::memcpy(state.data(), &position, sizeof position);
    return state;
  }

 private:
  class pass : public sonovale_io::view_pass {
   public:
    pass(plus_one_format& format, sonovale_io::file_ptr source, uint64_t offset, uint8_t tag,
         sonovale_io::checkpoint_sink& sink)
        : format_(format), source_(std::move(source)), offset_(offset), tag_(tag), sink_(sink) {}

    size_t decode(uint8_t* out, size_t capacity, abort_callback& abort) override {
      size_t done = 0;
      while (done < capacity) {
        check_aborted(abort);
        if (offset_ % spacing == 0) {
          sonovale_io::view_checkpoint c;
          c.output_position = offset_;
          c.state = state_at(offset_, tag_);
          sink_.add_checkpoint(std::move(c));
        }
        source_->seek(offset_, abort);
        uint64_t to_checkpoint = spacing - offset_ % spacing;
        auto want = static_cast<uint32_t>(std::min<uint64_t>(capacity - done, to_checkpoint));
        uint32_t got = source_->read(out + done, want, abort);
        for (uint32_t i = 0; i < got; ++i) {
          if (out[done + i] == 0xFF) throw sonovale_io::exception_io_data("bad byte");
          ++out[done + i];
        }
        done += got;
        offset_ += got;
        format_.decoded += got;
        if (got < want) break;
      }
      return done;
    }

   private:
    plus_one_format& format_;
    sonovale_io::file_ptr source_;
    uint64_t offset_;
    uint8_t tag_;
    sonovale_io::checkpoint_sink& sink_;
  };
};

inline std::string plus_one(const std::string& s) {
  std::string out = s;
  for (char& c : out) c = static_cast<char>(static_cast<uint8_t>(c) + 1);
  return out;
}

// Bytes 0 to 0xFE over and over, so that no byte is corrupt.
inline std::string clean_data(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i % 255);
  return s;
}

