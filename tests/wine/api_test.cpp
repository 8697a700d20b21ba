// The exported functions and the instance base: defaults, the factory, null handles, the
// display-mode calls, and what a push takes or refuses.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <thread>
#include <vector>

#include "kel_vout.h"
#include "test_support.h"

namespace {

KEL_VOUT_CFG_T default_cfg(SOURCE_FORMAT format = VOUT_YUV420)
{
    KEL_VOUT_CFG_T cfg;
    kel_vout_get_default_param(&cfg);
    cfg.source_format = format;
    return cfg;
}

struct Instance {
    explicit Instance(SOURCE_FORMAT format = VOUT_YUV420) : vout(test_vout::create(default_cfg(format))) {}
    ~Instance()
    {
        if (vout)
            vout->destroy();
    }
    KEL_VOUT_HANDLE handle() const { return vout->handle(); }
    test_vout* vout;
};

}  // namespace

TEST(Api, DefaultParametersOverwriteGarbage)
{
    KEL_VOUT_CFG_T cfg;
    std::memset(&cfg, 0xA5, sizeof(cfg));
    kel_vout_get_default_param(&cfg);
    EXPECT_EQ(cfg.windowId, nullptr);
    EXPECT_EQ(cfg.vout_mode, VOUT_WGL);
    EXPECT_EQ(cfg.display_mode, VOUT_PREFERRED);
    EXPECT_EQ(cfg.source_format, VOUT_YUV420);
    const VOUT_DISPLAY_PLACE_T zero{};
    EXPECT_EQ(std::memcmp(&cfg.place, &zero, sizeof(zero)), 0);
    kel_vout_get_default_param(nullptr);  // ignored
}

TEST(Api, CreateWithoutABackendAnswersNullAtOnceWithoutAThread)
{
    const int threads_before = count_process_threads();
    for (int mode : {int(VOUT_X11), int(VOUT_XCB), int(VOUT_GLX), int(VOUT_D3D11) + 1, -1}) {
        KEL_VOUT_CFG_T cfg = default_cfg();
        cfg.vout_mode = VOUT_MODE(mode);
        cfg.windowId = GetDesktopWindow();
        const DWORD t0 = GetTickCount();
        EXPECT_EQ(kel_vout_create(&cfg), nullptr) << mode;
        EXPECT_LT(GetTickCount() - t0, 1000u) << mode;
    }
    EXPECT_EQ(kel_vout_create(nullptr), nullptr);
    EXPECT_EQ(count_process_threads(), threads_before);
}

TEST(Api, EveryHandleTakingExportRefusesANullHandle)
{
    const uint8_t frame[64] = {};
    DISPLAY_MODE mode = VOUT_16_9;
    EXPECT_EQ(kel_vout_put_buffer_pool(nullptr, frame, 48, 4, 4), 1);
    EXPECT_EQ(kel_vout_put_buffer_pool_yuv(nullptr, frame, nullptr, nullptr, 4, 4, 4), 1);
    EXPECT_EQ(kel_vout_set_display_mode(nullptr, VOUT_4_3), 1);
    EXPECT_EQ(kel_vout_get_display_mode(nullptr, &mode), 1);
    EXPECT_EQ(mode, VOUT_16_9);
    KEL_VOUT_HANDLE h = nullptr;
    EXPECT_EQ(kel_vout_destroy(&h), 1);
    EXPECT_EQ(kel_vout_destroy(nullptr), 1);
}

TEST(Api, InitFromManyThreadsAlwaysAnswersZero)
{
    std::vector<std::thread> threads;
    std::vector<int> failures(16, 0);
    for (size_t i = 0; i < failures.size(); ++i)
        threads.emplace_back([&failures, i] {
            for (int k = 0; k < 100; ++k)
                failures[i] += kel_vout_init() != 0;
        });
    for (auto& t : threads)
        t.join();
    for (int f : failures)
        EXPECT_EQ(f, 0);
}

TEST(Instance, StartsWithTheConfiguredModeAndFormatBuffers)
{
    for (SOURCE_FORMAT format : {VOUT_YUV420, VOUT_RGB}) {
        KEL_VOUT_CFG_T cfg = default_cfg(format);
        cfg.display_mode = VOUT_16_9;
        cfg.place.pix_width = 320;
        cfg.place.pix_height = 240;
        test_vout* v = test_vout::create(cfg);
        ASSERT_NE(v, nullptr);
        DISPLAY_MODE mode = VOUT_NORMAL;
        EXPECT_EQ(kel_vout_get_display_mode(v->handle(), &mode), 0);
        EXPECT_EQ(mode, VOUT_16_9);
        EXPECT_TRUE(v->display().created);
        EXPECT_EQ(v->display().place.pix_width, 320u);
        EXPECT_EQ(v->display().source_format, format);
        EXPECT_NE(v->display().picture.buf, nullptr);
        v->destroy();
    }
}

