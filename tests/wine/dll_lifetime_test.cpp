// The DLL loaded and unloaded as plugin hosts do: many load/use/unload cycles with each backend,
// and an unload while an instance still runs. Loads kel_vout.dll from this program's folder.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "host_window.h"
#include "kel_vout.h"
#include "process_counts.h"

namespace {

struct Library {
    HMODULE module = nullptr;
    decltype(&kel_vout_get_default_param) get_default_param = nullptr;
    decltype(&kel_vout_create) create = nullptr;
    decltype(&kel_vout_destroy) destroy = nullptr;
    decltype(&kel_vout_put_buffer_pool_yuv) push = nullptr;
    decltype(&kel_vout_snapshot) snapshot = nullptr;

    bool load()
    {
        module = LoadLibraryA("kel_vout.dll");
        if (!module)
            return false;
        get_default_param = reinterpret_cast<decltype(get_default_param)>(
            reinterpret_cast<void*>(GetProcAddress(module, "kel_vout_get_default_param")));
        create = reinterpret_cast<decltype(create)>(reinterpret_cast<void*>(GetProcAddress(module, "kel_vout_create")));
        destroy =
            reinterpret_cast<decltype(destroy)>(reinterpret_cast<void*>(GetProcAddress(module, "kel_vout_destroy")));
        push = reinterpret_cast<decltype(push)>(
            reinterpret_cast<void*>(GetProcAddress(module, "kel_vout_put_buffer_pool_yuv")));
        snapshot =
            reinterpret_cast<decltype(snapshot)>(reinterpret_cast<void*>(GetProcAddress(module, "kel_vout_snapshot")));
        return get_default_param && create && destroy && push && snapshot;
    }

    KEL_VOUT_HANDLE create_in(HWND parent, VOUT_MODE backend)
    {
        KEL_VOUT_CFG_T cfg;
        get_default_param(&cfg);
        cfg.windowId = parent;
        cfg.vout_mode = backend;
        cfg.display_mode = VOUT_NORMAL;
        return create(&cfg);
    }

    bool shows(KEL_VOUT_HANDLE h, uint8_t luma)
    {
        std::vector<uint8_t> frame(64 * 48 * 3 / 2, 128);
        std::fill(frame.begin(), frame.begin() + 64 * 48, luma);
        std::vector<uint8_t> rgb(64 * 48 * 3);
        for (int i = 0; i < 100; ++i) {
            push(h, frame.data(), nullptr, nullptr, 64, 64, 48);
            int32_t w = 0, hgt = 0;
            // Grey of that luma: (luma - 16) x 255/219.
            if (snapshot(h, rgb.data(), int32_t(rgb.size()), &w, &hgt, 2000) == 0 &&
                std::abs(int(rgb[3 * 100]) - (int(luma) - 16) * 255 / 219) <= 2)
                return true;
            HostWindow::pump(10);
        }
        return false;
    }
};

bool loaded()
{
    return GetModuleHandleA("kel_vout.dll") != nullptr;
}

class Unloading : public ::testing::TestWithParam<VOUT_MODE> {};

}  // namespace

// Load, show a frame, destroy, unload: 100 times. Each unload takes the library (and its window
// class, whose procedure would point at unmapped code) out of the process, the next load
// registers it anew, and nothing grows.
TEST_P(Unloading, HundredLoadUseUnloadCycles)
{
    const VOUT_MODE backend = GetParam();
    const char* cls = backend_class(backend);
    HostWindow host(64, 48);
    ASSERT_FALSE(loaded());
    int threads_before = 0;
    DWORD slowest_unload = 0, total_unload = 0;
    for (int cycle = 0; cycle < 100; ++cycle) {
        Library lib;
        ASSERT_TRUE(lib.load()) << "cycle " << cycle;
        KEL_VOUT_HANDLE h = lib.create_in(host.hwnd, backend);
        ASSERT_NE(h, nullptr) << "cycle " << cycle;
        if (cycle % 10 == 0) {
            ASSERT_TRUE(lib.shows(h, uint8_t(40 + cycle))) << "cycle " << cycle;
        } else {
            // A picture is painted, so that every cycle makes (and releases) its device: a destroy
            // right after the push would stop the instance before it made one.
            lib.push(h, std::vector<uint8_t>(64 * 48 * 3 / 2, 100).data(), nullptr, nullptr, 64, 64, 48);
            std::vector<uint8_t> rgb(64 * 48 * 3);
            int32_t w = 0, hgt = 0;
            EXPECT_EQ(lib.snapshot(h, rgb.data(), int32_t(rgb.size()), &w, &hgt, 5000), 0) << "cycle " << cycle;
        }
        ASSERT_EQ(lib.destroy(&h), 0);
        const HMODULE module = lib.module;
        const DWORD t0 = GetTickCount();
        ASSERT_TRUE(FreeLibrary(module));
        const DWORD took = GetTickCount() - t0;
        slowest_unload = std::max(slowest_unload, took);
        total_unload += took;
        // The render thread's reference goes as it ends, right after the destroy if not before.
        ASSERT_TRUE(HostWindow::pump_until([] { return !loaded(); }, kPatienceMs)) << "cycle " << cycle;
        WNDCLASSA wc{};
        EXPECT_FALSE(GetClassInfoA(module, cls, &wc)) << "the class outlived the library, cycle " << cycle;
        if (cycle == 9) {
            HostWindow::pump(200);
            threads_before = count_process_threads();
        }
    }
    std::printf("[ unload   ] %s: FreeLibrary %lu ms on average, %lu ms at most\n", cls,
                static_cast<unsigned long>(total_unload / 100), static_cast<unsigned long>(slowest_unload));
    EXPECT_TRUE(HostWindow::pump_until([&] { return count_process_threads() <= threads_before; }, kPatienceMs));
}

// A host that unloads the library while an instance runs: the instance's render thread keeps the
// library's code in place, the picture goes on, and the instance can still be destroyed through
// the library loaded again; then the library goes.
TEST_P(Unloading, AnInstanceOutlivesTheHostsUnload)
{
    HostWindow host(64, 48);
    Library lib;
    ASSERT_TRUE(lib.load());
    KEL_VOUT_HANDLE h = lib.create_in(host.hwnd, GetParam());
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(lib.shows(h, 120));
    ASSERT_TRUE(FreeLibrary(lib.module));
    EXPECT_TRUE(loaded());
    HostWindow::pump(200);  // the render thread keeps running its loop in the library's code

    Library again;
    ASSERT_TRUE(again.load());
    EXPECT_EQ(again.module, lib.module);
    EXPECT_TRUE(again.shows(h, 200));
    EXPECT_EQ(again.destroy(&h), 0);
    ASSERT_TRUE(FreeLibrary(again.module));
    // The render thread's reference goes as it ends: then the library leaves.
    EXPECT_TRUE(HostWindow::pump_until([] { return !loaded(); }, kPatienceMs));
}

INSTANTIATE_TEST_SUITE_P(Backends, Unloading, ::testing::Values(VOUT_WGL, VOUT_D3D, VOUT_D3D11),
                         [](const ::testing::TestParamInfo<VOUT_MODE>& i) { return std::string(backend_label(i.param)); });
