// kel_opengl: the OpenGL renderer. Runs on the instance's render thread, with the instance's
// WGL context current (construction and destruction excepted).
#include "kel_opengl.h"

#include <cassert>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "glInfo.h"
#include "locker.h"
#include "yuv_convert.h"

// The process's capability record, filled once by the first context that can answer.
static Locker global_gl_locker;
static glInfo global_glInfo;
static int global_glInfo_init = 0;

namespace {

// BT.601 limited range (luma 16-235, chroma 16-240) to full-range RGB. Rows: R, G, B; columns:
// Y, U, V, constant, on normalised 0..1 texture values.
const float matrix_bt601_tv2full[3][4] = {
    {1.1643835f, 0.0f, 1.5960268f, -0.8742022f},
    {1.1643835f, -0.3917623f, -0.81296766f, 0.5316678f},
    {1.1643835f, 2.0172322f, 0.0f, -1.0856308f},
};

const char* const template_yuv =
    "!!ARBfp1.0"
    "OPTION ARB_precision_hint_fastest;"
    "TEMP src;"
    "TEX src.x,  fragment.texcoord[0], texture[0], 2D;"
    "TEX src.%c, fragment.texcoord[1], texture[1], 2D;"
    "TEX src.%c, fragment.texcoord[2], texture[2], 2D;"
    "PARAM coefficient[4] = { program.local[0..3] };"
    "TEMP tmp;"
    "MAD  tmp.rgb,          src.xxxx, coefficient[0], coefficient[3];"
    "MAD  tmp.rgb,          src.yyyy, coefficient[1], tmp;"
    "MAD  result.color.rgb, src.zzzz, coefficient[2], tmp;"
    "END";

PROC glGetProcAddress(const char* fun)
{
    return wglGetProcAddress(fun);
}

int asprintf(char** strp, const char* fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    const int length = std::vsnprintf(nullptr, 0, fmt, args);
    va_end(args);
    assert(length >= 0);
    *strp = static_cast<char*>(std::malloc(size_t(length) + 1));
    if (!*strp)
        return -1;
    va_start(args, fmt);
    std::vsnprintf(*strp, size_t(length) + 1, fmt, args);
    va_end(args);
    return length;
}

template <typename F>
F entry_point(const char* name)
{
    return reinterpret_cast<F>(reinterpret_cast<void*>(glGetProcAddress(name)));
}

}  // namespace

kel_opengl::kel_opengl()
    : reloaded(true), tex_width{}, tex_height{}, texture{}, program(0), local_count(0), local_value{},
      GenProgramsARB(nullptr), BindProgramARB(nullptr), ProgramStringARB(nullptr), DeleteProgramsARB(nullptr),
      ProgramLocalParameter4fvARB(nullptr), use_multitexture(false), ActiveTextureARB(nullptr),
      MultiTexCoord2fARB(nullptr)
{
}

kel_opengl::~kel_opengl()
{
    GenProgramsARB = nullptr;
    BindProgramARB = nullptr;
    ProgramStringARB = nullptr;
    DeleteProgramsARB = nullptr;
    ProgramLocalParameter4fvARB = nullptr;
    ActiveTextureARB = nullptr;
    MultiTexCoord2fARB = nullptr;
    use_multitexture = false;
}

