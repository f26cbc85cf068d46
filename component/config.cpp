#include "component/config.h"

#include <cstring>
#include <map>

#include "io/byte_array.h"
#include "io/little_endian.h"
#include "io/transfer.h"

using namespace sonovale_io;

namespace {

config_loader* g_loader_head = nullptr;
config_saver* g_saver_head = nullptr;

// Gathers one item's payload; every append polls the abort callback.
class buffer_writer : public stream_writer {
 public:
  void write(const void* buffer, uint32_t count, abort_callback& abort) override {
    check_aborted(abort);
    uint64_t end = uint64_t{used_} + count;
    if (end > UINT32_MAX) throw plix::bad_alloc();
    if (end > storage_.size()) {
      uint64_t grown = uint64_t{storage_.size()} * 2;
      storage_.set_size(static_cast<uint32_t>(grown > end && grown <= UINT32_MAX ? grown : end));
    }
    if (count != 0) std::memcpy(storage_.data() + used_, buffer, count);
    used_ = static_cast<uint32_t>(end);
  }
  void clear() { used_ = 0; }
  const uint8_t* data() const { return storage_.data(); }
  uint32_t size() const { return used_; }

 private:
  byte_array storage_;
  uint32_t used_ = 0;
};

struct guid_less {
  bool operator()(const GUID& a, const GUID& b) const {
    return std::memcmp(&a, &b, sizeof(GUID)) < 0;
  }
};

// Removes `item` from the registry that starts at `head`, so that no walk
// meets an item that is gone.
template <typename T>
void unlink(T*& head, T* item) {
  for (T** link = &head; *link != nullptr; link = &(*link)->next) {
    if (*link == item) {
      *link = item->next;
      return;
    }
  }
}

}  // namespace

config_loader::config_loader(const GUID& guid) : id(guid), next(g_loader_head) {
  g_loader_head = this;
}

config_loader::~config_loader() {
  unlink(g_loader_head, this);
}

config_saver::config_saver(const GUID& guid) : id(guid), next(g_saver_head) {
  g_saver_head = this;
}

config_saver::~config_saver() {
  unlink(g_saver_head, this);
}

config_loader* config_loader_head() {
  return g_loader_head;
}
config_saver* config_saver_head() {
  return g_saver_head;
}

void write_config(stream_writer& target, abort_callback& abort) {
  buffer_writer payload;
  for (config_saver* item = g_saver_head; item != nullptr; item = item->next) {
    payload.clear();
    item->save_config_data(&payload, abort);
    uint8_t size[4];
    store_le(size, payload.size(), 4);
    target.write(&item->id, sizeof(GUID), abort);
    target.write(size, sizeof size, abort);
    if (payload.size() != 0) target.write(payload.data(), payload.size(), abort);
  }
}

void read_config(stream_reader& source, abort_callback& abort) {
  std::map<GUID, config_loader*, guid_less> loaders;
  for (config_loader* item = g_loader_head; item != nullptr; item = item->next) {
    loaders[item->id] = item;  // a later item replaces an earlier one
  }
  for (;;) {
    GUID id;
    uint32_t got = source.read(&id, sizeof id, abort);
    if (got != sizeof id) return;  // end of input, or a trailing fragment
    uint8_t size_field[4];
    source.read_object(size_field, sizeof size_field, abort);
    uint32_t size = load_le32(size_field);
    auto found = loaders.find(id);
    if (found == loaders.end()) {
      source.skip_object(size, abort);
      continue;
    }
    limited_reader record(source, size);
    try {
      found->second->load_config_data(&record, size, abort);
    } catch (const exception_io_data&) {
      // A damaged record of one item does not stop the others.
    }
    if (record.remaining() != 0) record.skip_object(record.remaining(), abort);
  }
}
