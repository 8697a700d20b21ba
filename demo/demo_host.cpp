// kel_vout demo host: a small Windows program that opens a window, creates a video output in
// it and plays a generated test pattern, a .y4m file or a YUV4MPEG2 stream on standard input
// (scripts/demo.sh pipes any video through ffmpeg) through it, and saves snapshots of what the
// library presented.
//
//   demo_host.exe [--d3d | --d3d11] [--untimed] [--frame-export] [--bt709|--bt2020] [--full-range]
//                 [--walk] [--rotate DEGREES] [--seconds N] [--out DIR] [--no-overlays]
//                 [--transfer pq|hlg] [--primaries bt2020] [--peak CD_M2]
//                 [--subtitles PATH W H RATE] [file.y4m | -]
// Frames are pushed ahead with their times through kel_vout_put_frame_ex, and the library shows
// each at its time on its clock (started by the first frame, steered by kel_vout_set_clock for
// pause and speed). --untimed paces the pushes here instead: the older planar push, or with
// --frame-export kel_vout_put_frame. Colours: BT.601 limited range unless told otherwise (a
// stream's XCOLORRANGE=FULL says full range). --walk walks the four aspect modes and a resize
// (the default for the pattern).
// --rotate shows the frames turned clockwise (a phone's clip stored landscape); a stream's
// sample aspect ratio (its A token) is shown as such. --seconds 0 plays to the end. In the
// window: 1-4 aspect modes, r rotate, h and v mirror, a the aspect override (off, 4:3, 16:9, 1.85,
// 2.39), space pause, + and - speed (0.25 to 4 times), t the tone curve (BT.2390, Hable, clip) of
// an HDR stream, s snapshot, q quit; the title shows the frame rate, the frames dropped and late
// and the timing error, from the library's statistics.
//
// Overlays: an on-screen display (the playing time, the aspect mode as it changes, a pause sign)
// and subtitles, drawn by the library over the video: with --subtitles, canvases of W x H B, G,
// R, A that ffmpeg's subtitle filter rendered, RATE a second (scripts/demo.sh makes them for a
// file with a text subtitle stream); otherwise captions of the demo's own, at their times.
// --no-overlays shows none.
//
// 10-bit streams (C420p10) are pushed as I010 with their light: --transfer pq or hlg (SMPTE ST
// 2084, ARIB STD-B67), --primaries bt2020 and --peak, the mastering display's peak in cd/m2;
// the library tone-maps them for this SDR display.
//
// Read it as an example: everything a host needs is in main() and play().
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "kel_vout.h"

namespace {

const int kWidth = 1280;
const int kHeight = 720;

// ---- The host window ---------------------------------------------------------------------

// What the keys asked for since the player last looked (the window's thread only).
struct Keys {
    int mode = -1;  // 0..3: an aspect mode
    bool rotate = false;
    int mirror = 0;  // KEL_VOUT_FLIP_H or _V to toggle
    bool aspect = false;
    bool pause = false;
    int speed = 0;  // +1 faster, -1 slower
    bool snapshot = false;
    bool tone = false;  // the next tone curve
    bool quit = false;
};
Keys g_keys;

LRESULT CALLBACK host_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp)
{
    if (msg == WM_CLOSE) {
        PostQuitMessage(0);
        return 0;
    }
    if (msg == WM_CHAR) {
        const char c = char(wp);
        if (c >= '1' && c <= '4')
            g_keys.mode = c - '1';
        else if (c == ' ')
            g_keys.pause = true;
        else if (c == '+' || c == '=')
            g_keys.speed = 1;
        else if (c == '-')
            g_keys.speed = -1;
        else if (c == 'r' || c == 'R')
            g_keys.rotate = true;
        else if (c == 'h' || c == 'H')
            g_keys.mirror = KEL_VOUT_FLIP_H;
        else if (c == 'v' || c == 'V')
            g_keys.mirror = KEL_VOUT_FLIP_V;
        else if (c == 'a' || c == 'A')
            g_keys.aspect = true;
        else if (c == 's' || c == 'S')
            g_keys.snapshot = true;
        else if (c == 't' || c == 'T')
            g_keys.tone = true;
        else if (c == 'q' || c == 'Q' || c == 27)
            g_keys.quit = true;
        return 0;
    }
    return DefWindowProcA(hwnd, msg, wp, lp);
}

HWND create_host_window(int client_w, int client_h)
{
    WNDCLASSA wc{};
    wc.lpfnWndProc = host_proc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
    wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(DKGRAY_BRUSH));  // the letterbox bars
    wc.lpszClassName = "kel_vout_demo_host";
    RegisterClassA(&wc);
    RECT r{0, 0, client_w, client_h};
    AdjustWindowRect(&r, WS_OVERLAPPEDWINDOW, FALSE);
    return CreateWindowA("kel_vout_demo_host", "kel_vout demo", WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN | WS_VISIBLE, 20, 20,
                         r.right - r.left, r.bottom - r.top, nullptr, nullptr, wc.hInstance, nullptr);
}

void resize_client(HWND hwnd, int w, int h)
{
    RECT r{0, 0, w, h};
    AdjustWindowRect(&r, WS_OVERLAPPEDWINDOW, FALSE);
    SetWindowPos(hwnd, nullptr, 0, 0, r.right - r.left, r.bottom - r.top, SWP_NOMOVE | SWP_NOZORDER);
}

