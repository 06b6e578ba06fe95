// input_win32: injects the decided events with SendInput and maps virtual keys to scan codes.
#include <windows.h>
#include "host/input.h"

static_assert(INPUT_KIND_MOUSE == INPUT_MOUSE && INPUT_KIND_KEYBOARD == INPUT_KEYBOARD, "kinds");
static_assert(INPUT_MOUSEEVENTF_ABSOLUTE == MOUSEEVENTF_ABSOLUTE && INPUT_MOUSEEVENTF_WHEEL == MOUSEEVENTF_WHEEL,
              "mouse flags");
static_assert(INPUT_KEYEVENTF_EXTENDEDKEY == KEYEVENTF_EXTENDEDKEY && INPUT_KEYEVENTF_UNICODE == KEYEVENTF_UNICODE,
              "key flags");
static_assert(INPUT_VK_DELETE == VK_DELETE && INPUT_VK_RMENU == VK_RMENU, "virtual keys");

uint16_t input_scan_code(uint16_t vk) { return (uint16_t)MapVirtualKeyW(vk, MAPVK_VK_TO_VSC); }

static void fill_input(const input_event *ev, INPUT *in) {
    ZeroMemory(in, sizeof *in);
    in->type = ev->kind == INPUT_KIND_MOUSE ? INPUT_MOUSE : INPUT_KEYBOARD;
    if (ev->kind == INPUT_KIND_MOUSE) {
        in->mi.dx = ev->dx;
        in->mi.dy = ev->dy;
        in->mi.mouseData = ev->mouse_data;
        in->mi.dwFlags = ev->flags;
    } else {
        in->ki.wVk = ev->vk;
        in->ki.wScan = ev->scan;
        in->ki.dwFlags = ev->flags;
    }
}

// One SendInput call for all events (a character goes down and up together). The result is not
// examined: input the system refuses is simply lost.
void input_send(const input_event *events, int count) {
    INPUT in[2];
    if (count < 1 || count > 2) return;
    for (int i = 0; i < count; i++) fill_input(&events[i], &in[i]);
    SendInput((UINT)count, in, sizeof(INPUT));
}

// Events go to the system here; nothing is kept.
int input_recorded_count(void) { return 0; }
int input_recorded(int, input_event *) { return 0; }
void input_record_clear(void) {}
