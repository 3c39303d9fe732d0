/* A plain streaming-read loop: the memory-bandwidth bound for a scan. */
#include <pthread.h>
#include <stddef.h>
#include <stdint.h>

struct part { const uint64_t *data; size_t count; uint64_t sum; };

static void *read_part(void *arg) {
  struct part *p = arg;
  uint64_t a = 0, b = 0, c = 0, d = 0;
  size_t i = 0;
  for (; i + 4 <= p->count; i += 4) {
    a ^= p->data[i]; b ^= p->data[i + 1]; c ^= p->data[i + 2]; d ^= p->data[i + 3];
  }
  for (; i < p->count; ++i) a ^= p->data[i];
  p->sum = a ^ b ^ c ^ d;
  return NULL;
}

/* Reads `count` words with `threads` threads; returns a checksum so nothing is optimised away. */
uint64_t streaming_read(const uint64_t *data, size_t count, int threads) {
  pthread_t ids[64];
  struct part parts[64];
  if (threads < 1) threads = 1;
  if (threads > 64) threads = 64;
  size_t chunk = count / (size_t)threads;
  for (int t = 0; t < threads; ++t) {
    parts[t].data = data + (size_t)t * chunk;
    parts[t].count = t == threads - 1 ? count - (size_t)t * chunk : chunk;
    pthread_create(&ids[t], NULL, read_part, &parts[t]);
  }
  uint64_t sum = 0;
  for (int t = 0; t < threads; ++t) {
    pthread_join(ids[t], NULL);
    sum ^= parts[t].sum;
  }
  return sum;
}
