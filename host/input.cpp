// input: the portable half of input injection: absolute coordinates, button and key flags,
// extended keys and Unicode characters, decided into plain input_event records.
#include "host/input.h"
#include <string.h>
#include "protocol/messages.h"

// Keys that live on the extended part of the keyboard and need KEYEVENTF_EXTENDEDKEY.
static const uint16_t extended_keys[18] = {
    INPUT_VK_LEFT,   INPUT_VK_RIGHT,    INPUT_VK_UP,    INPUT_VK_DOWN,   INPUT_VK_HOME,
    INPUT_VK_END,    INPUT_VK_PRIOR,    INPUT_VK_NEXT,  INPUT_VK_INSERT, INPUT_VK_DELETE,
    INPUT_VK_RCONTROL, INPUT_VK_RMENU,  INPUT_VK_LWIN,  INPUT_VK_RWIN,   INPUT_VK_APPS,
    INPUT_VK_DIVIDE, INPUT_VK_NUMLOCK,  INPUT_VK_SNAPSHOT,
};

// Button flags by button number 0 left, 1 right, 2 middle.
static const uint32_t button_down[3] = {INPUT_MOUSEEVENTF_LEFTDOWN, INPUT_MOUSEEVENTF_RIGHTDOWN,
                                        INPUT_MOUSEEVENTF_MIDDLEDOWN};
static const uint32_t button_up[3] = {INPUT_MOUSEEVENTF_LEFTUP, INPUT_MOUSEEVENTF_RIGHTUP,
                                      INPUT_MOUSEEVENTF_MIDDLEUP};

int input_is_extended_key(uint16_t vk) {
    for (int i = 0; i < 18; i++)
        if (extended_keys[i] == vk) return 1;
    return 0;
}

// Screen pixel to the 0..65535 absolute range; 64-bit so no product overflows, truncated to 32 bits.
int32_t input_abs_coord(int32_t v, int32_t extent) {
    int64_t q = extent > 1 ? (int64_t)v * 65535 / ((int64_t)extent - 1) : (int64_t)v * 65535;
    return (int32_t)(uint32_t)(uint64_t)q;
}

void input_map_mouse(int32_t x, int32_t y, int action, int button, int16_t wheel,
                     int32_t width, int32_t height, input_event *out) {
    memset(out, 0, sizeof *out);
    out->kind = INPUT_KIND_MOUSE;
    out->dx = input_abs_coord(x, width);
    out->dy = input_abs_coord(y, height);
    out->flags = INPUT_MOUSEEVENTF_MOVE | INPUT_MOUSEEVENTF_ABSOLUTE;
    if (action == INPUT_ACTION_DOWN && button >= 0 && button <= 2) {
        out->flags |= button_down[button];
    } else if (action == INPUT_ACTION_UP && button >= 0 && button <= 2) {
        out->flags |= button_up[button];
    } else if (action == INPUT_ACTION_WHEEL) {
        out->flags |= INPUT_MOUSEEVENTF_WHEEL;
        out->mouse_data = (uint32_t)(int32_t)wheel;
    }
}

// code: bits 0..15 the virtual key, bits 16..23 non-zero for a press.
void input_map_key(uint32_t code, input_event *out) {
    memset(out, 0, sizeof *out);
    out->kind = INPUT_KIND_KEYBOARD;
    out->vk = (uint16_t)code;
    out->flags = ((code >> 16) & 0xFF) ? 0 : INPUT_KEYEVENTF_KEYUP;
    if (input_is_extended_key(out->vk)) out->flags |= INPUT_KEYEVENTF_EXTENDEDKEY;
}

void input_map_char(uint16_t unit, input_event out[2]) {
    memset(out, 0, 2 * sizeof *out);
    out[0].kind = out[1].kind = INPUT_KIND_KEYBOARD;
    out[0].scan = out[1].scan = unit;
    out[0].flags = INPUT_KEYEVENTF_UNICODE;
    out[1].flags = INPUT_KEYEVENTF_UNICODE | INPUT_KEYEVENTF_KEYUP;
}

void input_mouse(const uint8_t *payload, int32_t width, int32_t height) {
    MouseMsg m;
    if (!msg_unpack_mouse(payload, MOUSE_BYTES, &m)) return;
    input_event ev;
    input_map_mouse(m.x, m.y, m.action, m.button, m.wheel, width, height, &ev);
    input_send(&ev, 1);
}

void input_key(const uint8_t *payload) {
    KeyMsg k;
    if (!msg_unpack_key(payload, KEY_BYTES, &k)) return;
    input_event ev;
    input_map_key((uint32_t)k.vk | (uint32_t)k.down << 16, &ev);
    ev.scan = input_scan_code(ev.vk);
    input_send(&ev, 1);
}

void input_char(const uint8_t *payload) {
    uint16_t unit;
    if (!msg_unpack_char(payload, CHAR_BYTES, &unit)) return;
    input_event ev[2];
    input_map_char(unit, ev);
    input_send(ev, 2);
}
