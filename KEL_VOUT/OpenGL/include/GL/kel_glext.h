/* The ARB extension declarations the renderer uses: entry-point types and enumerant values.
 * No extension library is linked; the renderer fetches the entry points itself. */
#ifndef KEL_GLEXT_H
#define KEL_GLEXT_H

#include <GL/gl.h>
#include <stddef.h>

#ifndef APIENTRYP
#define APIENTRYP APIENTRY *
#endif

#define KEL_GL_FRAGMENT_PROGRAM_ARB 0x8804
#define KEL_GL_PROGRAM_FORMAT_ASCII_ARB 0x8875
#define KEL_GL_TEXTURE0_ARB 0x84C0
#define KEL_GL_CLAMP_TO_EDGE 0x812F
#define KEL_GL_SHADING_LANGUAGE_VERSION 0x8B8C

typedef void(APIENTRYP PFNKELGENPROGRAMSARBPROC)(GLsizei n, GLuint* programs);
typedef void(APIENTRYP PFNKELBINDPROGRAMARBPROC)(GLenum target, GLuint program);
typedef void(APIENTRYP PFNKELPROGRAMSTRINGARBPROC)(GLenum target, GLenum format, GLsizei len, const void* string);
typedef void(APIENTRYP PFNKELDELETEPROGRAMSARBPROC)(GLsizei n, const GLuint* programs);
typedef void(APIENTRYP PFNKELPROGRAMLOCALPARAMETER4FVARBPROC)(GLenum target, GLuint index, const GLfloat* params);
typedef void(APIENTRYP PFNKELGETPROGRAMIVARBPROC)(GLenum target, GLenum pname, GLint* params);
typedef void(APIENTRYP PFNKELACTIVETEXTUREARBPROC)(GLenum texture);
typedef void(APIENTRYP PFNKELMULTITEXCOORD2FARBPROC)(GLenum target, GLfloat s, GLfloat t);
typedef const char*(APIENTRYP PFNKELWGLGETEXTENSIONSSTRINGARBPROC)(void* hdc);

#endif
