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
const GLint kGlLuminance16 = 0x8042;            // GL_LUMINANCE16 (OpenGL 1.1)
const GLenum kGlTextureLuminanceSize = 0x8060;  // GL_TEXTURE_LUMINANCE_SIZE

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

// The conversion with light and dither: the planes as above, then (by the variant) decoded to
// linear light, converted to BT.709 primaries, tone-mapped on the brightest channel and encoded
// for BT.1886, and an interleaved gradient noise of the plan's amplitude added. The constants
// are light_shader_constants' at program.local[4..9]. One program per decoding and curve: the
// assembly has no branches.
std::string light_program(int decoding, int curve)
{
    std::string p =
        "!!ARBfp1.0"
        "OPTION ARB_precision_hint_nicest;"
        "PARAM coefficient[4] = { program.local[0..3] };"
        "PARAM mode = program.local[4];"
        "PARAM prim[3] = { program.local[5..7] };"
        "PARAM tone = program.local[8];"
        "PARAM units = program.local[9];"
        // PQ: 1/m2, c1, c2, c3; 1/m1, m1, m2, 1; HLG: c, log2(e)/a, b, 1/12; others.
        "PARAM pq0 = {0.0126833135, 0.8359375, 18.8515625, 18.6875};"
        "PARAM pq1 = {6.2773946360, 0.1593017578, 78.84375, 1.0};"
        "PARAM hlg = {0.55991073, 8.0672857, 0.28466892, 0.0833333333};"
        "PARAM k = {2.4, 0.4166666667, 0.3333333333, 1.2};"
        "PARAM hab = {0.15, 0.05, 0.004, 0.5};"
        "PARAM misc = {0.06, 0.0666666667, 0.000001, 0.5};"
        "PARAM noise = {0.06711056, 0.00583715, 52.9829189, 0.0};"
        "TEMP src, rgb, e, lin, v, t, q, r;"
        "TEX src.x, fragment.texcoord[0], texture[0], 2D;"
        "TEX src.y, fragment.texcoord[1], texture[1], 2D;"
        "TEX src.z, fragment.texcoord[2], texture[2], 2D;"
        "MAD rgb.rgb, src.xxxx, coefficient[0], coefficient[3];"
        "MAD rgb.rgb, src.yyyy, coefficient[1], rgb;"
        "MAD rgb.rgb, src.zzzz, coefficient[2], rgb;";
    if (decoding > 0) {
        p += "MAX e, rgb, {0.0, 0.0, 0.0, 0.0};";
        if (decoding == 2) {  // PQ
            p += "MIN e, e, {1.9, 1.9, 1.9, 1.9};"
                 "POW q.x, e.x, pq0.x; POW q.y, e.y, pq0.x; POW q.z, e.z, pq0.x;"
                 "SUB t, q, pq0.y; MAX t, t, {0.0, 0.0, 0.0, 0.0};"
                 "MAD r, q, -pq0.w, pq0.z;"
                 "RCP r.x, r.x; RCP r.y, r.y; RCP r.z, r.z; MUL t, t, r;"
                 "POW lin.x, t.x, pq1.x; POW lin.y, t.y, pq1.x; POW lin.z, t.z, pq1.x;"
                 "MUL lin, lin, mode.w;";
        } else if (decoding == 3) {  // HLG: the square law to 1/2, above it the exponential
            p += "MUL q, e, e; MUL q, q, k.z;"
                 "SUB t, e, hlg.x; MUL t, t, hlg.y;"
                 "EX2 r.x, t.x; EX2 r.y, t.y; EX2 r.z, t.z;"
                 "ADD r, r, hlg.z; MUL r, r, hlg.w;"
                 "SUB t, misc.w, e; CMP lin, t, r, q;"
                 "POW lin.x, lin.x, k.w; POW lin.y, lin.y, k.w; POW lin.z, lin.z, k.w;"
                 "MUL lin, lin, mode.w;";
        } else {  // BT.1886
            p += "POW lin.x, e.x, k.x; POW lin.y, e.y, k.x; POW lin.z, e.z, k.x;";
        }
        p += "DP3 v.x, prim[0], lin; DP3 v.y, prim[1], lin; DP3 v.z, prim[2], lin;";
        if (curve >= 0) {
            // t.x: the brightest channel; t.y: the curve's value for it.
            p += "MAX t.x, v.x, v.y; MAX t.x, t.x, v.z; MAX t.x, t.x, misc.z;"
                 "MIN t.y, t.x, 1.0; MAX t.y, t.y, 0.0;";  // clip
            if (curve == 1) {  // Hable over its value at the peak
                p += "MAD q.x, t.x, hab.x, hab.y; MAD q.x, q.x, t.x, hab.z;"
                     "MAD q.y, t.x, hab.x, hab.w; MAD q.y, q.y, t.x, misc.x;"
                     "RCP q.y, q.y; MUL q.x, q.x, q.y; SUB q.x, q.x, misc.y; MUL t.y, q.x, tone.x;";
            } else if (curve == 0) {  // BT.2390 in the source's PQ range, where the peak is above white
                p += "MIN q.x, t.x, units.z; MUL q.x, q.x, units.x;"
                     "POW q.y, q.x, pq1.y;"
                     "MAD q.z, q.y, pq0.z, pq0.y; MAD q.w, q.y, pq0.w, pq1.w; RCP q.w, q.w; MUL q.z, q.z, q.w;"
                     "POW q.x, q.z, pq1.z; MUL q.x, q.x, tone.y;"  // e, 0..1 of the source
                     "SUB r.x, 1.0, tone.z; RCP r.x, r.x; SUB r.y, q.x, tone.z; MUL_SAT r.z, r.y, r.x;"  // spline's t
                     "MUL r.w, r.z, r.z; MUL q.y, r.w, r.z;"  // t2, t3
                     // (2t3 - 3t2 + 1) ks + (t3 - 2t2 + t)(1 - ks) + (3t2 - 2t3) maxLum
                     "MAD q.z, q.y, 2.0, 1.0; MAD q.z, r.w, -3.0, q.z; MUL q.z, q.z, tone.z;"
                     "MAD q.w, r.w, -2.0, q.y; ADD q.w, q.w, r.z; SUB r.x, 1.0, tone.z; MAD q.z, q.w, r.x, q.z;"
                     "MUL q.w, r.w, 3.0; MAD q.w, q.y, -2.0, q.w; MAD q.z, q.w, tone.w, q.z;"
                     "CMP q.x, r.y, q.x, q.z;"  // below the knee as it is
                     "MUL q.x, q.x, tone.x;"
                     "POW q.y, q.x, pq0.x; SUB q.z, q.y, pq0.y; MAX q.z, q.z, 0.0;"
                     "MAD q.w, q.y, -pq0.w, pq0.z; RCP q.w, q.w; MUL q.z, q.z, q.w;"
                     "POW q.x, q.z, pq1.x; MUL q.x, q.x, units.y; MIN q.x, q.x, 1.0;"
                     "SUB r.x, 1.0, units.z; CMP t.y, r.x, q.x, t.y;";
            }
            p += "RCP q.x, t.x; MUL q.x, t.y, q.x; MUL v, v, q.x;";
        }
        p += "MIN v, v, 1.0; MAX v, v, 0.0;"
             "POW rgb.x, v.x, k.y; POW rgb.y, v.y, k.y; POW rgb.z, v.z, k.y;";
    }
    p += "MUL q.xy, fragment.position, noise; ADD q.x, q.x, q.y; FRC q.x, q.x;"
         "MUL q.x, q.x, noise.z; FRC q.x, q.x; SUB q.x, q.x, misc.w;"
         "MAD result.color.rgb, q.xxxx, mode.zzzz, rgb;"
         "MOV result.color.a, 1.0;"
         "END";
    return p;
}

