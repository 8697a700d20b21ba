// kel_direct3d11: draws one frame, planar YUV 4:2:0 or packed RGB, over the whole client area of
// a window through Direct3D 11 and a flip-model DXGI swap chain, and makes everything anew after
// a removed or reset device. Constructed and destroyed on the host's thread; every other call
// runs on the instance's render thread, which owns the device.
#ifndef KEL_VOUT_KEL_DIRECT3D11_H
#define KEL_VOUT_KEL_DIRECT3D11_H

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "frame_plan.h"
#include "overlay.h"

struct ID3D11Device;
struct ID3D11DeviceContext;
struct ID3D11RenderTargetView;
struct ID3D11Texture2D;
struct ID3D11ShaderResourceView;
struct ID3D11VertexShader;
struct ID3D11PixelShader;
struct ID3D11InputLayout;
struct ID3D11Buffer;
struct ID3D11SamplerState;
struct ID3D11Query;
struct ID3D11BlendState;
struct IDXGISwapChain;

class kel_direct3d11 {
public:
    // YUV frames go into three R8 textures (Y, U, V) that one pixel shader converts with the
    // frame's matrix and range; RGB frames into one B8G8R8A8 texture. Both are sampled bilinearly
    // over the plan's target, the whole back buffer.
    kel_direct3d11();
    ~kel_direct3d11();
    kel_direct3d11(const kel_direct3d11&) = delete;
    kel_direct3d11& operator=(const kel_direct3d11&) = delete;

    // Loads Direct3D 11 and takes the shaders (compiled by the system's compiler on the
    // process's first call, shared afterwards). False, with the reason logged, where either is
    // missing: nothing can be drawn then.
    bool loadShaders();
    // Makes the device and the swap chain on wnd (both kept while they work), unless they were
    // made for that window already. False when something cannot be made; readyD3D11 then tries
    // again now and then, on its own.
    bool initializeD3D11(HWND wnd);
    // Whether a frame may be drawn now: a removed or failed device is made again when it is time.
    bool readyD3D11();
    // What this device offers the frame plan, and the back buffer's size.
    renderer_caps caps() const;
    void backBufferSize(int* width, int* height) const;
    // The window's client size changed: the swap chain's buffers take it. A move needs nothing.
    void resizeD3D11();
    // Releases everything, the device last. Idempotent.
    void releaseD3D11();

    // Makes the textures `plan` names when they are not those of the last paint, uploads the
    // frame in buf into them (when `upload`, or when they hold nothing yet) and draws it into the
    // back buffer.
    void paintD3D11(const uint8_t* buf, const frame_plan& plan, bool upload);
    // Presents what paintD3D11 drew; true when a picture went to the screen. A removed device is
    // made again when readyD3D11 is next asked.
    bool presentD3D11();
    // Copies the back buffer's top-left width x height pixels into dst as packed RGB rows of
    // width * 3 bytes, top row first. Only between paint and present.
    void readBack(uint8_t* dst, int width, int height);

    // Swap-chain resizes and devices made again since construction.
    uint64_t resets() const { return m_resets.load(); }
    // True while a removed or failed device waits to be made again.
    bool recovering() const { return m_rebuild; }
    // The frame drawn last had its light converted by the shader (not the processor).
    bool lightOnGpu() const
    {
        return m_frame.route == draw_route::planes && m_frame.light.converts() && m_psLight && m_tablesFilled;
    }

    // Test seam: sees each checked result on the render thread and returns the one the renderer
    // acts on (Wine cannot remove a device). create_swap_chain is asked before each attempt,
    // with S_OK: a failure it returns skips the attempt as the system's refusal. Null restores
    // the real results.
    enum class checked_call { create_device, create_swap_chain, present, resize_buffers };
    typedef HRESULT (*result_hook)(checked_call call, HRESULT hr);
    static void set_result_hook_for_testing(result_hook hook);
    // Devices of this renderer class made and not yet destroyed, in the whole process.
    static int live_devices();
    // Test seam: the only compiler DLL tried, the process's compiled shaders left aside (null
    // restores both).
    static void set_compiler_for_testing(const char* dll);

private:
    HRESULT checked(checked_call call, HRESULT hr);
    bool make_device();
    bool make_swap_chain();
    bool make_target();
    bool make_textures(const frame_plan& plan);
    void release_textures();
    void release_device();
    void schedule_rebuild(const char* why, HRESULT hr);
    bool upload(const uint8_t* buf);
    bool update_quad();
    void draw();
    void make_light_shaders();
    void release_light_shaders();
    ID3D11PixelShader* pixel_shader() const;
    bool fill_light_tables();
    bool upload_overlay(const plan_quad& q);
    void draw_overlays(const frame_plan& plan);
    void release_overlays();
    void wait_for_frame_latency();
    void wait_for_last_present();

