// glInfo: the OpenGL capability record. getInfo runs on a render thread with its context
// current. The BMP loader it hosts is in bmp_loader.cpp.
#include "glInfo.h"

#include <windows.h>

#include <GL/gl.h>

#include <algorithm>
#include <iostream>
#include <sstream>

#include "OpenGL/include/GL/kel_glext.h"
#include "extension_list.h"

static PFNKELWGLGETEXTENSIONSSTRINGARBPROC pwglGetExtensionsStringARB = nullptr;

bool glInfo::getInfo(uintptr_t param)
{
    const char* s = reinterpret_cast<const char*>(glGetString(GL_VENDOR));
    if (!s)
        return false;
    vendor = s;
    if (!(s = reinterpret_cast<const char*>(glGetString(GL_RENDERER))))
        return false;
    renderer = s;
    if (!(s = reinterpret_cast<const char*>(glGetString(GL_VERSION))))
        return false;
    version = s;
    s = reinterpret_cast<const char*>(glGetString(KEL_GL_SHADING_LANGUAGE_VERSION));
    glslVersion = s ? s : "";
    glGetError();  // a context without the shading-language query flags it; not a failure

    append_extension_names(reinterpret_cast<const char*>(glGetString(GL_EXTENSIONS)), extensions);
    pwglGetExtensionsStringARB =
        reinterpret_cast<PFNKELWGLGETEXTENSIONSSTRINGARBPROC>(reinterpret_cast<void*>(wglGetProcAddress("wglGetExtensionsStringARB")));
    if (pwglGetExtensionsStringARB && param)
        append_extension_names(pwglGetExtensionsStringARB(reinterpret_cast<void*>(param)), extensions);
    std::sort(extensions.begin(), extensions.end());

    glGetIntegerv(GL_RED_BITS, &redBits);
    glGetIntegerv(GL_GREEN_BITS, &greenBits);
    glGetIntegerv(GL_BLUE_BITS, &blueBits);
    glGetIntegerv(GL_ALPHA_BITS, &alphaBits);
    glGetIntegerv(GL_DEPTH_BITS, &depthBits);
    glGetIntegerv(GL_STENCIL_BITS, &stencilBits);
    glGetIntegerv(GL_MAX_LIGHTS, &maxLights);
    glGetIntegerv(GL_MAX_TEXTURE_SIZE, &maxTextureSize);
    glGetIntegerv(GL_MAX_CLIP_PLANES, &maxClipPlanes);
    glGetIntegerv(GL_MAX_MODELVIEW_STACK_DEPTH, &maxModelViewStacks);
    glGetIntegerv(GL_MAX_PROJECTION_STACK_DEPTH, &maxProjectionStacks);
    glGetIntegerv(GL_MAX_ATTRIB_STACK_DEPTH, &maxAttribStacks);
    glGetIntegerv(GL_MAX_TEXTURE_STACK_DEPTH, &maxTextureStacks);
    return true;
}

bool glInfo::isExtensionSupported(const std::string& ext) const
{
    return std::find(extensions.begin(), extensions.end(), ext) != extensions.end();
}

bool glInfo::HasExtension(const char* apis, const char* api)
{
    return has_extension_token(apis, api);
}

void glInfo::printSelf() const
{
    std::stringstream ss;
    ss << "\n"
       << "OpenGL Driver Info\n"
       << "==================\n"
       << "Vendor: " << vendor << "\n"
       << "Version: " << version << "\n"
       << "GLSL Version: " << glslVersion << "\n"
       << "Renderer: " << renderer << "\n"
       << "\n"
       << "Color Bits(R,G,B,A): (" << redBits << ", " << greenBits << ", " << blueBits << ", " << alphaBits << ")\n"
       << "Depth Bits: " << depthBits << "\n"
       << "Stencil Bits: " << stencilBits << "\n"
       << "\n"
       << "Max Texture Size: " << maxTextureSize << "x" << maxTextureSize << "\n"
       << "Max Lights: " << maxLights << "\n"
       << "Max Clip Planes: " << maxClipPlanes << "\n"
       << "Max Modelview Matrix Stacks: " << maxModelViewStacks << "\n"
       << "Max Projection Matrix Stacks: " << maxProjectionStacks << "\n"
       << "Max Attribute Stacks: " << maxAttribStacks << "\n"
       << "Max Texture Stacks: " << maxTextureStacks << "\n"
       << "\n"
       << "Total Number of Extensions: " << extensions.size() << "\n"
       << "==============================\n";
    for (const std::string& e : extensions)
        ss << e << "\n";
    ss << "======================================================================\n";
    std::cout << ss.str() << std::endl;
}
