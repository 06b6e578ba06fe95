// input: turns the viewer's mouse, key and character messages into injected input events.
// The decisions (absolute coordinates, flags, extended keys) are portable and produce plain
// input_event records; one platform backend injects them (SendInput) or, natively, records them.
#pragma once
#include <stdint.h>

// Virtual-key codes, event kinds and flags with the values the Windows input API uses.
#define INPUT_VK_PRIOR 0x21
#define INPUT_VK_NEXT 0x22
#define INPUT_VK_END 0x23
#define INPUT_VK_HOME 0x24
#define INPUT_VK_LEFT 0x25
#define INPUT_VK_UP 0x26
#define INPUT_VK_RIGHT 0x27
#define INPUT_VK_DOWN 0x28
#define INPUT_VK_SNAPSHOT 0x2C
#define INPUT_VK_INSERT 0x2D
#define INPUT_VK_DELETE 0x2E
#define INPUT_VK_LWIN 0x5B
#define INPUT_VK_RWIN 0x5C
#define INPUT_VK_APPS 0x5D
#define INPUT_VK_DIVIDE 0x6F
#define INPUT_VK_NUMLOCK 0x90
#define INPUT_VK_RCONTROL 0xA3
#define INPUT_VK_RMENU 0xA5

#define INPUT_KIND_MOUSE 0       // INPUT_MOUSE
#define INPUT_KIND_KEYBOARD 1    // INPUT_KEYBOARD

#define INPUT_MOUSEEVENTF_MOVE 0x0001
#define INPUT_MOUSEEVENTF_LEFTDOWN 0x0002
#define INPUT_MOUSEEVENTF_LEFTUP 0x0004
#define INPUT_MOUSEEVENTF_RIGHTDOWN 0x0008
#define INPUT_MOUSEEVENTF_RIGHTUP 0x0010
#define INPUT_MOUSEEVENTF_MIDDLEDOWN 0x0020
#define INPUT_MOUSEEVENTF_MIDDLEUP 0x0040
#define INPUT_MOUSEEVENTF_WHEEL 0x0800
#define INPUT_MOUSEEVENTF_ABSOLUTE 0x8000

#define INPUT_KEYEVENTF_EXTENDEDKEY 0x0001
#define INPUT_KEYEVENTF_KEYUP 0x0002
#define INPUT_KEYEVENTF_UNICODE 0x0004

// Mouse actions carried by MSG_MOUSE.
#define INPUT_ACTION_MOVE 0
#define INPUT_ACTION_DOWN 1
#define INPUT_ACTION_UP 2
#define INPUT_ACTION_WHEEL 3

// One event as it goes to the system: the fields of INPUT that the host fills.
struct input_event {
    int kind;              // INPUT_KIND_MOUSE or INPUT_KIND_KEYBOARD
    int32_t dx, dy;        // mouse: absolute position, 0..65535 across the primary screen
    uint32_t mouse_data;   // mouse: wheel delta, sign-extended; else 0
    uint32_t flags;        // MOUSEEVENTF_* or KEYEVENTF_* bits
    uint16_t vk;           // keyboard: virtual-key code (0 for a Unicode character)
    uint16_t scan;         // keyboard: scan code, or the UTF-16 unit for a Unicode character
};

// Portable decisions.
int32_t input_abs_coord(int32_t v, int32_t extent);   // v * 65535 / (extent - 1), 64-bit
void input_map_mouse(int32_t x, int32_t y, int action, int button, int16_t wheel,
                     int32_t width, int32_t height, input_event *out);
void input_map_key(uint32_t code, input_event *out);   // scan left 0; the backend maps it
void input_map_char(uint16_t unit, input_event out[2]);
int input_is_extended_key(uint16_t vk);                // 1 for the 18 extended keys

// Payload handlers (length already checked by the caller): map and inject one message.
void input_mouse(const uint8_t *payload, int32_t width, int32_t height);   // 12 bytes
void input_key(const uint8_t *payload);                                    // 4 bytes
void input_char(const uint8_t *payload);                                   // 2 bytes

// Backend: the scan code for a virtual key (MapVirtualKeyW) and the injection (SendInput).
uint16_t input_scan_code(uint16_t vk);
void input_send(const input_event *events, int count);

// Native stand-in only: the events it would have injected, oldest first (a bounded record).
int input_recorded_count(void);
int input_recorded(int index, input_event *out);   // 1 when index < count
void input_record_clear(void);
