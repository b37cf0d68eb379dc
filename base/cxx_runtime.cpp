// Small replacements for pieces of the static C++ runtime.
//
// The standard library reports misuse and exhausted memory in its string and
// container code through these functions. The launcher's contract is that
// those facilities fail the way the template library's do: with its HRESULT
// exception, E_INVALIDARG for an invalid argument and E_OUTOFMEMORY when
// memory runs out. Defining them here also keeps the runtime's own exception
// classes, and the strings they carry, out of the program.
//
// The standard containers are built with their checks on (_GLIBCXX_ASSERTIONS).
//
// The default terminate handler prints a demangled type name; the launcher
// routes uncaught exceptions to its crash reporter instead (see
// launcher/crash_filter.cpp), so a plain abort is enough and keeps the
// demangler out of the program.
#include <stdlib.h>

#include "base/result.h"

namespace std {

void __throw_bad_alloc() { throw CAtlException(E_OUTOFMEMORY); }
void __throw_length_error(const char*) { throw CAtlException(E_OUTOFMEMORY); }
void __throw_bad_array_new_length() { throw CAtlException(E_OUTOFMEMORY); }
void __throw_logic_error(const char*) { throw CAtlException(E_INVALIDARG); }
void __throw_out_of_range(const char*) { throw CAtlException(E_INVALIDARG); }
void __throw_out_of_range_fmt(const char*, ...) { throw CAtlException(E_INVALIDARG); }
void __throw_invalid_argument(const char*) { throw CAtlException(E_INVALIDARG); }
// The rest of the runtime's set, so that none of its own copies is linked in
// beside these; the launcher's code reaches none of them.
void __throw_bad_cast() { throw CAtlException(E_FAIL); }
void __throw_bad_typeid() { throw CAtlException(E_FAIL); }
void __throw_bad_exception() { throw CAtlException(E_FAIL); }
void __throw_domain_error(const char*) { throw CAtlException(E_INVALIDARG); }
void __throw_range_error(const char*) { throw CAtlException(E_INVALIDARG); }
void __throw_runtime_error(const char*) { throw CAtlException(E_FAIL); }
void __throw_overflow_error(const char*) { throw CAtlException(E_FAIL); }
void __throw_underflow_error(const char*) { throw CAtlException(E_FAIL); }

// A failed container check (an index out of bounds) is a bug, not bad input:
// fault at once so that the crash reporter names the place.
void __glibcxx_assert_fail(const char*, int, const char*, const char*) noexcept {
  __builtin_trap();
}

}  // namespace std

namespace __gnu_cxx {

void __verbose_terminate_handler() { abort(); }

}  // namespace __gnu_cxx
