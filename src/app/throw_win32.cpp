// The Windows executable's throws for the standard library's own checks (a string asked to grow
// past its limit, made from a null pointer, or read past its end). libstdc++ defines them all in
// one object, which brings along every standard exception and, through their copy-on-write
// message strings, a second std::string: about a quarter of the executable. Defined here, the
// library's part stays out. They throw the launcher's own exception with the library's text, so
// RunLauncher shows the same box; none of them can arise from a valid run.
#include <cstdarg>
#include <cstddef>
#include <new>

#include "app/errors/errors.h"

namespace __gnu_cxx {

// The runtime's small formatter (%s, %zu and %%), which its own version of the last throw uses.
int __snprintf_lite(char* buffer, std::size_t size, const char* format, va_list arguments);

}  // namespace __gnu_cxx

namespace std {

void __throw_bad_alloc() {
  throw bad_alloc();
}

void __throw_logic_error(const char* message) {
  throw exceptionMsg(message);
}

void __throw_length_error(const char* message) {
  throw exceptionMsg(message);
}

void __throw_out_of_range_fmt(const char* format, ...) {
  // As the runtime does: at most two numbers and a short name are added to the format.
  char text[512 + 128];
  va_list arguments;
  va_start(arguments, format);
  __gnu_cxx::__snprintf_lite(text, sizeof(text), format, arguments);
  va_end(arguments);
  throw exceptionMsg(text);
}

}  // namespace std