// The conversion with light from the light tables (light_lut) on texture units 3 (decoding), 4
// (the tone curve's gain) and 5 (encoding), one-dimensional float textures read at coordinates
// computed from the values: no powers, for every decoding and curve. program.local[10]: the
// tables' coordinates, [11].x the gain's limit over the brightest channel.
const char* const table_program =
    "!!ARBfp1.0"
    "OPTION ARB_precision_hint_nicest;"
    "PARAM coefficient[4] = { program.local[0..3] };"
    "PARAM mode = program.local[4];"
    "PARAM prim[3] = { program.local[5..7] };"
    "PARAM tables = program.local[10];"
    "PARAM limits = program.local[11];"
    "PARAM misc = {0.5, 0.000001, 0.000000000001, 0.0};"
    "PARAM noise = {0.06711056, 0.00583715, 52.9829189, 0.0};"
    "TEMP src, rgb, d, lin, v, t, q;"
    "TEX src.x, fragment.texcoord[0], texture[0], 2D;"
    "TEX src.y, fragment.texcoord[1], texture[1], 2D;"
    "TEX src.z, fragment.texcoord[2], texture[2], 2D;"
    "MAD rgb.rgb, src.xxxx, coefficient[0], coefficient[3];"
    "MAD rgb.rgb, src.yyyy, coefficient[1], rgb;"
    "MAD rgb.rgb, src.zzzz, coefficient[2], rgb;"
    "MAD d, rgb, tables.x, tables.y;"
    "TEX lin.x, d.x, texture[3], 1D;"
    "TEX lin.y, d.y, texture[3], 1D;"
    "TEX lin.z, d.z, texture[3], 1D;"
    "DP3 v.x, prim[0], lin; DP3 v.y, prim[1], lin; DP3 v.z, prim[2], lin;"
    // t.x the brightest channel, t.y the limit over it, q the gain's coordinate.
    "MAX t.x, v.x, v.y; MAX t.x, t.x, v.z; MAX t.x, t.x, misc.y;"
    "RCP t.y, t.x; MUL t.y, t.y, limits.x;"
    "MUL t.z, t.x, tables.z; RSQ t.w, t.z; MUL t.z, t.z, t.w;"
    "MAD q, t.z, tables.w, tables.y;"
    "TEX q.x, q, texture[4], 1D;"
    "MIN q.x, q.x, t.y;"
    "MUL_SAT v.xyz, v, q.x;"
    "MAX v.xyz, v, misc.z;"
    "RSQ t.x, v.x; RSQ t.y, v.y; RSQ t.z, v.z;"
    "MUL v.xyz, v, t;"
    "MAD v, v, tables.w, tables.y;"
    "TEX rgb.x, v.x, texture[5], 1D;"
    "TEX rgb.y, v.y, texture[5], 1D;"
    "TEX rgb.z, v.z, texture[5], 1D;"
    "MUL q.xy, fragment.position, noise; ADD q.x, q.x, q.y; FRC q.x, q.x;"
    "MUL q.x, q.x, noise.z; FRC q.x, q.x; SUB q.x, q.x, misc.x;"
    "MAD result.color.rgb, q.xxxx, mode.zzzz, rgb;"
    "MOV result.color.a, 1.0;"
    "END";

