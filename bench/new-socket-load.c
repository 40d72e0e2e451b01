/* Load generator for the client pattern of stub resolvers: every query on a
 * socket of its own (a new source port), a fixed number in flight, closed
 * loop. Prints: queries/s, loss %, p50 ms, p99 ms.
 * Usage: new-socket-load HOST PORT QUERIES IN_FLIGHT [TIMEOUT_MS] */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

struct slot {
  int fd;
  uint16_t id;
  double sent;
};

static double now_ms(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

static int cmp(const void* a, const void* b) {
  double x = *(const double*)a, y = *(const double*)b;
  return x < y ? -1 : x > y;
}

static size_t query(uint8_t* out, uint16_t id, long n) {
  char name[64];
  int len = snprintf(name, sizeof name, "host%ld", n % 10000);
  uint8_t head[12] = {id >> 8, id & 0xff, 1, 0, 0, 1, 0, 0, 0, 0, 0, 0};
  size_t at = 0;
  memcpy(out, head, 12);
  at = 12;
  out[at++] = (uint8_t)len;
  memcpy(out + at, name, (size_t)len);
  at += (size_t)len;
  const char* rest = "\x05" "bench" "\x07" "example";
  memcpy(out + at, rest, 14);
  at += 14;
  out[at++] = 0;
  out[at++] = 0, out[at++] = 1, out[at++] = 0, out[at++] = 1;
  return at;
}

int main(int argc, char** argv) {
  if (argc < 5) {
    fprintf(stderr, "usage: %s HOST PORT QUERIES IN_FLIGHT [TIMEOUT_MS]\n", argv[0]);
    return 2;
  }
  struct sockaddr_in to = {.sin_family = AF_INET, .sin_port = htons((uint16_t)atoi(argv[2]))};
  inet_pton(AF_INET, argv[1], &to.sin_addr);
  const long total = atol(argv[3]);
  const int inflight = atoi(argv[4]);
  const double timeout = argc > 5 ? atof(argv[5]) : 2000.0;
  double* latencies = malloc(sizeof(double) * (size_t)total);
  struct slot* slots = calloc((size_t)inflight, sizeof *slots);
  int ep = epoll_create1(0);
  long started = 0, answered = 0, lost = 0;
  uint8_t buf[4096];

  /* Opens a new socket on the slot and sends the next query. */
#define LAUNCH(i)                                                                        \
  do {                                                                                   \
    struct slot* s = &slots[i];                                                          \
    s->fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);                              \
    s->id = (uint16_t)(started * 2654435761u);                                           \
    size_t len = query(buf, s->id, started);                                             \
    struct epoll_event ev = {.events = EPOLLIN, .data.u32 = (uint32_t)(i)};              \
    epoll_ctl(ep, EPOLL_CTL_ADD, s->fd, &ev);                                            \
    s->sent = now_ms();                                                                  \
    sendto(s->fd, buf, len, 0, (struct sockaddr*)&to, sizeof to);                        \
    ++started;                                                                           \
  } while (0)

  const double begin = now_ms();
  int active = 0;
  for (int i = 0; i < inflight && started < total; ++i, ++active) LAUNCH(i);
  struct epoll_event events[256];
  double last_sweep = begin;
  while (active > 0) {
    int n = epoll_wait(ep, events, 256, 50);
    double t = now_ms();
    for (int k = 0; k < n; ++k) {
      int i = (int)events[k].data.u32;
      struct slot* s = &slots[i];
      ssize_t got = recv(s->fd, buf, sizeof buf, 0);
      if (got < 2 || ((buf[0] << 8) | buf[1]) != s->id) continue;
      latencies[answered++] = t - s->sent;
      close(s->fd);
      if (started < total) LAUNCH(i);
      else s->fd = -1, --active;
    }
    if (t - last_sweep > 50) {
      last_sweep = t;
      for (int i = 0; i < inflight; ++i) {
        struct slot* s = &slots[i];
        if (s->fd < 0 || t - s->sent < timeout) continue;
        ++lost;
        close(s->fd);
        if (started < total) LAUNCH(i);
        else s->fd = -1, --active;
      }
    }
  }
  const double elapsed = (now_ms() - begin) / 1e3;
  qsort(latencies, (size_t)answered, sizeof(double), cmp);
  double p50 = answered ? latencies[answered / 2] : 0, p99 = answered ? latencies[(long)(answered * 0.99)] : 0;
  printf("%.0f %.3f %.3f %.3f\n", answered / elapsed, 100.0 * lost / (double)total, p50, p99);
  return 0;
}
