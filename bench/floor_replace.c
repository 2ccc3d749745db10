/* The least a replacement tool can do, as the floor that the peer benchmark measures Tarvel
 * against: read a file in chunks, replace a fixed text (memmem), write a temporary file in the
 * same folder, rename it over the file. No binary test, no attribute checks, no report.
 *   tarvel_floor_replace [-i] FIND REPLACE PATH
 * PATH is a file or a folder, whose regular files are all converted (links are not followed).
 * -i matches ASCII letters without regard to case. Exit status 0, or 1 on the first failure. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

enum { kChunk = 1 << 16 };

static const char* g_find;
static size_t g_findSize;
static const char* g_replace;
static size_t g_replaceSize;
static int g_ignoreCase;
static unsigned char g_fold[256];

static char* g_in;     /* carry + chunk */
static char* g_folded; /* the same, folded, with -i */
static char* g_out;    /* at most one replacement per find text's length of input */
static size_t g_outCapacity;

static int fail(const char* what, const char* path) {
  fprintf(stderr, "tarvel_floor_replace: %s %s: %s\n", what, path, strerror(errno));
  return 1;
}

static size_t readFull(int fd, char* data, size_t size) {
  size_t done = 0;
  while (done < size) {
    ssize_t n = read(fd, data + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return (size_t)-1;
    if (n == 0) break;
    done += (size_t)n;
  }
  return done;
}

static int writeAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    data += n;
    size -= (size_t)n;
  }
  return 0;
}

static int convert(const char* path) {
  int in = open(path, O_RDONLY | O_CLOEXEC);
  if (in < 0) return fail("cannot open", path);
  struct stat st;
  if (fstat(in, &st) != 0) return fail("cannot stat", path);

  size_t length = strlen(path);
  char* temp = malloc(length + 16);
  const char* slash = strrchr(path, '/');
  size_t folder = slash ? (size_t)(slash - path) + 1 : 0;
  memcpy(temp, path, folder);
  strcpy(temp + folder, ".floor-XXXXXX");
  int out = mkostemp(temp, O_CLOEXEC);
  if (out < 0) return fail("cannot create a file next to", path);
  if (fchmod(out, st.st_mode & 07777) != 0) return fail("cannot set the mode of", temp);

  size_t carry = 0;
  for (;;) {
    size_t n = readFull(in, g_in + carry, kChunk);
    if (n == (size_t)-1) return fail("cannot read", path);
    int last = n < kChunk;
    size_t size = carry + n;
    const char* text = g_in;
    if (g_ignoreCase) {
      for (size_t i = 0; i < size; ++i) g_folded[i] = (char)g_fold[(unsigned char)g_in[i]];
      text = g_folded;
    }
    size_t done = 0, used = 0;
    const char* hit;
    while ((hit = memmem(text + done, size - done, g_find, g_findSize)) != NULL) {
      size_t at = (size_t)(hit - text);
      memcpy(g_out + used, g_in + done, at - done);
      used += at - done;
      memcpy(g_out + used, g_replace, g_replaceSize);
      used += g_replaceSize;
      done = at + g_findSize;
    }
    /* Up to find size - 1 bytes at the end may begin an occurrence: they wait for the next
     * chunk. */
    size_t finished = size;
    if (!last) finished = size - done >= g_findSize ? size - (g_findSize - 1) : done;
    memcpy(g_out + used, g_in + done, finished - done);
    used += finished - done;
    if (writeAll(out, g_out, used) != 0) return fail("cannot write", temp);
    carry = size - finished;
    memmove(g_in, g_in + finished, carry);
    if (last) break;
  }
  if (close(out) != 0) return fail("cannot write", temp);
  close(in);
  if (rename(temp, path) != 0) return fail("cannot rename over", path);
  free(temp);
  return 0;
}

/* The tree's files are listed first and converted after, so that the temporary files never
 * appear in a listing. */
static char** g_files;
static size_t g_fileCount, g_fileCapacity;

static int collect(const char* path, const struct stat* st, int type, struct FTW* ftw) {
  (void)ftw;
  if (type != FTW_F || !S_ISREG(st->st_mode)) return 0;
  if (g_fileCount == g_fileCapacity) {
    g_fileCapacity = g_fileCapacity ? 2 * g_fileCapacity : 1024;
    g_files = realloc(g_files, g_fileCapacity * sizeof *g_files);
  }
  g_files[g_fileCount++] = strdup(path);
  return 0;
}

int main(int argc, char** argv) {
  int first = 1;
  if (argc == 5 && strcmp(argv[1], "-i") == 0) {
    g_ignoreCase = 1;
    first = 2;
  }
  if (argc - first != 3 || argv[first][0] == '\0') {
    fprintf(stderr, "usage: %s [-i] FIND REPLACE PATH\n", argv[0]);
    return 2;
  }
  for (int c = 0; c < 256; ++c) {
    g_fold[c] = (unsigned char)(g_ignoreCase && c >= 'A' && c <= 'Z' ? c + 32 : c);
  }
  g_findSize = strlen(argv[first]);
  char* find = malloc(g_findSize);
  for (size_t i = 0; i < g_findSize; ++i) find[i] = (char)g_fold[(unsigned char)argv[first][i]];
  g_find = find;
  g_replace = argv[first + 1];
  g_replaceSize = strlen(g_replace);

  g_in = malloc(kChunk + g_findSize);
  g_folded = malloc(kChunk + g_findSize);
  g_outCapacity = (kChunk + g_findSize) / g_findSize * (g_replaceSize + g_findSize) + g_findSize;
  g_out = malloc(g_outCapacity);

  const char* path = argv[first + 2];
  struct stat st;
  if (lstat(path, &st) != 0) return fail("cannot stat", path);
  if (!S_ISDIR(st.st_mode)) return convert(path);
  if (nftw(path, collect, 64, FTW_PHYS) != 0) return fail("cannot walk", path);
  for (size_t i = 0; i < g_fileCount; ++i) {
    if (convert(g_files[i]) != 0) return 1;
  }
  return 0;
}
