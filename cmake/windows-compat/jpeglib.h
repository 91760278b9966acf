// JUCE includes <jpeglib.h> inside its own namespace and then names jpeglibNamespace::boolean, which libjpeg's
// Windows jconfig.h leaves undeclared once <rpcndr.h> has declared ::boolean; declare it there, as the same type.
#ifdef _WIN32
 #ifndef HAVE_BOOLEAN
  #define HAVE_BOOLEAN
 #endif
typedef unsigned char boolean;  // what both <rpcndr.h> and the libjpeg build use
#endif

#include_next <jpeglib.h>
