// kel_direct3d: draws one frame, planar YUV 4:2:0 or packed RGB, over the whole client area of
// a window through Direct3D 9, as a frame plan says, and brings a lost device back. Constructed
// and destroyed on the host's thread; every other call runs on the instance's render thread,
// which owns the device.
#ifndef KEL_VOUT_KEL_DIRECT3D_H
#define KEL_VOUT_KEL_DIRECT3D_H

#include <windows.h>

#include <atomic>
#include <cstdint>

#include <memory>
#include <vector>

#include "frame_plan.h"
#include "overlay.h"

struct IDirect3D9;
struct IDirect3DDevice9;
struct IDirect3DSurface9;
struct IDirect3DTexture9;
struct IDirect3DPixelShader9;

class kel_direct3d {
public:
    // YUV frames go into three luminance textures that a pixel shader converts with the frame's
    // own matrix and range (the same conversion as the other backends). On a device without
    // pixel shaders 2.0 (or a frame beyond its textures) BT.601 limited-range frames of the older
    // pushes go into a YV12 surface that the driver converts into the picture texture, and other
    // YUV frames are converted on the processor into it. RGB frames go into that X8R8G8B8 texture.
    // Every route draws one quad with the plan's corners.
    kel_direct3d();
    kel_direct3d(const kel_direct3d&) = delete;
    kel_direct3d& operator=(const kel_direct3d&) = delete;

    // Makes the Direct3D object and a device presenting into presentWnd, its back buffer at the
    // window's client size, unless it was made for that window already. False when either
    // cannot be made; readyD3D then tries again now and then.
    bool initializeD3D(HWND presentWnd);
    // Whether a frame may be drawn now. A device can be lost at any moment (a locked session,
    // another program taking the screen) and some drivers do not survive drawing on one that is,
    // so every paint asks first; a lost or failed device is brought back when it is time to try.
    bool readyD3D();
    // What this device offers the frame plan, and the back buffer's size.
    renderer_caps caps() const;
    void backBufferSize(int* width, int* height) const;
    // The window's client size changed: the back buffer takes it (a device reset; the frame's
    // resources are made again and filled by the next paint). A move needs nothing.
    bool resizeD3D();
    // Releases the frame's resources, the device and the Direct3D object, in that order.
    // Idempotent.
    void releaseD3D();

    // Makes the resources `plan` names when they are not those of the last paint, copies the
    // frame in buf into them when `upload` (or when they hold nothing yet), then draws it into the
    // back buffer (DrawImage).
    void paintD3D(const uint8_t* buf, const frame_plan& plan, bool upload);
    // paintD3D of one buffer holding a tightly packed 4:2:0 frame of the last frame size (Y, U
    // and V of (w/2) x (h/2) back to back), as the older pushes pack them.
    void SetYUVbuffer(LPBYTE pBuffer, long lLen);
    // Clears the back buffer and draws the frame's resources over it as the last plan says: one
    // quad with the plan's texture coordinates (the crop, mirrored and turned).
    void DrawImage();
    // Presents what DrawImage drew; notes a lost device. Nothing when nothing was drawn. True
    // when a picture was presented.
    bool presentD3D();

    // Copies the back buffer's top-left width x height pixels into dst as packed RGB rows of
    // width * 3 bytes, top row first. Only between drawing and presenting.
    void readBack(uint8_t* dst, int width, int height);

    // How often a lost or failed device was brought back since construction.
    int recoveries() const { return m_recoveries.load(); }
    // Resets for a new window size and devices made again or reset after a loss, since
    // construction.
    uint64_t resets() const { return uint64_t(m_recoveries.load()) + uint64_t(m_sizeResets.load()); }
    // True while a lost or failed device waits to be brought back.
    bool recovering() const
    {
        return m_device == device_tier::lost || m_device == device_tier::failed || m_frameFailed;
    }
    // True while YUV frames are converted by our pixel shader (false: by the driver or the
    // processor).
    bool convertsWithShader() const { return m_frame.texture_count > 0 && m_frame.route == draw_route::planes; }
    // True when the last frame's light was converted by the light shader.
    bool lightOnGpu() const
    {
        return convertsWithShader() && m_frame.light.converts() && m_lightShader && m_lutFilled;
    }

    // Devices of this renderer class made and not yet destroyed, in the whole process.
    static int live_devices();

    // Test seam: false makes new devices take the driver's YV12 conversion, as on a device
    // without pixel shaders.
    static void set_shader_allowed_for_testing(bool allowed);
    // Test seam: true makes writing the light shader's tables fail, as a lock without memory.
    static void set_light_tables_fail_for_testing(bool fail);