// Handles the host's messages for up to `ms` milliseconds; false once the window was closed.
bool pump(DWORD ms)
{
    const DWORD end = GetTickCount() + ms;
    for (;;) {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT)
                return false;
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        const DWORD now = GetTickCount();
        if (int32_t(end - now) <= 0)
            return true;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, end - now, QS_ALLINPUT);
    }
}

// ---- Frame sources -----------------------------------------------------------------------

struct Frame {
    int width = 0, height = 0;
    int bytes = 1;             // per sample: 1, or 2 for 10 bits (little-endian, the low bits)
    std::vector<uint8_t> yuv;  // Y, then U, then V, tightly packed
    uint8_t* y() { return yuv.data(); }
    // Chroma planes of (w+1)/2 x (h+1)/2, as decoders and .y4m files lay them out.
    int cw() const { return (width + 1) / 2; }
    int ch() const { return (height + 1) / 2; }
    uint8_t* u() { return yuv.data() + size_t(width) * height * bytes; }
    uint8_t* v() { return u() + size_t(cw()) * ch() * bytes; }
};

// 3x5 digit glyphs, one row per 3 bits.
const uint8_t kDigits[10][5] = {{7, 5, 5, 5, 7}, {2, 6, 2, 2, 7}, {7, 1, 7, 4, 7}, {7, 1, 7, 1, 7}, {5, 5, 7, 1, 1},
                                {7, 4, 7, 1, 7}, {7, 4, 7, 5, 7}, {7, 1, 1, 1, 1}, {7, 5, 7, 5, 7}, {7, 5, 7, 1, 7}};

void fill_rect(Frame& f, int x0, int y0, int w, int h, uint8_t Y, uint8_t U, uint8_t V)
{
    for (int y = y0; y < y0 + h && y < f.height; ++y)
        for (int x = x0; x < x0 + w && x < f.width; ++x) {
            f.y()[y * f.width + x] = Y;
            f.u()[(y / 2) * f.cw() + x / 2] = U;
            f.v()[(y / 2) * f.cw() + x / 2] = V;
        }
}

// SMPTE-like colour bars, a box bouncing across them and the frame number.
void make_test_pattern(Frame& f, int n)
{
    f.width = kWidth;
    f.height = kHeight;
    f.yuv.assign(size_t(kWidth) * kHeight * 3 / 2, 0);
    // White, yellow, cyan, green, magenta, red, blue, black at 75 %.
    const uint8_t bars[8][3] = {{180, 128, 128}, {168, 44, 136}, {145, 147, 44}, {133, 63, 52},
                                {63, 193, 204},  {51, 109, 212}, {28, 212, 120}, {16, 128, 128}};
    for (int i = 0; i < 8; ++i)
        fill_rect(f, i * kWidth / 8, 0, kWidth / 8, kHeight * 2 / 3, bars[i][0], bars[i][1], bars[i][2]);
    for (int x = 0; x < kWidth; x += 2)  // a luma ramp below the bars
        fill_rect(f, x, kHeight * 2 / 3, 2, kHeight / 6, uint8_t(16 + x * 219 / kWidth), 128, 128);
    fill_rect(f, 0, kHeight * 5 / 6, kWidth, kHeight / 6, 16, 128, 128);

    const int period = 2 * (kWidth - 160);
    const int pos = (n * 12) % period;
    fill_rect(f, pos < kWidth - 160 ? pos : period - pos, kHeight / 3 - 80, 160, 160, 235, 128, 128);

    const std::string digits = std::to_string(n);
    const int scale = 12;
    for (size_t d = 0; d < digits.size(); ++d)
        for (int row = 0; row < 5; ++row)
            for (int col = 0; col < 3; ++col)
                if (kDigits[digits[d] - '0'][row] & (4 >> col))
                    fill_rect(f, 40 + int(d) * 4 * scale + col * scale, kHeight * 5 / 6 + 30 + row * scale, scale,
                              scale, 235, 128, 128);
}

// A YUV4MPEG2 4:2:0 file, read frame by frame.
struct Y4mReader {
    FILE* file = nullptr;
    bool owned = false;
    int width = 0, height = 0, fps_num = 25, fps_den = 1;
    int sar_num = 0, sar_den = 0;  // the A token: the pixels' proportions (0:0 unknown)
    bool full_range = false;  // XCOLORRANGE=FULL
    int bytes = 1;            // C420p10: 10-bit samples in two bytes

