// kel_direct3d: draws one frame, planar YUV 4:2:0 or packed RGB, over the whole client area of
// a window through Direct3D 9, and brings a lost device back. Constructed and destroyed on the
// host's thread; every other call runs on the instance's render thread, which owns the device.
#ifndef KEL_VOUT_KEL_DIRECT3D_H
#define KEL_VOUT_KEL_DIRECT3D_H

#include <windows.h>

#include <atomic>
#include <cstdint>

#include <vector>

#include "frame_pack.h"
#include "kel_vout_global.h"

struct IDirect3D9;
struct IDirect3DDevice9;
struct IDirect3DSurface9;
struct IDirect3DTexture9;
struct IDirect3DPixelShader9;

class kel_direct3d {
public:
    // YUV frames go into three luminance textures that a pixel shader converts with the frame's
    // own matrix and range (the same conversion as the OpenGL backend). On a device without
    // pixel shaders 2.0 (or a frame beyond its textures) BT.601 limited-range frames of the older
    // pushes go into a YV12 surface that the driver converts, and other YUV frames are converted
    // on the processor. RGB frames go through an X8R8G8B8 surface. `format` is what frames are
    // until initializeD3D is told otherwise.
    explicit kel_direct3d(SOURCE_FORMAT format = VOUT_YUV420);
    kel_direct3d(const kel_direct3d&) = delete;
    kel_direct3d& operator=(const kel_direct3d&) = delete;

    // Makes the renderer ready for frames of lWidth x lHeight presented into presentWnd: the
    // Direct3D object and a device whose back buffer has the window's client size (both made once
    // and kept while they work) and an off-screen surface of the frame's size, made anew. False
    // when one of them cannot be made; painting then retries now and then, without the caller.
    bool initializeD3D(HWND presentWnd, long lWidth, long lHeight);
    // The same for frames of `shape` (their format, chroma size and colours).
    bool initializeD3D(HWND presentWnd, long lWidth, long lHeight, const frame_shape& shape);
    // The window's client size changed: the back buffer takes it (a device reset; the surface is
    // made again and filled by the next paint). A move needs nothing.
    bool resizeD3D();
    // Releases the surface, the device and the Direct3D object, in that order. Idempotent.
    void releaseD3D();

    // Tightly packed planes: Y pix_width x pix_height, U and V (pix_width/2) x (pix_height/2).
    // Copies the frame into the surface when `upload` (or when the surface is new), then draws it
    // into the back buffer (DrawImage). pix_width x pix_height must be the size of the last
    // initializeD3D; other frames are skipped. bufSize, width and height are not read.
    void paintD3D(unsigned char* ybuf, unsigned char* ubuf, unsigned char* vbuf, int bufSize, int width,
                  int height, int pix_width, int pix_height, bool upload = true);
    // Packed RGB, 3 bytes per pixel, rows starting at multiples of 4 bytes, top row first.
    void paintD3D(unsigned char* rgb, int bufSize, int width, int height, int pix_width, int pix_height,
                  bool upload = true);
    // A frame packed as `shape` says (the shape of the last initializeD3D), from buf.
    void paintFrame(const uint8_t* buf, const frame_shape& shape, int pix_width, int pix_height, bool upload);
    // Clears the back buffer and stretches the surface over it.
    void DrawImage();
    // Presents what DrawImage drew; notes a lost device. Nothing when nothing was drawn. True
    // when a picture was presented.
    bool presentD3D();
    // paintD3D from one buffer holding Y, U and V back to back, at the surface's size.
    void SetYUVbuffer(LPBYTE pBuffer, long lLen);

    // Copies the back buffer's top-left width x height pixels into dst as packed RGB rows of
    // width * 3 bytes, top row first. Only between drawing and presenting.
    void readBack(uint8_t* dst, int width, int height);

