// glInfo: what the OpenGL implementation behind the current context reports about itself, and
// the BMP file loader. getInfo runs on a thread with a current context; lookups on any thread
// once the record is filled.
#ifndef KEL_VOUT_GLINFO_H
#define KEL_VOUT_GLINFO_H

#include <cstdint>
#include <string>
#include <vector>

struct glInfo {
    std::string vendor;
    std::string renderer;
    std::string version;
    std::string glslVersion;
    std::vector<std::string> extensions;  // sorted
    int32_t redBits = 0;
    int32_t greenBits = 0;
    int32_t blueBits = 0;
    int32_t alphaBits = 0;
    int32_t depthBits = 0;
    int32_t stencilBits = 0;
    int32_t maxTextureSize = 0;
    int32_t maxLights = 0;
    int32_t maxAttribStacks = 0;
    int32_t maxModelViewStacks = 0;
    int32_t maxProjectionStacks = 0;
    int32_t maxClipPlanes = 0;
    int32_t maxTextureStacks = 0;

    // Fills the record from the current context. param: a device context (HDC) whose WGL
    // extensions are added too, or 0. False when the context reports no vendor, renderer or
    // version (no current context).
    bool getInfo(uintptr_t param = 0);
    bool isExtensionSupported(const std::string& ext) const;
    static bool HasExtension(const char* apis, const char* api);
    void printSelf() const;

    // Reads a BMP file into pBuf (see LoadBMPData in kel_vout.h). Writes nothing for a file
    // that cannot be opened or trusted.
    static void LoadBMPData(unsigned char* pBuf, int& bufSize, int& Width, int& Height, const char* Filename);
};

#endif
