/* The least a durable replacement of many files costs when their flushes are made together: write
 * every file's new copy beside it first (through one 64 KiB buffer), start the write-back of all of
 * them (sync_file_range), flush each, then rename each over its file in the order named, and flush
 * the directory once. Each file is whole old or whole new at every moment: a rename happens only
 * once its own copy is on disk. All files must be in one directory.
 *
 *   group_floor FILE...
 */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static unsigned char buffer[65536];

static int copy(const char *path, const char *temporary) {
  int in = open(path, O_RDONLY | O_CLOEXEC);
  int out = open(temporary, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (in < 0 || out < 0) {
    return -1;
  }
  for (;;) {
    ssize_t got = read(in, buffer, sizeof buffer);
    if (got < 0) {
      return -1;
    }
    if (got == 0) {
      break;
    }
    if (write(out, buffer, (size_t)got) != got) {
      return -1;
    }
  }
  close(in);
  return out;
}

int main(int argc, char **argv) {
  int count = argc - 1;
  int *out = calloc((size_t)(count > 0 ? count : 1), sizeof *out);
  char (*temporary)[4096] = calloc((size_t)(count > 0 ? count : 1), sizeof *temporary);
  if (out == NULL || temporary == NULL) {
    return 1;
  }
  for (int i = 0; i < count; ++i) {
    snprintf(temporary[i], sizeof temporary[i], "%s.floor-tmp", argv[i + 1]);
    out[i] = copy(argv[i + 1], temporary[i]);
    if (out[i] < 0 || sync_file_range(out[i], 0, 0, SYNC_FILE_RANGE_WRITE) != 0) {
      return 1;
    }
  }
  for (int i = 0; i < count; ++i) {
    if (fsync(out[i]) != 0 || close(out[i]) != 0 || rename(temporary[i], argv[i + 1]) != 0) {
      return 1;
    }
  }
  if (count > 0) {
    char directory[4096];
    snprintf(directory, sizeof directory, "%s", argv[1]);
    char *slash = strrchr(directory, '/');
    if (slash == NULL) {
      strcpy(directory, ".");
    } else {
      *slash = '\0';
    }
    int dir = open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0 || fsync(dir) != 0) {
      return 1;
    }
  }
  return 0;
}
