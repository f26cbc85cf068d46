#include "io/error_text.h"

#include "io/exceptions.h"

const char err_operation_failed[] = " operation failed";
const char err_out_of_memory[] = " out of memory";
const char err_internal_usage_bug[] = " internal usage bug";
const char err_internal_bug[] = " internal bug";
const char err_exceeded_limitation[] = " exceeded limitation";
const char err_file_not_found[] = " file not found";
const char err_couldnt_open_file[] = " couldn't open file";
const char err_couldnt_modify_file[] = " couldn't modify file";
const char err_read_write_error[] = " read/write error";
const char err_disk_full[] = " disk full";
const char err_truncated_file[] = " truncated file";
const char err_wrong_file_type[] = " wrong file type";
const char err_unsupported_feature[] = " unsupported file feature";
const char err_corrupt_file[] = " corrupt file";
const char err_gzip_too_large[] = " unsupported file feature; gzip larger than 2GB";
const char err_unzip_failed[] = " operation failed; problem unzipping data";

void throw_error_text(error_text text) {
  if (text != nullptr) throw sonovale_io::exception_io_data(text);
}