    bool open(const char* path)
    {
        if (std::strcmp(path, "-") == 0) {
            file = stdin;
            _setmode(_fileno(stdin), _O_BINARY);
        } else {
            file = std::fopen(path, "rb");
            owned = file != nullptr;
        }
        if (!file)
            return false;
        char header[512];
        if (!std::fgets(header, sizeof(header), file) || std::strncmp(header, "YUV4MPEG2 ", 10) != 0)
            return false;
        for (char* tok = std::strtok(header + 10, " \n"); tok; tok = std::strtok(nullptr, " \n")) {
            if (tok[0] == 'W')
                width = std::atoi(tok + 1);
            else if (tok[0] == 'H')
                height = std::atoi(tok + 1);
            else if (tok[0] == 'F')
                std::sscanf(tok + 1, "%d:%d", &fps_num, &fps_den);
            else if (tok[0] == 'A')
                std::sscanf(tok + 1, "%d:%d", &sar_num, &sar_den);
            else if (std::strcmp(tok, "C420p10") == 0)
                bytes = 2;
            else if (tok[0] == 'C' && (std::strncmp(tok + 1, "420", 3) != 0 || std::strncmp(tok + 1, "420p", 4) == 0))
                return false;  // only 8- and 10-bit 4:2:0 are played
            else if (std::strcmp(tok, "XCOLORRANGE=FULL") == 0)
                full_range = true;
        }
        return width > 0 && height > 0 && fps_num > 0 && fps_den > 0;
    }
    bool next(Frame& f)
    {
        char line[256];
        if (!std::fgets(line, sizeof(line), file) || std::strncmp(line, "FRAME", 5) != 0)
            return false;
        f.width = width;
        f.height = height;
        f.bytes = bytes;
        f.yuv.resize((size_t(width) * height + 2 * size_t(f.cw()) * f.ch()) * size_t(bytes));
        return std::fread(f.yuv.data(), 1, f.yuv.size(), file) == f.yuv.size();
    }
    ~Y4mReader()
    {
        if (owned)
            std::fclose(file);
    }
};

// ---- Snapshots ---------------------------------------------------------------------------

// Saves what the library presents next as a binary PPM.
bool save_snapshot(KEL_VOUT_HANDLE h, const std::string& path)
{
    int32_t w = 0, hgt = 0;
    if (kel_vout_snapshot(h, nullptr, 0, &w, &hgt, 0) != 0 || w <= 0 || hgt <= 0)
        return false;
    std::vector<uint8_t> rgb(size_t(w) * hgt * 3);
    if (kel_vout_snapshot(h, rgb.data(), int32_t(rgb.size()), &w, &hgt, 2000) != 0)
        return false;
    FILE* out = std::fopen(path.c_str(), "wb");
    if (!out)
        return false;
    std::fprintf(out, "P6\n%d %d\n255\n", w, hgt);
    std::fwrite(rgb.data(), 1, size_t(w) * hgt * 3, out);
    std::fclose(out);
    std::printf("  snapshot %dx%d -> %s\n", w, hgt, path.c_str());
    return true;
}

// ---- Overlays ----------------------------------------------------------------------------

// A premultiplied B, G, R, A bitmap, as kel_vout_set_overlay takes it.
struct Overlay {
    int w = 0, h = 0;
    std::vector<uint8_t> bgra;
};

