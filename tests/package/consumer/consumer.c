/* Uses the packaged DLL as a host would: version, create, push, snapshot, destroy. Prints what
 * it saw; exits 0 when everything worked and the DLL's version resource matches the header. */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "kel_vout.h"

static void pump(DWORD ms)
{
    DWORD end = GetTickCount() + ms;
    MSG msg;
    while ((LONG)(end - GetTickCount()) > 0) {
        while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE))
            DispatchMessageA(&msg);
        Sleep(5);
    }
}

static int dll_version(DWORD* ms, DWORD* ls)
{
    char path[MAX_PATH];
    DWORD ignored = 0, size;
    void* data;
    VS_FIXEDFILEINFO* info = NULL;
    UINT len = 0;
    int ok = 0;
    if (!GetModuleFileNameA(GetModuleHandleA("kel_vout.dll"), path, sizeof(path)))
        return 0;
    size = GetFileVersionInfoSizeA(path, &ignored);
    data = size ? malloc(size) : NULL;
    if (data && GetFileVersionInfoA(path, 0, size, data) && VerQueryValueA(data, "\\", (void**)&info, &len) && info) {
        *ms = info->dwFileVersionMS;
        *ls = info->dwFileVersionLS;
        ok = 1;
    }
    free(data);
    return ok;
}

/* One instance of a backend in host: a red frame pushed, seen in a snapshot, the instance gone. */
static int show_red(HWND host, VOUT_MODE backend, const char* name)
{
    KEL_VOUT_CFG_T cfg;
    KEL_VOUT_HANDLE h;
    KEL_VOUT_FRAME_T f = {0};
    static uint8_t rgb[64 * 48 * 3], shot[320 * 240 * 3];
    int32_t w = 0, hgt = 0, i, pushed, snapped = 1, destroyed;

    kel_vout_get_default_param(&cfg);
    cfg.windowId = host;
    cfg.vout_mode = backend;
    cfg.display_mode = VOUT_NORMAL;
    h = kel_vout_create(&cfg);
    if (!h) {
        printf("%s: kel_vout_create failed\n", name);
        return 1;
    }
    for (i = 0; i < 64 * 48; ++i) {  /* pure red */
        rgb[3 * i] = 255;
        rgb[3 * i + 1] = 0;
        rgb[3 * i + 2] = 0;
    }
    f.format = KEL_VOUT_FMT_RGB24;
    f.width = 64;
    f.height = 48;
    f.planes[0] = rgb;
    f.strides[0] = 64 * 3;
    pushed = kel_vout_put_frame(h, &f);
    memset(shot, 0, sizeof(shot));
    for (i = 0; i < 50 && snapped == 1; ++i) {
        pump(20);
        snapped = kel_vout_snapshot(h, shot, (int32_t)sizeof(shot), &w, &hgt, 2000);
        if (snapped == 0 && !(shot[0] > 200 && shot[1] < 50 && shot[2] < 50))
            snapped = 1; /* not yet the frame */
    }
    destroyed = kel_vout_destroy(&h);
    printf("%s: push %d, snapshot %d (%dx%d, first pixel %d,%d,%d), destroy %d\n", name, pushed, snapped, w, hgt,
           shot[0], shot[1], shot[2], destroyed);
    return pushed == 0 && snapped == 0 && destroyed == 0 && h == NULL ? 0 : 1;
}

int main(void)
{
    WNDCLASSA wc = {0};
    HWND host;
    DWORD ms = 0, ls = 0;
    int failed;

    setvbuf(stdout, NULL, _IONBF, 0);
    if (!dll_version(&ms, &ls)) {
        printf("no version resource in kel_vout.dll\n");
        return 1;
    }
    printf("header %d.%d.%d, DLL %lu.%lu.%lu.%lu\n", KEL_VOUT_VERSION_MAJOR, KEL_VOUT_VERSION_MINOR,
           KEL_VOUT_VERSION_PATCH, HIWORD(ms), LOWORD(ms), HIWORD(ls), LOWORD(ls));
    if (HIWORD(ms) != KEL_VOUT_VERSION_MAJOR || LOWORD(ms) != KEL_VOUT_VERSION_MINOR ||
        HIWORD(ls) != KEL_VOUT_VERSION_PATCH)
        return 1;

    wc.lpfnWndProc = DefWindowProcA;
    wc.hInstance = GetModuleHandleA(NULL);
    wc.lpszClassName = "consumer";
    RegisterClassA(&wc);
    host = CreateWindowA("consumer", "consumer", WS_POPUP | WS_VISIBLE, 0, 0, 320, 240, NULL, NULL, wc.hInstance, NULL);
    failed = show_red(host, VOUT_WGL, "OpenGL");
    failed |= show_red(host, VOUT_D3D, "Direct3D 9");
    failed |= show_red(host, VOUT_D3D11, "Direct3D 11");
    DestroyWindow(host);
    return failed;
}
