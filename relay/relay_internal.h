// relay_internal: the records and process-wide state that the relay's server files share.
// Not for use outside relay/: tests and the program go through relay_server.h.
#pragma once
#include <atomic>
#include <stdint.h>
#include "relay/relay_join.h"
#include "relay/relay_server.h"
#include "relay/relay_ws.h"

// Where a connection stands.
enum { RELAY_JOINING = 0, RELAY_WAITING = 1, RELAY_PAIRED = 2, RELAY_CLOSED = 3 };

struct relay_pair;

// One accepted connection. Kept small: 10,000 idle hosts must fit in a few MiB.
struct relay_conn {
    int fd;                       // the socket (-1 once closed)
    uint8_t state;                // RELAY_JOINING .. RELAY_CLOSED
    uint8_t role;                 // RELAY_ROLE_HOST or RELAY_ROLE_VIEWER once joined
    uint8_t join_len;             // join bytes read so far
    uint8_t in_room;              // 1 while linked into the room table
    uint8_t join[RELAY_JOIN_BYTES];  // the join as read: room at +6, name at +24
    uint32_t ip;                  // peer address (host byte order), for log lines
    uint16_t port;                // peer port
    uint8_t timer;                // which timer list holds it (RELAY_TIMER_*), or 0
    uint64_t deadline;            // monotonic ms when its timer fires
    uint64_t since;               // monotonic ms of accept, then of joining, then of pairing
    relay_conn *timer_prev;       // links in its timer list
    relay_conn *timer_next;       //   (timer_next also links the list of closed records to free)
    relay_conn *room_next;        // next record in the same room-table bucket
    relay_pair *pair;             // forwarding state once paired (shared with the peer)
    uint8_t *queue;               // a waiting viewer's early bytes (allocated on the first one)
    uint32_t queue_len;           // bytes held in queue
    uint32_t queue_cap;           // bytes allocated for queue
    uint32_t queue_sent;          // bytes of queue already passed to the host after pairing
    relay_ws *ws;                 // WebSocket state when accepted on the --ws-port listener, else NULL
};

// WebSocket front: reads and writes of a connection, unwrapping frames when it came in that way.
static inline ssize_t relay_conn_recv(relay_conn *c, void *p, size_t n) {
    return c->ws ? relay_ws_recv(c, p, n) : recv(c->fd, p, n, 0);
}
static inline ssize_t relay_conn_send(relay_conn *c, const void *p, size_t n) {
    return c->ws ? relay_ws_send(c, p, n) : send(c->fd, p, n, MSG_NOSIGNAL);
}

// One direction of a pair: src's bytes go to dst through a pipe, or through buf when no pipe.
struct relay_flow {
    relay_conn *src;              // where the bytes come from
    relay_conn *dst;              // where they go
    int pipe_r, pipe_w;           // the pipe's ends, -1 when this flow uses buf
    uint8_t *buf;                 // fallback buffer (RELAY_FLOW_BUF bytes), NULL with a pipe
    uint32_t buf_off;             // first byte of buf not yet sent
    uint32_t held;                // bytes read from src and not yet written to dst
    uint8_t src_eof;              // src sent its FIN (or failed): nothing more will be read
    uint8_t dst_shut;             // the FIN was passed on to dst
    uint64_t bytes;               // bytes delivered to dst
};

// A host and its viewer forwarding to each other.
struct relay_pair {
    relay_flow up;                // viewer -> host
    relay_flow down;              // host -> viewer
    relay_conn *host;
    relay_conn *viewer;
    uint64_t since;               // monotonic ms of pairing
    relay_pair *again_next;       // link in the list of pairs to pump again (used up their turn)
    uint8_t again;                // 1 while on that list
};

#define RELAY_TIMER_JOIN 1        // list of joining connections
#define RELAY_TIMER_WAIT 2        // list of waiting viewers
#define RELAY_TIMER_PAIR 3        // paired viewers that have sent nothing yet, and pairs with one
                                  //   direction finished and the other still open (join time-out)
#define RELAY_FLOW_BUF 65536      // fallback buffer per direction
#define RELAY_TURN_MOVES 16       // reads and writes per flow before other connections get a turn
#define RELAY_FD_RESERVE 64       // descriptors kept free for pipes, the log and the spare fd

// One source address that holds connections (or was refused within the last second).
struct relay_addr {
    uint32_t ip;                  // the address (host byte order)
    uint32_t conns;               // connections open from it, in any state
    uint64_t logged_ms;           // when its last "limit" refusal was logged (0 = never)
    uint32_t unlogged;            // refusals since that line
    uint8_t lingering;            // 1 while on the linger list
    relay_addr *next;             // next entry in the same bucket
    relay_addr *linger_next;      // next on the linger list
};

