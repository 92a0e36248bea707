// bm_seam.h: what the link-time test seams (bm_iohook.h, bm_faulthook.h) share.
//
// A seam defines a C library call in the test program, which takes the place of the library's
// for every call in the program; the seam reaches the library's own through real_call.
#pragma once

#include <dlfcn.h>

namespace seam {

template <class F>
F real_call(const char *name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

}  // namespace seam
