#include "tools/report_failure.h"

#include <exception>

#include "tools/output.h"

void report_failure(std::string_view path, const abort_callback& abort) {
  try {
    throw;
  } catch (const sonovale_io::exception_aborted&) {
    throw;
  } catch (const std::exception& e) {
    if (abort.is_aborting()) throw sonovale_io::exception_aborted();
    report_error(path, e.what());
  }
}
