// kel_opengl: draws one frame, packed RGB or planar YUV 4:2:0, over the whole viewport of the
// current OpenGL context. Constructed and destroyed on the host's thread; every other call runs
// on the instance's render thread with the instance's context current.
#ifndef KEL_VOUT_KEL_OPENGL_H
#define KEL_VOUT_KEL_OPENGL_H

#include <windows.h>

#include <GL/gl.h>

#include <cstdint>
#include <vector>

#include "OpenGL/include/GL/kel_glext.h"
#include "yuv_convert.h"

class kel_opengl {
public:
    kel_opengl();
    ~kel_opengl();
    kel_opengl(const kel_opengl&) = delete;
    kel_opengl& operator=(const kel_opengl&) = delete;

    void initializeGL();
    void resizeGL(int width, int height);
    // Packed RGB, 3 bytes per pixel, rows starting at multiples of 4 bytes, top row first.
    // bufSize, width and height are not read (the viewport is resizeGL's).
    void paintGL(unsigned char* rgba, int bufSize, int width, int height, int pix_width, int pix_height);
    // Tightly packed planes: Y pix_width x pix_height, U and V (pix_width/2) x (pix_height/2).
    // An odd last column or row takes the chroma next to it; a frame 1 pixel wide or high,
    // which has no chroma, shows grey.
    void paintGL(unsigned char* ybuf, unsigned char* ubuf, unsigned char* vbuf, int bufSize, int width, int height,
                 int pix_width, int pix_height);
    // Tightly packed planes of any 4:2:0 frame: Y pix_width x pix_height, U and V
    // chroma_width x chroma_height (0: no chroma, grey), converted with k.
    void paintYuv(const uint8_t* ybuf, const uint8_t* ubuf, const uint8_t* vbuf, int chroma_width, int chroma_height,
                  const yuv_coefficients& k, int pix_width, int pix_height);
    // Packed RGB rows `stride` bytes apart, top row first: R, G, B, or with `bgra` B, G, R, A
    // (alpha ignored).
    void paintRgb(const uint8_t* pixels, size_t stride, bool bgra, int pix_width, int pix_height);
    // Draws the picture of the last paint again, from the textures (nothing is uploaded).
    void repaintGL();
    void releaseGL();

    // Reads the back buffer's lower-left width x height pixels into dst as packed RGB rows of
    // width * 3 bytes, top row first.
    void readBack(uint8_t* dst, int width, int height);

    // True when YUV frames are converted by the fragment program (else on the processor).
    bool convertsOnGpu() const { return use_multitexture && program != 0 && m_npot; }
    // True when textures are made at powers of two (contexts without non-power-of-two textures).
    bool powerOfTwoTextures() const { return !m_npot; }
    // The largest texture side this renderer uses.
    int maxTextureSize() const { return m_maxTexture; }

    // Test seam: caps the largest texture side below what the context offers (0: no cap), to
    // show the reduction of large pictures that a small software context needs.
    static void set_texture_limit_for_testing(int max_size);

    bool reloaded;

private:
    enum class drawn { nothing, planes, rgb };
    struct tex_extent {
        float s, t;  // texture coordinates of the picture's right and bottom edges
    };

    void applyTextureParameters();
    void bindTextures();
    void uploadPlanes(const uint8_t* ybuf, const uint8_t* ubuf, const uint8_t* vbuf, int cw, int ch, int pix_width,
                      int pix_height);
    void uploadRgb(const uint8_t* rgb, int pix_width, int pix_height, size_t row_bytes, bool bgra = false);
    void setMatrix(const yuv_coefficients& k);
    void drawPlanes();
    void drawRgb();

    int tex_width[5];
    int tex_height[5];
    unsigned int texture[1][5];
    GLuint program;
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
    int m_maxTexture;   // the largest texture side, GL_MAX_TEXTURE_SIZE (capped for tests)
    drawn m_drawn;      // what the textures hold
    tex_extent m_extent[3];
    std::vector<uint8_t> m_rgb;     // processor-converted YUV frame, when the GPU cannot convert
    std::vector<uint8_t> m_scaled;  // a picture reduced to the texture limit
};

typedef kel_opengl KEL_OPENGL;

#endif
