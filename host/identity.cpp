// identity: the host ID in id.txt, temporary and fixed passwords, host.txt, the computer and
// viewer names, and the copies of them the front-ends and the session loop take.
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

// The identity's state. password, password_fixed, last_rotation_tick and viewer_name change while
// host threads run and are guarded by the lock; the rest is written at start-up only, and read
// under the lock too so every copy out is alike.
static struct {
    plat_lock lock;
    char computer_name[HOST_NAME_BYTES];   // at most 31 characters
    char host_id[HOST_ID_BYTES];           // at most 15 characters (normally 9 digits)
    char password[PASSWORD_MAX + 1];       // current password, at most 32 characters
    int password_fixed;                    // 1: chosen by the user, never rotates
    uint32_t last_rotation_tick;           // tick when the temporary password was made
    int rotate_hours;                      // rotation period in hours
    char relay_host[128];                  // relay address written to host.txt
    int relay_port;
    char viewer_name[VIEWER_NAME_BYTES];   // connected viewer's name, "" between sessions
} ID = {{}, "", "", "", 0, 0, ROTATE_HOURS_DEFAULT, VO_DEFAULT_RELAY_HOST, 7000, ""};
static int g_id_lock_ready = (lock_init(&ID.lock), 1);

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
    ID.host_id[0] = 0;
    FILE *f = sysinfo_open_private(path, 0);
    if (!f) return;
    if (fscanf(f, "%15s", ID.host_id) != 1) ID.host_id[0] = 0;
    fclose(f);
}

int host_load_id(void) {
    char path[600];
    int have_path = data_path("id.txt", path, sizeof path);
    if (have_path) read_id_file(path);
    if (strlen(ID.host_id) > 8) return 1;

    unsigned char rnd[16];
    ID.host_id[0] = 0;
    if (!random_fill(rnd, sizeof rnd)) {
        host_log("random source failed: no host ID made");
        return 0;
    }
    for (int i = 0; i < HOST_ID_DIGITS; i++) ID.host_id[i] = (char)('0' + rnd[i] % 10);
    ID.host_id[HOST_ID_DIGITS] = 0;
    sodium_memzero(rnd, sizeof rnd);
    if (!have_path) return 1;
    FILE *f = sysinfo_open_private(path, 1);
    if (!f) return 1;   // the ID lives in memory only this run
    fwrite(ID.host_id, 1, HOST_ID_DIGITS, f);
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
    int n = snprintf(text, sizeof text, "id=%s\npassword=%s\nrelay=%s:%d\nname=%s\n", ID.host_id, ID.password,
                     ID.relay_host, ID.relay_port, ID.computer_name);
    setvbuf(f, nullptr, _IONBF, 0);
    if (n > 0) fwrite(text, 1, (size_t)n < sizeof text ? (size_t)n : sizeof text - 1, f);
    sodium_memzero(text, sizeof text);
    fclose(f);
}

void host_write_info(void) {
    lock_enter(&ID.lock);
    write_info_locked();
    lock_leave(&ID.lock);
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
    if (ID.password_fixed && ID.password[0]) return -1;
    ID.password_fixed = 0;   // an empty "fixed" password would admit anyone: make a temporary one
    if (!force && ID.password[0]) {
        uint32_t period = (uint32_t)ID.rotate_hours * 3600000u;
        if (now - ID.last_rotation_tick < period) return -1;
    }
    char made[TEMP_PASSWORD_LEN + 1];
    if (!make_temporary(made)) return 0;
    sodium_memzero(ID.password, sizeof ID.password);   // no tail of a longer fixed password stays behind
    memcpy(ID.password, made, sizeof made);
    sodium_memzero(made, sizeof made);
    ID.last_rotation_tick = now;
    write_info_locked();
    return 1;
}

int host_rotate_password(int force) {
    (void)g_id_lock_ready;
    uint32_t now = clock_tick();
    lock_enter(&ID.lock);
    int r = rotate_locked(force, now), hours = ID.rotate_hours;
    lock_leave(&ID.lock);
    // Log outside the identity lock so the two locks are never held together.
    if (r == 1) host_log("password rotated (next in %dh)", hours);
    if (r == 0) host_log("random source failed: password not rotated");
    return r != 0;
}

