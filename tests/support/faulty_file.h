// A host file that fails on purpose: the N-th call of the chosen kind of
// operation throws an I/O error or the user's abort. Wraps another file.
#pragma once

#include <cstdint>
#include <utility>

#include "io/file.h"

enum class fault_kind { io_error, abort };

// Which operations count towards the N-th call, as a bit set.
enum fault_ops : unsigned {
  fault_read = 1,
  fault_seek = 2,
  fault_size = 4,
  fault_timestamp = 8,
  fault_all = 15,
};

struct fault_plan {
  unsigned ops = fault_all;
  uint64_t fail_at = 0;  // 1-based; 0 never fails
  fault_kind kind = fault_kind::io_error;
};

// What the files opened under one plan did, shared by all of them: which
// kind of operation threw, and how many of the files are still alive.
struct fault_log {
  unsigned failed_op = 0;  // a fault_ops bit; 0 until a fault is thrown
  int64_t live_files = 0;
};

class faulty_file : public sonovale_io::file {
 public:
  // `calls` counts the operations of every file under one plan (null: this
  // file counts its own); `log`, when given, records the failed operation
  // and the files alive.
  faulty_file(service_ptr_t<sonovale_io::file> inner, fault_plan plan, uint64_t* calls,
              fault_log* log = nullptr);
  ~faulty_file();

  bool query_class(service_ptr_t<service_base>& out, const GUID& id) override;
  uint32_t read(void* buffer, uint32_t count, abort_callback& abort) override;
  void write(const void* buffer, uint32_t count, abort_callback& abort) override;
  uint64_t get_size(abort_callback& abort) override;
  uint64_t get_position(abort_callback& abort) override;
  void resize(uint64_t size, abort_callback& abort) override;
  void seek(uint64_t position, abort_callback& abort) override;
  bool can_seek() override { return true; }
  bool get_extra_info(void*) override { return false; }
  bool is_in_memory() override { return false; }
  void on_hint(void*) override {}
  uint64_t get_timestamp(abort_callback& abort) override;
  void reopen(abort_callback& abort) override;
  bool is_remote() override { return false; }

 private:
  // Counts one call of `op` and throws when the plan says so.
  void tick(unsigned op);

  service_ptr_t<sonovale_io::file> inner_;
  fault_plan plan_;
  uint64_t own_calls_ = 0;
  uint64_t* calls_;  // shared by every file opened under one plan, or own_calls_
  fault_log* log_;
};

// A new faulty_file over `inner` that counts its own calls: the plan's
// N-th call of this file fails. `log` as for faulty_file.
inline sonovale_io::file_ptr make_faulty_file(sonovale_io::file_ptr inner, fault_plan plan,
                                              fault_log* log = nullptr) {
  return new service_impl_t<faulty_file>(std::move(inner), plan, nullptr, log);
}
