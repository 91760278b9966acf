/* clang builds only. The framework reads the time-zone names with _get_tzname when it is compiled
 * by clang for Windows (juce_Time.cpp), and MinGW-w64's 32-bit msvcrt import library does not
 * offer that function (only the _tzname table that the GCC build reads). This supplies it, over
 * the same table, under the name of the import the compiler asks for. */
#include <errno.h>
#include <stddef.h>
#include <string.h>
#include <time.h>

static errno_t __cdecl vantrel_get_tzname(size_t* length, char* buffer, size_t size, int index)
{
    if (length == NULL || (buffer == NULL && size != 0) || (index != 0 && index != 1))
        return EINVAL;

    const char* name = _tzname[index] != NULL ? _tzname[index] : "";
    size_t needed = strlen(name) + 1;
    *length = needed;

    if (buffer == NULL)
        return 0;
    if (needed > size)
    {
        if (size != 0)
            buffer[0] = '\0';
        return ERANGE;
    }
    memcpy(buffer, name, needed);
    return 0;
}

/* What a reference to the dllimport declaration in <time.h> resolves to. */
errno_t (__cdecl* _imp___get_tzname)(size_t*, char*, size_t, int) = vantrel_get_tzname;
