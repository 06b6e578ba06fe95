// input_stub: the native stand-in for injection. It records the events it would have injected
// (the latest 256) so tests can read them back, and maps virtual keys with a US keyboard table.
#include <mutex>
#include <string.h>
#include "host/input.h"
#include "platform/thread.h"

#define RECORD_SLOTS 256

struct InputRecord {
    input_event events[RECORD_SLOTS];   // ring of the latest events
    int start;                          // index of the oldest event
    int count;                          // events held, at most RECORD_SLOTS
    plat_lock lock;                     // the receive thread writes while a test may read
};
static InputRecord g_record;
static std::once_flag g_record_once;    // the lock is made on first use, from whichever thread

static void record_lock(void) {
    std::call_once(g_record_once, [] { lock_init(&g_record.lock); });
    lock_enter(&g_record.lock);
}

void input_send(const input_event *events, int count) {
    record_lock();
    for (int i = 0; i < count; i++) {
        int slot = (g_record.start + g_record.count) % RECORD_SLOTS;
        g_record.events[slot] = events[i];
        if (g_record.count < RECORD_SLOTS) g_record.count++;
        else g_record.start = (g_record.start + 1) % RECORD_SLOTS;
    }
    lock_leave(&g_record.lock);
}

int input_recorded_count(void) {
    record_lock();
    int n = g_record.count;
    lock_leave(&g_record.lock);
    return n;
}

int input_recorded(int index, input_event *out) {
    record_lock();
    int ok = index >= 0 && index < g_record.count;
    if (ok) *out = g_record.events[(g_record.start + index) % RECORD_SLOTS];
    lock_leave(&g_record.lock);
    return ok;
}

void input_record_clear(void) {
    record_lock();
    g_record.start = g_record.count = 0;
    lock_leave(&g_record.lock);
}

// Set-1 scan codes of a US layout, as MapVirtualKeyW(vk, MAPVK_VK_TO_VSC) gives them.
uint16_t input_scan_code(uint16_t vk) {
    static const char letters[] = "\x1e\x30\x2e\x20\x12\x21\x22\x23\x17\x24\x25\x26\x32"
                                  "\x31\x18\x19\x10\x13\x1f\x14\x16\x2f\x11\x2d\x15\x2c";
    static const char digits[] = "\x0b\x02\x03\x04\x05\x06\x07\x08\x09\x0a";
    if (vk >= 'A' && vk <= 'Z') return (uint16_t)(unsigned char)letters[vk - 'A'];
    if (vk >= '0' && vk <= '9') return (uint16_t)(unsigned char)digits[vk - '0'];
    switch (vk) {
    case 0x08: return 0x0E;   // backspace
    case 0x09: return 0x0F;   // tab
    case 0x0D: return 0x1C;   // enter
    case 0x1B: return 0x01;   // escape
    case 0x20: return 0x39;   // space
    case INPUT_VK_PRIOR: return 0x49;
    case INPUT_VK_NEXT: return 0x51;
    case INPUT_VK_END: return 0x4F;
    case INPUT_VK_HOME: return 0x47;
    case INPUT_VK_LEFT: return 0x4B;
    case INPUT_VK_UP: return 0x48;
    case INPUT_VK_RIGHT: return 0x4D;
    case INPUT_VK_DOWN: return 0x50;
    case INPUT_VK_INSERT: return 0x52;
    case INPUT_VK_DELETE: return 0x53;
    default: return 0;
    }
}
