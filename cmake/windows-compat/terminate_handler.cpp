// Linked into each Windows executable in place of libstdc++'s verbose terminate handler, as if
// libstdc++ had been configured with --disable-libstdcxx-verbose: an uncaught exception ends the
// program with abort() either way; the verbose handler first prints the exception's demangled
// type to standard error, which a GUI program does not have. It costs about 50 KB (the C++
// demangler). Defined here, libstdc++'s own (vterminate.o, with the demangler) stays out of the link.
#include <cstdlib>
#include <bits/c++config.h>

namespace __gnu_cxx
{
    void __verbose_terminate_handler()
    {
        std::abort();
    }
}