const GLint kGlLuminance32f = 0x8818;     // GL_LUMINANCE32F_ARB (GL_ARB_texture_float)
const GLint kGlLuminance16f = 0x881E;     // GL_LUMINANCE16F_ARB
const GLenum kGlMaxTextureUnits = 0x8872;  // GL_MAX_TEXTURE_IMAGE_UNITS_ARB

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
    : reloaded(true), tex_width{}, tex_height{}, texture{}, program(0), m_lightPrograms{}, m_lightFailed(false),
      m_tableProgram(0), m_tableTextures{}, m_tablesFilled(false), m_lut(new light_lut()),
      local_count(0), local_value{}, GenProgramsARB(nullptr), BindProgramARB(nullptr), ProgramStringARB(nullptr),
      DeleteProgramsARB(nullptr), ProgramLocalParameter4fvARB(nullptr), use_multitexture(false),
      ActiveTextureARB(nullptr), MultiTexCoord2fARB(nullptr), m_npot(false), m_bgra(false), m_l16(false),
      m_maxTexture(0), m_plan{}, m_overlayTex{},
      m_overlaySerial{}
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
    m_l16 = keepsSixteenBits();
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
    for (int i = 0; i < kMaxOverlays; ++i) {
        m_overlayTex[i] = 0;  // a new context holds none
        m_overlaySerial[i] = 0;
    }
    program = 0;
    local_count = 0;
    for (auto& row : m_lightPrograms)
        for (GLuint& p : row)
            p = 0;
    m_lightFailed = false;
    m_tableProgram = 0;  // a new context holds none
    for (GLuint& t : m_tableTextures)
        t = 0;
    m_tablesFilled = false;

    if (supports_fp) {
        char* code = nullptr;
        if (asprintf(&code, template_yuv, 'y', 'z') < 0)
            code = nullptr;
        yuv_shader_constants(colour_space::bt601, colour_range::limited, local_value);
        local_count = 4;
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
    // The longest light program made now: a context that refuses it (or would run it outside its
    // native limits) has light converted from the tables, or (without them) on the processor,
    // from the first HDR frame on.
    if (program != 0 && supports_multitexture) {
        lightProgram(2, int(tone_curve::bt2390));
        makeTableProgram();
        BindProgramARB(KEL_GL_FRAGMENT_PROGRAM_ARB, program);
    }

    glDisable(GL_BLEND);
    glDisable(GL_DEPTH_TEST);
    glDepthMask(GL_FALSE);
    glDisable(GL_CULL_FACE);
    glClearColor(0.0f, 0.0f, 0.0f, 1.0f);
    glClear(GL_COLOR_BUFFER_BIT);
    glEnable(GL_TEXTURE_2D);
}

