// identity: the host ID in id.txt, temporary and fixed passwords, host.txt, every host setting
// and status value with its default, and start, stop and the accessors for the front-ends.
#include "host/identity.h"
#include <sodium.h>
#include <stdio.h>
#include <string.h>
#include "host/log.h"
#include "platform/clock.h"
#include "platform/sysinfo.h"
#include "platform/sysrand.h"
#include "platform/thread.h"

#define RANDOM_ATTEMPTS 5        // a failing random source is asked this often before giving up
#define RANDOM_RETRY_MS 20       // pause between attempts
#define PASSWORD_ACCEPT_BELOW 220  // 4 x 55: bytes from here up would favour the first 36 characters
#define PASSWORD_DRAWS 4         // 32-byte draws before giving up (8 of 32 accepted fails ~never)

const char PASSWORD_ALPHABET[] = "23456789abcdefghjkmnpqrstuvwxyzABCDEFGHJKLMNPQRSTUVWXYZ";

char computer_name[32] = "";
char host_id[16] = "";
uint32_t last_rotation_tick = 0;
int password_fixed = 0;
char password[33] = "";
int rotate_hours = ROTATE_HOURS_DEFAULT;

char room_name[20] = "vo-demo";
int room_given = 0;
int use_relay = 0;
char relay_host[128] = VO_DEFAULT_RELAY_HOST;
int relay_port = 7000;
int listen_port = 7777;
int force_gdi = 0;
int text_layer_enabled = 0;
int window_tracking_enabled = 0;

std::atomic<int> stop_requested{0};
std::atomic<int> host_state{HOST_STARTING};
char viewer_name[33] = "";

std::atomic<net_sock> host_listen_sock{NET_INVALID};
std::atomic<net_sock> host_current_sock{NET_INVALID};

// Guards password, password_fixed, last_rotation_tick and viewer_name between the user
// interface thread and the host thread.
static plat_lock g_id_lock;
static int g_id_lock_ready = (lock_init(&g_id_lock), 1);

// Held by host_stop while it ends the sockets and by host_close_sock while it takes one out,
// so a socket is never shut down after the session loop has closed it.
static plat_lock g_sock_lock;
static int g_sock_lock_ready = (lock_init(&g_sock_lock), 1);

static void copy_limited(char *dst, size_t cap, const char *src, size_t max) {
    size_t n = 0;
    while (src && n < max && n + 1 < cap && src[n]) {
        dst[n] = src[n];
        n++;
    }
    dst[n] = 0;
}

// Fills buf from the system random source; retried, never returns unset bytes as random.
static int random_fill(void *buf, size_t n) {
    for (int i = 0; i < RANDOM_ATTEMPTS; i++) {
        if (sysrand_bytes(buf, n)) return 1;
        clock_sleep(RANDOM_RETRY_MS);
    }
    sodium_memzero(buf, n);
    return 0;
}

// Builds "<host data folder><sep><name>", creating the folder private (host.txt holds the
// password). 0 also when the folder is a link or someone else's: then nothing is kept on disk.
static int data_path(const char *name, char *out, size_t cap) {
    char dir[512];
    if (!sysinfo_host_dir(dir, sizeof dir)) return 0;
    if (!sysinfo_make_private_dir(dir)) return 0;
    int n = snprintf(out, cap, "%s%c%s", dir, sysinfo_path_sep(), name);
    return n > 0 && (size_t)n < cap;
}

static void read_id_file(const char *path) {
    host_id[0] = 0;
    FILE *f = sysinfo_open_private(path, 0);
    if (!f) return;
    if (fscanf(f, "%15s", host_id) != 1) host_id[0] = 0;
    fclose(f);
}

