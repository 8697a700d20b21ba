// The capability query against the real OpenGL implementation of this process.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <iostream>
#include <sstream>

#include "glInfo.h"
#include "host_window.h"

namespace {
// A window with a current OpenGL context for the duration of a test.
struct GlContext {
    GlContext() : host(64, 64)
    {
        dc = GetDC(host.hwnd);
        PIXELFORMATDESCRIPTOR pfd{};
        pfd.nSize = sizeof(pfd);
        pfd.nVersion = 1;
        pfd.dwFlags = PFD_DOUBLEBUFFER | PFD_DRAW_TO_WINDOW | PFD_SUPPORT_OPENGL;
        pfd.iPixelType = PFD_TYPE_RGBA;
        pfd.cColorBits = 24;
        SetPixelFormat(dc, ChoosePixelFormat(dc, &pfd), &pfd);
        rc = wglCreateContext(dc);
        wglMakeCurrent(dc, rc);
    }
    ~GlContext()
    {
        wglMakeCurrent(nullptr, nullptr);
        wglDeleteContext(rc);
        ReleaseDC(host.hwnd, dc);
    }
    HostWindow host;
    HDC dc = nullptr;
    HGLRC rc = nullptr;
};
}  // namespace

TEST(GlInfo, WithoutAContextTheQueryFailsAndReadsNothing)
{
    glInfo info;
    EXPECT_FALSE(info.getInfo(0));
    EXPECT_TRUE(info.extensions.empty());
    EXPECT_EQ(info.maxTextureSize, 0);
}

TEST(GlInfo, FillsTheRecordFromTheCurrentContext)
{
    GlContext gl;
    ASSERT_NE(gl.rc, nullptr);
    glInfo info;
    ASSERT_TRUE(info.getInfo(0));
    EXPECT_FALSE(info.vendor.empty());
    EXPECT_FALSE(info.renderer.empty());
    EXPECT_FALSE(info.version.empty());
    EXPECT_GE(info.maxTextureSize, 2048);
    EXPECT_EQ(info.redBits, 8);
    EXPECT_TRUE(std::is_sorted(info.extensions.begin(), info.extensions.end()));
    EXPECT_TRUE(info.isExtensionSupported("GL_ARB_fragment_program"));
    EXPECT_TRUE(info.isExtensionSupported("GL_ARB_multitexture"));
    EXPECT_FALSE(info.isExtensionSupported("GL_ARB_multi"));
    EXPECT_FALSE(info.isExtensionSupported("gl_arb_multitexture"));
    for (const std::string& e : info.extensions)
        EXPECT_FALSE(e.empty() || e.find(' ') != std::string::npos);
    // Without a device context the WGL names are left out.
    EXPECT_FALSE(info.isExtensionSupported("WGL_ARB_extensions_string"));

    // A second query appends a second full set, still sorted.
    const size_t once = info.extensions.size();
    ASSERT_TRUE(info.getInfo(0));
    EXPECT_EQ(info.extensions.size(), 2 * once);
    EXPECT_TRUE(std::is_sorted(info.extensions.begin(), info.extensions.end()));
}

TEST(GlInfo, ADeviceContextAddsTheWglNames)
{
    GlContext gl;
    glInfo info;
    ASSERT_TRUE(info.getInfo(reinterpret_cast<uintptr_t>(gl.dc)));
    EXPECT_TRUE(info.isExtensionSupported("WGL_ARB_extensions_string"));
    EXPECT_TRUE(std::is_sorted(info.extensions.begin(), info.extensions.end()));
}

TEST(GlInfo, ReportHasTheDocumentedLines)
{
    glInfo info;
    info.vendor = "V";
    info.version = "1.2";
    info.renderer = "R";
    info.redBits = 8;
    info.greenBits = 7;
    info.blueBits = 6;
    info.alphaBits = 5;
    info.maxTextureSize = 4096;
    info.extensions = {"GL_A", "GL_B"};
    std::ostringstream captured;
    std::streambuf* old = std::cout.rdbuf(captured.rdbuf());
    info.printSelf();
    std::cout.rdbuf(old);
    const std::string expected =
        "\nOpenGL Driver Info\n==================\nVendor: V\nVersion: 1.2\nGLSL Version: \nRenderer: R\n\n"
        "Color Bits(R,G,B,A): (8, 7, 6, 5)\nDepth Bits: 0\nStencil Bits: 0\n\n"
        "Max Texture Size: 4096x4096\nMax Lights: 0\nMax Clip Planes: 0\nMax Modelview Matrix Stacks: 0\n"
        "Max Projection Matrix Stacks: 0\nMax Attribute Stacks: 0\nMax Texture Stacks: 0\n\n"
        "Total Number of Extensions: 2\n==============================\nGL_A\nGL_B\n"
        "======================================================================\n\n";
    EXPECT_EQ(captured.str(), expected);
    EXPECT_TRUE(glInfo::HasExtension("GL_A GL_AB ", "GL_AB"));
    EXPECT_FALSE(glInfo::HasExtension("GL_ABC", "GL_AB"));
}
