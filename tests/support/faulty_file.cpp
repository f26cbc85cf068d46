#include "tests/support/faulty_file.h"

using namespace sonovale_io;

faulty_file::faulty_file(service_ptr_t<file> inner, fault_plan plan, uint64_t* calls,
                         fault_log* log)
    : inner_(std::move(inner)),
      plan_(plan),
      calls_(calls != nullptr ? calls : &own_calls_),
      log_(log) {
  if (log_ != nullptr) ++log_->live_files;
}

faulty_file::~faulty_file() {
  if (log_ != nullptr) --log_->live_files;
}

bool faulty_file::query_class(service_ptr_t<service_base>& out, const GUID& id) {
  if (!(id == file::class_guid)) return false;
  out = static_cast<file*>(this);
  return true;
}

void faulty_file::tick(unsigned op) {
  if ((plan_.ops & op) == 0) return;
  if (++*calls_ != plan_.fail_at) return;
  if (log_ != nullptr) log_->failed_op = op;
  if (plan_.kind == fault_kind::abort) throw exception_aborted();
  throw exception_io_denied();  // stands for any failure of the device
}

uint32_t faulty_file::read(void* buffer, uint32_t count, abort_callback& abort) {
  tick(fault_read);
  return inner_->read(buffer, count, abort);
}

void faulty_file::write(const void* buffer, uint32_t count, abort_callback& abort) {
  inner_->write(buffer, count, abort);
}

uint64_t faulty_file::get_size(abort_callback& abort) {
  tick(fault_size);
  return inner_->get_size(abort);
}

uint64_t faulty_file::get_position(abort_callback& abort) {
  return inner_->get_position(abort);
}

void faulty_file::resize(uint64_t size, abort_callback& abort) {
  inner_->resize(size, abort);
}

void faulty_file::seek(uint64_t position, abort_callback& abort) {
  tick(fault_seek);
  inner_->seek(position, abort);
}

uint64_t faulty_file::get_timestamp(abort_callback& abort) {
  tick(fault_timestamp);
  return inner_->get_timestamp(abort);
}

void faulty_file::reopen(abort_callback& abort) {
  tick(fault_seek);
  inner_->reopen(abort);
}
