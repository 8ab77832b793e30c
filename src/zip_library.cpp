#include "zip_library.h"

#include <dlfcn.h>

#include "log.h"

#ifndef KORVEL_LIBZIP_SONAME
#define KORVEL_LIBZIP_SONAME "libzip.so"
#endif

namespace {

/// Opens the library korvel was built against (by its soname, so a libzip with another
/// interface is never taken) and looks up every function; nullptr with a diagnostic when
/// something is missing.
const zip_library *load_libzip()
{
    static zip_library lib;
    void *handle = dlopen(KORVEL_LIBZIP_SONAME, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        log_err("cannot load libzip, which reads and writes ZIP archives: %s\n", dlerror());
        return nullptr;
    }
    // The handle stays open for the rest of the run: the functions are called until exit.
#define KORVEL_LIBZIP_LOOKUP(name)                                                          \
    lib.name = reinterpret_cast<decltype(&::name)>(dlsym(handle, #name));                 \
    if (lib.name == nullptr) {                                                              \
        log_err("cannot load libzip, which reads and writes ZIP archives: %s has no %s\n", \
                KORVEL_LIBZIP_SONAME, #name);                                               \
        return nullptr;                                                                     \
    }
    KORVEL_LIBZIP_FUNCTIONS(KORVEL_LIBZIP_LOOKUP)
#undef KORVEL_LIBZIP_LOOKUP
    return &lib;
}

} // namespace

const zip_library &libzip()
{
    static const zip_library *const lib = load_libzip();
    if (lib == nullptr)
        throw fatal_error();
    return *lib;
}
