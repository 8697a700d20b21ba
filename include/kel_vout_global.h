/* kel_vout public types: the enumerations, the placement record and the creation record.
 * Plain C; no Windows header is needed to use them. */
#ifndef KEL_VOUT_GLOBAL_H
#define KEL_VOUT_GLOBAL_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Backend that draws an instance. VOUT_WGL, VOUT_D3D and VOUT_D3D11 exist on Windows. */
typedef enum {
    VOUT_X11 = 0, /* declared for other platforms; creation fails here */
    VOUT_XCB = 1, /* declared for other platforms; creation fails here */
    VOUT_GLX = 2, /* declared for other platforms; creation fails here */
    VOUT_WGL = 3, /* OpenGL through WGL; the default */
    VOUT_D3D = 4, /* Direct3D 9 */
    VOUT_D3D11 = 5 /* Direct3D 11 with a flip-model swap chain (Windows 7 with its platform update
                      and later; shaders compiled by the system's d3dcompiler_47.dll) */
} VOUT_MODE;

/* How the picture is fitted into the parent window's client area. */
typedef enum {
    VOUT_NORMAL = 0,   /* fill the whole client area */
    VOUT_4_3 = 1,      /* largest centred 4:3 rectangle */
    VOUT_16_9 = 2,     /* largest centred 16:9 rectangle */
    VOUT_PREFERRED = 3 /* largest centred rectangle with the picture's proportions; the default */
} DISPLAY_MODE;

/* Format of the frames an instance takes. */
typedef enum {
    VOUT_YUV420 = 0, /* planar Y, U, V 4:2:0; push with kel_vout_put_buffer_pool_yuv; the default */
    VOUT_RGB = 1     /* packed RGB, 3 bytes per pixel, rows at multiples of 4 bytes, top row first;
                        push with kel_vout_put_buffer_pool */
} SOURCE_FORMAT;

/* A placement rectangle, in pixels. */
typedef struct vout_display_place_t {
    int32_t x;
    int32_t y;
    uint32_t width;
    uint32_t height;
    uint32_t pix_width;  /* picture width */
    uint32_t pix_height; /* picture height */
} vout_display_place_t, VOUT_DISPLAY_PLACE_T;

/* Creation record. Start from kel_vout_get_default_param, then set windowId. */
typedef struct kel_vout_cfg_t {
    void* windowId;               /* the host's parent window (HWND) */
    VOUT_MODE vout_mode;          /* backend */
    DISPLAY_MODE display_mode;    /* initial aspect mode */
    SOURCE_FORMAT source_format;  /* format of the frames that will be pushed */
    VOUT_DISPLAY_PLACE_T place;   /* pix_width/pix_height: picture size assumed before the
                                     first frame; the other fields are replaced or unused */
} kel_vout_cfg_t, KEL_VOUT_CFG_T;

#ifdef __cplusplus
}
#endif

#endif /* KEL_VOUT_GLOBAL_H */