int host_set_password(const char *text) {
    uint32_t now = clock_tick();
    lock_enter(&ID.lock);
    if (text && text[0]) {
        sodium_memzero(ID.password, sizeof ID.password);
        copy_limited(ID.password, sizeof ID.password, text, PASSWORD_MAX);
        ID.password_fixed = 1;
        write_info_locked();
        lock_leave(&ID.lock);
        host_log("password set by user");
        return 1;
    }
    // Back to temporary passwords: a new one at once. If none can be made, the old password
    // and mode stay rather than leaving the host without a password.
    char old[sizeof ID.password];
    memcpy(old, ID.password, sizeof old);
    int old_fixed = ID.password_fixed;
    ID.password[0] = 0;
    ID.password_fixed = 0;
    int r = rotate_locked(1, now);
    if (r == 0) {
        memcpy(ID.password, old, sizeof ID.password);
        ID.password_fixed = old_fixed;
    }
    sodium_memzero(old, sizeof old);
    int hours = ID.rotate_hours;
    lock_leave(&ID.lock);
    if (r == 1) host_log("password rotated (next in %dh)", hours);
    if (r == 0) host_log("random source failed: password not rotated");
    return r != 0;
}

void host_identity_configure(const HostSettings *s) {
    lock_enter(&ID.lock);
    ID.rotate_hours = s->rotate_hours;
    copy_limited(ID.relay_host, sizeof ID.relay_host, s->relay_host, sizeof ID.relay_host - 1);
    ID.relay_port = s->relay_port;
    lock_leave(&ID.lock);
}

// A fixed password from the settings replaces whatever was there (single-threaded start-up), and
// the settings' copy is wiped: the identity keeps the only one.
static void take_fixed_password(HostSettings *s) {
    lock_enter(&ID.lock);
    ID.password_fixed = s->password_fixed;
    if (s->password_fixed) {
        sodium_memzero(ID.password, sizeof ID.password);
        copy_limited(ID.password, sizeof ID.password, s->password, PASSWORD_MAX);
    }
    lock_leave(&ID.lock);
    sodium_memzero(s->password, sizeof s->password);
}

int host_identity_init(HostSettings *s) {
    host_identity_configure(s);
    take_fixed_password(s);
    char name[HOST_NAME_BYTES];
    host_copy_computer_name(name, sizeof name);
    sysinfo_computer_name(name, sizeof name);   // kept as it was on failure
    host_set_computer_name(name);
    int ok = host_load_id();
    char id[HOST_ID_BYTES];
    host_copy_id(id, sizeof id);
    if (s->use_relay && !s->room_given && id[0]) copy_limited(s->room_name, sizeof s->room_name, id, 18);
    ok &= host_rotate_password(1);
    return ok;
}

int host_app_init(HostSettings *s, int relay) {
    s->text_layer_enabled = 1;
    s->window_tracking_enabled = 0;
    s->use_relay = relay;
    return host_identity_init(s);
}

// Copies one of the identity's strings out under the lock.
static void copy_out(char *out, size_t cap, const char *field, size_t max) {
    if (!out || cap == 0) return;
    lock_enter(&ID.lock);
    copy_limited(out, cap, field, max);
    lock_leave(&ID.lock);
}

void host_copy_id(char *out, size_t cap) { copy_out(out, cap, ID.host_id, HOST_ID_BYTES - 1); }
void host_copy_password(char *out, size_t cap) { copy_out(out, cap, ID.password, PASSWORD_MAX); }
void host_copy_computer_name(char *out, size_t cap) { copy_out(out, cap, ID.computer_name, HOST_NAME_BYTES - 1); }
void host_copy_viewer_name(char *out, size_t cap) { copy_out(out, cap, ID.viewer_name, VIEWER_NAME_BYTES - 1); }

int host_password_is_fixed(void) {
    lock_enter(&ID.lock);
    int fixed = ID.password_fixed;
    lock_leave(&ID.lock);
    return fixed;
}

void host_set_viewer_name(const char *name, size_t n) {
    lock_enter(&ID.lock);
    size_t i = 0;
    for (; name && i < n && i < VIEWER_NAME_BYTES - 1 && name[i]; i++) {
        unsigned char c = (unsigned char)name[i];
        ID.viewer_name[i] = (char)(c < 0x20 || c == 0x7f ? '?' : c);
    }
    ID.viewer_name[i] = 0;
    lock_leave(&ID.lock);
}

void host_set_computer_name(const char *name) {
    lock_enter(&ID.lock);
    copy_limited(ID.computer_name, sizeof ID.computer_name, name, HOST_NAME_BYTES - 1);
    lock_leave(&ID.lock);
}

void host_identity_reset(void) {
    lock_enter(&ID.lock);
    ID.host_id[0] = 0;
    sodium_memzero(ID.password, sizeof ID.password);
    ID.password_fixed = 0;
    ID.last_rotation_tick = 0;
    ID.viewer_name[0] = 0;
    lock_leave(&ID.lock);
}

void host_set_rotation_tick(uint32_t tick) {
    lock_enter(&ID.lock);
    ID.last_rotation_tick = tick;
    lock_leave(&ID.lock);
}