    // How often a lost or failed device was brought back since construction.
    int recoveries() const { return m_recoveries.load(); }
    // Resets for a new window size and devices made again or reset after a loss, since
    // construction.
    uint64_t resets() const { return uint64_t(m_recoveries.load()) + uint64_t(m_sizeResets.load()); }
    // True while a lost or failed device waits to be brought back.
    bool recovering() const { return m_lost || m_rebuild; }
    // True while YUV frames are converted by our pixel shader (false: by the driver).
    bool convertsWithShader() const { return m_useShader; }

    // Devices of this renderer class made and not yet destroyed, in the whole process.
    static int live_devices();

    // Test seam: false makes new devices take the driver's YV12 conversion, as on a device
    // without pixel shaders.
    static void set_shader_allowed_for_testing(bool allowed);

    // Test seam: sees each checked result on the render thread, with the device it came from,
    // and returns the result the renderer acts on. Null restores the real results.
    enum class checked_call { create_device, present, test_cooperative_level, reset };
    typedef HRESULT (*result_hook)(checked_call call, IDirect3DDevice9* device, HRESULT hr);
    static void set_result_hook_for_testing(result_hook hook);

private:
    HRESULT checked(checked_call call, HRESULT hr);
    void chooseConversion();
    bool backBufferFitsWindow();
    bool createSurface();
    void releaseFrameResources();
    bool uploadPlanes(const uint8_t* ybuf, const uint8_t* ubuf, const uint8_t* vbuf, int pix_width, int pix_height);
    bool uploadSurface(const uint8_t* y, const uint8_t* u, const uint8_t* v, int pix_width, int pix_height);
    void paint(const uint8_t* y, const uint8_t* u, const uint8_t* v, const frame_shape& shape, int pix_width,
               int pix_height, bool upload);
    bool initializeDevice(HWND presentWnd, long lWidth, long lHeight);
    bool yv12Allowed() const;
    void drawPlanes(IDirect3DSurface9* back);
    bool readyToDraw();
    bool resetDevice();
    HRESULT resetBackBuffer();
    void scheduleRebuild();
    bool due() const;
    void retryIn(DWORD ms);

    int m_nWidth;
    int m_nHeight;
    IDirect3D9* m_pD3D;
    IDirect3DDevice9* m_pd3dDevice;
    IDirect3DSurface9* m_pd3dSurface;   // the frame drawn
    IDirect3DSurface9* m_spareSurface;  // the next frame's, while the device may read the other
    RECT m_rtViewport;
    HWND m_PresentWnd;

    int m_surfaceWidth;  // the surface may be larger than the frame (yv12_surface_size)
    int m_surfaceHeight;
    RECT m_rtSource;  // the frame within the surface
    bool m_rgb;       // frames are packed RGB (m_shape's format)
    frame_shape m_shape;  // how frames are laid out, and their colours
    float m_matrix[4][4];  // the shader's constants for m_shape's colours
    std::vector<uint8_t> m_converted;  // a YUV frame converted on the processor
    bool m_lost;      // the device is lost: ask again when due, reset once it may be
    bool m_rebuild;   // no usable device: build everything again when due
    bool m_shaderCapable;  // the device runs our pixel shader on luminance textures
    int m_maxTexture[2];   // its largest texture
    bool m_useShader;      // the current frame size goes through the plane textures and m_shader
    IDirect3DPixelShader9* m_shader;
    IDirect3DTexture9* m_planes[3];  // Y, U, V (D3DFMT_L8)
    float m_chromaExtent[2];         // chroma texture coordinates of the picture's right and bottom edges
    bool m_surfaceFresh;  // the surface (or the plane textures) holds no frame yet
    bool m_drawn;         // the back buffer holds a picture not yet presented
    DWORD m_retryAt;  // tick count of the next recovery attempt
    std::atomic<int> m_recoveries;
    std::atomic<int> m_sizeResets;
};

typedef kel_direct3d KEL_D3D;

#endif