// Whether a 16-bit luminance texture keeps its 16 bits (a context may store it in 8): one texel
// made and asked.
bool kel_opengl::keepsSixteenBits()
{
    GLuint probe = 0;
    glGenTextures(1, &probe);
    glBindTexture(GL_TEXTURE_2D, probe);
    const uint16_t texel = 0x8000;
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    glTexImage2D(GL_TEXTURE_2D, 0, kGlLuminance16, 1, 1, 0, GL_LUMINANCE, GL_UNSIGNED_SHORT, &texel);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
    GLint bits = 0;
    glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, kGlTextureLuminanceSize, &bits);
    glBindTexture(GL_TEXTURE_2D, 0);
    glDeleteTextures(1, &probe);
    while (glGetError() != GL_NO_ERROR) {
    }
    return bits >= 16;
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

renderer_caps kel_opengl::caps() const
{
    renderer_caps c;
    c.yuv_shader = convertsOnGpu();
    c.power_of_two = !m_npot;
    c.max_texture_width = c.max_texture_height = m_maxTexture;
    c.rgb_in_texture = true;
    c.bgra_upload = m_bgra;
    c.r16_textures = m_l16;
    c.light_shader = c.yuv_shader && (m_tableProgram || !m_lightFailed);
    return c;
}

// The quad covers the viewport: the plan's corners top-left, top-right, bottom-left and
// bottom-right, in the polygon's order, at their places in normalised device coordinates.
static const int kPolygon[4] = {0, 1, 3, 2};
static const float kCornerXY[4][2] = {{-1, 1}, {1, 1}, {-1, -1}, {1, -1}};

// Uploads what the plan names when the picture is new or its textures must be made (a new
// plan's textures, or a context made anew), then draws it over the viewport.
void kel_opengl::paintGL(const uint8_t* buf, const frame_plan& plan, bool upload)
{
    glViewport(plan.target.x, plan.target.y, plan.target.width, plan.target.height);
    const bool remake = reloaded || m_plan.texture_count == 0 || !same_textures(m_plan, plan);
    if (buf && (upload || remake)) {
        const bool uploaded = plan.route == draw_route::planes ? uploadPlanes(buf, plan, remake)
                                                               : uploadPicture(buf, plan, remake);
        if (!uploaded) {
            m_plan.texture_count = 0;  // nothing usable in the textures: made again next time
            glClear(GL_COLOR_BUFFER_BIT);
            drawOverlays(plan);
            return;
        }
        reloaded = false;
    }
    m_plan = plan;
    drawPlan();
    drawOverlays(plan);
}

// An overlay's bitmap into its id's texture, unless it holds that bitmap already. The texture
// is made again for another size; padding to a power of two is transparent.
bool kel_opengl::uploadOverlay(const plan_quad& q)
{
    const overlay_bitmap& b = *q.bitmap;
    const int id = q.texture;
    if (m_overlayTex[id] != 0 && m_overlaySerial[id] == b.serial)
        return true;
    const int tw = q.texture_width, th = q.texture_height;
    const bool padded = tw != b.content.width || th != b.content.height;
    const uint8_t* pixels = b.bgra.data();
    try {
        if (padded || !m_bgra) {
            m_overlayPixels.assign(size_t(tw) * size_t(th) * 4, 0);
            const int cw = b.content.width, ch = b.content.height;
            const size_t row = size_t(tw) * 4;
            for (int y = 0; y < ch; ++y) {
                const uint8_t* src = b.bgra.data() + size_t(y) * size_t(cw) * 4;
                uint8_t* dst = m_overlayPixels.data() + size_t(y) * row;
                if (m_bgra) {
                    std::memcpy(dst, src, size_t(cw) * 4);
                } else {
                    for (int x = 0; x < cw; ++x) {
                        dst[x * 4 + 0] = src[x * 4 + 2];
                        dst[x * 4 + 1] = src[x * 4 + 1];
                        dst[x * 4 + 2] = src[x * 4 + 0];
                        dst[x * 4 + 3] = src[x * 4 + 3];
                    }
                }
                // The last column once more beside it, and below the last row that row: the
                // filter at the content's edge finds the edge, as a texture of its own size clamps.
                if (tw > cw)
                    std::memcpy(dst + size_t(cw) * 4, dst + size_t(cw - 1) * 4, 4);
            }
            if (th > ch)
                std::memcpy(m_overlayPixels.data() + size_t(ch) * row, m_overlayPixels.data() + size_t(ch - 1) * row,
                            row);
            pixels = m_overlayPixels.data();
        }
    } catch (const std::bad_alloc&) {
        std::vector<uint8_t>().swap(m_overlayPixels);
        return false;
    }
    const GLenum format = m_bgra ? kGlBgra : GL_RGBA;
    if (m_overlayTex[id] == 0)
        glGenTextures(1, &m_overlayTex[id]);
    glBindTexture(GL_TEXTURE_2D, m_overlayTex[id]);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
    GLint w = 0, h = 0;
    glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_WIDTH, &w);
    glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_HEIGHT, &h);
    if (w != tw || h != th) {
        applyTextureParameters();
        glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA, tw, th, 0, format, GL_UNSIGNED_BYTE, pixels);
    } else {
        glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, tw, th, format, GL_UNSIGNED_BYTE, pixels);
    }
    if (m_overlayPixels.size() > size_t(8) << 20)
        std::vector<uint8_t>().swap(m_overlayPixels);  // a large one is not kept
    m_overlaySerial[id] = b.serial;
    count_overlay_upload();
    return true;
}

