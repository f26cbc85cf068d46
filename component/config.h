// The client's configuration stream: records of a 16-byte identifier, a
// 32-bit little-endian payload size and the payload, nothing between them.
// This module registers no configuration item, so it writes nothing and
// skips every record it reads; the registries exist for items to come.
#pragma once

#include <cstdint>

#include "abi/guid.h"
#include "io/file.h"

// An item that restores its settings from a stored record. Making one links
// it at the head of the loader registry; destroying it unlinks it, so an
// item may live shorter than the module.
class config_loader {
 public:
  explicit config_loader(const GUID& id);
  config_loader(const config_loader&) = delete;
  config_loader& operator=(const config_loader&) = delete;
  // Reads the record's payload, `size` bytes, from `source`.
  virtual void load_config_data(sonovale_io::stream_reader* source, uint32_t size,
                                abort_callback& abort) = 0;

  GUID id;
  config_loader* next;

 protected:
  ~config_loader();
};

// An item that stores its settings as one record; registered and
// unregistered like config_loader.
class config_saver {
 public:
  explicit config_saver(const GUID& id);
  config_saver(const config_saver&) = delete;
  config_saver& operator=(const config_saver&) = delete;
  // Writes the item's payload to `target`.
  virtual void save_config_data(sonovale_io::stream_writer* target, abort_callback& abort) = 0;

  GUID id;
  config_saver* next;

 protected:
  ~config_saver();
};

// Heads of the two registries; both stay null in this module.
config_loader* config_loader_head();
config_saver* config_saver_head();

// Writes one record per saver, in registry order. An item's payload is
// gathered first, polling `abort` before each append.
void write_config(sonovale_io::stream_writer& target, abort_callback& abort);

// Reads records until the source ends (a trailing fragment under 16 bytes
// is ignored). Records with a loader go to it through a reader limited to
// the payload; corrupt-data failures of a loader are dropped; others, and
// a cut-off size field or payload, propagate.
void read_config(sonovale_io::stream_reader& source, abort_callback& abort);