TEST(Instance, ARenderThreadThatNeverStartsFailsCreationAfterTheWait)
{
    const int threads_before = count_process_threads();
    const DWORD t0 = GetTickCount();
    EXPECT_EQ(test_vout::create(default_cfg(), false), nullptr);
    const DWORD waited = GetTickCount() - t0;
    EXPECT_GE(waited, 650u);
    EXPECT_LT(waited, 2000u);
    EXPECT_EQ(count_process_threads(), threads_before);
}

TEST(Instance, SettingADifferentModeRequestsReplacementTheSameModeDoesNot)
{
    Instance inst;
    ASSERT_NE(inst.vout, nullptr);
    kel_vout_display_t& d = inst.vout->display();
    EXPECT_EQ(kel_vout_set_display_mode(inst.handle(), VOUT_PREFERRED), 0);
    EXPECT_FALSE(d.cfg.is_ch_display_size);
    EXPECT_EQ(kel_vout_set_display_mode(inst.handle(), VOUT_4_3), 0);
    EXPECT_TRUE(d.cfg.is_ch_display_size);
    DISPLAY_MODE mode = VOUT_NORMAL;
    EXPECT_EQ(kel_vout_get_display_mode(inst.handle(), &mode), 0);
    EXPECT_EQ(mode, VOUT_4_3);
    EXPECT_EQ(kel_vout_get_display_mode(inst.handle(), nullptr), 1);

    d.cfg.is_ch_display_size = false;  // as the render thread does once it re-placed
    EXPECT_EQ(kel_vout_set_display_mode(inst.handle(), DISPLAY_MODE(42)), 0);  // stored as is
    EXPECT_TRUE(d.cfg.is_ch_display_size);
    EXPECT_EQ(kel_vout_get_display_mode(inst.handle(), &mode), 0);
    EXPECT_EQ(int(mode), 42);
}

TEST(Push, PlanarFrameIsPackedIntoThePool)
{
    Instance inst;
    ASSERT_NE(inst.vout, nullptr);
    const int w = 6, h = 4, stride = 8;
    std::vector<uint8_t> y(stride * h), u(stride / 2 * h / 2), v(stride / 2 * h / 2);
    for (size_t i = 0; i < y.size(); ++i)
        y[i] = uint8_t(i);
    for (size_t i = 0; i < u.size(); ++i) {
        u[i] = uint8_t(100 + i);
        v[i] = uint8_t(200 + i);
    }
    ASSERT_EQ(kel_vout_put_buffer_pool_yuv(inst.handle(), y.data(), u.data(), v.data(), stride, w, h), 0);
    PICTURE_T& pic = inst.vout->display().picture;
    ASSERT_EQ(inst.vout->pool().get_pool(&pic), 0);
    EXPECT_EQ(pic.bufsize, 36);
    EXPECT_EQ(pic.pix_width, w);
    EXPECT_EQ(pic.pix_height, h);
    const uint8_t expected[36] = {0,  1,  2,  3,  4,  5,  8,  9,  10, 11, 12, 13, 16,  17,  18,  19,  20,  21,
                                  24, 25, 26, 27, 28, 29, 100, 101, 102, 104, 105, 106, 200, 201, 202, 204, 205, 206};
    EXPECT_EQ(std::memcmp(pic.buf, expected, sizeof(expected)), 0);
}

TEST(Push, PackedFrameReachesThePoolUnchanged)
{
    Instance inst(VOUT_RGB);
    ASSERT_NE(inst.vout, nullptr);
    std::vector<uint8_t> rgb(3 * 16 * 2 + 1);  // 16x2 RGB plus one spare byte
    for (size_t i = 0; i < rgb.size(); ++i)
        rgb[i] = uint8_t(i * 7);
    ASSERT_EQ(kel_vout_put_buffer_pool(inst.handle(), rgb.data(), int(rgb.size()), 16, 2), 0);
    PICTURE_T& pic = inst.vout->display().picture;
    ASSERT_EQ(inst.vout->pool().get_pool(&pic), 0);
    EXPECT_EQ(pic.bufsize, int(rgb.size()));
    EXPECT_EQ(std::memcmp(pic.buf, rgb.data(), rgb.size()), 0);
}