// The plan's overlay quads over the picture, premultiplied: the texture modulated by the
// opacity in all four channels, blended with ONE, ONE_MINUS_SRC_ALPHA.
void kel_opengl::drawOverlays(const frame_plan& plan)
{
    for (int i = 0; i < kMaxOverlays; ++i) {
        if (m_overlayTex[i] != 0 && !(plan.overlay_ids & (1u << i))) {
            glDeleteTextures(1, &m_overlayTex[i]);  // a removed overlay's texture goes with it
            m_overlayTex[i] = 0;
            m_overlaySerial[i] = 0;
        }
    }
    if (plan.quad_count == 0)
        return;
    if (use_multitexture)
        ActiveTextureARB(KEL_GL_TEXTURE0_ARB);
    glEnable(GL_TEXTURE_2D);
    glEnable(GL_BLEND);
    glBlendFunc(GL_ONE, GL_ONE_MINUS_SRC_ALPHA);
    glTexEnvf(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, GL_MODULATE);
    const float w = float(std::max(plan.target.width, 1)), h = float(std::max(plan.target.height, 1));
    for (int i = 0; i < plan.quad_count; ++i) {
        const plan_quad& q = plan.quads[i];
        if (!q.bitmap || !uploadOverlay(q))
            continue;
        const float x0 = 2.0f * float(q.target.x - plan.target.x) / w - 1.0f;
        const float x1 = 2.0f * float(q.target.x + q.target.width - plan.target.x) / w - 1.0f;
        const float y0 = 1.0f - 2.0f * float(q.target.y - plan.target.y) / h;
        const float y1 = 1.0f - 2.0f * float(q.target.y + q.target.height - plan.target.y) / h;
        const float xy[4][2] = {{x0, y0}, {x1, y0}, {x0, y1}, {x1, y1}};
        glBindTexture(GL_TEXTURE_2D, m_overlayTex[q.texture]);
        glColor4f(q.opacity, q.opacity, q.opacity, q.opacity);
        glBegin(GL_POLYGON);
        for (int c : kPolygon) {
            glTexCoord2f(q.corners.s[c], q.corners.t[c]);
            glVertex2f(xy[c][0], xy[c][1]);
        }
        glEnd();
    }
    glColor4f(1.0f, 1.0f, 1.0f, 1.0f);
    glDisable(GL_BLEND);
    glBindTexture(GL_TEXTURE_2D, 0);
}

void kel_opengl::releaseOverlays()
{
    for (int i = 0; i < kMaxOverlays; ++i) {
        if (m_overlayTex[i] != 0)
            glDeleteTextures(1, &m_overlayTex[i]);
        m_overlayTex[i] = 0;
        m_overlaySerial[i] = 0;
    }
    std::vector<uint8_t>().swap(m_overlayPixels);
}

// Each plane into a luminance texture of its own size (this route runs only where any size is
// allowed), on texture units 0, 1 and 2.
bool kel_opengl::uploadPlanes(const uint8_t* buf, const frame_plan& plan, bool remake)
{
    static const uint8_t grey = 0x80;  // the chroma of a frame too small to have any
    static const uint16_t grey16 = 0x8000;  // and in a 16-bit texture
    if (remake) {
        glDeleteTextures(3, texture[0]);
        glGenTextures(3, texture[0]);
    }
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);  // plane rows are tightly packed whatever their width
    for (int i = 0; i < 3; ++i) {
        const plan_texture& t = plan.textures[i];
        const bool deep = t.format == texel_format::r16;
        const uint8_t* grey_texel = deep ? reinterpret_cast<const uint8_t*>(&grey16) : &grey;
        const PIX_SIZE plane{t.grey ? grey_texel : buf + plan.planes[i].offset, t.content_width, t.content_height};
        const GLenum type = deep ? GL_UNSIGNED_SHORT : GL_UNSIGNED_BYTE;
        ActiveTextureARB(KEL_GL_TEXTURE0_ARB + i);
        glBindTexture(GL_TEXTURE_2D, texture[0][i]);
        if (remake) {
            applyTextureParameters();
            glTexImage2D(GL_TEXTURE_2D, 0, deep ? kGlLuminance16 : GL_LUMINANCE, t.width, t.height, 0, GL_LUMINANCE,
                         type, plane.buf);
            tex_width[i] = t.width;
            tex_height[i] = t.height;
        } else {
            glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, plane.width, plane.height, GL_LUMINANCE, type, plane.buf);
        }
    }
    glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
    ActiveTextureARB(KEL_GL_TEXTURE0_ARB);
    return true;
}

