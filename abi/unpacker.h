// The unpacker interface: decompresses a file the host has opened. The file
// and abort interfaces (io/) are only named here, so that the binary
// interface stands on its own.
#pragma once

#include "abi/service.h"

class abort_callback;
namespace sonovale_io {
class file;
}

class BRENMOOR_SHARED unpacker : public service_base {
 public:
  static constexpr GUID class_guid = {
      0x9098AF12, 0x61A3, 0x4CAA, {0x8A, 0xA9, 0xBB, 0x95, 0xC2, 0xEF, 0x83, 0x46}};

  // slot 4: stores in `out` a new file holding the decompressed content of
  // `source`. On failure `out` is left as it was.
  virtual void unpack_file(service_ptr_t<sonovale_io::file>& out,
                           const service_ptr_t<sonovale_io::file>& source,
                           abort_callback& abort) = 0;

 protected:
  ~unpacker() = default;
};

// The factory of an unpacker service.
template <typename T>
class unpacker_factory_t : public service_factory_single_t<T, unpacker> {};
