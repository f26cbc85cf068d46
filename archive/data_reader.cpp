#include "archive/data_reader.h"

#include <new>

using namespace sonovale_io;

error_text Data_Reader::read(void* buffer, int32_t n) {
  if (n <= 0) return nullptr;
  if (static_cast<uint64_t>(n) > remain_) return err_truncated_file;
  error_text error = do_read(buffer, n);
  if (error == nullptr) remain_ -= static_cast<uint64_t>(n);
  return error;
}

error_text Data_Reader::read_avail(void* buffer, int32_t& n) {
  int64_t m = n;
  if (m > 0 && static_cast<uint64_t>(m) > remain_) m = static_cast<int64_t>(remain_);
  n = 0;
  if (m < 0) return err_internal_usage_bug;
  if (m == 0) return nullptr;
  error_text error = do_read(buffer, static_cast<int32_t>(m));
  if (error != nullptr) return error;
  remain_ -= static_cast<uint64_t>(m);
  n = static_cast<int32_t>(m);
  return nullptr;
}

error_text Data_Reader::do_read(void*, int32_t) {
  return nullptr;
}

error_text Data_Reader::do_skip(int32_t n) {
  uint8_t scratch[512];
  while (n > 0) {
    int32_t chunk =
        n < static_cast<int32_t>(sizeof scratch) ? n : static_cast<int32_t>(sizeof scratch);
    if (error_text error = do_read(scratch, chunk)) return error;
    n -= chunk;
  }
  return nullptr;
}

error_text File_Reader::seek(uint64_t position) {
  if (position == tell()) return nullptr;
  if (position > size_) return err_truncated_file;
  if (error_text error = do_seek(position)) return error;
  set_remain(size_ - position);
  return nullptr;
}

sonovale_File_Reader::sonovale_File_Reader(const service_ptr_t<file>& file, abort_callback& abort)
    : file_(file), abort_(abort) {
  uint64_t size = file->get_size(abort);
  if (size == unknown_size) throw exception_io_no_length();
  uint64_t position = file->get_position(abort);
  set_size(size);
  // A file positioned past its end has nothing left, not a wrapped count.
  set_remain(position < size ? size - position : 0);
}

namespace {

// Runs one call on the host file. The user's abort and an allocation failure
// travel on as they are; every other failure is reported as `text`.
template <typename F>
error_text host_call(F&& call, error_text text) {
  try {
    call();
    return nullptr;
  } catch (const exception_aborted&) {
    throw;
  } catch (const std::bad_alloc&) {
    throw;
  } catch (...) {
    return text;
  }
}

}  // namespace

error_text sonovale_File_Reader::do_read(void* buffer, int32_t n) {
  auto* out = static_cast<uint8_t*>(buffer);
  uint32_t wanted = n > 0 ? static_cast<uint32_t>(n) : 0;
  uint32_t done = 0;
  while (done < wanted) {
    uint32_t got = 0;
    error_text error = host_call([&] { got = file_->read(out + done, wanted - done, abort_); },
                                 err_couldnt_open_file);
    if (error != nullptr) return error;
    // A host that claims more than it was asked for is held to the request.
    if (got > wanted - done) got = wanted - done;
    if (got == 0) return err_couldnt_open_file;
    done += got;
  }
  return nullptr;
}

error_text sonovale_File_Reader::do_skip(int32_t n) {
  return host_call([&] { file_->seek_relative(n, seek_from_current, abort_); },
                   err_read_write_error);
}

error_text sonovale_File_Reader::do_seek(uint64_t position) {
  return host_call([&] { file_->seek(position, abort_); }, err_read_write_error);
}
