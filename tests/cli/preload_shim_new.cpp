// The part of the preloaded test library (preload_shim.c) that only C++ can write: the family
// "large-new". While KRO_FAILING_CALLS names it, every operator new of KRO_LARGE_NEW bytes or
// more throws std::bad_alloc, as when memory is left for small blocks only; every other request
// goes on to the operator new that kro would have called.

#include <dlfcn.h>

#include <cstdlib>
#include <new>

extern "C" int kro_shim_failing(const char* family);

void* operator new(std::size_t size) {
    if (kro_shim_failing("large-new")) {
        const char* limit = std::getenv("KRO_LARGE_NEW");
        if (limit != nullptr && size >= std::strtoull(limit, nullptr, 10)) throw std::bad_alloc();
    }
    using New = void* (*)(std::size_t);
    static const New next = reinterpret_cast<New>(::dlsym(RTLD_NEXT, "_Znwm"));
    return next(size);
}