TEST(Push, RefusedPushesAnswerOneAndQueueNothing)
{
    Instance yuv;
    Instance rgb(VOUT_RGB);
    ASSERT_NE(yuv.vout, nullptr);
    ASSERT_NE(rgb.vout, nullptr);
    static std::vector<uint8_t> big(8294401);
    const uint8_t* p = big.data();
    struct Case {
        const char* what;
        int status;
    };
    const Case cases[] = {
        {"null planes", kel_vout_put_buffer_pool_yuv(yuv.handle(), nullptr, p, p, 64, 64, 64)},
        {"one chroma plane", kel_vout_put_buffer_pool_yuv(yuv.handle(), p, p, nullptr, 64, 64, 64)},
        {"padded contiguous", kel_vout_put_buffer_pool_yuv(yuv.handle(), p, nullptr, nullptr, 72, 64, 64)},
        {"linesize below width", kel_vout_put_buffer_pool_yuv(yuv.handle(), p, p, p, 60, 64, 64)},
        {"zero height", kel_vout_put_buffer_pool_yuv(yuv.handle(), p, p, p, 64, 64, 0)},
        {"yuv above capacity", kel_vout_put_buffer_pool_yuv(yuv.handle(), p, p, p, 2048, 2048, 1440)},
        {"planar to rgb", kel_vout_put_buffer_pool_yuv(rgb.handle(), p, p, p, 64, 64, 64)},
        {"packed null", kel_vout_put_buffer_pool(rgb.handle(), nullptr, 48, 4, 4)},
        {"packed negative size", kel_vout_put_buffer_pool(rgb.handle(), p, -1, 4, 4)},
        {"packed short rows", kel_vout_put_buffer_pool(rgb.handle(), p, 47, 4, 4)},
        {"packed above capacity", kel_vout_put_buffer_pool(rgb.handle(), p, 8294401, 1920, 1440)},
        {"packed yuv short", kel_vout_put_buffer_pool(yuv.handle(), p, 6143, 64, 64)},
        {"packed above yuv capacity", kel_vout_put_buffer_pool(yuv.handle(), p, 4147201, 1920, 1440)},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.status, 1) << c.what;
    EXPECT_EQ(yuv.vout->pool().waiting(), 0);
    EXPECT_EQ(rgb.vout->pool().waiting(), 0);
}

TEST(Push, APushToAStoppingInstanceAnswersOne)
{
    Instance inst;
    ASSERT_NE(inst.vout, nullptr);
    const uint8_t frame[24] = {};
    inst.vout->display().done = true;
    EXPECT_EQ(kel_vout_put_buffer_pool_yuv(inst.handle(), frame, nullptr, nullptr, 4, 4, 4), 1);
    EXPECT_EQ(kel_vout_put_buffer_pool(inst.handle(), frame, 24, 4, 4), 1);
    EXPECT_EQ(inst.vout->pool().waiting(), 0);
}

TEST(Push, AFailedAllocationDropsOnlyThatFrame)
{
    Instance inst;
    ASSERT_NE(inst.vout, nullptr);
    uint8_t frame[24];
    std::memset(frame, 1, sizeof(frame));
    ASSERT_EQ(kel_vout_put_buffer_pool_yuv(inst.handle(), frame, nullptr, nullptr, 4, 4, 4), 0);
    Picture_Pool::set_allocator_for_testing([](size_t) -> void* { return nullptr; });
    std::memset(frame, 2, sizeof(frame));
    const int failed = kel_vout_put_buffer_pool_yuv(inst.handle(), frame, nullptr, nullptr, 4, 4, 4);
    Picture_Pool::set_allocator_for_testing(nullptr);
    EXPECT_EQ(failed, 1);
    std::memset(frame, 3, sizeof(frame));
    ASSERT_EQ(kel_vout_put_buffer_pool_yuv(inst.handle(), frame, nullptr, nullptr, 4, 4, 4), 0);

    PICTURE_T& pic = inst.vout->display().picture;
    ASSERT_EQ(inst.vout->pool().get_pool(&pic), 0);
    EXPECT_EQ(pic.buf[0], 1);
    ASSERT_EQ(inst.vout->pool().get_pool(&pic), 0);
    EXPECT_EQ(pic.buf[0], 3);
    EXPECT_EQ(inst.vout->pool().waiting(), 0);
}
