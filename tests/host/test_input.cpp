// Input injection: absolute coordinates, mouse button/wheel flags, extended keys, Unicode characters.
#include <gtest/gtest.h>
#include <stdint.h>
#include "host/input.h"
#include "protocol/messages.h"

TEST(InputMouse, AbsoluteCoordinatesOnFullHd) {
    input_event ev;
    input_map_mouse(1919, 540, INPUT_ACTION_MOVE, 0, 0, 1920, 1080, &ev);
    EXPECT_EQ(ev.kind, INPUT_KIND_MOUSE);
    EXPECT_EQ(ev.dx, 65535);
    EXPECT_EQ(ev.dy, 32797);   // 540 * 65535 / 1079, truncated
    EXPECT_EQ(ev.flags, 0x8001u);
    EXPECT_EQ(ev.mouse_data, 0u);
    input_map_mouse(0, 1079, INPUT_ACTION_MOVE, 0, 0, 1920, 1080, &ev);
    EXPECT_EQ(ev.dx, 0);
    EXPECT_EQ(ev.dy, 65535);
}

TEST(InputMouse, DegenerateAndHostileExtentsDoNotOverflow) {
    EXPECT_EQ(input_abs_coord(1, 1), 65535);     // width 1: no division
    EXPECT_EQ(input_abs_coord(2, 0), 131070);    // width 0: no division by zero
    EXPECT_EQ(input_abs_coord(-5, 1920), -170);  // truncation toward zero
    // A forged coordinate far off screen: the 64-bit product is exact, only the result wraps.
    int64_t q = (int64_t)INT32_MAX * 65535 / 1919;
    EXPECT_EQ(input_abs_coord(INT32_MAX, 1920), (int32_t)(uint32_t)(uint64_t)q);
    EXPECT_EQ(input_abs_coord(INT32_MIN, 2), (int32_t)(uint32_t)(uint64_t)((int64_t)INT32_MIN * 65535));
}

TEST(InputMouse, ButtonAndWheelRules) {
    const uint32_t down[3] = {0x0002, 0x0008, 0x0020}, up[3] = {0x0004, 0x0010, 0x0040};
    input_event ev;
    for (int b = 0; b < 3; b++) {
        input_map_mouse(10, 10, INPUT_ACTION_DOWN, b, 0, 100, 100, &ev);
        EXPECT_EQ(ev.flags, 0x8001u | down[b]) << b;
        input_map_mouse(10, 10, INPUT_ACTION_UP, b, 0, 100, 100, &ev);
        EXPECT_EQ(ev.flags, 0x8001u | up[b]) << b;
    }
    // A button above 2 and an unknown action only move the pointer.
    input_map_mouse(10, 10, INPUT_ACTION_DOWN, 3, 0, 100, 100, &ev);
    EXPECT_EQ(ev.flags, 0x8001u);
    input_map_mouse(10, 10, INPUT_ACTION_UP, 255, 0, 100, 100, &ev);
    EXPECT_EQ(ev.flags, 0x8001u);
    input_map_mouse(10, 10, 9, 0, 120, 100, 100, &ev);
    EXPECT_EQ(ev.flags, 0x8001u);
    EXPECT_EQ(ev.mouse_data, 0u);
    // Wheel: sign-extended delta.
    input_map_mouse(10, 10, INPUT_ACTION_WHEEL, 0, -120, 100, 100, &ev);
    EXPECT_EQ(ev.flags, 0x8801u);
    EXPECT_EQ(ev.mouse_data, 0xFFFFFF88u);
    EXPECT_EQ(ev.dx, 10 * 65535 / 99);
}