void kel_opengl::initializeGL()
{
    global_gl_locker.lock();
    if (global_glInfo_init == 0 && global_glInfo.getInfo(0))
        global_glInfo_init = 1;
    global_gl_locker.unlock();

    bool supports_fp = false;
    if (global_glInfo.isExtensionSupported("GL_ARB_fragment_program")) {
        GenProgramsARB = entry_point<PFNKELGENPROGRAMSARBPROC>("glGenProgramsARB");
        BindProgramARB = entry_point<PFNKELBINDPROGRAMARBPROC>("glBindProgramARB");
        ProgramStringARB = entry_point<PFNKELPROGRAMSTRINGARBPROC>("glProgramStringARB");
        DeleteProgramsARB = entry_point<PFNKELDELETEPROGRAMSARBPROC>("glDeleteProgramsARB");
        ProgramLocalParameter4fvARB =
            entry_point<PFNKELPROGRAMLOCALPARAMETER4FVARBPROC>("glProgramLocalParameter4fvARB");
        supports_fp = GenProgramsARB && BindProgramARB && ProgramStringARB && DeleteProgramsARB &&
                      ProgramLocalParameter4fvARB;
    }
    bool supports_multitexture = false;
    if (global_glInfo.isExtensionSupported("GL_ARB_multitexture")) {
        ActiveTextureARB = entry_point<PFNKELACTIVETEXTUREARBPROC>("glActiveTextureARB");
        MultiTexCoord2fARB = entry_point<PFNKELMULTITEXCOORD2FARBPROC>("glMultiTexCoord2fARB");
        supports_multitexture = ActiveTextureARB && MultiTexCoord2fARB;
    }

    for (int j = 0; j < 3; ++j)
        tex_width[j] = tex_height[j] = 2;
    program = 0;
    local_count = 0;
    const float yuv_range_correction = 1.0f;

    if (supports_fp) {
        char* code = nullptr;
        if (asprintf(&code, template_yuv, 'y', 'z') < 0)
            code = nullptr;
        for (int i = 0; i < 4; ++i) {
            const float factor = i <= 2 ? yuv_range_correction : 1.0f;
            for (int j = 0; j < 4; ++j)
                local_value[local_count + i][j] = j <= 2 ? matrix_bt601_tv2full[j][i] * factor : 0.0f;
        }
        local_count += 4;
        if (code) {
            GenProgramsARB(1, &program);
            BindProgramARB(KEL_GL_FRAGMENT_PROGRAM_ARB, program);
            ProgramStringARB(KEL_GL_FRAGMENT_PROGRAM_ARB, KEL_GL_PROGRAM_FORMAT_ASCII_ARB, GLsizei(std::strlen(code)),
                             code);
            if (glGetError() == GL_INVALID_OPERATION) {
                DeleteProgramsARB(1, &program);
                program = 0;
            }
            std::free(code);
        }
    }
    if (supports_multitexture && supports_fp)
        use_multitexture = true;

    glDisable(GL_BLEND);
    glDisable(GL_DEPTH_TEST);
    glDepthMask(GL_FALSE);
    glDisable(GL_CULL_FACE);
    glClearColor(0.0f, 0.0f, 0.0f, 1.0f);
    glClear(GL_COLOR_BUFFER_BIT);
    glEnable(GL_TEXTURE_2D);
}

void kel_opengl::resizeGL(int width, int height)
{
    glViewport(0, 0, width, height);
}

void kel_opengl::applyTextureParameters()
{
    glTexParameterf(GL_TEXTURE_2D, GL_TEXTURE_PRIORITY, 1.0f);
    glTexEnvf(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, GL_MODULATE);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, KEL_GL_CLAMP_TO_EDGE);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, KEL_GL_CLAMP_TO_EDGE);
}

void kel_opengl::bindTextures()
{
    for (int j = 0; j < 3; ++j) {
        if (use_multitexture)
            ActiveTextureARB(KEL_GL_TEXTURE0_ARB + j);
        glBindTexture(GL_TEXTURE_2D, texture[0][j]);
    }
}

void kel_opengl::paintGL(unsigned char* rgba, int bufSize, int width, int height, int pix_width, int pix_height)
{
    (void)bufSize;
    glClear(GL_COLOR_BUFFER_BIT);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 4);  // RGB rows start at multiples of 4 bytes
    glBindTexture(GL_TEXTURE_2D, texture[0][0]);
    if (reloaded) {
        applyTextureParameters();
        glTexImage2D(GL_TEXTURE_2D, 0, GL_RGB, pix_width, pix_height, 0, GL_RGB, GL_UNSIGNED_BYTE, rgba);
        reloaded = false;
        resizeGL(width, height);
    } else {
        glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, pix_width, pix_height, GL_RGB, GL_UNSIGNED_BYTE, rgba);
    }
    bindTextures();
    glBegin(GL_POLYGON);
    glTexCoord2f(0, 0);
    glVertex2f(-1, 1);
    glTexCoord2f(0, 1);
    glVertex2f(-1, -1);
    glTexCoord2f(1, 1);
    glVertex2f(1, -1);
    glTexCoord2f(1, 0);
    glVertex2f(1, 1);
    glEnd();
    glBindTexture(GL_TEXTURE_2D, 0);
}

