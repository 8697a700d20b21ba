// Helper of the outside read-back test: shows one solid colour through an OpenGL instance,
// writes "<width> <height> <r> <g> <b>" (the child's size and the colour the formula expects)
// to READY_FILE, and keeps presenting until DONE_FILE exists.
//   x_readback_host.exe READY_FILE DONE_FILE
#include <windows.h>

#include <cstdio>
#include <vector>

#include "host_window.h"
#include "kel_vout.h"
#include "test_colours.h"

int main(int argc, char** argv)
{
    if (argc != 3)
        return 2;
    HostWindow host(320, 200, 100, 100);
    KEL_VOUT_CFG_T cfg;
    kel_vout_get_default_param(&cfg);
    cfg.windowId = host.hwnd;
    cfg.display_mode = VOUT_NORMAL;
    KEL_VOUT_HANDLE h = kel_vout_create(&cfg);
    if (!h)
        return 1;
    const int w = 160, hgt = 100;
    const uint8_t Y = kGreen.yuv[0], U = kGreen.yuv[1], V = kGreen.yuv[2];
    std::vector<uint8_t> frame(size_t(w) * hgt * 3 / 2, Y);
    std::fill(frame.begin() + w * hgt, frame.begin() + w * hgt + (w / 2) * (hgt / 2), U);
    std::fill(frame.begin() + w * hgt + (w / 2) * (hgt / 2), frame.end(), V);
    kel_vout_put_buffer_pool_yuv(h, frame.data(), nullptr, nullptr, w, w, hgt);
    Snapshot s;  // returns once the frame has been presented
    for (int i = 0; i < 50 && !(take_snapshot(h, s) && s.at(5, 5)[1] > 200); ++i)
        kel_vout_put_buffer_pool_yuv(h, frame.data(), nullptr, nullptr, w, w, hgt);
    const uint8_t* rgb = kGreen.rgb;
    if (FILE* f = std::fopen(argv[1], "wb")) {
        std::fprintf(f, "%d %d %d %d %d\n", int(s.width), int(s.height), rgb[0], rgb[1], rgb[2]);
        std::fclose(f);
    }
    for (int i = 0; i < 600 && GetFileAttributesA(argv[2]) == INVALID_FILE_ATTRIBUTES; ++i) {
        kel_vout_put_buffer_pool_yuv(h, frame.data(), nullptr, nullptr, w, w, hgt);
        HostWindow::pump(50);
    }
    return kel_vout_destroy(&h);
}
