/* A plain streaming-read loop: the memory-bandwidth bound for a scan.
 *
 * Reads with the widest vector loads the compiler may use (bandwidth.py
 * builds it for the host processor), four independent accumulators deep, so
 * the loop is limited by memory, not by load issue: a scalar 8-byte loop
 * reads well below what a vectorised scan achieves. */
#include <pthread.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>

typedef uint64_t block __attribute__((vector_size(64)));
enum { WORDS_PER_BLOCK = sizeof(block) / sizeof(uint64_t) };

struct part {
  const uint64_t* data;
  size_t count;
  uint64_t sum;
};

static void* read_part(void* arg) {
  struct part* p = arg;
  block a = {0}, b = {0}, c = {0}, d = {0};
  size_t i = 0;
  for (; i + 4 * WORDS_PER_BLOCK <= p->count; i += 4 * WORDS_PER_BLOCK) {
    block x, y, z, w;
    memcpy(&x, p->data + i, sizeof x);
    memcpy(&y, p->data + i + WORDS_PER_BLOCK, sizeof y);
    memcpy(&z, p->data + i + 2 * WORDS_PER_BLOCK, sizeof z);
    memcpy(&w, p->data + i + 3 * WORDS_PER_BLOCK, sizeof w);
    a ^= x;
    b ^= y;
    c ^= z;
    d ^= w;
  }
  a ^= b ^ c ^ d;
  uint64_t sum = 0;
  for (int k = 0; k < WORDS_PER_BLOCK; ++k) sum ^= a[k];
  for (; i < p->count; ++i) sum ^= p->data[i];
  p->sum = sum;
  return NULL;
}

/* Reads `count` words with `threads` threads; returns a checksum so nothing is optimised away. */
uint64_t streaming_read(const uint64_t* data, size_t count, int threads) {
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