// The picture's R, G, B (or B, G, R, A) into texture[0][0], after what the plan has the processor
// do first: convert YUV, take BGRA to RGB, reduce. Where only powers of two are allowed the
// picture fills the texture's top-left corner, its last column and row repeated once beside it
// so that the filter at the picture's edge finds no foreign texels.
bool kel_opengl::uploadPicture(const uint8_t* buf, const frame_plan& plan, bool remake)
{
    const plan_texture& t = plan.textures[0];
    const int w = plan.width, h = plan.height;
    const uint8_t* src = buf + plan.planes[0].offset;
    size_t stride = size_t(plan.planes[0].stride);
    try {
        if (plan.convert_yuv || plan.bgra_to_rgb) {
            // FIXME-OPT: one processor pass per frame; only contexts without the fragment program
            // and pictures beyond the texture limit get here.
            m_rgb.resize(size_t(w) * size_t(h) * 3);
            if (plan.convert_yuv)
            {
                if (plan.light.converts())
                    m_light.prepare(plan.light);
                yuv_planes_to_rgb(buf + plan.planes[0].offset, buf + plan.planes[1].offset, buf + plan.planes[2].offset,
                                  w, h, plan.shape, m_rgb.data(), m_rgb.size(),
                                  plan.light.converts() ? &m_light : nullptr);
            }
            else
                bgra_to_rgb(src, stride, w, h, m_rgb.data());
            src = m_rgb.data();
            stride = size_t(w) * 3;
        }
        if (plan.reduce) {
            m_scaled.resize(size_t(t.content_width) * size_t(t.content_height) * 3);
            downscale_rgb(src, w, h, stride, m_scaled.data(), t.content_width, t.content_height, m_scaled.size());
            src = m_scaled.data();
            stride = size_t(t.content_width) * 3;
        }
    } catch (const std::bad_alloc&) {
        std::vector<uint8_t>().swap(m_rgb);
        std::vector<uint8_t>().swap(m_scaled);
        return false;
    }
    const bool bgra = t.format == texel_format::bgra;
    const GLenum format = bgra ? kGlBgra : GL_RGB;
    const size_t pixel = bgra ? 4 : 3;
    const int cw = t.content_width, ch = t.content_height;

    if (use_multitexture)
        ActiveTextureARB(KEL_GL_TEXTURE0_ARB);
    if (remake) {
        glDeleteTextures(3, texture[0]);
        texture[0][0] = texture[0][1] = texture[0][2] = 0;
        glGenTextures(1, &texture[0][0]);
    }
    glBindTexture(GL_TEXTURE_2D, texture[0][0]);
    // Rows of a frame start at multiples of 4 bytes, or follow each other.
    glPixelStorei(GL_UNPACK_ALIGNMENT, stride % 4 == 0 ? 4 : 1);
    if (remake) {
        applyTextureParameters();
        glTexImage2D(GL_TEXTURE_2D, 0, GL_RGB, t.width, t.height, 0, GL_RGB, GL_UNSIGNED_BYTE, nullptr);
        tex_width[0] = t.width;
        tex_height[0] = t.height;
    }
    // Rows longer than the picture's (a host's padding) are skipped by the row length.
    const bool padded = stride != (size_t(cw) * pixel + 3) / 4 * 4 && stride != size_t(cw) * pixel;
    if (padded)
        glPixelStorei(GL_UNPACK_ROW_LENGTH, GLint(stride / pixel));
    glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, cw, ch, format, GL_UNSIGNED_BYTE, src);
    const uint8_t* last_row = src + size_t(ch - 1) * stride;
    if (t.width > cw) {
        glPixelStorei(GL_UNPACK_ROW_LENGTH, padded ? GLint(stride / pixel) : cw);
        glPixelStorei(GL_UNPACK_SKIP_PIXELS, cw - 1);
        glTexSubImage2D(GL_TEXTURE_2D, 0, cw, 0, 1, ch, format, GL_UNSIGNED_BYTE, src);
        glPixelStorei(GL_UNPACK_SKIP_PIXELS, 0);
    }
    glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
    if (t.height > ch)
        glTexSubImage2D(GL_TEXTURE_2D, 0, 0, ch, cw, 1, format, GL_UNSIGNED_BYTE, last_row);
    if (t.width > cw && t.height > ch)
        glTexSubImage2D(GL_TEXTURE_2D, 0, cw, ch, 1, 1, format, GL_UNSIGNED_BYTE, last_row + size_t(cw - 1) * pixel);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
    glBindTexture(GL_TEXTURE_2D, 0);
    return true;
}


