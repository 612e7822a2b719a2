// The receive loop: the socket's datagrams one at a time, each sender
// noted and each message routed; the kernel's drops and a step of the clock
// said; and the stop, which files what the socket had queued.
#pragma once
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <sys/socket.h>
#include <sys/types.h>

#include "listener.h"

// Receives one datagram of at most size bytes (recvmsg flags: 0, or
// MSG_DONTWAIT), retrying when a signal interrupts the wait, unless it is a
// stop. Returns the length, or -1 with errno set (EAGAIN when the socket's
// receive timeout passed or nothing is queued, EINTR at a stop). dropped is
// set to the socket's count of datagrams the kernel dropped, when it comes
// with the datagram.
ssize_t receive(int fd, char* buf, std::size_t size, struct sockaddr_storage& from,
                std::uint32_t& dropped, int flags);

// What the listener said of the datagrams the kernel dropped when the
// receive queue was full: said while the count grows, at most once a minute,
// and once more, with the total, by the first datagram after a quiet second.
// Nothing is said while nothing is dropped.
constexpr long long drops_every_ms = 60000;
constexpr long long drops_quiet_ms = 1000;
struct drop_watch {
    std::uint32_t seen = 0;             // the count the last datagram came with
    std::uint32_t said = 0;             // the count last said
    long long said_ms = -drops_every_ms; // when it was said
    long long last_ms = 0;              // when the last datagram came
};
// Notes the count a datagram came with at now_ms; true when it is to be said.
bool drops_due(drop_watch& w, std::uint32_t count, long long now_ms);
// Notes the count the kernel gives after a quiet second (or at the stop),
// which holds what was dropped after the last datagram received; true when
// it is to be said.
bool drops_settled(drop_watch& w, std::uint32_t count, long long now_ms);

// A Pi has no real-time clock: it starts on the last saved time and steps
// when the network time comes, maybe days. The day files follow the clock;
// the step is said once, so that the operator knows which lines were dated
// by the clock as it was. A step is the wall clock moving against the
// monotonic one by clock_step_s or more (a slewing clock never does).
constexpr long long clock_step_s = 60;
struct clock_watch {
    bool set = false;
    long long offset = 0; // wall clock seconds less monotonic seconds
};
// Notes both clocks at a datagram; returns the step in seconds (negative:
// back) when there was one since the last, or 0.
long long clock_step(clock_watch& w, long long wall_s, long long mono_ms);
// The receive loop's part of the sync: syncs what journal_sync finds due at
// now_ms, and keeps the receive's timeout on fd set to a second exactly
// while appends wait, or more says that something else waits for a quiet
// second, so that they reach the disk on time even when no message comes,
// and an idle listener sleeps until the next one. timed says whether the
// timeout is set; the caller starts it false, with none set. The receive's
// timeout is set here and by the stop alone.
void sync_on_time(int fd, bool& timed, long long now_ms, bool more = false);


// The kernel's count of datagrams it dropped at fd over the socket's life,
// as it stands now (the datagrams dropped after the last one received come
// with none). False when it cannot be had.
bool kernel_drops(int fd, std::uint32_t& count);

// The receive loop: receives, routes and files messages until receiving
// fails or a stop signal comes. Returns the stop signal once the queue is
// filed (see catch_stops), or 0 when receiving failed, with errno set.
// dropped_before is the kernel's count of drops when this run took the
// socket: those were said by the runs before.
int serve(int fd, std::uint32_t dropped_before);

// The stop. SIGTERM, SIGINT and SIGHUP (each unless it was ignored when the
// listener started, as nohup leaves SIGHUP) are caught: the message in hand
// is filed under every rule it matches, then the datagrams queued on fd are
// received without waiting and filed, for stop_drain_ms at most, so that a
// flood cannot hold the stop up; the day files are synced, and serve
// returns the signal, for main to end by it.
constexpr long long stop_drain_ms = 2000;
extern volatile sig_atomic_t stop_signal; // the stop signal caught, or 0
void catch_stops(int fd);