    HWND m_wnd = nullptr;
    frame_plan m_frame{};  // what the textures were made for (texture_count 0: none) and hold

    ID3D11Device* m_device = nullptr;
    ID3D11DeviceContext* m_context = nullptr;
    IDXGISwapChain* m_swap = nullptr;
    UINT m_swapFlags = 0;      // the flags the swap chain was made with (ResizeBuffers keeps them)
    HANDLE m_latency = nullptr;  // the swap chain's frame-latency waitable object, if it has one
    ID3D11Query* m_presentDone = nullptr;  // signalled once the device has done the last present
    bool m_presentPending = false;         // m_presentDone was issued after a present
    ID3D11RenderTargetView* m_target = nullptr;
    int m_targetWidth = 0;
    int m_targetHeight = 0;
    ID3D11VertexShader* m_vs = nullptr;
    ID3D11PixelShader* m_psYuv = nullptr;
    ID3D11PixelShader* m_psLight = nullptr;   // YUV with light (from the tables) and dither
    ID3D11PixelShader* m_psDither = nullptr;  // YUV with dither
    ID3D11PixelShader* m_boundShader = nullptr;
    ID3D11Texture2D* m_tables[3] = {};  // the light tables: decoding, gains, encoding
    ID3D11ShaderResourceView* m_tableViews[3] = {};
    bool m_tablesHalf = false;    // R16_FLOAT (else R32_FLOAT)
    bool m_tablesFilled = false;  // they hold m_tablesFor's
    light_params m_tablesFor;
    std::unique_ptr<light_lut> m_lut{new light_lut()};
    ID3D11PixelShader* m_psRgb = nullptr;
    ID3D11InputLayout* m_layout = nullptr;
    ID3D11Buffer* m_quad = nullptr;  // four quad_vertex, rewritten when the plan's quad changes
    ID3D11Buffer* m_cbuffer = nullptr;
    ID3D11SamplerState* m_sampler = nullptr;
    ID3D11Texture2D* m_planes[3] = {};  // Y, U, V (R8), or the RGB picture alone (B8G8R8A8)
    ID3D11ShaderResourceView* m_views[3] = {};
    ID3D11PixelShader* m_psOverlay = nullptr;
    ID3D11Buffer* m_overlayQuads = nullptr;  // four quad_vertex per overlay quad of a paint
    ID3D11BlendState* m_blend = nullptr;     // premultiplied: ONE, INV_SRC_ALPHA
    // Each overlay id's texture and view, with the serial of the bitmap it holds.
    ID3D11Texture2D* m_overlayTex[kMaxOverlays] = {};
    ID3D11ShaderResourceView* m_overlayViews[kMaxOverlays] = {};
    uint64_t m_overlaySerial[kMaxOverlays] = {};
    uint64_t m_overlayFailed[kMaxOverlays] = {};  // a serial whose texture could not be made
    std::vector<uint8_t> m_converted;  // a YUV frame converted on the processor (light the shader cannot)
    light_tables m_light;              // for that conversion
    std::vector<uint8_t> m_code[6];  // compiled vertex, YUV, RGB, overlay, light and dither shaders, kept across devices
    const char* m_compiler = "";     // the system DLL that compiled them

    bool m_fresh = false;   // the textures hold no frame yet
    bool m_stateDirty = true;      // the pipeline's state must be bound again
    bool m_constantsDirty = true;  // the plan's constants must go to the constant buffer
    bool m_quadDirty = true;       // the plan's target or texture coordinates must go to the quad
    bool m_drawn = false;   // the back buffer holds a picture not yet presented
    bool m_rebuild = false; // no usable device: everything is made again when due
    DWORD m_retryAt = 0;    // tick count of the next attempt
    bool m_everMade = false;
    std::atomic<uint64_t> m_resets{0};
};

#endif
