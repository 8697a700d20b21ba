// kel_opengl: the OpenGL renderer. Runs on the instance's render thread, with the instance's
// WGL context current (construction and destruction excepted).
#include "kel_opengl.h"

#include <algorithm>
#include <cassert>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "glInfo.h"
#include "kel_vout_log.h"
#include "locker.h"
#include "surface_copy.h"
#include "texture_fit.h"
#include "yuv_convert.h"

// The process's capability record, filled once by the first context that can answer.
static Locker global_gl_locker;
static glInfo global_glInfo;
static int global_glInfo_init = 0;

// Test seam: a cap on the largest texture side (0: none).
static int g_texture_limit = 0;

namespace {

const GLenum kGlBgra = 0x80E1;  // GL_BGRA (OpenGL 1.2), GL_BGRA_EXT

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
      MultiTexCoord2fARB(nullptr), m_npot(false), m_bgra(false), m_maxTexture(0), m_drawn(drawn::nothing), m_extent{}
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

void kel_opengl::set_texture_limit_for_testing(int max_size)
{
    g_texture_limit = max_size;
}

void kel_opengl::initializeGL()
{
    global_gl_locker.lock();
    try {
        if (global_glInfo_init == 0 && global_glInfo.getInfo(0))
            global_glInfo_init = 1;
        else if (global_glInfo_init == 0)
            kel_log(KEL_LOG_WARNING, "the OpenGL context reports no vendor, renderer or version");
    } catch (const std::bad_alloc&) {
        kel_log(KEL_LOG_ERROR, "out of memory reading the OpenGL capabilities");
    }
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
    // Textures of any size: OpenGL 2.0 and later, or the extension. The software OpenGL 1.1 of
    // Windows (remote desktop, virtual machines) has neither.
    const char* version = reinterpret_cast<const char*>(glGetString(GL_VERSION));
    m_npot = (version && std::atoi(version) >= 2) ||
             global_glInfo.isExtensionSupported("GL_ARB_texture_non_power_of_two");
    int major = 0, minor = 0;
    if (version)
        std::sscanf(version, "%d.%d", &major, &minor);
    m_bgra = major > 1 || (major == 1 && minor >= 2) || global_glInfo.isExtensionSupported("GL_EXT_bgra");
    GLint max_texture = 0;
    glGetIntegerv(GL_MAX_TEXTURE_SIZE, &max_texture);
    m_maxTexture = max_texture >= 64 ? int(max_texture) : 1024;
    if (g_texture_limit > 0 && g_texture_limit < m_maxTexture)
        m_maxTexture = g_texture_limit;
    kel_log(KEL_LOG_INFO, "OpenGL %s (%s): YUV converted %s; textures %s, at most %d pixels a side",
            version ? version : "?", global_glInfo.renderer.c_str(),
            supports_fp && supports_multitexture ? "by a fragment program" : "on the processor",
            m_npot ? "of any size" : "of powers of two", m_maxTexture);

    for (int j = 0; j < 3; ++j)
        tex_width[j] = tex_height[j] = 0;
    program = 0;
    local_count = 0;

    if (supports_fp) {
        char* code = nullptr;
        if (asprintf(&code, template_yuv, 'y', 'z') < 0)
            code = nullptr;
        setMatrix(yuv_coefficients_for(colour_space::bt601, colour_range::limited));
        if (code) {
            GenProgramsARB(1, &program);
            BindProgramARB(KEL_GL_FRAGMENT_PROGRAM_ARB, program);
            ProgramStringARB(KEL_GL_FRAGMENT_PROGRAM_ARB, KEL_GL_PROGRAM_FORMAT_ASCII_ARB, GLsizei(std::strlen(code)),
                             code);
            if (glGetError() == GL_INVALID_OPERATION) {
                GLint position = -1;
                glGetIntegerv(0x864B /* GL_PROGRAM_ERROR_POSITION_ARB */, &position);
                const char* why = reinterpret_cast<const char*>(glGetString(0x8874 /* GL_PROGRAM_ERROR_STRING_ARB */));
                kel_log(KEL_LOG_WARNING,
                        "glProgramStringARB rejected the YUV program at %d (%s); YUV is converted on the processor",
                        int(position), why ? why : "no reason given");
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

// The frame's conversion into the program's parameters 0..3: the Y, U and V coefficients and
// the constant term, each for R, G, B.
void kel_opengl::setMatrix(const yuv_coefficients& k)
{
    float m[3][4];
    yuv_matrix(k, m);
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            local_value[i][j] = j <= 2 ? m[j][i] : 0.0f;
    local_count = 4;
}

void kel_opengl::paintGL(unsigned char* rgba, int bufSize, int width, int height, int pix_width, int pix_height)
{
    (void)bufSize;
    (void)width;
    (void)height;
    paintRgb(rgba, (size_t(pix_width) * 3 + 3) / 4 * 4, false, pix_width, pix_height);
}

void kel_opengl::paintGL(unsigned char* ybuf, unsigned char* ubuf, unsigned char* vbuf, int bufSize, int width,
                         int height, int pix_width, int pix_height)
{
    (void)bufSize;
    (void)width;
    (void)height;
    paintYuv(ybuf, ubuf, vbuf, pix_width / 2, pix_height / 2,
             yuv_coefficients_for(colour_space::bt601, colour_range::limited), pix_width, pix_height);
}

void kel_opengl::paintRgb(const uint8_t* pixels, size_t stride, bool bgra, int pix_width, int pix_height)
{
    if (pix_width <= 0 || pix_height <= 0 || !pixels)
        return;
    uploadRgb(pixels, pix_width, pix_height, stride, bgra);
    reloaded = false;
    drawRgb();
}

void kel_opengl::paintYuv(const uint8_t* ybuf, const uint8_t* ubuf, const uint8_t* vbuf, int chroma_width,
                          int chroma_height, const yuv_coefficients& k, int pix_width, int pix_height)
{
    if (pix_width <= 0 || pix_height <= 0 || !ybuf)
        return;
    if (convertsOnGpu() && pix_width <= m_maxTexture && pix_height <= m_maxTexture) {
        setMatrix(k);
        uploadPlanes(ybuf, ubuf, vbuf, chroma_width, chroma_height, pix_width, pix_height);
    } else {
        // No fragment program, or a picture beyond the texture limit: the processor converts,
        // with the same matrix, and the RGB picture goes the way of RGB frames.
        // FIXME-OPT: one processor pass per frame; only such contexts and pictures get here.
        const size_t bytes = size_t(pix_width) * size_t(pix_height) * 3;
        try {
            if (m_rgb.size() != bytes)
                m_rgb.resize(bytes);
        } catch (const std::bad_alloc&) {
            std::vector<uint8_t>().swap(m_rgb);
            m_drawn = drawn::nothing;
            return;
        }
        yuv420_to_rgb(ybuf, ubuf, vbuf, pix_width, pix_height, chroma_width, chroma_height, k, m_rgb.data(),
                      m_rgb.size());
        uploadRgb(m_rgb.data(), pix_width, pix_height, size_t(pix_width) * 3);
    }
    reloaded = false;
    repaintGL();
}

// The three planes into three luminance textures of their own sizes (this path runs only where
// any size is allowed). Chroma texture coordinates reach w / (2 * cw) of the texture, so that
// chroma sample i stays centred on luma 2i and 2i+1: with cw = w / 2 an odd last column lies
// past the last chroma sample and the edge clamp repeats it; with cw = (w + 1) / 2 it takes the
// left half of its own sample.
void kel_opengl::uploadPlanes(const uint8_t* ybuf, const uint8_t* ubuf, const uint8_t* vbuf, int cw, int ch,
                              int pix_width, int pix_height)
{
    static const uint8_t grey = 0x80;  // the chroma of a frame too small to have any
    const bool chroma = cw > 0 && ch > 0 && ubuf && vbuf;
    struct PIX_SIZE {
        const uint8_t* buf;
        int width;
        int height;
    } const planes[3] = {{ybuf, pix_width, pix_height},
                         {chroma ? ubuf : &grey, chroma ? cw : 1, chroma ? ch : 1},
                         {chroma ? vbuf : &grey, chroma ? cw : 1, chroma ? ch : 1}};

    const bool recreate = reloaded || m_drawn != drawn::planes;
    if (recreate) {
        glDeleteTextures(3, texture[0]);
        glGenTextures(3, texture[0]);
    }
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);  // plane rows are tightly packed whatever their width
    for (int i = 0; i < 3; ++i) {
        ActiveTextureARB(KEL_GL_TEXTURE0_ARB + i);
        glBindTexture(GL_TEXTURE_2D, texture[0][i]);
        if (recreate || tex_width[i] != planes[i].width || tex_height[i] != planes[i].height) {
            applyTextureParameters();
            glTexImage2D(GL_TEXTURE_2D, 0, GL_LUMINANCE, planes[i].width, planes[i].height, 0, GL_LUMINANCE,
                         GL_UNSIGNED_BYTE, planes[i].buf);
            tex_width[i] = planes[i].width;
            tex_height[i] = planes[i].height;
        } else {
            glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, planes[i].width, planes[i].height, GL_LUMINANCE,
                            GL_UNSIGNED_BYTE, planes[i].buf);
        }
    }
    glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
    ActiveTextureARB(KEL_GL_TEXTURE0_ARB);
    m_extent[0] = {1.0f, 1.0f};
    m_extent[1] = m_extent[2] = chroma ? tex_extent{float(pix_width) / float(2 * cw), float(pix_height) / float(2 * ch)}
                                       : tex_extent{1.0f, 1.0f};
    m_drawn = drawn::planes;
}

// An RGB picture (rows `row_bytes` apart) into texture[0][0]. A picture beyond the texture limit
// is reduced first; where only powers of two are allowed, the picture fills the texture's
// top-left corner, its last column and row repeated once beside it so that the filter at the
// picture's edge finds no foreign texels.
void kel_opengl::uploadRgb(const uint8_t* rgb, int pix_width, int pix_height, size_t row_bytes, bool bgra)
{
    int w = pix_width, h = pix_height;
    fit_within(pix_width, pix_height, m_maxTexture, &w, &h);
    if (bgra && (!m_bgra || w != pix_width || h != pix_height)) {
        // A context without B, G, R, A pixels, or a picture to reduce (which works on R, G, B):
        // R, G, B first.
        try {
            m_rgb.resize(size_t(pix_width) * size_t(pix_height) * 3);
        } catch (const std::bad_alloc&) {
            std::vector<uint8_t>().swap(m_rgb);
            m_drawn = drawn::nothing;
            return;
        }
        bgra_to_rgb(rgb, row_bytes, pix_width, pix_height, m_rgb.data());
        rgb = m_rgb.data();
        row_bytes = size_t(pix_width) * 3;
        bgra = false;
    }
    const GLenum format = bgra ? kGlBgra : GL_RGB;
    const size_t pixel = bgra ? 4 : 3;
    const uint8_t* src = rgb;
    size_t stride = row_bytes;
    if (w != pix_width || h != pix_height) {
        try {
            m_scaled.resize(size_t(w) * size_t(h) * 3);
        } catch (const std::bad_alloc&) {
            std::vector<uint8_t>().swap(m_scaled);
            m_drawn = drawn::nothing;
            return;
        }
        downscale_rgb(rgb, pix_width, pix_height, row_bytes, m_scaled.data(), w, h, m_scaled.size());
        src = m_scaled.data();
        stride = size_t(w) * 3;
    }
    int tw = w, th = h;
    texture_size_for(w, h, !m_npot, &tw, &th);

    if (use_multitexture)
        ActiveTextureARB(KEL_GL_TEXTURE0_ARB);
    if (m_drawn == drawn::planes) {
        glDeleteTextures(3, texture[0]);
        texture[0][0] = texture[0][1] = texture[0][2] = 0;
    }
    if (texture[0][0] == 0)
        glGenTextures(1, &texture[0][0]);
    glBindTexture(GL_TEXTURE_2D, texture[0][0]);
    // Rows of a frame start at multiples of 4 bytes, or follow each other.
    glPixelStorei(GL_UNPACK_ALIGNMENT, stride % 4 == 0 ? 4 : 1);
    if (reloaded || m_drawn != drawn::rgb || tex_width[0] != tw || tex_height[0] != th) {
        applyTextureParameters();
        glTexImage2D(GL_TEXTURE_2D, 0, GL_RGB, tw, th, 0, GL_RGB, GL_UNSIGNED_BYTE, nullptr);
        tex_width[0] = tw;
        tex_height[0] = th;
    }
    // Rows longer than the picture's (a host's padding) are skipped by the row length.
    const bool padded = stride != (size_t(w) * pixel + 3) / 4 * 4 && stride != size_t(w) * pixel;
    if (padded)
        glPixelStorei(GL_UNPACK_ROW_LENGTH, GLint(stride / pixel));
    glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, w, h, format, GL_UNSIGNED_BYTE, src);
    const uint8_t* last_row = src + size_t(h - 1) * stride;
    if (tw > w) {
        glPixelStorei(GL_UNPACK_ROW_LENGTH, padded ? GLint(stride / pixel) : w);
        glPixelStorei(GL_UNPACK_SKIP_PIXELS, w - 1);
        glTexSubImage2D(GL_TEXTURE_2D, 0, w, 0, 1, h, format, GL_UNSIGNED_BYTE, src);
        glPixelStorei(GL_UNPACK_SKIP_PIXELS, 0);
    }
    glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
    if (th > h)
        glTexSubImage2D(GL_TEXTURE_2D, 0, 0, h, w, 1, format, GL_UNSIGNED_BYTE, last_row);
    if (tw > w && th > h)
        glTexSubImage2D(GL_TEXTURE_2D, 0, w, h, 1, 1, format, GL_UNSIGNED_BYTE, last_row + size_t(w - 1) * pixel);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
    glBindTexture(GL_TEXTURE_2D, 0);
    m_extent[0] = {float(w) / float(tw), float(h) / float(th)};
    m_drawn = drawn::rgb;
}

// The quad covers the viewport, the picture's first row at the top: corners as (s, t, x, y).
static const float kCorners[4][4] = {{0, 0, -1, 1}, {1, 0, 1, 1}, {1, 1, 1, -1}, {0, 1, -1, -1}};

void kel_opengl::drawPlanes()
{
    glClear(GL_COLOR_BUFFER_BIT);
    glEnable(KEL_GL_FRAGMENT_PROGRAM_ARB);
    for (int i = 0; i < local_count; ++i)
        ProgramLocalParameter4fvARB(KEL_GL_FRAGMENT_PROGRAM_ARB, GLuint(i), local_value[i]);
    bindTextures();
    glBegin(GL_POLYGON);
    for (const auto& c : kCorners) {
        glTexCoord2f(c[0] * m_extent[0].s, c[1] * m_extent[0].t);
        MultiTexCoord2fARB(KEL_GL_TEXTURE0_ARB + 1, c[0] * m_extent[1].s, c[1] * m_extent[1].t);
        MultiTexCoord2fARB(KEL_GL_TEXTURE0_ARB + 2, c[0] * m_extent[2].s, c[1] * m_extent[2].t);
        glVertex2f(c[2], c[3]);
    }
    glEnd();
    glDisable(KEL_GL_FRAGMENT_PROGRAM_ARB);
    ActiveTextureARB(KEL_GL_TEXTURE0_ARB);
}

void kel_opengl::drawRgb()
{
    glClear(GL_COLOR_BUFFER_BIT);
    if (use_multitexture)
        ActiveTextureARB(KEL_GL_TEXTURE0_ARB);
    glEnable(GL_TEXTURE_2D);
    glBindTexture(GL_TEXTURE_2D, texture[0][0]);
    glBegin(GL_POLYGON);
    for (const auto& c : kCorners) {
        glTexCoord2f(c[0] * m_extent[0].s, c[1] * m_extent[0].t);
        glVertex2f(c[2], c[3]);
    }
    glEnd();
    glBindTexture(GL_TEXTURE_2D, 0);
}

void kel_opengl::repaintGL()
{
    switch (m_drawn) {
    case drawn::planes:
        drawPlanes();
        break;
    case drawn::rgb:
        drawRgb();
        break;
    case drawn::nothing:
        glClear(GL_COLOR_BUFFER_BIT);
        break;
    }
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
    // A context made later (a re-created window) starts from nothing.
    for (int j = 0; j < 3; ++j) {
        texture[0][j] = 0;
        tex_width[j] = tex_height[j] = 0;
    }
    m_drawn = drawn::nothing;
    reloaded = true;
    std::vector<uint8_t>().swap(m_rgb);
    std::vector<uint8_t>().swap(m_scaled);
}

void kel_opengl::readBack(uint8_t* dst, int width, int height)
{
    if (width <= 0 || height <= 0)
        return;
    glReadBuffer(GL_BACK);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glReadPixels(0, 0, width, height, GL_RGB, GL_UNSIGNED_BYTE, dst);
    glPixelStorei(GL_PACK_ALIGNMENT, 4);
    // OpenGL returns the bottom row first: swap rows in place, a pixel at a time.
    const size_t row = size_t(width) * 3;
    for (int top = 0, bottom = height - 1; top < bottom; ++top, --bottom)
        std::swap_ranges(dst + size_t(top) * row, dst + size_t(top + 1) * row, dst + size_t(bottom) * row);
}