int host_load_id(void) {
    char path[600];
    int have_path = data_path("id.txt", path, sizeof path);
    if (have_path) read_id_file(path);
    if (strlen(host_id) > 8) return 1;

    unsigned char rnd[16];
    host_id[0] = 0;
    if (!random_fill(rnd, sizeof rnd)) {
        host_log("random source failed: no host ID made");
        return 0;
    }
    for (int i = 0; i < HOST_ID_DIGITS; i++) host_id[i] = (char)('0' + rnd[i] % 10);
    host_id[HOST_ID_DIGITS] = 0;
    sodium_memzero(rnd, sizeof rnd);
    if (!have_path) return 1;
    FILE *f = sysinfo_open_private(path, 1);
    if (!f) return 1;   // the ID lives in memory only this run
    fwrite(host_id, 1, HOST_ID_DIGITS, f);
    fclose(f);
    return 1;
}

// Writes host.txt; the caller holds the identity lock (it reads the password). The text is made
// in a buffer of ours and written unbuffered, so no copy of the password stays in the stream's.
static void write_info_locked(void) {
    char path[600];
    if (!data_path("host.txt", path, sizeof path)) return;
    FILE *f = sysinfo_open_private(path, 1);
    if (!f) return;
    char text[512];   // the longest fields fill under 300 bytes
    int n = snprintf(text, sizeof text, "id=%s\npassword=%s\nrelay=%s:%d\nname=%s\n", host_id, password,
                     relay_host, relay_port, computer_name);
    setvbuf(f, nullptr, _IONBF, 0);
    if (n > 0) fwrite(text, 1, (size_t)n < sizeof text ? (size_t)n : sizeof text - 1, f);
    sodium_memzero(text, sizeof text);
    fclose(f);
}

void host_write_info(void) {
    lock_enter(&g_id_lock);
    write_info_locked();
    lock_leave(&g_id_lock);
}

size_t host_password_from_bytes(char out[TEMP_PASSWORD_LEN + 1], const unsigned char *rnd, size_t n) {
    size_t used = 0;
    int made = 0;
    while (made < TEMP_PASSWORD_LEN && used < n) {
        unsigned char b = rnd[used++];
        if (b < PASSWORD_ACCEPT_BELOW) out[made++] = PASSWORD_ALPHABET[b % 55];
    }
    out[made == TEMP_PASSWORD_LEN ? made : 0] = 0;
    if (made < TEMP_PASSWORD_LEN) sodium_memzero(out, TEMP_PASSWORD_LEN + 1);
    return made == TEMP_PASSWORD_LEN ? used : 0;
}

// Draws random bytes until a whole temporary password is made. 1, or 0 when the source failed.
static int make_temporary(char out[TEMP_PASSWORD_LEN + 1]) {
    unsigned char rnd[32];
    size_t used = 0;
    for (int i = 0; i < PASSWORD_DRAWS && !used; i++) {
        if (!random_fill(rnd, sizeof rnd)) break;
        used = host_password_from_bytes(out, rnd, sizeof rnd);
    }
    sodium_memzero(rnd, sizeof rnd);
    return used != 0;
}

// 1: rotated; 0: random source failed; -1: not due (or fixed). Caller holds the lock.
static int rotate_locked(int force, uint32_t now) {
    if (password_fixed && password[0]) return -1;
    password_fixed = 0;   // an empty "fixed" password would admit anyone: make a temporary one
    if (!force && password[0]) {
        uint32_t period = (uint32_t)rotate_hours * 3600000u;
        if (now - last_rotation_tick < period) return -1;
    }
    char made[TEMP_PASSWORD_LEN + 1];
    if (!make_temporary(made)) return 0;
    sodium_memzero(password, sizeof password);   // no tail of a longer fixed password stays behind
    memcpy(password, made, sizeof made);
    sodium_memzero(made, sizeof made);
    last_rotation_tick = now;
    write_info_locked();
    return 1;
}