void kel_opengl::drawPlan()
{
    glClear(GL_COLOR_BUFFER_BIT);
    const frame_plan& plan = m_plan;
    if (plan.texture_count == 0)
        return;
    if (plan.route == draw_route::planes) {
        glEnable(KEL_GL_FRAGMENT_PROGRAM_ARB);
        GLuint chosen = program;
        const bool tables = plan.light.converts() && m_tableProgram;
        if (tables) {
            fillTables(plan.light);
            chosen = m_tableProgram;
        } else if (plan.light_shader()) {
            const GLuint light = lightProgram(int(plan.light_constants[0][0]), int(plan.light_constants[0][1]));
            if (light)
                chosen = light;
        }
        BindProgramARB(KEL_GL_FRAGMENT_PROGRAM_ARB, chosen);
        for (int i = 0; i < 4; ++i)
            std::memcpy(local_value[i], plan.constants[i], sizeof(local_value[i]));
        local_count = 4;
        if (chosen != program) {
            for (int i = 0; i < kLightConstants; ++i)
                std::memcpy(local_value[4 + i], plan.light_constants[i], sizeof(local_value[4 + i]));
            local_count = 4 + kLightConstants;
        }
        if (tables) {
            std::memcpy(local_value[10], m_lut->coords, sizeof(local_value[10]));
            local_value[11][0] = m_lut->gain_limit;
            local_value[11][1] = local_value[11][2] = local_value[11][3] = 0.0f;
            local_count = 12;
            for (int j = 0; j < 3; ++j) {
                ActiveTextureARB(KEL_GL_TEXTURE0_ARB + 3 + j);
                glBindTexture(GL_TEXTURE_1D, m_tableTextures[j]);
            }
        }
        for (int i = 0; i < local_count; ++i)
            ProgramLocalParameter4fvARB(KEL_GL_FRAGMENT_PROGRAM_ARB, GLuint(i), local_value[i]);
        for (int j = 0; j < 3; ++j) {
            ActiveTextureARB(KEL_GL_TEXTURE0_ARB + j);
            glBindTexture(GL_TEXTURE_2D, texture[0][j]);
        }
        glBegin(GL_POLYGON);
        for (int c : kPolygon) {
            for (int j = 0; j < 3; ++j)
                MultiTexCoord2fARB(KEL_GL_TEXTURE0_ARB + j, plan.textures[j].corners.s[c], plan.textures[j].corners.t[c]);
            glVertex2f(kCornerXY[c][0], kCornerXY[c][1]);
        }
        glEnd();
        glDisable(KEL_GL_FRAGMENT_PROGRAM_ARB);
        ActiveTextureARB(KEL_GL_TEXTURE0_ARB);
        return;
    }
    if (use_multitexture)
        ActiveTextureARB(KEL_GL_TEXTURE0_ARB);
    glEnable(GL_TEXTURE_2D);
    glBindTexture(GL_TEXTURE_2D, texture[0][0]);
    glBegin(GL_POLYGON);
    for (int c : kPolygon) {
        glTexCoord2f(plan.textures[0].corners.s[c], plan.textures[0].corners.t[c]);
        glVertex2f(kCornerXY[c][0], kCornerXY[c][1]);
    }
    glEnd();
    glBindTexture(GL_TEXTURE_2D, 0);
}

GLuint kel_opengl::lightProgram(int decoding, int curve)
{
    if (decoding < 0 || decoding > 3 || curve < -1 || curve > 2 || m_lightFailed)
        return 0;
    GLuint& made = m_lightPrograms[decoding][curve + 1];
    if (made)
        return made;
    std::string code;
    try {
        code = light_program(decoding, curve);
    } catch (const std::bad_alloc&) {
        return 0;
    }
    made = compileProgram(code.data(), code.size(), "the light program; light is converted on the processor");
    m_lightFailed = made == 0;
    return made;
}