// Text (lines apart at '\n') drawn by GDI in white with a dark edge, over a dark box of
// `box_alpha` (0: none), `px` pixels high a line. GDI draws the text white on black into a DIB; its
// green channel is the text's coverage, which becomes the alpha of premultiplied white; the edge
// is that coverage spread a few pixels.
Overlay render_text(const std::string& text, int px, int box_alpha)
{
    Overlay o;
    HDC dc = CreateCompatibleDC(nullptr);
    HFONT font = CreateFontA(-px, 0, 0, 0, FW_BOLD, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                             CLIP_DEFAULT_PRECIS, ANTIALIASED_QUALITY, DEFAULT_PITCH, "Tahoma");
    HGDIOBJ old_font = SelectObject(dc, font);
    RECT r{0, 0, 0, 0};
    DrawTextA(dc, text.c_str(), -1, &r, DT_CALCRECT | DT_NOPREFIX);
    const int pad = px / 4 + 3, edge = std::max(1, px / 14);
    o.w = std::max(1, int(r.right) + 2 * pad);
    o.h = std::max(1, int(r.bottom) + 2 * pad);
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof(bi.bmiHeader);
    bi.bmiHeader.biWidth = o.w;
    bi.bmiHeader.biHeight = -o.h;  // top row first
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    bi.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP dib = CreateDIBSection(dc, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (!dib || !bits) {
        SelectObject(dc, old_font);
        DeleteObject(font);
        DeleteDC(dc);
        o.w = o.h = 1;
        o.bgra.assign(4, 0);
        return o;
    }
    HGDIOBJ old_bitmap = SelectObject(dc, dib);
    std::memset(bits, 0, size_t(o.w) * o.h * 4);
    SetTextColor(dc, RGB(255, 255, 255));
    SetBkMode(dc, TRANSPARENT);
    RECT box{pad, pad, o.w - pad, o.h - pad};
    DrawTextA(dc, text.c_str(), -1, &box, DT_CENTER | DT_NOPREFIX);
    GdiFlush();
    const uint8_t* px32 = static_cast<const uint8_t*>(bits);
    std::vector<uint8_t> cover(size_t(o.w) * o.h);
    for (size_t i = 0; i < cover.size(); ++i)
        cover[i] = px32[i * 4 + 1];
    o.bgra.resize(size_t(o.w) * o.h * 4);
    for (int y = 0; y < o.h; ++y)
        for (int x = 0; x < o.w; ++x) {
            int spread = 0;
            for (int dy = -edge; dy <= edge; ++dy)
                for (int dx = -edge; dx <= edge; ++dx) {
                    const int sx = x + dx, sy = y + dy;
                    if (sx >= 0 && sy >= 0 && sx < o.w && sy < o.h)
                        spread = std::max(spread, int(cover[size_t(sy) * o.w + sx]));
                }
            const uint8_t fill = cover[size_t(y) * o.w + x];
            uint8_t* p = &o.bgra[(size_t(y) * o.w + x) * 4];
            p[0] = p[1] = p[2] = fill;  // white, premultiplied by its coverage
            p[3] = uint8_t(std::max({int(fill), spread, box_alpha}));
        }
    SelectObject(dc, old_bitmap);
    SelectObject(dc, old_font);
    DeleteObject(dib);
    DeleteObject(font);
    DeleteDC(dc);
    return o;
}

// Shows (or, with an empty bitmap, removes) overlay `id` at (x, y) in the given coordinates,
// w x h 0: at its own size.
void show_overlay(KEL_VOUT_HANDLE vout, int id, const Overlay* o, int coords, int x, int y, int w = 0, int h = 0)
{
    if (!o || o->bgra.empty()) {
        kel_vout_set_overlay(vout, id, nullptr);
        return;
    }
    KEL_VOUT_OVERLAY_T r{};
    r.size = sizeof(r);
    r.width = o->w;
    r.height = o->h;
    r.stride = o->w * 4;
    r.bgra = o->bgra.data();  // copied by the call
    r.coords = coords;
    r.x = x;
    r.y = y;
    r.w = w;
    r.h = h;
    r.opacity = 255;
    kel_vout_set_overlay(vout, id, &r);
}

// The overlay ids the demo uses: drawn in this order.
enum { kSubtitleId = 0, kTimeId = 1, kNoticeId = 2, kPauseId = 3 };

// Subtitles ffmpeg's subtitle filter rendered onto a transparent canvas, w x h B, G, R, A with
// straight alpha, `rate` canvases a second of media time (scripts/demo.sh writes them into a FIFO).
struct SubtitleStream {
    FILE* file = nullptr;
    int w = 0, h = 0;
    double rate = 10;
    long next = 0;  // the canvas to read next
    std::vector<uint8_t> canvas, shown;
    bool visible = false;

    bool open(const char* path, int width, int height, double r)
    {
        file = std::fopen(path, "rb");
        w = width;
        h = height;
        rate = r > 0 ? r : 10;
        return file && w > 0 && h > 0;
    }
    // Brings the overlay up to media time `media_us`; the picture's shown size is pw x ph.
    void follow(KEL_VOUT_HANDLE vout, double media_us, int pw, int ph)
    {
        if (!file)
            return;
        bool changed = false;
        canvas.resize(size_t(w) * h * 4);
        while (double(next) / rate * 1e6 <= media_us) {
            if (std::fread(canvas.data(), 1, canvas.size(), file) != canvas.size()) {
                std::fclose(file);
                file = nullptr;
                break;
            }
            ++next;
            changed = true;
        }
        if (!changed || canvas == shown)
            return;
        shown = canvas;
        bool any = false;
        Overlay o;
        o.w = w;
        o.h = h;
        o.bgra = canvas;
        for (size_t i = 0; i < o.bgra.size(); i += 4) {  // straight alpha to premultiplied
            const int a = o.bgra[i + 3];
            any = any || a != 0;
            for (int c = 0; c < 3; ++c)
                o.bgra[i + c] = uint8_t((o.bgra[i + c] * a + 127) / 255);
        }
        if (any || visible)
            show_overlay(vout, kSubtitleId, any ? &o : nullptr, KEL_VOUT_OVERLAY_PICTURE, 0, 0, pw, ph);
        visible = any;
    }
};

// The demo's own timed captions, for a video without subtitles: [from, to) seconds of media time.
struct Caption {
    double from, to;
    const char* text;
};
const Caption kCaptions[] = {
    {0.5, 2.5, "Subtitles and the on-screen display are overlays:\nthe library draws them over the video"},
    {3.0, 5.0, "A picture overlay moves and scales with the picture"},
    {5.5, 8.0, "The time at the top left stays at its pixels in the window"},
    {9.0, 12.0, "Space pauses, 1-4 change the aspect mode"},
};

// What the on-screen display and the captions show now, set only when it changes.
struct Osd {
    std::string time_text, notice_text;
    DWORD notice_until = 0;
    int caption = -2;  // the caption shown (-1: none)
    bool paused_shown = false;

    void update(KEL_VOUT_HANDLE vout, double media_us, bool paused, bool captions, int pw, int ph)
    {
        char text[64];
        const int tenths = int(media_us / 1e5);
        std::snprintf(text, sizeof(text), "%02d:%02d.%d", tenths / 600, tenths / 10 % 60, tenths % 10);
        if (time_text != text) {
            time_text = text;
            const Overlay o = render_text(time_text, 22, 120);
            show_overlay(vout, kTimeId, &o, KEL_VOUT_OVERLAY_WINDOW, 12, 12);
        }
        if (!notice_text.empty() && int32_t(GetTickCount() - notice_until) >= 0) {
            notice_text.clear();
            show_overlay(vout, kNoticeId, nullptr, 0, 0, 0);
        }
        int32_t ww = 0, wh = 0;
        kel_vout_snapshot(vout, nullptr, 0, &ww, &wh, 0);  // the child window's size
        if (paused != paused_shown) {
            paused_shown = paused;
            const Overlay o = render_text("II  paused", 40, 140);
            show_overlay(vout, kPauseId, paused ? &o : nullptr, KEL_VOUT_OVERLAY_WINDOW, std::max(0, (ww - o.w) / 2),
                         std::max(0, (wh - o.h) / 2));
        }
        if (!captions)
            return;
        int now = -1;
        for (int i = 0; i < int(sizeof(kCaptions) / sizeof(kCaptions[0])); ++i)
            if (media_us >= kCaptions[i].from * 1e6 && media_us < kCaptions[i].to * 1e6)
                now = i;
        if (now != caption) {
            caption = now;
            if (now < 0) {
                show_overlay(vout, kSubtitleId, nullptr, 0, 0, 0);
            } else {
                // In picture pixels: centred near the bottom, a fourteenth of the picture high.
                const Overlay o = render_text(kCaptions[now].text, std::max(12, ph / 18), 0);
                show_overlay(vout, kSubtitleId, &o, KEL_VOUT_OVERLAY_PICTURE, (pw - o.w) / 2, ph - o.h - ph / 14);
            }
        }
    }
    void notice(KEL_VOUT_HANDLE vout, const std::string& text)
    {
        notice_text = text;
        notice_until = GetTickCount() + 2000;
        const Overlay o = render_text(text, 22, 120);
        show_overlay(vout, kNoticeId, &o, KEL_VOUT_OVERLAY_WINDOW, 12, 56);
    }
};

// ---- Playing -----------------------------------------------------------------------------

double now_ms()
{
    LARGE_INTEGER f, c;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&c);
    return double(c.QuadPart) * 1000.0 / double(f.QuadPart);
}