int host_rotate_password(int force) {
    (void)g_id_lock_ready;
    (void)g_sock_lock_ready;
    uint32_t now = clock_tick();
    lock_enter(&g_id_lock);
    int r = rotate_locked(force, now);
    lock_leave(&g_id_lock);
    // Log outside the identity lock so the two locks are never held together.
    if (r == 1) host_log("password rotated (next in %dh)", rotate_hours);
    if (r == 0) host_log("random source failed: password not rotated");
    return r != 0;
}

int host_set_password(const char *text) {
    uint32_t now = clock_tick();
    lock_enter(&g_id_lock);
    if (text && text[0]) {
        sodium_memzero(password, sizeof password);
        copy_limited(password, sizeof password, text, PASSWORD_MAX);
        password_fixed = 1;
        write_info_locked();
        lock_leave(&g_id_lock);
        host_log("password set by user");
        return 1;
    }
    // Back to temporary passwords: a new one at once. If none can be made, the old password
    // and mode stay rather than leaving the host without a password.
    char old[sizeof password];
    memcpy(old, password, sizeof old);
    int old_fixed = password_fixed;
    password[0] = 0;
    password_fixed = 0;
    int r = rotate_locked(1, now);
    if (r == 0) {
        memcpy(password, old, sizeof password);
        password_fixed = old_fixed;
    }
    sodium_memzero(old, sizeof old);
    lock_leave(&g_id_lock);
    if (r == 1) host_log("password rotated (next in %dh)", rotate_hours);
    if (r == 0) host_log("random source failed: password not rotated");
    return r != 0;
}

int host_identity_init(void) {
    sysinfo_computer_name(computer_name, sizeof computer_name);   // kept as it was on failure
    int ok = host_load_id();
    if (use_relay && !room_given && host_id[0]) copy_limited(room_name, sizeof room_name, host_id, 18);
    ok &= host_rotate_password(1);
    return ok;
}

int host_app_init(int relay) {
    text_layer_enabled = 1;
    window_tracking_enabled = 0;
    use_relay = relay;
    return host_identity_init();
}

void host_stop(void) {
    stop_requested.store(1);
    lock_enter(&g_sock_lock);
    host_end_current_sock(&host_current_sock);   // a blocked receive returns
    // A blocking accept returns only when its socket is closed (shutdown does not suffice on
    // every platform). Taking it out first means the session loop cannot close it twice.
    net_sock lis = host_listen_sock.exchange(NET_INVALID);
    if (lis != NET_INVALID) {
        net_shutdown(lis);
        net_close(lis);
    }
    lock_leave(&g_sock_lock);
}

void host_close_sock(std::atomic<net_sock> *slot) {
    lock_enter(&g_sock_lock);
    net_sock s = slot->exchange(NET_INVALID);
    lock_leave(&g_sock_lock);
    if (s != NET_INVALID) net_close(s);
}

const char *host_get_id(void) { return host_id; }
const char *host_get_password(void) { return password; }
const char *host_get_computer_name(void) { return computer_name; }
const char *host_get_viewer_name(void) { return viewer_name; }
int host_get_state(void) { return host_state.load(); }

void host_copy_password(char *out, size_t cap) {
    if (!out || cap == 0) return;
    lock_enter(&g_id_lock);
    copy_limited(out, cap, password, PASSWORD_MAX);
    lock_leave(&g_id_lock);
}

void host_copy_viewer_name(char *out, size_t cap) {
    if (!out || cap == 0) return;
    lock_enter(&g_id_lock);
    copy_limited(out, cap, viewer_name, 32);
    lock_leave(&g_id_lock);
}

void host_set_viewer_name(const char *name, size_t n) {
    lock_enter(&g_id_lock);
    size_t i = 0;
    for (; name && i < n && i < 32 && name[i]; i++) {
        unsigned char c = (unsigned char)name[i];
        viewer_name[i] = (char)(c < 0x20 || c == 0x7f ? '?' : c);
    }
    viewer_name[i] = 0;
    lock_leave(&g_id_lock);
}
