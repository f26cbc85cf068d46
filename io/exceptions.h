// The exception family through which every failure travels.
//
// Each class carries a fixed English message. Only `exception_io_data` is
// ever thrown with an explicit message, which it copies. Copying an
// exception never throws.
#pragma once

#include <exception>
#include <memory>
#include <new>

#include "abi/visibility.h"

namespace plix {

// The module's exception base: a static default message, or an owned copy
// of an explicit one. A null explicit message reads "Unknown exception".
class BRENMOOR_SHARED exception : public std::exception {
 public:
  explicit exception(const char* static_message) noexcept : static_(static_message) {}
  // Copies `message`; a null `message` reads "Unknown exception".
  exception(const char* message, bool copy);
  const char* what() const noexcept override;

 private:
  const char* static_;
  std::shared_ptr<const char[]> owned_;
};

// An allocation failure. Derives from the standard class so that hosts catch
// it as one; its message is "bad allocation".
class BRENMOOR_SHARED bad_alloc : public std::bad_alloc {
 public:
  const char* what() const noexcept override;
};

class BRENMOOR_SHARED exception_overflow : public exception {
 public:
  exception_overflow() noexcept : exception("Overflow") {}
};

}  // namespace plix

namespace sonovale_io {

// The user asked the operation to stop. Not an I/O failure: handlers of
// `exception_io` let it pass on to the host.
class BRENMOOR_SHARED exception_aborted : public plix::exception {
 public:
  exception_aborted() noexcept : exception("User abort") {}
};

// A failure of the object at hand. Never thrown by itself.
class BRENMOOR_SHARED exception_io : public plix::exception {
 protected:
  using plix::exception::exception;
};

// Malformed archive or compressed data.
class BRENMOOR_SHARED exception_io_data : public exception_io {
 public:
  exception_io_data() noexcept : exception_io("Unsupported format or corrupted file") {}
  // Carries a copy of `message` (a reader-layer error text or a format's own
  // text); a null `message` reads "Unknown exception".
  explicit exception_io_data(const char* message) : exception_io(message, true) {}
};

// Fewer bytes than an exact read, skip or transfer demanded. Shares the
// message of its base; only the class tells them apart.
class BRENMOOR_SHARED exception_io_data_truncation : public exception_io_data {
 public:
  exception_io_data_truncation() noexcept = default;
};

class BRENMOOR_SHARED exception_io_not_found : public exception_io {
 public:
  exception_io_not_found() noexcept : exception_io("Object not found") {}
};

class BRENMOOR_SHARED exception_io_no_handler_for_path : public exception_io {
 public:
  exception_io_no_handler_for_path() noexcept : exception_io("Invalid path") {}
};

class BRENMOOR_SHARED exception_io_object_is_remote : public exception_io {
 public:
  exception_io_object_is_remote() noexcept
      : exception_io("This operation is not supported on remote objects") {}
};

class BRENMOOR_SHARED exception_io_no_length : public exception_io {
 public:
  exception_io_no_length() noexcept : exception_io("Length of object is unknown") {}
};

class BRENMOOR_SHARED exception_io_denied : public exception_io {
 public:
  exception_io_denied() noexcept : exception_io("Access denied") {}
};

}  // namespace sonovale_io