// The player's own media clock, which the library's follows. A player steers it from its audio
// device (and calls kel_vout_set_clock now and then with what the audio says); this one runs on
// the performance counter.
struct HostClock {
    double base_us = 0, rate = 1.0, since_ms = now_ms();
    double now_us() const { return base_us + rate * (now_ms() - since_ms) * 1000.0; }
    void set(double media_us, double r)
    {
        base_us = media_us;
        rate = r;
        since_ms = now_ms();
    }
};

const char* backend_name(VOUT_MODE backend)
{
    return backend == VOUT_D3D11 ? "Direct3D 11" : backend == VOUT_D3D ? "Direct3D 9" : "OpenGL";
}

struct Options {
    VOUT_MODE backend = VOUT_WGL;  // --d3d: Direct3D 9, --d3d11: Direct3D 11
    bool frame_export = false;  // push through kel_vout_put_frame
    bool timed = true;          // frames with their times, the library's clock (--untimed: paced here)
    int colorspace = KEL_VOUT_CS_BT601;
    bool full_range = false;
    int walk = -1;  // walk the aspect modes: 1 yes, 0 no, -1 for the pattern only
    double seconds = 6.0;  // 0: to the end
    int rotation = 0;      // clockwise degrees
    std::string out = ".";
    const char* y4m = nullptr;  // a file, or "-" for standard input
    bool overlays = true;       // the on-screen display and subtitles (--no-overlays: none)
    const char* subtitles = nullptr;  // --subtitles PATH W H RATE: canvases ffmpeg rendered
    int sub_w = 0, sub_h = 0;
    double sub_rate = 10;
    // The stream's light (--transfer pq|hlg, --primaries bt2020, --peak CD_M2), as ffprobe told
    // scripts/demo.sh; key t walks the tone curves.
    int transfer = KEL_VOUT_TRC_SDR;
    int primaries = KEL_VOUT_PRI_BT709;
    int peak = 0;
};

const DISPLAY_MODE kModes[4] = {VOUT_PREFERRED, VOUT_NORMAL, VOUT_4_3, VOUT_16_9};
const char* const kModeNames[4] = {"preferred", "normal", "4_3", "16_9"};

// Pushes one frame the way the options say, due at pts_us on the instance's clock.
int push(KEL_VOUT_HANDLE vout, Frame& frame, const Options& opt, int64_t pts_us)
{
    // The older push reads chroma of (w/2) x (h/2) at half the luma stride and takes at most
    // 1920 x 1080 x 2 bytes: odd sizes and larger frames go through the frame export, which
    // takes the decoder's layout as it is, up to 4096 x 2160.
    const bool older_fits = int64_t{frame.width} * frame.height * 3 / 2 <= int64_t{1920} * 1080 * 2;
    if (opt.timed || opt.frame_export || frame.bytes > 1 || frame.width % 2 != 0 || frame.height % 2 != 0 ||
        !older_fits) {
        // As a decoder's frame: each plane with its own stride, the colours named; 10-bit
        // frames as I010.
        KEL_VOUT_FRAME_T f{};
        f.format = frame.bytes > 1 ? KEL_VOUT_FMT_I010 : KEL_VOUT_FMT_I420;
        f.width = frame.width;
        f.height = frame.height;
        f.planes[0] = frame.y();
        f.planes[1] = frame.u();
        f.planes[2] = frame.v();
        f.strides[0] = frame.width * frame.bytes;
        f.strides[1] = f.strides[2] = frame.cw() * frame.bytes;
        f.colorspace = opt.colorspace;
        f.range = opt.full_range ? KEL_VOUT_RANGE_FULL : KEL_VOUT_RANGE_LIMITED;
        const bool light = opt.transfer != KEL_VOUT_TRC_SDR || opt.primaries != KEL_VOUT_PRI_BT709;
        if (!opt.timed && !light)
            return kel_vout_put_frame(vout, &f);
        // With its time (the library shows it at the refresh nearest pts on its clock) and its
        // light (an HDR frame is tone-mapped for this SDR display).
        KEL_VOUT_FRAME_INFO_T info{};
        info.size = sizeof(info);
        info.pts_us = opt.timed ? pts_us : KEL_VOUT_PTS_NONE;
        info.transfer = opt.transfer;
        info.primaries = opt.primaries;
        info.max_luminance = opt.peak;
        return kel_vout_put_frame_ex(vout, &f, &info);
    }
    return kel_vout_put_buffer_pool_yuv(vout, frame.y(), frame.u(), frame.v(), frame.width, frame.width,
                                        frame.height);
}

