/* The installer executables of the clang build (cmake/WindowsFramework.cmake). Functions and
   objects of libstdc++'s streams and locale that the framework's core module names, mostly in code
   that link-time optimisation then drops: the String constructors that format numbers through a
   stream (sent to string_from_number.cpp instead), the console-program helpers that write to
   std::cout and std::cerr. lld loads a library member for every symbol that any input names, and
   that happens before link-time optimisation: each of these would bring in libstdc++'s whole
   locale (GCC builds it without COMDAT sections, so nothing of it is ever dropped again). Defined
   here, they are found first and no library member is loaded for them; once nothing names them,
   the section garbage collection drops them.

   None may be reached: each one ends the process. cmake/CheckLeftOut.cmake fails the build when
   any of them is still in the executable after the link (it reads this list). Compiled without
   link-time optimisation (an object file, not bitcode), as several stand for objects. */
#include <stdlib.h>

static void streamLeftOut (void)
{
    abort();
}

/* i386 symbols carry a leading underscore. */
#define STAND_IN(name, symbol) \
    extern void name (void) __asm__ ("_" symbol) __attribute__ ((alias ("streamLeftOut")));

STAND_IN (coutObject,              "_ZSt4cout")
STAND_IN (cerrObject,              "_ZSt4cerr")
STAND_IN (endl,                    "_ZSt4endlIcSt11char_traitsIcEERSt13basic_ostreamIT_T0_ES6_")
STAND_IN (insertText,              "_ZStlsISt11char_traitsIcEERSt13basic_ostreamIcT_ES5_PKc")
STAND_IN (ostreamInsert,           "_ZSt16__ostream_insertIcSt11char_traitsIcEERSt13basic_ostreamIT_T0_ES6_PKS3_i")
STAND_IN (ostreamConstructor,      "_ZNSoC1EPSt15basic_streambufIcSt11char_traitsIcEE")
STAND_IN (ostreamInsertDouble,     "_ZNSo9_M_insertIdEERSoT_")
STAND_IN (ostreamPut,              "_ZNSo3putEc")
STAND_IN (ostreamFlush,            "_ZNSo5flushEv")
STAND_IN (ostreamVtable,           "_ZTVSo")
STAND_IN (iosConstructor,          "_ZNSt9basic_iosIcSt11char_traitsIcEEC2Ev")
STAND_IN (iosInit,                 "_ZNSt9basic_iosIcSt11char_traitsIcEE4initEPSt15basic_streambufIcS1_E")
STAND_IN (iosClear,                "_ZNSt9basic_iosIcSt11char_traitsIcEE5clearESt12_Ios_Iostate")
STAND_IN (iosSetState,             "_ZNSt9basic_iosIcSt11char_traitsIcEE8setstateESt12_Ios_Iostate")
STAND_IN (iosWiden,                "_ZNKSt9basic_iosIcSt11char_traitsIcEE5widenEc")
STAND_IN (iosVtable,               "_ZTVSt9basic_iosIcSt11char_traitsIcEE")
STAND_IN (iosBaseConstructor,      "_ZNSt8ios_baseC2Ev")
STAND_IN (iosBaseDestructor,       "_ZNSt8ios_baseD2Ev")
STAND_IN (streambufConstructor,    "_ZNSt15basic_streambufIcSt11char_traitsIcEEC2Ev")
STAND_IN (streambufDestructor,     "_ZNSt15basic_streambufIcSt11char_traitsIcEED2Ev")
STAND_IN (streambufVtable,         "_ZTVSt15basic_streambufIcSt11char_traitsIcEE")
STAND_IN (streambufImbue,          "_ZNSt15basic_streambufIcSt11char_traitsIcEE5imbueERKSt6locale")
STAND_IN (streambufSetBuf,         "_ZNSt15basic_streambufIcSt11char_traitsIcEE6setbufEPci")
STAND_IN (streambufSeekOff,        "_ZNSt15basic_streambufIcSt11char_traitsIcEE7seekoffExSt12_Ios_SeekdirSt13_Ios_Openmode")
STAND_IN (streambufSeekPos,        "_ZNSt15basic_streambufIcSt11char_traitsIcEE7seekposESt4fposIiESt13_Ios_Openmode")
STAND_IN (streambufSync,           "_ZNSt15basic_streambufIcSt11char_traitsIcEE4syncEv")
STAND_IN (streambufShowManyC,      "_ZNSt15basic_streambufIcSt11char_traitsIcEE9showmanycEv")
STAND_IN (streambufXsgetn,         "_ZNSt15basic_streambufIcSt11char_traitsIcEE6xsgetnEPci")
STAND_IN (streambufUnderflow,      "_ZNSt15basic_streambufIcSt11char_traitsIcEE9underflowEv")
STAND_IN (streambufUflow,          "_ZNSt15basic_streambufIcSt11char_traitsIcEE5uflowEv")
STAND_IN (streambufPbackfail,      "_ZNSt15basic_streambufIcSt11char_traitsIcEE9pbackfailEi")
STAND_IN (streambufXsputn,         "_ZNSt15basic_streambufIcSt11char_traitsIcEE6xsputnEPKci")
STAND_IN (streambufOverflow,       "_ZNSt15basic_streambufIcSt11char_traitsIcEE8overflowEi")
STAND_IN (localeClassic,           "_ZNSt6locale7classicEv")
STAND_IN (localeConstructor,       "_ZNSt6localeC1Ev")
STAND_IN (localeCopyConstructor,   "_ZNSt6localeC1ERKS_")
STAND_IN (localeDestructor,        "_ZNSt6localeD1Ev")
STAND_IN (ctypeWidenInit,          "_ZNKSt5ctypeIcE13_M_widen_initEv")
