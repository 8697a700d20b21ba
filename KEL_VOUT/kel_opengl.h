// kel_opengl: draws one frame, packed RGB or planar YUV 4:2:0, over the whole viewport of the
// current OpenGL context. Constructed and destroyed on the host's thread; every other call runs
// on the instance's render thread with the instance's context current.
#ifndef KEL_VOUT_KEL_OPENGL_H
#define KEL_VOUT_KEL_OPENGL_H

#include <windows.h>

#include <GL/gl.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "OpenGL/include/GL/kel_glext.h"
#include "frame_plan.h"
#include "overlay.h"

class kel_opengl {
public:
    kel_opengl();
    ~kel_opengl();
    kel_opengl(const kel_opengl&) = delete;
    kel_opengl& operator=(const kel_opengl&) = delete;

    void initializeGL();
    void resizeGL(int width, int height);
    // What this context offers the frame plan.
    renderer_caps caps() const;
    // Draws the picture in buf as `plan` says over the plan's target (the viewport). Uploads it
    // when `upload` (a new frame), or when the plan needs other textures than the last one or the
    // context is new (`reloaded`); otherwise draws the textures again.
    void paintGL(const uint8_t* buf, const frame_plan& plan, bool upload);
    void releaseGL();

    // Reads the back buffer's lower-left width x height pixels into dst as packed RGB rows of
    // width * 3 bytes, top row first.
    void readBack(uint8_t* dst, int width, int height);

    // True when YUV frames are converted by the fragment program (else on the processor).
    bool convertsOnGpu() const { return use_multitexture && program != 0 && m_npot; }
    // The frame drawn last had its light converted by a program (not the processor).
    bool lightOnGpu() const
    {
        return m_plan.route == draw_route::planes && m_plan.light.converts() && (m_tableProgram || !m_lightFailed);
    }
    // And from the light tables (else by a light program's arithmetic).
    bool lightFromTables() const { return lightOnGpu() && m_tableProgram && m_tablesFilled; }
    // True when textures are made at powers of two (contexts without non-power-of-two textures).
    bool powerOfTwoTextures() const { return !m_npot; }
    // The largest texture side this renderer uses.
    int maxTextureSize() const { return m_maxTexture; }

    // Test seam: caps the largest texture side below what the context offers (0: no cap), to
    // show the reduction of large pictures that a small software context needs.
    static void set_texture_limit_for_testing(int max_size);

    bool reloaded;

private:
    // A plane as it goes into its texture.
    struct PIX_SIZE {
        const uint8_t* buf;
        int width;
        int height;
    };

    void applyTextureParameters();
    bool uploadPlanes(const uint8_t* buf, const frame_plan& plan, bool remake);
    static bool keepsSixteenBits();
    bool uploadPicture(const uint8_t* buf, const frame_plan& plan, bool remake);
    void drawPlan();
    bool uploadOverlay(const plan_quad& q);
    void drawOverlays(const frame_plan& plan);
    void releaseOverlays();

    int tex_width[5];
    int tex_height[5];
    unsigned int texture[1][5];
    GLuint program;
    // The programs with light and dither, made when first needed: [decoding][curve + 1].
    GLuint m_lightPrograms[4][4];
    bool m_lightFailed;  // one was refused: light is converted from the tables, or on the processor
    GLuint lightProgram(int decoding, int curve);
    GLuint compileProgram(const char* code, size_t length, const char* what);
    // The program with light from tables, and the tables (none: the light programs compute it).
    GLuint m_tableProgram;
    GLuint m_tableTextures[3];
    bool m_tablesFilled;  // they hold m_tablesFor's
    light_params m_tablesFor;
    std::unique_ptr<light_lut> m_lut;
    void makeTableProgram();
    void releaseTableProgram();
    void fillTables(const light_params& p);
    int local_count;
    float local_value[16][4];
    PFNKELGENPROGRAMSARBPROC GenProgramsARB;
    PFNKELBINDPROGRAMARBPROC BindProgramARB;
    PFNKELPROGRAMSTRINGARBPROC ProgramStringARB;
    PFNKELDELETEPROGRAMSARBPROC DeleteProgramsARB;
    PFNKELPROGRAMLOCALPARAMETER4FVARBPROC ProgramLocalParameter4fvARB;
    bool use_multitexture;
    PFNKELACTIVETEXTUREARBPROC ActiveTextureARB;
    PFNKELMULTITEXCOORD2FARBPROC MultiTexCoord2fARB;

    bool m_npot;        // the context takes textures of any size
    bool m_bgra;        // the context takes B, G, R, A pixels (OpenGL 1.2, GL_EXT_bgra)
    bool m_l16;         // its 16-bit luminance textures keep 16 bits (10-bit planes go in them)
    int m_maxTexture;   // the largest texture side, GL_MAX_TEXTURE_SIZE (capped for tests)
    frame_plan m_plan;  // what the textures hold (no textures: texture_count 0)
    std::vector<uint8_t> m_rgb;     // processor-converted YUV frame, when the GPU cannot convert
    light_tables m_light;           // for converting an HDR frame's light there
    std::vector<uint8_t> m_scaled;  // a picture reduced to the texture limit
    // Each overlay id's texture, with the serial and texture size of the bitmap it holds.
    GLuint m_overlayTex[kMaxOverlays];
    uint64_t m_overlaySerial[kMaxOverlays];
    std::vector<uint8_t> m_overlayPixels;  // a bitmap as RGBA, or padded to its texture
};

typedef kel_opengl KEL_OPENGL;

#endif
