// SHA-256 of a file, through libavutil.
#include <cstdio>
#include <cstdlib>

#include "cli/listing.h"

#ifdef ZENTRIX_HAVE_AVUTIL
extern "C" {
#include <libavutil/mem.h>
#include <libavutil/sha.h>
}
#endif

enum { HASH_CHUNK = 1 << 20, SHA256_BYTES = 32 };

int Sha256File(const std::string& path, std::string* hex) {
#ifdef ZENTRIX_HAVE_AVUTIL
  FILE* file = fopen(path.c_str(), "rb");
  if (!file) return -1;
  struct AVSHA* sha = av_sha_alloc();
  uint8_t* chunk = (uint8_t*)malloc(HASH_CHUNK);
  int result = sha && chunk && av_sha_init(sha, 256) == 0 ? 0 : -3;
  while (result == 0) {
    size_t got = fread(chunk, 1, HASH_CHUNK, file);
    if (got > 0) av_sha_update(sha, chunk, got);
    if (got < HASH_CHUNK) {
      if (ferror(file)) result = -2;
      break;
    }
  }
  if (result == 0) {
    uint8_t digest[SHA256_BYTES];
    av_sha_final(sha, digest);
    char text[2 * SHA256_BYTES + 1];
    for (int i = 0; i < SHA256_BYTES; i++) snprintf(text + 2 * i, 3, "%02x", digest[i]);
    *hex = text;
  }
  free(chunk);
  av_free(sha);
  fclose(file);
  return result;
#else
  (void)path;
  (void)hex;
  return -3;
#endif
}