// The aspect overrides the a key walks through: off, 4:3, 16:9, 1.85:1, 2.39:1.
const int kOverrides[5][2] = {{0, 0}, {4, 3}, {16, 9}, {185, 100}, {239, 100}};
const char* const kOverrideNames[5] = {"", ", 4:3", ", 16:9", ", 1.85:1", ", 2.39:1"};

// The title: what plays, the mode, the transform, the rate and the drops from the library's
// statistics.
void show_status(HWND host, KEL_VOUT_HANDLE vout, const char* what, int mode, const KEL_VOUT_TRANSFORM_T& t,
                 int override_index, bool paused, double rate)
{
    KEL_VOUT_STATS_T st{};
    st.size = sizeof(st);
    if (kel_vout_get_stats(vout, &st) != 0)
        return;
    char speed[32] = "";
    if (rate != 1.0)
        std::snprintf(speed, sizeof(speed), " - x%.2g", rate);
    char title[400];
    std::snprintf(title, sizeof(title),
                  "kel_vout demo - %s - %s%s - turned %d%s%s%s%s - %.1f fps, %llu dropped, %llu late, timing error "
                  "p50 %.1f ms, p99 %.1f ms",
                  what, kModeNames[mode], kOverrideNames[override_index], int(t.rotation),
                  t.flip & KEL_VOUT_FLIP_H ? ", mirrored" : "", t.flip & KEL_VOUT_FLIP_V ? ", upside down" : "",
                  paused ? " - paused" : "", speed, st.render_fps, static_cast<unsigned long long>(st.dropped),
                  static_cast<unsigned long long>(st.late), st.timing_error_p50_ms, st.timing_error_p99_ms);
    SetWindowTextA(host, title);
}