TEST(InputKey, PressReleaseAndExtendedKeys) {
    input_event ev;
    input_map_key(0x10000u | INPUT_VK_DELETE, &ev);
    EXPECT_EQ(ev.kind, INPUT_KIND_KEYBOARD);
    EXPECT_EQ(ev.vk, INPUT_VK_DELETE);
    EXPECT_EQ(ev.flags, (uint32_t)INPUT_KEYEVENTF_EXTENDEDKEY);
    input_map_key(INPUT_VK_DELETE, &ev);
    EXPECT_EQ(ev.flags, (uint32_t)(INPUT_KEYEVENTF_EXTENDEDKEY | INPUT_KEYEVENTF_KEYUP));
    input_map_key(0x10000u | 'A', &ev);
    EXPECT_EQ(ev.flags, 0u);
    input_map_key(0x800000u | 'A', &ev);   // any non-zero byte in bits 16..23 is a press
    EXPECT_EQ(ev.flags, 0u);
    input_map_key(0x1000000u | 'A', &ev);  // bit 24 is outside the press byte
    EXPECT_EQ(ev.flags, (uint32_t)INPUT_KEYEVENTF_KEYUP);

    const uint16_t ext[18] = {0x25, 0x27, 0x26, 0x28, 0x24, 0x23, 0x21, 0x22, 0x2D,
                              0x2E, 0xA3, 0xA5, 0x5B, 0x5C, 0x5D, 0x6F, 0x90, 0x2C};
    int count = 0;
    for (int vk = 0; vk < 0x10000; vk++) count += input_is_extended_key((uint16_t)vk);
    EXPECT_EQ(count, 18);
    for (uint16_t vk : ext) EXPECT_TRUE(input_is_extended_key(vk)) << vk;
    EXPECT_FALSE(input_is_extended_key(0xA2));   // left control is not extended
    EXPECT_FALSE(input_is_extended_key(0x0D));
}

TEST(InputChar, UnicodeDownThenUp) {
    input_event ev[2];
    input_map_char(0x20AC, ev);
    for (int i = 0; i < 2; i++) {
        EXPECT_EQ(ev[i].kind, INPUT_KIND_KEYBOARD);
        EXPECT_EQ(ev[i].vk, 0);
        EXPECT_EQ(ev[i].scan, 0x20AC);
    }
    EXPECT_EQ(ev[0].flags, (uint32_t)INPUT_KEYEVENTF_UNICODE);
    EXPECT_EQ(ev[1].flags, (uint32_t)(INPUT_KEYEVENTF_UNICODE | INPUT_KEYEVENTF_KEYUP));
}

#ifndef _WIN32
// The native stand-in records what the payload handlers inject.
TEST(InputPayload, HandlersInjectDecodedMessages) {
    input_record_clear();
    uint8_t mouse[12];
    put_i32(mouse, 1919);
    put_i32(mouse + 4, 540);
    mouse[8] = INPUT_ACTION_DOWN;
    mouse[9] = 1;
    put_i16(mouse + 10, 0);
    input_mouse(mouse, 1920, 1080);
    uint8_t key[4] = {INPUT_VK_DELETE, 0, 1, 0};
    input_key(key);
    uint8_t ch[2] = {0x41, 0x00};
    input_char(ch);

    ASSERT_EQ(input_recorded_count(), 4);
    input_event ev;
    ASSERT_TRUE(input_recorded(0, &ev));
    EXPECT_EQ(ev.dx, 65535);
    EXPECT_EQ(ev.dy, 32797);
    EXPECT_EQ(ev.flags, 0x8009u);
    ASSERT_TRUE(input_recorded(1, &ev));
    EXPECT_EQ(ev.vk, INPUT_VK_DELETE);
    EXPECT_EQ(ev.scan, input_scan_code(INPUT_VK_DELETE));
    EXPECT_EQ(ev.scan, 0x53);
    EXPECT_EQ(ev.flags, (uint32_t)INPUT_KEYEVENTF_EXTENDEDKEY);
    ASSERT_TRUE(input_recorded(3, &ev));
    EXPECT_EQ(ev.scan, 0x41);
    EXPECT_FALSE(input_recorded(4, &ev));
}
#endif
