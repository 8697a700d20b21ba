/* A C host linked against the DLL's import library: the public headers compile as C, the
 * records have the layout every host was built against, and the exports refuse bad arguments.
 * Prints "N passed, N failed" and exits non-zero on any failure. */
#include <stddef.h>
#include <stdio.h>
#include <string.h>

#include "kel_vout.h"

static int passed, failed;

#define CHECK(cond)                                                  \
    do {                                                             \
        if (cond) {                                                  \
            ++passed;                                                \
        } else {                                                     \
            ++failed;                                                \
            printf("FAILED: %s (line %d)\n", #cond, __LINE__);       \
        }                                                            \
    } while (0)

#if defined(_WIN64)
#define PTR 8
#else
#define PTR 4
#endif

static void check_layout(void)
{
    CHECK(sizeof(VOUT_MODE) == 4 && sizeof(DISPLAY_MODE) == 4 && sizeof(SOURCE_FORMAT) == 4);
    CHECK(sizeof(VOUT_DISPLAY_PLACE_T) == 24);
    CHECK(offsetof(VOUT_DISPLAY_PLACE_T, x) == 0);
    CHECK(offsetof(VOUT_DISPLAY_PLACE_T, y) == 4);
    CHECK(offsetof(VOUT_DISPLAY_PLACE_T, width) == 8);
    CHECK(offsetof(VOUT_DISPLAY_PLACE_T, height) == 12);
    CHECK(offsetof(VOUT_DISPLAY_PLACE_T, pix_width) == 16);
    CHECK(offsetof(VOUT_DISPLAY_PLACE_T, pix_height) == 20);

    CHECK(offsetof(KEL_VOUT_CFG_T, windowId) == 0);
    CHECK(offsetof(KEL_VOUT_CFG_T, vout_mode) == PTR);
    CHECK(offsetof(KEL_VOUT_CFG_T, display_mode) == PTR + 4);
    CHECK(offsetof(KEL_VOUT_CFG_T, source_format) == PTR + 8);
    CHECK(offsetof(KEL_VOUT_CFG_T, place) == PTR + 12);
    CHECK(sizeof(KEL_VOUT_CFG_T) == (PTR == 4 ? 40 : 48));
    CHECK(sizeof(KEL_VOUT_HANDLE) == PTR);

    CHECK(VOUT_X11 == 0 && VOUT_XCB == 1 && VOUT_GLX == 2 && VOUT_WGL == 3 && VOUT_D3D == 4 && VOUT_D3D11 == 5);
    CHECK(VOUT_NORMAL == 0 && VOUT_4_3 == 1 && VOUT_16_9 == 2 && VOUT_PREFERRED == 3);
    CHECK(VOUT_YUV420 == 0 && VOUT_RGB == 1);

    /* The frame information record and the statistics' timing fields, the same on both. */
    CHECK(sizeof(KEL_VOUT_FRAME_INFO_T) == 24);
    CHECK(offsetof(KEL_VOUT_FRAME_INFO_T, transfer) == 4);
    CHECK(offsetof(KEL_VOUT_FRAME_INFO_T, pts_us) == 8);
    CHECK(offsetof(KEL_VOUT_FRAME_INFO_T, primaries) == 16);
    CHECK(offsetof(KEL_VOUT_FRAME_INFO_T, max_luminance) == 20);
    CHECK(KEL_VOUT_PTS_NONE == INT64_MIN);
    CHECK(KEL_VOUT_TRC_SDR == 0 && KEL_VOUT_TRC_PQ == 1 && KEL_VOUT_TRC_HLG == 2);
    CHECK(KEL_VOUT_PRI_BT709 == 0 && KEL_VOUT_PRI_BT2020 == 1);
    CHECK(offsetof(KEL_VOUT_STATS_T, last_latency_ms) == 64);
    CHECK(offsetof(KEL_VOUT_STATS_T, late) == 72);
    CHECK(offsetof(KEL_VOUT_STATS_T, refresh_hz) == 80);
    CHECK(offsetof(KEL_VOUT_STATS_T, timing_error_p50_ms) == 88);
    CHECK(offsetof(KEL_VOUT_STATS_T, timing_error_p99_ms) == 96);
    CHECK(offsetof(KEL_VOUT_STATS_T, shown_pts_us) == 104);
    CHECK(sizeof(KEL_VOUT_STATS_T) == 112);
    CHECK(offsetof(KEL_VOUT_OVERLAY_T, bgra) == 16);
    CHECK(offsetof(KEL_VOUT_OVERLAY_T, coords) == 16 + sizeof(void*));
    CHECK(offsetof(KEL_VOUT_OVERLAY_T, opacity) == 36 + sizeof(void*));
    CHECK(sizeof(KEL_VOUT_OVERLAY_T) == (sizeof(void*) == 8 ? 48 : 44));
    CHECK(KEL_VOUT_MAX_OVERLAYS == 16 && KEL_VOUT_OVERLAY_PICTURE == 0 && KEL_VOUT_OVERLAY_WINDOW == 1);
}

static void check_exports(void)
{
    KEL_VOUT_CFG_T cfg;
    KEL_VOUT_HANDLE h = NULL;
    DISPLAY_MODE mode = VOUT_4_3;
    unsigned char frame[64] = {0};
    unsigned char pixels[16];
    int size = -7, width = -8, height = -9;

    CHECK(kel_vout_init() == 0);
    memset(&cfg, 0xFF, sizeof(cfg));
    kel_vout_get_default_param(&cfg);
    CHECK(cfg.windowId == NULL && cfg.vout_mode == VOUT_WGL && cfg.display_mode == VOUT_PREFERRED);
    cfg.vout_mode = VOUT_X11;
    CHECK(kel_vout_create(&cfg) == NULL);
    CHECK(kel_vout_create(NULL) == NULL);

    CHECK(kel_vout_destroy(NULL) == 1);
    CHECK(kel_vout_destroy(&h) == 1);
    CHECK(kel_vout_put_buffer_pool(NULL, frame, 48, 4, 4) == 1);
    CHECK(kel_vout_put_buffer_pool_yuv(NULL, frame, NULL, NULL, 4, 4, 4) == 1);
    CHECK(kel_vout_set_display_mode(NULL, VOUT_NORMAL) == 1);
    CHECK(kel_vout_get_display_mode(NULL, &mode) == 1);
    CHECK(mode == VOUT_4_3);
    CHECK(kel_vout_get_display_mode((KEL_VOUT_HANDLE)frame, NULL) == 1);
    CHECK(kel_vout_put_frame_ex(NULL, NULL, NULL) == 1);
    CHECK(kel_vout_set_clock(NULL, 0, 1.0) == 1);
    CHECK(kel_vout_wait_queue(NULL, 8, 0) == 1);
    CHECK(kel_vout_set_overlay(NULL, 0, NULL) == 1);
    CHECK(kel_vout_set_tone_mapping(NULL, KEL_VOUT_TONEMAP_HABLE, 100) == 1);
    CHECK(kel_vout_set_clock((KEL_VOUT_HANDLE)frame, 0, 1.0) == 1);  /* never a handle */

    memset(pixels, 0x5A, sizeof(pixels));
    LoadBMPData(pixels, &size, &width, &height, NULL);
    LoadBMPData(pixels, &size, &width, &height, "Z:\\no\\such\\file.bmp");
    LoadBMPData(pixels, NULL, NULL, NULL, "Z:\\no\\such\\file.bmp");
    CHECK(size == -7 && width == -8 && height == -9);
    CHECK(pixels[0] == 0x5A && pixels[15] == 0x5A);
}

int main(void)
{
    check_layout();
    check_exports();
    printf("%d passed, %d failed\n", passed, failed);
    return failed != 0;
}