    // Test seam: sees each checked result on the render thread, with the device it came from,
    // and returns the result the renderer acts on. Null restores the real results.
    enum class checked_call { create_device, present, test_cooperative_level, reset };
    typedef HRESULT (*result_hook)(checked_call call, IDirect3DDevice9* device, HRESULT hr);
    static void set_result_hook_for_testing(result_hook hook);

private:
    // Recovery comes in tiers: the device (made, lost, failed), the back buffer's size (a reset
    // for the window's size) and the frame's resources (made for one plan, filled or not).
    enum class device_tier {
        none,     // not made yet, or released
        working,  // draws
        lost,     // lost: asked again when due, reset once it may be
        failed,   // of no further use: made anew when due
    };

    HRESULT checked(checked_call call, HRESULT hr);
    bool makeDevice();
    void chooseConversion();
    void makeLightShader(uint32_t display_format);
    void releaseLightShader();
    bool fillLightTables(const light_params& p);
    bool backBufferFitsWindow();
    bool resetDevice();
    HRESULT resetBackBuffer();
    void scheduleRebuild();
    bool due() const;
    void retryIn(DWORD ms);
    bool makeFrameResources(const frame_plan& plan);
    frame_plan withoutShader(const frame_plan& plan) const;
    frame_plan replanned(const frame_plan& plan) const;
    bool withoutDriverYv12(const frame_plan& plan, const char* what, HRESULT hr);
    void releaseFrameResources();
    bool uploadPlanes(const uint8_t* buf, const frame_plan& plan);
    bool uploadYv12(const uint8_t* buf, const frame_plan& plan);
    bool uploadPicture(const uint8_t* buf, const frame_plan& plan);
    void drawQuad();
    bool uploadOverlay(const plan_quad& q);
    void drawOverlays();
    void releaseOverlays();

    int m_nWidth;   // the frame's size, as its resources were made for it
    int m_nHeight;
    IDirect3D9* m_pD3D;
    IDirect3DDevice9* m_pd3dDevice;
    IDirect3DSurface9* m_pd3dSurface;   // yv12 route: the YV12 frame the driver converts
    IDirect3DSurface9* m_spareSurface;  // the next frame's, while the device may read the other
    RECT m_rtViewport;  // where the picture is drawn: the back buffer
    HWND m_PresentWnd;

    device_tier m_device;
    DWORD m_retryAt;  // tick count of the next attempt to bring the device back
    int m_backBuffer[2];   // the back buffer's size
    bool m_shaderCapable;  // the device runs our pixel shader on luminance textures
    bool m_l16;            // and has 16-bit ones, for 10-bit planes
    int m_maxTexture[2];   // its largest texture
    IDirect3DPixelShader9* m_shader;
    IDirect3DTexture9* m_ditherPattern;  // the shader's 4 x 4 dither thresholds
    IDirect3DPixelShader9* m_lightShader;  // the YUV shader with light (none: the processor converts it)
    IDirect3DTexture9* m_lightTables[3];   // its tables: decoding, gain, encoding
    bool m_lutHalf;                        // theirs are R16F (else R32F)
    bool m_lutFilled;                      // they hold m_lutFor's
    DWORD m_lutRetryDelay;   // 0, or the last write failed: kRebuildMs, doubled after each failure
                             // in a row up to a minute; tried again at m_lutRetryAt
    ULONGLONG m_lutRetryAt;  // (GetTickCount64)
    light_params m_lutFor;
    std::unique_ptr<light_lut> m_lut;
    frame_plan m_frame;  // what the frame's resources were made for (texture_count 0: none)
    bool m_frameFilled;  // they hold a frame
    frame_plan m_noPlanes;  // plane textures this device could not make (texture_count 0: none)
    bool m_noYv12;          // the driver's YV12 conversion failed on this device: the processor converts
    bool m_frameFailed;     // the last frame's resources could not be made: tried again when due
    DWORD m_frameRetryAt;
    IDirect3DTexture9* m_planes[3];    // planes route: Y, U, V (D3DFMT_L8)
    IDirect3DTexture9* m_picture;      // rgb and yv12 routes: the picture (D3DFMT_X8R8G8B8)
    bool m_pow2Only;                   // the device takes textures at powers of two only
    bool m_dynamicTextures;            // it has dynamic textures
    std::vector<uint8_t> m_converted;  // a YUV frame converted on the processor
    light_tables m_light;              // for converting an HDR frame's light there
    std::vector<uint8_t> m_scaled;     // a picture reduced to the largest texture
    // Each overlay id's texture, with the serial of the bitmap it holds.
    IDirect3DTexture9* m_overlayTex[kMaxOverlays] = {};
    uint64_t m_overlaySerial[kMaxOverlays] = {};
    uint64_t m_overlayFailed[kMaxOverlays] = {};  // a serial whose texture could not be made
    bool m_drawn;  // the back buffer holds a picture not yet presented
    std::atomic<int> m_recoveries;
    std::atomic<int> m_sizeResets;
};

typedef kel_direct3d KEL_D3D;

#endif