int play(Options opt)
{
    Y4mReader y4m;
    if (opt.y4m && !y4m.open(opt.y4m)) {
        std::fprintf(stderr, "cannot play %s: not an 8- or 10-bit 4:2:0 YUV4MPEG2 stream\n", opt.y4m);
        return 2;
    }
    if (y4m.full_range)
        opt.full_range = opt.frame_export = true;
    if (opt.colorspace != KEL_VOUT_CS_BT601 || opt.full_range)
        opt.frame_export = true;
    const bool walk = opt.walk < 0 ? !opt.y4m : opt.walk > 0;
    const double fps = opt.y4m ? double(y4m.fps_num) / y4m.fps_den : 25.0;
    const char* what = opt.y4m ? (std::strcmp(opt.y4m, "-") == 0 ? "video" : opt.y4m) : "test pattern";

    HWND host = create_host_window(kWidth / 2 + 320, kHeight / 2 + 120);
    pump(50);

    // 1. Configure and create.
    KEL_VOUT_CFG_T cfg;
    kel_vout_get_default_param(&cfg);
    cfg.windowId = host;
    cfg.vout_mode = opt.backend;
    cfg.display_mode = VOUT_PREFERRED;
    cfg.source_format = VOUT_YUV420;
    KEL_VOUT_HANDLE vout = kel_vout_create(&cfg);
    if (!vout) {
        std::fprintf(stderr, "kel_vout_create failed for the %s backend\n", backend_name(opt.backend));
        DestroyWindow(host);
        return 1;
    }
    // The host paces untimed pushes itself: never more than a couple of frames ahead of the display.
    if (!opt.timed)
        kel_vout_set_queue_limit(vout, 3);
    // The picture as the stream means it: its rotation and the proportions of its pixels.
    KEL_VOUT_TRANSFORM_T transform{};
    transform.size = sizeof(transform);
    transform.rotation = opt.rotation;
    transform.sar_num = y4m.sar_num;
    transform.sar_den = y4m.sar_den;
    int override_index = 0;
    if (kel_vout_set_transform(vout, &transform) != 0) {
        std::fprintf(stderr, "kel_vout_set_transform refused rotation %d, pixels %d:%d\n", opt.rotation, y4m.sar_num,
                     y4m.sar_den);
        transform = KEL_VOUT_TRANSFORM_T{};  // the keys start from the identity the instance has
        transform.size = sizeof(transform);
    } else if (opt.rotation || y4m.sar_num)
        std::printf("shown turned %d degrees, pixels %d:%d\n", opt.rotation, y4m.sar_num, y4m.sar_den);
    std::printf("playing %s through %s at %.2f fps%s%s\n", what, backend_name(opt.backend), fps,
                opt.timed ? " by their times" : opt.frame_export ? " with kel_vout_put_frame" : "",
                opt.seconds > 0 ? "" : " to the end (keys: 1-4 modes, space pause, + - speed, s snapshot, q quit)");

    // 2. Push frames; the keys (and --walk) change the mode. Timed: pushed ahead with their times
    // (at most 8 waiting), shown by the library at their time on its clock, which follows ours.
    // Untimed: pushed at the frame rate, shown as they come.
    const int total = opt.seconds > 0 ? int(opt.seconds * fps) : -1;
    const int per_step = total > 0 ? (total / 5 > 0 ? total / 5 : 1) : std::max(1, int(fps * 0.8));
    int pushed = 0, refused = 0, step = -1, mode = 0, shots = 0, tone_curve = KEL_VOUT_TONEMAP_BT2390;
    bool paused = false;
    double rate = 1.0;
    HostClock clock;
    Frame frame;
    // The picture's shown size (its pixels after the rotation), for picture overlays.
    const int frame_w = opt.y4m ? y4m.width : kWidth, frame_h = opt.y4m ? y4m.height : kHeight;
    const bool turned = opt.rotation == 90 || opt.rotation == 270;
    const int shown_w = turned ? frame_h : frame_w, shown_h = turned ? frame_w : frame_h;
    Osd osd;
    SubtitleStream subs;
    if (opt.overlays && opt.subtitles && !subs.open(opt.subtitles, opt.sub_w, opt.sub_h, opt.sub_rate))
        std::fprintf(stderr, "cannot read the subtitles from %s; the demo's captions are shown\n", opt.subtitles);
    const bool captions = opt.overlays && !subs.file;
    const DWORD interval_us = DWORD(1000000.0 / fps);
    double due_ms = double(GetTickCount());
    DWORD shown_status = 0;
    for (int n = 0; total < 0 || n < total;) {
        const bool next = opt.timed ? kel_vout_wait_queue(vout, 8, 10) == 0 : !paused;
        if (next) {
            if (opt.y4m) {
                if (!y4m.next(frame))
                    break;
            } else {
                make_test_pattern(frame, n);
            }
            const int64_t pts = int64_t(double(n) * 1e6 / fps + 0.5);
            if (push(vout, frame, opt, pts) == 0)
                ++pushed;
            else
                ++refused;
            // The first timed frame started the library's clock at its pts; ours starts with it.
            if (opt.timed && n == 0)
                clock.set(0, rate);
            if (walk && n / per_step != step) {
                step = n / per_step;
                if (step < 4) {
                    mode = step;
                    kel_vout_set_display_mode(vout, kModes[mode]);
                    std::printf("aspect mode %s\n", kModeNames[mode]);
                    if (opt.overlays)
                        osd.notice(vout, std::string("aspect: ") + kModeNames[mode]);
                } else if (step == 4) {
                    resize_client(host, kWidth / 2, kHeight / 2 + 200);
                    std::printf("window resized to %dx%d\n", kWidth / 2, kHeight / 2 + 200);
                }
            }
            // Walking: half way through each step, save what is on screen.
            if (walk && n % per_step == per_step / 2 && step <= 4) {
                const std::string name = step < 4 ? std::string("mode_") + kModeNames[step] : "resized";
                save_snapshot(vout, opt.out + "\\snapshot_" + name + ".ppm");
            }
            ++n;
            due_ms += interval_us / 1000.0;
        } else if (!opt.timed) {
            due_ms = double(GetTickCount()) + 40;
        }
        const double now = double(GetTickCount());
        if (!pump(!opt.timed && due_ms > now ? DWORD(due_ms - now) : 0) || g_keys.quit)
            break;  // the user closed the window or pressed q
        if (g_keys.mode >= 0) {
            mode = g_keys.mode;
            kel_vout_set_display_mode(vout, kModes[mode]);
            if (opt.overlays)
                osd.notice(vout, std::string("aspect: ") + kModeNames[mode]);
            g_keys.mode = -1;
        }
        if (g_keys.pause || g_keys.speed) {
            if (g_keys.pause)
                paused = !paused;
            if (g_keys.speed > 0)
                rate = std::min(rate * 2, 4.0);
            if (g_keys.speed < 0)
                rate = std::max(rate / 2, 0.25);
            // The picture stays while paused; the frames waiting are kept for the time to go on.
            if (opt.timed) {
                const double media = clock.now_us();
                clock.set(media, paused ? 0.0 : rate);
                kel_vout_set_clock(vout, int64_t(media), paused ? 0.0 : rate);
            }
            g_keys.pause = false;
            g_keys.speed = 0;
            shown_status = 0;
        }
        if (g_keys.rotate || g_keys.mirror || g_keys.aspect) {
            if (g_keys.rotate)
                transform.rotation = (transform.rotation + 90) % 360;
            transform.flip ^= g_keys.mirror;
            if (g_keys.aspect) {
                override_index = (override_index + 1) % 5;
                transform.dar_num = kOverrides[override_index][0];
                transform.dar_den = kOverrides[override_index][1];
            }
            kel_vout_set_transform(vout, &transform);  // a paused picture is shown again at once
            g_keys.rotate = g_keys.aspect = false;
            g_keys.mirror = 0;
            shown_status = 0;
        }
        if (g_keys.tone) {
            // The next tone curve; a paused HDR picture is shown again with it at once.
            static const char* const names[3] = {"BT.2390", "Hable", "clip"};
            tone_curve = (tone_curve + 1) % 3;
            kel_vout_set_tone_mapping(vout, tone_curve, 100);
            std::printf("tone curve %s\n", names[tone_curve]);
            if (opt.overlays)
                osd.notice(vout, std::string("tone curve: ") + names[tone_curve]);
            g_keys.tone = false;
        }
        if (g_keys.snapshot) {
            save_snapshot(vout, opt.out + "\\snapshot_" + std::to_string(++shots) + ".ppm");
            g_keys.snapshot = false;
        }
        // The overlays follow the media time on screen (frames are pushed ahead of it).
        if (opt.overlays && pushed > 0) {
            const double media = opt.timed ? clock.now_us() : double(n) * 1e6 / fps;
            osd.update(vout, media, paused, captions, shown_w, shown_h);
            subs.follow(vout, media, shown_w, shown_h);
        }
        if (GetTickCount() - shown_status >= 500) {
            show_status(host, vout, what, mode, transform, override_index, paused, rate);
            shown_status = GetTickCount();
        }
    }
    if (opt.timed && !paused)
        kel_vout_wait_queue(vout, 0, 10000);  // the frames still waiting are shown at their time
    std::printf("pushed %d frames (%d refused) of %dx%d\n", pushed, refused, frame.width, frame.height);

    // What the instance did, from its statistics.
    KEL_VOUT_STATS_T stats{};
    stats.size = sizeof(stats);
    if (kel_vout_get_stats(vout, &stats) == 0)
        std::printf("statistics: %llu pushed, %llu presented, %llu dropped, %llu repaints, %llu device resets, "
                    "%.1f fps, last latency %.1f ms; %llu late, timing error p50 %.1f ms, p99 %.1f ms at %.2f Hz\n",
                    static_cast<unsigned long long>(stats.pushed), static_cast<unsigned long long>(stats.presented),
                    static_cast<unsigned long long>(stats.dropped), static_cast<unsigned long long>(stats.repaints),
                    static_cast<unsigned long long>(stats.device_resets), stats.render_fps, stats.last_latency_ms,
                    static_cast<unsigned long long>(stats.late), stats.timing_error_p50_ms, stats.timing_error_p99_ms,
                    stats.refresh_hz);

    // 3. Tear down: the handle is null afterwards.
    const int destroyed = kel_vout_destroy(&vout);
    std::printf("kel_vout_destroy: %d, handle %s\n", destroyed, vout ? "still set" : "cleared");
    DestroyWindow(host);
    return destroyed == 0 && pushed > 0 && refused == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    Options opt;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--d3d") == 0)
            opt.backend = VOUT_D3D;
        else if (std::strcmp(argv[i], "--d3d11") == 0)
            opt.backend = VOUT_D3D11;
        else if (std::strcmp(argv[i], "--frame-export") == 0)
            opt.frame_export = true;
        else if (std::strcmp(argv[i], "--untimed") == 0)
            opt.timed = false;
        else if (std::strcmp(argv[i], "--bt709") == 0)
            opt.colorspace = KEL_VOUT_CS_BT709;
        else if (std::strcmp(argv[i], "--bt2020") == 0)
            opt.colorspace = KEL_VOUT_CS_BT2020;
        else if (std::strcmp(argv[i], "--full-range") == 0)
            opt.full_range = true;
        else if (std::strcmp(argv[i], "--walk") == 0)
            opt.walk = 1;
        else if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc)
            opt.seconds = std::atof(argv[++i]);
        else if (std::strcmp(argv[i], "--rotate") == 0 && i + 1 < argc)
            opt.rotation = ((std::atoi(argv[++i]) % 360) + 360) % 360;
        else if (std::strcmp(argv[i], "--out") == 0 && i + 1 < argc)
            opt.out = argv[++i];
        else if (std::strcmp(argv[i], "--transfer") == 0 && i + 1 < argc) {
            ++i;
            opt.transfer = std::strcmp(argv[i], "pq") == 0    ? KEL_VOUT_TRC_PQ
                           : std::strcmp(argv[i], "hlg") == 0 ? KEL_VOUT_TRC_HLG
                                                              : KEL_VOUT_TRC_SDR;
        } else if (std::strcmp(argv[i], "--primaries") == 0 && i + 1 < argc)
            opt.primaries = std::strcmp(argv[++i], "bt2020") == 0 ? KEL_VOUT_PRI_BT2020 : KEL_VOUT_PRI_BT709;
        else if (std::strcmp(argv[i], "--peak") == 0 && i + 1 < argc)
            opt.peak = std::max(0, std::atoi(argv[++i]));
        else if (std::strcmp(argv[i], "--no-overlays") == 0)
            opt.overlays = false;
        else if (std::strcmp(argv[i], "--subtitles") == 0 && i + 4 < argc) {
            opt.subtitles = argv[++i];
            opt.sub_w = std::atoi(argv[++i]);
            opt.sub_h = std::atoi(argv[++i]);
            opt.sub_rate = std::atof(argv[++i]);
        }
        else if (argv[i][0] != '-' || std::strcmp(argv[i], "-") == 0)
            opt.y4m = argv[i];
        else {
            std::fprintf(stderr, "usage: demo_host [--d3d | --d3d11] [--untimed] [--frame-export] [--bt709|--bt2020] [--full-range] "
                                 "[--walk] [--rotate DEGREES] [--seconds N] [--out DIR] [--no-overlays] "
                                 "[--subtitles PATH W H RATE] [--transfer pq|hlg] [--primaries bt2020] "
                                 "[--peak CD_M2] [file.y4m | -]\n");
            return 2;
        }
    }
    setvbuf(stdout, nullptr, _IONBF, 0);
    return play(opt);
}
