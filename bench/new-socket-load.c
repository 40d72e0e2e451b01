/* Load generator for the client pattern of stub resolvers: every query on a
 * socket of its own (a new source port), a fixed number in flight, closed
 * loop, spread over threads that each run their own loop. Before it starts,
 * the process opens DESCRIPTORS more descriptors (of /dev/null) and holds
 * them, as a browser or a busy daemon does. Prints: queries/s (up to the
 * last answer), loss %, p50 ms, p99 ms.
 * Usage: new-socket-load HOST PORT QUERIES IN_FLIGHT [TIMEOUT_MS [DESCRIPTORS [THREADS]]] */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

struct slot {
  int fd;
  uint16_t id;
  double sent;
};

struct worker {
  long total, started, answered, lost;
  double last_answer;
  int inflight;
  double* latencies;
};

static struct sockaddr_in to;
static double timeout = 2000.0;

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

static void* run(void* arg) {
  struct worker* w = arg;
  struct slot* slots = calloc((size_t)w->inflight, sizeof *slots);
  int ep = epoll_create1(0);
  uint8_t buf[4096];
  uint32_t seed = (uint32_t)(uintptr_t)w * 2654435761u;

  /* Opens a new socket on the slot and sends the next query. */
#define LAUNCH(i)                                                           \
  do {                                                                      \
    struct slot* s = &slots[i];                                             \
    s->fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);                 \
    s->id = (uint16_t)((w->started + seed) * 2654435761u);                  \
    size_t len = query(buf, s->id, w->started);                             \
    struct epoll_event ev = {.events = EPOLLIN, .data.u32 = (uint32_t)(i)}; \
    epoll_ctl(ep, EPOLL_CTL_ADD, s->fd, &ev);                               \
    s->sent = now_ms();                                                     \
    sendto(s->fd, buf, len, 0, (struct sockaddr*)&to, sizeof to);           \
    ++w->started;                                                           \
  } while (0)

  int active = 0;
  for (int i = 0; i < w->inflight && w->started < w->total; ++i, ++active) LAUNCH(i);
  struct epoll_event events[256];
  double last_sweep = now_ms();
  while (active > 0) {
    int n = epoll_wait(ep, events, 256, 50);
    double t = now_ms();
    for (int k = 0; k < n; ++k) {
      int i = (int)events[k].data.u32;
      struct slot* s = &slots[i];
      ssize_t got = recv(s->fd, buf, sizeof buf, 0);
      if (got < 2 || ((buf[0] << 8) | buf[1]) != s->id) continue;
      w->latencies[w->answered++] = t - s->sent;
      w->last_answer = t;
      close(s->fd);
      if (w->started < w->total) LAUNCH(i);
      else s->fd = -1, --active;
    }
    if (t - last_sweep > 50) {
      last_sweep = t;
      for (int i = 0; i < w->inflight; ++i) {
        struct slot* s = &slots[i];
        if (s->fd < 0 || t - s->sent < timeout) continue;
        ++w->lost;
        close(s->fd);
        if (w->started < w->total) LAUNCH(i);
        else s->fd = -1, --active;
      }
    }
  }
  close(ep);
  free(slots);
  return NULL;
}

int main(int argc, char** argv) {
  if (argc < 5) {
    fprintf(stderr, "usage: %s HOST PORT QUERIES IN_FLIGHT [TIMEOUT_MS [DESCRIPTORS [THREADS]]]\n", argv[0]);
    return 2;
  }
  to.sin_family = AF_INET;
  to.sin_port = htons((uint16_t)atoi(argv[2]));
  inet_pton(AF_INET, argv[1], &to.sin_addr);
  const long total = atol(argv[3]);
  const int inflight = atoi(argv[4]);
  if (argc > 5) timeout = atof(argv[5]);
  const long hold = argc > 6 ? atol(argv[6]) : 0;
  int threads = argc > 7 ? atoi(argv[7]) : 1;
  if (threads < 1) threads = 1;
  if (threads > inflight) threads = inflight;

  if (hold > 0) {
    struct rlimit limit;
    getrlimit(RLIMIT_NOFILE, &limit);
    rlim_t want = (rlim_t)hold + (rlim_t)inflight + 64;
    if (limit.rlim_cur < want) {
      limit.rlim_cur = want;
      if (limit.rlim_max < want) limit.rlim_max = want;
      if (setrlimit(RLIMIT_NOFILE, &limit) != 0) {
        fprintf(stderr, "cannot hold %ld descriptors: %s\n", hold, strerror(errno));
        return 1;
      }
    }
    for (long i = 0; i < hold; ++i)
      if (open("/dev/null", O_RDONLY) < 0) {
        fprintf(stderr, "cannot hold %ld descriptors: %s\n", hold, strerror(errno));
        return 1;
      }
  }

  struct worker* workers = calloc((size_t)threads, sizeof *workers);
  pthread_t* ids = calloc((size_t)threads, sizeof *ids);
  for (int i = 0; i < threads; ++i) {
    workers[i].total = total / threads + (i < total % threads);
    workers[i].inflight = inflight / threads + (i < inflight % threads);
    workers[i].latencies = malloc(sizeof(double) * (size_t)(workers[i].total + 1));
  }
  const double begin = now_ms();
  for (int i = 0; i < threads; ++i) pthread_create(&ids[i], NULL, run, &workers[i]);
  long answered = 0, lost = 0;
  double last = begin;
  for (int i = 0; i < threads; ++i) {
    pthread_join(ids[i], NULL);
    answered += workers[i].answered;
    lost += workers[i].lost;
    if (workers[i].last_answer > last) last = workers[i].last_answer;
  }
  /* Up to the last answer: the wait for queries lost at the end is no time spent answering. */
  const double elapsed = (last - begin) / 1e3;
  double* latencies = malloc(sizeof(double) * (size_t)(answered + 1));
  long at = 0;
  for (int i = 0; i < threads; ++i) {
    memcpy(latencies + at, workers[i].latencies, sizeof(double) * (size_t)workers[i].answered);
    at += workers[i].answered;
  }
  qsort(latencies, (size_t)answered, sizeof(double), cmp);
  double p50 = answered ? latencies[answered / 2] : 0, p99 = answered ? latencies[(long)(answered * 0.99)] : 0;
  printf("%.0f %.3f %.3f %.3f\n", answered / elapsed, 100.0 * lost / (double)total, p50, p99);
  return 0;
}
