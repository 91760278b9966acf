// The installer executables of the clang build (cmake/WindowsFramework.cmake). GCC 12's
// <iostream>, which the framework's headers include into every file, gives each file a static
// std::ios_base::Init whose constructor makes std::cout, std::cin and std::cerr, and with them
// libstdc++'s classic locale. The installer never uses the standard streams (it has no console,
// and the build fails if any of them is linked in: cmake/CheckLeftOut.cmake), so the two are
// empty here and libstdc++'s own (ios_init.o) is never linked. Link-time optimisation inlines
// them away: neither is left in the executable.
#include <ios>

std::ios_base::Init::Init() {}
std::ios_base::Init::~Init() {}
