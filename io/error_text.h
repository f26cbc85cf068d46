// Error texts of the sequential-reader layer.
//
// Readers return null for success or one of these static texts, each
// beginning with a space. `throw_error_text` turns a text into an exception
// where it reaches exception-based code.
#pragma once

using error_text = const char*;

extern const char err_operation_failed[];       // " operation failed"
extern const char err_out_of_memory[];          // " out of memory"
extern const char err_internal_usage_bug[];     // " internal usage bug"
extern const char err_internal_bug[];           // " internal bug"
extern const char err_exceeded_limitation[];    // " exceeded limitation"
extern const char err_file_not_found[];         // " file not found"
extern const char err_couldnt_open_file[];      // " couldn't open file"
extern const char err_couldnt_modify_file[];    // " couldn't modify file"
extern const char err_read_write_error[];       // " read/write error"
extern const char err_disk_full[];              // " disk full"
extern const char err_truncated_file[];         // " truncated file"
extern const char err_wrong_file_type[];        // " wrong file type"
extern const char err_unsupported_feature[];    // " unsupported file feature"
extern const char err_corrupt_file[];           // " corrupt file"
extern const char err_gzip_too_large[];         // " unsupported file feature; gzip larger than 2GB"
extern const char err_unzip_failed[];           // " operation failed; problem unzipping data"

// Throws `exception_io_data` carrying a copy of `text`; does nothing for null.
void throw_error_text(error_text text);