// A fragment program, or 0 (reported, with `what` it means) when the context refuses it or
// would run it outside its native limits.
GLuint kel_opengl::compileProgram(const char* code, size_t length, const char* what)
{
    while (glGetError() != GL_NO_ERROR) {
    }
    GLuint made = 0;
    GenProgramsARB(1, &made);
    BindProgramARB(KEL_GL_FRAGMENT_PROGRAM_ARB, made);
    ProgramStringARB(KEL_GL_FRAGMENT_PROGRAM_ARB, KEL_GL_PROGRAM_FORMAT_ASCII_ARB, GLsizei(length), code);
    GLint native = 1;
    const auto get_program = entry_point<PFNKELGETPROGRAMIVARBPROC>("glGetProgramivARB");
    if (get_program)
        get_program(KEL_GL_FRAGMENT_PROGRAM_ARB, 0x88B6 /* GL_PROGRAM_UNDER_NATIVE_LIMITS_ARB */, &native);
    if (glGetError() == GL_INVALID_OPERATION || !native) {
        GLint position = -1;
        glGetIntegerv(0x864B /* GL_PROGRAM_ERROR_POSITION_ARB */, &position);
        const char* why = reinterpret_cast<const char*>(glGetString(0x8874 /* GL_PROGRAM_ERROR_STRING_ARB */));
        kel_log(KEL_LOG_WARNING, "glProgramStringARB rejected %s at %d (%s)", what, int(position),
                why ? why : "no reason given");
        DeleteProgramsARB(1, &made);
        made = 0;
    }
    return made;
}

// The light from tables: float textures (GL_ARB_texture_float) on three more texture units.
// Without them the light programs compute it.
void kel_opengl::makeTableProgram()
{
    GLint units = 0;
    glGetIntegerv(kGlMaxTextureUnits, &units);
    if (!global_glInfo.isExtensionSupported("GL_ARB_texture_float") || units < 6)
        return;
    m_tableProgram = compileProgram(table_program, std::strlen(table_program),
                                    "the light tables' program; light is computed by the light programs");
    if (!m_tableProgram)
        return;
    while (glGetError() != GL_NO_ERROR) {
    }
    // 32-bit floats are filtered from OpenGL 3.0 on; older hardware filters 16-bit ones.
    const char* version = reinterpret_cast<const char*>(glGetString(GL_VERSION));
    const GLint format = version && std::atoi(version) >= 3 ? kGlLuminance32f : kGlLuminance16f;
    glGenTextures(3, m_tableTextures);
    for (GLuint t : m_tableTextures) {
        glBindTexture(GL_TEXTURE_1D, t);
        glTexImage1D(GL_TEXTURE_1D, 0, format, kLightLutEntries, 0, GL_LUMINANCE, GL_FLOAT, nullptr);
        glTexParameteri(GL_TEXTURE_1D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
        glTexParameteri(GL_TEXTURE_1D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
        glTexParameteri(GL_TEXTURE_1D, GL_TEXTURE_WRAP_S, KEL_GL_CLAMP_TO_EDGE);
    }
    glBindTexture(GL_TEXTURE_1D, 0);
    if (glGetError() != GL_NO_ERROR) {
        kel_log(KEL_LOG_WARNING, "the light tables' textures could not be made; light is computed by the light programs");
        releaseTableProgram();
    }
}

void kel_opengl::releaseTableProgram()
{
    if (m_tableProgram && DeleteProgramsARB)
        DeleteProgramsARB(1, &m_tableProgram);
    m_tableProgram = 0;
    if (m_tableTextures[0])
        glDeleteTextures(3, m_tableTextures);
    for (GLuint& t : m_tableTextures)
        t = 0;
    m_tablesFilled = false;
}

// The tables for `p` in their textures, unless they hold them already.
void kel_opengl::fillTables(const light_params& p)
{
    if (m_tablesFilled && m_tablesFor == p)
        return;
    make_light_lut(p, m_lut.get());
    const float* const tables[3] = {m_lut->decode, m_lut->gain, m_lut->encode};
    glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
    for (int i = 0; i < 3; ++i) {
        glBindTexture(GL_TEXTURE_1D, m_tableTextures[i]);
        glTexSubImage1D(GL_TEXTURE_1D, 0, 0, kLightLutEntries, GL_LUMINANCE, GL_FLOAT, tables[i]);
    }
    glBindTexture(GL_TEXTURE_1D, 0);
    m_tablesFor = p;
    m_tablesFilled = true;
}

void kel_opengl::releaseGL()
{
    glFinish();
    glFlush();
    glClear(GL_COLOR_BUFFER_BIT);
    glDeleteTextures(3, texture[0]);
    releaseOverlays();
    if (program != 0 && DeleteProgramsARB) {
        DeleteProgramsARB(1, &program);
        program = 0;
    }
    for (auto& row : m_lightPrograms)
        for (GLuint& p : row) {
            if (p && DeleteProgramsARB)
                DeleteProgramsARB(1, &p);
            p = 0;
        }
    releaseTableProgram();
    // A context made later (a re-created window) starts from nothing.
    for (int j = 0; j < 3; ++j) {
        texture[0][j] = 0;
        tex_width[j] = tex_height[j] = 0;
    }
    m_plan = frame_plan{};
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
