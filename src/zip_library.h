// libzip, loaded the first time an archive is read or written. Most runs
// never touch an archive, and linking libzip would map it and libcrypto (which
// it needs for encrypted entries) into every run: about 2 MiB of memory and
// the time to relocate them, for nothing. Its functions are called through the
// table below, with the types of <zip.h>, so that a call cannot drift from the
// library's own declaration.
#pragma once

#include <zip.h>

#define KORVEL_LIBZIP_FUNCTIONS(X) \
    X(zip_close) X(zip_discard) X(zip_error_code_zip) X(zip_error_fini) X(zip_error_init) \
    X(zip_error_init_with_code) X(zip_error_set) X(zip_error_strerror) X(zip_error_to_data) \
    X(zip_fclose) X(zip_file_add) X(zip_file_get_error) X(zip_file_get_external_attributes) \
    X(zip_file_set_mtime) X(zip_fopen_index) X(zip_fread) X(zip_get_num_entries) X(zip_open) \
    X(zip_open_from_source) X(zip_set_file_compression) X(zip_source_buffer_create) \
    X(zip_source_filep) X(zip_source_free) X(zip_source_function_create) X(zip_stat_index) \
    X(zip_stat_init) X(zip_strerror)

/// libzip's functions, each under its own name.
struct zip_library {
#define KORVEL_LIBZIP_MEMBER(name) decltype(&::name) name = nullptr;
    KORVEL_LIBZIP_FUNCTIONS(KORVEL_LIBZIP_MEMBER)
#undef KORVEL_LIBZIP_MEMBER
};

/// libzip, loaded on the first call (from any thread). When the library or one of its
/// functions cannot be found, says so and throws fatal_error.
const zip_library &libzip();
