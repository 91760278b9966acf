/* The JPEG and PNG encoders are left out of each Windows executable (136 KB of it, measured):
   the linker sends the framework's calls of their entry points here (--wrap, see
   cmake/WindowsFramework.cmake), so that nothing reaches the encoders and the section garbage
   collection drops them.

   The framework calls the encoders only from its image formats' writeImageToStream, kept alive by
   their tables of virtual functions. On Windows nothing in the framework or the program calls it
   (its one caller, the content sharer, exists only on mobile systems): this program never writes
   an image. The decoders stay: the framework decodes its built-in cursor images.

   Should a change ever write an image, the PNG writer fails as libpng does when it cannot allocate
   (no write structure: the framework's writer returns false); the JPEG writer has no way to fail,
   so it ends the process rather than carry on without an encoder. */
#include <stdio.h>
#include <stdlib.h>

#include <jpeglib.h>
#include <png.h>

/* Each declared with its library function's own type, so that a signature that drifts does not build. */
#define LEFT_OUT(name) __typeof__ (name) __wrap_##name

LEFT_OUT (jpeg_CreateCompress);
LEFT_OUT (jpeg_set_defaults);
LEFT_OUT (jpeg_set_quality);
LEFT_OUT (jpeg_start_compress);
LEFT_OUT (jpeg_write_scanlines);
LEFT_OUT (jpeg_finish_compress);
LEFT_OUT (jpeg_destroy_compress);
LEFT_OUT (png_create_write_struct);
LEFT_OUT (png_destroy_write_struct);
LEFT_OUT (png_set_write_fn);
LEFT_OUT (png_write_info);
LEFT_OUT (png_write_rows);
LEFT_OUT (png_write_end);

static void encoderLeftOut (void)
{
    abort();
}

void __wrap_jpeg_CreateCompress (j_compress_ptr cinfo, int version, size_t structSize)
{
    (void) cinfo; (void) version; (void) structSize;
    encoderLeftOut();
}

void __wrap_jpeg_set_defaults (j_compress_ptr cinfo)                                    { (void) cinfo; encoderLeftOut(); }
void __wrap_jpeg_set_quality (j_compress_ptr cinfo, int quality, boolean baseline)     { (void) cinfo; (void) quality; (void) baseline; encoderLeftOut(); }
void __wrap_jpeg_start_compress (j_compress_ptr cinfo, boolean writeAllTables)         { (void) cinfo; (void) writeAllTables; encoderLeftOut(); }
void __wrap_jpeg_finish_compress (j_compress_ptr cinfo)                                 { (void) cinfo; encoderLeftOut(); }
void __wrap_jpeg_destroy_compress (j_compress_ptr cinfo)                                { (void) cinfo; encoderLeftOut(); }

JDIMENSION __wrap_jpeg_write_scanlines (j_compress_ptr cinfo, JSAMPARRAY scanlines, JDIMENSION numLines)
{
    (void) cinfo; (void) scanlines; (void) numLines;
    encoderLeftOut();
    return 0;
}

png_structp __wrap_png_create_write_struct (png_const_charp version, png_voidp errorPtr,
                                            png_error_ptr errorFn, png_error_ptr warnFn)
{
    (void) version; (void) errorPtr; (void) errorFn; (void) warnFn;
    return NULL;
}

void __wrap_png_destroy_write_struct (png_structpp png, png_infopp info)                { (void) png; (void) info; encoderLeftOut(); }
void __wrap_png_write_info (png_structrp png, png_const_inforp info)                    { (void) png; (void) info; encoderLeftOut(); }
void __wrap_png_write_rows (png_structrp png, png_bytepp rows, png_uint_32 numRows)     { (void) png; (void) rows; (void) numRows; encoderLeftOut(); }
void __wrap_png_write_end (png_structrp png, png_inforp info)                           { (void) png; (void) info; encoderLeftOut(); }

void __wrap_png_set_write_fn (png_structrp png, png_voidp io, png_rw_ptr write, png_flush_ptr flush)
{
    (void) png; (void) io; (void) write; (void) flush;
    encoderLeftOut();
}