void kel_opengl::paintGL(unsigned char* ybuf, unsigned char* ubuf, unsigned char* vbuf, int bufSize, int width,
                         int height, int pix_width, int pix_height)
{
    (void)bufSize;
    if (!convertsOnGpu()) {
        paintYuvOnCpu(ybuf, ubuf, vbuf, pix_width, pix_height);
        if (reloaded) {
            reloaded = false;
            resizeGL(width, height);
        }
        return;
    }
    struct PIX_SIZE {
        unsigned char* buf;
        int width;
        int height;
    } const planes[3] = {{ybuf, pix_width, pix_height},
                         {ubuf, pix_width / 2, pix_height / 2},
                         {vbuf, pix_width / 2, pix_height / 2}};

    glClear(GL_COLOR_BUFFER_BIT);
    glEnable(KEL_GL_FRAGMENT_PROGRAM_ARB);
    for (int i = 0; i < local_count; ++i)
        ProgramLocalParameter4fvARB(KEL_GL_FRAGMENT_PROGRAM_ARB, GLuint(i), local_value[i]);

    // Plane rows are tightly packed whatever their width.
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    if (reloaded) {
        glDeleteTextures(3, texture[0]);
        glGenTextures(3, texture[0]);
    }
    for (int i = 0; i < 3; ++i) {
        ActiveTextureARB(KEL_GL_TEXTURE0_ARB + i);
        glBindTexture(GL_TEXTURE_2D, texture[0][i]);
        if (reloaded) {
            applyTextureParameters();
            glTexImage2D(GL_TEXTURE_2D, 0, GL_LUMINANCE, planes[i].width, planes[i].height, 0, GL_LUMINANCE,
                         GL_UNSIGNED_BYTE, planes[i].buf);
        } else {
            glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, planes[i].width, planes[i].height, GL_LUMINANCE,
                            GL_UNSIGNED_BYTE, planes[i].buf);
        }
    }
    glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
    if (reloaded) {
        reloaded = false;
        resizeGL(width, height);
    }

    bindTextures();
    glBegin(GL_POLYGON);
    const float corners[4][4] = {{0, 0, -1, 1}, {1, 0, 1, 1}, {1, 1, 1, -1}, {0, 1, -1, -1}};
    for (const auto& c : corners) {
        glTexCoord2f(c[0], c[1]);
        MultiTexCoord2fARB(KEL_GL_TEXTURE0_ARB + 1, c[0], c[1]);
        MultiTexCoord2fARB(KEL_GL_TEXTURE0_ARB + 2, c[0], c[1]);
        glVertex2f(c[2], c[3]);
    }
    glEnd();
    glDisable(KEL_GL_FRAGMENT_PROGRAM_ARB);
    ActiveTextureARB(KEL_GL_TEXTURE0_ARB);
}

// Without fragment programs the frame is converted here, with the same matrix, into the single
// texture texture[0][0].
void kel_opengl::paintYuvOnCpu(const uint8_t* ybuf, const uint8_t* ubuf, const uint8_t* vbuf, int pix_width,
                               int pix_height)
{
    glClear(GL_COLOR_BUFFER_BIT);
    if (pix_width <= 0 || pix_height <= 0)
        return;
    if (reloaded) {
        m_rgb.assign(size_t(pix_width) * size_t(pix_height) * 3, 0);
        if (texture[0][0] == 0)
            glGenTextures(1, &texture[0][0]);
    }
    // FIXME-OPT: one processor pass per frame; only contexts without fragment programs get here.
    yuv420_to_rgb(ybuf, ubuf, vbuf, pix_width, pix_height, m_rgb.data(), m_rgb.size());

    if (use_multitexture)
        ActiveTextureARB(KEL_GL_TEXTURE0_ARB);
    glEnable(GL_TEXTURE_2D);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    glBindTexture(GL_TEXTURE_2D, texture[0][0]);
    if (reloaded) {
        applyTextureParameters();
        glTexImage2D(GL_TEXTURE_2D, 0, GL_RGB, pix_width, pix_height, 0, GL_RGB, GL_UNSIGNED_BYTE, m_rgb.data());
    } else {
        glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, pix_width, pix_height, GL_RGB, GL_UNSIGNED_BYTE, m_rgb.data());
    }
    glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
    glBegin(GL_POLYGON);
    const float corners[4][4] = {{0, 0, -1, 1}, {1, 0, 1, 1}, {1, 1, 1, -1}, {0, 1, -1, -1}};
    for (const auto& c : corners) {
        glTexCoord2f(c[0], c[1]);
        glVertex2f(c[2], c[3]);
    }
    glEnd();
    glBindTexture(GL_TEXTURE_2D, 0);
}

void kel_opengl::releaseGL()
{
    glFinish();
    glFlush();
    glClear(GL_COLOR_BUFFER_BIT);
    glDeleteTextures(3, texture[0]);
    if (program != 0 && DeleteProgramsARB) {
        DeleteProgramsARB(1, &program);
        program = 0;
    }
    std::vector<uint8_t>().swap(m_rgb);
}

void kel_opengl::readBack(uint8_t* dst, int width, int height)
{
    if (width <= 0 || height <= 0)
        return;
    glReadBuffer(GL_BACK);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glReadPixels(0, 0, width, height, GL_RGB, GL_UNSIGNED_BYTE, dst);
    glPixelStorei(GL_PACK_ALIGNMENT, 4);
    // OpenGL returns the bottom row first.
    const size_t row = size_t(width) * 3;
    std::vector<uint8_t> tmp(row);
    for (int top = 0, bottom = height - 1; top < bottom; ++top, --bottom) {
        std::memcpy(tmp.data(), dst + size_t(top) * row, row);
        std::memcpy(dst + size_t(top) * row, dst + size_t(bottom) * row, row);
        std::memcpy(dst + size_t(bottom) * row, tmp.data(), row);
    }
}
