// The Windows executable's terminate handler. libstdc++'s default one prints the uncaught
// exception's demangled type to standard error, which a GUI program does not have, and brings the
// demangler with it, a large share of a static executable. Defining the default handler here keeps
// that part of the library out. An uncaught exception (none can arise: RunLauncher catches every
// one) still ends the process at once, with the exit code abort() gives, but without abort()'s
// message box.
#include <cstdlib>

namespace __gnu_cxx {

// Declared by the C++ runtime, which installs it as the terminate handler; defined by the runtime
// only when the program does not.
[[noreturn]] void __verbose_terminate_handler();

void __verbose_terminate_handler() {
  std::_Exit(3);
}

}  // namespace __gnu_cxx