// A list of connections in deadline order (each list has one fixed time-out, so appending keeps it
// sorted).
struct relay_timer_list {
    relay_conn *head;             // earliest deadline
    relay_conn *tail;             // latest deadline
};

// The server's process-wide state.
struct relay_state {
    relay_config cfg;             // settings in force
    int epfd;                     // the epoll set
    int listen_fd;                // listening socket
    int ws_listen_fd;             // WebSocket front's listening socket, -1 when off
    int ws_port;                  // its bound port
    std::atomic<int> wake_fd{-1}; // eventfd that relay_server_stop writes
    int spare_fd;                 // kept open to be given up when accept hits the file limit
    int fd_limit;                 // the open-file soft limit
    int fds_open;                 // sockets and pipe ends we hold
    int port;                     // bound port
    relay_conn **rooms;           // room table buckets
    uint32_t room_mask;           // buckets - 1 (a power of two)
    uint64_t room_seed;           // hash seed, random per run
    relay_addr **addrs;           // source address table buckets
    uint32_t addr_mask;           // buckets - 1 (a power of two)
    relay_addr *linger_head;      // entries without connections kept until their log second is over,
    relay_addr *linger_tail;      //   oldest first
    relay_timer_list joins;       // joining connections by deadline
    relay_timer_list waits;       // waiting viewers by deadline
    relay_timer_list pairs;       // viewers of pairs that must move on by a deadline (RELAY_TIMER_PAIR)
    relay_conn *dead;             // records closed during this batch of events, freed after it
    relay_pair *again;            // pairs that used up their turn with bytes still to move
    void *thread;                 // the loop's thread when started by relay_server_start
    std::atomic<int> stop;        // set by relay_server_stop
    std::atomic<int> n_conns;     // relay_stats fields
    std::atomic<int> n_joining;
    std::atomic<int> n_wait_hosts;
    std::atomic<int> n_wait_viewers;
    std::atomic<int> n_pairs;
    std::atomic<int> n_pipe_pairs;
    std::atomic<uint64_t> n_refused;
};
extern relay_state g_relay;

// relay_log.cpp
void relay_log(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void relay_conn_text(const relay_conn *c, char *out, size_t cap);   // "ip:port"
void relay_room_text(const relay_conn *c, char *out, size_t cap);   // escaped room
void relay_name_text(const relay_conn *c, char *out, size_t cap);   // escaped name

// relay_timer.cpp
uint64_t relay_now_ms(void);
void relay_timer_set(relay_conn *c, int which, uint64_t deadline);
void relay_timer_clear(relay_conn *c);
int relay_timer_wait_ms(uint64_t now);     // epoll time-out until the earliest deadline (-1 = none)
void relay_timer_expire(uint64_t now);     // closes every connection whose deadline has passed

// relay_room.cpp
int relay_rooms_init(int buckets);
void relay_rooms_free(void);
void relay_room_remove(relay_conn *c);
void relay_room_enter(relay_conn *c);      // a joined connection: pair it, park it or refuse it

// relay_forward.cpp
void relay_pair_start(relay_conn *host, relay_conn *viewer);
void relay_pair_pump(relay_pair *p);       // moves what can move both ways; ends the pair when done
void relay_pair_end(relay_pair *p, const char *why);
// The pair deadline: set while the viewer has sent nothing or one direction is finished.
void relay_pair_watch(relay_pair *p);
void relay_pairs_again(void);              // pumps the pairs left over from the last turn

// relay_server.cpp
void relay_conn_close(relay_conn *c);      // closes the socket and frees the record after the batch
void relay_conn_state(relay_conn *c, int state);  // moves c to state, keeping the counters right
void relay_refuse(relay_conn *c, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

// relay_addr.cpp
int relay_addrs_init(int buckets);
void relay_addrs_free(void);
int relay_addr_admit(uint32_t ip, uint16_t port);  // 1: counted in; 0: at its limit (logged, closed by caller)
void relay_addr_release(uint32_t ip);               // one of its connections is gone
void relay_addr_expire(uint64_t now);               // frees entries whose log second is over

// relay_accept.cpp
void relay_accept_all(int listen_fd, int ws);  // takes every pending connection off a listener
void relay_conn_event(relay_conn *c, uint32_t events);  // one epoll event on a connection
void relay_viewer_read(relay_conn *c);     // a waiting viewer's early bytes into its queue
